#include "common/format.h"

#include <gtest/gtest.h>

TEST(FormatWide, ConversionsAsTheLogUsesThem) {
  EXPECT_EQ(formatWide(u"%02d/%02d/%04d %02d:%02d:%02d", 6, 12, 2026, 15, 5, 0), u"06/12/2026 15:05:00");
  EXPECT_EQ(formatWide(u"[%x]", 0x1a2bu), u"[1a2b]");
  EXPECT_EQ(formatWide(u"[%x]", 0xffffffffu), u"[ffffffff]");
  EXPECT_EQ(formatWide(u"Codigo %d.", -5), u"Codigo -5.");
  EXPECT_EQ(formatWide(u"Codigo %d.", 39321), u"Codigo 39321.");
  EXPECT_EQ(formatWide(u"membros: [%s] [%s]", std::u16string(u"Jo\u00e3o"), u""), u"membros: [Jo\u00e3o] []");
  EXPECT_EQ(formatWide(u"100%% %u", 7u), u"100% 7");
  EXPECT_EQ(formatWide(u"%3d|%-d", 5, 1), u"  5|%-d");
}

TEST(FormatWide, MismatchedOrMissingArgumentsNeverReadBeyondWhatWasGiven) {
  EXPECT_EQ(formatWide(u"%s and %d", 5, std::u16string(u"x")), u"(?) and (?)");
  EXPECT_EQ(formatWide(u"%d %d %s"), u"(?) (?) (?)");
  EXPECT_EQ(formatWide(u"%d", 1, 2, 3), u"1");
  EXPECT_EQ(formatWide(u"trailing %"), u"trailing %");
  EXPECT_EQ(formatWide(u"%05"), u"%05");
  EXPECT_EQ(formatWide(u"%q%d", 4), u"%q4");
}

TEST(FormatWide, WidthIsBounded) {
  EXPECT_EQ(formatWide(u"%999999999999d", 1).size(), 64u);
}
