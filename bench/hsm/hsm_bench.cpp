// What one HSM operation costs: sessions per second (open, one call,
// close) against hsm-emulator on loopback, as the service does it for every
// user it touches. Also the cost of a call alone, inside one open session.
//
//   hsm_bench [--seconds N] [--latency-ms N]
//
// Starts an emulator of its own (or uses the one named by
// KELVASYNC_TEST_HSM_PORT) and prints one line per measurement.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hsm_test_support.h"
#include "pelorlib.h"

namespace {

using Clock = std::chrono::steady_clock;

int32_t countUser(const char*, void* ctx, int32_t flag) {
  if (flag == KV_LIST_ENTRY) ++*static_cast<int*>(ctx);
  return 0;
}

// One session as the service opens it: open, list the users, close.
bool oneSession(uint16_t port) {
  KvSession s = nullptr;
  if (kvtest::openSession(port, "master", kvtest::kMasterPassword, s) != KV_OK) return false;
  int users = 0;
  const bool ok = KvListUsers(s, countUser, &users) == KV_OK && users > 0;
  return KvCloseSession(&s, 0) == KV_OK && ok;
}

struct Result {
  long long operations = 0;
  long long failures = 0;
  double seconds = 0;
};

template <typename Work>
Result run(int threads, double seconds, Work work) {
  std::atomic<long long> ops{0}, failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> pool;
  const auto start = Clock::now();
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      while (!stop) {
        if (work()) ++ops;
        else ++failures;
      }
    });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : pool) t.join();
  return {ops.load(), failures.load(),
          std::chrono::duration<double>(Clock::now() - start).count()};
}

void print(const char* what, int threads, const Result& r) {
  const double perSecond = r.operations / r.seconds;
  std::printf("%-44s %2d client(s): %9.1f /s   mean %7.3f ms   (%lld done, %lld failed)\n", what,
              threads, perSecond, perSecond > 0 ? 1000.0 * threads / perSecond : 0.0,
              r.operations, r.failures);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  uint32_t latency = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    else if (std::strcmp(argv[i], "--latency-ms") == 0) latency = std::atoi(argv[i + 1]);
  }
  if (KvInitialize(0) != KV_OK) return 1;
  std::string error;
  kvtest::HsmServer::Options options;
  options.latencyMs = latency;
  auto server = kvtest::HsmServer::start(options, error);
  if (!server) {
    std::fprintf(stderr, "hsm_bench: %s\n", error.c_str());
    return 1;
  }
  const uint16_t port = server->port();
  std::printf("hsm-emulator on 127.0.0.1:%u, added latency %u ms, %.1f s per figure\n",
              static_cast<unsigned>(port), latency, seconds);
  run(1, 0.3, [&] { return oneSession(port); });  // warm-up

  for (int threads : {1, 4})
    print("sessions (open, list users, close)", threads,
          run(threads, seconds, [&] { return oneSession(port); }));

  KvSession s = nullptr;
  if (kvtest::openSession(port, "master", kvtest::kMasterPassword, s) != KV_OK) return 1;
  print("calls in one open session (list users)", 1, run(1, seconds, [&] {
          int users = 0;
          return KvListUsers(s, countUser, &users) == KV_OK;
        }));
  KvCloseSession(&s, 0);
  server.reset();
  KvFinalize();
  return 0;
}
