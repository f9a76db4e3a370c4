#include "service/service_control.h"
#include "logging/stop_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "runtime/process_state.h"

namespace {

TEST(ReportServiceStatus, StateAndCheckPointRulesInConsoleMode) {
  serviceMode = false;  // the record is updated, never sent
  serviceStatus = platform::ServiceStatus{};
  serviceStatus.currentState = platform::kServiceStartPending;
  reportServiceStatus(kKeep, kKeep);
  EXPECT_EQ(serviceStatus.currentState, platform::kServiceStartPending);
  EXPECT_EQ(serviceStatus.checkPoint, 1u);
  reportServiceStatus(platform::kServiceRunning, kKeep);
  EXPECT_EQ(serviceStatus.currentState, platform::kServiceRunning);
  EXPECT_EQ(serviceStatus.checkPoint, 2u);
  reportServiceStatus(platform::kServiceStopped, 0);
  EXPECT_EQ(serviceStatus.currentState, platform::kServiceStopped);
  EXPECT_EQ(serviceStatus.checkPoint, 0u);
  EXPECT_EQ(serviceStatus.win32ExitCode, 0u);
}

TEST(ReportServiceStatus, ConcurrentReportsLoseNoCheckPoint) {
  serviceMode = false;
  serviceStatus = platform::ServiceStatus{};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) reportServiceStatus(kKeep, kKeep);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(serviceStatus.checkPoint, 4000u);
}

TEST(StopFlag, SetAndClear) {
  serviceMode = true;  // keep the test's output free of log echo
  setStopRequested(true);
  EXPECT_TRUE(isStopRequested());
  setStopRequested(false);
  EXPECT_FALSE(isStopRequested());
  serviceMode = false;
}

TEST(ServiceControlHandler, StopAndShutdownSetTheFlagOtherControlsDoNot) {
  serviceMode = false;
  for (uint32_t control : {platform::kServiceControlPause, platform::kServiceControlContinue,
                           platform::kServiceControlInterrogate, 128u}) {
    storeStopRequested(false);
    serviceStatus = platform::ServiceStatus{};
    serviceStatus.currentState = platform::kServiceRunning;
    serviceControlHandler(control);
    EXPECT_FALSE(isStopRequested()) << control;
    EXPECT_EQ(serviceStatus.currentState, platform::kServiceRunning);
    EXPECT_EQ(serviceStatus.checkPoint, 1u);  // only re-reported
  }
  for (uint32_t control : {platform::kServiceControlStop, platform::kServiceControlShutdown}) {
    storeStopRequested(false);
    serviceStatus = platform::ServiceStatus{};
    serviceStatus.currentState = platform::kServiceRunning;
    testing::internal::CaptureStdout();
    serviceControlHandler(control);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(isStopRequested()) << control;
    EXPECT_EQ(serviceStatus.currentState, platform::kServiceStopPending);
    EXPECT_EQ(serviceStatus.checkPoint, 2u);  // stop-pending report, then the closing report
  }
  storeStopRequested(false);
}

// The dispatcher's thread sends stops while serviceMain registers its
// handler, over and over. Without a notification socket the registration is
// refused, so each run ends at once and every status report fails. The
// handle and the record are shared without a race (checked in the
// thread-sanitizer build), and a failed report always ends in
// SERVICE_STOPPED with exit code 1066 and service-specific code 2.
#if !defined(_WIN32)
TEST(ServiceMain, StopsDuringRegistrationAreRaceFree) {
  ::unsetenv("NOTIFY_SOCKET");
  serviceMode = true;
  std::atomic<bool> done{false};
  std::thread service([&done] {
    for (int run = 0; run < 2000; ++run) serviceMain();
    done = true;
  });
  while (!done) serviceControlHandler(platform::kServiceControlStop);
  service.join();
  serviceMode = false;
  EXPECT_TRUE(isStopRequested());
  EXPECT_EQ(serviceStatusHandle, 0u);
  EXPECT_EQ(serviceStatus.currentState, platform::kServiceStopped);
  EXPECT_EQ(serviceStatus.win32ExitCode, platform::kErrorServiceSpecificError);
  EXPECT_EQ(serviceStatus.serviceSpecificExitCode, 2u);
  storeStopRequested(false);
}
#endif  // the registration that fails outside systemd is the Linux seam's

}  // namespace
