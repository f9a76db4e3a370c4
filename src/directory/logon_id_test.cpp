#include "directory/logon_id.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "runtime/process_state.h"
#include "support/service_files.h"

namespace {

namespace fs = std::filesystem;

class LogonIdTest : public ::testing::Test {
 protected:
  std::string logText() const { return folder_.logText(); }
  kvtest::ProductFolder folder_{"kv-logon"};
};

// Identifiers of chosen logons, from MD5 digests computed apart from this
// code base (the same on Linux and on Windows).
TEST_F(LogonIdTest, ChosenLogonsGiveTheirIdentifiers) {
  EXPECT_EQ(convertLogonToHsmUserId(""), "A41d8cd98f00b20");  // MD5 of zero bytes
  EXPECT_EQ(convertLogonToHsmUserId("jsilva"), "Afe74af33f3c747");
  EXPECT_EQ(convertLogonToHsmUserId("maria.souza"), "A82d4489c53bd9c");
  EXPECT_EQ(convertLogonToHsmUserId("administrator"), "A00ceb26807d6bf");  // digest starts with a digit
  EXPECT_EQ(convertLogonToHsmUserId("jo\xe3o"), "Aaabc2a414d95bc");      // hashed byte for byte
  EXPECT_EQ(convertLogonToHsmUserId(std::string(300, 'a')), "Ae5475d125a33c6");
  EXPECT_EQ(logText(), "");  // success writes nothing
}

TEST_F(LogonIdTest, IdentifierHasTheManagedFormAndDependsOnCase) {
  const std::regex form("A[0-9a-f]{14}");
  for (const char* logon : {"x", "ADMIN", "admin", "user.name@example.com", "\xff\x01"}) {
    const std::string id = convertLogonToHsmUserId(logon);
    EXPECT_TRUE(std::regex_match(id, form)) << logon << " -> " << id;
    EXPECT_EQ(convertLogonToHsmUserId(logon), id);  // same logon, same identifier
  }
  // The case is not changed here: lower-casing is the caller's step.
  EXPECT_NE(convertLogonToHsmUserId("ADMIN"), convertLogonToHsmUserId("admin"));
}

TEST_F(LogonIdTest, FailedDigestGivesEmptyIdentifierAndCode102) {
  const auto failing = [](std::string_view, platform::Md5Digest&) { return false; };
  EXPECT_EQ(convertLogonToHsmUserIdWith("jsilva", failing), "");
  const std::string log = logText();
  EXPECT_NE(log.find("[Erro] Erro na conversao do logon. Procure o atendimento de Suporte. Codigo 102.\r\n"),
            std::string::npos)
      << log;
}

}  // namespace
