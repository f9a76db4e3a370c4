// Platform seam: a reachability probe for a TCP service.
//
// Used to tell an operator why a connection through a client library failed
// without relying on that library's own codes: the probe resolves the name
// and opens, then at once closes, one TCP connection.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class TcpProbeResult {
  Reachable,    // some address of the name accepted the connection
  NotResolved,  // the name does not resolve (getaddrinfo failed)
  Refused,      // every address answered with a refusal: nothing listens there
  TimedOut,     // no address answered within the time-out
  Unreachable,  // the network reported no route to any address
};

// Resolves `host` (a name, an IPv4 address or a bare IPv6 address) and tries
// a TCP connection to `port` on each of its addresses in turn until one is
// accepted, all within `timeoutMs`. An accepted connection is closed at once
// without sending anything. A time-out on any address outranks refusals and
// missing routes on the others. Callable from any thread; it sets up and
// releases whatever the platform's socket layer needs (Winsock) itself.
TcpProbeResult probeTcpConnection(const std::string& host, uint16_t port, uint32_t timeoutMs);

}  // namespace platform
