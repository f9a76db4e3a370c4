// The part of the TCP reachability probe that both platforms share: the walk
// over a name's addresses and how their single results add up. Included by
// the two implementations of platform/network.h after their own socket
// headers (it needs addrinfo), never by code outside src/platform.
#pragma once

#include <chrono>
#include <string>

#include "platform/network.h"

namespace platform::probe {

using Clock = std::chrono::steady_clock;

inline int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Resolves `host` and probes its addresses in turn with `probeAddress`
// (const addrinfo&, deadline) until one accepts or the time is up.
template <typename ProbeAddress>
TcpProbeResult probeEachAddress(const std::string& host, uint16_t port, uint32_t timeoutMs,
                                ProbeAddress probeAddress) {
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

}  // namespace platform::probe
