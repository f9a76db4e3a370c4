// Why a server could not be reached, in one phrase for a log line: the
// same words for the HSM and for the domain controller. The facts come from
// platform::probeTcpConnection (the name resolved, a TCP connection
// accepted or not) and from the failed call itself (whether it gave up
// waiting for an answer); only the names of the server and of its INI keys
// differ between the two sides.
#pragma once

#include <cstdint>
#include <string>

#include "platform/network.h"

// The side whose server was probed, as the phrases name it.
struct ProbedServer {
  const char* hostKey;      // "[hsm] host"
  const char* name;         // "o HSM/Tessel"
  // What to check when the server accepts connections and the call failed
  // all the same, without a time-out: "o login nao foi aceito (confira
  // [hsm] usr e pwd)".
  const char* whenReachable;
};

// The cause as one Portuguese phrase without diacritics, naming the address:
//   NotResolved  the name does not resolve (name and DNS)
//   Refused      nothing accepts connections there
//   TimedOut     no answer to the connection within `probeTimeoutMs`
//   Unreachable  no route to the address
//   Reachable    with `callTimedOut`: the server accepts connections but
//                did not answer the call in time, never blamed on the
//                account; otherwise `server.whenReachable`.
std::string describeProbeResult(platform::TcpProbeResult result, const ProbedServer& server,
                                const std::string& host, uint16_t port, uint32_t probeTimeoutMs,
                                bool callTimedOut);
