#pragma once

#include <cstdint>
#include <string_view>

#include "common/hash.h"
#include "common/hash_table.h"
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
    h_ = (h_ ^ word) * kHashMul;
    return *this;
  }
  std::uint64_t done() const { return mix_hash(h_); }

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

// A hash index of ids whose keys live elsewhere: callers hash a key and tell
// whether the key of an id equals it.
using IdIndex = HashIndex<std::uint32_t, kNone>;

}  // namespace vext::detail
