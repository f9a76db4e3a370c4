// The group search with the real ADSI backend (run under Wine in the
// cross-build): with no domain controller answering, the search ends at its
// first bind, and COM is set up and torn down once per search.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/process_state.h"
#include "common/stop_flag.h"
#include "config/config.h"
#include "directory/group_search.h"

namespace {

namespace fs = std::filesystem;

int initializeCalls = 0, uninitializeCalls = 0;
platform::DirectoryApi counting;

TEST(AdsiGroupSearch, NothingAnsweringEndsAtTheFirstBindWithComBalanced) {
  const fs::path root = fs::temp_directory_path() /
                        ("kv-adsi-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(root / "Karvell Networks" / "HSM Karvell" / "data");
  programFilesDir = root.u16string();
  serviceMode = true;
  storeStopRequested(false);

  // The platform's own table, counting its COM calls.
  counting = platform::platformDirectoryApi();
  counting.initialize = [] {
    ++initializeCalls;
    return platform::platformDirectoryApi().initialize();
  };
  counting.uninitialize = [] {
    ++uninitializeCalls;
    platform::platformDirectoryApi().uninitialize();
  };
  setDirectoryApiForTesting(&counting);

  directorySettings.ldapPath = u"LDAP://127.0.0.1:1";  // nothing listens there
  directorySettings.adUser = u"EMPRESA\\svc";
  directorySettings.adPassword = u"segredo";
  directorySettings.groupName = "CN=Grp,OU=Groups,DC=empresa,DC=local";

  for (int search = 1; search <= 2; ++search) {
    MemberList list;
    EXPECT_FALSE(searchGroupMembers(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(initializeCalls, search);
    EXPECT_EQ(uninitializeCalls, search);
  }
  setDirectoryApiForTesting(nullptr);

  // COM is fully down again on this thread: a new initialisation is a first
  // one (S_OK), not a nested one (S_FALSE).
  const platform::DirectoryApi& api = platform::platformDirectoryApi();
  EXPECT_EQ(api.initialize(), platform::kDirectoryOk);
  api.uninitialize();

  std::ifstream in(root / "Karvell Networks" / "HSM Karvell" / "data" / "kelvasync.log", std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string message = "[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC)";
  const size_t first = log.find(message);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(message, first + 1), std::string::npos) << log;  // once per search
  EXPECT_EQ(log.find("Nao foi possivel obter"), std::string::npos) << log;  // nothing past the first bind
  EXPECT_EQ(log.find("LDAP://127.0.0.1:1/"), std::string::npos) << log;     // the group path was never built
  in.close();
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

TEST(AdsiGroupSearch, ErrorTextsKeepToLatin1WithTheCodeFirst) {
  const platform::DirectoryApi& api = platform::platformDirectoryApi();
  for (uint32_t code : {0x8007052Eu, 0x80070005u, 0x8007203Au, 0x80004005u, 0x80005000u, 0x2345u}) {
    const std::u16string text = api.errorText(static_cast<int32_t>(code));
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    EXPECT_EQ(text.substr(0, 10), std::u16string(hex, hex + 10)) << hex;
    for (char16_t c : text) EXPECT_LE(static_cast<unsigned>(c), 0xFFu) << hex;
  }
}

}  // namespace
