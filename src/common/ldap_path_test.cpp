#include "common/ldap_path.h"

#include <gtest/gtest.h>

namespace {

std::string parsed(std::string_view path) {
  LdapPath parts;
  if (!parseLdapPath(path, parts)) return "refused";
  return parts.host + "|" + std::to_string(parts.port) + (parts.portGiven ? "|given|" : "||") + parts.dn;
}

TEST(LdapPathTest, HostPortAndDnComeApartAsTheHostValuesDo) {
  EXPECT_EQ(parsed("LDAP://dc01"), "dc01|389||");
  EXPECT_EQ(parsed("ldap://dc01.example.com:636/"), "dc01.example.com|636|given|");
  EXPECT_EQ(parsed("Ldap://[fd00::7]:3268/CN=G,DC=x"), "fd00::7|3268|given|CN=G,DC=x");
  EXPECT_EQ(parsed("LDAP://[fd00::7]"), "fd00::7|389||");
  EXPECT_EQ(parsed("LDAP://fd00::7"), "fd00::7|389||");  // a bare IPv6 address names no port
  // ADSI writes a slash inside the DN as "\/"; any other backslash stays.
  EXPECT_EQ(parsed("LDAP://dc01/CN=A\\/B\\,C,OU=x/y"), "dc01|389||CN=A/B\\,C,OU=x/y");
  // The port follows the host values' rule: digits only, 1 to 65535.
  for (const char* bad : {"LDAP://dc01:0", "LDAP://dc01:65536", "LDAP://dc01:99999", "LDAP://dc01:12a",
                          "LDAP://dc01:+1", "LDAP://dc01:", "LDAP://[fd00::7", "LDAP://[[fd00::7]", "LDAP://",
                          "LDAP:///CN=G",
                          "GC://dc01", "dc01", "LDAP:/dc01"}) {
    EXPECT_EQ(parsed(bad), "refused") << bad;
  }
  EXPECT_EQ(parsed("LDAP://dc01:65535"), "dc01|65535|given|");
}

}  // namespace
