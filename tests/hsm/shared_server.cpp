// The emulator shared by the tests of one process.
#include "hsm_test_support.h"

#include <gtest/gtest.h>

namespace kvtest {

namespace {

struct SharedServer {
  std::unique_ptr<HsmServer> server;
  std::string error;
  bool tried = false;
};

SharedServer& shared() {
  static SharedServer s;
  return s;
}

// Stops the shared emulator once all tests have run.
class SharedServerEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { shared().server.reset(); }
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new SharedServerEnvironment);

}  // namespace

HsmServer* sharedServer(std::string& error) {
  SharedServer& s = shared();
  if (!s.tried) {
    s.tried = true;
    s.server = HsmServer::start(HsmServer::Options{}, s.error);
  }
  error = s.error;
  return s.server.get();
}

}  // namespace kvtest
