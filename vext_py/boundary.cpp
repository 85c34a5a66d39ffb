#include "boundary.h"

namespace vext_py {
namespace {

PyObject* panic_type() {
  static PyObject* type = nullptr;  // lives for the rest of the process
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "vext_py.PanicException",
        "Raised when vext hits an internal failure, such as an unknown commit id.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void raise_panic(const char* message) {
  PyObject* type = panic_type();
  if (!type) return;  // the failure to create it is raised instead
  PyErr_SetString(type, (message && *message) ? message : "internal failure");
}

}  // namespace vext_py
