#include "logging/reachability.h"

#include "common/host_port.h"

std::string describeProbeResult(platform::TcpProbeResult result, const ProbedServer& server,
                                const std::string& host, uint16_t port, uint32_t probeTimeoutMs,
                                bool callTimedOut) {
  const std::string address = formatHostPort(host, port);
  switch (result) {
    case platform::TcpProbeResult::NotResolved:
      return "o nome '" + host + "' de " + server.hostKey + " nao foi resolvido (confira o nome e o DNS)";
    case platform::TcpProbeResult::Refused:
      return "nada aceita conexoes em " + address + " (conexao recusada: " + server.name +
             " estah ligado e nessa porta?)";
    case platform::TcpProbeResult::TimedOut:
      return address + " nao respondeu em " + std::to_string((probeTimeoutMs + 999) / 1000) +
             " s (sem resposta: confira a rede e o firewall)";
    case platform::TcpProbeResult::Unreachable:
      return "nao ha rota de rede ate " + address + " (rede inalcancavel)";
    case platform::TcpProbeResult::Reachable:
      break;
  }
  // The server takes connections. A call that gave up waiting met a server
  // that does not answer: the account is not to blame for that.
  if (callTimedOut) {
    return std::string(server.name) + " em " + address +
           " aceita conexoes, mas nao respondeu a tempo (servidor parado ou sobrecarregado?)";
  }
  return std::string(server.name) + " em " + address + " aceita conexoes; " + server.whenReachable;
}
