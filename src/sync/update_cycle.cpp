#include "sync/update_cycle.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "runtime/stop_flag.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/group_search.h"
#include "hsm/addb.h"
#include "hsm/hsm_client.h"
#include "hsm/hsm_reachability.h"
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
                          removalPolicy,     removalLimit,     hsmStoppedAnswering};
}

bool hsmStoppedAnswering(std::u16string& cause, int32_t& code) {
  std::string host;
  code = takeSessionOpenFailure(host);
  if (code == KV_OK) return false;  // the HSM answered and refused this one operation
  const HsmReachability reachability = probeHsmHost(host);
  if (reachability == HsmReachability::Reachable) return false;  // it listens: the login or rights failed
  cause = widenText(describeHsmReachability(reachability, host));
  return true;
}

ReconcilePlan matchMembers(const MemberList& members, const std::vector<std::string>& managedUserNames) {
  // Equality is byte for byte; a first-match search only answers "is there
  // an equal entry", which set membership answers the same way.
  std::unordered_set<std::string_view> managed;
  managed.reserve(managedUserNames.size());
  for (const std::string& name : managedUserNames) managed.insert(name);
  // Each identifier with the first member that has it. A group lists each
  // entry once, so a later member with the same identifier is another
  // person sharing that HSM user.
  std::unordered_map<std::string_view, size_t> memberIds;
  memberIds.reserve(members.size());
  ReconcilePlan plan;
  std::unordered_map<std::string_view, size_t> collisionOf;  // identifier -> index in plan.collisions
  for (size_t i = 0; i < members.size(); ++i) {
    const GroupMember& member = members[i];
    const auto [first, inserted] = memberIds.try_emplace(member.hsmUserId, i);
    if (inserted || member.hsmUserId.empty()) continue;
    const auto [slot, isNew] = collisionOf.try_emplace(member.hsmUserId, plan.collisions.size());
    if (isNew) {
      const GroupMember& earlier = members[first->second];
      plan.collisions.push_back({member.hsmUserId, {{earlier.logon, earlier.commonName}}});
    }
    plan.collisions[slot->second].members.emplace_back(member.logon, member.commonName);
  }

  plan.emptyRead = true;  // until a member with an identifier turns up
  plan.memberFound.reserve(members.size());
  plan.memberSteps.reserve(members.size());
  for (const GroupMember& member : members) {
    const bool found = managed.count(member.hsmUserId) != 0;
    plan.memberFound.push_back(found ? 1 : 0);
    const MemberStep step = found                      ? MemberStep::Unblock
                            : member.hsmUserId.empty() ? MemberStep::Skip
                                                       : MemberStep::Create;
    plan.memberSteps.push_back(step);
    if (step == MemberStep::Skip && !member.logon.empty()) ++plan.unidentifiedMembers;
    if (!member.hsmUserId.empty()) plan.emptyRead = false;
    ++(step == MemberStep::Unblock ? plan.unblockCount
       : step == MemberStep::Create ? plan.createCount
                                    : plan.skipCount);
  }
  plan.managedNameInGroup.reserve(managedUserNames.size());
  for (const std::string& name : managedUserNames) {
    const bool inGroup = memberIds.count(name) != 0;
    plan.managedNameInGroup.push_back(inGroup ? 1 : 0);
    if (!inGroup) ++plan.orphanCount;
  }
  plan.emptyRead = plan.emptyRead && !managedUserNames.empty();
  return plan;
}

void decideManagedUsers(ReconcilePlan& plan, const ReconcileOptions& options,
                        const std::vector<std::string>& managedUserNames) {
  plan.managedBlockedBefore.assign(plan.managedNameInGroup.size(), 0);
  if (options.blockedBefore != nullptr) {
    for (size_t i = 0; i < managedUserNames.size() && i < plan.managedBlockedBefore.size(); ++i) {
      plan.managedBlockedBefore[i] = options.blockedBefore->count(managedUserNames[i]) != 0;
    }
  }
  const ManagedStep orphanStep = options.policy == RemovalPolicy::Remove  ? ManagedStep::Remove
                                 : options.policy == RemovalPolicy::Block ? ManagedStep::Block
                                                                          : ManagedStep::Report;
  plan.managedSteps.clear();
  plan.managedSteps.reserve(plan.managedNameInGroup.size());
  plan.keepCount = plan.removeCount = plan.blockCount = plan.reportCount = 0;
  plan.departureCount = plan.keptBlockCount = 0;
  for (size_t i = 0; i < plan.managedNameInGroup.size(); ++i) {
    const ManagedStep step = plan.managedNameInGroup[i] != 0 ? ManagedStep::Keep : orphanStep;
    plan.managedSteps.push_back(step);
    ++(step == ManagedStep::Keep     ? plan.keepCount
       : step == ManagedStep::Remove ? plan.removeCount
       : step == ManagedStep::Block  ? plan.blockCount
                                     : plan.reportCount);
    if (step != ManagedStep::Remove && step != ManagedStep::Block) continue;
    if (plan.managedBlockedBefore[i] != 0) {
      plan.keptBlockCount += step == ManagedStep::Block;
    } else {
      ++plan.departureCount;
    }
  }
  plan.unreadableMembers = options.unreadableMembers;
  // A member that could not be read may own any of the names without a
  // member; only a group read completely can make anyone lose a user.
  plan.sparedForUnreadable = options.unreadableMembers > 0 || plan.unidentifiedMembers > 0;
  plan.removalLimitExceeded = !plan.sparedForUnreadable && !plan.emptyRead && options.maxRemovals.has_value() &&
                              plan.departureCount > *options.maxRemovals;
}

ReconcilePlan planReconciliation(const MemberList& members, const std::vector<std::string>& managedUserNames,
                                 const ReconcileOptions& options) {
  ReconcilePlan plan = matchMembers(members, managedUserNames);
  decideManagedUsers(plan, options, managedUserNames);
  return plan;
}

CycleResult runUpdateCycle() {
  const GroupSearchFunction search = searchGroupMembers;
  return runUpdateCycleWith(search, defaultReconcileActions());
}

CycleResult runUpdateCycleWith(GroupSearchFunction search, const ReconcileActions& actions) {
  MemberList members;
  uint32_t unreadableMembers = 0;
  CycleResult result;
  if (!search(members, unreadableMembers)) {
    // A wholly empty [activedirectory] is skipped by the search: a gap of
    // the configuration, not a failing directory.
    result.outcome = isStopRequested()                ? CycleOutcome::Stopped
                     : directorySettings.unconfigured ? CycleOutcome::Configuration
                                                      : CycleOutcome::Directory;
    return result;
  }
  ++searchCount;
  if (isStopRequested()) return result;
  if (searchCount % 100 == 0) {
    const std::u16string line =
        u"Jah foram realizadas " + asciiToUtf16(std::to_string(searchCount)) + u" pesquisas no grupo";
    writeLog(Info, line);
  }
  writeLog(Console, u"Lembre-se: Pressione e segure a tecla ESC para cancelar a execucao");
  return synchronizeHsmWith(members, actions, unreadableMembers);
}

void synchronizeHsm(const MemberList& members) {
  synchronizeHsmWith(members, defaultReconcileActions());
}

CycleResult synchronizeHsmWith(const MemberList& members, const ReconcileActions& actions,
                               uint32_t unreadableMembers) {
  CycleResult result;
  CachedHsmSettings& settings = cachedHsmSettings(HsmOperation::UpdateCycle);
  if (!refreshHsmSettings(settings)) {
    // A pwd that is written but gave no password (a sealed one that did not
    // open, a value too long to decode) is no empty key: its own Erro line
    // said why, and this one points to it.
    const bool pwdWritten = settings.password.empty() && !readPasswordValue(configFilePath(), "hsm").empty();
    std::u16string keys;
    for (const auto& [key, value] : {std::pair{u"host", &settings.host}, std::pair{u"usr", &settings.user},
                                     std::pair{u"pwd", &settings.password}}) {
      if (!value->empty() || (value == &settings.password && pwdWritten)) continue;
      if (!keys.empty()) keys += u", ";
      keys += key;
    }
    if (!keys.empty()) {
      writeLog(Error,
               u"Configuracao do HSM/Tessel incompleta: chave(s) %s da secao [hsm] vazia(s) ou ausente(s). "
               u"Nenhum usuario foi alterado neste ciclo.",
               keys);
    }
    if (pwdWritten) {
      writeLog(Error,
               u"A senha (pwd) da secao [hsm] estah escrita, mas nao pode ser obtida (veja a linha de Erro que diz "
               u"por que). Nenhum usuario foi alterado neste ciclo.");
    }
    result.outcome = CycleOutcome::Configuration;
    return result;
  }

  std::vector<std::string> hsmUsers;
  bool sessionOpened = false;
  const auto listStart = std::chrono::steady_clock::now();
  const int32_t listed = listHsmUsers(hsmUsers, settings.host, settings.user, settings.password, &sessionOpened);
  if (listed != KV_OK) {
    // The step that failed: the connection and login, or the listing. A
    // failed opening gets its cause from a probe of our own, so that the
    // line reads the same whatever codes the client library uses; its
    // duration tells an HSM that does not answer from a refused login.
    std::u16string cause;
    if (!sessionOpened) {
      const bool slow = std::chrono::steady_clock::now() - listStart >= std::chrono::milliseconds(kHsmSilentAfterMs);
      cause = u" Causa: ";
      cause += widenText(
          describeHsmOpenFailure(settings.host, settings.user, settings.password, kHsmProbeTimeoutMs, slow));
      cause += u'.';
    }
    writeLog(Error, u"Nao foi possivel %s. Nenhum usuario foi alterado neste ciclo. Codigo %d.%s",
             sessionOpened ? u"listar os usuarios do HSM/Tessel"
                           : u"conectar ao HSM/Tessel para listar os usuarios (conexao ou login)",
             listed, cause);
    result.outcome = CycleOutcome::Hsm;
    return result;
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

  StoredMemberList stored;
  if (!isStopRequested()) stored.read = readAddb(stored.members);
  writeLog(Console, u"Quantidade de usuarios em 'addb': %d", static_cast<long long>(stored.members.size()));

  if (isStopRequested()) return result;
  BlockedUsers blocked = loadBlockedUsers(stored, managedUserNames);
  result.counts = reconcileWith(members, managedUserNames, actions, unreadableMembers, &blocked);
  if (blocked.changed) saveBlockedUsers(blocked);
  result.reconciled = true;
  result.heldBack = heldBackOf(result.counts);
  result.outcome = isStopRequested() ? CycleOutcome::Stopped
                   : result.counts.unreadable > 0 || result.counts.emptyReadHeld ? CycleOutcome::Directory
                   : result.counts.failed > 0                                     ? CycleOutcome::Hsm
                                                                                  : CycleOutcome::Complete;
  return result;
}

void logIdentifierCollision(const IdentifierCollision& collision) {
  std::u16string logons;
  for (size_t i = 0; i < collision.members.size(); ++i) {
    if (i > 0) logons += i + 1 == collision.members.size() ? u" e " : u", ";
    logons += u'[';
    logons += widenText(collision.members[i].first);
    logons += u"] (";
    logons += widenText(collision.members[i].second);
    logons += u')';
  }
  writeLog(Warning,
           u"Os logons %s do Grupo resultam no mesmo usuario do HSM/Tessel [%s] e compartilham esse usuario; "
           u"ele permanece enquanto um deles for membro",
           logons, widenText(collision.hsmUserId));
}

void reconcile(const MemberList& members, const std::vector<std::string>& managedUserNames) {
  reconcileWith(members, managedUserNames, defaultReconcileActions());
}

ReconcileCounts reconcileWith(const MemberList& members, const std::vector<std::string>& managedUserNames,
                              const ReconcileActions& actions, uint32_t unreadableMembers, BlockedUsers* blocked) {
  writeLog(Info, u"Inicio cruzamento");
  // The HSM's listing is the whole truth about who exists: a recorded block
  // of a user that is gone (removed by hand or by this service) is dropped.
  if (blocked != nullptr) {
    const std::unordered_set<std::string_view> listed(managedUserNames.begin(), managedUserNames.end());
    for (auto it = blocked->names.begin(); it != blocked->names.end();) {
      if (listed.count(*it) != 0) {
        ++it;
        continue;
      }
      it = blocked->names.erase(it);
      blocked->changed = true;
    }
  }
  const auto forget = [blocked](const std::string& name) {
    if (blocked != nullptr && blocked->names.erase(name) != 0) blocked->changed = true;
  };
  bool createNeeded = false;
  ReconcilePlan plan = matchMembers(members, managedUserNames);
  ReconcileCounts counts;
  // Members read are users: a nested group or a contact in the group is no
  // member of the HSM's (its record stays in the list and in addb).
  counts.membersRead = static_cast<size_t>(
      std::count_if(members.begin(), members.end(), [](const GroupMember& m) { return !m.logon.empty(); }));
  counts.unreadable = unreadableMembers + plan.unidentifiedMembers;
  counts.emptyReadHeld = plan.emptyRead;
  // Only a read that showed the whole group may replace the stored list. A
  // member whose identifier could not be derived was read (its record is
  // saved with an empty identifier); one that could not be read was not.
  // Decided before the passes: a stop that ends them early must not make an
  // incomplete read look complete to the save.
  const bool readComplete = unreadableMembers == 0 && !plan.emptyRead;
  // Once the HSM stops answering, every further operation would wait for
  // its time-outs in turn: the passes end, and what is left (the save
  // included) waits for the next cycle, with one line that says why.
  bool hsmGone = false;
  std::string ignoredHost;
  takeSessionOpenFailure(ignoredHost);  // a failure before the passes is not theirs
  const auto tally = [&](bool succeeded, size_t& done) {
    ++(succeeded ? done : counts.failed);
    std::u16string cause;
    int32_t code = 0;
    if (succeeded || hsmGone || actions.hsmGone == nullptr || !actions.hsmGone(cause, code)) return;
    hsmGone = true;
    writeLog(Error,
             u"O HSM/Tessel parou de responder durante o ciclo; as operacoes restantes e a gravacao de 'addb' "
             u"ficam para o proximo ciclo. Codigo %d. Causa: %s.",
             code, cause);
  };
  for (const IdentifierCollision& collision : plan.collisions) logIdentifierCollision(collision);
  counts.collisions = plan.collisions.size();

  // Pass 1: every member is unblocked when it has a user, created when not.
  // The stop flag is read after every member, so that a stop waits for at
  // most the one HSM operation in hand.
  for (size_t i = 0; i < members.size(); ++i) {
    const GroupMember& member = members[i];
    if (plan.memberSteps[i] == MemberStep::Unblock) {
      writeLog(Console, u"Esse usuario do AD jah se existe dentro do HSM/Tessel: [%s]",
               widenText(member.hsmUserId));
      const bool unblocked = actions.setBlocked(false, member.hsmUserId);
      if (unblocked) forget(member.hsmUserId);
      tally(unblocked, counts.unblocked);
    } else {
      writeLog(Info, u"Buscando usuarios AD no tessel");
      if (plan.memberSteps[i] == MemberStep::Create) {
        writeLog(Info, u"Encontrado usuario do AD que NAO estah no HSM/Tessel: [%s]",
                 widenText(member.hsmUserId));
        createNeeded = true;
        const CreationResult result = actions.create(member);
        if (result == CreationResult::Unblocked) forget(member.hsmUserId);
        tally(result != CreationResult::Failed,
              result == CreationResult::Unblocked ? counts.unblocked : counts.created);
      }
    }
    if (hsmGone) {
      for (size_t j = i + 1; j < members.size(); ++j) counts.notDone += plan.memberSteps[j] != MemberStep::Skip;
      break;
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
  // The policy and the limit are read only when some name lacks a member.
  if (!isStopRequested() && !hsmGone) {
    ReconcileOptions options;
    options.unreadableMembers = unreadableMembers;
    if (blocked != nullptr && blocked->known) options.blockedBefore = &blocked->names;
    if (plan.orphanCount > 0 && counts.unreadable == 0 && !plan.emptyRead) {
      options.policy = actions.policy();
      if (options.policy != RemovalPolicy::Neither && actions.limit != nullptr) options.maxRemovals = actions.limit();
    }
    decideManagedUsers(plan, options, managedUserNames);

    if (plan.sparedForUnreadable) {
      writeLog(Warning,
               u"%d membro(s) do Grupo nao puderam ser lidos; nenhum usuario do HSM/Tessel foi bloqueado ou removido",
               static_cast<long long>(counts.unreadable));
    } else if (plan.emptyRead) {
      writeLog(Warning,
               u"Nenhum membro com identificador foi lido no Grupo e existem %d usuario(s) do HSM/Tessel criados por "
               u"este servico: nenhum foi bloqueado ou removido, pois uma leitura incompleta (permissoes da conta) "
               u"parece igual a um Grupo vazio. Se o Grupo foi esvaziado de proposito, bloqueie ou remova esses "
               u"usuarios no HSM/Tessel manualmente",
               static_cast<long long>(managedUserNames.size()));
    } else if (plan.removalLimitExceeded) {
      counts.removalLimitTripped = true;
      writeLog(Warning,
               u"O ciclo bloquearia ou removeria %d usuarios do HSM/Tessel que sairam do Grupo desde a ultima leitura "
               u"completa, acima do limite maxremovals = %d; nenhum usuario foi bloqueado ou removido",
               static_cast<long long>(plan.departureCount), static_cast<long long>(*options.maxRemovals));
      if (blocked != nullptr && !blocked->known) {
        writeLog(Warning,
                 u"Nao ha registro dos usuarios que este servico jah bloqueou (%s) nem lista de membros guardada em "
                 u"'addb' que os mostre: neste ciclo todo usuario do HSM/Tessel sem membro no Grupo contou para o "
                 u"limite. Se eles sairam do Grupo de fato, aumente maxremovals uma vez",
                 blockedUsersPath());
      }
    }
  }
  if (!isStopRequested() && !hsmGone && plan.passTwoRuns()) {
    for (size_t i = 0; i < managedUserNames.size(); ++i) {
      if (hsmGone) {
        const ManagedStep step = plan.managedSteps[i];
        counts.notDone += step == ManagedStep::Remove || step == ManagedStep::Block;
        continue;
      }
      if (isStopRequested()) break;
      const std::string& name = managedUserNames[i];
      const ManagedStep step = plan.managedSteps[i];
      if (step == ManagedStep::Keep) {
        writeLog(Console, u"Usuario do HSM/Tessel que tambem estah no AD: [%s]", widenText(name));
        continue;
      }
      // A user this service blocked in an earlier cycle is blocked again, as
      // every cycle does, but its line stays in the file: the journal heard
      // of that departure when it happened.
      const bool blockedBefore = plan.managedBlockedBefore[i] != 0;
      if (blockedBefore && step == ManagedStep::Block) {
        writeRepeatedLog(Warning, u"Encontrado usuario do HSM/Tessel que NAO estah no AD: [%s]", widenText(name));
      } else {
        writeLog(Warning, u"Encontrado usuario do HSM/Tessel que NAO estah no AD: [%s]", widenText(name));
      }
      switch (step) {
        case ManagedStep::Remove: {
          const bool removed = actions.remove(name);
          if (removed) forget(name);
          tally(removed, counts.removed);
          break;
        }
        case ManagedStep::Block: {
          const bool done = actions.setBlocked(true, name);
          if (done && blocked != nullptr && blocked->names.insert(name).second) blocked->changed = true;
          tally(done, blockedBefore ? counts.keptBlocked : counts.blocked);
          break;
        }
        case ManagedStep::Keep:
        case ManagedStep::Report:
          writeLog(Warning, u"O Administrador desabilitou a remocao e o bloqueio de usuarios do HSM/Tessel [%s]",
                   widenText(name));
          break;
      }
    }
  }

  writeLog(Console, u"-----------------------------------------------------------------------");
  // Only a complete read replaces the stored list: a list with members
  // missing would become addb, and the next save would push the last
  // complete one out of addb_backup as well. (A stop that cut the passes
  // short leaves the read complete, so the list is saved.)
  if (hsmGone) {
    counts.storedListKept = true;
    ++counts.notDone;
  } else if (!readComplete) {
    counts.storedListKept = true;
    writeLog(Warning,
             u"A leitura do Grupo nao foi completa; a lista de membros guardada no HSM/Tessel ('addb' e "
             u"'addb_backup') foi mantida como estava");
  } else if (!actions.saveMembers(members) && !members.empty()) {
    // An empty list is never saved (there is nothing to store); any other
    // false is a backup or a write that failed and logged its step.
    counts.saveFailed = true;
    ++counts.failed;
  }
  writeJournaledLog(Info, u"%s", cycleSummaryLine(counts));
  if (counts.notDone > 0) {
    writeJournaledLog(Info, u"Operacoes deixadas para o proximo ciclo: %d", static_cast<long long>(counts.notDone));
  }
  return counts;
}

int64_t pauseSliceCount(int32_t waitSeconds) {
  // c / 2.5 >= W  <=>  2c >= 5W; the first such c is ceil(5W / 2), and the
  // pause is the c - 1 slices before it. Whole numbers keep this exact for
  // every 32-bit W.
  if (waitSeconds <= 0) return 0;
  const int64_t fiveW = 5 * static_cast<int64_t>(waitSeconds);
  return (fiveW + 1) / 2 - 1;
}
