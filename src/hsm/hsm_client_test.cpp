// Wrapper behaviour that needs no HSM: the user collector, and the checks
// made before the library is called. The library is deliberately not
// initialised here, so any call that did reach it would answer
// KV_ERR_NOT_INITIALIZED instead of the codes expected below.
#include "hsm/hsm_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CollectHsmUser, AppendsInOrderAndSkipsOnlyExactMaster) {
  std::vector<std::string> list;
  for (const char* name : {"A0123456789abcd", "master", "Master", "masterx", " master", "admin"})
    EXPECT_EQ(collectHsmUser(name, &list, 0), 0);
  EXPECT_EQ(list, (std::vector<std::string>{"A0123456789abcd", "Master", "masterx", " master",
                                            "admin"}));
}

TEST(CollectHsmUser, IgnoresNullListNonZeroFlagAndNullName) {
  EXPECT_EQ(collectHsmUser("someone", nullptr, 0), 0);
  std::vector<std::string> list;
  EXPECT_EQ(collectHsmUser("someone", &list, 1), 0);
  EXPECT_EQ(collectHsmUser("someone", &list, -1), 0);
  EXPECT_EQ(collectHsmUser(nullptr, &list, KV_LIST_END), 0);
  EXPECT_EQ(collectHsmUser(nullptr, &list, 0), 0);
  EXPECT_TRUE(list.empty());
}

TEST(ListHsmUsers, AnyEmptySettingGivesIncompleteWithoutContactAndEmptiesTheList) {
  const std::string h = "127.0.0.1", u = "master", p = "secret";
  for (int missing = 0; missing < 3; ++missing) {
    std::vector<std::string> list{"stale"};
    EXPECT_EQ(listHsmUsers(list, missing == 0 ? "" : h, missing == 1 ? "" : u,
                           missing == 2 ? "" : p),
              kHsmSettingsIncomplete);
    EXPECT_TRUE(list.empty());
  }
  EXPECT_EQ(kHsmSettingsIncomplete, 0x9999);
}

TEST(OpenHsmSession, StringsThatDoNotFitTheirFieldAreRefused) {
  KvSession s = reinterpret_cast<KvSession>(1);  // must be reset to null
  EXPECT_EQ(openHsmSession(s, std::string(128, 'h'), "u", "p"), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(openHsmSession(s, "h", std::string(16, 'u'), "p"), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(openHsmSession(s, "h", "u", std::string(16, 'p')), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(openHsmSession(s, "h", std::string("u\0v", 3), "p"), KV_ERR_BAD_ARGUMENT);
  // The longest strings that fit get past the wrapper to the library.
  EXPECT_EQ(openHsmSession(s, std::string(127, 'h'), std::string(15, 'u'), std::string(15, 'p')),
            KV_ERR_NOT_INITIALIZED);
}

TEST(CreateHsmUser, IdentifierAndPasswordMustFitTheNewUserBlock) {
  KvSession none = nullptr;
  EXPECT_EQ(createHsmUser(none, 0x4F, std::string(17, 'A'), "pw"), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(createHsmUser(none, 0x4F, "A1", std::string(17, 'p')), KV_ERR_BAD_ARGUMENT);
}

TEST(RemoveAndBackupHsm, OversizedNamesAreRefusedBeforeOpeningASession) {
  EXPECT_EQ(removeHsmUser("h", "u", "p", std::string(17, 'A')), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(backupHsmObject("h", "u", "p", std::string(64, 'a'), "b"), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(backupHsmObject("h", "u", "p", "a", std::string(64, 'b')), KV_ERR_BAD_ARGUMENT);
  // Names that fit go on to the open.
  EXPECT_EQ(removeHsmUser("h", "u", "p", std::string(16, 'A')), KV_ERR_NOT_INITIALIZED);
}

}  // namespace
