#pragma once

// The merge of a call's own documents, which may drop their trees as it goes.

#include <vector>

#include "files/files.h"

namespace vext::detail {

// Merges `docs` (base, ours, theirs) as merge_documents does, dropping each
// document's tree once the merge no longer needs it.
Result<FileMerge, FileError> merge_consuming(std::vector<Document>& docs, bool markers, const StopCheck& stop);

}  // namespace vext::detail
