#include "service/values/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace quill_service {

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out(text.size(), u'\0');  // never more units than bytes
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &length,
                       text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out(text.size() * 3, '\0');  // at most three bytes per unit
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length,
                     reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), 0xFFFD,
                     nullptr, &status);
  out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
  return out;
}

void AppendUtf8(std::string& out, std::u16string_view text) {
  // Most output is ASCII: copy it unit by unit in blocks the compiler vectorises, and hand
  // the text to the converter from the first unit that is not.
  const size_t n = text.size();
  const size_t start = out.size();
  out.resize(start + n);
  char* dst = out.data() + start;
  size_t i = 0;
  constexpr size_t kBlock = 16;
  while (i + kBlock <= n) {
    char16_t bits = 0;
    for (size_t k = 0; k < kBlock; ++k) bits |= text[i + k];
    if (bits >= 0x80) break;
    for (size_t k = 0; k < kBlock; ++k) dst[i + k] = static_cast<char>(text[i + k]);
    i += kBlock;
  }
  while (i < n && text[i] < 0x80) {
    dst[i] = static_cast<char>(text[i]);
    ++i;
  }
  out.resize(start + i);
  if (i < n) out += Utf16ToUtf8(text.substr(i));
}

static char16_t FoldUnit(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;  // surrogates fold as themselves
  return static_cast<char16_t>(u_tolower(c));
}

std::u16string FoldCase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = FoldUnit(c);
  return out;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldUnit(a[i]) != FoldUnit(b[i])) return false;
  }
  return true;
}

}  // namespace quill_service
