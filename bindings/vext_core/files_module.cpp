// The file functions of vext._core: XML and JSON files given as bytes are
// read, written back, compared and merged in C++. Arguments are converted
// with the interpreter lock held; parsing, diffing, merging and writing run
// without it and stop on Ctrl-C.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "boundary.h"
#include "core_call.h"
#include "module.h"
#include "files/files.h"
#include "ref.h"
#include "tree_convert.h"

namespace vext_py {
namespace {

constexpr const char* kReadParams[] = {"data", "format", "id_attrs", "id_keys"};
constexpr Signature kRead{"read_file()", kReadParams};
constexpr Signature kRewrite{"rewrite_file()", kReadParams};
constexpr const char* kDiffParams[] = {"old", "new", "format", "id_attrs", "id_keys"};
constexpr Signature kDiff{"diff_files()", kDiffParams};
constexpr const char* kMergeParams[] = {"base", "ours", "theirs", "format", "id_attrs", "id_keys", "markers"};
constexpr Signature kMerge{"merge_files()", kMergeParams};

// A data argument: its bytes, or an open binary file to read them from
// without the lock, so that a file's bytes are never copied through Python.
struct Input {
  std::string data;
  int fd = -1;               // a seekable file's descriptor, read without the lock
  std::optional<off_t> at;   // where the file object stands
  PyObject* file = nullptr;  // borrowed from the arguments
};

// Copies what `file.read()` returns: bytes.
bool read_through(PyObject* file, const char* param, Input& out) {
  Ref data = Ref::steal(PyObject_CallMethod(file, "read", nullptr));
  if (!data) return false;
  if (!PyBytes_Check(data.get())) {
    set_conversion_error(data.get(), "PyBytes");
    prefix_argument_error(param);
    return false;
  }
  out.data.assign(PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
  return true;
}

// Copies a bytes-like argument, or takes the descriptor of a seekable file
// object, which is read later without the lock.
bool to_input(PyObject* obj, const char* param, Input& out) {
  Py_buffer view;
  if (!PyUnicode_Check(obj) && PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) == 0) {
    out.data.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return true;
  }
  PyErr_Clear();
  if (!PyUnicode_Check(obj) && PyObject_HasAttrString(obj, "fileno")) {
    const int fd = PyObject_AsFileDescriptor(obj);
    if (fd < 0) return false;
    // A buffered file may have read ahead of where it stands; its own
    // position says where reading goes on, and the object is moved past
    // what was read once it has been read.
    Ref at = Ref::steal(PyObject_CallMethod(obj, "tell", nullptr));
    if (!at) {
      // Not seekable: what the object read ahead is in its buffer alone, so
      // the object reads it all.
      PyErr_Clear();
      return read_through(obj, param, out);
    }
    const long long offset = PyLong_AsLongLong(at.get());
    if (offset == -1 && PyErr_Occurred()) return false;
    out.at = static_cast<off_t>(offset);
    out.fd = fd;
    out.file = obj;
    return true;
  }
  set_conversion_error(obj, "PyBytes");
  prefix_argument_error(param);
  return false;
}

bool to_format(PyObject* obj, std::optional<vext::Format>& out) {
  if (!obj || obj == Py_None) return true;
  std::string name;
  if (!to_string(obj, name)) {
    prefix_argument_error("format");
    return false;
  }
  if (name == "xml") {
    out = vext::Format::Xml;
  } else if (name == "json") {
    out = vext::Format::Json;
  } else {
    PyErr_Format(PyExc_ValueError, "format must be \"xml\", \"json\" or None, not %R", obj);
    return false;
  }
  return true;
}

bool to_id_attrs(PyObject* obj, vext::FileOptions& out) {
  if (!obj) return true;
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    set_conversion_error(obj, "Sequence");
    prefix_argument_error("id_attrs");
    return false;
  }
  Ref items = Ref::steal(PySequence_Tuple(obj));
  if (!items) return false;
  std::vector<vext::IdAttr> attrs;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    std::string text;
    if (!to_string(item, text)) {
      prefix_argument_error("id_attrs");
      return false;
    }
    auto attr = vext::parse_id_attr(text);
    if (!attr) {
      PyErr_Format(PyExc_ValueError, "malformed identity attribute %R: expected \"NAME\" or \"ELEMENT@NAME\"", item);
      return false;
    }
    attrs.push_back(*std::move(attr));
  }
  if (!attrs.empty()) {
    out.id_attrs = std::move(attrs);
    out.id_attrs_chosen = true;
  }
  return true;
}

bool to_id_keys(PyObject* obj, vext::FileOptions& out) {
  if (!obj) return true;
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    set_conversion_error(obj, "Sequence");
    prefix_argument_error("id_keys");
    return false;
  }
  Ref items = Ref::steal(PySequence_Tuple(obj));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    std::string text;
    if (!to_string(item, text)) {
      prefix_argument_error("id_keys");
      return false;
    }
    auto key = vext::parse_id_key(text);
    if (!key) {
      PyErr_Format(PyExc_ValueError, "malformed identity key %R: expected \"NAME\" or \"POINTER@NAME\"", item);
      return false;
    }
    out.id_keys.push_back(*std::move(key));
  }
  return true;
}

bool to_options(PyObject* format, PyObject* id_attrs, PyObject* id_keys, vext::FileOptions& out) {
  return to_format(format, out.format) && to_id_attrs(id_attrs, out) && to_id_keys(id_keys, out);
}

Ref optional_int(const std::optional<std::uint64_t>& n) {
  return n ? Ref::steal(PyLong_FromUnsignedLongLong(*n)) : Ref::borrow(Py_None);
}

// Raises FormatError with the problem's message, place and input.
void raise_format_error(const CoreState& state, const vext::FileError& e) {
  const std::string message = e.error.text();
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  Ref exc = Ref::steal(PyObject_CallOneArg(state.format_error, text.get()));
  if (!exc) return;
  Ref which = Ref::steal(PyLong_FromLong(e.which));
  Ref line = optional_int(e.error.where ? std::optional(e.error.where->line) : std::nullopt);
  Ref column = optional_int(e.error.where ? std::optional(e.error.where->column) : std::nullopt);
  if (!which || !line || !column || PyObject_SetAttrString(exc.get(), "which", which.get()) != 0 ||
      PyObject_SetAttrString(exc.get(), "line", line.get()) != 0 ||
      PyObject_SetAttrString(exc.get(), "column", column.get()) != 0) {
    return;
  }
  PyErr_SetRaisedException(exc.release());
}

Ref from_name(std::string_view name) {
  return Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// A change's path leaves as a capsule around the core's FilePath, which
// shares its prefix with the paths of the node's ancestors; path_text spells
// it out when it is read.
constexpr const char* kPathCapsule = "vext._core.FilePath";

void drop_path(PyObject* capsule) { delete static_cast<vext::FilePath*>(PyCapsule_GetPointer(capsule, kPathCapsule)); }

Ref from_path(const vext::FilePath& path) {
  auto* held = new vext::FilePath(path);
  Ref capsule = Ref::steal(PyCapsule_New(held, kPathCapsule, drop_path));
  if (!capsule) delete held;
  return capsule;
}

// (op, path, what, old, new)
Ref from_file_change(const vext::FileChange& c) {
  Ref op = from_name(vext::change_op_name(c.op)), path = from_path(c.path), what = from_name(vext::field_name(c.field));
  Ref old_value = optional_str(c.old_value), new_value = optional_str(c.new_value);
  if (!op || !path || !what || !old_value || !new_value) return {};
  return Ref::steal(PyTuple_Pack(5, op.get(), path.get(), what.get(), old_value.get(), new_value.get()));
}

// (path, what, base, ours, theirs)
Ref from_file_conflict(const vext::FileConflict& c) {
  Ref path = from_string(c.path), what = from_name(vext::field_name(c.field));
  Ref base = optional_str(c.base), ours = optional_str(c.ours), theirs = optional_str(c.theirs);
  if (!path || !what || !base || !ours || !theirs) return {};
  return Ref::steal(PyTuple_Pack(5, path.get(), what.get(), base.get(), ours.get(), theirs.get()));
}

Ref from_bytes(const std::string& data) {
  return Ref::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// Binds `N` data arguments followed by the options in `a`, and reads them.
template <std::size_t N, std::size_t M>
bool read_arguments(const Signature& sig, std::array<PyObject*, M>& a, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::vector<Input>& data, vext::FileOptions& options) {
  if (!bind_keywords(sig, N, args, nargs, kwnames, a.data())) return false;
  data.resize(N);
  for (std::size_t i = 0; i < N; ++i) {
    if (!to_input(a[i], sig.params[i], data[i])) return false;
  }
  return to_options(a[N], a[N + 1], a[N + 2], options);
}

// Reads an open file from `at` (or where it stands) to its end; returns 0,
// or the error number of a failed read. A read that a signal interrupts asks
// `stop`, so that Ctrl-C ends a wait on a pipe or terminal that never ends.
int read_to_end(int fd, std::optional<off_t> at, std::string& out, const vext::StopCheck& stop) {
  if (at && lseek(fd, *at, SEEK_SET) < 0) return errno;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    out.reserve(static_cast<std::size_t>(info.st_size) + 1);
  }
  char chunk[1 << 16];
  for (;;) {
    const std::size_t at = out.size();
    const std::size_t room = out.capacity() - at;
    ssize_t n;
    int error = 0;
    if (room >= sizeof chunk) {
      out.resize(out.capacity());
      n = ::read(fd, out.data() + at, room);
      error = errno;
      out.resize(at + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    } else {
      n = ::read(fd, chunk, sizeof chunk);
      error = errno;
      if (n > 0) out.append(chunk, static_cast<std::size_t>(n));
    }
    if (n == 0) return 0;
    if (n < 0 && error != EINTR) return error;
    if (n < 0 && stop.poll && stop.poll(stop.context)) throw vext::Stopped();
  }
}

// Reads the inputs given as files, without the lock. Returns false with a
// Python error set when one cannot be read (OSError, naming the file) or is
// empty (FormatError), or when Ctrl-C stopped the call.
bool read_inputs(const CoreState& state, std::vector<Input>& inputs) {
  struct Failure {
    std::size_t which;
    int error;  // 0: the file is empty
  };
  std::optional<Failure> failure;
  auto done = without_lock([&](const vext::StopCheck& stop) {
    for (std::size_t i = 0; i < inputs.size() && !failure; ++i) {
      if (inputs[i].fd < 0) continue;
      if (const int error = read_to_end(inputs[i].fd, inputs[i].at, inputs[i].data, stop)) {
        failure = Failure{i, error};
      } else if (inputs[i].data.empty()) {
        failure = Failure{i, 0};
      }
    }
    return true;
  });
  if (!done) return false;
  if (!failure) {
    for (const Input& input : inputs) {
      if (input.fd < 0) continue;
      const long long end = static_cast<long long>(*input.at) + static_cast<long long>(input.data.size());
      if (!Ref::steal(PyObject_CallMethod(input.file, "seek", "L", end))) return false;
    }
    return true;
  }
  if (failure->error == 0) {
    raise_format_error(state, {static_cast<int>(failure->which), vext::FormatError{"the file is empty", std::nullopt}});
    return false;
  }
  Ref name = Ref::steal(PyObject_GetAttrString(inputs[failure->which].file, "name"));
  if (!name) PyErr_Clear();
  errno = failure->error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  return false;
}

// Takes the bytes of the inputs, read without the lock; nullopt with a
// Python error set when one could not be read or Ctrl-C stopped the call.
std::optional<std::vector<std::string>> input_bytes(const CoreState& state, std::vector<Input> inputs) {
  if (!read_inputs(state, inputs)) return std::nullopt;
  std::vector<std::string> data;
  data.reserve(inputs.size());
  for (Input& input : inputs) data.push_back(std::move(input.data));
  return data;
}

// Reads the files without the lock; nullopt with a Python error set when one
// could not be read or Ctrl-C stopped the call.
std::optional<std::vector<vext::Document>> read_all(const CoreState& state, std::vector<Input> inputs,
                                                    const vext::FileOptions& options) {
  auto data = input_bytes(state, std::move(inputs));
  if (!data) return std::nullopt;
  auto docs =
      without_lock([&](const vext::StopCheck& stop) { return vext::read_files(*std::move(data), options, stop); });
  if (!docs) return std::nullopt;
  if (!docs->ok()) {
    raise_format_error(state, docs->error());
    return std::nullopt;
  }
  return std::move(*docs).value();
}

PyObject* mod_read_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 4> a{};
    std::vector<Input> data;
    vext::FileOptions options;
    if (!read_arguments<1>(kRead, a, args, nargs, kwnames, data, options)) return nullptr;
    auto docs = read_all(state, std::move(data), options);
    if (!docs) return nullptr;
    return tree_to_py(state.binding.tree_keys, (*docs)[0].tree).release();
  });
}

PyObject* mod_rewrite_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 4> a{};
    std::vector<Input> data;
    vext::FileOptions options;
    if (!read_arguments<1>(kRewrite, a, args, nargs, kwnames, data, options)) return nullptr;
    auto docs = read_all(state, std::move(data), options);
    if (!docs) return nullptr;
    auto out = without_lock([&](const vext::StopCheck&) { return vext::rewrite((*docs)[0]); });
    if (!out) return nullptr;
    if (!out->ok()) {
      raise_format_error(state, {-1, out->error()});
      return nullptr;
    }
    return from_bytes(out->value()).release();
  });
}

// path_text(path): a path from diff_files, as text.
PyObject* mod_path_text(PyObject* module, PyObject* arg) {
  return call_core(core_state(module).binding, [&]() -> PyObject* {
    auto* path = static_cast<vext::FilePath*>(PyCapsule_GetPointer(arg, kPathCapsule));
    return path ? from_string(vext::path_text(*path)).release() : nullptr;
  });
}

PyObject* mod_diff_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 5> a{};
    std::vector<Input> data;
    vext::FileOptions options;
    if (!read_arguments<2>(kDiff, a, args, nargs, kwnames, data, options)) return nullptr;
    auto bytes = input_bytes(state, std::move(data));
    if (!bytes) return nullptr;
    auto changes =
        without_lock([&](const vext::StopCheck& stop) { return vext::diff_files(*std::move(bytes), options, stop); });
    if (!changes) return nullptr;
    if (!changes->ok()) {
      raise_format_error(state, changes->error());
      return nullptr;
    }
    return list_of(changes->value(), from_file_change).release();
  });
}

PyObject* mod_merge_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 7> a{};
    std::vector<Input> data;
    vext::FileOptions options;
    if (!read_arguments<3>(kMerge, a, args, nargs, kwnames, data, options)) return nullptr;
    const int markers = a[6] ? PyObject_IsTrue(a[6]) : 1;
    if (markers < 0) return nullptr;
    auto bytes = input_bytes(state, std::move(data));
    if (!bytes) return nullptr;
    auto result = without_lock([&](const vext::StopCheck& stop) {
      return vext::merge_files(*std::move(bytes), options, markers != 0, stop);
    });
    if (!result) return nullptr;
    if (!result->ok()) {
      raise_format_error(state, result->error());
      return nullptr;
    }
    Ref merged = from_bytes(result->value().merged);
    if (!merged) return nullptr;
    Ref conflicts = list_of(result->value().conflicts, from_file_conflict);
    if (!conflicts) return nullptr;
    return PyTuple_Pack(2, merged.get(), conflicts.get());
  });
}

PyMethodDef file_methods[] = {
    {"read_file", as_method(mod_read_file), METH_FASTCALL | METH_KEYWORDS,
     "read_file(data, *, format=None, id_attrs=(), id_keys=())\n--\n\n"},
    {"rewrite_file", as_method(mod_rewrite_file), METH_FASTCALL | METH_KEYWORDS,
     "rewrite_file(data, *, format=None, id_attrs=(), id_keys=())\n--\n\n"},
    {"path_text", mod_path_text, METH_O, "path_text(path)\n--\n\n"},
    {"diff_files", as_method(mod_diff_files), METH_FASTCALL | METH_KEYWORDS,
     "diff_files(old, new, *, format=None, id_attrs=(), id_keys=())\n--\n\n"},
    {"merge_files", as_method(mod_merge_files), METH_FASTCALL | METH_KEYWORDS,
     "merge_files(base, ours, theirs, *, format=None, id_attrs=(), id_keys=(), markers=True)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_file_api(PyObject* module, CoreState& state) {
  return add_api(module, file_methods, state.format_error, "FormatError",
                 "A file could not be read, or a result could not be written in its format.", PyExc_ValueError,
                 Py_BuildValue("{s:i,s:O,s:O}", "which", -1, "line", Py_None, "column", Py_None));
}

}  // namespace vext_py
