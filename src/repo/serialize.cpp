#include "repo/serialize.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

namespace vext {
namespace {

constexpr std::string_view kMagic("\x89VEXTREP", 8);
constexpr std::size_t kHeaderSize = 8 + 4 + 8;
constexpr std::size_t kChecksumSize = 4;

enum Tag : std::uint8_t { kNodeTag = 0, kLeafTag = 1, kSpineTag = 2 };

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr auto kCrcTable = make_crc_table();

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t crc32c_sse42(const char* p, std::size_t n, std::uint32_t crc) {
  std::uint64_t c = crc;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    c = __builtin_ia32_crc32di(c, w);
  }
  crc = static_cast<std::uint32_t>(c);
  for (; n > 0; ++p, --n) crc = __builtin_ia32_crc32qi(crc, static_cast<unsigned char>(*p));
  return crc;
}
#endif

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

void put_fixed(std::string& out, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::uint64_t get_fixed(std::string_view bytes, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  return v;
}

void put_string(std::string& out, std::string_view s) {
  put_varint(out, s.size());
  out.append(s);
}

// A failed check while reading; caught once in load().
struct Bad {
  std::string message;
};

[[noreturn]] void inconsistent(const char* what) { throw Bad{std::string("inconsistent structure: ") + what}; }

// Reads the body of a state whose length and checksum were checked: running
// out of bytes here means the counts inside do not fit.
// Tells whether `s` is well-formed UTF-8: shortest forms only, no surrogates,
// nothing above U+10FFFF.
bool is_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len || p[1] < lo || p[1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (p[k] < 0x80 || p[k] > 0xBF) return false;
    }
    p += len;
  }
  return true;
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  [[nodiscard]] std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }

  std::uint64_t varint() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p_ == end_) inconsistent("a record runs past the end");
      const auto b = static_cast<unsigned char>(*p_++);
      if (shift == 63 && b > 1) inconsistent("a number does not fit in 64 bits");
      v |= std::uint64_t{b & 0x7fu} << shift;
      if (!(b & 0x80)) return v;
    }
    inconsistent("a number does not fit in 64 bits");
  }

  // A count of items that take at least `min_size` bytes each.
  std::size_t count(std::size_t min_size, const char* what) {
    const std::uint64_t n = varint();
    if (n > left() / min_size) inconsistent(what);
    return static_cast<std::size_t>(n);
  }

  // A reference to one of `limit` earlier records, stored as number + 1
  // with 0 for none; returns kNoRecord for none.
  std::uint32_t ref(std::size_t limit, const char* what) {
    const std::uint64_t v = varint();
    if (v == 0) return kNoRecord;
    if (v > limit) inconsistent(what);
    return static_cast<std::uint32_t>(v - 1);
  }

  // A number below `limit`.
  std::uint32_t index(std::size_t limit, const char* what) {
    const std::uint64_t v = varint();
    if (v >= limit) inconsistent(what);
    return static_cast<std::uint32_t>(v);
  }

  std::string_view bytes(std::size_t n) {
    if (n > left()) inconsistent("a string runs past the end");
    std::string_view s(p_, n);
    p_ += n;
    return s;
  }
  // Reads a string, which must be well-formed UTF-8: every string of a
  // repository came from a Python str, and results are turned back into str.
  std::string_view string() { return text(static_cast<std::size_t>(std::min<std::uint64_t>(varint(), left() + 1))); }
  std::string_view text(std::size_t n) {
    const std::string_view s = bytes(n);
    if (!is_utf8(s)) inconsistent("a string is not valid UTF-8");
    return s;
  }
  std::uint8_t byte() { return static_cast<std::uint8_t>(bytes(1)[0]); }
  std::uint64_t u64() { return get_fixed(bytes(8), 0, 8); }

 private:
  const char* p_;
  const char* end_;
};

}  // namespace

std::uint32_t crc32c(std::string_view bytes, std::uint32_t crc) {
  crc = ~crc;
#if defined(__x86_64__)
  if (__builtin_cpu_supports("sse4.2")) return ~crc32c_sse42(bytes.data(), bytes.size(), crc);
#endif
  for (unsigned char c : bytes) crc = kCrcTable[(crc ^ c) & 0xff] ^ (crc >> 8);
  return ~crc;
}

struct StateIo {
  static std::string save(const Repo& repo);
  static Result<bool, LoadError> load(std::string_view bytes, Repo& into, LoadCheck check);
  static void read(std::string_view bytes, Repo& into, LoadCheck check);
  static void load_records(Reader& in, NodeStore& store, std::uint64_t version);
};

std::string StateIo::save(const Repo& repo) {
  const NodeStore& store = repo.store_;
  std::string out(kMagic);
  put_fixed(out, kStateVersion, 4);
  put_fixed(out, 0, 8);  // the length, filled in at the end

  put_varint(out, store.values_.size());
  for (const NodeStore::StoredValue& stored : store.values_) {
    const Value& v = stored.value;
    put_string(out, v.kind);
    put_string(out, v.label);
    put_string(out, v.text);
    put_varint(out, v.attrs.size());
    for (const auto& [name, value] : v.attrs) {
      put_string(out, name);
      put_string(out, value);
    }
    put_varint(out, v.order);
  }

  // Nodes and lists each come in the order they were made, and each refers
  // only to records made before it; merging the two sequences, a list as
  // soon as the nodes it holds are out, keeps every reference backwards.
  const std::size_t node_total = store.nodes_.size();
  const std::size_t list_total = store.lists_.size();
  put_varint(out, node_total + list_total);
  std::size_t nodes = 0;
  std::size_t lists = 0;
  while (nodes < node_total || lists < list_total) {
    if (lists < list_total) {
      const NodeStore::List& l = store.lists_[lists];
      const auto items = store.items(static_cast<ListId>(lists));
      if (l.level > 0 || nodes == node_total || items.empty() ||
          *std::max_element(items.begin(), items.end()) < nodes) {
        out.push_back(static_cast<char>(l.level > 0 ? kSpineTag : kLeafTag));
        if (l.level > 0) put_varint(out, l.level);
        put_varint(out, items.size());
        for (std::uint32_t item : items) put_varint(out, item);
        ++lists;
        continue;
      }
    }
    const NodeStore::Node& n = store.nodes_[nodes++];
    out.push_back(static_cast<char>(kNodeTag));
    if (n.value != kNoValue && n.element == store.values_[n.value].value.kind) {
      put_varint(out, 0);
    } else {
      put_varint(out, n.element.size() + 1);
      out.append(n.element);
    }
    put_varint(out, n.value == kNoValue ? 0 : std::uint64_t{n.value} + 1);
    put_varint(out, n.kids == kNoKids ? 0 : std::uint64_t{n.kids} + 1);
  }

  std::vector<std::pair<SectionHash, NodeId>> sections(repo.sections_.begin(), repo.sections_.end());
  std::sort(sections.begin(), sections.end());
  put_varint(out, sections.size());
  for (const auto& [hash, root] : sections) {
    put_fixed(out, hash, 8);
    put_varint(out, root == kNoNode ? 0 : std::uint64_t{root} + 1);
  }

  std::vector<std::pair<CommitId, const Commit*>> commits;
  commits.reserve(repo.commits_.size());
  for (const auto& [id, commit] : repo.commits_) commits.emplace_back(id, &commit);
  std::sort(commits.begin(), commits.end());
  put_varint(out, commits.size());
  std::uint64_t head = 0;
  for (std::size_t i = 0; i < commits.size(); ++i) {
    const Commit& c = *commits[i].second;
    put_varint(out, c.parents.size());
    for (CommitId p : c.parents) put_fixed(out, p, 8);
    put_string(out, c.message);
    put_varint(out, c.timestamp);
    const auto at = std::lower_bound(sections.begin(), sections.end(), std::pair{c.section_hash, NodeId{0}});
    put_varint(out, static_cast<std::uint64_t>(at - sections.begin()));
    if (repo.head_ == commits[i].first) head = i + 1;
  }
  put_varint(out, head);

  const std::uint64_t length = out.size() + kChecksumSize;
  for (int i = 0; i < 8; ++i) out[12 + i] = static_cast<char>((length >> (8 * i)) & 0xff);
  put_fixed(out, crc32c(out), 4);
  return out;
}

void StateIo::load_records(Reader& in, NodeStore& store, std::uint64_t version) {
  const std::size_t value_count = in.count(5, "more values than bytes");
  store.values_.reserve(value_count);
  Attributes attrs;
  for (std::size_t i = 0; i < value_count; ++i) {
    const std::string_view kind = in.string();
    const std::string_view label = in.string();
    const std::string_view text = in.string();
    attrs.resize(in.count(2, "more attributes than bytes"));
    for (auto& [name, value] : attrs) {
      name = in.string();
      value = in.string();
    }
    const std::uint64_t order = in.varint();
    if (store.intern_value(kind, label, text, attrs, order) != i) inconsistent("a value is stored twice");
  }

  // Version 1 kept one level of lists above the leaves. Its lists are made
  // again in today's shape as they come, so they get numbers of their own:
  // `list_ids` maps each list record to its number in the store.
  const bool one_level = version == 1;
  std::vector<ListId> list_ids;
  const auto list_ref = [&](const char* what) {
    const std::uint32_t r = in.ref(list_ids.size(), what);
    return r == kNoRecord ? kNoKids : list_ids[r];
  };
  const auto list_index = [&](const char* what) { return list_ids[in.index(list_ids.size(), what)]; };
  const std::size_t record_count = in.count(2, "more nodes and lists than bytes");
  std::vector<std::uint32_t> items;
  for (std::size_t r = 0; r < record_count; ++r) {
    const std::uint8_t tag = in.byte();
    const std::size_t nodes = store.nodes_.size();
    const std::size_t lists = store.lists_.size();
    if (tag == kNodeTag) {
      const std::uint64_t element_size = in.varint();
      const std::string_view element = element_size == 0 ? std::string_view() : in.text(element_size - 1);
      const ValueId value = in.ref(store.values_.size(), "a node refers to a value not yet stored");
      const ListId kids = list_ref("a node refers to a child list not yet stored");
      if (element_size == 0 && value == kNoValue) inconsistent("a node takes its element from a value it lacks");
      // A child list of one item is that item; only a part of a list holds one.
      if (kids != kNoKids && store.lists_[kids].level > 0 && store.lists_[kids].count == 1)
        inconsistent("a child list is not cut where the store would cut it");
      const std::string_view name = element_size == 0 ? std::string_view(store.values_[value].value.kind) : element;
      const NodeId id = store.intern_node(name, value, kids);
      if (id == kNoNode) inconsistent("a node has neither a value nor children");
      if (id != nodes) inconsistent("a node is stored twice");
    } else if (tag == kLeafTag) {
      items.resize(in.count(1, "more children than bytes"));
      if (items.empty() || items.size() > NodeStore::kMaxLeaf) inconsistent("a leaf of a child list has a wrong size");
      for (auto& item : items) item = in.index(nodes, "a child list refers to a node not yet stored");
      for (std::size_t k = 1; k < items.size(); ++k) {
        if (!(store.nodes_[items[k - 1]].element < store.nodes_[items[k]].element))
          inconsistent("a child list is not in element order");
      }
      // The store cuts a list into leaves by its children alone: making the
      // list again must give exactly this one new leaf.
      if (store.make_list(items) != lists || store.lists_.size() != lists + 1)
        inconsistent("a leaf is stored twice or cut where the store would not cut it");
      list_ids.push_back(static_cast<ListId>(lists));
    } else if (tag == kSpineTag) {
      const std::uint64_t level = one_level ? 1 : in.varint();
      if (level == 0 || level > NodeStore::kMaxLevel) inconsistent("a list has a level the store never makes");
      items.resize(in.count(1, "more lists than bytes"));
      if (items.empty() || items.size() > NodeStore::kMaxLeaf || (one_level && items.size() < 2))
        inconsistent("a list of lists has a wrong size");
      for (auto& item : items) {
        item = list_index("a list refers to a list not yet stored");
        if (store.lists_[item].level != level - 1) inconsistent("a list holds lists of another level");
      }
      for (std::size_t k = 0; k + 1 < items.size(); ++k) {
        if (!(store.nodes_[store.last_kid(items[k])].element < store.nodes_[store.first_kid(items[k + 1])].element))
          inconsistent("a child list is not in element order");
        if (one_level && !store.list_closed(items[k])) inconsistent("a list ends where the store would not cut it");
      }
      if (items.size() == 1 && !one_level) {
        // Only a part of a longer list holds one item: nothing to check it
        // against but its neighbours, which the list above it checks.
        if (store.intern_list(items, static_cast<std::uint8_t>(level)) != lists) inconsistent("a list is stored twice");
        list_ids.push_back(static_cast<ListId>(lists));
        continue;
      }
      for (auto& item : items) item |= NodeStore::kListTag;
      if (one_level) {
        list_ids.push_back(store.make_list(items));
        continue;
      }
      // Making the list again from its parts must give exactly this one new list.
      if (store.make_list(items) != lists || store.lists_.size() != lists + 1)
        inconsistent("a list is stored twice or cut where the store would not cut it");
      list_ids.push_back(static_cast<ListId>(lists));
    } else {
      inconsistent("a record of unknown kind");
    }
  }
}

void StateIo::read(std::string_view bytes, Repo& into, LoadCheck check) {
  if (bytes.size() < kMagic.size() ? bytes != kMagic.substr(0, bytes.size()) : bytes.substr(0, 8) != kMagic)
    throw Bad{"wrong magic number: not a saved repository"};
  if (bytes.size() < kHeaderSize + kChecksumSize) throw Bad{"truncated: shorter than the header"};
  const std::uint64_t version = get_fixed(bytes, 8, 4);
  if (version != kStateVersion && version != 1)
    throw Bad{"unsupported format version " + std::to_string(version) + " (this build reads version " +
              std::to_string(kStateVersion) + ")"};
  const std::uint64_t length = get_fixed(bytes, 12, 8);
  if (length < kHeaderSize + kChecksumSize) inconsistent("the length in the header is smaller than the header");
  if (bytes.size() < length)
    throw Bad{"truncated: " + std::to_string(bytes.size()) + " of " + std::to_string(length) + " bytes"};
  if (bytes.size() > length) throw Bad{"trailing bytes: " + std::to_string(bytes.size() - length) + " after the end"};
  const std::string_view body = bytes.substr(0, length - kChecksumSize);
  if (crc32c(body) != get_fixed(bytes, length - kChecksumSize, 4)) throw Bad{"checksum mismatch: the data is damaged"};

  Reader in(body.substr(kHeaderSize));
  load_records(in, into.store_, version);
  NodeStore& store = into.store_;

  const std::size_t section_count = in.count(9, "more sections than bytes");
  std::vector<SectionHash> hashes;
  hashes.reserve(section_count);
  into.sections_.reserve(section_count);
  for (std::size_t i = 0; i < section_count; ++i) {
    const SectionHash hash = in.u64();
    const NodeId root = in.ref(store.nodes_.size(), "a section refers to a node not stored");
    if (root != kNoNode && !store.nodes_[root].element.empty()) inconsistent("a section's root has an element");
    if (!hashes.empty() && hash <= hashes.back()) inconsistent("sections are out of order or stored twice");
    if (check == LoadCheck::Full && hash != (root == kNoNode ? kFnvOffsetBasis : store.hash(root)))
      inconsistent("a section's hash does not match its content");
    hashes.push_back(hash);
    into.sections_.emplace(hash, root);
    if (root == kNoNode ? hash != kFnvOffsetBasis : !into.section_hashes_.emplace(root, hash).second)
      inconsistent("one section is stored under two hashes");
  }

  const std::size_t commit_count = in.count(4, "more commits than bytes");
  std::vector<CommitId> ids;
  ids.reserve(commit_count);
  for (std::size_t i = 0; i < commit_count; ++i) {
    Commit commit;
    commit.parents.resize(in.count(8, "more parents than bytes"));
    for (CommitId& p : commit.parents) p = in.u64();
    commit.message = in.string();
    commit.timestamp = in.varint();
    const std::uint64_t section = in.varint();
    if (section >= hashes.size()) inconsistent("a commit refers to a section not stored");
    commit.section_hash = hashes[section];
    const CommitId id = commit_id(commit);
    if (!ids.empty() && id <= ids.back()) inconsistent("commits are out of order or stored twice");
    ids.push_back(id);
    into.commits_.add(id, std::move(commit));
  }
  const std::uint32_t head = in.ref(ids.size(), "the head is not a stored commit");
  if (head != kNoRecord) into.head_ = ids[head];
  if (in.left() != 0) inconsistent("bytes are left after the head");
}

Result<bool, LoadError> StateIo::load(std::string_view bytes, Repo& into, LoadCheck check) {
  if (!into.commits_.empty() || !into.sections_.empty() || into.store_.node_count() != 0 ||
      into.store_.value_count() != 0) {
    return LoadError{"the repository already holds a history; load into a new one"};
  }
  const auto reset = [&] {
    into.store_.rollback({});
    into.sections_.clear();
    into.section_hashes_.clear();
    into.commits_.clear();
    into.head_.reset();
  };
  try {
    read(bytes, into, check);
  } catch (Bad& bad) {
    reset();
    return LoadError{std::move(bad.message)};
  } catch (...) {
    reset();
    throw;
  }
  return true;
}

std::string save(const Repo& repo) { return StateIo::save(repo); }

Result<bool, LoadError> load(std::string_view bytes, Repo& into, LoadCheck check) {
  return StateIo::load(bytes, into, check);
}

}  // namespace vext
