// Whole update cycles against a real emulator, with the group given by the
// test in place of the directory search: creation, unblocking, the removal
// policy, the addb save and its backup, users that are not the service's,
// an unreachable HSM, a stop in the middle, an empty group and duplicates;
// and with the real group search against slapd, members it cannot read.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "runtime/stop_flag.h"
#include "common/text.h"
#include "directory/group_search.h"
#include "directory/logon_id.h"
#include "hsm/addb.h"
#include "hsm/user_creation.h"
#include "hsm/user_operations.h"
#include "hsm_queries.h"
#include "slapd_fixture.h"
#include "sync/blocked_users.h"
#include "sync/update_cycle.h"
#include "sync_test_support.h"

namespace {

using namespace synctest;
using kvtest::kMasterPassword;

MemberList group;         // what the search hands to the cycle
std::string policyValue;  // the removeusers value the cycle sees
std::optional<uint32_t> limitValue;  // the maxremovals value the cycle sees
int creationsBeforeStop = -1;
int unblocksBeforeStop = -1;
int creationsBeforeKill = -1;  // the emulator is killed after that many creations
HsmServer* emulatorToKill = nullptr;

bool searchTestGroup(MemberList& members, uint32_t&) {
  members = group;
  return true;
}
RemovalPolicy policyFromValue() {
  std::string value = policyValue;
  return parseRemovalPolicy(value);
}
// Sets the stop flag while the HSM works on the n-th unblock, as a stop
// request arriving mid-pass would.
bool setBlockedThenMaybeStop(bool block, std::string userId) {
  if (!block && --unblocksBeforeStop == 0) storeStopRequested(true);
  return setHsmUserBlocked(block, std::move(userId));
}
CreationResult createThenMaybeStop(GroupMember member) {
  const CreationResult result = createSyncedUser(member);
  if (--creationsBeforeStop == 0) storeStopRequested(true);
  if (--creationsBeforeKill == 0) emulatorToKill->kill9();
  return result;
}

GroupMember groupMember(const std::string& logon, const std::string& name) {
  return GroupMember{logon, name, convertLogonToHsmUserId(logon)};
}

class UpdateCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(library_.code(), KV_OK);
    std::string error;
    server_ = HsmServer::start(HsmServer::Options{}, error);
    ASSERT_NE(server_, nullptr) << error;
    folder_.writeHsmSettings(server_->host(), "master", kMasterPassword);
    group.clear();
    policyValue.clear();
    limitValue.reset();
    creationsBeforeStop = -1;
    unblocksBeforeStop = -1;
    creationsBeforeKill = -1;
    storeStopRequested(false);
  }
  void TearDown() override { storeStopRequested(false); }

  // One cycle; returns the HSM logins it made and checks that it left no
  // session open. The group comes from `group`, or from the directory.
  uint32_t cycle(GroupSearchFunction search = searchTestGroup) {
    SessionWindow window(*server_);
    ReconcileActions actions = defaultReconcileActions();
    actions.policy = policyFromValue;
    actions.limit = [] { return limitValue; };
    actions.create = createThenMaybeStop;
    actions.setBlocked = setBlockedThenMaybeStop;
    lastResult_ = runUpdateCycleWith(search, actions);
    lastOutcome_ = lastResult_.outcome;
    return window.loginsSince();
  }
  std::string stored(const std::string& name) {
    std::string text;
    const int32_t code = readObject(*server_, std::string(kAddbAccount) + "/" + name, text);
    return code == KV_OK ? text : "<missing>";
  }
  static std::string addbTextOf(const MemberList& members) {
    std::string text;
    for (const GroupMember& m : members) text += m.hsmUserId + "\r\n" + m.logon + "\r\n" + m.commonName + "\r\n";
    return text;
  }
  bool loginWithInitialPassword(const GroupMember& m) {
    return tryLogin(*server_, m.hsmUserId, initialHsmPassword(m.hsmUserId)) == KV_OK;
  }

  kvtest::LibraryScope library_;
  std::unique_ptr<HsmServer> server_;
  ServiceFolder folder_;
  CycleOutcome lastOutcome_ = CycleOutcome::Stopped;
  CycleResult lastResult_;
};

TEST_F(UpdateCycle, CreatesThenUnblocksEveryMemberAndLeavesOtherUsersAlone) {
  // Users that are not of the identifier form, never to be touched even
  // under the removal policy.
  const std::vector<std::string> foreign = {"admin", "A0123456789ABCD", "A0123456789abc"};
  for (const auto& name : foreign) ASSERT_EQ(createByHand(*server_, name, "pw-" + name.substr(0, 5)), KV_OK);
  group = {groupMember("ana", "Ana Souza"), groupMember("bruno", "Bruno"), groupMember("carla", "Carla \xC9")};
  policyValue = "yes";

  // First cycle: listing, addb read, three creations, backup and write.
  EXPECT_EQ(cycle(), 1u + 1u + 3u + 2u);
  auto messages = folder_.messages();
  EXPECT_TRUE(contains(messages, "Quantidade total de usuarios que existem dentro do HSM/Tessel: 7"));
  EXPECT_TRUE(contains(messages, "Quantidade de usuarios supostamente criados via esse aplicativo: 0"));
  EXPECT_TRUE(contains(messages, "Quantidade de usuarios em 'addb': 0"));
  for (const GroupMember& m : group) {
    EXPECT_TRUE(contains(messages, "Usuario criado no HSM/Tessel [" + m.commonName + "] [" + m.hsmUserId + "]"));
    EXPECT_TRUE(loginWithInitialPassword(m)) << m.logon;
  }
  EXPECT_TRUE(contains(messages, "Existe usuarios para criar 1"));
  EXPECT_EQ(stored(kAddbObject), addbTextOf(group));
  EXPECT_EQ(stored(kAddbBackupObject), "<missing>");

  // A member blocked by hand is unblocked by the next cycle.
  ASSERT_EQ(blockByHand(*server_, group[1].hsmUserId), KV_OK);
  ASSERT_FALSE(loginWithInitialPassword(group[1]));
  folder_.clearLog();
  EXPECT_EQ(cycle(), 1u + 1u + 3u + 2u);
  messages = folder_.messages();
  EXPECT_TRUE(contains(messages, "Quantidade total de usuarios que existem dentro do HSM/Tessel: 10"));
  EXPECT_TRUE(contains(messages, "Quantidade de usuarios supostamente criados via esse aplicativo: 3"));
  EXPECT_TRUE(contains(messages, "Quantidade de usuarios em 'addb': 3"));
  for (const GroupMember& m : group) {
    EXPECT_TRUE(contains(messages, "O usuario [" + m.hsmUserId + "] foi desbloqueado no HSM/Tessel"));
    EXPECT_TRUE(contains(messages, "Usuario do HSM/Tessel que tambem estah no AD: [" + m.hsmUserId + "]"));
    EXPECT_TRUE(loginWithInitialPassword(m)) << m.logon;
  }
  EXPECT_TRUE(contains(messages, "O HSM/Tessel estah sincronizado com o AD"));
  EXPECT_EQ(stored(kAddbBackupObject), addbTextOf(group));

  for (const auto& name : foreign) {
    EXPECT_EQ(tryLogin(*server_, name, "pw-" + name.substr(0, 5)), KV_OK) << name;
    for (const auto& message : messages) EXPECT_EQ(message.find("[" + name + "]"), std::string::npos) << message;
  }
}

TEST_F(UpdateCycle, AMemberWhoLeftIsBlockedKeptOrRemovedAsConfigured) {
  const GroupMember stays = groupMember("fica", "Fica");
  const GroupMember leaves = groupMember("sai", "Sai");
  group = {stays, leaves};
  cycle();
  group = {stays};
  const std::string gone = "Encontrado usuario do HSM/Tessel que NAO estah no AD: [" + leaves.hsmUserId + "]";

  policyValue = "BLOCK";
  folder_.clearLog();
  EXPECT_EQ(cycle(), 1u + 1u + 1u + 1u + 2u);  // list, read, unblock, block, save
  EXPECT_TRUE(contains(folder_.messages(), "O usuario [" + leaves.hsmUserId + "] foi bloqueado no HSM/Tessel"));
  EXPECT_EQ(labelOf(folder_.lines(), gone), "Atencao");
  EXPECT_FALSE(loginWithInitialPassword(leaves));
  EXPECT_TRUE(hasUser(*server_, leaves.hsmUserId));

  policyValue = "no";
  folder_.clearLog();
  EXPECT_EQ(cycle(), 1u + 1u + 1u + 2u);
  EXPECT_TRUE(contains(folder_.messages(),
                       "O Administrador desabilitou a remocao e o bloqueio de usuarios do HSM/Tessel [" +
                           leaves.hsmUserId + "]"));
  EXPECT_TRUE(hasUser(*server_, leaves.hsmUserId));

  policyValue = "Yes";
  folder_.clearLog();
  cycle();
  EXPECT_FALSE(hasUser(*server_, leaves.hsmUserId));
  EXPECT_TRUE(hasUser(*server_, stays.hsmUserId));
  EXPECT_TRUE(loginWithInitialPassword(stays));
  EXPECT_EQ(stored(kAddbObject), addbTextOf(group));
}

TEST_F(UpdateCycle, TheRemovalLimitCountsDeparturesNotTheUsersItBlockedLongAgo) {
  // Twelve members leave, one per cycle, under removeusers=block and
  // maxremovals=10: each is blocked in the cycle it leaves and blocked again
  // in every later one, which the limit does not count; a cycle with no
  // departure blocks nobody new. A member who comes back is unblocked and
  // leaves the record.
  for (int i = 0; i < 14; ++i) group.push_back(groupMember("membro" + std::to_string(i), "M" + std::to_string(i)));
  const MemberList everyone = group;
  policyValue = "block";
  limitValue = 10;
  cycle();
  for (size_t left = 1; left <= 13; ++left) {
    SCOPED_TRACE(left);
    if (left <= 12) group.erase(group.begin());
    const size_t departures = left <= 12 ? 1 : 0, kept = std::min<size_t>(left - 1, 12);
    folder_.clearLog();
    cycle();
    EXPECT_EQ(lastOutcome_, CycleOutcome::Complete);
    EXPECT_FALSE(lastResult_.counts.removalLimitTripped);
    EXPECT_EQ(lastResult_.counts.blocked, departures);
    EXPECT_EQ(lastResult_.counts.keptBlocked, kept);
    const std::string read = std::to_string(group.size());
    EXPECT_TRUE(contains(folder_.messages(), "Resumo do cruzamento: membros lidos " + read + ", criados 0, "
                                             "desbloqueados " + read + ", bloqueados " + std::to_string(departures) +
                                             ", mantidos bloqueados " + std::to_string(kept) + ", removidos 0, "
                                             "operacoes com falha 0, membros ignorados por falha de leitura 0"));
    EXPECT_FALSE(loginWithInitialPassword(everyone[std::min<size_t>(left, 12) - 1]));
  }
  // Without its record, the stored list tells who left before the last
  // complete read; a member back in the group is unblocked and forgotten.
  std::filesystem::remove(std::filesystem::path(blockedUsersPath()));
  group.push_back(everyone[0]);
  cycle();
  EXPECT_EQ(lastResult_.counts.blocked, 0u);
  EXPECT_EQ(lastResult_.counts.keptBlocked, 11u);
  EXPECT_TRUE(loginWithInitialPassword(everyone[0]));
  std::ifstream record(std::filesystem::path(blockedUsersPath()), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(record)), {});
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11);
  EXPECT_EQ(text.find(everyone[0].hsmUserId), std::string::npos);
}

TEST_F(UpdateCycle, AnHsmThatCannotBeListedEndsTheCycleWithoutSavingAddb) {
  group = {groupMember("dora", "Dora")};
  ASSERT_EQ(writeAddbAccountObject(*server_, kAddbObject, "anterior\r\n\r\n\r\n"), KV_OK);
  const std::string reminder = "Lembre-se: Pressione e segure a tecla ESC para cancelar a execucao";
  auto failed = [](const std::string& step, int32_t code) {
    return "Nao foi possivel " + step + ". Nenhum usuario foi alterado neste ciclo. Codigo " + std::to_string(code) + ".";
  };
  // A failed opening names its cause, found by a probe of the address.
  auto openFailed = [&](int32_t code, const std::string& cause) {
    return failed("conectar ao HSM/Tessel para listar os usuarios (conexao ou login)", code) + " Causa: " + cause +
           ".";
  };
  const std::string reachable =
      "o HSM/Tessel em " + server_->host() + " aceita conexoes; o login nao foi aceito (confira [hsm] usr e pwd)";

  const std::string closed = "127.0.0.1:" + std::to_string(kvtest::closedPort());
  const std::string refused =
      openFailed(KV_ERR_CONNECTION_REFUSED,
                 "nada aceita conexoes em " + closed + " (conexao recusada: o HSM/Tessel estah ligado e nessa porta?)");
  folder_.writeHsmSettings(closed, "master", kMasterPassword);
  EXPECT_EQ(cycle(), 0u);
  EXPECT_EQ(folder_.messages().back(), refused);
  EXPECT_EQ(labelOf(folder_.lines(), refused), "Erro");

  folder_.clearLog();
  folder_.writeHsmSettings("hsm.invalid:4433", "master", kMasterPassword);
  EXPECT_EQ(cycle(), 0u);
  EXPECT_EQ(folder_.messages().back(),
            openFailed(KV_ERR_HOST_UNKNOWN,
                       "o nome 'hsm.invalid' de [hsm] host nao foi resolvido (confira o nome e o DNS)"));

  // Reachable, but the session user may not list users.
  folder_.clearLog();
  folder_.writeHsmSettings(server_->host(), kvtest::kReaderUser, kvtest::kReaderPassword);
  EXPECT_EQ(cycle(), 1u);
  EXPECT_EQ(folder_.messages(), (std::vector<std::string>{reminder, failed("listar os usuarios do HSM/Tessel", KV_ERR_ACCESS_DENIED)}));
  EXPECT_EQ(stored(kAddbObject), "anterior\r\n\r\n\r\n");
  EXPECT_FALSE(hasUser(*server_, group[0].hsmUserId));

  // A wrong password, and settings without some or all of their keys: one
  // line per cycle, every cycle.
  folder_.clearLog();
  folder_.writeHsmSettings(server_->host(), "master", "errada");
  cycle();
  cycle();
  EXPECT_EQ(countOf(folder_.messages(), openFailed(KV_ERR_LOGIN_REFUSED, reachable)), 2u);
  const std::string incomplete = "Configuracao do HSM/Tessel incompleta: chave(s) ";
  const std::string unchanged = " da secao [hsm] vazia(s) ou ausente(s). Nenhum usuario foi alterado neste ciclo.";
  for (const auto& [user, keys] : {std::pair{std::string(), std::string("host, usr, pwd")},
                                   std::pair{std::string("master"), std::string("host, pwd")}}) {
    folder_.clearLog();
    folder_.writeHsmSettings("", user, "");
    EXPECT_EQ(cycle(), 0u);
    EXPECT_EQ(folder_.messages(), (std::vector<std::string>{reminder, incomplete + keys + unchanged}));
    EXPECT_EQ(labelOf(folder_.lines(), incomplete + keys + unchanged), "Erro");
  }
  // A pwd that is written but gives no password (too long to decode) is no
  // empty key: its own line says why, and the cycle's line points to it.
  folder_.clearLog();
  folder_.writeIni("[hsm]\r\nhost=" + server_->host() + "\r\nusr=master\r\npwd=" + std::string(70, 'a') + "\r\n");
  EXPECT_EQ(cycle(), 0u);
  EXPECT_EQ(folder_.messages(),
            (std::vector<std::string>{reminder,
                                      "A senha criptografada (pwd) da secao hsm do arquivo de configuracao tem 70 "
                                      "caracteres, mais que o maximo de 63. A senha foi considerada vazia.",
                                      "A senha (pwd) da secao [hsm] estah escrita, mas nao pode ser obtida (veja a "
                                      "linha de Erro que diz por que). Nenhum usuario foi alterado neste ciclo."}));

  // A listing that never answers ends at the request time-out.
  kvtest::SilentListener silent;
  ASSERT_TRUE(silent.ok());
  KvFinalize();
  ::setenv("KELVASYNC_HSM_IO_TIMEOUT_MS", "300", 1);
  ASSERT_EQ(KvInitialize(0), KV_OK);
  ::unsetenv("KELVASYNC_HSM_IO_TIMEOUT_MS");
  folder_.clearLog();
  folder_.writeHsmSettings("127.0.0.1:" + std::to_string(silent.port()), "master", kMasterPassword);
  runUpdateCycleWith(searchTestGroup, defaultReconcileActions());
  EXPECT_EQ(folder_.messages(),
            (std::vector<std::string>{reminder, openFailed(KV_ERR_TIMEOUT, "o HSM/Tessel em 127.0.0.1:" +
                                                                               std::to_string(silent.port()) +
                                                                               " aceita conexoes; o login nao foi "
                                                                               "aceito (confira [hsm] usr e pwd)")}));
}

TEST_F(UpdateCycle, AStopDuringCreationFinishesThatMemberSkipsPassTwoAndStillSaves) {
  const GroupMember old = groupMember("antigo", "Antigo");
  group = {old};
  cycle();
  group = {groupMember("e1", "E1"), groupMember("e2", "E2"), groupMember("e3", "E3")};
  policyValue = "yes";
  creationsBeforeStop = 1;
  folder_.clearLog();
  cycle();
  EXPECT_TRUE(hasUser(*server_, group[0].hsmUserId));
  EXPECT_FALSE(hasUser(*server_, group[1].hsmUserId));
  EXPECT_FALSE(hasUser(*server_, group[2].hsmUserId));
  EXPECT_TRUE(hasUser(*server_, old.hsmUserId));  // pass 2 never ran
  const auto messages = folder_.messages();
  EXPECT_TRUE(contains(messages, "Existe usuarios para criar 1"));
  EXPECT_FALSE(contains(messages, "Encontrado usuario do HSM/Tessel que NAO estah no AD: [" + old.hsmUserId + "]"));
  EXPECT_TRUE(contains(messages, std::string(71, '-')));
  EXPECT_EQ(stored(kAddbObject), addbTextOf(group));
}

TEST_F(UpdateCycle, AStopDuringSteadyStateUnblockingEndsAfterTheUnblockInHand) {
  std::string error;
  server_ = HsmServer::start(HsmServer::Options{25}, error);  // every request takes 25 ms more
  ASSERT_NE(server_, nullptr) << error;
  folder_.writeHsmSettings(server_->host(), "master", kMasterPassword);
  for (int i = 0; i < 12; ++i) group.push_back(groupMember("membro" + std::to_string(i), "Membro"));
  cycle();
  policyValue = "yes";
  unblocksBeforeStop = 3;
  folder_.clearLog();
  // Listing, addb read, three unblocks, then the save's backup and write;
  // the other nine members wait for the next cycle.
  EXPECT_EQ(cycle(), 1u + 1u + 3u + 2u);
  const auto messages = folder_.messages();
  EXPECT_TRUE(contains(messages, "Resumo do cruzamento: membros lidos 12, criados 0, desbloqueados 3, bloqueados 0, "
                                 "mantidos bloqueados 0, removidos 0, operacoes com falha 0, membros ignorados por "
                                 "falha de leitura 0"));
  EXPECT_EQ(stored(kAddbObject), addbTextOf(group));
}

TEST_F(UpdateCycle, MembersTheDirectoryDoesNotShowCostNobodyTheirUser) {
  // Rita sits in an OU the service account may not read; Tardio's entry
  // lacks memberOf (added after the group), so only a read of its own DN
  // finds it.
  kvtest::DirectoryData data;
  const std::string suffix = kvtest::kSuffix;
  const std::string ana = data.addUser("Ana", "ana");
  data.add("ou=Restrito," + suffix, {"organizationalUnit"}, {{"ou", "Restrito"}});
  const std::string rita =
      data.add("cn=Rita,ou=Restrito," + suffix, {"user"}, {{"cn", "Rita"}, {"sn", "Rita"}, {"sAMAccountName", "rita"}});
  data.addGroup("Equipe", {ana, rita, "cn=Tardio,ou=Users," + suffix});
  data.addUser("Tardio", "tardio");
  kvtest::SlapdServer slapd(data);
  kvtest::trustCa(slapd.caFile());

  const MemberList everyone = {groupMember("ana", "Ana"), groupMember("rita", "Rita"), groupMember("tardio", "Tardio")};
  group = everyone;
  cycle();
  ASSERT_EQ(blockByHand(*server_, everyone[0].hsmUserId), KV_OK);

  directorySettings.ldapPath = utf8ToUtf16("LDAP://" + slapd.host());
  directorySettings.adUser = utf8ToUtf16(kvtest::kServiceAccount);
  directorySettings.adPassword = utf8ToUtf16(kvtest::kServicePassword);
  directorySettings.groupName = "CN=Equipe,OU=Groups," + suffix;
  policyValue = "yes";
  folder_.clearLog();
  cycle(searchGroupMembers);

  for (const GroupMember& m : everyone) EXPECT_TRUE(loginWithInitialPassword(m)) << m.logon;  // none blocked or removed
  const auto lines = folder_.lines();
  EXPECT_EQ(labelOf(lines, "1 membro(s) do Grupo nao puderam ser lidos; nenhum usuario do HSM/Tessel foi bloqueado "
                           "ou removido"),
            "Atencao");
  EXPECT_EQ(labelOf(lines, "Resumo do cruzamento: membros lidos 2, criados 0, desbloqueados 2, bloqueados 0, "
                           "mantidos bloqueados 0, removidos 0, operacoes com falha 0, membros ignorados por falha "
                           "de leitura 1"),
            "Info");
  EXPECT_EQ(lastOutcome_, CycleOutcome::Directory);
  EXPECT_EQ(stored(kAddbObject), addbTextOf(everyone));  // the last complete list stays

  // A wholly empty [activedirectory] (named once at start): the search is
  // skipped without a line, and the cycle counts as a configuration gap.
  directorySettings = DirectorySettings{};
  directorySettings.unconfigured = true;
  folder_.clearLog();
  EXPECT_EQ(runUpdateCycleWith(searchGroupMembers, defaultReconcileActions()).outcome, CycleOutcome::Configuration);
  EXPECT_TRUE(folder_.messages().empty());
  directorySettings.unconfigured = false;
}

TEST_F(UpdateCycle, AnEmptyGroupBlocksAndRemovesNobodyUnderEveryPolicyAndSavesNothing) {
  // An empty read looks the same as a group emptied on purpose, or as a
  // read the account's rights cut down to nothing: nobody is blocked or
  // removed, and the cycle does not pass for complete.
  const MemberList before = {groupMember("f1", "F1"), groupMember("f2", "F2")};
  group = before;
  cycle();
  const std::string heldLine =
      "Nenhum membro com identificador foi lido no Grupo e existem 2 usuario(s) do HSM/Tessel criados por este "
      "servico: nenhum foi bloqueado ou removido, pois uma leitura incompleta (permissoes da conta) parece igual a "
      "um Grupo vazio. Se o Grupo foi esvaziado de proposito, bloqueie ou remova esses usuarios no HSM/Tessel "
      "manualmente";
  for (const char* policy : {"yes", "block", "no"}) {
    SCOPED_TRACE(policy);
    group.clear();
    policyValue = policy;
    folder_.clearLog();
    cycle();
    EXPECT_EQ(lastOutcome_, CycleOutcome::Directory);
    for (const GroupMember& m : before) EXPECT_TRUE(loginWithInitialPassword(m)) << m.logon;
    EXPECT_EQ(labelOf(folder_.lines(), heldLine), "Atencao");
    EXPECT_EQ(stored(kAddbObject), addbTextOf(before));
  }
}

TEST_F(UpdateCycle, ReadsThatOnlyLookCompleteCostNobodyTheirUserNorTheStoredList) {
  // The service account may not read (start-slapd.sh): the whole member
  // attribute of "Sem Membros", Bia's value in "Um Oculto", the objectClass
  // of "Sem Classe", the value `user` alone of the objectClass of "Classe
  // Parcial", the logon of "Logon Oculto", and both the member attribute of
  // "Nenhum Visivel" and every memberOf that names it. "So Nao Usuarios"
  // holds a nested group and a contact only. Each incomplete read runs twice
  // in a row: the lists stored by the last complete cycle stay byte for byte.
  kvtest::DirectoryData data;
  const std::string suffix = kvtest::kSuffix;
  const std::string ana = data.addUser("Ana", "ana");
  const std::string bia = data.addUser("Bia", "bia");
  const std::string semClasse = data.addUser("Sem Classe", "semclasse");
  // Its classes as Active Directory lists a user's, so that hiding "user"
  // leaves others in view.
  const std::string classeParcial =
      data.add("cn=Classe Parcial,ou=Users," + suffix, {"top", "person", "organizationalPerson", "user"},
               {{"cn", "Classe Parcial"}, {"sn", "Classe Parcial"}, {"sAMAccountName", "classeparcial"}});
  const std::string logonOculto = data.addUser("Logon Oculto", "logonoculto");
  data.addGroup("Sem Membros", {ana, bia});
  data.addGroup("Um Oculto", {ana, bia});
  data.addGroup("Com Classe Oculta", {ana, semClasse});
  data.addGroup("Com Classe Parcial", {ana, classeParcial});
  data.addGroup("So Nao Usuarios", {data.addGroup("Interno", {}), data.addContact("Contato")});
  data.addGroup("Com Logon Oculto", {ana, logonOculto});
  data.addGroup("Nenhum Visivel", {ana, bia});
  // Two entries whose names differ in case only, under a case-exact naming
  // attribute: listed both, or one hidden from the account.
  std::vector<std::string> exact;
  for (const auto& [name, logon] : {std::pair{"Dup", "dupa"}, std::pair{"dup", "dupb"}}) {
    exact.push_back(data.add(std::string("kvExactName=") + name + ",ou=Users," + suffix, {"user", "kvExactNamed"},
                             {{"kvExactName", name}, {"cn", name}, {"sn", name}, {"sAMAccountName", logon}}));
  }
  data.addGroup("Exato", exact);
  data.addGroup("Exato Oculto", exact);
  // A member value spelled otherwise than its entry's name (a letter beyond
  // ASCII in another case); memberOf as the server would keep it.
  const std::string grafia = "cn=Grafia,ou=Groups," + suffix;
  data.add("cn=Jos\xc3\xa9,ou=Users," + suffix, {"user"},
           {{"cn", "Jos\xc3\xa9"}, {"sn", "Jos\xc3\xa9"}, {"sAMAccountName", "jose"}, {"memberOf", grafia}});
  data.addGroup("Grafia", {ana, "CN=JOS\xc3\x89,ou=Users," + suffix});
  kvtest::SlapdServer slapd(data);
  kvtest::trustCa(slapd.caFile());
  directorySettings.ldapPath = utf8ToUtf16("LDAP://" + slapd.host());
  directorySettings.adUser = utf8ToUtf16(kvtest::kServiceAccount);
  directorySettings.adPassword = utf8ToUtf16(kvtest::kServicePassword);

  const GroupMember former = groupMember("saiu", "Saiu");  // left the group: only a complete read may act on it
  const MemberList everyone = {groupMember("ana", "Ana"),          groupMember("bia", "Bia"),
                               groupMember("semclasse", "Sem Classe"), groupMember("logonoculto", "Logon Oculto"),
                               groupMember("jose", "Jos\xe9"),        groupMember("dupa", "Dup"),
                               groupMember("dupb", "dup"),            groupMember("classeparcial", "Classe Parcial"),
                               former};
  struct Case {
    const char* group;
    const char* policy;
    const char* line;  // the Warning that says why nothing was blocked or removed
    uint32_t pageSize = 0;  // entries per page of the member search; 0 keeps the default
  };
  const Case cases[] = {
      {"Sem Membros", "yes", "2 membro(s) do Grupo nao puderam ser lidos; nenhum usuario"},
      {"Sem Membros", "block", "2 membro(s) do Grupo nao puderam ser lidos; nenhum usuario"},
      {"Um Oculto", "yes", "1 membro(s) do Grupo nao puderam ser lidos; nenhum usuario"},
      {"Com Classe Oculta", "yes", "1 membro(s) do Grupo nao puderam ser lidos: [cn=Sem Classe,"},
      {"Com Classe Parcial", "yes", "1 membro(s) do Grupo nao puderam ser lidos: [cn=Classe Parcial,"},
      {"Com Logon Oculto", "yes", "1 membro(s) do Grupo nao puderam ser lidos: [cn=Logon Oculto,"},
      {"So Nao Usuarios", "block", "Nenhum membro com identificador foi lido no Grupo"},
      {"Nenhum Visivel", "yes", "Nenhum membro com identificador foi lido no Grupo"},
      {"Nenhum Visivel", "block", "Nenhum membro com identificador foi lido no Grupo"},
      {"Nenhum Visivel", "no", "Nenhum membro com identificador foi lido no Grupo"},
      // Neither entry may stand in for the other: the read fails, naming both.
      {"Exato", "yes", "duas entradas distintas do diretorio com o mesmo DN sem distincao de maiusculas: "
                       "[kvExactName=Dup,ou=Users,dc=kelvasync,dc=test] e [kvExactName=dup,ou=Users,"},
      {"Exato Oculto", "yes", "duas entradas distintas do diretorio com o mesmo DN sem distincao de maiusculas: "
                              "[kvExactName=Dup,ou=Users,dc=kelvasync,dc=test] e [kvExactName=dup,ou=Users,"},
      // The same, with each entry on a page of its own: the one handed out
      // on the first page is not forgotten by the second.
      {"Exato", "yes", "duas entradas distintas do diretorio com o mesmo DN sem distincao de maiusculas: ", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.group) + " " + c.policy);
    group = everyone;
    policyValue.clear();
    cycle();
    cycle();  // addb_backup now holds a complete list too
    const std::string addb = stored(kAddbObject), backup = stored(kAddbBackupObject);
    ASSERT_EQ(addb, addbTextOf(everyone));
    directorySettings.groupName = std::string("CN=") + c.group + ",OU=Groups," + suffix;
    policyValue = c.policy;
    folder_.clearLog();
    platform::DirectoryTuning tuning;
    tuning.pageSize = c.pageSize;
    platform::setDirectoryTuning(tuning);
    for (int run = 0; run < 2; ++run) {
      cycle(searchGroupMembers);
      EXPECT_EQ(lastOutcome_, CycleOutcome::Directory) << run;
      EXPECT_EQ(stored(kAddbObject), addb) << run;
      EXPECT_EQ(stored(kAddbBackupObject), backup) << run;
    }
    platform::setDirectoryTuning({});
    for (const GroupMember& m : everyone) EXPECT_TRUE(loginWithInitialPassword(m)) << m.logon;
    bool said = false;
    for (const std::string& message : folder_.messages()) said = said || message.find(c.line) != std::string::npos;
    EXPECT_TRUE(said) << c.line;
  }

  // A value spelled otherwise is still its entry's member: a complete read,
  // so the departure is carried out and the list saved.
  group = everyone;
  policyValue.clear();
  cycle();
  directorySettings.groupName = grafia;
  policyValue = "yes";
  folder_.clearLog();
  cycle(searchGroupMembers);
  EXPECT_EQ(lastOutcome_, CycleOutcome::Complete);
  EXPECT_FALSE(hasUser(*server_, former.hsmUserId));
  EXPECT_TRUE(loginWithInitialPassword(everyone[4]));
  EXPECT_EQ(stored(kAddbObject), addbTextOf({everyone[0], everyone[4]}));
}

TEST_F(UpdateCycle, TwoMembersWithOneIdentifierAreCreatedOnceAndThenUnblocked) {
  const GroupMember first = groupMember("gemeo", "Primeiro");
  GroupMember second = first;
  second.commonName = "Segundo";
  group = {first, second};
  EXPECT_EQ(cycle(), 1u + 1u + 1u + 2u + 2u);  // second creation adds the unblock's session
  const auto lines = folder_.lines();
  EXPECT_EQ(labelOf(lines, "Usuario criado no HSM/Tessel [Primeiro] [" + first.hsmUserId + "]"), "Info");
  EXPECT_EQ(labelOf(lines, "O usuario [Segundo] [" + first.hsmUserId + "] jah existe dentro do HSM/Tessel"),
            "Atencao");
  EXPECT_EQ(labelOf(lines, "Os logons [gemeo] (Primeiro) e [gemeo] (Segundo) do Grupo resultam no mesmo usuario do "
                           "HSM/Tessel [" + first.hsmUserId + "] e compartilham esse usuario; ele permanece enquanto "
                           "um deles for membro"),
            "Atencao");
  EXPECT_TRUE(loginWithInitialPassword(first));
  EXPECT_EQ(stored(kAddbObject), addbTextOf(group));
}

// ---- addb across faults -----------------------------------------------------
// Whatever happens to a save, one of addb and addb_backup holds the last
// complete member list. The emulator adds latency to every request, so that
// a kill lands inside the save without sleeping in the test.

class AddbAcrossFaults : public UpdateCycle {
 protected:
  void startWithLatency(uint32_t latencyMs) {
    std::string error;
    HsmServer::Options options;
    options.latencyMs = latencyMs;
    server_ = HsmServer::start(options, error);
    ASSERT_NE(server_, nullptr) << error;
    folder_.writeHsmSettings(server_->host(), "master", kMasterPassword);
  }
  // Kills the emulator -9 while `worker` runs, waits for the worker, then
  // starts the emulator again on its state (on a new port).
  void killDuring(std::thread& worker) {
    server_->kill9();
    worker.join();
    ASSERT_TRUE(server_->restart());
    folder_.writeHsmSettings(server_->host(), "master", kMasterPassword);
  }
  // One cycle on another thread; the emulator is killed as soon as the log
  // reports the backup, before the write session has logged in.
  void cycleKilledAfterTheBackup() {
    const size_t before = countOf(folder_.messages(), kBackupDone);
    std::thread worker([] {
      ReconcileActions actions = defaultReconcileActions();
      actions.policy = policyFromValue;
      runUpdateCycleWith(searchTestGroup, actions);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (countOf(folder_.messages(), kBackupDone) == before && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    killDuring(worker);
  }
  // The member list an object holds, or nullopt when it is missing or not
  // a complete list.
  std::optional<MemberList> storedList(const std::string& name) {
    std::string text;
    if (readObject(*server_, std::string(kAddbAccount) + "/" + name, text) != KV_OK) return std::nullopt;
    MemberList members;
    if (!parseAddbText(text, members)) return std::nullopt;
    return members;
  }
  static constexpr const char* kBackupDone = "Backup de 'addb' realizado com sucesso";
};

TEST_F(AddbAcrossFaults, TwoKillsRightAfterTheBackupInConsecutiveCyclesKeepTheList) {
  startWithLatency(40);
  const MemberList first = {groupMember("ana", "Ana"), groupMember("bia", "Bia")};
  group = first;
  cycle();
  ASSERT_EQ(stored(kAddbObject), addbTextOf(first));

  for (const char* joining : {"caio", "duda"}) {
    group.push_back(groupMember(joining, joining));
    cycleKilledAfterTheBackup();
    EXPECT_EQ(stored(kAddbObject), "<missing>") << joining;
    EXPECT_EQ(stored(kAddbBackupObject), addbTextOf(first)) << joining;
  }
  // The next save writes the list and keeps the only copy as the backup.
  cycle();
  EXPECT_EQ(stored(kAddbObject), addbTextOf(group));
  EXPECT_EQ(stored(kAddbBackupObject), addbTextOf(first));
}

TEST_F(AddbAcrossFaults, AnAccountThatCannotWriteTheObjectsNeverLosesTheList) {
  // May list, create and block users, but not write IntegracaoAD's objects.
  const std::string operatorName = "sincroniza", operatorPassword = "senha-op";
  {
    kvtest::ScopedSession session;
    ASSERT_EQ(session.open(server_->port(), "master", kMasterPassword), KV_OK);
    ASSERT_EQ(createHsmUser(session.handle, KV_PERM_USER_ADMIN | 0x4F, operatorName, operatorPassword), KV_OK);
  }
  const MemberList first = {groupMember("eva", "Eva")};
  group = first;
  cycle();
  ASSERT_EQ(stored(kAddbObject), addbTextOf(first));

  folder_.writeHsmSettings(server_->host(), operatorName, operatorPassword);
  group.push_back(groupMember("fabio", "Fabio"));
  const std::string refused = "Nao foi possivel salvar 'addb'. Procure o atendimento de Suporte. Codigo " +
                              std::to_string(KV_ERR_ACCESS_DENIED) + ".";
  // The first refusal names the right that is missing; the next ones only
  // repeat the code.
  const std::string named = refused + " A conta [hsm] usr (" + operatorName +
                            ") precisa poder gravar os objetos de IntegracaoAD (seja administradora de objetos do HSM).";
  for (int i = 0; i < 2; ++i) {
    folder_.clearLog();
    cycle();
    EXPECT_TRUE(hasUser(*server_, group[1].hsmUserId));  // the cycle did its work
    EXPECT_EQ(labelOf(folder_.lines(), i == 0 ? named : refused), "Erro") << "cycle " << i;
    EXPECT_EQ(stored(kAddbBackupObject), addbTextOf(first)) << "cycle " << i;
  }
}

TEST_F(AddbAcrossFaults, ABackupOrWriteThatFailsFailsTheCycleAndKeepsTheLastList) {
  // The emulator refuses or drops the backup's rename and the write in
  // turn: each such cycle is an HSM failure, and one of the two objects
  // still holds the last complete list.
  const std::string faults = (folder_.root() / "faults").string();
  std::string error;
  HsmServer::Options options;
  options.faultFile = faults;
  server_ = HsmServer::start(options, error);
  ASSERT_NE(server_, nullptr) << error;
  folder_.writeHsmSettings(server_->host(), "master", kMasterPassword);
  const MemberList first = {groupMember("ana", "Ana")};
  group = first;
  cycle();
  ASSERT_EQ(lastOutcome_, CycleOutcome::Complete);
  group.push_back(groupMember("bia", "Bia"));
  for (const char* fault : {"rename-object drop", "rename-object 5904", "write-object drop", "write-object 5904"}) {
    SCOPED_TRACE(fault);
    std::ofstream(faults, std::ios::trunc) << fault << "\n";
    folder_.clearLog();
    cycle();
    EXPECT_EQ(lastOutcome_, CycleOutcome::Hsm);
    EXPECT_TRUE(loginWithInitialPassword(group[1]));  // the rest of the cycle was done
    const bool backupFault = fault[0] == 'r';
    EXPECT_EQ(stored(kAddbObject), backupFault ? addbTextOf(first) : "<missing>");
    if (!backupFault) {
      EXPECT_EQ(stored(kAddbBackupObject), addbTextOf(first));
    }
    const std::string step = backupFault ? "Nao foi possivel fazer o backup interno 'addb'" : "Nao foi possivel salvar 'addb'";
    bool named = false;
    for (const auto& line : folder_.lines()) named = named || (line.label == "Erro" && line.message.rfind(step, 0) == 0);
    EXPECT_TRUE(named) << step;
    const std::string summary = folder_.messages().back();
    EXPECT_NE(summary.find("removidos 0, operacoes com falha 1, membros"), std::string::npos) << summary;
  }
  std::filesystem::remove(faults);
  cycle();
  EXPECT_EQ(lastOutcome_, CycleOutcome::Complete);
  EXPECT_EQ(stored(kAddbObject), addbTextOf(group));
  EXPECT_EQ(stored(kAddbBackupObject), addbTextOf(first));
}

TEST_F(AddbAcrossFaults, AnHsmThatStopsAnsweringEndsThePassesWithOneLineThatSaysWhy) {
  // 40 members to create; the emulator dies after the fifth creation. The
  // sixth finds nothing listening: one line with its cause, the other 34
  // and the save wait for the next cycle instead of failing one by one.
  startWithLatency(5);
  for (int i = 0; i < 40; ++i) group.push_back(groupMember("novo" + std::to_string(i), "Novo"));
  emulatorToKill = server_.get();
  creationsBeforeKill = 5;
  ReconcileActions actions = defaultReconcileActions();
  actions.create = createThenMaybeStop;
  EXPECT_EQ(runUpdateCycleWith(searchTestGroup, actions).outcome, CycleOutcome::Hsm);  // no session count: it died
  const auto lines = folder_.lines();
  size_t gone = 0, supportLines = 0;
  for (const auto& line : lines) {
    if (line.message.rfind("O HSM/Tessel parou de responder durante o ciclo", 0) == 0) {
      ++gone;
      EXPECT_EQ(line.label, "Erro");
      EXPECT_NE(line.message.find("Causa: nada aceita conexoes em"), std::string::npos) << line.message;
    }
    supportLines += line.message.find("Procure o atendimento de Suporte") != std::string::npos;
  }
  EXPECT_EQ(gone, 1u);
  EXPECT_LE(supportLines, 1u);  // the one operation that met the dead HSM
  EXPECT_TRUE(contains(folder_.messages(), "Operacoes deixadas para o proximo ciclo: 35"));
  ASSERT_TRUE(server_->restart());
  folder_.writeHsmSettings(server_->host(), "master", kMasterPassword);
  cycle();
  EXPECT_EQ(lastOutcome_, CycleOutcome::Complete);
  EXPECT_EQ(stored(kAddbObject), addbTextOf(group));
}

TEST_F(AddbAcrossFaults, KillsAtRandomPointsOfTheSaveNeverLoseTheLastCompleteList) {
  startWithLatency(5);
  auto listOf = [](int run) {
    MemberList members;
    for (int i = 0; i <= run % 4; ++i)
      members.push_back(groupMember("r" + std::to_string(run) + "m" + std::to_string(i), "Run " + std::to_string(run)));
    return members;
  };
  MemberList lastComplete = listOf(0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(writeAddb(lastComplete));
  const auto saveMicros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<long long> killAfter(0, saveMicros);
  int interrupted = 0;
  for (int run = 1; run <= 24; ++run) {
    const MemberList next = listOf(run);
    bool saved = false;
    std::thread worker([&] { saved = writeAddb(next); });
    std::this_thread::sleep_for(std::chrono::microseconds(killAfter(random)));
    killDuring(worker);

    const auto current = storedList(kAddbObject);
    const auto backup = storedList(kAddbBackupObject);
    if (saved) {
      EXPECT_TRUE(current == next) << "run " << run;
    } else {
      ++interrupted;
    }
    if (current == next) {
      lastComplete = next;
      continue;
    }
    // Whatever survives is a complete list, and one copy is the last one.
    EXPECT_TRUE(current == lastComplete || backup == lastComplete) << "run " << run;
    for (const std::string name : {kAddbObject, kAddbBackupObject}) {
      std::string text;
      if (readObject(*server_, std::string(kAddbAccount) + "/" + name, text) != KV_OK) continue;
      EXPECT_TRUE(storedList(name).has_value()) << "run " << run << ": " << name << " is not a complete list";
    }
    if (HasFailure()) break;
  }
  EXPECT_GE(interrupted, 5);
}

}  // namespace
