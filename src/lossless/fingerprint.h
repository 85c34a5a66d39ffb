#pragma once

// Fingerprints of sub-trees: equal sub-trees have equal fingerprints. A
// node's fingerprint is built in steps, in this order, so that a reader can
// compute it while it parses, before any tree exists: its head (kind,
// identity, label, attributes), its text, each child's fingerprint, and last
// the number of children.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/hash.h"

namespace vext::detail {

inline std::uint64_t fp_mix(std::uint64_t h, std::uint64_t v) {
  h = std::rotl(h ^ v, 27) * kHashMul;
  return h ^ (h >> 31);
}

// Hashes a string eight bytes at a time; the strings of a tree are mostly short.
inline std::uint64_t fp_mix(std::uint64_t h, std::string_view s) {
  h = fp_mix(h, s.size());
  const char* p = s.data();
  std::size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = fp_mix(h, w);
  }
  if (n > 0) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = fp_mix(h, w);
  }
  return h;
}

// Starts a fingerprint: kind, identity (nullptr when there is none), label
// and the number of attributes; `fp_attr` follows for each attribute.
inline std::uint64_t fp_head(std::string_view kind, const std::string_view* identity, std::string_view label,
                             std::size_t attr_count) {
  std::uint64_t h = fp_mix(identity ? 2 : 1, kind);
  if (identity) h = fp_mix(h, *identity);
  return fp_mix(fp_mix(h, label), attr_count);
}
inline std::uint64_t fp_attr(std::uint64_t h, std::string_view name, std::string_view value) {
  return fp_mix(fp_mix(h, name), value);
}
inline std::uint64_t fp_text(std::uint64_t h, std::string_view text) { return fp_mix(h, text); }
inline std::uint64_t fp_child(std::uint64_t h, std::uint64_t child) { return fp_mix(h, child); }
inline std::uint64_t fp_end(std::uint64_t h, std::size_t child_count) { return fp_mix(h, child_count); }

}  // namespace vext::detail
