#include "hsm_test_support.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "kv_wire.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace kvtest {

namespace {

using Clock = std::chrono::steady_clock;

// ---- A few portable socket helpers ------------------------------------------

#if defined(_WIN32)
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
void closeSocket(Socket s) { closesocket(s); }
struct WinsockUser {
  WinsockUser() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  }
  ~WinsockUser() { WSACleanup(); }
};
void needSockets() { static WinsockUser user; }
#else
using Socket = int;
const Socket kNoSocket = -1;
void closeSocket(Socket s) { ::close(s); }
void needSockets() {}
#endif

void setReceiveTimeout(Socket s, uint32_t ms) {
#if defined(_WIN32)
  DWORD v = ms;
#else
  timeval v{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
#endif
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v);
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

Socket connectLoopback(uint16_t port, uint32_t timeoutMs) {
  needSockets();
  Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) return kNoSocket;
  sockaddr_in a = loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    closeSocket(s);
    return kNoSocket;
  }
  setReceiveTimeout(s, timeoutMs);
  return s;
}

bool sendBytes(Socket s, const uint8_t* p, size_t n) {
  while (n > 0) {
#if defined(_WIN32)
    const int r = send(s, reinterpret_cast<const char*>(p), static_cast<int>(n), 0);
#else
    const ssize_t r = send(s, p, n, MSG_NOSIGNAL);
#endif
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Bytes read, 0 on an orderly close, -1 on an error or time-out.
int receiveSome(Socket s, uint8_t* p, size_t n) {
  return static_cast<int>(recv(s, reinterpret_cast<char*>(p), static_cast<int>(n), 0));
}

// ---- The emulator started as a child process (Linux) ------------------------

#if defined(KV_EMULATOR_PATH)

class EmulatorProcess : public HsmServer {
 public:
  explicit EmulatorProcess(const Options& options) : options_(options) {}
  ~EmulatorProcess() override {
    stop();
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }

  bool create(std::string& error) {
    std::random_device rd;
    std::ostringstream name;
    name << "kv-hsm-" << std::hex << rd() << rd();
    folder_ = std::filesystem::temp_directory_path() / name.str();
    std::filesystem::create_directories(folder_);
    const std::string state = (folder_ / "state").string();
    std::vector<std::vector<std::string>> commands = {
        {"init", "--state", state, "--master-password", kMasterPassword},
        {"add-user", "--state", state, "--name", kAddbUser, "--password", kAddbPassword},
        {"add-user", "--state", state, "--name", kPlainUser, "--password", kPlainPassword},
        {"add-user", "--state", state, "--name", kReaderUser, "--password", kReaderPassword,
         "--mask", "0x01"},
        {"add-user", "--state", state, "--name", kBlockedUser, "--password", kBlockedPassword,
         "--blocked"},
    };
    if (options_.seededUsers != 0)
      commands.push_back({"add-users", "--state", state, "--prefix", kSeedPrefix, "--count",
                          std::to_string(options_.seededUsers), "--password", kSeedPassword});
    if (!options_.seedNamesFile.empty())
      commands.push_back({"add-users", "--state", state, "--names-file", options_.seedNamesFile,
                          "--password", kSeedPassword});
    for (const auto& c : commands) {
      pid_t pid;
      if (!spawn(c, (folder_ / "admin.log").string(), pid) || waitExit(pid) != 0) {
        error = "hsm-emulator " + c[0] + " failed; see " + (folder_ / "admin.log").string();
        return false;
      }
    }
    return launch(error);
  }

  bool controllable() const override { return true; }

  void stop() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill9();
  }

  void kill9() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  bool restart() override {
    stop();
    std::string error;
    return launch(error);
  }

  // SIGSTOP takes effect asynchronously: a request sent right after kill()
  // may still be answered. Return only once every thread of the emulator is
  // stopped ("T" in /proc/<pid>/task/<tid>/stat).
  void pause() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGSTOP);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!allThreadsStopped() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void resume() override {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
  }

  std::string log() const override {
    std::ifstream in(folder_ / "emulator.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  bool allThreadsStopped() const {
    std::error_code ec;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid_) + "/task";
    bool any = false;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
      std::ifstream in(task.path() / "stat");
      std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      // The state follows the command name, which is in parentheses and may
      // itself hold blanks or parentheses.
      const size_t close = stat.rfind(')');
      if (close == std::string::npos || close + 2 >= stat.size()) return false;
      const char state = stat[close + 2];
      if (state != 'T' && state != 't') return false;
      any = true;
    }
    return any && !ec;
  }

  static int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  bool spawn(const std::vector<std::string>& args, const std::string& logFile, pid_t& pid) {
    std::vector<std::string> all{KV_EMULATOR_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
  }

  bool launch(std::string& error) {
    const auto portFile = folder_ / "port";
    std::error_code ec;
    std::filesystem::remove(portFile, ec);
    std::vector<std::string> args = {"serve", "--state", (folder_ / "state").string(),
                                     "--address", "127.0.0.1", "--port", "0",
                                     "--port-file", portFile.string()};
    if (options_.latencyMs != 0) {
      args.push_back("--latency-ms");
      args.push_back(std::to_string(options_.latencyMs));
    }
    if (!options_.faultFile.empty()) {
      args.push_back("--fault-file");
      args.push_back(options_.faultFile);
    }
    if (!spawn(args, (folder_ / "emulator.log").string(), pid_)) {
      error = "cannot start " KV_EMULATOR_PATH;
      return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      std::ifstream in(portFile);
      unsigned port = 0;
      if (in >> port && port != 0) {
        port_ = static_cast<uint16_t>(port);
        return true;
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        error = "the emulator ended at start-up:\n" + log();
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error = "the emulator did not report its port:\n" + log();
    return false;
  }

  Options options_;
  std::filesystem::path folder_;
  pid_t pid_ = -1;
};

#endif  // KV_EMULATOR_PATH

class OutsideEmulator : public HsmServer {
 public:
  explicit OutsideEmulator(uint16_t port) { port_ = port; }
};

}  // namespace

std::unique_ptr<HsmServer> HsmServer::start(const Options& options, std::string& error) {
  const char* given = std::getenv(kPortVariable);
  if (given != nullptr && *given != '\0') {
    const long port = std::strtol(given, nullptr, 10);
    if (port <= 0 || port > 65535) {
      error = std::string(kPortVariable) + " is not a port: " + given;
      return nullptr;
    }
    if (options.latencyMs != 0 || options.seededUsers != 0 || !options.seedNamesFile.empty() ||
        !options.faultFile.empty()) {
      error = "an outside emulator cannot add latency, seeded users or faults";
      return nullptr;
    }
    return std::make_unique<OutsideEmulator>(static_cast<uint16_t>(port));
  }
#if defined(KV_EMULATOR_PATH)
  auto server = std::make_unique<EmulatorProcess>(options);
  if (!server->create(error)) return nullptr;
  return server;
#else
  error = std::string("no emulator: set ") + kPortVariable;
  return nullptr;
#endif
}

bool HsmServer::querySessions(SessionCounts& counts) const {
  Socket s = connectLoopback(port_, 5000);
  if (s == kNoSocket) return false;
  kvwire::Writer w;
  w.u8(static_cast<uint8_t>(kvwire::Op::Status));
  const auto& frame = w.frame();
  uint8_t reply[16];
  size_t got = 0;
  bool ok = sendBytes(s, frame.data(), frame.size());
  while (ok && got < sizeof reply) {
    const int n = receiveSome(s, reply + got, sizeof reply - got);
    if (n <= 0) ok = false;
    else got += static_cast<size_t>(n);
  }
  closeSocket(s);
  if (!ok || kvwire::getU32(reply) != 12 || kvwire::getU32(reply + 4) != KV_OK) return false;
  counts.open = kvwire::getU32(reply + 8);
  counts.logins = kvwire::getU32(reply + 12);
  return true;
}

uint16_t closedPort() {
  needSockets();
  Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  closeSocket(s);
  return port;
}

SilentListener::SilentListener() {
  needSockets();
  Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (s == kNoSocket || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(s, 16) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (s != kNoSocket) closeSocket(s);
    return;
  }
  listenSocket_ = static_cast<intptr_t>(s);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread(&SilentListener::run, this);
}

SilentListener::~SilentListener() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (intptr_t h : held_) closeSocket(static_cast<Socket>(h));
  if (listenSocket_ != -1) closeSocket(static_cast<Socket>(listenSocket_));
}

void SilentListener::run() {
  const Socket ls = static_cast<Socket>(listenSocket_);
  while (!stop_) {
#if defined(_WIN32)
    fd_set r;
    FD_ZERO(&r);
    FD_SET(ls, &r);
    timeval tv{0, 50000};
    const int n = select(0, &r, nullptr, nullptr, &tv);
#else
    pollfd p{ls, POLLIN, 0};
    const int n = poll(&p, 1, 50);
#endif
    if (n <= 0) continue;
    const Socket c = accept(ls, nullptr, nullptr);
    if (c == kNoSocket) continue;
    held_.push_back(static_cast<intptr_t>(c));  // kept open, never read or answered
    ++accepted_;
  }
}

bool sendRawAndExpectClose(uint16_t port, const std::vector<uint8_t>& bytes, uint32_t timeoutMs) {
  Socket s = connectLoopback(port, timeoutMs);
  if (s == kNoSocket) return false;
  sendBytes(s, bytes.data(), bytes.size());  // the emulator may close before taking all
  uint8_t buf[64];
  const int n = receiveSome(s, buf, sizeof buf);
  bool closed = n == 0;
#if defined(_WIN32)
  if (n < 0) closed = WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAECONNABORTED;
#else
  if (n < 0) closed = errno == ECONNRESET;
#endif
  closeSocket(s);
  return closed;
}

int32_t openSession(uint16_t port, const std::string& user, const std::string& password,
                    KvSession& session, uint32_t ioTimeoutMs) {
  HsmLoginBlock login;
  std::memset(&login, 0, sizeof login);
  std::strcpy(login.host, "127.0.0.1");
  login.port = port;
  std::strncpy(login.user, user.c_str(), sizeof login.user - 1);
  std::strncpy(login.password, password.c_str(), sizeof login.password - 1);
  login.reserved[1] = ioTimeoutMs;
  return KvOpenSession(&session, KV_CHANNEL_TCP, &login, sizeof login, KV_LOGIN_PASSWORD);
}

std::string uniqueName(char prefix) {
  static std::atomic<uint32_t> counter{0};
  static const uint32_t run = std::random_device{}();
  char text[24];
  std::snprintf(text, sizeof text, "%c%06x%05u", prefix, run & 0xFFFFFFu,
                static_cast<unsigned>(counter++ % 100000));
  return text;
}

}  // namespace kvtest
