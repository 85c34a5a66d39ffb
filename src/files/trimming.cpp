#include "files/internal/trimming.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "formats/splice.h"
#include "lossless/pairing.h"

namespace vext::detail {
namespace {

bool is_name_end(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>' || c == '='; }

// A sketch seen as a tree, for pairing: children found by number, and each
// node's kind and identity read from its bytes. Identities are compared as
// written, before entities are resolved, so two that are written
// differently never pair here even where they are equal; that only keeps a
// sub-tree from being trimmed.
class SketchTree {
 public:
  using Key = KeyView;
  using KeyHash = KeyView::Hash;

  explicit SketchTree(const Document& doc) : doc_(doc), src_(doc.source) {}

  // The children of `p`, found by stepping over each one's descendants, so
  // that no index of the whole sketch is needed.
  std::vector<std::uint32_t> children(std::size_t p) const {
    std::vector<std::uint32_t> out;
    const std::size_t n = doc_.sketch.size();
    for (std::size_t c = p + 1; c < n && doc_.sketch[c].parent == p; c += descendants(c) + 1) {
      out.push_back(static_cast<std::uint32_t>(c));
    }
    return out;
  }
  bool has_children(std::size_t p) const { return p + 1 < doc_.sketch.size() && doc_.sketch[p + 1].parent == p; }
  std::uint64_t hash(std::size_t e) const { return doc_.sketch[e].fingerprint; }
  std::string_view bytes(std::size_t e) const {
    const SketchNode& l = doc_.sketch[e];
    return src_.substr(l.begin, l.end - l.begin);
  }

  std::string_view kind(std::size_t e) const {
    const SketchNode& l = doc_.sketch[e];
    if (doc_.format == Format::Json) {
      switch (src_[l.begin]) {
        case '{': return "object";
        case '[': return "array";
        case '"': return "string";
        case 't': case 'f': return "boolean";
        case 'n': return "null";
        default: return "number";
      }
    }
    if (e == 0) return "#document";
    const std::string_view at = src_.substr(l.begin);
    if (at[0] != '<') return "#text";
    if (at.starts_with("<!--")) return "#comment";
    if (at.starts_with("<![CDATA[")) return "#cdata";
    if (at.starts_with("<!")) return "#doctype";
    if (at.starts_with("<?")) return "#pi";
    std::size_t end = 1;
    while (!is_name_end(at[end])) ++end;
    return at.substr(1, end - 1);
  }

  Key key(std::size_t e) const {
    const SketchNode& l = doc_.sketch[e];
    Key k{kind(e), {}, false};
    if (doc_.format == Format::Json) {
      if (l.key_begin) {
        std::size_t end = l.key_begin + 1;
        while (src_[end] != '"') end += src_[end] == '\\' ? 2 : 1;
        k.identity = src_.substr(l.key_begin + 1, end - l.key_begin - 1);
        k.has_identity = true;
        k.kind = {};  // as KindRule::Members pairs them
      }
      return k;
    }
    if (e == 0 || k.kind[0] == '#') return k;
    if (l.parent == 0) return Key{{}, {}, true};  // as KindRule::RootElement pairs it
    // The first attribute that gives this element its identity.
    std::size_t at = l.begin + 1 + k.kind.size();
    for (;;) {
      while (is_space(src_[at])) ++at;
      if (src_[at] == '/' || src_[at] == '>') return k;
      const std::size_t name_begin = at;
      while (!is_name_end(src_[at])) ++at;
      const std::string_view name = src_.substr(name_begin, at - name_begin);
      while (src_[at] != '"' && src_[at] != '\'') ++at;
      const char quote = src_[at];
      const std::size_t value_begin = ++at;
      while (src_[at] != quote) ++at;
      if (gives_identity(doc_.id_attrs, k.kind, name)) {
        k.identity = src_.substr(value_begin, at - value_begin);
        k.has_identity = true;
        return k;
      }
      ++at;
    }
  }

  // The stub that can stand for node `e`: an XML element other than the
  // root that has content, or a JSON object or array below the top that has
  // members or elements.
  std::optional<Trim> trim(std::size_t e) const {
    const SketchNode& l = doc_.sketch[e];
    if (e == 0 || l.tail_begin <= l.head_end) return std::nullopt;
    if (doc_.format == Format::Xml) {
      if (l.parent == 0 || src_[l.begin] != '<' || kind(e)[0] == '#') return std::nullopt;
    } else if (!has_children(e)) {
      return std::nullopt;
    }
    return Trim{.begin = l.begin, .skip_begin = l.head_end, .skip_end = l.tail_begin, .fingerprint = hash(e)};
  }

  // How many nodes stand below `e`: those after it that start before its end.
  std::size_t descendants(std::size_t e) const {
    const auto& nodes = doc_.sketch;
    const std::uint32_t end = nodes[e].end;
    const auto last = std::partition_point(nodes.begin() + static_cast<std::ptrdiff_t>(e) + 1, nodes.end(),
                                           [end](const SketchNode& x) { return x.begin < end; });
    return static_cast<std::size_t>(last - nodes.begin()) - e - 1;
  }

  // Whether the file's DOCTYPE has an internal subset, whose declarations
  // could make equal bytes read differently in different files.
  bool has_internal_subset() const {
    if (doc_.format != Format::Xml) return false;
    for (const std::uint32_t c : children(0)) {
      if (kind(c) == "#doctype" && bytes(c).find('[') != std::string_view::npos) return true;
    }
    return false;
  }

 private:
  const Document& doc_;
  std::string_view src_;
};

// One parent's children in a sketch, as the pairing of children asks for them.
struct SketchKids {
  using Key = SketchTree::Key;
  using KeyHash = SketchTree::KeyHash;
  const SketchTree* tree;
  std::vector<std::uint32_t> list;

  std::size_t child_count(std::size_t) const { return list.size(); }
  std::size_t child(std::size_t, std::size_t k) const { return list[k]; }
  Key key(std::size_t e) const { return tree->key(e); }
  std::string_view kind(std::size_t e) const { return tree->kind(e); }
  std::uint64_t hash(std::size_t e) const { return tree->hash(e); }
};

}  // namespace

Trims plan_trims(const std::vector<Document>& sketches, Ticker& ticker) {
  const std::size_t n = sketches.size();
  Trims out{std::vector<std::vector<Trim>>(n), std::vector<std::size_t>(n)};
  auto& trims = out.lists;
  for (std::size_t d = 0; d < n; ++d) out.nodes[d] = sketches[d].sketch.size();
  std::vector<SketchTree> trees;
  trees.reserve(n);
  for (const Document& d : sketches) {
    trees.emplace_back(d);
    if (trees.back().has_internal_subset()) return out;
  }
  std::vector<std::array<std::uint32_t, 3>> stack{{0, 0, 0}};
  while (!stack.empty()) {
    const auto at = stack.back();
    stack.pop_back();
    ticker.tick();
    bool same = true;
    for (std::size_t d = 1; d < n && same; ++d) same = trees[d].hash(at[d]) == trees[0].hash(at[0]);
    if (same) {
      // Equal bytes in paired places make the same node, so each file can
      // trim it.
      std::array<std::optional<Trim>, 3> trim{};
      for (std::size_t d = 0; d < n && same; ++d) {
        trim[d] = trees[d].trim(at[d]);
        same = trim[d] && trees[d].bytes(at[d]) == trees[0].bytes(at[0]);
      }
      if (same) {
        for (std::size_t d = 0; d < n; ++d) {
          trims[d].push_back(*trim[d]);
          out.nodes[d] -= trees[d].descendants(at[d]);
        }
        continue;
      }
    }
    bool parents = true;
    for (std::size_t d = 0; d < n && parents; ++d) parents = trees[d].has_children(at[d]);
    if (!parents) continue;
    std::vector<SketchKids> kids;
    for (std::size_t d = 0; d < n; ++d) kids.push_back(SketchKids{&trees[d], trees[d].children(at[d])});
    std::vector<std::vector<std::int64_t>> partner(n);
    for (std::size_t d = 1; d < n; ++d) {
      partner[d] = pair_child_lists(kids[0], 0, kids[d], 0).first;
      ticker.tick(partner[d].size());
    }
    for (std::size_t k = kids[0].list.size(); k-- > 0;) {
      std::array<std::uint32_t, 3> next{kids[0].list[k], 0, 0};
      bool all = true;
      for (std::size_t d = 1; d < n && all; ++d) {
        all = partner[d][k] >= 0;
        if (all) next[d] = kids[d].list[static_cast<std::size_t>(partner[d][k])];
      }
      if (all) stack.push_back(next);
    }
  }
  for (auto& list : trims) {
    std::sort(list.begin(), list.end(), [](const Trim& a, const Trim& b) { return a.begin < b.begin; });
  }
  return out;
}

}  // namespace vext::detail
