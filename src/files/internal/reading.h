#pragma once

// Reading the files of one call: side by side on threads, whole, as
// sketches, or passing over the sub-trees a plan names.

#include <cstddef>
#include <string>
#include <vector>

#include "files/files.h"

namespace vext::detail {

// What each file of a call may pass over, and how many nodes its tree then has.
struct Trims {
  std::vector<std::vector<Trim>> lists;
  std::vector<std::size_t> nodes;
};

// Reads the inputs of one call side by side: as sketches, or with the
// sub-trees `trims` names (one list per input) passed over. With
// `decoded_from`, the inputs are documents' sources read before, and these
// their encodings (see ReadOptions::decoded_from).
Result<std::vector<Document>, FileError> read_side_by_side(std::vector<std::string> sources,
                                                          const FileOptions& options, const StopCheck& stop,
                                                          bool sketch, const Trims* trims,
                                                          const std::vector<std::string>* decoded_from = nullptr);

// Returns the memory malloc holds free to the system: a sketch is large and
// made of few blocks, and the trees read after it are small, so what it
// leaves in the heap would otherwise stay in the process.
void give_back_free_memory();

}  // namespace vext::detail
