// Tests that need control of the emulator process (Linux): kill -9 during a
// burst of changes, stop and restart, a paused emulator, added latency.
// Each test starts an emulator of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hsm_test_support.h"

namespace {

using namespace kvtest;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::unique_ptr<HsmServer> ownServer(uint32_t latencyMs = 0) {
  if (std::getenv(kPortVariable) != nullptr) return nullptr;  // only an outside one is given
  std::string error;
  HsmServer::Options options;
  options.latencyMs = latencyMs;
  auto server = HsmServer::start(options, error);
  EXPECT_NE(server, nullptr) << error;
  return server;
}

int32_t supplyString(uint8_t* dest, uint32_t* count, void* ctx, int32_t* end) {
  auto* s = static_cast<std::pair<const std::string*, uint32_t>*>(ctx);
  *end = *count == 0 ? 1 : 0;
  std::memcpy(dest, s->first->data() + s->second, *count);
  s->second += *count;
  return 0;
}

int32_t writeText(KvSession session, const std::string& name, const std::string& text) {
  std::pair<const std::string*, uint32_t> source{&text, 0};
  return KvWriteFile(session, name.c_str(), static_cast<uint32_t>(text.size()), supplyString,
                     &source);
}

int32_t readText(KvSession session, const std::string& name, std::string& text) {
  text.clear();
  return KvReadFile(
      session, name.c_str(),
      [](const uint8_t* chunk, uint32_t n, void* ctx, int32_t) -> int32_t {
        static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(chunk), n);
        return 0;
      },
      &text);
}

int32_t collectNames(const char* name, void* ctx, int32_t flag) {
  if (flag == 0) static_cast<std::set<std::string>*>(ctx)->insert(name);
  return 0;
}

TEST(HsmEmulatorProcess, KillDuringABurstLosesNoAcknowledgedChange) {
  LibraryScope library;
  auto server = ownServer();
  if (!server) GTEST_SKIP() << "needs an emulator of its own";
  const uint16_t port = server->port();

  // Each writer creates users, removes every other one, and writes objects;
  // it records only what the emulator acknowledged.
  struct Acks {
    std::vector<std::string> created, removed;
    std::string uncertain;  // a removal in flight when the emulator died
    std::vector<std::pair<std::string, std::string>> objects;
  };
  constexpr int kWriters = 4;
  std::vector<Acks> acks(kWriters);
  std::atomic<int> acknowledged{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      ScopedSession s;
      if (s.open(port, "master", kMasterPassword) != KV_OK) return;
      for (int i = 0;; ++i) {
        const std::string id = uniqueName('K');
        HsmNewUserBlock b;
        std::memset(&b, 0, sizeof b);
        std::strcpy(b.userId, id.c_str());
        std::strcpy(b.password, "pw");
        b.permissionMask = 0x4F;
        if (KvCreateUser(s.handle, b) != KV_OK) return;
        acks[w].created.push_back(id);
        ++acknowledged;
        const std::string name = "o" + std::to_string(w) + "_" + std::to_string(i);
        const std::string text(100 + i, static_cast<char>('a' + i % 26));
        if (writeText(s.handle, name, text) != KV_OK) return;
        acks[w].objects.emplace_back(name, text);
        if (i % 2 == 1) {
          if (KvRemoveUser(s.handle, id.c_str()) != KV_OK) {
            acks[w].uncertain = id;  // it may or may not have been committed
            return;
          }
          acks[w].removed.push_back(id);
        }
      }
    });
  // Let the burst run, then kill the emulator in the middle of it.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (acknowledged < 200 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  server->kill9();
  for (auto& t : writers) t.join();
  ASSERT_GE(acknowledged.load(), 200) << "the burst made too little progress to mean anything";

  ASSERT_TRUE(server->restart());
  ScopedSession s;
  ASSERT_EQ(s.open(server->port(), "master", kMasterPassword), KV_OK);
  std::set<std::string> users;
  ASSERT_EQ(KvListUsers(s.handle, collectNames, &users), KV_OK);
  size_t checked = 0;
  for (const Acks& a : acks) {
    for (const auto& id : a.created) {
      if (id == a.uncertain) continue;
      const bool removed = std::find(a.removed.begin(), a.removed.end(), id) != a.removed.end();
      EXPECT_EQ(users.count(id), removed ? 0u : 1u) << id;
      ++checked;
    }
    for (const auto& [name, text] : a.objects) {
      std::string back;
      EXPECT_EQ(readText(s.handle, name, back), KV_OK) << name;
      EXPECT_EQ(back, text) << name;
      ++checked;
    }
  }
  EXPECT_GT(checked, 200u);
}

TEST(HsmEmulatorProcess, AStoppedEmulatorRefusesQuicklyAndARestartKeepsTheState) {
  LibraryScope library;
  auto server = ownServer();
  if (!server) GTEST_SKIP() << "needs an emulator of its own";
  {
    ScopedSession s;
    ASSERT_EQ(s.open(server->port(), kAddbUser, kAddbPassword), KV_OK);
    ASSERT_EQ(writeText(s.handle, "addb", "kept\r\n"), KV_OK);
  }
  const uint16_t oldPort = server->port();
  server->stop();
  const auto start = Clock::now();
  KvSession none = nullptr;
  EXPECT_EQ(openSession(oldPort, kAddbUser, kAddbPassword, none), KV_ERR_CONNECTION_REFUSED);
  EXPECT_LT(msSince(start), 2500);

  ASSERT_TRUE(server->restart());
  ScopedSession s;
  ASSERT_EQ(s.open(server->port(), kAddbUser, kAddbPassword), KV_OK);
  std::string text;
  ASSERT_EQ(readText(s.handle, "addb", text), KV_OK);
  EXPECT_EQ(text, "kept\r\n");
}

TEST(HsmEmulatorProcess, APausedEmulatorTimesOutAndTheSessionIsThenUnusable) {
  LibraryScope library;
  auto server = ownServer();
  if (!server) GTEST_SKIP() << "needs an emulator of its own";
  constexpr uint32_t bound = 2000;  // generous: the login itself must fit in it on a loaded machine
  KvSession s = nullptr;
  ASSERT_EQ(openSession(server->port(), "master", kMasterPassword, s, bound), KV_OK);
  server->pause();
  std::set<std::string> users;
  auto start = Clock::now();
  EXPECT_EQ(KvListUsers(s, collectNames, &users), KV_ERR_TIMEOUT);
  EXPECT_LT(msSince(start), 3 * bound);
  // A late reply could be taken for the next one: the session is finished.
  start = Clock::now();
  EXPECT_EQ(KvListUsers(s, collectNames, &users), KV_ERR_CONNECTION_LOST);
  EXPECT_LT(msSince(start), static_cast<long long>(bound));
  EXPECT_NE(KvCloseSession(&s, 0), KV_OK);
  EXPECT_EQ(s, nullptr);
  server->resume();

  // The emulator notices the dropped connection and counts the session out.
  SessionCounts counts;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  do {
    ASSERT_TRUE(server->querySessions(counts));
    if (counts.open == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < deadline);
  EXPECT_EQ(counts.open, 0u);
  EXPECT_EQ(counts.logins, 1u);
}

TEST(HsmEmulatorProcess, AddedLatencyDelaysEveryRequest) {
  LibraryScope library;
  constexpr uint32_t latency = 200;
  auto server = ownServer(latency);
  if (!server) GTEST_SKIP() << "needs an emulator of its own";
  const auto start = Clock::now();
  ScopedSession s;
  ASSERT_EQ(s.open(server->port(), "master", kMasterPassword), KV_OK);  // login: one request
  std::set<std::string> users;
  ASSERT_EQ(KvListUsers(s.handle, collectNames, &users), KV_OK);       // and a second
  EXPECT_GE(msSince(start), 2 * latency);
  // A request time-out below the latency fails the request.
  KvSession quick = nullptr;
  EXPECT_EQ(openSession(server->port(), "master", kMasterPassword, quick, latency / 4),
            KV_ERR_TIMEOUT);
}

}  // namespace
