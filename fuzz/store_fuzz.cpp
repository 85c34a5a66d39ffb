// libFuzzer target for the decoders of the store's objects. The first byte
// chooses the decoder (node, chunk or commit), the rest is the object's
// bytes, which the pack decoder reads as well. Whatever decodes must encode
// back to exactly the same bytes, since an object's id is the hash of its
// bytes and each content has one encoding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/object.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "store_fuzz: check failed: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (auto pack = vext::store::decode_pack(bytes)) {
    if (vext::store::encode(*pack) != bytes) fail("a pack encodes back differently");
    if (pack->empty()) fail("an empty pack");
  }
  switch (data[0] % 3) {
    case 0:
      if (auto node = vext::store::decode_node(bytes)) {
        if (vext::store::encode(*node) != bytes) fail("a node encodes back differently");
        if (node->level == 0 && node->items.size() != node->child_count) fail("a node's child count");
      }
      break;
    case 1:
      if (auto chunk = vext::store::decode_chunk(bytes)) {
        if (vext::store::encode(*chunk) != bytes) fail("a chunk encodes back differently");
        if (chunk->items.empty() || chunk->items.size() > vext::store::kMaxChunk) fail("a chunk's size");
      }
      break;
    default:
      if (auto commit = vext::store::decode_commit(bytes)) {
        if (vext::store::encode(*commit) != bytes) fail("a commit encodes back differently");
      }
  }
  return 0;
}
