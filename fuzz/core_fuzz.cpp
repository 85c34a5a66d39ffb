// libFuzzer target for the core library: trees decoded from the input go
// through one area of the core, chosen by the input's first byte: the
// located diff and lossless merge, the tree diff and merge with a
// repository, or the section form, the patches and the section merge. The
// results are checked against the rules that hold for every input. Each run
// takes one area so that it stays short and its coverage says which area
// the input reached.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <tuple>

#include "decode.h"
#include "patch/merge.h"
#include "patch/patch.h"
#include "repo/repo.h"
#include "sequence_rule.h"
#include "section/section.h"
#include "lossless/lossless.h"
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
      if (c.path == 0) {
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
    VEXT_CHECK(c.path != 0 || c.kind == ChangeKind::Modified);
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

// Renders a tree with attributes and children sorted: equal for two trees
// that hold the same nodes in any sibling order. Fuzzed trees are shallow
// enough to recurse.
std::string unordered(const TreeNode& n) {
  auto field = [](std::string& out, std::string_view s) {
    out += std::to_string(s.size());
    out += ':';
    out += s;
  };
  std::string out;
  field(out, n.kind);
  out += n.identity ? '+' : '-';
  field(out, n.identity.value_or(""));
  field(out, n.label);
  field(out, n.text);
  Attributes attrs = n.attributes;
  std::sort(attrs.begin(), attrs.end());
  for (const auto& [name, value] : attrs) {
    field(out, name);
    field(out, value);
  }
  std::vector<std::string> kids;
  for (const TreeNode& c : n.children) kids.push_back(unordered(c));
  std::sort(kids.begin(), kids.end());
  out += '(';
  for (const std::string& k : kids) field(out, k);
  out += ')';
  return out;
}

// The located diff is an edit script, applying it elsewhere fits or is
// refused, and the lossless merge takes a side that changed nothing whole and
// is symmetric in its conflicts.
void check_three_way(const TreeNode& base, const TreeNode& ours, const TreeNode& theirs) {
  const std::vector<Change> changes = located_diff(base, ours);
  const auto applied = apply_changes(base, changes);
  VEXT_CHECK(applied.ok() && *applied == ours);
  VEXT_CHECK(located_diff(ours, ours).empty());
  const auto back = apply_changes(ours, located_diff(ours, base));
  VEXT_CHECK(back.ok() && *back == base);
  const auto elsewhere = apply_changes(theirs, changes);
  VEXT_CHECK(elsewhere.ok() || !elsewhere.error().detail.empty());
  for (const auto& [o, t] : {std::pair{&ours, &base}, std::pair{&base, &ours}, std::pair{&ours, &ours}}) {
    const ThreeWayResult r = three_way_merge(base, *o, *t);
    VEXT_CHECK(r.tree == ours && r.conflicts.empty());
  }
  const ThreeWayResult full = three_way_merge(base, ours, theirs);
  const ThreeWayResult swapped = three_way_merge(base, theirs, ours);
  VEXT_CHECK(full.conflicts.size() == swapped.conflicts.size());
  for (const Conflict& c : full.conflicts) {
    const Conflict flipped{c.location, c.field, c.name, c.base, c.theirs, c.ours};
    VEXT_CHECK(std::find(swapped.conflicts.begin(), swapped.conflicts.end(), flipped) != swapped.conflicts.end());
  }
  // Without conflicts neither side wins anything, so the sides swapped give
  // the same nodes (the order of additions at one place follows the sides).
  if (full.conflicts.empty()) VEXT_CHECK(unordered(full.tree) == unordered(swapped.tree));
}

// Whether flattening and rebuilding gives the tree back: no two siblings
// share a path element and no identity equals its node's kind.
bool rebuilds_exactly(TreeNode& root) {
  if (root.identity && *root.identity == root.kind) return false;
  for (TreeNode* n : all_nodes(root)) {
    std::set<std::string_view> elements;
    for (const TreeNode& c : n->children) {
      if (c.identity && *c.identity == c.kind) return false;
      if (!elements.insert(path_element(c)).second) return false;
    }
  }
  return true;
}

bool valid_utf8_without_controls(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7f) return false;
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

void check_section_of(TreeNode& tree, const Section& section) {
  VEXT_CHECK(!section.empty());
  std::optional<TreeNode> back = to_tree(section);
  VEXT_CHECK(back.has_value());
  if (rebuilds_exactly(tree)) VEXT_CHECK(*back == tree);
  // A rebuilt tree meets the conditions, so it survives another round.
  VEXT_CHECK(to_tree(to_section(*back)) == back);
  for (const auto& entry : section) {
    VEXT_CHECK(!entry.path.empty());
    VEXT_CHECK(valid_utf8_without_controls(to_text(entry.value)));
  }
}

void check_patches(const Section& a, const Section& b, const Section& c) {
  VEXT_CHECK(diff_sections(a, a).empty());
  const EditSet ab = diff_sections(a, b);
  VEXT_CHECK(invert(invert(ab)) == ab);
  ApplyResult forward = apply_to_section(ab, a);
  VEXT_CHECK(forward.ok() && forward.value() == b);
  ApplyResult backward = apply_to_section(invert(ab), b);
  VEXT_CHECK(backward.ok() && backward.value() == a);
  ApplyResult onto_c = apply_to_section(ab, c);
  if (!onto_c.ok()) {
    // The reported path is one where c does not hold what a held.
    const ApplyError& e = onto_c.error();
    const Value* in_a = a.find(e.location);
    const Value* in_c = c.find(e.location);
    VEXT_CHECK(e.expected == (in_a ? std::optional<Value>(*in_a) : std::nullopt));
    VEXT_CHECK(e.found == (in_c ? std::optional<Value>(*in_c) : std::nullopt));
    VEXT_CHECK(e.expected != e.found);
    VEXT_CHECK(valid_utf8_without_controls(to_text(e)));
  }
}

// Applying any edit set: either every edit is in the result and every other
// entry is untouched, or the error names the first path in path order
// whose entry does not match the edit's `before`.
void check_any_edits(const EditSet& edits, const Section& section) {
  ApplyResult result = apply_to_section(edits, section);
  std::optional<Path> first_misfit;
  for (const auto& entry : edits) {
    const Value* found = section.find(entry.path);
    const bool fits = entry.value.before ? found && *found == *entry.value.before : found == nullptr;
    if (!fits) {
      first_misfit = to_path(entry.path);
      break;
    }
  }
  VEXT_CHECK(result.ok() == !first_misfit.has_value());
  if (!result.ok()) {
    VEXT_CHECK(result.error().location == *first_misfit);
    VEXT_CHECK(valid_utf8_without_controls(to_text(result.error())));
    return;
  }
  const Section& out = result.value();
  for (const auto& entry : edits) {
    const Value* now = out.find(entry.path);
    VEXT_CHECK(entry.value.after ? now && *now == *entry.value.after : now == nullptr);
  }
  for (const auto& entry : section) {
    if (edits.find(entry.path) == nullptr) VEXT_CHECK(out.find(entry.path) && *out.find(entry.path) == entry.value);
  }
}

void check_section_merge(const Section& base, const Section& ours, const Section& theirs) {
  auto same = merge_sections(base, base, base);
  VEXT_CHECK(same.merged == base && same.conflicts.empty());
  auto one = merge_sections(base, ours, base);
  VEXT_CHECK(one.merged == ours && one.conflicts.empty());
  one = merge_sections(base, base, theirs);
  VEXT_CHECK(one.merged == theirs && one.conflicts.empty());
  one = merge_sections(base, ours, ours);
  VEXT_CHECK(one.merged == ours && one.conflicts.empty());
  const auto full = merge_sections(base, ours, theirs);
  for (std::size_t i = 1; i < full.conflicts.size(); ++i)
    VEXT_CHECK(compare_paths(full.conflicts[i - 1].path, full.conflicts[i].path) < 0);
  for (const SectionConflict& c : full.conflicts) {
    // Ours is kept at a conflict.
    const Value* kept = full.merged.find(c.path);
    VEXT_CHECK(c.ours ? kept && *kept == *c.ours : kept == nullptr);
  }
}

void check_repo(const TreeNode& base, const TreeNode& ours, const TreeNode& theirs) {
  Repo repo([] { return std::uint64_t{1'700'000'000}; });
  const auto b = repo.commit("base", {}, base);
  VEXT_CHECK(b.ok());
  const CommitId bp[] = {*b};
  const auto o = repo.commit("ours", bp, ours);
  const auto t = repo.commit("theirs", bp, theirs);
  VEXT_CHECK(o.ok() && t.ok());
  VEXT_CHECK(repo.tree(*o) == to_tree(to_section(ours)));
  VEXT_CHECK(repo.log(*o).size() == (*o == *b ? 1u : 2u));
  const auto picked = repo.cherry_pick(*o, *b);
  VEXT_CHECK(picked.ok() && *picked == repo.commits().at(*o).section_hash);
  const auto reverted = repo.revert(*o, *o);
  VEXT_CHECK(reverted.ok() && *reverted == repo.commits().at(*b).section_hash);
  const auto merged = repo.merge(*o, *t);
  VEXT_CHECK(merged.ok());
  if (*o != *b && *t != *b && *o != *t) VEXT_CHECK(merged->base == *b);
  const std::size_t commits = repo.commit_count();
  (void)repo.cherry_pick(*t, *o);
  (void)repo.revert(*t, *o);
  VEXT_CHECK(repo.commit_count() == commits && repo.head() == t.value());
}

// The section form of the trees, sections of any shape and edit sets.
void check_sections(Bytes& in, TreeNode& base, TreeNode& ours, TreeNode& theirs) {
  const Section a = to_section(base);
  const Section b = to_section(ours);
  const Section c = to_section(theirs);
  check_section_of(base, a);
  check_section_of(ours, b);
  check_patches(a, b, c);
  check_section_merge(a, b, c);
  // A section of any shape rebuilds to a tree that survives another round.
  const Section any = read_section(in);
  std::optional<TreeNode> rebuilt = to_tree(any);
  bool has_root = false;
  for (const auto& entry : any) has_root = has_root || entry.path.size() == 1;
  VEXT_CHECK(rebuilt.has_value() == has_root);
  if (rebuilt) VEXT_CHECK(to_tree(to_section(*rebuilt)) == rebuilt);
  check_patches(any, a, b);
  check_section_merge(any, a, b);
  check_section_merge(a, any, c);
  const EditSet edits = read_edit_set(in, a);
  check_any_edits(edits, a);
  check_any_edits(edits, any);
  check_any_edits(invert(edits), b);
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
  switch ((mode >> 1) % 4) {
    case 0:
    case 1:
      check_three_way(base, ours, theirs);
      VEXT_CHECK(SequenceRule(base).holds(in, ours, theirs));
      break;
    case 2:
      check_trees(base, ours, theirs);
      check_repo(base, ours, theirs);
      break;
    default: check_sections(in, base, ours, theirs); break;
  }
  return 0;
}
