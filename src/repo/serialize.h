#pragma once

#include <string>
#include <string_view>

#include "common/result.h"
#include "repo/repo.h"

namespace vext {

// A repository's whole state as one byte string, and back.
//
// Layout, version 2. Integers are unsigned LEB128 varints unless a width is
// given; a string is its byte length as a varint, then the bytes.
//
//   magic      8 bytes, "\x89VEXTREP"
//   version    4 bytes little-endian, 2
//   length     8 bytes little-endian, the size of the whole state, checksum included
//   values     count, then per value: kind, label, text, attribute count,
//              name and value of each attribute, order
//   records    count, then nodes and child lists, each after everything it
//              refers to (the order the store made them in):
//                0  node:  element length + 1 (0: the element is the kind of
//                          its value), the element bytes, value number + 1
//                          (0: none), list number + 1 (0: no children)
//                1  leaf:  count, node numbers in element order
//                2  list of lists: level (1 and up), count, numbers of
//                          lists one level down, in element order
//              Nodes and lists are numbered separately, from 0, in the order
//              they appear; every reference points to an earlier record.
//   sections   count, then per stored section in increasing hash: its hash
//              as 8 bytes little-endian, the node number + 1 of its root
//              (0: the empty section)
//   commits    count, then per commit in increasing commit id: parent count,
//              each parent as 8 bytes little-endian, message, timestamp,
//              index of its section in the list above
//   head       index of the head commit + 1 (0: none)
//   checksum   4 bytes little-endian, CRC-32C of every byte before it
//
// Version 1, which had one level of lists above the leaves (its type-2
// records hold no level), still loads: its lists are made again in the
// shape of today's store, and saving writes version 2.
//
// Commit ids are not written: loading recomputes each from its commit, so
// an id always names the commit it hashes. Section hashes are written,
// because recomputing one means hashing the section's every entry with its
// full path, which for a long history costs far more than reading it; with
// LoadCheck::Full loading recomputes them too. Each record is stored once,
// in the shape the store itself would give it; loading rejects a duplicate,
// a list out of element order or cut differently, a reference to
// a later record, and commits or sections out of order. A section hash that
// does not match its content (LoadCheck::Fast) cannot break the repository:
// it is only the key its section is filed under, as if it had collided.
//
// CRC-32C detects every error burst of up to 32 bits and any odd number of
// flipped bits, and misses other damage with odds of one in 2^32; the
// length field in the header reports truncation and trailing bytes before
// the checksum is even read. The checksum guards against damage, not
// against a crafted input: every count, length and reference is still
// checked against the bytes that remain, so no input makes the loader read
// past its end or allocate more than a fixed multiple of its size.
inline constexpr std::uint32_t kStateVersion = 2;

[[nodiscard]] std::string save(const Repo& repo);

struct LoadError {
  std::string message;
};

enum class LoadCheck : std::uint8_t { Fast, Full };

// Fills `into`, which must be empty, from a saved state. On failure `into`
// is left empty. Full also recomputes every section hash.
[[nodiscard]] Result<bool, LoadError> load(std::string_view bytes, Repo& into, LoadCheck check = LoadCheck::Fast);

// CRC-32C (Castagnoli) of `bytes`, continuing from `crc`.
[[nodiscard]] std::uint32_t crc32c(std::string_view bytes, std::uint32_t crc = 0);

}  // namespace vext
