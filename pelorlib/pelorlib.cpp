// Stand-in pelorlib client: fulfils pelorlib.h by talking to hsm-emulator
// over TCP with the frames of kv_wire.h.
//
// Every socket is non-blocking; each wait goes through waitReady() with a
// deadline, so a connect costs at most the connect time-out and a request
// (send and full reply) at most the request time-out; a listing, whose
// answer may span many frames, at most the request time-out per frame.
// After a failed exchange the stream position is unknown, so the session is
// marked broken and later calls on it fail at once with
// KV_ERR_CONNECTION_LOST.
#define PELORLIB_BUILDING 1
#include "pelorlib.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "kv_wire.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
using SocketHandle = SOCKET;
const SocketHandle kNoSocket = INVALID_SOCKET;
void closeSocket(SocketHandle s) { closesocket(s); }
int lastSocketError() { return WSAGetLastError(); }
bool wouldBlock(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
bool interrupted(int e) { return e == WSAEINTR; }
bool setNonBlocking(SocketHandle s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}
#else
using SocketHandle = int;
const SocketHandle kNoSocket = -1;
void closeSocket(SocketHandle s) { ::close(s); }
int lastSocketError() { return errno; }
bool wouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS; }
bool interrupted(int e) { return e == EINTR; }
bool setNonBlocking(SocketHandle s) {
  const int flags = fcntl(s, F_GETFL, 0);
  return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
#endif

// ---- Library state: only what KvInitialize sets up and KvFinalize ends ----

constexpr uint32_t kDefaultConnectTimeoutMs = 5000;
constexpr uint32_t kDefaultIoTimeoutMs = 15000;

struct LibraryState {
  std::mutex lock;
  int users = 0;  // KvInitialize calls not yet matched by KvFinalize
  uint32_t connectTimeoutMs = kDefaultConnectTimeoutMs;
  uint32_t ioTimeoutMs = kDefaultIoTimeoutMs;
};

LibraryState& library() {
  static LibraryState state;
  return state;
}

uint32_t timeoutFromEnvironment(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (*end != '\0' || v == 0 || v > 3600000ul) return fallback;
  return static_cast<uint32_t>(v);
}

// ---- Waiting with a deadline --------------------------------------------

int remainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1000000));
}

// Waits until the socket is readable (or writable). KV_OK, KV_ERR_TIMEOUT, or
// KV_ERR_CONNECTION_LOST when the wait itself fails.
int32_t waitReady(SocketHandle s, bool forWrite, Clock::time_point deadline) {
  for (;;) {
    const int ms = remainingMs(deadline);
    if (ms == 0) return KV_ERR_TIMEOUT;
#if defined(_WIN32)
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    const int n = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
#else
    pollfd p{s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    const int n = poll(&p, 1, ms);
#endif
    if (n > 0) return KV_OK;  // readiness or an error condition: the next call tells
    if (n < 0 && !interrupted(lastSocketError())) return KV_ERR_CONNECTION_LOST;
  }
}

// ---- Connecting -----------------------------------------------------------

// Splits "host", "host:port", "[v6]:port" or a bare IPv6 address.
bool splitHostPort(const std::string& text, uint32_t defaultPort, std::string& host,
                   std::string& port) {
  uint32_t number = defaultPort;
  std::string portText;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      portText = text.substr(close + 2);
      if (portText.empty()) return false;
    }
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    const size_t colon = text.find(':');
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (portText.empty()) return false;
  } else {
    host = text;
  }
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
      return false;
    number = static_cast<uint32_t>(std::stoul(portText));
  }
  if (host.empty() || number == 0 || number > 65535) return false;
  port = std::to_string(number);
  return true;
}

void setNoDelay(SocketHandle s) {
  int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

int32_t connectOne(const addrinfo* ai, Clock::time_point deadline, SocketHandle& out) {
  SocketHandle s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s == kNoSocket) return KV_ERR_CONNECTION_REFUSED;
  if (!setNonBlocking(s)) {
    closeSocket(s);
    return KV_ERR_CONNECTION_REFUSED;
  }
  if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
    const int e = lastSocketError();
    if (!wouldBlock(e)) {
      closeSocket(s);
      return KV_ERR_CONNECTION_REFUSED;
    }
    const int32_t w = waitReady(s, true, deadline);
    if (w != KV_OK) {
      closeSocket(s);
      return w;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 ||
        err != 0) {
      closeSocket(s);
      return KV_ERR_CONNECTION_REFUSED;
    }
  }
  setNoDelay(s);
  out = s;
  return KV_OK;
}

// Owns a connected socket and closes it when the scope ends, unless it was
// handed on with release(): no path out of a session's opening, an
// exception included, leaves the connection open.
class SocketOwner {
 public:
  SocketOwner() = default;
  ~SocketOwner() {
    if (socket_ != kNoSocket) closeSocket(socket_);
  }
  SocketOwner(const SocketOwner&) = delete;
  SocketOwner& operator=(const SocketOwner&) = delete;
  SocketHandle& handle() { return socket_; }
  SocketHandle release() {
    const SocketHandle s = socket_;
    socket_ = kNoSocket;
    return s;
  }

 private:
  SocketHandle socket_ = kNoSocket;
};

// Tries every address of the host until one accepts. A time-out on any of
// them is reported as such; otherwise the connection was refused.
int32_t connectTo(const std::string& hostText, uint32_t defaultPort, uint32_t timeoutMs,
                  SocketHandle& out) {
  std::string host, port;
  if (!splitHostPort(hostText, defaultPort, host, port)) return KV_ERR_BAD_ARGUMENT;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0 || list == nullptr)
    return KV_ERR_HOST_UNKNOWN;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int32_t result = KV_ERR_CONNECTION_REFUSED;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    const int32_t r = connectOne(ai, deadline, out);
    if (r == KV_OK) {
      result = KV_OK;
      break;
    }
    if (r == KV_ERR_TIMEOUT) result = KV_ERR_TIMEOUT;
    if (remainingMs(deadline) == 0) break;
  }
  freeaddrinfo(list);
  return result;
}

// ---- Frames ---------------------------------------------------------------

int32_t sendAll(SocketHandle s, const uint8_t* data, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
#if defined(_WIN32)
    const int n = send(s, reinterpret_cast<const char*>(data), chunk, 0);
#else
    const ssize_t n = send(s, data, static_cast<size_t>(chunk), MSG_NOSIGNAL);
#endif
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    const int e = lastSocketError();
    if (n < 0 && (wouldBlock(e) || interrupted(e))) {
      const int32_t w = waitReady(s, true, deadline);
      if (w != KV_OK) return w;
      continue;
    }
    return KV_ERR_CONNECTION_LOST;
  }
  return KV_OK;
}

int32_t recvAll(SocketHandle s, uint8_t* data, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
#if defined(_WIN32)
    const int n = recv(s, reinterpret_cast<char*>(data), chunk, 0);
#else
    const ssize_t n = recv(s, data, static_cast<size_t>(chunk), 0);
#endif
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return KV_ERR_CONNECTION_LOST;  // the HSM closed the connection
    const int e = lastSocketError();
    if (wouldBlock(e) || interrupted(e)) {
      const int32_t w = waitReady(s, false, deadline);
      if (w != KV_OK) return w;
      continue;
    }
    return KV_ERR_CONNECTION_LOST;
  }
  return KV_OK;
}

// Reads one reply frame's body by the deadline.
int32_t receiveFrame(SocketHandle s, Clock::time_point deadline, std::vector<uint8_t>& reply) {
  uint8_t header[4];
  const int32_t r = recvAll(s, header, sizeof header, deadline);
  if (r != KV_OK) return r;
  const uint32_t length = kvwire::getU32(header);
  if (length < 4 || length > kvwire::kMaxFrameBody) return KV_ERR_PROTOCOL;
  reply.resize(length);
  return recvAll(s, reply.data(), length, deadline);
}

// Sends one request frame and reads the reply body, all within timeoutMs.
int32_t exchange(SocketHandle s, std::vector<uint8_t>& frame, uint32_t timeoutMs,
                 std::vector<uint8_t>& reply) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const int32_t r = sendAll(s, frame.data(), frame.size(), deadline);
  if (r != KV_OK) return r;
  return receiveFrame(s, deadline, reply);
}

}  // namespace

struct KvSessionRec {
  std::mutex lock;
  SocketHandle socket = kNoSocket;
  uint32_t ioTimeoutMs = kDefaultIoTimeoutMs;
  bool broken = false;
};

namespace {

// One request on an open session. On KV_OK, `code` holds the HSM's result
// and `reply` the body after it.
int32_t request(KvSessionRec& session, kvwire::Writer& message, std::vector<uint8_t>& reply) {
  std::lock_guard<std::mutex> guard(session.lock);
  if (session.broken) return KV_ERR_CONNECTION_LOST;
  const int32_t r = exchange(session.socket, message.frame(), session.ioTimeoutMs, reply);
  if (r != KV_OK) {
    session.broken = true;
    return r;
  }
  return KV_OK;
}

// Runs a ListUsers request: the answer comes in as many frames as the
// listing needs (kv_wire.h), each within the request time-out of its own,
// so that a listing of any size can arrive. On KV_OK `listing` holds every
// name. Any failure before the last frame leaves the stream position
// unknown, so it breaks the session; so does a refused listing that breaks
// the protocol.
int32_t listingRequest(KvSessionRec& session, kvwire::ListingReader& listing) {
  std::lock_guard<std::mutex> guard(session.lock);
  if (session.broken) return KV_ERR_CONNECTION_LOST;
  session.broken = true;  // until the answer is complete
  kvwire::Writer message;
  message.u8(static_cast<uint8_t>(kvwire::Op::ListUsers));
  const auto timeout = std::chrono::milliseconds(session.ioTimeoutMs);
  std::vector<uint8_t>& frame = message.frame();
  int32_t r = sendAll(session.socket, frame.data(), frame.size(), Clock::now() + timeout);
  std::vector<uint8_t> reply;
  for (;;) {
    if (r != KV_OK) return r;
    r = receiveFrame(session.socket, Clock::now() + timeout, reply);
    if (r != KV_OK) return r;
    switch (listing.take(reply.data(), reply.size())) {
      case kvwire::ListingReader::Step::More:
        continue;
      case kvwire::ListingReader::Step::Done:
        session.broken = false;
        return KV_OK;
      case kvwire::ListingReader::Step::Refused:
        session.broken = false;
        return static_cast<int32_t>(listing.code());
      case kvwire::ListingReader::Step::Malformed:
        return KV_ERR_PROTOCOL;
    }
  }
}

// Runs a request whose reply is a bare result code.
int32_t simpleRequest(KvSessionRec& session, kvwire::Writer& message) {
  std::vector<uint8_t> reply;
  const int32_t r = request(session, message, reply);
  if (r != KV_OK) return r;
  kvwire::Reader in(reply.data(), reply.size());
  const uint32_t code = in.u32();
  if (!in.atEnd()) return KV_ERR_PROTOCOL;
  return static_cast<int32_t>(code);
}

// Runs a request whose successful reply carries a body after the result
// code. On KV_OK `body` holds that body; otherwise the HSM's code (from a
// reply that is only a code) or the transport or protocol failure is
// returned.
int32_t requestWithBody(KvSessionRec& session, kvwire::Writer& message, std::vector<uint8_t>& body) {
  const int32_t r = request(session, message, body);
  if (r != KV_OK) return r;
  kvwire::Reader in(body.data(), body.size());
  const uint32_t code = in.u32();
  if (!in.ok()) return KV_ERR_PROTOCOL;
  if (code != KV_OK) return in.atEnd() ? static_cast<int32_t>(code) : KV_ERR_PROTOCOL;
  body.erase(body.begin(), body.begin() + 4);
  return KV_OK;
}

// True when `text` is a NUL-terminated string within `field` bytes.
bool fitsField(const char* text, size_t field) {
  return text != nullptr && std::find(text, text + field, '\0') != text + field;
}

bool validObjectName(const char* name) {
  return fitsField(name, KV_OBJECT_NAME_FIELD_SIZE) && name[0] != '\0';
}

template <typename Body>
int32_t guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return KV_ERR_OUT_OF_MEMORY;
  } catch (...) {
    return KV_ERR_HSM_FAILURE;
  }
}

}  // namespace

extern "C" {

PELORLIB_API int32_t PELORLIB_CALL KvInitialize(uint32_t reserved) {
  if (reserved != 0) return KV_ERR_BAD_ARGUMENT;
  LibraryState& lib = library();
  std::lock_guard<std::mutex> guard(lib.lock);
  if (lib.users == 0) {
#if defined(_WIN32)
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return KV_ERR_HSM_FAILURE;
#endif
    lib.connectTimeoutMs =
        timeoutFromEnvironment("KELVASYNC_HSM_CONNECT_TIMEOUT_MS", kDefaultConnectTimeoutMs);
    lib.ioTimeoutMs = timeoutFromEnvironment("KELVASYNC_HSM_IO_TIMEOUT_MS", kDefaultIoTimeoutMs);
  }
  ++lib.users;
  return KV_OK;
}

PELORLIB_API int32_t PELORLIB_CALL KvFinalize(void) {
  LibraryState& lib = library();
  std::lock_guard<std::mutex> guard(lib.lock);
  if (lib.users == 0) return KV_ERR_NOT_INITIALIZED;
  if (--lib.users == 0) {
#if defined(_WIN32)
    WSACleanup();
#endif
  }
  return KV_OK;
}

PELORLIB_API int32_t PELORLIB_CALL KvOpenSession(KvSession* session, uint32_t channel,
                                   const HsmLoginBlock* login, uint32_t loginSize,
                                   uint32_t loginMode) {
  if (session == nullptr) return KV_ERR_BAD_ARGUMENT;
  *session = nullptr;
  if (login == nullptr || loginSize != sizeof(HsmLoginBlock) || channel != KV_CHANNEL_TCP ||
      loginMode != KV_LOGIN_PASSWORD || login->reserved[2] != 0)
    return KV_ERR_BAD_ARGUMENT;
  if (!fitsField(login->host, sizeof login->host) || login->host[0] == '\0' ||
      !fitsField(login->user, sizeof login->user) ||
      !fitsField(login->password, sizeof login->password))
    return KV_ERR_BAD_ARGUMENT;

  uint32_t connectMs, ioMs;
  {
    LibraryState& lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    if (lib.users == 0) return KV_ERR_NOT_INITIALIZED;
    connectMs = login->reserved[0] != 0 ? login->reserved[0] : lib.connectTimeoutMs;
    ioMs = login->reserved[1] != 0 ? login->reserved[1] : lib.ioTimeoutMs;
  }

  return guarded([&]() -> int32_t {
    SocketOwner s;
    int32_t r = connectTo(login->host, login->port, connectMs, s.handle());
    if (r != KV_OK) return r;

    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::Login))
        .u32(kvwire::kProtocolMagic)
        .str(login->user)
        .str(login->password);
    std::vector<uint8_t> reply;
    r = exchange(s.handle(), message.frame(), ioMs, reply);
    if (r == KV_OK) {
      kvwire::Reader in(reply.data(), reply.size());
      const uint32_t code = in.u32();
      r = in.atEnd() ? static_cast<int32_t>(code) : KV_ERR_PROTOCOL;
    }
    if (r != KV_OK) return r;
    auto rec = std::make_unique<KvSessionRec>();
    rec->ioTimeoutMs = ioMs;
    rec->socket = s.release();
    *session = rec.release();
    return KV_OK;
  });
}

PELORLIB_API int32_t PELORLIB_CALL KvCloseSession(KvSession* session, uint32_t flags) {
  if (session == nullptr || *session == nullptr || flags != 0) return KV_ERR_BAD_ARGUMENT;
  KvSessionRec* rec = *session;
  *session = nullptr;
  const int32_t result = guarded([&]() -> int32_t {
    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::Logout));
    return simpleRequest(*rec, message);
  });
  closeSocket(rec->socket);
  delete rec;
  return result;
}

PELORLIB_API int32_t PELORLIB_CALL KvListUsers(KvSession session, KvUserCallback callback, void* context) {
  if (session == nullptr || callback == nullptr) return KV_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    kvwire::ListingReader listing(KV_USER_NAME_MAX);
    const int32_t r = listingRequest(*session, listing);
    if (r != KV_OK) return r;
    // The whole listing is in and the session free again: a callback may
    // use it. The names lie one after another, each ended by its NUL.
    const char* name = listing.names().c_str();
    for (uint32_t i = 0; i < listing.count(); ++i) {
      if (callback(name, context, KV_LIST_ENTRY) != 0) return KV_ERR_ABORTED;
      name += std::strlen(name) + 1;
    }
    callback(nullptr, context, KV_LIST_END);
    return KV_OK;
  });
}

PELORLIB_API int32_t PELORLIB_CALL KvCreateUser(KvSession session, HsmNewUserBlock newUser) {
  if (session == nullptr || !fitsField(newUser.userId, sizeof newUser.userId) ||
      !fitsField(newUser.password, sizeof newUser.password))
    return KV_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::CreateUser))
        .str(newUser.userId)
        .str(newUser.password)
        .u32(newUser.permissionMask);
    return simpleRequest(*session, message);
  });
}

PELORLIB_API int32_t PELORLIB_CALL KvRemoveUser(KvSession session, const char* userId) {
  if (session == nullptr || !fitsField(userId, KV_USER_NAME_MAX + 1)) return KV_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::RemoveUser)).str(userId);
    return simpleRequest(*session, message);
  });
}

PELORLIB_API int32_t PELORLIB_CALL KvSetUserParam(KvSession session, uint32_t param, const void* value,
                                    uint32_t length, uint32_t flags) {
  if (session == nullptr || (param != KV_PARAM_BLOCK && param != KV_PARAM_UNBLOCK) ||
      value == nullptr || length == 0 || length > KV_USER_NAME_MAX || flags != 0)
    return KV_ERR_BAD_ARGUMENT;
  const std::string name(static_cast<const char*>(value), length);
  if (name.find('\0') != std::string::npos) return KV_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::SetUserParam)).u32(param).str(name);
    return simpleRequest(*session, message);
  });
}

PELORLIB_API int32_t PELORLIB_CALL KvReadFile(KvSession session, const char* objectName, KvReceiver receiver,
                                void* context) {
  if (session == nullptr || !validObjectName(objectName) || receiver == nullptr)
    return KV_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::ReadObject)).str(objectName);
    std::vector<uint8_t> body;
    const int32_t r = requestWithBody(*session, message, body);
    if (r != KV_OK) return r;
    kvwire::Reader in(body.data(), body.size());
    const std::vector<uint8_t> data = in.blob(KV_MAX_OBJECT_SIZE);
    if (!in.atEnd()) return KV_ERR_PROTOCOL;
    // Whole object in hand: hand it over in chunks, the last one flagged.
    static const uint8_t kNothing = 0;
    size_t at = 0;
    do {
      const size_t n = std::min<size_t>(KV_CHUNK_SIZE, data.size() - at);
      const bool last = at + n == data.size();
      const uint8_t* chunk = n == 0 ? &kNothing : data.data() + at;
      if (receiver(chunk, static_cast<uint32_t>(n), context, last ? 1 : 0) != 0)
        return KV_ERR_ABORTED;
      at += n;
    } while (at < data.size());
    return KV_OK;
  });
}

PELORLIB_API int32_t PELORLIB_CALL KvWriteFile(KvSession session, const char* objectName, uint32_t byteCount,
                                 KvSupplier supplier, void* context) {
  if (session == nullptr || !validObjectName(objectName) || supplier == nullptr ||
      byteCount > KV_MAX_OBJECT_SIZE)
    return KV_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    // Gather the whole object first: a supplier that fails or disagrees
    // with byteCount leaves the stored object untouched.
    std::vector<uint8_t> data(byteCount);
    uint32_t have = 0;
    while (have < byteCount) {
      const uint32_t want = std::min<uint32_t>(KV_CHUNK_SIZE, byteCount - have);
      uint32_t count = want;
      int32_t end = 0;
      if (supplier(data.data() + have, &count, context, &end) != 0) return KV_ERR_ABORTED;
      if (end != 0 || count == 0 || count > want) return KV_ERR_BAD_ARGUMENT;
      have += count;
    }
    // One more request for nothing: the supplier now reports its end.
    std::vector<uint8_t> scratch(KV_CHUNK_SIZE);
    uint32_t count = 0;
    int32_t end = 0;
    if (supplier(scratch.data(), &count, context, &end) != 0) return KV_ERR_ABORTED;
    if (end == 0) return KV_ERR_BAD_ARGUMENT;

    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::WriteObject))
        .str(objectName)
        .blob(data.data(), data.size());
    return simpleRequest(*session, message);
  });
}

PELORLIB_API int32_t PELORLIB_CALL KvRemoveObj(KvSession session, const char* objectName) {
  if (session == nullptr || !validObjectName(objectName)) return KV_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::RemoveObject)).str(objectName);
    return simpleRequest(*session, message);
  });
}

PELORLIB_API int32_t PELORLIB_CALL KvRenameObj(KvSession session, const char* oldName, const char* newName,
                                 uint32_t flags) {
  if (session == nullptr || !validObjectName(oldName) || !validObjectName(newName) || flags != 0)
    return KV_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    kvwire::Writer message;
    message.u8(static_cast<uint8_t>(kvwire::Op::RenameObject)).str(oldName).str(newName);
    return simpleRequest(*session, message);
  });
}

}  // extern "C"
