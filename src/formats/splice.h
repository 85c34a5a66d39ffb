#pragma once

// Pieces shared by the XML and JSON readers and writers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/document.h"
#include "lossless/index.h"

namespace vext::detail {

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Returns one past the comment that starts at `at` in JSON text (`//` to the
// end of its line, the line break excluded; `/* */`, or to the end of `src`
// when unclosed), or `at` when no comment starts there.
std::size_t comment_end(std::string_view src, std::size_t at);

// Returns where the comments that lead in to a JSON value or member start,
// in the gap [gap_begin, lead) before it: the first comment that stands on a
// line of its own, or `lead` when there is none.
std::size_t leading_comments(std::string_view src, std::size_t gap_begin, std::size_t lead);

// What a look over JSON text finds outside its strings.
struct JsoncMarks {
  bool jsonc = false;                       // a comment or a trailing comma
  std::optional<std::size_t> open_comment;  // where a "/*" starts that is never closed
};
JsoncMarks jsonc_marks(std::string_view src);

// Returns the line and column (in code points) of byte `offset`.
TextPosition locate(std::string_view source, std::size_t offset);

// Returns an error at byte `offset` of `source`.
FormatError error_at(std::string message, std::string_view source, std::size_t offset);

// Returns an error without a place.
inline FormatError error(std::string message) { return FormatError{std::move(message), std::nullopt}; }

// Returns the message for input nested deeper than `max_depth`.
std::string too_deep(std::size_t max_depth);

// Returns `text` in double quotes, as a message shows a name or value.
std::string quoted(std::string_view text);

// Returns the offset of the first byte of `text` that is not valid UTF-8 or,
// with `xml_chars`, of the first character XML 1.0 cannot hold.
std::optional<std::size_t> bad_utf8(std::string_view text, bool xml_chars);

// Returns the original's nodes in preorder.
std::vector<const TreeNode*> preorder(const TreeNode& root);

// Returns how many nodes a tree has.
std::size_t count_nodes(const TreeNode& root);

// Returns the indentation of the line a gap ends in: what follows its last
// line break, or nullopt when it has none.
std::optional<std::string_view> line_indent(std::string_view gap);

// What a writer keeps for one node of the new tree while it writes the node's
// children.
struct Frame {
  const TreeNode* node = nullptr;
  std::optional<std::uint32_t> orig;  // the original it came from, when that is of the same sort
  std::size_t next = 0;               // the next child to write
  std::string indent{};               // of the node's own line, for its closing gap
  std::string child_indent{};         // for new children that cannot copy a sibling's gap
  bool inline_children = false;       // children are written without gaps between them (mixed XML)
  bool wrote_child = false;
  bool after_text = false;             // the last thing written is character data (XML)
  std::uint32_t pre = 0;               // the node's preorder number in the new tree
};

// Returns the error for `node`, which cannot be written below the open
// frames `stack`; it names the node by the match keys of its path below the
// root.
FormatError write_failure(const std::vector<Frame>& stack, const TreeNode& node, std::string_view format,
                          std::string_view why);

// Copies original bytes and chooses the whitespace around children, for both
// formats. A child's gap is copied from the original where the child was in
// the same parent at a place of the same sort (first or not), else from a
// sibling's gap, else built from the file's style.
class Splicer {
 public:
  Splicer(const Document& doc, const Correspondence& match, const std::string& comma);

  // Checks that `match` fits the tree; returns the problem otherwise.
  std::optional<FormatError> check_match() const;

  // Returns the original node `pre` came from, when the original's node
  // passes `same_sort`.
  template <class SameSort>
  std::optional<std::uint32_t> origin(std::uint32_t pre, const TreeNode& node, SameSort same_sort) {
    const auto& o = match_.origin[pre];
    if (!o) return std::nullopt;
    // A stub's bytes can only stand for its equal.
    if (is_stub(*original_[*o]) && !(*original_[*o] == node)) {
      needs_whole_trees = true;
      return std::nullopt;
    }
    if (!same_sort(*original_[*o], node)) return std::nullopt;
    return o;
  }
  const TreeNode& original(std::uint32_t pre) const { return *original_[pre]; }
  const NodeLayout& layout(std::uint32_t pre) const { return doc_.layout[pre]; }
  std::string_view bytes(std::uint32_t begin, std::uint32_t end) const {
    return std::string_view(doc_.source).substr(begin, end - begin);
  }
  void copy(std::uint32_t begin, std::uint32_t end) { out.append(doc_.source, begin, end - begin); }
  bool has_children(std::uint32_t pre) const {
    return pre + 1 < doc_.layout.size() && doc_.layout[pre + 1].parent == pre;
  }
  // The first byte of an original child: its member name in JSON, else itself.
  std::uint32_t lead(std::uint32_t pre) const {
    const NodeLayout& l = doc_.layout[pre];
    return l.key_begin ? l.key_begin : l.begin;
  }

  // Sets up `frame` to write children below a node whose own line is
  // indented by `indent` (nullopt: unknown).
  void open(Frame& frame, std::optional<std::string_view> indent, bool document_level) const;
  // Writes the gap before a child whose original is `child` and returns the
  // indentation of the child's line, when known. Whitespace next to
  // character data would join it, so a child that is text, or that follows
  // text, gets none.
  std::optional<std::string_view> gap(Frame& parent, std::optional<std::uint32_t> child, bool text = false);
  // Writes the gap before the parent's closing tag or bracket.
  void closing_gap(const Frame& parent, std::string_view parent_indent);

  // Writes the children of the frames on `stack` depth-first, numbering the
  // new tree's nodes in preorder from 1: `visit(frame, child, pre)` writes a
  // child and may push a frame for its children; `close(frame)` ends a frame
  // whose children are written. Stops at the first problem `visit` returns,
  // naming the node and `format`.
  template <class Visit, class Close>
  std::optional<FormatError> walk(std::vector<Frame>& stack, std::string_view format, Visit visit, Close close) {
    std::uint32_t next_pre = 1;
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.next == f.node->children.size()) {
        close(f);
        end_span(f.pre);
        stack.pop_back();
        continue;
      }
      const TreeNode& child = f.node->children[f.next++];
      const std::uint32_t pre = next_pre++;
      if (pre >= match_.origin.size()) return error("the correspondence does not cover the tree");
      const std::size_t depth = stack.size();
      const std::optional<std::string> problem = visit(f, child, pre);
      if (needs_whole_trees) return FormatError::whole_trees_needed();
      if (problem) return write_failure(stack, child, format, *problem);
      if (stack.size() > depth) {
        stack.back().pre = pre;  // its span ends when the frame closes
      } else {
        end_span(pre);
      }
      // A borrowed sub-tree's nodes all stand in its bytes.
      for (; skip_ > 0; --skip_) {
        if (spans_ && next_pre < spans_->size()) (*spans_)[next_pre] = (*spans_)[pre];
        ++next_pre;
      }
    }
    if (next_pre != match_.origin.size()) return error("the correspondence does not fit the tree");
    return std::nullopt;
  }

  // Writes the bytes `borrowed_` gives for a node without an original, and
  // passes over its sub-tree; returns whether it did.
  bool borrow(std::uint32_t pre, const TreeNode& node) {
    if (!borrowed_ || match_.origin[pre]) return false;
    const std::optional<std::string_view> bytes = (*borrowed_)(pre, node);
    if (!bytes) return false;
    out += *bytes;
    skip_ = static_cast<std::uint32_t>(count_nodes(node) - 1);
    return true;
  }

  // Marks where the node `pre` starts in `out`, when spans are kept.
  void begin_span(std::uint32_t pre) {
    if (spans_) (*spans_)[pre].begin = static_cast<std::uint32_t>(out.size());
  }
  void end_span(std::uint32_t pre) {
    if (spans_) (*spans_)[pre].end = static_cast<std::uint32_t>(out.size());
  }

  std::string out;
  // Set when the tree asks for a stub's bytes where only its equal could
  // give them: what is written then is not the result, and walk stops.
  bool needs_whole_trees = false;
  std::vector<OutputSpan>* spans_ = nullptr;
  const Borrowed* borrowed_ = nullptr;
  const Style* style_ = nullptr;  // for gaps no original shows; the document's own when null

 private:
  std::optional<std::string_view> first_gap(std::uint32_t parent) const;
  std::optional<std::string_view> sep_gap(std::uint32_t parent) const;
  void built_gap(const Frame& parent);
  const Style& style() const { return style_ ? *style_ : doc_.style; }

  const Document& doc_;
  const Correspondence& match_;
  const std::string& comma_;
  std::vector<const TreeNode*> original_;
  std::uint32_t skip_ = 0;  // nodes of a borrowed sub-tree not yet numbered
};

}  // namespace vext::detail
