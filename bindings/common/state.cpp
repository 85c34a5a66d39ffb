#include "state.h"

#include <utility>

namespace vext_py {
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

bool init_binding(BindingState& state, const BindingSetup& setup) {
  prime_exceptions();
  if (!state.panic) {
    state.panic = PyErr_NewExceptionWithDoc(setup.panic_name, setup.panic_doc, PyExc_BaseException, nullptr);
    if (!state.panic) return false;
  }
  TreeKeys& keys = state.tree_keys;
  if (!(intern(keys.kind, "kind") && intern(keys.identity, "identity") && intern(keys.label, "label") &&
        intern(keys.text, "text") && intern(keys.attributes, "attributes") && intern(keys.children, "children")))
    return false;
  // The keys go in in the order a node's dict has always had them.
  const std::pair<unsigned, PyObject*> optional[] = {{kShapeIdentity, keys.identity},
                                                     {kShapeLabel, keys.label},
                                                     {kShapeText, keys.text},
                                                     {kShapeAttributes, keys.attributes},
                                                     {kShapeChildren, keys.children}};
  for (unsigned shape = 0; shape < keys.shapes.size(); ++shape) {
    if (keys.shapes[shape]) continue;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), keys.kind, Py_None) != 0) return false;
    for (const auto& [bit, key] : optional) {
      if ((shape & bit) && PyDict_SetItem(dict.get(), key, Py_None) != 0) return false;
    }
    keys.shapes[shape] = dict.release();
  }
  return true;
}

int traverse_binding(const BindingState& state, visitproc visit, void* arg) {
  const TreeKeys& k = state.tree_keys;
  for (PyObject* o : {state.panic, k.kind, k.identity, k.label, k.text, k.attributes, k.children}) Py_VISIT(o);
  for (PyObject* o : k.shapes) Py_VISIT(o);
  return 0;
}

void clear_binding(BindingState& state) {
  TreeKeys& k = state.tree_keys;
  for (PyObject** slot : {&state.panic, &k.kind, &k.identity, &k.label, &k.text, &k.attributes, &k.children}) {
    Py_CLEAR(*slot);
  }
  for (PyObject*& o : k.shapes) Py_CLEAR(o);
}

}  // namespace vext_py
