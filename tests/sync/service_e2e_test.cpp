// The real kelvasync binary in console mode against a real slapd and a real
// hsm-emulator, through full update cycles with the service's own timing,
// stopped with SIGTERM. Two runs over the same directory and HSM: the first
// creates the group's users, the second finds and unblocks them.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "child_process.h"
#include "config/config.h"
#include "directory/logon_id.h"
#include "hsm/user_creation.h"
#include "hsm_queries.h"
#include "slapd_fixture.h"
#include "support/service_files.h"

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

// A monitoring plug-in's answer as the plug-in guidelines give it: one line
// "SERVICE STATUS - text", optionally " | " and performance data, each
// item 'label'=value[UOM];[warn];[crit];[min];[max] (a value of U when not
// measured), and the exit code that the status word names.
void expectPluginOutput(const std::string& output, int exitCode) {
  const std::string label = R"(('[^'=]+'|[^' =|]+))";
  const std::string number = R"(-?[0-9]+(\.[0-9]+)?)";
  const std::string item = label + "=(" + number + "|U)(s|ms|us|%|B|KB|MB|TB|c)?(;(" + number + ")?){0,4}";
  static const char* const kWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  ASSERT_TRUE(exitCode >= 0 && exitCode <= 3) << exitCode << ": " << output;
  const std::regex grammar("[A-Z][A-Z-]* " + std::string(kWords[exitCode]) + " - [^|\n]*[^|\n ]( \\| " + item +
                           "( " + item + ")*)?\n");
  EXPECT_TRUE(std::regex_match(output, grammar)) << "exit " << exitCode << ": " << output;
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
    for (const std::string& dn : extraMemberDns(data)) dns.push_back(dn);
    data.addGroup("Tessel", dns);
    data.addGroup("Vazio", {});
    try {
      slapd_ = std::make_unique<kvtest::SlapdServer>(data);
    } catch (const std::exception& e) {
      FAIL() << "slapd: " << e.what();
    }
    std::string error;
    hsm_ = HsmServer::start(HsmServer::Options{}, error);
    ASSERT_NE(hsm_, nullptr) << error;
    ASSERT_EQ(library_.code(), KV_OK);
  }
  // Members of the group beyond members_, as DNs (entries may be added to `data`).
  virtual std::vector<std::string> extraMemberDns(kvtest::DirectoryData&) const { return {}; }

  // `directoryExtra`: more lines of [activedirectory], each ending in CR LF.
  void writeIni(const std::string& intervalMinutes, const std::string& removeUsers,
                const std::string& directoryExtra = "") {
    std::ofstream ini(productDir_ / "kelvasync.ini", std::ios::binary | std::ios::trunc);
    ini << "[activedirectory]\r\nhost=" << slapd_->host() << "\r\nusr=" << kvtest::kServiceAccount
        << "\r\npwd=" << encodeConfigPassword(kvtest::kServicePassword)
        << "\r\ngroup=CN=Tessel,OU=Groups," << kvtest::kSuffix
        << "\r\nupdatefrequencyinminutes=" << intervalMinutes << "\r\n"
        << directoryExtra << "[hsm]\r\nhost=" << hsm_->host() << "\r\nusr=master\r\npwd="
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
  std::string logText() const { return folder_.logText(); }
  std::string stored(const std::string& name) {
    std::string text;
    return readObject(*hsm_, "IntegracaoAD/" + name, text) == KV_OK ? text : "<missing>";
  }
  std::string expectedAddb() const {
    std::string text;
    for (const Member& m : members_) text += m.id + "\r\n" + m.logon + "\r\n" + m.name + "\r\n";
    return text;
  }
  // A kelvasync-check run over the same program-files folder: its exit code
  // and what it printed.
  int runCheck(const std::vector<std::string>& arguments, std::string& output,
               std::map<std::string, std::string> environment = {}) {
    environment.emplace("KELVASYNC_PROGRAM_FILES", root_.string());
    environment.emplace("LDAPTLS_CACERT", slapd_->caFile());
    ChildProcess child(KELVASYNC_CHECK_BINARY, arguments, environment);
    EXPECT_TRUE(child.waitForExit(60s)) << child.output();
    output = child.output();
    // Every answer given as a plug-in follows the plug-in guidelines.
    const auto given = [&](const char* option) {
      return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
    };
    if (given("--nagios") || (given("--status") && !given("--json"))) expectPluginOutput(output, child.exitCode());
    return child.exitCode();
  }
  // What the check must leave exactly as it found it.
  std::string hsmState() {
    std::string state;
    for (const std::string& user : hsmUsers(*hsm_)) state += user + ",";
    state += "|" + stored("addb") + "|" + stored("addb_backup") + "|";
    for (const Member& m : members_) state += loginAsMember(m) ? "1" : "0";
    return state;
  }
  bool loginAsMember(const Member& m) {
    return tryLogin(*hsm_, m.id, initialHsmPassword(m.id)) == KV_OK;
  }

  std::vector<Member> members_;
  std::unique_ptr<kvtest::SlapdServer> slapd_;
  std::unique_ptr<HsmServer> hsm_;
  kvtest::LibraryScope library_;
  kvtest::ProductFolder folder_{"kvsync-e2e"};
  const fs::path root_ = folder_.root(), productDir_ = folder_.product();
};

TEST_F(ServiceEndToEnd, FirstRunCreatesTheGroupAndTheNextRunUnblocksIt) {
  const std::string leaver = convertLogonToHsmUserId("ex-funcionario");
  ASSERT_EQ(createByHand(*hsm_, leaver, "pw-leaver"), KV_OK);
  ASSERT_EQ(createByHand(*hsm_, "admin", "pw-admin"), KV_OK);
  const std::string separator(71, '-');

  // Run 1: an interval of one minute, blocking policy written in upper case.
  // The first cycle comes after the 9.6 s first pause; SIGTERM then arrives
  // during the one-minute pause. Under the unit's umask (0027).
  writeIni("1", "BLOCK");
  const mode_t umaskBefore = ::umask(027);
  auto child = start();
  ::umask(umaskBefore);
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
  // The health beside the log, and what monitoring makes of it.
  std::ifstream statusIn(productDir_ / "data" / "kelvasync.status", std::ios::binary);
  const std::string status((std::istreambuf_iterator<char>(statusIn)), {});
  for (const char* field : {"resultado=completo\n", "membros=3\ncriados=3\ndesbloqueados=0\nbloqueados=1\n",
                            "ultimo_completo_epoch=", "intervalo=60\n"}) {
    EXPECT_NE(status.find(field), std::string::npos) << field << "\n" << status;
  }
  std::string health;
  EXPECT_EQ(runCheck({"--status", "--nagios"}, health), 0) << health;
  EXPECT_EQ(health.rfind("KELVASYNC OK - ultimo ciclo ", 0), 0u) << health;
  EXPECT_NE(health.find(" | idade="), std::string::npos) << health;
  // The status and the metrics hold nothing secret: readable by everyone
  // whatever the umask, so that monitoring needs no group of the service.
  // The users the service blocked stay its own and its group's.
  const auto modeOf = [&](const char* name) {
    return static_cast<unsigned>(fs::status(productDir_ / "data" / name).permissions() & fs::perms::mask);
  };
  EXPECT_EQ(modeOf("kelvasync.status"), 0644u);
  EXPECT_EQ(modeOf("kelvasync.prom"), 0644u);
  EXPECT_EQ(modeOf("kelvasync.blocked"), 0640u);

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

TEST_F(ServiceEndToEnd, OnceRunsOneCycleAtOnceAndItsExitCodeSaysHowItEnded) {
  const auto once = [this](std::map<std::string, std::string> environment = {}) {
    environment.emplace("KELVASYNC_PROGRAM_FILES", root_.string());
    environment.emplace("LDAPTLS_CACERT", slapd_->caFile());
    auto child = std::make_unique<ChildProcess>(KELVASYNC_BINARY, std::vector<std::string>{"--once"}, environment);
    EXPECT_TRUE(child->waitForExit(60s)) << child->output();
    return child;
  };
  EXPECT_EQ(once()->exitCode(), 1);  // no INI
  writeIni("5", "block");
  auto child = once();
  EXPECT_EQ(child->exitCode(), 0) << child->output();
  for (const Member& m : members_) EXPECT_TRUE(loginAsMember(m)) << m.logon;
  // One cycle and no pause before it, in console mode.
  EXPECT_EQ(occurrences(child->output(), "Inicio cruzamento"), 1u);
  EXPECT_NE(child->output().find("Modo console"), std::string::npos);
  EXPECT_EQ(logText().find("Notificacao de 'shutdown' recebida"), std::string::npos);
  // --once records its cycle for monitoring too, and the metrics beside it
  // parse as Prometheus' text format.
  std::string output;
  EXPECT_EQ(runCheck({"--status"}, output), 0) << output;
  const fs::path metrics = productDir_ / "data" / "kelvasync.prom";
  const std::string parsed = runToEnd(
      "/usr/bin/python3",
      {"-c", "import sys\nfrom prometheus_client.parser import text_string_to_metric_families as f\n"
             "print(sorted((s.name, s.labels.get('state', s.labels.get('outcome', '')), s.value) for m in "
             "f(open(sys.argv[1]).read()) for s in m.samples))",
       metrics.string()});
  EXPECT_NE(parsed.find("('kelvasync_members', '', 3.0)"), std::string::npos) << parsed;
  EXPECT_NE(parsed.find("('kelvasync_last_cycle_outcome', 'completo', 1.0)"), std::string::npos) << parsed;

  // A cycle that held departures back (the removal limit) or runs with a
  // name the service does not know is no success: exit 5, and a warning
  // for monitoring, with the states named.
  ASSERT_EQ(createByHand(*hsm_, "A0123456789abcd", "ex-membro"), KV_OK);  // managed, and nobody's
  {
    std::ofstream(productDir_ / "kelvasync.ini", std::ios::binary | std::ios::app)
        << "maxremovals=0\r\nmaxremoval=5\r\n";
  }
  child = once();
  EXPECT_EQ(child->exitCode(), 5) << child->output();
  EXPECT_TRUE(hasUser(*hsm_, "A0123456789abcd"));
  EXPECT_EQ(runCheck({"--status"}, output), 1) << output;
  EXPECT_NE(output.find("retido: limite_remocoes, chaves_desconhecidas"), std::string::npos) << output;
  EXPECT_EQ(runCheck({"--status", "--json"}, output), 1) << output;
  EXPECT_NE(output.find("\"retido\": [\"limite_remocoes\", \"chaves_desconhecidas\"]"), std::string::npos)
      << output;
  writeIni("5", "block");

  const std::string ini = (productDir_ / "kelvasync.ini").string();
  const auto replaceInIni = [&](const std::string& from, const std::string& to) {
    std::ifstream in(ini, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    text.replace(text.find(from), from.size(), to);
    std::ofstream(ini, std::ios::binary | std::ios::trunc) << text;
  };
  const std::string masterPwd = "pwd=" + encodeConfigPassword(kvtest::kMasterPassword);
  replaceInIni(masterPwd, "pwd=" + encodeConfigPassword("errada"));
  EXPECT_EQ(once()->exitCode(), 3);
  EXPECT_NE(logText().find("Causa: o HSM/Tessel em " + hsm_->host() +
                           " aceita conexoes; o login nao foi aceito (confira [hsm] usr e pwd)."),
            std::string::npos)
      << logText();
  // A password longer than the HSM's login takes is refused by the client
  // library before any traffic: the cause says so, not that the account
  // was refused.
  replaceInIni("pwd=" + encodeConfigPassword("errada"), "pwd=" + encodeConfigPassword("senha-de-16-byte"));
  fs::remove(productDir_ / "data" / "kelvasync.log");
  EXPECT_EQ(once()->exitCode(), 3);
  EXPECT_NE(logText().find("Codigo " + std::to_string(KV_ERR_BAD_ARGUMENT) +
                           ". Causa: a senha de [hsm] (pwd) tem 16 bytes, mais que os 15 que o HSM aceita"),
            std::string::npos)
      << logText();
  EXPECT_EQ(logText().find("confira [hsm] usr e pwd"), std::string::npos) << logText();
  replaceInIni("pwd=" + encodeConfigPassword("senha-de-16-byte"), "pwd=" + encodeConfigPassword("errada"));
  // An HSM that takes the connection and never answers: the client library
  // gives up, and the cause says so instead of blaming the account.
  kvtest::SilentListener silent;
  ASSERT_TRUE(silent.ok());
  const std::string silentHost = "127.0.0.1:" + std::to_string(silent.port());
  replaceInIni("host=" + hsm_->host(), "host=" + silentHost);
  fs::remove(productDir_ / "data" / "kelvasync.log");
  EXPECT_EQ(once({{"KELVASYNC_HSM_IO_TIMEOUT_MS", "5000"}})->exitCode(), 3);
  EXPECT_NE(logText().find("Codigo " + std::to_string(KV_ERR_TIMEOUT) + ". Causa: o HSM/Tessel em " + silentHost +
                           " aceita conexoes, mas nao respondeu a tempo (servidor parado ou sobrecarregado?)."),
            std::string::npos)
      << logText();
  EXPECT_EQ(logText().find("confira [hsm] usr e pwd"), std::string::npos) << logText();
  replaceInIni("host=" + silentHost, "host=" + hsm_->host());
  replaceInIni("pwd=" + encodeConfigPassword(kvtest::kServicePassword), "pwd=" + encodeConfigPassword("errada"));
  EXPECT_EQ(once()->exitCode(), 2);
}

TEST_F(ServiceEndToEnd, CheckPrintsTheNextCycleAndChangesNothing) {
  // Ana has a user, blocked by hand; Bruno and Carla have none. A former
  // member's user and an unmanaged admin are on the HSM, and addb holds an
  // older list.
  const std::string leaver = convertLogonToHsmUserId("ex-funcionario");
  ASSERT_EQ(createByHand(*hsm_, members_[0].id, initialHsmPassword(members_[0].id)), KV_OK);
  ASSERT_EQ(blockByHand(*hsm_, members_[0].id), KV_OK);
  ASSERT_EQ(createByHand(*hsm_, leaver, "pw-leaver"), KV_OK);
  ASSERT_EQ(createByHand(*hsm_, "admin", "pw-admin"), KV_OK);
  // The leaver was a member at the last complete read: a departure.
  ASSERT_EQ(writeAddbAccountObject(*hsm_, "addb",
                                   members_[0].id + "\r\nasouza\r\nAna Souza\r\n" + leaver + "\r\nex\r\nEx\r\n"),
            KV_OK);
  writeIni("1", "Block");
  const fs::path ini = productDir_ / "kelvasync.ini";
  fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  const std::string before = hsmState();
  std::string out;
  {
    SessionWindow window(*hsm_);
    EXPECT_EQ(runCheck({}, out), 0) << out;
    EXPECT_EQ(window.loginsSince(), 2u);  // the listing and the addb read, both closed
  }
  EXPECT_EQ(hsmState(), before);
  EXPECT_FALSE(fs::exists(productDir_ / "data" / "kelvasync.log"));
  EXPECT_EQ(out.find(kvtest::kServicePassword), std::string::npos) << out;
  EXPECT_EQ(out.find(kvtest::kMasterPassword), std::string::npos) << out;
  EXPECT_NE(out.find("ok       hsm.pwd: decifra, 11 caracteres"), std::string::npos) << out;
  EXPECT_NE(out.find("ok       activedirectory.pwd: decifra, 7 caracteres"), std::string::npos) << out;
  EXPECT_NE(out.find("ATENCAO: o arquivo pode ser lido por outros usuarios"), std::string::npos) << out;
  EXPECT_NE(out.find("  membros: 3\n"), std::string::npos) << out;
  for (const Member& m : members_)
    EXPECT_NE(out.find("    " + m.logon + " [" + m.name + "] " + m.id + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("IntegracaoAD le 'addb': sim, 2 registros"), std::string::npos) << out;
  EXPECT_NE(out.find("  criar: 2\n    " + members_[1].id + "\n    " + members_[2].id + "\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("  desbloquear: 1\n    " + members_[0].id + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  bloquear: 1\n    " + leaver + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  remover: 0\n"), std::string::npos) << out;
  // The emulator's own accounts (IntegracaoAD among them) and admin.
  EXPECT_NE(out.find("  deixados de lado (nao gerenciados): 5\n    IntegracaoAD\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    admin\n  membros sem identificador: 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("resultado: 0"), std::string::npos) << out;
  EXPECT_NE(out.find("a conta [hsm] usr alcanca os objetos de IntegracaoAD: sim"), std::string::npos) << out;
  EXPECT_EQ(runCheck({"--nagios"}, out), 0) << out;
  EXPECT_EQ(out, "KELVASYNC-CHECK OK - grupo lido (3 membros), HSM lido (7 usuarios); proximo ciclo: criar 2, "
                 "desbloquear 1, bloquear 1, remover 0 | membros=3 nao_lidos=0 criar=2 desbloquear=1 bloquear=1 "
                 "remover=0\n");

  // The same as one JSON document, from an INI only its owner reads.
  fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(runCheck({"--json"}, out), 0) << out;
  const fs::path json = root_ / "check.json";
  std::ofstream(json, std::ios::binary) << out;
  const std::string summary = runToEnd(
      "/usr/bin/python3",
      {"-c",
       "import json,sys; d=json.load(open(sys.argv[1])); p=d['plano']; "
       "print(d['codigoSaida'], d['configuracao']['legivelPorOutros'], len(d['diretorio']['membros']), "
       "p['criar'], p['desbloquear'], p['bloquear'], p['naoGerenciados'][-1])",
       json.string()});
  EXPECT_EQ(summary, "0 False 3 ['" + members_[1].id + "', '" + members_[2].id + "'] ['" + members_[0].id +
                         "'] ['" + leaver + "'] admin\n");
  EXPECT_EQ(hsmState(), before);

  // A removal limit of 0 with one user to block: the guard would trip.
  std::ofstream(ini, std::ios::app) << "maxremovals=0\r\n";
  EXPECT_EQ(runCheck({}, out), 4) << out;
  EXPECT_NE(out.find("segunda passagem nao rodaria: 1 bloqueios ou remocoes de quem saiu do grupo passariam do "
                     "limite maxremovals = 0"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("trava de remocoes em massa: DISPARARIA"), std::string::npos) << out;

  // An empty group while the HSM holds managed users, with no limit: the
  // plan would cost every one of them.
  std::ifstream in(ini, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  text.replace(text.find("CN=Tessel"), 9, "CN=Vazio");
  text.erase(text.find("maxremovals=0\r\n"));
  const fs::path empty = root_ / "vazio.ini";
  std::ofstream(empty, std::ios::binary) << text;
  EXPECT_EQ(runCheck({"--ini", empty.string()}, out), 4) << out;
  EXPECT_NE(out.find("PERIGO: nenhum membro com identificador foi lido no grupo e o HSM tem 2 usuario(s) "
                     "gerenciados"),
            std::string::npos)
      << out;
  EXPECT_EQ(runCheck({"--nagios", "--ini", empty.string()}, out), 2) << out;
  EXPECT_EQ(out.rfind("KELVASYNC-CHECK CRITICAL - PERIGO: nenhum membro com identificador foi lido", 0), 0u) << out;
  // The same file in a folder named in Latin-1 (no UTF-8): opened by the
  // bytes given, not "not found".
  const fs::path latin1 = root_ / "configura\xe7\xe3o";
  fs::create_directories(latin1);
  fs::copy_file(empty, latin1 / "vazio.ini");
  EXPECT_EQ(runCheck({"--ini", (latin1 / "vazio.ini").string()}, out), 4) << out;
  EXPECT_EQ(hsmState(), before);
  EXPECT_FALSE(fs::exists(productDir_ / "data" / "kelvasync.log"));
}

TEST_F(ServiceEndToEnd, CheckNamesWhatFailsWithItsExitCode) {
  std::string out;
  // No INI file, and no data folder: every required key is named, and the
  // missing folder, without which the service would end at once.
  fs::remove(productDir_ / "data");
  EXPECT_EQ(runCheck({}, out), 1) << out;
  EXPECT_NE(out.find("/data NAO EXISTE: o servico terminaria logo ao iniciar"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(productDir_ / "data"));
  EXPECT_NE(out.find("/data NAO EXISTE: o servico terminaria logo ao iniciar; crie-a"), std::string::npos) << out;
  // A `data` that is a link (as the Debian package installs it) to a folder
  // that is gone: the folder to create is the link's target.
  fs::create_directory_symlink(root_ / "logs", productDir_ / "data");
  EXPECT_EQ(runCheck({}, out), 1) << out;
  EXPECT_NE(out.find("/data NAO EXISTE: o servico terminaria logo ao iniciar; eh um link para '" +
                     (root_ / "logs").string() + "', que nao existe; crie essa pasta"),
            std::string::npos)
      << out;
  fs::remove(productDir_ / "data");
  fs::create_directories(productDir_ / "data");
  for (const char* key : {"activedirectory.host", "activedirectory.usr", "activedirectory.pwd",
                          "activedirectory.group", "hsm.host", "hsm.usr", "hsm.pwd"})
    EXPECT_NE(out.find(std::string("AUSENTE  ") + key + ": "), std::string::npos) << key << out;
  EXPECT_NE(out.find("ERRO: o arquivo nao existe"), std::string::npos) << out;

  // Bad values: a pwd that cannot decode, an interval and a log size that
  // are not numbers. The directory and the HSM are still checked.
  writeIni("tres", "yes");
  std::ofstream(productDir_ / "kelvasync.ini", std::ios::app)
      << "[log]\r\nmaxsizemb=10MB\r\nmaxsizmb=1\r\n[hsmm]\r\nhost=x\r\n";
  // The INI as written, with some of its text replaced, as another file.
  const fs::path broken = root_ / "broken.ini";
  const auto writeBroken = [&](const std::vector<std::pair<std::string, std::string>>& edits) {
    std::ifstream in(productDir_ / "kelvasync.ini", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    for (const auto& [from, to] : edits) text.replace(text.find(from), from.size(), to);
    std::ofstream(broken, std::ios::binary | std::ios::trunc) << text;
  };
  const std::string masterPwd = "pwd=" + encodeConfigPassword(kvtest::kMasterPassword);
  const std::string wrongPwd = "pwd=" + encodeConfigPassword("errada");
  writeBroken({{masterPwd, masterPwd + "0"}, {"usr=master", "usr=usuario-longo-demais"}});
  EXPECT_EQ(runCheck({"--ini", broken.string()}, out), 1) << out;
  EXPECT_NE(out.find("INVALIDA hsm.pwd: nao decifra"), std::string::npos) << out;
  EXPECT_NE(out.find("INVALIDA hsm.usr: 'usuario-longo-demais' tem 20 caracteres; o HSM aceita no maximo 15"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("INVALIDA activedirectory.updatefrequencyinminutes: 'tres'"), std::string::npos) << out;
  EXPECT_NE(out.find("INVALIDA log.maxsizemb: '10MB'"), std::string::npos) << out;
  EXPECT_NE(out.find("INVALIDA log.maxsizmb: chave desconhecida, ignorada pelo servico (quis dizer maxsizemb?)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("INVALIDA [hsmm]: secao desconhecida, ignorada pelo servico (quis dizer [hsm]?)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("grupo lido: sim"), std::string::npos) << out;
  EXPECT_NE(out.find("nao verificado: a secao hsm"), std::string::npos) << out;
  EXPECT_EQ(runCheck({"--nagios", "--ini", broken.string()}, out), 1) << out;
  EXPECT_EQ(out.rfind("KELVASYNC-CHECK WARNING - ", 0), 0u) << out;

  writeIni("1", "yes");
  // A data folder the service's account cannot write (read-only here; for
  // root, whom no mode stops, the check runs as nobody) fails the check
  // whose INI is fine otherwise: 1.
  fs::permissions(productDir_ / "data", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  {
    std::vector<std::string> command{KELVASYNC_CHECK_BINARY, "--json"};
    if (geteuid() == 0) command.insert(command.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups"});
    ChildProcess child(geteuid() == 0 ? "/usr/bin/setpriv" : command.front(),
                       std::vector<std::string>(command.begin() + (geteuid() == 0 ? 0 : 1), command.end()),
                       {{"KELVASYNC_PROGRAM_FILES", root_.string()}, {"LDAPTLS_CACERT", slapd_->caFile()}});
    ASSERT_TRUE(child.waitForExit(60s));
    EXPECT_EQ(child.exitCode(), 1) << child.output();
    EXPECT_NE(child.output().find("\"pastaDoLogExiste\": true, \"pastaDoLogGravavel\": false"), std::string::npos)
        << child.output();
  }
  fs::permissions(productDir_ / "data", fs::perms::owner_write, std::filesystem::perm_options::add);

  // The directory refuses the bind: 2, with the service's own message.
  writeBroken({{"pwd=" + encodeConfigPassword(kvtest::kServicePassword), wrongPwd}});
  EXPECT_EQ(runCheck({"--ini", broken.string()}, out), 2) << out;
  EXPECT_NE(out.find("mensagem: Nao foi possivel conectar no Controlador de Dominio (DC)"), std::string::npos)
      << out;
  EXPECT_NE(out.find("usuarios listados: sim"), std::string::npos) << out;
  EXPECT_EQ(out.find("Causa:"), std::string::npos) << out;  // a refused bind is not a network fault

  // A domain controller that cannot be reached: the line names the cause
  // the probe of [activedirectory] host found, as the HSM side does; one
  // that takes the connection and never answers is not blamed on the
  // account. A group that does not exist is named with its DN.
  kvtest::SilentListener silentDirectory;
  ASSERT_TRUE(silentDirectory.ok());
  const std::string silentHost = "127.0.0.1:" + std::to_string(silentDirectory.port());
  const std::string connectionFailed = "mensagem: Nao foi possivel conectar no Controlador de Dominio (DC) (";
  for (const auto& [host, cause] : std::vector<std::pair<std::string, std::string>>{
           {"nao-existe.invalid", "Causa: o nome 'nao-existe.invalid' de [activedirectory] host nao foi resolvido"},
           {"127.0.0.1:1", "Causa: nada aceita conexoes em 127.0.0.1:1 (conexao recusada: o Controlador de Dominio "
                           "(DC) estah ligado e nessa porta?)"},
           {silentHost, "Causa: o Controlador de Dominio (DC) em " + silentHost +
                            " aceita conexoes, mas nao respondeu a tempo"}}) {
    writeBroken({{"host=" + slapd_->host(), "host=" + host}});
    EXPECT_EQ(runCheck({"--ini", broken.string(), "--timeout", "15"}, out), 2) << out;
    const size_t line = out.find(connectionFailed);
    EXPECT_NE(line, std::string::npos) << out;
    const size_t found = out.find(cause, line);
    EXPECT_LT(found, out.find('\n', line)) << host << ": " << out;  // on that line
  }
  writeBroken({{"CN=Tessel,", "CN=Sumido,"}});
  EXPECT_EQ(runCheck({"--ini", broken.string()}, out), 2) << out;
  EXPECT_NE(out.find("Causa: o Grupo [CN=Sumido,OU=Groups," + std::string(kvtest::kSuffix) +
                     "] nao existe no diretorio (confira [activedirectory] group)"),
            std::string::npos)
      << out;

  // Text beyond ASCII saved as UTF-8 would be read as Windows-1252, unless
  // the file starts with the UTF-8 mark, as the service's reader agrees.
  writeBroken({{"[hsm]", "; Opera\xC3\xA7\xC3\xA3o\r\n[hsm]"}});
  runCheck({"--ini", broken.string()}, out);
  EXPECT_NE(out.find("o arquivo parece UTF-8"), std::string::npos) << out;
  {
    std::ifstream in(broken, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(broken, std::ios::binary | std::ios::trunc) << "\xEF\xBB\xBF" << text;
  }
  runCheck({"--ini", broken.string()}, out);
  EXPECT_EQ(out.find("parece UTF-8"), std::string::npos) << out;

  // An [hsm] account that may manage users but not reach IntegracaoAD's
  // objects: every cycle would fail to save addb. Told by a read in the
  // listing's session; nothing is written.
  {
    kvtest::ScopedSession session;
    ASSERT_EQ(session.open(hsm_->port(), "master", kvtest::kMasterPassword), KV_OK);
    ASSERT_EQ(createHsmUser(session.handle, KV_PERM_USER_ADMIN | 0x4F, "sincroniza", "senha-op"), KV_OK);
  }
  const std::string addbBefore = stored("addb");
  writeBroken({{"usr=master", "usr=sincroniza"}, {masterPwd, "pwd=" + encodeConfigPassword("senha-op")}});
  EXPECT_EQ(runCheck({"--ini", broken.string()}, out), 3) << out;
  EXPECT_NE(out.find("a conta [hsm] usr alcanca os objetos de IntegracaoAD: NAO (Codigo " +
                     std::to_string(KV_ERR_ACCESS_DENIED) + ")"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("A conta [hsm] usr (sincroniza) nao pode ler os objetos de IntegracaoAD"), std::string::npos)
      << out;
  EXPECT_EQ(stored("addb"), addbBefore);

  // The [hsm] password as a systemd credential that only the service
  // receives: the login is not tried, the HSM's host is probed, and the
  // command that tries it as the service would comes from the unit's
  // drop-in. A plug-in cannot tell the login's state: UNKNOWN. An HSM that
  // does not listen is named as such: 3, CRITICAL.
  const fs::path units = root_ / "units";
  fs::create_directories(units / "kelvasync.service.d");
  std::ofstream(units / "kelvasync.service") << "[Service]\nUser=kelvasync\n";
  std::ofstream(units / "kelvasync.service.d" / "hsm-pwd.conf") << "[Service]\nLoadCredential=hsm-pwd:/etc/kv/hsm\n";
  const std::map<std::string, std::string> withUnit{{"KELVASYNC_UNIT_DIR", units.string()}};
  writeBroken({{masterPwd, "pwd=credential:hsm-pwd"}});
  EXPECT_EQ(runCheck({"--ini", broken.string()}, out, withUnit), 6) << out;
  EXPECT_NE(out.find("  conexao: o HSM/Tessel em " + hsm_->host() + " aceita conexoes\n  login nao tentado: a senha "
                     "eh a credencial do systemd 'hsm-pwd', que so o servico recebe; para tenta-lo como o servico, "
                     "como root: systemd-run --quiet --pipe --wait --collect -p User=kelvasync -E "
                     "KELVASYNC_PROGRAM_FILES=" + root_.string() + " -p LoadCredential=hsm-pwd:/etc/kv/hsm " +
                     KELVASYNC_CHECK_BINARY + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(runCheck({"--nagios", "--ini", broken.string()}, out, withUnit), 3) << out;
  EXPECT_EQ(out.rfind("KELVASYNC-CHECK UNKNOWN - login no HSM nao tentado: a senha eh a credencial do systemd "
                      "'hsm-pwd', que so o servico recebe; grupo lido (3 membros); o HSM/Tessel em ",
                      0),
            0u)
      << out;
  // With the credential handed over, as systemd does for the service, the
  // same INI logs in.
  const fs::path credentials = root_ / "credentials";
  fs::create_directories(credentials);
  std::ofstream(credentials / "hsm-pwd") << kvtest::kMasterPassword;
  fs::permissions(credentials / "hsm-pwd", fs::perms::owner_read);
  EXPECT_EQ(runCheck({"--ini", broken.string()}, out,
                     {{"KELVASYNC_UNIT_DIR", units.string()}, {"CREDENTIALS_DIRECTORY", credentials.string()}}),
            0)
      << out;
  writeBroken({{masterPwd, "pwd=credential:hsm-pwd"}, {"host=" + hsm_->host(), "host=127.0.0.1:1"}});
  EXPECT_EQ(runCheck({"--ini", broken.string()}, out, withUnit), 3) << out;
  EXPECT_NE(out.find("  conexao: nada aceita conexoes em 127.0.0.1:1 (conexao recusada"), std::string::npos) << out;
  EXPECT_EQ(runCheck({"--nagios", "--ini", broken.string()}, out, withUnit), 2) << out;
  EXPECT_EQ(out.rfind("KELVASYNC-CHECK CRITICAL - o HSM nao pode ser lido: Nao foi possivel conectar ao HSM. Causa: "
                      "nada aceita conexoes em 127.0.0.1:1",
                      0),
            0u)
      << out;

  // The HSM refuses the [hsm] account: 3, with the code.
  writeBroken({{masterPwd, wrongPwd}});
  EXPECT_EQ(runCheck({"--ini", broken.string()}, out), 3) << out;
  EXPECT_NE(out.find("Nao foi possivel listar os usuarios do HSM com a conta [hsm] usr. Codigo " +
                     std::to_string(KV_ERR_LOGIN_REFUSED) + ". Causa: o HSM/Tessel em " + hsm_->host() +
                     " aceita conexoes; o login nao foi aceito (confira [hsm] usr e pwd)"),
            std::string::npos)
      << out;

  // An HSM that takes the connection and never answers: the library's
  // waits are cut to a fifth of --timeout, and the cause says the HSM did
  // not answer, not that the account was refused. As a Nagios plug-in:
  // CRITICAL.
  kvtest::SilentListener silent;
  ASSERT_TRUE(silent.ok());
  writeBroken({{"host=" + hsm_->host(), "host=127.0.0.1:" + std::to_string(silent.port())}});
  EXPECT_EQ(runCheck({"--ini", broken.string(), "--timeout", "10"}, out), 3) << out;
  EXPECT_NE(out.find("Nao foi possivel conectar ao HSM para listar os usuarios. Codigo " +
                     std::to_string(KV_ERR_TIMEOUT) + ". Causa: o HSM/Tessel em 127.0.0.1:" +
                     std::to_string(silent.port()) + " aceita conexoes, mas nao respondeu a tempo"),
            std::string::npos)
      << out;
  EXPECT_EQ(runCheck({"--nagios", "--ini", broken.string(), "--timeout", "10"}, out), 2) << out;
  EXPECT_EQ(out.rfind("KELVASYNC-CHECK CRITICAL - o HSM nao pode ser lido: Nao foi possivel conectar ao HSM", 0), 0u)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

  // With a client library that would wait a minute: --timeout ends the run
  // with 5 and names the step, as text and as JSON (CRITICAL for Nagios).
  const std::map<std::string, std::string> patientLibrary{{"KELVASYNC_HSM_IO_TIMEOUT_MS", "60000"}};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runCheck({"--ini", broken.string(), "--timeout", "3"}, out, patientLibrary), 5) << out;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_NE(out.find("tempo limite de 3 s esgotado na etapa HSM"), std::string::npos) << out;
  EXPECT_EQ(runCheck({"--json", "--ini", broken.string(), "--timeout", "3"}, out, patientLibrary), 5) << out;
  EXPECT_NE(out.find("\"etapa\": \"HSM\""), std::string::npos) << out;
  EXPECT_EQ(runCheck({"--nagios", "--ini", broken.string(), "--timeout", "3"}, out, patientLibrary), 2) << out;
  EXPECT_EQ(out, "KELVASYNC-CHECK CRITICAL - tempo limite de 3 s esgotado na etapa HSM (sem resposta)\n");
  EXPECT_FALSE(fs::exists(productDir_ / "data" / "kelvasync.log"));
}

TEST_F(ServiceEndToEnd, CertificateIsVerifiedWhateverLdaprcSays) {
  // The server's CA is not named anywhere, and both a working-directory
  // ldaprc and the environment ask libldap not to check certificates.
  writeIni("1", "yes");
  const fs::path work = root_ / "work";
  fs::create_directories(work);
  std::ofstream(work / "ldaprc") << "TLS_REQCERT never\n";
  const std::map<std::string, std::string> environment{{"KELVASYNC_PROGRAM_FILES", root_.string()},
                                                        {"LDAPTLS_CACERT", ""},
                                                        {"LDAPTLS_REQCERT", "never"},
                                                        {"NOTIFY_SOCKET", ""}};
  const auto inWork = [&](const std::string& program, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-C", work.string(), program});
    return arguments;
  };
  // They would switch it off for any other libldap client.
  EXPECT_NE(runToEnd("/usr/bin/env",
                     inWork("ldapsearch", {"-ZZ", "-x", "-H", "ldap://" + slapd_->host(), "-s", "base", "-b", "",
                                           "namingContexts"}),
                     environment)
                .find("namingContexts: " + std::string(kvtest::kSuffix)),
            std::string::npos);

  const std::string hint = "certificado do servidor nao verificado? a CA que o emitiu deve estar no arquivo de "
                           "[activedirectory] cacert";
  ChildProcess service("/usr/bin/env", inWork(KELVASYNC_BINARY, {"-c"}), environment);
  ASSERT_TRUE(service.waitForOutput("Nao foi possivel conectar no Controlador de Dominio", 40s)) << service.output();
  service.signal(SIGTERM);
  ASSERT_TRUE(service.waitForExit(30s));
  const std::string log = logText();
  EXPECT_NE(log.find(hint), std::string::npos) << log;
  EXPECT_EQ(log.find("Inicio cruzamento"), std::string::npos) << log;

  ChildProcess check("/usr/bin/env", inWork(KELVASYNC_CHECK_BINARY, {}), environment);
  ASSERT_TRUE(check.waitForExit(60s));
  EXPECT_EQ(check.exitCode(), 2) << check.output();
  EXPECT_NE(check.output().find(hint), std::string::npos) << check.output();

  // Nor may an ldaprc pick the CA: whoever can write the folder a tool runs
  // from would choose the trust anchor.
  std::ofstream(work / "ldaprc") << "TLS_CACERT " << slapd_->caFile() << "\nTLS_REQCERT never\n";
  ChildProcess ignored("/usr/bin/env", inWork(KELVASYNC_CHECK_BINARY, {}), environment);
  ASSERT_TRUE(ignored.waitForExit(60s));
  EXPECT_EQ(ignored.exitCode(), 2) << ignored.output();

  // One place serves every mode: the CA named in the INI file, with nothing
  // in the environment, for the check and a cycle alike.
  writeIni("1", "yes", "cacert=" + slapd_->caFile() + "\r\n");
  ChildProcess trusted("/usr/bin/env", inWork(KELVASYNC_CHECK_BINARY, {}), environment);
  ASSERT_TRUE(trusted.waitForExit(60s));
  EXPECT_EQ(trusted.exitCode(), 0) << trusted.output();
  EXPECT_NE(trusted.output().find("grupo lido: sim"), std::string::npos) << trusted.output();
  ChildProcess once("/usr/bin/env", inWork(KELVASYNC_BINARY, {"--once"}), environment);
  ASSERT_TRUE(once.waitForExit(60s));
  EXPECT_EQ(once.exitCode(), 0) << once.output();

  // A CA file that cannot be read is named at start and fails the check.
  writeIni("1", "yes", "cacert=" + (root_ / "nao-existe.pem").string() + "\r\n");
  ChildProcess missing("/usr/bin/env", inWork(KELVASYNC_CHECK_BINARY, {}), environment);
  ASSERT_TRUE(missing.waitForExit(60s));
  EXPECT_EQ(missing.exitCode(), 1) << missing.output();
  ChildProcess failing("/usr/bin/env", inWork(KELVASYNC_BINARY, {"--once"}), environment);
  ASSERT_TRUE(failing.waitForExit(60s));
  EXPECT_EQ(failing.exitCode(), 2) << failing.output();
  EXPECT_NE(logText().find("[Erro] O arquivo da autoridade certificadora (CA) do AD '" +
                           (root_ / "nao-existe.pem").string() + "' ([activedirectory] cacert) nao pode ser lido"),
            std::string::npos);
}

// A member whose entry the service account cannot find: nobody may lose a
// user while the group is read only in part.
class ServiceEndToEndWithUnreadableMember : public ServiceEndToEnd {
 protected:
  std::vector<std::string> extraMemberDns(kvtest::DirectoryData&) const override {
    return {std::string("cn=Fantasma,ou=Users,") + kvtest::kSuffix};
  }
};

TEST_F(ServiceEndToEndWithUnreadableMember, CheckSaysNobodyWouldBeRemoved) {
  const std::string leaver = convertLogonToHsmUserId("ex-funcionario");
  ASSERT_EQ(createByHand(*hsm_, leaver, "pw-leaver"), KV_OK);
  writeIni("1", "yes");
  std::string out;
  EXPECT_EQ(runCheck({}, out), 2) << out;
  EXPECT_NE(out.find("  membros: 3\n"), std::string::npos) << out;
  EXPECT_NE(out.find("membros que nao puderam ser lidos: 1"), std::string::npos) << out;
  EXPECT_NE(out.find("segunda passagem nao rodaria: 1 membro(s) nao puderam ser lidos"), std::string::npos) << out;
  EXPECT_NE(out.find("  criar: 3\n"), std::string::npos) << out;
  EXPECT_TRUE(hasUser(*hsm_, leaver));
}

// A member whose cn holds CR LF, a forged log line and terminal escapes (ESC,
// and U+009B, CSI among the C1 controls), and one whose cn and logon are
// Greek capitals, which narrow to bytes 0x80..0x9F.
class ServiceEndToEndWithForgingName : public ServiceEndToEnd {
 protected:
  std::vector<std::string> extraMemberDns(kvtest::DirectoryData& data) const override {
    return {data.add(std::string("sn=Eva,ou=Users,") + kvtest::kSuffix, {"user"},
                     {{"cn", "Eva\r\n07/12/2026 10:00:00 [1] [Erro] forjada\x1b[2J\x7f\xc2\x9b" "31m\xc2\x85"},
                      {"sn", "Eva"},
                      {"sAMAccountName", "eva"}}),
            // cn "Όλγα" (low bytes 8C BB B3 B1), logon "ΟΛΓΑ" (9F 9B 93 91).
            data.add(std::string("sn=Olga,ou=Users,") + kvtest::kSuffix, {"user"},
                     {{"cn", "\xce\x8c\xce\xbb\xce\xb3\xce\xb1"},
                      {"sn", "Olga"},
                      {"sAMAccountName", "\xce\x9f\xce\x9b\xce\x93\xce\x91"}})};
  }
};

TEST_F(ServiceEndToEndWithForgingName, NamesKeepTheirBytesInTheLogAndShowNoControlAnywhere) {
  writeIni("1", "yes");
  const std::string eva = convertLogonToHsmUserId("eva");
  const std::string olga = convertLogonToHsmUserId("\x9F\x9B\x93\x91");
  // The log holds the narrowed bytes as they are; only the C0 controls and
  // DEL become '?'.
  ChildProcess once(KELVASYNC_BINARY, {"--once"},
                    {{"KELVASYNC_PROGRAM_FILES", root_.string()}, {"LDAPTLS_CACERT", slapd_->caFile()}});
  ASSERT_TRUE(once.waitForExit(60s)) << once.output();
  EXPECT_EQ(once.exitCode(), 0) << once.output();
  const std::string log = logText();
  EXPECT_NE(log.find("membros: [\x8C\xBB\xB3\xB1] [\x9F\x9B\x93\x91]\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("membros: [Eva??07/12/2026 10:00:00 [1] [Erro] forjada?[2J?\x9B" "31m\x85] [eva]\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(stored("addb").find(olga + "\r\n\x9F\x9B\x93\x91\r\n\x8C\xBB\xB3\xB1\r\n"), std::string::npos);
  // The console and the check decode them as Windows-1252: letters and
  // marks (Œ»³± and Ÿ›“‘), never U+0080..U+009F.
  const std::string greekCn = "\xc5\x92\xc2\xbb\xc2\xb3\xc2\xb1", greekLogon = "\xc5\xb8\xe2\x80\xba\xe2\x80\x9c\xe2\x80\x98";
  std::string out;
  EXPECT_EQ(runCheck({}, out), 0) << out;
  for (const std::string& shown : {once.output(), out}) {
    EXPECT_NE(shown.find("[" + greekCn + "]"), std::string::npos) << shown;
    EXPECT_NE(shown.find(greekLogon), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x1b'), std::string::npos);
    for (char c1 = '\x80'; c1 != '\xa0'; ++c1) EXPECT_EQ(shown.find(std::string("\xc2") + c1), std::string::npos);
  }
  EXPECT_NE(out.find("    eva [Eva??07/12/2026 10:00:00 [1] [Erro] forjada?[2J?\xe2\x80\xba" "31m\xe2\x80\xa6] " + eva +
                     "\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("    " + greekLogon + " [" + greekCn + "] " + olga + "\n"), std::string::npos) << out;
  EXPECT_EQ(runCheck({"--json"}, out), 0) << out;
  EXPECT_NE(out.find("\"nome\": \"Eva\\r\\n07/12/2026 10:00:00 [1] [Erro] forjada\\u001b[2J\\u007f\xe2\x80\xba" "31m\xe2\x80\xa6\""),
            std::string::npos)
      << out;
}

}  // namespace
