#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tree/tree.h"

// Hashing of match keys and a hash index of ids, shared by the tree diff and
// the tree merge.
namespace vext::detail {

constexpr std::uint32_t kNone = ~std::uint32_t{0};

// 64-bit FNV-1a with a final mix, fed in pieces, so a match key hashes the
// same as one string and as its kind, "#" and identity.
class ByteHash {
 public:
  ByteHash& add(std::string_view bytes) {
    for (unsigned char c : bytes) h_ = (h_ ^ c) * 0x100000001b3ULL;
    return *this;
  }
  ByteHash& add(std::uint64_t word) {
    h_ = (h_ ^ word) * 0x9e3779b97f4a7c15ULL;
    return *this;
  }
  std::uint64_t done() const {
    std::uint64_t x = h_;
    x ^= x >> 31;
    x *= 0xd6e8feb86659fd93ULL;
    return x ^ (x >> 32);
  }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

inline std::uint64_t hash_key(const KeyView& key) {
  ByteHash h;
  h.add(key.kind);
  if (key.has_identity) h.add(std::string_view("#")).add(key.identity);
  return h.done();
}

inline std::uint64_t hash_key(std::string_view key) { return ByteHash().add(key).done(); }

// An open-addressing hash set of ids whose keys live elsewhere: callers hash
// a key and tell whether the key of an id equals it.
class IdIndex {
 public:
  IdIndex() = default;
  explicit IdIndex(std::size_t expected) {
    std::size_t size = 8;
    while (size < expected * 2) size *= 2;
    slots_.assign(size, Slot{});
  }

  bool empty() const { return count_ == 0; }

  template <class Eq>
  std::uint32_t find(std::uint64_t hash, Eq&& eq) const {
    if (slots_.empty()) return kNone;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.id == kNone) return kNone;
      if (s.hash == hash && eq(s.id)) return s.id;
    }
  }

  // Adds `id` under `hash`; the caller knows that no equal key is present.
  void insert(std::uint64_t hash, std::uint32_t id) {
    if ((count_ + 1) * 2 > slots_.size()) {
      std::vector<Slot> old(std::max<std::size_t>(8, slots_.size() * 2), Slot{});
      old.swap(slots_);
      for (const Slot& s : old)
        if (s.id != kNone) place(s);
    }
    place({hash, id});
    ++count_;
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t id = kNone;
  };
  void place(const Slot& slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots_[i].id != kNone) i = (i + 1) & mask;
    slots_[i] = slot;
  }
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

}  // namespace vext::detail
