#include "patch/patch.h"

namespace vext {

EditSet diff_sections(const Section& old_section, const Section& new_section) {
  EditSet::Builder edits;
  ZipWalk walk({&old_section.trie(), &new_section.trie()});
  while (walk.next()) {
    if (walk.depth() > 0) edits.move_to(walk.depth(), walk.element());
    const Value* before = old_section.value_at(walk.node(0));
    const Value* after = new_section.value_at(walk.node(1));
    if (before == nullptr && after == nullptr) continue;
    if (before != nullptr && after != nullptr && *before == *after) continue;
    edits.set(PointEdit{.before = copy_of(before), .after = copy_of(after)});
  }
  return std::move(edits).finish();
}

EditSet invert(const EditSet& edits) {
  return edits.transformed(
      [](const PointEdit& edit) { return PointEdit{.before = edit.after, .after = edit.before}; });
}

ApplyResult apply_to_section(const EditSet& edits, const Section& section) {
  Section::Builder out;
  out.reserve(section.trie().node_count() + edits.size());
  ZipWalk walk({&edits.trie(), &section.trie()});
  while (walk.next()) {
    if (walk.depth() > 0) out.move_to(walk.depth(), walk.element());
    const PointEdit* edit = edits.value_at(walk.node(0));
    const Value* found = section.value_at(walk.node(1));
    if (edit == nullptr) {
      if (found != nullptr) out.set(*found);
      continue;
    }
    const bool fits = edit->before ? found != nullptr && *found == *edit->before : found == nullptr;
    if (!fits) {
      return ApplyError{
          .location = to_path(walk.path()), .expected = edit->before, .found = copy_of(found)};
    }
    if (edit->after) out.set(*edit->after);
  }
  return std::move(out).finish();
}

void append_text(std::string& out, const ApplyError& error) {
  out.append("ApplyError { location: ");
  append_path_list(out, error.location);
  out.append(", expected: ");
  append_text(out, error.expected);
  out.append(", found: ");
  append_text(out, error.found);
  out.append(" }");
}

std::string to_text(const ApplyError& error) {
  std::string out;
  append_text(out, error);
  return out;
}

}  // namespace vext
