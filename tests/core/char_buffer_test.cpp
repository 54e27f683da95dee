// UTF-16 text to bytes: the host's CharBuffer in each charset, and the server's own UTF-8 appender.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include "host/os.h"
#include "service/values/text.h"

namespace {

using quill_service::Units;

TEST(CharBufferTest, ConvertsUtf16ToEachCharset) {
  // UTF-16 units, unit count (-1: up to the terminator), charset, expected bytes.
  const std::tuple<std::u16string, int32_t, const char*, std::string> cases[] = {
      // é, the euro sign and U+1F600 as a surrogate pair.
      {u"a\u00e9\u20ac\U0001F600z", -1, "UTF-8", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"},
      {u"x\xD800y", -1, "UTF-8", "x\xEF\xBF\xBDy"},  // a lone surrogate is replaced
      // One byte per UTF-16 unit, so callers may take the unit count as the byte length.
      {u"\u00e9\u20ac\U0001F600!", -1, "ISO-8859-1", "\xE9??" "?!"},
      {std::u16string(u"\u0041\u01FF\0\u1280", 4), 4, "BINARY", std::string("A\xFF\0\x80", 4)},  // low bytes
      // An explicit length stops early and ignores terminators.
      {u"hello", 3, "UTF-8", "hel"},
      {std::u16string(u"a\0b", 3), 3, "UTF-8", std::string("a\0b", 3)},
  };
  for (const auto& [units, length, charset, bytes] : cases) {
    EXPECT_EQ(CharBuffer(Units(units), length, charset).str(), bytes) << charset << " " << length;
  }
}

TEST(CharBufferTest, RefusesBadLengthAndUnknownCharset) {
  EXPECT_THROW(CharBuffer(Units(u"x"), -2, "UTF-8"), osOutOfRange);
  EXPECT_THROW(CharBuffer(Units(u"x"), 1, "NO-SUCH-CHARSET"), osException);
  EXPECT_TRUE(CharBuffer(nullptr, -1, "UTF-8").IsEmpty());
}

TEST(CharBufferTest, EditingSearchAndNulls) {
  CharBuffer buffer("QuillModules");
  buffer += '/';
  buffer.Append("a.jar").Append(";", 1).Append(nullptr);
  EXPECT_EQ(buffer.str(), "QuillModules/a.jar;");
  EXPECT_EQ(buffer.Search("a.jar"), 13);
  EXPECT_EQ(buffer.Search("b.jar"), -1);
  EXPECT_EQ(buffer.Search(nullptr), -1);
  buffer = nullptr;
  EXPECT_TRUE(buffer.IsEmpty());
}

TEST(CharBufferTest, ReleaseBufferHandsOverATerminatedCopyAndEmpties) {
  CharBuffer buffer(std::string("ab\0c", 4).c_str(), 4);
  std::unique_ptr<char[]> released(buffer.ReleaseBuffer());
  EXPECT_EQ(std::string(released.get(), 5), std::string("ab\0c\0", 5));
  EXPECT_TRUE(buffer.IsEmpty());
  // The buffer stays usable: a second release gives a terminated empty text.
  std::unique_ptr<char[]> empty(buffer.ReleaseBuffer());
  EXPECT_STREQ(empty.get(), "");
}

// The ASCII fast paths (short texts, long ones) must hand over to the converter at the right unit,
// both ways.
TEST(AppendUtf8, WritesTheUtf8WhereverTheFirstNonAsciiUnitFalls) {
  for (const size_t size : {10, 40}) {
    const std::u16string ascii(size, u'a');
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
        quill_service::AppendUtf8(out, text);
        ASSERT_EQ(out, "kept:" + expected) << "non-ASCII at " << at;
        ASSERT_EQ(quill_service::Utf16ToUtf8(text), expected) << "non-ASCII at " << at;
        if (other != u"\xD800") { ASSERT_EQ(quill_service::Utf8ToUtf16(expected), text) << "non-ASCII at " << at; }
      }
    }
  }
}

}  // namespace
