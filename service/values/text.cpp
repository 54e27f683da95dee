#include "service/values/text.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

namespace quill_service {

std::u16string Utf8ToUtf16(std::string_view text) {
  // ASCII (most names and values) widens byte by byte, without the converter.
  if (std::all_of(text.begin(), text.end(), [](char byte) { return static_cast<unsigned char>(byte) < 0x80; })) {
    return std::u16string(text.begin(), text.end());
  }
  std::u16string out(text.size(), u'\0');  // never more units than bytes
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &length,
                       text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
  return out;
}

namespace {

// ICU's conversion, unpaired surrogates substituted.
std::string ConvertToUtf8(std::u16string_view text) {
  std::string out(text.size() * 3, '\0');  // at most three bytes per unit
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length,
                     reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), 0xFFFD,
                     nullptr, &status);
  out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
  return out;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  // Names and values are mostly ASCII, which AppendUtf8 narrows without the converter.
  std::string out;
  AppendUtf8(out, text);
  return out;
}

std::u16string ModifiedUtf8ToUtf16(std::string_view bytes) {
  // The ASCII the text starts with (most often all of it) widens byte by byte.
  size_t i = 0;
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  std::u16string text(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(i));
  if (i == bytes.size()) return text;
  text.reserve(bytes.size());
  const auto continuation = [&](size_t at) {
    return at < bytes.size() && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80;
  };
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      text += static_cast<char16_t>(b);
      i += 1;
    } else if ((b & 0xE0) == 0xC0 && continuation(i + 1)) {
      text += static_cast<char16_t>(((b & 0x1F) << 6) | (bytes[i + 1] & 0x3F));
      i += 2;
    } else if ((b & 0xF0) == 0xE0 && continuation(i + 1) && continuation(i + 2)) {
      text += static_cast<char16_t>(((b & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F));
      i += 3;
    } else if ((b & 0xF8) == 0xF0 && continuation(i + 1) && continuation(i + 2) && continuation(i + 3)) {
      const char32_t c = ((b & 0x07) << 18) | ((bytes[i + 1] & 0x3F) << 12) | ((bytes[i + 2] & 0x3F) << 6) |
                         (bytes[i + 3] & 0x3F);
      if (c > 0x10FFFF || c < 0x10000) {
        text += u'\uFFFD';
      } else {
        text += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        text += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      }
      i += 4;
    } else {
      text += u'\uFFFD';
      i += 1;
    }
  }
  return text;
}

void AppendLatin1AsUtf8(std::string& out, std::string_view latin1) {
  for (const unsigned char byte : latin1) {
    if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
}

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  AppendLatin1AsUtf8(out, latin1);
  return out;
}

std::u16string Latin1ToUtf16(std::string_view latin1) {
  std::u16string out(latin1.size(), u'\0');
  for (size_t i = 0; i < latin1.size(); ++i) out[i] = static_cast<unsigned char>(latin1[i]);
  return out;
}

bool IsValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

bool Utf8ToLatin1(std::string_view utf8, std::string* latin1) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto length = static_cast<int32_t>(utf8.size());
  std::string out;
  out.reserve(utf8.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0 || c > 0xFF) return false;
    out.push_back(static_cast<char>(c));
  }
  *latin1 = std::move(out);
  return true;
}

void AppendUtf8(std::string& out, std::u16string_view text) {
  // Most output is ASCII: narrow it sixteen units at a time, and hand the text to the converter
  // from the first block that holds anything else. A short text, as most are, is narrowed on the
  // stack and appended in one go, without growing out twice.
  const size_t n = text.size();
  if (constexpr size_t kShort = 32; n <= kShort) {
    char narrow[kShort];
    size_t i = 0;
    for (; i < n && text[i] < 0x80; ++i) narrow[i] = static_cast<char>(text[i]);
    out.append(narrow, i);
    if (i < n) out += ConvertToUtf8(text.substr(i));
    return;
  }
  const size_t start = out.size();
  out.resize(start + n);
  const char16_t* src = text.data();
  char* dst = out.data() + start;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i nonAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 8));
    const __m128i wide = _mm_and_si128(_mm_or_si128(low, high), nonAscii);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(wide, zero)) != 0xFFFF) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(low, high));
  }
#endif
  for (; i < n && src[i] < 0x80; ++i) dst[i] = static_cast<char>(src[i]);
  out.resize(start + i);
  if (i < n) out += ConvertToUtf8(text.substr(i));
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
    // Names are mostly written as they are compared with: equal units need no folding.
    if (a[i] != b[i] && FoldUnit(a[i]) != FoldUnit(b[i])) return false;
  }
  return true;
}

std::u16string ShortenName(std::u16string_view name, size_t limit) {
  limit = std::max<size_t>(limit, 8);  // room for "..." and a piece of each end
  if (name.size() <= limit) return std::u16string(name);
  // Keep surrogate pairs whole on both sides of the cut.
  auto isLow = [&](size_t at) { return at < name.size() && name[at] >= 0xDC00 && name[at] <= 0xDFFF; };
  size_t head = limit / 2;
  if (isLow(head)) --head;
  size_t tail = name.size() - (limit - limit / 2 - 3);
  if (isLow(tail)) ++tail;
  std::u16string shortened(name.substr(0, head));
  shortened += u"...";
  shortened += name.substr(tail);
  return shortened;
}

}  // namespace quill_service
