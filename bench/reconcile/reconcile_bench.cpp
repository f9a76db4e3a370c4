// Prints the time per member that the reconciliation takes for 1,000,
// 10,000 and 100,000 group members against as many managed HSM users, with
// the HSM operations replaced by no-ops:
//   - "match": deciding which members have a user and which users a member;
//   - "reconcile": both passes with their log calls and the no-op actions,
//     for a group whose members all have a user (the per-member lines are
//     then Console lines, which service mode drops, so what is measured is
//     the reconciliation rather than the log file);
//   - "linear": the plain first-match search the decisions must agree with,
//     for the two smaller sizes, as a reference.
// For "match" and "linear" half the members already have a user and the
// other half of the users have left the group.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "runtime/process_state.h"
#include "sync/update_cycle.h"

namespace {

std::string randomId(std::mt19937_64& random) {
  static const char hex[] = "0123456789abcdef";
  std::string id = "A";
  for (int i = 0; i < 14; ++i) id.push_back(hex[random() % 16]);
  return id;
}

bool noSetBlocked(bool, std::string) { return true; }
CreationResult noCreate(GroupMember) { return CreationResult::Created; }
bool noRemove(std::string) { return true; }
bool noSave(MemberList) { return true; }
RemovalPolicy keepAll() { return RemovalPolicy::Block; }

struct Timing {
  double wallNs, cpuNs;
};

template <typename F>
Timing measure(F&& work, size_t perCount, int repetitions) {
  Timing best{1e300, 1e300};
  for (int r = 0; r < repetitions; ++r) {
    const auto wall0 = std::chrono::steady_clock::now();
    const std::clock_t cpu0 = std::clock();
    work();
    const std::clock_t cpu1 = std::clock();
    const auto wall1 = std::chrono::steady_clock::now();
    const double wall = std::chrono::duration<double, std::nano>(wall1 - wall0).count() / perCount;
    const double cpu = (cpu1 - cpu0) * (1e9 / CLOCKS_PER_SEC) / perCount;
    if (wall < best.wallNs) best = {wall, cpu};
  }
  return best;
}

}  // namespace

int main() {
  serviceMode = true;
  programFilesDir = u"/nonexistent-kelvasync-bench";  // log lines go nowhere
  std::mt19937_64 random(42);
  std::printf("%-10s %-10s %14s %14s %14s\n", "members", "step", "ns/member", "cpu ns/member", "total ms");
  for (size_t n : {1000u, 10000u, 100000u}) {
    MemberList members;
    std::vector<std::string> managed;
    for (size_t i = 0; i < n; ++i) {
      const std::string id = randomId(random);
      members.push_back(GroupMember{"logon" + std::to_string(i), "Nome " + std::to_string(i), id});
      managed.push_back(i % 2 == 0 ? id : randomId(random));
    }
    size_t sink = 0;
    const Timing match = measure([&] { sink += planReconciliation(members, managed).memberFound[0]; }, n, 5);
    std::printf("%-10zu %-10s %14.1f %14.1f %14.2f\n", n, "match", match.wallNs, match.cpuNs, match.wallNs * n / 1e6);

    std::vector<std::string> allFound;
    for (size_t i = 0; i < n; ++i) allFound.push_back(members[(i * 7919) % n].hsmUserId);
    const ReconcileActions actions{noSetBlocked, noCreate, noRemove, noSave, keepAll};
    const Timing full = measure([&] { reconcileWith(members, allFound, actions); }, n, 3);
    std::printf("%-10zu %-10s %14.1f %14.1f %14.2f\n", n, "reconcile", full.wallNs, full.cpuNs, full.wallNs * n / 1e6);

    if (n <= 10000) {
      const Timing linear = measure(
          [&] {
            for (const GroupMember& m : members)
              for (const std::string& name : managed)
                if (name == m.hsmUserId) {
                  ++sink;
                  break;
                }
          },
          n, 1);
      std::printf("%-10zu %-10s %14.1f %14.1f %14.2f\n", n, "linear", linear.wallNs, linear.cpuNs,
                  linear.wallNs * n / 1e6);
    }
    if (sink == 42) std::printf(" ");
  }
  return 0;
}
