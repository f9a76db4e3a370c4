// The real kelvasync binary as a process: console mode, service mode outside
// and under a (fake) systemd, and installation into a temporary unit folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "support/service_files.h"
#include "config/config.h"
#include "platform/settings.h"
#include "slapd_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kBinary = KELVASYNC_BINARY;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The message part of each log line, after checking the line's layout:
// "dd/mm/yyyy hh:mm:ss [thread] [label] message" ended by CR LF.
std::vector<std::string> logMessages(const std::string& text) {
  std::vector<std::string> messages;
  for (const kvtest::LoggedLine& line : kvtest::parseLog(text)) {
    const bool known = line.label == "Info" || line.label == "Erro" || line.label == "Atencao" || line.label == "Console";
    EXPECT_TRUE(line.wellFormed && known) << "malformed log line: " << line.message;
    if (line.wellFormed) messages.push_back(line.message);
  }
  return messages;
}

bool containsInOrder(const std::vector<std::string>& haystack, const std::vector<std::string>& needles) {
  size_t at = 0;
  for (const auto& line : haystack) {
    if (at < needles.size() && line == needles[at]) ++at;
  }
  return at == needles.size();
}

const std::vector<std::string> kStartConsole = {
    "Log iniciado",
    "Versao deste servico 1.0.5 (maior, menor, revisao)",
    "Esse processo estah executando com baixa prioridade de CPU",
    "Modo console. Pressione e segure a tecla ESC para cancelar a execucao",
    "Variaveis inicializadas"};
const std::vector<std::string> kStopLines = {
    "Inicio da requisicao para termino do servico", "Notificacao de 'shutdown' recebida",
    "Todas as funcoes foram notificadas para termino do servico", "Servico em modo de encerramento"};
const std::vector<std::string> kShutdown = {"Servico parado", "Variaveis finalizadas", "Log parado"};

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("kvproc-" + std::to_string(getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    dataDir_ = kvtest::productFolderUnder(root_ / "pf") / "data";
    fs::create_directories(dataDir_);
    environment_ = {{"KELVASYNC_PROGRAM_FILES", (root_ / "pf").string()},
                    {"KELVASYNC_UNIT_DIR", (root_ / "units").string()},
                    {"NOTIFY_SOCKET", ""}};
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string logText() const {
    std::ifstream in(dataDir_ / "kelvasync.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path root_, dataDir_;
  std::map<std::string, std::string> environment_;
};

TEST_F(ProcessTest, ConsoleRunLogsStartUpAndStopsOnTerminationSignals) {
  for (int stopSignal : {SIGTERM, SIGINT}) {
    fs::remove(dataDir_ / "kelvasync.log");
    ChildProcess child(kBinary, {"-c"}, environment_);
    ASSERT_TRUE(child.waitForOutput("Variaveis inicializadas", 10s)) << child.output();
    child.signal(stopSignal);
    // A second Ctrl+C once the stop is under way is ignored: the run still
    // ends after its current step, with one set of stop lines.
    ASSERT_TRUE(child.waitForOutput(kStopLines[2], 10s)) << child.output();
    child.signal(stopSignal);
    ASSERT_TRUE(child.waitForExit(10s));
    EXPECT_EQ(child.exitCode(), 0);

    const auto messages = logMessages(logText());
    EXPECT_TRUE(containsInOrder(messages, kStartConsole));
    EXPECT_TRUE(containsInOrder(messages, kStopLines));
    EXPECT_EQ(std::count(messages.begin(), messages.end(), kStopLines[0]), 1);
    EXPECT_EQ(std::vector<std::string>(messages.end() - 3, messages.end()), kShutdown);
    EXPECT_NE(std::find_if(messages.begin(), messages.end(),
                           [](const std::string& m) { return m.rfind("Para atendimento de suporte envie e-mail para '", 0) == 0; }),
              messages.end());

    // The console shows the banner and every log line as written to the file.
    const std::string& out = child.output();
    EXPECT_NE(out.find("Karvell Networks - Serviço KELVASYNC executando em modo console.\n"), std::string::npos);
    EXPECT_NE(out.find("Página de Código: "), std::string::npos);
    EXPECT_NE(out.find("Todo o LOG mostrado será salvo normalmente no arquivo de LOGs.\n"), std::string::npos);
    EXPECT_NE(out.find(logText()), std::string::npos);
  }
}

TEST_F(ProcessTest, EscapeOnTheTerminalStopsAConsoleRun) {
  ChildProcess child(kBinary, {"-c"}, environment_, Terminal::Foreground);
  ASSERT_TRUE(child.waitForOutput("Variaveis inicializadas", 10s)) << child.output();
  // Other keys do nothing, those whose sequences begin with ESC included:
  // arrows (also with Ctrl), Home/End, Insert, F1 and F5, Alt+a.
  for (const char* key : {"abc", "\x1b[A", "\x1b[1;5C", "\x1b[H", "\x1b[F", "\x1b[2~", "\x1bOP", "\x1b[15~", "\x1b" "a"}) {
    child.writeToTerminal(key);
    std::this_thread::sleep_for(100ms);
  }
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(child.output().find("A tecla ESC foi pressionada"), std::string::npos);
  child.writeToTerminal("\x1b");
  ASSERT_TRUE(child.waitForExit(10s)) << child.output();
  EXPECT_EQ(child.exitCode(), 0);
  struct termios mode {};
  ASSERT_EQ(tcgetattr(child.terminalFd(), &mode), 0);
  EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));  // restored at exit
  const auto messages = logMessages(logText());
  EXPECT_TRUE(containsInOrder(messages, {"A tecla ESC foi pressionada", "Notificacao de 'shutdown' recebida",
                                         "Servico em modo de encerramento", "Servico parado",
                                         "Variaveis finalizadas", "Log parado"}));
  EXPECT_TRUE(std::find(messages.begin(), messages.end(), "Inicio da requisicao para termino do servico") ==
              messages.end());
}

TEST_F(ProcessTest, ABackgroundConsoleRunLeavesItsTerminalAlone) {
  ChildProcess child(kBinary, {"-c"}, environment_, Terminal::Background);
  ASSERT_TRUE(child.waitForOutput("Variaveis inicializadas", 10s)) << child.output();
  child.writeToTerminal("\x1b");  // input for the foreground, not for this job
  std::this_thread::sleep_for(1500ms);
  struct termios mode {};
  ASSERT_EQ(tcgetattr(child.terminalFd(), &mode), 0);
  EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  EXPECT_EQ(child.output().find("A tecla ESC foi pressionada"), std::string::npos);
  child.signal(SIGTERM);
  ASSERT_TRUE(child.waitForExit(10s)) << child.output();
  EXPECT_EQ(child.exitCode(), 0);
  EXPECT_TRUE(containsInOrder(logMessages(logText()), kStopLines));
}

TEST_F(ProcessTest, ServiceModeOutsideSystemdEndsAtOnceWithTheShutdownLines) {
  std::map<std::string, std::string> otherJournal = environment_;
  otherJournal["JOURNAL_STREAM"] = "1:1";
  ChildProcess child(kBinary, {}, otherJournal);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(child.waitForExit(10s));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(child.exitCode(), 9);  // not started by the service manager
  EXPECT_LT(took, 2s);
  // Standard error says what to type instead; the Erro line goes there too,
  // as every Atencao and Erro line of service mode does, without the
  // journal's priority prefix: standard error is no journal here (a
  // JOURNAL_STREAM that names another file does not count).
  EXPECT_NE(child.output().find("kelvasync: este processo nao foi iniciado pelo gerenciador de servicos (Windows ou "
                                "systemd); para rodar num terminal use -c, e para um unico ciclo --once\n"),
            std::string::npos)
      << child.output();
  EXPECT_NE(child.output().find("[Erro] O processo nao foi iniciado pelo gerenciador de servicos; para rodar num "
                                "terminal use -c\n"),
            std::string::npos)
      << child.output();
  EXPECT_EQ(child.output().find('<'), std::string::npos) << child.output();
  EXPECT_EQ(splitLines(child.output()).size(), 2u) << child.output();

  // Standard error that is the journal (JOURNAL_STREAM names its device and
  // inode): each line with its priority, the start and stop lines too.
  fs::remove(dataDir_ / "kelvasync.log");
  const std::string journaled = runToEnd(
      "/bin/sh", {"-c", "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2); exec \"$0\"", kBinary}, environment_);
  const auto journalLines = splitLines(journaled);
  for (const std::string& line : {std::string("<6>"), std::string("<3>")}) {
    EXPECT_TRUE(std::any_of(journalLines.begin(), journalLines.end(),
                            [&](const std::string& l) { return l.rfind(line, 0) == 0; }))
        << journaled;
  }
  const auto withPriority = [&](const std::string& priority, const std::string& message) {
    return std::any_of(journalLines.begin(), journalLines.end(), [&](const std::string& l) {
      return l.rfind(priority, 0) == 0 && l.size() > message.size() &&
             l.compare(l.size() - message.size(), message.size(), message) == 0;
    });
  };
  for (const char* message : {"[Info] Log iniciado", "[Info] Servico iniciado", "[Info] Variaveis inicializadas",
                              "[Info] Servico parado", "[Info] Log parado"})
    EXPECT_TRUE(withPriority("<6>", message)) << message << "\n" << journaled;
  EXPECT_TRUE(withPriority("<3>", "[Erro] O processo nao foi iniciado pelo gerenciador de servicos; para rodar num "
                                  "terminal use -c"))
      << journaled;
  // The log file's bytes are those of a run without the journal.
  EXPECT_EQ(logText().find('<'), std::string::npos);
  const auto messages = logMessages(logText());
  EXPECT_TRUE(containsInOrder(messages, {"Log iniciado", "Servico iniciado", "Variaveis inicializadas",
                                         "Servico parado", "Variaveis finalizadas", "Log parado"}));
  EXPECT_TRUE(std::find(messages.begin(), messages.end(), "Notificacao para continuar o servico recebida") ==
              messages.end());
}

TEST_F(ProcessTest, LogIsRotatedAtTheSizeTheIniAllows) {
  const fs::path ini = dataDir_.parent_path() / "kelvasync.ini";
  // A log one line short of 1 MB: the run's first line starts a new file.
  const std::string filler = std::string(1024 * 1024 - 20, 'x') + "\r\n";
  std::ofstream(dataDir_ / "kelvasync.log", std::ios::binary) << filler;
  std::ofstream(ini, std::ios::binary) << "[log]\r\nmaxsizemb=1\r\n";
  ChildProcess child(kBinary, {}, environment_);
  ASSERT_TRUE(child.waitForExit(10s));
  std::ifstream rotated(dataDir_ / "kelvasync.1.log", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(rotated), {}), filler);
  auto messages = logMessages(logText());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "Log iniciado");
  EXPECT_EQ(messages.back(), "Log parado");

  // An unusable value is reported once and leaves the log unlimited.
  std::ofstream(ini, std::ios::binary | std::ios::trunc) << "[log]\r\nmaxsizemb=1 MB\r\n";
  std::ofstream(dataDir_ / "kelvasync.log", std::ios::binary | std::ios::trunc) << filler;
  ChildProcess second(kBinary, {}, environment_);
  ASSERT_TRUE(second.waitForExit(10s));
  const std::string grown = logText();
  ASSERT_GT(grown.size(), filler.size());
  EXPECT_TRUE(grown.compare(0, filler.size(), filler) == 0);  // no rotation
  messages = logMessages(grown.substr(filler.size()));
  EXPECT_EQ(std::count(messages.begin(), messages.end(),
                       "O valor de maxsizemb da secao log (1 MB) nao eh um numero de megabytes valido; o log nao "
                       "serah limitado"),
            1);
  EXPECT_FALSE(fs::exists(dataDir_ / "kelvasync.2.log"));
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~NotifySocket() { close(fd_); }
  // Collects messages until one contains `text` or the time runs out.
  bool collectUntil(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      char buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        messages.emplace_back(buffer, static_cast<size_t>(n));
        if (messages.back().find(text) != std::string::npos) return true;
      }
    }
    return false;
  }
  std::vector<std::string> messages;

 private:
  fs::path path_;
  int fd_ = -1;
};

TEST_F(ProcessTest, ServiceModeUnderSystemdReportsTheStatusSequence) {
  NotifySocket notify(root_ / "notify.sock");
  environment_["NOTIFY_SOCKET"] = (root_ / "notify.sock").string();
  ChildProcess child(kBinary, {}, environment_);
  // The watcher re-reports once a second; none of those repeats reaches
  // systemd, which hears only what changed.
  ASSERT_TRUE(notify.collectUntil("READY=1", 10s)) << child.output();
  EXPECT_FALSE(notify.collectUntil("STATUS", 2500ms));
  child.signal(SIGTERM);
  // Further stop signals while the stop is under way are ignored (no more
  // stop lines, no more reports), as the Windows service manager refuses a
  // second stop.
  ASSERT_TRUE(notify.collectUntil("STATUS=parando", 10s));
  child.signal(SIGINT);
  child.signal(SIGTERM);
  ASSERT_TRUE(notify.collectUntil("STATUS=parado", 10s));
  ASSERT_TRUE(child.waitForExit(10s));
  EXPECT_EQ(child.exitCode(), 0);
  // Each state once, however often the service re-reported it.
  EXPECT_EQ(notify.messages, (std::vector<std::string>{"STATUS=iniciando", "READY=1\nSTATUS=em execucao",
                                                       "STOPPING=1\nSTATUS=parando", "STOPPING=1\nSTATUS=parado"}));

  const auto messages = logMessages(logText());
  EXPECT_TRUE(containsInOrder(messages, {"Servico iniciado", "Variaveis inicializadas",
                                         "Notificacao para continuar o servico recebida"}));
  EXPECT_TRUE(containsInOrder(messages, {"Inicio da requisicao para termino do servico",
                                         "Notificacao de 'shutdown' recebida",
                                         "Todas as funcoes foram notificadas para termino do servico"}));
  EXPECT_TRUE(containsInOrder(messages, {"Servico em modo de encerramento", "Servico parado",
                                         "Variaveis finalizadas", "Log parado"}));
  EXPECT_EQ(std::count(messages.begin(), messages.end(), kStopLines[0]), 1);
}

// A stop sent at any moment of the start-up, before the handler exists or
// while serviceMain starts, ends the run cleanly. Ten runs at a time; every
// other one is stopped right after its first status report, when the
// handler exists but serviceMain has yet to clear the stop flag.
TEST_F(ProcessTest, AStopSentWhileTheServiceStartsIsNeverLost) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delayMicroseconds(0, 50000);
  for (int batch = 0; batch < 3; ++batch) {
    struct Run {
      fs::path programFiles;
      std::unique_ptr<NotifySocket> notify;
      std::unique_ptr<ChildProcess> child;
      int delay = 0;
    };
    std::vector<Run> runs(10);
    for (size_t i = 0; i < runs.size(); ++i) {
      Run& run = runs[i];
      const fs::path folder = root_ / std::to_string(i);
      run.programFiles = folder / "pf";
      fs::remove_all(folder);
      fs::create_directories(kvtest::productFolderUnder(run.programFiles) / "data");
      run.notify = std::make_unique<NotifySocket>(folder / "notify.sock");
      auto environment = environment_;
      environment["KELVASYNC_PROGRAM_FILES"] = run.programFiles.string();
      environment["NOTIFY_SOCKET"] = (folder / "notify.sock").string();
      run.delay = i % 2 == 0 ? delayMicroseconds(random) : -1;
      run.child = std::make_unique<ChildProcess>(kBinary, std::vector<std::string>{}, environment);
      if (run.delay >= 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(run.delay));
      } else {
        ASSERT_TRUE(run.notify->collectUntil("STATUS=iniciando", 10s));
      }
      run.child->signal(SIGTERM);
    }
    for (Run& run : runs) {
      SCOPED_TRACE(run.delay >= 0 ? "SIGTERM " + std::to_string(run.delay) + " us after the start"
                                  : std::string("SIGTERM after the first status report"));
      ASSERT_TRUE(run.child->waitForExit(15s)) << "the stop was lost";
      std::ifstream in(kvtest::productFolderUnder(run.programFiles) / "data" / "kelvasync.log",
                       std::ios::binary);
      const auto messages = logMessages(std::string(std::istreambuf_iterator<char>(in), {}));
      if (run.child->exitCode() == 128 + SIGTERM) {
        // Only before the program took its first step.
        EXPECT_TRUE(messages.empty());
        continue;
      }
      EXPECT_EQ(run.child->exitCode(), 0);
      ASSERT_GE(messages.size(), 3u);
      EXPECT_EQ(std::vector<std::string>(messages.end() - 3, messages.end()), kShutdown);
      if (std::find(messages.begin(), messages.end(), "Notificacao para continuar o servico recebida") !=
          messages.end()) {
        EXPECT_TRUE(run.notify->collectUntil("STATUS=parado", 2s));
      }
    }
  }
}

TEST_F(ProcessTest, AStopEndsTheRunEvenInsideADirectoryCallThatNeverReturns) {
  // A directory that accepts the connection and never answers; a console
  // run and a service run, each with its own folder, stopped once their
  // first cycle has begun (after the 9.6 s first pause).
  NotifySocket notify(root_ / "notify.sock");
  std::vector<std::unique_ptr<kvtest::SilentServer>> directories;
  std::vector<std::unique_ptr<ChildProcess>> runs;
  std::vector<fs::path> logs;
  for (const bool service : {false, true}) {
    directories.push_back(std::make_unique<kvtest::SilentServer>());
    const fs::path product = kvtest::productFolderUnder(root_ / (service ? "svc" : "con"));
    fs::create_directories(product / "data");
    std::ofstream(product / "kelvasync.ini", std::ios::binary)
        << "[activedirectory]\r\nhost=127.0.0.1:" << directories.back()->port()
        << "\r\nusr=cn=svc\r\npwd=" << encodeConfigPassword("segredo") << "\r\ngroup=CN=G,DC=test\r\n";
    auto environment = environment_;
    environment["KELVASYNC_PROGRAM_FILES"] = (root_ / (service ? "svc" : "con")).string();
    if (service) environment["NOTIFY_SOCKET"] = (root_ / "notify.sock").string();
    runs.push_back(std::make_unique<ChildProcess>(kBinary, std::vector<std::string>(service ? 0 : 1, "-c"),
                                                  environment));
    logs.push_back(product / "data" / "kelvasync.log");
  }
  std::this_thread::sleep_for(12s);
  for (auto& run : runs) run->signal(SIGTERM);
  for (size_t i = 0; i < runs.size(); ++i) {
    // The bound is 5 s; the system's own time-outs (30 s) are far above it.
    ASSERT_TRUE(runs[i]->waitForExit(20s)) << runs[i]->output();
    EXPECT_EQ(runs[i]->exitCode(), 0);
    std::ifstream in(logs[i], std::ios::binary);
    const auto messages = logMessages(std::string(std::istreambuf_iterator<char>(in), {}));
    EXPECT_TRUE(containsInOrder(messages, {"Servico em modo de encerramento",
                                           "A etapa 'conexao ao Controlador de Dominio (DC)' do diretorio nao "
                                           "retornou; o servico termina sem espera-la",
                                           "Servico parado", "Variaveis finalizadas", "Log parado"}))
        << runs[i]->output();
  }
  EXPECT_TRUE(notify.collectUntil("STATUS=parado", 2s));
  EXPECT_EQ(directories[0]->received().find("segredo"), std::string::npos);
}

TEST_F(ProcessTest, ASecondInstanceRefusesToStartAndLeavesTheFirstRunning) {
  const std::string refusal =
      "Ja existe outra instancia do kelvasync em execucao neste computador. Esta instancia nao sera iniciada.";
  ChildProcess first(kBinary, {"-c"}, environment_);
  ASSERT_TRUE(first.waitForOutput("Variaveis inicializadas", 10s)) << first.output();
  EXPECT_TRUE(fs::exists(dataDir_ / "kelvasync.lock"));  // beside the log

  // A console run, and a service start under systemd, which hears why.
  NotifySocket notify(root_ / "notify.sock");
  std::map<std::string, std::string> underSystemd = environment_;
  underSystemd["NOTIFY_SOCKET"] = (root_ / "notify.sock").string();
  for (const auto& [arguments, environment] :
       {std::pair{std::vector<std::string>{"-c"}, environment_}, std::pair{std::vector<std::string>{}, underSystemd}}) {
    ChildProcess second(kBinary, arguments, environment);
    ASSERT_TRUE(second.waitForExit(10s));
    EXPECT_EQ(second.exitCode(), 6);
    EXPECT_NE(second.output().find("kelvasync: " + refusal + "\n"), std::string::npos) << second.output();
    EXPECT_EQ(second.output().find("<3>"), std::string::npos) << second.output();
  }
  // systemd hears the code and the cause.
  ASSERT_TRUE(notify.collectUntil("STATUS=" + refusal, 5s));
  EXPECT_EQ(notify.messages.back(), "STOPPING=1\nEXIT_STATUS=6\nSTATUS=" + refusal);
  // The refusal reaches the journal as an error.
  const std::string journaled = runToEnd(
      "/bin/sh", {"-c", "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2); exec \"$0\"", kBinary}, underSystemd);
  EXPECT_EQ(journaled, "<3>kelvasync: " + refusal + "\n");

  // The first wrote every line and still runs; the others wrote none.
  auto messages = logMessages(logText());
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Log iniciado"), 1);
  first.signal(SIGTERM);
  ASSERT_TRUE(first.waitForExit(10s));
  EXPECT_EQ(first.exitCode(), 0);
  messages = logMessages(logText());
  EXPECT_EQ(std::vector<std::string>(messages.end() - 3, messages.end()), kShutdown);

  // An instance that was killed leaves nothing behind that blocks the next.
  ChildProcess killed(kBinary, {"-c"}, environment_);
  ASSERT_TRUE(killed.waitForOutput("Variaveis inicializadas", 10s)) << killed.output();
  killed.signal(SIGKILL);
  ASSERT_TRUE(killed.waitForExit(10s));
  ChildProcess next(kBinary, {"-c"}, environment_);
  EXPECT_TRUE(next.waitForOutput("Variaveis inicializadas", 10s)) << next.output();
  next.signal(SIGTERM);
  EXPECT_TRUE(next.waitForExit(10s));
}

TEST_F(ProcessTest, AMissingOrFullLogEndsTheRunAndSaysWhy) {
  const fs::path data = kvtest::productFolderUnder(root_ / "pf") / "data";
  fs::remove_all(data);
  NotifySocket notify(root_ / "notify.sock");
  environment_["NOTIFY_SOCKET"] = (root_ / "notify.sock").string();
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"-c"}, std::vector<std::string>{}}) {
    ChildProcess child(kBinary, arguments, environment_);
    ASSERT_TRUE(child.waitForExit(10s));
    EXPECT_EQ(child.exitCode(), 4);
    EXPECT_EQ(child.output().find("Log iniciado"), std::string::npos);
    EXPECT_NE(child.output().find("kelvasync: a pasta do log '" + data.string() + "' nao existe"), std::string::npos)
        << child.output();
  }
  // systemd hears the service-specific code and the cause.
  const std::string cause = "a pasta do log '" + data.string() + "' nao existe; crie-a (o servico nunca cria pastas)";
  ASSERT_TRUE(notify.collectUntil("STATUS=" + cause, 5s));
  EXPECT_EQ(notify.messages.back(), "STOPPING=1\nEXIT_STATUS=4\nSTATUS=" + cause);
  EXPECT_FALSE(fs::exists(data));

  // A log that opens but takes no line (a full disk; here a file size
  // limit of 0) ends the start the same way.
  fs::create_directories(data);
  fs::permissions(data, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  ChildProcess full("/usr/bin/prlimit", {"--fsize=0", "--", kBinary, "-c"}, environment_);
  ASSERT_TRUE(full.waitForExit(10s));
  EXPECT_EQ(full.exitCode(), 4) << full.output();
  EXPECT_NE(full.output().find("kelvasync: nao foi possivel gravar no log '" + (data / "kelvasync.log").string()),
            std::string::npos)
      << full.output();
}

TEST_F(ProcessTest, AHeldLogFileLosesLinesForTheFileButNotForTheConsole) {
  ChildProcess child(kBinary, {"-c"}, environment_);
  ASSERT_TRUE(child.waitForOutput("Variaveis inicializadas", 10s));
  const int holder = open((dataDir_ / "kelvasync.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  child.signal(SIGTERM);
  ASSERT_TRUE(child.waitForExit(10s));
  close(holder);
  EXPECT_NE(child.output().find("[Info] Log parado\r\n"), std::string::npos);
  EXPECT_EQ(logText().find("Log parado"), std::string::npos);
  EXPECT_NE(logText().find("Variaveis inicializadas"), std::string::npos);
}

TEST_F(ProcessTest, DataFolderLogAndLockAreKeptFromOtherUsers) {
  const fs::path log = dataDir_ / "kelvasync.log", lock = dataDir_ / "kelvasync.lock";
  // A console run, stopped once it has started when `starts`.
  const auto run = [&](int expectedExit, bool starts) {
    ChildProcess child(kBinary, {"-c"}, environment_);
    if (starts) {
      EXPECT_TRUE(child.waitForOutput("Variaveis inicializadas", 10s)) << child.output();
      child.signal(SIGTERM);
    }
    EXPECT_TRUE(child.waitForExit(10s));
    EXPECT_EQ(child.exitCode(), expectedExit) << child.output();
    return child.output();
  };

  // A folder others may write in is refused, named with its mode.
  fs::permissions(dataDir_, fs::perms(0775));
  EXPECT_NE(run(4, false).find("A pasta " + dataDir_.string() + " pode ser alterada por outros usuarios "
                                    "(permissoes 0775); o kelvasync nao sera iniciado."),
            std::string::npos);
  EXPECT_FALSE(fs::exists(log));
  EXPECT_FALSE(fs::exists(lock));

  // Symbolic links planted for the lock and the log are never followed.
  fs::permissions(dataDir_, fs::perms(0755));
  const fs::path target = root_ / "alvo";
  fs::create_symlink(target, lock);
  EXPECT_NE(run(4, false).find("Nao foi possivel obter a trava de instancia unica " + lock.string() +
                                    " (open: ELOOP); o kelvasync nao sera iniciado."),
            std::string::npos);
  fs::remove(lock);
  fs::create_symlink(target, log);
  const std::string refused = run(4, false);
  EXPECT_EQ(refused.find("Log iniciado"), std::string::npos);
  EXPECT_NE(refused.find("kelvasync: nao foi possivel abrir o log '" + log.string() + "' para escrita"),
            std::string::npos)
      << refused;
  EXPECT_FALSE(fs::exists(target));
  fs::remove(log);

  // FIFOs planted for them are refused at once (opened blocking, the log's
  // would hold the start, and the lock, until someone wrote to it).
  ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
  EXPECT_NE(run(4, false).find("kelvasync: o log '" + log.string() + "' nao eh um arquivo comum"), std::string::npos);
  fs::remove(log);
  fs::remove(lock);  // taken before the log was tried
  ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0);
  EXPECT_NE(run(4, false).find("Nao foi possivel obter a trava de instancia unica " + lock.string() +
                               " (nao eh um arquivo comum)"),
            std::string::npos);
  fs::remove(lock);

  // A `run` folder beside `data` takes the lock; one that is missing (a
  // link to nowhere) refuses the start rather than run unlocked.
  const fs::path runDir = dataDir_.parent_path() / "run";
  fs::create_symlink(root_ / "nao-existe", runDir);
  EXPECT_NE(run(4, false).find("A pasta " + runDir.string() + " nao existe"), std::string::npos);
  fs::remove(runDir);
  fs::create_directory(runDir);
  fs::permissions(runDir, fs::perms(0750));
  run(0, true);
  EXPECT_TRUE(fs::exists(runDir / "kelvasync.lock"));
  EXPECT_FALSE(fs::exists(lock));
  fs::remove_all(runDir);

  // Run as root, a hard link planted in the log's or the lock's place may
  // name any file: refused, the file neither written, narrowed nor handed.
  if (getuid() == 0) {
    const fs::path secret = root_ / "segredo";
    std::ofstream(secret) << "raiz";
    fs::permissions(secret, fs::perms(0604));
    for (const auto& [planted, said] : {std::pair{log, "o log '" + log.string() + "' tem outros nomes"},
                                        std::pair{lock, "trava de instancia unica " + lock.string() +
                                                            " (tem outros nomes"}}) {
      fs::remove(log);
      fs::remove(lock);
      fs::create_hard_link(secret, planted);
      EXPECT_NE(run(4, false).find(said), std::string::npos) << said;
      EXPECT_EQ(fs::status(secret).permissions() & fs::perms::all, fs::perms(0604));
      EXPECT_EQ(fs::file_size(secret), 4u);
      fs::remove(planted);
    }
  }

  // A folder that belongs to another account (not root, not the one running).
  if (getuid() == 0) {
    ASSERT_EQ(chown(dataDir_.c_str(), 65534, 65534), 0);
    EXPECT_NE(run(4, false).find("A pasta " + dataDir_.string() + " pertence ao usuario "), std::string::npos);
    ASSERT_EQ(chown(dataDir_.c_str(), 0, 0), 0);
  }

  // Created for the owner alone (the log readable by its group), an older
  // wider log narrowed.
  std::ofstream(log) << "";
  fs::permissions(log, fs::perms(0666));
  run(0, true);
  EXPECT_EQ(fs::status(log).permissions() & fs::perms::all, fs::perms(0640));
  EXPECT_EQ(fs::status(lock).permissions() & fs::perms::all, fs::perms(0600));
  // So another account cannot even open them to hold their lock.
  if (getuid() == 0 && fs::exists("/usr/bin/setpriv")) {
    const auto holdAsNobody = [&](const fs::path& file) {
      return runToEnd("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/flock", "-n",
                                           file.string(), "-c", "echo segurou"});
    };
    std::ofstream(dataDir_ / "controle") << "";
    fs::permissions(dataDir_ / "controle", fs::perms(0644));
    EXPECT_NE(holdAsNobody(dataDir_ / "controle").find("segurou"), std::string::npos);
    EXPECT_EQ(holdAsNobody(log).find("segurou"), std::string::npos);
    EXPECT_EQ(holdAsNobody(lock).find("segurou"), std::string::npos);
  }
}

TEST_F(ProcessTest, InstallAndRemoveWriteAndDeleteTheUnit) {
  const std::string support = "Em caso de atendimento de Suporte envie um e-mail para '";
  const fs::path unit = root_ / "units" / "kelvasync.service";

  // Without the unit folder the "service manager" cannot be opened.
  std::string out = runToEnd(kBinary, {"-i"}, environment_);
  EXPECT_EQ(out.substr(0, out.find('\n')), "Nao foi possivel instalar o servico. Codigo 2-2.");
  EXPECT_NE(out.find("\n" + support), std::string::npos);
  out = runToEnd(kBinary, {"-d"}, environment_);
  EXPECT_EQ(out.substr(0, out.find('\n')), "Nao foi possivel desinstalar o servico. Codigo 1-2.");

  fs::create_directories(root_ / "units");
  EXPECT_EQ(runToEnd(kBinary, {"-ic"}, environment_), "Servico instalado com sucesso.\n");
  std::ifstream in(unit);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(text.find("ExecStart=\"" + fs::canonical(kBinary).string() + "\"\n"), std::string::npos);
  EXPECT_NE(text.find("Description=Integração do Active Directory com os HSMs da Karvell Networks\n"),
            std::string::npos);
  EXPECT_NE(text.find("Environment=\"KELVASYNC_PROGRAM_FILES=" + (root_ / "pf").string() + "\"\n"),
            std::string::npos);
  // Sandboxed, with the data folder writable; a test tree under /tmp stays visible.
  EXPECT_NE(text.find("ProtectSystem=strict\n"), std::string::npos);
  EXPECT_NE(text.find("ReadWritePaths=\"-" + (kvtest::productFolderUnder(root_ / "pf") / "data").string() +
                      "\"\n"),
            std::string::npos);
  EXPECT_EQ(text.find("PrivateTmp=") == std::string::npos, root_.string().rfind("/tmp/", 0) == 0);

  // No long option runs, installs or removes anything, whatever letters it
  // holds ("--version" has an 'i', "--dry-run" a 'd').
  const auto unitBefore = fs::last_write_time(unit);
  for (const auto& [arguments, exitCode] :
       {std::pair{std::vector<std::string>{"--version"}, 0}, {{"--help"}, 0}, {{"-h"}, 0}, {{"/?"}, 0},
        {{"--dry-run"}, 64}, {{"--verbose", "-c"}, 64}, {{"/install"}, 64}}) {
    ChildProcess child(kBinary, arguments, environment_);
    ASSERT_TRUE(child.waitForExit(10s));
    EXPECT_EQ(child.exitCode(), exitCode) << arguments[0];
    EXPECT_NE(child.output().find(exitCode == 0 && arguments[0] == "--version" ? "kelvasync 1.0.0.5\n" : "--once"),
              std::string::npos)
        << child.output();
  }
  EXPECT_EQ(fs::last_write_time(unit), unitBefore);

  // A failed step keeps its lines, adds its cause and what to do, and
  // exits 8.
  ChildProcess again(kBinary, {"-xi"}, environment_);
  ASSERT_TRUE(again.waitForExit(10s));
  EXPECT_EQ(again.exitCode(), 8);
  out = again.output();
  EXPECT_EQ(out.substr(0, out.find('\n')), "Nao foi possivel instalar o servico. Codigo 3-" +
                                               std::to_string(EEXIST) + ".");
  ASSERT_EQ(splitLines(out).size(), 3u);
  EXPECT_EQ(splitLines(out)[1].rfind(support, 0), 0u);
  EXPECT_EQ(splitLines(out)[2], "Causa: o servico kelvasync jah estah instalado. Para reinstala-lo, remova-o antes "
                                "com kelvasync -d.");

  EXPECT_EQ(runToEnd(kBinary, {"-debug"}, environment_), "Servico desinstalado com sucesso.\n");
  EXPECT_FALSE(fs::exists(unit));
  out = runToEnd(kBinary, {"-d"}, environment_);
  EXPECT_EQ(out.substr(0, out.find('\n')), "Nao foi possivel desinstalar o servico. Codigo 2-" +
                                               std::to_string(ENOENT) + ".");

  // Installation and removal never touch the log.
  EXPECT_FALSE(fs::exists(dataDir_ / "kelvasync.log"));

  // Paths with "%" (a systemd specifier), a blank and a non-ASCII letter:
  // systemd's own parser finds the very binary, and the value of
  // Environment= keeps its "%" escaped.
  const fs::path folder = root_ / "kv 100%n ção";
  fs::create_directories(folder);
  fs::copy_file(kBinary, folder / "kelvasync");
  auto environment = environment_;
  environment["KELVASYNC_PROGRAM_FILES"] = (root_ / "pf 5%h ç").string();
  EXPECT_EQ(runToEnd((folder / "kelvasync").string(), {"-i"}, environment), "Servico instalado com sucesso.\n");
  ChildProcess verify("/usr/bin/systemd-analyze", {"verify", unit.string()});
  ASSERT_TRUE(verify.waitForExit(60s));
  EXPECT_EQ(verify.exitCode(), 0) << verify.output();
  EXPECT_EQ(verify.output(), "");  // a line it cannot parse is only warned about
  std::ifstream written(unit);
  const std::string unitText((std::istreambuf_iterator<char>(written)), {});
  EXPECT_NE(unitText.find("Environment=\"KELVASYNC_PROGRAM_FILES=" + root_.string() + "/pf 5%%h ç\"\n"),
            std::string::npos)
      << unitText;
}

// kelvasync-passwd at a terminal: what is typed, in the codeset of the
// user's locale, is stored as the Windows-1252 bytes the service reads.
TEST(PasswdAtATerminal, StoresTypedTextAsWindows1252AndRefusesWhatItCannotHold) {
  // Exit code, and the printed value (empty when none).
  const auto type = [](const std::string& locale, const std::string& typed, std::string& output) {
    ChildProcess passwd(KELVASYNC_PASSWD_BINARY, {}, {{"LC_ALL", locale}}, Terminal::Foreground);
    // Typed once the prompt is shown and echo is off (switching it off
    // discards what was typed before).
    const auto typeAfter = [&](const std::string& prompt) {
      EXPECT_TRUE(passwd.waitForOutput(prompt, 10s)) << passwd.output();
      termios mode{};
      for (int i = 0; i < 200 && tcgetattr(passwd.terminalFd(), &mode) == 0 && (mode.c_lflag & ECHO); ++i)
        std::this_thread::sleep_for(10ms);
      passwd.writeToTerminal(typed + "\n");
    };
    typeAfter("Senha: ");
    typeAfter("Confirme a senha: ");
    EXPECT_TRUE(passwd.waitForExit(10s));
    output = passwd.output();
    std::smatch value;
    return std::pair(passwd.exitCode(), std::regex_search(output, value, std::regex("(^|\n)([0-9a-f]+)\r?\n"))
                                            ? value[2].str()
                                            : std::string());
  };
  std::string output;
  auto [code, value] = type("C.UTF-8", "Se\xC3\xB1ha\xE2\x80\x93\xE2\x82\xAC", output);  // Señha–€
  EXPECT_EQ(code, 0) << output;
  EXPECT_EQ(decodePasswordValue(value, u"hsm"), "Se\xF1ha\x96\x80");
  EXPECT_EQ(platform::ansiToUtf16(decodePasswordValue(value, u"hsm")), u"Se\u00f1ha\u2013\u20ac");
  EXPECT_NE(output.find("foram gravados em Windows-1252"), std::string::npos) << output;

  std::tie(code, value) = type("pt_BR.ISO-8859-1", "s\xE9" "cret", output);
  EXPECT_EQ(code, 0) << output;
  EXPECT_EQ(decodePasswordValue(value, u"hsm"), "s\xE9" "cret");

  std::tie(code, value) = type("C.UTF-8", "visto\xE2\x9C\x93", output);  // U+2713 has no Windows-1252 byte
  EXPECT_EQ(code, 1);
  EXPECT_EQ(value, "");
  EXPECT_NE(output.find("Senha recusada: tem um caractere que nao existe em Windows-1252"), std::string::npos)
      << output;
}

}  // namespace
