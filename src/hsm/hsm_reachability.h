// Why the HSM could not be reached, found without the client library: the
// [hsm] host value is resolved and one TCP connection to it is opened and
// closed at once. The library's result codes are its maker's and are not
// interpreted; this tells the operator which of the usual causes it is.
#pragma once

#include <cstdint>
#include <string>

// Splits an [hsm] host value the way the client library reads it: "name",
// "name:port", "[IPv6]:port" or a bare IPv6 address; the port is kHsmPort
// when none is given. False for a value the library would refuse (an empty
// name, a port that is not a number from 1 to 65535, an unclosed bracket).
bool splitHsmHost(const std::string& value, std::string& host, uint16_t& port);

enum class HsmReachability {
  BadAddress,   // the host value cannot be split into a name and a port
  NotResolved,  // the name does not resolve
  Refused,      // nothing accepts connections at that address and port
  TimedOut,     // no answer within the probe's time-out
  Unreachable,  // no route to the address
  Reachable,    // a connection was accepted: the HSM listens there
};

// Bounds the probe; short, since it runs after a failure already took its time.
inline constexpr uint32_t kHsmProbeTimeoutMs = 3000;

// Resolves the host of `hostValue` and tries a TCP connection to it.
HsmReachability probeHsmHost(const std::string& hostValue, uint32_t timeoutMs = kHsmProbeTimeoutMs);

// The cause as one Portuguese phrase without diacritics, naming the address
// (common/reachability.h), e.g. "nada aceita conexoes em 10.0.0.5:4433
// (conexao recusada: ...)". For Reachable: with `callTimedOut` the HSM
// accepts connections but did not answer in time; without it the login was
// not accepted, so the [hsm] account is to be checked.
std::string describeHsmReachability(HsmReachability reachability, const std::string& hostValue,
                                    uint32_t timeoutMs = kHsmProbeTimeoutMs, bool callTimedOut = false);

// Why the client library refuses a login before any traffic: a [hsm] value
// longer than its field of the login block holds with its terminator (host
// 127 bytes, usr and pwd 15), e.g. "a senha de [hsm] (pwd) tem 16 bytes,
// mais que os 15 que o HSM aceita". Empty when every value fits. The
// account is not to blame for such a refusal, and no probe can tell it.
std::string describeHsmLoginTooLong(const std::string& host, const std::string& user, const std::string& password);

// The cause of a session that could not be opened, for the line that reports
// it: a value the login block cannot hold (describeHsmLoginTooLong), else
// the probe of the host (describeHsmReachability).
std::string describeHsmOpenFailure(const std::string& host, const std::string& user, const std::string& password,
                                   uint32_t timeoutMs = kHsmProbeTimeoutMs, bool callTimedOut = false);

// The client library's codes are its maker's, so whether a failed opening
// gave up waiting for the HSM is told by its duration: an HSM that answers
// refuses a login at once, so an opening that failed only after this long
// against an HSM that accepts connections met one that does not answer.
inline constexpr uint32_t kHsmSilentAfterMs = 4000;
