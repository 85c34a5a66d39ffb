#include "section/section.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "section/unicode_tables.h"

namespace vext {
namespace {

// Sorts [first, last) stably with `less`; short runs, the common case for
// sibling lists, are sorted in place without the allocation of stable_sort.
template <class It, class Less>
void stable_sort_small(It first, It last, Less less) {
  if (last - first > 32) {
    std::stable_sort(first, last, less);
    return;
  }
  for (It i = first + (first != last ? 1 : 0); i < last; ++i) {
    auto item = std::move(*i);
    It j = i;
    for (; j != first && less(item, *(j - 1)); --j) *j = std::move(*(j - 1));
    *j = std::move(item);
  }
}

Value make_value(const TreeNode& node, std::uint64_t order) {
  return Value{.kind = node.kind,
               .label = node.label,
               .text = node.text,
               .attrs = node.attributes,
               .order = order};
}

// A child waiting to be flattened, with its index among its own siblings.
// `prefix` holds the element's first eight bytes as a big-endian number
// (zero-padded), which orders most pairs without reading the strings.
struct Pending {
  const TreeNode* node;
  std::uint64_t order;
  std::string_view element;
  std::uint64_t prefix;
};

std::uint64_t prefix_of(std::string_view s) {
  unsigned char bytes[8] = {};
  if (!s.empty()) std::memcpy(bytes, s.data(), std::min<std::size_t>(8, s.size()));
  std::uint64_t v = 0;
  for (unsigned char b : bytes) v = v << 8 | b;
  return v;
}

bool element_less(const Pending& a, const Pending& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  return a.element < b.element;
}

// A group of nodes that share one path: the children of all its members,
// sorted by element, occupy pending[begin, end); `next` is the first one not
// yet written.
struct Group {
  std::size_t begin;
  std::size_t end;
  std::size_t next;
};

// Appends the children of pending[first, last) to `pending`, sorted stably by
// element, and returns their group. Stability keeps siblings that share an
// element in document order, which is the order they were written in.
Group open_group(std::vector<Pending>& pending, std::size_t first, std::size_t last) {
  const std::size_t begin = pending.size();
  for (std::size_t m = first; m < last; ++m) {
    const TreeNode* member = pending[m].node;
    std::uint64_t index = 0;
    for (const TreeNode& child : member->children) {
      const std::string_view element = path_element(child);
      pending.push_back({&child, index++, element, prefix_of(element)});
    }
  }
  stable_sort_small(pending.begin() + static_cast<std::ptrdiff_t>(begin), pending.end(), element_less);
  return {begin, pending.size(), begin};
}

// Stores each entry it is handed in a section builder.
class SectionWriter final : public FlattenVisitor {
 public:
  explicit SectionWriter(Section::Builder& out) : out_(out) {}
  void enter(std::string_view element, const TreeNode& node, std::uint64_t order) override {
    if (depth_++ > 0) out_.move_to(depth_, element);
    out_.set(make_value(node, order));
  }
  void leave() override { --depth_; }

 private:
  Section::Builder& out_;
  std::size_t depth_ = 0;  // the builder stands on the root's path already
};

TreeNode make_node(const Value& value, std::string_view element) {
  TreeNode node(value.kind);
  if (auto identity = rebuilt_identity(value, element)) node.identity.emplace(*identity);
  node.label = value.label;
  node.attributes = value.attrs;
  node.text = value.text;
  return node;
}

void append_hex(std::string& out, std::uint32_t v) {
  char buf[8];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, 16);
  out.append(buf, res.ptr);
}

bool is_escaped(std::uint32_t cp) {
  const auto* table = detail::kEscapedRanges;
  const auto* end = table + std::size(detail::kEscapedRanges);
  const auto* it = std::upper_bound(table, end, cp, [](std::uint32_t c, const detail::CodePointRange& r) {
    return c < r.first;
  });
  return it != table && cp <= (it - 1)->last;
}

// Decodes one UTF-8 sequence at s[i]. Returns its length and sets `cp`, or
// returns 0 when s[i] does not start a well-formed sequence. Surrogates are
// accepted so that they can be written as escapes.
std::size_t decode_utf8(std::string_view s, std::size_t i, std::uint32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  const std::size_t left = s.size() - i;
  const auto cont = [&](std::size_t k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return k < left && byte(i + k) >= lo && byte(i + k) <= hi;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (!cont(1)) return 0;
    cp = (b0 & 0x1Fu) << 6 | (byte(i + 1) & 0x3Fu);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (!cont(1, b0 == 0xE0 ? 0xA0 : 0x80) || !cont(2)) return 0;
    cp = (b0 & 0x0Fu) << 12 | (byte(i + 1) & 0x3Fu) << 6 | (byte(i + 2) & 0x3Fu);
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (!cont(1, b0 == 0xF0 ? 0x90 : 0x80, b0 == 0xF4 ? 0x8F : 0xBF) || !cont(2) || !cont(3)) {
      return 0;
    }
    cp = (b0 & 0x07u) << 18 | (byte(i + 1) & 0x3Fu) << 12 | (byte(i + 2) & 0x3Fu) << 6 |
         (byte(i + 3) & 0x3Fu);
    return 4;
  }
  return 0;
}

// Appends `s` as a quoted string.
void quote_into(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t copied = 0;  // s[copied, i) is waiting to be copied unchanged
  const auto flush = [&](std::size_t i) { out.append(s.data() + copied, i - copied); };
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
        ++i;
        continue;
      }
      flush(i);
      switch (c) {
        case '\0': out.append("\\0"); break;
        case '\t': out.append("\\t"); break;
        case '\r': out.append("\\r"); break;
        case '\n': out.append("\\n"); break;
        case '\\': out.append("\\\\"); break;
        case '"': out.append("\\\""); break;
        default:
          out.append("\\u{");
          append_hex(out, c);
          out.push_back('}');
      }
      copied = ++i;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t len = decode_utf8(s, i, cp);
    if (len == 0) {
      flush(i);
      out.append("\\x");
      if (c < 0x10) out.push_back('0');
      append_hex(out, c);
      copied = ++i;
      continue;
    }
    if (is_escaped(cp)) {
      flush(i);
      out.append("\\u{");
      append_hex(out, cp);
      out.push_back('}');
      copied = i + len;
    }
    i += len;
  }
  flush(s.size());
  out.push_back('"');
}

template <class Elements>
void append_elements(std::string& out, const Elements& path) {
  out.push_back('[');
  bool first = true;
  for (const auto& element : path) {
    if (!first) out.append(", ");
    first = false;
    quote_into(out, element);
  }
  out.push_back(']');
}

}  // namespace

void append_quoted(std::string& out, std::string_view s) { quote_into(out, s); }

std::string_view path_element(const TreeNode& node) {
  return node.identity ? std::string_view(*node.identity) : std::string_view(node.kind);
}

void flatten(const TreeNode& root, FlattenVisitor& visitor) {
  // Siblings that share an element are visited as one group: their paths
  // coincide, so the last member supplies the value and the members'
  // children are merged, later ones winning path by path. The walk keeps its
  // state in `pending` and a stack of groups, not on the call stack.
  visitor.enter(path_element(root), root, 0);
  std::vector<Pending> pending{{&root, 0, {}, 0}};
  std::vector<Group> groups{open_group(pending, 0, 1)};
  while (!groups.empty()) {
    Group& group = groups.back();
    if (group.next == group.end) {
      pending.resize(group.begin);
      groups.pop_back();
      visitor.leave();
      continue;
    }
    const std::size_t first = group.next;
    std::size_t last = first + 1;
    while (last < group.end && pending[last].element == pending[first].element) ++last;
    group.next = last;
    visitor.enter(pending[first].element, *pending[last - 1].node, pending[last - 1].order);
    groups.push_back(open_group(pending, first, last));
  }
}

Section to_section(const TreeNode& root) {
  std::size_t nodes = 1;
  std::vector<const TreeNode*> stack{&root};
  while (!stack.empty()) {
    const TreeNode* n = stack.back();
    stack.pop_back();
    nodes += n->children.size();
    for (const TreeNode& child : n->children) {
      if (!child.children.empty()) stack.push_back(&child);
    }
  }
  Section::Builder builder;
  builder.reserve(nodes + 1);  // the empty path's node comes on top
  builder.move_to(1, path_element(root));
  SectionWriter writer(builder);
  flatten(root, writer);
  return std::move(builder).finish();
}

std::optional<std::string_view> rebuilt_identity(const Value& value, std::string_view element) {
  if (element == value.kind) return std::nullopt;
  return element;
}

std::uint32_t rebuild_root(const Section& section) {
  // The root is the first one-element path holding a value; the others, and
  // anything reachable only through a path without a value, are left out.
  if (section.empty()) return kNoTrieNode;
  for (std::uint32_t kid : section.trie().children_of(0)) {
    if (section.value_at(kid)) return kid;
  }
  return kNoTrieNode;
}

void rebuild_children(const Section& section, std::uint32_t at, std::vector<std::uint32_t>& out) {
  out.clear();
  for (std::uint32_t kid : section.trie().children_of(at)) {
    if (section.value_at(kid)) out.push_back(kid);
  }
  // Children come in path order, so ties in `order` stay in path order.
  stable_sort_small(out.begin(), out.end(), [&](std::uint32_t a, std::uint32_t b) {
    return section.value_at(a)->order < section.value_at(b)->order;
  });
}

std::optional<TreeNode> to_tree(const Section& section) {
  const std::uint32_t root = rebuild_root(section);
  if (root == kNoTrieNode) return std::nullopt;
  const PathTrie& trie = section.trie();
  TreeNode tree = make_node(*section.value_at(root), trie.node(root).element);
  std::vector<std::pair<std::uint32_t, TreeNode*>> stack{{root, &tree}};
  std::vector<std::uint32_t> kids;
  while (!stack.empty()) {
    const auto [at, parent] = stack.back();
    stack.pop_back();
    rebuild_children(section, at, kids);
    // The exact reservation keeps every pointer pushed below valid.
    parent->children.reserve(kids.size());
    for (std::uint32_t kid : kids) {
      TreeNode& child =
          parent->children.emplace_back(make_node(*section.value_at(kid), trie.node(kid).element));
      if (trie.node(kid).child_count > 0) stack.emplace_back(kid, &child);
    }
  }
  return tree;
}


void append_text(std::string& out, const Value& value) {
  out.append("Value { kind: ");
  quote_into(out, value.kind);
  out.append(", label: ");
  quote_into(out, value.label);
  out.append(", text: ");
  quote_into(out, value.text);
  out.append(", attrs: [");
  bool first = true;
  for (const auto& [name, val] : value.attrs) {
    if (!first) out.append(", ");
    first = false;
    out.push_back('(');
    quote_into(out, name);
    out.append(", ");
    quote_into(out, val);
    out.push_back(')');
  }
  out.append("], order: ");
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value.order);
  out.append(buf, res.ptr);
  out.append(" }");
}

void append_text(std::string& out, const std::optional<Value>& value) {
  if (!value) {
    out.append("None");
    return;
  }
  out.append("Some(");
  append_text(out, *value);
  out.push_back(')');
}

void append_path_list(std::string& out, PathView path) { append_elements(out, path); }
void append_path_list(std::string& out, const Path& path) { append_elements(out, path); }

std::string to_text(const Value& value) {
  std::string out;
  append_text(out, value);
  return out;
}

std::string to_text(const std::optional<Value>& value) {
  std::string out;
  append_text(out, value);
  return out;
}

}  // namespace vext
