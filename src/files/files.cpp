#include "files/files.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "formats/splice.h"
#include "three_way/index.h"

namespace vext {
namespace {

using detail::IndexedTree;

bool is_element(const TreeNode& n) { return !n.kind.empty() && n.kind[0] != '#'; }

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

// A tree indexed for pairing, with each entry's preorder number and the
// size of its sub-tree, so that an unchanged sub-tree pairs in one step.
struct Numbered {
  IndexedTree index;
  std::vector<std::uint32_t> pre, size;

  Numbered(const TreeNode& root, detail::Ticker& ticker, std::size_t size_hint = 0)
      : index(root, ticker, size_hint), pre(index.size()), size(index.size(), 1) {
    std::vector<std::size_t> stack{0};
    std::uint32_t next = 0;
    while (!stack.empty()) {
      const std::size_t i = stack.back();
      stack.pop_back();
      pre[i] = next++;
      for (std::size_t k = index.child_count(i); k-- > 0;) stack.push_back(index.child(i, k));
    }
    // Children come after their parent, so a backward pass sees them first.
    for (std::size_t i = index.size(); i-- > 0;) {
      for (std::size_t k = 0; k < index.child_count(i); ++k) size[i] += size[index.child(i, k)];
    }
  }
};

Correspondence pair_numbered(const Numbered& x, const Numbered& y, detail::Ticker& ticker) {
  Correspondence match{std::vector<std::optional<std::uint32_t>>(y.index.size())};
  std::vector<std::pair<std::size_t, std::size_t>> stack{{0, 0}};
  while (!stack.empty()) {
    const auto [i, j] = stack.back();
    stack.pop_back();
    if (detail::same_subtree(x.index, i, y.index, j)) {
      // Equal sub-trees pair node for node, and their preorder runs line up.
      for (std::uint32_t k = 0; k < y.size[j]; ++k) match.origin[y.pre[j] + k] = x.pre[i] + k;
      ticker.tick(y.size[j]);
      continue;
    }
    match.origin[y.pre[j]] = x.pre[i];
    if (x.index.child_count(i) == 0 || y.index.child_count(j) == 0) continue;
    const detail::ChildPairs pairs = detail::pair_children(x.index, i, y.index, j);
    ticker.tick(pairs.y_to_x.size());
    for (std::size_t k = 0; k < pairs.y_to_x.size(); ++k) {
      if (pairs.y_to_x[k] >= 0) {
        stack.emplace_back(x.index.child(i, static_cast<std::size_t>(pairs.y_to_x[k])), y.index.child(j, k));
      }
    }
  }
  return match;
}

// Turns "which node of `tree` came from which original" around.
std::vector<std::optional<std::uint32_t>> invert(const Correspondence& match, std::size_t original_size) {
  std::vector<std::optional<std::uint32_t>> out(original_size);
  for (std::uint32_t i = 0; i < match.origin.size(); ++i) {
    if (match.origin[i]) out[*match.origin[i]] = i;
  }
  return out;
}

// A child as a step names it: kind, identity and place among the siblings
// that share both; views into the tree.
struct ChildKey {
  std::string_view kind;
  std::string_view identity;
  bool has_identity = false;
  std::size_t position = 0;

  static ChildKey of(const TreeNode& n, std::size_t position) {
    return {n.kind, n.identity ? std::string_view(*n.identity) : std::string_view(), n.identity.has_value(), position};
  }
  friend bool operator==(const ChildKey&, const ChildKey&) = default;

  struct Hash {
    std::size_t operator()(const ChildKey& k) const {
      const std::hash<std::string_view> h;
      return (h(k.kind) * 31 + h(k.identity)) * 31 + k.position * 2 + (k.has_identity ? 1 : 0);
    }
  };
};

// A document with its nodes numbered in preorder, children found by number,
// and per-parent facts computed when a path first needs them.
class DocView {
 public:
  explicit DocView(const Document& doc) : doc_(doc), nodes_(detail::preorder(doc.tree)) {
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
  }

  const Document& doc() const { return doc_; }
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
    const auto it = f.by_step.find(ChildKey{step.kind, step.identity ? std::string_view(*step.identity) : std::string_view(),
                                            step.identity.has_value(), step.position});
    if (it == f.by_step.end()) return std::nullopt;
    return child(parent, it->second);
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
      if (f.key_pos[k] > 0 || f.key_count.at(ChildKey::of(n, 0)) > 1) out += "[" + std::to_string(f.key_pos[k] + 1) + "]";
      return;
    }
    if (!is_element(n) || f.test_count.at(test) > 1) out += "[" + std::to_string(rank) + "]";
  }

 private:
  struct Facts {
    std::vector<std::uint32_t> rank;     // among siblings with the same node test
    std::vector<std::uint32_t> key_pos;  // among siblings with the same kind and identity
    std::unordered_map<std::string_view, std::uint32_t> test_count;
    std::unordered_map<ChildKey, std::uint32_t, ChildKey::Hash> key_count;  // by kind and identity
    std::unordered_map<ChildKey, std::size_t, ChildKey::Hash> by_step;
  };

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
    const std::vector<std::uint32_t> pos = detail::sibling_positions(p);
    f.rank.reserve(p.children.size());
    for (std::size_t k = 0; k < p.children.size(); ++k) {
      const TreeNode& c = p.children[k];
      f.rank.push_back(f.test_count[node_test(c)]++);
      ++f.key_count[ChildKey::of(c, 0)];
      f.by_step.emplace(ChildKey::of(c, pos[k]), k);
    }
    f.key_pos = pos;
    return facts_.emplace(parent, std::move(f)).first->second;
  }

  const Document& doc_;
  std::vector<const TreeNode*> nodes_;
  std::vector<std::uint32_t> first_, kids_;
  std::vector<std::uint32_t> index_;  // each node's place among its siblings
  std::unordered_map<std::uint32_t, Facts> facts_;
};

// Follows the first `steps` steps of `location` from the root of `view`,
// appending each segment to `path`. Steps that name no node are written as
// the location names them; the result is then nullopt.
std::optional<std::uint32_t> walk(DocView& view, const Location& location, std::size_t steps, std::string& path) {
  std::optional<std::uint32_t> at = 0;
  for (std::size_t i = 0; i < steps; ++i) {
    if (at) at = view.resolve(*at, location[i]);
    if (at) {
      view.append_segment(path, *at);
    } else {
      path += '/';
      path += detail::step_text(location[i]);
    }
  }
  return at;
}

std::string root_path(const DocView& view) { return view.xml() ? "/" : ""; }

// Writes a node that has no bytes of its own in any input, in `format`.
std::string fresh(const TreeNode& node, Format format) {
  if (format == Format::Json) {
    TreeNode top = node;
    top.identity.reset();
    auto doc = read_json("null");
    auto out = write_document(*doc, top, Correspondence{std::vector<std::optional<std::uint32_t>>(count_nodes(top))});
    return out.ok() ? std::move(out).value() : match_key(node);
  }
  auto doc = read_xml("<x/>");
  TreeNode top("#document");
  const bool element = is_element(node);
  if (element) {
    top.children.push_back(node);
  } else {
    top.children.emplace_back("x").children.push_back(node);
  }
  std::vector<std::optional<std::uint32_t>> origin(count_nodes(top));
  origin[0] = 0;
  auto out = write_document(*doc, top, Correspondence{std::move(origin)});
  if (!out.ok()) return match_key(node);
  if (element) return std::move(out).value();
  return out->substr(3, out->size() - 7);  // without "<x>" and "</x>"
}

std::string attributes_text(const Attributes& attrs) {
  std::string out;
  for (const auto& [name, value] : attrs) {
    if (!out.empty()) out += ' ';
    out += name;
    out += "=\"";
    for (const char c : value) {
      if (c == '"') out += "&quot;";
      else if (c == '&') out += "&amp;";
      else if (c == '<') out += "&lt;";
      else out += c;
    }
    out += '"';
  }
  return out;
}

// Renders a field's value as text. A node is shown as its bytes in `view`
// at `pre` when that is the same node, else written fresh.
std::optional<std::string> value_text(const FieldValue& value, const DocView* view, std::optional<std::uint32_t> pre,
                                      Format format) {
  struct Visit {
    const DocView* view;
    std::optional<std::uint32_t> pre;
    Format format;
    std::optional<std::string> operator()(std::monostate) const { return std::nullopt; }
    std::optional<std::string> operator()(const std::string& s) const { return s; }
    std::optional<std::string> operator()(const TreeNode& n) const {
      if (view && pre && view->node(*pre) == n) return std::string(view->bytes(*pre));
      return fresh(n, format);
    }
    std::optional<std::string> operator()(const Attributes& a) const { return attributes_text(a); }
    std::optional<std::string> operator()(const std::vector<std::string>& steps) const {
      std::string out;
      for (const std::string& s : steps) {
        if (!out.empty()) out += ", ";
        out += s;
      }
      return out;
    }
    std::optional<std::string> operator()(std::uint64_t n) const { return std::to_string(n); }
  };
  return std::visit(Visit{view, pre, format}, value);
}

std::string_view format_name(Format f) { return f == Format::Xml ? "XML" : "JSON"; }

// A conflict's block in the merged file: the bytes of its smallest
// enclosing element or member on each side.
struct Region {
  OutputSpan span;  // in the merged file
  std::optional<std::uint32_t> base, ours, theirs;
};

// A node's text for a conflict block: from the start of its line when only
// blanks stand before it, to its end and, in JSON, a comma right after it.
// `stop` is where the block ends in `text`: after the line break that
// follows, when nothing else does.
struct Extent {
  std::size_t begin, end, stop;
  bool line_start;
};

Extent extent(std::string_view text, std::size_t begin, std::size_t end, bool json) {
  Extent e{begin, end, end, false};
  std::size_t b = begin;
  while (b > 0 && (text[b - 1] == ' ' || text[b - 1] == '\t')) --b;
  if (b == 0 || text[b - 1] == '\n') {
    e.begin = b;
    e.line_start = true;
  }
  std::size_t a = end;
  while (a < text.size() && (text[a] == ' ' || text[a] == '\t')) ++a;
  if (json && a < text.size() && text[a] == ',') {
    e.end = ++a;
    while (a < text.size() && (text[a] == ' ' || text[a] == '\t')) ++a;
  }
  e.stop = e.end;
  if (a < text.size() && text[a] == '\n') e.stop = a + 1;
  else if (a + 1 < text.size() && text[a] == '\r' && text[a + 1] == '\n') e.stop = a + 2;
  else if (a == text.size()) e.stop = a;
  return e;
}

class FileMerger {
 public:
  FileMerger(const Document& base, const Document& ours, const Document& theirs, const StopCheck& stop)
      : base_(base), ours_(ours), theirs_(theirs), stop_(stop) {}

  Result<FileMerge, FileError> run(bool markers) {
    FileMerge out;
    if (ours_.source == theirs_.source || theirs_.source == base_.source) {
      out.merged = ours_.source;
      return out;
    }
    if (ours_.source == base_.source) {
      out.merged = theirs_.source;
      return out;
    }
    // Each tree is indexed once for the merge and all the pairings after it.
    detail::Ticker ticker(stop_);
    std::optional<Numbered> nb(std::in_place, base_.tree, ticker, base_.layout.size());
    const Numbered no(ours_.tree, ticker, ours_.layout.size()), nt(theirs_.tree, ticker, theirs_.layout.size());
    ThreeWayResult merged = detail::three_way_merge(nb->index, no.index, nt.index, ticker);
    if (merged.conflicts.empty()) nb.reset();
    // Room for what ours and theirs hold together; room left unused is
    // never touched.
    const Numbered nm(merged.tree, ticker, ours_.layout.size() + theirs_.layout.size());
    const Correspondence from_ours = pair_numbered(no, nm, ticker);
    const bool mark = markers && !merged.conflicts.empty();
    const bool from_theirs_only = std::any_of(from_ours.origin.begin(), from_ours.origin.end(),
                                              [](const auto& o) { return !o.has_value(); });
    std::vector<OutputSpan> spans;
    auto written = write_document(ours_, merged.tree, from_ours, mark || from_theirs_only ? &spans : nullptr);
    if (!written.ok()) return FileError{-1, written.error()};
    out.merged = std::move(written).value();
    std::optional<DocView> t;
    std::optional<Correspondence> from_theirs;
    if (mark || from_theirs_only) {
      t.emplace(theirs_);
      from_theirs = pair_numbered(nt, nm, ticker);
    }
    if (from_theirs_only) out.merged = copy_from_theirs(out.merged, merged.tree, from_ours, *from_theirs, *t, spans);
    if (merged.conflicts.empty()) return out;

    DocView b(base_), o(ours_);
    if (!t) t.emplace(theirs_);
    const auto ours_of_base = invert(pair_numbered(*nb, no, ticker), b.size());
    const auto theirs_of_base = invert(pair_numbered(*nb, nt, ticker), b.size());
    std::vector<std::optional<std::uint32_t>> merged_of_ours, merged_of_theirs;
    if (mark) {
      merged_of_ours = invert(from_ours, o.size());
      merged_of_theirs = invert(*from_theirs, t->size());
    }
    std::vector<Region> regions;
    for (const Conflict& c : merged.conflicts) {
      FileConflict fc{.field = c.field};
      const Location& loc = c.location;
      std::optional<std::uint32_t> bn = walk(b, loc, loc.size(), fc.path);
      std::optional<std::uint32_t> on, tn, start = bn;
      if (bn) {
        on = ours_of_base[*bn];
        tn = theirs_of_base[*bn];
      } else if (c.field == Field::Node && !loc.empty()) {
        // A node both sides added: the last step names it below ours' parent.
        fc.path.clear();
        start = walk(b, loc, loc.size() - 1, fc.path);
        if (start && ours_of_base[*start]) on = o.resolve(*ours_of_base[*start], loc.back());
        if (start && theirs_of_base[*start]) tn = t->resolve(*theirs_of_base[*start], loc.back());
        if (on) {
          o.append_segment(fc.path, *on);
        } else {
          fc.path += '/';
          fc.path += detail::step_text(loc.back());
        }
      }
      if (fc.path.empty()) fc.path = root_path(b);
      if (c.field == Field::Attribute) fc.path += "/@" + c.name;
      fc.base = value_text(c.base, &b, bn, base_.format);
      fc.ours = value_text(c.ours, &o, on, ours_.format);
      fc.theirs = value_text(c.theirs, &*t, tn, theirs_.format);
      out.conflicts.push_back(std::move(fc));
      if (mark) regions.push_back(enclose(b, start.value_or(0), ours_of_base, theirs_of_base, merged_of_ours,
                                          merged_of_theirs, spans));
    }
    if (mark) out.merged = with_markers(out.merged, std::move(regions), b, *t);
    return out;
  }

 private:
  // Replaces each largest sub-tree of the merged file that came from theirs
  // alone, and stands there unchanged, with its bytes in theirs, so that it
  // keeps their layout; `spans` follow the bytes they name.
  static std::string copy_from_theirs(const std::string& text, const TreeNode& tree, const Correspondence& from_ours,
                                      const Correspondence& from_theirs, const DocView& t,
                                      std::vector<OutputSpan>& spans) {
    struct Swap {
      OutputSpan was;
      std::int64_t delta;  // the length change of every swap up to this one
      OutputSpan now;
    };
    const std::vector<const TreeNode*> nodes = detail::preorder(tree);
    std::vector<Swap> swaps;
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    std::int64_t delta = 0;
    for (std::uint32_t m = 1; m < nodes.size();) {
      const auto tn = from_theirs.origin[m];
      if (from_ours.origin[m] || !tn || !(*nodes[m] == t.node(*tn))) {
        ++m;
        continue;
      }
      const OutputSpan was = spans[m];
      const std::string_view bytes =
          std::string_view(t.doc().source).substr(t.lead(*tn), t.doc().layout[*tn].end - t.lead(*tn));
      out.append(text, copied, was.begin - copied);
      const auto begin = static_cast<std::uint32_t>(out.size());
      out += bytes;
      copied = was.end;
      delta += static_cast<std::int64_t>(bytes.size()) - static_cast<std::int64_t>(was.end - was.begin);
      swaps.push_back({was, delta, {begin, static_cast<std::uint32_t>(out.size())}});
      m += static_cast<std::uint32_t>(count_nodes(*nodes[m]));
    }
    if (swaps.empty()) return text;
    out.append(text, copied);
    // A span after a swap moves by the swaps before it; one inside a swap
    // stands for the whole swapped sub-tree.
    auto shift = [&swaps](std::uint32_t at) {
      auto it = std::upper_bound(swaps.begin(), swaps.end(), at,
                                 [](std::uint32_t x, const Swap& s) { return x < s.was.end; });
      return it == swaps.begin() ? std::int64_t{0} : std::prev(it)->delta;
    };
    for (OutputSpan& s : spans) {
      auto inside = std::upper_bound(swaps.begin(), swaps.end(), s.begin,
                                     [](std::uint32_t x, const Swap& w) { return x < w.was.begin; });
      if (inside != swaps.begin() && std::prev(inside)->was.end >= s.end && std::prev(inside)->was.begin <= s.begin &&
          std::prev(inside)->was.end > s.begin) {
        s = std::prev(inside)->now;
        continue;
      }
      s.begin = static_cast<std::uint32_t>(s.begin + shift(s.begin));
      s.end = static_cast<std::uint32_t>(s.end + shift(s.end));
    }
    return out;
  }

  // Climbs from base's node `at` to the nearest element (XML) or member
  // (JSON) that stands in the merged file.
  Region enclose(DocView& b, std::uint32_t at, const std::vector<std::optional<std::uint32_t>>& ours_of_base,
                 const std::vector<std::optional<std::uint32_t>>& theirs_of_base,
                 const std::vector<std::optional<std::uint32_t>>& merged_of_ours,
                 const std::vector<std::optional<std::uint32_t>>& merged_of_theirs,
                 const std::vector<OutputSpan>& spans) const {
    for (;;) {
      const TreeNode& n = b.node(at);
      const bool whole = b.xml() ? is_element(n) : n.identity.has_value();
      const auto on = ours_of_base[at], tn = theirs_of_base[at];
      std::optional<std::uint32_t> m;
      if (on) m = merged_of_ours[*on];
      if (!m && tn) m = merged_of_theirs[*tn];
      if (at == 0) return Region{spans[0], 0, 0, 0};
      if (whole && m) return Region{spans[*m], at, on, tn};
      at = b.parent(at);
    }
  }

  std::string with_markers(const std::string& merged, std::vector<Region> regions, const DocView& b,
                           const DocView& t) const {
    const bool json = ours_.format == Format::Json;
    std::sort(regions.begin(), regions.end(), [](const Region& x, const Region& y) {
      return x.span.begin != y.span.begin ? x.span.begin < y.span.begin : x.span.end > y.span.end;
    });
    auto side = [json](const DocView& v, std::optional<std::uint32_t> pre) -> std::optional<std::string_view> {
      if (!pre) return std::nullopt;
      const std::string_view src = v.doc().source;
      if (*pre == 0) return src;
      const Extent e = extent(src, v.lead(*pre), v.doc().layout[*pre].end, json);
      return src.substr(e.begin, e.end - e.begin);
    };
    std::string out;
    out.reserve(merged.size() + 256);
    std::size_t copied = 0;
    for (const Region& r : regions) {
      if (r.span.begin < copied) continue;  // inside a block already written
      const Extent e = r.base == 0 ? Extent{0, merged.size(), merged.size(), true}
                                   : extent(merged, r.span.begin, r.span.end, json);
      if (e.begin < copied) continue;
      out.append(merged, copied, e.begin - copied);
      if (!e.line_start) out += '\n';
      auto version = [&out](std::string_view marker, std::optional<std::string_view> text) {
        out += marker;
        if (!text) return;
        out += *text;
        if (!text->empty() && text->back() != '\n') out += '\n';
      };
      const std::string_view mine = std::string_view(merged).substr(e.begin, e.end - e.begin);
      version("<<<<<<< ours\n", r.ours ? std::optional<std::string_view>(mine) : std::nullopt);
      version("||||||| base\n", side(b, r.base));
      version("=======\n", side(t, r.theirs));
      out += ">>>>>>> theirs\n";
      copied = e.stop;
    }
    out.append(merged, copied);
    return out;
  }

  const Document& base_;
  const Document& ours_;
  const Document& theirs_;
  const StopCheck& stop_;
};

}  // namespace

Result<std::vector<Document>, FileError> read_files(std::vector<std::string> sources, const FileOptions& options,
                                                   const StopCheck& stop) {
  const std::size_t n = sources.size();
  std::vector<std::optional<Result<Document, FormatError>>> read(n);
  std::vector<std::exception_ptr> failures(n);
  std::size_t total = 0;
  for (const std::string& s : sources) total += s.size();
  // Each file has its own parser, so files are read side by side; the
  // calling thread takes its share and alone answers `stop`, which it passes
  // on to the others through a flag.
  struct Shared {
    explicit Shared(const StopCheck& caller) : stop(caller) {}
    const StopCheck& stop;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    std::mutex mutex;
    std::condition_variable all_finished;
  } shared(stop);
  const StopCheck caller_stop{.poll = stop.poll ? +[](void* context) {
                                auto& s = *static_cast<Shared*>(context);
                                if (s.stop.poll(s.stop.context)) s.stopping = true;
                                return s.stopping.load();
                              }
                                                : nullptr,
                              .context = &shared};
  const StopCheck worker_stop{.poll = [](void* context) { return static_cast<Shared*>(context)->stopping.load(); },
                              .context = &shared};
  auto take_share = [&](const StopCheck& check) {
    const ReadOptions read_options{.id_attrs = options.id_attrs, .stop = check};
    for (std::size_t i; (i = shared.next++) < n;) {
      try {
        std::string source = std::exchange(sources[i], std::string());
        read[i] = !options.format                  ? read_document(std::move(source), read_options)
                  : *options.format == Format::Xml ? read_xml(std::move(source), read_options)
                                                   : read_json(std::move(source), read_options);
      } catch (...) {
        failures[i] = std::current_exception();
      }
      std::lock_guard lock(shared.mutex);
      if (++shared.finished == n) shared.all_finished.notify_all();
    }
  };
  constexpr std::size_t kParallelBytes = std::size_t{1} << 20;
  const std::size_t threads =
      total < kParallelBytes ? 1 : std::min<std::size_t>(n, std::max(1U, std::thread::hardware_concurrency()));
  {
    std::vector<std::jthread> helpers;
    // Whatever happens here, the helpers are told to stop before they are joined.
    struct StopHelpers {
      Shared& shared;
      ~StopHelpers() {
        if (std::uncaught_exceptions() > 0) shared.stopping = true;
      }
    };
    for (std::size_t k = 1; k < threads; ++k) {
      try {
        helpers.emplace_back([&] { take_share(worker_stop); });
      } catch (const std::system_error&) {
        break;  // the threads there are take the remaining files
      }
    }
    const StopHelpers on_exit{shared};
    take_share(caller_stop);
    std::unique_lock lock(shared.mutex);
    while (shared.finished < n) {
      shared.all_finished.wait_for(lock, std::chrono::milliseconds(5));
      if (shared.finished == n || !stop.poll) continue;
      lock.unlock();
      if (stop.poll(stop.context)) shared.stopping = true;
      lock.lock();
      if (shared.stopping) break;
    }
  }
  // A stop the caller asked for wins over whatever the files held.
  if (shared.stopping) throw Stopped();
  std::vector<Document> docs;
  docs.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (failures[i]) std::rethrow_exception(failures[i]);
    Result<Document, FormatError>& doc = *read[i];
    const int which = static_cast<int>(i);
    if (!doc.ok()) return FileError{which, doc.error()};
    if (!docs.empty() && doc->format != docs.front().format) {
      return FileError{which, FormatError{"the file is " + std::string(format_name(doc->format)) + " but the first is " +
                                              std::string(format_name(docs.front().format)),
                                          std::nullopt}};
    }
    docs.push_back(std::move(doc).value());
  }
  return docs;
}

Correspondence pair_trees(const TreeNode& original, const TreeNode& tree, const StopCheck& stop) {
  detail::Ticker ticker(stop);
  const Numbered x(original, ticker), y(tree, ticker);
  return pair_numbered(x, y, ticker);
}

Result<std::string, FormatError> rewrite(const Document& doc) {
  Correspondence same{std::vector<std::optional<std::uint32_t>>(doc.layout.size())};
  for (std::uint32_t i = 0; i < same.origin.size(); ++i) same.origin[i] = i;
  return write_document(doc, doc.tree, same);
}

std::vector<FileChange> diff_documents(const Document& old_doc, const Document& new_doc, const StopCheck& stop) {
  detail::Ticker ticker(stop);
  std::optional<Numbered> x(std::in_place, old_doc.tree, ticker, old_doc.layout.size());
  std::optional<Numbered> y(std::in_place, new_doc.tree, ticker, new_doc.layout.size());
  std::vector<Change> changes = detail::located_diff(x->index, y->index, ticker);
  std::vector<FileChange> out;
  if (changes.empty()) return out;
  const Correspondence match = pair_numbered(*x, *y, ticker);
  x.reset();
  y.reset();
  DocView ov(old_doc), nv(new_doc);
  const auto new_of_old = invert(match, ov.size());
  // Changes go in document order: a change on a node sorts at the node's
  // place in the old file, an insertion just after the old node that
  // precedes it in the new file.
  std::vector<std::uint32_t> after(match.origin.size(), 0);
  for (std::uint32_t p = 0, last = 0; p < after.size(); ++p) {
    after[p] = last;
    if (match.origin[p]) last = *match.origin[p];
  }
  std::vector<std::pair<std::uint64_t, std::size_t>> order;
  out.reserve(changes.size());
  for (const Change& c : changes) {
    FileChange fc{.op = c.op, .field = c.field};
    const Location& loc = c.location;
    std::optional<std::uint32_t> old_pre, new_pre;
    if (c.op == ChangeOp::Insert && c.field == Field::Node && !loc.empty()) {
      const auto parent = walk(ov, loc, loc.size() - 1, fc.path);
      const auto new_parent = parent ? new_of_old[*parent] : std::nullopt;
      if (new_parent && c.index < nv.child_count(*new_parent)) new_pre = nv.child(*new_parent, c.index);
      if (new_pre) {
        nv.append_segment(fc.path, *new_pre);
      } else {
        fc.path += '/';
        fc.path += detail::step_text(loc.back());
      }
    } else {
      old_pre = walk(ov, loc, loc.size(), fc.path);
      if (old_pre) new_pre = new_of_old[*old_pre];
    }
    if (fc.path.empty()) fc.path = root_path(ov);
    if (c.field == Field::Attribute) fc.path += "/@" + c.name;
    fc.old_value = value_text(c.old_value, &ov, old_pre, old_doc.format);
    fc.new_value = value_text(c.new_value, &nv, new_pre, new_doc.format);
    if (c.field == Field::Attribute && !fc.old_value) fc.op = ChangeOp::Insert;
    if (c.field == Field::Attribute && !fc.new_value) fc.op = ChangeOp::Remove;
    const std::uint64_t place = old_pre ? 2 * std::uint64_t{*old_pre}
                                : new_pre ? 2 * std::uint64_t{after[*new_pre]} + 1
                                          : 0;
    order.emplace_back(place, out.size());
    out.push_back(std::move(fc));
  }
  std::stable_sort(order.begin(), order.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<FileChange> sorted;
  sorted.reserve(out.size());
  for (const auto& [place, i] : order) sorted.push_back(std::move(out[i]));
  return sorted;
}

Result<FileMerge, FileError> merge_documents(const Document& base, const Document& ours, const Document& theirs,
                                             bool markers, const StopCheck& stop) {
  return FileMerger(base, ours, theirs, stop).run(markers);
}

}  // namespace vext
