#include "common/ldap_path.h"

#include "common/host_port.h"

bool parseLdapPath(std::string_view path, LdapPath& parts) {
  constexpr std::string_view kScheme = "ldap://";
  if (path.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    const char c = path[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) return false;
  }
  path.remove_prefix(kScheme.size());
  const size_t slash = path.find('/');
  const std::string hostPort(path.substr(0, slash));
  if (!splitHostPort(hostPort, 389, parts.host, parts.port)) return false;
  if (parts.host.find_first_of("[]") != std::string::npos) return false;  // no name or address holds one
  parts.portGiven = hostPort != parts.host && hostPort != "[" + parts.host + "]";
  parts.dn.clear();
  if (slash == std::string_view::npos) return true;
  for (size_t i = slash + 1; i < path.size(); ++i) {
    if (path[i] == '\\' && i + 1 < path.size() && path[i + 1] == '/') ++i;  // ADSI's escaped slash
    parts.dn.push_back(path[i]);
  }
  return true;
}
