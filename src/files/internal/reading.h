#pragma once

// Reading the files of one call: side by side on threads, whole, as
// sketches, or passing over the sub-trees a plan names.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "files/files.h"

namespace vext::detail {

// What each file of a call may pass over, and how many nodes its tree then has.
struct Trims {
  std::vector<std::vector<Trim>> lists;
  std::vector<std::size_t> nodes;
  std::vector<std::uint64_t> run_prints;  // the element fingerprints of every file's runs
};

// What reading the inputs of a call makes of them.
enum class ReadAs : std::uint8_t {
  Trees,     // whole trees (or trees with the sub-trees `trims` names passed over)
  Sketches,  // sketches: each node's span and fingerprint, no tree
};

// Reads the inputs of one call side by side: as sketches, or as trees with
// the sub-trees `trims` names (one list per input) passed over. With
// `decoded_from`, the inputs are documents' sources read before, and these
// their encodings (see ReadOptions::decoded_from).
Result<std::vector<Document>, FileError> read_side_by_side(std::vector<std::string> sources,
                                                          const FileOptions& options, const StopCheck& stop,
                                                          ReadAs read_as, const Trims* trims,
                                                          const std::vector<std::string>* decoded_from = nullptr);

// Returns the memory malloc holds free to the system: a sketch is large and
// made of few blocks, and the trees read after it are small, so what it
// leaves in the heap would otherwise stay in the process.
void give_back_free_memory();

}  // namespace vext::detail
