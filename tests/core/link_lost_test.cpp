// Losing the parent link: the core stops, but closes its plugins only after a
// minute, so that active watchdogs expire first. Slow by nature.
#include <chrono>

#include <gtest/gtest.h>

#include "tests/support/core_process.h"
#include "tests/support/test_dir.h"

namespace dvrtest {
namespace {

TEST(LinkLost, BothMessagesTheStopLineThenAMinuteBeforeClose) {
  TestDir dir;
  CoreInstall install(dir.Path());
  TestPlugin plugin = install.AddTestPlugin("watch.so", "id 0x00090000\n");
  SpawnOptions options;
  options.args = {"6"};
  options.linkFd = 6;
  CoreProcess core(install, options);
  ASSERT_TRUE(core.SendIdentification("libbrevad.so", "1"));
  core.WaitUntilStarted();

  core.CloseLink();
  core.WaitForStdout(dvrtest::kStoppingLine);
  const auto stopSeen = std::chrono::steady_clock::now();
  std::string out = core.Stdout();
  size_t disconnected = out.find("brevad ipc pipe disconnected");
  size_t sleeping = out.find("sleeping for one minute to allow active watchdogs to expire...");
  size_t stopping = out.find("stopping core version");
  ASSERT_NE(disconnected, std::string::npos);
  ASSERT_NE(sleeping, std::string::npos);
  EXPECT_LT(disconnected, sleeping);
  EXPECT_LT(sleeping, stopping);
  // Both are failures: red time stamps.
  EXPECT_NE(out.find("\033[31m"), std::string::npos);

  ASSERT_TRUE(plugin.WaitFor("close", std::chrono::seconds(120)));
  EXPECT_GE(std::chrono::steady_clock::now() - stopSeen, std::chrono::seconds(59));
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
}

}  // namespace
}  // namespace dvrtest
