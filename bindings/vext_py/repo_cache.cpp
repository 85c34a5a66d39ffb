#include "repo_cache.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "args.h"
#include "tree_convert.h"

namespace vext_py {
namespace {

// Makes room for `need` more elements, doubling the capacity when it grows,
// so that the pushes that follow cannot throw. Indexes into `v` stay below
// 2^32 - 1, so that they fit an entry's 32-bit fields with one to spare.
template <class T>
void make_room(std::vector<T>& v, std::size_t need) {
  if (v.size() + need >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("repository cache is full");
  if (v.capacity() - v.size() < need) v.reserve(std::max(v.capacity() * 2, v.size() + need));
}

}  // namespace

void RepoCache::clear() noexcept {
  for (PyObject* o : objects_) Py_DECREF(o);
  for (const Row& r : rows_) Py_XDECREF(r.row);
  std::vector<PyObject*>().swap(objects_);
  std::vector<Node>().swap(nodes_);
  std::vector<vext::NodeId>().swap(kids_);
  std::vector<Row>().swap(rows_);
  row_count_ = 0;
  strings_.clear();
}

const RepoCache::Node* RepoCache::fields(const vext::NodeStore& store, vext::NodeId at) {
  Node& n = nodes_[at];
  if (n.first != 0) return &n;
  const vext::NodeStore::Node& node = store.node(at);
  const vext::Value& value = store.value(node.value);
  const std::optional<std::string_view> identity = store.rebuilt_identity(at);
  const std::size_t first = objects_.size();
  make_room(objects_, 1 + (identity ? 1 : 0) + (value.label.empty() ? 0 : 1) + (value.text.empty() ? 0 : 1) +
                          2 * value.attrs.size());
  // What a failure leaves half made is dropped again.
  struct Undo {
    std::vector<PyObject*>& objects;
    std::size_t first;
    bool done = false;
    ~Undo() {
      if (done) return;
      for (std::size_t i = first; i < objects.size(); ++i) Py_DECREF(objects[i]);
      objects.resize(first);
    }
  } undo{objects_, first};
  const auto add = [&](Ref s) {
    if (!s) return false;
    objects_.push_back(s.release());
    return true;
  };
  if (!add(strings_.get(value.kind))) return nullptr;
  if (identity && !add(from_string(*identity))) return nullptr;
  if (!value.label.empty() && !add(strings_.get(value.label))) return nullptr;
  if (!value.text.empty() && !add(strings_.get(value.text))) return nullptr;
  for (const auto& [name, text] : value.attrs) {
    if (!add(strings_.get(name)) || !add(strings_.get(text))) return nullptr;
  }
  undo.done = true;
  n.first = static_cast<std::uint32_t>(first + 1);
  n.attrs = static_cast<std::uint32_t>(value.attrs.size());
  n.present = static_cast<std::uint8_t>((identity ? kIdentity : 0) | (value.label.empty() ? 0 : kLabel) |
                                        (value.text.empty() ? 0 : kText) |
                                        (node.kids == vext::kNoNode ? 0 : kParent));
  return &n;
}

void RepoCache::make_kids(const vext::NodeStore& store, vext::NodeId at) {
  Node& n = nodes_[at];
  if (n.kids != 0) return;
  store.rebuild_children(at, scratch_);
  make_room(kids_, scratch_.size());
  n.kids = static_cast<std::uint32_t>(kids_.size() + 1);
  n.kid_count = static_cast<std::uint32_t>(scratch_.size());
  kids_.insert(kids_.end(), scratch_.begin(), scratch_.end());
}

Ref RepoCache::node_dict(const TreeKeys& keys, const Node& n) const {
  PyObject* const* o = objects_.data() + (n.first - 1);
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || PyDict_SetItem(dict.get(), keys.kind, *o++) != 0) return {};
  if ((n.present & kIdentity) && PyDict_SetItem(dict.get(), keys.identity, *o++) != 0) return {};
  if ((n.present & kLabel) && PyDict_SetItem(dict.get(), keys.label, *o++) != 0) return {};
  if ((n.present & kText) && PyDict_SetItem(dict.get(), keys.text, *o++) != 0) return {};
  if (n.attrs != 0) {
    Ref attrs = Ref::steal(PyDict_New());
    if (!attrs) return {};
    for (std::uint32_t i = 0; i < n.attrs; ++i, o += 2) {
      if (PyDict_SetItem(attrs.get(), o[0], o[1]) != 0) return {};
    }
    if (PyDict_SetItem(dict.get(), keys.attributes, attrs.get()) != 0) return {};
  }
  return dict;
}

void RepoCache::prefetch(const Node& n) const {
  if (n.first == 0) return;
  const int strs = std::popcount(static_cast<unsigned>(n.present & (kIdentity | kLabel | kText)));
  for (int i = 0; i < strs; ++i) __builtin_prefetch(objects_[n.first + i], 1);
}

Ref RepoCache::section_tree(const TreeKeys& keys, const vext::NodeStore& store,
                             std::optional<vext::NodeId> section) {
  const vext::NodeId root = section ? store.rebuild_root(*section) : vext::kNoNode;
  if (root == vext::kNoNode) return tree_to_py(keys, vext::TreeNode(std::string()));
  if (nodes_.size() < store.node_count()) nodes_.resize(store.node_count());
  const Node* n = fields(store, root);
  Ref top = n ? node_dict(keys, *n) : Ref();
  if (!top) return {};
  // Each node's dict is made before its children are known; the children
  // list is added when the node comes off the stack, after its other keys.
  std::vector<std::pair<vext::NodeId, Ref>> stack;
  if (n->present & kParent) stack.emplace_back(root, Ref::borrow(top.get()));
  while (!stack.empty()) {
    const vext::NodeId at = stack.back().first;
    Ref dict = std::move(stack.back().second);
    stack.pop_back();
    make_kids(store, at);
    const std::size_t first = nodes_[at].kids - 1;
    const std::size_t count = nodes_[at].kid_count;
    if (count == 0) continue;
    Ref list = add_children(keys, dict.get(), count);
    if (!list) return {};
    for (std::size_t i = 0; i < std::min(count, kAhead); ++i) prefetch(nodes_[kids_[first + i]]);
    for (std::size_t i = 0; i < count; ++i) {
      const vext::NodeId kid = kids_[first + i];
      if (i + kAhead < count) prefetch(nodes_[kids_[first + i + kAhead]]);
      n = fields(store, kid);
      Ref child = n ? node_dict(keys, *n) : Ref();
      if (!child) return {};
      if (n->present & kParent) stack.emplace_back(kid, Ref::borrow(child.get()));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), child.release());
    }
  }
  return top;
}

Ref RepoCache::row(vext::CommitId id, const vext::Commit& commit) {
  if ((row_count_ + 1) * 2 > rows_.size()) {
    std::vector<Row> grown(std::max<std::size_t>(64, rows_.size() * 2));
    const std::size_t mask = grown.size() - 1;
    for (const Row& r : rows_) {
      if (!r.row) continue;
      std::size_t i = static_cast<std::size_t>(r.id * 0x9e3779b97f4a7c15ULL >> 32) & mask;
      while (grown[i].row) i = (i + 1) & mask;
      grown[i] = r;
    }
    rows_.swap(grown);
  }
  const std::size_t mask = rows_.size() - 1;
  std::size_t i = static_cast<std::size_t>(id * 0x9e3779b97f4a7c15ULL >> 32) & mask;
  for (; rows_[i].row; i = (i + 1) & mask) {
    if (rows_[i].id == id) return Ref::borrow(rows_[i].row);
  }
  Ref pid = Ref::steal(PyLong_FromUnsignedLongLong(id));
  Ref message = pid ? from_string(commit.message) : Ref();
  Ref made = message ? Ref::steal(PyTuple_Pack(2, pid.get(), message.get())) : Ref();
  if (!made) return {};
  rows_[i] = {id, Ref::borrow(made.get()).release()};
  ++row_count_;
  return made;
}

Ref RepoCache::log(const vext::Repo& repo) {
  const auto entries = repo.log();
  Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!rows) return {};
  Py_ssize_t i = 0;
  for (const auto& [id, commit] : entries) {
    Ref r = row(id, *commit);
    if (!r) return {};
    PyList_SET_ITEM(rows.get(), i++, r.release());
  }
  return rows;
}

}  // namespace vext_py
