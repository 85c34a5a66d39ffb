// JSON values as trees: from_json turns what json.load gives into the tree
// that reading the same JSON file gives ("object" with members named by their
// identity, "array", "string", "number", "boolean", "null"), and to_json turns
// such a tree back into the value. Both walk with explicit stacks, so any
// depth the trees allow is safe, and neither runs Python code of the value's
// own: numbers are written by int's and float's own repr.
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "formats/document.h"
#include "boundary.h"
#include "module.h"
#include "ref.h"
#include "tree_convert.h"

namespace vext_py {
namespace {

constexpr const char* kFromParams[] = {"value"};
constexpr Signature kFrom{"from_json()", kFromParams};
constexpr const char* kToParams[] = {"tree"};
constexpr Signature kTo{"to_json()", kToParams};

// Items converted between two checks for signals.
constexpr std::size_t kSignalEvery = 4096;

bool too_deep(std::size_t depth) {
  if (depth <= vext::kMaxTreeDepth) return false;
  PyErr_Format(PyExc_ValueError, "the value is nested deeper than %zu levels (or holds itself)",
               static_cast<std::size_t>(vext::kMaxTreeDepth));
  return true;
}

// Writes a number as json.dumps does; a float that JSON cannot hold is refused.
bool number_text(PyObject* obj, std::string& out) {
  Ref text;
  if (PyLong_Check(obj)) {
    text = Ref::steal(PyLong_Type.tp_repr(obj));
  } else {
    if (!std::isfinite(PyFloat_AS_DOUBLE(obj))) {
      PyErr_SetString(PyExc_ValueError, "Out of range float values are not JSON compliant");
      return false;
    }
    text = Ref::steal(PyFloat_Type.tp_repr(obj));
  }
  return text && to_string(text.get(), out);
}

// Fills `node` from one value; a container's items go to `todo`, each with
// the child node it fills.
bool fill_node(PyObject* obj, vext::TreeNode& node, std::vector<std::pair<Ref, vext::TreeNode*>>& todo) {
  if (obj == Py_None) {
    node.kind = "null";
  } else if (PyBool_Check(obj)) {
    node.kind = "boolean";
    node.text = obj == Py_True ? "true" : "false";
  } else if (PyLong_Check(obj) || PyFloat_Check(obj)) {
    node.kind = "number";
    if (!number_text(obj, node.text)) return false;
  } else if (PyUnicode_Check(obj)) {
    node.kind = "string";
    if (!to_string(obj, node.text)) return false;
  } else if (PyDict_Check(obj)) {
    node.kind = "object";
    // A snapshot: nothing the walk does can change what it reads.
    Ref items = Ref::steal(PyDict_Items(obj));
    if (!items) return false;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    node.children.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      PyObject* key = PyTuple_GET_ITEM(pair, 0);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "keys must be str, not %.200s", Py_TYPE(key)->tp_name);
        return false;
      }
      vext::TreeNode& child = node.children[static_cast<std::size_t>(i)];
      if (!to_string(key, child.identity.emplace())) return false;
      todo.emplace_back(Ref::borrow(PyTuple_GET_ITEM(pair, 1)), &child);
    }
  } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
    node.kind = "array";
    Ref items = Ref::steal(PySequence_Tuple(obj));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    node.children.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      todo.emplace_back(Ref::borrow(PyTuple_GET_ITEM(items.get(), i)), &node.children[static_cast<std::size_t>(i)]);
    }
  } else {
    PyErr_Format(PyExc_TypeError, "Object of type %.200s is not JSON serializable", Py_TYPE(obj)->tp_name);
    return false;
  }
  return true;
}

std::optional<vext::TreeNode> value_to_tree(PyObject* value) {
  vext::TreeNode root;
  // Each entry: a value, the node it fills; a null node marks the end of a
  // container's items, so that the depth follows the nesting.
  std::vector<std::pair<Ref, vext::TreeNode*>> stack;
  std::vector<std::pair<Ref, vext::TreeNode*>> items;
  stack.emplace_back(Ref::borrow(value), &root);
  std::size_t depth = 1, done = 0;
  while (!stack.empty()) {
    auto [obj, node] = std::move(stack.back());
    stack.pop_back();
    if (!node) {
      --depth;
      continue;
    }
    if (++done % kSignalEvery == 0 && PyErr_CheckSignals() != 0) return std::nullopt;
    items.clear();
    if (!fill_node(obj.get(), *node, items)) return std::nullopt;
    if (node->children.empty()) continue;
    if (too_deep(++depth)) return std::nullopt;
    stack.emplace_back(Ref(), nullptr);
    for (auto it = items.rbegin(); it != items.rend(); ++it) stack.push_back(std::move(*it));
  }
  return root;
}

// --- trees back to values ------------------------------------------------------

// The value of a leaf, or a container with no items in it yet. On a node
// that is no JSON value, an empty Ref and `problem` saying what is wrong;
// on a failure of the interpreter, an empty Ref with its error set.
Ref make_value(const vext::TreeNode& n, const char*& problem) {
  problem = nullptr;
  if (!n.label.empty() || !n.attributes.empty()) {
    problem = "has a label or attributes, which JSON cannot hold";
    return {};
  }
  if (n.kind == "object" || n.kind == "array") {
    if (!n.text.empty()) {
      problem = "has a text its kind cannot hold";
      return {};
    }
    return Ref::steal(n.kind == "object" ? PyDict_New() : PyList_New(static_cast<Py_ssize_t>(n.children.size())));
  }
  if (!n.children.empty()) {
    problem = "has children, which only an object or an array can hold";
    return {};
  }
  if (n.kind == "string") return from_string(n.text);
  if (n.kind == "null" && n.text.empty()) return Ref::borrow(Py_None);
  if (n.kind == "boolean" && (n.text == "true" || n.text == "false")) {
    return Ref::borrow(n.text == "true" ? Py_True : Py_False);
  }
  if (n.kind == "number" && vext::is_json_number(n.text)) {
    if (n.text.find_first_of(".eE") == std::string::npos) {
      return Ref::steal(PyLong_FromString(n.text.c_str(), nullptr, 10));
    }
    Ref text = from_string(n.text);
    return text ? Ref::steal(PyFloat_FromString(text.get())) : Ref();
  }
  problem = n.kind == "null" || n.kind == "boolean" || n.kind == "number" ? "has a text its kind cannot hold"
                                                                          : "is of a kind JSON does not have";
  return {};
}

// The JSON Pointer of entry `at` of the walk, for messages.
struct Entry {
  const vext::TreeNode* node;
  std::size_t parent;  // index in the entries; the root is its own parent
  std::size_t index;   // among the parent's children
};

std::string pointer_of(const std::vector<Entry>& entries, std::size_t at) {
  std::vector<std::string> steps;
  for (; at != 0; at = entries[at].parent) {
    const Entry& e = entries[at];
    const vext::TreeNode& parent = *entries[e.parent].node;
    if (parent.kind == "object" && e.node->identity) {
      std::string step;
      for (char c : *e.node->identity) {
        if (c == '~') step += "~0";
        else if (c == '/') step += "~1";
        else step += c;
      }
      steps.push_back(std::move(step));
    } else {
      steps.push_back(std::to_string(e.index));
    }
  }
  std::string out;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) out.append("/").append(*it);
  return out.empty() ? "(root)" : out;
}

Ref tree_to_value(const vext::TreeNode& root) {
  std::vector<Entry> entries{{&root, 0, 0}};
  // Each entry of the walk with the container its value goes into.
  std::vector<std::pair<std::size_t, PyObject*>> stack{{0, nullptr}};
  Ref top;
  std::size_t done = 0;
  while (!stack.empty()) {
    const auto [at, into] = stack.back();
    stack.pop_back();
    if (++done % kSignalEvery == 0 && PyErr_CheckSignals() != 0) return {};
    const vext::TreeNode& n = *entries[at].node;
    const char* problem = nullptr;
    Ref value = make_value(n, problem);
    if (!value) {
      if (problem) {
        PyErr_Format(PyExc_ValueError, "not a JSON value: the node at %s %s", pointer_of(entries, at).c_str(), problem);
      }
      return {};
    }
    if (n.kind == "object") {
      for (std::size_t i = 0; i < n.children.size(); ++i) {
        const vext::TreeNode& kid = n.children[i];
        entries.push_back({&kid, at, i});
        if (!kid.identity) {
          PyErr_Format(PyExc_ValueError, "not a JSON value: the member at %s has no name",
                       pointer_of(entries, entries.size() - 1).c_str());
          return {};
        }
        // Placeholders keep the members in order; each value replaces its own.
        Ref key = from_string(*kid.identity);
        if (!key || PyDict_SetItem(value.get(), key.get(), Py_None) != 0) return {};
        if (static_cast<std::size_t>(PyDict_GET_SIZE(value.get())) != i + 1) {
          PyErr_Format(PyExc_ValueError, "not a JSON value: the object at %s has two members named %R",
                       pointer_of(entries, at).c_str(), key.get());
          return {};
        }
      }
    } else if (n.kind == "array") {
      for (std::size_t i = 0; i < n.children.size(); ++i) {
        entries.push_back({&n.children[i], at, i});
        if (n.children[i].identity) {
          PyErr_Format(PyExc_ValueError, "not a JSON value: the item at %s has a name",
                       pointer_of(entries, entries.size() - 1).c_str());
          return {};
        }
        // An item not yet made stays None, so the list is whole at every step.
        PyList_SET_ITEM(value.get(), static_cast<Py_ssize_t>(i), Ref::borrow(Py_None).release());
      }
    }
    const std::size_t first = entries.size() - n.children.size();
    for (std::size_t k = n.children.size(); k-- > 0;) stack.emplace_back(first + k, value.get());
    if (into == nullptr) {
      top = std::move(value);
    } else if (PyDict_Check(into)) {
      Ref key = from_string(*n.identity);
      if (!key || PyDict_SetItem(into, key.get(), value.get()) != 0) return {};
    } else {
      PyList_SetItem(into, static_cast<Py_ssize_t>(entries[at].index), value.release());
    }
  }
  return top;
}

PyObject* mod_from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    if (!bind(kFrom, args, nargs, kwnames, a.data())) return nullptr;
    auto tree = value_to_tree(a[0]);
    if (!tree) return nullptr;
    return tree_to_py(state.binding.tree_keys, *tree).release();
  });
}

PyObject* mod_to_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    if (!bind(kTo, args, nargs, kwnames, a.data())) return nullptr;
    auto tree = py_to_tree(state.binding.tree_keys, a[0]);
    if (!tree) return nullptr;
    return tree_to_value(*tree).release();
  });
}

PyMethodDef json_methods[] = {
    {"from_json", as_method(mod_from_json), METH_FASTCALL | METH_KEYWORDS, "from_json(value)\n--\n\n"},
    {"to_json", as_method(mod_to_json), METH_FASTCALL | METH_KEYWORDS, "to_json(tree)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_json_api(PyObject* module) { return PyModule_AddFunctions(module, json_methods) == 0; }

}  // namespace vext_py
