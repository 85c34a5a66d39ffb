#pragma once

// Faithful XML and JSON files: a file is read into a `TreeNode` tree plus the
// layout that writes it back, byte for byte while nothing changed, and with
// only the changed bytes replaced after an edit.
//
// Parsers. XML is read with expat (Debian's libexpat1-dev): it reports the
// byte position of every event, so each node's bytes can be kept as a span of
// the input instead of being re-rendered; it never loads anything external by
// itself, it refuses undefined entities, and its own element stack does not
// recurse with the nesting depth. JSON is read with RapidJSON's SAX reader
// (Debian's rapidjson-dev, header-only): in iterative mode its stack lives on
// the heap, so nesting depth cannot exhaust the C++ stack; numbers come as
// their literal text (nothing is rounded, big integers stay exact); strings
// are checked to be valid UTF-8 and unescaped once, in C++.
//
// XML onto TreeNode. The root is a "#document" node whose children are, in
// order, the comments, processing instructions and DOCTYPE around the root
// element, and the root element itself. The XML declaration (and a UTF-8 byte
// order mark) is layout of the document, not a node.
//   element      kind = the tag as written (a namespace prefix stays part of
//                it); identity = the value of its first attribute that the
//                `IdAttr` list names (the attribute's own name is kept in the
//                layout and written back); attributes = the other attributes
//                the element carries, in document order, values unescaped
//                (defaults a DTD declares are not added); text = the
//                element's content when that is one run of character data
//                and nothing else; otherwise the runs are "#text" children.
//   "#text"      a run of character data, predefined entities and character
//                references resolved, surrounding whitespace included. A
//                reference to an entity the DOCTYPE declares is never
//                expanded: it stays in the text (and in attribute values) as
//                the characters "&name;", and is written back as the
//                reference. Runs of nothing
//                but whitespace are layout (indentation), never nodes, so
//                re-indenting a file does not change its tree.
//   "#cdata"     a CDATA section; text = its content.
//   "#comment"   text = the comment's content between "<!--" and "-->".
//   "#pi"        text = everything between "<?" and "?>" (target and data).
//   "#doctype"   text = the whole DOCTYPE declaration, verbatim; its internal
//                subset is never expanded.
//
// JSON onto TreeNode. Every value is one node; the root is the top value.
//   "object"     children = its members in file order, each identified by
//                its member name (the node's identity).
//   "array"      children = its elements in order, without identity.
//   "string"     text = the unescaped value.
//   "number"     text = the literal as written ("1.50", "-0", "1e400").
//   "boolean"    text = "true" or "false".
//   "null"       no text.
// A member name that occurs twice in one object is an error: neither value
// can be dropped silently, and a tree cannot hold both under one identity.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "common/stop.h"
#include "tree/tree.h"

namespace vext {

enum class Format : std::uint8_t { Xml, Json };

// An attribute that gives an element its identity: `name` on every element
// when `element` is empty, else only on elements of that tag.
struct IdAttr {
  std::string element;
  std::string name;
  friend bool operator==(const IdAttr&, const IdAttr&) = default;
};

// Whether an attribute called `name` gives an `element` its identity.
bool gives_identity(const std::vector<IdAttr>& id_attrs, std::string_view element, std::string_view name);

// Returns the identity attributes used when none are given: `id` and `xml:id`.
std::vector<IdAttr> default_id_attrs();

// Whether `text` is a number as JSON writes it (RFC 8259).
bool is_json_number(std::string_view text);

// Reads "NAME" or "ELEMENT@NAME"; nullopt when either part is empty.
std::optional<IdAttr> parse_id_attr(std::string_view text);

// A sub-tree that a reader passes over without building it: the node stands
// in the tree as a stub (a node with the stub label and, as its text, the
// sub-tree's fingerprint; see lossless/index.h), with its own layout.
//   XML: an element with content; its start and end tags are read, what
//   lies between them is skipped. JSON: an object or array, whose brackets
//   are read and whose members or elements are skipped.
//   A run: `width` (two or more) consecutive elements of a JSON array, all
//   of one kind, passed over whole from `begin` to `skip_end` (skip_begin
//   is `begin`); one stub stands for them all and keeps each element's
//   fingerprint, found from `prints_at` in ReadOptions::run_prints.
struct Trim {
  std::uint32_t begin = 0;       // the node's first byte
  std::uint32_t skip_begin = 0;  // the first byte passed over
  std::uint32_t skip_end = 0;    // one past the last byte passed over
  std::uint64_t fingerprint = 0;
  std::uint32_t width = 0;  // a run's element count; 0 for one node
  std::uint32_t prints_at = 0;
};

// The kind of the JSON value whose first byte is `first`.
inline std::string_view json_kind(char first) {
  switch (first) {
    case '{': return "object";
    case '[': return "array";
    case '"': return "string";
    case 't': case 'f': return "boolean";
    case 'n': return "null";
    default: return "number";
  }
}

struct ReadOptions {
  std::vector<IdAttr> id_attrs = default_id_attrs();
  std::size_t max_depth = kMaxTreeDepth;
  StopCheck stop{};  // polled every few hundred kilobytes; a stop throws Stopped
  // Reads a sketch of the file (`Document::sketch`): where each node stands
  // and its fingerprint, but no tree. A sketch costs a fraction of a tree,
  // and refuses exactly what a full read refuses.
  bool sketch = false;
  // Sub-trees to pass over, in document order, none inside another; each
  // must be a node the file holds there.
  const std::vector<Trim>* trims = nullptr;
  // With `trims`: how many nodes the tree will have, when the caller knows.
  std::size_t node_count = 0;
  // With `trims` that hold runs: the fingerprints of the runs' elements.
  const std::vector<std::uint64_t>* run_prints = nullptr;
  // Set when the input is a document's `source` read before: UTF-8 already,
  // converted from this encoding (Document::encoding).
  std::optional<std::string> decoded_from{};
};

// Where in the input a problem is; both 1-based.
struct TextPosition {
  std::uint64_t line = 1;
  std::uint64_t column = 1;
  friend bool operator==(const TextPosition&, const TextPosition&) = default;
};

// Why a file could not be read or written. `message` names the problem but
// not the file; the caller adds that.
struct FormatError {
  std::string message;
  std::optional<TextPosition> where;
  // Set, with no problem in the input, when a tree that holds stubs (see
  // Document::stubs) cannot be written or compared as its whole tree would
  // be: the caller starts over with whole trees.
  bool needs_whole_trees = false;
  // Returns the message followed by " (line L, column C)" when there is a place.
  std::string text() const;
  // Returns the error that sets needs_whole_trees.
  static FormatError whole_trees_needed() { return {"a stub is needed whole", std::nullopt, true}; }
};

// Byte positions of one node in `Document::source`. Unused fields stay 0.
struct NodeLayout {
  std::uint32_t begin = 0;       // first byte of the node
  std::uint32_t end = 0;         // one past its last byte
  std::uint32_t head_end = 0;    // XML element: end of the start tag; JSON container: after "{" or "["
  std::uint32_t tail_begin = 0;  // XML element: start of the end tag; JSON container: the "}" or "]"
  std::uint32_t key_begin = 0;   // JSON member: the opening quote of its name
  std::uint32_t gap_begin = 0;   // end of the previous sibling, or of the parent's head
  std::uint32_t close_gap_begin = 0;  // end of the last child, or of the head
  std::uint32_t parent = 0;      // preorder number of the parent (the root's is 0)
  std::uint32_t first_attr = 0;  // XML element: index of its first entry in `Document::attrs`
  std::uint16_t attr_count = 0;  // XML element: attributes written in the start tag, identity included
  std::uint16_t id_attr = 0;     // XML element with identity: which of them gave it
};

// One attribute as written in a start tag: ` name = "value"`.
struct AttrLayout {
  std::uint32_t begin = 0;        // the whitespace before the name
  std::uint32_t name_begin = 0;
  std::uint32_t name_end = 0;
  std::uint32_t value_begin = 0;  // after the opening quote
  std::uint32_t value_end = 0;    // the closing quote
};

namespace detail {
// A layout field that a sketch does not keep: writes are dropped and reads
// give 0. Each field has its own type, so that all of them take no room.
template <int N>
struct Dropped {
  Dropped() = default;
  Dropped(std::uint32_t) {}
  template <class T>
  Dropped& operator=(T) { return *this; }
  operator std::uint32_t() const { return 0; }
};
}  // namespace detail

// What a sketch keeps of a node: the bytes it spans, as NodeLayout has them,
// and its fingerprint. The other fields are there for the reader's sake only.
struct SketchNode {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::uint32_t head_end = 0;
  std::uint32_t tail_begin = 0;
  std::uint32_t key_begin = 0;
  [[no_unique_address]] detail::Dropped<0> gap_begin{};
  [[no_unique_address]] detail::Dropped<1> close_gap_begin{};
  std::uint32_t parent = 0;
  [[no_unique_address]] detail::Dropped<2> first_attr{};
  [[no_unique_address]] detail::Dropped<3> attr_count{};
  [[no_unique_address]] detail::Dropped<4> id_attr{};
  std::uint64_t fingerprint = 0;
};

// How new nodes are laid out, learned from the file.
struct Style {
  std::string newline = "\n";  // empty for a file without line breaks
  std::string indent;          // one level; empty when the file is not indented
  std::string key_sep = ":";   // JSON: between a member name and its value
  std::string item_sep = ",";  // JSON: between items when not indented
};

// A file as read: its bytes, its tree and the layout that ties them together.
// `layout[i]` belongs to the tree's i-th node in preorder (the root is 0).
struct Document {
  Format format = Format::Xml;
  std::string source;
  TreeNode tree;
  std::vector<NodeLayout> layout;
  std::vector<AttrLayout> attrs;
  std::uint32_t prolog_end = 0;  // XML: after the byte order mark and declaration; JSON: after the BOM
  Style style;
  std::vector<IdAttr> id_attrs;
  std::vector<SketchNode> sketch;  // a sketch's nodes in preorder, instead of `layout` and `tree`
  bool stubs = false;              // the tree holds stubs (see ReadOptions::trims)
  // The encoding the file is written in, "" for UTF-8. `source` and every
  // position in the layout are in UTF-8 whatever the file's encoding.
  std::string encoding;
};

// Reads an XML document in the encoding its byte order mark, first bytes or
// declaration say (UTF-8 when none does), as far as iconv knows it.
// Refused, with the line and column: malformed XML, external, unparsed and
// parameter entity declarations, references to entities neither predefined
// nor declared in the file, an escaped "&" before a declared entity's name
// and ";" (it could not be told from the reference), an attribute value whose
// references expand to other references or markup, encodings iconv does not
// know or whose text does not convert back to the same bytes, a declaration
// that names another encoding than the bytes are in, nesting deeper than
// `options.max_depth`, and files of 4 GiB or more. Nothing external is read.
[[nodiscard]] Result<Document, FormatError> read_xml(std::string source, const ReadOptions& options = {});

// Reads a JSON document: UTF-8, or UTF-16 or UTF-32 in either byte order as
// its first four bytes show, with an optional byte order mark. Refused, with
// the line and column: malformed JSON, invalid UTF-8, a member name repeated
// in one object, nesting deeper than `options.max_depth`, files of 4 GiB or
// more.
[[nodiscard]] Result<Document, FormatError> read_json(std::string source, const ReadOptions& options = {});

// Returns `text`, which write_document wrote for `doc` (in UTF-8), in the
// encoding `doc` was read in. In XML, a character the encoding cannot hold
// is written as a character reference where one means the same character
// (text and attribute values); anywhere else it is refused.
[[nodiscard]] Result<std::string, FormatError> encode_like(const Document& doc, std::string text);

// Reads XML when the first character after a byte order mark and whitespace
// is "<", JSON otherwise.
[[nodiscard]] Result<Document, FormatError> read_document(std::string source, const ReadOptions& options = {});

// For each node of a new tree in preorder, the preorder number of the node of
// the original document it came from, or nullopt for a node that is new.
// A node may come from anywhere in the original, and at most one new node
// should come from each original node.
struct Correspondence {
  std::vector<std::optional<std::uint32_t>> origin;
};

// Pairs the nodes of `tree` with those of `original.tree` by position: the
// roots, then, below paired parents, children with the same kind and
// identity, the n-th such child with the n-th. A stand-in for a real matcher,
// which supplies its own correspondence.
[[nodiscard]] Correspondence correspond_by_position(const Document& original, const TreeNode& tree);

// Writes `tree` in the format of `original`, copying the original's bytes for
// every node and attribute that `match` ties to an unchanged original and
// writing only what changed: a changed attribute value replaces just the
// value, a renamed element just its names, a new node takes its indentation
// from its siblings. Fails, writing nothing, when the tree holds what the
// format cannot keep (a name the parser would reject, characters XML cannot
// represent, a comment holding "--", a JSON member without a name, a label,
// ...), or an attribute that would read back as the element's identity.
// With `spans`, also fills it with where each node of `tree`, by preorder
// number, stands in the result: an XML node's markup, a JSON value with its
// member name; the root's span is the whole result.
// With `borrowed`, a node that `match` ties to no original may be written as
// bytes from elsewhere: `borrowed(pre, node)` gives the bytes of the node's
// whole sub-tree (a JSON member's with its name), or nullopt to write it;
// the span of each node below it is then the whole of those bytes.
// With `style`, children that no original sibling shows the way for are
// laid out by it instead of by the original's style.
struct OutputSpan {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
};
using Borrowed = std::function<std::optional<std::string_view>(std::uint32_t pre, const TreeNode& node)>;
[[nodiscard]] Result<std::string, FormatError> write_document(const Document& original, const TreeNode& tree,
                                                              const Correspondence& match,
                                                              std::vector<OutputSpan>* spans = nullptr,
                                                              const Borrowed* borrowed = nullptr,
                                                              const Style* style = nullptr);

}  // namespace vext
