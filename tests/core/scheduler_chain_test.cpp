// The core's tick chain: the scheduler's timer armed and re-armed on the I/O
// service, and ended by the stop steps.
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "core/core.h"

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

class SchedulerChainTest : public ::testing::Test {
 protected:
  void SetUp() override { parts.settings.memoryThrottlingEnabled = false; }

  std::unique_ptr<dvrcore> core = CoreControl::Make("/nonexistent/dvrcore");
  CoreControl::Parts& parts = CoreControl::PartsOf(*core);
};

TEST_F(SchedulerChainTest, FailedWaitNeitherTicksNorRearms) {
  RunsOn io(g_ioThread);  // this thread runs the I/O service
  parts.ArmScheduler();
  ASSERT_EQ(parts.schedulerTimer.cancel(), 1u);
  ASSERT_EQ(parts.ioService.run_one(), 1u);  // the wait completes, aborted
  EXPECT_FALSE(parts.scheduler.ticked);
  EXPECT_EQ(parts.schedulerTimer.cancel(), 0u);  // no wait was pending
}

TEST_F(SchedulerChainTest, CancelledChainNeitherTicksNorRearms) {
  RunsOn io(g_ioThread);  // this thread runs the I/O service
  parts.schedulerCancelled = true;
  parts.ArmScheduler();
  ASSERT_EQ(parts.ioService.run_one(), 1u);  // the wait completes with success
  EXPECT_FALSE(parts.scheduler.ticked);
  EXPECT_EQ(parts.schedulerTimer.cancel(), 0u);
}

TEST_F(SchedulerChainTest, TickRearmsUntilTheStopCancelsIt) {
  RunsOn io(g_ioThread);  // this thread runs the I/O service
  const SteadyTime before = core->now();
  parts.ArmScheduler();
  ASSERT_EQ(parts.ioService.run_one(), 1u);  // the first wait completes: first tick
  EXPECT_TRUE(parts.scheduler.ticked);
  EXPECT_GE(parts.schedulerTimer.expiry(), before + kSchedulerPeriod);

  ASSERT_EQ(parts.ioService.run_one(), 1u);  // the re-armed wait completes: second tick
  const SteadyTime rearmed = parts.schedulerTimer.expiry();
  EXPECT_GE(rearmed, before + 2 * kSchedulerPeriod);

  // The stop steps: flag and cancel on the I/O thread. run() returns only
  // when no wait is left, so a chain that went on would hang here.
  boost::asio::post(parts.ioService, [this] {
    RunsOn io(g_ioThread);
    parts.schedulerCancelled = true;
    parts.schedulerTimer.cancel();
  });
  parts.ioService.run();
  EXPECT_EQ(parts.schedulerTimer.expiry(), rearmed);
}

}  // namespace
