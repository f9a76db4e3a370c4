#include "hsm/hsm_reachability.h"

#include "common/host_port.h"
#include "logging/reachability.h"
#include "hsm/hsm_client.h"
#include "platform/network.h"

bool splitHsmHost(const std::string& value, std::string& host, uint16_t& port) {
  return splitHostPort(value, static_cast<uint16_t>(kHsmPort), host, port);
}

HsmReachability probeHsmHost(const std::string& hostValue, uint32_t timeoutMs) {
  std::string host;
  uint16_t port = 0;
  if (!splitHsmHost(hostValue, host, port)) return HsmReachability::BadAddress;
  switch (platform::probeTcpConnection(host, port, timeoutMs)) {
    case platform::TcpProbeResult::Reachable: return HsmReachability::Reachable;
    case platform::TcpProbeResult::NotResolved: return HsmReachability::NotResolved;
    case platform::TcpProbeResult::Refused: return HsmReachability::Refused;
    case platform::TcpProbeResult::TimedOut: return HsmReachability::TimedOut;
    case platform::TcpProbeResult::Unreachable: return HsmReachability::Unreachable;
  }
  return HsmReachability::Refused;
}

std::string describeHsmReachability(HsmReachability reachability, const std::string& hostValue,
                                    uint32_t timeoutMs, bool callTimedOut) {
  std::string host;
  uint16_t port = 0;
  if (reachability == HsmReachability::BadAddress || !splitHsmHost(hostValue, host, port)) {
    return "o valor de [hsm] host ('" + hostValue + "') nao eh um endereco valido (use nome ou nome:porta)";
  }
  static constexpr ProbedServer kHsm{"[hsm] host", "o HSM/Tessel", "o login nao foi aceito (confira [hsm] usr e pwd)"};
  platform::TcpProbeResult result = platform::TcpProbeResult::Reachable;
  switch (reachability) {
    case HsmReachability::BadAddress:
    case HsmReachability::Reachable: break;
    case HsmReachability::NotResolved: result = platform::TcpProbeResult::NotResolved; break;
    case HsmReachability::Refused: result = platform::TcpProbeResult::Refused; break;
    case HsmReachability::TimedOut: result = platform::TcpProbeResult::TimedOut; break;
    case HsmReachability::Unreachable: result = platform::TcpProbeResult::Unreachable; break;
  }
  return describeProbeResult(result, kHsm, host, port, timeoutMs, callTimedOut);
}

std::string describeHsmLoginTooLong(const std::string& host, const std::string& user, const std::string& password) {
  const auto tooLong = [](const std::string& value, size_t field) { return value.size() >= field; };
  const auto sentence = [](const char* what, size_t bytes, size_t field) {
    return std::string(what) + " tem " + std::to_string(bytes) + " bytes, mais que os " + std::to_string(field - 1) +
           " que o HSM aceita";
  };
  // The password first: it is the one a person cannot see in the file.
  if (tooLong(password, KV_LOGIN_PASSWORD_FIELD_SIZE))
    return sentence("a senha de [hsm] (pwd)", password.size(), KV_LOGIN_PASSWORD_FIELD_SIZE) +
           " (troque a senha da conta por uma de ate " + std::to_string(KV_LOGIN_PASSWORD_FIELD_SIZE - 1) +
           " bytes)";
  if (tooLong(user, KV_LOGIN_USER_FIELD_SIZE))
    return sentence("o valor de [hsm] usr", user.size(), KV_LOGIN_USER_FIELD_SIZE);
  if (tooLong(host, KV_HOST_FIELD_SIZE)) return sentence("o valor de [hsm] host", host.size(), KV_HOST_FIELD_SIZE);
  return {};
}

std::string describeHsmOpenFailure(const std::string& host, const std::string& user, const std::string& password,
                                   uint32_t timeoutMs, bool callTimedOut) {
  std::string cause = describeHsmLoginTooLong(host, user, password);
  if (cause.empty()) cause = describeHsmReachability(probeHsmHost(host, timeoutMs), host, timeoutMs, callTimedOut);
  return cause;
}
