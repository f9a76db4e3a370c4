#include "logging/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/process_state.h"
#include "common/text.h"

namespace {

// Console output as captured by the test framework, which reads it back in
// text mode on Windows: compare without CR.
std::string withoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

std::string lineFor(uint32_t level, std::u16string_view message) {
  platform::LocalTime t;
  t.day = 6, t.month = 12, t.year = 2026, t.hour = 15, t.minute = 5, t.second = 0;
  return formatLogLine(level, t, 0x1a2b, message, {});
}

TEST(LogLine, LayoutAndLabels) {
  EXPECT_EQ(lineFor(Info, u"Log iniciado"), "06/12/2026 15:05:00 [1a2b] [Info] Log iniciado\r\n");
  EXPECT_EQ(lineFor(Error, u"x"), "06/12/2026 15:05:00 [1a2b] [Erro] x\r\n");
  EXPECT_EQ(lineFor(Warning, u"x"), "06/12/2026 15:05:00 [1a2b] [Atencao] x\r\n");
  EXPECT_EQ(lineFor(Unknown, u"x"), "06/12/2026 15:05:00 [1a2b] [Desconhecido] x\r\n");
  EXPECT_EQ(lineFor(Console, u"x"), "06/12/2026 15:05:00 [1a2b] [Console] x\r\n");
  EXPECT_EQ(lineFor(3, u"x"), "06/12/2026 15:05:00 [1a2b] [] x\r\n");
}

TEST(LogLine, EachCodeUnitBecomesItsLowByte) {
  const std::string line = lineFor(Info, u"a\u00e7\u00e1\u20ac");  // c-cedilla, a-acute, euro sign
  EXPECT_EQ(line.substr(line.size() - 6), std::string("a\xE7\xE1\xAC\r\n"));
}

TEST(LogLine, AZeroLowByteEndsTheBytesWritten) {
  // U+0100 and U+3000 have a zero low byte: the rest of the line, CR LF
  // included, is not written.
  EXPECT_EQ(lineFor(Info, u"antes\u0100depois"), "06/12/2026 15:05:00 [1a2b] [Info] antes");
  EXPECT_EQ(lineFor(Info, u"\u3000"), "06/12/2026 15:05:00 [1a2b] [Info] ");
}

TEST(LogLine, ALongMessageIsCutToTheLineBuffer) {
  const std::string line = lineFor(Info, std::u16string(10000, u'x'));
  EXPECT_EQ(line.size(), 4095u);  // 4096 units with the terminator
  EXPECT_EQ(line.substr(line.size() - 3), "x\r\n");
  const std::string fits = lineFor(Info, std::u16string(100, u'y'));
  EXPECT_EQ(fits.size(), std::string("06/12/2026 15:05:00 [1a2b] [Info] ").size() + 100 + 2);
}

TEST(LogLine, ArgumentsAreFormatted) {
  platform::LocalTime t;
  const FormatArg args[] = {FormatArg(u"jsilva"), FormatArg(5013)};
  const std::string line = formatLogLine(Error, t, 1, u"[%s] Codigo %d.", args);
  EXPECT_NE(line.find("[jsilva] Codigo 5013.\r\n"), std::string::npos);
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = std::filesystem::temp_directory_path() /
            ("kvlog-" + std::to_string(platform::currentThreadId()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(base_);
    std::filesystem::create_directories(base_ / "Karvell Networks" / "HSM Karvell" / "data");
    programFilesDir = base_.u16string();
    serviceMode = true;  // no console echo unless a test asks for it
  }
  void TearDown() override {
    serviceMode = false;
    std::filesystem::remove_all(base_);
  }
  std::string fileText() {
    std::ifstream in(std::filesystem::path(logFilePath()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path base_;
};

TEST_F(LogFileTest, LinesAreAppendedAndTheFileIsRecreatedAfterDeletion) {
  EXPECT_TRUE(writeLog(Info, u"primeira %d", 1));
  EXPECT_TRUE(writeLog(Warning, u"segunda %s", std::u16string(u"linha")));
  std::string text = fileText();
  EXPECT_NE(text.find("[Info] primeira 1\r\n"), std::string::npos);
  EXPECT_NE(text.find("[Atencao] segunda linha\r\n"), std::string::npos);
  EXPECT_EQ(logFileHandle, platform::kInvalidFile);  // closed after every line

  std::filesystem::remove(std::filesystem::path(logFilePath()));
  EXPECT_TRUE(writeLog(Info, u"terceira"));
  text = fileText();
  EXPECT_EQ(text.find("primeira"), std::string::npos);
  EXPECT_NE(text.find("terceira"), std::string::npos);
}

TEST_F(LogFileTest, ConsoleLinesAreWrittenOnlyInConsoleMode) {
  EXPECT_FALSE(writeLog(Console, u"so no console"));
  EXPECT_EQ(fileText(), "");
  serviceMode = false;
  ::testing::internal::CaptureStdout();
  const bool written = writeLog(Console, u"membros: [%s] [%s]", u"Ana", u"ana");
  const std::string echoed = withoutCarriageReturns(::testing::internal::GetCapturedStdout());
  EXPECT_TRUE(written);
  EXPECT_NE(fileText().find("[Console] membros: [Ana] [ana]\r\n"), std::string::npos);
  EXPECT_NE(echoed.find("[Console] membros: [Ana] [ana]\n"), std::string::npos);
}

TEST_F(LogFileTest, AHeldFileLosesTheLineButTheConsoleStillShowsIt) {
  const platform::FileHandle holder = platform::openExclusiveAppend(logFilePath());
  ASSERT_NE(holder, platform::kInvalidFile);
  // The file is opened without sharing: a second open fails while it is held.
  EXPECT_EQ(platform::openExclusiveAppend(logFilePath()), platform::kInvalidFile);
  serviceMode = false;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(writeLog(Info, u"perdida"));
  const std::string echoed = withoutCarriageReturns(::testing::internal::GetCapturedStdout());
  platform::closeFile(holder);
  EXPECT_NE(echoed.find("[Info] perdida\n"), std::string::npos);
  EXPECT_EQ(fileText().find("perdida"), std::string::npos);
  EXPECT_TRUE(writeLog(Info, u"depois"));
  EXPECT_NE(fileText().find("depois"), std::string::npos);
}

TEST_F(LogFileTest, AMissingFolderMakesEveryLineFail) {
  programFilesDir = (base_ / "nao-existe").u16string();
  EXPECT_FALSE(openLogFile());
  EXPECT_FALSE(writeLog(Info, u"x"));
  EXPECT_FALSE(std::filesystem::exists(base_ / "nao-existe"));
}

TEST_F(LogFileTest, OpenLogFileRefusesASecondHandle) {
  ASSERT_TRUE(openLogFile());
  EXPECT_FALSE(openLogFile());
  platform::closeFile(logFileHandle);
  logFileHandle = platform::kInvalidFile;
}

}  // namespace
