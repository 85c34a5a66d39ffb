// Pins every observable result of a fixed history: commit ids, section
// hashes, trees, diff rows, merges with their conflicts, cherry-picks,
// reverts, apply errors and log order. The transcript of all of them is
// hashed, so any change to how a repository stores or combines sections that
// moves a single byte of a result fails here.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "repo/repo.h"

namespace vext {
namespace {

// Draws from a fixed generator without the library's distributions, whose
// results differ between standard libraries.
class Draw {
 public:
  explicit Draw(std::uint64_t seed) : rng_(seed) {}
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }

 private:
  std::mt19937_64 rng_;
};

const char* const kKinds[] = {"p", "sec", "note", "x", "item"};
const char* const kOddIds[] = {"", "p", "a/b", "tab\there", "e\xcc\x81", "\xe2\x80\x8b", "q\"uote", "z"};

// Returns `prefix` followed by `n` in decimal.
std::string numbered(const char* prefix, std::size_t n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

std::optional<std::string> draw_identity(Draw& d, std::uint64_t& serial) {
  const std::size_t r = d.below(100);
  if (r < 45) return std::nullopt;
  if (r < 55) return std::string(kOddIds[d.below(std::size(kOddIds))]);
  return numbered("n", serial++);
}

TreeNode draw_leaf(Draw& d, std::uint64_t& serial) {
  TreeNode n(kKinds[d.below(std::size(kKinds))]);
  n.identity = draw_identity(d, serial);
  if (d.chance(50)) n.text = numbered("t", d.below(20));
  if (d.chance(15)) n.label = numbered("L", d.below(3));
  for (std::size_t a = d.below(3); a > 0; --a) {
    n.attributes.emplace_back(std::string(1, static_cast<char>('a' + d.below(4))), std::to_string(d.below(5)));
  }
  return n;
}

// A document with a wide list, a deep chain and random nesting elsewhere.
TreeNode draw_tree(Draw& d) {
  std::uint64_t serial = 0;
  TreeNode root("doc");
  root.identity = "root";
  TreeNode wide("list");
  wide.identity = "wide";
  for (int i = 0; i < 700; ++i) {
    TreeNode item("item");
    item.identity = numbered("w", i * 7 % 701);
    if (i % 3 == 0) item.text = numbered("w", i);
    wide.children.push_back(std::move(item));
  }
  root.children.push_back(std::move(wide));
  TreeNode chain("chain");
  TreeNode* at = &chain;
  for (int i = 0; i < 40; ++i) at = &at->children.emplace_back(i % 2 ? "link" : "knot");
  at->text = "bottom";
  root.children.push_back(std::move(chain));
  std::vector<TreeNode*> nodes{&root};
  for (int i = 0; i < 120; ++i) {
    TreeNode* parent = nodes[d.below(nodes.size())];
    parent->children.push_back(draw_leaf(d, serial));
    // Pointers into `children` may move; rebuild the list from scratch.
    nodes.clear();
    std::vector<TreeNode*> stack{&root};
    while (!stack.empty()) {
      TreeNode* n = stack.back();
      stack.pop_back();
      if (n->kind != "list" && n->kind != "chain" && n->kind != "link" && n->kind != "knot") nodes.push_back(n);
      for (TreeNode& c : n->children) stack.push_back(&c);
    }
  }
  return root;
}

// A few random edits of every sort the section form can see.
TreeNode edited(TreeNode tree, Draw& d, std::uint64_t& serial) {
  for (std::size_t k = 1 + d.below(4); k > 0; --k) {
    std::vector<TreeNode*> nodes = all_nodes(tree, SiblingOrder::Reversed);
    TreeNode& n = *nodes[d.below(nodes.size())];
    switch (d.below(8)) {
      case 0: n.text = numbered("e", d.below(30)); break;
      case 1: n.label = numbered("L", d.below(4)); break;
      case 2:
        if (!n.attributes.empty()) {
          n.attributes[d.below(n.attributes.size())].second = numbered("v", d.below(9));
        } else {
          n.attributes.emplace_back("b", "1");
        }
        break;
      case 3: n.children.push_back(draw_leaf(d, serial)); break;
      case 4:
        if (!n.children.empty()) n.children.erase(n.children.begin() + static_cast<std::ptrdiff_t>(d.below(n.children.size())));
        break;
      case 5:
        if (n.children.size() >= 2) std::swap(n.children.front(), n.children.back());
        break;
      case 6: n.identity = draw_identity(d, serial); break;
      default: n.attributes.emplace_back(std::string(1, static_cast<char>('a' + d.below(4))), "dup"); break;
    }
  }
  return tree;
}

void hex(std::string& out, std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016" PRIx64, v);
  out.append(buf);
}

// A full rendering of a tree, children indented under their parent.
void render(std::string& out, const TreeNode& root) {
  std::vector<std::pair<const TreeNode*, std::size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    const auto [n, depth] = stack.back();
    stack.pop_back();
    out.append(depth, ' ');
    append_quoted(out, n->kind);
    out.append(n->identity ? "#" : "-");
    if (n->identity) append_quoted(out, *n->identity);
    append_quoted(out, n->label);
    append_quoted(out, n->text);
    for (const auto& [name, value] : n->attributes) {
      append_quoted(out, name);
      append_quoted(out, value);
    }
    out.push_back('\n');
    for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) stack.emplace_back(&*it, depth + 1);
  }
}

std::string transcript() {
  Draw d(20240611);
  Repo repo([] { return std::uint64_t{1'700'000'000}; });
  std::string out;
  std::vector<CommitId> ids;
  std::vector<TreeNode> trees;
  std::uint64_t serial = 1000;
  for (int i = 0; i < 40; ++i) {
    std::vector<CommitId> parents;
    TreeNode tree;
    if (ids.empty() || d.chance(5)) {
      tree = draw_tree(d);
    } else {
      const std::size_t p = d.chance(70) ? ids.size() - 1 : d.below(ids.size());
      parents.push_back(ids[p]);
      if (d.chance(15)) parents.push_back(ids[d.below(ids.size())]);
      tree = edited(trees[p], d, serial);
    }
    auto id = repo.commit(numbered("c", i), parents, tree);
    EXPECT_TRUE(id.ok());
    ids.push_back(*id);
    trees.push_back(std::move(tree));
    out += "commit ";
    hex(out, *id);
    out += ' ';
    hex(out, repo.commits().at(*id).section_hash);
    out += '\n';
    render(out, repo.tree(*id));
  }
  for (const auto& [id, commit] : repo.log()) {
    out += "log ";
    hex(out, id);
    out += '\n';
  }
  for (int q = 0; q < 60; ++q) {
    const CommitId a = ids[d.below(ids.size())];
    const CommitId b = ids[d.below(ids.size())];
    out += "diff\n";
    for (const auto& edit : repo.diff(a, b)) {
      append_path_list(out, edit.path);
      append_text(out, edit.value.before);
      append_text(out, edit.value.after);
      out += '\n';
    }
    auto merged = repo.merge(a, b);
    EXPECT_TRUE(merged.ok());
    out += "merge ";
    hex(out, merged->base);
    out += ' ';
    hex(out, merged->merged_hash);
    out += '\n';
    for (const SectionConflict& c : merged->conflicts) {
      append_path_list(out, c.path);
      append_text(out, c.base);
      append_text(out, c.ours);
      append_text(out, c.theirs);
      out += '\n';
    }
    render(out, repo.section_as_tree(merged->merged_hash));
    for (auto result : {repo.cherry_pick(a, b), repo.revert(a, b)}) {
      if (result.ok()) {
        out += "hash ";
        hex(out, *result);
        out += '\n';
        render(out, repo.section_as_tree(*result));
      } else {
        out += to_text(result.error());
        out += '\n';
      }
    }
  }
  out += "commits " + std::to_string(repo.commit_count()) + '\n';
  return out;
}

TEST(RepoCorpusTest, ResultsOfAFixedHistoryAreUnchanged) {
  const std::string text = transcript();
  // VEXT_CORPUS_DUMP names a file to write the transcript to, for comparing
  // two builds line by line when the digest moves.
  if (const char* dump = std::getenv("VEXT_CORPUS_DUMP")) std::ofstream(dump, std::ios::binary) << text;
  EXPECT_EQ(text.size(), 3533111u);
  EXPECT_EQ(fnv1a(text), 10036859966325107850ULL);
}

}  // namespace
}  // namespace vext
