#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "section/section.h"

namespace vext {

using CommitId = std::uint64_t;
using SectionHash = std::uint64_t;

inline constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

// Folds `bytes` into a running 64-bit FNV-1a hash.
constexpr std::uint64_t fnv1a(std::string_view bytes, std::uint64_t hash = kFnvOffsetBasis) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= kFnvPrime;
  }
  return hash;
}

// The bytes a section hashes are, per entry in path order, each path element
// followed by a zero byte, then the entry's tail: "|", the value's text form
// and a newline. The tail depends on the value alone, so it can be rendered
// once and kept.
void append_entry_tail(std::string& out, const Value& value);

// Feeds one entry of a section's hash input to `sink`, a callable taking
// string_views: the elements of `path`, each with its zero byte, then `tail`
// as append_entry_tail made it.
template <class Elements, class Sink>
void feed_entry(Sink&& sink, const Elements& path, std::string_view tail) {
  for (const auto& element : path) {
    sink(std::string_view(element));
    sink(std::string_view("\0", 1));
  }
  sink(tail);
}

// Folds what it is fed into a running FNV-1a hash.
struct FnvSink {
  std::uint64_t hash = kFnvOffsetBasis;
  void operator()(std::string_view bytes) { hash = fnv1a(bytes, hash); }
};

// Appends the bytes hashed for a section, entry by entry in path order (see
// feed_entry).
void append_section_hash_input(std::string& out, const Section& section);
SectionHash section_hash(const Section& section);

struct Commit {
  std::vector<CommitId> parents;
  std::string message;
  SectionHash section_hash = 0;
  std::uint64_t timestamp = 0;
  friend bool operator==(const Commit&, const Commit&) = default;
};

// Appends the bytes hashed for a commit: parents, section hash, message and
// timestamp, integers as 8 bytes little-endian.
void append_commit_hash_input(std::string& out, const Commit& commit);
CommitId commit_id(const Commit& commit);

}  // namespace vext
