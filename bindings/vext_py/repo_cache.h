#pragma once

#include "ref.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "repo/repo.h"
#include "state.h"
#include "string_cache.h"

namespace vext_py {

// Keeps the Python objects that a repository's results are made of, so that
// later calls reuse them: a stored record never changes, so the strs of a
// node's fields, its children in rebuild order and the (id, message) row of
// a commit are made once. Only
// immutable objects are kept; every dict and list handed out is new.
//
// Calls that share the instance's borrow fill it too: no Python code runs
// while an entry is made, so no other call can see one half made.
//
// Entries are made for records that exist when a call succeeds. The store
// drops records only when an operation fails, and then only those appended
// since the operation began, so no entry ever outlives its record.
class RepoCache {
 public:
  RepoCache() = default;
  RepoCache(const RepoCache&) = delete;
  RepoCache& operator=(const RepoCache&) = delete;
  ~RepoCache() { clear(); }

  // Drops every entry. Dropping a str, int or tuple of them runs no Python code.
  void clear() noexcept;

  // Builds the tree dict that rebuilding a stored section gives. A missing
  // section, or one without a root, gives the dict of the empty node.
  Ref section_tree(const TreeKeys& keys, const vext::NodeStore& store, std::optional<vext::NodeId> section);

  // Builds the list of (id, message) rows of repo.log().
  Ref log(const vext::Repo& repo);

 private:
  // What a node's dict is made of. Its field objects sit in objects_ from
  // `first` on: kind, then identity, label and text when present, then a
  // name and a value per attribute. Its children, in rebuild order, sit in
  // kids_ from `kids` on, once the node has been a parent in some result.
  struct Node {
    std::uint32_t first = 0;  // index in objects_ + 1; 0 while not made
    std::uint32_t attrs = 0;
    std::uint32_t kids = 0;  // index in kids_ + 1; 0 while not made
    std::uint32_t kid_count = 0;
    std::uint8_t present = 0;  // kIdentity | kLabel | kText | kParent
  };
  static constexpr std::uint8_t kIdentity = 1, kLabel = 2, kText = 4, kParent = 8;

  // Returns the entry of node `at` with its fields made; nullptr with a
  // Python error set on failure. nodes_ must cover `at`.
  const Node* fields(const vext::NodeStore& store, vext::NodeId at);
  // Makes the list of a node's children in nodes_[at] unless it is there.
  void make_kids(const vext::NodeStore& store, vext::NodeId at);
  Ref node_dict(const TreeKeys& keys, const Node& n) const;
  // Starts loading the strs that node_dict(n) will reference: a node's own
  // strs (its identity, most often) sit apart from the dicts being built,
  // and waiting for each of them costs more than the rest of the dict.
  void prefetch(const Node& n) const;
  static constexpr std::size_t kAhead = 8;  // nodes between a prefetch and its use
  Ref row(vext::CommitId id, const vext::Commit& commit);

  std::vector<Node> nodes_;         // by node number
  std::vector<PyObject*> objects_;  // each a strong reference
  std::vector<vext::NodeId> kids_;
  StringCache strings_;           // shares the strs of equal short fields
  struct Row {
    vext::CommitId id = 0;
    PyObject* row = nullptr;  // strong; nullptr marks an empty slot
  };
  std::vector<Row> rows_;  // open addressing by commit id
  std::size_t row_count_ = 0;
  std::vector<vext::NodeId> scratch_;  // of make_kids
};

}  // namespace vext_py
