// libFuzzer target for the file layer. The input is up to three files
// separated by "\n@@\n". Every file that reads must write back as its own
// bytes; when all read in one format, they are diffed and merged, and a
// merge without markers must read back in that format.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "files/files.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "formats_fuzz: check failed: %s\n", what);
  std::abort();
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
    if (!doc.ok()) continue;
    auto again = vext::rewrite(*doc);
    if (!again.ok() || *again != file) fail("an unchanged file writes back as its own bytes");
    docs.push_back(std::move(doc).value());
  }
  if (docs.size() != files.size() || docs.size() < 2) return 0;
  for (const vext::Document& d : docs) {
    if (d.format != docs[0].format) return 0;
  }
  const auto changes = vext::diff_documents(docs[0], docs[1]);
  if (changes.empty() != (docs[0].tree == docs[1].tree)) fail("a diff is empty exactly for equal trees");
  if (docs.size() < 3) return 0;
  for (const bool markers : {false, true}) {
    auto merged = vext::merge_documents(docs[0], docs[1], docs[2], markers);
    if (!merged.ok() || markers) continue;
    const vext::ReadOptions options;
    auto back = docs[0].format == vext::Format::Xml ? vext::read_xml(merged->merged, options)
                                                    : vext::read_json(merged->merged, options);
    if (!back.ok()) fail("a merge without markers reads back");
  }
  return 0;
}
