// libFuzzer target for the core library: trees decoded from the input go
// through the diff and the merge, and the results are checked against the
// rules that hold for every input.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "decode.h"
#include "tree/diff.h"
#include "tree/merge.h"

namespace vext::fuzz {
namespace {

[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "core_fuzz: check failed at line %d: %s\n", line, what);
  std::abort();
}
#define VEXT_CHECK(cond) \
  do {                   \
    if (!(cond)) ::vext::fuzz::fail(#cond, __LINE__); \
  } while (0)

bool has_kind(const std::vector<TreeChange>& changes, ChangeKind kind) {
  return std::any_of(changes.begin(), changes.end(), [&](const TreeChange& c) { return c.kind == kind; });
}

bool any_kind_has_hash(TreeNode& root) {
  for (const TreeNode* n : all_nodes(root))
    if (n->kind.find('#') != std::string::npos) return true;
  return false;
}

// The diff the other way round reports the same nodes with Added and
// Removed exchanged, as long as no kind holds "#" (a key then names one
// kind and one identity) and both roots or neither have an identity. The
// roots pair whatever their keys, and a Modified root names the new one.
void check_reverse_diff(TreeNode& a, TreeNode& b, const std::vector<TreeChange>& forward) {
  if (a.identity.has_value() != b.identity.has_value()) return;
  if (any_kind_has_hash(a) || any_kind_has_hash(b)) return;
  using Row = std::tuple<int, std::string, std::string>;
  auto rows = [](const std::vector<TreeChange>& changes, bool swap) {
    std::vector<Row> out;
    for (const TreeChange& c : changes) {
      int k = static_cast<int>(c.kind);
      if (swap && c.kind != ChangeKind::Modified) k = c.kind == ChangeKind::Added ? 1 : 0;
      if (c.path.empty()) {
        out.emplace_back(k, std::string(), std::string());
      } else {
        out.emplace_back(k, c.elem_type, c.id);
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  VEXT_CHECK(rows(forward, true) == rows(tree_diff(b, a).changes, false));
}

void check_trees(TreeNode& base, TreeNode& ours, TreeNode& theirs) {
  const TreeNode copy = base;
  VEXT_CHECK(copy == base);
  VEXT_CHECK(tree_diff(base, base).changes.empty());
  VEXT_CHECK(tree_diff(base, copy).changes.empty());

  const auto same = tree_merge(base, base, copy);
  VEXT_CHECK(same.merged == base);
  VEXT_CHECK(same.conflicts.empty());

  const std::vector<TreeChange> ours_changes = tree_diff(base, ours).changes;
  for (const TreeChange& c : ours_changes) {
    VEXT_CHECK(!c.path.empty() || c.kind == ChangeKind::Modified);
    VEXT_CHECK(c.kind == ChangeKind::Modified || (c.attr_changes.empty() && !c.text_change));
  }
  check_reverse_diff(base, ours, ours_changes);

  // Both sides equal: ours comes back whole.
  VEXT_CHECK(tree_merge(base, ours, ours).merged == ours);
  // theirs unchanged and nothing removed by ours: ours comes back, no conflict.
  const auto one_sided = tree_merge(base, ours, base);
  if (!has_kind(ours_changes, ChangeKind::Removed)) VEXT_CHECK(one_sided.merged == ours);
  VEXT_CHECK(one_sided.conflicts.empty());
  // ours unchanged: no identified node of base is lost.
  const auto theirs_only = tree_merge(base, base, theirs);
  VEXT_CHECK(!has_kind(tree_diff(base, theirs_only.merged).changes, ChangeKind::Removed));

  const auto full = tree_merge(base, ours, theirs);
  for (const TreeConflict& c : full.conflicts)
    VEXT_CHECK(c.conflict_kind == ConflictKind::Attribute || c.attribute.empty());
}

}  // namespace
}  // namespace vext::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vext::fuzz;
  Bytes in(data, size);
  const std::uint8_t mode = in.next();
  vext::TreeNode base = read_tree(in);
  vext::TreeNode ours;
  vext::TreeNode theirs;
  if (mode & 1) {
    ours = read_tree(in);
    theirs = read_tree(in);
  } else {
    ours = read_edits(in, base);
    theirs = read_edits(in, base);
  }
  check_trees(base, ours, theirs);
  return 0;
}
