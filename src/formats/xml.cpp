#include <expat.h>

#include <algorithm>
#include <iterator>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "formats/document.h"
#include "formats/splice.h"
#include "formats/write.h"
#include "lossless/fingerprint.h"
#include "lossless/index.h"

namespace vext {
namespace {

using detail::error;
using detail::is_space;
using detail::quoted;
using detail::Frame;

struct ParserDeleter {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter>;

// Whether a declaration's encoding name `declared` fits the encoding the
// file was read in ("" for UTF-8): the same name, or "UTF-16" or "UTF-32"
// for either byte order.
bool names_encoding(std::string_view declared, std::string_view encoding) {
  auto plain = [](std::string_view name) {
    std::string out;
    for (const char c : name) {
      if (c != '-' && c != '_') out += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    return out;
  };
  const std::string d = plain(declared);
  if (encoding.empty()) return d == "utf8" || d == "usascii" || d == "ascii";
  const std::string e = plain(encoding);
  return d == e || ((d == "utf16" || d == "utf32") && e.starts_with(d));
}

// Names the entities every XML document has; all others need a declaration.
bool predefined_entity(std::string_view name) {
  return name == "amp" || name == "lt" || name == "gt" || name == "apos" || name == "quot";
}

// The general entities a DOCTYPE declares, by name, with their replacement
// text. Their references are never expanded: a reference stays in text and
// attribute values as the characters "&name;".
using Entities = std::unordered_map<std::string, std::string>;

// The name of the reference that starts at `text[at]` (an "&"), when it is
// one to an entity of `entities`.
std::optional<std::string_view> declared_ref(std::string_view text, std::size_t at, const Entities& entities) {
  const std::size_t semi = text.find(';', at + 1);
  if (semi == std::string_view::npos || semi - at > 256) return std::nullopt;
  const std::string_view name = text.substr(at + 1, semi - at - 1);
  if (name.empty() || !entities.contains(std::string(name))) return std::nullopt;
  return name;
}

// Counts the references to declared entities that `text` reads as.
std::size_t count_refs(std::string_view text, const Entities& entities) {
  std::size_t n = 0;
  for (std::size_t at = text.find('&'); at != std::string_view::npos; at = text.find('&', at + 1)) {
    if (declared_ref(text, at, entities)) ++n;
  }
  return n;
}

void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// An attribute value that holds references to declared entities, read from
// its bytes (which expat has checked): `kept` with each such reference as
// written, `expanded` with its replacement text, as expat reads the value.
struct AttrValue {
  std::string kept;
  std::string expanded;
  std::size_t refs = 0;
};

AttrValue read_attr_value(std::string_view raw, const Entities& entities) {
  AttrValue v;
  auto both = [&v](std::string_view piece) {
    v.kept += piece;
    v.expanded += piece;
  };
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\r' || c == '\n' || c == '\t') {
      if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
      both(" ");
    } else if (c != '&') {
      both(std::string_view(&raw[i], 1));
    } else {
      const std::size_t semi = raw.find(';', i);
      const std::string_view name = raw.substr(i + 1, semi - i - 1);
      if (name[0] == '#') {
        const bool hex = name.size() > 1 && name[1] == 'x';
        std::uint32_t code = 0;
        for (const char d : name.substr(hex ? 2 : 1)) {
          const std::uint32_t digit = d <= '9' ? static_cast<std::uint32_t>(d - '0')
                                               : static_cast<std::uint32_t>((d | 0x20) - 'a' + 10);
          code = code * (hex ? 16 : 10) + digit;
        }
        std::string ch;
        append_utf8(ch, code);
        both(ch);
      } else if (predefined_entity(name)) {
        both(name == "amp" ? "&" : name == "lt" ? "<" : name == "gt" ? ">" : name == "apos" ? "'" : "\"");
      } else {
        v.kept.append(raw.substr(i, semi - i + 1));
        for (char r : entities.at(std::string(name))) v.expanded += r == '\r' || r == '\n' || r == '\t' ? ' ' : r;
        ++v.refs;
      }
      i = semi;
    }
  }
  return v;
}

// Builds the tree and the layout from expat's events. Every node's layout is
// added when the node starts, so `layout` follows preorder.
//
// `Layout` is NodeLayout, or SketchNode for a sketch, which builds no tree:
// each node's fingerprint is computed as the node ends.
template <class Layout>
class XmlReader {
  static constexpr bool kSketch = std::is_same_v<Layout, SketchNode>;

 public:
  XmlReader(Document& doc, const ReadOptions& options) : doc_(doc), options_(options) {}

  std::optional<FormatError> run() {
    const std::string& src = doc_.source;
    if (src.size() >= std::numeric_limits<std::uint32_t>::max()) return error("the file is 4 GiB or larger");
    // The source is UTF-8 whatever the file's encoding (Document::encoding),
    // so the parser's encoding is fixed to it, and the declaration's is
    // checked by hand in on_decl.
    parser_.reset(XML_ParserCreate("UTF-8"));
    if (!parser_) throw std::bad_alloc();
    XML_Parser p = parser_.get();
    XML_SetUserData(p, this);
    XML_SetElementHandler(p, on_start, on_end);
    XML_SetCharacterDataHandler(p, on_text);
    XML_SetCommentHandler(p, on_comment);
    XML_SetProcessingInstructionHandler(p, on_pi);
    XML_SetCdataSectionHandler(p, on_cdata_start, on_cdata_end);
    XML_SetDoctypeDeclHandler(p, on_doctype_start, on_doctype_end);
    XML_SetXmlDeclHandler(p, on_decl);
    XML_SetEntityDeclHandler(p, on_entity_decl);
    // A default handler keeps expat from expanding references to declared
    // entities in content: they come to on_skipped instead.
    XML_SetDefaultHandler(p, on_default);
    XML_SetSkippedEntityHandler(p, on_skipped);
    XML_SetExternalEntityRefHandler(p, on_external);
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);

    doc_.format = Format::Xml;
    doc_.id_attrs = options_.id_attrs;
    layout_.clear();
    doc_.attrs.clear();
    layout_.reserve(options_.trims ? options_.node_count : src.size() / 24 + 16);
    doc_.prolog_end = src.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    layout_.push_back(Layout{.head_end = doc_.prolog_end});
    if constexpr (kSketch) {
      light_.push_back({detail::fp_head("#document", nullptr, "", 0), false});
    } else {
      // The stubs are most of a trimmed tree; room for them at once spares
      // the copies of a growing list.
      if (options_.trims) {
        done_.reserve(options_.node_count + 1);
        doc_.attrs.reserve(options_.node_count);
      }
      done_.emplace_back("#document");
    }
    open_.push_back(Open{0, 0, doc_.prolog_end});

    // The input goes to expat in pieces: the bytes between trimmed nodes'
    // tags are left out, and small pieces keep expat's own copy of the input
    // small and in cache. Positions are counted in the whole input.
    constexpr std::size_t kChunk = std::size_t{1} << 18;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;  // [begin, end) of the source to read
    std::uint32_t from = 0;
    if (options_.trims) {
      for (const Trim& t : *options_.trims) {
        ranges.emplace_back(from, t.skip_begin);
        from = t.skip_end;
      }
    }
    ranges.emplace_back(from, static_cast<std::uint32_t>(src.size()));
    std::uint64_t fed = 0;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
      const auto [begin, end] = ranges[r];
      segments_.push_back({fed, begin});
      std::size_t at = begin;
      do {
        if (options_.stop.poll && options_.stop.poll(options_.stop.context)) throw Stopped();
        const std::size_t n = std::min(kChunk, end - at);
        const bool last = r + 1 == ranges.size() && at + n == end;
        if (XML_Parse(p, src.data() + at, static_cast<int>(n), last) != XML_STATUS_OK) {
          if (failure_) return failure_;
          return detail::error_at(std::string("invalid XML: ") + XML_ErrorString(XML_GetErrorCode(p)), src, index());
        }
        at += n;
        fed += n;
      } while (at < end);
    }
    if (options_.trims && next_trim_ != options_.trims->size()) return error("a trimmed node is not where it was");

    Layout& root = layout_[0];
    root.end = root.tail_begin = static_cast<std::uint32_t>(src.size());
    root.close_gap_begin = open_.front().prev_end;
    if constexpr (kSketch) {
      layout_[0].fingerprint = fold(0);
      return std::nullopt;
    }
    detail::adopt_children(done_, 0);
    doc_.tree = std::move(done_.front());
    learn_style();
    return std::nullopt;
  }

 private:
  // An element being read. It waits in `done_`, followed by its finished
  // children, so that each element's child list is allocated once,
  // at its exact size, when the element ends.
  struct Open {
    std::size_t at;          // the element's own place in `done_` (in a sketch, in `light_`)
    std::uint32_t pre;
    std::uint32_t prev_end;  // end of the last child, or of the start tag
    const Trim* trim = nullptr;  // set when the element's content is passed over
  };

  // A sketch's stand-in for a node in `done_`: its fingerprint so far, and
  // whether it is a "#text" node (whose text is `light_text_`).
  struct Light {
    std::uint64_t hash;
    bool text;
  };

  // Where a piece of the input given to expat starts, in expat's count and
  // in the source.
  struct Segment {
    std::uint64_t fed;
    std::uint32_t source;
  };

  static XmlReader& self(void* data) { return *static_cast<XmlReader*>(data); }
  // The source position of expat's current event.
  std::uint32_t index() const {
    const XML_Index at = XML_GetCurrentByteIndex(parser_.get());
    if (at < 0) return static_cast<std::uint32_t>(doc_.source.size());
    const auto fed = static_cast<std::uint64_t>(at);
    auto it = std::upper_bound(segments_.begin(), segments_.end(), fed,
                               [](std::uint64_t f, const Segment& s) { return f < s.fed; });
    if (it != segments_.begin()) --it;
    return static_cast<std::uint32_t>(it->source + (fed - it->fed));
  }

  // Ends a sketch's node whose head fingerprint stands at `light_[at]`, with
  // the children after it: folds in its text and children.
  std::uint64_t fold(std::size_t at, std::string_view text = {}) {
    std::uint64_t h = detail::fp_text(light_[at].hash, text);
    for (std::size_t k = at + 1; k < light_.size(); ++k) h = detail::fp_child(h, light_[k].hash);
    h = detail::fp_end(h, light_.size() - at - 1);
    light_.resize(at + 1);
    light_[at] = {h, false};
    return h;
  }
  std::uint32_t count() const { return static_cast<std::uint32_t>(XML_GetCurrentByteCount(parser_.get())); }

  void fail(std::string message) {
    if (!failure_) failure_ = detail::error_at(std::move(message), doc_.source, index());
    XML_StopParser(parser_.get(), XML_FALSE);
  }

  // Adds the layout of a node that starts at `begin` below the innermost
  // open element; returns its preorder number, or nullopt when too deep.
  std::optional<std::uint32_t> add(std::uint32_t begin, std::uint32_t end) {
    if (open_.size() + 1 > options_.max_depth) {
      fail(detail::too_deep(options_.max_depth));
      return std::nullopt;
    }
    Open& parent = open_.back();
    const auto pre = static_cast<std::uint32_t>(layout_.size());
    layout_.push_back(Layout{.begin = begin, .end = end, .gap_begin = parent.prev_end, .parent = parent.pre});
    parent.prev_end = end;
    return pre;
  }

  void add_leaf(const char* kind, std::uint32_t begin, std::uint32_t end, std::string text) {
    const auto pre = add(begin, end);
    if (!pre) return;
    if constexpr (kSketch) {
      const std::uint64_t h = detail::fp_end(detail::fp_text(detail::fp_head(kind, nullptr, "", 0), text), 0);
      layout_[*pre].fingerprint = h;
      const bool is_text = std::strcmp(kind, "#text") == 0;
      light_.push_back({h, is_text});
      if (is_text) light_text_ = std::move(text);
    } else {
      done_.emplace_back(kind).text = std::move(text);
    }
  }

  // Ends the run of character data read so far: a run of nothing but
  // whitespace is layout, any other run a "#text" node.
  void end_run() {
    if (!in_run_) return;
    in_run_ = false;
    if (!entities_.empty() && count_refs(run_, entities_) != run_refs_) {
      fail(kAmbiguousRef);
      return;
    }
    run_refs_ = 0;
    const char* s = doc_.source.data();
    if (!std::all_of(s + run_begin_, s + run_end_, is_space)) add_leaf("#text", run_begin_, run_end_, std::move(run_));
    run_.clear();
  }

  // An escaped "&" followed by a declared entity's name and ";" would be
  // written back as the reference itself.
  static constexpr const char* kAmbiguousRef =
      "an escaped \"&\" before the name of a declared entity could not be told from a reference to it";

  // Adds a reference to a declared entity, unexpanded, to the run of text.
  void add_ref(std::string_view ref) {
    if (!in_run_) {
      in_run_ = true;
      run_begin_ = index();
    }
    run_.append(ref);
    ++run_refs_;
    run_end_ = index() + count();
  }

  static void XMLCALL on_text(void* data, const XML_Char* s, int len) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    if (r.in_cdata_) return;
    if (!r.in_run_) {
      r.in_run_ = true;
      r.run_begin_ = r.index();
    }
    r.run_.append(s, static_cast<std::size_t>(len));
    r.run_end_ = r.index() + r.count();
  }

  static void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** atts) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    r.end_run();
    const std::uint32_t begin = r.index();
    const auto pre = r.add(begin, begin + r.count());
    if (!pre) return;
    const int specified = XML_GetSpecifiedAttributeCount(r.parser_.get()) / 2;
    if (specified > std::numeric_limits<std::uint16_t>::max()) {
      r.fail("more than 65,535 attributes on one element");
      return;
    }
    Layout& l = r.layout_[*pre];
    l.head_end = l.end;
    l.first_attr = static_cast<std::uint32_t>(r.doc_.attrs.size());
    l.attr_count = static_cast<std::uint16_t>(specified);
    Open open{kSketch ? r.light_.size() : r.done_.size(), *pre, l.head_end};
    if (const auto* trims = r.options_.trims; trims && r.next_trim_ < trims->size() &&
                                              (*trims)[r.next_trim_].begin == begin) {
      open.trim = &(*trims)[r.next_trim_++];
    }
    const std::size_t name_len = std::strlen(name);
    const std::string_view kind(name, name_len);
    // Finds each attribute's bytes in the start tag; expat has checked the
    // tag, so the scan only steps over what is there.
    const std::string& src = r.doc_.source;
    std::uint32_t pos = begin + 1 + static_cast<std::uint32_t>(name_len);
    int id = -1;  // which attribute gives the element its identity
    for (int k = 0; k < specified; ++k) {
      const char* attr = atts[2 * k];
      AttrLayout a{.begin = pos};
      while (is_space(src[pos])) ++pos;
      a.name_begin = pos;
      pos += static_cast<std::uint32_t>(std::strlen(attr));
      a.name_end = pos;
      while (src[pos] != '"' && src[pos] != '\'') ++pos;
      a.value_begin = pos + 1;
      a.value_end = static_cast<std::uint32_t>(src.find(src[pos], a.value_begin));
      pos = a.value_end + 1;
      // expat drops a reference to an entity that only an external DTD
      // could define from attribute values without a word.
      // Only the value itself is searched: a search to the end of the input
      // would make reading quadratic.
      const std::string_view value(src.data() + a.value_begin, a.value_end - a.value_begin);
      bool refs = false;
      for (std::size_t at = value.find('&'); at != std::string_view::npos; at = value.find('&', at + 1)) {
        const std::size_t amp = a.value_begin + at;
        if (src[amp + 1] == '#') continue;
        const std::size_t semi = src.find(';', amp);
        const std::string_view entity(src.data() + amp + 1, semi - amp - 1);
        if (r.entities_.contains(std::string(entity))) {
          refs = true;
        } else if (!predefined_entity(entity)) {
          r.failure_ = detail::error_at("entity &" + std::string(entity) + "; is not defined (external DTDs are not read)",
                                        src, amp);
          XML_StopParser(r.parser_.get(), XML_FALSE);
          return;
        }
      }
      // A value with references to declared entities keeps them as written;
      // it is read from its bytes, and must expand to what expat read.
      if (!refs && !r.entities_.empty() && count_refs(atts[2 * k + 1], r.entities_) != 0) {
        r.failure_ = detail::error_at(kAmbiguousRef, src, a.value_begin);
        XML_StopParser(r.parser_.get(), XML_FALSE);
        return;
      }
      if (refs) {
        AttrValue v = read_attr_value(value, r.entities_);
        if (v.expanded != atts[2 * k + 1]) {
          r.failure_ = detail::error_at("the value of " + quoted(attr) +
                                        " cannot keep its entity references (an entity holds markup or other references, "
                                        "or the DTD normalizes the value)", src, a.value_begin);
          XML_StopParser(r.parser_.get(), XML_FALSE);
          return;
        }
        if (count_refs(v.kept, r.entities_) != v.refs) {
          r.failure_ = detail::error_at(kAmbiguousRef, src, a.value_begin);
          XML_StopParser(r.parser_.get(), XML_FALSE);
          return;
        }
        r.kept_values_.resize(static_cast<std::size_t>(specified));
        r.kept_values_[static_cast<std::size_t>(k)] = std::move(v.kept);
      }
      const bool gives_id = id < 0 && gives_identity(r.options_.id_attrs, kind, attr);
      if (gives_id) id = k;
      // A stub keeps only its identity attribute: the fingerprint stands
      // for the others, and the stub is written as its bytes.
      if (!kSketch && (gives_id || !open.trim)) r.doc_.attrs.push_back(a);
    }
    const int others = specified - (id >= 0 ? 1 : 0);
    // Each attribute's value: expat's, or the one kept with its references.
    auto value = [&r, atts](int k) -> const char* {
      const auto at = static_cast<std::size_t>(k);
      return at < r.kept_values_.size() && r.kept_values_[at] ? r.kept_values_[at]->c_str() : atts[2 * k + 1];
    };
    if constexpr (kSketch) {
      // A sketch builds no node: the element goes into its fingerprint at once.
      const std::string_view identity = id >= 0 ? std::string_view(value(id)) : std::string_view();
      std::uint64_t h = detail::fp_head(kind, id >= 0 ? &identity : nullptr, "", static_cast<std::size_t>(others));
      for (int k = 0; k < specified; ++k) {
        if (k != id) h = detail::fp_attr(h, atts[2 * k], value(k));
      }
      r.light_.push_back({h, false});
    } else {
      TreeNode& node = r.done_.emplace_back(name);
      if (id >= 0) node.identity.emplace(value(id));
      if (!open.trim) {
        node.attributes.reserve(static_cast<std::size_t>(others));
        for (int k = 0; k < specified; ++k) {
          if (k != id) node.attributes.emplace_back(atts[2 * k], value(k));
        }
      }
    }
    r.kept_values_.clear();
    if (id >= 0) l.id_attr = static_cast<std::uint16_t>(open.trim ? 0 : id);
    if (open.trim) l.attr_count = id >= 0 ? 1 : 0;
    r.open_.push_back(open);
  }

  static void XMLCALL on_end(void* data, const XML_Char*) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    r.end_run();
    const Open done = r.open_.back();
    r.open_.pop_back();
    Layout& l = r.layout_[done.pre];
    const std::uint32_t n = r.count();
    if (n > 0) {  // an empty-element tag has no end tag of its own
      l.tail_begin = r.index();
      l.end = l.tail_begin + n;
    } else {
      l.tail_begin = l.end = l.head_end;
    }
    l.close_gap_begin = done.prev_end;
    if constexpr (kSketch) {
      // As below: content that is one run of text is the element's own text.
      std::string text;
      if (r.light_.size() == done.at + 2 && r.light_.back().text) {
        text = std::move(r.light_text_);
        r.light_.pop_back();
        r.layout_.pop_back();
        l.close_gap_begin = l.head_end;
      }
      l.fingerprint = r.fold(done.at, text);
      r.open_.back().prev_end = l.end;
      return;
    }
    // Content that is one run of text is the element's own text.
    TreeNode& node = r.done_[done.at];
    if (done.trim) {
      if (r.done_.size() != done.at + 1) {
        r.fail("a trimmed node has content");
        return;
      }
      detail::make_stub(node, done.trim->fingerprint);
      r.doc_.stubs = true;
      r.open_.back().prev_end = l.end;
      return;
    }
    if (r.done_.size() == done.at + 2 && r.done_.back().kind == "#text") {
      node.text = std::move(r.done_.back().text);
      r.done_.pop_back();
      r.layout_.pop_back();
      l.close_gap_begin = l.head_end;
    } else {
      detail::adopt_children(r.done_, done.at);
    }
    r.open_.back().prev_end = l.end;
  }

  // Adds a comment or processing instruction outside the DOCTYPE; its text
  // is what stands between the `open` and `close` delimiters.
  void markup(const char* kind, std::uint32_t open, std::uint32_t close) {
    if (failure_ || in_doctype_) return;
    end_run();
    const std::uint32_t begin = index(), end = begin + count();
    add_leaf(kind, begin, end, doc_.source.substr(begin + open, end - begin - open - close));
  }

  static void XMLCALL on_comment(void* data, const XML_Char*) { self(data).markup("#comment", 4, 3); }
  static void XMLCALL on_pi(void* data, const XML_Char*, const XML_Char*) { self(data).markup("#pi", 2, 2); }

  static void XMLCALL on_cdata_start(void* data) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    r.end_run();
    r.in_cdata_ = true;
    r.cdata_begin_ = r.index();
  }

  static void XMLCALL on_cdata_end(void* data) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    r.in_cdata_ = false;
    const std::uint32_t end = r.index() + r.count();
    r.add_leaf("#cdata", r.cdata_begin_, end, r.doc_.source.substr(r.cdata_begin_ + 9, end - r.cdata_begin_ - 12));
  }

  static void XMLCALL on_doctype_start(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    r.in_doctype_ = true;
    // The event is reported after the name; the declaration starts before it.
    r.doctype_begin_ = static_cast<std::uint32_t>(r.doc_.source.rfind("<!DOCTYPE", r.index()));
  }

  static void XMLCALL on_doctype_end(void* data) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    r.in_doctype_ = false;
    const std::uint32_t end = r.index() + r.count();
    r.add_leaf("#doctype", r.doctype_begin_, end, r.doc_.source.substr(r.doctype_begin_, end - r.doctype_begin_));
  }

  static void XMLCALL on_decl(void* data, const XML_Char* version, const XML_Char* encoding, int) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    if (!version) return;  // a text declaration of an external entity
    if (encoding && !names_encoding(encoding, r.doc_.encoding)) {
      r.fail("the declaration names " + quoted(encoding) + " but the file is " +
             (r.doc_.encoding.empty() ? std::string("UTF-8") : r.doc_.encoding));
      return;
    }
    r.doc_.prolog_end = r.index() + r.count();
    r.layout_[0].head_end = r.open_.front().prev_end = r.doc_.prolog_end;
  }

  // Keeps what an internal general entity declares; anything that could
  // point outside the file is refused.
  static void XMLCALL on_entity_decl(void* data, const XML_Char* name, int is_parameter, const XML_Char* value,
                                     int length, const XML_Char*, const XML_Char*, const XML_Char*,
                                     const XML_Char*) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    if (is_parameter) return r.fail("parameter entity declarations are not allowed");
    if (!value) return r.fail(std::string("entity &") + name + "; is external (only entities declared inside the file are read)");
    r.entities_.try_emplace(name, value, static_cast<std::size_t>(length));
  }

  // Everything reported here (the DOCTYPE's own syntax) is layout.
  static void XMLCALL on_default(void*, const XML_Char*, int) {}

  static void XMLCALL on_skipped(void* data, const XML_Char* name, int is_parameter) {
    XmlReader& r = self(data);
    if (r.failure_) return;  // expat may report an event or two after a stop
    if (!is_parameter && !r.in_doctype_ && r.open_.size() > 1 && r.entities_.contains(name)) {
      r.add_ref(std::string("&") + name + ";");
      return;
    }
    r.fail(std::string("entity ") + (is_parameter ? "%" : "&") + name +
                    "; is not defined (external DTDs are not read)");
  }

  static int XMLCALL on_external(XML_Parser p, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    self(XML_GetUserData(p)).fail("external entities are not read");
    return XML_STATUS_ERROR;
  }

  // Learns the line break and one level of indentation from the root
  // element's first indented child.
  void learn_style() {
    Style& style = doc_.style;
    style.key_sep.clear();
    style.item_sep.clear();
    const std::string& src = doc_.source;
    const std::size_t nl = src.find('\n');
    style.newline = nl == std::string::npos ? "" : nl > 0 && src[nl - 1] == '\r' ? "\r\n" : "\n";
    style.indent.clear();
    std::uint32_t root = 0;
    std::uint32_t i = 1;
    for (const TreeNode& top : doc_.tree.children) {
      if (top.kind[0] != '#') {
        root = i;
        break;
      }
      ++i;  // the other top-level nodes have no children
    }
    if (!root) return;
    for (std::uint32_t c = root + 1; c < layout_.size() && c < root + 4096; ++c) {
      const Layout& l = layout_[c];
      if (l.parent != root) continue;
      const auto indent = detail::line_indent(std::string_view(src).substr(l.gap_begin, l.begin - l.gap_begin));
      if (indent && !indent->empty()) style.indent.assign(*indent);
      return;
    }
  }

  Document& doc_;
  const ReadOptions& options_;
  std::vector<Layout>& layout_ = [this]() -> std::vector<Layout>& {
    if constexpr (kSketch) return doc_.sketch;
    else return doc_.layout;
  }();
  ParserPtr parser_;
  std::vector<Open> open_;
  std::vector<TreeNode> done_;
  std::vector<Light> light_;
  std::string light_text_;
  std::vector<Segment> segments_;
  std::size_t next_trim_ = 0;
  std::optional<FormatError> failure_;
  std::string run_;
  bool in_run_ = false;
  std::uint32_t run_begin_ = 0, run_end_ = 0;
  bool in_cdata_ = false;
  std::uint32_t cdata_begin_ = 0;
  bool in_doctype_ = false;
  std::uint32_t doctype_begin_ = 0;
  Entities entities_;
  std::size_t run_refs_ = 0;  // references to declared entities in `run_`
  // The values of the current start tag's attributes that keep references.
  std::vector<std::optional<std::string>> kept_values_;
};

bool is_element(std::string_view kind) { return !kind.empty() && kind[0] != '#'; }

std::optional<std::size_t> bad_char(std::string_view text) { return detail::bad_utf8(text, true); }

// Appends a reference to a declared entity that starts at `text[i]` as it
// is, and moves `i` to its ";"; false when none starts there.
bool keep_ref(std::string& out, std::string_view text, std::size_t& i, const Entities& entities) {
  if (entities.empty()) return false;
  const auto name = declared_ref(text, i, entities);
  if (!name) return false;
  out.append(text.substr(i, name->size() + 2));
  i += name->size() + 1;
  return true;
}

void escape_text(std::string& out, std::string_view text, const Entities& entities) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '&' && keep_ref(out, text, i, entities)) continue;
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '\r') out += "&#13;";
    else if (c == '>' && i >= 2 && text[i - 1] == ']' && text[i - 2] == ']') out += "&gt;";
    else out += c;
  }
}

void escape_attr(std::string& out, std::string_view value, char quote, const Entities& entities) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '&' && keep_ref(out, value, i, entities)) continue;
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == quote) out += quote == '"' ? "&quot;" : "&apos;";
    else if (c == '\t') out += "&#9;";
    else if (c == '\n') out += "&#10;";
    else if (c == '\r') out += "&#13;";
    else out += c;
  }
}

// Asks expat whether it accepts a name or a piece of markup, so that nothing
// is written that reading would refuse. Names are remembered once accepted.
class Checker {
 public:
  bool element_name(std::string_view name) { return name_ok(name, elements_, "<", "/>"); }
  bool attr_name(std::string_view name) { return name_ok(name, attrs_, "<a ", "=''/>"); }
  // Checks markup that stands before the root element.
  bool prolog(std::string_view markup) { return parses(std::string(markup) + "<a/>"); }
  // Checks markup that stands inside an element.
  bool content(std::string_view markup) { return parses("<a>" + std::string(markup) + "</a>"); }
  // Returns the general entities a DOCTYPE declaration declares.
  Entities entities(std::string_view doctype) {
    Entities found;
    found_ = &found;
    if (!parses(std::string(doctype) + "<a/>")) found.clear();
    found_ = nullptr;
    return found;
  }

 private:
  bool name_ok(std::string_view name, std::unordered_set<std::string>& known, const char* before,
               const char* after) {
    if (known.count(std::string(name))) return true;
    if (name.empty() || name.find_first_of(" \t\r\n=\"'<>/&?!;") != std::string_view::npos) return false;
    if (!parses(before + std::string(name) + after)) return false;
    known.emplace(name);
    return true;
  }

  // Refuses what a document read would refuse: entities that are not
  // internal general ones.
  static void XMLCALL on_entity(void* data, const XML_Char* name, int is_parameter, const XML_Char* value,
                                int length, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    auto& c = *static_cast<Checker*>(data);
    if (is_parameter || !value) {
      XML_StopParser(c.parser_.get(), XML_FALSE);
    } else if (c.found_) {
      c.found_->try_emplace(name, value, static_cast<std::size_t>(length));
    }
  }
  static void XMLCALL refuse_skipped(void* data, const XML_Char*, int) {
    XML_StopParser(static_cast<Checker*>(data)->parser_.get(), XML_FALSE);
  }

  bool parses(const std::string& doc) {
    if (!parser_) {
      parser_.reset(XML_ParserCreate("UTF-8"));
      if (!parser_) throw std::bad_alloc();
    } else {
      XML_ParserReset(parser_.get(), "UTF-8");
    }
    XML_Parser p = parser_.get();
    XML_SetUserData(p, this);
    XML_SetEntityDeclHandler(p, on_entity);
    XML_SetSkippedEntityHandler(p, refuse_skipped);
    return XML_Parse(p, doc.data(), static_cast<int>(doc.size()), XML_TRUE) == XML_STATUS_OK;
  }

  ParserPtr parser_;
  std::unordered_set<std::string> elements_, attrs_;
  Entities* found_ = nullptr;
};

// Writes a tree against the document it was read from (see write_document).
class XmlWriter {
 public:
  XmlWriter(const Document& doc, const TreeNode& tree, const Correspondence& match, std::vector<OutputSpan>* spans,
            const Borrowed* borrowed, const Style* style)
      : doc_(doc), tree_(tree), match_(match), sp_(doc, match, no_comma_) {
    sp_.spans_ = spans;
    sp_.borrowed_ = borrowed;
    sp_.style_ = style;
  }

  Result<std::string, FormatError> run() {
    if (tree_.kind != "#document") return error("cannot write XML: the root must be a \"#document\" node");
    if (auto problem = check_top()) return *std::move(problem);
    if (auto problem = sp_.check_match()) return *std::move(problem);
    if (match_.origin.empty()) return error("the correspondence does not cover the tree");
    for (const TreeNode& top : tree_.children) {
      if (top.kind == "#doctype" && top.text.find("<!ENTITY") != std::string::npos) entities_ = checker_.entities(top.text);
    }
    sp_.copy(0, doc_.prolog_end);
    Frame root{.node = &tree_, .orig = match_.origin[0] == 0 ? std::optional<std::uint32_t>(0) : std::nullopt};
    sp_.open(root, std::nullopt, true);
    stack_.push_back(std::move(root));
    auto visit = [this](Frame& parent, const TreeNode& child, std::uint32_t pre) -> std::optional<std::string> {
      const auto orig = sp_.origin(pre, child, same_sort);
      const auto indent = sp_.gap(parent, orig, child.kind == "#text");
      sp_.begin_span(pre);
      if (sp_.borrow(pre, child)) return std::nullopt;
      // A stub is written as the bytes it stands for, which only its equal
      // original has.
      if (detail::is_stub(child) && !(orig && sp_.original(*orig) == child)) {
        sp_.needs_whole_trees = true;
        return std::nullopt;
      }
      return is_element(child.kind) ? element(child, orig, indent, parent.child_indent) : leaf(child, orig);
    };
    auto close = [this](const Frame& f) {
      sp_.closing_gap(f, f.indent);
      if (stack_.size() > 1) end_tag(*f.node, f.orig, true);
    };
    if (auto problem = sp_.walk(stack_, "XML", visit, close)) return *std::move(problem);
    return std::move(sp_.out);
  }

 private:
  static bool same_sort(const TreeNode& original, const TreeNode& node) {
    return is_element(original.kind) ? is_element(node.kind) : original.kind == node.kind;
  }

  std::optional<FormatError> check_top() const {
    int elements = 0;
    bool doctype = false;
    for (const TreeNode& top : tree_.children) {
      if (is_element(top.kind)) {
        ++elements;
      } else if (top.kind == "#doctype") {
        if (doctype || elements) return error("cannot write XML: one DOCTYPE may stand before the root element");
        doctype = true;
      } else if (top.kind != "#comment" && top.kind != "#pi") {
        return error("cannot write XML: a " + quoted(top.kind) + " node cannot stand outside the root element");
      }
    }
    if (elements != 1) return error("cannot write XML: a document has exactly one root element");
    return std::nullopt;
  }

  std::optional<std::string> leaf(const TreeNode& node, std::optional<std::uint32_t> orig) {
    static constexpr std::string_view kLeaves[] = {"#text", "#cdata", "#comment", "#pi", "#doctype"};
    if (std::find(std::begin(kLeaves), std::end(kLeaves), node.kind) == std::end(kLeaves)) {
      return "the kind " + quoted(node.kind) + " has no XML form";
    }
    if (node.identity || !node.attributes.empty() || !node.children.empty() || !node.label.empty()) {
      return "a " + quoted(node.kind) + " node has only text";
    }
    if (orig && sp_.original(*orig).text == node.text) {
      sp_.copy(sp_.layout(*orig).begin, sp_.layout(*orig).end);
      return std::nullopt;
    }
    const std::string_view text = node.text;
    if (auto bad = bad_char(text)) return "its text holds a character XML cannot represent at byte " + std::to_string(*bad);
    std::string& out = sp_.out;
    if (node.kind == "#text") {
      escape_text(out, text, entities_);
    } else if (node.kind == "#cdata") {
      if (text.find("]]>") != std::string_view::npos) return "CDATA cannot hold \"]]>\"";
      out.append("<![CDATA[").append(text).append("]]>");
    } else if (node.kind == "#comment") {
      if (text.find("--") != std::string_view::npos || (!text.empty() && text.back() == '-')) {
        return "a comment cannot hold \"--\" or end with \"-\"";
      }
      out.append("<!--").append(text).append("-->");
    } else if (node.kind == "#pi") {
      const std::string pi = "<?" + node.text + "?>";
      if (!checker_.content(pi)) return "not a valid processing instruction";
      out += pi;
    } else {
      if (stack_.size() != 1 || !checker_.prolog(node.text)) return "not a valid DOCTYPE declaration";
      out += node.text;
    }
    return std::nullopt;
  }

  // Writes an element's start tag and text, and opens a frame for its
  // children (or writes its end tag when it has none).
  std::optional<std::string> element(const TreeNode& node, std::optional<std::uint32_t> orig,
                                     std::optional<std::string_view> indent, const std::string& parent_child_indent) {
    if (!node.label.empty() && !detail::is_stub(node)) return "XML has no place for a label";
    const bool content = !node.text.empty() || !node.children.empty();
    if (auto problem = start_tag(node, orig, content)) return problem;
    const bool text_only_orig = orig && !sp_.has_children(*orig);
    if (!node.text.empty() || (node.children.empty() && text_only_orig)) {
      if (orig && text_only_orig && sp_.original(*orig).text == node.text) {
        sp_.copy(sp_.layout(*orig).head_end, sp_.layout(*orig).tail_begin);
      } else {
        if (auto bad = bad_char(node.text)) {
          return "its text holds a character XML cannot represent at byte " + std::to_string(*bad);
        }
        escape_text(sp_.out, node.text, entities_);
      }
    }
    if (node.children.empty()) {
      end_tag(node, orig, content);
      return std::nullopt;
    }
    Frame f{.node = &node, .orig = orig};
    f.indent.assign(indent ? *indent : std::string_view(parent_child_indent));
    f.after_text = !node.text.empty();
    f.inline_children = !node.text.empty() || std::any_of(node.children.begin(), node.children.end(),
                                                           [](const TreeNode& c) { return c.kind == "#text" || c.kind == "#cdata"; });
    sp_.open(f, f.indent, false);
    stack_.push_back(std::move(f));
    return std::nullopt;
  }

  bool self_closing(std::uint32_t orig) const { return sp_.layout(orig).tail_begin == sp_.layout(orig).end &&
                                                       sp_.layout(orig).head_end == sp_.layout(orig).end; }

  void end_tag(const TreeNode& node, std::optional<std::uint32_t> orig, bool content) {
    if (orig && !self_closing(*orig)) {
      if (sp_.original(*orig).kind == node.kind) {
        sp_.copy(sp_.layout(*orig).tail_begin, sp_.layout(*orig).end);
        return;
      }
    } else if (!content) {
      return;  // written as an empty-element tag
    }
    sp_.out.append("</").append(node.kind).append(">");
  }

  // An attribute to write; `identity` marks the one that holds the identity.
  struct Out {
    std::string_view name;
    std::string_view value;
    bool identity = false;
  };

  // Writes the start tag, copying the original's bytes for whatever did not
  // change: the whole tag when nothing did, else the name, each attribute
  // and the tail on their own.
  std::optional<std::string> start_tag(const TreeNode& node, std::optional<std::uint32_t> orig, bool content) {
    const TreeNode* o = orig ? &sp_.original(*orig) : nullptr;
    const NodeLayout* l = orig ? &sp_.layout(*orig) : nullptr;
    std::string& out = sp_.out;
    std::string_view tail = content ? ">" : "/>";
    if (l) {
      const std::uint32_t from = l->attr_count ? doc_.attrs[l->first_attr + l->attr_count - 1].value_end + 1
                                               : l->begin + 1 + static_cast<std::uint32_t>(o->kind.size());
      tail = sp_.bytes(from, l->head_end);
    }
    const bool reopen = l && content && self_closing(*orig);  // "/>" becomes ">"
    if (o && o->kind == node.kind && o->identity == node.identity && o->attributes == node.attributes) {
      sp_.copy(l->begin, reopen ? l->head_end - 2 : l->head_end);
      if (reopen) out += '>';
      return std::nullopt;
    }
    if (auto problem = order_attrs(node, o, l)) return problem;
    out += '<';
    if (o && o->kind == node.kind) {
      sp_.copy(l->begin + 1, l->begin + 1 + static_cast<std::uint32_t>(node.kind.size()));
    } else {
      if (!checker_.element_name(node.kind)) return "the kind " + quoted(node.kind) + " is not an XML name";
      out += node.kind;
    }
    std::string_view sep = " ";
    if (l && l->attr_count) {
      const AttrLayout& last = doc_.attrs[l->first_attr + l->attr_count - 1];
      sep = sp_.bytes(last.begin, last.name_begin);
    }
    for (const Out& a : attrs_) {
      if (auto problem = write_attr(a, o, l, sep)) return problem;
    }
    if (reopen) {
      out.append(tail.substr(0, tail.size() - 2)) += '>';
    } else {
      out += tail;
    }
    return std::nullopt;
  }

  // Fills attrs_ with the attributes in writing order, the identity in its
  // old place, and refuses a set that would not read back as this node.
  std::optional<std::string> order_attrs(const TreeNode& node, const TreeNode* o, const NodeLayout* l) {
    attrs_.clear();
    std::string_view id_name;
    if (node.identity) {
      if (o && o->identity) {
        const AttrLayout& a = doc_.attrs[l->first_attr + l->id_attr];
        id_name = sp_.bytes(a.name_begin, a.name_end);
      } else {
        for (const IdAttr& a : doc_.id_attrs) {
          if (a.element.empty() || a.element == node.kind) {
            id_name = a.name;
            break;
          }
        }
        if (id_name.empty()) return "no identity attribute is configured for this element";
      }
    }
    for (const auto& [name, value] : node.attributes) attrs_.push_back(Out{name, value});
    if (node.identity) {
      const std::size_t at = o && o->identity ? std::min<std::size_t>(l->id_attr, attrs_.size()) : 0;
      attrs_.insert(attrs_.begin() + static_cast<std::ptrdiff_t>(at), Out{id_name, *node.identity, true});
    }
    for (std::size_t i = 0; i < attrs_.size(); ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (attrs_[i].name == attrs_[j].name) return "the attribute " + quoted(attrs_[i].name) + " appears twice";
      }
    }
    for (const Out& a : attrs_) {
      if (gives_identity(doc_.id_attrs, node.kind, a.name)) {
        if (!a.identity) return "the attribute " + quoted(a.name) + " would read back as the element's identity";
        break;
      }
    }
    if (node.identity && !gives_identity(doc_.id_attrs, node.kind, id_name)) {
      return "its identity attribute " + quoted(id_name) + " does not give " + quoted(node.kind) + " elements an identity";
    }
    return std::nullopt;
  }

  // Writes one attribute: the original's bytes when it kept its value, its
  // old quotes and spacing around a new value, else `sep` and a new pair.
  // Leaves in `sep` the spacing that the next new attribute takes.
  std::optional<std::string> write_attr(const Out& a, const TreeNode* o, const NodeLayout* l, std::string_view& sep) {
    std::string& out = sp_.out;
    const AttrLayout* was = nullptr;
    std::string_view old_value;
    for (std::uint16_t k = 0; l && k < l->attr_count; ++k) {
      const AttrLayout& c = doc_.attrs[l->first_attr + k];
      if (sp_.bytes(c.name_begin, c.name_end) != a.name) continue;
      was = &c;
      if (o->identity && k == l->id_attr) {
        old_value = *o->identity;
      } else {
        for (const auto& [name, value] : o->attributes) {
          if (name == a.name) old_value = value;
        }
      }
      break;
    }
    if (was && old_value == a.value && (!o->identity || a.identity == (was == &doc_.attrs[l->first_attr + l->id_attr]))) {
      sp_.copy(was->begin, was->value_end + 1);
      sep = sp_.bytes(was->begin, was->name_begin);
      return std::nullopt;
    }
    if (auto bad = bad_char(a.value)) {
      return "the value of " + quoted(a.name) + " holds a character XML cannot represent at byte " + std::to_string(*bad);
    }
    if (was) {
      sp_.copy(was->begin, was->value_begin);
      const char quote = doc_.source[was->value_begin - 1];
      escape_attr(out, a.value, quote, entities_);
      out += quote;
      sep = sp_.bytes(was->begin, was->name_begin);
      return std::nullopt;
    }
    if (!checker_.attr_name(a.name)) return "the attribute name " + quoted(a.name) + " is not an XML name";
    out.append(sep).append(a.name).append("=\"");
    escape_attr(out, a.value, '"', entities_);
    out += '"';
    return std::nullopt;
  }

  const Document& doc_;
  const TreeNode& tree_;
  const Correspondence& match_;
  const std::string no_comma_;
  detail::Splicer sp_;
  Checker checker_;
  std::vector<Frame> stack_;
  std::vector<Out> attrs_;
  Entities entities_;  // declared by the DOCTYPE written: their references are kept
};

}  // namespace

namespace detail {

std::optional<FormatError> parse_xml(Document& doc, const ReadOptions& options) {
  if (options.sketch) return XmlReader<SketchNode>(doc, options).run();
  return XmlReader<NodeLayout>(doc, options).run();
}

Result<std::string, FormatError> write_xml(const Document& original, const TreeNode& tree, const Correspondence& match,
                                           std::vector<OutputSpan>* spans, const Borrowed* borrowed, const Style* style) {
  return XmlWriter(original, tree, match, spans, borrowed, style).run();
}

}  // namespace detail
}  // namespace vext
