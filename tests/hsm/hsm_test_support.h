// Test support for the HSM contract tests and the benchmark: a running
// hsm-emulator (started here on Linux, or given by the environment), its
// session counts, and two small fake servers (a closed port and a listener
// that never answers).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pelorlib.h"

namespace kvtest {

// Accounts every test state holds. scripts/start-emulator.sh provisions the
// same ones for the Windows run; keep the two in step.
inline constexpr const char* kMasterPassword = "kv-master-1";
inline constexpr const char* kAddbUser = "IntegracaoAD";
inline constexpr const char* kAddbPassword = "73905162";
inline constexpr const char* kPlainUser = "operador";  // mask 0x4F
inline constexpr const char* kPlainPassword = "operador-pw";
inline constexpr const char* kReaderUser = "leitor";  // mask 0x01: read own objects only
inline constexpr const char* kReaderPassword = "leitor-pw";
inline constexpr const char* kBlockedUser = "bloqueado";  // mask 0x4F, blocked
inline constexpr const char* kBlockedPassword = "bloqueado-pw";

inline constexpr const char* kSeedPrefix = "S";
inline constexpr const char* kSeedPassword = "seeded-pw";

// Environment variable that names the port of an emulator started outside
// the test (the Windows run under Wine uses it).
inline constexpr const char* kPortVariable = "KELVASYNC_TEST_HSM_PORT";

struct SessionCounts {
  uint32_t open = 0;    // logged-in sessions now
  uint32_t logins = 0;  // successful logins since the emulator started
};

// A running emulator on 127.0.0.1.
class HsmServer {
 public:
  struct Options {
    uint32_t latencyMs = 0;
    // Users added straight to the new state before the emulator starts
    // (hsm-emulator add-users): kSeedPrefix followed by 0000000, 0000001, ...
    // with mask 0x4F and kSeedPassword. Only an emulator of our own.
    uint32_t seededUsers = 0;
    // A file of further user names to add the same way (one a line), with
    // mask 0x4F and kSeedPassword; empty for none.
    std::string seedNamesFile = {};
    // The emulator's --fault-file (see emulator/server.h); empty for none.
    // Only an emulator of our own.
    std::string faultFile = {};
  };
  // An emulator of our own on a free port with a fresh state in a temporary
  // folder (Linux), or the one named by kPortVariable. Null with `error`
  // set when neither is possible.
  static std::unique_ptr<HsmServer> start(const Options& options, std::string& error);
  static std::unique_ptr<HsmServer> start() {
    std::string ignored;
    return start(Options{}, ignored);
  }
  virtual ~HsmServer() = default;

  uint16_t port() const { return port_; }
  // "127.0.0.1:<port>", the host form that carries the port.
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  bool querySessions(SessionCounts& counts) const;

  // Process control; only an emulator of our own has it.
  virtual bool controllable() const { return false; }
  virtual void stop() {}
  virtual void kill9() {}
  virtual bool restart() { return false; }
  virtual void pause() {}
  virtual void resume() {}
  // The emulator's log so far (empty for an outside emulator).
  virtual std::string log() const { return {}; }

 protected:
  uint16_t port_ = 0;
};

// A loopback port on which nothing listens.
uint16_t closedPort();

// Accepts connections and never answers; counts the connections made.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }

 private:
  void run();
  intptr_t listenSocket_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<intptr_t> held_;
  std::thread thread_;
};

// Sends raw bytes to the emulator on a fresh connection and reports whether
// the emulator then closed that connection (within timeoutMs) without
// answering.
bool sendRawAndExpectClose(uint16_t port, const std::vector<uint8_t>& bytes,
                           uint32_t timeoutMs = 5000);

// Opens a session with an HsmLoginBlock on 127.0.0.1 and the port field.
int32_t openSession(uint16_t port, const std::string& user, const std::string& password,
                    KvSession& session, uint32_t ioTimeoutMs = 0);

// A user or object name no other test run uses: prefix + 11 characters (12 in all).
std::string uniqueName(char prefix = 'T');

// Initialises and finalises pelorlib around a scope.
class LibraryScope {
 public:
  LibraryScope() : code_(KvInitialize(0)) {}
  ~LibraryScope() {
    if (code_ == KV_OK) KvFinalize();
  }
  LibraryScope(const LibraryScope&) = delete;
  LibraryScope& operator=(const LibraryScope&) = delete;
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

}  // namespace kvtest

namespace kvtest {

// The emulator shared by every test of one process, started on first use
// and stopped when the tests end. Null (with `error`) when it cannot start.
HsmServer* sharedServer(std::string& error);

// A session closed when it goes out of scope.
struct ScopedSession {
  KvSession handle = nullptr;
  ScopedSession() = default;
  ScopedSession(const ScopedSession&) = delete;
  ScopedSession& operator=(const ScopedSession&) = delete;
  ~ScopedSession() {
    if (handle != nullptr) KvCloseSession(&handle, 0);
  }
  int32_t open(uint16_t port, const std::string& user, const std::string& password,
               uint32_t ioTimeoutMs = 0) {
    return openSession(port, user, password, handle, ioTimeoutMs);
  }
};

}  // namespace kvtest
