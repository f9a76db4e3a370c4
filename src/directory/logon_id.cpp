#include "directory/logon_id.h"

#include "logging/log.h"

namespace {

constexpr size_t kHsmUserIdLength = 15;

}  // namespace

std::string convertLogonToHsmUserIdWith(std::string_view logon, DigestFunction digestFunction) {
  std::string result;
  platform::Md5Digest digest{};
  if (digestFunction(logon, digest)) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : digest) {
      hex.push_back(kDigits[byte >> 4]);
      hex.push_back(kDigits[byte & 0x0F]);
    }
    if (hex.size() == 32) {
      hex[0] = 'A';
      hex.resize(kHsmUserIdLength);
      result = hex;
    }
  }
  if (result.size() != kHsmUserIdLength) {
    writeLog(Error, u"Erro na conversao do logon. Procure o atendimento de Suporte. Codigo 102.");
  }
  return result;
}

std::string convertLogonToHsmUserId(std::string logon) {
  return convertLogonToHsmUserIdWith(logon, &platform::md5Digest);
}
