// Test helper for the round trip of kelvasync-passwd: decodes a pwd value
// exactly as the service does and prints the password's bytes in hex.
//   passwd-decode-check <hexadecimal value>
#include <cstdio>
#include <string>

#include "config/config.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string password = decodePasswordValue(argv[1], u"hsm");
  for (unsigned char c : password) std::printf("%02x", c);
  std::printf("\n");
  return 0;
}
