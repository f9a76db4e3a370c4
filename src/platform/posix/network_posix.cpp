// Linux implementation of platform/network.h: getaddrinfo, a non-blocking
// connect and poll.
#include "platform/network.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

TcpProbeResult failureOf(int error) {
  return error == ENETUNREACH || error == EHOSTUNREACH ? TcpProbeResult::Unreachable : TcpProbeResult::Refused;
}

TcpProbeResult probeAddress(const addrinfo& address, Clock::time_point deadline) {
  const int s = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
  if (s < 0) return failureOf(errno);
  const int flags = ::fcntl(s, F_GETFL, 0);
  if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(s);
    return failureOf(error);
  }
  TcpProbeResult result = TcpProbeResult::Reachable;
  if (::connect(s, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      result = failureOf(errno);
    } else {
      pollfd p{s, POLLOUT, 0};
      int n = 0;
      do {
        n = ::poll(&p, 1, remainingMs(deadline));
      } while (n < 0 && errno == EINTR);
      if (n == 0) {
        result = TcpProbeResult::TimedOut;
      } else {
        int error = 0;
        socklen_t length = sizeof error;
        if (n < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
          result = failureOf(errno);
        } else if (error != 0) {
          result = failureOf(error);
        }
      }
    }
  }
  ::close(s);
  return result;
}

}  // namespace

TcpProbeResult probeTcpConnection(const std::string& host, uint16_t port, uint32_t timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0 ||
      list == nullptr) {
    return TcpProbeResult::NotResolved;
  }
  TcpProbeResult result = TcpProbeResult::Refused;
  bool unreachableOnly = true;
  for (const addrinfo* address = list; address != nullptr; address = address->ai_next) {
    const TcpProbeResult one = probeAddress(*address, deadline);
    if (one == TcpProbeResult::Reachable) {
      result = one;
      break;
    }
    if (one == TcpProbeResult::TimedOut) result = one;
    if (one != TcpProbeResult::Unreachable) unreachableOnly = false;
    if (remainingMs(deadline) == 0) {
      // Addresses left untried had no time to answer.
      if (address->ai_next != nullptr) result = TcpProbeResult::TimedOut;
      break;
    }
  }
  ::freeaddrinfo(list);
  if (result == TcpProbeResult::Refused && unreachableOnly) result = TcpProbeResult::Unreachable;
  return result;
}

}  // namespace platform
