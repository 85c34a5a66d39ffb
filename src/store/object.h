#pragma once

// The objects of a persistent store and their bytes. Every object is named by
// the SHA-256 of its bytes, so a store checks each object it reads, and an id
// names the same object in every store.
//
// A node's bytes hold its fields, the engine's 64-bit fingerprint of its
// whole sub-tree (so that a diff can stand a stub in for a shared sub-tree
// without reading it), the number of its children and the top of its child
// list. A child list is cut where a child's id says so (about one child in
// 32, after kMaxChunk children at most) into chunks; while there is more than
// one chunk, the chunk ids are cut the same way one level up; from level
// kHashLevels up, lists are cut by count alone, so that even a list of one
// child repeated (whose ids all cut, or none) ends in one list within
// kMaxLevel levels for any child count below 2^32. The node holds
// the items of the top level: child ids at level 0, chunk ids above. The cuts
// depend on the children alone, so a list that changes in one child shares
// every other chunk with its previous version.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tree/tree.h"

namespace vext::store {

struct ObjectId {
  std::array<std::uint8_t, 32> bytes{};
  friend bool operator==(const ObjectId&, const ObjectId&) = default;
  friend auto operator<=>(const ObjectId&, const ObjectId&) = default;
  struct Hash {
    std::size_t operator()(const ObjectId& id) const;
  };
};

// Returns the SHA-256 of `bytes`.
ObjectId hash_bytes(std::string_view bytes);
// Renders an id as 64 lower-case hex digits.
std::string to_hex(const ObjectId& id);
// Reads 64 hex digits (either case); nullopt for anything else.
std::optional<ObjectId> from_hex(std::string_view text);

inline constexpr std::uint32_t kMaxChunk = 256;
inline constexpr std::uint8_t kHashLevels = 4;
inline constexpr std::uint8_t kMaxLevel = 8;

// A node as stored: its own fields and the top of its child list.
struct NodeRecord {
  std::string kind;
  std::optional<std::string> identity;
  std::string label;
  Attributes attributes;
  std::string text;
  std::uint64_t fingerprint = 0;
  std::uint64_t child_count = 0;
  std::uint8_t level = 0;        // 0: items are child ids; above: chunk ids
  std::vector<ObjectId> items;
  friend bool operator==(const NodeRecord&, const NodeRecord&) = default;
};

// A piece of a child list: child ids at level 0, chunk ids one level down above.
struct ChunkRecord {
  std::uint8_t level = 0;
  std::vector<ObjectId> items;
  friend bool operator==(const ChunkRecord&, const ChunkRecord&) = default;
};

struct CommitRecord {
  ObjectId root;
  std::vector<ObjectId> parents;
  std::int64_t time_us = 0;  // microseconds since the epoch, UTC
  std::string message;
  friend bool operator==(const CommitRecord&, const CommitRecord&) = default;
};

// A pack: objects written together, many to a row of the backend. Its bytes
// are 'P', the number of objects, and for each its id, length and bytes. The
// writer lays objects out in the order a walk from a root reads them (a
// node's children side by side), so that one pack read brings the nodes a
// read asks for next. An entry's id is checked against its bytes where the
// object is used.
struct PackEntry {
  ObjectId id;
  std::string_view bytes;
  friend bool operator==(const PackEntry&, const PackEntry&) = default;
};

std::string encode(const NodeRecord& node);
// Encodes a node as encode(NodeRecord) does, its own fields taken from `fields`
// (whose children are not looked at).
std::string encode_node(const TreeNode& fields, std::uint64_t fingerprint, std::uint64_t child_count,
                        std::uint8_t level, const std::vector<ObjectId>& items);
// The bytes encode_node and encode(ChunkRecord) give, appended to `out`:
// for writers that keep many objects in one buffer.
void append_node(std::string& out, const TreeNode& fields, std::uint64_t fingerprint, std::uint64_t child_count,
                 std::uint8_t level, std::span<const ObjectId> items);
void append_chunk(std::string& out, std::uint8_t level, std::span<const ObjectId> items);
std::string encode(const ChunkRecord& chunk);
std::string encode(const CommitRecord& commit);
std::string encode(const std::vector<PackEntry>& pack);

// Decoders accept exactly what the encoders write: any other byte string,
// however short, long or malformed, gives nullopt.
std::optional<NodeRecord> decode_node(std::string_view bytes);
std::optional<ChunkRecord> decode_chunk(std::string_view bytes);
std::optional<CommitRecord> decode_commit(std::string_view bytes);
// The entries of a pack, viewing `bytes`; nullopt unless it holds one entry
// at least, each whole.
std::optional<std::vector<PackEntry>> decode_pack(std::string_view bytes);

// Whether a list of this level ends at this item, whatever its length: where
// its id says so, below kHashLevels.
bool cuts_after(const ObjectId& item, std::uint8_t level);

// The engine's fingerprint of a node whose children have these fingerprints.
std::uint64_t node_fingerprint(const TreeNode& node, const std::vector<std::uint64_t>& child_fingerprints);
std::uint64_t node_fingerprint(const NodeRecord& node, const std::vector<std::uint64_t>& child_fingerprints);

}  // namespace vext::store
