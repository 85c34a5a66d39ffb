#include "section/path_map.h"

namespace vext {
namespace {

template <class A, class B>
std::strong_ordering compare_element_lists(const A& a, const B& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    // string_view::compare works on unsigned bytes, a prefix first.
    const int c = std::string_view(a[i]).compare(std::string_view(b[i]));
    if (c != 0) return c < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  return a.size() <=> b.size();
}

}  // namespace

std::strong_ordering compare_paths(PathView a, PathView b) { return compare_element_lists(a, b); }

std::strong_ordering compare_paths(const Path& a, const Path& b) {
  return compare_element_lists(a, b);
}

Path to_path(PathView view) { return Path(view.begin(), view.end()); }

std::string join_path(const Path& path) {
  std::size_t size = path.empty() ? 0 : path.size() - 1;
  for (const std::string& element : path) size += element.size();
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i > 0) out += '/';
    out += path[i];
  }
  return out;
}

namespace {

template <class P>
std::uint32_t find_in(const PathTrie& trie, const P& path) {
  if (trie.node_count() == 0) return kNoTrieNode;
  std::uint32_t at = 0;
  for (const auto& element : path) {
    const std::span<const std::uint32_t> kids = trie.children_of(at);
    const std::string_view wanted(element);
    const auto it = std::lower_bound(kids.begin(), kids.end(), wanted,
                                     [&](std::uint32_t kid, std::string_view key) {
                                       return std::string_view(trie.node(kid).element) < key;
                                     });
    if (it == kids.end() || trie.node(*it).element != wanted) return kNoTrieNode;
    at = *it;
  }
  return at;
}

}  // namespace

std::uint32_t PathTrie::find(PathView path) const { return find_in(*this, path); }
std::uint32_t PathTrie::find(const Path& path) const { return find_in(*this, path); }

TrieBuilder::TrieBuilder() : levels_(1) {}

void TrieBuilder::move_to(std::size_t depth, std::string_view element) {
  if (depth == 0 || depth > levels_.size()) throw Fatal("path builder: depth out of step");
  if (depth < levels_.size() && !(levels_[depth].element < element)) {
    throw Fatal("path builder: paths out of order");
  }
  levels_.resize(depth);
  levels_.push_back({element, kNoTrieNode});
}

std::uint32_t TrieBuilder::materialize() {
  std::size_t first = levels_.size();
  while (first > 0 && levels_[first - 1].node == kNoTrieNode) --first;
  if (trie_.nodes_.size() + (levels_.size() - first) >= kNoTrieNode) {
    throw Fatal("path builder: too many paths");
  }
  for (std::size_t d = first; d < levels_.size(); ++d) {
    PathTrie::Node& node = trie_.nodes_.emplace_back();
    node.element = levels_[d].element;
    node.depth = static_cast<std::uint32_t>(d);
    node.parent = d == 0 ? kNoTrieNode : levels_[d - 1].node;
    levels_[d].node = static_cast<std::uint32_t>(trie_.nodes_.size() - 1);
  }
  return levels_.back().node;
}

PathTrie TrieBuilder::finish() && {
  // Nodes were created in path order, so walking them in index order hands
  // every parent its children already sorted by element.
  std::vector<PathTrie::Node>& nodes = trie_.nodes_;
  for (std::size_t i = 1; i < nodes.size(); ++i) ++nodes[nodes[i].parent].child_count;
  std::uint32_t next = 0;
  for (PathTrie::Node& node : nodes) {
    node.first_child = next;
    next += node.child_count;
    node.child_count = 0;
  }
  trie_.children_.resize(next);
  for (std::size_t i = 1; i < nodes.size(); ++i) {
    PathTrie::Node& parent = nodes[nodes[i].parent];
    trie_.children_[parent.first_child + parent.child_count++] = static_cast<std::uint32_t>(i);
  }
  levels_.assign(1, Level{});
  return std::move(trie_);
}

ZipWalk::ZipWalk(std::initializer_list<const PathTrie*> tries) {
  if (tries.size() > kMaxTries) throw Fatal("path walk: too many tries");
  for (const PathTrie* trie : tries) tries_[count_++] = trie;
}

bool ZipWalk::next() {
  if (!started_) {
    started_ = true;
    bool any = false;
    for (std::size_t k = 0; k < count_; ++k) {
      nodes_[k] = tries_[k]->node_count() > 0 ? 0 : kNoTrieNode;
      any = any || nodes_[k] != kNoTrieNode;
    }
    return any;
  }
  // Descend into the children of the path visited last.
  std::array<Cursor, kMaxTries>& frame = frames_.emplace_back();
  for (std::size_t k = 0; k < count_; ++k) {
    if (nodes_[k] == kNoTrieNode) continue;
    const std::span<const std::uint32_t> kids = tries_[k]->children_of(nodes_[k]);
    frame[k] = {kids.data(), kids.data() + kids.size()};
  }
  while (!frames_.empty()) {
    std::array<Cursor, kMaxTries>& top = frames_.back();
    std::array<std::string_view, kMaxTries> heads;
    std::size_t best = kMaxTries;
    for (std::size_t k = 0; k < count_; ++k) {
      if (top[k].pos == top[k].end) continue;
      heads[k] = tries_[k]->node(*top[k].pos).element;
      if (best == kMaxTries || heads[k] < heads[best]) best = k;
    }
    if (best == kMaxTries) {
      frames_.pop_back();
      continue;
    }
    const std::string_view element = heads[best];
    for (std::size_t k = 0; k < count_; ++k) {
      if (top[k].pos != top[k].end && heads[k] == element) {
        nodes_[k] = *top[k].pos++;
      } else {
        nodes_[k] = kNoTrieNode;
      }
    }
    path_.resize(frames_.size() - 1);
    path_.push_back(element);
    return true;
  }
  return false;
}

}  // namespace vext
