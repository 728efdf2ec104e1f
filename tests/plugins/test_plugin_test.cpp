// The test plugin and the process harness themselves, with the real core:
// what other integration tests rely on (configuration errors are loud, the
// thread kinds in the record, the blocking worker and reader, the parent-link
// actions, the core services, retained buffers, the intermediate parent).
#include <pwd.h>
#include <signal.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/packets.h"
#include "tests/support/core_process.h"
#include "tests/support/test_dir.h"

namespace dvrtest {
namespace {

// The first number after `field` in /proc/<pid>/status.
std::string StatusField(pid_t pid, const std::string& field) {
  std::string status = ReadTextFile("/proc/" + std::to_string(pid) + "/status");
  std::smatch match;
  if (!std::regex_search(status, match, std::regex(field + "\\s*([0-9]+)"))) return "";
  return match[1];
}

class TestPluginWithCore : public ::testing::Test {
 protected:
  TestDir dir;
  CoreInstall install{dir.Path()};
};

TEST_F(TestPluginWithCore, ConfigurationErrorIsRecordedAndRefusesLoad) {
  TestPlugin plugin = install.AddTestPlugin("bad.so", "id 0x00100000\nmask 10 1\n");
  CoreProcess core(install);
  ASSERT_TRUE(core.WaitUntilStarted());
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));

  // Read raw: the record parser would fail the test on this very line. The
  // refused library is unmapped at once, still on the main thread.
  std::string record = ReadTextFile(plugin.eventsPath);
  std::string tid = "tid=" + std::to_string(core.Pid()) + " thread=main ";
  EXPECT_EQ(record.substr(0, record.find('\n') + 1),
            "config-error " + tid + "line=2 data=\"mask 10 1\"\n");
  EXPECT_EQ(record.find("unmapped " + tid), record.find('\n') + 1) << record;
  EXPECT_NE(core.Stdout().find("plugin bad.so load returned -1 error -1"), std::string::npos);
}

TEST_F(TestPluginWithCore, WorkerAndReaderBlockUntilCloseOnTheirOwnThreads) {
  TestPlugin plugin = install.AddTestPlugin("threads.so",
                                            "id 0x00100000\n"
                                            "worker 1\n"
                                            "reader 1\n"
                                            "on worker block\n"
                                            "on reader block\n");
  CoreProcess core(install);
  std::optional<PluginCall> worker =
      plugin.WaitFor([](const PluginCall& call) { return call.word == "ioctl" && call.Number("code") == 1; });
  std::optional<PluginCall> reader = plugin.WaitFor("read");
  ASSERT_TRUE(worker && reader);
  EXPECT_EQ(worker->Get("thread"), "worker");
  EXPECT_EQ(reader->Get("thread"), "reader");
  EXPECT_FALSE(reader->Data().has_value());
  EXPECT_TRUE(plugin.Calls("unblocked").empty());
  core.Signal(SIGTERM);

  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  std::vector<std::string> words;
  for (const PluginCall& call : plugin.Calls()) {
    if (call.word == "close" || call.word == "unblocked" || call.word == "unload") {
      words.push_back(call.word == "unblocked" ? call.Get("trigger") : call.word);
    }
  }
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words.front(), "close");
  EXPECT_EQ(words.back(), "unload");
  EXPECT_EQ(plugin.Calls("load")[0].Get("thread"), "main");
}

TEST_F(TestPluginWithCore, EchoReturnsTheParentsPacketAndSendParentSendsText) {
  TestPlugin plugin = install.AddTestPlugin("echo.so",
                                            "id 0x00100000\n"
                                            "on ipc echo\n"
                                            "on ipc send-parent after\\x00echo\n");
  CoreProcess core(install, SpawnOptions::WithParentLink());
  ASSERT_TRUE(core.SendIdentification("brevad.so", "1.0"));
  ASSERT_TRUE(core.WaitUntilStarted());
  // Target bits 31-20 select the plugin whose ID has them in bits 27-16.
  std::vector<uint8_t> packet = MakeIpcPacket(0x01000000, 0x20, "ping", 4, 0x77);
  ASSERT_TRUE(core.Send(packet));

  EXPECT_EQ(core.Receive(), packet);
  std::optional<std::vector<uint8_t>> text = core.Receive();
  ASSERT_TRUE(text);
  EXPECT_EQ(std::string(text->begin(), text->end()), std::string("after\0echo", 10));
  ASSERT_TRUE(core.SendStop());
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  std::vector<PluginCall> calls = plugin.Calls("ioctl");
  auto relayed = std::find_if(calls.begin(), calls.end(),
                              [](const PluginCall& call) { return call.Number("code") == 4; });
  ASSERT_NE(relayed, calls.end());
  EXPECT_EQ(relayed->Data(), std::string(packet.begin(), packet.end()));
}

// The core is reached through its interface, and only there: a plugin's own
// functions named and typed as functions inside the core are the ones its
// calls reach.
TEST_F(TestPluginWithCore, NowAndLogReachTheCoreThroughItsVirtualTable) {
  TestPlugin plugin = install.AddTestPlugin("svc.so",
                                            "id 0x00100000\n"
                                            "on load own-helpers\n"
                                            "on open now\n"
                                            "on open corelog level=50 text=said directly\n"
                                            "on close now\n");
  CoreProcess core(install);
  EXPECT_TRUE(core.WaitForStdoutLine(ConsoleLine(3, "svc   ", "said directly")));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  std::vector<PluginCall> now = plugin.Calls("now");
  ASSERT_EQ(now.size(), 2u);
  EXPECT_LE(now[0].Number("value"), now[1].Number("value"));
  std::vector<PluginCall> ran = plugin.Calls("own-helpers");
  ASSERT_EQ(ran.size(), 1u);
  EXPECT_EQ(ran[0].Number("ran"), 1 + 2 + 4);
}

// A writer that keeps its buffer hands it back with release; the core then
// reports no leak when it is destroyed.
TEST_F(TestPluginWithCore, RetainedWriteBufferIsReleasedLater) {
  TestPlugin keeper = install.AddTestPlugin("keeper.so",
                                            "id 0x00100000\n"
                                            "writes 1\n"
                                            "mask 2 0xffffffff\n"
                                            "result write 0 retain=1\n"
                                            "on close release\n");
  install.AddTestPlugin("talker.so", "id 0x00200000\non open raise type=2 text=keep me\n");
  CoreProcess core(install);
  ASSERT_TRUE(keeper.WaitFor("write"));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  std::vector<PluginCall> released = keeper.Calls("released");
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].Number("result"), 0);
  EXPECT_EQ(core.Stdout().find("leaked"), std::string::npos) << core.Stdout();
}

// alloc makes the memory resident (what the core's memory watch measures).
TEST_F(TestPluginWithCore, AllocatedMemoryIsResidentUntilFreed) {
  TestPlugin plugin = install.AddTestPlugin("hog.so",
                                            "id 0x00100000\n"
                                            "on open alloc 64\n"
                                            "on close free-memory\n");
  CoreProcess core(install);
  ASSERT_TRUE(plugin.WaitFor("allocated"));
  EXPECT_GE(std::stol(StatusField(core.Pid(), "VmRSS:")), 64 * 1024);  // kB
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  EXPECT_EQ(plugin.Calls("freed-memory").size(), 1u);
}

// The core started through an intermediate parent of another user sees that
// user as its parent's, and its exit status comes back through the parent.
TEST_F(TestPluginWithCore, IntermediateParentLendsItsUserAndRelaysTheExit) {
  const struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  SpawnOptions options;
  options.parentUid = static_cast<int>(nobody->pw_uid);
  CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  std::string parent = StatusField(core.Pid(), "PPid:");
  ASSERT_FALSE(parent.empty());
  EXPECT_EQ(StatusField(std::stoi(parent), "Uid:"), std::to_string(nobody->pw_uid));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
}

}  // namespace
}  // namespace dvrtest
