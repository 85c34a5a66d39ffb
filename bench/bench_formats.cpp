// Times reading a large XML file into a tree with its layout, and writing it
// back unchanged.
//   bench_formats --make PATH   writes a ~24 MB catalogue-like XML file to PATH
//   bench_formats PATH          times read_xml on it (best of 5) and prints
//                               "read_xml <seconds>" among other lines
// Build with -DVEXT_BUILD_BENCH=ON (Release); bench/bench_formats.py runs it
// beside Python's own C parser on the same file.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "formats/document.h"

namespace {

std::string make_document(std::size_t target_bytes) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated catalogue -->\n<catalog version=\"2\">\n";
  for (std::size_t i = 0; out.size() < target_bytes; ++i) {
    const std::string n = std::to_string(i);
    out += "  <item id=\"i" + n + "\" sku=\"SKU-" + n + "\" price=\"" + std::to_string(i % 997) + ".50\"\n";
    out += "        currency=\"EUR\" stock=\"" + std::to_string(i % 31) + "\">\n";
    out += "    <name>Product " + n + "</name>\n";
    out += "    <description>Text with <b>bold</b> words &amp; an entity, item " + n + ".</description>\n";
    if (i % 4 == 0) out += "    <!-- reviewed " + n + " -->\n";
    out += "    <tags><tag>t" + std::to_string(i % 13) + "</tag><tag>u" + std::to_string(i % 7) + "</tag></tags>\n";
    out += "  </item>\n";
  }
  out += "</catalog>\n";
  return out;
}

template <class F>
double best_seconds(int runs, F&& body) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--make") == 0) {
    std::ofstream(argv[2], std::ios::binary) << make_document(24'000'000);
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_formats --make PATH | bench_formats PATH\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string source = buffer.str();

  auto first = vext::read_xml(source);
  if (!first.ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[1], first.error().text().c_str());
    return 2;
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("file %.1f MB, %zu nodes, peak RSS after one read %.1f MB\n", static_cast<double>(source.size()) / 1e6,
              first->layout.size(), static_cast<double>(usage.ru_maxrss) / 1e3);
  std::size_t sink = 0;
  const double read = best_seconds(5, [&] { sink += vext::read_xml(source)->layout.size(); });
  const auto match = vext::correspond_by_position(*first, first->tree);
  const double write = best_seconds(5, [&] { sink += vext::write_document(*first, first->tree, match)->size(); });
  std::printf("read_xml %.4f\n", read);
  std::printf("write_document (unchanged, paired) %.4f\n", write);
  return sink == 0;
}
