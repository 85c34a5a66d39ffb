#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

// The one family of lookup hashes: words and bytes folded into a running
// value, then mixed. These hashes index tables in memory and are never
// stored, with one exception: the node store cuts child lists where its
// hashes say, so fold_word, fold_bytes and mix_hash must keep their values.
namespace vext {

inline constexpr std::uint64_t kHashMul = 0x9e3779b97f4a7c15ULL;

// Folds one word into a running hash.
constexpr std::uint64_t fold_word(std::uint64_t h, std::uint64_t word) {
  h = (h ^ word) * kHashMul;
  return h ^ (h >> 29);
}

// Folds bytes and their count into a running hash, eight at a time.
inline std::uint64_t fold_bytes(std::string_view s, std::uint64_t h) {
  h = (h ^ s.size()) * kHashMul;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * kHashMul;
    h ^= h >> 29;
  }
  std::uint64_t w = 0;
  if (i < s.size()) std::memcpy(&w, s.data() + i, s.size() - i);
  return (h ^ w) * kHashMul;
}

// The final mix. It is a bijection of 64-bit words, so two ids that differ
// keep hashes that differ: a table keyed by ids may compare hashes alone.
constexpr std::uint64_t mix_hash(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace vext
