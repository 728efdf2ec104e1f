// Packets for the parent, in-process: a core object on one end of a real
// socket pair, its I/O service run by a thread of the test. Ownership of every
// buffer raised with EVENT_TO_PARENT passes to the core, which must free it in
// every case: sent, refused, never run, never sent. LeakSanitizer checks that
// in the sanitizer builds.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

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
    ASSERT_TRUE(link.Adopt(fds[1]));
  }
  void TearDown() override {
    parts.ioService.stop();
    if (ioThread.joinable()) ioThread.join();
    link.DropUnsent();  // as the stop steps do
    if (parent >= 0) close(parent);
    FakeCoreTest::TearDown();
  }
  void StartIoThread() {
    link.StartReceive();
    ioThread = std::thread([this] { parts.ioService.run(); });
  }
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
  StartIoThread();
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
