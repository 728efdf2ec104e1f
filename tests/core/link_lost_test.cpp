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

// A parent that sends the stop packet and then closes its end is shutting down
// in order: no pause and no word of one, whether the main thread was busy in
// a Write or idle when the two arrived. The plugin call that holds the main
// thread returns only once the core has seen the close.
TEST(LinkLost, AStopPacketBeforeTheCloseStopsWithoutThePause) {
  for (const char* holdingTrigger : {"write", "close"}) {  // busy, idle
    SCOPED_TRACE(holdingTrigger);
    TestDir dir;
    CoreInstall install(dir.Path());
    const std::string release = dir.Path() + "/release";
    TestPlugin plugin = install.AddTestPlugin(
        "watch.so", std::string("id 0x00090000\nwrites 1\nmask 2 0xFFFFFFFF\non ") +
                        holdingTrigger + " wait-file " + release + "\n");
    install.AddTestPlugin("raiser.so", "id 2\non open raise type=2\n");
    CoreProcess core(install, SpawnOptions::WithParentLink());
    ASSERT_TRUE(core.SendIdentification("libbrevad.so", "1"));
    core.WaitUntilStarted();
    ASSERT_TRUE(plugin.WaitFor("write"));
    ASSERT_TRUE(core.SendStop());
    core.CloseLink();
    ASSERT_TRUE(core.WaitForStdout("brevad ipc pipe disconnected"));
    WriteTextFile(release, "");
    // Far below the minute of a lost link.
    EXPECT_EQ(core.WaitExit(std::chrono::seconds(30)), ExitStatus::Code(0));
    EXPECT_EQ(plugin.Calls("close").size(), 1u);
    EXPECT_EQ(plugin.Calls("unload").size(), 1u);
    EXPECT_EQ(core.Stdout().find("sleeping for one minute"), std::string::npos) << core.Stdout();
  }
}

}  // namespace
}  // namespace dvrtest
