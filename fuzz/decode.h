// Turns fuzzer bytes into trees, sections and edit sets. The strings come
// from a small alphabet, so match keys, path elements and attribute names
// collide often; "#" and "/" (the separators of path texts and attribute
// keys), NUL, escapes, combining marks, other non-ASCII characters and a few
// byte sequences that are not UTF-8 are all in it.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "patch/patch.h"
#include "common/utf8.h"
#include "section/section.h"
#include "tree/tree.h"

namespace vext::fuzz {

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  // Past the end every read gives 0, so decoding always terminates.
  std::uint8_t next() { return p_ == end_ ? 0 : *p_++; }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

using namespace std::string_view_literals;

// Views with their own lengths, so the NUL piece keeps its byte.
inline constexpr std::string_view kPieces[] = {
    "a"sv, "b"sv, "a"sv, "b"sv, "#"sv, "/"sv, ""sv, "c"sv, "\0"sv, "\t"sv, "\n"sv, "\""sv, "\\"sv, "é"sv,
    "\xcc\x81"sv /* U+0301 */, "\xe2\x80\xa8"sv /* U+2028 */, "\xc2\xa0"sv /* U+00A0 */, " "sv,
    "\xf0\x9f\x98\x80"sv /* U+1F600 */, "\x7f"sv, "\xef\xbb\xbf"sv /* U+FEFF */, "'"sv, "\x1b"sv,
    // Not UTF-8: the core never gets these from Python, but its text form
    // promises a rendering for any bytes.
    "\xff"sv, "\xc3"sv, "\xed\xa0\x80"sv,
};
inline constexpr std::size_t kPieceCount = sizeof(kPieces) / sizeof(kPieces[0]);
static_assert(std::ranges::count(kPieces, "\0"sv) == 1, "the alphabet holds one NUL byte");

// A short string: mostly pieces of the alphabet, sometimes any code point.
inline std::string read_string(Bytes& in) {
  const std::uint8_t head = in.next();
  std::string out;
  const int length = head % 4;
  for (int i = 0; i < length; ++i) {
    const std::uint8_t b = in.next();
    if (b < 0xF0) {
      out.append(kPieces[b % kPieceCount]);
    } else {
      const std::uint32_t cp = (std::uint32_t(in.next()) << 8 | in.next()) * (b - 0xEF) % 0x110000;
      // Surrogates, which UTF-8 cannot hold, move down to the code points before them.
      detail::append_utf8(out, cp >= 0xD800 && cp < 0xE000 ? cp - 0x800 : cp);
    }
  }
  return out;
}

inline TreeNode read_node(Bytes& in) {
  TreeNode node(read_string(in));
  const std::uint8_t flags = in.next();
  if (flags & 1) node.identity = (flags & 2) ? node.kind : read_string(in);
  if (flags & 4) node.text = read_string(in);
  if (flags & 8) node.label = read_string(in);
  for (int i = 0; i < (flags >> 4) % 4; ++i) {
    std::string name = read_string(in);
    node.attributes.emplace_back(std::move(name), read_string(in));
  }
  return node;
}

// Reads a tree as a little program over a stack of open nodes: add a child
// and enter it, add a leaf, leave, grow a chain or a fan. A tree has at most
// `budget` nodes. Diffs and sections hold one full path per node, so their
// size grows with nodes times depth; small trees keep each run to a few
// milliseconds under the sanitizers, and a fan can still pass the width at
// which the engine switches from scanning siblings to indexing them.
inline TreeNode read_tree(Bytes& in, std::size_t max_ops = 32, std::size_t budget = 64) {
  TreeNode root = read_node(in);
  std::vector<TreeNode*> open{&root};
  std::size_t size = 1;
  for (std::size_t op = 0; op < max_ops && !in.empty() && size < budget; ++op) {
    const std::uint8_t code = in.next();
    TreeNode& cur = *open.back();
    switch (code % 8) {
      case 0:
      case 1:
        // Only the current node gains children, and it is the deepest open
        // one, so the pointers in `open` stay valid.
        cur.children.push_back(read_node(in));
        open.push_back(&cur.children.back());
        ++size;
        break;
      case 2:
      case 3:
        cur.children.push_back(read_node(in));
        ++size;
        break;
      case 4:
        if (open.size() > 1) open.pop_back();
        break;
      case 5: {  // a chain below the current node
        TreeNode link = read_node(in);
        TreeNode* at = &cur;
        const std::size_t depth = std::min<std::size_t>(1 + std::size_t(in.next() % 8) * 4, budget - size);
        for (std::size_t i = 0; i < depth; ++i) at = &at->children.emplace_back(link);
        size += depth;
        break;
      }
      case 6: {  // copies of the last child, or of a new leaf
        if (cur.children.empty()) cur.children.push_back(read_node(in));
        const TreeNode copy = cur.children.back();
        const std::size_t copy_size = all_nodes(cur.children.back()).size();
        for (int i = in.next() % 40; i > 0 && size + copy_size <= budget; --i) {
          cur.children.push_back(copy);
          size += copy_size;
        }
        break;
      }
      case 7: {  // swap two children
        if (cur.children.size() > 1) {
          const std::size_t a = in.next() % cur.children.size();
          const std::size_t b = in.next() % cur.children.size();
          std::swap(cur.children[a], cur.children[b]);
        }
        break;
      }
    }
  }
  return root;
}

// Returns a copy of `base` with a few edits: text, attributes, identity and
// kind changes, removals, additions and moves.
inline TreeNode read_edits(Bytes& in, const TreeNode& base, std::size_t max_edits = 8) {
  TreeNode out = base;
  const std::size_t edits = in.next() % (max_edits + 1);
  for (std::size_t e = 0; e < edits; ++e) {
    std::vector<TreeNode*> nodes = all_nodes(out);
    TreeNode& n = *nodes[(std::size_t(in.next()) << 8 | in.next()) % nodes.size()];
    switch (in.next() % 9) {
      case 0: n.text = read_string(in); break;
      case 1:
        if (!n.attributes.empty()) {
          n.attributes[in.next() % n.attributes.size()].second = read_string(in);
          break;
        }
        [[fallthrough]];
      case 2: {
        std::string name = read_string(in);
        n.attributes.emplace_back(std::move(name), read_string(in));
        break;
      }
      case 3:
        if (!n.attributes.empty()) n.attributes.erase(n.attributes.begin() + in.next() % n.attributes.size());
        break;
      case 4:
        if (in.next() & 1) {
          n.identity.reset();
        } else {
          n.identity = read_string(in);
        }
        break;
      case 5: n.kind = read_string(in); break;
      case 6:
        if (!n.children.empty()) n.children.erase(n.children.begin() + in.next() % n.children.size());
        break;
      case 7: {
        const std::size_t at = n.children.empty() ? 0 : in.next() % (n.children.size() + 1);
        n.children.insert(n.children.begin() + at, read_tree(in, 4, 12));
        break;
      }
      case 8:
        if (n.children.size() > 1) {
          const std::size_t a = in.next() % n.children.size();
          const std::size_t b = in.next() % n.children.size();
          std::swap(n.children[a], n.children[b]);
        }
        break;
    }
  }
  return out;
}

// Reads a section entry by entry, in any path order and with any shape:
// missing parents, several roots, repeated paths and equal orders.
inline Section read_section(Bytes& in, std::size_t max_entries = 16) {
  std::vector<std::pair<Path, Value>> entries;
  const std::size_t count = in.next() % (max_entries + 1);
  for (std::size_t e = 0; e < count; ++e) {
    Path path;
    for (int d = in.next() % 4; d > 0; --d) path.push_back(read_string(in));
    TreeNode node = read_node(in);
    entries.emplace_back(std::move(path), Value{.kind = std::move(node.kind),
                                                .label = std::move(node.label),
                                                .text = std::move(node.text),
                                                .attrs = std::move(node.attributes),
                                                .order = in.next() % 4u});
  }
  return Section::from_entries(std::move(entries));
}

// Reads an edit set of any shape: each side present or absent, equal sides,
// values unrelated to any section.
inline EditSet read_edit_set(Bytes& in, const Section& near, std::size_t max_edits = 12) {
  std::vector<std::pair<Path, PointEdit>> edits;
  std::vector<std::pair<Path, Value>> known;  // entries of `near`, to aim at
  for (const auto& entry : near) known.emplace_back(to_path(entry.path), entry.value);
  auto value = [&](std::uint8_t how) -> std::optional<Value> {
    if (how % 3 == 0) return std::nullopt;
    if (how % 3 == 1 && !known.empty()) return known[in.next() % known.size()].second;
    TreeNode node = read_node(in);
    return Value{.kind = std::move(node.kind), .label = std::move(node.label), .text = std::move(node.text),
                 .attrs = std::move(node.attributes), .order = in.next() % 4u};
  };
  const std::size_t count = in.next() % (max_edits + 1);
  for (std::size_t e = 0; e < count; ++e) {
    Path path;
    if (!known.empty() && in.next() % 2) {
      path = known[in.next() % known.size()].first;
    } else {
      for (int d = in.next() % 4; d > 0; --d) path.push_back(read_string(in));
    }
    const std::uint8_t how = in.next();
    PointEdit edit{.before = value(how), .after = value(how / 3)};
    edits.emplace_back(std::move(path), std::move(edit));
  }
  return EditSet::from_entries(std::move(edits));
}

}  // namespace vext::fuzz
