#pragma once

#include <string>

#include "formats/document.h"

namespace vext::detail {

// The writers behind `write_document`, one per format.
Result<std::string, FormatError> write_xml(const Document& original, const TreeNode& tree,
                                           const Correspondence& match);
Result<std::string, FormatError> write_json(const Document& original, const TreeNode& tree,
                                            const Correspondence& match);

}  // namespace vext::detail
