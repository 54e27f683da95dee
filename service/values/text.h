// Text conversions and case folding shared by the values, the QCAPI and the interpreter.
#pragma once

#include <string>
#include <string_view>

#include "host/qcapi.h"

namespace quill_service {

// Malformed input becomes U+FFFD rather than failing.
QUILL_API std::u16string Utf8ToUtf16(std::string_view text);
QUILL_API std::string Utf16ToUtf8(std::u16string_view text);
// The VM's modified UTF-8, as text from Java arrives: characters beyond the Basic Multilingual
// Plane as two three-byte surrogates, character zero as C0 80. Standard UTF-8 decodes alike; a
// byte that starts no sequence becomes U+FFFD.
QUILL_API std::u16string ModifiedUtf8ToUtf16(std::string_view bytes);
// The host's 8-bit interfaces take ISO-8859-1 (what the module sends): each byte is one character.
QUILL_API void AppendLatin1AsUtf8(std::string& out, std::string_view latin1);
QUILL_API std::string Latin1ToUtf8(std::string_view latin1);
QUILL_API std::u16string Latin1ToUtf16(std::string_view latin1);
QUILL_API bool IsValidUtf8(std::string_view text);
// UTF-8 as ISO-8859-1; false (latin1 unchanged) when the text is malformed or holds a character
// above U+00FF.
QUILL_API bool Utf8ToLatin1(std::string_view utf8, std::string* latin1);
// Appends text to out as UTF-8, without a temporary for ASCII text.
QUILL_API void AppendUtf8(std::string& out, std::u16string_view text);

// A name fit for a message: whole up to limit characters (UTF-16 units), else its head and tail
// around "...", so that a huge name cannot swamp the message it appears in.
QUILL_API std::u16string ShortenName(std::u16string_view name, size_t limit = 120);

// Lower case, for names that compare case-insensitively (tags, parameters, headers).
QUILL_API std::u16string FoldCase(std::u16string_view text);
QUILL_API bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

// Length of a zero-terminated UTF-16 text.
inline size_t TextLength(const quill_char* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

inline std::u16string_view View(const quill_char* text) {
  return {reinterpret_cast<const char16_t*>(text), TextLength(text)};
}

inline std::u16string_view View(const quill_char* text, size_t length) {
  return {reinterpret_cast<const char16_t*>(text), length};
}

inline const quill_char* Units(const std::u16string& text) {
  return reinterpret_cast<const quill_char*>(text.c_str());
}

}  // namespace quill_service
