// The parent link with the real executable over a real socket pair: the test
// plays the parent daemon, copies of the test plugin answer packets.
#include <cstddef>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "events/events.h"
#include "ipc/packets.h"
#include "tests/support/core_process.h"
#include "tests/support/test_dir.h"

namespace dvrtest {
namespace {

constexpr int kLinkFd = 5;
// A plugin with ID 0x00060000 is addressed by target 0x00600000.
constexpr uint32_t kEchoTarget = 0x00600000;

std::vector<uint8_t> Packet(uint32_t target, uint32_t type, const std::string& payload) {
  return MakeIpcPacket(target, type, payload.data(), payload.size());
}

std::string PayloadOf(const std::vector<uint8_t>& packet) {
  return std::string(packet.begin() + kIpcHeaderBytes, packet.end());
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class ParentLink : public ::testing::Test {
 protected:
  // An echo plugin answers every packet from the parent with the packet itself.
  void InstallEcho(const std::string& extra = "") {
    echo = install.AddTestPlugin("echo.so", "id 0x00060000\non ipc echo\n" + extra);
  }
  void Start() {
    SpawnOptions options;
    options.args = {std::to_string(kLinkFd)};
    options.linkFd = kLinkFd;
    core = std::make_unique<CoreProcess>(install, options);
    ASSERT_TRUE(core->Started());
  }
  void Identify() { ASSERT_TRUE(core->SendIdentification("libbrevad.so", "4.2.1")); }
  void StartedLine() { core->WaitUntilStarted(); }
  void StopAndExpectCleanExit() {
    ASSERT_TRUE(core->SendStop());
    EXPECT_EQ(core->WaitExit(), ExitStatus::Code(0));
  }
  std::string Echoed() {
    auto packet = core->Receive();
    return packet ? PayloadOf(*packet) : std::string("<nothing>");
  }

  TestDir dir;
  CoreInstall install{dir.Path()};
  TestPlugin echo;
  std::unique_ptr<CoreProcess> core;
};

// A Write that holds the main thread is reported while it runs, naming the
// plugin and the event, and when it returns; packets from the parent reach
// other plugins meanwhile, on the I/O thread.
TEST_F(ParentLink, AWriteHoldingTheMainThreadIsReportedAndPacketsFlowMeanwhile) {
  InstallEcho();
  const std::string release = dir.Path() + "/release";
  TestPlugin slow = install.AddTestPlugin(
      "slow.so", "id 1\nwrites 1\nmask 2 0xFFFFFFFF\non write wait-file " + release + "\n");
  install.AddTestPlugin("raiser.so", "id 2\non open raise type=2\n");
  Start();
  Identify();
  StartedLine();
  ASSERT_TRUE(slow.WaitFor("write"));
  ASSERT_TRUE(core->Send(Packet(kEchoTarget, 1, "meanwhile")));
  EXPECT_EQ(Echoed(), "meanwhile");
  const std::string call = "plugin slow.so Write (event type 0x00000002 from 0x00000002) ";
  EXPECT_TRUE(core->WaitForStdout(call + "has been running on the main thread for "));
  WriteTextFile(release, "");
  StopAndExpectCleanExit();
  EXPECT_NE(core->Stdout().find("plugin slow.so Write returned after "), std::string::npos);
}

TEST_F(ParentLink, TwoPacketsInOneRecordAreHandledInOrder) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  ASSERT_TRUE(core->Send(Concat({Packet(kEchoTarget, 1, "first"), Packet(kEchoTarget, 1, "second")})));
  EXPECT_EQ(Echoed(), "first");
  EXPECT_EQ(Echoed(), "second");
  StopAndExpectCleanExit();
}

TEST_F(ParentLink, HeaderBeforeBodyIsCompletedByTheNextReceive) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  std::vector<uint8_t> packet = Packet(kEchoTarget, 1, "split body");
  ASSERT_TRUE(core->Send(std::vector<uint8_t>(packet.begin(), packet.begin() + 16)));
  ASSERT_TRUE(core->Send(std::vector<uint8_t>(packet.begin() + 16, packet.begin() + 20)));
  ASSERT_TRUE(core->Send(std::vector<uint8_t>(packet.begin() + 20, packet.end())));
  auto back = core->Receive();
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, packet);  // unchanged, header included
  StopAndExpectCleanExit();
}

TEST_F(ParentLink, PacketsBehindAStopAreStillRelayed) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  // A stop packet with a payload, then a plugin packet in the same record.
  std::vector<uint8_t> after = Packet(kEchoTarget, 1, "after stop");
  ASSERT_TRUE(core->Send(Concat({Packet(0, kIpcTypeStop, "ignored payload"), after})));
  core->WaitForStdout(dvrtest::kStoppingLine);
  EXPECT_EQ(core->WaitExit(), ExitStatus::Code(0));
  // The plugin got it; whether its answer still left before the I/O thread
  // stopped is a race the stop is free to win.
  bool relayed = false;
  for (const PluginCall& call : echo.Calls("ioctl")) {
    relayed |= call.Number("code") == 4 && call.Data() == std::string(after.begin(), after.end());
  }
  EXPECT_TRUE(relayed);
}

TEST_F(ParentLink, BareStopPacketStopsAlsoDuringTheWaitForIdentification) {
  Start();
  ASSERT_TRUE(core->Send(Packet(0, kIpcTypeStop, "")));
  core->WaitUntilStarted();
  EXPECT_EQ(core->WaitExit(), ExitStatus::Code(0));
}

TEST_F(ParentLink, IdentificationWithoutPayloadIsAPluginPacket) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  ASSERT_TRUE(core->Send(Packet(kEchoTarget, kIpcTypeIdentification, "")));
  auto back = core->Receive();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size(), kIpcHeaderBytes);
  StopAndExpectCleanExit();
}

TEST_F(ParentLink, OnlyTheFirstPluginSharingTheTargetBitsGetsThePacket) {
  TestPlugin first = install.AddTestPlugin("a.so", "id 0x00050000\non ipc echo\n");
  TestPlugin second = install.AddTestPlugin("b.so", "id 0x10050000\non ipc echo\n");
  Start();
  Identify();
  StartedLine();
  ASSERT_TRUE(core->Send(Packet(0x00500000, 1, "to five")));
  EXPECT_EQ(Echoed(), "to five");
  // A packet for nobody is dropped without a word.
  ASSERT_TRUE(core->Send(Packet(0x00700000, 1, "to nobody")));
  ASSERT_TRUE(core->Send(Packet(0x00500000, 1, "again")));
  EXPECT_EQ(Echoed(), "again");
  StopAndExpectCleanExit();
  auto packets = [](const TestPlugin& plugin) {
    int count = 0;
    for (const PluginCall& call : plugin.Calls("ioctl")) count += call.Number("code") == 4;
    return count;
  };
  EXPECT_EQ(packets(first), 2);
  EXPECT_EQ(packets(second), 0);
}

TEST_F(ParentLink, RelayedPacketRecordsAsTheCoreFillsThem) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  std::vector<uint8_t> packet = Packet(kEchoTarget | 0xABCDE, 42, "abc");
  ASSERT_TRUE(core->Send(packet));
  ASSERT_TRUE(core->Receive());
  StopAndExpectCleanExit();
  // Configuration updates reach the plugin on the main thread in no fixed
  // order with this packet: pick the relayed call by its code.
  std::vector<PluginCall> calls;
  for (const PluginCall& call : echo.Calls("ioctl")) {
    if (call.Number("code") == IOCTL_IPC_PACKET) calls.push_back(call);
  }
  ASSERT_EQ(calls.size(), 1u);
  const PluginCall& call = calls[0];
  EXPECT_EQ(call.Number("psize"), 16);
  EXPECT_EQ(call.Number("pversion"), 1);
  EXPECT_EQ(call.Number("len"), static_cast<int64_t>(packet.size()));
  EXPECT_EQ(call.Number("outcode"), 4);
  EXPECT_EQ(call.Number("outpsize"), 8);
  EXPECT_EQ(call.Number("outpversion"), 1);
  EXPECT_EQ(call.Data(), std::string(packet.begin(), packet.end()));
}

// Packets behind another in one record sit at odd offsets of the receive
// buffer; plugins get each at an address aligned as malloc aligns.
TEST_F(ParentLink, PacketsReachPluginsAtAlignedAddresses) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  ASSERT_TRUE(core->Send(Concat({Packet(kEchoTarget, 1, "a"), Packet(kEchoTarget, 1, "bb"),
                                 Packet(kEchoTarget, 1, "ccc"), Packet(kEchoTarget, 1, "ddddd")})));
  for (const char* payload : {"a", "bb", "ccc", "ddddd"}) EXPECT_EQ(Echoed(), payload);
  StopAndExpectCleanExit();
  size_t relayed = 0;
  for (const PluginCall& call : echo.Calls("ioctl")) {
    if (call.Number("code") != IOCTL_IPC_PACKET) continue;
    relayed++;
    EXPECT_EQ(call.Number("addr") % alignof(std::max_align_t), 0) << call.line;
  }
  EXPECT_EQ(relayed, 4u);
}

TEST_F(ParentLink, BadLengthsDropTheBufferAndTheCoreGoesOn) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  for (uint32_t bad : {65537u, 15u, 0u, 0xFFFFFFFFu}) {
    std::vector<uint8_t> header = Packet(kEchoTarget, 1, "");
    std::memcpy(header.data(), &bad, sizeof bad);
    // What follows the bad header in the same record is lost with it.
    ASSERT_TRUE(core->Send(Concat({header, Packet(kEchoTarget, 1, "lost")})));
    ASSERT_TRUE(core->Send(Packet(kEchoTarget, 1, "kept " + std::to_string(bad))));
    EXPECT_EQ(Echoed(), "kept " + std::to_string(bad));
  }
  EXPECT_TRUE(core->WaitForStdout("bad ipc packet length"));
  StopAndExpectCleanExit();
}

TEST_F(ParentLink, LargestPacketsCrossInBothDirections) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  std::string payload(kIpcMaxPacket - kIpcHeaderBytes, 'x');
  for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<char>('a' + i % 26);
  std::vector<uint8_t> packet = Packet(kEchoTarget, 1, payload);
  ASSERT_EQ(packet.size(), 65536u);
  ASSERT_TRUE(core->Send(packet));
  auto back = core->Receive();
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, packet);
  StopAndExpectCleanExit();
}

TEST_F(ParentLink, SlowPluginDelaysButLosesNothing) {
  echo = install.AddTestPlugin("echo.so", "id 0x00060000\non ipc sleep 200\non ipc echo\n");
  Start();
  Identify();
  StartedLine();
  // More than one batch piles up behind the sleeping plugin.
  for (int i = 0; i < 10; i++) ASSERT_TRUE(core->Send(Packet(kEchoTarget, 1, "p" + std::to_string(i))));
  for (int i = 0; i < 10; i++) EXPECT_EQ(Echoed(), "p" + std::to_string(i));
  StopAndExpectCleanExit();
}

TEST_F(ParentLink, PacketsFromEachThreadArriveInTheOrderRaised) {
  // A worker raises 50 packets while the main loop's writes raise 50 more.
  install.AddTestPlugin("up.so",
                        "id 0x00070000\nworker 1\nwrites 1\nmask 2 0xFFFFFFFF\n"
                        "on worker raise type=0x2000 count=50 bytes=w{i}\n"
                        "on write echo\n");
  install.AddTestPlugin("trigger.so",
                        "id 0x00080000\non open raise type=2 flags=1 count=50 bytes=m{i}\n");
  Start();
  Identify();
  std::vector<std::string> worker, loop;
  while (worker.size() + loop.size() < 100) {
    auto packet = core->Receive();
    ASSERT_TRUE(packet);
    std::string text(packet->begin(), packet->end());
    (text[0] == 'w' ? worker : loop).push_back(text);
  }
  for (int i = 0; i < 50; i++) {
    EXPECT_EQ(worker[i], "w" + std::to_string(i));
    EXPECT_EQ(loop[i], "m" + std::to_string(i));
  }
  StopAndExpectCleanExit();
}

// A packet accepted while the plugin closes (a last status) reaches a parent
// that reads, though the I/O thread stops soon after. A parent that no longer
// reads holds up the stop for a bounded time only; the core says how many
// packets it dropped.
TEST_F(ParentLink, PacketsRaisedInCloseReachAParentThatReads) {
  TestPlugin bye = install.AddTestPlugin(
      "bye.so", "id 0x00070000\non close raise type=0x2000 count=20 bytes=bye{i}\n");
  for (int run = 1; run <= 8; run++) {
    Start();
    Identify();
    StartedLine();
    ASSERT_TRUE(core->SendStop());
    for (int i = 0; i < 20; i++) {
      auto packet = core->Receive();
      ASSERT_TRUE(packet) << "run " << run << ", packet " << i;
      EXPECT_EQ(std::string(packet->begin(), packet->end()), "bye" + std::to_string(i));
    }
    EXPECT_EQ(core->WaitExit(), ExitStatus::Code(0));
    ASSERT_EQ(bye.Calls("raised").size(), 20u * run);
  }
  for (const PluginCall& raised : bye.Calls("raised")) EXPECT_EQ(raised.Number("result"), EVENT_OK);

  bye = install.AddTestPlugin("bye.so", "id 0x00070000\non close raise type=0x2000 count=40 bytes=" +
                                            std::string(60000, 'x') + "\n");
  Start();
  Identify();
  StartedLine();
  ASSERT_TRUE(core->SendStop());
  EXPECT_EQ(core->WaitExit(), ExitStatus::Code(0));
  EXPECT_TRUE(std::regex_search(core->Stdout(), std::regex("[0-9]+ packets for brevad dropped unsent")))
      << core->Stdout();
}

TEST_F(ParentLink, IdentificationPayloads) {
  struct Case {
    std::string payload;
    std::string library;  // expected <Library .../> element, or empty for none
  };
  const Case cases[] = {
      {std::string("lib.so\0" "1.2", 10), "<Library Name=\"brevad\" Filename=\"lib.so\" Version=\"1.2\" />"},
      {std::string("lib.so\0" "1.2\0", 11), "<Library Name=\"brevad\" Filename=\"lib.so\" Version=\"1.2\" />"},
      {std::string("lib.so"), ""},  // version stays empty: no element
      {std::string("\0" "1.2", 4), "<Library Name=\"brevad\" Filename=\"\" Version=\"1.2\" />"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    TestDir caseDir;
    CoreInstall caseInstall(caseDir.Path());
    SpawnOptions options;
    options.args = {std::to_string(kLinkFd)};
    options.linkFd = kLinkFd;
    CoreProcess caseCore(caseInstall, options);
    ASSERT_TRUE(caseCore.Send(Packet(0, kIpcTypeIdentification, c.payload)));
    caseCore.WaitUntilStarted();
    ASSERT_TRUE(caseCore.SendStop());
    EXPECT_EQ(caseCore.WaitExit(), ExitStatus::Code(0));
    std::string report = ReadTextFile(caseInstall.WorkDir() + "/plugins.xml");
    if (c.library.empty()) {
      EXPECT_EQ(report.find("<Library"), std::string::npos) << report;
    } else {
      EXPECT_NE(report.find(c.library), std::string::npos) << report;
    }
  }
}

TEST_F(ParentLink, FloodOfRandomBytesNeverStopsTheCore) {
  InstallEcho();
  Start();
  Identify();
  StartedLine();
  uint32_t seed = 12345;
  for (int i = 0; i < 300; i++) {
    std::vector<uint8_t> noise(1 + (seed % 700));
    for (uint8_t& b : noise) {
      seed = seed * 1103515245 + 12345;
      b = static_cast<uint8_t>(seed >> 16);
      if (b == kIpcTypeStop) b = 9;  // no type word can read 8: never a stop
    }
    ASSERT_TRUE(core->Send(noise));
  }
  // Zeros complete whatever packet is pending, and a zero length then drops
  // the buffer: after at most one packet's worth the stream is in step again.
  for (int i = 0; i < 5; i++) ASSERT_TRUE(core->Send(std::vector<uint8_t>(16384, 0)));
  ASSERT_TRUE(core->Send(Packet(kEchoTarget, 1, "alive")));
  bool alive = false;
  while (auto packet = core->Receive()) {
    if (PayloadOf(*packet) == "alive") {
      alive = true;
      break;
    }
  }
  EXPECT_TRUE(alive);
  StopAndExpectCleanExit();
}

}  // namespace
}  // namespace dvrtest
