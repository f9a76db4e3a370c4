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

#include "platform/tcp_probe_each.h"

namespace platform {

namespace {

using probe::Clock;
using probe::remainingMs;

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
  return probe::probeEachAddress(host, port, timeoutMs, probeAddress);
}

}  // namespace platform
