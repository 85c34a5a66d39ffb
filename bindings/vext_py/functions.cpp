// The module-level functions diff_trees and merge_trees.
#include "functions.h"

#include <array>

#include "args.h"
#include "boundary.h"
#include "tree/diff.h"
#include "tree/merge.h"
#include "module.h"
#include "tree_convert.h"

namespace vext_py {
namespace {

constexpr const char* kDiffParams[] = {"a", "b"};
constexpr Signature kDiffTrees{"diff_trees()", kDiffParams};
constexpr const char* kMergeParams[] = {"base", "ours", "theirs"};
constexpr Signature kMergeTrees{"merge_trees()", kMergeParams};

Ref change_to_py(const ChangeKeys& k, const vext::TreeChange& change) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  Ref elem_type = from_string(change.elem_type);
  if (!elem_type) return {};
  Ref id = from_string(change.id);
  if (!id) return {};
  if (PyDict_SetItem(dict.get(), k.kind, k.names[static_cast<int>(change.kind)]) != 0 ||
      PyDict_SetItem(dict.get(), k.elem_type, elem_type.get()) != 0 ||
      PyDict_SetItem(dict.get(), k.id, id.get()) != 0)
    return {};
  return dict;
}

PyObject* mod_diff_trees(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_core(module_state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    if (!bind(kDiffTrees, args, nargs, kwnames, a.data())) return nullptr;
    auto trees = py_to_trees(module_state.binding.tree_keys, a);
    if (!trees) return nullptr;
    const vext::TreeDiff diff = vext::tree_diff((*trees)[0], (*trees)[1]);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(diff.changes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < diff.changes.size(); ++i) {
      Ref item = change_to_py(module_state.change_keys, diff.changes[i]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  });
}

PyObject* mod_merge_trees(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_core(module_state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 3> a{};
    if (!bind(kMergeTrees, args, nargs, kwnames, a.data())) return nullptr;
    auto trees = py_to_trees(module_state.binding.tree_keys, a);
    if (!trees) return nullptr;
    const auto& [base, ours, theirs] = *trees;
    const vext::TreeMergeResult result = vext::tree_merge(base, ours, theirs);
    Ref merged = tree_to_py(module_state.binding.tree_keys, result.merged);
    if (!merged) return nullptr;
    Ref count = Ref::steal(PyLong_FromSize_t(result.conflicts.size()));
    if (!count) return nullptr;
    return PyTuple_Pack(2, merged.get(), count.get());
  });
}

}  // namespace

PyMethodDef merge_trees_def = {"merge_trees", as_method(mod_merge_trees), METH_FASTCALL | METH_KEYWORDS,
                               "merge_trees(base, ours, theirs)\n--\n\n"};

PyMethodDef diff_trees_def = {"diff_trees", as_method(mod_diff_trees), METH_FASTCALL | METH_KEYWORDS,
                              "diff_trees(a, b)\n--\n\n"};

}  // namespace vext_py
