#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/os.h"

namespace {

std::u16string U(const char16_t* text) { return text; }
const quill_char* Units(const std::u16string& text) { return reinterpret_cast<const quill_char*>(text.c_str()); }

TEST(CharBufferTest, Utf8KeepsEveryCharacterIncludingNonBmp) {
  // é, the euro sign and U+1F600 as a surrogate pair.
  const std::u16string text = u"a\u00e9\u20ac\U0001F600z";
  CharBuffer buffer(Units(text), -1, "UTF-8");
  EXPECT_EQ(buffer.str(), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
}

TEST(CharBufferTest, Utf8ReplacesALoneSurrogate) {
  const quill_char units[] = {'x', 0xD800, 'y', 0};
  CharBuffer buffer(units, -1, "UTF-8");
  EXPECT_EQ(buffer.str(), "x\xEF\xBF\xBDy");
}

TEST(CharBufferTest, Latin1SubstitutesQuestionMarkForWhatItCannotHold) {
  const std::u16string text = u"\u00e9\u20ac\U0001F600!";
  CharBuffer buffer(Units(text), -1, "ISO-8859-1");
  // One byte per UTF-16 unit, so callers may take the unit count as the byte length.
  EXPECT_EQ(buffer.str(), "\xE9??" "?!");
}

TEST(CharBufferTest, BinaryKeepsTheLowByteOfEachUnit) {
  const quill_char units[] = {0x0041, 0x01FF, 0x0000, 0x1280};
  CharBuffer buffer(units, 4, "BINARY");
  EXPECT_EQ(buffer.str(), std::string("A\xFF\0\x80", 4));
}

TEST(CharBufferTest, ExplicitLengthStopsEarlyAndIgnoresTerminator) {
  const std::u16string text = U(u"hello");
  EXPECT_EQ(CharBuffer(Units(text), 3, "UTF-8").str(), "hel");
  const quill_char embedded[] = {'a', 0, 'b'};
  EXPECT_EQ(CharBuffer(embedded, 3, "UTF-8").str(), std::string("a\0b", 3));
}

TEST(CharBufferTest, RefusesBadLengthAndUnknownCharset) {
  const std::u16string text = U(u"x");
  EXPECT_THROW(CharBuffer(Units(text), -2, "UTF-8"), osOutOfRange);
  EXPECT_THROW(CharBuffer(Units(text), 1, "NO-SUCH-CHARSET"), osException);
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
  buffer = "x";
  buffer.Reset();
  EXPECT_EQ(buffer.Length(), 0u);
}

TEST(CharBufferTest, ReleaseBufferHandsOverATerminatedCopyAndEmpties) {
  CharBuffer buffer(std::string("ab\0c", 4).c_str(), 4);
  std::unique_ptr<char[]> released(buffer.ReleaseBuffer());
  EXPECT_EQ(std::string(released.get(), 5), std::string("ab\0c\0", 5));
  EXPECT_TRUE(buffer.IsEmpty());
  // The buffer stays usable and a second release gives its own empty allocation.
  std::unique_ptr<char[]> empty(buffer.ReleaseBuffer());
  EXPECT_STREQ(empty.get(), "");
  EXPECT_NE(empty.get(), released.get());
}

}  // namespace
