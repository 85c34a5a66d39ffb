// The Repo class: one core repository per instance, guarded by a borrow counter.
#include "repo_type.h"

#include <array>
#include <cstdint>
#include <new>
#include <tuple>

#include "args.h"
#include "module.h"
#include "boundary.h"
#include "repo/repo.h"
#include "repo/serialize.h"
#include "repo_cache.h"
#include "tree_convert.h"

namespace vext_py {
namespace {

struct RepoObject {
  PyObject_HEAD
  vext::Repo repo;
  RepoCache cache;      // holds only strs, ints and tuples of them, so no cycles
  std::int64_t borrow;  // 0 free, > 0 shared readers, -1 exclusive
};

RepoObject* as_repo(PyObject* self) { return reinterpret_cast<RepoObject*>(self); }

enum class Access { Shared, Exclusive };

// Holds the instance's borrow for one call; released on every path.
class Borrow {
 public:
  Borrow(PyObject* self, Access access) : repo_(as_repo(self)), access_(access) {
    if (access == Access::Exclusive) {
      if (repo_->borrow != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        repo_ = nullptr;
        return;
      }
      repo_->borrow = -1;
    } else {
      if (repo_->borrow < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        repo_ = nullptr;
        return;
      }
      ++repo_->borrow;
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!repo_) return;
    if (access_ == Access::Exclusive) {
      repo_->borrow = 0;
    } else {
      --repo_->borrow;
    }
  }
  explicit operator bool() const { return repo_ != nullptr; }

 private:
  RepoObject* repo_;
  Access access_;
};

// Renders an optional section value as its text form, or None.
Ref optional_value_to_py(const std::optional<vext::Value>& value) {
  if (!value) return Ref::borrow(Py_None);
  return from_string(vext::to_text(*value));
}

Ref path_to_py(vext::PathView path) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(path.size())));
  if (!list) return {};
  Py_ssize_t i = 0;
  for (std::string_view element : path) {
    Ref s = from_string(element);
    if (!s) return {};
    PyList_SET_ITEM(list.get(), i++, s.release());
  }
  return list;
}

// Raises the ValueError that carries a failed store's or patch's text form.
template <class E>
PyObject* raise_history_error(const E& error) {
  Ref message = from_string(vext::to_text(error));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// The tree dict of a stored section, built straight from the store; the
// same tree that Repo::section_as_tree rebuilds.
Ref section_tree_to_py(RepoObject* self, vext::SectionHash hash) {
  return self->cache.section_tree(module_state.binding.tree_keys, self->repo.store(), self->repo.section_root(hash));
}

// --- methods -----------------------------------------------------------------

constexpr const char* kCommitParams[] = {"message", "parents", "tree"};
constexpr Signature kCommit{"Repo.commit()", kCommitParams};
constexpr const char* kDiffParams[] = {"a", "b"};
constexpr Signature kDiff{"Repo.diff()", kDiffParams};
constexpr const char* kMergeParams[] = {"ours", "theirs"};
constexpr Signature kMerge{"Repo.merge()", kMergeParams};
constexpr const char* kCherryParams[] = {"src", "dst"};
constexpr Signature kCherryPick{"Repo.cherry_pick()", kCherryParams};
constexpr const char* kRevertParams[] = {"target", "dst"};
constexpr Signature kRevert{"Repo.revert()", kRevertParams};
constexpr const char* kTreeAtParams[] = {"commit"};
constexpr Signature kTreeAt{"Repo.tree_at()", kTreeAtParams};
constexpr Signature kNew{"Repo.__new__()", {}};

PyObject* repo_commit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_core(module_state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 3> a{};
    if (!bind(kCommit, args, nargs, kwnames, a.data())) return nullptr;
    Borrow borrow(self, Access::Exclusive);
    if (!borrow) return nullptr;
    auto message = to_message(kCommit, a.data(), 0);
    if (!message) return nullptr;
    auto parents = to_parents(kCommit, a.data(), 1);
    if (!parents) return nullptr;
    auto tree = py_to_tree(module_state.binding.tree_keys, a[2]);
    if (!tree) return nullptr;
    auto id = as_repo(self)->repo.commit(*message, *parents, *tree);
    if (!id) return raise_history_error(id.error());
    return PyLong_FromUnsignedLongLong(*id);
  });
}

// Runs a method whose N parameters are commit ids: binds and converts them
// under the instance's borrow, then returns body(instance, id...).
template <std::size_t N, class Body>
PyObject* id_method(PyObject* self, const Signature& sig, Access access, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Body body) {
  return call_core(module_state.binding, [&]() -> PyObject* {
    std::array<PyObject*, N> a{};
    if (!bind(sig, args, nargs, kwnames, a.data())) return nullptr;
    Borrow borrow(self, access);
    if (!borrow) return nullptr;
    std::array<std::uint64_t, N> ids{};
    for (std::size_t i = 0; i < N; ++i) {
      auto id = to_commit_id(sig, a.data(), i);
      if (!id) return nullptr;
      ids[i] = *id;
    }
    return std::apply([&](auto... id) { return body(*as_repo(self), id...); }, ids);
  });
}

PyObject* repo_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return id_method<2>(self, kDiff, Access::Shared, args, nargs, kwnames,
                       [](RepoObject& self, std::uint64_t from, std::uint64_t to) -> PyObject* {
    const vext::EditSet edits = self.repo.diff(from, to);
    Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(edits.size())));
    if (!rows) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& entry : edits) {
      Ref p = path_to_py(entry.path);
      Ref before = p ? optional_value_to_py(entry.value.before) : Ref();
      Ref after = before ? optional_value_to_py(entry.value.after) : Ref();
      if (!after) return nullptr;
      Ref row = Ref::steal(PyTuple_Pack(3, p.get(), before.get(), after.get()));
      if (!row) return nullptr;
      PyList_SET_ITEM(rows.get(), i++, row.release());
    }
    return rows.release();
  });
}

PyObject* repo_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return id_method<2>(self, kMerge, Access::Exclusive, args, nargs, kwnames,
                       [](RepoObject& self, std::uint64_t ours, std::uint64_t theirs) -> PyObject* {
    auto result = self.repo.merge(ours, theirs);
    if (!result) return raise_history_error(result.error());
    Ref tree = section_tree_to_py(&self, result->merged_hash);
    if (!tree) return nullptr;
    Ref conflicts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(result->conflicts.size())));
    if (!conflicts) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& conflict : result->conflicts) {
      Ref s = from_string(vext::join_path(conflict.path));
      if (!s) return nullptr;
      PyList_SET_ITEM(conflicts.get(), i++, s.release());
    }
    return PyTuple_Pack(2, tree.get(), conflicts.get());
  });
}

// Returns the tree a cherry-pick or revert stored, or raises its failure.
PyObject* applied_tree(RepoObject& self, const vext::Result<vext::SectionHash, vext::HistoryError>& hash) {
  if (!hash) return raise_history_error(hash.error());
  return section_tree_to_py(&self, *hash).release();
}

PyObject* repo_cherry_pick(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return id_method<2>(self, kCherryPick, Access::Exclusive, args, nargs, kwnames,
                       [](RepoObject& r, std::uint64_t src, std::uint64_t dst) {
                         return applied_tree(r, r.repo.cherry_pick(src, dst));
                       });
}

PyObject* repo_revert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return id_method<2>(self, kRevert, Access::Exclusive, args, nargs, kwnames,
                       [](RepoObject& r, std::uint64_t target, std::uint64_t dst) {
                         return applied_tree(r, r.repo.revert(target, dst));
                       });
}

PyObject* repo_log(PyObject* self, PyObject*) {
  return call_core(module_state.binding, [&]() -> PyObject* {
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    return as_repo(self)->cache.log(as_repo(self)->repo).release();
  });
}

PyObject* repo_tree_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return id_method<1>(self, kTreeAt, Access::Shared, args, nargs, kwnames, [](RepoObject& self, std::uint64_t id) {
    const TreeKeys& keys = module_state.binding.tree_keys;
    return self.cache.section_tree(keys, self.repo.store(), self.repo.root_of(id)).release();
  });
}

Py_ssize_t repo_len(PyObject* self) {
  Borrow borrow(self, Access::Shared);
  if (!borrow) return -1;
  return static_cast<Py_ssize_t>(as_repo(self)->repo.commit_count());
}

PyObject* repo_repr(PyObject* self) {
  Borrow borrow(self, Access::Shared);
  if (!borrow) return nullptr;
  return PyUnicode_FromFormat("Repo(commits=%zu)", as_repo(self)->repo.commit_count());
}

// Pickling and copying: the state is the repository saved as one bytes
// object, restored into a new Repo() by __setstate__.
PyObject* repo_reduce(PyObject* self, PyObject*) {
  Borrow borrow(self, Access::Shared);
  if (!borrow) return nullptr;
  return call_core(module_state.binding, [&]() -> PyObject* {
    const std::string state = vext::save(as_repo(self)->repo);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), bytes.get());
  });
}

PyObject* repo_setstate(PyObject* self, PyObject* state) {
  Borrow borrow(self, Access::Exclusive);
  if (!borrow) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(state, &view, PyBUF_SIMPLE) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    return PyErr_Format(PyExc_TypeError, "Repo.__setstate__() expects bytes, not '%s'", Py_TYPE(state)->tp_name);
  }
  PyObject* result = call_core(module_state.binding, [&]() -> PyObject* {
    as_repo(self)->cache.clear();
    auto loaded = vext::load(std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)),
                             as_repo(self)->repo);
    if (!loaded) {
      Ref message = from_string("Repo.__setstate__(): " + loaded.error().message);
      if (message) PyErr_SetObject(PyExc_ValueError, message.get());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
  PyBuffer_Release(&view);
  return result;
}

PyObject* repo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_core(module_state.binding, [&]() -> PyObject* {
    // Bind through the shared binder so that messages match the methods'.
    // Repo() has no parameters, so the binder reads no argument values.
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
      Ref keys = Ref::steal(PyDict_Keys(kwargs));
      kwnames = keys ? Ref::steal(PyList_AsTuple(keys.get())) : Ref();
      if (!kwnames) return nullptr;
    }
    if (!bind(kNew, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), kwnames.get(), nullptr)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    try {
      new (&as_repo(self)->repo) vext::Repo();
      new (&as_repo(self)->cache) RepoCache();
    } catch (...) {
      // Not a Repo yet: freed without running repo_dealloc.
      type->tp_free(self);
      Py_DECREF(type);
      throw;
    }
    as_repo(self)->borrow = 0;
    return self;
  });
}

void repo_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_repo(self)->cache.~RepoCache();
  as_repo(self)->repo.~Repo();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyMethodDef repo_methods[] = {
    {"commit", as_method(repo_commit), METH_FASTCALL | METH_KEYWORDS, "commit($self, message, parents, tree)\n--\n\n"},
    {"diff", as_method(repo_diff), METH_FASTCALL | METH_KEYWORDS, "diff($self, a, b)\n--\n\n"},
    {"merge", as_method(repo_merge), METH_FASTCALL | METH_KEYWORDS, "merge($self, ours, theirs)\n--\n\n"},
    {"cherry_pick", as_method(repo_cherry_pick), METH_FASTCALL | METH_KEYWORDS, "cherry_pick($self, src, dst)\n--\n\n"},
    {"revert", as_method(repo_revert), METH_FASTCALL | METH_KEYWORDS, "revert($self, target, dst)\n--\n\n"},
    {"log", as_method(repo_log), METH_NOARGS, "log($self)\n--\n\n"},
    {"tree_at", as_method(repo_tree_at), METH_FASTCALL | METH_KEYWORDS, "tree_at($self, commit)\n--\n\n"},
    {"__reduce__", repo_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", repo_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot repo_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(repo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(repo_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repo_repr)},
    {Py_mp_length, reinterpret_cast<void*>(repo_len)},
    {Py_tp_methods, repo_methods},
    {Py_tp_doc, const_cast<char*>("Repo()\n--\n\n")},
    {0, nullptr},
};

// The type's __name__ is "Repo"; the dotted prefix sets its __module__.
PyType_Spec repo_spec = {
    "vext_py.Repo",
    sizeof(RepoObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    repo_slots,
};

}  // namespace

PyObject* create_repo_type() { return PyType_FromSpec(&repo_spec); }

}  // namespace vext_py
