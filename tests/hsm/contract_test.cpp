// The twelve calls of pelorlib.h against a real hsm-emulator process: every
// result code, the callbacks' chunking, sessions across threads, and the
// emulator's handling of bad requests. Built for Linux and for Windows (run
// under Wine against the Linux emulator).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hsm/hsm_client.h"
#include "hsm_test_support.h"
#include "kv_wire.h"
#include "pelorlib.h"

#if !defined(_WIN32)
// The test process's allocator fails on request: once this thread sets the
// count to n >= 0, its n-th next allocation (from 0) throws std::bad_alloc.
// It reaches the client library's allocations, which share the process's
// C++ runtime on Linux. (Kept out of line, so that the compiler does not
// pair the malloc and free inside with the callers' new and delete.)
thread_local long allocationsUntilFailure = -1;

[[gnu::noinline]] void* operator new(std::size_t size) {
  if (allocationsUntilFailure >= 0 && allocationsUntilFailure-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using namespace kvtest;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class HsmContract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(library_.code(), KV_OK);
    std::string error;
    server_ = sharedServer(error);
    ASSERT_NE(server_, nullptr) << error;
    port_ = server_->port();
  }
  ScopedSession& admin() {
    if (admin_.handle == nullptr) {
      EXPECT_EQ(admin_.open(port_, "master", kMasterPassword), KV_OK);
    }
    return admin_;
  }
  int32_t create(const std::string& id, const std::string& password, uint32_t mask = 0x4F) {
    HsmNewUserBlock b;
    std::memset(&b, 0, sizeof b);
    std::strncpy(b.userId, id.c_str(), sizeof b.userId - 1);
    std::strncpy(b.password, password.c_str(), sizeof b.password - 1);
    b.permissionMask = mask;
    return KvCreateUser(admin().handle, b);
  }
  int32_t loginCode(const std::string& user, const std::string& password) {
    ScopedSession s;
    return s.open(port_, user, password);
  }

  LibraryScope library_;
  HsmServer* server_ = nullptr;
  uint16_t port_ = 0;
  ScopedSession admin_;
};

// ---- Callbacks modelled on the service's addb writer and reader ----------

// The writer's supplier: clears the end flag; at the end of the text sets
// it and rewinds; copies as requested but never past the text; advances the
// cursor by the requested count.
struct SupplyBuffer {
  std::string text;
  uint32_t length = 0;
  uint32_t cursor = 0;
  std::vector<uint32_t> requests;
  bool overran = false;
};

int32_t supplyLikeAddb(uint8_t* destination, uint32_t* requested, void* context,
                       int32_t* endFlag) {
  auto* b = static_cast<SupplyBuffer*>(context);
  b->requests.push_back(*requested);
  *endFlag = 0;
  if (b->cursor == b->length) {
    *endFlag = 1;
    b->cursor = 0;
  }
  if (b->cursor > b->length) {
    b->overran = true;
    return 0;
  }
  const uint32_t n = std::min(*requested, b->length - b->cursor);
  std::memcpy(destination, b->text.data() + b->cursor, n);
  b->cursor += *requested;
  return 0;
}

// The reader's receiver: copies at the cursor within a 65,536-byte area,
// terminates, rewinds on the end flag.
struct ReceiveBuffer {
  std::vector<uint8_t> area = std::vector<uint8_t>(65536 + 1, 0xEE);
  uint32_t cursor = 0;
  std::vector<std::pair<uint32_t, int32_t>> calls;  // length, end flag
  std::string text() const { return reinterpret_cast<const char*>(area.data()); }
};

int32_t appendLikeAddb(const uint8_t* chunk, uint32_t length, void* context, int32_t endFlag) {
  auto* b = static_cast<ReceiveBuffer*>(context);
  b->calls.emplace_back(length, endFlag);
  uint32_t n = 0;
  if (length != 0) {
    n = std::min<uint32_t>(length, 65536 - b->cursor);
    std::memcpy(b->area.data() + b->cursor, chunk, n);
  }
  b->area[b->cursor + n] = 0;
  b->cursor = endFlag ? 0 : b->cursor + length;
  return 0;
}

// Collects an object whole, whatever its size.
int32_t collectBytes(const uint8_t* chunk, uint32_t length, void* context, int32_t) {
  auto* out = static_cast<std::string*>(context);
  out->append(reinterpret_cast<const char*>(chunk), length);
  return 0;
}

int32_t writeText(KvSession s, const char* name, const std::string& text) {
  SupplyBuffer b;
  b.text = text;
  b.length = static_cast<uint32_t>(text.size());
  return KvWriteFile(s, name, b.length, supplyLikeAddb, &b);
}

int32_t readText(KvSession s, const char* name, std::string& out) {
  out.clear();
  return KvReadFile(s, name, collectBytes, &out);
}

std::string patterned(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
  return s;
}

// ---- Library and session opening -------------------------------------------

TEST(HsmLibrary, SessionsNeedAnInitialisedLibraryAndCallsNest) {
  // No other test keeps the library initialised between tests.
  EXPECT_EQ(KvFinalize(), KV_ERR_NOT_INITIALIZED);
  EXPECT_EQ(KvInitialize(1), KV_ERR_BAD_ARGUMENT);
  KvSession s = nullptr;
  const uint16_t port = closedPort();
  EXPECT_EQ(openSession(port, "master", "x", s), KV_ERR_NOT_INITIALIZED);
  ASSERT_EQ(KvInitialize(0), KV_OK);
  ASSERT_EQ(KvInitialize(0), KV_OK);
  EXPECT_EQ(KvFinalize(), KV_OK);
  EXPECT_EQ(openSession(port, "master", "x", s), KV_ERR_CONNECTION_REFUSED);  // still initialised
  EXPECT_EQ(KvFinalize(), KV_OK);
  EXPECT_EQ(openSession(port, "master", "x", s), KV_ERR_NOT_INITIALIZED);
  EXPECT_EQ(s, nullptr);
}

void setVariable(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  if (*value != '\0') setenv(name, value, 1);
  else unsetenv(name);
#endif
}

TEST(HsmLibrary, TheDefaultRequestTimeOutCanComeFromTheEnvironment) {
  SilentListener listener;
  ASSERT_TRUE(listener.ok());
  setVariable("KELVASYNC_HSM_IO_TIMEOUT_MS", "400");
  const int32_t initialised = KvInitialize(0);  // reads the variable
  setVariable("KELVASYNC_HSM_IO_TIMEOUT_MS", "");
  ASSERT_EQ(initialised, KV_OK);
  const auto start = Clock::now();
  KvSession s = nullptr;
  EXPECT_EQ(openSession(listener.port(), "master", "pw", s), KV_ERR_TIMEOUT);
  const long long took = msSince(start);
  EXPECT_GE(took, 350);
  EXPECT_LT(took, 3 * 400);
  KvFinalize();
}

TEST_F(HsmContract, OpenUsesThePortFieldOrAPortGivenWithTheHost) {
  ScopedSession byField;
  ASSERT_EQ(byField.open(port_, "master", kMasterPassword), KV_OK);
  EXPECT_NE(byField.handle, nullptr);

  HsmLoginBlock login;
  std::memset(&login, 0, sizeof login);
  std::snprintf(login.host, sizeof login.host, "127.0.0.1:%u", static_cast<unsigned>(port_));
  login.port = closedPort();  // the host's port wins
  std::strcpy(login.user, kAddbUser);
  std::strcpy(login.password, kAddbPassword);
  KvSession s = nullptr;
  ASSERT_EQ(KvOpenSession(&s, KV_CHANNEL_TCP, &login, sizeof login, KV_LOGIN_PASSWORD), KV_OK);
  EXPECT_EQ(KvCloseSession(&s, 0), KV_OK);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(KvCloseSession(&s, 0), KV_ERR_BAD_ARGUMENT);  // already closed
}

TEST_F(HsmContract, LoginRefusedForWrongPasswordUnknownBlockedOrMiscasedUser) {
  KvSession s = nullptr;
  EXPECT_EQ(openSession(port_, "master", "wrong", s), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(loginCode("nobody", "x"), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(loginCode(kBlockedUser, kBlockedPassword), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(loginCode("Master", kMasterPassword), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(loginCode("", ""), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(loginCode(kAddbUser, kAddbPassword), KV_OK);
}

TEST_F(HsmContract, BadOpenArgumentsAreRefusedBeforeAnyConnection) {
  SilentListener listener;
  ASSERT_TRUE(listener.ok());
  HsmLoginBlock good;
  std::memset(&good, 0, sizeof good);
  std::strcpy(good.host, "127.0.0.1");
  good.port = listener.port();
  std::strcpy(good.user, "master");
  std::strcpy(good.password, "pw");
  good.reserved[1] = 300;

  KvSession s = nullptr;
  EXPECT_EQ(KvOpenSession(nullptr, KV_CHANNEL_TCP, &good, sizeof good, KV_LOGIN_PASSWORD),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvOpenSession(&s, KV_CHANNEL_TCP, nullptr, sizeof good, KV_LOGIN_PASSWORD),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvOpenSession(&s, KV_CHANNEL_TCP, &good, sizeof good - 1, KV_LOGIN_PASSWORD),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvOpenSession(&s, 15, &good, sizeof good, KV_LOGIN_PASSWORD), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvOpenSession(&s, KV_CHANNEL_TCP, &good, sizeof good, 8), KV_ERR_BAD_ARGUMENT);

  auto refused = [&](void (*spoil)(HsmLoginBlock&)) {
    HsmLoginBlock b = good;
    spoil(b);
    return KvOpenSession(&s, KV_CHANNEL_TCP, &b, sizeof b, KV_LOGIN_PASSWORD);
  };
  EXPECT_EQ(refused([](HsmLoginBlock& b) { std::memset(b.host, 'h', sizeof b.host); }),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(refused([](HsmLoginBlock& b) { b.host[0] = '\0'; }), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(refused([](HsmLoginBlock& b) { std::memset(b.user, 'u', sizeof b.user); }),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(refused([](HsmLoginBlock& b) { std::memset(b.password, 'p', sizeof b.password); }),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(refused([](HsmLoginBlock& b) { b.reserved[2] = 1; }), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(refused([](HsmLoginBlock& b) { std::strcpy(b.host, "127.0.0.1:70000"); }),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(refused([](HsmLoginBlock& b) { std::strcpy(b.host, "127.0.0.1:"); }),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(refused([](HsmLoginBlock& b) { b.port = 0; }), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(listener.accepted(), 0);

  // The same block, unspoilt, does reach the listener.
  EXPECT_EQ(KvOpenSession(&s, KV_CHANNEL_TCP, &good, sizeof good, KV_LOGIN_PASSWORD),
            KV_ERR_TIMEOUT);
  EXPECT_EQ(listener.accepted(), 1);
}

TEST_F(HsmContract, NothingListeningIsRefusedQuickly) {
  const auto start = Clock::now();
  KvSession s = nullptr;
  EXPECT_EQ(openSession(closedPort(), "master", kMasterPassword, s), KV_ERR_CONNECTION_REFUSED);
  // Well under the 5 s connect time-out: a refusal is not waited out.
  EXPECT_LT(msSince(start), 2500);
}

TEST_F(HsmContract, AnHsmThatNeverAnswersTimesOutWithinItsBound) {
  SilentListener listener;
  ASSERT_TRUE(listener.ok());
  constexpr uint32_t bound = 500;
  const auto start = Clock::now();
  KvSession s = nullptr;
  EXPECT_EQ(openSession(listener.port(), "master", "pw", s, bound), KV_ERR_TIMEOUT);
  const long long took = msSince(start);
  EXPECT_GE(took, bound - 50);
  EXPECT_LT(took, 3 * bound);
  EXPECT_EQ(s, nullptr);
}

// ---- Users ---------------------------------------------------------------------

struct ListCalls {
  std::vector<std::string> names;
  int endCalls = 0;
  bool nameAfterEnd = false;
  int stopAt = -1;
};

int32_t recordUser(const char* name, void* context, int32_t flag) {
  auto* c = static_cast<ListCalls*>(context);
  if (flag == KV_LIST_END) {
    ++c->endCalls;
    if (name != nullptr) c->nameAfterEnd = true;
    return 0;
  }
  if (c->endCalls != 0) c->nameAfterEnd = true;
  c->names.push_back(name);
  return static_cast<int>(c->names.size()) == c->stopAt ? 1 : 0;
}

TEST_F(HsmContract, ListUsersGivesEveryUserInCreationOrderThenOneEndCall) {
  const std::string fresh = uniqueName();
  ASSERT_EQ(create(fresh, "pw"), KV_OK);
  ListCalls calls;
  ASSERT_EQ(KvListUsers(admin().handle, recordUser, &calls), KV_OK);
  EXPECT_EQ(calls.endCalls, 1);
  EXPECT_FALSE(calls.nameAfterEnd);
  ASSERT_GE(calls.names.size(), 6u);
  EXPECT_EQ(calls.names[0], "master");
  EXPECT_EQ(std::vector<std::string>(calls.names.begin() + 1, calls.names.begin() + 5),
            (std::vector<std::string>{kAddbUser, kPlainUser, kReaderUser, kBlockedUser}));
  EXPECT_EQ(calls.names.back(), fresh);
}

TEST_F(HsmContract, ListUsersStopsWhenTheCallbackSaysSoAndNeedsAnAdministrator) {
  ListCalls calls;
  calls.stopAt = 2;
  EXPECT_EQ(KvListUsers(admin().handle, recordUser, &calls), KV_ERR_ABORTED);
  EXPECT_EQ(calls.names.size(), 2u);
  EXPECT_EQ(calls.endCalls, 0);

  ScopedSession plain;
  ASSERT_EQ(plain.open(port_, kPlainUser, kPlainPassword), KV_OK);
  ListCalls none;
  EXPECT_EQ(KvListUsers(plain.handle, recordUser, &none), KV_ERR_ACCESS_DENIED);
  EXPECT_TRUE(none.names.empty());
  EXPECT_EQ(none.endCalls, 0);
  EXPECT_EQ(KvListUsers(plain.handle, nullptr, &none), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvListUsers(nullptr, recordUser, &none), KV_ERR_BAD_ARGUMENT);
}

// A listing far beyond one frame (150,000 names of 8 bytes: about 1.5 MB)
// arrives whole and in order, through the stand-in and through the
// service's wrapper, and the session serves on afterwards.
TEST_F(HsmContract, AnHsmOf150000UsersIsListedWhole) {
  constexpr uint32_t kSeeded = 150000;
  HsmServer::Options options;
  options.seededUsers = kSeeded;
  std::string error;
  const auto big = HsmServer::start(options, error);
  if (big == nullptr && !server_->controllable()) GTEST_SKIP() << error;
  ASSERT_NE(big, nullptr) << error;

  ScopedSession s;
  ASSERT_EQ(s.open(big->port(), "master", kMasterPassword), KV_OK);
  ListCalls calls;
  ASSERT_EQ(KvListUsers(s.handle, recordUser, &calls), KV_OK);
  EXPECT_EQ(calls.endCalls, 1);
  EXPECT_FALSE(calls.nameAfterEnd);
  ASSERT_EQ(calls.names.size(), kSeeded + 5);
  EXPECT_EQ(calls.names[0], "master");
  EXPECT_EQ(calls.names[4], kBlockedUser);
  size_t outOfPlace = 0;
  char expected[16];
  for (uint32_t i = 0; i < kSeeded; ++i) {
    std::snprintf(expected, sizeof expected, "%s%07u", kSeedPrefix, i);
    if (calls.names[5 + i] != expected) ++outOfPlace;
  }
  EXPECT_EQ(outOfPlace, 0u);

  ASSERT_EQ(KvRemoveUser(s.handle, "S0000000"), KV_OK);
  std::vector<std::string> users;
  ASSERT_EQ(listHsmUsers(users, big->host(), "master", kMasterPassword), KV_OK);
  ASSERT_EQ(users.size(), kSeeded + 3);  // "master" is left out
  EXPECT_EQ(users[4], "S0000001");
  EXPECT_EQ(users.back(), "S0149999");
}

TEST_F(HsmContract, CreateUserThenExistsAndTheNewUserCanLogIn) {
  const std::string id = uniqueName('A');
  ASSERT_EQ(create(id, "initial-pw"), KV_OK);
  EXPECT_EQ(create(id, "other"), KV_ERR_USER_EXISTS);
  EXPECT_EQ(create("master", "other"), KV_ERR_USER_EXISTS);
  EXPECT_EQ(loginCode(id, "initial-pw"), KV_OK);
  EXPECT_EQ(loginCode(id, "other"), KV_ERR_LOGIN_REFUSED);  // the password was not changed

  const std::string longest = uniqueName('L') + "abcd";  // 16 bytes
  ASSERT_EQ(longest.size(), 16u);
  EXPECT_EQ(create(longest, "pw"), KV_OK);
}

TEST_F(HsmContract, CreateUserRefusesIdentifiersTheHsmDoesNotTake) {
  for (const std::string bad : {"", "9starts-digit", "has space", "a/b", "\xe7\xe3o"})
    EXPECT_EQ(create(bad, "pw"), KV_ERR_INVALID_USER_ID) << '"' << bad << '"';
}

TEST_F(HsmContract, CreateUserRefusesFieldsWithoutTerminatorAndNonAdministrators) {
  HsmNewUserBlock b;
  std::memset(&b, 0, sizeof b);
  std::memset(b.userId, 'A', sizeof b.userId);
  std::strcpy(b.password, "pw");
  EXPECT_EQ(KvCreateUser(admin().handle, b), KV_ERR_BAD_ARGUMENT);
  std::memset(&b, 0, sizeof b);
  std::strcpy(b.userId, "Aok");
  std::memset(b.password, 'p', sizeof b.password);
  EXPECT_EQ(KvCreateUser(admin().handle, b), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvCreateUser(nullptr, b), KV_ERR_BAD_ARGUMENT);

  ScopedSession plain;
  ASSERT_EQ(plain.open(port_, kPlainUser, kPlainPassword), KV_OK);
  std::memset(&b, 0, sizeof b);
  std::strcpy(b.userId, uniqueName().c_str());
  std::strcpy(b.password, "pw");
  EXPECT_EQ(KvCreateUser(plain.handle, b), KV_ERR_ACCESS_DENIED);
}

TEST_F(HsmContract, RemoveUserTakesItsObjectsAlongAndCannotRemoveMaster) {
  const std::string id = uniqueName();
  ASSERT_EQ(create(id, "pw"), KV_OK);
  const std::string object = id + "/kept";
  ASSERT_EQ(writeText(admin().handle, object.c_str(), "data"), KV_OK);
  EXPECT_EQ(KvRemoveUser(admin().handle, id.c_str()), KV_OK);
  EXPECT_EQ(loginCode(id, "pw"), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(KvRemoveUser(admin().handle, id.c_str()), KV_ERR_NO_SUCH_USER);
  ASSERT_EQ(create(id, "pw"), KV_OK);  // same name again: nothing inherited
  std::string text;
  EXPECT_EQ(readText(admin().handle, object.c_str(), text), KV_ERR_OBJECT_NOT_FOUND);

  EXPECT_EQ(KvRemoveUser(admin().handle, "master"), KV_ERR_ACCESS_DENIED);
  EXPECT_EQ(KvRemoveUser(admin().handle, std::string(17, 'A').c_str()), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvRemoveUser(admin().handle, nullptr), KV_ERR_BAD_ARGUMENT);
  ScopedSession plain;
  ASSERT_EQ(plain.open(port_, kPlainUser, kPlainPassword), KV_OK);
  EXPECT_EQ(KvRemoveUser(plain.handle, id.c_str()), KV_ERR_ACCESS_DENIED);
  EXPECT_EQ(loginCode(id, "pw"), KV_OK);
}

TEST_F(HsmContract, SetUserParamBlocksAndUnblocksByTheGivenBytes) {
  const std::string id = uniqueName();
  ASSERT_EQ(create(id, "pw"), KV_OK);
  const uint32_t n = static_cast<uint32_t>(id.size());
  KvSession a = admin().handle;
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_UNBLOCK, id.data(), n, 0), KV_OK);  // not blocked: fine
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, id.data(), n, 0), KV_OK);
  EXPECT_EQ(loginCode(id, "pw"), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, id.data(), n, 0), KV_OK);  // twice: still fine
  // Only `n` bytes count, whatever follows them.
  const std::string padded = id + "XYZ";
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_UNBLOCK, padded.data(), n, 0), KV_OK);
  EXPECT_EQ(loginCode(id, "pw"), KV_OK);

  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, "nobody", 6, 0), KV_ERR_NO_SUCH_USER);
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, "master", 6, 0), KV_ERR_ACCESS_DENIED);
  EXPECT_EQ(KvSetUserParam(a, 0x41, id.data(), n, 0), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, id.data(), 0, 0), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, std::string(17, 'A').data(), 17, 0),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, "ab\0c", 4, 0), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, id.data(), n, 1), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvSetUserParam(a, KV_PARAM_BLOCK, nullptr, n, 0), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(loginCode(id, "pw"), KV_OK);  // none of the refused requests blocked it
}

TEST_F(HsmContract, ABlockedOrRemovedUserCanDoNothingMoreInItsOpenSession) {
  const std::string id = uniqueName();
  ASSERT_EQ(create(id, "pw"), KV_OK);
  ScopedSession user;
  ASSERT_EQ(user.open(port_, id, "pw"), KV_OK);
  ASSERT_EQ(writeText(user.handle, "mine", "x"), KV_OK);
  ASSERT_EQ(KvSetUserParam(admin().handle, KV_PARAM_BLOCK, id.data(),
                           static_cast<uint32_t>(id.size()), 0),
            KV_OK);
  std::string text;
  EXPECT_EQ(readText(user.handle, "mine", text), KV_ERR_ACCESS_DENIED);
  ASSERT_EQ(KvRemoveUser(admin().handle, id.c_str()), KV_OK);
  EXPECT_EQ(writeText(user.handle, "mine", "y"), KV_ERR_ACCESS_DENIED);
}

// ---- Objects ------------------------------------------------------------------

TEST_F(HsmContract, WriteAndReadDriveTheCallbacksInChunksWithEndFlagAndRewind) {
  ScopedSession s;
  ASSERT_EQ(s.open(port_, kAddbUser, kAddbPassword), KV_OK);
  const std::string name = uniqueName('o');
  SupplyBuffer supply;
  supply.text = patterned(10000);
  supply.length = 10000;
  ASSERT_EQ(KvWriteFile(s.handle, name.c_str(), supply.length, supplyLikeAddb, &supply), KV_OK);
  EXPECT_FALSE(supply.overran);
  EXPECT_EQ(supply.requests, (std::vector<uint32_t>{4096, 4096, 1808, 0}));
  EXPECT_EQ(supply.cursor, 0u);  // rewound by the final call

  ReceiveBuffer receive;
  for (int round = 0; round < 2; ++round) {  // the rewound cursor serves the next read
    receive.calls.clear();
    ASSERT_EQ(KvReadFile(s.handle, name.c_str(), appendLikeAddb, &receive), KV_OK);
    EXPECT_EQ(receive.text(), supply.text);
    EXPECT_EQ(receive.cursor, 0u);
    ASSERT_EQ(receive.calls.size(), 3u);
    EXPECT_EQ(receive.calls[0], std::make_pair(4096u, 0));
    EXPECT_EQ(receive.calls[1], std::make_pair(4096u, 0));
    EXPECT_EQ(receive.calls[2], std::make_pair(1808u, 1));
  }
}

TEST_F(HsmContract, AnEmptyObjectIsOneEndCallAndAMissingOneIs5004WithoutCalls) {
  ScopedSession s;
  ASSERT_EQ(s.open(port_, kAddbUser, kAddbPassword), KV_OK);
  const std::string name = uniqueName('o');
  SupplyBuffer empty;
  ASSERT_EQ(KvWriteFile(s.handle, name.c_str(), 0, supplyLikeAddb, &empty), KV_OK);
  EXPECT_EQ(empty.requests, (std::vector<uint32_t>{0}));
  ReceiveBuffer receive;
  receive.area[0] = 'x';
  ASSERT_EQ(KvReadFile(s.handle, name.c_str(), appendLikeAddb, &receive), KV_OK);
  ASSERT_EQ(receive.calls.size(), 1u);
  EXPECT_EQ(receive.calls[0], std::make_pair(0u, 1));
  EXPECT_EQ(receive.text(), "");

  ReceiveBuffer untouched;
  EXPECT_EQ(KvReadFile(s.handle, uniqueName('m').c_str(), appendLikeAddb, &untouched),
            KV_ERR_OBJECT_NOT_FOUND);
  EXPECT_TRUE(untouched.calls.empty());
}

TEST_F(HsmContract, TheLargestObjectRoundTripsAndALargerOneIsRefused) {
  ScopedSession s;
  ASSERT_EQ(s.open(port_, kAddbUser, kAddbPassword), KV_OK);
  const std::string name = uniqueName('o');
  const std::string big = patterned(KV_MAX_OBJECT_SIZE);
  ASSERT_EQ(writeText(s.handle, name.c_str(), big), KV_OK);
  std::string back;
  ASSERT_EQ(readText(s.handle, name.c_str(), back), KV_OK);
  EXPECT_TRUE(back == big);
  SupplyBuffer tooBig;
  EXPECT_EQ(KvWriteFile(s.handle, name.c_str(), KV_MAX_OBJECT_SIZE + 1, supplyLikeAddb, &tooBig),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_TRUE(tooBig.requests.empty());
}

TEST_F(HsmContract, ObjectsBelongToTheirOwnerAndToAdministrators) {
  ScopedSession owner, plain, reader;
  ASSERT_EQ(owner.open(port_, kAddbUser, kAddbPassword), KV_OK);
  ASSERT_EQ(plain.open(port_, kPlainUser, kPlainPassword), KV_OK);
  ASSERT_EQ(reader.open(port_, kReaderUser, kReaderPassword), KV_OK);
  const std::string name = uniqueName('o');
  const std::string full = std::string(kAddbUser) + "/" + name;
  ASSERT_EQ(writeText(owner.handle, name.c_str(), "by owner\r\n"), KV_OK);

  std::string text;
  EXPECT_EQ(readText(owner.handle, full.c_str(), text), KV_OK);
  EXPECT_EQ(text, "by owner\r\n");
  EXPECT_EQ(readText(admin().handle, full.c_str(), text), KV_OK);
  EXPECT_EQ(text, "by owner\r\n");
  EXPECT_EQ(writeText(admin().handle, full.c_str(), "by master\r\n"), KV_OK);
  EXPECT_EQ(readText(owner.handle, name.c_str(), text), KV_OK);
  EXPECT_EQ(text, "by master\r\n");

  EXPECT_EQ(readText(plain.handle, full.c_str(), text), KV_ERR_ACCESS_DENIED);
  EXPECT_EQ(writeText(plain.handle, full.c_str(), "x"), KV_ERR_ACCESS_DENIED);
  EXPECT_EQ(KvRemoveObj(plain.handle, full.c_str()), KV_ERR_ACCESS_DENIED);
  // Own objects need the mask's bits: the reader may only read.
  EXPECT_EQ(writeText(reader.handle, "own", "x"), KV_ERR_ACCESS_DENIED);
  EXPECT_EQ(readText(reader.handle, "own", text), KV_ERR_OBJECT_NOT_FOUND);

  EXPECT_EQ(writeText(admin().handle, "ghost/x", "x"), KV_ERR_NO_SUCH_USER);
  EXPECT_EQ(readText(admin().handle, "ghost/x", text), KV_ERR_OBJECT_NOT_FOUND);
  for (const char* bad : {"a/b/c", "/x", "x/", "bad name", "9owner/x"})
    EXPECT_EQ(readText(admin().handle, bad, text), KV_ERR_BAD_ARGUMENT) << bad;
}

int32_t failingSupplier(uint8_t*, uint32_t*, void*, int32_t*) { return 7; }

TEST_F(HsmContract, AWriteWhoseSupplierDisagreesWithItsCountChangesNothing) {
  ScopedSession s;
  ASSERT_EQ(s.open(port_, kAddbUser, kAddbPassword), KV_OK);
  const std::string name = uniqueName('o');
  ASSERT_EQ(writeText(s.handle, name.c_str(), "original"), KV_OK);

  SupplyBuffer shorter;  // declares 100 bytes, has 10
  shorter.text = "0123456789";
  shorter.length = 10;
  EXPECT_EQ(KvWriteFile(s.handle, name.c_str(), 100, supplyLikeAddb, &shorter),
            KV_ERR_BAD_ARGUMENT);
  SupplyBuffer longer;  // declares 5 bytes, has 10: never signals its end
  longer.text = "0123456789";
  longer.length = 10;
  EXPECT_EQ(KvWriteFile(s.handle, name.c_str(), 5, supplyLikeAddb, &longer), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvWriteFile(s.handle, name.c_str(), 5, failingSupplier, nullptr), KV_ERR_ABORTED);
  EXPECT_EQ(KvWriteFile(s.handle, name.c_str(), 5, nullptr, nullptr), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(writeText(s.handle, std::string(KV_OBJECT_NAME_FIELD_SIZE, 'n').c_str(), "x"),
            KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(writeText(s.handle, "", "x"), KV_ERR_BAD_ARGUMENT);

  std::string text;
  ASSERT_EQ(readText(s.handle, name.c_str(), text), KV_OK);
  EXPECT_EQ(text, "original");
}

TEST_F(HsmContract, RemoveAndRenameReport5004ForMissingObjectsAndRenameReplaces) {
  ScopedSession s;
  ASSERT_EQ(s.open(port_, kAddbUser, kAddbPassword), KV_OK);
  const std::string a = uniqueName('o'), b = uniqueName('o'), missing = uniqueName('m');
  ASSERT_EQ(writeText(s.handle, a.c_str(), "A"), KV_OK);
  ASSERT_EQ(writeText(s.handle, b.c_str(), "B"), KV_OK);
  EXPECT_EQ(KvRenameObj(s.handle, missing.c_str(), b.c_str(), 0), KV_ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(KvRenameObj(s.handle, a.c_str(), b.c_str(), 1), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KvRenameObj(s.handle, a.c_str(), (std::string(kPlainUser) + "/" + b).c_str(), 0),
            KV_ERR_BAD_ARGUMENT);  // not across owners
  const std::string qualified = std::string(kAddbUser) + "/" + a;
  EXPECT_EQ(KvRenameObj(s.handle, qualified.c_str(), b.c_str(), 0), KV_OK);
  std::string text;
  EXPECT_EQ(readText(s.handle, a.c_str(), text), KV_ERR_OBJECT_NOT_FOUND);
  ASSERT_EQ(readText(s.handle, b.c_str(), text), KV_OK);
  EXPECT_EQ(text, "A");
  EXPECT_EQ(KvRemoveObj(s.handle, b.c_str()), KV_OK);
  EXPECT_EQ(KvRemoveObj(s.handle, b.c_str()), KV_ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(readText(s.handle, b.c_str(), text), KV_ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(KvRemoveObj(s.handle, nullptr), KV_ERR_BAD_ARGUMENT);
}

// ---- Sessions and threads ----------------------------------------------------

TEST_F(HsmContract, OneSessionServesSeveralThreadsAndClosesFromAnother) {
  KvSession shared = nullptr;
  ASSERT_EQ(openSession(port_, "master", kMasterPassword, shared), KV_OK);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        ListCalls calls;
        if (KvListUsers(shared, recordUser, &calls) != KV_OK || calls.names.empty() ||
            calls.names[0] != "master")
          ++failures[t];
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  int32_t closed = -1;
  std::thread([&] { closed = KvCloseSession(&shared, 0); }).join();
  EXPECT_EQ(closed, KV_OK);
  EXPECT_EQ(shared, nullptr);
}

TEST_F(HsmContract, SeveralClientsAtOnce) {
  SessionCounts before;
  ASSERT_TRUE(server_->querySessions(before));
  constexpr int kClients = 8, kRounds = 4;
  std::vector<std::string> problems(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      for (int r = 0; r < kRounds && problems[c].empty(); ++r) {
        ScopedSession adm, own;
        const std::string id = uniqueName('C');
        HsmNewUserBlock b;
        std::memset(&b, 0, sizeof b);
        std::strcpy(b.userId, id.c_str());
        std::strcpy(b.password, "pw");
        b.permissionMask = 0x4F;
        const std::string text = patterned(5000 + 100 * c + r);
        std::string back;
        if (adm.open(port_, "master", kMasterPassword) != KV_OK) problems[c] = "admin open";
        else if (KvCreateUser(adm.handle, b) != KV_OK) problems[c] = "create";
        else if (own.open(port_, id, "pw") != KV_OK) problems[c] = "user open";
        else if (writeText(own.handle, "data", text) != KV_OK) problems[c] = "write";
        else if (readText(adm.handle, (id + "/data").c_str(), back) != KV_OK || back != text)
          problems[c] = "read back";
        else if (KvCloseSession(&own.handle, 0) != KV_OK) problems[c] = "close";
        else if (KvRemoveUser(adm.handle, id.c_str()) != KV_OK) problems[c] = "remove";
      }
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(problems, std::vector<std::string>(kClients));
  SessionCounts after;
  ASSERT_TRUE(server_->querySessions(after));
  EXPECT_EQ(after.open, before.open);
  EXPECT_EQ(after.logins - before.logins, static_cast<uint32_t>(kClients * kRounds * 2));
}

TEST_F(HsmContract, AnOpenThatRunsOutOfMemoryClosesItsConnection) {
#if defined(_WIN32)
  GTEST_SKIP() << "the client library's allocations do not go through this test's allocator";
#else
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
  };
  HsmLoginBlock login;
  std::memset(&login, 0, sizeof login);
  std::strcpy(login.host, "127.0.0.1");
  login.port = port_;
  std::strcpy(login.user, "master");
  std::strcpy(login.password, kMasterPassword);
  int failures = 0;
  for (long k = 0; k < 1000; ++k) {
    const auto before = openDescriptors();
    KvSession s = nullptr;
    allocationsUntilFailure = k;
    const int32_t code = KvOpenSession(&s, KV_CHANNEL_TCP, &login, sizeof login, KV_LOGIN_PASSWORD);
    const bool failed = allocationsUntilFailure == -1;
    allocationsUntilFailure = -1;
    if (!failed) {  // every allocation of the open has had its turn
      ASSERT_EQ(code, KV_OK);
      KvCloseSession(&s, 0);
      break;
    }
    EXPECT_EQ(code, KV_ERR_OUT_OF_MEMORY) << "allocation " << k;
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(openDescriptors(), before) << "allocation " << k << " failed and the connection stayed open";
    ++failures;
  }
  EXPECT_GT(failures, 0);
#endif
}

TEST_F(HsmContract, ClosingEndsTheSessionOnTheHsmBeforeItReturns) {
  SessionCounts counts;
  ASSERT_TRUE(server_->querySessions(counts));
  const uint32_t base = counts.open;
  KvSession s = nullptr;
  ASSERT_EQ(openSession(port_, kAddbUser, kAddbPassword, s), KV_OK);
  ASSERT_TRUE(server_->querySessions(counts));
  EXPECT_EQ(counts.open, base + 1);
  EXPECT_EQ(KvCloseSession(&s, 1), KV_ERR_BAD_ARGUMENT);  // refused: still open
  ASSERT_EQ(KvCloseSession(&s, 0), KV_OK);
  ASSERT_TRUE(server_->querySessions(counts));
  EXPECT_EQ(counts.open, base);
}

// ---- The emulator and bad requests ----------------------------------------

std::vector<uint8_t> frameOf(kvwire::Writer w) { return w.frame(); }

TEST_F(HsmContract, BadRequestsCloseOnlyTheirOwnConnection) {
  ScopedSession s;
  ASSERT_EQ(s.open(port_, "master", kMasterPassword), KV_OK);

  std::vector<std::vector<uint8_t>> bad = {
      frameOf(kvwire::Writer().u8(99)),                                  // unknown opcode
      frameOf(kvwire::Writer().u8(2)),                                   // list before login
      frameOf(kvwire::Writer().u8(1).u32(0xDEADBEEF).str("m").str("p")),  // wrong magic
      frameOf(kvwire::Writer().u8(1).u32(kvwire::kProtocolMagic).str("m")),  // truncated
      {0, 0, 0, 0},                                                      // empty body
      {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3},                                 // oversized length
  };
  for (size_t i = 0; i < bad.size(); ++i)
    EXPECT_TRUE(sendRawAndExpectClose(port_, bad[i])) << "bad request " << i;

  ListCalls calls;
  EXPECT_EQ(KvListUsers(s.handle, recordUser, &calls), KV_OK);  // the session lives on
  EXPECT_EQ(loginCode(kAddbUser, kAddbPassword), KV_OK);          // and new ones are served
  if (server_->controllable()) {
    const std::string log = server_->log();
    EXPECT_NE(log.find("malformed or unknown request"), std::string::npos) << log;
    EXPECT_NE(log.find("outside the limit"), std::string::npos) << log;
    EXPECT_NE(log.find("before login"), std::string::npos) << log;
  }
}

}  // namespace
