#include "state.h"

namespace vext_py {

BindingState binding;

namespace {

// Throws and catches one exception, so that the runtime allocates now what
// the first throw on a thread needs (its exception globals live in
// thread-local storage, which glibc allocates on first use and aborts if it
// cannot). Out of line, so the throw cannot be folded away.
[[gnu::noinline]] void prime_exceptions() {
  try {
    throw 0;
  } catch (int) {
  }
}

}  // namespace

bool intern(PyObject*& slot, const char* text) {
  if (!slot) slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

bool init_binding(const BindingSetup& setup) {
  prime_exceptions();
  if (!binding.panic) {
    binding.panic = PyErr_NewExceptionWithDoc(setup.panic_name, setup.panic_doc, PyExc_BaseException, nullptr);
    if (!binding.panic) return false;
  }
  TreeKeys& keys = binding.tree_keys;
  return intern(keys.kind, "kind") && intern(keys.identity, "identity") && intern(keys.label, "label") &&
         intern(keys.text, "text") && intern(keys.attributes, "attributes") && intern(keys.children, "children");
}

PyObject* module_once(ModuleOnce& once, PyObject* (*create)(), const char* refusal) {
  const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  std::int64_t expected = -1;
  if (!once.owner.compare_exchange_strong(expected, interp) && expected != interp) {
    PyErr_SetString(PyExc_ImportError, refusal);
    return nullptr;
  }
  if (!once.module) once.module = create();
  return Py_XNewRef(once.module);
}

}  // namespace vext_py
