#include "args.h"

#include <algorithm>

namespace vext_py {
namespace {

const char* plural(Py_ssize_t n, const char* one, const char* many) { return n == 1 ? one : many; }

// Names the unbound parameters: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string list_missing(const Signature& sig, std::size_t required, PyObject* const* out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i)
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

// Rewrites a TypeError raised while reading parameter `index` of `sig`.
template <class T>
std::optional<T> named(const Signature& sig, std::size_t index, std::optional<T> value) {
  if (!value) prefix_argument_error(sig.params[index]);
  return value;
}

// A sequence may claim any length: its length reserves room only up to this.
constexpr Py_ssize_t kMaxParentsHint = 4096;

std::optional<std::vector<std::uint64_t>> read_parents(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(obj)) {
    set_conversion_error(obj, "Sequence");
    return std::nullopt;
  }
  std::vector<std::uint64_t> ids;
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    ids.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, kMaxParentsHint)));
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return std::nullopt;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    auto id = to_commit_id(item.get());
    if (!id) return std::nullopt;
    ids.push_back(*id);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return ids;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  return bind_keywords(sig, sig.params.size(), args, nargs, kwnames, out);
}

bool bind_keywords(const Signature& sig, std::size_t positional, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(sig.params.size());
  const auto required = static_cast<Py_ssize_t>(positional);
  if (nargs > required) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.name, required,
                 nargs, plural(nargs, "was", "were"));
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
  for (Py_ssize_t i = 0; i < required; ++i) unbound += out[i] ? 0 : 1;
  if (unbound > 0) {
    const std::string names = list_missing(sig, positional, out);
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

std::optional<std::uint64_t> to_commit_id(const Signature& sig, PyObject* const* args, std::size_t index) {
  return named(sig, index, to_commit_id(args[index]));
}

std::optional<std::string> to_message(const Signature& sig, PyObject* const* args, std::size_t index) {
  std::string text;
  if (!to_string(args[index], text)) return named<std::string>(sig, index, std::nullopt);
  return text;
}

std::optional<std::vector<std::uint64_t>> to_parents(const Signature& sig, PyObject* const* args,
                                                     std::size_t index) {
  return named(sig, index, read_parents(args[index]));
}

Ref from_string(std::string_view text) {
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

}  // namespace vext_py
