// Packets for the parent, in-process: a core object on one end of a real
// socket pair, its I/O service run by a thread of the test. Ownership of every
// buffer raised with EVENT_TO_PARENT passes to the core, which must free it in
// every case: sent, refused, never run, never sent. LeakSanitizer checks that
// in the sanitizer builds. Packets that wait together, in either direction,
// are put in place before the I/O thread runs, so that it takes them in
// batches.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

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
    RunIoThread();
  }
  void RunIoThread() { ioThread = std::thread([this] { parts.ioService.run(); }); }
  void HoldIoThread() {
    parts.ioService.stop();
    ioThread.join();
    parts.ioService.restart();
  }
  void SendRecord(const std::vector<uint8_t>& record) {
    ASSERT_EQ(send(parent, record.data(), record.size(), MSG_DONTWAIT),
              static_cast<ssize_t>(record.size()));
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

// A burst taken in one go leaves one record per packet, in order; a packet
// longer than 65536 bytes leaves in records of at most that, as always.
TEST_F(OutgoingPackets, BurstLeavesOneRecordPerPacketInOrder) {
  for (int i = 0; i < 150; i++) {
    EXPECT_EQ(RaisePacket(i == 70 ? std::string(65636, 'L') : "u" + std::to_string(i)), EVENT_OK);
  }
  StartIoThread();
  for (int i = 0; i < 150; i++) {
    if (i == 70) {
      EXPECT_EQ(ReceiveFromCore(), std::string(65536, 'L'));
      EXPECT_EQ(ReceiveFromCore(), std::string(100, 'L'));
    } else {
      EXPECT_EQ(ReceiveFromCore(), "u" + std::to_string(i));
    }
  }
  EXPECT_TRUE(Eventually([this] { return ParentLinkTesting::QueuedBytes(link) == 0; }));
}

// Records from the parent that wait together are each handled as a receive
// of their own would handle them: in order, packets whole (also across
// records) and at aligned addresses, a record cut to the room the buffer has.
TEST_F(OutgoingPackets, RecordsWaitingTogetherAreHandledAsOneByOne) {
  constexpr uint32_t kTarget = 0x00100000;  // the plugin of SetUp
  auto packet = [](const std::string& payload) {
    return MakeIpcPacket(kTarget, 1, payload.data(), payload.size());
  };
  auto part = [](const std::vector<uint8_t>& whole, size_t from, size_t to) {
    return std::vector<uint8_t>(whole.begin() + from, whole.begin() + std::min(to, whole.size()));
  };
  auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<uint8_t> split = packet("split across three records");
  const std::string big(65520 - 32, 'B'), full(65520, 'F');
  struct Row {
    std::vector<std::vector<uint8_t>> records;
    std::vector<std::string> payloads;  // relayed, in order
  } rows[] = {
      {{}, {}},  // below: 20 records, more than one batch
      {{join(packet("a"), part(split, 0, 20)), part(split, 20, 30),
        join(part(split, 30, 99), packet("c"))},
       {"a", "split across three records", "c"}},
      // 16 bytes pending leave 65520 bytes of room: the 16-byte packet at
      // the end of the next record does not fit and is lost.
      {{part(packet(std::string(16, 'h')), 0, 16),
        join(join(std::vector<uint8_t>(16, 'h'), packet(big)), packet(""))},
       {std::string(16, 'h'), big}},
      // Longer than any packet: the record ends at 65536 bytes.
      {{join(packet(full), packet("tail"))}, {full}},
  };
  for (int i = 0; i < 20; i++) {
    rows[0].records.push_back(packet("r" + std::to_string(i)));
    rows[0].payloads.push_back("r" + std::to_string(i));
  }
  link.StartReceive();
  for (Row& row : rows) {
    const size_t before = Calls().size();
    for (const auto& record : row.records) SendRecord(record);
    SendRecord(packet("end"));
    row.payloads.push_back("end");
    RunIoThread();
    ASSERT_TRUE(WaitForCalls(before + row.payloads.size()));
    HoldIoThread();
    const std::vector<FakeCall> calls = Calls();
    ASSERT_EQ(calls.size(), before + row.payloads.size());
    for (size_t n = 0; n < row.payloads.size(); n++) {
      const FakeCall& call = calls[before + n];
      EXPECT_EQ(call.data.substr(kIpcHeaderBytes), row.payloads[n]);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(call.buffer) % alignof(std::max_align_t), 0u) << n;
    }
  }
  // A stop, and then the parent's end closing, behind packets: each packet
  // is still relayed, in order, before the link is lost.
  const size_t before = Calls().size();
  for (const auto& record : {packet("x"), MakeIpcPacket(0, kIpcTypeStop, "", 0), packet("y")}) {
    SendRecord(record);
  }
  close(parent);
  parent = -1;
  RunIoThread();
  EXPECT_TRUE(Eventually([this] { return !link.IsOpen(); }));
  const std::vector<FakeCall> calls = Calls();
  ASSERT_EQ(calls.size(), before + 2);
  EXPECT_EQ(calls[before].data.substr(kIpcHeaderBytes), "x");
  EXPECT_EQ(calls[before + 1].data.substr(kIpcHeaderBytes), "y");
  EXPECT_TRUE(parts.requests.StopRequested());
  EXPECT_TRUE(parts.delayStop);
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
