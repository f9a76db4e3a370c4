// Windows implementation of platform/network.h: Winsock's getaddrinfo, a
// non-blocking connect and select.
#include "platform/network.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>

#include "platform/tcp_probe_each.h"

namespace platform {

namespace {

using probe::Clock;
using probe::remainingMs;

TcpProbeResult failureOf(int error) {
  return error == WSAENETUNREACH || error == WSAEHOSTUNREACH ? TcpProbeResult::Unreachable
                                                             : TcpProbeResult::Refused;
}

// Winsock for the life of one probe; WSAStartup counts its callers, so this
// neither depends on nor disturbs another user's start-up.
class WinsockScope {
 public:
  WinsockScope() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockScope() {
    if (started_) WSACleanup();
  }
  WinsockScope(const WinsockScope&) = delete;
  WinsockScope& operator=(const WinsockScope&) = delete;
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

TcpProbeResult probeAddress(const addrinfo& address, Clock::time_point deadline) {
  const SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (s == INVALID_SOCKET) return failureOf(WSAGetLastError());
  u_long nonBlocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    const int error = WSAGetLastError();
    ::closesocket(s);
    return failureOf(error);
  }
  TcpProbeResult result = TcpProbeResult::Reachable;
  if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      result = failureOf(error);
    } else {
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      const int ms = remainingMs(deadline);
      timeval wait{ms / 1000, (ms % 1000) * 1000};
      const int n = ::select(0, nullptr, &writable, &failed, &wait);
      if (n == 0) {
        result = TcpProbeResult::TimedOut;
      } else if (n < 0 || FD_ISSET(s, &failed)) {
        int socketError = 0;
        int length = sizeof socketError;
        if (n < 0 ||
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError), &length) != 0) {
          result = failureOf(WSAGetLastError());
        } else {
          result = failureOf(socketError);
        }
      }
    }
  }
  ::closesocket(s);
  return result;
}

}  // namespace

TcpProbeResult probeTcpConnection(const std::string& host, uint16_t port, uint32_t timeoutMs) {
  WinsockScope winsock;
  if (!winsock.started()) return TcpProbeResult::Refused;
  return probe::probeEachAddress(host, port, timeoutMs, probeAddress);
}

}  // namespace platform
