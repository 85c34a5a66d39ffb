#include "formats/encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <utility>

#include "formats/splice.h"

namespace vext::detail {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool istarts_with(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// An encoding name as XML has them; anything else (iconv's "//" suffixes, a
// path) never reaches iconv.
bool is_encoding_name(std::string_view name) {
  if (name.empty() || !is_letter(name[0])) return false;
  for (const char c : name) {
    if (!is_letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

// Returns the encoding named in an XML declaration at the start of `bytes`,
// or nullopt when there is none. Anything unexpected leaves the declaration
// to the parser, which reports it.
std::optional<std::string_view> declared_encoding(std::string_view bytes) {
  if (!bytes.starts_with("<?xml") || bytes.size() < 6 || !is_space(bytes[5])) return std::nullopt;
  std::size_t at = 5;
  for (;;) {
    while (at < bytes.size() && is_space(bytes[at])) ++at;
    const std::size_t name_begin = at;
    while (at < bytes.size() && is_letter(bytes[at])) ++at;
    const std::string_view name = bytes.substr(name_begin, at - name_begin);
    if (name.empty()) return std::nullopt;
    while (at < bytes.size() && is_space(bytes[at])) ++at;
    if (at == bytes.size() || bytes[at] != '=') return std::nullopt;
    ++at;
    while (at < bytes.size() && is_space(bytes[at])) ++at;
    if (at == bytes.size() || (bytes[at] != '"' && bytes[at] != '\'')) return std::nullopt;
    const char quote = bytes[at++];
    const std::size_t end = bytes.find(quote, at);
    if (end == std::string_view::npos) return std::nullopt;
    if (name == "encoding") return bytes.substr(at, end - at);
    at = end + 1;
  }
}

class Converter {
 public:
  Converter(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {
    if (cd_ == reinterpret_cast<iconv_t>(-1) && errno == ENOMEM) throw std::bad_alloc();
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts as much of `in` as it can, appending to `out`; returns 0, or
  // the errno of the byte where it stopped (EILSEQ, EINVAL).
  int run(std::string_view& in, std::string& out) {
    char* src = const_cast<char*>(in.data());
    std::size_t left = in.size();
    int failure = 0;
    // Once the input is used up, a last call writes what returns a stateful
    // encoding to its initial state.
    bool flushing = left == 0;
    for (;;) {
      const std::size_t used = out.size();
      out.resize(used + std::max<std::size_t>(64, left * 2));
      char* dst = out.data() + used;
      std::size_t room = out.size() - used;
      const std::size_t r = flushing ? iconv(cd_, nullptr, nullptr, &dst, &room) : iconv(cd_, &src, &left, &dst, &room);
      const int e = r == static_cast<std::size_t>(-1) ? errno : 0;
      out.resize(out.size() - room);
      if (e == E2BIG) continue;
      if (e != 0) {
        failure = e;
        break;
      }
      if (flushing) break;
      flushing = left == 0;
    }
    in = std::string_view(src, left);
    return failure;
  }

 private:
  iconv_t cd_;
};

std::string unsupported(const std::string& encoding) { return "unsupported encoding " + quoted(encoding); }

// Returns the code point of the UTF-8 character at the start of `text` and
// its length, or nullopt when the bytes are not one.
std::optional<std::pair<char32_t, std::size_t>> utf8_char(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto b0 = static_cast<unsigned char>(text[0]);
  const std::size_t n = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
  if (n == 0 || text.size() < n || bad_utf8(text.substr(0, n), false)) return std::nullopt;
  char32_t c = n == 1 ? b0 : b0 & (0x7F >> n);
  for (std::size_t i = 1; i < n; ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  return std::pair{c, n};
}

}  // namespace

std::optional<std::string> wide_encoding(std::string_view bytes) {
  auto b = [&](std::size_t i) { return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0x100U; };
  if (b(0) == 0 && b(1) == 0 && b(2) == 0xFE && b(3) == 0xFF) return "UTF-32BE";
  if (b(0) == 0xFF && b(1) == 0xFE && b(2) == 0 && b(3) == 0) return "UTF-32LE";
  if (b(0) == 0xFE && b(1) == 0xFF) return "UTF-16BE";
  if (b(0) == 0xFF && b(1) == 0xFE) return "UTF-16LE";
  auto ascii = [&](std::size_t i) { return b(i) > 0 && b(i) < 0x80; };
  if (b(0) == 0 && b(1) == 0 && b(2) == 0 && ascii(3)) return "UTF-32BE";
  if (ascii(0) && b(1) == 0 && b(2) == 0 && b(3) == 0) return "UTF-32LE";
  if (b(0) == 0 && ascii(1)) return "UTF-16BE";
  if (ascii(0) && b(1) == 0) return "UTF-16LE";
  return std::nullopt;
}

Result<std::string, FormatError> xml_encoding(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return std::string();
  if (auto wide = wide_encoding(bytes)) return *std::move(wide);
  const auto declared = declared_encoding(bytes);
  if (!declared) return std::string();
  const std::string name(*declared);
  const auto at = static_cast<std::size_t>(declared->data() - bytes.data());
  if (!is_encoding_name(name) || !Converter("UTF-8", name).ok()) return error_at(unsupported(name), bytes, at);
  if (iequals(name, "utf-8") || iequals(name, "utf8") || iequals(name, "us-ascii") || iequals(name, "ascii")) {
    return std::string();
  }
  for (const std::string_view wide : {"utf-16", "utf16", "utf-32", "utf32", "ucs-2", "ucs2", "ucs-4", "ucs4"}) {
    if (istarts_with(name, wide)) {
      return error_at("the declaration names " + quoted(name) + " but the file is not in it", bytes, at);
    }
  }
  return name;
}

Result<std::string, FormatError> decode(std::string_view bytes, const std::string& encoding) {
  Converter in("UTF-8", encoding);
  if (!in.ok()) return error(unsupported(encoding));
  std::string text;
  text.reserve(bytes.size() + bytes.size() / 2);
  std::string_view rest = bytes;
  if (in.run(rest, text) != 0) {
    // The place is that of the character where the text stops.
    return error_at("the bytes at offset " + std::to_string(bytes.size() - rest.size()) + " are not " + encoding +
                        " text",
                    text, text.size());
  }
  auto back = encode(text, encoding, false);
  if (!back.ok() || *back != bytes) {
    return error("the file's " + encoding + " text does not convert back to the same bytes");
  }
  return text;
}

Result<std::string, FormatError> encode(std::string_view text, const std::string& encoding, bool references,
                                        bool* referenced) {
  Converter out_of(encoding, "UTF-8");
  if (!out_of.ok()) return error(unsupported(encoding));
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 2);
  std::string_view rest = text;
  if (referenced) *referenced = false;
  while (const int failure = out_of.run(rest, bytes)) {
    const auto c = utf8_char(rest);
    if (!c || failure != EILSEQ) return error("the text written is not UTF-8");
    char hex[16];
    std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(c->first));
    if (!references) return error("character " + std::string(hex) + " cannot be written in " + encoding);
    std::snprintf(hex, sizeof hex, "&#x%X;", static_cast<unsigned>(c->first));
    std::string_view reference(hex);
    if (out_of.run(reference, bytes) != 0) return error("character references cannot be written in " + encoding);
    rest.remove_prefix(c->second);
    if (referenced) *referenced = true;
  }
  return bytes;
}

}  // namespace vext::detail
