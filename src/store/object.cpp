#include "store/object.h"

// The SHA-256 calls below are the plain ones: OpenSSL 3 marks them
// deprecated in favour of its provider-dispatched EVP interface, which costs
// twice as much on the short inputs a store hashes (a node is tens of bytes).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>
#include <new>

#include "common/fatal.h"
#include "lossless/fingerprint.h"

namespace vext::store {
namespace {

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

void put_str(std::string& out, std::string_view s) {
  put_varint(out, s.size());
  out.append(s);
}

void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void put_ids(std::string& out, std::span<const ObjectId> ids) {
  put_varint(out, ids.size());
  for (const ObjectId& id : ids) out.append(reinterpret_cast<const char*>(id.bytes.data()), id.bytes.size());
}

// Reads what the put_ functions write; any step past the end or out of shape
// makes the whole reader fail.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && rest_.empty(); }

  std::uint8_t byte() {
    if (!need(1)) return 0;
    const auto b = static_cast<std::uint8_t>(rest_[0]);
    rest_.remove_prefix(1);
    return b;
  }
  std::uint64_t varint() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const std::uint8_t b = byte();
      if (!ok_) return 0;
      if (shift == 63 && b > 1) break;
      v |= std::uint64_t{b & 0x7fu} << shift;
      if (!(b & 0x80)) {
        // The shortest form only: one value, one encoding.
        if (b == 0 && shift > 0) break;
        return v;
      }
    }
    ok_ = false;
    return 0;
  }
  std::string str() { return std::string(view()); }
  std::string_view view() {
    const std::uint64_t n = varint();
    if (!need(n)) return {};
    const std::string_view s = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return s;
  }
  std::uint64_t u64() {
    if (!need(8)) return 0;
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<std::uint8_t>(rest_[i])} << (8 * i);
    rest_.remove_prefix(8);
    return v;
  }
  ObjectId id() {
    ObjectId out;
    if (!need(out.bytes.size())) return out;
    std::memcpy(out.bytes.data(), rest_.data(), out.bytes.size());
    rest_.remove_prefix(out.bytes.size());
    return out;
  }
  std::vector<ObjectId> ids() {
    const std::uint64_t n = varint();
    std::vector<ObjectId> out;
    if (!ok_ || n > rest_.size() / 32) {
      ok_ = false;
      return out;
    }
    out.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) out.push_back(id());
    return out;
  }

 private:
  bool need(std::uint64_t n) {
    if (ok_ && n <= rest_.size()) return true;
    ok_ = false;
    return false;
  }
  std::string_view rest_;
  bool ok_ = true;
};

// A list as the encoder cuts it: no item but the last ends a list, and no
// list is longer than kMaxChunk.
bool cut_as_written(const std::vector<ObjectId>& items, std::uint8_t level) {
  if (items.size() > kMaxChunk) return false;
  for (std::size_t i = 0; i + 1 < items.size(); ++i) {
    if (cuts_after(items[i], level)) return false;
  }
  return true;
}

std::uint64_t own_fingerprint(const std::string& kind, const std::optional<std::string>& identity,
                              const std::string& label, const Attributes& attrs, const std::string& text) {
  const std::string_view id = identity ? std::string_view(*identity) : std::string_view();
  std::uint64_t h = detail::fp_head(kind, identity ? &id : nullptr, label, attrs.size());
  for (const auto& [name, value] : attrs) h = detail::fp_attr(h, name, value);
  return detail::fp_text(h, text);
}

// Reads what a node and a chunk end with: the level of their items and the
// item ids, which take the rest of the bytes, are at most `max_level` and
// are cut as the writer cuts them.
template <class Record>
bool read_items(Reader& r, Record& rec, std::uint8_t max_level) {
  rec.level = r.byte();
  rec.items = r.ids();
  return r.done() && rec.level <= max_level && cut_as_written(rec.items, rec.level);
}

}  // namespace

std::size_t ObjectId::Hash::operator()(const ObjectId& id) const {
  std::size_t h;
  std::memcpy(&h, id.bytes.data(), sizeof h);
  return h;
}

ObjectId hash_bytes(std::string_view bytes) {
  ObjectId out;
  SHA256_CTX context;
  if (SHA256_Init(&context) != 1 || SHA256_Update(&context, bytes.data(), bytes.size()) != 1 ||
      SHA256_Final(out.bytes.data(), &context) != 1)
    throw Fatal("SHA-256 failed");
  return out;
}

std::string to_hex(const ObjectId& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (std::uint8_t b : id.bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::optional<ObjectId> from_hex(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  ObjectId out;
  for (std::size_t i = 0; i < 64; ++i) {
    const char c = text[i];
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    out.bytes[i / 2] = static_cast<std::uint8_t>(out.bytes[i / 2] | (i % 2 ? v : v << 4));
  }
  return out;
}

bool cuts_after(const ObjectId& item, std::uint8_t level) {
  if (level >= kHashLevels) return false;
  const unsigned v = item.bytes[2 * level] | (unsigned{item.bytes[2 * level + 1]} << 8);
  return (v & 31) == 0;
}

std::uint64_t node_fingerprint(const TreeNode& node, const std::vector<std::uint64_t>& child_fingerprints) {
  std::uint64_t h = own_fingerprint(node.kind, node.identity, node.label, node.attributes, node.text);
  for (std::uint64_t c : child_fingerprints) h = detail::fp_child(h, c);
  return detail::fp_end(h, child_fingerprints.size());
}

std::uint64_t node_fingerprint(const NodeRecord& node, const std::vector<std::uint64_t>& child_fingerprints) {
  std::uint64_t h = own_fingerprint(node.kind, node.identity, node.label, node.attributes, node.text);
  for (std::uint64_t c : child_fingerprints) h = detail::fp_child(h, c);
  return detail::fp_end(h, child_fingerprints.size());
}

std::string encode_node(const TreeNode& fields, std::uint64_t fingerprint, std::uint64_t child_count,
                        std::uint8_t level, const std::vector<ObjectId>& items) {
  std::string out;
  std::size_t room = 32 + fields.kind.size() + fields.label.size() + fields.text.size() + 33 * items.size();
  if (fields.identity) room += fields.identity->size();
  for (const auto& [name, value] : fields.attributes) room += name.size() + value.size() + 4;
  out.reserve(room);
  append_node(out, fields, fingerprint, child_count, level, items);
  return out;
}

void append_node(std::string& out, const TreeNode& fields, std::uint64_t fingerprint, std::uint64_t child_count,
                 std::uint8_t level, std::span<const ObjectId> items) {
  out.push_back('N');
  out.push_back(fields.identity ? 1 : 0);
  put_str(out, fields.kind);
  if (fields.identity) put_str(out, *fields.identity);
  put_str(out, fields.label);
  put_varint(out, fields.attributes.size());
  for (const auto& [name, value] : fields.attributes) {
    put_str(out, name);
    put_str(out, value);
  }
  put_str(out, fields.text);
  put_u64(out, fingerprint);
  put_varint(out, child_count);
  out.push_back(static_cast<char>(level));
  put_ids(out, items);
}

void append_chunk(std::string& out, std::uint8_t level, std::span<const ObjectId> items) {
  out.push_back('K');
  out.push_back(static_cast<char>(level));
  put_ids(out, items);
}

std::string encode(const NodeRecord& node) {
  TreeNode fields(node.kind);
  fields.identity = node.identity;
  fields.label = node.label;
  fields.attributes = node.attributes;
  fields.text = node.text;
  return encode_node(fields, node.fingerprint, node.child_count, node.level, node.items);
}

std::string encode(const ChunkRecord& chunk) {
  std::string out;
  append_chunk(out, chunk.level, chunk.items);
  return out;
}

std::string encode(const CommitRecord& commit) {
  std::string out;
  out.push_back('C');
  out.append(reinterpret_cast<const char*>(commit.root.bytes.data()), commit.root.bytes.size());
  put_ids(out, commit.parents);
  put_u64(out, static_cast<std::uint64_t>(commit.time_us));
  put_str(out, commit.message);
  return out;
}

std::string encode(const std::vector<PackEntry>& pack) {
  std::size_t room = 16;
  for (const PackEntry& e : pack) room += 32 + 10 + e.bytes.size();
  std::string out;
  out.reserve(room);
  out.push_back('P');
  put_varint(out, pack.size());
  for (const PackEntry& e : pack) {
    out.append(reinterpret_cast<const char*>(e.id.bytes.data()), e.id.bytes.size());
    put_str(out, e.bytes);
  }
  return out;
}

std::optional<NodeRecord> decode_node(std::string_view bytes) {
  Reader r(bytes);
  NodeRecord n;
  if (r.byte() != 'N') return std::nullopt;
  const std::uint8_t flags = r.byte();
  if (flags > 1) return std::nullopt;
  n.kind = r.str();
  if (flags) n.identity = r.str();
  n.label = r.str();
  const std::uint64_t attrs = r.varint();
  if (!r.ok() || attrs > bytes.size() / 2) return std::nullopt;
  n.attributes.reserve(attrs);
  for (std::uint64_t i = 0; i < attrs && r.ok(); ++i) {
    std::string name = r.str();
    std::string value = r.str();
    n.attributes.emplace_back(std::move(name), std::move(value));
  }
  n.text = r.str();
  n.fingerprint = r.u64();
  n.child_count = r.varint();
  if (!read_items(r, n, kMaxLevel)) return std::nullopt;
  if (n.level == 0 && n.items.size() != n.child_count) return std::nullopt;
  if (n.level > 0 && (n.items.size() < 2 || n.child_count < n.items.size())) return std::nullopt;
  return n;
}

std::optional<ChunkRecord> decode_chunk(std::string_view bytes) {
  Reader r(bytes);
  ChunkRecord c;
  if (r.byte() != 'K') return std::nullopt;
  if (!read_items(r, c, kMaxLevel - 1) || c.items.empty()) return std::nullopt;
  return c;
}

std::optional<CommitRecord> decode_commit(std::string_view bytes) {
  Reader r(bytes);
  CommitRecord c;
  if (r.byte() != 'C') return std::nullopt;
  c.root = r.id();
  c.parents = r.ids();
  c.time_us = static_cast<std::int64_t>(r.u64());
  c.message = r.str();
  if (!r.done()) return std::nullopt;
  return c;
}

std::optional<std::vector<PackEntry>> decode_pack(std::string_view bytes) {
  Reader r(bytes);
  if (r.byte() != 'P') return std::nullopt;
  const std::uint64_t n = r.varint();
  // An entry takes 33 bytes at least.
  if (!r.ok() || n == 0 || n > bytes.size() / 33) return std::nullopt;
  std::vector<PackEntry> out(n);
  for (PackEntry& e : out) {
    e.id = r.id();
    e.bytes = r.view();
  }
  if (!r.done()) return std::nullopt;
  return out;
}

}  // namespace vext::store
