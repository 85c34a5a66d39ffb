#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vext {

// A sequence kept as a link to its last item and, through it, to the
// sequence before it. Chains that share a prefix share its storage, so
// copying one costs nothing and the paths of a whole diff take memory in
// proportion to the nodes they name, whatever the tree's depth.
template <class T>
class Chain {
 public:
  Chain() = default;
  Chain(std::initializer_list<T> items) {
    for (const T& item : items) push_back(item);
  }
  explicit Chain(const std::vector<T>& items) {
    for (const T& item : items) push_back(item);
  }
  Chain(const Chain&) = default;
  Chain(Chain&&) noexcept = default;
  Chain& operator=(Chain other) noexcept {
    std::swap(last_, other.last_);
    return *this;
  }

  std::size_t size() const { return last_ ? last_->size : 0; }
  bool empty() const { return !last_; }
  // The last item; the chain must not be empty.
  const T& back() const { return last_->item; }
  // The chain without its last item.
  Chain parent() const { return last_ ? Chain(last_->up) : Chain(); }
  void push_back(T item) {
    const std::size_t n = size() + 1;
    last_ = std::make_shared<const Link>(std::move(item), std::move(last_), n);
  }
  // This chain with one more item.
  Chain child(T item) const {
    Chain out(*this);
    out.push_back(std::move(item));
    return out;
  }
  // The items, first first; the pointers live as long as this chain.
  std::vector<const T*> items() const {
    std::vector<const T*> out(size());
    std::size_t k = out.size();
    for (const Link* l = last_.get(); l; l = l->up.get()) out[--k] = &l->item;
    return out;
  }
  // Identifies the last link: equal for copies of one chain, so that callers
  // can remember what they worked out per prefix. Null when empty.
  const void* id() const { return last_.get(); }

  friend bool operator==(const Chain& a, const Chain& b) {
    if (a.size() != b.size()) return false;
    for (const Link *x = a.last_.get(), *y = b.last_.get(); x != y; x = x->up.get(), y = y->up.get()) {
      if (!(x->item == y->item)) return false;
    }
    return true;
  }

 private:
  struct Link {
    Link(T link_item, std::shared_ptr<const Link> link_up, std::size_t link_size)
        : item(std::move(link_item)), up(std::move(link_up)), size(link_size) {}
    T item;
    mutable std::shared_ptr<const Link> up;
    std::size_t size = 0;
    // Whoever drops the last reference to a link, on whatever thread, ends
    // here, and the links above go one at a time.
    ~Link() { release(std::move(up)); }
  };
  explicit Chain(std::shared_ptr<const Link> last) : last_(std::move(last)) {}

  // The sole owner of a link takes its parent link before dropping it, so
  // that no destructor reaches further than one link, however long the chain.
  // (A link another thread drops at the same instant ends in ~Link, which
  // comes back here.)
  static void release(std::shared_ptr<const Link> link) noexcept {
    while (link && link.use_count() == 1) {
      std::shared_ptr<const Link> up = std::move(link->up);
      link = std::move(up);
    }
  }

  std::shared_ptr<const Link> last_{};
};

// Remembers a value per chain, worked out from the value of the chain one
// item shorter, so that chains sharing a prefix work it out once: the values
// of a diff's locations cost time in proportion to the nodes they name.
template <class T, class V>
class ChainMemo {
 public:
  explicit ChainMemo(V empty) : empty_(std::move(empty)) {}

  // The value of `chain`; `next(prefix, value of the prefix one item
  // shorter)` works out the value of a prefix not seen yet.
  template <class Next>
  const V& operator()(const Chain<T>& chain, Next&& next) {
    std::vector<Chain<T>> below;
    const V* at = &empty_;
    for (Chain<T> up = chain; !up.empty(); up = up.parent()) {
      if (auto it = known_.find(up.id()); it != known_.end()) {
        at = &it->second.value;
        break;
      }
      below.push_back(up);
    }
    for (auto it = below.rbegin(); it != below.rend(); ++it) {
      V value = next(*it, *at);
      const void* id = it->id();
      at = &known_.emplace(id, Entry{.chain = std::move(*it), .value = std::move(value)}).first->second.value;
    }
    return *at;
  }

 private:
  struct Entry {
    Chain<T> chain;  // keeps the link, and so its id, alive
    V value;
  };
  V empty_;
  std::unordered_map<const void*, Entry> known_;
};

}  // namespace vext
