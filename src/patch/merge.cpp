#include "patch/merge.h"

#include <algorithm>

namespace vext {
namespace {

// Nullable pointers stand for versions that may be absent; absent equals absent.
template <class T>
bool same(const T* a, const T* b) {
  return a == nullptr ? b == nullptr : b != nullptr && *a == *b;
}

// The three-way rule over versions that may be absent. Sets `out` to the
// chosen version (possibly absent) and returns true, or returns false on a
// conflict.
template <class T>
bool pick(const T* base, const T* ours, const T* theirs, const T*& out) {
  if (same(ours, base)) {
    out = theirs;
  } else if (same(theirs, base) || same(ours, theirs)) {
    out = ours;
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> merge_field(std::string_view base, std::string_view ours, std::string_view theirs) {
  const std::string_view* chosen = nullptr;
  if (!pick(&base, &ours, &theirs, chosen)) return std::nullopt;
  return std::string(*chosen);
}

std::optional<Attributes> merge_attrs(const Attributes& base, const Attributes& ours,
                                      const Attributes& theirs) {
  const std::vector<const Attribute*> maps[3] = {as_map(base), as_map(ours), as_map(theirs)};
  std::size_t pos[3] = {0, 0, 0};
  Attributes merged;
  for (;;) {
    // The smallest name not yet visited in any of the three maps.
    const std::string* name = nullptr;
    for (int k = 0; k < 3; ++k) {
      if (pos[k] < maps[k].size() && (name == nullptr || maps[k][pos[k]]->first < *name)) {
        name = &maps[k][pos[k]]->first;
      }
    }
    if (name == nullptr) break;
    const std::string* values[3] = {nullptr, nullptr, nullptr};
    for (int k = 0; k < 3; ++k) {
      if (pos[k] < maps[k].size() && maps[k][pos[k]]->first == *name) {
        values[k] = &maps[k][pos[k]]->second;
      }
    }
    const std::string* chosen = nullptr;
    if (!pick(values[0], values[1], values[2], chosen)) return std::nullopt;
    if (chosen != nullptr) merged.emplace_back(*name, *chosen);
    // Advance after use: `name` points into one of the maps.
    for (int k = 0; k < 3; ++k) {
      if (values[k] != nullptr) ++pos[k];
    }
  }
  return merged;
}

std::optional<Value> merge_values(const Value& base, const Value& ours, const Value& theirs) {
  const std::string* kind = nullptr;
  const std::string* label = nullptr;
  const std::string* text = nullptr;
  const std::uint64_t* order = nullptr;
  if (!pick(&base.kind, &ours.kind, &theirs.kind, kind) ||
      !pick(&base.label, &ours.label, &theirs.label, label) ||
      !pick(&base.text, &ours.text, &theirs.text, text) ||
      !pick(&base.order, &ours.order, &theirs.order, order)) {
    return std::nullopt;
  }
  std::optional<Attributes> attrs = merge_attrs(base.attrs, ours.attrs, theirs.attrs);
  if (!attrs) return std::nullopt;
  return Value{.kind = *kind, .label = *label, .text = *text, .attrs = std::move(*attrs), .order = *order};
}

SectionMergeResult merge_sections(const Section& base, const Section& ours, const Section& theirs) {
  Section::Builder merged;
  merged.reserve(std::max({base.trie().node_count(), ours.trie().node_count(), theirs.trie().node_count()}));
  std::vector<SectionConflict> conflicts;
  ZipWalk walk({&base.trie(), &ours.trie(), &theirs.trie()});
  while (walk.next()) {
    if (walk.depth() > 0) merged.move_to(walk.depth(), walk.element());
    const Value* b = base.value_at(walk.node(0));
    const Value* o = ours.value_at(walk.node(1));
    const Value* t = theirs.value_at(walk.node(2));
    const Value* chosen = nullptr;
    if (pick(b, o, t, chosen)) {
      if (chosen != nullptr) merged.set(*chosen);
      continue;
    }
    if (b != nullptr && o != nullptr && t != nullptr) {
      if (std::optional<Value> fields = merge_values(*b, *o, *t)) {
        merged.set(std::move(*fields));
        continue;
      }
    }
    conflicts.push_back(SectionConflict{
        .path = to_path(walk.path()), .base = copy_of(b), .ours = copy_of(o), .theirs = copy_of(t)});
    if (o != nullptr) merged.set(*o);
  }
  return {std::move(merged).finish(), std::move(conflicts)};
}

}  // namespace vext
