#pragma once

#include "ref.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "repo/repo.h"
#include "string_cache.h"

namespace vext_py {

// Keeps the Python objects that a repository's results are made of, so that
// later calls reuse them: a stored record never changes, so the strs of a
// node's fields and the (id, message) row of a commit are made once. Only
// immutable objects are kept; every dict and list handed out is new.
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
  Ref section_tree(const vext::NodeStore& store, std::optional<vext::NodeId> section);

  // Builds the list of (id, message) rows of repo.log().
  Ref log(const vext::Repo& repo);

 private:
  // Where a node's field objects sit in objects_: kind, then identity,
  // label and text when present, then a name and a value per attribute.
  struct Fields {
    std::uint32_t first = 0;  // index in objects_ + 1; 0 while not made
    std::uint32_t attrs = 0;
    std::uint8_t present = 0;  // kIdentity | kLabel | kText
  };
  static constexpr std::uint8_t kIdentity = 1, kLabel = 2, kText = 4;

  // Returns the fields of node `at`, making them if needed; nullptr with a
  // Python error set on failure.
  const Fields* fields(const vext::NodeStore& store, vext::NodeId at);
  Ref node_dict(const Fields& f) const;
  Ref row(vext::CommitId id, const vext::Commit& commit);

  std::vector<Fields> fields_;    // by node number
  std::vector<PyObject*> objects_;  // each a strong reference
  StringCache strings_;           // shares the strs of equal short fields
  struct Row {
    vext::CommitId id = 0;
    PyObject* row = nullptr;  // strong; nullptr marks an empty slot
  };
  std::vector<Row> rows_;  // open addressing by commit id
  std::size_t row_count_ = 0;
  std::vector<vext::NodeId> kids_;  // scratch space of section_tree
};

}  // namespace vext_py
