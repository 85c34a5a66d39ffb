// A fuzz check shared by the targets: the merge of one sibling list
// against the model of its rule (tests/cpp/sequence_model.h).
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "../tests/cpp/sequence_model.h"
#include "decode.h"
#include "lossless/lossless.h"

namespace vext::fuzz {

// The merge of one sibling list against the model of its rule. Base's root
// children, one of each, are rearranged for each side by the input (a
// subset, its order, changed texts of identified ones) and joined by fresh
// children of that side's tree (identified ones with keys base lacks,
// anonymous ones of kinds base's anonymous children lack), so that what
// pairs with what is plain and the model can say the result.
class SequenceRule {
 public:
  explicit SequenceRule(const TreeNode& base) : root_(base) {
    root_.children.clear();
    for (const TreeNode& c : base.children) {
      if (base_.size() == 8) break;
      if (std::any_of(base_.begin(), base_.end(), [&](const TreeNode& b) { return same_element(b, c); })) continue;
      base_list_.push_back({.key = "b" + std::to_string(base_.size()), .text = "0", .identified = false});
      base_.push_back(c);
    }
  }

  // Whether the engine's merge of the two sides built from these trees is
  // the model's.
  bool holds(Bytes& in, const TreeNode& ours_tree, const TreeNode& theirs_tree) {
    const testing::List ours = side(in, ours_tree), theirs = side(in, theirs_tree);
    const testing::Outcome want = testing::model(base_list_, ours, theirs);
    TreeNode b = root_;
    b.children = base_;
    const ThreeWayResult r = three_way_merge(b, tree_of(ours), tree_of(theirs));
    testing::Outcome got{.list = {}, .conflicts = static_cast<int>(r.conflicts.size())};
    for (const TreeNode& c : r.tree.children) {
      auto it = std::find_if(made_.begin(), made_.end(), [&](const auto& m) { return m.first == c; });
      if (it == made_.end()) return false;
      got.list.push_back(it->second);
    }
    return got == want;
  }

 private:
  // Two children the model would take for one: the same key, or the same
  // anonymous sub-tree.
  static bool same_element(const TreeNode& x, const TreeNode& y) {
    if (x.identity || y.identity) return x.kind == y.kind && x.identity == y.identity;
    return x == y;
  }

  bool fresh(const TreeNode& c) const {
    for (const TreeNode& b : base_) {
      if (c.identity ? same_element(b, c) : (!b.identity && b.kind == c.kind)) return false;
    }
    return true;
  }

  // One side: the rearranged base children and up to two fresh ones.
  testing::List side(Bytes& in, const TreeNode& tree) {
    const std::uint8_t mask = in.next();
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < base_.size(); ++i) {
      if (mask & (1u << i)) kept.push_back(i);
    }
    for (std::size_t i = kept.size(); i > 1; --i) std::swap(kept[i - 1], kept[in.next() % i]);
    testing::List out;
    for (std::size_t i : kept) {
      TreeNode c = base_[i];
      testing::Elem e = base_list_[i];
      if (c.identity) {
        const int change = in.next() % 3;
        if (change > 0) {
          c.text += change == 1 ? "~1" : "~2";
          e.text = std::to_string(change);
        }
      }
      out.push_back(note(c, e));
    }
    std::vector<const TreeNode*> added;
    for (const TreeNode& c : tree.children) {
      if (added.size() == 2) break;
      if (!fresh(c)) continue;
      if (std::any_of(added.begin(), added.end(), [&](const TreeNode* a) { return same_element(*a, c); })) continue;
      added.push_back(&c);
    }
    for (const TreeNode* c : added) {
      const std::size_t at = in.next() % (out.size() + 1);
      // Identified additions are one element per key; anonymous ones per sub-tree.
      const testing::Elem e{.key = c->identity ? "k" + c->kind + '\x1f' + *c->identity : "a" + std::to_string(index_of(*c)),
                            .text = std::to_string(index_of(*c)), .identified = c->identity.has_value()};
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), note(*c, e));
    }
    return out;
  }

  // Remembers which element a sub-tree stands for.
  testing::Elem note(const TreeNode& c, const testing::Elem& e) {
    if (std::none_of(made_.begin(), made_.end(), [&](const auto& m) { return m.first == c; })) made_.emplace_back(c, e);
    return e;
  }

  std::size_t index_of(const TreeNode& c) {
    for (std::size_t i = 0; i < distinct_.size(); ++i) {
      if (distinct_[i] == c) return i;
    }
    distinct_.push_back(c);
    return distinct_.size() - 1;
  }

  TreeNode tree_of(const testing::List& l) const {
    TreeNode t = root_;
    for (const testing::Elem& e : l) {
      auto it = std::find_if(made_.begin(), made_.end(), [&](const auto& m) { return m.second == e; });
      t.children.push_back(it->first);
    }
    return t;
  }

  TreeNode root_;
  std::vector<TreeNode> base_;
  testing::List base_list_;
  std::vector<std::pair<TreeNode, testing::Elem>> made_;
  std::vector<TreeNode> distinct_;
};

}  // namespace vext::fuzz
