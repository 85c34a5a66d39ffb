#pragma once

#include <optional>
#include <string>

#include "common/result.h"
#include "section/section.h"

namespace vext {

// One edit at one path: the value the path must hold before (nullopt: no
// entry) and the value it holds after (nullopt: the entry is removed).
struct PointEdit {
  std::optional<Value> before;
  std::optional<Value> after;
  friend bool operator==(const PointEdit&, const PointEdit&) = default;
};

// Edits keyed by path, in path order, at most one per path.
using EditSet = PathMap<PointEdit>;

// The first path, in path order, whose entry did not hold what its edit expected.
struct ApplyError {
  Path location;
  std::optional<Value> expected;  // the edit's `before`
  std::optional<Value> found;     // what the section held there
  friend bool operator==(const ApplyError&, const ApplyError&) = default;
};

// The patched section, or the error that stopped the patch.
using ApplyResult = Result<Section, ApplyError>;

// Returns one edit per path whose entry differs between the two sections
// (value equality, `order` included); equal sections give no edits.
[[nodiscard]] EditSet diff_sections(const Section& old_section, const Section& new_section);

// Returns the edits that undo `edits`: same paths, before and after swapped.
[[nodiscard]] EditSet invert(const EditSet& edits);

// Applies `edits` to a copy of `section`. Every edited path must hold exactly
// the edit's `before` (or no entry when it is nullopt); otherwise the first
// such path in path order comes back as an ApplyError and nothing is applied.
[[nodiscard]] ApplyResult apply_to_section(const EditSet& edits, const Section& section);

// Appends ApplyError { location: [...], expected: ..., found: ... }.
void append_text(std::string& out, const ApplyError& error);
[[nodiscard]] std::string to_text(const ApplyError& error);

}  // namespace vext
