#include "config/config.h"
#include "support/service_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>

#include "runtime/process_state.h"
#include "common/text.h"
#include "platform/sealed_secret.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace {

namespace fs = std::filesystem;

// A private program-files folder per test: the INI file is written there and
// the log lands in its data folder.
class ConfigTest : public ::testing::Test {
 protected:
  void writeIni(const std::string& text) { folder_.writeIni(text); }
  std::string logText() const { return folder_.logText(); }

  kvtest::ProductFolder folder_{"kv-config"};
  const fs::path root_ = folder_.root();
  const fs::path product_ = folder_.product();
  const std::string iniPath_ = folder_.ini().string();
};

std::string decodeText(const std::string& hex) {
  char buffer[kPasswordBufferSize] = {};
  hex.copy(buffer, kPasswordBufferSize - 1);
  decodeConfigPassword(buffer);
  return std::string(buffer, strnlen(buffer, kPasswordBufferSize));
}

RemovalPolicy removalPolicyForValue(std::string value) { return parseRemovalPolicy(value); }

std::string completeDirectoryIni(const std::string& interval) {
  return "[activedirectory]\nhost=dc01\nusr=svc\npwd=" + encodeConfigPassword("s3cret") +
         "\ngroup=CN=HSM,DC=example,DC=com\nupdatefrequencyinminutes=" + interval + "\n";
}

TEST(ConfigPasswordTest, DecodesKnownCiphertext) {
  // "Senha#2026" under the product key, computed with an RC4 written apart
  // from this code base and checked against the RFC 6229 vectors.
  EXPECT_EQ(decodeText("3435b6594dacbd70a3f3"), "Senha#2026");
  // Upper-case digits are read the same way (strtoul accepts both).
  EXPECT_EQ(decodeText("3435B6594DACBD70A3F3"), "Senha#2026");
}

TEST(ConfigPasswordTest, RoundTripHoldsExactlyForStorablePasswords) {
  std::string password;
  for (int length = 0; length <= 40; ++length) {
    // Bytes of every range, those above 0x7F included.
    const std::string hex = encodeConfigPassword(password);
    const bool fits = passwordFitsConfig(password);
    EXPECT_EQ(decodePasswordValue(hex, u"hsm") == password, fits) << "length " << length;
    EXPECT_EQ(fits, length <= 31) << "length " << length;
    password.push_back(static_cast<char>(0x21 + (length * 37) % 0xDE));
  }
  for (int first = 1; first < 256; first += 31) {
    std::string all;
    for (int b = first; b < first + 31 && b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(decodeText(encodeConfigPassword(all)), all);
  }
}

TEST(ConfigPasswordTest, OddDigitIgnoredAndZeroByteEndsPassword) {
  const std::string password(31, 'p');
  const std::string hex = encodeConfigPassword(password);
  ASSERT_EQ(hex.size(), 62u);
  EXPECT_EQ(decodeText(hex + "7"), password);          // 63 digits: the last is ignored
  EXPECT_EQ(decodeText(hex.substr(0, 5)), "pp");       // 5 digits give 2 bytes
  EXPECT_EQ(decodeText(encodeConfigPassword(std::string("ab\0cd", 5))), "ab");
  EXPECT_EQ(decodeText(""), "");
  EXPECT_FALSE(passwordFitsConfig(std::string("ab\0cd", 5)));
}

TEST(ConfigPasswordTest, UnterminatedBufferIsNeverReadPastItsEnd) {
  char buffer[kPasswordBufferSize];
  std::memset(buffer, 'f', sizeof buffer);  // no terminator at all
  decodeConfigPassword(buffer);
  EXPECT_LE(strnlen(buffer, sizeof buffer), 31u);
}

TEST_F(ConfigTest, PasswordOf64CharactersIsRejectedWithAnError) {
  const std::string hex63 = encodeConfigPassword(std::string(31, 'x')) + "0";
  EXPECT_EQ(decodePasswordValue(hex63, u"hsm"), std::string(31, 'x'));
  EXPECT_EQ(logText(), "");

  EXPECT_EQ(decodePasswordValue(hex63 + "0", u"hsm"), "");
  EXPECT_EQ(decodePasswordValue(std::string(255, 'a'), u"activedirectory"), "");
  const std::string log = logText();
  EXPECT_NE(log.find("[Erro] A senha criptografada (pwd) da secao hsm do arquivo de configuracao tem 64 caracteres"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("secao activedirectory do arquivo de configuracao tem 255 caracteres"), std::string::npos) << log;

  // Read from the file, an over-long value is reported with its real length.
  writeIni("[hsm]\nhost=h\nusr=u\npwd=" + std::string(300, 'b') + "\n");
  std::string password;
  EXPECT_FALSE(readHsmSettings(nullptr, nullptr, &password));
  EXPECT_NE(logText().find("secao hsm do arquivo de configuracao tem 300 caracteres"), std::string::npos) << logText();
}

TEST_F(ConfigTest, StartUpNamesAMissingFileSectionOrKey) {
  const std::string lead = "[Atencao] ";
  const std::string noFile = "O arquivo de configuracao '" + iniPath_ + "' nao existe ou nao pode ser lido";
  EXPECT_FALSE(reportConfigurationGaps());
  EXPECT_NE(logText().find(lead + noFile), std::string::npos) << logText();
  fs::create_directory(iniPath_);  // a folder in its place cannot be read
  EXPECT_FALSE(reportConfigurationGaps());
  fs::remove(iniPath_);
  const std::string both = logText();
  EXPECT_EQ(std::count(both.begin(), both.end(), '\n'), 2) << both;

  auto linesFor = [&](const std::string& ini) {
    writeIni(ini);
    fs::remove(product_ / "data" / "kelvasync.log");
    const bool complete = reportConfigurationGaps();
    std::string log = logText();
    return std::make_pair(complete, log);
  };
  const std::string hsm = "[hsm]\nhost=h\nusr=u\npwd=" + encodeConfigPassword("p") + "\n";
  auto [complete, log] = linesFor(completeDirectoryIni("3"));
  EXPECT_FALSE(complete);
  EXPECT_NE(log.find(lead + "A secao [hsm] do arquivo de configuracao '" + iniPath_ +
                     "' nao existe ou nao tem nenhuma das chaves necessarias"),
            std::string::npos)
      << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;

  std::tie(complete, log) = linesFor("[activedirectory]\nhost=dc\nusr=u\npwd=00\ngroup=\n[hsm]\nhost=h\nusr=u\n");
  EXPECT_FALSE(complete);
  EXPECT_NE(log.find(lead + "A chave 'group' da secao [activedirectory] do arquivo de configuracao '" + iniPath_ +
                     "' estah vazia ou ausente"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("A chave 'pwd' da secao [hsm]"), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;

  std::tie(complete, log) = linesFor(completeDirectoryIni("3") + hsm);
  EXPECT_TRUE(complete);
  EXPECT_EQ(log, "");
}

TEST_F(ConfigTest, UnknownSectionsAndKeysAreNamedWithTheNameMostLikelyMeant) {
  // Known names in any case, comments, and the first of two sections of one
  // name (the only one the reader searches) say nothing.
  writeIni("stray=1\n[ActiveDirectory]\nHOST=dc\n; maxremoval=1\n# x=y\n[hsm]\nmaxremoval=20\nmaxsizemb=5\n"
           "removeusers=yes\nremoveuser=no\n[hsmm]\nhost=h\n[extra]\nk=v\n[HSM]\nbogus=1\n");
  reportUnknownSettings();
  const std::string lead = "[Atencao] Chave desconhecida no arquivo de configuracao, ignorada: ";
  const std::string sectionLead = "[Atencao] Secao desconhecida no arquivo de configuracao, ignorada com suas chaves: ";
  const std::string log = logText();
  for (const std::string& line :
       {lead + "[hsm] maxremoval (quis dizer maxremovals?)",
        lead + "[hsm] maxsizemb (quis dizer [log] maxsizemb?)", lead + "[hsm] removeuser (quis dizer removeusers?)",
        sectionLead + "[hsmm] (quis dizer [hsm]?)", sectionLead + "[extra]"}) {
    EXPECT_NE(log.find(line + "\r\n"), std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5) << log;
}

TEST_F(ConfigTest, MissingFileGivesEmptyValuesEverywhere) {
  EXPECT_EQ(readConfigString(iniPath_, "hsm", "host"), "");
  EXPECT_FALSE(loadDirectorySettings());
  EXPECT_TRUE(directorySettings.unconfigured);  // cycles skip the search quietly
  EXPECT_EQ(directorySettings.updateIntervalSeconds, 180);
  EXPECT_EQ(directorySettings.groupName, "");
  std::string host, user, password;
  EXPECT_FALSE(readHsmSettings(&host, nullptr, nullptr));
  EXPECT_FALSE(readHsmSettings(&host, &user, &password));
  EXPECT_EQ(host + user + password, "");
  EXPECT_EQ(removalPolicyForValue(""), RemovalPolicy::Neither);
}

TEST_F(ConfigTest, HsmSettingsAreReadDecodedAndKeptOnceSet) {
  writeIni("[hsm]\nhost=10.0.0.5\npwd=" + encodeConfigPassword("hsm-pass") + "\n");
  std::string host, user, password;
  EXPECT_TRUE(readHsmSettings(&host, nullptr, nullptr));  // host alone is enough
  EXPECT_EQ(host, "10.0.0.5");
  EXPECT_FALSE(readHsmSettings(&host, &user, &password));  // usr still missing
  EXPECT_EQ(password, "hsm-pass");
  EXPECT_EQ(user, "");

  // A value once read is not read again; an empty one is looked up anew.
  writeIni("[HSM]\nHost=changed\nusr=operator\npwd=" + encodeConfigPassword("other") + "\n");
  EXPECT_TRUE(readHsmSettings(&host, &user, &password));
  EXPECT_EQ(host, "10.0.0.5");
  EXPECT_EQ(user, "operator");
  EXPECT_EQ(password, "hsm-pass");

  // A caller with strings of its own sees the file as it is now.
  std::string otherHost;
  EXPECT_TRUE(readHsmSettings(&otherHost, nullptr, nullptr));
  EXPECT_EQ(otherHost, "changed");
}

TEST_F(ConfigTest, CompleteDirectorySettingsAreTakenOver) {
  writeIni(completeDirectoryIni("15"));
  EXPECT_TRUE(loadDirectorySettings());
  EXPECT_EQ(directorySettings.ldapPath, u"LDAP://dc01");
  EXPECT_EQ(directorySettings.adUser, u"svc");
  EXPECT_EQ(directorySettings.adPassword, u"s3cret");
  EXPECT_EQ(directorySettings.groupName, "CN=HSM,DC=example,DC=com");
  EXPECT_EQ(directorySettings.updateIntervalSeconds, 900);
}

TEST_F(ConfigTest, IncompleteDirectorySettingsKeepGroupAndInterval) {
  writeIni("[activedirectory]\nhost=dc01\nusr=svc\npwd=" + encodeConfigPassword("pw") +
           "\nupdatefrequencyinminutes=15\n");
  EXPECT_FALSE(loadDirectorySettings());
  EXPECT_FALSE(directorySettings.unconfigured);  // a gap, reported by each cycle's search
  EXPECT_EQ(directorySettings.updateIntervalSeconds, 180);
  EXPECT_EQ(directorySettings.groupName, "");
  EXPECT_EQ(directorySettings.ldapPath, u"LDAP://dc01");  // read all the same

  // An empty host leaves the path empty, not a bare prefix; any other value
  // gets the prefix whatever it holds.
  writeIni("[activedirectory]\nhost=\nusr=svc\npwd=" + encodeConfigPassword("pw") + "\ngroup=g\n");
  EXPECT_FALSE(loadDirectorySettings());
  EXPECT_EQ(directorySettings.ldapPath, u"");
  writeIni("[activedirectory]\nhost=LDAP://dc02\n");
  readDirectorySettings(nullptr, nullptr);
  EXPECT_EQ(directorySettings.ldapPath, u"LDAP://LDAP://dc02");
  EXPECT_EQ(directorySettings.adUser, u"");
  EXPECT_EQ(directorySettings.adPassword, u"");
}

TEST_F(ConfigTest, NoAccountMeansTheServicesOwnIdentityButOneWithoutTheOtherIsAGap) {
  const std::string hsm = "[hsm]\nhost=h\nusr=u\npwd=" + encodeConfigPassword("p") + "\n";
  writeIni("[activedirectory]\nhost=dc01\ngroup=CN=HSM,DC=example\n" + hsm);
  EXPECT_TRUE(loadDirectorySettings());
  EXPECT_EQ(directorySettings.groupName, "CN=HSM,DC=example");
  EXPECT_TRUE(reportConfigurationGaps());
  EXPECT_EQ(logText(), "");
  writeIni("[activedirectory]\nhost=dc01\nusr=svc\ngroup=CN=HSM,DC=example\n" + hsm);
  directorySettings = DirectorySettings{};
  EXPECT_FALSE(loadDirectorySettings());
  EXPECT_FALSE(reportConfigurationGaps());
  EXPECT_NE(logText().find("A chave 'pwd' da secao [activedirectory]"), std::string::npos) << logText();
}

// A sealed pwd opens to the password; each way it cannot be opened leaves
// the password empty (the settings incomplete) with a line naming why.
TEST_F(ConfigTest, SealedPasswordsOpenOrSayWhyNot) {
  const auto hsmPassword = [&](const std::string& value) {
    writeIni("[hsm]\nhost=h\nusr=u\npwd=" + value + "\n");
    std::string password;
    readHsmSettings(nullptr, nullptr, &password);
    return password;
  };
#ifdef _WIN32
  std::string sealed;
  const platform::SealedSecretResult made = platform::sealWithDpapi("s3cr\xe9t", true, sealed);
  ASSERT_TRUE(made.ok()) << made.detail;
  EXPECT_EQ(sealed.rfind("dpapi:", 0), 0u);
  EXPECT_EQ(hsmPassword(sealed), "s3cr\xe9t");
  std::string other = sealed;
  other[other.size() - 8] = other[other.size() - 8] == 'A' ? 'B' : 'A';  // its check value no longer matches
  EXPECT_EQ(hsmPassword(other), "");
  EXPECT_EQ(hsmPassword("DPAPI:@@@"), "");
  EXPECT_EQ(hsmPassword("credential:hsm-pwd"), "");
  const std::string log = logText();
  EXPECT_NE(log.find("nao pode ser obtida: a senha selada (dpapi:) nao pode ser aberta nesta maquina"),
            std::string::npos) << log;
  EXPECT_NE(log.find("nao eh um texto base64 valido"), std::string::npos) << log;
  EXPECT_NE(log.find("eh uma credencial do systemd e nao existe no Windows"), std::string::npos) << log;
#else
  const fs::path credentials = root_ / "credentials";
  fs::create_directories(credentials);
  std::ofstream(credentials / "hsm-pwd", std::ios::binary) << "s3cr\xe9t\n";
  fs::permissions(credentials / "hsm-pwd", fs::perms(0600));
  ::mkfifo((credentials / "fifo").c_str(), 0600);
  ::unsetenv("CREDENTIALS_DIRECTORY");
  EXPECT_EQ(hsmPassword("credential:hsm-pwd"), "");
  ::setenv("CREDENTIALS_DIRECTORY", credentials.c_str(), 1);
  EXPECT_EQ(hsmPassword("Credential:hsm-pwd"), "s3cr\xe9t");
  EXPECT_EQ(hsmPassword("credential:ad-pwd"), "");
  EXPECT_EQ(hsmPassword("credential:../credentials/hsm-pwd"), "");
  EXPECT_EQ(hsmPassword("credential:fifo"), "");  // refused at once, never waited on
  EXPECT_EQ(hsmPassword("dpapi:AAAA"), "");
  ::unsetenv("CREDENTIALS_DIRECTORY");
  const std::string log = logText();
  EXPECT_NE(log.find("[Erro] A senha (pwd) da secao hsm do arquivo de configuracao nao pode ser obtida: a credencial "
                     "'hsm-pwd' nao estah disponivel"),
            std::string::npos) << log;
  EXPECT_NE(log.find("'ad-pwd' nao foi entregue ao servico"), std::string::npos) << log;
  EXPECT_NE(log.find("'../credentials/hsm-pwd' nao tem um nome valido"), std::string::npos) << log;
  EXPECT_NE(log.find("'fifo' nao eh um arquivo comum"), std::string::npos) << log;
  EXPECT_NE(log.find("selada pelo Windows (DPAPI) e nao pode ser aberto neste sistema"), std::string::npos) << log;
  // A credential file anyone may read (a folder a run by hand points at)
  // still opens, with one warning.
  EXPECT_EQ(log.find("outros usuarios"), std::string::npos) << log;
  fs::permissions(credentials / "hsm-pwd", fs::perms(0644));
  ::setenv("CREDENTIALS_DIRECTORY", credentials.c_str(), 1);
  EXPECT_EQ(hsmPassword("credential:hsm-pwd"), "s3cr\xe9t");
  ::unsetenv("CREDENTIALS_DIRECTORY");
  EXPECT_NE(logText().find("[Atencao] A senha (pwd) da secao hsm vem de um arquivo de credencial que outros usuarios "
                           "alem de root e do grupo do servico podem ler"),
            std::string::npos);
#endif
  EXPECT_EQ(hsmPassword(encodeConfigPassword("rc4")), "rc4");  // the RC4 values as before
}

TEST(DistinguishedNameTest, AttributeValuePairsSeparatedByCommas) {
  for (const char* dn : {"CN=Tessel,OU=Grupos,DC=empresa,DC=local", "cn=HSM", "CN = Tessel , DC = local",
                         "CN=Silva\\, Ana,OU=Users", "CN=A+UID=a,DC=x", "2.5.4.3=Tessel,DC=x",
                         "CN=Seguran\xe7" "a"}) {
    EXPECT_TRUE(isDistinguishedName(dn)) << dn;
  }
  for (const char* dn : {"", "Tessel", "EMPRESA\\Tessel", "tessel@empresa.local", "CN=Tessel,,DC=local",
                         "CN=Tessel,", "CN=,DC=x", "=Tessel", "CN=Tessel\\", "1.=x", "-CN=x"}) {
    EXPECT_FALSE(isDistinguishedName(dn)) << dn;
  }
}

TEST(DirectoryHostTest, OneOrSeveralDcsAsWrittenOrADomainForDiscovery) {
  const auto hosts = [](const char* value) { return parseDirectoryHost(value).hosts; };
  using List = std::vector<std::string>;
  EXPECT_EQ(hosts("dc01.corp.local"), List{"dc01.corp.local"});
  EXPECT_EQ(hosts("dc01:636 dc02, [fd00::7]:389,,\tdc03"), (List{"dc01:636", "dc02", "[fd00::7]:389", "dc03"}));
  EXPECT_EQ(hosts(" , "), List{});
  EXPECT_EQ(parseDirectoryHost("DNS: corp.local ").discoveryDomain, "corp.local");
  EXPECT_TRUE(parseDirectoryHost("DNS: corp.local ").hosts.empty());
  // A host named dns on a port, and a prefix without a domain, are hosts.
  EXPECT_EQ(hosts("dns:389"), List{"dns:389"});
  EXPECT_EQ(parseDirectoryHost("dns:389").discoveryDomain, "");
  EXPECT_EQ(hosts("dns: "), List{"dns:"});
}

TEST_F(ConfigTest, IntervalFollowsAtoiIsClampedTo32BitsAndFallsBackOnNonsense) {
  struct Case {
    const char* value;
    int32_t seconds;
    bool warned;
  };
  const Case cases[] = {
      {"", 180, false},          {"  10 minutes", 600, false},  {"abc", 180, true},
      {"-5", 180, true},         {"+2", 120, false},            {"35791394", 2147483640, false},
      {"35791395", 2147483640, true}, {"99999999999999999999", 2147483640, true},
      {"-35791395", 180, true},  {"0", 0, false},               {"- 4", 180, true},
  };
  for (const Case& c : cases) {
    directorySettings = DirectorySettings{};
    fs::remove(product_ / "data" / "kelvasync.log");
    writeIni(completeDirectoryIni(c.value));
    EXPECT_TRUE(loadDirectorySettings()) << c.value;
    EXPECT_EQ(directorySettings.updateIntervalSeconds, c.seconds) << c.value;
    const std::string log = logText();
    EXPECT_EQ(log.find("[Atencao] O intervalo de atualizacao (updatefrequencyinminutes = ") != std::string::npos,
              c.warned)
        << c.value << ": " << log;
    // Nonsense falls back to the default, and the line says so.
    EXPECT_EQ(log.find("usado o padrao de 3 minutos.") != std::string::npos, c.warned && c.seconds == 180)
        << c.value << ": " << log;
  }
}

TEST_F(ConfigTest, DirectoryAccountAndPasswordAreDecodedAsTheAnsiCodePage) {
  // Windows-1252: 0xE9 e acute, 0x8A S caron, 0xE7 c cedilla, 0x96 en dash.
  writeIni("[activedirectory]\nhost=dc\nusr=Jos\xe9 \x8a\npwd=" + encodeConfigPassword("\xe7\x96") +
           "\ngroup=G\xe3o \x96\n");
  EXPECT_TRUE(loadDirectorySettings());
  EXPECT_EQ(directorySettings.adUser, u"Jos\u00e9 \u0160");
  EXPECT_EQ(directorySettings.adPassword, u"\u00e7\u2013");
  EXPECT_EQ(directorySettings.groupName, "G\xe3o \x96");  // kept as bytes; decoded where the path is built
}

TEST_F(ConfigTest, TooLongDirectoryPasswordMakesSettingsIncomplete) {
  writeIni("[activedirectory]\nhost=dc\nusr=u\ngroup=g\nupdatefrequencyinminutes=1\npwd=" + std::string(64, '0') +
           "\n");
  EXPECT_FALSE(loadDirectorySettings());
  EXPECT_EQ(directorySettings.adPassword, u"");
  EXPECT_EQ(directorySettings.updateIntervalSeconds, 180);
  EXPECT_NE(logText().find("[Erro] A senha criptografada (pwd) da secao activedirectory"), std::string::npos);
}

TEST(RemovalPolicyTest, LowerCasedThenComparedExactly) {
  EXPECT_EQ(removalPolicyForValue("YES"), RemovalPolicy::Remove);
  EXPECT_EQ(removalPolicyForValue("yes"), RemovalPolicy::Remove);
  EXPECT_EQ(removalPolicyForValue("Block"), RemovalPolicy::Block);
  EXPECT_EQ(removalPolicyForValue("bLOCK"), RemovalPolicy::Block);
  for (const char* other : {"yes please", "remove", "", "no", "y", "blocked", "yes\t", "\xc9yes"}) {
    EXPECT_EQ(removalPolicyForValue(other), RemovalPolicy::Neither) << other;
  }
  std::string value = "BLoCK";
  parseRemovalPolicy(value);
  EXPECT_EQ(value, "block");  // lower-cased in place
}

TEST_F(ConfigTest, RemovalPolicyIsReadOncePerProcess) {
  writeIni("[hsm]\nremoveusers=Block\n");
  EXPECT_EQ(removalPolicy(), RemovalPolicy::Block);
  writeIni("[hsm]\nremoveusers=yes\n");
  EXPECT_EQ(removalPolicy(), RemovalPolicy::Block);
}

TEST_F(ConfigTest, LogSizeLimitIsWholeMegabytesOrNone) {
  EXPECT_EQ(readLogSizeSetting().bytes, 0u);  // no file: no limit, nothing wrong
  EXPECT_TRUE(readLogSizeSetting().valid);
  writeIni("[log]\nmaxsizemb = 50\n");
  EXPECT_EQ(readLogSizeSetting().bytes, 50u * 1024 * 1024);
  writeIni("[LOG]\nMaxSizeMB=1048576\n");
  EXPECT_EQ(readLogSizeSetting().bytes, uint64_t{1} << 40);
  for (const char* bad : {"0", "-5", "10MB", "1.5", "1048577", "99999999999999999999999"}) {
    writeIni(std::string("[log]\nmaxsizemb=") + bad + "\n");
    const LogSizeSetting setting = readLogSizeSetting();
    EXPECT_FALSE(setting.valid) << bad;
    EXPECT_EQ(setting.bytes, 0u) << bad;
    EXPECT_EQ(setting.value, bad);
  }
}

TEST_F(ConfigTest, RemovalLimitIsAWholeNumberReadOnceAndAMistakeProtects) {
  EXPECT_EQ(parseRemovalLimit(""), std::nullopt);
  EXPECT_EQ(parseRemovalLimit("  "), std::nullopt);
  EXPECT_EQ(parseRemovalLimit("0"), 0u);
  EXPECT_EQ(parseRemovalLimit(" 25\t"), 25u);
  EXPECT_EQ(parseRemovalLimit("99999999999"), UINT32_MAX);
  EXPECT_EQ(logText(), "");
  // A value that is no number protects, and is a finding (the service
  // logs it when it reads the key, kelvasync-check shows it).
  for (const char* wrong : {"abc", "-3", "1 0", "5x"}) {
    std::optional<ConfigFinding> finding;
    EXPECT_EQ(parseRemovalLimit(wrong, finding), 0u) << wrong;
    ASSERT_TRUE(finding.has_value()) << wrong;
    EXPECT_EQ(finding->problem, ConfigFinding::Problem::NotANumber);
  }
  EXPECT_EQ(logText(), "");
  writeIni("[hsm]\nmaxremovals = -3\n");
  EXPECT_EQ(removalLimit(), 0u);
  EXPECT_NE(logText().find("[Atencao] Valor invalido para maxremovals (-3); nenhum usuario serah bloqueado ou removido"),
            std::string::npos)
      << logText();

  writeIni("[hsm]\nmaxremovals = 7\n");
  EXPECT_EQ(removalLimit(), 0u);  // read once per process

}

TEST(ConfigPathTest, LiesInTheProductFolderUnderProgramFiles) {
#ifdef _WIN32
  // Wine's registry (and a 64-bit Windows) name the 32-bit folder so.
  EXPECT_EQ(configFilePath(), "C:\\Program Files (x86)\\Karvell Networks\\HSM Karvell\\kelvasync.ini");
#else
  ::setenv("KELVASYNC_PROGRAM_FILES", "/srv/pf", 1);
  EXPECT_EQ(configFilePath(), "/srv/pf/Karvell Networks/HSM Karvell/kelvasync.ini");
  ::setenv("KELVASYNC_PROGRAM_FILES", "/srv/Configura\xc3\xa7\xc3\xa3o", 1);  // UTF-8 "ção"
  EXPECT_EQ(configFilePath(), "/srv/Configura\xe7\xe3o/Karvell Networks/HSM Karvell/kelvasync.ini");
  ::unsetenv("KELVASYNC_PROGRAM_FILES");
#endif
}

}  // namespace
