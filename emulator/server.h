// The emulator's network side: one listening socket, one thread per
// connection, each connection one session once it has logged in.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "store.h"

namespace emulator {

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 4433;       // 0: any free port (see Server::port)
  uint32_t latencyMs = 0;     // added before every request is handled
  uint32_t idleTimeoutMs = 600000;  // a silent connection is closed after this
  // For fault tests: a file read before every request of a session. Each
  // line "OPERATION ACTION" (operation as in the log: write-object,
  // rename-object, ...) makes requests of that operation fail: ACTION
  // "drop" closes the connection without an answer, a number is answered
  // as that result code. A missing file injects nothing. Empty: no file.
  std::string faultFile;
};

// Writes one line to standard error: time, level, text.
void logLine(const char* level, const std::string& text);

class Server {
 public:
  Server(Store& store, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens. False with a message on failure.
  bool listen(std::string& error);
  // The port actually bound (useful with port 0).
  uint16_t port() const { return boundPort_; }
  // Serves until requestStop(); then closes every connection and returns
  // once all of them have ended.
  void run();
  // Async-signal-safe.
  void requestStop();

 private:
  struct Connection;
  void serve(Connection& c);
  void reap(bool all);

  Store& store_;
  ServerOptions options_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  uint16_t boundPort_ = 0;
  std::mutex connectionsLock_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::atomic<uint32_t> openSessions_{0};
  std::atomic<uint32_t> loginsSoFar_{0};
  std::atomic<uint64_t> nextConnectionId_{1};
};

}  // namespace emulator
