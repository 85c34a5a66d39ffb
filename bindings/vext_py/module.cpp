// The vext_py extension module: initialisation and the module-level functions.
#include "module.h"

#include <atomic>
#include <cstdint>

#include "args.h"
#include "boundary.h"
#include "functions.h"
#include "ref.h"
#include "repo_type.h"
#include "state.h"
#include "tree_convert.h"

namespace vext_py {
namespace {

// Appends `name` to the module's __all__ (creating it when missing), then sets
// the attribute. Steals `value`.
bool module_add(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed, never fails
  Ref all = Ref::borrow(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    all = Ref::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) != 0) return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) != 0) return false;
  return PyObject_SetAttr(module, key.get(), owned.get()) == 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vext_py",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool init_module_state() {
  if (!init_binding(module_state.binding, {"vext_py.PanicException",
                                           "Raised when vext hits an internal failure, such as an unknown commit id."}))
    return false;
  ChangeKeys& keys = module_state.change_keys;
  if (!intern(keys.kind, "kind") || !intern(keys.elem_type, "elem_type") || !intern(keys.id, "id") ||
      !intern(keys.names[0], "Added") || !intern(keys.names[1], "Removed") || !intern(keys.names[2], "Modified"))
    return false;
  if (!module_state.repo_type) module_state.repo_type = create_repo_type();
  return module_state.repo_type != nullptr;
}

PyObject* create_module() {
  if (!init_module_state()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (!module_add(module.get(), "Repo", Py_NewRef(module_state.repo_type))) return nullptr;
  Ref name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!name) return nullptr;
  for (PyMethodDef* def : {&diff_trees_def, &merge_trees_def}) {
    if (!module_add(module.get(), def->ml_name, PyCFunction_NewEx(def, module.get(), name.get())))
      return nullptr;
  }
  if (!module_add(module.get(), "__version__", PyUnicode_FromString(VEXT_VERSION))) return nullptr;
  return module.release();
}

// The module, made by the first interpreter to import it.
struct ModuleOnce {
  PyObject* module = nullptr;
  std::atomic<std::int64_t> owner{-1};  // the interpreter that made it
};
ModuleOnce once;

// Returns a new reference to the module, making it on the first call. Any
// interpreter other than the first gets ImportError, since the module's
// state is the process's.
PyObject* module_once() {
  const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  std::int64_t expected = -1;
  if (!once.owner.compare_exchange_strong(expected, interp) && expected != interp) {
    PyErr_SetString(PyExc_ImportError, "vext_py does not support sub-interpreters");
    return nullptr;
  }
  if (!once.module) once.module = create_module();
  return Py_XNewRef(once.module);
}

}  // namespace

ModuleState module_state;

}  // namespace vext_py

PyMODINIT_FUNC PyInit_vext_py() { return vext_py::module_once(); }
