#include "files/files.h"

#include <type_traits>
#include <utility>

#include "files/internal/merging.h"
#include "files/internal/pairing.h"
#include "files/internal/reading.h"
#include "files/internal/trimming.h"
#include "formats/splice.h"
#include "lossless/index.h"

namespace vext {
namespace {

using detail::give_back_free_memory;
using detail::read_side_by_side;
using detail::ReadAs;
using detail::Trims;

// Runs `work` on the files of one call, read so that what every file holds
// alike, at places the call pairs, is never built: the files are sketched,
// the shared sub-trees chosen, and the files read again passing over them.
// Should a stub meet anything but its equal, the files are read whole and
// `work` runs again, so the result is always the one whole trees give.
template <class Work>
std::invoke_result_t<Work&, std::vector<Document>&> run_trimmed(std::vector<std::string> sources,
                                                                     const FileOptions& options,
                                                                     const StopCheck& stop, Work work) {
  // The plan and the engine align the same long child lists.
  const AlignmentMemo memo;
  // Identity keys are given to a tree once it is read, so a sketch's
  // fingerprints would not hold them: such files are read whole.
  if (!options.id_keys.empty()) {
    auto whole = read_side_by_side(std::move(sources), options, stop, ReadAs::Trees, nullptr);
    if (!whole.ok()) return whole.error();
    return work(*whole);
  }
  auto sketches = read_side_by_side(std::move(sources), options, stop, ReadAs::Sketches, nullptr);
  if (!sketches.ok()) return sketches.error();
  Trims trims;
  {
    detail::Ticker ticker(stop);
    trims = detail::plan_trims(*sketches, ticker);
  }
  // The sources are read again as the UTF-8 text they were converted to.
  std::vector<std::string> encodings;
  for (const Document& d : *sketches) encodings.push_back(d.encoding);
  auto take_sources = [](std::vector<Document>& docs) {
    std::vector<std::string> out;
    for (Document& d : docs) out.push_back(std::move(d.source));
    docs.clear();
    return out;
  };
  std::vector<std::string> bytes = take_sources(*sketches);
  give_back_free_memory();
  auto docs = read_side_by_side(std::move(bytes), options, stop, ReadAs::Trees, &trims, &encodings);
  trims = Trims();
  if (!docs.ok()) return docs.error();
  auto out = work(*docs);
  if (out.ok() || !out.error().error.needs_whole_trees) return out;
  auto whole = read_side_by_side(take_sources(*docs), options, stop, ReadAs::Trees, nullptr, &encodings);
  if (!whole.ok()) return whole.error();
  return work(*whole);
}

}  // namespace

Result<std::vector<Document>, FileError> read_files(std::vector<std::string> sources, const FileOptions& options,
                                                   const StopCheck& stop) {
  return read_side_by_side(std::move(sources), options, stop, ReadAs::Trees, nullptr);
}

Result<std::vector<FileChange>, FileError> diff_files(std::vector<std::string> sources, const FileOptions& options,
                                                      const StopCheck& stop) {
  auto out = run_trimmed(std::move(sources), options, stop, [&](std::vector<Document>& docs) {
    return diff_documents(docs[0], docs[1], stop);
  });
  give_back_free_memory();
  return out;
}

Result<FileMerge, FileError> merge_files(std::vector<std::string> sources, const FileOptions& options, bool markers,
                                         const StopCheck& stop) {
  auto out = run_trimmed(std::move(sources), options, stop, [&](std::vector<Document>& docs) {
    return detail::merge_consuming(docs, markers, stop);
  });
  // The caller goes on to copy the merged file, in memory the documents held.
  give_back_free_memory();
  return out;
}

std::optional<IdKey> parse_id_key(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text[0] != '/') return IdKey{.pointer = {}, .name = std::string(text)};
  const std::size_t at = text.rfind('@');
  if (at == std::string_view::npos || at + 1 == text.size()) return std::nullopt;
  return IdKey{.pointer = std::string(text.substr(0, at)), .name = std::string(text.substr(at + 1))};
}

Correspondence pair_trees(const TreeNode& original, const TreeNode& tree, const StopCheck& stop) {
  detail::Ticker ticker(stop);
  const detail::Numbered x(original, ticker), y(tree, ticker);
  return detail::pair_numbered(x, y, ticker).value();
}

Result<std::string, FormatError> rewrite(const Document& doc) {
  Correspondence same{std::vector<std::optional<std::uint32_t>>(doc.layout.size())};
  for (std::uint32_t i = 0; i < same.origin.size(); ++i) same.origin[i] = i;
  auto text = write_document(doc, doc.tree, same);
  if (!text.ok()) return text;
  return encode_like(doc, std::move(text).value());
}

}  // namespace vext
