#pragma once

#include <optional>
#include <string>
#include <vector>

#include "formats/document.h"

namespace vext::detail {

// The readers behind read_xml and read_json: fill `doc`, whose source is set.
std::optional<FormatError> parse_xml(Document& doc, const ReadOptions& options);
std::optional<FormatError> parse_json(Document& doc, const ReadOptions& options);

// The writers behind `write_document`, one per format.
Result<std::string, FormatError> write_xml(const Document& original, const TreeNode& tree,
                                           const Correspondence& match, std::vector<OutputSpan>* spans,
                                           const Borrowed* borrowed, const Style* style);
Result<std::string, FormatError> write_json(const Document& original, const TreeNode& tree,
                                            const Correspondence& match, std::vector<OutputSpan>* spans,
                                            const Borrowed* borrowed, const Style* style);

// Moves `done[at + 1..]` into the children of `done[at]`, and drops them
// from `done`.
void adopt_children(std::vector<TreeNode>& done, std::size_t at);

}  // namespace vext::detail
