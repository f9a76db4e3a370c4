// The real kelvasync binary in console mode against a real slapd and a real
// hsm-emulator, through full update cycles with the service's own timing,
// stopped with SIGTERM. Two runs over the same directory and HSM: the first
// creates the group's users, the second finds and unblocks them.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "child_process.h"
#include "config/config.h"
#include "directory/logon_id.h"
#include "hsm/user_creation.h"
#include "hsm_queries.h"
#include "slapd_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using namespace synctest;

size_t occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

bool waitForCount(ChildProcess& child, const std::string& text, size_t count, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  while (occurrences(child.output(), text) < count) {
    if (Clock::now() >= end) return false;
    child.waitForOutput("\x01never", 100ms);  // reads what has arrived meanwhile
  }
  return true;
}

struct Member {
  std::string name, logon, id;  // id: of the lower-cased logon, as the service derives it
};

class ServiceEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    kvtest::DirectoryData data;
    members_ = {{"Ana Souza", "ASouza", ""}, {"Bruno Lima", "blima", ""}, {"Carla Dias", "cdias", ""}};
    std::vector<std::string> dns;
    for (Member& m : members_) {
      dns.push_back(data.addUser(m.name, m.logon));
      m.logon = kvtest::lowerAscii(m.logon);
      m.id = convertLogonToHsmUserId(m.logon);
    }
    data.addGroup("Tessel", dns);
    try {
      slapd_ = std::make_unique<kvtest::SlapdServer>(data);
    } catch (const std::exception& e) {
      FAIL() << "slapd: " << e.what();
    }
    std::string error;
    hsm_ = HsmServer::start(HsmServer::Options{}, error);
    ASSERT_NE(hsm_, nullptr) << error;
    ASSERT_EQ(library_.code(), KV_OK);

    root_ = fs::temp_directory_path() / ("kvsync-e2e-" + std::to_string(getpid()));
    fs::remove_all(root_);
    productDir_ = root_ / "Karvell Networks" / "HSM Karvell";
    fs::create_directories(productDir_ / "data");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void writeIni(const std::string& intervalMinutes, const std::string& removeUsers) {
    std::ofstream ini(productDir_ / "kelvasync.ini", std::ios::binary | std::ios::trunc);
    ini << "[activedirectory]\r\nhost=" << slapd_->host() << "\r\nusr=" << kvtest::kServiceAccount
        << "\r\npwd=" << encodeConfigPassword(kvtest::kServicePassword)
        << "\r\ngroup=CN=Tessel,OU=Groups," << kvtest::kSuffix
        << "\r\nupdatefrequencyinminutes=" << intervalMinutes << "\r\n"
        << "[hsm]\r\nhost=" << hsm_->host() << "\r\nusr=master\r\npwd="
        << encodeConfigPassword(kvtest::kMasterPassword) << "\r\nremoveusers=" << removeUsers << "\r\n";
  }
  std::unique_ptr<ChildProcess> start() {
    fs::remove(productDir_ / "data" / "kelvasync.log");
    return std::make_unique<ChildProcess>(
        KELVASYNC_BINARY, std::vector<std::string>{"-c"},
        std::map<std::string, std::string>{{"KELVASYNC_PROGRAM_FILES", root_.string()},
                                           {"LDAPTLS_CACERT", slapd_->caFile()},
                                           {"NOTIFY_SOCKET", ""}});
  }
  std::string logText() const {
    std::ifstream in(productDir_ / "data" / "kelvasync.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string stored(const std::string& name) {
    std::string text;
    return readObject(*hsm_, "IntegracaoAD/" + name, text) == KV_OK ? text : "<missing>";
  }
  std::string expectedAddb() const {
    std::string text;
    for (const Member& m : members_) text += m.id + "\r\n" + m.logon + "\r\n" + m.name + "\r\n";
    return text;
  }
  bool loginAsMember(const Member& m) {
    return tryLogin(*hsm_, m.id, initialHsmPassword(m.id)) == KV_OK;
  }

  std::vector<Member> members_;
  std::unique_ptr<kvtest::SlapdServer> slapd_;
  std::unique_ptr<HsmServer> hsm_;
  kvtest::LibraryScope library_;
  fs::path root_, productDir_;
};

TEST_F(ServiceEndToEnd, FirstRunCreatesTheGroupAndTheNextRunUnblocksIt) {
  const std::string leaver = convertLogonToHsmUserId("ex-funcionario");
  ASSERT_EQ(createByHand(*hsm_, leaver, "pw-leaver"), KV_OK);
  ASSERT_EQ(createByHand(*hsm_, "admin", "pw-admin"), KV_OK);
  const std::string separator(71, '-');

  // Run 1: an interval of one minute, blocking policy written in upper case.
  // The first cycle comes after the 9.6 s first pause; SIGTERM then arrives
  // during the one-minute pause.
  writeIni("1", "BLOCK");
  auto child = start();
  ASSERT_TRUE(child->waitForOutput("Atualizacao do HSM/Tessel a cada 1 minuto(s)", 15s)) << child->output();
  const auto intervalLogged = Clock::now();
  ASSERT_TRUE(child->waitForOutput("Inicio cruzamento", 60s)) << child->output();
  // The first pause is 9.6 s; a lower bound only, so a slow machine passes.
  EXPECT_GE(Clock::now() - intervalLogged, 8500ms);
  ASSERT_TRUE(child->waitForOutput(separator, 60s)) << child->output();
  std::this_thread::sleep_for(1500ms);  // the addb save follows the separator
  child->signal(SIGTERM);
  ASSERT_TRUE(child->waitForExit(15s));
  EXPECT_EQ(child->exitCode(), 0);

  std::string log = logText();
  for (const Member& m : members_) {
    EXPECT_NE(log.find("Usuario criado no HSM/Tessel [" + m.name + "] [" + m.id + "]"), std::string::npos) << log;
    EXPECT_TRUE(loginAsMember(m)) << m.logon;
  }
  EXPECT_NE(log.find("O usuario [" + leaver + "] foi bloqueado no HSM/Tessel"), std::string::npos) << log;
  EXPECT_EQ(tryLogin(*hsm_, leaver, "pw-leaver"), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(tryLogin(*hsm_, "admin", "pw-admin"), KV_OK);
  EXPECT_EQ(occurrences(log, "Inicio cruzamento"), 1u);
  EXPECT_EQ(stored("addb"), expectedAddb());
  EXPECT_EQ(stored("addb_backup"), "<missing>");
  // Stopped during a pause: the worker acknowledges the stop, then ends.
  const size_t notice = log.rfind("Notificacao de 'shutdown' recebida");
  const size_t cancelled = log.find("As pesquisas no AD foram canceladas");
  ASSERT_NE(cancelled, std::string::npos) << log;
  EXPECT_LT(notice, cancelled);
  EXPECT_GT(notice, log.find(separator));
  EXPECT_LT(cancelled, log.find("Servico parado"));

  // Run 2: back-to-back cycles (interval 0), removal policy in mixed case.
  ASSERT_EQ(blockByHand(*hsm_, members_[1].id), KV_OK);
  writeIni("0", "Yes");
  child = start();
  ASSERT_TRUE(child->waitForOutput("Atualizacao do HSM/Tessel a cada 0 minuto(s)", 15s)) << child->output();
  ASSERT_TRUE(waitForCount(*child, separator, 2, 90s)) << child->output();
  std::this_thread::sleep_for(500ms);
  child->signal(SIGTERM);
  ASSERT_TRUE(child->waitForExit(30s));
  EXPECT_EQ(child->exitCode(), 0);

  log = logText();
  for (const Member& m : members_) {
    EXPECT_NE(log.find("O usuario [" + m.id + "] foi desbloqueado no HSM/Tessel"), std::string::npos) << log;
    EXPECT_TRUE(loginAsMember(m)) << m.logon;  // the hand-blocked one included
  }
  EXPECT_EQ(log.find("Usuario criado no HSM/Tessel"), std::string::npos);
  EXPECT_NE(log.find("O usuario [" + leaver + "] foi removido do HSM/Tessel"), std::string::npos) << log;
  EXPECT_FALSE(hasUser(*hsm_, leaver));
  EXPECT_TRUE(hasUser(*hsm_, "admin"));
  EXPECT_EQ(log.find("[admin]"), std::string::npos);
  EXPECT_EQ(stored("addb"), expectedAddb());
  EXPECT_EQ(stored("addb_backup"), expectedAddb());
  EXPECT_NE(log.find("Quantidade de usuarios em 'addb': 3"), std::string::npos);
  EXPECT_NE(log.find("As pesquisas no AD foram canceladas"), std::string::npos);
}

}  // namespace
