// A whole service-mode update cycle at a given size, against a real slapd
// (StartTLS) and the real hsm-emulator process, next to its floor.
//
//   cycle_bench [--members N] [--steady-rounds R] [--skip-first-floor] [--steady-only]
//                                     (defaults 20,000 and 3)
//
// The cycles run in a child process of their own (this program started
// again with --child), so its peak RSS is the service's: the child sets
// service mode and the program-files folder as the service's entry point
// does, initialises pelorlib, loads the directory settings and calls
// runUpdateCycle() 1 + R times, as the worker thread does: the first cycle
// creates every member's HSM user, each steady cycle after it finds and
// unblocks them all. Before them it times one group search alone,
// which is set against two ldapsearch runs doing the same read (the group's
// member values, then the members' cn and sAMAccountName, paged).
//
// The floor does the same HSM sessions and durable log lines with nothing
// else, against a second emulator with the same starting state: the
// listing session, the addb read, one session per member (create, then in
// the steady floor unblock), the addb backup and write, and as many log
// lines as the cycle wrote, each appended, flushed to disk and closed as
// the service's log writer does; plus the two ldapsearch runs for the
// directory read. The ratio is cycle / floor; each cycle is followed by its
// floor, so that the load of a shared machine weighs on both alike, and the
// steady ratio reported is the median of the R rounds. --skip-first-floor
// leaves out the first cycle's floor (at 100,000 members it takes as long
// as the first cycle): the floor's HSM then starts with the members' users
// already in its store. --steady-only seeds both emulators so and runs the
// steady cycles alone.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/process_state.h"
#include "common/records.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/group_search.h"
#include "directory/logon_id.h"
#include "hsm/addb.h"
#include "hsm/hsm_client.h"
#include "hsm/user_creation.h"
#include "hsm_test_support.h"
#include "pelorlib.h"
#include "slapd_fixture.h"
#include "support/service_files.h"
#include "sync/update_cycle.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

const char* kGroup = "Tessel";

std::string groupDn() { return std::string("cn=") + kGroup + ",ou=Groups," + kvtest::kSuffix; }

// Peak resident set size of this process, in MB.
double peakRssMb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmHWM:") {
      double kb = 0;
      in >> kb;
      return kb / 1024.0;
    }
    std::string rest;
    std::getline(in, rest);
  }
  return 0;
}

size_t lineCount(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  size_t lines = 0;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    lines += static_cast<size_t>(std::count(buffer, buffer + in.gcount(), '\n'));
    if (!in) break;
  }
  return lines;
}

// ---- The child: the service's own cycles -------------------------------------

// Reads commands from standard input and answers each with one line:
//   search -> "<seconds> <members>"      one group search alone
//   cycle  -> "<seconds> <log lines>"    one runUpdateCycle()
//   rss    -> "<peak RSS in MB>"
int runChild(const std::string& root) {
  serviceMode = true;
  programFilesDir = utf8ToUtf16(root);
  const fs::path log = kvtest::productFolderUnder(root) / "data" / "kelvasync.log";
  if (KvInitialize(0) != KV_OK) return 1;
  loadDirectorySettings();
  char command[32];
  while (std::scanf("%31s", command) == 1) {
    const std::string c = command;
    if (c == "search") {
      MemberList members;
      uint32_t unreadable = 0;
      const auto t0 = Clock::now();
      const bool ok = searchGroupMembers(members, unreadable);
      std::printf("%.6f %zu\n", seconds(Clock::now() - t0), ok ? members.size() : 0);
    } else if (c == "cycle") {
      const size_t before = lineCount(log);
      const auto t0 = Clock::now();
      runUpdateCycle();
      const double t = seconds(Clock::now() - t0);
      std::printf("%.6f %zu\n", t, lineCount(log) - before);
    } else if (c == "rss") {
      std::printf("%.1f\n", peakRssMb());
    } else {
      break;
    }
    std::fflush(stdout);
  }
  KvFinalize();
  return 0;
}

// The child process and the two pipes to it.
class CycleChild {
 public:
  CycleChild(const std::string& root, const std::string& caFile) {
    setenv("LDAPTLS_CACERT", caFile.c_str(), 1);
    setenv("KELVASYNC_PROGRAM_FILES", root.c_str(), 1);  // where the service finds its INI file
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    std::vector<std::string> args = {"/proc/self/exe", "--child", root};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const bool spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (!spawned) {
      ::close(toChild[1]);
      ::close(fromChild[0]);
      pid_ = -1;
      return;
    }
    to_ = fdopen(toChild[1], "w");
    from_ = fdopen(fromChild[0], "r");
  }
  ~CycleChild() {
    if (to_ != nullptr) {
      std::fputs("quit\n", to_);
      std::fclose(to_);
    }
    if (from_ != nullptr) std::fclose(from_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool ok() const { return to_ != nullptr && from_ != nullptr; }
  // Sends one command; reads `count` numbers back.
  bool ask(const char* command, double* values, int count) {
    if (!ok()) return false;
    std::fprintf(to_, "%s\n", command);
    std::fflush(to_);
    for (int i = 0; i < count; ++i)
      if (std::fscanf(from_, "%lf", &values[i]) != 1) return false;
    return true;
  }

 private:
  pid_t pid_ = -1;
  FILE* to_ = nullptr;
  FILE* from_ = nullptr;
};

// ---- The floor -----------------------------------------------------------------

struct FloorMember {
  std::string id, logon, commonName;
};

// One log line as the service writes it: appended, flushed to disk, closed.
void durableLine(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
  ::fsync(fd);
  ::close(fd);
}

class Floor {
 public:
  Floor(const kvtest::HsmServer& hsm, std::string logPath) : hsm_(hsm), log_(std::move(logPath)) {}

  // One cycle's HSM sessions and `lines` log lines; create or unblock.
  bool cycle(const std::vector<FloorMember>& members, bool create, size_t lines) {
    const std::string lineText(110, 'x');
    size_t written = 0;
    auto line = [&] {
      if (written < lines) {
        durableLine(log_, lineText + "\r\n");
        ++written;
      }
    };
    std::vector<std::string> users;
    if (listHsmUsers(users, hsm_.host(), "master", kvtest::kMasterPassword) != KV_OK) return false;
    {
      KvSession s = nullptr;
      if (kvtest::openSession(hsm_.port(), "master", kvtest::kMasterPassword, s) != KV_OK) return false;
      auto ignore = [](const uint8_t*, uint32_t, void*, int32_t) -> int32_t { return 0; };
      KvReadFile(s, "IntegracaoAD/addb", ignore, nullptr);
      KvCloseSession(&s, 0);
    }
    for (const FloorMember& m : members) {
      KvSession s = nullptr;
      if (kvtest::openSession(hsm_.port(), "master", kvtest::kMasterPassword, s) != KV_OK) return false;
      int32_t code;
      if (create) {
        HsmNewUserBlock b;
        std::memset(&b, 0, sizeof b);
        std::strncpy(b.userId, m.id.c_str(), sizeof b.userId - 1);
        const std::string pw = initialHsmPassword(m.id);
        std::strncpy(b.password, pw.c_str(), sizeof b.password - 1);
        b.permissionMask = 0x4F;
        code = KvCreateUser(s, b);
      } else {
        code = KvSetUserParam(s, KV_PARAM_UNBLOCK, m.id.data(), static_cast<uint32_t>(m.id.size()), 0);
      }
      KvCloseSession(&s, 0);
      if (code != KV_OK) return false;
      line();
    }
    // As the service's addb text: whole records within kAddbTextSize bytes.
    std::string text;
    for (const FloorMember& m : members) {
      const std::string record = m.id + "\r\n" + m.logon + "\r\n" + m.commonName + "\r\n";
      if (text.size() + record.size() + 1 > kAddbTextSize) break;
      text += record;
    }
    const int32_t backup =
        backupHsmObject(hsm_.host(), kvtest::kAddbUser, kvtest::kAddbPassword, "addb", "addb_backup");
    if (backup != KV_OK && backup != KV_ERR_OBJECT_NOT_FOUND) return false;
    {
      KvSession s = nullptr;
      if (kvtest::openSession(hsm_.port(), kvtest::kAddbUser, kvtest::kAddbPassword, s) != KV_OK) return false;
      struct Source {
        const std::string* text;
        uint32_t at;
      } source{&text, 0};
      auto supply = [](uint8_t* dest, uint32_t* count, void* ctx, int32_t* end) -> int32_t {
        auto* src = static_cast<Source*>(ctx);
        *end = *count == 0 ? 1 : 0;
        std::memcpy(dest, src->text->data() + src->at, *count);
        src->at += *count;
        return 0;
      };
      const int32_t code = KvWriteFile(s, "addb", static_cast<uint32_t>(text.size()), supply, &source);
      KvCloseSession(&s, 0);
      if (code != KV_OK) return false;
    }
    while (written < lines) line();
    return true;
  }

 private:
  const kvtest::HsmServer& hsm_;
  std::string log_;
};

std::string serviceLog(const fs::path& product) {
  std::ifstream in(product / "data" / "kelvasync.log", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return "the service's log:\n" + text.str();
}

double ldapsearchPair(const kvtest::SlapdServer& server) {
  const std::string common = "LDAPTLS_CACERT=" + server.caFile() + " ldapsearch -ZZ -x -LLL -H ldap://" +
                             server.host() + " -D '" + kvtest::kServiceAccount + "' -w " +
                             kvtest::kServicePassword;
  const std::string members = common + " -b '" + groupDn() + "' -s base member >/dev/null";
  const std::string attributes = common + " -b " + kvtest::kSuffix + " -E pr=1000/noprompt '(memberOf=" +
                                 groupDn() + ")' cn sAMAccountName >/dev/null";
  const auto t0 = Clock::now();
  if (std::system(members.c_str()) != 0 || std::system(attributes.c_str()) != 0) return -1;
  return seconds(Clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--child") return runChild(argv[2]);
  long members = 20000;
  int steadyRounds = 3;
  bool skipFirstFloor = false;
  bool steadyOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--members" && i + 1 < argc) {
      members = std::atol(argv[++i]);
    } else if (a == "--skip-first-floor") {
      skipFirstFloor = true;
    } else if (a == "--steady-only") {
      steadyOnly = true;
    } else if (a == "--steady-rounds" && i + 1 < argc) {
      steadyRounds = std::max(0, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: cycle_bench [--members N] [--steady-rounds R] [--skip-first-floor] [--steady-only]\n");
      return 2;
    }
  }
  if (members < 1 || members > 1000000) {
    std::fprintf(stderr, "cycle_bench: --members must be 1 to 1,000,000\n");
    return 2;
  }

  // The directory: N users in one group.
  auto t0 = Clock::now();
  std::vector<FloorMember> floorMembers;
  std::unique_ptr<kvtest::SlapdServer> slapd;
  {
    kvtest::DirectoryData data;
    std::vector<std::string> dns;
    for (long i = 0; i < members; ++i) {
      const std::string n = std::to_string(i);
      const std::string cn = "Pessoa " + n, logon = "P." + n;
      dns.push_back(data.addUser(cn, logon));
      const std::string lower = kvtest::lowerAscii(logon);
      floorMembers.push_back({convertLogonToHsmUserId(lower), lower, cn});
    }
    data.addGroup(kGroup, dns);
    slapd = std::make_unique<kvtest::SlapdServer>(data);
  }
  std::string error;
  kvtest::HsmServer::Options serviceOptions;
  kvtest::HsmServer::Options floorOptions;
  if (skipFirstFloor || steadyOnly) {
    // The floor's HSM starts where the first cycle leaves the service's.
    floorOptions.seedNamesFile = slapd->folder() + "/floor-users";
    std::ofstream names(floorOptions.seedNamesFile, std::ios::trunc);
    for (const FloorMember& m : floorMembers) names << m.id << "\n";
  }
  if (steadyOnly) serviceOptions.seedNamesFile = floorOptions.seedNamesFile;
  auto hsm = kvtest::HsmServer::start(serviceOptions, error);
  auto floorHsm = kvtest::HsmServer::start(floorOptions, error);
  if (hsm == nullptr || floorHsm == nullptr) {
    std::fprintf(stderr, "cycle_bench: emulator: %s\n", error.c_str());
    return 1;
  }
  std::printf("%ld members: slapd and two emulators ready in %.1f s\n", members, seconds(Clock::now() - t0));
  std::fflush(stdout);

  // The service's cycles, in a child process.
  const fs::path root = fs::path(slapd->folder()) / "pf";
  const fs::path product = kvtest::productFolderUnder(root);
  fs::create_directories(product / "data");
  {
    std::ofstream ini(product / "kelvasync.ini", std::ios::binary | std::ios::trunc);
    ini << "[activedirectory]\r\nhost=" << slapd->host() << "\r\nusr=" << kvtest::kServiceAccount
        << "\r\npwd=" << encodeConfigPassword(kvtest::kServicePassword) << "\r\ngroup=" << groupDn()
        << "\r\nupdatefrequencyinminutes=0\r\n"
        << "[hsm]\r\nhost=" << hsm->host() << "\r\nusr=master\r\npwd="
        << encodeConfigPassword(kvtest::kMasterPassword) << "\r\nremoveusers=block\r\n";
  }
  CycleChild child(root.string(), slapd->caFile());
  double search[2];
  if (!child.ask("search", search, 2) || search[1] != static_cast<double>(members)) {
    std::fprintf(stderr, "cycle_bench: the group search failed\n%s\n", serviceLog(product).c_str());
    return 1;
  }
  const double ldapsearch = ldapsearchPair(*slapd);
  if (ldapsearch < 0) {
    std::fprintf(stderr, "cycle_bench: ldapsearch failed\n");
    return 1;
  }
  std::printf("directory read: group search %.3f s, two ldapsearch runs %.3f s, ratio %.2f\n", search[0],
              ldapsearch, search[0] / ldapsearch);
  std::printf("%-8s %10s %10s %8s %14s\n", "cycle", "service s", "floor s", "ratio", "lines/member");
  std::fflush(stdout);

  // Each cycle of the service, then the floor of the same cycle, so that a
  // change in the machine's load touches both alike.
  if (KvInitialize(0) != KV_OK) return 1;
  Floor floor(*floorHsm, (root / "floor.log").string());
  std::vector<double> steadyRatios;
  for (int round = steadyOnly ? 1 : 0; round <= steadyRounds; ++round) {
    const bool first = round == 0;
    double cycle[2];
    if (!child.ask("cycle", cycle, 2)) {
      std::fprintf(stderr, "cycle_bench: the cycle failed\n%s\n", serviceLog(product).c_str());
      return 1;
    }
    if (first && skipFirstFloor) {
      std::printf("%-8s %10.2f %10s %8s %14.2f\n", "first", cycle[0], "-", "-",
                  cycle[1] / static_cast<double>(members));
      std::fflush(stdout);
      continue;
    }
    const auto t0 = Clock::now();
    if (!floor.cycle(floorMembers, first, static_cast<size_t>(cycle[1]))) {
      std::fprintf(stderr, "cycle_bench: the floor's HSM sessions failed\n");
      return 1;
    }
    const double floorTime = seconds(Clock::now() - t0) + ldapsearch;
    const double ratio = cycle[0] / floorTime;
    if (!first) steadyRatios.push_back(ratio);
    std::printf("%-8s %10.2f %10.2f %8.3f %14.2f\n", first ? "first" : "steady", cycle[0], floorTime, ratio,
                cycle[1] / static_cast<double>(members));
    std::fflush(stdout);
  }
  KvFinalize();
  double rss = 0;
  if (!child.ask("rss", &rss, 1)) return 1;
  if (!steadyRatios.empty()) {
    std::sort(steadyRatios.begin(), steadyRatios.end());
    std::printf("steady cycle / floor, median of %zu: %.3f (target <= 1.1)\n", steadyRatios.size(),
                steadyRatios[steadyRatios.size() / 2]);
  }
  std::printf("peak RSS of the service's cycles: %.1f MB (target < 100 MB at 100,000)\n", rss);
  return 0;
}
