#include "hsm/user_creation.h"

#include <utility>

#include "common/text.h"
#include "hsm/hsm_client.h"
#include "hsm/hsm_settings.h"
#include "hsm/user_operations.h"
#include "logging/log.h"

namespace {

// The letter that takes the place of the identifier's leading 'A'.
constexpr char kInitialPasswordLetter = 'k';

}  // namespace

std::string initialHsmPassword(std::string_view hsmUserId) {
  std::string password(hsmUserId);
  if (!password.empty()) password[0] = kInitialPasswordLetter;
  if (password.size() >= 3) std::swap(password[1], password[2]);
  return password;
}

CreationResult createSyncedUser(GroupMember member) {
  const std::u16string name = widenText(member.commonName);
  const std::u16string id = widenText(member.hsmUserId);
  if (member.hsmUserId.empty()) {
    writeLog(Error, u"ID do usuario [%s] vazio; o usuario nao foi criado no HSM/Tessel", name);
    return CreationResult::Failed;
  }
  if (!checkHsmUserIdLength(member.hsmUserId)) return CreationResult::Failed;

  CachedHsmSettings& settings = cachedHsmSettings(HsmOperation::Create);
  if (!refreshHsmSettings(settings)) return CreationResult::Failed;

  KvSession session = nullptr;
  const int32_t opened = openHsmSession(session, settings.host, settings.user, settings.password);
  if (opened != KV_OK) {
    writeLog(Error, u"Nao foi possivel conectar com o HSM/Tessel. Procure o atendimento de Suporte. Codigo %d.",
             opened);
    return CreationResult::Failed;
  }
  std::string password = initialHsmPassword(member.hsmUserId);
  const int32_t code = createHsmUser(session, kCreatedUserPermissionMask, member.hsmUserId, password);
  wipe(password);
  KvCloseSession(&session, 0);

  switch (code) {
    case KV_OK:
      writeLog(Info, u"Usuario criado no HSM/Tessel [%s] [%s]", name, id);
      return CreationResult::Created;
    case KV_ERR_USER_EXISTS:
      writeLog(Warning, u"O usuario [%s] [%s] jah existe dentro do HSM/Tessel", name, id);
      return setHsmUserBlocked(false, member.hsmUserId) ? CreationResult::Unblocked : CreationResult::Failed;
    case KV_ERR_INVALID_USER_ID:
      writeLog(Error, u"ID do usuario [%s] [%s] invalido para o HSM/Tessel", name, id);
      return CreationResult::Failed;
    default:
      writeLog(Error, u"Nao foi possivel criar o usuario no HSM/Tessel [%s] [%s] codigo %d", name, id, code);
      return CreationResult::Failed;
  }
}
