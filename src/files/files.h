#pragma once

// Diff and merge of whole XML and JSON files. The trees read from the files
// go through the located diff and the three-way merge; what comes back is
// named the way the file's own world names it (an XPath-like path in XML, a
// JSON Pointer in JSON), with values as text, and a merged file that keeps
// ours' bytes wherever the merge did not change them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/chain.h"
#include "common/result.h"
#include "formats/document.h"
#include "lossless/lossless.h"

namespace vext {

// A member that identifies the objects of JSON arrays: an array element
// that is an object holding member `name` with a string or number value
// takes that value as its identity, so that elements pair by it as members
// pair by their names. `pointer` is a JSON Pointer pattern naming the arrays
// it applies to, where "*" stands for any one member name or index; empty
// for every array.
struct IdKey {
  std::string pointer{};
  std::string name{};
  friend bool operator==(const IdKey&, const IdKey&) = default;
};

// Reads "NAME" or "POINTER@NAME" (POINTER starts with "/"); nullopt when a
// part is empty.
std::optional<IdKey> parse_id_key(std::string_view text);

struct FileOptions {
  std::optional<Format> format{};  // nullopt: XML or JSON, seen from each file's first byte
  std::vector<IdAttr> id_attrs = default_id_attrs();
  // The caller chose `id_attrs`: JSON files, which have no attributes, are
  // then refused rather than read as if the choice meant nothing.
  bool id_attrs_chosen = false;
  // Identity keys for JSON arrays; XML files are refused when any is given.
  // Two elements of one array with the same key value are refused: neither
  // could be told from the other.
  std::vector<IdKey> id_keys{};
};

// Why one of a call's files could not be read, or its result not written:
// `which` is the file's place among the inputs, or -1 for the result.
struct FileError {
  int which = -1;
  FormatError error;
};

// Reads the inputs of one call, in order. All must be of one format.
[[nodiscard]] Result<std::vector<Document>, FileError> read_files(std::vector<std::string> sources,
                                                                  const FileOptions& options,
                                                                  const StopCheck& stop = {});

// Pairs the nodes of `tree` with those of `original` the way the merge pairs
// children: by kind and identity, and by aligning anonymous siblings. The
// roots are always paired.
[[nodiscard]] Correspondence pair_trees(const TreeNode& original, const TreeNode& tree, const StopCheck& stop = {});

// Writes `doc` back unchanged: byte for byte its source when the writer can
// keep everything it read.
[[nodiscard]] Result<std::string, FormatError> rewrite(const Document& doc);

// One change between two files.
//   path   XML: "/catalog/product[@id=\"p7\"]/name", "/catalog/item[3]/@price",
//          ".../text()[2]"; JSON: a JSON Pointer, "" for the top value.
//   values a field's text, a whole node as it stands in its file, a position
//          or order as text; nullopt when absent.
// A path as the command prints it, one segment per node ("/catalog",
// "/product[@id=\"p7\"]", "/@price"). Paths that share a prefix share its
// storage, so that the changes of a deep document take memory in proportion
// to their number, however long their paths.
using FilePath = Chain<std::string>;

// The path as text: its segments, joined.
std::string path_text(const FilePath& path);

struct FileChange {
  ChangeOp op = ChangeOp::Update;
  FilePath path{};
  Field field = Field::Text;
  std::optional<std::string> old_value{};
  std::optional<std::string> new_value{};
};

// Returns the changes from `old_doc` to `new_doc` in document order, or the
// error of a value that cannot be written in its file's format.
[[nodiscard]] Result<std::vector<FileChange>, FileError> diff_documents(const Document& old_doc,
                                                                        const Document& new_doc,
                                                                        const StopCheck& stop = {});

struct FileConflict {
  std::string path{};
  Field field = Field::Text;
  std::optional<std::string> base{};
  std::optional<std::string> ours{};
  std::optional<std::string> theirs{};
};

struct FileMerge {
  std::string merged{};
  std::vector<FileConflict> conflicts{};
};

// Merges two files derived from `base` into ours' layout: only the bytes of
// what the merge changed differ from ours. At a conflict the result keeps
// ours' value; with `markers`, every conflict's smallest enclosing element
// (XML) or member (JSON) is written as ours', base's and theirs' versions
// between "<<<<<<< ours", "||||||| base", "=======" and ">>>>>>> theirs" lines.
[[nodiscard]] Result<FileMerge, FileError> merge_documents(const Document& base, const Document& ours,
                                                           const Document& theirs, bool markers,
                                                           const StopCheck& stop = {});

// Reads two files and diffs them, as read_files and diff_documents do. What
// both files hold alike, at places the diff pairs, is never built as a tree,
// so a call takes a fraction of the memory of two whole trees.
[[nodiscard]] Result<std::vector<FileChange>, FileError> diff_files(std::vector<std::string> sources,
                                                                    const FileOptions& options,
                                                                    const StopCheck& stop = {});

// Reads base, ours and theirs and merges them, as read_files and
// merge_documents do, building only what the three files do not hold alike.
[[nodiscard]] Result<FileMerge, FileError> merge_files(std::vector<std::string> sources, const FileOptions& options,
                                                       bool markers, const StopCheck& stop = {});

}  // namespace vext
