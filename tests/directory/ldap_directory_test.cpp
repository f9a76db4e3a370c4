// The group search with the real LDAP backend against a real slapd that
// carries Active Directory's schema essentials.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "runtime/process_state.h"
#include "runtime/stop_flag.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/group_search.h"
#include "slapd_fixture.h"
#include "support/service_files.h"

void PrintTo(const GroupMember& m, std::ostream* os) {
  *os << "{" << testing::PrintToString(m.logon) << ", " << testing::PrintToString(m.commonName) << ", "
      << testing::PrintToString(m.hsmUserId) << "}";
}

namespace {

namespace fs = std::filesystem;
using kvtest::kSuffix;

constexpr int kBigGroupSize = 3000;
constexpr const char* kNonAsciiAccount = "Servi\xc3\xa7o \xc5\xa0" "ef";  // UTF-8
const std::string kUsers = std::string("ou=Users,") + kSuffix;

struct Directory {
  // A second server over the same directory, and one whose certificate is
  // for another name: three domain controllers.
  std::unique_ptr<kvtest::SlapdServer> server, second, otherName;
  MemberList mixedExpected, bigExpected;
};
Directory* directory = nullptr;

// Builds the test directory and starts slapd once per test process.
class SlapdEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    kvtest::DirectoryData data;
    directory = new Directory;
    const std::string ana = data.addUser("Ana Souza", "ASouza");
    const std::string empty = data.addGroup("Vazio", {});
    const std::string contact = data.addContact("Contato Externo");
    const std::string erica = data.addUser("\xc3\x89rica \xc5\x81ucja", "\xc3\x89rica");  // UTF-8
    const std::string hidden = data.addUser("Oculto", "oculto");  // no account may read it
    const std::string joao = data.addUser("Joao Silva", "JSilva");
    data.addUser("Solitario", "solitario");  // a user, in no group
    data.addGroup("Misto", {ana, empty, contact, erica, hidden, "cn=Fantasma," + kUsers,
                            // the member value spelled in other case than the entry
                            "CN=Joao Silva,OU=USERS,DC=KELVASYNC,DC=TEST"});
    // Identifiers: "A" and the 2nd to 15th hexadecimal digits of the MD5 of
    // the logon, computed apart (printf LOGON | md5sum).
    directory->mixedExpected = {
        {"asouza", "Ana Souza", "Ae7e342da59ad9b"}, {"", "", ""}, {"", "", ""},
        {"\xc9rica", "\xc9rica \x41ucja", "A83d2d4444dd5af"}, {"jsilva", "Joao Silva", "Afe74af33f3c747"}};
    data.addGroup("Seguran\xc3\xa7" "a", {ana});
    // An account whose name and password hold letters of the ANSI code page's
    // 0x80..0x9F row and above it, and a group named likewise (UTF-8 here).
    data.add(std::string("cn=") + kNonAsciiAccount + "," + kUsers, {"user"},
             {{"cn", kNonAsciiAccount}, {"sn", "Servico"}, {"sAMAccountName", "servico"},
              {"userPassword", "Se\xc3\xb1ha\xe2\x80\x93\xe2\x82\xac"}});
    data.addGroup("Opera\xc3\xa7\xc3\xb5" "es \xe2\x80\x93 \xc5\xa0\xc5\x92", {joao});

    std::vector<std::string> big;
    for (int i = 0; i < kBigGroupSize; ++i) {
      char number[8];
      std::snprintf(number, sizeof number, "%04d", i);
      data.addUser(std::string("Pessoa ") + number, std::string("P.") + number);
    }
    // Members in an order that is neither the entries' nor the DNs' order.
    for (int k = 0; k < kBigGroupSize; ++k) {
      const int i = (k * 1237 + 11) % kBigGroupSize;
      char number[8];
      std::snprintf(number, sizeof number, "%04d", i);
      big.push_back("cn=Pessoa " + std::string(number) + "," + kUsers);
      directory->bigExpected.push_back({std::string("p.") + number, std::string("Pessoa ") + number, ""});
    }
    data.addGroup("Grande", big);

    directory->server = std::make_unique<kvtest::SlapdServer>(data);
    directory->second = std::make_unique<kvtest::SlapdServer>(data);
    directory->otherName = std::make_unique<kvtest::SlapdServer>(kvtest::DirectoryData(), "dc-outro.kelvasync.test");
    // Each server has a test CA of its own: all three are trusted, so that
    // only the name can fail the third's certificate.
    const std::string trusted = fs::path(directory->server->folder()).parent_path() / "trusted.pem";
    {
      std::ofstream bundle(trusted, std::ios::binary);
      for (const auto* server : {&directory->server, &directory->second, &directory->otherName})
        bundle << std::ifstream((*server)->caFile(), std::ios::binary).rdbuf();
    }
    kvtest::trustCa(trusted);
  }
  void TearDown() override {
    delete directory;
    directory = nullptr;
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new SlapdEnvironment);

class LdapDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serviceMode = true;
    storeStopRequested(false);
    groupPathLogged = true;
    directorySettings.ldapPath = utf8ToUtf16("LDAP://" + directory->server->host());
    directorySettings.adUser = u"cn=svc,ou=Users,dc=kelvasync,dc=test";
    directorySettings.adPassword = u"segredo";
    platform::setDirectoryTuning({});
    forgetDomainControllerRead();
  }
  void TearDown() override {
    setDirectoryApiForTesting(nullptr);
    platform::setDirectoryTuning({});
    storeStopRequested(false);
  }
  void useGroup(const std::string& cn) { directorySettings.groupName = "CN=" + cn + ",OU=Groups," + kSuffix; }
  std::vector<std::string> logLines() const { return folder_.labelledLines(); }
  // Identifiers are the logon conversion's business; here only their
  // presence matters for members whose expected value leaves them out.
  static MemberList withoutIds(MemberList list) {
    for (GroupMember& m : list) m.hsmUserId = m.hsmUserId.empty() ? "" : "id";
    return list;
  }
  kvtest::ProductFolder folder_{"kv-ldap"};
  const fs::path root_ = folder_.root();
};

TEST_F(LdapDirectoryTest, MixedGroupGivesUsersEmptyRecordsAndSkipsUnreadableMembers) {
  useGroup("Misto");
  MemberList list;
  uint32_t unreadable = 0;
  ASSERT_TRUE(searchGroupMembers(list, unreadable));
  EXPECT_EQ(list, directory->mixedExpected);
  EXPECT_EQ(unreadable, 2u);  // counted, so that nobody loses a user over them
  const std::vector<std::string> expectedLog = {
      "[Atencao] Nao foi possivel obter dados do usuario dentro do Grupo",  // Oculto
      "[Atencao] Nao foi possivel obter dados do usuario dentro do Grupo",  // Fantasma
      "[Atencao] 2 membro(s) do Grupo nao puderam ser lidos: [cn=Oculto,ou=Users,dc=kelvasync,dc=test], "
      "[cn=Fantasma,ou=Users,dc=kelvasync,dc=test]. Enquanto houver membros sem leitura, ninguem que saiu do Grupo "
      "serah bloqueado ou removido no HSM/Tessel",
      "[Info] Quantidade de usuarios encontrados no Grupo: 5"};
  EXPECT_EQ(logLines(), expectedLog);
}

TEST_F(LdapDirectoryTest, EmptyGroupSucceedsWithNoMembers) {
  useGroup("Vazio");
  MemberList list;
  EXPECT_TRUE(searchGroupMembers(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(logLines(), std::vector<std::string>{"[Info] Quantidade de usuarios encontrados no Grupo: 0"});
}

TEST_F(LdapDirectoryTest, LargeGroupIsReadWhollyInMemberOrder) {
  useGroup("Grande");
  platform::setDirectoryTuning({0, 400, 0, 0});  // several pages of the member search
  MemberList list;
  ASSERT_TRUE(searchGroupMembers(list));
  ASSERT_EQ(list.size(), static_cast<size_t>(kBigGroupSize));
  MemberList expected = directory->bigExpected;
  for (GroupMember& m : expected) m.hsmUserId = "id";
  EXPECT_EQ(withoutIds(list), expected);
  EXPECT_EQ(logLines().back(), "[Info] Quantidade de usuarios encontrados no Grupo: 3000");
}

TEST_F(LdapDirectoryTest, GroupNameWithAnsiLetterFindsTheGroup) {
  directorySettings.groupName = std::string("CN=Seguran\xe7" "a,OU=Groups,") + kSuffix;  // as the INI holds it
  MemberList list;
  ASSERT_TRUE(searchGroupMembers(list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].logon, "asouza");
}

TEST_F(LdapDirectoryTest, AccountPasswordAndGroupFromTheIniMayHoldAnsiLetters) {
  // The INI file in the ANSI code page (Windows-1252): c cedilla 0xE7,
  // S caron 0x8A, n tilde 0xF1, en dash 0x96, euro 0x80, o tilde 0xF5,
  // OE 0x8C.
  const fs::path ini = folder_.ini();
  std::ofstream(ini, std::ios::binary)
      << "[activedirectory]\r\nhost=" << directory->server->host() << "\r\nusr=cn=Servi\xe7o \x8a" "ef,"
      << kUsers << "\r\npwd=" << encodeConfigPassword("Se\xf1ha\x96\x80") << "\r\ngroup=CN=Opera\xe7\xf5"
      << "es \x96 \x8a\x8c,OU=Groups," << kSuffix << "\r\n";
  setConfigFilePathForTesting(ini.string());
  const bool loaded = loadDirectorySettings();
  setConfigFilePathForTesting("");
  ASSERT_TRUE(loaded);
  MemberList list;
  ASSERT_TRUE(searchGroupMembers(list)) << testing::PrintToString(logLines());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].logon, "jsilva");
}

TEST_F(LdapDirectoryTest, EachRefusalEndsAtItsStepWithTheServersWords) {
  struct Case {
    const char* what;
    std::u16string password;
    std::string group;
    std::string message;
  } cases[] = {
      {"wrong password", u"errada", "Misto",
       "[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC) (bind: LDAP 49: Invalid credentials)"},
      {"empty password", u"", "Misto",
       "[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC) (senha vazia"},
      {"no such group", u"segredo", "Inexistente",
       "[Atencao] Nao foi possivel conectar com o caminho completo no Controlador de Dominio (DC) "
       "(entrada: LDAP 32: No such object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(folder_.log());
    directorySettings.adPassword = c.password;
    useGroup(c.group);
    MemberList list;
    EXPECT_FALSE(searchGroupMembers(list));
    const std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(c.message, 0), 0u) << lines[0];
  }

  // A path that names a user rather than a group.
  fs::remove(folder_.log());
  directorySettings.adPassword = u"segredo";
  directorySettings.groupName = "CN=Ana Souza," + kUsers;
  MemberList list;
  EXPECT_FALSE(searchGroupMembers(list));
  const std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[Atencao] Nao foi possivel obter interface para comunicacao com o Grupo de pesquisa", 0),
            0u)
      << lines[0];

  // No account and no password: a Kerberos bind, which without a usable
  // keytab stops before any connection, with one Erro line naming why.
  const std::u16string account = directorySettings.adUser;
  directorySettings.adUser.clear();
  directorySettings.adPassword.clear();
  unsetenv("KRB5_CLIENT_KTNAME");
  const std::string absent = (root_ / "absent.keytab").string();
  const std::string prefix =
      "[Erro] Nao foi possivel conectar no Controlador de Dominio (DC) com a identidade do proprio servico "
      "(Kerberos): ";
  for (const auto& [keytab, cause] :
       {std::pair<std::string, std::string>{"", "usr e pwd vazios pedem um bind Kerberos (GSSAPI), mas nenhum keytab"},
        {absent, "o keytab '" + absent + "' ([activedirectory] keytab) nao existe"}}) {
    fs::remove(folder_.log());
    setDirectoryKeytab(keytab);
    EXPECT_FALSE(searchGroupMembers(list));
    const std::vector<std::string> refused = logLines();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].rfind(prefix + cause, 0), 0u) << refused[0];
  }
  setDirectoryKeytab("");
  directorySettings.adUser = account;
}

// A port on which nothing listens.
int closedPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

TEST_F(LdapDirectoryTest, ServerDownFailsTheFirstBind) {
  directorySettings.ldapPath = u"LDAP://127.0.0.1:" + [] {
    const std::string p = std::to_string(closedPort());
    return std::u16string(p.begin(), p.end());
  }();
  useGroup("Misto");
  MemberList list;
  EXPECT_FALSE(searchGroupMembers(list));
  const std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC) (conexao: LDAP -1", 0),
            0u)
      << lines[0];
}


TEST_F(LdapDirectoryTest, ServerThatStopsAnsweringFailsWithinTheBoundAndNeverSeesThePassword) {
  constexpr uint32_t kNetwork = 1, kOperation = 2;
  platform::setDirectoryTuning({0, 0, kNetwork, kOperation});
  // Silent from the start, silent two bytes into the StartTLS answer, and
  // silent in the TLS handshake after a whole answer.
  for (const size_t answered : {size_t{0}, size_t{2}, size_t{38}}) {
  SCOPED_TRACE(answered);
  fs::remove(folder_.log());
  std::string received;
  {
    kvtest::SilentServer silent(answered);
    const std::string port = std::to_string(silent.port());
    directorySettings.ldapPath = u"LDAP://127.0.0.1:" + std::u16string(port.begin(), port.end());
    useGroup("Misto");
    MemberList list;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(searchGroupMembers(list));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // The documented bound is one network plus one operation time-out; a
    // slow shared machine gets three times that.
    EXPECT_LT(elapsed, std::chrono::seconds(3 * (kNetwork + kOperation)));
    received = silent.received();
  }
  const std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC)", 0), 0u) << lines[0];
  // What reached the server: the StartTLS request and nothing in clear after it.
  EXPECT_NE(received.find("1.3.6.1.4.1.1466.20037"), std::string::npos);
  EXPECT_EQ(received.find("segredo"), std::string::npos);
  }
}

// The platform's table with a stop requested while one member is read.
platform::DirectoryApi stopping;
std::atomic<int> logonsRead{0};
int stopAtLogon = 0;

TEST_F(LdapDirectoryTest, StopInTheMiddleOfALongEnumerationKeepsTheMembersSoFar) {
  stopping = platform::platformDirectoryApi();
  stopping.getAttribute = [](platform::DirectoryRef user, const std::u16string& name, std::u16string* value) {
    const int32_t code = platform::platformDirectoryApi().getAttribute(user, name, value);
    if (name == u"samAccountName" && ++logonsRead == stopAtLogon) storeStopRequested(true);
    return code;
  };
  logonsRead = 0;
  stopAtLogon = 1200;  // past the first page of 1,000
  setDirectoryApiForTesting(&stopping);
  useGroup("Grande");
  MemberList list;
  ASSERT_TRUE(searchGroupMembers(list));
  ASSERT_EQ(list.size(), 1200u);
  MemberList expected(directory->bigExpected.begin(), directory->bigExpected.begin() + 1200);
  for (GroupMember& m : expected) m.hsmUserId = "id";
  EXPECT_EQ(withoutIds(list), expected);
  EXPECT_EQ(logLines().back(), "[Info] Quantidade de usuarios encontrados no Grupo: 1200");
}

TEST_F(LdapDirectoryTest, AServerThatFreezesBetweenPagesFailsTheReadWithinTheBound) {
  // The server freezes once the first member is read; the next page of the
  // members' entries never comes, and the read fails within the bound
  // instead of waiting for ever or handing on a partial group.
  constexpr uint32_t kNetwork = 1, kOperation = 2;
  platform::setDirectoryTuning({0, 1, kNetwork, kOperation});  // pages of one entry
  stopping = platform::platformDirectoryApi();
  stopping.next = [](platform::DirectoryRef enumerator, platform::DirectoryRef* element, uint32_t* fetched) {
    if (++logonsRead == 2) kill(directory->server->pid(), SIGSTOP);
    return platform::platformDirectoryApi().next(enumerator, element, fetched);
  };
  logonsRead = 0;
  setDirectoryApiForTesting(&stopping);
  useGroup("Grande");
  MemberList list;
  const auto start = std::chrono::steady_clock::now();
  const bool read = searchGroupMembers(list);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  kill(directory->server->pid(), SIGCONT);
  EXPECT_FALSE(read);
  EXPECT_LT(elapsed, std::chrono::seconds(3 * (kNetwork + kOperation)));
  const std::string last = logLines().back();
  EXPECT_EQ(last.rfind("[Atencao] ", 0), 0u) << last;
  EXPECT_NE(last.find("membros: LDAP -5"), std::string::npos) << last;
}

// Two domain controllers named in host: the first fails in each way that
// is its own (nothing listens, a frozen server, a TLS handshake that never
// comes, a certificate for another name), and the group is read from the
// second within the bound; the first is named with its cause, the second
// once as the DC read, and the second is tried first from then on. A
// refused password or a missing group is the same on every DC: never tried
// on the second. None answering names them all; a stop is honoured between
// two.
TEST_F(LdapDirectoryTest, AListOfDcsReadsFromTheNextOnlyWhenTheFirstIsAtFault) {
  constexpr uint32_t kNetwork = 1, kOperation = 2;
  platform::setDirectoryTuning({0, 0, kNetwork, kOperation});
  useGroup("Misto");
  const std::string second = directory->second->host();
  const std::string closed = "127.0.0.1:" + std::to_string(closedPort());
  kvtest::SilentServer stalled(38);
  const std::string frozen = directory->server->host();
  struct Case {
    const char* what;
    std::string first;
    const char* separator;
    std::string cause;
  } cases[] = {
      {"nothing listens", closed, " ", "nao foi possivel conectar (conexao: LDAP -1"},
      // libldap's own time-out or the watchdog's, whichever ends the wait.
      {"a frozen server", frozen, ",", "nao foi possivel conectar (StartTLS: "},
      {"a TLS handshake that never comes", "127.0.0.1:" + std::to_string(stalled.port()), " , ",
       "nao foi possivel conectar (StartTLS: tempo limite de 5 s esgotado"},
      {"a certificate for another name", directory->otherName->host(), "\t",
       "nao foi possivel conectar (StartTLS: LDAP -11: Connect error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    forgetDomainControllerRead();
    fs::remove(folder_.log());
    directorySettings.ldapPath = utf8ToUtf16("LDAP://" + c.first + c.separator + second);
    if (c.first == frozen) kill(directory->server->pid(), SIGSTOP);
    MemberList list;
    const auto start = std::chrono::steady_clock::now();
    const bool read = searchGroupMembers(list);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (c.first == frozen) kill(directory->server->pid(), SIGCONT);
    ASSERT_TRUE(read) << testing::PrintToString(logLines());
    EXPECT_EQ(list, directory->mixedExpected);
    EXPECT_LT(elapsed, std::chrono::seconds(3 * (kNetwork + kOperation)));
    const std::vector<std::string> lines = logLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("[Atencao] Controlador de Dominio (DC) " + c.first + " pulado: " + c.cause, 0), 0u)
        << lines[0];
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[Info] Controlador de Dominio (DC) lido: " + second), 1);
    EXPECT_EQ(lines.back(), "[Info] Quantidade de usuarios encontrados no Grupo: 5");
    EXPECT_EQ(domainControllerRead(), second);
  }
  EXPECT_NE(logLines()[0].find("certificado do servidor nao verificado"), std::string::npos);

  // The DC read last comes first: the first is not tried again, and the
  // DC read is not named again while it does not change.
  fs::remove(folder_.log());
  directorySettings.ldapPath = utf8ToUtf16("LDAP://" + closed + " " + second);
  MemberList list;
  ASSERT_TRUE(searchGroupMembers(list));
  for (const std::string& line : logLines()) {
    EXPECT_EQ(line.find("Controlador de Dominio (DC) "), std::string::npos) << line;
  }
  using State = DomainControllerOutcome::State;
  ASSERT_EQ(lastSearchedControllers().size(), 2u);
  EXPECT_EQ(lastSearchedControllers()[0].name, second);
  EXPECT_EQ(lastSearchedControllers()[1].state, State::NotTried);

  // Refusals that every DC would repeat end the search at the first.
  forgetDomainControllerRead();
  directorySettings.ldapPath = utf8ToUtf16("LDAP://" + frozen + " " + second);
  for (const auto& [password, group, message] :
       {std::tuple<std::u16string, std::string, std::string>{
            u"errada", "Misto", "[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC) (bind: LDAP 49"},
        {u"segredo", "Inexistente",
         "[Atencao] Nao foi possivel conectar com o caminho completo no Controlador de Dominio (DC) (entrada: LDAP 32"}}) {
    SCOPED_TRACE(message);
    fs::remove(folder_.log());
    directorySettings.adPassword = password;
    useGroup(group);
    EXPECT_FALSE(searchGroupMembers(list));
    const std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(message, 0), 0u) << lines[0];
    ASSERT_EQ(lastSearchedControllers().size(), 2u);
    EXPECT_EQ(lastSearchedControllers()[0].state, State::Failed);
    EXPECT_EQ(lastSearchedControllers()[1].state, State::NotTried);
    EXPECT_EQ(domainControllerRead(), "");
  }
  directorySettings.adPassword = u"segredo";
  useGroup("Misto");

  // None answers: each is named, then all of them.
  fs::remove(folder_.log());
  const std::string alsoClosed = "127.0.0.1:" + std::to_string(closedPort());
  directorySettings.ldapPath = utf8ToUtf16("LDAP://" + closed + " " + alsoClosed);
  EXPECT_FALSE(searchGroupMembers(list));
  std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind("[Atencao] Controlador de Dominio (DC) " + alsoClosed + " pulado: ", 0), 0u);
  EXPECT_EQ(lines[2], "[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC): nenhum DC pode ser lido (" +
                          closed + ", " + alsoClosed + ")");

  // A stop asked while the first DC fails: the second is not tried.
  stopping = platform::platformDirectoryApi();
  static int opened;
  opened = 0;
  stopping.openObject = [](const std::u16string& path, const std::u16string& user, const std::u16string& password,
                           platform::DirectoryRef* object) {
    ++opened;
    const int32_t code = platform::platformDirectoryApi().openObject(path, user, password, object);
    storeStopRequested(true);
    return code;
  };
  setDirectoryApiForTesting(&stopping);
  fs::remove(folder_.log());
  EXPECT_FALSE(searchGroupMembers(list));
  EXPECT_EQ(opened, 1);
  lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[Atencao] Nao foi possivel conectar no Controlador de Dominio (DC) (conexao: ", 0), 0u)
      << lines[0];
}

TEST_F(LdapDirectoryTest, AReadCutShortOnOneDcStartsAgainWholeOnTheNext) {
  // The first server freezes once the first page of members is read; the
  // next page never comes. The read starts again on the second from its
  // first member: every member once, in order, none taken from the first.
  constexpr uint32_t kNetwork = 1, kOperation = 2;
  platform::setDirectoryTuning({0, 400, kNetwork, kOperation});
  stopping = platform::platformDirectoryApi();
  stopping.next = [](platform::DirectoryRef enumerator, platform::DirectoryRef* element, uint32_t* fetched) {
    if (++logonsRead == 2) kill(directory->server->pid(), SIGSTOP);
    return platform::platformDirectoryApi().next(enumerator, element, fetched);
  };
  logonsRead = 0;
  setDirectoryApiForTesting(&stopping);
  useGroup("Grande");
  directorySettings.ldapPath = utf8ToUtf16("LDAP://" + directory->server->host() + " " + directory->second->host());
  MemberList list;
  const auto start = std::chrono::steady_clock::now();
  const bool read = searchGroupMembers(list);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  kill(directory->server->pid(), SIGCONT);
  ASSERT_TRUE(read);
  MemberList expected = directory->bigExpected;
  for (GroupMember& m : expected) m.hsmUserId = "id";
  EXPECT_EQ(withoutIds(list), expected);
  EXPECT_LT(elapsed, std::chrono::seconds(3 * (kNetwork + kOperation)));
  const std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("[Atencao] Controlador de Dominio (DC) " + directory->server->host() +
                               " pulado: a leitura do Grupo parou na etapa 'leitura de um membro' (membros: LDAP -5",
                           0),
            0u)
      << lines[0];
  EXPECT_EQ(lines[1], "[Info] Controlador de Dominio (DC) lido: " + directory->second->host());
  EXPECT_EQ(lines[2], "[Info] Quantidade de usuarios encontrados no Grupo: 3000");
}

}  // namespace
