// The emulator's state: password hashing, the rules the store enforces, and
// that committed changes are there for the next opener.
#include "store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "pelorlib.h"

namespace {

class HsmStore : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("kv-store-test-" + std::to_string(std::random_device{}()));
    std::string error;
    ASSERT_TRUE(emulator::Store::create(folder_.string(), "masterpw", error)) << error;
    store_ = emulator::Store::open(folder_.string(), error);
    ASSERT_TRUE(store_) << error;
  }
  void TearDown() override {
    store_.reset();
    std::filesystem::remove_all(folder_);
  }
  std::filesystem::path folder_;
  std::unique_ptr<emulator::Store> store_;
};

TEST(HsmPasswordHash, SaltedAndVerified) {
  const std::string a = emulator::hashPassword("73905162");
  const std::string b = emulator::hashPassword("73905162");
  EXPECT_NE(a, b);  // different salts
  EXPECT_EQ(a.find("73905162"), std::string::npos);
  EXPECT_TRUE(emulator::verifyPassword("73905162", a));
  EXPECT_TRUE(emulator::verifyPassword("73905162", b));
  EXPECT_FALSE(emulator::verifyPassword("73905163", a));
  EXPECT_FALSE(emulator::verifyPassword("", a));
  EXPECT_FALSE(emulator::verifyPassword("73905162", "garbage"));
  EXPECT_FALSE(emulator::verifyPassword("73905162", a.substr(0, a.size() - 2)));
}

TEST_F(HsmStore, CreateTwiceRefusedAndMasterIsAdministrator) {
  std::string error;
  EXPECT_FALSE(emulator::Store::create(folder_.string(), "other", error));
  auto master = store_->authenticate("master", "masterpw");
  ASSERT_TRUE(master);
  EXPECT_EQ(master->mask, static_cast<uint32_t>(KV_PERM_ADMINISTRATOR));
  EXPECT_FALSE(store_->authenticate("master", "wrong"));
  EXPECT_FALSE(store_->authenticate("Master", "masterpw"));
}

TEST_F(HsmStore, UsersKeepCreationOrderAndBlockedUsersCannotLogIn) {
  EXPECT_EQ(store_->createUser("zeta", "pw", 0x4F), KV_OK);
  EXPECT_EQ(store_->createUser("alpha", "pw", 0x4F), KV_OK);
  EXPECT_EQ(store_->createUser("alpha", "pw", 0x4F), KV_ERR_USER_EXISTS);
  std::vector<emulator::UserRecord> users;
  ASSERT_EQ(store_->listUsers(users), KV_OK);
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users[0].name, "master");
  EXPECT_EQ(users[1].name, "zeta");
  EXPECT_EQ(users[2].name, "alpha");
  EXPECT_EQ(store_->setBlocked("zeta", true), KV_OK);
  EXPECT_FALSE(store_->authenticate("zeta", "pw"));
  EXPECT_EQ(store_->setBlocked("zeta", false), KV_OK);
  EXPECT_TRUE(store_->authenticate("zeta", "pw"));
  EXPECT_EQ(store_->setBlocked("nobody", true), KV_ERR_NO_SUCH_USER);
  EXPECT_EQ(store_->removeUser("nobody"), KV_ERR_NO_SUCH_USER);
}

TEST_F(HsmStore, RemovingAUserRemovesItsObjects) {
  ASSERT_EQ(store_->createUser("owner", "pw", 0x4F), KV_OK);
  ASSERT_EQ(store_->writeObject("owner", "obj", {1, 2, 3}), KV_OK);
  ASSERT_EQ(store_->removeUser("owner"), KV_OK);
  ASSERT_EQ(store_->createUser("owner", "pw", 0x4F), KV_OK);
  std::vector<uint8_t> data;
  EXPECT_EQ(store_->readObject("owner", "obj", data), KV_ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(store_->writeObject("ghost", "obj", {1}), KV_ERR_NO_SUCH_USER);
}

TEST_F(HsmStore, ObjectsReplaceRenameAndRemove) {
  ASSERT_EQ(store_->createUser("owner", "pw", 0x4F), KV_OK);
  std::vector<uint8_t> data;
  EXPECT_EQ(store_->writeObject("owner", "a", {1}), KV_OK);
  EXPECT_EQ(store_->writeObject("owner", "a", {}), KV_OK);  // empty, not missing
  EXPECT_EQ(store_->readObject("owner", "a", data), KV_OK);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(store_->writeObject("owner", "a", {7, 7}), KV_OK);
  EXPECT_EQ(store_->writeObject("owner", "b", {9}), KV_OK);
  EXPECT_EQ(store_->renameObject("owner", "a", "b"), KV_OK);  // replaces b
  EXPECT_EQ(store_->readObject("owner", "b", data), KV_OK);
  EXPECT_EQ(data, (std::vector<uint8_t>{7, 7}));
  EXPECT_EQ(store_->readObject("owner", "a", data), KV_ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(store_->renameObject("owner", "a", "c"), KV_ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(store_->removeObject("owner", "b"), KV_OK);
  EXPECT_EQ(store_->removeObject("owner", "b"), KV_ERR_OBJECT_NOT_FOUND);
}

TEST_F(HsmStore, ChangesAreVisibleToTheNextOpener) {
  ASSERT_EQ(store_->createUser("owner", "pw", 0x4F, true), KV_OK);
  ASSERT_EQ(store_->writeObject("owner", "addb", {'x', '\r', '\n'}), KV_OK);
  store_.reset();
  std::string error;
  auto again = emulator::Store::open(folder_.string(), error);
  ASSERT_TRUE(again) << error;
  auto user = again->findUser("owner");
  ASSERT_TRUE(user);
  EXPECT_TRUE(user->blocked);
  std::vector<uint8_t> data;
  EXPECT_EQ(again->readObject("owner", "addb", data), KV_OK);
  EXPECT_EQ(data, (std::vector<uint8_t>{'x', '\r', '\n'}));
}

TEST(HsmStoreOpen, RefusesAFolderWithoutState) {
  std::string error;
  EXPECT_FALSE(emulator::Store::open("/nonexistent/kv-state", error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
