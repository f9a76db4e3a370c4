#include "common/host_port.h"

bool splitHostPort(const std::string& value, uint16_t defaultPort, std::string& host, uint16_t& port) {
  std::string portText;
  if (!value.empty() && value.front() == '[') {
    const size_t close = value.find(']');
    if (close == std::string::npos) return false;
    host = value.substr(1, close - 1);
    if (close + 1 < value.size()) {
      if (value[close + 1] != ':' || close + 2 == value.size()) return false;
      portText = value.substr(close + 2);
    }
  } else if (value.find(':') != std::string::npos && value.find(':') == value.rfind(':')) {
    const size_t colon = value.find(':');
    host = value.substr(0, colon);
    portText = value.substr(colon + 1);
    if (portText.empty()) return false;
  } else {
    host = value;  // a name, an IPv4 address or a bare IPv6 address
  }
  uint32_t number = defaultPort;
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    number = static_cast<uint32_t>(std::stoul(portText));
  }
  if (host.empty() || number == 0 || number > 65535) return false;
  port = static_cast<uint16_t>(number);
  return true;
}

std::string formatHostPort(const std::string& host, uint16_t port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}
