#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

// The one open-addressing table: slots of (hash, value) probed linearly, at
// most half full. It keeps no keys: a value stands for its key (a record
// number, a pointer), and a lookup passes a test that tells whether the key
// of a value is the one sought. Every table of record numbers, commits and
// cached rows is one of these.
namespace vext {

template <class Value, Value kEmpty>
class HashIndex {
 public:
  HashIndex() = default;
  // Sized so that `expected` entries fit without growing.
  explicit HashIndex(std::size_t expected) {
    std::size_t size = 8;
    while (size < expected * 2) size *= 2;
    slots_.assign(size, Slot{});
  }

  [[nodiscard]] std::size_t size() const { return used_; }
  [[nodiscard]] bool empty() const { return used_ == 0; }

  // Returns the value under `hash` whose key `same(value)` accepts, or kEmpty.
  template <class Same>
  [[nodiscard]] Value find(std::uint64_t hash, Same&& same) const {
    if (slots_.empty()) return kEmpty;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.value == kEmpty) return kEmpty;
      if (slot.hash == hash && same(slot.value)) return slot.value;
    }
  }

  // Makes room for one more entry: the only step of an insert that allocates.
  void reserve_one() {
    if ((used_ + 1) * 2 <= slots_.size()) return;
    std::vector<Slot> grown(std::max<std::size_t>(16, slots_.size() * 2));
    grown.swap(slots_);
    for (const Slot& slot : grown)
      if (slot.value != kEmpty) place(slot);
  }

  // Adds a value whose key is not present yet, after reserve_one().
  void insert(std::uint64_t hash, Value value) noexcept {
    place({hash, value});
    ++used_;
  }

  // reserve_one() and insert() in one step.
  void add(std::uint64_t hash, Value value) {
    reserve_one();
    insert(hash, value);
  }

  // Drops every entry and the memory they took.
  void clear() noexcept {
    std::vector<Slot>().swap(slots_);
    used_ = 0;
  }

  // Calls `f(value)` on every entry, in no particular order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& slot : slots_)
      if (slot.value != kEmpty) f(slot.value);
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    Value value = kEmpty;
  };
  void place(const Slot& slot) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots_[i].value != kEmpty) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace vext
