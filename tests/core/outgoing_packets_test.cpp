// Packets for the parent, in-process: a core object on one end of a real
// socket pair, its I/O service run by a thread of the test. Ownership of every
// buffer raised with EVENT_TO_PARENT passes to the core, which must free it in
// every case: sent, refused, never run, never sent. LeakSanitizer checks that
// in the sanitizer builds. Packets that wait together, in either direction,
// are put in place while the I/O thread does not run, which then takes them in
// batches.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "ipc/packets.h"
#include "ipc/testing.h"
#include "tests/core/fake_plugins.h"

namespace {

class OutgoingPackets : public FakeCoreTest {
 protected:
  void SetUp() override {
    Add(0x00010000, true, false, {0, 0, 0, 0, 0, 0, 0xFFFFFFFF});  // takes every log line
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    parent = fds[0];
    AssertOnThread(g_mainThread);
    ASSERT_TRUE(link.Adopt(fds[1]));
  }
  void TearDown() override {
    parts.ioService.stop();
    if (ioThread.joinable()) ioThread.join();
    AssertOnThread(g_mainThread);
    link.DropUnsent();  // as the stop steps do
    if (parent >= 0) close(parent);
    FakeCoreTest::TearDown();
  }
  void StartIoThread() {
    RunsOn beforeIoThread(g_ioThread);
    link.StartReceive();
    RunIoThread();
  }
  void RunIoThread() { ioThread = std::thread([this] { parts.ioService.run(); }); }
  int32_t RaisePacket(const std::string& text) {
    void* buffer = std::malloc(text.size());
    std::memcpy(buffer, text.data(), text.size());
    return Raise(MakeEvent(0x00010000, EVENT_TO_PARENT, 0, buffer, text.size()));
  }
  std::string ReceiveFromCore() {
    pollfd p{parent, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(kPatience.count() * 1000)) != 1) return "<timeout>";
    char buffer[70000];
    ssize_t n = recv(parent, buffer, sizeof buffer, 0);
    return n < 0 ? "<error>" : std::string(buffer, n);
  }
  // What the core logged (above level 0), in order, each up to its colon.
  // Stops the core: its main loop hands the log lines to the plugin.
  std::vector<std::string> LogLines() {
    Stop();
    RunLoop();
    std::vector<std::string> lines;
    for (const FakeCall& call : Calls()) lines.push_back(call.data.substr(0, call.data.find(':')));
    return lines;
  }

  ParentLink& link = parts.parentLink;
  int parent = -1;
  std::thread ioThread;
};

TEST_F(OutgoingPackets, RaisedPacketsLeaveUnchangedInOrder) {
  // A burst taken in one go; a packet above 65536 bytes leaves in two records.
  for (int i = 0; i < 100; i++) {
    EXPECT_EQ(RaisePacket(i == 70 ? std::string(65636, 'L') : "b" + std::to_string(i)), EVENT_OK);
  }
  StartIoThread();
  for (int i = 0; i < 100; i++) {
    EXPECT_EQ(ReceiveFromCore(), i == 70 ? std::string(65536, 'L') : "b" + std::to_string(i));
    if (i == 70) {
      EXPECT_EQ(ReceiveFromCore(), std::string(100, 'L'));
    }
  }
  std::vector<std::thread> raisers;
  for (int t = 0; t < 3; t++) {
    raisers.emplace_back([this, t] {
      for (int i = 0; i < 100; i++) {
        EXPECT_EQ(RaisePacket(std::to_string(t) + ":" + std::to_string(i)), EVENT_OK);
      }
    });
  }
  for (auto& r : raisers) r.join();
  int next[3] = {0, 0, 0};
  for (int n = 0; n < 300; n++) {
    std::string packet = ReceiveFromCore();
    ASSERT_TRUE(packet.size() >= 3 && packet[0] >= '0' && packet[0] <= '2') << packet;
    EXPECT_EQ(packet.substr(2), std::to_string(next[packet[0] - '0']++));
  }
}

// Records from the parent that wait together are each handled as a receive of
// their own handled them: in order, packets whole (also across records) and at
// aligned addresses, a record cut to the room the buffer has left; a stop and
// the end of the link behind them change none of that.
TEST_F(OutgoingPackets, RecordsWaitingTogetherAreHandledAsOneByOne) {
  using Bytes = std::vector<uint8_t>;
  auto packet = [](const std::string& text) {
    return MakeIpcPacket(0x00100000, 1, text.data(), text.size());  // to the plugin of SetUp
  };
  auto cat = [](Bytes a, const Bytes& b, size_t from = 0, size_t to = SIZE_MAX) {
    a.insert(a.end(), b.begin() + from, b.begin() + std::min(to, b.size()));
    return a;
  };
  const Bytes split = packet("split across three"), h = packet("0123456789abcdef");
  const std::string big(65520 - 32, 'B');  // behind 16 pending bytes, a packet("") too is cut off
  std::vector<std::pair<std::vector<Bytes>, std::vector<std::string>>> rows = {
      {{cat(packet("a"), split, 0, 20), cat({}, split, 20, 30),
        cat(cat({}, split, 30), packet("c"))},
       {"a", "split across three", "c"}},
      {{cat({}, h, 0, 16), cat(cat(cat({}, h, 16), packet(big)), packet(""))},
       {"0123456789abcdef", big}},
      {{}, {}},
      // A stop, then the end of the link, behind packets.
      {{packet("x"), MakeIpcPacket(0, kIpcTypeStop, "", 0), packet("y")}, {"x", "y"}},
  };
  for (int i = 0; i < 20; i++) rows[2].first.push_back(packet(std::to_string(i)));
  for (int i = 0; i < 20; i++) rows[2].second.push_back(std::to_string(i));
  RunsOn io(g_ioThread);  // this thread runs the I/O service below
  link.StartReceive();
  for (auto& [records, payloads] : rows) {
    const size_t before = Calls().size();
    records.push_back(packet("end"));
    payloads.push_back("end");
    for (const Bytes& r : records) {
      ASSERT_EQ(send(parent, r.data(), r.size(), MSG_DONTWAIT), ssize_t(r.size()));
    }
    if (payloads[0] == "x") close(std::exchange(parent, -1));
    RunIoThread();
    ASSERT_TRUE(WaitForCalls(before + payloads.size()));
    EXPECT_TRUE(parent >= 0 || Eventually([this] { return !link.IsOpen(); }));
    parts.ioService.stop();
    ioThread.join();
    parts.ioService.restart();
    const std::vector<FakeCall> calls = Calls();
    ASSERT_EQ(calls.size(), before + payloads.size());
    for (size_t n = 0; n < payloads.size(); n++) {
      EXPECT_EQ(calls[before + n].data.substr(kIpcHeaderBytes), payloads[n]);
      const auto address = reinterpret_cast<uintptr_t>(calls[before + n].buffer);
      EXPECT_EQ(address % alignof(std::max_align_t), 0u);
    }
  }
  // The parent asked for the stop before it closed its end: no pause.
  EXPECT_TRUE(parts.requests.StopRequested());
  EXPECT_FALSE(parts.delayStop);
}

TEST_F(OutgoingPackets, PacketsPostedToAServiceThatNeverRunsAreFreed) {
  for (int i = 0; i < 10; i++) EXPECT_EQ(RaisePacket("never sent"), EVENT_OK);
  // No I/O thread: destroying the core destroys the posted handlers.
}

TEST_F(OutgoingPackets, EmptyPacketIsRefusedEvenWithALink) {
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(Raise(MakeEvent(0x00010000, EVENT_TO_PARENT, 0, std::malloc(8), 0)), EVENT_REFUSED);
  EXPECT_EQ(ParentLinkTesting::QueuedBytes(link), 0u);
}

// A parent that stops reading: the socket fills, then the core's queue up to
// its limit, then packets are refused (and freed) until the parent has
// drained half of it. One log line each way.
TEST_F(OutgoingPackets, ParentThatStopsReadingIsRefusedUntilTheQueueDrains) {
  StartIoThread();
  const std::string big(4096, 'p');
  size_t accepted = 0;
  for (int i = 0; i < 4000; i++) accepted += RaisePacket(big) == EVENT_OK;  // 16 MB
  EXPECT_LT(accepted, 4000u);
  EXPECT_LE(ParentLinkTesting::QueuedBytes(link), kOutgoingLimit);
  for (size_t n = 0; n < accepted; n++) ASSERT_EQ(ReceiveFromCore(), big) << n;
  EXPECT_TRUE(Eventually([this] { return ParentLinkTesting::QueuedBytes(link) == 0; }));
  EXPECT_EQ(RaisePacket("after"), EVENT_OK);
  EXPECT_EQ(ReceiveFromCore(), "after");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"brevad is not reading", "brevad is reading again"}));
}

TEST_F(OutgoingPackets, LostLinkRefusesFurtherPacketsAndStops) {
  StartIoThread();
  close(parent);
  parent = -1;
  EXPECT_TRUE(Eventually([this] { return !link.IsOpen(); }));
  // The stop is requested before the link is marked closed.
  EXPECT_TRUE(parts.delayStop);
  EXPECT_TRUE(parts.requests.StopRequested());
  EXPECT_EQ(RaisePacket("too late"), EVENT_REFUSED);
}

}  // namespace
