#include "formats/document.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <utility>

#include "formats/encoding.h"
#include "formats/splice.h"
#include "formats/write.h"

namespace vext {

bool gives_identity(const std::vector<IdAttr>& id_attrs, std::string_view element, std::string_view name) {
  for (const IdAttr& a : id_attrs) {
    if (a.name == name && (a.element.empty() || a.element == element)) return true;
  }
  return false;
}

std::vector<IdAttr> default_id_attrs() { return {IdAttr{"", "id"}, IdAttr{"", "xml:id"}}; }

std::optional<IdAttr> parse_id_attr(std::string_view text) {
  const std::size_t at = text.rfind('@');
  if (at == std::string_view::npos) {
    if (text.empty()) return std::nullopt;
    return IdAttr{"", std::string(text)};
  }
  if (at == 0 || at + 1 == text.size()) return std::nullopt;
  return IdAttr{std::string(text.substr(0, at)), std::string(text.substr(at + 1))};
}

std::string FormatError::text() const {
  if (!where) return message;
  return message + " (line " + std::to_string(where->line) + ", column " + std::to_string(where->column) + ")";
}

namespace {

using Parser = std::optional<FormatError> (*)(Document&, const ReadOptions&);

// Parses UTF-8 `text`, converted from `encoding` ("" when it is the file's own).
Result<Document, FormatError> parse(std::string text, std::string encoding, const ReadOptions& options,
                                    Parser parser) {
  Document doc;
  doc.source = std::move(text);
  doc.encoding = std::move(encoding);
  if (auto failure = parser(doc, options)) return *std::move(failure);
  return doc;
}

Result<Document, FormatError> parse_in(std::string source, const std::string& encoding, const ReadOptions& options,
                                       Parser parser) {
  if (encoding.empty()) return parse(std::move(source), {}, options, parser);
  auto text = detail::decode(source, encoding);
  if (!text.ok()) return text.error();
  source = std::string();
  return parse(std::move(text).value(), encoding, options, parser);
}

}  // namespace

Result<Document, FormatError> read_document(std::string source, const ReadOptions& options) {
  // UTF-16 and UTF-32 are converted first, to see the first character.
  std::string encoding;
  if (options.decoded_from) {
    encoding = *options.decoded_from;
  } else if (auto wide = detail::wide_encoding(source)) {
    encoding = *std::move(wide);
    auto text = detail::decode(source, encoding);
    if (!text.ok()) return text.error();
    source = std::move(text).value();
  }
  std::size_t i = source.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (i < source.size() && detail::is_space(source[i])) ++i;
  const bool xml = i < source.size() && source[i] == '<';
  if (!options.decoded_from && encoding.empty()) {
    return xml ? read_xml(std::move(source), options) : read_json(std::move(source), options);
  }
  return parse(std::move(source), std::move(encoding), options, xml ? detail::parse_xml : detail::parse_json);
}

Result<Document, FormatError> read_xml(std::string source, const ReadOptions& options) {
  if (options.decoded_from) return parse(std::move(source), *options.decoded_from, options, detail::parse_xml);
  auto encoding = detail::xml_encoding(source);
  if (!encoding.ok()) return encoding.error();
  return parse_in(std::move(source), *encoding, options, detail::parse_xml);
}

Result<Document, FormatError> read_json(std::string source, const ReadOptions& options) {
  if (options.decoded_from) return parse(std::move(source), *options.decoded_from, options, detail::parse_json);
  const std::string encoding = detail::wide_encoding(source).value_or("");
  return parse_in(std::move(source), encoding, options, detail::parse_json);
}

Result<std::string, FormatError> encode_like(const Document& doc, std::string text) {
  if (doc.encoding.empty()) return text;
  const bool xml = doc.format == Format::Xml;
  bool referenced = false;
  auto bytes = detail::encode(text, doc.encoding, xml, &referenced);
  if (!bytes.ok() || !referenced) return bytes;
  // A reference means its character only in text and attribute values: the
  // file must read back as the tree the text holds.
  auto meant = read_xml(std::move(text), ReadOptions{.id_attrs = doc.id_attrs, .decoded_from = doc.encoding});
  auto got = read_xml(*bytes, ReadOptions{.id_attrs = doc.id_attrs});
  if (!meant.ok() || !got.ok() || meant->tree != got->tree) {
    return detail::error("the result holds characters that " + doc.encoding + " cannot hold, outside text and attribute values");
  }
  return bytes;
}

Correspondence correspond_by_position(const Document& original, const TreeNode& tree) {
  // Walks both trees in preorder; below a paired parent, the n-th child with
  // a given kind and identity takes the n-th original child with the same.
  const std::vector<const TreeNode*> nodes = detail::preorder(original.tree);
  const std::size_t n = original.layout.size();
  // The original's children, grouped by parent in document order.
  std::vector<std::uint32_t> first(n + 1, 0);
  for (std::size_t c = 1; c < n; ++c) ++first[original.layout[c].parent + 1];
  for (std::size_t p = 0; p < n; ++p) first[p + 1] += first[p];
  std::vector<std::uint32_t> kids_of(n > 0 ? n - 1 : 0);
  std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
  for (std::uint32_t c = 1; c < n; ++c) kids_of[fill[original.layout[c].parent]++] = c;

  using Key = std::pair<std::string_view, std::optional<std::string_view>>;
  auto key_of = [](const TreeNode& node) {
    return Key(node.kind, node.identity ? std::optional<std::string_view>(*node.identity) : std::nullopt);
  };
  struct Step {
    const TreeNode* node;
    std::optional<std::uint32_t> orig;
  };
  Correspondence match;
  std::vector<Step> stack{{&tree, n > 0 ? std::optional<std::uint32_t>(0) : std::nullopt}};
  std::vector<std::optional<std::uint32_t>> paired;
  while (!stack.empty()) {
    const Step step = stack.back();
    stack.pop_back();
    match.origin.push_back(step.orig);
    const auto& kids = step.node->children;
    paired.assign(kids.size(), std::nullopt);
    if (step.orig && !kids.empty()) {
      std::map<Key, std::vector<std::uint32_t>> pending;
      for (std::uint32_t i = first[*step.orig + 1]; i-- > first[*step.orig];) {
        pending[key_of(*nodes[kids_of[i]])].push_back(kids_of[i]);
      }
      for (std::size_t k = 0; k < kids.size(); ++k) {
        auto it = pending.find(key_of(kids[k]));
        if (it == pending.end() || it->second.empty()) continue;
        paired[k] = it->second.back();
        it->second.pop_back();
      }
    }
    for (std::size_t k = kids.size(); k-- > 0;) stack.push_back({&kids[k], paired[k]});
  }
  return match;
}

Result<std::string, FormatError> write_document(const Document& original, const TreeNode& tree,
                                                const Correspondence& match, std::vector<OutputSpan>* spans,
                                                const Borrowed* borrowed, const Style* style) {
  if (spans) spans->assign(match.origin.size(), OutputSpan{});
  auto out = original.format == Format::Xml ? detail::write_xml(original, tree, match, spans, borrowed, style)
                                            : detail::write_json(original, tree, match, spans, borrowed, style);
  if (spans && out.ok() && !spans->empty()) (*spans)[0] = OutputSpan{0, static_cast<std::uint32_t>(out->size())};
  return out;
}

namespace detail {

TextPosition locate(std::string_view source, std::size_t offset) {
  offset = std::min(offset, source.size());
  TextPosition at;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (source[i] == '\n' || (source[i] == '\r' && (i + 1 == source.size() || source[i + 1] != '\n'))) {
      ++at.line;
      line_start = i + 1;
    }
  }
  for (std::size_t i = line_start; i < offset; ++i) {
    if ((static_cast<unsigned char>(source[i]) & 0xC0) != 0x80) ++at.column;
  }
  return at;
}

FormatError error_at(std::string message, std::string_view source, std::size_t offset) {
  return FormatError{std::move(message), locate(source, offset)};
}

void adopt_children(std::vector<TreeNode>& done, std::size_t at) {
  const std::size_t count = done.size() - at - 1;
  // A long list of children takes over the list they wait in, when that
  // has little room to spare, and the list is built again from the few
  // nodes before them: a copy of the children would double their memory
  // for a moment.
  if (count >= 4096 && at < count / 64 && done.capacity() - done.size() < count / 8) {
    std::vector<TreeNode> kids = std::move(done);
    done = std::vector<TreeNode>();
    done.reserve(at + 64);
    std::move(kids.begin(), kids.begin() + static_cast<std::ptrdiff_t>(at + 1), std::back_inserter(done));
    kids.erase(kids.begin(), kids.begin() + static_cast<std::ptrdiff_t>(at + 1));
    done[at].children = std::move(kids);
    return;
  }
  const auto from = done.begin() + static_cast<std::ptrdiff_t>(at + 1);
  TreeNode& parent = done[at];
  parent.children.reserve(count);
  std::move(from, done.end(), std::back_inserter(parent.children));
  done.erase(from, done.end());
}

std::string too_deep(std::size_t max_depth) {
  const std::string digits = std::to_string(max_depth);
  std::string out = "nested deeper than ";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out + " levels";
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  out.append(text.substr(0, 80));
  if (text.size() > 80) out += "...";
  out += '"';
  return out;
}

std::vector<const TreeNode*> preorder(const TreeNode& root) {
  std::vector<const TreeNode*> out;
  std::vector<const TreeNode*> stack{&root};
  while (!stack.empty()) {
    const TreeNode* n = stack.back();
    stack.pop_back();
    out.push_back(n);
    for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) stack.push_back(&*it);
  }
  return out;
}

std::optional<std::size_t> bad_utf8(std::string_view text, bool xml_chars) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      if (xml_chars && c < 0x20 && c != '\t' && c != '\n' && c != '\r') return i;
      ++i;
      continue;
    }
    const int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || c > 0xF4 || i + len > n) return i;
    char32_t cp = c & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ||
        (xml_chars && (cp == 0xFFFE || cp == 0xFFFF))) {
      return i;
    }
    i += static_cast<std::size_t>(len);
  }
  return std::nullopt;
}

std::size_t count_nodes(const TreeNode& root) {
  std::size_t n = 0;
  std::vector<const TreeNode*> stack{&root};
  while (!stack.empty()) {
    const TreeNode* at = stack.back();
    stack.pop_back();
    ++n;
    for (const TreeNode& c : at->children) stack.push_back(&c);
  }
  return n;
}

std::optional<std::string_view> line_indent(std::string_view gap) {
  const std::size_t nl = gap.rfind('\n');
  if (nl == std::string_view::npos) return std::nullopt;
  return gap.substr(nl + 1);
}

FormatError write_failure(const std::vector<Frame>& stack, const TreeNode& node, std::string_view format,
                          std::string_view why) {
  std::string path;
  for (std::size_t i = 1; i < stack.size(); ++i) path += match_key(*stack[i].node) + "/";
  if (stack.empty() || stack.back().node != &node) path += match_key(node);
  return error("cannot write " + quoted(path) + " as " + std::string(format) + ": " + std::string(why));
}

Splicer::Splicer(const Document& doc, const Correspondence& match, const std::string& comma)
    : doc_(doc), match_(match), comma_(comma), original_(preorder(doc.tree)) {
  out.reserve(doc.source.size() + doc.source.size() / 16);
}

std::optional<FormatError> Splicer::check_match() const {
  for (const auto& o : match_.origin) {
    if (o && *o >= original_.size()) return error("a node is paired with an original node that does not exist");
  }
  return std::nullopt;
}

void Splicer::open(Frame& frame, std::optional<std::string_view> indent, bool document_level) const {
  frame.child_indent.clear();
  if (document_level) return;
  if (indent) frame.child_indent.assign(*indent);
  frame.child_indent += style().indent;
}

std::optional<std::string_view> Splicer::first_gap(std::uint32_t parent) const {
  if (!has_children(parent)) return std::nullopt;
  return bytes(doc_.layout[parent].head_end, lead(parent + 1));
}

std::optional<std::string_view> Splicer::sep_gap(std::uint32_t parent) const {
  if (!has_children(parent)) return std::nullopt;
  const std::uint32_t first = parent + 1;
  if (original_[first]->kind == "#text") return std::nullopt;
  const std::uint32_t from = doc_.layout[first].end;
  const std::uint32_t stop = doc_.layout[parent].tail_begin;
  std::uint32_t pos = from;
  bool comma = false;
  while (pos < stop && (is_space(doc_.source[pos]) || (!comma_.empty() && doc_.source[pos] == ','))) {
    comma = comma || doc_.source[pos] == ',';
    ++pos;
  }
  // A JSON list on one line whose only item has a trailing comma: the
  // comma and the space after it separate items.
  if (pos >= stop && comma && bytes(from, pos).find('\n') == std::string_view::npos) return bytes(from, pos);
  if (pos >= stop || (comma_.empty() ? doc_.source[pos] != '<' : !comma)) return std::nullopt;
  // A comment after the comma in a list laid out on lines: what follows the
  // comma is the comment's layout, not a separator's.
  if (!comma_.empty() && doc_.source[pos] == '/' && bytes(from, stop).find('\n') != std::string_view::npos) {
    return std::nullopt;
  }
  return bytes(from, pos);
}

std::optional<std::string_view> Splicer::gap(Frame& parent, std::optional<std::uint32_t> child, bool text) {
  const bool first = !parent.wrote_child;
  parent.wrote_child = true;
  const bool bare = text || parent.after_text;
  parent.after_text = text;
  if (bare) return std::nullopt;
  if (child && parent.orig && doc_.layout[*child].parent == *parent.orig) {
    const NodeLayout& c = doc_.layout[*child];
    const bool was_first = c.gap_begin == doc_.layout[*parent.orig].head_end;
    if (was_first == first) {
      const std::string_view g = bytes(c.gap_begin, lead(*child));
      out += g;
      return line_indent(g);
    }
  }
  if (parent.orig && !parent.inline_children) {
    if (const auto g = first ? first_gap(*parent.orig) : sep_gap(*parent.orig)) {
      out += *g;
      return line_indent(*g);
    }
  }
  if (parent.inline_children) return std::nullopt;
  const Style& style = this->style();
  if (parent.node->kind == "#document") {  // XML's top level: one node per line
    out += style.newline;
    return std::string_view();
  }
  if (style.indent.empty() && parent.child_indent.empty()) {
    if (!first) out += style.item_sep;
    return std::nullopt;
  }
  if (!first) out += comma_;
  out += style.newline;
  out += parent.child_indent;
  return parent.child_indent;
}

void Splicer::closing_gap(const Frame& parent, std::string_view parent_indent) {
  if (parent.after_text) return;
  if (parent.orig) {
    const NodeLayout& l = doc_.layout[*parent.orig];
    if (has_children(*parent.orig) || !parent.wrote_child) {
      copy(l.close_gap_begin, l.tail_begin);
      return;
    }
  }
  if (!parent.wrote_child || parent.inline_children) return;
  if (style().indent.empty() && parent.child_indent.empty()) return;
  out += style().newline;
  out += parent_indent;
}

}  // namespace detail
}  // namespace vext
