#include "store.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>

#include "pelorlib.h"

namespace emulator {

namespace {

constexpr int kHashIterations = 2000;  // a test device: cheap logins, still salted
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

std::string toHex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

bool fromHex(const std::string& s, std::vector<unsigned char>& out) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (s.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    const int hi = nibble(s[i]), lo = nibble(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<unsigned char>(hi << 4 | lo));
  }
  return true;
}

bool derive(const std::string& password, const std::vector<unsigned char>& salt, int iterations,
            unsigned char* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()), iterations, EVP_sha256(),
                           static_cast<int>(kHashBytes), out) == 1;
}

// A prepared statement that finalises itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& text(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& integer(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& blob(int i, const std::vector<uint8_t>& v) {
    // A zero-length blob must still be a blob, not NULL.
    sqlite3_bind_blob(stmt_, i, v.empty() ? "" : static_cast<const void*>(v.data()),
                      static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  // Makes the statement ready to step again with new bindings.
  void reset() {
    if (stmt_) sqlite3_reset(stmt_);
  }
  std::string columnText(int i) {
    const auto* p = sqlite3_column_text(stmt_, i);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))
             : std::string();
  }
  int64_t columnInt(int i) { return sqlite3_column_int64(stmt_, i); }
  std::vector<uint8_t> columnBlob(int i) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, i));
    const int n = sqlite3_column_bytes(stmt_, i);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Begins a write transaction and rolls it back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db), open_(exec(db, "BEGIN IMMEDIATE")) {}
  ~Transaction() {
    if (open_) exec(db_, "ROLLBACK");
  }
  bool begun() const { return open_; }
  bool commit() {
    if (!open_) return false;
    open_ = false;
    if (exec(db_, "COMMIT")) return true;
    exec(db_, "ROLLBACK");
    return false;
  }

 private:
  sqlite3* db_;
  bool open_;
};

std::string databasePath(const std::string& folder) {
  return (std::filesystem::path(folder) / "hsm.db").string();
}

sqlite3* openDatabase(const std::string& path, int flags, std::string& error) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 10000);
  if (!exec(db, "PRAGMA journal_mode=WAL") || !exec(db, "PRAGMA synchronous=FULL") ||
      !exec(db, "PRAGMA foreign_keys=ON")) {
    error = std::string("cannot configure the database: ") + sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

}  // namespace

std::string hashPassword(const std::string& password) {
  std::vector<unsigned char> salt(kSaltBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return {};
  unsigned char hash[kHashBytes];
  if (!derive(password, salt, kHashIterations, hash)) return {};
  return "pbkdf2-sha256$" + std::to_string(kHashIterations) + "$" +
         toHex(salt.data(), salt.size()) + "$" + toHex(hash, kHashBytes);
}

bool verifyPassword(const std::string& password, const std::string& stored) {
  // pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>
  const std::string prefix = "pbkdf2-sha256$";
  if (stored.compare(0, prefix.size(), prefix) != 0) return false;
  const size_t a = prefix.size();
  const size_t b = stored.find('$', a);
  if (b == std::string::npos) return false;
  const size_t c = stored.find('$', b + 1);
  if (c == std::string::npos) return false;
  const std::string iterText = stored.substr(a, b - a);
  if (iterText.empty() || iterText.size() > 7 ||
      iterText.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const int iterations = std::stoi(iterText);
  std::vector<unsigned char> salt, expected;
  if (iterations < 1 || !fromHex(stored.substr(b + 1, c - b - 1), salt) ||
      !fromHex(stored.substr(c + 1), expected) || expected.size() != kHashBytes)
    return false;
  unsigned char hash[kHashBytes];
  if (!derive(password, salt, iterations, hash)) return false;
  return CRYPTO_memcmp(hash, expected.data(), kHashBytes) == 0;
}

bool Store::create(const std::string& folder, const std::string& masterPassword,
                   std::string& error) {
  if (masterPassword.empty() || masterPassword.size() > KV_PASSWORD_MAX) {
    error = "the master password must have 1 to 16 bytes";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::string path = databasePath(folder);
  if (std::filesystem::exists(path)) {
    error = path + " already exists";
    return false;
  }
  sqlite3* db = openDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
  if (db == nullptr) return false;
  const std::string hash = hashPassword(masterPassword);
  bool ok = !hash.empty() &&
            exec(db,
                 "CREATE TABLE users(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " name TEXT NOT NULL UNIQUE, hash TEXT NOT NULL,"
                 " mask INTEGER NOT NULL, blocked INTEGER NOT NULL DEFAULT 0);"
                 "CREATE TABLE objects(owner TEXT NOT NULL REFERENCES users(name) ON DELETE CASCADE,"
                 " name TEXT NOT NULL, data BLOB NOT NULL, PRIMARY KEY(owner, name));");
  if (ok) {
    Statement insert(db, "INSERT INTO users(name, hash, mask) VALUES('master', ?1, ?2)");
    ok = insert.ok() && insert.text(1, hash).integer(2, KV_PERM_ADMINISTRATOR).step() == SQLITE_DONE;
  }
  if (!ok) error = std::string("cannot create the state: ") + sqlite3_errmsg(db);
  sqlite3_close(db);
  return ok;
}

std::unique_ptr<Store> Store::open(const std::string& folder, std::string& error) {
  const std::string path = databasePath(folder);
  if (!std::filesystem::exists(path)) {
    error = "no state in " + folder + " (run: hsm-emulator init)";
    return nullptr;
  }
  sqlite3* db = openDatabase(path, SQLITE_OPEN_READWRITE, error);
  if (db == nullptr) return nullptr;
  Statement probe(db, "SELECT count(*) FROM users WHERE name = 'master'");
  if (!probe.ok() || probe.step() != SQLITE_ROW || probe.columnInt(0) != 1) {
    error = path + " is not an emulator state";
    sqlite3_close(db);
    return nullptr;
  }
  return std::unique_ptr<Store>(new Store(db));
}

Store::~Store() { sqlite3_close(db_); }

std::optional<UserRecord> Store::authenticate(const std::string& name,
                                              const std::string& password) {
  std::string hash;
  UserRecord user;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Statement q(db_, "SELECT name, hash, mask, blocked FROM users WHERE name = ?1");
    if (q.text(1, name).step() != SQLITE_ROW) return std::nullopt;
    user.name = q.columnText(0);
    hash = q.columnText(1);
    user.mask = static_cast<uint32_t>(q.columnInt(2));
    user.blocked = q.columnInt(3) != 0;
  }
  // The hash is checked outside the lock: it is the slow part of a login.
  if (user.blocked || !verifyPassword(password, hash)) return std::nullopt;
  return user;
}

std::optional<UserRecord> Store::findUser(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement q(db_, "SELECT name, mask, blocked FROM users WHERE name = ?1");
  if (q.text(1, name).step() != SQLITE_ROW) return std::nullopt;
  return UserRecord{q.columnText(0), static_cast<uint32_t>(q.columnInt(1)), q.columnInt(2) != 0};
}

int32_t Store::listUsers(std::vector<UserRecord>& out) {
  std::lock_guard<std::mutex> guard(lock_);
  out.clear();
  Statement q(db_, "SELECT name, mask, blocked FROM users ORDER BY id");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    out.push_back({q.columnText(0), static_cast<uint32_t>(q.columnInt(1)), q.columnInt(2) != 0});
  return rc == SQLITE_DONE ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::userExists(const std::string& name, bool& exists) {
  Statement q(db_, "SELECT 1 FROM users WHERE name = ?1");
  const int rc = q.text(1, name).step();
  exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::createUser(const std::string& name, const std::string& password, uint32_t mask,
                          bool blocked) {
  const std::string hash = hashPassword(password);
  if (hash.empty()) return KV_ERR_HSM_FAILURE;
  std::lock_guard<std::mutex> guard(lock_);
  Transaction tx(db_);
  if (!tx.begun()) return KV_ERR_HSM_FAILURE;
  bool exists = false;
  if (userExists(name, exists) != KV_OK) return KV_ERR_HSM_FAILURE;
  if (exists) return KV_ERR_USER_EXISTS;
  Statement insert(db_, "INSERT INTO users(name, hash, mask, blocked) VALUES(?1, ?2, ?3, ?4)");
  if (insert.text(1, name).text(2, hash).integer(3, mask).integer(4, blocked ? 1 : 0).step() !=
      SQLITE_DONE)
    return KV_ERR_HSM_FAILURE;
  return tx.commit() ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::createUsers(const std::vector<std::string>& names, const std::string& password,
                           uint32_t mask) {
  const std::string hash = hashPassword(password);
  if (hash.empty()) return KV_ERR_HSM_FAILURE;
  std::lock_guard<std::mutex> guard(lock_);
  Transaction tx(db_);
  if (!tx.begun()) return KV_ERR_HSM_FAILURE;
  Statement insert(db_, "INSERT OR ABORT INTO users(name, hash, mask) VALUES(?1, ?2, ?3)");
  for (const std::string& name : names) {
    const int rc = insert.text(1, name).text(2, hash).integer(3, mask).step();
    if (rc == SQLITE_CONSTRAINT) return KV_ERR_USER_EXISTS;
    if (rc != SQLITE_DONE) return KV_ERR_HSM_FAILURE;
    insert.reset();
  }
  return tx.commit() ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::removeUser(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  Transaction tx(db_);
  if (!tx.begun()) return KV_ERR_HSM_FAILURE;
  // The user's objects go with it (ON DELETE CASCADE): a later user of the
  // same name must not inherit them.
  Statement del(db_, "DELETE FROM users WHERE name = ?1");
  if (del.text(1, name).step() != SQLITE_DONE) return KV_ERR_HSM_FAILURE;
  if (sqlite3_changes(db_) == 0) return KV_ERR_NO_SUCH_USER;
  return tx.commit() ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::setBlocked(const std::string& name, bool blocked) {
  std::lock_guard<std::mutex> guard(lock_);
  Transaction tx(db_);
  if (!tx.begun()) return KV_ERR_HSM_FAILURE;
  Statement upd(db_, "UPDATE users SET blocked = ?2 WHERE name = ?1");
  if (upd.text(1, name).integer(2, blocked ? 1 : 0).step() != SQLITE_DONE)
    return KV_ERR_HSM_FAILURE;
  if (sqlite3_changes(db_) == 0) return KV_ERR_NO_SUCH_USER;
  return tx.commit() ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::readObject(const std::string& owner, const std::string& name,
                          std::vector<uint8_t>& out) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement q(db_, "SELECT data FROM objects WHERE owner = ?1 AND name = ?2");
  const int rc = q.text(1, owner).text(2, name).step();
  if (rc == SQLITE_DONE) return KV_ERR_OBJECT_NOT_FOUND;
  if (rc != SQLITE_ROW) return KV_ERR_HSM_FAILURE;
  out = q.columnBlob(0);
  return KV_OK;
}

int32_t Store::writeObject(const std::string& owner, const std::string& name,
                           const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> guard(lock_);
  Transaction tx(db_);
  if (!tx.begun()) return KV_ERR_HSM_FAILURE;
  bool exists = false;
  if (userExists(owner, exists) != KV_OK) return KV_ERR_HSM_FAILURE;
  if (!exists) return KV_ERR_NO_SUCH_USER;
  Statement put(db_, "INSERT OR REPLACE INTO objects(owner, name, data) VALUES(?1, ?2, ?3)");
  if (put.text(1, owner).text(2, name).blob(3, data).step() != SQLITE_DONE)
    return KV_ERR_HSM_FAILURE;
  return tx.commit() ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::removeObject(const std::string& owner, const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  Transaction tx(db_);
  if (!tx.begun()) return KV_ERR_HSM_FAILURE;
  Statement del(db_, "DELETE FROM objects WHERE owner = ?1 AND name = ?2");
  if (del.text(1, owner).text(2, name).step() != SQLITE_DONE) return KV_ERR_HSM_FAILURE;
  if (sqlite3_changes(db_) == 0) return KV_ERR_OBJECT_NOT_FOUND;
  return tx.commit() ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::renameObject(const std::string& owner, const std::string& oldName,
                            const std::string& newName) {
  std::lock_guard<std::mutex> guard(lock_);
  Transaction tx(db_);
  if (!tx.begun()) return KV_ERR_HSM_FAILURE;
  Statement probe(db_, "SELECT 1 FROM objects WHERE owner = ?1 AND name = ?2");
  const int rc = probe.text(1, owner).text(2, oldName).step();
  if (rc == SQLITE_DONE) return KV_ERR_OBJECT_NOT_FOUND;
  if (rc != SQLITE_ROW) return KV_ERR_HSM_FAILURE;
  if (oldName == newName) return KV_OK;
  Statement drop(db_, "DELETE FROM objects WHERE owner = ?1 AND name = ?2");
  Statement move(db_, "UPDATE objects SET name = ?3 WHERE owner = ?1 AND name = ?2");
  if (drop.text(1, owner).text(2, newName).step() != SQLITE_DONE ||
      move.text(1, owner).text(2, oldName).text(3, newName).step() != SQLITE_DONE)
    return KV_ERR_HSM_FAILURE;
  return tx.commit() ? KV_OK : KV_ERR_HSM_FAILURE;
}

int32_t Store::listObjects(std::vector<ObjectInfo>& out) {
  std::lock_guard<std::mutex> guard(lock_);
  out.clear();
  Statement q(db_, "SELECT owner, name, length(data) FROM objects ORDER BY owner, name");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    out.push_back({q.columnText(0), q.columnText(1), static_cast<uint64_t>(q.columnInt(2))});
  return rc == SQLITE_DONE ? KV_OK : KV_ERR_HSM_FAILURE;
}

}  // namespace emulator
