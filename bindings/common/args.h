#pragma once

#include "ref.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// Like bind, for a signature whose first `positional` parameters are required
// and the rest optional and keyword-only; an absent one leaves out[i] null.
bool bind_keywords(const Signature& sig, std::size_t positional, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

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

// The converters below read argument `index` of `sig` from `args`; a
// TypeError they raise names the parameter ("argument 'parents': ...").

// Reads a commit id.
std::optional<std::uint64_t> to_commit_id(const Signature& sig, PyObject* const* args, std::size_t index);

// Reads a commit message: a str.
std::optional<std::string> to_message(const Signature& sig, PyObject* const* args, std::size_t index);

// Reads the parents of a commit: a sequence (not a str) of commit ids.
std::optional<std::vector<std::uint64_t>> to_parents(const Signature& sig, PyObject* const* args,
                                                     std::size_t index);

// Makes a str from UTF-8 bytes. Returns an empty Ref with a Python error set
// on failure.
Ref from_string(std::string_view text);

}  // namespace vext_py
