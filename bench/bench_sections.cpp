// Times the section operations on a document-like tree of about 100,000 nodes.
// Build with -DVEXT_BUILD_BENCH=ON (Release) and run ./bench_sections.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "patch/merge.h"
#include "patch/patch.h"
#include "section/section.h"

namespace {

using vext::Section;
using vext::SiblingOrder;
using vext::TreeNode;

struct Rng {
  std::uint64_t state;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

// Returns prefix followed by n in decimal (built by appending, which keeps
// GCC 12's -Wrestrict false positive on `"literal" + std::string` away).
std::string numbered(const char* prefix, std::size_t n) {
  std::string out(prefix);
  out.append(std::to_string(n));
  return out;
}

constexpr const char* kKinds[] = {"section", "p",    "span", "em",    "list",  "item",  "table",
                                  "row",     "cell", "a",    "code",  "quote", "note",  "figure",
                                  "caption", "h1",   "h2",   "image", "math",  "footer"};

// Grows a tree breadth first: every node gets 1 to 6 children until `nodes`
// exist, which keeps the depth near 9. A third of the nodes carry identities.
TreeNode make_document(std::size_t nodes, Rng& rng) {
  TreeNode root("doc");
  std::deque<TreeNode*> open{&root};
  std::size_t made = 1;
  while (made < nodes && !open.empty()) {
    TreeNode* parent = open.front();
    open.pop_front();
    const std::size_t fanout = 1 + rng.below(6);
    parent->children.reserve(fanout);
    for (std::size_t i = 0; i < fanout && made < nodes; ++i, ++made) {
      TreeNode& child = parent->children.emplace_back(kKinds[rng.below(std::size(kKinds))]);
      if (rng.below(3) == 0) child.identity = numbered("n", made);
      if (rng.below(4) == 0) child.label = numbered("label ", made);
      child.text = numbered("Some text of node ", made);
      if (rng.below(5) == 0) child.text.append(" caf\xc3\xa9");
      const std::size_t attrs = rng.below(4);
      for (std::size_t a = 0; a < attrs; ++a) {
        child.attributes.emplace_back(numbered("attr", a), std::to_string(rng.below(1000)));
      }
      open.push_back(&child);
    }
  }
  return root;
}

// Changes 1% of the nodes, picked by `seed`: their text, or a new attribute.
TreeNode edited(const TreeNode& base, std::uint64_t seed, bool text_side) {
  TreeNode copy = base;
  const std::vector<TreeNode*> nodes = all_nodes(copy, SiblingOrder::Reversed);
  Rng rng{seed};
  for (std::size_t i = 0; i < nodes.size() / 100; ++i) {
    TreeNode* n = nodes[1 + rng.below(nodes.size() - 1)];
    if (text_side) {
      n->text += " (edited)";
    } else {
      n->attributes.emplace_back("changed", "yes");
    }
  }
  return copy;
}

template <class F>
double best_seconds(int runs, F&& body) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

void report(const char* what, std::size_t entries, double seconds) {
  std::printf("%-28s %9.2f ms  %12.0f entries/s\n", what, seconds * 1e3,
              static_cast<double>(entries) / seconds);
}

volatile std::size_t sink;

}  // namespace

int main() {
  constexpr int kRuns = 7;
  constexpr std::size_t kTarget = 100'000;
  Rng rng{0x9e3779b97f4a7c15ull};
  // Siblings of the same kind without identities share a path, so grow the
  // tree until its section holds the target number of entries.
  std::size_t nodes = kTarget;
  TreeNode doc = make_document(nodes, rng);
  while (vext::to_section(doc).size() < kTarget) {
    nodes += nodes / 20;
    rng = Rng{0x9e3779b97f4a7c15ull};
    doc = make_document(nodes, rng);
  }
  const Section base = vext::to_section(doc);
  const Section ours = vext::to_section(edited(doc, 11, true));
  const Section theirs = vext::to_section(edited(doc, 23, false));
  std::size_t max_depth = 0;
  for (const auto& e : base) max_depth = std::max(max_depth, e.path.size());
  std::printf("tree: %zu nodes, section: %zu entries, depth %zu\n", nodes, base.size(), max_depth);

  const std::size_t n = base.size();
  report("TreeNode copy (reference)", n, best_seconds(kRuns, [&] { sink = TreeNode(doc).children.size(); }));
  report("Section copy (reference)", n, best_seconds(kRuns, [&] { sink = Section(base).size(); }));
  report("to_section", n, best_seconds(kRuns, [&] { sink = vext::to_section(doc).size(); }));
  report("to_tree", n, best_seconds(kRuns, [&] { sink = vext::to_tree(base)->children.size(); }));
  std::size_t bytes = 0;
  report("section text (hash input)", n, best_seconds(kRuns, [&] {
           std::string buf;
           for (const auto& e : base) {
             for (std::string_view element : e.path) {
               buf.append(element);
               buf.push_back('\0');
             }
             buf.push_back('|');
             vext::append_text(buf, e.value);
             buf.push_back('\n');
           }
           bytes = buf.size();
           sink = bytes;
         }));
  std::printf("%-28s %9.2f MB\n", "  hash input size", static_cast<double>(bytes) / 1e6);
  const vext::EditSet edits = vext::diff_sections(base, ours);
  std::printf("edits base->ours: %zu\n", edits.size());
  report("diff_sections", n, best_seconds(kRuns, [&] { sink = vext::diff_sections(base, ours).size(); }));
  report("apply_to_section", n,
         best_seconds(kRuns, [&] { sink = vext::apply_to_section(edits, base).value().size(); }));
  const vext::SectionMergeResult merged = vext::merge_sections(base, ours, theirs);
  std::printf("merge: %zu entries, %zu conflicts\n", merged.merged.size(), merged.conflicts.size());
  report("merge_sections", n,
         best_seconds(kRuns, [&] { sink = vext::merge_sections(base, ours, theirs).merged.size(); }));
  return 0;
}
