// Reads a 2,000- and a 20,000-member group (or the sizes given) from a local
// slapd with the service's group search, and the same with two ldapsearch
// runs (the group's member values, then the members' cn and sAMAccountName
// in one paged search), and prints the time per member of each and their
// ratio.
//
//   directory_bench [ROUNDS [SIZE...]]   (default 3 rounds; sizes 2000 20000)
//
// Each round runs the search and then the two ldapsearch runs; the times are
// the best rounds', the ratio is the median of the rounds' ratios (the
// machine's load changes less within a round), and "search cpu s" is the
// search's own processor time in its best round.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/process_state.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/group_search.h"
#include "slapd_fixture.h"
#include "support/service_files.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::vector<int> sizes = {2000, 20000};
  if (argc > 2) {
    sizes.clear();
    for (int i = 2; i < argc; ++i) sizes.push_back(std::max(1, std::atoi(argv[i])));
  }

  kvtest::DirectoryData data;
  int next = 0;
  for (int size : sizes) {
    std::vector<std::string> members;
    for (int i = 0; i < size; ++i, ++next) {
      const std::string n = std::to_string(next);
      members.push_back(data.addUser("Pessoa " + n, "P." + n));
    }
    data.addGroup("Grupo" + std::to_string(size), members);
  }
  const auto startServer = Clock::now();
  kvtest::SlapdServer server(data);
  kvtest::trustCa(server.caFile());
  std::printf("slapd with %d users ready in %.1f s\n", next, seconds(Clock::now() - startServer));

  const std::filesystem::path logRoot = server.folder() + "/log";
  std::filesystem::create_directories(kvtest::productFolderUnder(logRoot) / "data");
  programFilesDir = logRoot.u16string();
  serviceMode = true;
  directorySettings.ldapPath = utf8ToUtf16("LDAP://" + server.host());
  directorySettings.adUser = utf8ToUtf16(kvtest::kServiceAccount);
  directorySettings.adPassword = utf8ToUtf16(kvtest::kServicePassword);

  std::printf("%8s  %14s  %14s  %14s  %14s  %6s  %10s\n", "members", "search s", "search us/mbr", "ldapsearch s",
              "ldapsrch us/mbr", "ratio", "search cpu s");
  for (int size : sizes) {
    const std::string groupDn = "cn=Grupo" + std::to_string(size) + ",ou=Groups," + kvtest::kSuffix;
    directorySettings.groupName = groupDn;
    const std::string ldapsearch = "LDAPTLS_CACERT=" + server.caFile() + " ldapsearch -ZZ -x -LLL -H ldap://" +
                                   server.host() + " -D '" + kvtest::kServiceAccount + "' -w " +
                                   kvtest::kServicePassword;
    const std::string command = ldapsearch + " -b '" + groupDn + "' -s base member >/dev/null && " + ldapsearch +
                                " -b " + kvtest::kSuffix + " -E pr=1000/noprompt '(memberOf=" + groupDn +
                                ")' cn sAMAccountName >/dev/null";
    // Each round: the search, then the two ldapsearch runs right after it,
    // so that a change in the machine's load weighs on both alike.
    double best = 1e9, cpu = 0, bestTool = 1e9;
    std::vector<double> ratios;
    size_t count = 0;
    for (int r = 0; r < rounds; ++r) {
      MemberList list;
      auto t0 = Clock::now();
      const std::clock_t c0 = std::clock();
      if (!searchGroupMembers(list)) {
        std::fprintf(stderr, "search failed\n");
        return 1;
      }
      const double t = seconds(Clock::now() - t0);
      if (t < best) cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
      best = std::min(best, t);
      count = list.size();
      t0 = Clock::now();
      if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "ldapsearch failed\n");
        return 1;
      }
      const double tool = seconds(Clock::now() - t0);
      bestTool = std::min(bestTool, tool);
      ratios.push_back(t / tool);
    }
    std::sort(ratios.begin(), ratios.end());
    if (count != static_cast<size_t>(size)) {
      std::fprintf(stderr, "read %zu members of %d\n", count, size);
      return 1;
    }
    std::printf("%8d  %14.3f  %14.2f  %14.3f  %14.2f  %6.2f  %10.3f\n", size, best, best * 1e6 / size, bestTool,
                bestTool * 1e6 / size, ratios[ratios.size() / 2], cpu);
    std::fflush(stdout);
  }
  return 0;
}
