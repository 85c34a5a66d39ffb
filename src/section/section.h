#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "section/path_map.h"
#include "tree/tree.h"

namespace vext {

// What a section stores for one node: its own fields and its index among its
// siblings. The identity lives in the path, the structure in the set of paths.
struct Value {
  std::string kind;
  std::string label;
  std::string text;
  Attributes attrs;
  std::uint64_t order = 0;
  friend bool operator==(const Value&, const Value&) = default;
};

// Copies the value `value` points to, if any.
inline std::optional<Value> copy_of(const Value* value) {
  return value ? std::optional<Value>(*value) : std::nullopt;
}

// The flat form of a tree: one Value per node, keyed by the node's path.
using Section = PathMap<Value>;
static_assert(std::input_iterator<Section::Iterator>);

// Returns the element a node contributes to paths: its identity when it has
// one (even an empty one), otherwise its kind.
[[nodiscard]] std::string_view path_element(const TreeNode& node);

// Receives a tree's section entries in path order: enter() for each path,
// with the node that supplies its value and that value's `order`, and leave()
// once every path below it has been entered and left.
class FlattenVisitor {
 public:
  virtual void enter(std::string_view element, const TreeNode& node, std::uint64_t order) = 0;
  virtual void leave() = 0;

 protected:
  ~FlattenVisitor() = default;
};

// Walks the section of the tree rooted at `root` without building it: the
// walk that to_section stores.
void flatten(const TreeNode& root, FlattenVisitor& visitor);

// Flattens the tree rooted at `root`, one entry per node. Siblings with the
// same path element share their path; the later one's value wins, and their
// sub-trees are merged path by path, later writes winning. Never fails; depth
// costs heap, not stack.
[[nodiscard]] Section to_section(const TreeNode& root);

// Rebuilds a tree: children are ordered by `order` (ties in path order), and a
// node gets its path's last element as identity unless that equals its kind.
// Malformed sections are repaired by dropping: entries under a missing parent
// go with their sub-trees, the empty path is ignored, and of several
// one-element paths the first is the root. Returns nullopt when no root exists.
[[nodiscard]] std::optional<TreeNode> to_tree(const Section& section);

// The steps of that rebuild, for callers that build another tree form: the
// trie node of the root (kNoTrieNode when there is none), the kept children of a
// trie node in rebuild order (replacing `out`), and a node's identity.
[[nodiscard]] std::uint32_t rebuild_root(const Section& section);
void rebuild_children(const Section& section, std::uint32_t at, std::vector<std::uint32_t>& out);
[[nodiscard]] std::optional<std::string_view> rebuilt_identity(const Value& value, std::string_view element);

// Text forms. A Value renders as
//   Value { kind: "k", label: "l", text: "t", attrs: [("n", "v")], order: 0 }
// and an optional Value as Some(<value>) or None. Strings are quoted: NUL, tab,
// CR, LF, backslash and double quote become \0 \t \r \n \\ \"; code points that
// are Grapheme_Extend or of category Cc, Cf, Cs, Co, Cn, Zl, Zp or Zs (except
// the space) become \u{hex} in lower case without leading zeros (Unicode
// 15.0.0); everything else is copied as it is. Input is taken as UTF-8; a
// surrogate encoded in three bytes is decoded and escaped like any other Cs
// code point, and every byte that does not start a well-formed sequence is
// written as \x followed by two lower-case hex digits, so any byte string has
// one deterministic rendering.

// Appends `s` as a quoted string, escaped as in the text form.
void append_quoted(std::string& out, std::string_view s);
// Appends the text form of `value`.
void append_text(std::string& out, const Value& value);
// Appends Some(...) or None.
void append_text(std::string& out, const std::optional<Value>& value);
// Appends a path as ["a", "b"], each element quoted.
void append_path_list(std::string& out, PathView path);
void append_path_list(std::string& out, const Path& path);

[[nodiscard]] std::string to_text(const Value& value);
[[nodiscard]] std::string to_text(const std::optional<Value>& value);

}  // namespace vext
