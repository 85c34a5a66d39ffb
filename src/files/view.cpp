#include "files/internal/view.h"

#include <variant>

#include "formats/splice.h"

namespace vext::detail {
namespace {

// Writes a node that has no bytes of its own in any input, in `format`: as
// the one new node of a small document, cut out of it by its span. A JSON
// member's name is not part of its value; an XML node that may only stand
// inside an element is written inside one.
Result<std::string, FormatError> fresh(const TreeNode& node, Format format) {
  TreeNode top;
  std::uint32_t at = 0;
  std::string source;
  if (format == Format::Json) {
    top = node;
    top.identity.reset();
    source = "null";
  } else {
    top = TreeNode("#document");
    if (is_element(node) || node.kind == "#comment" || node.kind == "#pi" || node.kind == "#doctype") {
      top.children.push_back(node);
      if (!is_element(node)) top.children.emplace_back("x");
      at = 1;
    } else {
      top.children.emplace_back("x").children.push_back(node);
      at = 2;
    }
    source = "<x/>";
  }
  auto doc = format == Format::Json ? read_json(std::move(source)) : read_xml(std::move(source));
  if (!doc.ok()) throw Fatal("a blank document does not read: " + doc.error().text());
  std::vector<std::optional<std::uint32_t>> origin(count_nodes(top));
  if (format == Format::Xml) origin[0] = 0;
  std::vector<OutputSpan> spans;
  auto out = write_document(*doc, top, Correspondence{std::move(origin)}, &spans);
  if (!out.ok()) return out.error();
  const OutputSpan span = spans[at];
  return out->substr(span.begin, span.end - span.begin);
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

}  // namespace

std::optional<std::uint32_t> walk(DocView& view, const Location& location, std::size_t steps, std::string& path) {
  std::optional<std::uint32_t> at = 0;
  const std::vector<const Step*> all = location.items();
  for (std::size_t i = 0; i < steps; ++i) {
    if (at) at = view.resolve(*at, *all[i]);
    if (at) {
      view.append_segment(path, *at);
    } else {
      path += '/';
      path += step_text(*all[i]);
    }
  }
  return at;
}

Result<std::optional<std::string>, FormatError> value_text(const FieldValue& value, const DocView* view,
                                                           std::optional<std::uint32_t> pre, Format format) {
  using Text = Result<std::optional<std::string>, FormatError>;
  struct Visit {
    const DocView* view;
    std::optional<std::uint32_t> pre;
    Format format;
    Text operator()(std::monostate) const { return std::optional<std::string>(); }
    Text operator()(const std::string& s) const { return std::optional<std::string>(s); }
    Text operator()(const NodeValue& value) const {
      const TreeNode& n = value.get();
      if (view && pre && (value.is(view->node(*pre)) || view->node(*pre) == n)) {
        return std::optional<std::string>(view->bytes(*pre));
      }
      auto text = fresh(n, format);
      if (!text.ok()) return text.error();
      return std::optional<std::string>(std::move(text).value());
    }
    Text operator()(const Attributes& a) const { return std::optional<std::string>(attributes_text(a)); }
    Text operator()(const std::vector<std::string>& steps) const {
      std::string out;
      for (const std::string& s : steps) {
        if (!out.empty()) out += ", ";
        out += s;
      }
      return std::optional<std::string>(std::move(out));
    }
    Text operator()(std::uint64_t n) const { return std::optional<std::string>(std::to_string(n)); }
  };
  return std::visit(Visit{view, pre, format}, value);
}

}  // namespace vext::detail
