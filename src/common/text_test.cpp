#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextTest, NarrowingKeepsTheLowByteOfEachUnit) {
  EXPECT_EQ(narrowText(u"Log iniciado"), "Log iniciado");
  EXPECT_EQ(narrowText(u"\u00e7\u00e1\u00ff\u0080"), "\xe7\xe1\xff\x80");  // Latin-1: as ISO 8859-1
  // Above 0xFF only the low byte survives: U+0141 -> 'A', U+20AC -> 0xAC,
  // U+FFE7 -> 0xE7, U+0100 and U+3000 -> a zero byte that stays in the string.
  EXPECT_EQ(narrowText(u"\u0141\u20ac\uffe7"), "A\xac\xe7");
  EXPECT_EQ(narrowText(u"a\u0100b\u3000"), std::string("a\0b\0", 4));
  EXPECT_EQ(narrowText(u""), "");
}

TEST(TextTest, WideningExtendsTheSignOfEachByte) {
  EXPECT_EQ(widenText("dc01"), u"dc01");
  EXPECT_EQ(widenText("\x7f\x80\xe7\xff"), std::u16string({0x7F, 0xFF80, 0xFFE7, 0xFFFF}));
  EXPECT_EQ(widenText(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(TextTest, OnlyAsciiCrossesBothWaysUnchanged) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
  // Narrowing undoes widening for every byte (the sign bits are dropped) ...
  EXPECT_EQ(narrowText(widenText(everyByte)), everyByte);
  // ... but widening a narrowed Latin-1 letter does not give it back.
  EXPECT_EQ(widenText(narrowText(u"Jos\u00e9")), std::u16string(u"Jos") + char16_t(0xFFE9));
  EXPECT_EQ(widenText(narrowText(u"Jose")), u"Jose");
}

TEST(TextTest, Utf8DecodingCoversAllLengthsAndRejectsMalformedInput) {
  EXPECT_EQ(utf8ToUtf16("Seç\xc3\xa3o \xe2\x82\xac \xf0\x9f\x98\x80"),
            std::u16string(u"Se\u00e7\u00e3o \u20ac ") + char16_t(0xD83D) + char16_t(0xDE00));
  EXPECT_EQ(utf8ToUtf16("\xe7"), u"\ufffd");                  // Latin-1 byte is not UTF-8
  EXPECT_EQ(utf8ToUtf16("\xc0\xaf"), u"\ufffd\ufffd");        // overlong '/': each byte replaced
  EXPECT_EQ(utf8ToUtf16("\xed\xa0\x80"), u"\ufffd\ufffd\ufffd");  // encoded surrogate
  EXPECT_EQ(utf8ToUtf16("\xf4\x90\x80\x80"), u"\ufffd\ufffd\ufffd\ufffd");  // above U+10FFFF
  EXPECT_EQ(utf8ToUtf16("a\xe2\x82"), u"a\ufffd\ufffd");      // cut short at the end
  EXPECT_EQ(utf8ToUtf16("\xe2\x82z"), u"\ufffd\ufffdz");      // cut short before ASCII
}

TEST(TextTest, Utf8EncodingRoundTripsAndReplacesLoneSurrogates) {
  const std::u16string text = std::u16string(u"A\u00e7\u0800\uffff") + char16_t(0xD83D) + char16_t(0xDE00);
  const std::string utf8 = utf16ToUtf8(text);
  EXPECT_EQ(utf8, "A\xc3\xa7\xe0\xa0\x80\xef\xbf\xbf\xf0\x9f\x98\x80");
  EXPECT_EQ(utf8ToUtf16(utf8), text);
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xDC00)) + u"x"), "\xef\xbf\xbdx");
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
}

}  // namespace
