// The emulator's durable state: users and objects in one SQLite database
// (<state folder>/hsm.db).
//
// Every change is one transaction, committed with synchronous=FULL in WAL
// mode before the method returns, so a change the server has acknowledged
// survives a kill of the process (and of the machine). One connection is
// shared by all sessions and guarded by a mutex; the admin command line may
// use the same database at the same time through a connection of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace emulator {

struct UserRecord {
  std::string name;
  uint32_t mask = 0;
  bool blocked = false;
};

struct ObjectInfo {
  std::string owner;
  std::string name;
  uint64_t size = 0;
};

// Methods returning int32_t give pelorlib.h codes: KV_OK, or
// KV_ERR_HSM_FAILURE when the database fails, or the code named.
class Store {
 public:
  // Creates a new state with the administrator "master". Fails when the
  // folder already holds one.
  static bool create(const std::string& folder, const std::string& masterPassword,
                     std::string& error);
  // Opens an existing state.
  static std::unique_ptr<Store> open(const std::string& folder, std::string& error);

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The user when the password matches and the user is not blocked.
  std::optional<UserRecord> authenticate(const std::string& name, const std::string& password);
  std::optional<UserRecord> findUser(const std::string& name);
  // Users in creation order.
  int32_t listUsers(std::vector<UserRecord>& out);
  // KV_ERR_USER_EXISTS when taken.
  int32_t createUser(const std::string& name, const std::string& password, uint32_t mask,
                     bool blocked = false);
  // Creates all the users in one transaction, sharing one password hash (a
  // quick way to fill a state for tests and benchmarks); none is created
  // when any name is taken (KV_ERR_USER_EXISTS).
  int32_t createUsers(const std::vector<std::string>& names, const std::string& password,
                      uint32_t mask);
  // Removes the user and every object it owns. KV_ERR_NO_SUCH_USER.
  int32_t removeUser(const std::string& name);
  // KV_ERR_NO_SUCH_USER.
  int32_t setBlocked(const std::string& name, bool blocked);

  // KV_ERR_OBJECT_NOT_FOUND.
  int32_t readObject(const std::string& owner, const std::string& name, std::vector<uint8_t>& out);
  // Creates or replaces. KV_ERR_NO_SUCH_USER when the owner does not exist.
  int32_t writeObject(const std::string& owner, const std::string& name,
                      const std::vector<uint8_t>& data);
  // KV_ERR_OBJECT_NOT_FOUND.
  int32_t removeObject(const std::string& owner, const std::string& name);
  // Replaces an object of the new name. KV_ERR_OBJECT_NOT_FOUND.
  int32_t renameObject(const std::string& owner, const std::string& oldName,
                       const std::string& newName);
  int32_t listObjects(std::vector<ObjectInfo>& out);

 private:
  explicit Store(sqlite3* db) : db_(db) {}
  int32_t userExists(const std::string& name, bool& exists);

  std::mutex lock_;
  sqlite3* db_;
};

// Salted PBKDF2-HMAC-SHA256 in the text form kept in the database.
std::string hashPassword(const std::string& password);
bool verifyPassword(const std::string& password, const std::string& stored);

}  // namespace emulator
