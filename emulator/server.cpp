#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "pelorlib.h"
#include "request.h"

namespace emulator {

namespace {

using Clock = std::chrono::steady_clock;

std::mutex& logMutex() {
  static std::mutex m;
  return m;
}

enum class ReadResult { Ok, Closed, TimedOut, Failed };

// Reads exactly n bytes within timeoutMs. Closed only when the peer ended
// the connection before the first byte.
ReadResult readExact(int fd, uint8_t* p, size_t n, uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t got = 0;
  while (got < n) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ReadResult::TimedOut;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1000000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ReadResult::Failed;
    if (ready == 0) continue;
    const ssize_t r = recv(fd, p + got, n - got, 0);
    if (r == 0) return got == 0 ? ReadResult::Closed : ReadResult::Failed;
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return ReadResult::Failed;
    }
    got += static_cast<size_t>(r);
  }
  return ReadResult::Ok;
}

bool sendAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameChar(char c) { return isLetter(c) || isDigit(c) || c == '_' || c == '-' || c == '.'; }

// The identifiers this HSM accepts for users: 1 to 16 bytes, a letter
// first, then letters, digits, '_', '-' or '.'.
bool validUserId(const std::string& s) {
  if (s.empty() || s.size() > KV_USER_NAME_MAX || !isLetter(s[0])) return false;
  for (char c : s)
    if (!isNameChar(c)) return false;
  return true;
}

bool validObjectPart(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!isNameChar(c)) return false;
  return true;
}

// "name" belongs to the session's user, "owner/name" to owner.
bool resolveObject(const std::string& text, const std::string& sessionUser, std::string& owner,
                   std::string& name) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) {
    owner = sessionUser;
    name = text;
  } else {
    owner = text.substr(0, slash);
    name = text.substr(slash + 1);
    if (!validUserId(owner)) return false;
  }
  return validObjectPart(name);
}

const char* opName(kvwire::Op op) {
  switch (op) {
    case kvwire::Op::Login: return "login";
    case kvwire::Op::ListUsers: return "list-users";
    case kvwire::Op::CreateUser: return "create-user";
    case kvwire::Op::RemoveUser: return "remove-user";
    case kvwire::Op::SetUserParam: return "set-user-param";
    case kvwire::Op::ReadObject: return "read-object";
    case kvwire::Op::WriteObject: return "write-object";
    case kvwire::Op::RemoveObject: return "remove-object";
    case kvwire::Op::RenameObject: return "rename-object";
    case kvwire::Op::Logout: return "logout";
    case kvwire::Op::Status: return "status";
  }
  return "?";
}

// What the fault file says about `op`: "drop", a result code, or nothing.
std::string faultFor(const std::string& path, const char* op) {
  std::ifstream in(path);
  std::string name, action;
  while (in >> name >> action) {
    if (name == op) return action;
  }
  return {};
}

// Handles one request of a logged-in session; returns the reply body. A
// listing's answer may need several frames: handleListing() makes them.
kvwire::Writer handleSessionRequest(Store& store, const std::string& sessionUser,
                                    const Request& r) {
  kvwire::Writer reply;
  // Rights are taken from the current state on every request, so a user
  // removed or blocked meanwhile can do nothing more.
  const std::optional<UserRecord> me = store.findUser(sessionUser);
  if (!me || me->blocked) {
    reply.u32(KV_ERR_ACCESS_DENIED);
    return reply;
  }
  const bool userAdmin = (me->mask & KV_PERM_USER_ADMIN) != 0;
  const bool objectAdmin = (me->mask & KV_PERM_OBJECT_ADMIN) != 0;
  auto mayTouch = [&](const std::string& owner, uint32_t ownBit) {
    return objectAdmin || (owner == me->name && (me->mask & ownBit) != 0);
  };

  switch (r.op) {
    case kvwire::Op::CreateUser: {
      int32_t code;
      if (!userAdmin) code = KV_ERR_ACCESS_DENIED;
      else if (!validUserId(r.first)) code = KV_ERR_INVALID_USER_ID;
      else if (r.second.empty()) code = KV_ERR_BAD_ARGUMENT;
      else code = store.createUser(r.first, r.second, r.number);
      reply.u32(static_cast<uint32_t>(code));
      break;
    }
    case kvwire::Op::RemoveUser:
    case kvwire::Op::SetUserParam: {
      const bool isRemove = r.op == kvwire::Op::RemoveUser;
      int32_t code;
      if (!userAdmin || r.first == "master") code = KV_ERR_ACCESS_DENIED;
      else if (!isRemove && r.number != KV_PARAM_BLOCK && r.number != KV_PARAM_UNBLOCK)
        code = KV_ERR_BAD_ARGUMENT;
      else if (isRemove) code = store.removeUser(r.first);
      else code = store.setBlocked(r.first, r.number == KV_PARAM_BLOCK);
      reply.u32(static_cast<uint32_t>(code));
      break;
    }
    case kvwire::Op::ReadObject:
    case kvwire::Op::WriteObject:
    case kvwire::Op::RemoveObject: {
      std::string owner, name;
      const uint32_t bit = r.op == kvwire::Op::ReadObject    ? KV_PERM_OBJECT_READ
                           : r.op == kvwire::Op::WriteObject ? KV_PERM_OBJECT_WRITE
                                                             : KV_PERM_OBJECT_REMOVE;
      std::vector<uint8_t> data;
      int32_t code;
      if (!resolveObject(r.first, me->name, owner, name)) code = KV_ERR_BAD_ARGUMENT;
      else if (!mayTouch(owner, bit)) code = KV_ERR_ACCESS_DENIED;
      else if (r.op == kvwire::Op::ReadObject) code = store.readObject(owner, name, data);
      else if (r.op == kvwire::Op::WriteObject) code = store.writeObject(owner, name, r.data);
      else code = store.removeObject(owner, name);
      reply.u32(static_cast<uint32_t>(code));
      if (code == KV_OK && r.op == kvwire::Op::ReadObject) reply.blob(data.data(), data.size());
      break;
    }
    case kvwire::Op::RenameObject: {
      std::string owner, name, newOwner, newName;
      int32_t code;
      if (!resolveObject(r.first, me->name, owner, name) ||
          !resolveObject(r.second, me->name, newOwner, newName) || owner != newOwner)
        code = KV_ERR_BAD_ARGUMENT;
      else if (!mayTouch(owner, KV_PERM_OBJECT_REMOVE)) code = KV_ERR_ACCESS_DENIED;
      else code = store.renameObject(owner, name, newName);
      reply.u32(static_cast<uint32_t>(code));
      break;
    }
    default:
      reply.u32(KV_ERR_BAD_ARGUMENT);  // not reached: the caller filters these
      break;
  }
  return reply;
}

// Answers ListUsers: the whole answer, one frame or more, appended to
// `out` (kv_wire.h tells the frames' form).
void handleListing(Store& store, const std::string& sessionUser, std::vector<uint8_t>& out) {
  const std::optional<UserRecord> me = store.findUser(sessionUser);
  int32_t code = KV_ERR_ACCESS_DENIED;
  std::vector<UserRecord> users;
  if (me && !me->blocked && (me->mask & KV_PERM_USER_ADMIN) != 0) code = store.listUsers(users);
  if (code != KV_OK) {
    kvwire::Writer refusal;
    const std::vector<uint8_t>& frame = refusal.u32(static_cast<uint32_t>(code)).frame();
    out.insert(out.end(), frame.begin(), frame.end());
    return;
  }
  kvwire::appendListingFrames(
      users, [](const UserRecord& u) -> std::string_view { return u.name; }, out);
}

}  // namespace

void logLine(const char* level, const std::string& text) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::lock_guard<std::mutex> guard(logMutex());
  std::fprintf(stderr, "%s hsm-emulator %s: %s\n", stamp, level, text.c_str());
  std::fflush(stderr);
}

struct Server::Connection {
  int fd = -1;
  uint64_t id = 0;
  std::thread thread;
  std::atomic<bool> done{false};
};

Server::Server(Store& store, ServerOptions options) : store_(store), options_(std::move(options)) {}

Server::~Server() {
  reap(true);
  if (listenFd_ >= 0) ::close(listenFd_);
  if (wakePipe_[0] >= 0) ::close(wakePipe_[0]);
  if (wakePipe_[1] >= 0) ::close(wakePipe_[1]);
}

bool Server::listen(std::string& error) {
  if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = "pipe failed";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV | AI_NUMERICHOST;
  addrinfo* list = nullptr;
  const std::string port = std::to_string(options_.port);
  if (getaddrinfo(options_.address.c_str(), port.c_str(), &hints, &list) != 0 || !list) {
    error = "not a numeric address: " + options_.address;
    return false;
  }
  listenFd_ = socket(list->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  bool ok = listenFd_ >= 0 && setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            bind(listenFd_, list->ai_addr, list->ai_addrlen) == 0 && ::listen(listenFd_, 128) == 0;
  freeaddrinfo(list);
  if (!ok) {
    error = "cannot listen on " + options_.address + ":" + port + ": " + std::strerror(errno);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
  boundPort_ = ntohs(bound.ss_family == AF_INET6
                         ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return true;
}

void Server::requestStop() {
  const char b = 1;
  if (wakePipe_[1] >= 0) {
    const ssize_t ignored = ::write(wakePipe_[1], &b, 1);
    (void)ignored;
  }
}

void Server::run() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    const int n = poll(fds, 2, 1000);
    if (n < 0 && errno != EINTR) {
      logLine("ERROR", std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    if (n > 0 && fds[1].revents != 0) break;
    if (n > 0 && (fds[0].revents & POLLIN)) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval tv{static_cast<time_t>(options_.idleTimeoutMs / 1000),
                   static_cast<suseconds_t>(options_.idleTimeoutMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->id = nextConnectionId_++;
        Connection& ref = *c;
        std::lock_guard<std::mutex> guard(connectionsLock_);
        connections_.push_back(std::move(c));
        ref.thread = std::thread(&Server::serve, this, std::ref(ref));
      }
    }
    reap(false);
  }
  ::close(listenFd_);
  listenFd_ = -1;
  {
    std::lock_guard<std::mutex> guard(connectionsLock_);
    for (auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
  }
  reap(true);
}

// Joins finished connection threads (all of them when `all`) and closes
// their sockets. Only the thread running run() (or the destructor) calls it.
void Server::reap(bool all) {
  std::list<std::unique_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> guard(connectionsLock_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || (*it)->done) {
        finished.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished) {
    if (c->thread.joinable()) c->thread.join();
    ::close(c->fd);
  }
}

void Server::serve(Connection& c) {
  const std::string tag = "connection " + std::to_string(c.id);
  bool loggedIn = false;
  std::string user;
  std::vector<uint8_t> body;
  std::vector<uint8_t> frames;  // the reply, one frame or (a listing) more
  for (;;) {
    uint8_t header[4];
    const ReadResult h = readExact(c.fd, header, sizeof header, options_.idleTimeoutMs);
    if (h == ReadResult::Closed) break;
    if (h != ReadResult::Ok) {
      logLine(h == ReadResult::TimedOut ? "INFO" : "ERROR",
              tag + (h == ReadResult::TimedOut ? ": idle, closing" : ": read failed, closing"));
      break;
    }
    const uint32_t length = kvwire::getU32(header);
    if (length == 0 || length > kvwire::kMaxFrameBody) {
      logLine("ERROR", tag + ": request of " + std::to_string(length) +
                           " bytes is outside the limit, closing");
      break;
    }
    body.resize(length);
    if (readExact(c.fd, body.data(), length, options_.idleTimeoutMs) != ReadResult::Ok) {
      logLine("ERROR", tag + ": request truncated, closing");
      break;
    }
    const std::optional<Request> r = decodeRequest(body.data(), body.size());
    if (!r) {
      logLine("ERROR", tag + ": malformed or unknown request (opcode " +
                           std::to_string(body[0]) + ", " + std::to_string(length) +
                           " bytes), closing");
      break;
    }
    const bool preLogin = r->op == kvwire::Op::Login || r->op == kvwire::Op::Status;
    if (preLogin == loggedIn) {
      logLine("ERROR", tag + ": " + opName(r->op) +
                           (loggedIn ? " inside a session" : " before login") + ", closing");
      break;
    }
    if (options_.latencyMs != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(options_.latencyMs));

    kvwire::Writer reply;
    bool closeAfter = false;
    const std::string fault = loggedIn && !options_.faultFile.empty() ? faultFor(options_.faultFile, opName(r->op))
                                                                       : std::string();
    if (fault == "drop") {
      logLine("INFO", tag + ": " + opName(r->op) + " dropped (fault file)");
      break;
    }
    if (!fault.empty()) {
      logLine("INFO", tag + ": " + opName(r->op) + " refused with " + fault + " (fault file)");
      reply.u32(static_cast<uint32_t>(std::strtoul(fault.c_str(), nullptr, 10)));
    } else if (r->op == kvwire::Op::Status) {
      reply.u32(KV_OK).u32(openSessions_.load()).u32(loginsSoFar_.load());
    } else if (r->op == kvwire::Op::Login) {
      if (store_.authenticate(r->first, r->second)) {
        loggedIn = true;
        user = r->first;
        ++openSessions_;
        ++loginsSoFar_;
        reply.u32(KV_OK);
      } else {
        logLine("INFO", tag + ": login refused for \"" + r->first + "\"");
        reply.u32(KV_ERR_LOGIN_REFUSED);
        closeAfter = true;
      }
    } else if (r->op == kvwire::Op::Logout) {
      // Counted down before the reply: once the client's close returns,
      // the count no longer includes this session.
      loggedIn = false;
      --openSessions_;
      reply.u32(KV_OK);
      closeAfter = true;
    } else if (r->op == kvwire::Op::ListUsers) {
      handleListing(store_, user, frames);
    } else {
      reply = handleSessionRequest(store_, user, *r);
    }
    if (frames.empty()) frames.swap(reply.frame());
    const bool sent = sendAll(c.fd, frames.data(), frames.size());
    frames.clear();
    if (!sent) {
      logLine("ERROR", tag + ": reply could not be sent, closing");
      break;
    }
    if (closeAfter) break;
  }
  if (loggedIn) --openSessions_;
  // The peer learns of the end at once; the descriptor itself is closed by
  // reap(), so it cannot be reused while run() may still shut it down.
  ::shutdown(c.fd, SHUT_RDWR);
  c.done = true;
}

}  // namespace emulator
