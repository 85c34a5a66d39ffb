#include "tree_convert.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "string_cache.h"

namespace vext_py {
namespace {

// Looks `key` up in the dict's own storage and returns a strong reference, so
// the value survives user code run by later lookups. Empty with no error set
// means the key is absent.
Ref lookup(PyObject* dict, PyObject* key) { return Ref::borrow(PyDict_GetItemWithError(dict, key)); }

// Stores an optional string field; None or absence leaves the default.
bool read_string_field(PyObject* dict, PyObject* key, std::string& out, bool& present) {
  Ref value = lookup(dict, key);
  present = false;
  if (!value) return !PyErr_Occurred();
  if (value.get() == Py_None) return true;
  present = true;
  return to_string(value.get(), out);
}

bool read_attributes(PyObject* attrs, vext::Attributes& out) {
  // Nothing below runs Python code, so the dict cannot change under the walk.
  out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(attrs)));
  Py_ssize_t pos = 0;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(attrs, &pos, &name, &value)) {
    auto& pair = out.emplace_back();
    if (!to_string(name, pair.first) || !to_string(value, pair.second)) return false;
  }
  return true;
}

// Fills `node` from one tree dict, except for its children, whose list (if
// any) is handed back in `children`.
bool read_node(const TreeKeys& keys, PyObject* obj, vext::TreeNode& node, Ref& children) {
  if (!PyDict_Check(obj)) {
    set_conversion_error(obj, "PyDict");
    return false;
  }
  {
    Ref kind = lookup(obj, keys.kind);
    if (!kind && PyErr_Occurred()) return false;
    Py_ssize_t size = 0;
    const char* data = kind && PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8AndSize(kind.get(), &size) : nullptr;
    if (data) {
      node.kind.assign(data, static_cast<std::size_t>(size));
    } else {
      // A kind without UTF-8 text counts as absent; any other failure stands.
      if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
      }
      node.kind = "root";
    }
  }
  bool present = false;
  std::string identity;
  if (!read_string_field(obj, keys.identity, identity, present)) return false;
  if (present) node.identity = std::move(identity);
  if (!read_string_field(obj, keys.label, node.label, present)) return false;
  if (!read_string_field(obj, keys.text, node.text, present)) return false;
  {
    Ref attrs = lookup(obj, keys.attributes);
    if (!attrs && PyErr_Occurred()) return false;
    if (attrs && PyDict_Check(attrs.get()) && !read_attributes(attrs.get(), node.attributes)) return false;
  }
  Ref list = lookup(obj, keys.children);
  if (!list && PyErr_Occurred()) return false;
  if (list && PyList_Check(list.get()) && PyList_GET_SIZE(list.get()) > 0) children = std::move(list);
  return true;
}

bool set_string(PyObject* dict, PyObject* key, std::string_view value) {
  Ref s = from_string(value);
  return s && PyDict_SetItem(dict, key, s.get()) == 0;
}

NodeFields fields_of(const vext::TreeNode& node) {
  return {node.kind, node.identity ? std::optional<std::string_view>(*node.identity) : std::nullopt, node.label,
          node.text, node.attributes};
}

bool set_cached(PyObject* dict, PyObject* key, std::string_view value, StringCache& cache) {
  Ref s = cache.get(value);
  return s && PyDict_SetItem(dict, key, s.get()) == 0;
}

// Builds the dict of one node; a node with children gets the "children" key,
// which add_children fills.
Ref write_node(const TreeKeys& keys, const NodeFields& node, std::size_t children, StringCache& cache) {
  const unsigned shape = (node.identity ? kShapeIdentity : 0) | (node.label.empty() ? 0 : kShapeLabel) |
                         (node.text.empty() ? 0 : kShapeText) | (node.attributes.empty() ? 0 : kShapeAttributes) |
                         (children > 0 ? kShapeChildren : 0);
  Ref dict = Ref::steal(PyDict_Copy(keys.shapes[shape]));
  if (!dict) return {};
  Ref kind = cache.get(node.kind);
  if (!kind || PyDict_SetItem(dict.get(), keys.kind, kind.get()) != 0) return {};
  if (node.identity && !set_string(dict.get(), keys.identity, *node.identity)) return {};
  if (!node.label.empty() && !set_cached(dict.get(), keys.label, node.label, cache)) return {};
  if (!node.text.empty() && !set_cached(dict.get(), keys.text, node.text, cache)) return {};
  if (!node.attributes.empty()) {
    Ref attrs = Ref::steal(PyDict_New());
    if (!attrs) return {};
    for (const auto& [name, value] : node.attributes) {
      Ref k = cache.get(name);
      Ref v = k ? cache.get(value) : Ref();
      if (!v || PyDict_SetItem(attrs.get(), k.get(), v.get()) != 0) return {};
    }
    if (PyDict_SetItem(dict.get(), keys.attributes, attrs.get()) != 0) return {};
  }
  return dict;
}

}  // namespace

Ref add_children(const TreeKeys& keys, PyObject* dict, std::size_t count) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list || PyDict_SetItem(dict, keys.children, list.get()) != 0) return {};
  return list;
}

bool check_signals(std::size_t work) {
  // One count for every conversion of the process: a result made of many
  // small trees is checked as often as one large tree. The lock guards it.
  static std::size_t budget = 0;
  budget += work;
  if (budget < 2048) return true;
  budget = 0;
  return PyErr_CheckSignals() == 0;
}

std::optional<vext::TreeNode> py_to_tree(const TreeKeys& keys, PyObject* obj) {
  struct Frame {
    Ref children;  // held strongly: user code may drop it from its dict
    Py_ssize_t next = 0;
    vext::TreeNode* node;
  };
  vext::TreeNode root;
  Ref children;
  if (!read_node(keys, obj, root, children)) return std::nullopt;
  std::vector<Frame> stack;
  if (children) stack.push_back({std::move(children), 0, &root});
  while (!stack.empty()) {
    // A signal handler is user code too, so it runs before the length is read.
    if (!check_signals()) return std::nullopt;
    Frame& f = stack.back();
    // The length is read afresh: user code may have shrunk the list.
    if (f.next >= PyList_GET_SIZE(f.children.get())) {
      stack.pop_back();
      continue;
    }
    if (f.next == 0) f.node->children.reserve(static_cast<std::size_t>(PyList_GET_SIZE(f.children.get())));
    Ref item = Ref::borrow(PyList_GET_ITEM(f.children.get(), f.next));
    ++f.next;
    // The child's address stays valid while its frame is on the stack: its
    // parent gains no further children until this frame is done.
    vext::TreeNode& child = f.node->children.emplace_back();
    Ref grandchildren;
    if (!read_node(keys, item.get(), child, grandchildren)) return std::nullopt;
    if (grandchildren) {
      if (stack.size() + 2 > vext::kMaxTreeDepth) {
        PyErr_Format(PyExc_RecursionError, "tree is nested deeper than %zu levels", vext::kMaxTreeDepth);
        return std::nullopt;
      }
      stack.push_back({std::move(grandchildren), 0, &child});
    }
  }
  return root;
}

Ref tree_to_py(const TreeKeys& keys, const vext::TreeNode& node) {
  struct Frame {
    Ref list;
    const vext::TreeNode* node;
    std::size_t next;
  };
  const CollectorPause pause;
  StringCache cache;
  Ref root = write_node(keys, fields_of(node), node.children.size(), cache);
  if (!root) return {};
  std::vector<Frame> stack;
  if (!node.children.empty()) {
    Ref list = add_children(keys, root.get(), node.children.size());
    if (!list) return {};
    stack.push_back({std::move(list), &node, 0});
  }
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.node->children.size()) {
      stack.pop_back();
      continue;
    }
    if (!check_signals()) return {};
    const std::size_t index = f.next++;
    const vext::TreeNode& child = f.node->children[index];
    Ref dict = write_node(keys, fields_of(child), child.children.size(), cache);
    if (!dict) return {};
    Ref child_list;
    if (!child.children.empty() && !(child_list = add_children(keys, dict.get(), child.children.size()))) return {};
    PyList_SET_ITEM(f.list.get(), static_cast<Py_ssize_t>(index), dict.release());
    if (child_list) stack.push_back({std::move(child_list), &child, 0});
  }
  return root;
}

Ref preorder_to_py(const TreeKeys& keys, std::size_t count, const std::function<PreorderNode(std::size_t)>& at) {
  struct Frame {
    Ref list;  // every slot below `next` filled
    std::size_t size;
    std::size_t next;
  };
  const CollectorPause pause;
  StringCache cache;
  Ref root;
  std::vector<Frame> stack;
  std::size_t i = 0;
  for (; i < count && (i == 0 || !stack.empty()); ++i) {
    const PreorderNode n = at(i);
    Ref dict = write_node(keys, n.fields, n.children, cache);
    if (!dict) return {};
    Ref list;
    if (n.children > 0 && !(list = add_children(keys, dict.get(), n.children))) return {};
    if (i == 0) {
      root = std::move(dict);
    } else {
      Frame& f = stack.back();
      PyList_SET_ITEM(f.list.get(), static_cast<Py_ssize_t>(f.next), dict.release());
      if (++f.next == f.size) stack.pop_back();
    }
    if (list) stack.push_back({std::move(list), n.children, 0});
  }
  // A list with empty slots must never reach Python code.
  if (count == 0 || i != count || !stack.empty()) {
    PyErr_SetString(PyExc_SystemError, "vext: a tree's nodes do not add up");
    return {};
  }
  return root;
}

}  // namespace vext_py
