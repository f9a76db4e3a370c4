// The reachability probe against real loopback sockets: one that listens,
// one that is closed, one whose accept queue is full (the kernel then drops
// new connection attempts, so they go unanswered), and a name that cannot
// resolve.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "platform/network.h"

namespace {

// A loopback socket bound to a free port, listening with `backlog` when
// asked to.
struct LoopbackSocket {
  explicit LoopbackSocket(bool listening, int backlog = 16) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        (listening && ::listen(fd, backlog) != 0)) {
      return;
    }
    port = ntohs(address.sin_port);
  }
  ~LoopbackSocket() {
    if (fd >= 0) ::close(fd);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;
  int fd = -1;
  uint16_t port = 0;
};

TEST(TcpProbe, TellsListeningRefusedSilentAndUnresolvedApart) {
  using platform::TcpProbeResult;
  LoopbackSocket listening(true);
  ASSERT_NE(listening.port, 0);
  EXPECT_EQ(platform::probeTcpConnection("127.0.0.1", listening.port, 2000), TcpProbeResult::Reachable);
  EXPECT_EQ(platform::probeTcpConnection("localhost", listening.port, 2000), TcpProbeResult::Reachable);

  LoopbackSocket bound(false);  // bound, not listening: the port refuses
  ASSERT_NE(bound.port, 0);
  EXPECT_EQ(platform::probeTcpConnection("127.0.0.1", bound.port, 2000), TcpProbeResult::Refused);

  EXPECT_EQ(platform::probeTcpConnection("kelvasync-probe.invalid", 4433, 2000), TcpProbeResult::NotResolved);
  EXPECT_EQ(platform::probeTcpConnection("", 4433, 2000), TcpProbeResult::NotResolved);

  // Fill the accept queue (backlog 0 holds one connection) and leave it
  // unaccepted: the next attempt is dropped and meets the time-out.
  LoopbackSocket full(true, 0);
  ASSERT_NE(full.port, 0);
  LoopbackSocket first(false);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(full.port);
  ASSERT_EQ(::connect(first.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::probeTcpConnection("127.0.0.1", full.port, 500), TcpProbeResult::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
