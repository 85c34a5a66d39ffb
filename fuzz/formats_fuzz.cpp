// libFuzzer target for the file layer. The input is up to three files
// separated by "\n@@\n". Every file that reads must write back as its own
// bytes, in UTF-16 and UTF-32 as well, and a sketch of it must read exactly
// when the file does; when all read in one format, they are diffed and
// merged, a merge without markers must read back in that format, and the
// calls that trim what the files hold alike must give exactly what whole
// trees give. A JSON file with comments reads as the same tree without them.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/files.h"
#include "formats/encoding.h"
#include "sequence_rule.h"
#include "lossless/index.h"
#include "lossless/lossless.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "formats_fuzz: check failed: %s\n", what);
  std::abort();
}

bool same(const std::vector<vext::FileChange>& a, const std::vector<vext::FileChange>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].op != b[i].op || path_text(a[i].path) != path_text(b[i].path) || a[i].field != b[i].field ||
        a[i].old_value != b[i].old_value || a[i].new_value != b[i].new_value) {
      return false;
    }
  }
  return true;
}

bool same(const vext::FileMerge& a, const vext::FileMerge& b) {
  if (a.merged != b.merged || a.conflicts.size() != b.conflicts.size()) return false;
  for (std::size_t i = 0; i < a.conflicts.size(); ++i) {
    const vext::FileConflict &x = a.conflicts[i], &y = b.conflicts[i];
    if (x.path != y.path || x.field != y.field || x.base != y.base || x.ours != y.ours || x.theirs != y.theirs) {
      return false;
    }
  }
  return true;
}

// The sibling list the rule is checked on: an XML document's root element,
// or JSON's top value.
const vext::TreeNode& list_of(const vext::TreeNode& tree) {
  return tree.children.size() == 1 && !tree.children[0].children.empty() ? tree.children[0] : tree;
}

// Returns JSON text with its comments and trailing commas blanked out, byte
// for byte otherwise; nullopt when a comment is never closed.
std::optional<std::string> without_comments(std::string text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (text.compare(i, 2, "//") == 0) {
      for (; i < text.size() && text[i] != '\n'; ++i) text[i] = ' ';
    } else if (text.compare(i, 2, "/*") == 0) {
      const std::size_t close = text.find("*/", i + 2);
      if (close == std::string::npos) return std::nullopt;
      for (; i < close + 2; ++i) text[i] = ' ';
      --i;
    }
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (text[i] == ',') {
      const std::size_t next = text.find_first_not_of(" \t\r\n", i + 1);
      if (next != std::string::npos && (text[next] == ']' || text[next] == '}')) text[i] = ' ';
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> files;
  for (std::size_t at = 0; files.size() < 3;) {
    const std::size_t sep = input.find("\n@@\n", at);
    files.emplace_back(input.substr(at, sep == std::string_view::npos ? std::string_view::npos : sep - at));
    if (sep == std::string_view::npos) break;
    at = sep + 4;
  }
  std::vector<vext::Document> docs;
  for (const std::string& file : files) {
    auto doc = vext::read_document(file);
    const auto sketch = vext::read_document(file, vext::ReadOptions{.sketch = true});
    if (sketch.ok() != doc.ok() || (!doc.ok() && sketch.error().text() != doc.error().text())) {
      fail("a sketch reads exactly when the file does");
    }
    if (!doc.ok()) continue;
    // Comments and trailing commas are layout: without them, the file reads
    // as the same tree.
    if (doc->format == vext::Format::Json) {
      const auto plain = without_comments(doc->source);
      if (!plain) fail("a JSON file with an open comment is refused");
      auto strict = vext::read_json(*plain);
      if (!strict.ok() || strict->tree != doc->tree) fail("a commented JSON file reads as its values without comments");
    }
    auto again = vext::rewrite(*doc);
    if (!again.ok() || *again != file) fail("an unchanged file writes back as its own bytes");
    // The same text in UTF-16 or UTF-32 reads as the same tree and writes
    // back as its own bytes. A declaration that names UTF-8 is refused there.
    if (doc->encoding.empty()) {
      for (const char* wide : {"UTF-16LE", "UTF-32BE"}) {
        auto bytes = vext::detail::encode(doc->source, wide, false);
        if (!bytes.ok()) fail("UTF-8 text converts to UTF-16 and UTF-32");
        auto wide_doc = vext::read_document(*bytes);
        if (!wide_doc.ok()) continue;
        if (wide_doc->tree != doc->tree) fail("a file reads as the same tree in UTF-16 and UTF-32");
        auto wide_again = vext::rewrite(*wide_doc);
        if (!wide_again.ok() || *wide_again != *bytes) fail("an unchanged UTF-16 or UTF-32 file writes back as itself");
      }
    }
    docs.push_back(std::move(doc).value());
  }
  if (docs.size() != files.size() || docs.size() < 2) return 0;
  for (const vext::Document& d : docs) {
    if (d.format != docs[0].format) return 0;
  }
  const auto changes = vext::diff_documents(docs[0], docs[1]);
  if (changes.ok() && changes->empty() != (docs[0].tree == docs[1].tree)) {
    fail("a diff is empty exactly for equal trees");
  }
  const auto trimmed = vext::diff_files({files[0], files[1]}, {});
  if (trimmed.ok() != changes.ok() || (trimmed.ok() && !same(*trimmed, *changes))) {
    fail("a trimmed diff is the diff of whole trees");
  }
  if (docs.size() < 3) return 0;
  // The files' trees follow the rule of sibling lists, arranged by the
  // input's bytes.
  vext::fuzz::Bytes choices(data, size);
  if (!vext::fuzz::SequenceRule(list_of(docs[0].tree)).holds(choices, list_of(docs[1].tree), list_of(docs[2].tree))) {
    fail("the merge of a sibling list is the model's");
  }
  // The engine, asked to pair children as the file's format does, finds the
  // conflicts the file merge finds.
  const vext::StopCheck never{};
  vext::detail::Ticker ticker(never);
  const auto rule = docs[0].format == vext::Format::Json ? vext::detail::KindRule::Members
                                                         : vext::detail::KindRule::RootElement;
  const vext::detail::IndexedTree ib(docs[0].tree, ticker, 0, false, rule), io(docs[1].tree, ticker, 0, false, rule),
      it(docs[2].tree, ticker, 0, false, rule);
  const std::size_t engine_conflicts = vext::detail::three_way_merge(ib, io, it, ticker).value().conflicts.size();
  for (const bool markers : {false, true}) {
    auto merged = vext::merge_documents(docs[0], docs[1], docs[2], markers);
    const auto trimmed_merge = vext::merge_files({files[0], files[1], files[2]}, {}, markers);
    if (merged.ok() != trimmed_merge.ok() || (merged.ok() && !same(*merged, *trimmed_merge))) {
      fail("a trimmed merge is the merge of whole trees");
    }
    if (merged.ok() && merged->conflicts.size() != engine_conflicts) fail("a file merge reports the engine's conflicts");
    if (!merged.ok() || markers) continue;
    const vext::ReadOptions options;
    auto back = docs[0].format == vext::Format::Xml ? vext::read_xml(merged->merged, options)
                                                    : vext::read_json(merged->merged, options);
    if (!back.ok()) fail("a merge without markers reads back");
  }
  return 0;
}
