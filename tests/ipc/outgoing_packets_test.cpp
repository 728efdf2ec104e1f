// Packets for the parent, in-process: a core object on one end of a real
// socket pair, its I/O service run by a thread of the test. Ownership of every
// buffer raised with EVENT_TO_PARENT passes to the core, which must free it in
// every case: sent, refused, never run, never sent. LeakSanitizer checks that
// in the sanitizer builds.
#include "core/dvrcore.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/events/fake_plugins.h"

namespace {

class OutgoingPackets : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    parent = fds[0];
    core.ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), fds[1]);
    core.ipcOpen = true;
  }
  void TearDown() override {
    StopIoThread();
    core.outgoingPackets.clear();  // as the stop steps do
    if (parent >= 0) close(parent);
  }
  void StartIoThread() {
    core.StartReceive();
    ioThread = std::thread([this] { core.ioService.run(); });
  }
  void StopIoThread() {
    core.ioService.stop();
    if (ioThread.joinable()) ioThread.join();
  }
  int32_t RaisePacket(const std::string& text) {
    void* buffer = std::malloc(text.size());
    std::memcpy(buffer, text.data(), text.size());
    return Raise(MakeEvent(0x00010000, EVENT_TO_PARENT, 0, buffer, text.size()));
  }
  // How many queued log events start with `text`.
  size_t QueuedLogLines(const std::string& text) {
    std::lock_guard<std::mutex> lock(core.coreMutex);
    size_t lines = 0;
    for (const _EventParmsIn& event : core.requestQueue) {
      const std::string line(static_cast<const char*>(event.data), event.dataLength);
      lines += event.eventType == EVENT_LOG && line.compare(0, text.size(), text) == 0;
    }
    return lines;
  }
  std::string ReceiveFromCore() {
    pollfd p{parent, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return "<timeout>";
    char buffer[70000];
    ssize_t n = recv(parent, buffer, sizeof buffer, 0);
    return n < 0 ? "<error>" : std::string(buffer, n);
  }

  dvrcore core{"/nonexistent/bin/dvrcore"};
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
    ASSERT_GE(packet.size(), 3u) << packet;
    int t = packet[0] - '0';
    ASSERT_GE(t, 0);
    ASSERT_LT(t, 3);
    EXPECT_EQ(packet.substr(2), std::to_string(next[t]++));
  }
}

TEST_F(OutgoingPackets, PacketsPostedToAServiceThatNeverRunsAreFreed) {
  for (int i = 0; i < 10; i++) EXPECT_EQ(RaisePacket("never sent"), EVENT_OK);
  // No I/O thread: destroying the core destroys the posted handlers.
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
  EXPECT_LE(core.outgoingBytes.load(), kOutgoingLimit);
  EXPECT_EQ(QueuedLogLines("brevad is not reading: refusing packets for it"), 1u);

  for (size_t n = 0; n < accepted; n++) ASSERT_EQ(ReceiveFromCore(), big) << n;
  for (int i = 0; i < 1000 && core.outgoingBytes.load() != 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(QueuedLogLines("brevad is reading again: accepting packets for it"), 1u);
  EXPECT_EQ(RaisePacket("after"), EVENT_OK);
  EXPECT_EQ(ReceiveFromCore(), "after");
  EXPECT_EQ(QueuedLogLines("brevad is not reading"), 1u);
}

TEST_F(OutgoingPackets, LostLinkRefusesFurtherPacketsAndStops) {
  StartIoThread();
  close(parent);
  parent = -1;
  for (int i = 0; i < 1000 && core.ipcOpen; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(core.ipcOpen);
  EXPECT_TRUE(core.delayStop);
  EXPECT_TRUE(core.stopRequested);
  EXPECT_EQ(RaisePacket("too late"), EVENT_REFUSED);
}

}  // namespace
