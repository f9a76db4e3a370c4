// The group search with the real ADSI backend (run under Wine in the
// cross-build): with no domain controller answering, the search ends at its
// first bind, and COM is set up and torn down once per search; under a
// DirectoryThreadScope each search finds COM up and leaves it up, and the
// scope's end takes it down. And the walk
// of the memberOf cross-check's rows, fed the ends of rows a provider may
// give, as the group search's cross-check.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "runtime/process_state.h"
#include "runtime/stop_flag.h"
#include "config/config.h"
#include "directory/group_search.h"
#include "platform/win32/directory_adsi_rows.h"
#include "support/service_files.h"

namespace {

namespace fs = std::filesystem;

std::string readLog(const fs::path& root) {
  std::ifstream in(kvtest::productFolderUnder(root) / "data" / "kelvasync.log", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int initializeCalls = 0, uninitializeCalls = 0;
int32_t lastInitialize = 0;
platform::DirectoryApi counting;

TEST(AdsiGroupSearch, NothingAnsweringEndsAtTheFirstBindWithComBalanced) {
  const fs::path root = fs::temp_directory_path() /
                        ("kv-adsi-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(kvtest::productFolderUnder(root) / "data");
  programFilesDir = root.u16string();
  serviceMode = true;
  storeStopRequested(false);

  // The platform's own table, counting its COM calls.
  counting = platform::platformDirectoryApi();
  counting.initialize = [] {
    ++initializeCalls;
    return lastInitialize = platform::platformDirectoryApi().initialize();
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
    EXPECT_EQ(lastInitialize, platform::kDirectoryOk);  // a first initialisation each time
  }
  {
    // As the worker thread holds it: each search's own pair is a nested one.
    const DirectoryThreadScope held;
    for (int search = 3; search <= 4; ++search) {
      MemberList list;
      EXPECT_FALSE(searchGroupMembers(list));
      EXPECT_EQ(lastInitialize, 1) << "S_FALSE: COM already up";
      EXPECT_EQ(uninitializeCalls, search);  // the scope's own comes at its end
    }
  }
  EXPECT_EQ(initializeCalls, 5);
  EXPECT_EQ(uninitializeCalls, 5);
  setDirectoryApiForTesting(nullptr);

  // COM is fully down again on this thread: a new initialisation is a first
  // one (S_OK), not a nested one (S_FALSE).
  const platform::DirectoryApi& api = platform::platformDirectoryApi();
  EXPECT_EQ(api.initialize(), platform::kDirectoryOk);
  api.uninitialize();

  const std::string log = readLog(root);
  const std::string message = "[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC)";
  const size_t first = log.find(message);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(message, first + 1), std::string::npos) << log;  // once per search
  EXPECT_EQ(log.find("Nao foi possivel obter"), std::string::npos) << log;  // nothing past the first bind
  EXPECT_EQ(log.find("LDAP://127.0.0.1:1/"), std::string::npos) << log;     // the group path was never built
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

// The rows of one memberOf search as a provider gives them: each step is a
// row (its DN) or, with `row` null, an end of the rows with the error that
// ADsGetLastError then reports (0: none recorded), or with ADsGetLastError
// itself failing with `errorRead`. Past the script every call is one more
// end that waits for a page when `endlessWait`, else a plain end.
struct RowStep {
  const char16_t* row;
  uint32_t endError;
  int32_t errorRead = 0;
};
std::vector<RowStep> script;
bool endlessWait = false;
size_t nextStep = 0, nextRowCalls = 0;
const char16_t* currentRow = nullptr;
uint32_t lastError = 0;  // ADSI's last error of this thread
int32_t errorRead = 0;   // what ADsGetLastError answers after this row

int32_t scriptedNextRow(void*) {
  if (++nextRowCalls > 1000) return platform::kDirectoryFail;  // a walk that would not end
  errorRead = 0;
  if (nextStep < script.size()) {
    const RowStep& step = script[nextStep++];
    currentRow = step.row;
    if (step.row != nullptr) return 0;
    if (step.endError != 0) lastError = step.endError;
    errorRead = step.errorRead;
    return platform::kAdsNoMoreRows;
  }
  if (endlessWait) lastError = platform::kAdsMoreData;
  return platform::kAdsNoMoreRows;
}

const platform::SearchRows scriptedRows = {
    nullptr, scriptedNextRow, [](void*) { return std::u16string(currentRow); }, [] { lastError = 0; },
    [](uint32_t* error) {
      *error = errorRead < 0 ? 0 : lastError;
      return errorRead;
    }};

// A directory whose group has no value of member, so that every entry of
// the memberOf search is one the walk did not list.
int32_t giveObject(platform::DirectoryRef, platform::DirectoryRef* out) {
  *out = reinterpret_cast<platform::DirectoryRef>(&script);
  return platform::kDirectoryOk;
}
const platform::DirectoryApi crossCheckOnly = {
    [] { return platform::kDirectoryOk; }, [] {},
    [](const std::u16string&, const std::u16string&, const std::u16string&, platform::DirectoryRef* out) {
      return giveObject(nullptr, out);
    },
    [](platform::DirectoryRef) { return platform::kDirectoryOk; }, giveObject, giveObject, giveObject, giveObject,
    [](platform::DirectoryRef, platform::DirectoryRef* element, uint32_t* fetched) {
      *element = nullptr;
      *fetched = 0;
      return platform::kDirectoryNoMore;
    },
    nullptr, nullptr,  // no element, so neither is called
    [](platform::DirectoryRef) {}, [](int32_t code) { return platform::platformDirectoryApi().errorText(code); },
    nullptr,
    [](const platform::MemberCrossCheck&, std::vector<std::u16string>* found) {
      return platform::collectMemberOfRows(scriptedRows, found);
    },
    nullptr,  // elements name themselves on Windows
    platform::platformDirectoryApi().dnKey, nullptr,
};

// Only an end of the rows with no error recorded, after any number of rows,
// is a complete answer: an end with any other error, an end whose error
// cannot be read, or ADSI waiting for a page that never comes, fails the
// cross-check and with it the group read (so nobody is blocked or removed);
// an error recorded before the search is not the search's. A system with no
// error record at all (Wine) leaves the end as GetNextRow gives it.
TEST(AdsiGroupSearch, TheMemberOfCrossCheckCountsOnlyACompleteAnswer) {
  const fs::path root = fs::temp_directory_path() /
                        ("kv-adsi-rows-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(kvtest::productFolderUnder(root) / "data");
  programFilesDir = root.u16string();
  serviceMode = true;
  storeStopRequested(false);
  directorySettings.ldapPath = u"LDAP://dc01";
  directorySettings.groupName = "CN=Grp,OU=Groups,DC=empresa,DC=local";
  setDirectoryApiForTesting(&crossCheckOnly);
  constexpr uint32_t kServerDown = 8250;  // ERROR_DS_SERVER_DOWN
  const auto search = [](std::vector<RowStep> steps, bool wait, uint32_t staleError, uint32_t* unreadable) {
    script = std::move(steps);
    endlessWait = wait;
    nextStep = nextRowCalls = 0;
    lastError = staleError;
    MemberList list;
    return searchGroupMembers(list, *unreadable);
  };
  // An error left from before the search (a time limit) is not its end.
  uint32_t unreadable = 0;
  const RowStep bia{u"CN=Bia,OU=Users,DC=empresa,DC=local", 0}, ana{u"CN=Ana,OU=Users,DC=empresa,DC=local", 0};
  EXPECT_TRUE(search({bia, ana, {nullptr, 0}}, false, 8226 /* ERROR_DS_TIMELIMIT_EXCEEDED */, &unreadable));
  EXPECT_EQ(unreadable, 2u);
  std::string log = readLog(root);
  EXPECT_NE(log.find("ausente da lista de membros lida: [CN=Ana,OU=Users"), std::string::npos) << log;

  // Pages that keep ADSI waiting up to the bound, with a row between them;
  // the error of the last wait is not the plain end's after it.
  std::vector<RowStep> waited = {bia};
  waited.insert(waited.end(), platform::kMaxMoreDataRetries, RowStep{nullptr, platform::kAdsMoreData});
  waited.push_back(ana);
  waited.insert(waited.end(), platform::kMaxMoreDataRetries, RowStep{nullptr, platform::kAdsMoreData});
  EXPECT_TRUE(search(waited, false, 0, &unreadable));
  EXPECT_EQ(unreadable, 2u);

  // A lost connection at the end of the rows, after a row.
  fs::remove(kvtest::productFolderUnder(root) / "data" / "kelvasync.log");
  EXPECT_FALSE(search({ana, {nullptr, kServerDown}}, false, 0, &unreadable));
  log = readLog(root);
  EXPECT_NE(log.find("Nao foi possivel conferir a lista de membros do Grupo (memberOf) (0x8007203A"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("ausente da lista"), std::string::npos) << log;
  EXPECT_EQ(log.find("Quantidade de usuarios"), std::string::npos) << log;

  // ADsGetLastError failing (for want of memory) at the end: whether the
  // search was cut short is unknown, so it counts as cut short. With no
  // error record on the system at all, the same end is complete.
  fs::remove(kvtest::productFolderUnder(root) / "data" / "kelvasync.log");
  EXPECT_FALSE(search({ana, {nullptr, 0, static_cast<int32_t>(0x8007000E)}}, false, 0, &unreadable));
  log = readLog(root);
  EXPECT_NE(log.find("(memberOf) (0x8007000E"), std::string::npos) << log;
  EXPECT_EQ(log.find("ausente da lista"), std::string::npos) << log;
  EXPECT_TRUE(search({bia, ana, {nullptr, 0, platform::kAdsNoErrorRecord}}, false, 0, &unreadable));
  EXPECT_EQ(unreadable, 2u);

  // A page that never comes ends once the bound is passed, as a time-out.
  fs::remove(kvtest::productFolderUnder(root) / "data" / "kelvasync.log");
  EXPECT_FALSE(search({ana}, true, 0, &unreadable));
  EXPECT_EQ(nextRowCalls, platform::kMaxMoreDataRetries + 2);
  log = readLog(root);
  EXPECT_NE(log.find("(memberOf) (0x800705B4"), std::string::npos) << log;

  setDirectoryApiForTesting(nullptr);
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

}  // namespace
