// The reading rules themselves are checked against the Windows reader by the
// differential test (tests/ini_differential); these tests cover how the Linux
// reader finds and reads its file.
#include "common/ini_text.h"
#include "platform/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/settings.h"

namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("kv-ini-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, ignored);
    fs::remove_all(root_, ignored);
  }
  void write(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }
  fs::path root_;
};

TEST_F(IniFileTest, MissingOrUnreadableFileReadsEmpty) {
  EXPECT_EQ(platform::readPrivateProfileString((root_ / "none.ini").string(), "hsm", "host"), "");
  EXPECT_EQ(platform::readPrivateProfileString(root_.string(), "hsm", "host"), "");  // a folder
  EXPECT_EQ(platform::readPrivateProfileString("", "hsm", "host"), "");
  // A FIFO with no writer would block a reader that opened and read it.
  const fs::path fifo = root_ / "fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(platform::readPrivateProfileString(fifo.string(), "hsm", "host"), "");
  const fs::path locked = root_ / "locked.ini";
  write(locked, "[hsm]\nhost=h\n");
  ASSERT_EQ(platform::readPrivateProfileString(locked.string(), "hsm", "host"), "h");
  if (::geteuid() != 0) {  // root reads whatever the mode says
    fs::permissions(locked, fs::perms::none);
    EXPECT_EQ(platform::readPrivateProfileString(locked.string(), "hsm", "host"), "");
  }
}

TEST_F(IniFileTest, PathIsReadAsWindows1252AndOpenedByItsUtf8Name) {
  // The folder "Configuração" as the file system names it (UTF-8), and as
  // the service's narrowed path carries it (one byte per character).
  const fs::path folder = root_ / fs::u8path("Configura\xc3\xa7\xc3\xa3o");
  fs::create_directories(folder);
  write(folder / "kelvasync.ini", "[hsm]\nhost=found\n");
  const std::string narrowed = root_.string() + "/Configura\xe7\xe3o/kelvasync.ini";
  EXPECT_EQ(platform::readPrivateProfileString(narrowed, "hsm", "host"), "found");
}

TEST_F(IniFileTest, LargeFileIsReadWhole) {
  std::string text = "[other]\n";
  for (int i = 0; i < 20000; ++i) text += "key" + std::to_string(i) + "=" + std::string(40, 'v') + "\n";
  text += "[hsm]\r\nhost=at-the-end\r\n";
  const fs::path file = root_ / "large.ini";
  write(file, text);
  EXPECT_EQ(platform::readPrivateProfileString(file.string(), "HSM", "Host"), "at-the-end");
  EXPECT_EQ(platform::readPrivateProfileString(file.string(), "other", "key19999"), std::string(40, 'v'));
}

TEST(IniLookupTest, AZeroByteInsideAValueIsNotAnEnd) {
  const std::string file("[hsm]\nmaxremovals=\0\nhost=ab\0cd\n", 31);
  EXPECT_EQ(ini::lookupProfileValue(file, "hsm", "maxremovals"), "?");
  EXPECT_EQ(ini::lookupProfileValue(file, "hsm", "host"), "ab?cd");
}

TEST(IniLookupTest, ValuesAreCutToTheBufferAndNeverLonger) {
  for (size_t length : {254u, 255u, 256u, 4096u}) {
    const std::string plain = "[s]\nk=" + std::string(length, 'x') + "\n";
    EXPECT_EQ(ini::lookupProfileValue(plain, "s", "k").size(), std::min<size_t>(length, 255));
  }
}

}  // namespace
