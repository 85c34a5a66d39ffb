#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "section/section.h"

namespace vext {

// A path that the three-way merge could not settle, with the three versions.
struct SectionConflict {
  Path path;
  std::optional<Value> base;
  std::optional<Value> ours;
  std::optional<Value> theirs;
  friend bool operator==(const SectionConflict&, const SectionConflict&) = default;
};

struct SectionMergeResult {
  Section merged;
  std::vector<SectionConflict> conflicts;  // in path order, at most one per path
};

// Merges two sections derived from `base`, path by path: a change made on one
// side is taken, the same change on both sides is taken once, and an entry both
// sides changed differently is merged field by field. What cannot be merged is
// reported as a conflict, and the merged section keeps our side there (our
// value, or no entry when we removed it).
[[nodiscard]] SectionMergeResult merge_sections(const Section& base, const Section& ours,
                                                const Section& theirs);

// Merges one entry that both sides changed differently, field by field: the
// three strings and `order` by the three-way rule, the attributes by name.
// Returns nullopt when any field conflicts.
[[nodiscard]] std::optional<Value> merge_values(const Value& base, const Value& ours, const Value& theirs);

// Applies the three-way rule to one string: theirs if ours kept the base, ours
// if theirs kept it or both agree; nullopt when both changed it differently.
[[nodiscard]] std::optional<std::string> merge_field(std::string_view base, std::string_view ours,
                                                     std::string_view theirs);

// Merges attribute lists by name, each read as a map in which the last pair of
// a name counts. Returns the merged pairs sorted by name, or nullopt at the
// first name that conflicts.
[[nodiscard]] std::optional<Attributes> merge_attrs(const Attributes& base, const Attributes& ours,
                                                    const Attributes& theirs);

}  // namespace vext
