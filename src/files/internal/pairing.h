#pragma once

// Pairing of whole documents for the file layer: trees indexed with their
// preorder numbers, and the correspondence of one tree's nodes to another's.

#include <cstdint>
#include <optional>
#include <vector>

#include "formats/document.h"
#include "lossless/index.h"

namespace vext::detail {

// JSON members pair by name whatever the type of their values, and an XML
// root element pairs with the other file's whatever its name, so that such a
// change is an update of the node.
inline KindRule kind_rule(Format f) { return f == Format::Json ? KindRule::Members : KindRule::RootElement; }

// A tree indexed for pairing, with each entry's preorder number and the
// size of its sub-tree, so that an unchanged sub-tree pairs in one step. The
// numbers are made when a pairing first needs them: a merge runs on the
// index alone, and its peak of memory goes without them.
struct Numbered {
  IndexedTree index;

  // `stubs`: the tree may hold stubs (see Document::stubs).
  Numbered(const TreeNode& root, Ticker& ticker, std::size_t size_hint = 0, bool stubs = false,
           KindRule rule = KindRule::Strict)
      : index(root, ticker, size_hint, stubs, rule) {}

  std::uint32_t pre(std::size_t i) const { return numbers().pre[i]; }
  std::uint32_t size(std::size_t i) const { return numbers().size[i]; }

 private:
  struct Numbers {
    std::vector<std::uint32_t> pre, size;
  };
  const Numbers& numbers() const {
    if (!numbers_) {
      Numbers& n = numbers_.emplace(Numbers{std::vector<std::uint32_t>(index.size()),
                                            std::vector<std::uint32_t>(index.size(), 1)});
      std::vector<std::size_t> stack{0};
      std::uint32_t next = 0;
      while (!stack.empty()) {
        const std::size_t i = stack.back();
        stack.pop_back();
        n.pre[i] = next++;
        for (std::size_t k = index.child_count(i); k-- > 0;) stack.push_back(index.child(i, k));
      }
      // Children come after their parent, so a backward pass sees them first.
      for (std::size_t i = index.size(); i-- > 0;) {
        for (std::size_t k = 0; k < index.child_count(i); ++k) n.size[i] += n.size[index.child(i, k)];
      }
    }
    return *numbers_;
  }
  mutable std::optional<Numbers> numbers_;
};

// Pairs the nodes of `y` with those of `x` they came from, as the engine
// pairs them. On trees without stubs it always returns the pairing.
UnlessStubbed<Correspondence> pair_numbered(const Numbered& x, const Numbered& y, Ticker& ticker);

// Turns "which node of `tree` came from which original" around.
std::vector<std::optional<std::uint32_t>> invert(const Correspondence& match, std::size_t original_size);

}  // namespace vext::detail
