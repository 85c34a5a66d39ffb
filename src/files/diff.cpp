#include "files/files.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/internal/pairing.h"
#include "files/internal/view.h"

namespace vext {

using detail::DocView;
using detail::Numbered;

namespace {

// The old document's node and printed path for each location, worked out
// once per location and shared with the locations below it, so that the
// changes of a deep document cost time and memory in proportion to their
// number.
struct Place {
  std::optional<std::uint32_t> node = 0;
  FilePath path{};
};

// The place one step below `up`.
Place step_from(const Place& up, const Step& step, DocView& view) {
  Place next{.node = up.node ? view.resolve(*up.node, step) : std::nullopt, .path = up.path};
  std::string segment;
  if (next.node) {
    view.append_segment(segment, *next.node);
  } else {
    segment = '/' + detail::step_text(step);
  }
  next.path.push_back(std::move(segment));
  return next;
}

const Place& place_of(const Location& location, DocView& view, ChainMemo<Step, Place>& places) {
  return places(location, [&](const Location& at, const Place& up) { return step_from(up, at.back(), view); });
}

// The place of a change's own location. Only its parent is remembered: most
// changes are leaves, whose places no other change asks for again.
Place change_place(const Location& location, DocView& view, ChainMemo<Step, Place>& places) {
  if (location.empty()) return place_of(location, view, places);
  return step_from(place_of(location.parent(), view, places), location.back(), view);
}

}  // namespace

std::string path_text(const FilePath& path) {
  std::string out;
  for (const std::string* segment : path.items()) out += *segment;
  return out;
}

Result<std::vector<FileChange>, FileError> diff_documents(const Document& old_doc, const Document& new_doc,
                                                         const StopCheck& stop) {
  detail::Ticker ticker(stop);
  const bool stubs = old_doc.stubs || new_doc.stubs;
  const detail::KindRule rule = detail::kind_rule(old_doc.format);
  std::optional<Numbered> x(std::in_place, old_doc.tree, ticker, old_doc.layout.size(), stubs, rule);
  std::optional<Numbered> y(std::in_place, new_doc.tree, ticker, new_doc.layout.size(), stubs, rule);
  // The nodes of the changes are read from the documents, which stand
  // until the end: they are borrowed, not copied.
  auto located = detail::located_diff(x->index, y->index, ticker, true);
  if (!located.ok()) return FileError{-1, FormatError::whole_trees_needed()};
  const std::vector<Change> changes = std::move(located).value();
  std::vector<FileChange> out;
  if (changes.empty()) return out;
  auto paired = detail::pair_numbered(*x, *y, ticker);
  if (!paired.ok()) return FileError{-1, FormatError::whole_trees_needed()};
  const Correspondence match = std::move(paired).value();
  x.reset();
  y.reset();
  DocView ov(old_doc), nv(new_doc);
  const auto new_of_old = detail::invert(match, ov.size());
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
  ChainMemo<Step, Place> places(Place{});
  for (const Change& c : changes) {
    FileChange fc{.op = c.op, .field = c.field};
    const Location& loc = c.location;
    std::optional<std::uint32_t> old_pre, new_pre;
    if (c.op == ChangeOp::Insert && c.field == Field::Node && !loc.empty()) {
      const Place& parent = place_of(loc.parent(), ov, places);
      fc.path = parent.path;
      const auto new_parent = parent.node ? new_of_old[*parent.node] : std::nullopt;
      if (new_parent && c.index < nv.child_count(*new_parent)) new_pre = nv.child(*new_parent, c.index);
      std::string segment;
      if (new_pre) {
        nv.append_segment(segment, *new_pre);
      } else {
        segment = '/' + detail::step_text(loc.back());
      }
      fc.path.push_back(std::move(segment));
    } else {
      Place place = change_place(loc, ov, places);
      fc.path = std::move(place.path);
      old_pre = place.node;
      if (old_pre) new_pre = new_of_old[*old_pre];
    }
    if (fc.path.empty()) fc.path.push_back(detail::root_path(ov));
    if (c.field == Field::Attribute) fc.path.push_back("/@" + c.name);
    auto old_value = detail::value_text(c.old_value, &ov, old_pre, old_doc.format);
    if (!old_value.ok()) return FileError{0, old_value.error()};
    auto new_value = detail::value_text(c.new_value, &nv, new_pre, new_doc.format);
    if (!new_value.ok()) return FileError{1, new_value.error()};
    fc.old_value = std::move(old_value).value();
    fc.new_value = std::move(new_value).value();
    if (c.field == Field::Attribute && !fc.old_value) fc.op = ChangeOp::Insert;
    if (c.field == Field::Attribute && !fc.new_value) fc.op = ChangeOp::Remove;
    const std::uint64_t place = old_pre ? 2 * std::uint64_t{*old_pre}
                                : new_pre ? 2 * std::uint64_t{after[*new_pre]} + 1
                                          : 0;
    order.emplace_back(place, out.size());
    out.push_back(std::move(fc));
  }
  std::stable_sort(order.begin(), order.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  // The changes move into that order where they are, cycle by cycle: a
  // second list would double their memory, on a diff of millions of them.
  for (std::size_t start = 0; start < order.size(); ++start) {
    if (order[start].second == start) continue;
    FileChange held = std::move(out[start]);
    std::size_t k = start;
    for (;;) {
      const std::size_t from = std::exchange(order[k].second, k);
      if (from == start) {
        out[k] = std::move(held);
        break;
      }
      out[k] = std::move(out[from]);
      k = from;
    }
  }
  return out;
}

}  // namespace vext
