// The service's own HSM wrappers against a real emulator. Each wrapper must
// leave no session open on any path; the emulator's own counts show it:
// `open` must be back where it was and `logins` must have grown by exactly
// the sessions the path opens (0 when the open fails or is never tried).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hsm/hsm_client.h"
#include "hsm_test_support.h"

namespace {

using namespace kvtest;

class HsmWrappers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(library_.code(), KV_OK);
    std::string error;
    server_ = sharedServer(error);
    ASSERT_NE(server_, nullptr) << error;
    host_ = server_->host();
    ASSERT_TRUE(server_->querySessions(before_));
  }
  // Checks the session discipline since SetUp (or the last check).
  void expectSessions(uint32_t opened) {
    SessionCounts now;
    ASSERT_TRUE(server_->querySessions(now));
    EXPECT_EQ(now.open, before_.open) << "a session was left open";
    EXPECT_EQ(now.logins - before_.logins, opened);
    before_ = now;
  }
  void writeObject(const std::string& user, const std::string& password,
                   const std::string& name, const std::string& text) {
    ScopedSession s;
    ASSERT_EQ(s.open(server_->port(), user, password), KV_OK);
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
    ASSERT_EQ(KvWriteFile(s.handle, name.c_str(), static_cast<uint32_t>(text.size()), supply,
                          &source),
              KV_OK);
  }
  int32_t readObject(const std::string& name, std::string& text) {
    ScopedSession s;
    EXPECT_EQ(s.open(server_->port(), "master", kMasterPassword), KV_OK);
    text.clear();
    return KvReadFile(
        s.handle, name.c_str(),
        [](const uint8_t* chunk, uint32_t n, void* ctx, int32_t) -> int32_t {
          static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(chunk), n);
          return 0;
        },
        &text);
  }
  int32_t createAsAdmin(const std::string& id) {
    KvSession s = nullptr;
    int32_t code = openHsmSession(s, host_, "master", kMasterPassword);
    if (code != KV_OK) return code;
    code = createHsmUser(s, 0x4F, id, "pw");
    KvCloseSession(&s, 0);
    return code;
  }

  LibraryScope library_;
  HsmServer* server_ = nullptr;
  std::string host_;
  SessionCounts before_;
};

TEST_F(HsmWrappers, ListHsmUsersGivesTheUsersWithoutMasterInOrder) {
  std::vector<std::string> users{"stale entry"};
  ASSERT_EQ(listHsmUsers(users, host_, "master", kMasterPassword), KV_OK);
  expectSessions(1);
  ASSERT_GE(users.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(users.begin(), users.begin() + 4),
            (std::vector<std::string>{kAddbUser, kPlainUser, kReaderUser, kBlockedUser}));
  for (const auto& u : users) EXPECT_NE(u, "master");
}

TEST_F(HsmWrappers, ListHsmUsersFailuresLeaveNoSessionAndAnEmptyList) {
  std::vector<std::string> users{"stale entry"};
  EXPECT_EQ(listHsmUsers(users, host_, "master", ""), kHsmSettingsIncomplete);
  EXPECT_TRUE(users.empty());
  EXPECT_EQ(listHsmUsers(users, "", "master", kMasterPassword), kHsmSettingsIncomplete);
  expectSessions(0);  // the HSM was not contacted

  users = {"stale entry"};
  EXPECT_EQ(listHsmUsers(users, host_, "master", "wrong"), KV_ERR_LOGIN_REFUSED);
  EXPECT_TRUE(users.empty());
  expectSessions(0);

  users = {"stale entry"};
  EXPECT_EQ(listHsmUsers(users, host_, kPlainUser, kPlainPassword), KV_ERR_ACCESS_DENIED);
  EXPECT_TRUE(users.empty());
  expectSessions(1);  // opened, refused, closed
}

TEST_F(HsmWrappers, OpenAndCreateInACallersSessionGive0Then5013Then5014) {
  KvSession s = nullptr;
  ASSERT_EQ(openHsmSession(s, host_, "master", kMasterPassword), KV_OK);
  const std::string id = uniqueName('A');
  EXPECT_EQ(createHsmUser(s, 0x4F, id, "a1234567890abcd"), KV_OK);
  EXPECT_EQ(createHsmUser(s, 0x4F, id, "a1234567890abcd"), KV_ERR_USER_EXISTS);
  EXPECT_EQ(createHsmUser(s, 0x4F, "1nvalid", "pw"), KV_ERR_INVALID_USER_ID);
  EXPECT_EQ(KvCloseSession(&s, 0), KV_OK);
  expectSessions(1);

  // The created user logs in with the password it was given.
  ASSERT_EQ(openHsmSession(s, host_, id, "a1234567890abcd"), KV_OK);
  KvCloseSession(&s, 0);
  EXPECT_EQ(openHsmSession(s, host_, "master", "wrong"), KV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(s, nullptr);
  expectSessions(1);
}

TEST_F(HsmWrappers, RemoveHsmUserClosesItsSessionOnEveryPath) {
  const std::string id = uniqueName();
  ASSERT_EQ(createAsAdmin(id), KV_OK);
  expectSessions(1);
  EXPECT_EQ(removeHsmUser(host_, "master", kMasterPassword, id), KV_OK);
  expectSessions(1);
  EXPECT_EQ(removeHsmUser(host_, "master", kMasterPassword, id), KV_ERR_NO_SUCH_USER);
  expectSessions(1);
  EXPECT_EQ(removeHsmUser(host_, kPlainUser, kPlainPassword, kReaderUser), KV_ERR_ACCESS_DENIED);
  expectSessions(1);
  EXPECT_EQ(removeHsmUser(host_, "master", "wrong", kReaderUser), KV_ERR_LOGIN_REFUSED);
  expectSessions(0);
  std::vector<std::string> users;
  ASSERT_EQ(listHsmUsers(users, host_, "master", kMasterPassword), KV_OK);
  EXPECT_NE(std::find(users.begin(), users.end(), kReaderUser), users.end());
}

TEST_F(HsmWrappers, BackupMovesTheCurrentObjectOverTheOldBackup) {
  // Names of their own, in the addb account, so that runs do not collide.
  const std::string current = uniqueName('c'), backup = uniqueName('b');
  const std::string owner = std::string(kAddbUser) + "/";
  writeObject(kAddbUser, kAddbPassword, current, "new list\r\n");
  writeObject(kAddbUser, kAddbPassword, backup, "old list\r\n");
  expectSessions(2);

  EXPECT_EQ(backupHsmObject(host_, kAddbUser, kAddbPassword, current, backup), KV_OK);
  expectSessions(1);
  std::string text;
  EXPECT_EQ(readObject(owner + current, text), KV_ERR_OBJECT_NOT_FOUND);
  ASSERT_EQ(readObject(owner + backup, text), KV_OK);
  EXPECT_EQ(text, "new list\r\n");
  expectSessions(2);

  // No current object: 5004, and the backup, now the only copy, stays.
  EXPECT_EQ(backupHsmObject(host_, kAddbUser, kAddbPassword, current, backup),
            KV_ERR_OBJECT_NOT_FOUND);
  expectSessions(1);
  ASSERT_EQ(readObject(owner + backup, text), KV_OK);
  EXPECT_EQ(text, "new list\r\n");
  expectSessions(1);

  EXPECT_EQ(backupHsmObject(host_, kAddbUser, "wrong", current, backup), KV_ERR_LOGIN_REFUSED);
  expectSessions(0);
  EXPECT_EQ(backupHsmObject(host_, kPlainUser, kPlainPassword, owner + current, owner + backup),
            KV_ERR_ACCESS_DENIED);
  expectSessions(1);
}

TEST_F(HsmWrappers, AnUnreachableHsmGivesTheOpensCode) {
  const std::string nowhere = "127.0.0.1:" + std::to_string(closedPort());
  std::vector<std::string> users;
  EXPECT_EQ(listHsmUsers(users, nowhere, "master", kMasterPassword), KV_ERR_CONNECTION_REFUSED);
  EXPECT_EQ(removeHsmUser(nowhere, "master", kMasterPassword, "Ax"), KV_ERR_CONNECTION_REFUSED);
  EXPECT_EQ(backupHsmObject(nowhere, "master", kMasterPassword, "a", "b"),
            KV_ERR_CONNECTION_REFUSED);
  expectSessions(0);
}

}  // namespace
