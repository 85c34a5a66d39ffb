#include "store/store.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <new>
#include <queue>
#include <set>
#include <span>
#include <variant>

#include "common/hash_table.h"
#include "lossless/index.h"

namespace vext::store {

bool valid_branch_name(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  return std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

namespace {

// The caches hold about this many bytes of decoded objects before they start over.
constexpr std::size_t kCacheBytes = std::size_t{256} << 20;
constexpr std::size_t kStubText = 8 + 32;
// How many trees read whole the store keeps.
constexpr std::size_t kTrees = 2;

using IdSet = std::unordered_set<ObjectId, ObjectId::Hash>;
template <class V>
using IdMap = std::unordered_map<ObjectId, V, ObjectId::Hash>;

// A table keyed by object id for the sets and caches that take thousands of
// ids in one call: its entries in one list under an open-addressed index,
// where a node per entry would cost more than the work it indexes. An entry
// found is valid until the next one is added.
template <class V>
class IdTable {
 public:
  [[nodiscard]] const V* find(const ObjectId& id) const {
    const std::uint32_t at = index_.find(ObjectId::Hash{}(id), [&](std::uint32_t k) { return entries_[k].id == id; });
    return at == kNone ? nullptr : &entries_[at].value;
  }
  [[nodiscard]] bool contains(const ObjectId& id) const { return find(id) != nullptr; }
  [[nodiscard]] std::size_t size() const { return entries_.size(); }

  // Adds `id` with `value` unless `id` is there already; whether it was
  // added. A failed allocation adds nothing.
  bool add(const ObjectId& id, V value = {}) {
    const std::size_t before = entries_.size();
    const std::uint32_t k = place(id);
    if (entries_.size() == before) return false;
    entries_[k].value = std::move(value);
    return true;
  }

  // The number of `id`'s entry, added with a value of V{} when missing; an
  // entry's number stays while the table lives.
  std::uint32_t place(const ObjectId& id) {
    const std::uint64_t hash = ObjectId::Hash{}(id);
    const std::uint32_t at = index_.find(hash, [&](std::uint32_t k) { return entries_[k].id == id; });
    if (at != kNone) return at;
    index_.reserve_one();
    entries_.push_back({id, V{}});
    index_.insert(hash, static_cast<std::uint32_t>(entries_.size() - 1));
    return static_cast<std::uint32_t>(entries_.size() - 1);
  }
  [[nodiscard]] V& at(std::uint32_t k) { return entries_[k].value; }

  void reserve(std::size_t n) { entries_.reserve(n); }

  void clear() noexcept {
    index_.clear();
    std::vector<Entry>().swap(entries_);
  }

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;
  struct Entry {
    ObjectId id;
    V value;
  };
  std::vector<Entry> entries_;
  HashIndex<std::uint32_t, kNone> index_;
};
using IdFlatSet = IdTable<std::monostate>;

// A node's kind and identity as one string, for pairing children.
std::string key_of(const NodeRecord& n) {
  std::string key = n.kind;
  key.push_back('\0');
  if (n.identity) {
    key.push_back('1');
    key += *n.identity;
  }
  return key;
}

void make_stub(TreeNode& t, const NodeRecord& n, const ObjectId& id) {
  t.kind = n.kind;
  t.identity = n.identity;
  t.label = detail::kStubLabel;
  t.text.assign(reinterpret_cast<const char*>(&n.fingerprint), 8);
  t.text.append(reinterpret_cast<const char*>(id.bytes.data()), id.bytes.size());
}

bool is_store_stub(const TreeNode& t) { return detail::is_stub(t) && t.text.size() == kStubText; }

ObjectId stub_id(const TreeNode& t) {
  ObjectId id;
  std::memcpy(id.bytes.data(), t.text.data() + 8, id.bytes.size());
  return id;
}

std::uint64_t stub_fingerprint(const TreeNode& t) {
  std::uint64_t fp;
  std::memcpy(&fp, t.text.data(), 8);
  return fp;
}

// An object of a tree being committed; its bytes and the new objects it
// names are ranges of buffers shared by all of them.
struct NewObject {
  ObjectId id;
  std::size_t at = 0;
  std::size_t size = 0;
  std::size_t subs_at = 0;
  std::size_t subs = 0;
};

}  // namespace

class Store::Impl {
 public:
  explicit Impl(Backend& backend) : b_(backend) {}

  [[noreturn]] void fail(StoreErrorCode code, const std::string& what) const {
    throw StoreFailure(StoreError{code, b_.name() + ": " + what});
  }
  [[noreturn]] void corrupt(const std::string& what) const { fail(StoreErrorCode::Corrupt, "damaged: " + what); }

  // Keeps one read of the backend open while a call reads many rows, so that
  // they see one state of the store and the backend locks it once.
  class Reading {
   public:
    explicit Reading(Backend& b) : b_(b) { b_.begin_read(); }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    ~Reading() { b_.end_read(); }

   private:
    Backend& b_;
  };

  // ---- Reading objects

  // Where a read pack holds an object.
  struct Located {
    std::uint32_t pack;  // in packs_
    std::uint32_t offset;
    std::uint32_t size;
  };

  // Registers the objects of a pack whose bytes are `bytes`; false when the
  // pack is malformed. A failed allocation leaves some of its objects
  // registered and the pack not marked as read, so it is read again.
  bool add_pack(std::int64_t number, std::shared_ptr<const std::string> bytes) {
    const auto entries = decode_pack(*bytes);
    if (!entries) return false;
    const auto slot = static_cast<std::uint32_t>(packs_.size());
    const char* start = bytes->data();
    packs_.push_back(std::move(bytes));
    for (const PackEntry& e : *entries) {
      located_.add(e.id, Located{slot, static_cast<std::uint32_t>(e.bytes.data() - start),
                                 static_cast<std::uint32_t>(e.bytes.size())});
    }
    loaded_.emplace(number, slot);
    return true;
  }

  // Reads the pack that holds `id`; its objects are found in located_ then.
  void load_pack_of(const ObjectId& id) {
    const auto number = b_.find_object(id);
    if (!number) corrupt("object " + to_hex(id) + " is missing");
    if (!loaded_.count(*number)) {
      auto bytes = b_.pack(*number);
      if (!bytes) corrupt("pack " + std::to_string(*number) + " is missing");
      account(bytes->size() + 64);
      if (!add_pack(*number, std::make_shared<const std::string>(std::move(*bytes))))
        corrupt("pack " + std::to_string(*number) + " is not well-formed");
    }
    if (!located_.contains(id)) corrupt("pack " + std::to_string(*number) + " does not hold object " + to_hex(id));
  }

  // The bytes of an object, checked against its id. The view lasts until
  // the caches next grow.
  std::string_view read_object(const ObjectId& id) {
    const Located* at = located_.find(id);
    if (!at) {
      load_pack_of(id);
      at = located_.find(id);
    }
    const std::string_view bytes = std::string_view(*packs_[at->pack]).substr(at->offset, at->size);
    if (hash_bytes(bytes) != id) corrupt("object " + to_hex(id) + " does not hash to its id");
    return bytes;
  }

  std::shared_ptr<const NodeRecord> node(const ObjectId& id) {
    if (const auto* cached = nodes_.find(id)) return *cached;
    const std::string_view bytes = read_object(id);
    auto decoded = decode_node(bytes);
    if (!decoded) corrupt("object " + to_hex(id) + " is not a well-formed node");
    auto out = std::make_shared<const NodeRecord>(std::move(*decoded));
    account(bytes.size() + 160);
    nodes_.add(id, out);
    return out;
  }

  // The ids of a node's children, in order.
  std::shared_ptr<const std::vector<ObjectId>> kids(const ObjectId& id, const std::shared_ptr<const NodeRecord>& n) {
    if (n->level == 0) return std::shared_ptr<const std::vector<ObjectId>>(n, &n->items);
    if (const auto* cached = kids_.find(id)) return *cached;
    auto out = std::make_shared<std::vector<ObjectId>>();
    std::vector<std::pair<ObjectId, std::uint8_t>> stack;
    for (std::size_t i = n->items.size(); i-- > 0;) stack.emplace_back(n->items[i], n->level - 1);
    while (!stack.empty()) {
      const auto [chunk_id, level] = stack.back();
      stack.pop_back();
      auto chunk = decode_chunk(read_object(chunk_id));
      if (!chunk || chunk->level != level) corrupt("object " + to_hex(chunk_id) + " is not a well-formed list");
      if (level == 0) {
        if (out->size() + chunk->items.size() > n->child_count) break;
        out->insert(out->end(), chunk->items.begin(), chunk->items.end());
      } else {
        for (std::size_t i = chunk->items.size(); i-- > 0;) stack.emplace_back(chunk->items[i], level - 1);
      }
    }
    if (out->size() != n->child_count) corrupt("the children of node " + to_hex(id) + " do not add up");
    account(out->size() * 32 + 64);
    kids_.add(id, out);
    return out;
  }

  // Counts bytes into the caches, emptying them first when full; a view of
  // read_object ends here.
  void account(std::size_t bytes) {
    cached_ += bytes;
    if (cached_ > kCacheBytes) {
      forget();
      cached_ = bytes;
    }
  }

  void forget() noexcept {
    trees_.clear();
    nodes_.clear();
    kids_.clear();
    located_.clear();
    loaded_.clear();
    packs_.clear();
    cached_ = 0;
  }

  static void fill(TreeNode& t, const NodeRecord& n) {
    t.kind = n.kind;
    t.identity = n.identity;
    t.label = n.label;
    t.attributes = n.attributes;
    t.text = n.text;
  }

  // Reads a whole sub-tree into `out`.
  void load_tree(const ObjectId& root, TreeNode& out, detail::Ticker& ticker) {
    std::vector<std::pair<TreeNode*, ObjectId>> stack{{&out, root}};
    while (!stack.empty()) {
      auto [t, id] = stack.back();
      stack.pop_back();
      const auto n = node(id);
      if (n->label == detail::kStubLabel) stub_label_ = true;
      fill(*t, *n);
      const auto ids = kids(id, n);
      t->children.resize(ids->size());
      for (std::size_t i = ids->size(); i-- > 0;) stack.emplace_back(&t->children[i], (*ids)[i]);
      ticker.tick();
    }
  }

  // Reads N trees side by side, standing a stub in for every child that is
  // the same node on all sides, and pairing the other children by kind and
  // identity, in order, to read on side by side; the rest is read whole.
  // Sets stub_label_ when a node read carries the stub label itself.
  template <std::size_t N>
  void load_aligned(const std::array<ObjectId, N>& roots, const std::array<TreeNode*, N>& outs,
                    detail::Ticker& ticker) {
    struct Frame {
      std::array<TreeNode*, N> t;
      std::array<ObjectId, N> id;
    };
    std::vector<Frame> stack{{outs, roots}};
    std::vector<std::pair<TreeNode*, ObjectId>> whole;
    while (!stack.empty()) {
      const Frame f = stack.back();
      stack.pop_back();
      // Each distinct child once, with how often each side has it; every
      // side's children point at theirs, so the map is searched once a child.
      struct Child {
        std::array<std::uint32_t, N> count{};
        std::shared_ptr<const NodeRecord> node;
      };
      std::array<std::shared_ptr<const std::vector<ObjectId>>, N> ids;
      IdTable<Child> children;
      std::array<std::vector<std::uint32_t>, N> at;
      for (std::size_t d = 0; d < N; ++d) {
        const auto n = node(f.id[d]);
        if (n->label == detail::kStubLabel) stub_label_ = true;
        fill(*f.t[d], *n);
        ids[d] = kids(f.id[d], n);
        f.t[d]->children.resize(ids[d]->size());
        if (d == 0) children.reserve(ids[d]->size());
        at[d].reserve(ids[d]->size());
        for (const ObjectId& c : *ids[d]) {
          const std::uint32_t k = children.place(c);
          ++children.at(k).count[d];
          at[d].push_back(k);
        }
        ticker.tick(ids[d]->size() + 1);
      }
      std::array<std::map<std::string, std::vector<std::size_t>>, N> pending;
      for (std::size_t d = 0; d < N; ++d) {
        for (std::size_t k = 0; k < ids[d]->size(); ++k) {
          const ObjectId& c = (*ids[d])[k];
          Child& child = children.at(at[d][k]);
          if (!child.node) child.node = node(c);
          // A child that some side has more often than another is read on
          // every side: a stub of it must never meet a whole copy of it,
          // which only the whole trees could pair.
          const auto [fewest, most] = std::minmax_element(child.count.begin(), child.count.end());
          if (*fewest == *most) {
            make_stub(f.t[d]->children[k], *child.node, c);
          } else {
            pending[d][key_of(*child.node)].push_back(k);
          }
        }
      }
      // Pending children of one key are paired in order while every side has one.
      for (auto& [key, first] : pending[0]) {
        std::size_t paired = first.size();
        for (std::size_t d = 1; d < N; ++d) {
          auto it = pending[d].find(key);
          paired = std::min(paired, it == pending[d].end() ? 0 : it->second.size());
        }
        for (std::size_t i = 0; i < paired; ++i) {
          Frame next;
          for (std::size_t d = 0; d < N; ++d) {
            const std::size_t k = d == 0 ? first[i] : pending[d][key][i];
            next.t[d] = &f.t[d]->children[k];
            next.id[d] = (*ids[d])[k];
          }
          stack.push_back(next);
        }
        for (std::size_t i = paired; i < first.size(); ++i)
          whole.emplace_back(&f.t[0]->children[first[i]], (*ids[0])[first[i]]);
        for (std::size_t d = 1; d < N; ++d) {
          auto it = pending[d].find(key);
          if (it == pending[d].end()) continue;
          for (std::size_t i = paired; i < it->second.size(); ++i)
            whole.emplace_back(&f.t[d]->children[it->second[i]], (*ids[d])[it->second[i]]);
          pending[d].erase(it);
        }
      }
      for (std::size_t d = 1; d < N; ++d) {
        for (const auto& [key, list] : pending[d]) {
          for (std::size_t k : list) whole.emplace_back(&f.t[d]->children[k], (*ids[d])[k]);
        }
      }
    }
    for (auto& [t, id] : whole) load_tree(id, *t, ticker);
  }

  // Replaces every stub in `root` by the sub-tree it stands for.
  void expand_stubs(TreeNode& root, detail::Ticker& ticker) {
    std::vector<TreeNode*> stack{&root};
    while (!stack.empty()) {
      TreeNode* t = stack.back();
      stack.pop_back();
      if (is_store_stub(*t)) {
        const ObjectId id = stub_id(*t);
        load_tree(id, *t, ticker);
        continue;
      }
      for (TreeNode& c : t->children) stack.push_back(&c);
      ticker.tick();
    }
  }

  // Lists the nodes of `built` (or, without it, of the stored sub-tree
  // `stored`) in pre-order; with `stubs`, a store stub in `built` stands for
  // the stored sub-tree it names.
  std::shared_ptr<const NodeList> preorder_nodes(const TreeNode* built, const ObjectId& stored, bool stubs,
                                                 detail::Ticker& ticker) {
    struct Item {
      const TreeNode* built;  // nullptr for a stored node
      ObjectId stored;
    };
    auto out = std::make_shared<NodeList>();
    std::vector<Item> stack{{built, stored}};
    while (!stack.empty()) {
      const Item item = stack.back();
      stack.pop_back();
      ticker.tick();
      if (item.built && !(stubs && is_store_stub(*item.built))) {
        const TreeNode& t = *item.built;
        auto n = std::make_shared<NodeRecord>();
        n->kind = t.kind;
        n->identity = t.identity;
        n->label = t.label;
        n->attributes = t.attributes;
        n->text = t.text;
        n->child_count = t.children.size();
        out->push_back(std::move(n));
        for (std::size_t i = t.children.size(); i-- > 0;) stack.push_back({&t.children[i], {}});
        continue;
      }
      const ObjectId id = item.built ? stub_id(*item.built) : item.stored;
      auto n = node(id);
      const auto ids = kids(id, n);
      for (std::size_t i = ids->size(); i-- > 0;) stack.push_back({nullptr, (*ids)[i]});
      out->push_back(std::move(n));
    }
    return out;
  }

  void expand_value(FieldValue& v, detail::Ticker& ticker) {
    if (auto* t = std::get_if<NodeValue>(&v)) expand_stubs(t->get(), ticker);
  }

  // ---- Commits

  CommitRecord read_commit(const ObjectId& id) {
    if (const CommitRecord* c = commits_.find(id)) return *c;
    auto bytes = b_.commit(id);
    if (!bytes) fail(StoreErrorCode::NotFound, "no commit " + to_hex(id));
    return accept_commit(id, *bytes);
  }

  // Checks and decodes the bytes read for a commit, and caches it.
  CommitRecord accept_commit(const ObjectId& id, std::string_view bytes) {
    if (hash_bytes(bytes) != id) corrupt("commit " + to_hex(id) + " does not hash to its id");
    auto c = decode_commit(bytes);
    if (!c) corrupt("commit " + to_hex(id) + " is not well-formed");
    if (commits_.size() > 100'000) commits_.clear();
    commits_.add(id, *c);
    return std::move(*c);
  }

  // Reads the commits of a walk through history. Looking a commit up costs
  // many times what reading the next row of the table in id order does, so
  // once a walk has looked up many it reads on through the table, in chunks
  // that double, while it has read no more than kScanRows rows for each
  // commit it looked up: a walk through most of the table reads most of it in
  // order, and one through a small part of a large table costs a bounded
  // share more than its lookups. Rows read are checked only when used.
  class HistoryReader {
   public:
    explicit HistoryReader(Impl& impl) : impl_(impl) {}

    CommitRecord read(const ObjectId& id) {
      if (const CommitRecord* c = impl_.commits_.find(id)) return *c;
      auto bytes = scanned(id);
      if (!bytes && !ended_ && looked_up_ >= kScanAfter && ids_.size() <= looked_up_ * kScanRows) {
        scan(std::max(ids_.size(), kScanAfter * kScanRows));
        bytes = scanned(id);
      }
      if (bytes) return impl_.accept_commit(id, *bytes);
      ++looked_up_;
      return impl_.read_commit(id);
    }

   private:
    static constexpr std::size_t kScanAfter = 64;
    static constexpr std::size_t kScanRows = 16;

    // The rows read come in id order, one after the other in one buffer.
    void scan(std::size_t rows) {
      const std::optional<ObjectId> after = ids_.empty() ? std::nullopt : std::optional(ids_.back());
      const std::size_t before = ids_.size();
      const bool ordered = impl_.b_.commits_after(after, rows, [&](const ObjectId& id, std::string_view bytes) {
        ids_.push_back(id);
        bytes_.append(bytes);
        ends_.push_back(bytes_.size());
      });
      if (!ordered || ids_.size() - before < rows) ended_ = true;
    }

    std::optional<std::string_view> scanned(const ObjectId& id) const {
      const auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
      if (it == ids_.end() || *it != id) return std::nullopt;
      const auto k = static_cast<std::size_t>(it - ids_.begin());
      const std::size_t from = k == 0 ? 0 : ends_[k - 1];
      return std::string_view(bytes_).substr(from, ends_[k] - from);
    }

    Impl& impl_;
    std::vector<ObjectId> ids_;
    std::vector<std::size_t> ends_;
    std::string bytes_;
    std::size_t looked_up_ = 0;
    bool ended_ = false;
  };

  ObjectId head(std::string_view branch) {
    auto id = b_.ref(branch);
    if (!id) fail(StoreErrorCode::NotFound, "no branch '" + std::string(branch) + "'");
    return *id;
  }

  ObjectId resolve(std::string_view name) {
    if (valid_branch_name(name)) {
      if (auto id = b_.ref(name)) return *id;
    }
    const bool hex = name.size() >= 4 && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
                       return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                     });
    if (!hex) fail(StoreErrorCode::NotFound, "no commit or branch named '" + std::string(name) + "'");
    std::string low(name), high(name);
    low.append(64 - name.size(), '0');
    high.append(64 - name.size(), 'f');
    const auto found = b_.commits_between(*from_hex(low), *from_hex(high), 2);
    if (found.empty()) fail(StoreErrorCode::NotFound, "no commit or branch named '" + std::string(name) + "'");
    if (found.size() > 1) fail(StoreErrorCode::Ambiguous, "more than one commit starts with " + std::string(name));
    return found[0];
  }

  // Hashes a tree into the objects that store it; with `stubs`, a store stub
  // stands for the stored sub-tree it names. The root is the last object,
  // unless the tree is itself a stub (nullopt then, with its id in `root`).
  struct Hashed {
    std::vector<NewObject> objects;  // children before parents
    std::string bytes;
    std::vector<std::uint32_t> subs;
    ObjectId root;
    std::optional<std::uint32_t> root_object;

    std::string_view bytes_of(const NewObject& o) const { return std::string_view(bytes).substr(o.at, o.size); }
    std::span<const std::uint32_t> subs_of(const NewObject& o) const {
      return std::span<const std::uint32_t>(subs).subspan(o.subs_at, o.subs);
    }
    // Adds the object whose bytes were appended to `bytes` from `at` on,
    // naming the new objects of `items` (-1 for one stored already).
    std::uint32_t add(std::size_t at, std::span<const std::int64_t> items) {
      NewObject o{.id = hash_bytes(std::string_view(bytes).substr(at)), .at = at, .size = bytes.size() - at,
                  .subs_at = subs.size(), .subs = 0};
      for (const std::int64_t i : items) {
        if (i >= 0) subs.push_back(static_cast<std::uint32_t>(i));
      }
      o.subs = subs.size() - o.subs_at;
      objects.push_back(o);
      return static_cast<std::uint32_t>(objects.size() - 1);
    }
  };
  Hashed hash_tree(const TreeNode& tree, bool stubs, detail::Ticker& ticker) {
    struct Done {
      ObjectId id;
      std::uint64_t fp;
      std::int64_t object;  // -1 for a stub
    };
    struct Frame {
      const TreeNode* node;
      std::size_t next = 0;
      std::size_t base = 0;
    };
    Hashed out;
    std::vector<Done> done;
    std::vector<Frame> stack{{&tree, 0, 0}};
    std::vector<std::uint64_t> fps;
    while (!stack.empty()) {
      Frame& f = stack.back();
      const TreeNode& n = *f.node;
      if (stubs && is_store_stub(n)) {
        done.push_back({stub_id(n), stub_fingerprint(n), -1});
        stack.pop_back();
        continue;
      }
      if (f.next < n.children.size()) {
        const TreeNode* child = &n.children[f.next++];
        stack.push_back({child, 0, done.size()});
        continue;
      }
      ticker.tick();
      const std::size_t base = f.base;
      stack.pop_back();
      fps.clear();
      std::vector<ObjectId> items;
      std::vector<std::int64_t> item_objects;
      items.reserve(done.size() - base);
      item_objects.reserve(done.size() - base);
      for (std::size_t i = base; i < done.size(); ++i) {
        fps.push_back(done[i].fp);
        items.push_back(done[i].id);
        item_objects.push_back(done[i].object);
      }
      done.resize(base);
      const std::uint64_t fingerprint = node_fingerprint(n, fps);
      // Cut the list level by level until one list remains.
      std::uint8_t level = 0;
      while (true) {
        std::vector<std::pair<std::size_t, std::size_t>> lists;
        std::size_t start = 0;
        for (std::size_t i = 0; i < items.size(); ++i) {
          if (i + 1 - start == kMaxChunk || cuts_after(items[i], level) || i + 1 == items.size()) {
            lists.emplace_back(start, i + 1);
            start = i + 1;
          }
        }
        if (lists.size() <= 1) break;
        if (level + 1 > kMaxLevel) throw std::bad_alloc();
        std::vector<ObjectId> up;
        std::vector<std::int64_t> up_objects;
        for (const auto& [from, to] : lists) {
          const std::size_t at = out.bytes.size();
          append_chunk(out.bytes, level, std::span(items).subspan(from, to - from));
          const std::uint32_t k = out.add(at, std::span(item_objects).subspan(from, to - from));
          up.push_back(out.objects[k].id);
          up_objects.push_back(k);
        }
        items = std::move(up);
        item_objects = std::move(up_objects);
        ++level;
      }
      const std::size_t at = out.bytes.size();
      append_node(out.bytes, n, fingerprint, n.children.size(), level, items);
      const std::uint32_t k = out.add(at, item_objects);
      done.push_back({out.objects[k].id, fingerprint, k});
    }
    out.root = done.back().id;
    if (done.back().object >= 0) out.root_object = static_cast<std::uint32_t>(done.back().object);
    return out;
  }

  // Writes a hashed tree and its commit, and moves `branch`, in one
  // transaction. `check` runs first, inside it, and may refuse.
  template <class Check>
  ObjectId write_commit(const Hashed& hashed, CommitRecord commit, std::string_view branch, const StopCheck& stop,
                        detail::Ticker& ticker, Check&& check) {
    b_.begin_write(stop);
    std::vector<std::string> packs;
    std::vector<std::int64_t> numbers;
    ObjectId id;
    try {
      check(commit);
      for (const ObjectId& p : commit.parents) {
        if (!b_.commit(p)) fail(StoreErrorCode::NotFound, "no commit " + to_hex(p));
      }
      // The objects not stored yet, found breadth first from the root. A
      // stored node comes with its whole sub-tree, so the walk stops there.
      // The backend is asked about a whole level at once: a server answers
      // in a few round trips, however wide the level.
      IdFlatSet written;
      std::vector<std::uint8_t> fresh(hashed.objects.size());  // 1: to write, 2: packed
      std::vector<std::uint32_t> level;
      if (hashed.root_object) level.push_back(*hashed.root_object);
      while (!level.empty()) {
        std::vector<std::uint32_t> asked;
        std::vector<ObjectId> asked_ids;
        for (const std::uint32_t i : level) {
          ticker.tick();
          const ObjectId& id = hashed.objects[i].id;
          if (written.contains(id) || located_.contains(id)) continue;
          asked.push_back(i);
          asked_ids.push_back(id);
        }
        const std::vector<std::optional<std::int64_t>> stored = b_.find_objects(asked_ids);
        std::vector<std::uint32_t> next;
        for (std::size_t k = 0; k < asked.size(); ++k) {
          const NewObject& o = hashed.objects[asked[k]];
          if (stored[k] || !written.add(o.id)) continue;
          fresh[asked[k]] = 1;
          const auto subs = hashed.subs_of(o);
          next.insert(next.end(), subs.begin(), subs.end());
        }
        level = std::move(next);
      }
      // Packed depth first, a node's new children side by side before the
      // sub-trees below them: a diff reads each changed node's children
      // together, and a path down the tree, from few packs.
      std::vector<PackEntry> pack;
      std::vector<std::vector<ObjectId>> ids(1);
      std::size_t pack_bytes = 0;
      const auto flush = [&] {
        packs.push_back(encode(pack));
        ids.emplace_back();
        pack.clear();
        pack_bytes = 0;
      };
      const auto put = [&](std::uint32_t i) {
        const NewObject& o = hashed.objects[i];
        fresh[i] = 2;
        pack.push_back({o.id, hashed.bytes_of(o)});
        ids.back().push_back(o.id);
        pack_bytes += o.size + 34;
        if (pack_bytes >= kPackBytes) flush();
      };
      std::vector<std::uint32_t> below;
      if (hashed.root_object && fresh[*hashed.root_object] == 1) {
        put(*hashed.root_object);
        below.push_back(*hashed.root_object);
      }
      while (!below.empty()) {
        const std::uint32_t i = below.back();
        below.pop_back();
        ticker.tick();
        const std::size_t first = below.size();
        for (const std::uint32_t sub : hashed.subs_of(hashed.objects[i])) {
          if (fresh[sub] != 1) continue;
          put(sub);
          below.push_back(sub);
        }
        std::reverse(below.begin() + static_cast<std::ptrdiff_t>(first), below.end());
      }
      if (!pack.empty()) flush();
      ids.pop_back();
      numbers = b_.put_packs(packs, ids);
      const std::string bytes = encode(commit);
      id = hash_bytes(bytes);
      b_.put_commit(id, bytes);
      b_.set_ref(branch, id);
      b_.end_write();
    } catch (...) {
      b_.abandon_write();
      throw;
    }
    // What was just written is read from memory from now on; the commit
    // stands even when there is no memory left for that.
    try {
      std::size_t total = 0;
      for (const std::string& bytes : packs) total += bytes.size() + 64;
      account(total);
      for (std::size_t i = 0; i < packs.size() && i < numbers.size(); ++i)
        add_pack(numbers[i], std::make_shared<const std::string>(std::move(packs[i])));
    } catch (const std::bad_alloc&) {
      forget();
    }
    return id;
  }

  ObjectId commit(const TreeNode& tree, std::string_view message, const std::optional<std::vector<ObjectId>>& parents,
                  std::string_view branch, std::int64_t time_us, const StopCheck& stop) {
    if (!valid_branch_name(branch)) fail(StoreErrorCode::BadArgument, "not a branch name: '" + std::string(branch) + "'");
    detail::Ticker ticker(stop);
    const Hashed hashed = hash_tree(tree, false, ticker);
    CommitRecord record{.root = hashed.root, .parents = parents.value_or(std::vector<ObjectId>{}),
                        .time_us = time_us, .message = std::string(message)};
    return write_commit(hashed, std::move(record), branch, stop, ticker, [&](CommitRecord& c) {
      const auto current = b_.ref(branch);
      if (!parents) {
        if (current) c.parents = {*current};
        return;
      }
      if (current && std::find(parents->begin(), parents->end(), *current) == parents->end())
        fail(StoreErrorCode::BranchMoved, "branch '" + std::string(branch) + "' has moved to " + to_hex(*current) +
                                              ", which is not among the commit's parents");
    });
  }

  TreeNode tree(const ObjectId& commit, const StopCheck& stop) {
    const Reading reading(b_);
    detail::Ticker ticker(stop);
    TreeNode out;
    load_tree(read_commit(commit).root, out, ticker);
    return out;
  }

  std::shared_ptr<const NodeList> tree_nodes(const ObjectId& commit, const StopCheck& stop) {
    const Reading reading(b_);
    const ObjectId root = read_commit(commit).root;
    for (const auto& [id, nodes] : trees_) {
      if (id == root) return nodes;
    }
    detail::Ticker ticker(stop);
    auto out = std::make_shared<NodeList>();
    std::vector<ObjectId> stack{root};
    while (!stack.empty()) {
      const ObjectId id = stack.back();
      stack.pop_back();
      auto n = node(id);
      const auto ids = kids(id, n);
      stack.insert(stack.end(), ids->rbegin(), ids->rend());
      out->push_back(std::move(n));
      ticker.tick();
    }
    account(out->size() * sizeof(out->front()));
    if (trees_.size() == kTrees) trees_.erase(trees_.begin());
    trees_.emplace_back(root, out);
    return out;
  }

  std::vector<Change> diff(const ObjectId& a, const ObjectId& b, const StopCheck& stop) {
    const Reading reading(b_);
    detail::Ticker ticker(stop);
    const std::array<ObjectId, 2> roots{read_commit(a).root, read_commit(b).root};
    if (roots[0] == roots[1]) return {};
    {
      std::array<TreeNode, 2> trees;
      stub_label_ = false;
      load_aligned<2>(roots, {&trees[0], &trees[1]}, ticker);
      if (!stub_label_) {
        const detail::IndexedTree x(trees[0], ticker, 0, true), y(trees[1], ticker, 0, true);
        auto changes = detail::located_diff(x, y, ticker);
        if (changes.ok()) {
          for (Change& c : *changes) {
            expand_value(c.old_value, ticker);
            expand_value(c.new_value, ticker);
          }
          return std::move(changes).value();
        }
      }
    }
    std::array<TreeNode, 2> trees;
    for (std::size_t d = 0; d < 2; ++d) load_tree(roots[d], trees[d], ticker);
    return located_diff(trees[0], trees[1], stop);
  }

  ThreeWayResult merge_trees(const std::array<ObjectId, 3>& roots, const StopCheck& stop, detail::Ticker& ticker,
                             bool& stubbed) {
    {
      std::array<TreeNode, 3> trees;
      stub_label_ = false;
      load_aligned<3>(roots, {&trees[0], &trees[1], &trees[2]}, ticker);
      if (!stub_label_) {
        const detail::IndexedTree b(trees[0], ticker, 0, true), o(trees[1], ticker, 0, true),
            t(trees[2], ticker, 0, true);
        auto r = detail::three_way_merge(b, o, t, ticker);
        if (r.ok()) {
          stubbed = true;
          return std::move(r).value();
        }
      }
    }
    std::array<TreeNode, 3> trees;
    for (std::size_t d = 0; d < 3; ++d) load_tree(roots[d], trees[d], ticker);
    stubbed = false;
    return three_way_merge(trees[0], trees[1], trees[2], stop);
  }

  StoreMerge merge(std::string_view branch, std::string_view into, std::string_view message, std::int64_t time_us,
                   const StopCheck& stop, MergedTree form) {
    detail::Ticker ticker(stop);
    std::optional<Reading> reading(std::in_place, b_);
    const ObjectId theirs = head(branch), ours = head(into);
    const auto base = merge_base(ours, theirs);
    if (!base)
      fail(StoreErrorCode::BadArgument,
           "branches '" + std::string(branch) + "' and '" + std::string(into) + "' share no history");
    StoreMerge out{.base = *base, .tree = {}, .conflicts = {}, .commit = std::nullopt, .nodes = nullptr};
    if (*base == theirs) {
      if (form == MergedTree::Nodes) {
        out.nodes = preorder_nodes(nullptr, read_commit(ours).root, false, ticker);
      } else {
        load_tree(read_commit(ours).root, out.tree, ticker);
      }
      out.commit = ours;
      return out;
    }
    bool stubbed = false;
    ThreeWayResult r = merge_trees({read_commit(*base).root, read_commit(ours).root, read_commit(theirs).root}, stop,
                                   ticker, stubbed);
    // The write takes a lock of its own; the stubs are read after it again.
    reading.reset();
    if (r.conflicts.empty()) {
      const Hashed hashed = hash_tree(r.tree, stubbed, ticker);
      CommitRecord record{.root = hashed.root, .parents = {ours, theirs}, .time_us = time_us,
                          .message = std::string(message)};
      out.commit = write_commit(hashed, std::move(record), into, stop, ticker, [&](CommitRecord&) {
        const auto current = b_.ref(into);
        if (current != ours)
          fail(StoreErrorCode::BranchMoved, "branch '" + std::string(into) + "' moved during the merge");
      });
    }
    if (stubbed || form == MergedTree::Nodes) reading.emplace(b_);
    if (form == MergedTree::Nodes) {
      out.nodes = preorder_nodes(&r.tree, {}, stubbed, ticker);
      r.tree = TreeNode();
    } else if (stubbed) {
      expand_stubs(r.tree, ticker);
    }
    if (stubbed) {
      for (Conflict& c : r.conflicts) {
        expand_value(c.base, ticker);
        expand_value(c.ours, ticker);
        expand_value(c.theirs, ticker);
      }
    }
    out.tree = std::move(r.tree);
    out.conflicts = std::move(r.conflicts);
    return out;
  }

  std::vector<CommitInfo> log(const ObjectId& start, const StopCheck& stop) {
    const Reading reading(b_);
    detail::Ticker ticker(stop);
    // Newest first: a heap of the commits met but not yet listed.
    const auto later = [](const CommitInfo& x, const CommitInfo& y) {
      return x.record.time_us != y.record.time_us ? x.record.time_us < y.record.time_us : y.id < x.id;
    };
    HistoryReader commits(*this);
    std::vector<CommitInfo> todo{{start, commits.read(start)}};
    IdFlatSet seen;
    seen.add(start);
    std::vector<CommitInfo> out;
    while (!todo.empty()) {
      std::pop_heap(todo.begin(), todo.end(), later);
      out.push_back(std::move(todo.back()));
      todo.pop_back();
      ticker.tick();
      for (const ObjectId& p : out.back().record.parents) {
        if (!seen.add(p)) continue;
        todo.push_back({p, commits.read(p)});
        std::push_heap(todo.begin(), todo.end(), later);
      }
    }
    return out;
  }

  // Commits from `from` (included) down its history, stopping at `stop_at`.
  IdSet ancestors(const ObjectId& from, const IdSet* stop_at = nullptr, IdSet* met = nullptr) {
    IdSet seen{from};
    std::vector<ObjectId> todo{from};
    while (!todo.empty()) {
      const ObjectId c = todo.back();
      todo.pop_back();
      if (stop_at && stop_at->count(c)) {
        if (met) met->insert(c);
        continue;
      }
      for (const ObjectId& p : read_commit(c).parents) {
        if (seen.insert(p).second) todo.push_back(p);
      }
    }
    return seen;
  }

  std::optional<ObjectId> merge_base(const ObjectId& a, const ObjectId& b) {
    if (a == b) return a;
    const IdSet of_a = ancestors(a);
    IdSet candidates;
    ancestors(b, &of_a, &candidates);
    // Drop every candidate that another one descends from.
    IdSet below;
    for (const ObjectId& c : candidates) {
      for (const ObjectId& p : read_commit(c).parents) {
        if (below.count(p)) continue;
        for (const ObjectId& x : ancestors(p)) below.insert(x);
      }
    }
    std::optional<ObjectId> best;
    std::int64_t best_time = 0;
    for (const ObjectId& c : candidates) {
      if (below.count(c)) continue;
      const std::int64_t t = read_commit(c).time_us;
      if (!best || t > best_time || (t == best_time && c < *best)) {
        best = c;
        best_time = t;
      }
    }
    return best;
  }

  void set_branch(std::string_view name, const ObjectId& target,
                  const std::optional<std::optional<ObjectId>>& expected) {
    if (!valid_branch_name(name)) fail(StoreErrorCode::BadArgument, "not a branch name: '" + std::string(name) + "'");
    read_commit(target);
    const StopCheck none;
    b_.begin_write(none);
    try {
      const auto current = b_.ref(name);
      if (expected && *expected != current) {
        if (!*expected) fail(StoreErrorCode::BranchExists, "branch '" + std::string(name) + "' exists");
        fail(StoreErrorCode::BranchMoved, current ? "branch '" + std::string(name) + "' has moved to " + to_hex(*current)
                                                  : "no branch '" + std::string(name) + "'");
      }
      b_.set_ref(name, target);
      b_.end_write();
    } catch (...) {
      b_.abandon_write();
      throw;
    }
  }

  void delete_branch(std::string_view name) {
    const StopCheck none;
    b_.begin_write(none);
    try {
      if (!b_.ref(name)) fail(StoreErrorCode::NotFound, "no branch '" + std::string(name) + "'");
      b_.delete_ref(name);
      b_.end_write();
    } catch (...) {
      b_.abandon_write();
      throw;
    }
  }

  VerifyReport verify(const StopCheck& stop) {
    const Reading reading(b_);
    detail::Ticker ticker(stop);
    // Everything is read again from the file.
    forget();
    commits_.clear();
    VerifyReport report;
    IdSet objects;
    b_.scan_packs([&](std::int64_t number, std::string_view pack) {
      const auto entries = decode_pack(pack);
      if (!entries) corrupt("pack " + std::to_string(number) + " is not well-formed");
      for (const PackEntry& e : *entries) {
        ticker.tick();
        if (hash_bytes(e.bytes) != e.id) corrupt("object " + to_hex(e.id) + " does not hash to its id");
        if (!decode_node(e.bytes) && !decode_chunk(e.bytes)) corrupt("object " + to_hex(e.id) + " is not well-formed");
        objects.insert(e.id);
      }
    });
    IdMap<CommitRecord> commits;
    b_.scan_commits([&](const ObjectId& id, std::string_view bytes) {
      ticker.tick();
      if (hash_bytes(bytes) != id) corrupt("commit " + to_hex(id) + " does not hash to its id");
      auto c = decode_commit(bytes);
      if (!c) corrupt("commit " + to_hex(id) + " is not well-formed");
      commits.emplace(id, std::move(*c));
    });
    report.objects = objects.size();
    report.commits = commits.size();
    std::vector<ObjectId> todo;
    IdSet seen;
    for (const auto& [name, id] : b_.refs()) {
      ++report.branches;
      if (!commits.count(id)) corrupt("branch '" + name + "' names a missing commit " + to_hex(id));
      if (seen.insert(id).second) todo.push_back(id);
    }
    std::vector<ObjectId> roots;
    while (!todo.empty()) {
      const ObjectId c = todo.back();
      todo.pop_back();
      const CommitRecord& rec = commits.at(c);
      roots.push_back(rec.root);
      for (const ObjectId& p : rec.parents) {
        if (!commits.count(p)) corrupt("commit " + to_hex(c) + " names a missing parent " + to_hex(p));
        if (seen.insert(p).second) todo.push_back(p);
      }
    }
    // Every reachable node: present, its list whole, its fingerprint right.
    IdSet checked;
    std::vector<std::pair<ObjectId, bool>> walk;  // (node, children done)
    for (const ObjectId& r : roots) {
      if (!checked.count(r)) walk.emplace_back(r, false);
    }
    std::vector<std::uint64_t> fps;
    while (!walk.empty()) {
      auto [id, ready] = walk.back();
      walk.pop_back();
      if (checked.count(id)) continue;
      ticker.tick();
      if (!objects.count(id)) corrupt("node " + to_hex(id) + " is missing");
      const auto n = node(id);
      const auto ids = kids(id, n);
      if (!ready) {
        walk.emplace_back(id, true);
        for (const ObjectId& c : *ids) {
          if (!checked.count(c)) walk.emplace_back(c, false);
        }
        continue;
      }
      fps.clear();
      for (const ObjectId& c : *ids) fps.push_back(node(c)->fingerprint);
      if (node_fingerprint(*n, fps) != n->fingerprint) corrupt("node " + to_hex(id) + " has a wrong fingerprint");
      checked.insert(id);
    }
    return report;
  }

  Backend& b_;
  IdTable<std::shared_ptr<const NodeRecord>> nodes_;
  IdTable<std::shared_ptr<const std::vector<ObjectId>>> kids_;
  IdTable<CommitRecord> commits_;
  // The last trees read whole, by root, so that reading one again walks nothing.
  std::vector<std::pair<ObjectId, std::shared_ptr<const NodeList>>> trees_;
  // The packs read, and where they hold each object.
  std::vector<std::shared_ptr<const std::string>> packs_;
  std::unordered_map<std::int64_t, std::uint32_t> loaded_;
  IdTable<Located> located_;
  std::size_t cached_ = 0;
  bool stub_label_ = false;
};

Store::Store(std::unique_ptr<Backend> backend)
    : backend_(std::move(backend)), impl_(std::make_shared<Impl>(*backend_)) {}

Result<std::unique_ptr<Store>, StoreError> Store::open(const std::string& path) {
  try {
    // libcrypto sets itself up on its first digest, about a millisecond:
    // taken here, once, rather than by the first read of the store.
    hash_bytes({});
    return std::make_unique<Store>(is_postgres_location(path) ? open_postgres(path) : open_sqlite(path));
  } catch (const StoreFailure& f) {
    return f.error;
  }
}

template <class F>
auto Store::guarded(F&& body) -> Result<decltype(body()), StoreError> {
  std::lock_guard lock(mutex_);
  try {
    return body();
  } catch (const StoreFailure& f) {
    return f.error;
  }
}

Result<ObjectId, StoreError> Store::commit(const TreeNode& tree, std::string_view message,
                                           const std::optional<std::vector<ObjectId>>& parents, std::string_view branch,
                                           std::int64_t time_us, const StopCheck& stop) {
  return guarded([&] { return impl_->commit(tree, message, parents, branch, time_us, stop); });
}

Result<TreeNode, StoreError> Store::tree(const ObjectId& commit, const StopCheck& stop) {
  return guarded([&] { return impl_->tree(commit, stop); });
}

Result<std::shared_ptr<const NodeList>, StoreError> Store::tree_nodes(const ObjectId& commit, const StopCheck& stop) {
  return guarded([&] { return impl_->tree_nodes(commit, stop); });
}

Result<CommitRecord, StoreError> Store::read_commit(const ObjectId& commit) {
  return guarded([&] { return impl_->read_commit(commit); });
}

Result<ObjectId, StoreError> Store::resolve(std::string_view name) {
  return guarded([&] { return impl_->resolve(name); });
}

Result<std::vector<Change>, StoreError> Store::diff(const ObjectId& a, const ObjectId& b, const StopCheck& stop) {
  return guarded([&] { return impl_->diff(a, b, stop); });
}

Result<StoreMerge, StoreError> Store::merge(std::string_view branch, std::string_view into, std::string_view message,
                                            std::int64_t time_us, const StopCheck& stop, MergedTree form) {
  return guarded([&] { return impl_->merge(branch, into, message, time_us, stop, form); });
}

Result<std::vector<CommitInfo>, StoreError> Store::log(const ObjectId& start, const StopCheck& stop) {
  return guarded([&] { return impl_->log(start, stop); });
}

Result<std::optional<ObjectId>, StoreError> Store::merge_base(const ObjectId& a, const ObjectId& b) {
  return guarded([&] {
    const Impl::Reading reading(*backend_);
    return impl_->merge_base(a, b);
  });
}

Result<std::vector<std::pair<std::string, ObjectId>>, StoreError> Store::branches() {
  return guarded([&] { return backend_->refs(); });
}

Result<Done, StoreError> Store::set_branch(std::string_view name, const ObjectId& target,
                                           const std::optional<std::optional<ObjectId>>& expected) {
  return guarded([&] {
    impl_->set_branch(name, target, expected);
    return Done{};
  });
}

Result<Done, StoreError> Store::delete_branch(std::string_view name) {
  return guarded([&] {
    impl_->delete_branch(name);
    return Done{};
  });
}

Result<VerifyReport, StoreError> Store::verify(const StopCheck& stop) {
  return guarded([&] { return impl_->verify(stop); });
}

}  // namespace vext::store
