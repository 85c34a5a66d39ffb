#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <type_traits>

#include "formats/document.h"
#include "formats/splice.h"
#include "formats/write.h"
#include "lossless/fingerprint.h"
#include "lossless/index.h"

namespace vext {

bool is_json_number(std::string_view s) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i > from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < s.size() && s[i] == '.' && (++i, !digits())) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == s.size();
}

namespace {

using detail::error;
using detail::Frame;
using detail::is_space;
using detail::quoted;

// Whether `c` can stand in a JSON number literal.
constexpr bool in_number(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Reads the source for RapidJSON with every number literal shown as "0".
// RapidJSON refuses numbers beyond the range of a double even when it hands
// them over as text; the reader takes each literal from the source instead,
// so "1e400" and integers of any length are kept exactly. A literal that is
// not a valid JSON number is passed on unchanged, for RapidJSON to refuse.
class MaskedNumbers {
 public:
  using Ch = char;
  // Passes over the bytes that `trims` name.
  MaskedNumbers(const std::string& src, std::size_t pos, const std::vector<Trim>* trims)
      : src_(src), pos_(pos), trims_(trims) {}

  Ch Peek() const {
    if (at_run()) return '0';
    if (pos_ >= src_.size()) return '\0';
    const char c = src_[pos_];
    if (in_string_ || pos_ < comment_end_ || (c != '-' && (c < '0' || c > '9'))) return c;
    if (mask_at_ != pos_) {
      std::size_t end = pos_;
      while (end < src_.size() && in_number(src_[end])) ++end;
      mask_at_ = pos_;
      mask_end_ = is_json_number(std::string_view(src_).substr(pos_, end - pos_)) ? end : pos_;
    }
    return mask_end_ > pos_ ? '0' : c;
  }
  Ch Take() {
    // A run of elements passed over reads as one number, which the reader
    // turns into the run's stub.
    if (at_run()) {
      pos_ = (*trims_)[next_trim_++].skip_end;
      return '0';
    }
    const char c = Peek();
    if (c == '\0' && pos_ >= src_.size()) return c;
    if (!in_string_ && mask_at_ == pos_ && mask_end_ > pos_) {
      pos_ = mask_end_;
      return '0';
    }
    if (in_string_) {
      if (escaped_) escaped_ = false;
      else if (c == '\\') escaped_ = true;
      else if (c == '"') in_string_ = false;
    } else if (pos_ < comment_end_) {
      // Quotes and digits in a comment are neither strings nor numbers.
    } else if (c == '"') {
      in_string_ = true;
    } else if (c == '/') {
      comment_end_ = detail::comment_end(src_, pos_);
    }
    ++pos_;
    if (trims_ && next_trim_ < trims_->size() && (*trims_)[next_trim_].width == 0 &&
        pos_ == (*trims_)[next_trim_].skip_begin) {
      pos_ = (*trims_)[next_trim_++].skip_end;
    }
    return c;
  }
  std::size_t Tell() const { return pos_; }
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  bool at_run() const {
    return trims_ && next_trim_ < trims_->size() && (*trims_)[next_trim_].width > 0 &&
           pos_ == (*trims_)[next_trim_].begin && !in_string_ && pos_ >= comment_end_;
  }

  const std::string& src_;
  std::size_t pos_;
  bool in_string_ = false;
  bool escaped_ = false;
  mutable std::size_t mask_at_ = std::string::npos;
  mutable std::size_t mask_end_ = 0;
  std::size_t comment_end_ = 0;  // one past the comment being read
  const std::vector<Trim>* trims_;
  std::size_t next_trim_ = 0;
};

// Builds the tree and the layout from RapidJSON's events. RapidJSON does not
// say where a token starts, so the reader keeps its own cursor: between two
// tokens JSON has only whitespace, one "," or one ":", which it steps over.
//
// `Layout` is NodeLayout, or SketchNode for a sketch, which builds no tree:
// each node's fingerprint is computed as the node ends.
template <class Layout>
class JsonReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonReader<Layout>> {
  static constexpr bool kSketch = std::is_same_v<Layout, SketchNode>;

 public:
  JsonReader(Document& doc, const ReadOptions& options) : doc_(doc), src_(doc.source), options_(options) {}

  // Reads the document as plain JSON, or with `jsonc` as JSON that may hold
  // comments and trailing commas.
  std::optional<FormatError> run(bool jsonc) {
    if (src_.size() >= std::numeric_limits<std::uint32_t>::max()) return error("the file is 4 GiB or larger");
    doc_.format = Format::Json;
    doc_.id_attrs = options_.id_attrs;
    layout_.clear();
    try {
      layout_.reserve(options_.trims ? options_.node_count : most_values());
    } catch (const std::bad_alloc&) {
      layout_.reserve(src_.size() / 16 + 4);  // room beyond what the system lends; the list grows as it must
    }
    doc_.prolog_end = pos_ = src_.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (kSketch) {
      light_.push_back(0);
    } else {
      // The stubs are most of a trimmed tree; room for them at once spares
      // the copies of a growing list.
      if (options_.trims) done_.reserve(options_.node_count + 1);
      done_.emplace_back();  // stands for the parent of the top value
    }
    open_.push_back(Open{0, 0, pos_});
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
                                rapidjson::kParseValidateEncodingFlag;
    MaskedNumbers in(src_, doc_.prolog_end, options_.trims);
    constexpr unsigned kJsonc = kFlags | rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag;
    rapidjson::Reader reader;
    const rapidjson::ParseResult ok = jsonc ? reader.Parse<kJsonc>(in, *this) : reader.Parse<kFlags>(in, *this);
    if (stopped_) throw Stopped();
    if (failure_) return failure_;
    if (!ok) {
      std::string message = rapidjson::GetParseError_En(ok.Code());
      if (!message.empty() && message.back() == '.') message.pop_back();
      if (!message.empty()) message[0] = static_cast<char>(std::tolower(message[0]));
      return detail::error_at("invalid JSON: " + message, src_, ok.Offset());
    }
    // RapidJSON takes a NUL byte for the end of the input.
    if (const std::size_t nul = src_.find('\0'); nul != std::string::npos) {
      return detail::error_at("invalid JSON: a NUL byte", src_, nul);
    }
    if (options_.trims && next_trim_ != options_.trims->size()) return error("a trimmed node is not where it was");
    if (kSketch) return std::nullopt;
    doc_.tree = std::move(done_[1]);
    learn_style();
    return std::nullopt;
  }

  bool Null() { return scalar("null", 4, {}); }
  bool Bool(bool b) { return scalar("boolean", b ? 4 : 5, b ? "true" : "false"); }
  bool RawNumber(const char*, rapidjson::SizeType, bool) {
    const std::uint32_t begin = value_begin();
    if constexpr (!kSketch) {
      if (options_.trims && next_trim_ < options_.trims->size() && (*options_.trims)[next_trim_].width > 0 &&
          (*options_.trims)[next_trim_].begin == begin) {
        return run((*options_.trims)[next_trim_++], begin);
      }
    }
    std::uint32_t end = begin;
    while (end < src_.size() && in_number(src_[end])) ++end;
    return scalar("number", end - begin, std::string_view(src_).substr(begin, end - begin));
  }
  bool String(const char* s, rapidjson::SizeType len, bool) {
    const std::string_view text(s, len);
    // RapidJSON turns an escaped lone low surrogate into bytes that are not UTF-8.
    if (detail::bad_utf8(text, false)) return fail("invalid JSON: an escaped unpaired surrogate", value_begin());
    const std::uint32_t begin = value_begin();
    return scalar("string", string_end(begin) - begin, text);
  }
  bool Key(const char* s, rapidjson::SizeType len, bool) {
    key_gap_ = pos_;
    key_begin_ = skip(pos_);
    if (detail::bad_utf8(std::string_view(s, len), false)) {
      return fail("invalid JSON: an escaped unpaired surrogate", key_begin_);
    }
    pos_ = string_end(key_begin_);
    key_.assign(s, len);
    has_key_ = true;
    if (key_sep_.empty() && !has_comment(pos_, skip(pos_))) key_sep_.assign(src_, pos_, skip(pos_) - pos_);
    return true;
  }
  bool StartObject() { return start("object"); }
  bool StartArray() { return start("array"); }
  bool EndObject(rapidjson::SizeType) { return end(true); }
  bool EndArray(rapidjson::SizeType) { return end(false); }

 private:
  // An object or array being read. It waits in `done_`, followed by its
  // finished children, so that its child list is allocated once.
  struct Open {
    std::size_t at;  // its own place in `done_` (in a sketch, in `light_`)
    std::uint32_t pre;
    std::uint32_t prev_end;
    std::size_t names_at = 0;    // a sketch's object: where its member names start in `member_names_`
    const Trim* trim = nullptr;  // set when the members or elements are passed over
  };

  // How many values the source can hold at most: each but the top one
  // follows a "[", "," or ":". Room reserved for them costs nothing until it
  // is used, where a list grown by doubling copies itself and leaves up to
  // half of itself unused.
  std::size_t most_values() const {
    std::size_t n = 1;
    for (const char c : src_) n += c == '[' || c == ',' || c == ':';
    return n;
  }

  bool fail(std::string message, std::size_t at) {
    if (!failure_) failure_ = detail::error_at(std::move(message), src_, at);
    return false;
  }

  // Steps over whitespace, separators and comments.
  std::uint32_t skip(std::uint32_t at) const {
    while (at < src_.size()) {
      if (is_space(src_[at]) || src_[at] == ',' || src_[at] == ':') {
        ++at;
      } else if (const auto past = static_cast<std::uint32_t>(detail::comment_end(src_, at)); past > at) {
        at = past;
      } else {
        break;
      }
    }
    return at;
  }
  // Whether the bytes between two tokens hold a comment: a layout learned
  // from them would copy it into every new member.
  bool has_comment(std::uint32_t begin, std::uint32_t end) const {
    return std::string_view(src_).substr(begin, end - begin).find('/') != std::string_view::npos;
  }
  std::uint32_t value_begin() const { return skip(pos_); }
  std::uint32_t string_end(std::uint32_t quote) const {
    std::uint32_t i = quote + 1;
    while (src_[i] != '"') i += src_[i] == '\\' ? 2 : 1;
    return i + 1;
  }

  // Lays out the value starting at `begin`, named by the pending member
  // name; false when it is too deep or a stop was asked for.
  bool add(std::uint32_t begin, std::uint32_t end) {
    // Polls for a stop every 16,384 values; RapidJSON ends the parse when a
    // handler returns false.
    if ((layout_.size() & 0x3FFF) == 0 && options_.stop.poll && options_.stop.poll(options_.stop.context)) {
      stopped_ = true;
      return false;
    }
    if (open_.size() > options_.max_depth) return fail(detail::too_deep(options_.max_depth), begin);
    Open& parent = open_.back();
    Layout l{.begin = begin, .end = end, .gap_begin = parent.prev_end, .parent = parent.pre};
    if (has_key_) {
      l.key_begin = key_begin_;
      l.gap_begin = key_gap_;
    }
    if (item_sep_.empty() && open_.size() > 1 && l.gap_begin != layout_[parent.pre].head_end &&
        !has_comment(l.gap_begin, l.key_begin ? l.key_begin : begin)) {
      item_sep_.assign(src_, l.gap_begin, (l.key_begin ? l.key_begin : begin) - l.gap_begin);
    }
    layout_.push_back(l);
    parent.prev_end = end;
    return true;
  }

  // Makes the node of the value just laid out, named by the pending member
  // name; a sketch makes only its fingerprint, as far as its text.
  void take(const char* kind, std::string_view text) {
    if constexpr (kSketch) {
      const std::string_view identity = key_;
      light_.push_back(detail::fp_text(detail::fp_head(kind, has_key_ ? &identity : nullptr, "", 0), text));
      if (has_key_) member_names_.push_back(std::move(key_));
    } else {
      TreeNode& node = done_.emplace_back(kind);
      if (has_key_) node.identity.emplace(std::move(key_));
      node.text.assign(text);
    }
    key_.clear();
    has_key_ = false;
  }

  bool scalar(const char* kind, std::uint32_t length, std::string_view text) {
    const std::uint32_t begin = value_begin();
    const auto pre = static_cast<std::uint32_t>(layout_.size());
    if (!add(begin, begin + length)) return false;
    take(kind, text);
    if constexpr (kSketch) layout_[pre].fingerprint = light_.back() = detail::fp_end(light_.back(), 0);
    pos_ = begin + length;
    return true;
  }

  // Makes the stub of a run of elements passed over, which starts at `begin`.
  bool run(const Trim& trim, std::uint32_t begin) {
    const std::vector<std::uint64_t>* prints = options_.run_prints;
    const bool known = prints && trim.prints_at <= prints->size() && prints->size() - trim.prints_at >= trim.width;
    if (!known || open_.size() < 2 || layout_[open_.back().pre].head_end == 0 ||
        src_[layout_[open_.back().pre].begin] != '[') {
      return fail("a trimmed node is not where it was", begin);
    }
    if (!add(begin, trim.skip_end)) return false;
    has_key_ = false;
    take(json_kind(src_[begin]).data(), {});
    detail::make_run_stub(done_.back(), trim.fingerprint,
                          std::span(*prints).subspan(trim.prints_at, trim.width));
    doc_.stubs = true;
    pos_ = trim.skip_end;
    return true;
  }

  bool start(const char* kind) {
    const std::uint32_t begin = value_begin();
    const auto pre = static_cast<std::uint32_t>(layout_.size());
    if (!add(begin, begin + 1)) return false;
    layout_[pre].head_end = pos_ = begin + 1;
    // A sketch's object lists its members' names after its own.
    Open open{kSketch ? light_.size() : done_.size(), pre, pos_, member_names_.size() + (has_key_ ? 1 : 0)};
    if (options_.trims && next_trim_ < options_.trims->size() && (*options_.trims)[next_trim_].begin == begin) {
      open.trim = &(*options_.trims)[next_trim_++];
      pos_ = open.trim->skip_end;
    }
    open_.push_back(open);
    take(kind, {});
    return true;
  }

  bool end(bool object) {
    const Open done = open_.back();
    open_.pop_back();
    // A trailing comma and comments may stand before the bracket.
    const std::uint32_t close = skip(pos_);
    Layout& l = layout_[done.pre];
    l.close_gap_begin = done.prev_end;
    l.tail_begin = close;
    l.end = pos_ = close + 1;
    open_.back().prev_end = l.end;
    if constexpr (kSketch) {
      const bool unique = !object || unique_names(done);
      std::uint64_t h = light_[done.at];
      for (std::size_t k = done.at + 1; k < light_.size(); ++k) h = detail::fp_child(h, light_[k]);
      l.fingerprint = light_[done.at] = detail::fp_end(h, light_.size() - done.at - 1);
      light_.resize(done.at + 1);
      member_names_.resize(done.names_at);
      return unique;
    }
    if (done.trim) {
      if (done_.size() != done.at + 1) return fail("a trimmed node has content", close);
      TreeNode& node = done_[done.at];
      detail::make_stub(node, done.trim->fingerprint);
      doc_.stubs = true;
      return true;
    }
    detail::adopt_children(done_, done.at);
    return !object || unique_names(done);
  }

  // Refuses an object that names a member twice: neither value may be lost.
  bool unique_names(const Open& object) {
    names_.clear();
    if (kSketch) {
      for (std::size_t i = object.names_at; i < member_names_.size(); ++i) {
        names_.emplace_back(member_names_[i], static_cast<std::uint32_t>(i - object.names_at));
      }
    } else {
      const auto& members = done_[object.at].children;
      for (std::uint32_t i = 0; i < members.size(); ++i) names_.emplace_back(*members[i].identity, i);
    }
    if (names_.size() < 2) return true;
    std::sort(names_.begin(), names_.end());
    for (std::size_t i = 1; i < names_.size(); ++i) {
      if (names_[i].first != names_[i - 1].first) continue;
      const std::uint32_t nth = std::max(names_[i].second, names_[i - 1].second);
      std::uint32_t seen = 0, at = 0;
      for (std::uint32_t c = object.pre + 1; c < layout_.size(); ++c) {
        if (layout_[c].parent == object.pre && seen++ == nth) {
          at = layout_[c].key_begin;
          break;
        }
      }
      return fail("duplicate member name " + quoted(names_[i].first), at);
    }
    return true;
  }

  void learn_style() {
    Style& style = doc_.style;
    const std::size_t nl = src_.find('\n');
    style.newline = nl == std::string::npos ? "" : nl > 0 && src_[nl - 1] == '\r' ? "\r\n" : "\n";
    if (!key_sep_.empty()) style.key_sep = key_sep_;
    if (!item_sep_.empty() && item_sep_.find('\n') == std::string::npos) style.item_sep = item_sep_;
    style.indent.clear();
    if (layout_.size() > 1 && layout_[1].parent == 0) {
      const Layout& first = layout_[1];
      const std::uint32_t lead = first.key_begin ? first.key_begin : first.begin;
      const auto indent = detail::line_indent(std::string_view(src_).substr(first.gap_begin, lead - first.gap_begin));
      if (indent && !indent->empty()) style.indent.assign(*indent);
    }
  }

  Document& doc_;
  const std::string& src_;
  const ReadOptions& options_;
  std::vector<Layout>& layout_ = [this]() -> std::vector<Layout>& {
    if constexpr (kSketch) return doc_.sketch;
    else return doc_.layout;
  }();
  std::vector<Open> open_;
  std::vector<TreeNode> done_;
  std::vector<std::uint64_t> light_;         // a sketch's stand-in for `done_`: fingerprints
  std::vector<std::string> member_names_;    // a sketch's names of the members of open objects
  std::size_t next_trim_ = 0;
  std::uint32_t pos_ = 0;
  std::string key_;
  bool has_key_ = false;
  std::uint32_t key_begin_ = 0, key_gap_ = 0;
  std::string key_sep_, item_sep_;
  std::vector<std::pair<std::string_view, std::uint32_t>> names_;
  std::optional<FormatError> failure_;
  bool stopped_ = false;
};

void escape_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          out.append("\\u00").append(1, kHex[c >> 4]).append(1, kHex[c & 15]);
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

// Writes a tree against the document it was read from (see write_document).
class JsonWriter {
 public:
  JsonWriter(const Document& doc, const TreeNode& tree, const Correspondence& match, std::vector<OutputSpan>* spans,
             const Borrowed* borrowed, const Style* style)
      : doc_(doc), tree_(tree), match_(match), sp_(doc, match, comma_) {
    sp_.spans_ = spans;
    sp_.borrowed_ = borrowed;
    sp_.style_ = style;
    comments_ = doc.source.find("//") != std::string::npos || doc.source.find("/*") != std::string::npos;
    if (comments_) {
      const std::size_t n = doc.layout.size();
      next_sibling_.assign(n, 0);
      std::vector<std::uint32_t> last(n, 0);
      for (std::uint32_t c = 1; c < n; ++c) {
        const std::uint32_t p = doc.layout[c].parent;
        if (last[p]) next_sibling_[last[p]] = c;
        last[p] = c;
      }
      last_child_ = std::move(last);
    }
  }

  Result<std::string, FormatError> run() {
    if (auto problem = sp_.check_match()) return *std::move(problem);
    if (match_.origin.empty() || doc_.layout.empty()) return error("the correspondence does not cover the tree");
    const NodeLayout& top = doc_.layout[0];
    sp_.copy(0, top.begin);
    if (tree_.identity) return error("cannot write JSON: the top value has no name, so no identity");
    const auto problem = value(tree_, sp_.origin(0, tree_, same_sort), std::string_view(), nullptr);
    if (sp_.needs_whole_trees) return FormatError::whole_trees_needed();
    if (problem) return detail::write_failure(stack_, tree_, "JSON", *problem);
    auto visit = [this](Frame& parent, const TreeNode& child, std::uint32_t pre) -> std::optional<std::string> {
      const auto orig = sp_.origin(pre, child, same_sort);
      const bool member = parent.node->kind == "object";
      // An array element's identity is the value of its key member, which
      // is written as a member.
      if (member && !child.identity) return "an object member needs a name (its identity)";
      const bool first = !parent.wrote_child;
      const std::size_t mark = sp_.out.size();
      const auto indent = sp_.gap(parent, orig);
      if (comments_) {
        std::optional<std::uint32_t>& previous = last_written_.back();
        regroup(mark, previous, orig, first ? std::nullopt : std::optional<std::string_view>(parent.child_indent));
        previous = orig && parent.orig && sp_.layout(*orig).parent == *parent.orig ? orig : std::nullopt;
      }
      sp_.begin_span(pre);
      if (sp_.borrow(pre, child)) return std::nullopt;
      return value(child, orig, indent ? *indent : std::string_view(parent.child_indent),
                   member ? &*child.identity : nullptr);
    };
    auto close = [this](const Frame& f) {
      if (f.orig && !f.wrote_child && sp_.has_children(*f.orig)) {
        // Every child is gone: a trailing comma would now follow the bracket.
        const NodeLayout& l = sp_.layout(*f.orig);
        const std::string_view gap = sp_.bytes(l.close_gap_begin, l.tail_begin);
        for (std::size_t i = 0; i < gap.size();) {
          const std::size_t past = std::max(detail::comment_end(gap, i), i + 1);
          if (gap[i] != ',') sp_.out += gap.substr(i, past - i);
          i = past;
        }
      } else {
        const std::size_t mark = sp_.out.size();
        sp_.closing_gap(f, f.indent);
        if (comments_) close_regroup(f, mark);
      }
      if (comments_) last_written_.pop_back();
      sp_.out += f.node->kind == "object" ? '}' : ']';
    };
    if (auto problem = sp_.walk(stack_, "JSON", visit, close)) return *std::move(problem);
    sp_.copy(top.end, static_cast<std::uint32_t>(doc_.source.size()));
    return std::move(sp_.out);
  }

 private:
  static bool same_sort(const TreeNode& original, const TreeNode& node) { return original.kind == node.kind; }

  // Comments belong to the value after them, except those on the line where
  // a value ends, after its comma: they close that line and stay with that
  // value. Both kinds stand in the gap before the next sibling (or the
  // closing bracket), which the splicer copies whole; where the value
  // before a gap is no longer the one that had it there, the gap is
  // rebuilt: the comments of a value that is gone go with it, and those of
  // a value that stays come along.

  // Returns the end of the comments that close the line a gap starts on, or
  // `begin` when there are none (or the gap has no line break after them).
  std::uint32_t line_end_comments(std::uint32_t begin, std::uint32_t end) const {
    const std::string_view src = doc_.source;
    bool comment = false;
    for (std::uint32_t i = begin; i < end;) {
      if (src[i] == '\n') return comment ? i : begin;
      const auto past = static_cast<std::uint32_t>(detail::comment_end(src, i));
      comment = comment || past > i;
      i = std::max(past, i + 1);
    }
    return begin;
  }
  // The comments that close the line of the value before `child` in the original.
  std::string_view closing_comments_before(std::uint32_t child) const {
    const NodeLayout& l = sp_.layout(child);
    return sp_.bytes(l.gap_begin, line_end_comments(l.gap_begin, sp_.lead(child)));
  }
  // The comments that close the line of the original value `pre`.
  std::string_view closing_comments_of(std::uint32_t pre) const {
    if (next_sibling_[pre]) return closing_comments_before(next_sibling_[pre]);
    const NodeLayout& l = sp_.layout(sp_.layout(pre).parent);
    return sp_.bytes(l.close_gap_begin, line_end_comments(l.close_gap_begin, l.tail_begin));
  }

  // Writes `trailing` and `rest` as one gap in place of what stands in the
  // output from `mark`: one comma first when `comma`, none elsewhere outside
  // comments, and a line break after `trailing`, which may end in a line
  // comment.
  void rebuild(std::size_t mark, std::string_view trailing, std::string rest, bool comma, std::string_view indent) {
    sp_.out.resize(mark);
    const std::size_t lead = std::min(rest.find_first_not_of(" \t,"), rest.size());
    if (!trailing.empty() && (lead == rest.size() || (rest[lead] != '\n' && rest[lead] != '\r'))) {
      std::string broken = doc_.style.newline.empty() ? "\n" : doc_.style.newline;
      broken += indent;
      rest = broken + rest.substr(lead);
    }
    if (comma) sp_.out += ',';
    for (const std::string_view part : {trailing, std::string_view(rest)}) {
      for (std::size_t i = 0; i < part.size();) {
        const std::size_t past = std::max(detail::comment_end(part, i), i + 1);
        if (part[i] != ',') sp_.out += part.substr(i, past - i);
        i = past;
      }
    }
  }

  // Regroups the gap written from `mark` before a child whose original is
  // `orig`, after a sibling whose original is `previous`; `indent` is the
  // children's indentation, nullopt for the first child.
  void regroup(std::size_t mark, std::optional<std::uint32_t> previous, std::optional<std::uint32_t> orig,
               std::optional<std::string_view> indent) {
    if (!indent) return;  // a first child's gap holds no value's line end
    if (previous && orig && next_sibling_[*previous] == *orig) return;  // copied whole, where it was
    const std::string_view trailing = previous ? closing_comments_of(*previous) : std::string_view();
    std::string rest = sp_.out.substr(mark);
    bool cut = false;
    if (orig && sp_.layout(*orig).gap_begin != sp_.layout(sp_.layout(*orig).parent).head_end &&
        rest == sp_.bytes(sp_.layout(*orig).gap_begin, sp_.lead(*orig))) {
      // Its own gap, after another value than the one that closed its first line.
      const std::size_t n = closing_comments_before(*orig).size();
      cut = n > 0;
      rest.erase(0, n);
    }
    if (trailing.empty() && !cut) return;
    rebuild(mark, trailing, std::move(rest), true, *indent);
  }

  // The same before the closing bracket of `f`, written from `mark`.
  void close_regroup(const Frame& f, std::size_t mark) {
    if (!f.orig) return;
    const std::optional<std::uint32_t> previous = last_written_.back();
    const std::uint32_t last = last_child_[*f.orig];
    if (previous && *previous == last) return;
    const std::string_view trailing = previous ? closing_comments_of(*previous) : std::string_view();
    std::string rest = sp_.out.substr(mark);
    const NodeLayout& l = sp_.layout(*f.orig);
    const std::string_view gap = sp_.bytes(l.close_gap_begin, l.tail_begin);
    bool cut = false;
    if (last && rest == gap) {
      const std::size_t n = line_end_comments(l.close_gap_begin, l.tail_begin) - l.close_gap_begin;
      cut = n > 0;
      rest.erase(0, n);
    }
    if (trailing.empty() && !cut) return;
    // A trailing comma stays when the file had one there.
    bool comma = false;
    for (std::size_t i = 0; i < gap.size(); i = std::max(detail::comment_end(gap, i), i + 1)) {
      comma = comma || gap[i] == ',';
    }
    rebuild(mark, trailing, std::move(rest), comma, f.indent);
  }

  // Writes one value (with its member name) and opens a frame for the
  // children of an object or array.
  std::optional<std::string> value(const TreeNode& node, std::optional<std::uint32_t> orig, std::string_view indent,
                                   const std::string* name) {
    // A stub is written as the bytes it stands for, which only its equal
    // original has.
    const bool stub = detail::is_stub(node);
    if (stub && !(orig && sp_.original(*orig) == node)) {
      sp_.needs_whole_trees = true;
      return std::nullopt;
    }
    if (!stub && (!node.label.empty() || !node.attributes.empty())) {
      return "JSON has no place for a label or attributes";
    }
    std::string& out = sp_.out;
    if (name) {
      const NodeLayout* l = orig ? &sp_.layout(*orig) : nullptr;
      if (l && l->key_begin && sp_.original(*orig).identity == *name) {
        sp_.copy(l->key_begin, l->begin);
      } else {
        if (detail::bad_utf8(*name, false)) return "its name is not UTF-8";
        escape_string(out, *name);
        out += doc_.style.key_sep;
      }
    }
    if (stub) {
      sp_.copy(sp_.layout(*orig).begin, sp_.layout(*orig).end);
      return std::nullopt;
    }
    const bool container = node.kind == "object" || node.kind == "array";
    if (container) {
      if (!node.text.empty()) return "an " + node.kind + " has no text";
      if (node.kind == "object") {
        names_.clear();
        for (const TreeNode& c : node.children) {
          if (c.identity) names_.push_back(*c.identity);
        }
        std::sort(names_.begin(), names_.end());
        const auto dup = std::adjacent_find(names_.begin(), names_.end());
        if (dup != names_.end()) return "the member name " + quoted(*dup) + " appears twice";
      }
      out += node.kind == "object" ? '{' : '[';
      Frame f{.node = &node, .orig = orig};
      f.indent.assign(indent);
      sp_.open(f, indent, false);
      stack_.push_back(std::move(f));
      if (comments_) last_written_.emplace_back();
      return std::nullopt;
    }
    if (!node.children.empty()) return "a " + node.kind + " has no children";
    if (orig && sp_.original(*orig).text == node.text) {
      sp_.copy(sp_.layout(*orig).begin, sp_.layout(*orig).end);
      return std::nullopt;
    }
    if (node.kind == "string") {
      if (detail::bad_utf8(node.text, false)) return "its text is not UTF-8";
      escape_string(out, node.text);
    } else if (node.kind == "number") {
      if (!is_json_number(node.text)) return "the number " + quoted(node.text) + " is not a JSON number";
      out += node.text;
    } else if (node.kind == "boolean") {
      if (node.text != "true" && node.text != "false") return "a boolean is \"true\" or \"false\"";
      out += node.text;
    } else if (node.kind == "null") {
      if (!node.text.empty()) return "null has no text";
      out += "null";
    } else {
      return "the kind " + quoted(node.kind) + " has no JSON form";
    }
    return std::nullopt;
  }

  const Document& doc_;
  const TreeNode& tree_;
  const Correspondence& match_;
  const std::string comma_ = ",";
  detail::Splicer sp_;
  std::vector<Frame> stack_;
  std::vector<std::string_view> names_;
  bool comments_ = false;                      // the source may hold comments
  std::vector<std::uint32_t> next_sibling_;    // by original node: its next sibling, 0 for none
  std::vector<std::uint32_t> last_child_;      // by original node: its last child, 0 for none
  // By open frame: the original of the child last written, when it was a
  // child of the frame's original.
  std::vector<std::optional<std::uint32_t>> last_written_;
};

}  // namespace

namespace detail {

std::size_t comment_end(std::string_view src, std::size_t at) {
  if (at + 1 >= src.size() || src[at] != '/') return at;
  if (src[at + 1] == '/') return std::min(src.find('\n', at + 2), src.size());
  if (src[at + 1] != '*') return at;
  const std::size_t close = src.find("*/", at + 2);
  return close == std::string_view::npos ? src.size() : close + 2;
}

std::size_t leading_comments(std::string_view src, std::size_t gap_begin, std::size_t lead) {
  // A comment on the line where the gap begins closes that line (after the
  // previous value, or after the bracket); those on later lines lead in.
  bool new_line = false;
  for (std::size_t i = gap_begin; i < lead;) {
    const std::size_t past = comment_end(src, i);
    if (past == i) {
      new_line = new_line || src[i] == '\n';
      ++i;
    } else if (new_line) {
      return i;
    } else {
      i = past;
    }
  }
  return lead;
}

JsoncMarks jsonc_marks(std::string_view src) {
  JsoncMarks marks;
  for (std::size_t i = 0; i < src.size(); ++i) {
    const char c = src[i];
    if (c == '"') {
      for (++i; i < src.size() && src[i] != '"'; ++i) i += src[i] == '\\' ? 1 : 0;
    } else if (c == '/' && comment_end(src, i) > i) {
      marks.jsonc = true;
      if (src[i + 1] == '*' && src.find("*/", i + 2) == std::string_view::npos) {
        marks.open_comment = i;
        return marks;
      }
      i = comment_end(src, i) - 1;
    } else if (c == ',' && !marks.jsonc) {
      std::size_t next = i + 1;
      while (next < src.size()) {
        if (is_space(src[next])) {
          ++next;
        } else if (const std::size_t past = comment_end(src, next); past > next) {
          next = past;
        } else {
          break;
        }
      }
      marks.jsonc = next < src.size() && (src[next] == '}' || src[next] == ']');
    }
  }
  return marks;
}

std::optional<FormatError> parse_json(Document& doc, const ReadOptions& options) {
  // Plain JSON stays strict: comments and trailing commas are allowed only
  // in a file that holds one outside its strings. The plain reading comes
  // first, so that a plain file pays nothing for the look.
  auto read = [&](bool jsonc) {
    doc.stubs = false;
    if (options.sketch) return JsonReader<SketchNode>(doc, options).run(jsonc);
    return JsonReader<NodeLayout>(doc, options).run(jsonc);
  };
  std::optional<FormatError> failure = read(false);
  if (!failure) return failure;
  const JsoncMarks marks = jsonc_marks(doc.source);
  if (marks.open_comment) return error_at("invalid JSON: a comment \"/*\" is not closed", doc.source, *marks.open_comment);
  if (!marks.jsonc) return failure;
  failure = read(true);
  // RapidJSON checks the encoding of strings only; a comment must be text too.
  if (const auto bad = bad_utf8(doc.source, false); !failure && bad) {
    return error_at("invalid JSON: invalid encoding in a comment", doc.source, *bad);
  }
  return failure;
}

Result<std::string, FormatError> write_json(const Document& original, const TreeNode& tree,
                                            const Correspondence& match, std::vector<OutputSpan>* spans,
                                            const Borrowed* borrowed, const Style* style) {
  return JsonWriter(original, tree, match, spans, borrowed, style).run();
}

}  // namespace detail
}  // namespace vext
