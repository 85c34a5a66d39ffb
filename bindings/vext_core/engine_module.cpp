// The private module vext._core under the public vext package: the located
// diff, its checked application and the three-way merge. Trees are converted
// with the interpreter lock held; the core then works without it, polling for
// signals every few milliseconds so that Ctrl-C stops a long call.
#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "args.h"
#include "boundary.h"
#include "core_call.h"
#include "module.h"
#include "ref.h"
#include "lossless/lossless.h"
#include "tree_convert.h"

namespace vext_py {
namespace {

constexpr const char* kDiffParams[] = {"old", "new"};
constexpr Signature kDiff{"diff()", kDiffParams};
constexpr const char* kApplyParams[] = {"tree", "changes"};
constexpr Signature kApply{"apply()", kApplyParams};
constexpr const char* kMergeParams[] = {"base", "ours", "theirs"};
constexpr Signature kMerge{"merge()", kMergeParams};

constexpr vext::ChangeOp kOps[] = {vext::ChangeOp::Insert, vext::ChangeOp::Remove, vext::ChangeOp::Update,
                                   vext::ChangeOp::Move};
constexpr vext::Field kFields[] = {vext::Field::Kind,       vext::Field::Identity, vext::Field::Label,
                                   vext::Field::Text,       vext::Field::Attribute, vext::Field::Attributes,
                                   vext::Field::Node,       vext::Field::Position, vext::Field::Order};

static_assert(std::tuple_size_v<decltype(CoreState::ops)> == std::size(kOps));
static_assert(std::tuple_size_v<decltype(CoreState::fields)> == std::size(kFields));

bool init_names(CoreState& state) {
  for (std::size_t i = 0; i < std::size(kOps); ++i) {
    if (!intern(state.ops[i], std::string(vext::change_op_name(kOps[i])).c_str())) return false;
  }
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    if (!intern(state.fields[i], std::string(vext::field_name(kFields[i])).c_str())) return false;
  }
  return true;
}

Ref str(const std::string& s) {
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

Ref from_attributes(const vext::Attributes& attrs) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (const auto& [name, value] : attrs) {
    Ref k = str(name), v = str(value);
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) return {};
  }
  return dict;
}

Ref from_value(const CoreState& state, const vext::FieldValue& value) {
  struct Visit {
    const TreeKeys& keys;
    Ref operator()(std::monostate) const { return Ref::borrow(Py_None); }
    Ref operator()(const std::string& s) const { return str(s); }
    Ref operator()(const vext::NodeValue& n) const { return tree_to_py(keys, n.get()); }
    Ref operator()(const vext::Attributes& a) const { return from_attributes(a); }
    Ref operator()(const std::vector<std::string>& steps) const { return tuple_of(steps, str); }
    Ref operator()(std::uint64_t n) const { return Ref::steal(PyLong_FromUnsignedLongLong(n)); }
  };
  return std::visit(Visit{state.binding.tree_keys}, value);
}

// A location leaves as a capsule around the engine's Location, which shares
// its prefix with the locations of the node's ancestors; the package turns it
// into steps when read. The root's location is the empty tuple.
constexpr const char* kLocationCapsule = "vext._core.Location";

void drop_location(PyObject* capsule) {
  delete static_cast<vext::Location*>(PyCapsule_GetPointer(capsule, kLocationCapsule));
}

Ref from_location(const vext::Location& location) {
  if (location.empty()) return Ref::steal(PyTuple_New(0));
  auto* held = new vext::Location(location);
  Ref capsule = Ref::steal(PyCapsule_New(held, kLocationCapsule, drop_location));
  if (!capsule) delete held;
  return capsule;
}

// location_steps(location): the steps of a location from `diff` or `merge`,
// root first, as (kind, identity or None, position) tuples.
PyObject* mod_location_steps(PyObject* module, PyObject* arg) {
  return call_core(core_state(module).binding, [&]() -> PyObject* {
    auto* location = static_cast<vext::Location*>(PyCapsule_GetPointer(arg, kLocationCapsule));
    if (!location) return nullptr;
    return tuple_of(location->items(), [](const vext::Step* s) {
             Ref kind = str(s->kind), identity = optional_str(s->identity);
             Ref position = Ref::steal(PyLong_FromSize_t(s->position));
             if (!kind || !identity || !position) return Ref();
             return Ref::steal(PyTuple_Pack(3, kind.get(), identity.get(), position.get()));
           })
        .release();
  });
}

PyObject* field_key(const CoreState& state, vext::Field f) { return state.fields[static_cast<std::size_t>(f)]; }

Ref name_of(vext::Field field, const std::string& name) {
  return field == vext::Field::Attribute ? str(name) : Ref::borrow(Py_None);
}

}  // namespace

// (op, location, field, name, old, new, index)
Ref from_change(const CoreState& state, const vext::Change& c) {
  Ref location = from_location(c.location);
  Ref name = name_of(c.field, c.name);
  Ref old_value = from_value(state, c.old_value);
  Ref new_value = from_value(state, c.new_value);
  Ref index = c.op == vext::ChangeOp::Insert ? Ref::steal(PyLong_FromSize_t(c.index)) : Ref::borrow(Py_None);
  if (!location || !name || !old_value || !new_value || !index) return {};
  PyObject* op = state.ops[static_cast<std::size_t>(c.op)];
  return Ref::steal(PyTuple_Pack(7, op, location.get(), field_key(state, c.field), name.get(), old_value.get(),
                                 new_value.get(), index.get()));
}

// (location, field, name, base, ours, theirs)
Ref from_conflict(const CoreState& state, const vext::Conflict& c) {
  Ref location = from_location(c.location);
  Ref name = name_of(c.field, c.name);
  Ref base = from_value(state, c.base), ours = from_value(state, c.ours), theirs = from_value(state, c.theirs);
  if (!location || !name || !base || !ours || !theirs) return {};
  return Ref::steal(
      PyTuple_Pack(6, location.get(), field_key(state, c.field), name.get(), base.get(), ours.get(), theirs.get()));
}

namespace {

// Reads the fields of one change tuple, in the layout from_change writes.
// Returns false with a Python error set.
template <class E, std::size_t N>
bool to_enum(PyObject* obj, const std::array<PyObject*, N>& table, const E (&values)[N], const char* what, E& out) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!PyUnicode_Check(obj)) break;
    const int eq = PyUnicode_Compare(obj, table[i]);
    if (eq == -1 && PyErr_Occurred()) return false;
    if (eq == 0) {
      out = values[i];
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown %s: %R", what, obj);
  return false;
}

bool to_size(PyObject* obj, std::size_t& out) {
  const std::size_t v = PyLong_AsSize_t(obj);
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_value(const CoreState& state, PyObject* obj, vext::Field field, vext::FieldValue& out) {
  if (obj == Py_None) return true;
  switch (field) {
    case vext::Field::Node: {
      auto node = py_to_tree(state.binding.tree_keys, obj);
      if (!node) return false;
      out = std::move(*node);
      return true;
    }
    case vext::Field::Attributes: {
      if (!PyDict_Check(obj)) {
        set_conversion_error(obj, "PyDict");
        return false;
      }
      vext::Attributes attrs;
      Ref dict = Ref::borrow(obj);
      PyObject *k, *v;
      Py_ssize_t pos = 0;
      while (PyDict_Next(dict.get(), &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        std::string name, text;
        if (!to_string(key.get(), name) || !to_string(value.get(), text)) return false;
        attrs.emplace_back(std::move(name), std::move(text));
      }
      out = std::move(attrs);
      return true;
    }
    case vext::Field::Position: {
      std::size_t n;
      if (!to_size(obj, n)) return false;
      out = std::uint64_t{n};
      return true;
    }
    default: {
      std::string s;
      if (!to_string(obj, s)) return false;
      out = std::move(s);
      return true;
    }
  }
}

bool to_location(PyObject* obj, vext::Location& out) {
  if (PyCapsule_IsValid(obj, kLocationCapsule)) {
    out = *static_cast<vext::Location*>(PyCapsule_GetPointer(obj, kLocationCapsule));
    return true;
  }
  Ref seq = Ref::steal(PySequence_Tuple(obj));
  if (!seq) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref step = Ref::steal(PySequence_Tuple(PyTuple_GET_ITEM(seq.get(), i)));
    if (!step) return false;
    if (PyTuple_GET_SIZE(step.get()) != 3) {
      PyErr_SetString(PyExc_ValueError, "a step has three parts: kind, identity and position");
      return false;
    }
    vext::Step s;
    PyObject* identity = PyTuple_GET_ITEM(step.get(), 1);
    if (!to_string(PyTuple_GET_ITEM(step.get(), 0), s.kind) || !to_size(PyTuple_GET_ITEM(step.get(), 2), s.position))
      return false;
    if (identity != Py_None && !to_string(identity, s.identity.emplace())) return false;
    out.push_back(std::move(s));
  }
  return true;
}

bool to_change(const CoreState& state, PyObject* obj, vext::Change& out) {
  Ref tuple = Ref::steal(PySequence_Tuple(obj));
  if (!tuple) return false;
  if (PyTuple_GET_SIZE(tuple.get()) != 7) {
    PyErr_SetString(PyExc_ValueError, "a change has seven parts");
    return false;
  }
  PyObject* const* part = &PyTuple_GET_ITEM(tuple.get(), 0);
  if (!to_enum(part[0], state.ops, kOps, "operation", out.op) || !to_location(part[1], out.location) ||
      !to_enum(part[2], state.fields, kFields, "field", out.field))
    return false;
  if (part[3] != Py_None && !to_string(part[3], out.name)) return false;
  if (!to_value(state, part[4], out.field, out.old_value) || !to_value(state, part[5], out.field, out.new_value)) {
    return false;
  }
  if (part[6] != Py_None && !to_size(part[6], out.index)) return false;
  if (out.op == vext::ChangeOp::Move) {
    if (const auto* to = std::get_if<std::uint64_t>(&out.new_value)) out.index = static_cast<std::size_t>(*to);
  }
  return true;
}

PyObject* mod_diff(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    if (!bind(kDiff, args, nargs, kwnames, a.data())) return nullptr;
    auto trees = py_to_trees(state.binding.tree_keys, a);
    if (!trees) return nullptr;
    auto changes = without_lock(
        [&](const vext::StopCheck& stop) { return vext::located_diff((*trees)[0], (*trees)[1], stop); });
    if (!changes) return nullptr;
    return list_of(*changes, [&](const vext::Change& c) { return from_change(state, c); }).release();
  });
}

PyObject* mod_apply(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    if (!bind(kApply, args, nargs, kwnames, a.data())) return nullptr;
    auto tree = py_to_tree(state.binding.tree_keys, a[0]);
    if (!tree) return nullptr;
    Ref items = Ref::steal(PySequence_List(a[1]));
    if (!items) return nullptr;
    std::vector<vext::Change> changes(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
    for (std::size_t i = 0; i < changes.size(); ++i) {
      if (!check_signals()) return nullptr;
      Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
      if (!to_change(state, item.get(), changes[i])) return nullptr;
    }
    auto result = without_lock([&](const vext::StopCheck& stop) { return vext::apply_changes(*tree, changes, stop); });
    if (!result) return nullptr;
    if (!result->ok()) {
      PyErr_SetString(PyExc_ValueError, result->error().detail.c_str());
      return nullptr;
    }
    return tree_to_py(state.binding.tree_keys, result->value()).release();
  });
}

PyObject* mod_merge(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CoreState& state = core_state(module);
  return call_core(state.binding, [&]() -> PyObject* {
    std::array<PyObject*, 3> a{};
    if (!bind(kMerge, args, nargs, kwnames, a.data())) return nullptr;
    auto trees = py_to_trees(state.binding.tree_keys, a);
    if (!trees) return nullptr;
    auto result = without_lock([&](const vext::StopCheck& stop) {
      const auto& [base, ours, theirs] = *trees;
      return vext::three_way_merge(base, ours, theirs, stop);
    });
    if (!result) return nullptr;
    Ref tree = tree_to_py(state.binding.tree_keys, result->tree);
    if (!tree) return nullptr;
    Ref conflicts = list_of(result->conflicts, [&](const vext::Conflict& c) { return from_conflict(state, c); });
    if (!conflicts) return nullptr;
    return PyTuple_Pack(2, tree.get(), conflicts.get());
  });
}

PyMethodDef methods[] = {
    {"diff", as_method(mod_diff), METH_FASTCALL | METH_KEYWORDS, "diff(old, new)\n--\n\n"},
    {"apply", as_method(mod_apply), METH_FASTCALL | METH_KEYWORDS, "apply(tree, changes)\n--\n\n"},
    {"merge", as_method(mod_merge), METH_FASTCALL | METH_KEYWORDS, "merge(base, ours, theirs)\n--\n\n"},
    {"location_steps", mod_location_steps, METH_O, "location_steps(location)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  CoreState& state = *new (PyModule_GetState(module)) CoreState{};
  if (!init_binding(state.binding, {"vext.PanicException", "Raised when vext hits an internal failure."}) ||
      !init_names(state) || !add_file_api(module, state) || !add_json_api(module) ||
      !add_store_api(module, state))
    return -1;
  if (PyModule_AddObjectRef(module, "LocationLink", reinterpret_cast<PyObject*>(&PyCapsule_Type)) < 0) return -1;
  return PyModule_AddIntConstant(module, "MAX_DEPTH", static_cast<long>(vext::kMaxTreeDepth));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  const CoreState* state = static_cast<const CoreState*>(PyModule_GetState(module));
  if (!state) return 0;
  if (const int status = traverse_binding(state->binding, visit, arg)) return status;
  Py_VISIT(state->format_error);
  Py_VISIT(state->store_error);
  for (PyObject* o : state->ops) Py_VISIT(o);
  for (PyObject* o : state->fields) Py_VISIT(o);
  return 0;
}

int clear_module(PyObject* module) {
  CoreState* state = static_cast<CoreState*>(PyModule_GetState(module));
  if (!state) return 0;
  clear_binding(state->binding);
  Py_CLEAR(state->format_error);
  Py_CLEAR(state->store_error);
  for (PyObject*& o : state->ops) Py_CLEAR(o);
  for (PyObject*& o : state->fields) Py_CLEAR(o);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vext._core", "", sizeof(CoreState), methods, slots, traverse_module, clear_module,
    free_module,
};

}  // namespace
}  // namespace vext_py

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&vext_py::module_def); }
