// Packets for the parent, in-process: a core object on one end of a real
// socket pair, its I/O service run by a thread of the test. Ownership of every
// buffer raised with EVENT_TO_PARENT passes to the core, which must free it in
// every case: sent, refused, never run, never sent. LeakSanitizer checks that
// in the sanitizer builds.
#include "core/dvrcore.h"

#include <boost/asio/post.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <string>

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

TEST_F(OutgoingPackets, ParentThatNeverReadsDoesNotStopTheCore) {
  StartIoThread();
  std::string big(4096, 'p');
  for (int i = 0; i < 2000; i++) ASSERT_EQ(RaisePacket(big), EVENT_OK);
  // The socket's buffer is full long before 8 MB: packets wait in the queue.
  std::promise<size_t> waiting;
  boost::asio::post(core.ioService, [&] { waiting.set_value(core.outgoingPackets.size()); });
  EXPECT_GT(waiting.get_future().get(), 0u);
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
