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
                                           const Correspondence& match, std::vector<OutputSpan>* spans);
Result<std::string, FormatError> write_json(const Document& original, const TreeNode& tree,
                                            const Correspondence& match, std::vector<OutputSpan>* spans);

// Moves `done[first..]` into `parent`'s children, allocated at their exact
// size, and drops them from `done`.
void adopt_children(TreeNode& parent, std::vector<TreeNode>& done, std::size_t first);

}  // namespace vext::detail
