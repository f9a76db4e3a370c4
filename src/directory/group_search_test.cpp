// The group search against a directory of the test's own making, which can
// fail any single step, request a stop right after any step, and counts the
// references it hands out so that leaks show.
#include "directory/group_search.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/process_state.h"
#include "common/host_port.h"
#include "logging/reachability.h"
#include "runtime/stop_flag.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/domain_controllers.h"
#include "directory/logon_id.h"
#include "hsm/hsm_reachability.h"
#include "platform/console.h"
#include "support/service_files.h"

void PrintTo(const GroupMember& m, std::ostream* os) {
  *os << "{" << testing::PrintToString(m.logon) << ", " << testing::PrintToString(m.commonName) << ", "
      << testing::PrintToString(m.hsmUserId) << "}";
}

namespace {

namespace fs = std::filesystem;
using platform::DirectoryRef;

enum Step { None, OpenDomain, GetPath, OpenGroup, QueryGroup, Members, NewEnum, QueryEnumVariant };

struct FakeMember {
  enum Kind { User, NotUser, NoObject, Denied } kind = User;
  std::u16string cn, logon;
  bool hasLogon = true;
};

struct FakeObject {
  int member = -1;  // index of the element, for elements and users
};

// The state of the fake directory for one test.
struct Fake {
  int32_t initResult = 0;
  Step failAt = None;
  // The code of the failing step: no network fault unless a test says so,
  // so that no probe runs (the fake's host is no address of this machine).
  int32_t failCode = static_cast<int32_t>(0x80070015);  // ERROR_NOT_READY
  Step stopAfter = None;
  int stopWhileReading = -1;   // stop requested while this element is read
  int nextFailsAt = -1;        // Next fails when asked for this element
  std::vector<FakeMember> members;
  // What the memberOf search finds, and its result; what the fake records of
  // the failure that returned `failCode`.
  std::vector<std::u16string> memberOf;
  int32_t memberOfCode = 0;
  platform::DirectoryFailure failure;

  int initCalls = 0, uninitCalls = 0, live = 0, nextCalls = 0;
  std::vector<Step> reached;
  std::vector<std::u16string> paths;
  size_t index = 0;
};
Fake* fake = nullptr;

DirectoryRef make(int member = -1) {
  ++fake->live;
  return reinterpret_cast<DirectoryRef>(new FakeObject{member});
}

int32_t step(Step s, DirectoryRef* out) {
  fake->reached.push_back(s);
  if (fake->failAt == s) return fake->failCode;
  if (out != nullptr) *out = make();
  if (fake->stopAfter == s) storeStopRequested(true);
  return 0;
}

const platform::DirectoryApi fakeApi = {
    [] {
      ++fake->initCalls;
      return fake->initResult;
    },
    [] { ++fake->uninitCalls; },
    [](const std::u16string& path, const std::u16string&, const std::u16string&, DirectoryRef* object) {
      *object = nullptr;
      fake->paths.push_back(path);
      return step(fake->paths.size() == 1 ? OpenDomain : OpenGroup, object);
    },
    [](DirectoryRef) { return step(GetPath, nullptr); },
    [](DirectoryRef, DirectoryRef* out) { return step(QueryGroup, out); },
    [](DirectoryRef, DirectoryRef* out) { return step(Members, out); },
    [](DirectoryRef, DirectoryRef* out) { return step(NewEnum, out); },
    [](DirectoryRef, DirectoryRef* out) { return step(QueryEnumVariant, out); },
    [](DirectoryRef, DirectoryRef* element, uint32_t* fetched) -> int32_t {
      *element = nullptr;
      *fetched = 0;
      ++fake->nextCalls;
      if (static_cast<int>(fake->index) == fake->nextFailsAt) return fake->failCode;
      if (fake->index >= fake->members.size()) return platform::kDirectoryNoMore;
      const int i = static_cast<int>(fake->index++);
      *fetched = 1;
      if (fake->members[i].kind != FakeMember::NoObject) *element = make(i);
      return 0;
    },
    [](DirectoryRef element, DirectoryRef* user) -> int32_t {
      *user = nullptr;
      const int i = reinterpret_cast<FakeObject*>(element)->member;
      if (fake->members[i].kind == FakeMember::Denied) return static_cast<int32_t>(0x80070005);  // E_ACCESSDENIED
      if (fake->members[i].kind != FakeMember::User) return platform::kDirectoryNoInterface;
      *user = make(i);
      return 0;
    },
    [](DirectoryRef user, const std::u16string& name, std::u16string* value) -> int32_t {
      const int i = reinterpret_cast<FakeObject*>(user)->member;
      if (i == fake->stopWhileReading) storeStopRequested(true);
      const FakeMember& m = fake->members[i];
      if (name == u"cn") *value = m.cn;
      else if (name == u"samAccountName" && m.hasLogon) *value = m.logon;
      else return platform::kDirectoryFail;
      return 0;
    },
    [](DirectoryRef object) {
      if (object == nullptr) return;
      --fake->live;
      delete reinterpret_cast<FakeObject*>(object);
    },
    [](int32_t code) {
      return fake != nullptr && code == fake->failCode ? std::u16string(u"servidor fora do ar") : std::u16string();
    },
    nullptr,  // no cross-check: the fake's members are all it has
    nullptr,
    [](DirectoryRef, size_t index, std::u16string* name) -> int32_t {
      *name = u"CN=M" + asciiToUtf16(std::to_string(index));
      return 0;
    },
    nullptr,
    nullptr,
};

class GroupSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serviceMode = false;  // Console lines are written too
    storeStopRequested(false);
    groupPathLogged = true;  // tests of the path line clear it themselves
    directorySettings.ldapPath = u"LDAP://dc01";
    directorySettings.adUser = u"EMPRESA\\svc";
    directorySettings.adPassword = u"segredo";
    directorySettings.groupName = "CN=Grp,OU=Groups";
    fake = &fake_;
    setDirectoryApiForTesting(&fakeApi);
    testing::internal::CaptureStdout();  // console mode echoes every line
  }
  void TearDown() override {
    testing::internal::GetCapturedStdout();
    setDirectoryApiForTesting(nullptr);
    fake = nullptr;
    storeStopRequested(false);
    serviceMode = true;
  }
  // The log's lines without their time stamp and thread prefix.
  std::vector<std::string> logLines() const { return folder_.labelledLines(); }
  void clearLog() { folder_.clearLog(); }

  kvtest::ProductFolder folder_{"kv-group"};
  Fake fake_;
};

struct StepMessage {
  Step step;
  const char* message;
};
const StepMessage kStepMessages[] = {
    {OpenDomain, "Nao foi possivel conectar no Controlador de Dominio (DC)"},
    {GetPath, "Nao foi possivel obter o caminho completo do Dominio"},
    {OpenGroup, "Nao foi possivel conectar com o caminho completo no Controlador de Dominio (DC)"},
    {QueryGroup, "Nao foi possivel obter interface para comunicacao com o Grupo de pesquisa"},
    {Members, "Nao foi possivel obter interface para os membros do Grupo pesquisado"},
    {NewEnum, "Nao foi possivel iniciar a pesquisa de usuarios dentro do Grupo"},
    {QueryEnumVariant, "Nao foi possivel obter interface para os usuarios dentro do Grupo"},
};

TEST_F(GroupSearchTest, EachFailingStepLogsItsMessageWithTheDirectorysWordsAndStops) {
  for (const StepMessage& expected : kStepMessages) {
    SCOPED_TRACE(expected.message);
    fake_ = Fake{};
    fake_.failAt = expected.step;
    fake_.members = {{FakeMember::User, u"Ana", u"ana"}};
    clearLog();
    MemberList list;
    EXPECT_FALSE(searchGroupMembers(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(fake_.reached.back(), expected.step);  // nothing after the failing step
    EXPECT_EQ(fake_.nextCalls, 0);
    EXPECT_EQ(logLines(), std::vector<std::string>{"[Atencao] " + std::string(expected.message) +
                                                   " (servidor fora do ar)"});
    EXPECT_EQ(fake_.live, 0) << "a reference was not given back";
    EXPECT_EQ(fake_.initCalls, 1);
    EXPECT_EQ(fake_.uninitCalls, 1);
    EXPECT_FALSE(isStopRequested());
  }
}

// A first connection that fails for a network reason gets the cause a
// probe of the host finds; a group the directory does not have is named.
TEST_F(GroupSearchTest, ANetworkFailureNamesItsCauseAndAMissingGroupItsDn) {
  directorySettings.ldapPath = u"LDAP://127.0.0.1:1";  // nothing listens on port 1
  fake_.failAt = OpenDomain;
  fake_.failCode = platform::kDirectoryServerDown;
  MemberList list;
  EXPECT_FALSE(searchGroupMembers(list));
  EXPECT_EQ(logLines(), std::vector<std::string>{"[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC) "
                                                 "(servidor fora do ar). Causa: nada aceita conexoes em 127.0.0.1:1 "
                                                 "(conexao recusada: o Controlador de Dominio (DC) estah ligado e "
                                                 "nessa porta?)"});
  fake_ = Fake{};
  fake_.failAt = OpenGroup;
  fake_.failCode = platform::kDirectoryNoSuchObject;
  clearLog();
  EXPECT_FALSE(searchGroupMembers(list));
  EXPECT_EQ(logLines(), std::vector<std::string>{"[Atencao] Nao foi possivel conectar com o caminho completo no "
                                                 "Controlador de Dominio (DC) (servidor fora do ar). Causa: o Grupo "
                                                 "[CN=Grp,OU=Groups] nao existe no diretorio (confira "
                                                 "[activedirectory] group)"});
  EXPECT_EQ(fake_.live, 0);
}

TEST_F(GroupSearchTest, StopRequestedDuringAStepFailsThatStepWithItsPlainMessage) {
  for (const StepMessage& expected : kStepMessages) {
    SCOPED_TRACE(expected.message);
    fake_ = Fake{};
    fake_.stopAfter = expected.step;
    fake_.members = {{FakeMember::User, u"Ana", u"ana"}};
    storeStopRequested(false);
    clearLog();
    MemberList list;
    EXPECT_FALSE(searchGroupMembers(list));
    EXPECT_EQ(fake_.reached.back(), expected.step);  // the next directory call is not made
    EXPECT_EQ(fake_.nextCalls, 0);
    EXPECT_EQ(logLines(), std::vector<std::string>{"[Atencao] " + std::string(expected.message)});
    EXPECT_EQ(fake_.live, 0);
    EXPECT_EQ(fake_.uninitCalls, 1);
  }
}

TEST_F(GroupSearchTest, StopBeforeTheSearchOrAnUnconfiguredDirectoryTouchesNothing) {
  storeStopRequested(true);
  MemberList list;
  EXPECT_FALSE(searchGroupMembers(list));
  storeStopRequested(false);
  directorySettings = DirectorySettings{};
  directorySettings.unconfigured = true;
  EXPECT_FALSE(searchGroupMembers(list));
  directorySettings.unconfigured = false;
  EXPECT_EQ(fake_.initCalls, 0);
  EXPECT_TRUE(fake_.paths.empty());
  EXPECT_TRUE(logLines().empty());
}

TEST_F(GroupSearchTest, ComThatCannotStartStopsTheServiceOtherResultsGoOn) {
  for (int32_t code : {platform::kComInvalidArgument, platform::kComOutOfMemory, platform::kComUnexpected}) {
    fake_ = Fake{};
    fake_.initResult = code;
    storeStopRequested(false);
    clearLog();
    MemberList list;
    EXPECT_FALSE(searchGroupMembers(list));
    EXPECT_TRUE(isStopRequested());
    EXPECT_TRUE(fake_.paths.empty());
    EXPECT_EQ(fake_.uninitCalls, 0);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"[Erro] Nao foi possivel inicializar biblioteca OLE",
                                                    "[Atencao] O servico serah parado automaticamente",
                                                    "[Info] Notificacao de 'shutdown' recebida"}));
  }
  // S_FALSE (COM already up on this thread) is a success to be balanced; a
  // mode clash (RPC_E_CHANGED_MODE) goes on but must not be undone.
  for (int32_t code : {1, static_cast<int32_t>(0x80010106)}) {
    fake_ = Fake{};
    fake_.initResult = code;
    storeStopRequested(false);
    MemberList list;
    EXPECT_TRUE(searchGroupMembers(list));
    EXPECT_FALSE(isStopRequested());
    EXPECT_EQ(fake_.uninitCalls, code == 1 ? 1 : 0);
  }
}

TEST_F(GroupSearchTest, MembersBecomeRecordsInOrderWithConsoleLinesAndCount) {
  fake_.members = {
      {FakeMember::User, u"Joao Silva", u"JSilva"},
      {FakeMember::NotUser, u"", u""},                     // a nested group: an empty record
      {FakeMember::NoObject, u"", u""},                    // unreadable: skipped with a warning
      {FakeMember::User, u"\u00c9rica \u0141ucja", u"\u00c9rica"},  // narrowed: 0xC9, 0x41
      {FakeMember::User, u"Sem Logon", u"", false},        // samAccountName unreadable
      {FakeMember::Denied, u"", u""},                      // the user interface refused
      {FakeMember::User, u"Joao Silva", u"JSilva"},        // duplicates stay
  };
  MemberList list;
  uint32_t unreadable = 99;
  ASSERT_TRUE(searchGroupMembers(list, unreadable));
  EXPECT_EQ(unreadable, 3u);
  const std::string jsilvaId = "Afe74af33f3c747";  // MD5-based identifier of "jsilva"
  const MemberList expected = {
      {"jsilva", "Joao Silva", jsilvaId},
      {"", "", ""},
      {std::string("\xc9rica"), std::string("\xc9rica \x41ucja"), list[2].hsmUserId},
      {"jsilva", "Joao Silva", jsilvaId},
  };
  EXPECT_EQ(list, expected);
  EXPECT_EQ(list[2].hsmUserId.size(), 15u);
  EXPECT_EQ(logLines(), (std::vector<std::string>{
                            "[Console] membros: [Joao Silva] [jsilva]",
                            "[Console] membros: [] []",
                            "[Atencao] Nao foi possivel obter dados do usuario dentro do Grupo",
                            "[Console] membros: [\xc9rica \x41ucja] [\xc9rica]",
                            "[Atencao] Nao foi possivel obter o samAccountName do usuario [Sem Logon] dentro do Grupo",
                            "[Atencao] Nao foi possivel obter dados do usuario dentro do Grupo",
                            "[Console] membros: [Joao Silva] [jsilva]",
                            "[Atencao] 3 membro(s) do Grupo nao puderam ser lidos: [CN=M2], [CN=M4], [CN=M5]. "
                            "Enquanto houver membros sem leitura, ninguem que saiu do Grupo serah bloqueado ou "
                            "removido no HSM/Tessel",
                            "[Info] Quantidade de usuarios encontrados no Grupo: 4",
                        }));
  EXPECT_EQ(fake_.live, 0);
  EXPECT_EQ(fake_.initCalls, 1);
  EXPECT_EQ(fake_.uninitCalls, 1);
}

// The C library's lower case of `byte` under the locale in force, asked at
// run time (a compiler may fold tolower of a constant as in the "C" locale).
int lowerUnderLocale(int byte) {
  volatile int asked = byte;
  return std::tolower(asked);
}

// Sets the locale a console run sets, or, where the platform lacks that name
// (Wine), the ANSI code page's own; puts "C" back at the end of the scope.
class ConsoleLocale {
 public:
  ConsoleLocale() {
    platform::setPortugueseLocale();
    if (lowerUnderLocale(0xC0) != 0xE0) std::setlocale(LC_ALL, ".1252");
  }
  ~ConsoleLocale() { std::setlocale(LC_ALL, "C"); }
  ConsoleLocale(const ConsoleLocale&) = delete;
  ConsoleLocale& operator=(const ConsoleLocale&) = delete;
};

TEST_F(GroupSearchTest, ALogonGetsTheSameIdentifierInConsoleAndServiceMode) {
  // The upper-case letters of the ANSI code page above ASCII (À..Þ, Š, Œ, Ž,
  // Ÿ), each as a character that narrows to its byte.
  std::u16string upper;
  for (char16_t c = 0xC0; c <= 0xDE; ++c)
    if (c != 0xD7) upper.push_back(c);
  for (char16_t c : {0x8A, 0x8C, 0x8E, 0x9F}) upper.push_back(c);
  const std::vector<FakeMember> members = {{FakeMember::User, u"Todas", u"ABC" + upper}};
  // Only A to Z are lowered; every other byte stays as the directory gave it.
  const std::string logon = "abc" + narrowText(upper);

  serviceMode = true;
  fake_.members = members;
  MemberList service;
  ASSERT_TRUE(searchGroupMembers(service));
  fake_ = Fake{};
  fake_.members = members;
  serviceMode = false;
  MemberList console;
  {
    ConsoleLocale locale;
    // Under this locale the C library lowers À, so lowering through it would
    // change the identifier.
    ASSERT_EQ(lowerUnderLocale(0xC0), 0xE0) << "no Latin locale here (scripts/install-deps.sh generates one)";
    ASSERT_TRUE(searchGroupMembers(console));
  }
  EXPECT_EQ(console, service);
  ASSERT_EQ(service.size(), 1u);
  EXPECT_EQ(service[0].logon, logon);
  EXPECT_EQ(service[0].hsmUserId, convertLogonToHsmUserId(logon));
}

TEST_F(GroupSearchTest, EmptyGroupSucceedsWithCountZero) {
  MemberList list;
  EXPECT_TRUE(searchGroupMembers(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(logLines(), std::vector<std::string>{"[Info] Quantidade de usuarios encontrados no Grupo: 0"});
}

TEST_F(GroupSearchTest, ServiceModeWritesNoMemberLines) {
  serviceMode = true;
  fake_.members = {{FakeMember::User, u"Ana", u"ana"}};
  MemberList list;
  EXPECT_TRUE(searchGroupMembers(list));
  EXPECT_EQ(logLines(), std::vector<std::string>{"[Info] Quantidade de usuarios encontrados no Grupo: 1"});
}

TEST_F(GroupSearchTest, GroupPathIsBuiltFromTheSettingsAndLoggedOncePerProcess) {
  groupPathLogged = false;
  fake_.failAt = GetPath;  // fails before the path is built: not logged
  MemberList list;
  EXPECT_FALSE(searchGroupMembers(list));
  EXPECT_FALSE(groupPathLogged);

  fake_ = Fake{};
  fake_.failAt = OpenGroup;
  clearLog();
  EXPECT_FALSE(searchGroupMembers(list));
  ASSERT_EQ(fake_.paths.size(), 2u);
  EXPECT_EQ(fake_.paths[0], u"LDAP://dc01");
  EXPECT_EQ(fake_.paths[1], u"LDAP://dc01/CN=Grp,OU=Groups");
  EXPECT_EQ(logLines().front(), "[Info] LDAP://dc01/CN=Grp,OU=Groups");

  fake_ = Fake{};
  clearLog();
  EXPECT_TRUE(searchGroupMembers(list));
  EXPECT_EQ(logLines(), std::vector<std::string>{"[Info] Quantidade de usuarios encontrados no Grupo: 0"});
}

TEST_F(GroupSearchTest, GroupNameBytesReachTheDirectoryAsTheSameCharacters) {
  // ANSI c cedilla, en dash, S caron: the ANSI code page's characters, not
  // the code points of the byte values.
  directorySettings.groupName = "CN=Seguran\xe7" "a \x96 \x8a,OU=Grupos";
  MemberList list;
  EXPECT_TRUE(searchGroupMembers(list));
  ASSERT_EQ(fake_.paths.size(), 2u);
  EXPECT_EQ(fake_.paths[1], u"LDAP://dc01/CN=Seguran\u00e7a \u2013 \u0160,OU=Grupos");
}

TEST_F(GroupSearchTest, StopDuringEnumerationKeepsTheMembersSoFar) {
  for (int i = 0; i < 10; ++i) {
    std::u16string logon = u"u";
    logon += static_cast<char16_t>(u'0' + i);
    fake_.members.push_back({FakeMember::User, u"U", logon});
  }
  fake_.stopWhileReading = 2;  // the third member
  MemberList list;
  EXPECT_TRUE(searchGroupMembers(list));
  EXPECT_EQ(list.size(), 3u);
  EXPECT_EQ(list.back().logon, "u2");
  EXPECT_EQ(fake_.nextCalls, 3);  // the member in hand is finished, no further call
  EXPECT_EQ(logLines().back(), "[Info] Quantidade de usuarios encontrados no Grupo: 3");
  EXPECT_EQ(fake_.live, 0);
  EXPECT_EQ(fake_.uninitCalls, 1);
}

TEST_F(GroupSearchTest, DirectoryFailingInTheMiddleOfTheListFailsTheSearch) {
  for (int i = 0; i < 5; ++i) fake_.members.push_back({FakeMember::User, u"U", u"u"});
  fake_.nextFailsAt = 2;
  MemberList list;
  EXPECT_FALSE(searchGroupMembers(list));
  const std::vector<std::string> lines = logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "[Atencao] Nao foi possivel obter todos os usuarios do Grupo (servidor fora do ar)");
  EXPECT_EQ(fake_.live, 0);
  EXPECT_EQ(fake_.uninitCalls, 1);
}

// The fake with a memberOf search, and with what a backend records of its
// failures.
platform::DirectoryApi checkingApi() {
  platform::DirectoryApi api = fakeApi;
  api.memberOfEntries = [](const platform::MemberCrossCheck&, std::vector<std::u16string>* found) {
    *found = fake->memberOf;
    return fake->memberOfCode;
  };
  api.lastFailure = [](int32_t code, platform::DirectoryFailure* failure) {
    if (code != fake->failure.code) return false;
    *failure = fake->failure;
    return true;
  };
  return api;
}

// Every entry whose memberOf names the group must be among the values walked
// (compared without regard to case); those that are not count as members not
// read and are named in DN order. A memberOf search that fails fails the read.
TEST_F(GroupSearchTest, EntriesOfTheMemberOfSearchThatTheWalkDidNotListAreMembersNotRead) {
  const platform::DirectoryApi api = checkingApi();
  setDirectoryApiForTesting(&api);
  serviceMode = true;
  fake_.members = {{FakeMember::User, u"Ana", u"ana"}, {FakeMember::NoObject, u"", u""}, {FakeMember::User, u"Bia", u"bia"}};
  // CN=M0 to CN=M2 are the values walked; M1 carried no object.
  fake_.memberOf = {u"CN=Zeca,OU=U", u"cn=m2", u"CN=M1", u"CN=Caio,OU=U"};
  MemberList list;
  uint32_t unreadable = 0;
  ASSERT_TRUE(searchGroupMembers(list, unreadable));
  EXPECT_EQ(list.size(), 2u);
  EXPECT_EQ(unreadable, 3u);  // M1, and the two entries the walk did not list
  std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], "[Atencao] Membro do Grupo (memberOf) ausente da lista de membros lida: [CN=Caio,OU=U]");
  EXPECT_EQ(lines[3], "[Atencao] Membro do Grupo (memberOf) ausente da lista de membros lida: [CN=Zeca,OU=U]");

  fake_ = Fake{};
  fake_.members = {{FakeMember::User, u"Ana", u"ana"}};
  fake_.memberOfCode = platform::kDirectoryServerDown;
  fake_.failure.code = platform::kDirectoryServerDown;
  fake_.failure.call = platform::DirectoryCall::MemberSearch;
  fake_.failure.fault = platform::DirectoryFault::TimedOut;
  fake_.failure.seconds = 42;
  clearLog();
  EXPECT_FALSE(searchGroupMembers(list, unreadable));
  EXPECT_EQ(logLines(), std::vector<std::string>{"[Atencao] Nao foi possivel conferir a lista de membros do Grupo "
                                                 "(memberOf) (membros: tempo limite de 42 s esgotado; o servidor "
                                                 "parou de responder)"});
  EXPECT_EQ(fake_.live, 0);
}

// Where the backend says what failed and how, the line gives that in the
// log's words; where what it recorded is another failure's, its own text.
TEST_F(GroupSearchTest, AFailureTheBackendDescribesIsPutIntoTheLogsWords) {
  const platform::DirectoryApi api = checkingApi();
  setDirectoryApiForTesting(&api);
  fake_.failAt = OpenDomain;
  fake_.failure.code = fake_.failCode;
  fake_.failure.call = platform::DirectoryCall::StartTls;
  fake_.failure.fault = platform::DirectoryFault::TlsRefused;
  fake_.failure.words = "LDAP -11: Connect error";
  MemberList list;
  EXPECT_FALSE(searchGroupMembers(list));
  EXPECT_EQ(logLines(), std::vector<std::string>{
                            "[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC) (StartTLS: LDAP -11: "
                            "Connect error; certificado do servidor nao verificado? a CA que o emitiu deve estar no "
                            "arquivo de [activedirectory] cacert, em LDAPTLS_CACERT ou em TLS_CACERT de "
                            "/etc/ldap/ldap.conf)"});
  fake_ = Fake{};
  fake_.failAt = OpenGroup;
  fake_.failure.code = platform::kDirectoryNoInterface;  // not this step's code
  fake_.failure.fault = platform::DirectoryFault::NotAGroup;
  clearLog();
  EXPECT_FALSE(searchGroupMembers(list));
  EXPECT_EQ(logLines(), std::vector<std::string>{"[Atencao] Nao foi possivel conectar com o caminho completo no "
                                                 "Controlador de Dominio (DC) (servidor fora do ar)"});

  // A DC that wants a SASL layer inside TLS refuses the Kerberos bind: an
  // Erro among the Kerberos causes, with the setting to change. A simple
  // bind refused so keeps its line.
  const std::string words = "LDAP 8: Strong(er) authentication required; SASL:[GSSAPI]: Sign or Seal are required.";
  for (const bool ownIdentity : {true, false}) {
    fake_ = Fake{};
    fake_.failAt = OpenDomain;
    fake_.failCode = fake_.failure.code = platform::kDirectoryStrongAuthRequired;
    fake_.failure.call = platform::DirectoryCall::BindGssapi;
    fake_.failure.fault = platform::DirectoryFault::StrongAuthRequired;
    fake_.failure.words = words;
    directorySettings.adUser = ownIdentity ? u"" : u"EMPRESA\\svc";
    directorySettings.adPassword = ownIdentity ? u"" : u"segredo";
    clearLog();
    EXPECT_FALSE(searchGroupMembers(list));
    const std::string line = ownIdentity ? "[Erro] Nao foi possivel conectar no Controlador de Dominio (DC) com a "
                                           "identidade do proprio servico (Kerberos): bind GSSAPI: " + words +
                                               "; o DC exige assinatura ou cifragem do SASL (sign/seal) dentro do TLS"
                                         : "[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC) (bind "
                                           "GSSAPI: " + words + "; o DC exige";
    ASSERT_EQ(logLines().size(), 1u);
    EXPECT_EQ(logLines()[0].rfind(line, 0), 0u) << logLines()[0];
    EXPECT_NE(logLines()[0].find("'ldap server require strong auth = allow_sasl_over_tls'"), std::string::npos);
  }
}

// The order of the DCs DNS lists (RFC 2782): lower priority first; within a
// priority, each drawn with a chance in proportion to its weight, those of
// weight 0 placed first in the draw.
TEST(DomainControllers, ServiceRecordsAreOrderedByPriorityThenWeightedDraws) {
  using platform::ServiceRecord;
  const std::vector<ServiceRecord> records = {
      {10, 0, 389, "reserva"}, {0, 30, 389, "c"}, {0, 0, 389, "zero"}, {0, 10, 389, "b"}, {5, 1, 389, "meio"}};
  std::vector<uint32_t> sums;
  std::vector<uint32_t> draws = {31, 1, 0, 1, 0};  // priority 0 (zero, c, b in the draw), then 5, then 10
  size_t next = 0;
  const std::vector<ServiceRecord> ordered = orderServiceRecords(records, [&](uint32_t sum) {
    sums.push_back(sum);
    return draws[next++];
  });
  std::vector<std::string> targets;
  for (const ServiceRecord& r : ordered) targets.push_back(r.target);
  // 31 of 40 passes zero (0) and c (30), and stops at b (40); 1 of 30
  // passes zero and stops at c; zero is left.
  EXPECT_EQ(targets, (std::vector<std::string>{"b", "c", "zero", "meio", "reserva"}));
  EXPECT_EQ(sums, (std::vector<uint32_t>{40, 30, 0, 1, 0}));
  EXPECT_EQ(controllerServiceNames("corp.example", "Filial"),
            (std::vector<std::string>{"_ldap._tcp.Filial._sites.dc._msdcs.corp.example",
                                      "_ldap._tcp.dc._msdcs.corp.example"}));
  EXPECT_EQ(controllerServiceNames("corp.example", ""), std::vector<std::string>{"_ldap._tcp.dc._msdcs.corp.example"});
}

}  // namespace

// The cause named when the first connection fails: the same words for the
// domain controller as for the HSM, each probe result with the address.
// "No route" needs a network of the test's own, so its text is checked here.
TEST(ConnectionCause, EachProbeResultIsNamedWithTheHostAndNeverBlamesTheAccountForSilence) {
  std::string host;
  uint16_t port = 0;
  ASSERT_TRUE(splitDirectoryHost(u"LDAP://dc01.example.com", host, port));
  EXPECT_EQ(host + ":" + std::to_string(port), "dc01.example.com:389");
  ASSERT_TRUE(splitDirectoryHost(u"ldap://10.0.0.7:636/CN=G,DC=x", host, port));
  EXPECT_EQ(host + ":" + std::to_string(port), "10.0.0.7:636");
  ASSERT_TRUE(splitDirectoryHost(u"LDAP://[fd00::7]:3268", host, port));
  EXPECT_EQ(formatHostPort(host, port), "[fd00::7]:3268");
  EXPECT_FALSE(splitDirectoryHost(u"LDAP://dc01:99999", host, port));
  EXPECT_FALSE(splitDirectoryHost(u"LDAP://", host, port));

  const ProbedServer dc{"[activedirectory] host", "o Controlador de Dominio (DC)", "confira usr e pwd"};
  const auto cause = [&](platform::TcpProbeResult result, bool timedOut) {
    return describeProbeResult(result, dc, "dc01", 389, 3000, timedOut);
  };
  using R = platform::TcpProbeResult;
  EXPECT_EQ(cause(R::NotResolved, false),
            "o nome 'dc01' de [activedirectory] host nao foi resolvido (confira o nome e o DNS)");
  EXPECT_EQ(cause(R::Refused, false), "nada aceita conexoes em dc01:389 (conexao recusada: o Controlador de Dominio "
                                      "(DC) estah ligado e nessa porta?)");
  EXPECT_EQ(cause(R::TimedOut, true), "dc01:389 nao respondeu em 3 s (sem resposta: confira a rede e o firewall)");
  EXPECT_EQ(cause(R::Unreachable, false), "nao ha rota de rede ate dc01:389 (rede inalcancavel)");
  EXPECT_EQ(cause(R::Reachable, false), "o Controlador de Dominio (DC) em dc01:389 aceita conexoes; confira usr e pwd");
  EXPECT_EQ(cause(R::Reachable, true), "o Controlador de Dominio (DC) em dc01:389 aceita conexoes, mas nao "
                                       "respondeu a tempo (servidor parado ou sobrecarregado?)");
  // The HSM side is the same code with its own names.
  EXPECT_EQ(describeHsmReachability(HsmReachability::Unreachable, "10.0.0.5"),
            "nao ha rota de rede ate 10.0.0.5:4433 (rede inalcancavel)");
  EXPECT_EQ(describeHsmReachability(HsmReachability::Reachable, "10.0.0.5", 3000, true),
            "o HSM/Tessel em 10.0.0.5:4433 aceita conexoes, mas nao respondeu a tempo (servidor parado ou "
            "sobrecarregado?)");
  // Only network failures are probed.
  EXPECT_TRUE(platform::directoryConnectionFailed(platform::kDirectoryServerDown));
  EXPECT_TRUE(platform::directoryTimedOut(platform::kDirectoryTimedOut));
  EXPECT_FALSE(platform::directoryConnectionFailed(static_cast<int32_t>(0x8007052E)));  // bad credentials
}
