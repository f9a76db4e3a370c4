#include "platform/posix/ldap_watchdog.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

using namespace std::chrono_literals;
using platform::ldap::WatchdogScope;

// Waits for a byte on `fd` as a blocking libldap read would, but gives up
// after 10 s so that a watchdog that never cuts fails the test instead of
// hanging it: 1 for a byte, 0 for a socket shut down, -1 for no answer.
int readByte(int fd) {
  pollfd waiting{fd, POLLIN, 0};
  if (poll(&waiting, 1, 10000) != 1) return -1;
  char byte = 0;
  return static_cast<int>(read(fd, &byte, 1));
}

TEST(LdapWatchdogTest, CutsOnlyACallThatOutlivesItsBound) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  platform::ldap::WatchedSocket socket;
  platform::ldap::attachSocket(socket, ends[0]);
  {
    ASSERT_EQ(send(ends[1], "x", 1, MSG_NOSIGNAL), 1);
    const WatchdogScope scope(socket, 200ms);
    EXPECT_EQ(readByte(ends[0]), 1);
    EXPECT_FALSE(scope.timedOut());
  }
  std::this_thread::sleep_for(400ms);  // past the bound of the call that ended in time
  ASSERT_EQ(send(ends[1], "y", 1, MSG_NOSIGNAL), 1);
  EXPECT_EQ(readByte(ends[0]), 1);
  {
    const WatchdogScope scope(socket, 200ms);
    EXPECT_EQ(readByte(ends[0]), 0);  // nothing comes: cut
    EXPECT_TRUE(scope.timedOut());
  }
  // A connection made only after its call was cut is cut as it comes.
  int later[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, later), 0);
  platform::ldap::attachSocket(socket, later[0]);
  EXPECT_EQ(readByte(later[0]), 0);
  platform::ldap::detachSocket(socket);
  for (int fd : {ends[0], ends[1], later[0], later[1]}) close(fd);
}

}  // namespace
