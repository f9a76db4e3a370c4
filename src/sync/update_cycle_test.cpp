// The update cycle's own logic without an HSM: which names are managed, the
// reconciliation's decisions against a plain first-match search, the order
// of its actions and log lines, its stop checks, and the pause arithmetic.
#include <gtest/gtest.h>

#include <optional>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "runtime/process_state.h"
#include "runtime/stop_flag.h"
#include "hsm/user_creation.h"
#include "sync/sync_test_support.h"
#include "sync/cycle_status.h"
#include "sync/update_cycle.h"

namespace {

using synctest::ServiceFolder;

GroupMember member(std::string id, std::string name = "Nome") {
  return GroupMember{"logon", std::move(name), std::move(id)};
}

TEST(ManagedUserName, OnlyAnUpperCaseAAndFourteenLowerCaseHexDigits) {
  EXPECT_TRUE(isManagedUserName("A0123456789abcd"));
  EXPECT_TRUE(isManagedUserName("Afedcba98765432"));
  for (const char* name : {"master", "admin", "", "A", "A0123456789ABCD", "A0123456789abc",
                           "A0123456789abcde", "a0123456789abcd", "B0123456789abcd",
                           "A0123456789abcg", "A0123456789ab d", "A0123456789ab\xE1"})
    EXPECT_FALSE(isManagedUserName(name)) << name;
  EXPECT_FALSE(isManagedUserName(std::string_view("A0123456789abc\0", 15)));
}

// The specified search: from the start of the list, stop at the first equal
// entry.
bool linearFind(const std::vector<std::string>& list, const std::string& id) {
  for (const std::string& entry : list)
    if (entry.size() == id.size() && entry == id) return true;
  return false;
}

TEST(ReconcilePlan, MatchesTheFirstMatchLinearSearch) {
  std::mt19937 random(11);
  // Small alphabets force duplicates, empty ids and near misses.
  const std::vector<std::string> pool = {"", "A000000000000a", "A0000000000000a", "A0000000000000A",
                                         "A0000000000000b", "A0000000000000c", "a0000000000000a"};
  for (int round = 0; round < 300; ++round) {
    MemberList members(random() % 12);
    for (GroupMember& m : members) m = member(pool[random() % pool.size()]);
    std::vector<std::string> managed(random() % 12);
    for (std::string& name : managed) name = pool[1 + random() % (pool.size() - 1)];

    const ReconcilePlan plan = planReconciliation(members, managed);
    ASSERT_EQ(plan.memberFound.size(), members.size());
    ASSERT_EQ(plan.managedNameInGroup.size(), managed.size());
    std::vector<std::string> memberIds;
    for (const GroupMember& m : members) memberIds.push_back(m.hsmUserId);
    for (size_t i = 0; i < members.size(); ++i)
      EXPECT_EQ(plan.memberFound[i] != 0, linearFind(managed, members[i].hsmUserId));
    for (size_t i = 0; i < managed.size(); ++i)
      EXPECT_EQ(plan.managedNameInGroup[i] != 0, linearFind(memberIds, managed[i]));
  }
}

TEST(CycleStatusFile, ReadsBackWhatItWroteAndTellsMonitoringHowOldTheLastCompleteCycleIs) {
  CycleStatus written;
  written.start = "07/12/2026 10:00:00";
  written.end = "07/12/2026 10:00:05";
  written.endEpoch = 1000000;
  written.outcome = CycleOutcome::Hsm;
  written.counts = ReconcileCounts{3, 1, 2, 0, 0, 1, 0};
  written.countsEpoch = written.endEpoch;
  written.lastComplete = "07/12/2026 09:57:05";
  written.lastCompleteEpoch = 999820;
  written.intervalSeconds = 180;
  written.next = "10:03:05";
  CycleStatus read;
  ASSERT_TRUE(parseCycleStatus(formatCycleStatus(written), read));
  EXPECT_EQ(formatCycleStatus(read), formatCycleStatus(written));
  EXPECT_FALSE(parseCycleStatus("qualquer coisa\n", read));

  // Twice the interval (360 s) after the last complete cycle is still fine.
  EXPECT_EQ(judgeCycleStatus(written, 999820 + 360).code, 1);  // the last one failed: warning
  const ServiceHealth stale = judgeCycleStatus(written, 999820 + 361);
  EXPECT_EQ(stale.code, 2);
  EXPECT_EQ(stale.perfData, "idade=361s;;360;0 membros=3 criados=1 desbloqueados=2 bloqueados=0 mantidos_bloqueados=0 removidos=0 "
                            "falhas=1 nao_lidos=0 retido=0");
  written.outcome = CycleOutcome::Complete;
  EXPECT_EQ(judgeCycleStatus(written, 1000000).code, 0);
  // A cycle that ran to its end but held something back is a warning; an
  // empty read held back is critical however recent.
  written.heldBack = kHeldRemovalLimit | kHeldUnknownSettings;
  ASSERT_TRUE(parseCycleStatus(formatCycleStatus(written), read));
  EXPECT_EQ(read.heldBack, written.heldBack);
  EXPECT_NE(formatCycleStatus(written).find("retido=limite_remocoes,chaves_desconhecidas\n"), std::string::npos);
  const ServiceHealth held = judgeCycleStatus(read, 1000000);
  EXPECT_EQ(held.code, 1);
  EXPECT_NE(held.line.find("retido: limite_remocoes, chaves_desconhecidas"), std::string::npos) << held.line;
  written.heldBack = kHeldEmptyRead;
  EXPECT_EQ(judgeCycleStatus(written, 1000000).code, 2);
  const std::string metrics = formatCycleMetrics(written);
  EXPECT_NE(metrics.find("kelvasync_held_back{state=\"leitura_vazia\"} 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("kelvasync_last_cycle_outcome{outcome=\"completo\"} 1\n"), std::string::npos);
  EXPECT_NE(metrics.find("kelvasync_failures 1\n"), std::string::npos);
  written.heldBack = 0;
  written.lastComplete.clear();
  written.lastCompleteEpoch = 0;
  EXPECT_EQ(judgeCycleStatus(written, 1000000).code, 2);  // never complete
  EXPECT_EQ(judgeCycleStatus(std::nullopt, 1000000).code, 3);
}

TEST(PauseSlices, FollowTheTwoAndAHalfSlicesPerSecondRule) {
  EXPECT_EQ(pauseSliceCount(10), 24);    // 9.6 s before the first cycle
  EXPECT_EQ(pauseSliceCount(180), 449);  // default interval
  EXPECT_EQ(pauseSliceCount(60), 149);
  EXPECT_EQ(pauseSliceCount(1), 2);      // c = 3 is the first with trunc(c / 2.5) >= 1
  EXPECT_EQ(pauseSliceCount(0), 0);
  EXPECT_EQ(pauseSliceCount(-60), 0);
  // Against the counter loop itself, also where 2.5 * W is not whole.
  for (int32_t w : {2, 3, 7, 11, 59, 61, 599}) {
    int64_t c = 0;
    while (true) {
      ++c;
      if (static_cast<int64_t>(c / 2.5) >= w) break;
    }
    EXPECT_EQ(pauseSliceCount(w), c - 1) << w;
  }
  // The largest interval the configuration allows does not overflow.
  EXPECT_EQ(pauseSliceCount(kMaxUpdateIntervalMinutes * 60),
            (5LL * kMaxUpdateIntervalMinutes * 60 + 1) / 2 - 1);
}

TEST(InitialPassword, FollowsFromTheIdentifierWithoutBeingIt) {
  const std::string id = "A0123456789abcd";
  const std::string password = initialHsmPassword(id);
  ASSERT_EQ(password.size(), id.size());
  EXPECT_NE(password, id);
  EXPECT_TRUE(password[0] >= 'a' && password[0] <= 'z');
  EXPECT_EQ(password[1], id[2]);
  EXPECT_EQ(password[2], id[1]);
  EXPECT_EQ(password.substr(3), id.substr(3));
  EXPECT_EQ(initialHsmPassword(id), password);  // the same every time
  EXPECT_EQ(initialHsmPassword("A").size(), 1u);  // short input is no fault
  EXPECT_EQ(initialHsmPassword(""), "");
}

// ---- reconcileWith with recording actions --------------------------------

std::vector<std::string> calls;
std::string policyValue;
std::string failingId;  // every operation on this identifier fails
std::optional<uint32_t> limitValue;

bool recordSetBlocked(bool block, std::string id) {
  calls.push_back((block ? "block " : "unblock ") + id);
  return id != failingId;
}
CreationResult recordCreate(GroupMember m) {
  calls.push_back("create " + m.hsmUserId);
  return CreationResult::Created;
}
bool recordRemove(std::string id) {
  calls.push_back("remove " + id);
  return id != failingId;
}
std::optional<uint32_t> limitFromValue() { return limitValue; }
bool saveFails = false;
bool recordSave(MemberList members) {
  calls.push_back("save " + std::to_string(members.size()));
  return !saveFails;
}
RemovalPolicy policyFromValue() {
  std::string value = policyValue;  // as read from the INI file
  return parseRemovalPolicy(value);
}

class Reconcile : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    policyValue.clear();
    failingId.clear();
    limitValue.reset();
    saveFails = false;
    storeStopRequested(false);
  }
  void TearDown() override { storeStopRequested(false); }
  ReconcileCounts run(const MemberList& members, const std::vector<std::string>& managed, uint32_t unreadable = 0,
                      BlockedUsers* blocked = nullptr) {
    return reconcileWith(
        members, managed,
        ReconcileActions{recordSetBlocked, recordCreate, recordRemove, recordSave, policyFromValue, limitFromValue},
        unreadable, blocked);
  }
  ServiceFolder folder_;
};

TEST_F(Reconcile, UnblocksFoundMembersCreatesMissingOnesAndSavesTheWholeList) {
  const MemberList members = {member("A000000000000a1"), member("A000000000000a2"), member(""),
                              member("A000000000000a1")};
  run(members, {"A000000000000a2", "A000000000000a1"});
  EXPECT_EQ(calls, (std::vector<std::string>{"unblock A000000000000a1", "unblock A000000000000a2",
                                             "unblock A000000000000a1", "save 4"}));
  const auto messages = folder_.messages();
  EXPECT_EQ(messages.front(), "Inicio cruzamento");
  EXPECT_EQ(synctest::countOf(messages, "Buscando usuarios AD no tessel"), 1u);  // the empty id
  EXPECT_TRUE(synctest::contains(messages, "Existe usuarios para criar 0"));
  EXPECT_TRUE(synctest::contains(messages, "O HSM/Tessel estah sincronizado com o AD"));
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2], std::string(71, '-'));
  EXPECT_EQ(messages.back().rfind("Resumo do cruzamento: membros lidos 4,", 0), 0u);  // after the save
}

#if !defined(_WIN32)
// In service mode under systemd the journal gets the summary and every
// Atencao and Erro line, each at its priority, but not the per-member Info
// lines; the log file keeps them all, as in any other run.
TEST_F(Reconcile, UnderSystemdTheJournalGetsTheSummaryAndTheWarningsButNotEachMember) {
  const std::filesystem::path journal = std::filesystem::temp_directory_path() /
                                        ("kvjournal-" + std::to_string(getpid()) + ".txt");
  const int file = open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  struct stat status {};
  ASSERT_EQ(fstat(file, &status), 0);
  const std::string stream = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  ASSERT_EQ(setenv("JOURNAL_STREAM", stream.c_str(), 1), 0);
  const int savedError = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  serviceMode = true;
  policyValue = "block";
  limitValue = 0;  // the guard trips: one Atencao line
  run({member("A000000000000c1")}, {"A000000000000c1", "A000000000000c9"});
  // c9 leaves, c8 was blocked by an earlier cycle: c8 is blocked again,
  // and only the file hears of it.
  limitValue = 1;
  BlockedUsers blocked{true, {"A000000000000c8"}, false};
  run({member("A000000000000c1")}, {"A000000000000c1", "A000000000000c9", "A000000000000c8"}, 0, &blocked);
  serviceMode = false;
  dup2(savedError, STDERR_FILENO);
  close(savedError);
  close(file);
  unsetenv("JOURNAL_STREAM");

  std::ifstream in(journal, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::filesystem::remove(journal);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("<4>", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("[Atencao] O ciclo bloquearia ou removeria 1 usuarios do HSM/Tessel"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].rfind("<6>", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("[Info] Resumo do cruzamento: membros lidos 1,"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("<4>"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("NAO estah no AD: [A000000000000c9]"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("bloqueados 1, mantidos bloqueados 1,"), std::string::npos) << lines[3];
  EXPECT_TRUE(synctest::contains(folder_.messages(), "Inicio cruzamento"));
  EXPECT_TRUE(synctest::contains(folder_.messages(), "Encontrado usuario do HSM/Tessel que NAO estah no AD: [A000000000000c8]"));
  EXPECT_EQ(blocked.names, (std::unordered_set<std::string>{"A000000000000c8", "A000000000000c9"}));
  EXPECT_TRUE(blocked.changed);
}
#endif

TEST_F(Reconcile, ManagedUsersWithoutAMemberFollowTheRemovalPolicyInAnyCase) {
  const MemberList members = {member("A000000000000c1")};
  const std::vector<std::string> managed = {"A000000000000c9", "A000000000000c1"};
  struct Case {
    const char* value;
    std::string expected;
  } cases[] = {{"yes", "remove A000000000000c9"}, {"YeS", "remove A000000000000c9"},
               {"BLOCK", "block A000000000000c9"}, {"Block", "block A000000000000c9"},
               {"no", ""}, {"", ""}, {"yes ", ""}, {"remove", ""}};
  for (const Case& c : cases) {
    calls.clear();
    folder_.clearLog();
    policyValue = c.value;
    run(members, managed);
    std::vector<std::string> expected = {"unblock A000000000000c1"};
    if (!c.expected.empty()) expected.push_back(c.expected);
    expected.push_back("save 1");
    EXPECT_EQ(calls, expected) << c.value;
    const auto lines = folder_.lines();
    EXPECT_EQ(synctest::labelOf(lines, "Encontrado usuario do HSM/Tessel que NAO estah no AD: [A000000000000c9]"),
              "Atencao");
    EXPECT_EQ(synctest::labelOf(lines, "Usuario do HSM/Tessel que tambem estah no AD: [A000000000000c1]"), "Console");
    EXPECT_EQ(synctest::labelOf(lines,
                                "O Administrador desabilitou a remocao e o bloqueio de usuarios do HSM/Tessel [A000000000000c9]"),
              c.expected.empty() ? "Atencao" : "")
        << c.value;
  }
}

TEST(ReconcilePlan, DecidesEveryStepAndBothGuardsWithoutTheHsm) {
  const GroupMember notAUser;  // a contact or nested group: no logon, no identifier
  const MemberList members = {member("A000000000000f1"), member("A000000000000f2"), notAUser};
  const std::vector<std::string> managed = {"A000000000000f9", "A000000000000f1", "A000000000000f8"};
  ReconcilePlan plan = planReconciliation(members, managed, {0, RemovalPolicy::Remove, std::nullopt});
  EXPECT_EQ(plan.memberSteps, (std::vector<MemberStep>{MemberStep::Unblock, MemberStep::Create, MemberStep::Skip}));
  EXPECT_EQ(plan.managedSteps,
            (std::vector<ManagedStep>{ManagedStep::Remove, ManagedStep::Keep, ManagedStep::Remove}));
  EXPECT_EQ(std::vector<size_t>({plan.unblockCount, plan.createCount, plan.skipCount, plan.orphanCount,
                                 plan.keepCount, plan.removeCount, plan.blockCount, plan.reportCount}),
            std::vector<size_t>({1, 1, 1, 2, 1, 2, 0, 0}));
  EXPECT_TRUE(plan.passTwoRuns());

  // The limit is "at most": two blocks pass a limit of 2 and trip one of 1.
  plan = planReconciliation(members, managed, {0, RemovalPolicy::Block, 2u});
  EXPECT_EQ(plan.blockCount, 2u);
  EXPECT_TRUE(plan.passTwoRuns());
  plan = planReconciliation(members, managed, {0, RemovalPolicy::Block, 1u});
  EXPECT_TRUE(plan.removalLimitExceeded);
  EXPECT_FALSE(plan.passTwoRuns());
  // Only reporting never trips the limit, even a limit of 0.
  plan = planReconciliation(members, managed, {0, RemovalPolicy::Neither, 0u});
  EXPECT_EQ(plan.reportCount, 2u);
  EXPECT_TRUE(plan.passTwoRuns());
  // One unreadable member spares every managed user.
  plan = planReconciliation(members, managed, {1, RemovalPolicy::Remove, std::nullopt});
  EXPECT_TRUE(plan.sparedForUnreadable);
  EXPECT_FALSE(plan.passTwoRuns());
  EXPECT_EQ(plan.unreadableMembers, 1u);
  // So does a user whose identifier could not be derived: a failing digest
  // must not make every member look gone.
  plan = planReconciliation({member("A000000000000f1"), member("")}, managed, {0, RemovalPolicy::Remove, 5u});
  EXPECT_EQ(plan.unidentifiedMembers, 1u);
  EXPECT_EQ(plan.skipCount, 1u);
  EXPECT_FALSE(plan.passTwoRuns());

  // A read with no member that has an identifier blocks and removes nobody,
  // whatever the policy, and is not a complete read.
  for (RemovalPolicy policy : {RemovalPolicy::Remove, RemovalPolicy::Block, RemovalPolicy::Neither}) {
    plan = planReconciliation({notAUser}, managed, {0, policy, std::nullopt});
    EXPECT_TRUE(plan.emptyRead);
    EXPECT_FALSE(plan.passTwoRuns());
    EXPECT_FALSE(plan.losesEveryManagedUser());
  }
  plan = planReconciliation({member("A000000000000f7")}, managed, {0, RemovalPolicy::Remove, std::nullopt});
  EXPECT_FALSE(plan.emptyRead);
  EXPECT_EQ(plan.removeCount, 3u);
  EXPECT_TRUE(plan.losesEveryManagedUser());

  // "\u0161imon" narrows to the bytes of "aimon": two members, one identifier.
  GroupMember simon{"aimon", "`imon", "A000000000000f1"}, aimon{"aimon", "Aimon", "A000000000000f1"};
  plan = planReconciliation({simon, member("A000000000000f2"), aimon}, managed);
  ASSERT_EQ(plan.collisions.size(), 1u);
  EXPECT_EQ(plan.collisions[0].hsmUserId, "A000000000000f1");
  EXPECT_EQ(plan.collisions[0].members,
            (std::vector<std::pair<std::string, std::string>>{{"aimon", "`imon"}, {"aimon", "Aimon"}}));
}

TEST_F(Reconcile, UnreadableMembersSkipPassTwoAndTheSaveAndTheRemovalLimitOnlyPassTwo) {
  const MemberList members = {member("A000000000000d1"), member("A000000000000d2")};
  const std::vector<std::string> managed = {"A000000000000d1", "A000000000000d8", "A000000000000d9"};
  const std::string spared =
      "2 membro(s) do Grupo nao puderam ser lidos; nenhum usuario do HSM/Tessel foi bloqueado ou removido";
  const std::string overLimit =
      "O ciclo bloquearia ou removeria 2 usuarios do HSM/Tessel que sairam do Grupo desde a ultima leitura "
      "completa, acima do limite maxremovals = 1; nenhum usuario foi bloqueado ou removido";
  const std::string kept = "A leitura do Grupo nao foi completa; a lista de membros guardada no HSM/Tessel ('addb' e "
                           "'addb_backup') foi mantida como estava";
  policyValue = "yes";
  ReconcileCounts counts = run(members, managed, 2);
  EXPECT_EQ(calls, (std::vector<std::string>{"unblock A000000000000d1", "create A000000000000d2"}));
  EXPECT_EQ(synctest::labelOf(folder_.lines(), spared), "Atencao");
  EXPECT_EQ(synctest::labelOf(folder_.lines(), kept), "Atencao");
  EXPECT_EQ(counts.unreadable, 2u);
  EXPECT_EQ(counts.removed, 0u);
  EXPECT_TRUE(counts.storedListKept);
  // A stop during pass 1 of such a read still saves nothing.
  calls.clear();
  storeStopRequested(true);
  run(members, managed, 1);
  storeStopRequested(false);
  EXPECT_EQ(calls, (std::vector<std::string>{"unblock A000000000000d1"}));

  for (uint32_t limit : {1u, 2u}) {
    calls.clear();
    folder_.clearLog();
    limitValue = limit;
    run(members, managed);
    std::vector<std::string> expected = {"unblock A000000000000d1", "create A000000000000d2"};
    if (limit == 2) expected.insert(expected.end(), {"remove A000000000000d8", "remove A000000000000d9"});
    expected.push_back("save 2");
    EXPECT_EQ(calls, expected) << limit;
    const auto messages = folder_.messages();
    EXPECT_EQ(synctest::contains(messages, overLimit), limit == 1) << limit;
    EXPECT_FALSE(synctest::contains(messages, spared));
    // Skipped means skipped: not even the per-name lines of pass 2.
    EXPECT_EQ(synctest::contains(messages, "Encontrado usuario do HSM/Tessel que NAO estah no AD: [A000000000000d8]"),
              limit == 2);
  }
}

TEST_F(Reconcile, TheSummaryLineCountsWhatWasDoneAndWhatFailed) {
  policyValue = "block";
  failingId = "A000000000000b3";
  const ReconcileCounts counts =
      run({member("A000000000000b1"), member("A000000000000b2"), member("A000000000000b3"), GroupMember{}},
          {"A000000000000b1", "A000000000000b3", "A000000000000b7", "A000000000000b8"});
  EXPECT_EQ(calls, (std::vector<std::string>{"unblock A000000000000b1", "create A000000000000b2",
                                             "unblock A000000000000b3", "block A000000000000b7",
                                             "block A000000000000b8", "save 4"}));
  EXPECT_EQ(std::vector<size_t>({counts.membersRead, counts.created, counts.unblocked, counts.blocked,
                                 counts.removed, counts.failed}),
            std::vector<size_t>({3, 1, 1, 2, 0, 1}));  // the empty record is no user
  EXPECT_FALSE(counts.saveFailed);
  const auto lines = folder_.lines();
  EXPECT_EQ(synctest::labelOf(lines,
                              "Resumo do cruzamento: membros lidos 3, criados 1, desbloqueados 1, bloqueados 2, "
                              "mantidos bloqueados 0, removidos 0, operacoes com falha 1, membros ignorados por falha de leitura 0"),
            "Info");
  // A save that fails is one more failed operation in the same line.
  saveFails = true;
  folder_.clearLog();
  const ReconcileCounts failedSave = run({member("A000000000000b1")}, {"A000000000000b1"});
  EXPECT_TRUE(failedSave.saveFailed);
  EXPECT_EQ(failedSave.failed, 1u);
  EXPECT_TRUE(synctest::contains(folder_.messages(),
                                 "Resumo do cruzamento: membros lidos 1, criados 0, desbloqueados 1, bloqueados 0, "
                                 "mantidos bloqueados 0, removidos 0, operacoes com falha 1, membros ignorados por falha de leitura 0"));
}

TEST_F(Reconcile, AStopIsReadAfterEveryMember) {
  // The stop is set before the run: the member in hand is finished, found or
  // not, and then pass 1 ends; the addb save still follows.
  storeStopRequested(true);
  run({member("A000000000000e1"), member("A000000000000e2"), member("A000000000000e3"),
       member("A000000000000e4")},
      {"A000000000000e1", "A000000000000e2"});
  EXPECT_EQ(calls, (std::vector<std::string>{"unblock A000000000000e1", "save 4"}));
  // Without a creation, a stop also suppresses the "synchronised" lines.
  calls.clear();
  folder_.clearLog();
  run({member("A000000000000e1")}, {"A000000000000e1", "A000000000000e9"});
  EXPECT_EQ(calls, (std::vector<std::string>{"unblock A000000000000e1", "save 1"}));
  EXPECT_FALSE(synctest::contains(folder_.messages(), "O HSM/Tessel estah sincronizado com o AD"));
}

// ---- runUpdateCycleWith: the search and the counter -----------------------

bool failingSearch(MemberList&, uint32_t&) { return false; }
bool stoppingSearch(MemberList& members, uint32_t&) {
  members.push_back(member("A000000000000aa"));
  storeStopRequested(true);
  return true;
}

TEST_F(Reconcile, AFailedSearchIsNotCountedAndAStopAfterTheSearchEndsTheCycle) {
  const ReconcileActions actions{recordSetBlocked, recordCreate, recordRemove, recordSave, policyFromValue};
  const uint32_t before = searchCount;
  runUpdateCycleWith(failingSearch, actions);
  EXPECT_EQ(searchCount, before);
  runUpdateCycleWith(stoppingSearch, actions);
  EXPECT_EQ(searchCount, before + 1);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(folder_.messages().empty());
}

bool emptySearch(MemberList&, uint32_t&) { return true; }

TEST_F(Reconcile, EveryHundredthSearchIsCounted) {
  // No [hsm] settings: each cycle ends after the reminder with the line that
  // names the missing keys, before the HSM.
  const ReconcileActions actions{recordSetBlocked, recordCreate, recordRemove, recordSave, policyFromValue};
  searchCount = 98;
  for (int i = 0; i < 103; ++i) runUpdateCycleWith(emptySearch, actions);
  const auto messages = folder_.messages();
  EXPECT_EQ(synctest::countOf(messages, "Jah foram realizadas 100 pesquisas no grupo"), 1u);
  EXPECT_EQ(synctest::countOf(messages, "Jah foram realizadas 200 pesquisas no grupo"), 1u);
  EXPECT_EQ(synctest::countOf(messages, "Lembre-se: Pressione e segure a tecla ESC para cancelar a execucao"), 103u);
  EXPECT_EQ(synctest::countOf(messages, "Configuracao do HSM/Tessel incompleta: chave(s) host, usr, pwd da secao "
                                        "[hsm] vazia(s) ou ausente(s). Nenhum usuario foi alterado neste ciclo."),
            103u);
  EXPECT_EQ(messages.size(), 208u);
  EXPECT_TRUE(calls.empty());
}

}  // namespace
