#include "directory/logon_id.h"

#include "logging/log.h"

namespace {

constexpr size_t kHsmUserIdLength = 15;

}  // namespace

std::string convertLogonToHsmUserIdWith(std::string_view logon, DigestFunction digestFunction) {
  platform::Md5Digest digest{};
  if (digestFunction(logon, digest)) {
    // The 2nd to 15th hexadecimal digits, behind the "A" that takes the
    // first one's place.
    static constexpr char kDigits[] = "0123456789abcdef";
    char id[kHsmUserIdLength];
    id[0] = 'A';
    for (size_t i = 1; i < kHsmUserIdLength; ++i) {
      const uint8_t byte = digest[i / 2];
      id[i] = kDigits[i % 2 == 0 ? byte >> 4 : byte & 0x0F];
    }
    return std::string(id, kHsmUserIdLength);
  }
  writeLog(Error, u"Erro na conversao do logon. Procure o atendimento de Suporte. Codigo 102.");
  return {};
}

std::string convertLogonToHsmUserId(std::string logon) {
  return convertLogonToHsmUserIdWith(logon, &platform::md5Digest);
}
