// hsm-emulator: a development and test HSM for the pelorlib stand-in.
//
// Usage:
//   hsm-emulator init        --state DIR --master-password PW
//   hsm-emulator add-user    --state DIR --name NAME --password PW [--mask M] [--blocked]
//   hsm-emulator add-users   --state DIR (--prefix P --count N | --names-file F) --password PW
//                            [--mask M]
//   hsm-emulator list-users  --state DIR
//   hsm-emulator list-objects --state DIR
//   hsm-emulator show-object --state DIR --name OWNER/NAME
//   hsm-emulator remove-object --state DIR --name OWNER/NAME
//   hsm-emulator serve       --state DIR [--address A] [--port P] [--port-file F]
//                            [--latency-ms N] [--idle-timeout-ms N] [--fault-file F]
//   hsm-emulator sessions    [--address A] --port P
//
// add-users fills a state quickly for tests and benchmarks: N users named P
// followed by 0 to N-1 in seven digits, or the names in the file F (one a
// line), in one transaction with one shared password hash.
//
// serve listens on 127.0.0.1:4433 unless told otherwise; with --port 0 it
// takes a free port and writes its number to the --port-file (written
// whole, by rename). SIGTERM and SIGINT stop it. Exit codes: 0 success,
// 1 operation refused or failed, 2 usage error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kv_wire.h"
#include "pelorlib.h"
#include "server.h"
#include "store.h"

namespace {

using emulator::Store;

constexpr const char* kUsage =
    "usage: hsm-emulator init --state DIR --master-password PW\n"
    "       hsm-emulator add-user --state DIR --name NAME --password PW [--mask M] [--blocked]\n"
    "       hsm-emulator add-users --state DIR (--prefix P --count N | --names-file F)\n"
    "                              --password PW [--mask M]\n"
    "       hsm-emulator list-users --state DIR\n"
    "       hsm-emulator list-objects --state DIR\n"
    "       hsm-emulator show-object --state DIR --name OWNER/NAME\n"
    "       hsm-emulator remove-object --state DIR --name OWNER/NAME\n"
    "       hsm-emulator serve --state DIR [--address A] [--port P] [--port-file F]\n"
    "                          [--latency-ms N] [--idle-timeout-ms N] [--fault-file F]\n"
    "       hsm-emulator sessions [--address A] --port P\n";

struct Options {
  std::map<std::string, std::string> values;
  bool blocked = false;
  bool has(const std::string& k) const { return values.count(k) != 0; }
  std::string get(const std::string& k, const std::string& fallback = {}) const {
    auto it = values.find(k);
    return it == values.end() ? fallback : it->second;
  }
};

int usage(const std::string& why) {
  std::fprintf(stderr, "hsm-emulator: %s\n%s", why.c_str(), kUsage);
  return 2;
}

bool parseNumber(const std::string& text, uint32_t maxValue, uint32_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || v > maxValue) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

std::unique_ptr<Store> openState(const Options& o) {
  std::string error;
  auto store = Store::open(o.get("--state"), error);
  if (!store) std::fprintf(stderr, "hsm-emulator: %s\n", error.c_str());
  return store;
}

bool splitOwnerName(const std::string& text, std::string& owner, std::string& name) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return false;
  owner = text.substr(0, slash);
  name = text.substr(slash + 1);
  return true;
}

const char* codeText(int32_t code) {
  switch (code) {
    case KV_OK: return "ok";
    case KV_ERR_OBJECT_NOT_FOUND: return "no such object";
    case KV_ERR_USER_EXISTS: return "user exists";
    case KV_ERR_NO_SUCH_USER: return "no such user";
    default: return "database failure";
  }
}

emulator::Server* runningServer = nullptr;

extern "C" void onStopSignal(int) {
  if (runningServer) runningServer->requestStop();
}

int serve(const Options& o) {
  emulator::ServerOptions so;
  so.address = o.get("--address", "127.0.0.1");
  uint32_t port = KV_DEFAULT_PORT, latency = 0, idle = so.idleTimeoutMs;
  if (!parseNumber(o.get("--port", "4433"), 65535, port) ||
      !parseNumber(o.get("--latency-ms", "0"), 600000, latency) ||
      !parseNumber(o.get("--idle-timeout-ms", std::to_string(idle)), 86400000, idle) || idle == 0)
    return usage("bad --port, --latency-ms or --idle-timeout-ms");
  so.port = static_cast<uint16_t>(port);
  so.latencyMs = latency;
  so.idleTimeoutMs = idle;
  so.faultFile = o.get("--fault-file", "");

  auto store = openState(o);
  if (!store) return 1;
  emulator::Server server(*store, so);
  std::string error;
  if (!server.listen(error)) {
    emulator::logLine("ERROR", error);
    return 1;
  }
  runningServer = &server;
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (o.has("--port-file")) {
    const std::string path = o.get("--port-file");
    const std::string tmp = path + ".tmp";
    {
      std::ofstream out(tmp, std::ios::trunc);
      out << server.port() << "\n";
      if (!out) {
        emulator::logLine("ERROR", "cannot write " + tmp);
        return 1;
      }
    }
    std::filesystem::rename(tmp, path);
  }
  emulator::logLine("INFO", "listening on " + so.address + ":" + std::to_string(server.port()) +
                                " (state " + o.get("--state") + ", latency " +
                                std::to_string(latency) + " ms)");
  server.run();
  runningServer = nullptr;
  emulator::logLine("INFO", "stopped");
  return 0;
}

// Asks a running emulator for its session counts.
int sessions(const Options& o) {
  uint32_t port = 0;
  if (!parseNumber(o.get("--port"), 65535, port) || port == 0) return usage("--port needed");
  const std::string address = o.get("--address", "127.0.0.1");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return usage("bad --address");
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    std::fprintf(stderr, "hsm-emulator: cannot connect to %s:%u\n", address.c_str(), port);
    if (fd >= 0) close(fd);
    return 1;
  }
  kvwire::Writer w;
  w.u8(static_cast<uint8_t>(kvwire::Op::Status));
  const auto& frame = w.frame();
  uint8_t reply[16];
  size_t got = 0;
  bool ok = send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
  while (ok && got < sizeof reply) {
    const ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
    if (n <= 0) ok = false;
    else got += static_cast<size_t>(n);
  }
  close(fd);
  if (!ok || kvwire::getU32(reply) != 12 || kvwire::getU32(reply + 4) != KV_OK) {
    std::fprintf(stderr, "hsm-emulator: no valid status reply\n");
    return 1;
  }
  std::printf("open-sessions %u\nlogins %u\n", kvwire::getU32(reply + 8), kvwire::getU32(reply + 12));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("no command");
  const std::string command = argv[1];
  Options o;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--blocked") {
      o.blocked = true;
    } else if (a.rfind("--", 0) == 0 && i + 1 < argc) {
      o.values[a] = argv[++i];
    } else {
      return usage("unexpected argument " + a);
    }
  }
  if (command == "sessions") return sessions(o);
  if (!o.has("--state")) return usage("--state is required");

  if (command == "init") {
    std::string error;
    if (!Store::create(o.get("--state"), o.get("--master-password"), error)) {
      std::fprintf(stderr, "hsm-emulator: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (command == "serve") return serve(o);

  auto store = openState(o);
  if (!store) return 1;
  if (command == "add-user") {
    uint32_t mask = 0x4F;
    const std::string name = o.get("--name"), password = o.get("--password");
    if (name.empty() || name.size() > KV_USER_NAME_MAX || password.empty() ||
        password.size() > KV_PASSWORD_MAX || !parseNumber(o.get("--mask", "0x4F"), 0xFFFFFFFFu, mask))
      return usage("add-user needs --name (1-16 bytes), --password (1-16 bytes), a valid --mask");
    const int32_t code = store->createUser(name, password, mask, o.blocked);
    if (code != KV_OK) {
      std::fprintf(stderr, "hsm-emulator: %s: %s\n", name.c_str(), codeText(code));
      return 1;
    }
    return 0;
  }
  if (command == "add-users") {
    uint32_t mask = 0x4F, count = 0;
    const std::string prefix = o.get("--prefix"), password = o.get("--password");
    if (password.empty() || password.size() > KV_PASSWORD_MAX ||
        !parseNumber(o.get("--mask", "0x4F"), 0xFFFFFFFFu, mask))
      return usage("add-users needs --password (1-16 bytes) and a valid --mask");
    std::vector<std::string> names;
    if (o.has("--names-file")) {
      std::ifstream in(o.get("--names-file"));
      std::string name;
      while (std::getline(in, name)) {
        if (name.empty() || name.size() > KV_USER_NAME_MAX) return usage("bad name in --names-file");
        names.push_back(name);
      }
      if (!in.eof()) return usage("cannot read --names-file");
    } else {
      if (prefix.empty() || prefix.size() + 7 > KV_USER_NAME_MAX ||
          !parseNumber(o.get("--count"), 9999999, count))
        return usage("add-users needs --prefix (1-9 bytes) and --count (up to 9999999)");
      names.reserve(count);
      char number[16];
      for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(number, sizeof number, "%07u", i);
        names.push_back(prefix + number);
      }
    }
    const int32_t code = store->createUsers(names, password, mask);
    if (code != KV_OK) {
      std::fprintf(stderr, "hsm-emulator: add-users: %s\n", codeText(code));
      return 1;
    }
    return 0;
  }
  if (command == "list-users") {
    std::vector<emulator::UserRecord> users;
    if (store->listUsers(users) != KV_OK) return 1;
    for (const auto& u : users)
      std::printf("%-16s mask=0x%03x blocked=%s\n", u.name.c_str(), u.mask,
                  u.blocked ? "yes" : "no");
    return 0;
  }
  if (command == "list-objects") {
    std::vector<emulator::ObjectInfo> objects;
    if (store->listObjects(objects) != KV_OK) return 1;
    for (const auto& ob : objects)
      std::printf("%s/%s %llu\n", ob.owner.c_str(), ob.name.c_str(),
                  static_cast<unsigned long long>(ob.size));
    return 0;
  }
  if (command == "show-object" || command == "remove-object") {
    std::string owner, name;
    if (!splitOwnerName(o.get("--name"), owner, name)) return usage("--name OWNER/NAME needed");
    if (command == "remove-object") {
      const int32_t code = store->removeObject(owner, name);
      if (code != KV_OK) std::fprintf(stderr, "hsm-emulator: %s\n", codeText(code));
      return code == KV_OK ? 0 : 1;
    }
    std::vector<uint8_t> data;
    const int32_t code = store->readObject(owner, name, data);
    if (code != KV_OK) {
      std::fprintf(stderr, "hsm-emulator: %s\n", codeText(code));
      return 1;
    }
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), stdout);
    return 0;
  }
  return usage("unknown command " + command);
}
