#include "sync/update_cycle.h"

#include <string>
#include <unordered_set>
#include <utility>

#include "common/stop_flag.h"
#include "common/text.h"
#include "directory/group_search.h"
#include "hsm/addb.h"
#include "hsm/hsm_client.h"
#include "hsm/hsm_settings.h"
#include "hsm/user_creation.h"
#include "hsm/user_operations.h"
#include "logging/log.h"

uint32_t searchCount = 0;

bool isManagedUserName(std::string_view name) {
  if (name.size() != 15 || name[0] != 'A') return false;
  for (size_t i = 1; i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

ReconcileActions defaultReconcileActions() {
  return ReconcileActions{setHsmUserBlocked, createSyncedUser, removeSyncedUser, writeAddb,
                          removalPolicy};
}

ReconcilePlan planReconciliation(const MemberList& members,
                                 const std::vector<std::string>& managedUserNames) {
  // Equality is byte for byte; a first-match search only answers "is there
  // an equal entry", which set membership answers the same way.
  std::unordered_set<std::string_view> managed;
  managed.reserve(managedUserNames.size());
  for (const std::string& name : managedUserNames) managed.insert(name);
  std::unordered_set<std::string_view> memberIds;
  memberIds.reserve(members.size());
  for (const GroupMember& member : members) memberIds.insert(member.hsmUserId);

  ReconcilePlan plan;
  plan.memberFound.reserve(members.size());
  for (const GroupMember& member : members)
    plan.memberFound.push_back(managed.count(member.hsmUserId) != 0 ? 1 : 0);
  plan.managedNameInGroup.reserve(managedUserNames.size());
  for (const std::string& name : managedUserNames)
    plan.managedNameInGroup.push_back(memberIds.count(name) != 0 ? 1 : 0);
  return plan;
}

void runUpdateCycle() { runUpdateCycleWith(searchGroupMembers, defaultReconcileActions()); }

void runUpdateCycleWith(GroupSearchFunction search, const ReconcileActions& actions) {
  MemberList members;
  if (!search(members)) return;
  ++searchCount;
  if (isStopRequested()) return;
  if (searchCount % 100 == 0) {
    const std::u16string line =
        u"Jah foram realizadas " + asciiToUtf16(std::to_string(searchCount)) + u" pesquisas no grupo";
    writeLog(Info, line);
  }
  writeLog(Console, u"Lembre-se: Pressione e segure a tecla ESC para cancelar a execucao");
  synchronizeHsmWith(members, actions);
}

void synchronizeHsm(const MemberList& members) {
  synchronizeHsmWith(members, defaultReconcileActions());
}

void synchronizeHsmWith(const MemberList& members, const ReconcileActions& actions) {
  CachedHsmSettings& settings = cachedHsmSettings(HsmOperation::UpdateCycle);
  if (!refreshHsmSettings(settings)) {
    std::u16string keys;
    for (const auto& [key, value] : {std::pair{u"host", &settings.host}, std::pair{u"usr", &settings.user},
                                     std::pair{u"pwd", &settings.password}}) {
      if (!value->empty()) continue;
      if (!keys.empty()) keys += u", ";
      keys += key;
    }
    writeLog(Error,
             u"Configuracao do HSM/Tessel incompleta: chave(s) %s da secao [hsm] vazia(s) ou ausente(s). "
             u"Nenhum usuario foi alterado neste ciclo.",
             keys);
    return;
  }

  std::vector<std::string> hsmUsers;
  const int32_t listed = listHsmUsers(hsmUsers, settings.host, settings.user, settings.password);
  if (listed != KV_OK) {
    writeLog(Error,
             u"Nao foi possivel obter a lista de usuarios do HSM/Tessel (conexao, login ou listagem). "
             u"Nenhum usuario foi alterado neste ciclo. Codigo %d.",
             listed);
    return;
  }
  writeLog(Console, u"Quantidade total de usuarios que existem dentro do HSM/Tessel: %d",
           static_cast<long long>(hsmUsers.size()));

  std::vector<std::string> managedUserNames;
  if (!isStopRequested()) {
    for (const std::string& name : hsmUsers)
      if (isManagedUserName(name)) managedUserNames.push_back(name);
  }
  writeLog(Console, u"Quantidade de usuarios supostamente criados via esse aplicativo: %d",
           static_cast<long long>(managedUserNames.size()));

  MemberList addbMembers;
  if (!isStopRequested()) readAddb(addbMembers);
  writeLog(Console, u"Quantidade de usuarios em 'addb': %d", static_cast<long long>(addbMembers.size()));

  if (!isStopRequested()) reconcileWith(members, managedUserNames, actions);
}

void reconcile(const MemberList& members, const std::vector<std::string>& managedUserNames) {
  reconcileWith(members, managedUserNames, defaultReconcileActions());
}

void reconcileWith(const MemberList& members, const std::vector<std::string>& managedUserNames,
                   const ReconcileActions& actions) {
  writeLog(Info, u"Inicio cruzamento");
  bool createNeeded = false;
  const ReconcilePlan plan = planReconciliation(members, managedUserNames);

  // Pass 1: every member is unblocked when it has a user, created when not.
  for (size_t i = 0; i < members.size(); ++i) {
    const GroupMember& member = members[i];
    if (plan.memberFound[i] != 0) {
      writeLog(Console, u"Esse usuario do AD jah se existe dentro do HSM/Tessel: [%s]",
               widenText(member.hsmUserId));
      actions.setBlocked(false, member.hsmUserId);
      continue;
    }
    writeLog(Info, u"Buscando usuarios AD no tessel");
    if (!member.hsmUserId.empty()) {
      writeLog(Info, u"Encontrado usuario do AD que NAO estah no HSM/Tessel: [%s]",
               widenText(member.hsmUserId));
      createNeeded = true;
      actions.create(member);
    }
    if (isStopRequested()) break;
  }

  writeLog(Info, u"Existe usuarios para criar %d", createNeeded ? 1 : 0);
  if (!createNeeded && !isStopRequested()) {
    writeLog(Console, u"Nao existem usuarios a serem criados no HSM/Tessel");
    writeLog(Console, u"O HSM/Tessel estah sincronizado com o AD");
  }

  // Pass 2: managed users without a member, as the removal policy says. The
  // list is the one listed before pass 1; users created above are not in it.
  if (!isStopRequested()) {
    for (size_t i = 0; i < managedUserNames.size(); ++i) {
      if (isStopRequested()) break;
      const std::string& name = managedUserNames[i];
      if (plan.managedNameInGroup[i] != 0) {
        writeLog(Console, u"Usuario do HSM/Tessel que tambem estah no AD: [%s]", widenText(name));
        continue;
      }
      writeLog(Warning, u"Encontrado usuario do HSM/Tessel que NAO estah no AD: [%s]", widenText(name));
      switch (actions.policy()) {
        case RemovalPolicy::Remove:
          actions.remove(name);
          break;
        case RemovalPolicy::Block:
          actions.setBlocked(true, name);
          break;
        case RemovalPolicy::Neither:
          writeLog(Warning, u"O Administrador desabilitou a remocao e o bloqueio de usuarios do HSM/Tessel [%s]",
                   widenText(name));
          break;
      }
    }
  }

  writeLog(Console, u"-----------------------------------------------------------------------");
  actions.saveMembers(members);
}

int64_t pauseSliceCount(int32_t waitSeconds) {
  // c / 2.5 >= W  <=>  2c >= 5W; the first such c is ceil(5W / 2), and the
  // pause is the c - 1 slices before it. Whole numbers keep this exact for
  // every 32-bit W.
  if (waitSeconds <= 0) return 0;
  const int64_t fiveW = 5 * static_cast<int64_t>(waitSeconds);
  return (fiveW + 1) / 2 - 1;
}
