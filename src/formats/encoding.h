#pragma once

// Character encodings of the files read: which one a file is written in, and
// conversion to and from the UTF-8 the readers and writers work on. The
// conversions are glibc's iconv; a file is read only when its text converts
// back to exactly its bytes, so that an unchanged file writes back as itself.

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "formats/document.h"

namespace vext::detail {

// Returns the encoding of an XML file, "" for UTF-8: a byte order mark, then
// the first bytes (UTF-16 and UTF-32 in either byte order), then the
// declaration's encoding name. US-ASCII and UTF-8 both give "". Refuses a name
// that is not an encoding name, and a UTF-16 or UTF-32 name in a file whose
// bytes are not in it.
[[nodiscard]] Result<std::string, FormatError> xml_encoding(std::string_view bytes);

// Returns the encoding of a file whose bytes are UTF-16 or UTF-32 (a byte
// order mark, or the zero bytes around the first characters of a text that
// starts with ASCII), or nullopt.
[[nodiscard]] std::optional<std::string> wide_encoding(std::string_view bytes);

// Converts `bytes` in `encoding` to UTF-8. Refuses an encoding iconv does not
// know, bytes that are not text in it, and text that would not convert back
// to the same bytes.
[[nodiscard]] Result<std::string, FormatError> decode(std::string_view bytes, const std::string& encoding);

// Converts UTF-8 `text` to `encoding`. A character the encoding cannot hold
// is written as a character reference with `references`, and refused
// otherwise; `*referenced` tells whether any was.
[[nodiscard]] Result<std::string, FormatError> encode(std::string_view text, const std::string& encoding,
                                                     bool references, bool* referenced = nullptr);

}  // namespace vext::detail
