#include "hsm/user_operations.h"

#include "common/text.h"
#include "hsm/hsm_client.h"
#include "hsm/hsm_settings.h"
#include "logging/log.h"

bool checkHsmUserIdLength(const std::string& userId) {
  if (userId.size() <= kHsmUserIdMaxBytes) return true;
  writeLog(Error,
           u"O identificador de usuario [%s] tem %d bytes, mais que os 16 aceitos pelo HSM/Tessel; nenhuma operacao foi feita",
           widenText(userId), static_cast<int>(userId.size()));
  return false;
}

namespace {

// A block or unblock that did not happen is said with the user it concerns:
// a former member who keeps access, or a member left blocked, must show in
// the log.
void logRefusedBlockChange(bool block, const std::string& userId, int32_t code) {
  writeLog(Warning, u"O %s do usuario [%s] no HSM/Tessel nao foi feito. Codigo %d",
           std::u16string(block ? u"bloqueio" : u"desbloqueio"), widenText(userId), code);
}

}  // namespace

bool setHsmUserBlocked(bool block, std::string userId) {
  if (!checkHsmUserIdLength(userId)) return false;
  CachedHsmSettings& settings = cachedHsmSettings(HsmOperation::SetBlocked);
  if (!refreshHsmSettings(settings)) return false;

  KvSession session = nullptr;
  const int32_t opened = openHsmSession(session, settings.host, settings.user, settings.password);
  if (opened != KV_OK) {
    writeLog(Error,
             u"Nao foi possivel fazer a operacao de %s do usuario. Procure o atendimento de Suporte. Codigo %d.",
             std::u16string(block ? u"bloqueio" : u"desbloqueio"), opened);
    logRefusedBlockChange(block, userId, opened);
    return false;
  }
  const int32_t code = KvSetUserParam(session, block ? KV_PARAM_BLOCK : KV_PARAM_UNBLOCK,
                                      userId.data(), static_cast<uint32_t>(userId.size()), 0);
  // The session ends before the log line is written: the line is flushed
  // to disk, and the HSM need not hold the session meanwhile (a fifth of a
  // cycle's time at 20,000 members).
  KvCloseSession(&session, 0);
  if (code != KV_OK) {
    logRefusedBlockChange(block, userId, code);
    return false;
  }
  writeLog(Info, u"O usuario [%s] foi %s no HSM/Tessel", widenText(userId),
           std::u16string(block ? u"bloqueado" : u"desbloqueado"));
  return true;
}

bool removeSyncedUser(std::string userId) {
  if (!checkHsmUserIdLength(userId)) return false;
  CachedHsmSettings& settings = cachedHsmSettings(HsmOperation::Remove);
  if (!refreshHsmSettings(settings)) return false;

  const int32_t code = removeHsmUser(settings.host, settings.user, settings.password, userId);
  if (code == KV_OK) {
    writeLog(Info, u"O usuario [%s] foi removido do HSM/Tessel. Essa operacao nao poderah ser desfeita",
             widenText(userId));
    return true;
  }
  writeLog(Error,
           u"Nao foi possivel remover o usuario [%s] do HSM/Tessel. Procure o atendimento de Suporte. Codigo %d.",
           widenText(userId), code);
  return false;
}
