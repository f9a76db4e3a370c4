#include "platform/posix/ldap_watchdog.h"

#include <sys/socket.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace platform::ldap {

namespace {

using Clock = std::chrono::steady_clock;

struct Watchdog {
  std::mutex mutex;
  std::condition_variable wake;
  std::map<uint64_t, std::pair<Clock::time_point, WatchedSocket*>> armed;  // by id: deadline, socket
  uint64_t nextId = 1;
  bool stopping = false;
  std::thread thread;

  ~Watchdog() {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
  }
  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
      auto first = armed.end();
      for (auto it = armed.begin(); it != armed.end(); ++it) {
        if (first == armed.end() || it->second.first < first->second.first) first = it;
      }
      if (first == armed.end()) {
        wake.wait(lock);
      } else if (const Clock::time_point deadline = first->second.first; Clock::now() < deadline) {
        wake.wait_until(lock, deadline);  // a copy: the entry may be disarmed meanwhile
      } else {
        WatchedSocket& socket = *first->second.second;
        socket.expired = true;
        if (socket.fd >= 0) ::shutdown(socket.fd, SHUT_RDWR);
        armed.erase(first);
      }
    }
  }
};

Watchdog& watchdog() {
  static Watchdog instance;
  return instance;
}

}  // namespace

void attachSocket(WatchedSocket& socket, int fd) {
  const std::lock_guard<std::mutex> lock(watchdog().mutex);
  socket.fd = fd;
  if (socket.expired) ::shutdown(fd, SHUT_RDWR);  // cut before its socket was known
}

void detachSocket(WatchedSocket& socket) {
  const std::lock_guard<std::mutex> lock(watchdog().mutex);
  socket.fd = -1;
}

WatchdogScope::WatchdogScope(WatchedSocket& socket, std::chrono::milliseconds bound) : socket_(socket) {
  Watchdog& dog = watchdog();
  const std::lock_guard<std::mutex> lock(dog.mutex);
  if (!dog.thread.joinable()) dog.thread = std::thread([&dog] { dog.run(); });
  id_ = dog.nextId++;
  dog.armed.emplace(id_, std::make_pair(Clock::now() + bound, &socket));
  dog.wake.notify_all();
}

WatchdogScope::~WatchdogScope() {
  const std::lock_guard<std::mutex> lock(watchdog().mutex);
  watchdog().armed.erase(id_);
}

bool WatchdogScope::timedOut() const {
  const std::lock_guard<std::mutex> lock(watchdog().mutex);
  return socket_.expired;
}

}  // namespace platform::ldap
