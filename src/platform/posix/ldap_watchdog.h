// Bounds the blocking libldap calls that its own time-outs do not: the
// StartTLS answer and the TLS handshake (libldap 2.5 waits for both without
// limit), and a message that stops half-way (the socket is read blocking).
// When a call outlasts its bound, the watchdog's thread shuts the
// connection's socket down, which makes the call fail at once. One thread
// for the process, started with the first scope.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform::ldap {

// One connection's socket, from libldap's connect (attach) to its close
// (detach). Guarded by the watchdog; outlives every scope on it.
struct WatchedSocket {
  int fd = -1;
  bool expired = false;  // cut by the watchdog: the connection is dead
};
void attachSocket(WatchedSocket& socket, int fd);  // cut at once when it expired before
void detachSocket(WatchedSocket& socket);

// While it lives, `socket` is shut down once `bound` has passed.
class WatchdogScope {
 public:
  WatchdogScope(WatchedSocket& socket, std::chrono::milliseconds bound);
  ~WatchdogScope();
  WatchdogScope(const WatchdogScope&) = delete;
  WatchdogScope& operator=(const WatchdogScope&) = delete;
  bool timedOut() const;  // whether the watchdog cut the socket, now or before

 private:
  WatchedSocket& socket_;
  uint64_t id_;
};

}  // namespace platform::ldap
