// The store functions of vext._core: a store is an opaque handle that the
// Python class vext.Store holds. Arguments are converted with the interpreter
// lock held; hashing, reading and writing then run without it, polling for
// signals, and a stopped call leaves the store as it was.
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "args.h"
#include "boundary.h"
#include "core_call.h"
#include "module.h"
#include "ref.h"
#include "store/store.h"
#include "store/transfer.h"
#include "tree_convert.h"

namespace vext_py {
namespace {

namespace st = vext::store;

constexpr const char* kCapsule = "vext._core.store";

// One open store; `busy` counts the calls running without the lock, which
// close() must not pull the store from under.
struct Handle {
  std::unique_ptr<st::Store> store;
  int busy = 0;
};

void drop_handle(PyObject* capsule) {
  delete static_cast<Handle*>(PyCapsule_GetPointer(capsule, kCapsule));
}

const char* reason_name(st::StoreErrorCode code) {
  switch (code) {
    case st::StoreErrorCode::NotAStore: return "not_a_store";
    case st::StoreErrorCode::NewerFormat: return "newer_format";
    case st::StoreErrorCode::OlderFormat: return "older_format";
    case st::StoreErrorCode::Corrupt: return "corrupt";
    case st::StoreErrorCode::Io: return "io";
    case st::StoreErrorCode::NotFound: return "not_found";
    case st::StoreErrorCode::Ambiguous: return "ambiguous";
    case st::StoreErrorCode::BranchMoved: return "branch_moved";
    case st::StoreErrorCode::BranchExists: return "branch_exists";
    case st::StoreErrorCode::BadArgument: return "bad_argument";
  }
  return "io";
}

// Raises StoreError(message) with `reason` set; returns nullptr.
PyObject* raise_store_error(const CoreState& state, const st::StoreError& e) {
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()),
                                                "replace"));
  if (!message) return nullptr;
  Ref exc = Ref::steal(PyObject_CallOneArg(state.store_error, message.get()));
  if (!exc) return nullptr;
  Ref reason = Ref::steal(PyUnicode_FromString(reason_name(e.code)));
  if (!reason || PyObject_SetAttrString(exc.get(), "reason", reason.get()) != 0) return nullptr;
  PyErr_SetObject(state.store_error, exc.get());
  return nullptr;
}

// Runs `work` on the open store without the lock. Returns nullopt with a
// Python error set: the store is closed, a signal handler raised, or the core
// reported a StoreError.
template <class F>
auto with_store(const CoreState& state, PyObject* capsule, F&& work)
    -> std::optional<std::decay_t<decltype(work(std::declval<st::Store&>(), vext::StopCheck{}).value())>> {
  auto* h = static_cast<Handle*>(PyCapsule_GetPointer(capsule, kCapsule));
  if (!h) return std::nullopt;
  if (!h->store) {
    PyErr_SetString(state.store_error, "the store is closed");
    return std::nullopt;
  }
  ++h->busy;
  st::Store& store = *h->store;
  std::optional<decltype(work(store, vext::StopCheck{}))> result;
  try {
    result = without_lock([&](const vext::StopCheck& stop) { return work(store, stop); });
  } catch (...) {
    --h->busy;
    throw;
  }
  --h->busy;
  if (!result) return std::nullopt;
  if (!result->ok()) {
    raise_store_error(state, result->error());
    return std::nullopt;
  }
  return std::move(*result).value();
}

bool to_text(PyObject* obj, const char* param, std::string& out) {
  if (to_string(obj, out)) return true;
  prefix_argument_error(param);
  return false;
}

// Writes the 64 hex digits straight into a new str.
Ref hex(const st::ObjectId& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  Ref text = Ref::steal(PyUnicode_New(2 * static_cast<Py_ssize_t>(id.bytes.size()), 127));
  if (!text) return text;
  Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
  for (const std::uint8_t b : id.bytes) {
    *out++ = static_cast<Py_UCS1>(kDigits[b >> 4]);
    *out++ = static_cast<Py_UCS1>(kDigits[b & 15]);
  }
  return text;
}

Ref optional_hex(const std::optional<st::ObjectId>& id) { return id ? hex(*id) : Ref::borrow(Py_None); }

std::optional<std::int64_t> to_time(PyObject* obj) {
  const double t = PyFloat_AsDouble(obj);
  if (t == -1.0 && PyErr_Occurred()) return std::nullopt;
  if (!std::isfinite(t) || std::fabs(t) > 9e12) {
    PyErr_SetString(PyExc_ValueError, "time out of range");
    return std::nullopt;
  }
  return static_cast<std::int64_t>(std::llround(t * 1e6));
}

// Reads full hex ids; a malformed one raises StoreError naming it.
std::optional<std::vector<st::ObjectId>> to_ids(const CoreState& state, PyObject* obj) {
  Ref seq = Ref::steal(PySequence_List(obj));
  if (!seq) return std::nullopt;
  std::vector<st::ObjectId> out;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i) {
    std::string text;
    if (!to_string(PyList_GET_ITEM(seq.get(), i), text)) return std::nullopt;
    auto id = st::from_hex(text);
    if (!id) {
      raise_store_error(state, {st::StoreErrorCode::BadArgument, "not a commit id: '" + text + "'"});
      return std::nullopt;
    }
    out.push_back(*id);
  }
  return out;
}

Ref commit_tuple(const st::ObjectId& id, const st::CommitRecord& c) {
  Ref parents = tuple_of(c.parents, hex);
  Ref message = from_string(c.message);
  Ref id_text = hex(id), root = hex(c.root);
  Ref time = Ref::steal(PyFloat_FromDouble(static_cast<double>(c.time_us) / 1e6));
  if (!parents || !message || !id_text || !root || !time) return {};
  return Ref::steal(PyTuple_Pack(5, id_text.get(), root.get(), parents.get(), message.get(), time.get()));
}

constexpr const char* kOpenParams[] = {"path"};
constexpr Signature kOpen{"store_open()", kOpenParams};
constexpr const char* kHandleParams[] = {"handle"};
constexpr Signature kClose{"store_close()", kHandleParams};
constexpr Signature kBranches{"store_branches()", kHandleParams};
constexpr Signature kVerify{"store_verify()", kHandleParams};
constexpr const char* kNameParams[] = {"handle", "name"};
constexpr Signature kResolve{"store_resolve()", kNameParams};
constexpr Signature kTree{"store_tree()", kNameParams};
constexpr Signature kInfo{"store_info()", kNameParams};
constexpr const char* kLogParams[] = {"handle", "name", "commit_type"};
constexpr Signature kLog{"store_log()", kLogParams};
constexpr Signature kDelete{"store_delete_branch()", kNameParams};
constexpr const char* kCommitParams[] = {"handle", "tree", "message", "parents", "branch", "time"};
constexpr Signature kCommit{"store_commit()", kCommitParams};
constexpr const char* kDiffParams[] = {"handle", "old", "new"};
constexpr Signature kDiff{"store_diff()", kDiffParams};
constexpr const char* kMergeParams[] = {"handle", "branch", "into", "message", "time"};
constexpr Signature kMerge{"store_merge()", kMergeParams};
constexpr const char* kSetParams[] = {"handle", "name", "target", "create"};
constexpr Signature kSet{"store_set_branch()", kSetParams};
constexpr Signature kName{"store_name()", kHandleParams};
constexpr const char* kTransferParams[] = {"source", "target", "branch", "to_branch"};
constexpr Signature kTransfer{"store_transfer()", kTransferParams};

PyObject* mod_store_open(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    if (!bind(kOpen, args, nargs, kwnames, a.data())) return nullptr;
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(a[0], &raw)) return nullptr;
    Ref bytes = Ref::steal(raw);
    const std::string path(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    auto opened = without_lock([&](const vext::StopCheck&) { return st::Store::open(path); });
    if (!opened) return nullptr;
    if (!opened->ok()) return raise_store_error(state, opened->error());
    auto handle = std::make_unique<Handle>();
    handle->store = std::move(*opened).value();
    Ref capsule = Ref::steal(PyCapsule_New(handle.get(), kCapsule, drop_handle));
    if (!capsule) return nullptr;
    handle.release();
    return capsule.release();
  });
}

PyObject* mod_store_close(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    if (!bind(kClose, args, nargs, kwnames, a.data())) return nullptr;
    auto* h = static_cast<Handle*>(PyCapsule_GetPointer(a[0], kCapsule));
    if (!h) return nullptr;
    if (h->busy) {
      PyErr_SetString(state.store_error, "the store is in use by another thread");
      return nullptr;
    }
    auto store = std::move(h->store);
    without_lock([&](const vext::StopCheck&) {
      store.reset();
      return 0;
    });
    Py_RETURN_NONE;
  });
}

PyObject* mod_store_commit(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 6> a{};
    if (!bind(kCommit, args, nargs, kwnames, a.data())) return nullptr;
    auto tree = py_to_tree(state.binding.tree_keys, a[1]);
    if (!tree) return nullptr;
    std::string message, branch;
    if (!to_text(a[2], "message", message) || !to_text(a[4], "branch", branch)) return nullptr;
    std::optional<std::vector<st::ObjectId>> parents;
    if (a[3] != Py_None && !(parents = to_ids(state, a[3]))) return nullptr;
    const auto time = to_time(a[5]);
    if (!time) return nullptr;
    auto id = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck& stop) {
      return s.commit(*tree, message, parents, branch, *time, stop);
    });
    return id ? hex(*id).release() : nullptr;
  });
}

// Resolves a name inside a call that already runs without the lock.
template <class F>
auto resolved(st::Store& s, const std::string& name, F&& then) -> decltype(then(st::ObjectId{})) {
  auto id = s.resolve(name);
  if (!id.ok()) return id.error();
  return then(*id);
}

PyObject* mod_store_resolve(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    if (!bind(kResolve, args, nargs, kwnames, a.data())) return nullptr;
    std::string name;
    if (!to_text(a[1], "name", name)) return nullptr;
    auto id = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck&) { return s.resolve(name); });
    return id ? hex(*id).release() : nullptr;
  });
}

// Converts a tree given as its nodes in pre-order.
Ref nodes_to_py(const CoreState& state, const st::NodeList& list) {
  return preorder_to_py(state.binding.tree_keys, list.size(), [&](std::size_t i) {
    const st::NodeRecord& n = *list[i];
    return PreorderNode{{n.kind, n.identity ? std::optional<std::string_view>(*n.identity) : std::nullopt, n.label,
                         n.text, n.attributes},
                        n.child_count};
  });
}

PyObject* mod_store_tree(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    if (!bind(kTree, args, nargs, kwnames, a.data())) return nullptr;
    std::string name;
    if (!to_text(a[1], "commit", name)) return nullptr;
    auto nodes = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck& stop) {
      return resolved(s, name, [&](const st::ObjectId& id) { return s.tree_nodes(id, stop); });
    });
    if (!nodes) return nullptr;
    return nodes_to_py(state, **nodes).release();
  });
}

PyObject* mod_store_info(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    if (!bind(kInfo, args, nargs, kwnames, a.data())) return nullptr;
    std::string name;
    if (!to_text(a[1], "commit", name)) return nullptr;
    auto info = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck&) {
      return resolved(s, name, [&](const st::ObjectId& id) -> vext::Result<st::CommitInfo, st::StoreError> {
        auto c = s.read_commit(id);
        if (!c.ok()) return c.error();
        return st::CommitInfo{id, std::move(c).value()};
      });
    });
    return info ? commit_tuple(info->id, info->record).release() : nullptr;
  });
}

// The field slots of the class log's commits are made of, in field order:
// filling them directly is what its __init__ does, at a fraction of the cost
// of calling it once per commit.
struct CommitSlots {
  PyTypeObject* type = nullptr;
  std::array<Ref, 5> fields;  // member descriptors: id, root, parents, message, time
};

std::optional<CommitSlots> commit_slots(PyObject* type) {
  static constexpr std::array<const char*, 5> kFields = {"id", "root", "parents", "message", "time"};
  if (!PyType_Check(type)) {
    PyErr_SetString(PyExc_TypeError, "store_log() argument 'commit_type' must be a class");
    return std::nullopt;
  }
  CommitSlots out{.type = reinterpret_cast<PyTypeObject*>(type), .fields = {}};
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    out.fields[i] = Ref::steal(PyObject_GetAttrString(type, kFields[i]));
    if (!out.fields[i] && !PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    if (!out.fields[i] || !Py_IS_TYPE(out.fields[i].get(), &PyMemberDescr_Type)) {
      PyErr_Format(PyExc_TypeError, "store_log() argument 'commit_type' has no slot '%s'", kFields[i]);
      return std::nullopt;
    }
  }
  return out;
}

using LogIndex = std::unordered_map<st::ObjectId, std::size_t, st::ObjectId::Hash>;

// Makes one commit of `slots.type`; `ids[k]` is the str of `log[k].id`, so
// that parents share their str with the commit they name. `index` finds a
// commit's place in `log`, filled on first need.
Ref commit_object(const CommitSlots& slots, const std::vector<st::CommitInfo>& log, std::size_t at,
                  const std::vector<Ref>& ids, LogIndex& index) {
  const st::CommitRecord& c = log[at].record;
  Ref parents = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(c.parents.size())));
  if (!parents) return {};
  for (std::size_t i = 0; i < c.parents.size(); ++i) {
    const st::ObjectId& p = c.parents[i];
    // Newest first, a first parent is most often the next commit listed.
    Ref text;
    if (at + 1 < log.size() && log[at + 1].id == p) {
      text = Ref::borrow(ids[at + 1].get());
    } else {
      if (index.empty()) {
        index.reserve(log.size());
        for (std::size_t k = 0; k < log.size(); ++k) index.emplace(log[k].id, k);
      }
      const auto it = index.find(p);
      text = it != index.end() ? Ref::borrow(ids[it->second].get()) : hex(p);
    }
    if (!text) return {};
    PyTuple_SET_ITEM(parents.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  Ref root = hex(c.root);
  Ref message = from_string(c.message);
  Ref time = Ref::steal(PyFloat_FromDouble(static_cast<double>(c.time_us) / 1e6));
  if (!root || !message || !time) return {};
  Ref obj = Ref::steal(slots.type->tp_alloc(slots.type, 0));
  if (!obj) return {};
  const std::array<PyObject*, 5> values = {ids[at].get(), root.get(), parents.get(), message.get(), time.get()};
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* field = slots.fields[i].get();
    if (Py_TYPE(field)->tp_descr_set(field, obj.get(), values[i]) != 0) return {};
  }
  return obj;
}

PyObject* mod_store_log(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 3> a{};
    if (!bind(kLog, args, nargs, kwnames, a.data())) return nullptr;
    std::string name;
    if (!to_text(a[1], "branch", name)) return nullptr;
    auto slots = commit_slots(a[2]);
    if (!slots) return nullptr;
    auto commits = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck& stop) {
      return resolved(s, name, [&](const st::ObjectId& id) { return s.log(id, stop); });
    });
    if (!commits) return nullptr;
    const std::vector<st::CommitInfo>& log = *commits;
    std::vector<Ref> ids;
    ids.reserve(log.size());
    for (const st::CommitInfo& c : log) {
      ids.push_back(hex(c.id));
      if (!ids.back()) return nullptr;
    }
    LogIndex index;
    const CollectorPause pause;
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(log.size())));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < log.size(); ++k) {
      Ref commit = commit_object(*slots, log, k, ids, index);
      if (!commit) return nullptr;
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), commit.release());
    }
    return out.release();
  });
}

PyObject* mod_store_diff(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 3> a{};
    if (!bind(kDiff, args, nargs, kwnames, a.data())) return nullptr;
    std::string old_name, new_name;
    if (!to_text(a[1], "old", old_name) || !to_text(a[2], "new", new_name)) return nullptr;
    auto changes = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck& stop) {
      return resolved(s, old_name, [&](const st::ObjectId& x) {
        return resolved(s, new_name, [&](const st::ObjectId& y) { return s.diff(x, y, stop); });
      });
    });
    return changes ? list_of(*changes, [&](const vext::Change& c) { return from_change(state, c); }).release() : nullptr;
  });
}

PyObject* mod_store_merge(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 5> a{};
    if (!bind(kMerge, args, nargs, kwnames, a.data())) return nullptr;
    std::string branch, into, message;
    if (!to_text(a[1], "branch", branch) || !to_text(a[2], "into", into) || !to_text(a[3], "message", message))
      return nullptr;
    const auto time = to_time(a[4]);
    if (!time) return nullptr;
    auto merged = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck& stop) {
      return s.merge(branch, into, message, *time, stop, st::MergedTree::Nodes);
    });
    if (!merged) return nullptr;
    Ref tree = nodes_to_py(state, *merged->nodes);
    Ref conflicts = list_of(merged->conflicts, [&](const vext::Conflict& c) { return from_conflict(state, c); });
    Ref commit = optional_hex(merged->commit), base = hex(merged->base);
    if (!tree || !conflicts || !commit || !base) return nullptr;
    return PyTuple_Pack(4, tree.get(), conflicts.get(), commit.get(), base.get());
  });
}

PyObject* mod_store_branches(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    if (!bind(kBranches, args, nargs, kwnames, a.data())) return nullptr;
    auto refs = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck&) { return s.branches(); });
    if (!refs) return nullptr;
    return list_of(*refs, [](const std::pair<std::string, st::ObjectId>& r) {
             Ref name = from_string(r.first), id = hex(r.second);
             if (!name || !id) return Ref();
             return Ref::steal(PyTuple_Pack(2, name.get(), id.get()));
           })
        .release();
  });
}

PyObject* mod_store_set_branch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 4> a{};
    if (!bind(kSet, args, nargs, kwnames, a.data())) return nullptr;
    std::string name, target;
    if (!to_text(a[1], "name", name) || !to_text(a[2], "target", target)) return nullptr;
    const int create = PyObject_IsTrue(a[3]);
    if (create < 0) return nullptr;
    auto id = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck&) {
      return resolved(s, target, [&](const st::ObjectId& at) -> vext::Result<st::ObjectId, st::StoreError> {
        std::optional<std::optional<st::ObjectId>> expected;
        if (create) expected.emplace();
        auto done = s.set_branch(name, at, expected);
        if (!done.ok()) return done.error();
        return at;
      });
    });
    return id ? hex(*id).release() : nullptr;
  });
}

PyObject* mod_store_delete_branch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    if (!bind(kDelete, args, nargs, kwnames, a.data())) return nullptr;
    std::string name;
    if (!to_text(a[1], "name", name)) return nullptr;
    auto done = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck&) { return s.delete_branch(name); });
    if (!done) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* mod_store_verify(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    if (!bind(kVerify, args, nargs, kwnames, a.data())) return nullptr;
    auto report = with_store(state, a[0], [&](st::Store& s, const vext::StopCheck& stop) { return s.verify(stop); });
    if (!report) return nullptr;
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(report->objects),
                         static_cast<unsigned long long>(report->commits),
                         static_cast<unsigned long long>(report->branches));
  });
}

PyObject* mod_store_name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    if (!bind(kName, args, nargs, kwnames, a.data())) return nullptr;
    auto* h = static_cast<Handle*>(PyCapsule_GetPointer(a[0], kCapsule));
    if (!h) return nullptr;
    if (!h->store) {
      PyErr_SetString(state.store_error, "the store is closed");
      return nullptr;
    }
    return from_string(h->store->name()).release();
  });
}

// Copies a branch between two open stores; both count as busy meanwhile.
PyObject* mod_store_transfer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 4> a{};
    if (!bind(kTransfer, args, nargs, kwnames, a.data())) return nullptr;
    auto* from = static_cast<Handle*>(PyCapsule_GetPointer(a[0], kCapsule));
    auto* to = from ? static_cast<Handle*>(PyCapsule_GetPointer(a[1], kCapsule)) : nullptr;
    if (!to) return nullptr;
    std::string branch, to_branch;
    if (!to_text(a[2], "branch", branch) || !to_text(a[3], "to_branch", to_branch)) return nullptr;
    if (!from->store || !to->store) {
      PyErr_SetString(state.store_error, "the store is closed");
      return nullptr;
    }
    ++from->busy;
    ++to->busy;
    std::optional<vext::Result<st::TransferReport, st::StoreError>> result;
    try {
      result = without_lock([&](const vext::StopCheck& stop) {
        return st::transfer(*from->store, *to->store, branch, to_branch, stop);
      });
    } catch (...) {
      --from->busy;
      --to->busy;
      throw;
    }
    --from->busy;
    --to->busy;
    if (!result) return nullptr;
    if (!result->ok()) return raise_store_error(state, result->error());
    const st::TransferReport& r = result->value();
    Ref head = hex(r.head);
    if (!head) return nullptr;
    return Py_BuildValue("(KKO)", static_cast<unsigned long long>(r.objects),
                         static_cast<unsigned long long>(r.commits), head.get());
  });
}

PyMethodDef store_methods[] = {
    {"store_open", as_method(mod_store_open), METH_FASTCALL | METH_KEYWORDS, "store_open(path)\n--\n\n"},
    {"store_close", as_method(mod_store_close), METH_FASTCALL | METH_KEYWORDS, "store_close(handle)\n--\n\n"},
    {"store_commit", as_method(mod_store_commit), METH_FASTCALL | METH_KEYWORDS,
     "store_commit(handle, tree, message, parents, branch, time)\n--\n\n"},
    {"store_resolve", as_method(mod_store_resolve), METH_FASTCALL | METH_KEYWORDS,
     "store_resolve(handle, name)\n--\n\n"},
    {"store_tree", as_method(mod_store_tree), METH_FASTCALL | METH_KEYWORDS, "store_tree(handle, name)\n--\n\n"},
    {"store_info", as_method(mod_store_info), METH_FASTCALL | METH_KEYWORDS, "store_info(handle, name)\n--\n\n"},
    {"store_log", as_method(mod_store_log), METH_FASTCALL | METH_KEYWORDS,
     "store_log(handle, name, commit_type)\n--\n\n"},
    {"store_diff", as_method(mod_store_diff), METH_FASTCALL | METH_KEYWORDS, "store_diff(handle, old, new)\n--\n\n"},
    {"store_merge", as_method(mod_store_merge), METH_FASTCALL | METH_KEYWORDS,
     "store_merge(handle, branch, into, message, time)\n--\n\n"},
    {"store_branches", as_method(mod_store_branches), METH_FASTCALL | METH_KEYWORDS,
     "store_branches(handle)\n--\n\n"},
    {"store_set_branch", as_method(mod_store_set_branch), METH_FASTCALL | METH_KEYWORDS,
     "store_set_branch(handle, name, target, create)\n--\n\n"},
    {"store_delete_branch", as_method(mod_store_delete_branch), METH_FASTCALL | METH_KEYWORDS,
     "store_delete_branch(handle, name)\n--\n\n"},
    {"store_verify", as_method(mod_store_verify), METH_FASTCALL | METH_KEYWORDS, "store_verify(handle)\n--\n\n"},
    {"store_name", as_method(mod_store_name), METH_FASTCALL | METH_KEYWORDS, "store_name(handle)\n--\n\n"},
    {"store_transfer", as_method(mod_store_transfer), METH_FASTCALL | METH_KEYWORDS,
     "store_transfer(source, target, branch, to_branch)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_store_api(PyObject* module, CoreState& state) {
  return add_api(module, store_methods, state.store_error, "StoreError",
                 "A store could not be opened, read or written: the message names the file and the problem.",
                 PyExc_Exception, Py_BuildValue("{s:s}", "reason", "io"));
}

}  // namespace vext_py
