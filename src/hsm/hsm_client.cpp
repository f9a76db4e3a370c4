#include "hsm/hsm_client.h"

#include <cstring>
#include <utility>

#include "config/config.h"

static_assert(kHsmPasswordMaxBytes + 1 == KV_LOGIN_PASSWORD_FIELD_SIZE,
              "the password length kelvasync-passwd enforces is the login block's");

namespace {

// Copies `text` into a fixed field when it fits with its terminator.
template <size_t N>
bool copyToField(char (&field)[N], const std::string& text) {
  if (text.size() >= N || text.find('\0') != std::string::npos) return false;
  std::memcpy(field, text.data(), text.size());
  field[text.size()] = '\0';
  return true;
}

// True when `text` fits a field of `size` bytes with its terminator.
bool fitsField(const std::string& text, size_t size) {
  return text.size() < size && text.find('\0') == std::string::npos;
}

// Closes a session on scope exit, whatever path the operation takes.
class SessionCloser {
 public:
  explicit SessionCloser(KvSession& session) : session_(session) {}
  ~SessionCloser() {
    if (session_ != nullptr) KvCloseSession(&session_, 0);
  }
  SessionCloser(const SessionCloser&) = delete;
  SessionCloser& operator=(const SessionCloser&) = delete;

 private:
  KvSession& session_;
};

// A receiver that only lets a read prove that an object exists.
int32_t discardObjectChunk(const uint8_t*, uint32_t, void*, int32_t) { return 0; }

}  // namespace

namespace {
thread_local int32_t lastOpenFailure = 0;
thread_local std::string lastOpenFailureHost;
}  // namespace

int32_t takeSessionOpenFailure(std::string& host) {
  const int32_t code = lastOpenFailure;
  host = std::move(lastOpenFailureHost);
  lastOpenFailure = 0;
  lastOpenFailureHost.clear();
  return code;
}

int32_t openHsmSession(KvSession& session, const std::string& host, const std::string& user,
                       const std::string& password) {
  session = nullptr;
  HsmLoginBlock login;
  std::memset(&login, 0, sizeof login);
  login.port = kHsmPort;
  if (!copyToField(login.host, host) || !copyToField(login.user, user) ||
      !copyToField(login.password, password))
    return KV_ERR_BAD_ARGUMENT;
  const int32_t code =
      KvOpenSession(&session, KV_CHANNEL_TCP, &login, sizeof login, KV_LOGIN_PASSWORD);
  std::memset(login.password, 0, sizeof login.password);
  if (code != KV_OK) {
    session = nullptr;
    lastOpenFailure = code;
    lastOpenFailureHost = host;
  }
  return code;
}

int32_t createHsmUser(KvSession session, uint32_t permissionMask, const std::string& userId,
                      const std::string& password) {
  HsmNewUserBlock block;
  std::memset(&block, 0, sizeof block);
  block.permissionMask = permissionMask;
  if (!copyToField(block.userId, userId) || !copyToField(block.password, password))
    return KV_ERR_BAD_ARGUMENT;
  const int32_t code = KvCreateUser(session, block);
  std::memset(block.password, 0, sizeof block.password);
  return code;
}

namespace {

// listHsmUsers, then, in the same session and only after a listing that
// succeeded, a read of `objectName` (when given) whose bytes are dropped.
int32_t listUsersThenRead(std::vector<std::string>& users, const std::string& host, const std::string& user,
                          const std::string& password, bool* sessionOpened, const std::string* objectName,
                          int32_t* objectCode) {
  users.clear();
  if (sessionOpened != nullptr) *sessionOpened = false;
  if (objectCode != nullptr) *objectCode = kHsmObjectNotTried;
  if (host.empty() || user.empty() || password.empty()) return kHsmSettingsIncomplete;
  KvSession session = nullptr;
  const int32_t opened = openHsmSession(session, host, user, password);
  if (opened != KV_OK) return opened;
  if (sessionOpened != nullptr) *sessionOpened = true;
  SessionCloser closer(session);
  const int32_t code = KvListUsers(session, collectHsmUser, &users);
  // A listing that failed part-way must not pass for the HSM's users.
  if (code != KV_OK) {
    users.clear();
    return code;
  }
  if (objectName != nullptr && objectCode != nullptr) {
    *objectCode = fitsField(*objectName, KV_OBJECT_NAME_FIELD_SIZE)
                      ? KvReadFile(session, objectName->c_str(), discardObjectChunk, nullptr)
                      : KV_ERR_BAD_ARGUMENT;
  }
  return code;
}

}  // namespace

int32_t listHsmUsers(std::vector<std::string>& users, const std::string& host,
                     const std::string& user, const std::string& password, bool* sessionOpened) {
  return listUsersThenRead(users, host, user, password, sessionOpened, nullptr, nullptr);
}

int32_t listHsmUsersThenReadObject(std::vector<std::string>& users, const std::string& host, const std::string& user,
                                   const std::string& password, const std::string& objectName, int32_t& objectCode,
                                   bool* sessionOpened) {
  return listUsersThenRead(users, host, user, password, sessionOpened, &objectName, &objectCode);
}

int32_t removeHsmUser(const std::string& host, const std::string& user,
                      const std::string& password, const std::string& userId) {
  if (!fitsField(userId, KV_USER_NAME_MAX + 1)) return KV_ERR_BAD_ARGUMENT;
  KvSession session = nullptr;
  const int32_t opened = openHsmSession(session, host, user, password);
  if (opened != KV_OK) return opened;
  SessionCloser closer(session);
  return KvRemoveUser(session, userId.c_str());
}

int32_t backupHsmObject(const std::string& host, const std::string& user,
                        const std::string& password, const std::string& current,
                        const std::string& backup) {
  if (!fitsField(current, KV_OBJECT_NAME_FIELD_SIZE) || !fitsField(backup, KV_OBJECT_NAME_FIELD_SIZE))
    return KV_ERR_BAD_ARGUMENT;
  KvSession session = nullptr;
  const int32_t opened = openHsmSession(session, host, user, password);
  if (opened != KV_OK) return opened;
  SessionCloser closer(session);
  // The old backup may be removed only while `current` exists: when it does
  // not (a write after the last backup failed), the backup is the only copy
  // left, and it stays.
  const int32_t present = KvReadFile(session, current.c_str(), discardObjectChunk, nullptr);
  if (present != KV_OK) return present;
  KvRemoveObj(session, backup.c_str());
  return KvRenameObj(session, current.c_str(), backup.c_str(), 0);
}

extern "C" int32_t collectHsmUser(const char* userName, void* list, int32_t flag) {
  if (list == nullptr || flag != 0 || userName == nullptr) return 0;
  if (std::strcmp(userName, "master") == 0) return 0;
  try {
    static_cast<std::vector<std::string>*>(list)->push_back(userName);
  } catch (...) {
    return 1;  // no exception may cross the library; this stops the listing
  }
  return 0;
}

int32_t initializeHsmLibrary() { return KvInitialize(0); }

void finalizeHsmLibrary() { KvFinalize(); }
