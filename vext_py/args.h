#pragma once

#include "ref.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vext_py {

// A function's fixed list of required parameters. `name` is how messages
// call it: "diff_trees()" or "Repo.commit()".
struct Signature {
  const char* name;
  std::span<const char* const> params;
};

// Casts a fast-call function with keywords to the type method tables hold.
template <class F>
PyCFunction as_method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Binds fast-call arguments to the signature's parameters. On success every
// out[i] holds a borrowed argument; on failure a TypeError is set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// Rewrites a pending TypeError (exactly that type) raised while converting
// parameter `param` into "argument 'param': <message>", keeping its cause.
void prefix_argument_error(const char* param);

// Sets TypeError "'<type>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* obj, const char* target);

// Reads a str (or subclass) as UTF-8. Returns false with a Python error set:
// a TypeError naming PyString for a non-str, the interpreter's
// UnicodeEncodeError for a str without a UTF-8 encoding.
bool to_string(PyObject* obj, std::string& out);

// Converts a commit id through the integer index protocol.
std::optional<std::uint64_t> to_commit_id(PyObject* obj);

}  // namespace vext_py
