// UTF-16 to UTF-8: the ASCII fast path must hand over to the converter at the right unit.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "service/values/text.h"

using quill_service::AppendUtf8;
using quill_service::Utf16ToUtf8;

TEST(AppendUtf8, WritesTheUtf8WhereverTheFirstNonAsciiUnitFalls) {
  const std::u16string ascii(40, u'a');
  const std::pair<std::u16string, std::string> cases[] = {{u"\u00e9", "\xC3\xA9"},
                                                          {u"\u20ac", "\xE2\x82\xAC"},
                                                          {u"\U0001F600", "\xF0\x9F\x98\x80"},
                                                          {u"\xD800", "\xEF\xBF\xBD"}};  // unpaired: U+FFFD
  for (const auto& [other, utf8] : cases) {
    for (size_t at = 0; at <= ascii.size(); ++at) {
      std::u16string text = ascii;
      text.insert(at, other);
      const std::string expected = std::string(at, 'a') + utf8 + std::string(ascii.size() - at, 'a');
      std::string out = "kept:";
      AppendUtf8(out, text);
      ASSERT_EQ(out, "kept:" + expected) << "non-ASCII at " << at;
      ASSERT_EQ(Utf16ToUtf8(text), expected) << "non-ASCII at " << at;
    }
  }
}
