#pragma once

#include "ref.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "args.h"

namespace vext_py {

// Hands out shared str objects for short strings: trees repeat the same
// kinds, attribute names and many values on thousands of nodes, and sharing
// an immutable str saves creating and later freeing each copy. A
// direct-mapped table keeps the lookup to one hash and one compare; strings
// that meet in a slot just replace each other.
class StringCache {
 public:
  StringCache() = default;
  StringCache(const StringCache&) = delete;
  StringCache& operator=(const StringCache&) = delete;

  Ref get(std::string_view s) {
    if (s.size() > kLongest) return from_string(s);
    // The key is kept in the slot itself, so a hit reads no other memory.
    Key key{};
    if (!s.empty()) std::memcpy(key.words.data(), s.data(), s.size());
    key.size = s.size();
    if (slots_.empty()) slots_.resize(std::size_t{1} << kSlotBits);
    Slot& slot = slots_[index_of(key)];
    if (slot.str && slot.key == key) return Ref::borrow(slot.str.get());
    Ref str = from_string(s);
    if (!str) return str;
    slot.str = Ref::borrow(str.get());  // dropping the old str runs no Python code
    slot.key = key;
    return str;
  }

  // Drops every str held.
  void clear() noexcept { std::vector<Slot>().swap(slots_); }

 private:
  static constexpr std::size_t kLongest = 32;
  static constexpr unsigned kSlotBits = 11;
  struct Key {
    std::array<std::uint64_t, kLongest / 8> words;  // the bytes, zero-padded
    std::size_t size;
    friend bool operator==(const Key&, const Key&) = default;
  };
  struct Slot {
    Key key;
    Ref str;
  };
  static std::size_t index_of(const Key& k) {
    std::uint64_t h = k.size;
    for (std::uint64_t w : k.words) h = (h ^ w) * 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(h >> (64 - kSlotBits));
  }
  std::vector<Slot> slots_;  // allocated on first use
};

}  // namespace vext_py
