// What the synchronization tests look at on the emulator: its users, whether
// a user can log in (a blocked one cannot), its objects, and its session
// counts around an operation. Every look opens and closes sessions of its
// own as "master" or "IntegracaoAD", outside the counted window.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hsm/hsm_client.h"
#include "hsm_test_support.h"

namespace synctest {

using kvtest::HsmServer;
using kvtest::ScopedSession;

inline std::vector<std::string> hsmUsers(const HsmServer& server) {
  std::vector<std::string> users;
  EXPECT_EQ(listHsmUsers(users, server.host(), "master", kvtest::kMasterPassword), KV_OK);
  return users;
}

inline bool hasUser(const HsmServer& server, const std::string& name) {
  const auto users = hsmUsers(server);
  return std::find(users.begin(), users.end(), name) != users.end();
}

// The login's code: KV_OK, or KV_ERR_LOGIN_REFUSED for a blocked user.
inline int32_t tryLogin(const HsmServer& server, const std::string& user, const std::string& password) {
  ScopedSession session;
  return session.open(server.port(), user, password);
}

inline int32_t asMaster(const HsmServer& server, int32_t (*action)(KvSession, const std::string&),
                        const std::string& argument) {
  ScopedSession session;
  const int32_t opened = session.open(server.port(), "master", kvtest::kMasterPassword);
  if (opened != KV_OK) return opened;
  return action(session.handle, argument);
}

inline int32_t blockByHand(const HsmServer& server, const std::string& user) {
  return asMaster(server, [](KvSession s, const std::string& u) {
    return KvSetUserParam(s, KV_PARAM_BLOCK, u.data(), static_cast<uint32_t>(u.size()), 0);
  }, user);
}

inline int32_t createByHand(const HsmServer& server, const std::string& user, const std::string& password) {
  ScopedSession session;
  const int32_t opened = session.open(server.port(), "master", kvtest::kMasterPassword);
  if (opened != KV_OK) return opened;
  return createHsmUser(session.handle, 0x4F, user, password);
}

// Reads an object as master; KV_ERR_OBJECT_NOT_FOUND when it is missing.
inline int32_t readObject(const HsmServer& server, const std::string& name, std::string& text) {
  text.clear();
  ScopedSession session;
  const int32_t opened = session.open(server.port(), "master", kvtest::kMasterPassword);
  if (opened != KV_OK) return opened;
  return KvReadFile(
      session.handle, name.c_str(),
      [](const uint8_t* chunk, uint32_t n, void* context, int32_t) -> int32_t {
        static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(chunk), n);
        return 0;
      },
      &text);
}

// Writes an object as IntegracaoAD (in its own namespace).
inline int32_t writeAddbAccountObject(const HsmServer& server, const std::string& name,
                                      const std::string& text) {
  ScopedSession session;
  const int32_t opened = session.open(server.port(), kvtest::kAddbUser, kvtest::kAddbPassword);
  if (opened != KV_OK) return opened;
  struct Source {
    const std::string* text;
    uint32_t at;
  } source{&text, 0};
  return KvWriteFile(
      session.handle, name.c_str(), static_cast<uint32_t>(text.size()),
      [](uint8_t* destination, uint32_t* count, void* context, int32_t* end) -> int32_t {
        auto* s = static_cast<Source*>(context);
        *end = *count == 0 ? 1 : 0;
        std::memcpy(destination, s->text->data() + s->at, *count);
        s->at += *count;
        return 0;
      },
      &source);
}

inline void removeAddbAccountObject(const HsmServer& server, const std::string& name) {
  ScopedSession session;
  if (session.open(server.port(), kvtest::kAddbUser, kvtest::kAddbPassword) == KV_OK)
    KvRemoveObj(session.handle, name.c_str());
}

// Session counts around one operation: no session may stay open, and the
// number of logins must be exactly what the path opens.
class SessionWindow {
 public:
  explicit SessionWindow(const HsmServer& server) : server_(server) {
    EXPECT_TRUE(server_.querySessions(before_));
  }
  // Logins since the window opened; fails the test when a session stayed open.
  uint32_t loginsSince() const {
    kvtest::SessionCounts now;
    EXPECT_TRUE(server_.querySessions(now));
    EXPECT_EQ(now.open, before_.open) << "a session was left open";
    return now.logins - before_.logins;
  }

 private:
  const HsmServer& server_;
  kvtest::SessionCounts before_;
};

}  // namespace synctest
