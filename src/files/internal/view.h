#pragma once

// A document seen by the paths and values the file layer reports: nodes by
// preorder number, each named by a path segment, each value as text.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "formats/document.h"
#include "formats/splice.h"
#include "lossless/index.h"
#include "lossless/lossless.h"

namespace vext::detail {

// Whether an XML node is an element (not text, a comment and so on).
inline bool is_element(const TreeNode& n) { return !n.kind.empty() && n.kind[0] != '#'; }

// A child as a step names it: kind, identity and place among the siblings
// that share both; views into the tree.
struct ChildKey {
  KeyView key;
  std::size_t position = 0;

  static ChildKey of(const TreeNode& n, std::size_t position) { return {KeyView(n), position}; }
  friend bool operator==(const ChildKey&, const ChildKey&) = default;
};

// A document with its nodes numbered in preorder, children found by number,
// and per-parent facts computed when a path first needs them.
class DocView {
 public:
  explicit DocView(const Document& doc) : doc_(doc), nodes_(preorder(doc.tree)) {
    const std::size_t n = nodes_.size();
    first_.assign(n + 1, 0);
    for (std::size_t c = 1; c < n; ++c) ++first_[doc.layout[c].parent + 1];
    for (std::size_t p = 0; p < n; ++p) first_[p + 1] += first_[p];
    kids_.resize(n > 0 ? n - 1 : 0);
    index_.assign(n, 0);
    std::vector<std::uint32_t> fill(first_.begin(), first_.end() - 1);
    for (std::uint32_t c = 1; c < n; ++c) {
      const std::uint32_t p = doc.layout[c].parent;
      index_[c] = fill[p] - first_[p];
      kids_[fill[p]++] = c;
    }
    // A JSON element counts the elements that runs before it stand for.
    if (doc.stubs && !xml()) {
      std::vector<std::uint32_t> extra(n, 0);
      for (std::uint32_t c = 1; c < n; ++c) {
        const std::uint32_t p = doc.layout[c].parent;
        index_[c] += extra[p];
        extra[p] += static_cast<std::uint32_t>(stub_width(*nodes_[c]) - 1);
      }
    }
  }

  bool xml() const { return doc_.format == Format::Xml; }
  std::size_t size() const { return nodes_.size(); }
  const TreeNode& node(std::uint32_t pre) const { return *nodes_[pre]; }
  std::uint32_t parent(std::uint32_t pre) const { return doc_.layout[pre].parent; }
  std::size_t child_count(std::uint32_t pre) const { return first_[pre + 1] - first_[pre]; }
  std::uint32_t child(std::uint32_t pre, std::size_t k) const { return kids_[first_[pre] + k]; }

  // The node's bytes in the source; a JSON member's value without its name.
  std::string_view bytes(std::uint32_t pre) const {
    const NodeLayout& l = doc_.layout[pre];
    return std::string_view(doc_.source).substr(l.begin, l.end - l.begin);
  }
  // Where the node starts, a JSON member's name included.
  std::uint32_t lead(std::uint32_t pre) const {
    const NodeLayout& l = doc_.layout[pre];
    return l.key_begin ? l.key_begin : l.begin;
  }

  // Returns the child of `parent` that `step` names.
  std::optional<std::uint32_t> resolve(std::uint32_t parent, const Step& step) {
    const Facts& f = facts(parent);
    const std::string_view identity = step.identity ? std::string_view(*step.identity) : std::string_view();
    const auto k = find(parent, f, ChildKey{KeyView(step.kind, identity, step.identity.has_value()), step.position});
    if (!k) return std::nullopt;
    return child(parent, *k);
  }

  // Appends the path segment that names `pre` below its parent.
  void append_segment(std::string& out, std::uint32_t pre) {
    const std::uint32_t up = parent(pre);
    const Facts& f = facts(up);
    const std::size_t k = index_[pre];
    const TreeNode& n = node(pre);
    out += '/';
    if (!xml()) {
      if (node(up).kind == "array") {
        out += std::to_string(k);
        return;
      }
      for (const char c : n.identity ? std::string_view(*n.identity) : std::string_view()) {
        if (c == '~') out += "~0";
        else if (c == '/') out += "~1";
        else out += c;
      }
      return;
    }
    const std::string_view test = node_test(n);
    out += test;
    const std::uint32_t rank = f.rank[k] + 1;
    if (n.identity) {
      const NodeLayout& l = doc_.layout[pre];
      const AttrLayout& a = doc_.attrs[l.first_attr + l.id_attr];
      out += "[@";
      out += std::string_view(doc_.source).substr(a.name_begin, a.name_end - a.name_begin);
      const char quote = n.identity->find('"') == std::string::npos ? '"' : '\'';
      out += '=';
      out += quote;
      out += *n.identity;
      out += quote;
      out += ']';
      if (f.key_pos[k] > 0 || find(up, f, ChildKey::of(n, 1))) out += "[" + std::to_string(f.key_pos[k] + 1) + "]";
      return;
    }
    if (!is_element(n) || f.test_count.at(test) > 1) out += "[" + std::to_string(rank) + "]";
  }

 private:
  struct Facts {
    std::vector<std::uint32_t> rank;     // among siblings with the same node test
    std::vector<std::uint32_t> key_pos;  // among siblings with the same kind and identity
    std::unordered_map<std::string_view, std::uint32_t> test_count;
    std::vector<std::uint32_t> by_step;  // the children in the order of their steps' kind, identity and position
    bool one_key = false;                // every child has the same kind and identity: by_step is 0, 1, 2, ...
  };

  ChildKey key_of(std::uint32_t parent, const Facts& f, std::uint32_t k) const {
    return ChildKey::of(node(child(parent, k)), f.key_pos[k]);
  }
  static bool before(const ChildKey& a, const ChildKey& b) {
    return std::tie(a.key.kind, a.key.has_identity, a.key.identity, a.position) <
           std::tie(b.key.kind, b.key.has_identity, b.key.identity, b.position);
  }

  // The child of `parent` that `key` names.
  std::optional<std::size_t> find(std::uint32_t parent, const Facts& f, const ChildKey& key) const {
    if (f.one_key) {
      if (key.position < f.by_step.size() && key_of(parent, f, static_cast<std::uint32_t>(key.position)) == key) {
        return key.position;
      }
      return std::nullopt;
    }
    const auto it = std::lower_bound(f.by_step.begin(), f.by_step.end(), key, [&](std::uint32_t k, const ChildKey& x) {
      return before(key_of(parent, f, k), x);
    });
    if (it == f.by_step.end() || !(key_of(parent, f, *it) == key)) return std::nullopt;
    return *it;
  }

  static std::string_view node_test(const TreeNode& n) {
    if (n.kind == "#text" || n.kind == "#cdata") return "text()";
    if (n.kind == "#comment") return "comment()";
    if (n.kind == "#pi") return "processing-instruction()";
    if (n.kind == "#doctype") return "doctype()";
    return n.kind;
  }

  const Facts& facts(std::uint32_t parent) {
    auto it = facts_.find(parent);
    if (it != facts_.end()) return it->second;
    Facts f;
    const TreeNode& p = node(parent);
    const std::vector<std::uint32_t> pos = sibling_positions(p);
    f.rank.reserve(p.children.size());
    for (std::size_t k = 0; k < p.children.size(); ++k) {
      const TreeNode& c = p.children[k];
      f.rank.push_back(f.test_count[node_test(c)]++);
    }
    f.key_pos = pos;
    f.by_step.resize(p.children.size());
    for (std::uint32_t k = 0; k < f.by_step.size(); ++k) f.by_step[k] = k;
    // Children in the order of their steps already, as those of one kind
    // without identity are (an array of numbers, say), need no sort.
    f.one_key = std::all_of(p.children.begin(), p.children.end(),
                            [&](const TreeNode& c) { return KeyView(c) == KeyView(p.children.front()); });
    const auto by_steps = [&](std::uint32_t a, std::uint32_t b) {
      return before(key_of(parent, f, a), key_of(parent, f, b));
    };
    if (!f.one_key && !std::is_sorted(f.by_step.begin(), f.by_step.end(), by_steps)) {
      std::sort(f.by_step.begin(), f.by_step.end(), by_steps);
    }
    return facts_.emplace(parent, std::move(f)).first->second;
  }

  const Document& doc_;
  std::vector<const TreeNode*> nodes_;
  std::vector<std::uint32_t> first_, kids_;
  std::vector<std::uint32_t> index_;  // each node's place among its siblings, as the whole tree has it
  std::unordered_map<std::uint32_t, Facts> facts_;
};

// Follows the first `steps` steps of `location` from the root of `view`,
// appending each segment to `path`. Steps that name no node are written as
// the location names them; the result is then nullopt.
std::optional<std::uint32_t> walk(DocView& view, const Location& location, std::size_t steps, std::string& path);

// The path of a document's root.
inline std::string root_path(const DocView& view) { return view.xml() ? "/" : ""; }

// Renders a field's value as text. A node is shown as its bytes in `view`
// at `pre` when that is the same node, else written fresh; a node that
// cannot be written in `format` is an error.
Result<std::optional<std::string>, FormatError> value_text(const FieldValue& value, const DocView* view,
                                                           std::optional<std::uint32_t> pre, Format format);

}  // namespace vext::detail
