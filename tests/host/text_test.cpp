// UTF-16 to UTF-8 output: the ASCII fast path must hand over to the converter at the right unit.
#include <gtest/gtest.h>

#include <string>

#include "service/values/text.h"

using quill_service::AppendUtf8;
using quill_service::Utf16ToUtf8;

TEST(AppendUtf8, MatchesTheConverterWhereverTheFirstNonAsciiUnitFalls) {
  const std::u16string ascii(40, u'a');
  for (const std::u16string other : {u"\u00e9", u"\u20ac", u"\U0001F600", u"\xD800"}) {
    for (size_t at = 0; at <= ascii.size(); ++at) {
      std::u16string text = ascii;
      text.insert(at, other);
      std::string out = "kept:";
      AppendUtf8(out, text);
      ASSERT_EQ(out, "kept:" + Utf16ToUtf8(text)) << "non-ASCII at " << at;
    }
  }
}
