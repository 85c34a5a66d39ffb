#include "files/internal/trimming.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "formats/splice.h"
#include "lossless/fingerprint.h"
#include "lossless/pairing.h"

namespace vext::detail {
namespace {

// Starts the fingerprint of a run, so that no node's can be mistaken for it.
constexpr std::uint64_t kRunSeed = 0x72756e2d73747562;

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
  Format format() const { return doc_.format; }
  std::uint32_t begin(std::size_t e) const { return doc_.sketch[e].begin; }
  std::uint32_t end(std::size_t e) const { return doc_.sketch[e].end; }
  // The parent of the children `list` names (none empty).
  std::size_t parent_of(const std::vector<std::uint32_t>& list) const { return doc_.sketch[list.front()].parent; }
  // The bytes from node `a` to node `b`, both included.
  std::string_view span(std::size_t a, std::size_t b) const {
    return src_.substr(doc_.sketch[a].begin, doc_.sketch[b].end - doc_.sketch[a].begin);
  }
  std::string_view bytes(std::size_t e) const {
    const SketchNode& l = doc_.sketch[e];
    return src_.substr(l.begin, l.end - l.begin);
  }

  std::string_view kind(std::size_t e) const {
    const SketchNode& l = doc_.sketch[e];
    if (doc_.format == Format::Json) return json_kind(src_[l.begin]);
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
  // The search gallops from `e`, as most nodes have few below them: a search
  // of the whole rest of the sketch for each of a long list's children
  // missed the cache at every step.
  std::size_t descendants(std::size_t e) const {
    const auto& nodes = doc_.sketch;
    const std::uint32_t end = nodes[e].end;
    std::size_t lo = e + 1, step = 1;  // the nodes in [e + 1, lo) are below e
    while (lo < nodes.size() && nodes[lo].begin < end) {
      const std::size_t hi = std::min(nodes.size(), lo + step);
      if (nodes[hi - 1].begin < end) {
        lo = hi;
        step *= 2;
        continue;
      }
      const auto first = nodes.begin() + static_cast<std::ptrdiff_t>(lo);
      const auto last = std::partition_point(first, nodes.begin() + static_cast<std::ptrdiff_t>(hi),
                                             [end](const SketchNode& x) { return x.begin < end; });
      lo = static_cast<std::size_t>(last - nodes.begin());
      break;
    }
    return lo - e - 1;
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

// Runs shorter than this are not worth a stub of their own.
constexpr std::size_t kShortestRun = 2;

// In a JSON array that every file holds, finds the runs of elements of one
// kind that stand side by side and alike, byte for byte with what lies
// between them, in every file, adds each file's trims for them and returns
// which of the first file's children they take; empty when there are none.
std::vector<bool> plan_runs(const std::vector<SketchTree>& trees, const std::vector<SketchKids>& kids,
                            const std::vector<std::vector<std::int64_t>>& partner, Trims& out) {
  const std::size_t n = trees.size();
  for (std::size_t d = 0; d < n; ++d) {
    if (trees[d].format() != Format::Json || trees[d].kind(trees[d].parent_of(kids[d].list)) != "array") return {};
    // Where elements moved, the engine counts the moves in whole elements,
    // and a run among them would send the call to the whole trees.
    if (d > 0 && !is_increasing(partner[d])) return {};
  }
  const std::vector<std::uint32_t>& first = kids[0].list;
  auto file_child = [&](std::size_t d, std::size_t k) {
    return d == 0 ? first[k] : kids[d].list[static_cast<std::size_t>(partner[d][k])];
  };
  auto alike = [&](std::size_t k) {
    for (std::size_t d = 1; d < n; ++d) {
      if (partner[d][k] < 0 || trees[d].hash(file_child(d, k)) != trees[0].hash(first[k])) return false;
    }
    return true;
  };
  std::vector<bool> taken;
  // The first element stays whole: the writer learns from the gap after it
  // how to separate the elements it writes anew.
  for (std::size_t k = 1; k < first.size();) {
    std::size_t end = k;
    while (end < first.size() && alike(end) &&
           (end == k || trees[0].kind(first[end]) == trees[0].kind(first[k]))) {
      bool next_to = true;
      for (std::size_t d = 1; d < n && end > k && next_to; ++d) next_to = partner[d][end] == partner[d][end - 1] + 1;
      if (!next_to) break;
      ++end;
    }
    if (end - k < kShortestRun) {
      k = std::max(end, k + 1);
      continue;
    }
    bool same = true;
    for (std::size_t d = 1; d < n && same; ++d) same = trees[d].span(file_child(d, k), file_child(d, end - 1)) ==
                                                       trees[0].span(first[k], first[end - 1]);
    if (same) {
      const auto at = static_cast<std::uint32_t>(out.run_prints.size());
      std::uint64_t h = fp_mix(kRunSeed, end - k);
      for (std::size_t i = k; i < end; ++i) {
        out.run_prints.push_back(trees[0].hash(first[i]));
        h = fp_mix(h, trees[0].hash(first[i]));
      }
      for (std::size_t d = 0; d < n; ++d) {
        const std::uint32_t a = file_child(d, k), b = file_child(d, end - 1);
        out.lists[d].push_back(Trim{.begin = trees[d].begin(a), .skip_begin = trees[d].begin(a),
                                    .skip_end = trees[d].end(b), .fingerprint = h,
                                    .width = static_cast<std::uint32_t>(end - k), .prints_at = at});
        std::size_t nodes = 0;
        for (std::size_t i = k; i < end; ++i) {
          const std::uint32_t e = file_child(d, i);
          nodes += (trees[d].has_children(e) ? trees[d].descendants(e) : 0) + 1;
        }
        out.nodes[d] -= nodes - 1;
      }
      if (taken.empty()) taken.resize(first.size());
      std::fill(taken.begin() + static_cast<std::ptrdiff_t>(k), taken.begin() + static_cast<std::ptrdiff_t>(end), true);
    }
    k = end;
  }
  return taken;
}

}  // namespace

Trims plan_trims(const std::vector<Document>& sketches, Ticker& ticker) {
  const std::size_t n = sketches.size();
  Trims out{std::vector<std::vector<Trim>>(n), std::vector<std::size_t>(n), {}};
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
    const std::vector<bool> in_run = plan_runs(trees, kids, partner, out);
    for (std::size_t k = kids[0].list.size(); k-- > 0;) {
      if (!in_run.empty() && in_run[k]) continue;
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
