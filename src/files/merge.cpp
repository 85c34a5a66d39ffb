#include "files/files.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "files/internal/merging.h"
#include "files/internal/pairing.h"
#include "files/internal/reading.h"
#include "files/internal/view.h"
#include "formats/encoding.h"
#include "formats/splice.h"

namespace vext {
namespace {

using detail::DocView;
using detail::Numbered;
using detail::invert;
using detail::is_element;
using detail::pair_numbered;
using detail::root_path;
using detail::value_text;
using detail::walk;

// The comments of a JSON text outside its strings, as written; a line
// comment without its line break.
std::vector<std::string_view> json_comments(std::string_view src) {
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < src.size();) {
    if (src[i] == '"') {
      for (++i; i < src.size() && src[i] != '"'; ++i) {
        if (src[i] == '\\') ++i;
      }
      ++i;
      continue;
    }
    const std::size_t past = detail::comment_end(src, i);
    if (past == i) {
      ++i;
      continue;
    }
    std::string_view comment = src.substr(i, past - i);
    if (comment[1] == '/' && comment.ends_with('\r')) comment.remove_suffix(1);
    out.push_back(comment);
    i = past;
  }
  return out;
}

// Comments are layout, which a merge takes from ours, so a comment theirs
// wrote or changed may not reach the merged text. Counting each comment's
// copies in the three files and the merge, as the merge of each count would
// have it, finds one a side's change lost; the merge is then refused
// rather than quietly dropping it.
std::optional<FormatError> lost_comment(std::string_view base, std::string_view ours, std::string_view theirs,
                                        std::string_view merged) {
  const auto commented = [](std::string_view t) {
    return t.find("//") != std::string_view::npos || t.find("/*") != std::string_view::npos;
  };
  if (!commented(base) && !commented(ours) && !commented(theirs)) return std::nullopt;
  std::unordered_map<std::string_view, std::array<int, 4>> counts;
  const std::array<std::string_view, 4> texts{base, ours, theirs, merged};
  for (std::size_t k = 0; k < texts.size(); ++k) {
    for (std::string_view c : json_comments(texts[k])) ++counts[c][k];
  }
  for (const auto& [comment, n] : counts) {
    const auto [b, o, t, m] = n;
    const int wanted = o == b ? t : t == b ? o : std::min(o, t);
    if (m >= wanted) continue;
    std::string_view shown = comment.substr(0, std::min(comment.find_first_of("\r\n"), std::size_t{60}));
    while (shown.size() < comment.size() && !shown.empty() && (static_cast<unsigned char>(comment[shown.size()]) & 0xC0) == 0x80) {
      shown.remove_suffix(1);
    }
    return FormatError{"the merge would lose a comment a side wrote (" + std::string(shown) +
                       (shown.size() < comment.size() ? "...)" : ")") + ": merge this file by lines",
                       std::nullopt};
  }
  return std::nullopt;
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

  // Merges, and writes the result in the encoding of the file whose layout
  // it keeps.
  Result<FileMerge, FileError> run(bool markers) {
    if (const Document* same = one_side_unchanged()) {
      auto bytes = encode_like(*same, same->source);
      if (!bytes.ok()) return FileError{-1, bytes.error()};
      return FileMerge{.merged = std::move(bytes).value()};
    }
    auto out = merge(markers);
    if (!out.ok()) return out;
    if (ours_.format == Format::Json) {
      if (auto lost = lost_comment(base_.source, ours_.source, theirs_.source, out->merged)) {
        return FileError{-1, *std::move(lost)};
      }
    }
    auto bytes = plain_ ? encode_marked(std::move(out->merged)) : encode_like(ours_, std::move(out->merged));
    if (!bytes.ok()) return FileError{-1, bytes.error()};
    out->merged = std::move(bytes).value();
    return out;
  }

 private:
  Result<FileMerge, FileError> merge(bool markers) {
    // Each tree is indexed once for the merge and all the pairings after it.
    detail::Ticker ticker(stop_);
    const bool stubs = base_.stubs || ours_.stubs || theirs_.stubs;
    const detail::KindRule rule = detail::kind_rule(ours_.format);
    std::optional<Numbered> nb(std::in_place, base_.tree, ticker, base_.layout.size(), stubs, rule);
    std::optional<Numbered> no(std::in_place, ours_.tree, ticker, ours_.layout.size(), stubs, rule);
    std::optional<Numbered> nt(std::in_place, theirs_.tree, ticker, theirs_.layout.size(), stubs, rule);
    auto three_way = detail::three_way_merge(nb->index, no->index, nt->index, ticker);
    if (!three_way.ok()) return whole_trees_needed();
    ThreeWayResult merged = std::move(three_way).value();
    if (merged.conflicts.empty()) nb.reset();
    // Room for what ours and theirs hold together; room left unused is
    // never touched.
    std::optional<Numbered> nm(std::in_place, merged.tree, ticker, ours_.layout.size() + theirs_.layout.size(), stubs,
                               rule);
    auto from_ours = pair_numbered(*no, *nm, ticker);
    if (!from_ours.ok()) return whole_trees_needed();
    Pairing pairing{.from_ours = std::move(from_ours).value()};
    pairing.mark = markers && !merged.conflicts.empty();
    pairing.from_theirs_only = std::any_of(pairing.from_ours.origin.begin(), pairing.from_ours.origin.end(),
                                           [](const auto& o) { return !o.has_value(); });
    if (pairing.mark || pairing.from_theirs_only) {
      auto from_theirs = pair_numbered(*nt, *nm, ticker);
      if (!from_theirs.ok()) return whole_trees_needed();
      pairing.from_theirs = std::move(from_theirs).value();
    }
    // Conflicts are described before the merged file is written, so that
    // base's tree is gone by then; their blocks' places follow the writing.
    FileMerge out;
    std::vector<Region> regions;
    if (!merged.conflicts.empty()) {
      auto described = describe_conflicts(merged.conflicts, *nb, *no, *nt, pairing, ticker, regions);
      if (!described.ok()) return FileError{-1, described.error()};
      out.conflicts = std::move(described).value();
    }
    nb.reset();
    no.reset();
    nt.reset();
    merged.conflicts.clear();
    if (trees_) {
      (*trees_)[0].tree = TreeNode();
      detail::give_back_free_memory();
    }
    std::vector<OutputSpan> spans;
    auto written = write_merged(merged.tree, pairing, spans);
    if (!written.ok()) return FileError{-1, written.error()};
    out.merged = std::move(written).value();
    if (!pairing.mark) return out;
    // The markers need only the files' bytes and where their nodes stand.
    nm.reset();
    merged.tree = TreeNode();
    if (trees_) {
      for (Document& d : *trees_) d.tree = TreeNode();
    }
    detail::give_back_free_memory();
    for (Region& r : regions) r.span = spans[r.merged];
    plain_ = std::move(out.merged);
    out.merged = with_markers(*plain_, std::move(regions));
    return out;
  }

  // Converts a merge with conflict markers to ours' encoding. Marker lines
  // make it no document, so where its character references stand is checked
  // on the merge without them and on each side in another encoding, whose
  // bytes the blocks are cut from.
  Result<std::string, FormatError> encode_marked(std::string text) const {
    if (ours_.encoding.empty()) return text;
    for (const Document* side : {&base_, &theirs_}) {
      if (side->encoding == ours_.encoding) continue;
      auto checked = encode_like(ours_, side->source);
      if (!checked.ok()) return checked.error();
    }
    auto checked = encode_like(ours_, *plain_);
    if (!checked.ok()) return checked.error();
    return detail::encode(text, ours_.encoding, ours_.format == Format::Xml);
  }

  static FileError whole_trees_needed() { return FileError{-1, FormatError::whole_trees_needed()}; }

  // Where the merged tree's nodes came from.
  struct Pairing {
    Correspondence from_ours{};
    std::optional<Correspondence> from_theirs{};  // when marking or when theirs added nodes
    bool mark = false;                          // conflicts are marked in the file
    bool from_theirs_only = false;              // the merge holds nodes ours does not
  };

  // The side that is the merge when one side changed nothing, or both made
  // the same file.
  const Document* one_side_unchanged() const {
    if (ours_.source == theirs_.source || theirs_.source == base_.source) return &ours_;
    if (ours_.source == base_.source) return &theirs_;
    return nullptr;
  }

  // Names each conflict's place and values in the files, and with markers,
  // finds the block that encloses it.
  Result<std::vector<FileConflict>, FormatError> describe_conflicts(const std::vector<Conflict>& conflicts,
                                                                   const Numbered& nb, const Numbered& no,
                                                                   const Numbered& nt, const Pairing& pairing,
                                                                   detail::Ticker& ticker,
                                                                   std::vector<Region>& regions) const {
    DocView b(base_), o(ours_), t(theirs_);
    auto base_to_ours = pair_numbered(nb, no, ticker);
    auto base_to_theirs = pair_numbered(nb, nt, ticker);
    if (!base_to_ours.ok() || !base_to_theirs.ok()) return FormatError::whole_trees_needed();
    const auto ours_of_base = invert(*base_to_ours, b.size());
    const auto theirs_of_base = invert(*base_to_theirs, b.size());
    std::vector<std::optional<std::uint32_t>> merged_of_ours, merged_of_theirs;
    if (pairing.mark) {
      merged_of_ours = invert(pairing.from_ours, o.size());
      merged_of_theirs = invert(*pairing.from_theirs, t.size());
    }
    std::vector<FileConflict> out;
    for (const Conflict& c : conflicts) {
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
        if (start && theirs_of_base[*start]) tn = t.resolve(*theirs_of_base[*start], loc.back());
        if (on) {
          o.append_segment(fc.path, *on);
        } else {
          fc.path += '/';
          fc.path += detail::step_text(loc.back());
        }
      }
      if (fc.path.empty()) fc.path = root_path(b);
      if (c.field == Field::Attribute) fc.path += "/@" + c.name;
      auto base = value_text(c.base, &b, bn, base_.format);
      auto ours = value_text(c.ours, &o, on, ours_.format);
      auto theirs = value_text(c.theirs, &t, tn, theirs_.format);
      for (auto* side : {&base, &ours, &theirs}) {
        if (!side->ok()) return side->error();
      }
      fc.base = std::move(base).value();
      fc.ours = std::move(ours).value();
      fc.theirs = std::move(theirs).value();
      out.push_back(std::move(fc));
      if (pairing.mark) {
        regions.push_back(
            enclose(b, start.value_or(0), ours_of_base, theirs_of_base, merged_of_ours, merged_of_theirs));
      }
    }
    return out;
  }

  // Writes the merged tree against ours. A sub-tree that came from theirs
  // alone, and stands there unchanged, is written as its bytes in theirs,
  // so that it keeps their layout.
  Result<std::string, FormatError> write_merged(const TreeNode& tree, const Pairing& pairing,
                                                std::vector<OutputSpan>& spans) const {
    std::optional<DocView> t;
    if (pairing.from_theirs_only) t.emplace(theirs_);
    const Borrowed from_theirs_bytes = [&](std::uint32_t pre, const TreeNode& node) -> std::optional<std::string_view> {
      const auto tn = pairing.from_theirs->origin[pre];
      if (!tn || !(node == t->node(*tn))) return std::nullopt;
      // A JSON member keeps the comments on the lines before it.
      const std::size_t begin = theirs_.format == Format::Json
                                    ? detail::leading_comments(theirs_.source, theirs_.layout[*tn].gap_begin, t->lead(*tn))
                                    : t->lead(*tn);
      return std::string_view(theirs_.source).substr(begin, theirs_.layout[*tn].end - begin);
    };
    // Where ours shows no indentation (a file on one line, an element
    // that had no children), children theirs added take theirs' lines.
    std::optional<Style> style;
    if (pairing.from_theirs_only && ours_.style.indent.empty() && !theirs_.style.indent.empty()) {
      style = ours_.style;
      style->indent = theirs_.style.indent;
      style->newline = theirs_.style.newline;
    }
    return write_document(ours_, tree, pairing.from_ours,
                          pairing.mark || pairing.from_theirs_only ? &spans : nullptr,
                          pairing.from_theirs_only ? &from_theirs_bytes : nullptr, style ? &*style : nullptr);
  }

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
    // Marker lines end as ours' lines do.
    const std::string_view nl = ours_.style.newline == "\r\n" ? "\r\n" : "\n";
    auto version = [&out, nl](std::string_view marker, std::optional<std::string_view> text) {
      out += marker;
      out += nl;
      if (!text) return;
      out += *text;
      if (!text->empty() && text->back() != '\n') out += nl;
    };
    for (const Block& block : blocks) {
      out.append(merged, copied, block.at.begin - copied);
      if (!block.at.line_start) out += nl;
      version("<<<<<<< ours", block.ours);
      version("||||||| base", block.base);
      version("=======", block.theirs);
      out += ">>>>>>> theirs";
      out += nl;
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
  std::optional<std::string> plain_;  // the merge without its conflict markers, when they are written
};

}  // namespace

Result<FileMerge, FileError> merge_documents(const Document& base, const Document& ours, const Document& theirs,
                                             bool markers, const StopCheck& stop) {
  return FileMerger(base, ours, theirs, stop).run(markers);
}

Result<FileMerge, FileError> detail::merge_consuming(std::vector<Document>& docs, bool markers, const StopCheck& stop) {
  return FileMerger(docs[0], docs[1], docs[2], stop, &docs).run(markers);
}

}  // namespace vext
