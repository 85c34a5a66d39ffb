#include "files/internal/pairing.h"

#include <utility>

#include "lossless/pairing.h"

namespace vext::detail {

UnlessStubbed<Correspondence> pair_numbered(const Numbered& x, const Numbered& y, Ticker& ticker) {
  Correspondence match{std::vector<std::optional<std::uint32_t>>(y.index.size())};
  std::vector<std::pair<std::size_t, std::size_t>> stack{{0, 0}};
  while (!stack.empty()) {
    const auto [i, j] = stack.back();
    stack.pop_back();
    const Sameness same = same_subtree(x.index, i, y.index, j);
    if (same == Sameness::Same) {
      // Equal sub-trees pair node for node, and their preorder runs line up.
      const std::uint32_t from = x.pre(i), to = y.pre(j), count = y.size(j);
      for (std::uint32_t k = 0; k < count; ++k) match.origin[to + k] = from + k;
      ticker.tick(count);
      continue;
    }
    // A stub paired with anything but its equal cannot say what it stands
    // for; the pairings the trimming planned never do this, others may.
    if (same == Sameness::Undecided || x.index.stub(i) || y.index.stub(j)) return NeedWholeTrees{};
    match.origin[y.pre(j)] = x.pre(i);
    if (x.index.child_count(i) == 0 || y.index.child_count(j) == 0) continue;
    const ChildPairs pairs = pair_children(x.index, i, y.index, j);
    if (pairs.split) return NeedWholeTrees{};
    ticker.tick(pairs.y_to_x.size());
    for (std::size_t k = 0; k < pairs.y_to_x.size(); ++k) {
      if (pairs.y_to_x[k] >= 0) {
        stack.emplace_back(x.index.child(i, static_cast<std::size_t>(pairs.y_to_x[k])), y.index.child(j, k));
      }
    }
  }
  return match;
}

std::vector<std::optional<std::uint32_t>> invert(const Correspondence& match, std::size_t original_size) {
  std::vector<std::optional<std::uint32_t>> out(original_size);
  for (std::uint32_t i = 0; i < match.origin.size(); ++i) {
    if (match.origin[i]) out[*match.origin[i]] = i;
  }
  return out;
}

}  // namespace vext::detail
