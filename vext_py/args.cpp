#include "args.h"

#include <vector>

namespace vext_py {
namespace {

const char* plural(Py_ssize_t n, const char* one, const char* many) { return n == 1 ? one : many; }

// Names the unbound parameters: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string list_missing(const Signature& sig, PyObject* const* out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.params.size(); ++i)
    if (!out[i]) missing.push_back(sig.params[i]);
  std::string text;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) text += ",";
      text += i + 1 == missing.size() ? " and " : " ";
    }
    text += "'";
    text += missing[i];
    text += "'";
  }
  return text;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.name,
                 count, nargs, plural(nargs, "was", "were"));
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < count && slot < 0; ++i)
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) slot = i;
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.name, key);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.name, key);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  Py_ssize_t unbound = 0;
  for (Py_ssize_t i = 0; i < count; ++i) unbound += out[i] ? 0 : 1;
  if (unbound > 0) {
    const std::string names = list_missing(sig, out);
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.name, unbound,
                 plural(unbound, "argument", "arguments"), names.c_str());
    return false;
  }
  return true;
}

void prefix_argument_error(const char* param) {
  PyObject* raised = PyErr_GetRaisedException();
  if (!raised) return;
  Ref exc = Ref::steal(raised);
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  if (!text) return;
  Ref cause = Ref::steal(PyException_GetCause(exc.get()));
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
  if (cause) {
    Ref fresh = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(fresh.get(), cause.release());
    PyErr_SetRaisedException(fresh.release());
  }
}

void set_conversion_error(PyObject* obj, const char* target) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'",
                 target);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

bool to_string(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    set_conversion_error(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

std::optional<std::uint64_t> to_commit_id(PyObject* obj) {
  Ref number = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyNumber_Index(obj));
  if (!number) return std::nullopt;
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

}  // namespace vext_py
