#pragma once

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/fatal.h"

namespace vext {

// A path: one element per level, from the root down.
using Path = std::vector<std::string>;
// A borrowed path; the viewed strings belong to whoever handed the view out.
using PathView = std::span<const std::string_view>;

// Orders paths element by element; elements compare as unsigned bytes, and a
// prefix comes before its extensions (for elements and for whole paths).
[[nodiscard]] std::strong_ordering compare_paths(PathView a, PathView b);
[[nodiscard]] std::strong_ordering compare_paths(const Path& a, const Path& b);

// Copies the viewed elements into an owned path.
[[nodiscard]] Path to_path(PathView view);

// Joins the elements with '/' between them.
[[nodiscard]] std::string join_path(const Path& path);

inline constexpr std::uint32_t kNoTrieNode = UINT32_MAX;

// The shape of a set of paths: a trie whose nodes are laid out in path order.
// Node 0 is the empty path; every other node stores only the last element of
// its path, so long paths share their prefixes and a chain of n levels costs
// O(n) memory rather than O(n^2). A node's children sit in `children_` sorted
// by element, which makes the layout canonical: equal path sets give equal tries.
class PathTrie {
 public:
  struct Node {
    std::string element;  // last element of the node's path; empty for node 0
    std::uint32_t parent = kNoTrieNode;
    std::uint32_t depth = 0;  // number of elements in the node's path
    std::uint32_t first_child = 0;
    std::uint32_t child_count = 0;
    friend bool operator==(const Node&, const Node&) = default;
  };

  [[nodiscard]] std::size_t node_count() const { return nodes_.size(); }
  [[nodiscard]] const Node& node(std::uint32_t index) const { return nodes_[index]; }
  [[nodiscard]] std::span<const std::uint32_t> children_of(std::uint32_t index) const {
    const Node& n = nodes_[index];
    return {children_.data() + n.first_child, n.child_count};
  }
  // Returns the node of `path`, or kNoTrieNode. Binary-searches each level.
  [[nodiscard]] std::uint32_t find(PathView path) const;
  [[nodiscard]] std::uint32_t find(const Path& path) const;

  friend bool operator==(const PathTrie&, const PathTrie&) = default;

 private:
  friend class TrieBuilder;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> children_;
};

// Builds a PathTrie from paths visited in strictly increasing path order. It
// stands on one path at a time; nodes are created only by materialize(), so
// paths that are passed through but never materialised leave no trace.
class TrieBuilder {
 public:
  TrieBuilder();

  // Moves to the path made of the current path's first `depth - 1` elements
  // and `element`. Requires 1 <= depth <= current depth + 1, and the new path
  // must come after the current one; a violation throws Fatal. The viewed
  // bytes must stay alive until finish().
  void move_to(std::size_t depth, std::string_view element);
  [[nodiscard]] std::size_t depth() const { return levels_.size() - 1; }
  // Creates the nodes of the current path and of its missing ancestors, and
  // returns the current path's node.
  std::uint32_t materialize();
  [[nodiscard]] std::size_t node_count() const { return trie_.nodes_.size(); }
  // Makes room for `nodes` nodes, to spare regrowth when the count is known.
  void reserve(std::size_t nodes) { trie_.nodes_.reserve(nodes); }
  [[nodiscard]] PathTrie finish() &&;

 private:
  struct Level {
    std::string_view element;
    std::uint32_t node = kNoTrieNode;
  };
  std::vector<Level> levels_;  // levels_[0] is the empty path
  PathTrie trie_;
};

// Visits the union of the paths of up to three tries, in path order, parents
// before children. Each visited path is a node of at least one trie; node(k)
// tells which node it is in trie k. Work is linear in the total node count.
class ZipWalk {
 public:
  explicit ZipWalk(std::initializer_list<const PathTrie*> tries);

  // Moves to the next path; returns false when none is left.
  bool next();
  [[nodiscard]] std::size_t depth() const { return path_.size(); }
  // Returns the current path's last element ("" for the empty path).
  [[nodiscard]] std::string_view element() const {
    return path_.empty() ? std::string_view() : path_.back();
  }
  [[nodiscard]] std::uint32_t node(std::size_t k) const { return nodes_[k]; }
  [[nodiscard]] PathView path() const { return path_; }

 private:
  struct Cursor {  // the unvisited children of one trie's node
    const std::uint32_t* pos = nullptr;
    const std::uint32_t* end = nullptr;
  };
  static constexpr std::size_t kMaxTries = 3;
  std::array<const PathTrie*, kMaxTries> tries_{};
  std::size_t count_ = 0;
  std::array<std::uint32_t, kMaxTries> nodes_{};
  std::vector<std::array<Cursor, kMaxTries>> frames_;
  std::vector<std::string_view> path_;
  bool started_ = false;
};

// An ordered map from path to T, iterated in path order. It is immutable once
// built: make one with Builder (paths in increasing order) or from_entries.
template <class T>
class PathMap {
 public:
  // One entry as iteration yields it; `path` lives in the iterator.
  struct Entry {
    PathView path;
    const T& value;
  };

  class Iterator {
   public:
    using iterator_concept = std::input_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    Iterator(const PathMap* map, std::uint32_t index) : map_(map), index_(index) { settle(); }
    Entry operator*() const { return {path_, *map_->values_[index_]}; }
    Iterator& operator++() {
      ++index_;
      settle();
      return *this;
    }
    void operator++(int) { ++*this; }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }

   private:
    // Advances to the next node holding a value, keeping `path_` in step.
    void settle() {
      const std::size_t n = map_->values_.size();
      for (; index_ < n; ++index_) {
        const PathTrie::Node& node = map_->trie_.node(index_);
        path_.resize(node.depth);
        if (node.depth > 0) path_.back() = node.element;
        if (map_->values_[index_]) return;
      }
      index_ = kNoTrieNode;
    }
    const PathMap* map_ = nullptr;
    std::uint32_t index_ = kNoTrieNode;
    std::vector<std::string_view> path_;
  };

  // Collects values at paths given in strictly increasing path order.
  class Builder {
   public:
    // See TrieBuilder::move_to.
    void move_to(std::size_t depth, std::string_view element) { trie_.move_to(depth, element); }
    [[nodiscard]] std::size_t depth() const { return trie_.depth(); }
    // Makes room for `nodes` trie nodes (paths stored or passed through).
    void reserve(std::size_t nodes) {
      trie_.reserve(nodes);
      values_.reserve(nodes);
    }
    // Stores `value` at the current path, replacing one stored there before.
    void set(T value) {
      const std::uint32_t node = trie_.materialize();
      values_.resize(trie_.node_count());
      if (!values_[node]) ++size_;
      values_[node] = std::move(value);
    }
    [[nodiscard]] PathMap finish() && {
      PathMap map;
      map.trie_ = std::move(trie_).finish();
      map.values_ = std::move(values_);
      map.values_.resize(map.trie_.node_count());
      map.size_ = size_;
      return map;
    }

   private:
    TrieBuilder trie_;
    std::vector<std::optional<T>> values_;
    std::size_t size_ = 0;
  };

  PathMap() = default;

  // Builds a map from entries in any order; of entries with equal paths the
  // last one counts.
  [[nodiscard]] static PathMap from_entries(std::vector<std::pair<Path, T>> entries) {
    std::vector<std::uint32_t> index(entries.size());
    for (std::uint32_t i = 0; i < index.size(); ++i) index[i] = i;
    std::stable_sort(index.begin(), index.end(), [&](std::uint32_t a, std::uint32_t b) {
      return compare_paths(entries[a].first, entries[b].first) < 0;
    });
    Builder builder;
    builder.reserve(entries.size() + 1);
    const Path* previous = nullptr;
    for (std::size_t i = 0; i < index.size(); ++i) {
      const Path& path = entries[index[i]].first;
      if (i + 1 < index.size() && entries[index[i + 1]].first == path) continue;
      std::size_t common = 0;
      if (previous) {
        const std::size_t limit = std::min(previous->size(), path.size());
        while (common < limit && (*previous)[common] == path[common]) ++common;
      }
      for (std::size_t d = common; d < path.size(); ++d) builder.move_to(d + 1, path[d]);
      builder.set(std::move(entries[index[i]].second));
      previous = &path;
    }
    return std::move(builder).finish();
  }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  // Returns the value at `path`, or nullptr.
  [[nodiscard]] const T* find(PathView path) const { return value_at(trie_.find(path)); }
  [[nodiscard]] const T* find(const Path& path) const { return value_at(trie_.find(path)); }

  [[nodiscard]] Iterator begin() const {
    return values_.empty() ? end() : Iterator(this, 0);
  }
  [[nodiscard]] Iterator end() const { return Iterator(); }

  // Low-level access for walks over the trie: the layout, and the value of a
  // node (nullptr for kNoTrieNode or a node without a value).
  [[nodiscard]] const PathTrie& trie() const { return trie_; }
  [[nodiscard]] const T* value_at(std::uint32_t node) const {
    return node == kNoTrieNode || !values_[node] ? nullptr : &*values_[node];
  }

  // Returns a map with the same paths and f(value) at each of them.
  template <class F>
  [[nodiscard]] auto transformed(F&& f) const {
    using U = std::decay_t<decltype(f(std::declval<const T&>()))>;
    PathMap<U> out;
    out.trie_ = trie_;
    out.values_.reserve(values_.size());
    for (const std::optional<T>& v : values_) {
      if (v) {
        out.values_.emplace_back(f(*v));
      } else {
        out.values_.emplace_back();
      }
    }
    out.size_ = size_;
    return out;
  }

  friend bool operator==(const PathMap&, const PathMap&) = default;

 private:
  template <class>
  friend class PathMap;
  PathTrie trie_;
  std::vector<std::optional<T>> values_;  // one per trie node
  std::size_t size_ = 0;
};

}  // namespace vext
