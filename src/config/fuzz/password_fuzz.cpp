// Fuzz target: the decoding of pwd values. Any 64-byte buffer content must
// decode without reading or writing outside the buffer to at most 31 bytes;
// any storable password must survive encoding and decoding.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char buffer[kPasswordBufferSize];
  std::memset(buffer, 0x5A, sizeof buffer);  // unterminated unless the input says otherwise
  std::memcpy(buffer, data, size < sizeof buffer ? size : sizeof buffer);
  decodeConfigPassword(buffer);
  if (strnlen(buffer, sizeof buffer) > (kPasswordBufferSize - 1) / 2) std::abort();

  const std::string_view password(reinterpret_cast<const char*>(data), size);
  if (passwordFitsConfig(password)) {
    const std::string hex = encodeConfigPassword(password);
    if (decodePasswordValue(hex, u"hsm") != password) std::abort();
  }
  return 0;
}
