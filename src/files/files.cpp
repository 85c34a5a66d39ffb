#include "files/files.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "formats/splice.h"
#include "three_way/index.h"
#include "three_way/pairing.h"

namespace vext {
namespace {

using detail::IndexedTree;

bool is_element(const TreeNode& n) { return !n.kind.empty() && n.kind[0] != '#'; }

using detail::count_nodes;

// A tree indexed for pairing, with each entry's preorder number and the
// size of its sub-tree, so that an unchanged sub-tree pairs in one step. The
// numbers are made when a pairing first needs them: a merge runs on the
// index alone, and its peak of memory goes without them.
struct Numbered {
  IndexedTree index;

  // `stubs`: the tree may hold stubs (see Document::stubs).
  Numbered(const TreeNode& root, detail::Ticker& ticker, std::size_t size_hint = 0, bool stubs = false,
           detail::KindRule rule = detail::KindRule::Strict)
      : index(root, ticker, size_hint, stubs, rule) {}

  std::uint32_t pre(std::size_t i) const { return numbers().pre[i]; }
  std::uint32_t size(std::size_t i) const { return numbers().size[i]; }

 private:
  struct Numbers {
    std::vector<std::uint32_t> pre, size;
  };
  const Numbers& numbers() const {
    if (!numbers_) {
      Numbers& n = numbers_.emplace(Numbers{std::vector<std::uint32_t>(index.size()),
                                            std::vector<std::uint32_t>(index.size(), 1)});
      std::vector<std::size_t> stack{0};
      std::uint32_t next = 0;
      while (!stack.empty()) {
        const std::size_t i = stack.back();
        stack.pop_back();
        n.pre[i] = next++;
        for (std::size_t k = index.child_count(i); k-- > 0;) stack.push_back(index.child(i, k));
      }
      // Children come after their parent, so a backward pass sees them first.
      for (std::size_t i = index.size(); i-- > 0;) {
        for (std::size_t k = 0; k < index.child_count(i); ++k) n.size[i] += n.size[index.child(i, k)];
      }
    }
    return *numbers_;
  }
  mutable std::optional<Numbers> numbers_;
};

Correspondence pair_numbered(const Numbered& x, const Numbered& y, detail::Ticker& ticker) {
  Correspondence match{std::vector<std::optional<std::uint32_t>>(y.index.size())};
  std::vector<std::pair<std::size_t, std::size_t>> stack{{0, 0}};
  while (!stack.empty()) {
    const auto [i, j] = stack.back();
    stack.pop_back();
    if (detail::same_subtree(x.index, i, y.index, j)) {
      // Equal sub-trees pair node for node, and their preorder runs line up.
      const std::uint32_t from = x.pre(i), to = y.pre(j), count = y.size(j);
      for (std::uint32_t k = 0; k < count; ++k) match.origin[to + k] = from + k;
      ticker.tick(count);
      continue;
    }
    // A stub paired with anything but its equal cannot say what it stands
    // for; the pairings the trimming planned never do this, others may.
    if (x.index.stub(i) || y.index.stub(j)) throw detail::NeedWholeTrees();
    match.origin[y.pre(j)] = x.pre(i);
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
    const std::string_view identity = step.identity ? std::string_view(*step.identity) : std::string_view();
    const auto k = find(parent, f, ChildKey{step.kind, identity, step.identity.has_value(), step.position});
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
  };

  ChildKey key_of(std::uint32_t parent, const Facts& f, std::uint32_t k) const {
    return ChildKey::of(node(child(parent, k)), f.key_pos[k]);
  }
  static bool before(const ChildKey& a, const ChildKey& b) {
    return std::tie(a.kind, a.has_identity, a.identity, a.position) <
           std::tie(b.kind, b.has_identity, b.identity, b.position);
  }

  // The child of `parent` that `key` names.
  std::optional<std::size_t> find(std::uint32_t parent, const Facts& f, const ChildKey& key) const {
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
    const std::vector<std::uint32_t> pos = detail::sibling_positions(p);
    f.rank.reserve(p.children.size());
    for (std::size_t k = 0; k < p.children.size(); ++k) {
      const TreeNode& c = p.children[k];
      f.rank.push_back(f.test_count[node_test(c)]++);
    }
    f.key_pos = pos;
    f.by_step.resize(p.children.size());
    for (std::uint32_t k = 0; k < f.by_step.size(); ++k) f.by_step[k] = k;
    std::sort(f.by_step.begin(), f.by_step.end(), [&](std::uint32_t a, std::uint32_t b) {
      return before(key_of(parent, f, a), key_of(parent, f, b));
    });
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

// JSON members pair by name whatever the type of their values, and an XML
// root element pairs with the other file's whatever its name, so that such a
// change is an update of the node.
detail::KindRule kind_rule(Format f) { return f == Format::Json ? detail::KindRule::Members : detail::KindRule::RootElement; }

// Returns the memory malloc holds free to the system: a sketch is large and
// made of few blocks, and the trees read after it are small, so what it
// leaves in the heap would otherwise stay in the process.
void give_back_free_memory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

// A conflict's block in the merged file: the bytes of its smallest
// enclosing element or member on each side.
struct Region {
  OutputSpan span;  // in the merged file
  std::uint32_t merged = 0;  // the node there, by preorder number
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
  // With `trees`, the trees of the documents are dropped once they are no
  // longer needed.
  FileMerger(const Document& base, const Document& ours, const Document& theirs, const StopCheck& stop,
             std::vector<Document>* trees = nullptr)
      : base_(base), ours_(ours), theirs_(theirs), stop_(stop), trees_(trees) {}

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
    const bool stubs = base_.stubs || ours_.stubs || theirs_.stubs;
    const detail::KindRule rule = kind_rule(ours_.format);
    std::optional<Numbered> nb(std::in_place, base_.tree, ticker, base_.layout.size(), stubs, rule);
    const Numbered no(ours_.tree, ticker, ours_.layout.size(), stubs, rule);
    const Numbered nt(theirs_.tree, ticker, theirs_.layout.size(), stubs, rule);
    ThreeWayResult merged = detail::three_way_merge(nb->index, no.index, nt.index, ticker);
    if (merged.conflicts.empty()) nb.reset();
    // Room for what ours and theirs hold together; room left unused is
    // never touched.
    std::optional<Numbered> nm(std::in_place, merged.tree, ticker, ours_.layout.size() + theirs_.layout.size(), stubs,
                               rule);
    const Correspondence from_ours = pair_numbered(no, *nm, ticker);
    const bool mark = markers && !merged.conflicts.empty();
    const bool from_theirs_only = std::any_of(from_ours.origin.begin(), from_ours.origin.end(),
                                              [](const auto& o) { return !o.has_value(); });
    std::vector<OutputSpan> spans;
    std::optional<DocView> t;
    std::optional<Correspondence> from_theirs;
    if (mark || from_theirs_only) {
      t.emplace(theirs_);
      from_theirs = pair_numbered(nt, *nm, ticker);
    }
    // A sub-tree that came from theirs alone, and stands there unchanged,
    // is written as its bytes in theirs, so that it keeps their layout.
    const Borrowed from_theirs_bytes = [&](std::uint32_t pre, const TreeNode& node) -> std::optional<std::string_view> {
      const auto tn = from_theirs->origin[pre];
      if (!tn || !(node == t->node(*tn))) return std::nullopt;
      return std::string_view(theirs_.source).substr(t->lead(*tn), theirs_.layout[*tn].end - t->lead(*tn));
    };
    // Conflicts are described before the merged file is written, so that
    // base's tree is gone by then; their blocks' places follow the writing.
    std::vector<Region> regions;
    if (!merged.conflicts.empty()) {
      DocView b(base_), o(ours_);
      if (!t) t.emplace(theirs_);
      const auto ours_of_base = invert(pair_numbered(*nb, no, ticker), b.size());
      const auto theirs_of_base = invert(pair_numbered(*nb, nt, ticker), b.size());
      std::vector<std::optional<std::uint32_t>> merged_of_ours, merged_of_theirs;
      if (mark) {
        merged_of_ours = invert(from_ours, o.size());
        merged_of_theirs = invert(*from_theirs, t->size());
      }
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
                                            merged_of_theirs));
      }
    }
    nb.reset();
    merged.conflicts.clear();
    if (trees_) {
      (*trees_)[0].tree = TreeNode();
      give_back_free_memory();
    }

    auto written = write_document(ours_, merged.tree, from_ours, mark || from_theirs_only ? &spans : nullptr,
                                  from_theirs_only ? &from_theirs_bytes : nullptr);
    if (!written.ok()) return FileError{-1, written.error()};
    out.merged = std::move(written).value();
    if (!mark) return out;
    // The markers need only the files' bytes and where their nodes stand.
    nm.reset();
    merged.tree = TreeNode();
    if (trees_) {
      for (Document& d : *trees_) d.tree = TreeNode();
    }
    give_back_free_memory();
    for (Region& r : regions) r.span = spans[r.merged];
    out.merged = with_markers(out.merged, std::move(regions));
    return out;
  }

 private:
  // Climbs from base's node `at` to the nearest element (XML) or member
  // (JSON) that stands in the merged file.
  Region enclose(DocView& b, std::uint32_t at, const std::vector<std::optional<std::uint32_t>>& ours_of_base,
                 const std::vector<std::optional<std::uint32_t>>& theirs_of_base,
                 const std::vector<std::optional<std::uint32_t>>& merged_of_ours,
                 const std::vector<std::optional<std::uint32_t>>& merged_of_theirs) const {
    for (;;) {
      const TreeNode& n = b.node(at);
      const bool whole = b.xml() ? is_element(n) : n.identity.has_value();
      const auto on = ours_of_base[at], tn = theirs_of_base[at];
      std::optional<std::uint32_t> m;
      if (on) m = merged_of_ours[*on];
      if (!m && tn) m = merged_of_theirs[*tn];
      if (at == 0) return Region{{}, 0, 0, 0, 0};
      if (whole && m) return Region{{}, *m, at, on, tn};
      at = b.parent(at);
    }
  }

  std::string with_markers(const std::string& merged, std::vector<Region> regions) const {
    const bool json = ours_.format == Format::Json;
    std::sort(regions.begin(), regions.end(), [](const Region& x, const Region& y) {
      return x.span.begin != y.span.begin ? x.span.begin < y.span.begin : x.span.end > y.span.end;
    });
    auto side = [json](const Document& d, std::optional<std::uint32_t> pre) -> std::optional<std::string_view> {
      if (!pre) return std::nullopt;
      const std::string_view src = d.source;
      if (*pre == 0) return src;
      const NodeLayout& l = d.layout[*pre];
      const Extent e = extent(src, l.key_begin ? l.key_begin : l.begin, l.end, json);
      return src.substr(e.begin, e.end - e.begin);
    };
    // The blocks first, so that the result is allocated once at its size.
    struct Block {
      Extent at;
      std::optional<std::string_view> ours, base, theirs;
    };
    std::vector<Block> blocks;
    std::size_t size = merged.size();
    std::size_t copied = 0;
    for (const Region& r : regions) {
      if (r.span.begin < copied) continue;  // inside a block already written
      const Extent e = r.base == 0 ? Extent{0, merged.size(), merged.size(), true}
                                   : extent(merged, r.span.begin, r.span.end, json);
      if (e.begin < copied) continue;
      const std::string_view mine = std::string_view(merged).substr(e.begin, e.end - e.begin);
      Block& block = blocks.emplace_back(Block{e, r.ours ? std::optional<std::string_view>(mine) : std::nullopt,
                                               side(base_, r.base), side(theirs_, r.theirs)});
      size += 64;
      for (const auto& text : {block.ours, block.base, block.theirs}) size += text ? text->size() : 0;
      copied = e.stop;
    }
    std::string out;
    out.reserve(size);
    copied = 0;
    auto version = [&out](std::string_view marker, std::optional<std::string_view> text) {
      out += marker;
      if (!text) return;
      out += *text;
      if (!text->empty() && text->back() != '\n') out += '\n';
    };
    for (const Block& block : blocks) {
      out.append(merged, copied, block.at.begin - copied);
      if (!block.at.line_start) out += '\n';
      version("<<<<<<< ours\n", block.ours);
      version("||||||| base\n", block.base);
      version("=======\n", block.theirs);
      out += ">>>>>>> theirs\n";
      copied = block.at.stop;
    }
    out.append(merged, copied);
    return out;
  }

  const Document& base_;
  const Document& ours_;
  const Document& theirs_;
  const StopCheck& stop_;
  std::vector<Document>* trees_;
};

}  // namespace

namespace {

// What each file of a call may pass over, and how many nodes its tree then has.
struct Trims {
  std::vector<std::vector<Trim>> lists;
  std::vector<std::size_t> nodes;
};

// Reads the inputs of one call side by side: as sketches, or with the
// sub-trees `trims` names (one list per input) passed over.
Result<std::vector<Document>, FileError> read_inputs(std::vector<std::string> sources, const FileOptions& options,
                                                    const StopCheck& stop, bool sketch,
                                                    const struct Trims* trims) {
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
    for (std::size_t i; (i = shared.next++) < n;) {
      const ReadOptions read_options{.id_attrs = options.id_attrs, .stop = check, .sketch = sketch,
                                     .trims = trims && !trims->lists[i].empty() ? &trims->lists[i] : nullptr,
                                     .node_count = trims ? trims->nodes[i] : 0};
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
  // Trimmed files are quick to read, and one at a time the transient
  // memory of building each tree is needed only once.
  const bool trimmed = trims && std::any_of(trims->lists.begin(), trims->lists.end(),
                                           [](const std::vector<Trim>& list) { return !list.empty(); });
  const std::size_t threads = total < kParallelBytes || trimmed ? 1
                              : std::min<std::size_t>(n, std::max(1U, std::thread::hardware_concurrency()));
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

bool is_name_end(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>' || c == '='; }

// A sketch seen as a tree, for pairing: children found by number, and each
// node's kind and identity read from its bytes. Identities are compared as
// written, before entities are resolved, so two that are written
// differently never pair here even where they are equal; that only keeps a
// sub-tree from being trimmed.
class SketchTree {
 public:
  struct Key {
    std::string_view kind;
    std::string_view identity;
    bool has_identity = false;
    friend bool operator==(const Key&, const Key&) = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const {
      const std::hash<std::string_view> h;
      return h(k.kind) * 31 + h(k.identity) + (k.has_identity ? 1 : 0);
    }
  };

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
      while (detail::is_space(src_[at])) ++at;
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

// Chooses what the second reading passes over: the largest sub-trees that
// the diff (two sketches) or the merge (base, ours, theirs) pairs with each
// other and that are the same, byte for byte, in every file. The pairing is
// the engine's own, on the same fingerprints, so the engine meets each stub
// only beside its equal.
Trims plan_trims(const std::vector<Document>& sketches, detail::Ticker& ticker) {
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
      partner[d] = detail::pair_child_lists(kids[0], 0, kids[d], 0).first;
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

// Runs `work` on the files of one call, read so that what every file holds
// alike, at places the call pairs, is never built: the files are sketched,
// the shared sub-trees chosen, and the files read again passing over them.
// Should a stub meet anything but its equal, the files are read whole and
// `work` runs again, so the result is always the one whole trees give.
template <class Work>
std::invoke_result_t<Work&, std::vector<Document>&> run_trimmed(std::vector<std::string> sources,
                                                                     const FileOptions& options,
                                                                     const StopCheck& stop, Work work) {
  auto sketches = read_inputs(std::move(sources), options, stop, true, nullptr);
  if (!sketches.ok()) return sketches.error();
  Trims trims;
  {
    detail::Ticker ticker(stop);
    trims = plan_trims(*sketches, ticker);
  }
  auto take_sources = [](std::vector<Document>& docs) {
    std::vector<std::string> out;
    for (Document& d : docs) out.push_back(std::move(d.source));
    docs.clear();
    return out;
  };
  std::vector<std::string> bytes = take_sources(*sketches);
  give_back_free_memory();
  auto docs = read_inputs(std::move(bytes), options, stop, false, &trims);
  trims = Trims();
  if (!docs.ok()) return docs.error();
  try {
    return work(*docs);
  } catch (const detail::NeedWholeTrees&) {
  }
  auto whole = read_inputs(take_sources(*docs), options, stop, false, nullptr);
  if (!whole.ok()) return whole.error();
  return work(*whole);
}

}  // namespace

Result<std::vector<Document>, FileError> read_files(std::vector<std::string> sources, const FileOptions& options,
                                                   const StopCheck& stop) {
  return read_inputs(std::move(sources), options, stop, false, nullptr);
}

Result<std::vector<FileChange>, FileError> diff_files(std::vector<std::string> sources, const FileOptions& options,
                                                      const StopCheck& stop) {
  auto out = run_trimmed(std::move(sources), options, stop, [&](std::vector<Document>& docs) {
    return Result<std::vector<FileChange>, FileError>(diff_documents(docs[0], docs[1], stop));
  });
  give_back_free_memory();
  return out;
}

Result<FileMerge, FileError> merge_files(std::vector<std::string> sources, const FileOptions& options, bool markers,
                                         const StopCheck& stop) {
  auto out = run_trimmed(std::move(sources), options, stop, [&](std::vector<Document>& docs) {
    return FileMerger(docs[0], docs[1], docs[2], stop, &docs).run(markers);
  });
  // The caller goes on to copy the merged file, in memory the documents held.
  give_back_free_memory();
  return out;
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
  const bool stubs = old_doc.stubs || new_doc.stubs;
  const detail::KindRule rule = kind_rule(old_doc.format);
  std::optional<Numbered> x(std::in_place, old_doc.tree, ticker, old_doc.layout.size(), stubs, rule);
  std::optional<Numbered> y(std::in_place, new_doc.tree, ticker, new_doc.layout.size(), stubs, rule);
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
