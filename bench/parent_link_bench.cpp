// The parent link over a real socketpair(AF_UNIX, SOCK_SEQPACKET): this
// thread plays the parent daemon, the core runs in-process with its I/O
// thread and one plugin (ID 0x00060000) that the packets address; the
// workloads of floor_seqpacket's "asio" variant.
//
// Rows (SIZE: 64B, 1KiB, 64KiB):
//   s.down.SIZE.asio   parent -> plugin IOCTL, ns per packet; the plugin
//                      echoes the last packet, which ends the clock
//   s.up.SIZE.asio     packets raised for the parent (EVENT_TO_PARENT) from a
//                      thread of their own, ns per packet at the parent; at
//                      most 1024 in flight, as in the floor, but never more
//                      than the core holds for the parent (InFlightLimit)
//   sc.down.SIZE,      system calls per packet of the core's threads: the
//   sc.up.SIZE         I/O thread, and up also the raiser's calls into the
//                      core (ParentLinkSyscalls)
//   s.rtt.p50/p99.asio 64-byte packet -> IOCTL -> echo raised for the parent
//                      -> back at the parent, µs; meant for `taskset -c 0`
//                      (rows then end in ".1cpu")
// ParentLinkOnce serves `bench --instr-down SIZE N` and `--instr-up SIZE N`
// (rows i.s.down.SIZE, i.s.up.SIZE): N packets in either direction, the
// I/O thread held until all of them are sent or raised (see
// SendDownCounted). The socket buffers must hold 2N packets: 8 MiB with
// net.core.wmem_max at 4 MiB.
//
// Both ends live in one process here, the floor forks: a switch between
// threads is a little cheaper than between processes, so these ratios lean
// slightly in the core's favour.
#include "bench/bench_support.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <semaphore>

#include <boost/asio/post.hpp>

#include "ipc/ipc.h"
#include "ipc/testing.h"

namespace bench {

namespace {

constexpr uint32_t kPluginId = 0x00060000u;
constexpr uint32_t kTarget = 0x00600000u;  // selects kPluginId
constexpr uint32_t kEchoBit = 0x1u;        // bench_plugin: answer this packet
constexpr uint32_t kPacketType = 9;        // a plugin packet
constexpr uint32_t kPingCount = 10000;     // as floor_seqpacket
constexpr uint32_t kMaxInFlight = 1024;    // as floor_seqpacket

// Packets the raiser of ParentLinkUp may have ahead of the parent. The core
// refuses packets for the parent beyond kOutgoingLimit bytes (8 MiB: 128
// packets of 64 KiB, far fewer than the floor's 1024), and it counts a packet
// until the write that sends it has returned on the I/O thread, which may be
// just after the parent has received it: so the raiser stays one batch
// below the limit. A pipeline of 8 MiB is still far deeper than the
// socket's buffer.
uint32_t InFlightLimit(uint32_t size) {
  return std::min<uint32_t>(kMaxInFlight,
                            static_cast<uint32_t>((kOutgoingLimit - kSendBatchBytes) / size));
}

const char* SizeName(uint32_t size) { return size == 64 ? "64B" : size == 1024 ? "1KiB" : "64KiB"; }
uint32_t PacketCount(uint32_t size) { return size == 65536 ? 6000 : 60000; }

void FillPacket(uint8_t* packet, uint32_t size, uint32_t target, uint32_t seq) {
  IpcPacketHeader header{size, target, kPacketType, seq};
  std::memcpy(packet, &header, sizeof header);
}

bool GoodPacket(const uint8_t* packet, ssize_t received, uint32_t size, uint32_t seq) {
  if (received != static_cast<ssize_t>(size)) return false;
  IpcPacketHeader header;
  std::memcpy(&header, packet, sizeof header);
  return header.length == size && header.word3 == seq;
}

// The parent's end of the link and the core with the plugin, its I/O thread
// running. A broken run times out instead of hanging.
//
// `counted` prepares a counted run (see SendDownCounted): both ends get a
// send buffer of 8 MiB (as far as net.core.wmem_max allows), and the I/O
// thread's first handler, posted before the thread starts, holds it until
// ReleaseIoThread.
class LinkedCore {
 public:
  explicit LinkedCore(bool counted = false)
      : core_(std::make_unique<BenchCore>(PluginSetup("parent-link", {"0006.so"}))) {
    packets_ = core_->PluginSymbol<unsigned long>(0, "BenchIpcPackets");
    Check(core_->PluginCount() == 1 && packets_ != nullptr, "plugin not loaded");
    int ends[2];
    CheckSys(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
    parent_ = std::make_unique<UniqueFd>(ends[0]);
    timeval limit{10, 0};
    setsockopt(ends[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(ends[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (counted) {
      const int bytes = static_cast<int>(kOutgoingLimit / 2);  // the kernel doubles it
      for (int end : ends) setsockopt(end, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
      held_ = true;
      boost::asio::post(ioService(), [this] {
        entered_.release();
        WaitReleased();
      });
    }
    core_->StartParentLink(ends[1]);  // the core owns that end from here
    if (counted) WaitHeld();
  }
  ~LinkedCore() {
    ReleaseIoThread();
    core_.reset();  // and its I/O thread, before the parent's end closes
  }
  LinkedCore(const LinkedCore&) = delete;
  LinkedCore& operator=(const LinkedCore&) = delete;

  int parent() const { return parent_->get(); }
  // The parent's packet buffer, for one packet of any size.
  uint8_t* buffer() { return buffer_.data(); }
  unsigned long PluginPackets() const { return __atomic_load_n(packets_, __ATOMIC_ACQUIRE); }
  size_t QueuedForParent() { return ParentLinkTesting::QueuedBytes(core_->parts().parentLink); }
  void ReleaseIoThread() {
    if (held_) released_.release();
    held_ = false;
  }
  // Waits until the core has written every packet it accepted for the
  // parent, and its I/O thread has left the handler that wrote the last, so
  // that nothing of theirs overlaps what this thread does next (the heap's
  // state would depend on the order). Left out of the count (see WaitHeld).
  __attribute__((noinline)) void WaitWritten() {
    const long long deadline = NowNs() + 10000000000LL;
    while (QueuedForParent() != 0) {
      Check(NowNs() < deadline, "packets for the parent not written: socket buffer too small?");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    RunOnIoThread([] {});
  }
  // Runs `work` on the I/O thread and waits for it to end there.
  void RunOnIoThread(const std::function<void()>& work) {
    std::binary_semaphore done(0);
    boost::asio::post(ioService(), [&] {
      work();
      done.release();
    });
    done.acquire();
  }

 private:
  boost::asio::io_service& ioService() { return core_->parts().ioService; }
  // The waits of a counted run's threads spin for as long as the other
  // thread takes: not inlined, and left out of the count by name (run.sh).
  __attribute__((noinline)) void WaitHeld() { entered_.acquire(); }
  __attribute__((noinline)) void WaitReleased() { released_.acquire(); }

  std::unique_ptr<UniqueFd> parent_;
  std::unique_ptr<BenchCore> core_;
  unsigned long* packets_ = nullptr;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kIpcMaxPacket);
  bool held_ = false;
  std::binary_semaphore entered_{0}, released_{0};
};

// Sends `count` packets of `size` bytes to the plugin, the last asking for an
// echo.
void SendAll(LinkedCore& link, uint32_t size, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    FillPacket(link.buffer(), size, kTarget | (i + 1 == count ? kEchoBit : 0), i);
    CheckSys(send(link.parent(), link.buffer(), size, 0) == static_cast<ssize_t>(size), "send");
  }
}

// Waits for the echo of SendAll's last packet and checks that the plugin got
// every packet.
void AwaitEcho(LinkedCore& link, uint32_t size, uint32_t count) {
  ssize_t received = recv(link.parent(), link.buffer(), kIpcMaxPacket, 0);
  Check(GoodPacket(link.buffer(), received, size, count - 1), "acknowledgement missing");
  Check(link.PluginPackets() == count, "packets lost");
}

// Returns ns from the first packet sent to the echo of the last.
long long SendDown(LinkedCore& link, uint32_t size, uint32_t count) {
  const long long start = NowNs();
  SendAll(link, size, count);
  AwaitEcho(link, size, count);
  return NowNs() - start;
}

// Raises one packet of `size` bytes for the parent, as the plugin would: a
// malloc'd buffer that passes to the core. False when it was refused.
bool RaiseToParent(uint32_t size, uint32_t seq) {
  auto* packet = static_cast<uint8_t*>(std::malloc(size));
  if (packet == nullptr) return false;
  FillPacket(packet, size, kTarget, seq);
  _EventParmsIn event;
  std::memset(&event, 0, sizeof event);
  event.size = sizeof event;
  event.version = 1;
  event.dataLength = size;
  event.data = packet;  // passes to the core
  event.sourceId = kPluginId;
  event.eventType = EVENT_TO_PARENT;
  _EventParmsOut out{sizeof out, 1, EVENT_REFUSED};
  FlatPluginEvent(&event, &out);
  return out.result == EVENT_OK;
}

// Receives `count` packets of `size` bytes at the parent's end; returns how
// many arrived whole and in order. Stops early when a receive times out.
// Gives the raiser its slots back `step` at a time: one by one, the parent
// paid a futex wake-up for nearly every packet, since the raiser is always
// the whole window ahead, and that cost is the harness's, not the core's.
// With `step` below the window the raiser always has the next packet out
// before the parent waits for it.
uint32_t ReceiveAtParent(LinkedCore& link, uint32_t size, uint32_t count,
                         std::counting_semaphore<>* slots = nullptr, uint32_t step = 1) {
  uint32_t good = 0;
  for (uint32_t i = 0; i < count; i++) {
    ssize_t received = recv(link.parent(), link.buffer(), kIpcMaxPacket, 0);
    if (received <= 0) break;
    if (GoodPacket(link.buffer(), received, size, i)) good++;
    if (slots != nullptr && (i + 1) % step == 0) slots->release(step);
  }
  return good;
}

// A thread of its own raises `count` packets of `size` bytes for the parent,
// at most InFlightLimit(size) ahead of it, while this thread receives them.
// Returns ns from the start of raising to the last packet's arrival. With
// `raiserCalls`, the raiser also counts its system calls into it, but for
// those it makes waiting for room in its window, which are the harness's.
long long RaiseUp(LinkedCore& link, uint32_t size, uint32_t count,
                  uint64_t* raiserCalls = nullptr) {
  const uint32_t window = InFlightLimit(size);
  std::counting_semaphore<> slots(window);
  std::binary_semaphore go(0);
  std::atomic<uint32_t> refused{0};
  std::string error;
  std::thread raiser([&] {
    try {
      std::optional<SyscallCounter> calls;
      if (raiserCalls != nullptr) calls.emplace();
      uint64_t waiting = 0;
      go.acquire();
      for (uint32_t i = 0; i < count; i++) {
        if (!slots.try_acquire()) {
          const uint64_t before = calls ? calls->Count() : 0;
          slots.acquire();
          if (calls) waiting += calls->Count() - before;  // the futex calls and the second read
        }
        if (!RaiseToParent(size, i)) refused++;
      }
      if (calls) *raiserCalls = calls->Count() - 1 - waiting;  // less the read itself
    } catch (const std::exception& e) {
      error = e.what();
      refused = count;  // the parent's receive times out
    }
  });
  const long long start = NowNs();
  go.release();
  const uint32_t good = ReceiveAtParent(link, size, count, &slots, std::max(1u, window / 8));
  const long long end = NowNs();
  if (good != count) slots.release(count);  // a receive timed out: let the raiser finish
  raiser.join();
  Check(error.empty(), error);
  Check(refused == 0, "packets refused");
  Check(good == count, "packets lost or out of order");
  return end - start;
}

// The counted runs (ParentLinkOnce). Instructions per packet depend on how
// the parent, the I/O thread and the raiser interleave: how many packets one
// wake-up of the I/O thread finds, whether a receive finds data or a write
// finds the socket full. So while they are counted no thread waits for
// another: the I/O thread is held while every packet is sent into the socket
// or raised into the core's queue, then handles them all in one go, and the
// parent reads what goes up only once all of it is written.
void SendDownCounted(uint32_t size, uint32_t count) {
  LinkedCore link(true);
  SendAll(link, size, count);
  link.ReleaseIoThread();
  AwaitEcho(link, size, count);
  link.WaitWritten();  // the echo's write
}

void RaiseUpCounted(uint32_t size, uint32_t count) {
  Check(static_cast<uint64_t>(size) * count <= kOutgoingLimit,
        "more packets than the core holds for the parent");
  LinkedCore link(true);
  for (uint32_t i = 0; i < count; i++) Check(RaiseToParent(size, i), "packet refused");
  link.ReleaseIoThread();
  link.WaitWritten();
  Check(ReceiveAtParent(link, size, count) == count, "packets lost or out of order");
}

// A counter of the I/O thread's system calls, opened on it. The wake-up
// that opens it is not counted; the one of WaitWritten is, a few calls per
// run.
std::unique_ptr<SyscallCounter> CountIoThread(LinkedCore& link) {
  std::unique_ptr<SyscallCounter> counter;
  std::string error;
  link.RunOnIoThread([&] {
    try {
      counter = std::make_unique<SyscallCounter>();
    } catch (const std::exception& e) {
      error = e.what();  // the I/O thread must not end with an exception
    }
  });
  Check(counter != nullptr, error);
  return counter;
}

// The core's system calls per packet while `count` packets of `size` go
// down to the plugin, as SendDown sends them.
double SyscallsDown(uint32_t size, uint32_t count) {
  LinkedCore link;
  auto io = CountIoThread(link);
  SendAll(link, size, count);
  AwaitEcho(link, size, count);
  link.WaitWritten();  // the echo's write
  return static_cast<double>(io->Count()) / count;
}

// The same for packets raised for the parent, as RaiseUp raises them: the
// I/O thread's calls and the raiser's.
double SyscallsUp(uint32_t size, uint32_t count) {
  LinkedCore link;
  auto io = CountIoThread(link);
  uint64_t raiserCalls = 0;
  RaiseUp(link, size, count, &raiserCalls);
  link.WaitWritten();
  return static_cast<double>(io->Count() + raiserCalls) / count;
}

void ParentLinkSyscalls(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  const bool down = state.range(1) == 0;
  const uint32_t count = PacketCount(size);
  Guarded(state, [&] {
    for (auto _ : state) {
      const long long start = NowNs();
      const double calls = down ? SyscallsDown(size, count) : SyscallsUp(size, count);
      state.SetIterationTime(static_cast<double>(NowNs() - start) / 1e9);
      SetRow(state, std::string(down ? "sc.down." : "sc.up.") + SizeName(size), calls, "calls/pkt");
    }
  });
}

using OneWay = long long (*)(LinkedCore& link, uint32_t size, uint32_t count);

// One direction, a fresh link per repetition; row "<prefix><size>.asio".
void MeasureOneWay(benchmark::State& state, OneWay run, const std::string& prefix) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  const uint32_t count = PacketCount(size);
  Guarded(state, [&] {
    for (auto _ : state) {
      LinkedCore link;
      const double ns = static_cast<double>(run(link, size, count));
      state.SetIterationTime(ns / 1e9);
      SetRow(state, prefix + SizeName(size) + ".asio", ns / count, "ns/pkt");
    }
  });
}

void ParentLinkDown(benchmark::State& state) { MeasureOneWay(state, SendDown, "s.down."); }
void ParentLinkUp(benchmark::State& state) {
  auto raise = [](LinkedCore& link, uint32_t size, uint32_t count) {
    return RaiseUp(link, size, count);
  };
  MeasureOneWay(state, raise, "s.up.");
}

void ParentLinkRoundTrip(benchmark::State& state) {
  const std::string& placement = PlacementSuffix();
  Guarded(state, [&] {
    for (auto _ : state) {
      LinkedCore link;
      std::vector<double> rttNs(kPingCount);
      for (uint32_t i = 0; i < kPingCount; i++) {
        FillPacket(link.buffer(), 64, kTarget | kEchoBit, i);
        const long long start = NowNs();
        CheckSys(send(link.parent(), link.buffer(), 64, 0) == 64, "send");
        ssize_t received = recv(link.parent(), link.buffer(), kIpcMaxPacket, 0);
        rttNs[i] = static_cast<double>(NowNs() - start);
        Check(GoodPacket(link.buffer(), received, 64, i), "echo missing");
      }
      double sum = 0;
      for (double ns : rttNs) sum += ns;
      state.SetIterationTime(sum / 1e9);
      SetRow(state, "s.rtt.p50.asio" + placement, Quantile(rttNs, 0.5) / 1000, "us");
      SetRow(state, "s.rtt.p99.asio" + placement, Quantile(rttNs, 0.99) / 1000, "us");
    }
  });
}

BENCHMARK(ParentLinkDown)
    ->Arg(64)
    ->Arg(1024)
    ->Arg(65536)
    ->Iterations(1)
    ->Repetitions(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ParentLinkUp)
    ->Arg(64)
    ->Arg(1024)
    ->Arg(65536)
    ->Iterations(1)
    ->Repetitions(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ParentLinkSyscalls)
    ->ArgsProduct({{64, 1024, 65536}, {0, 1}})
    ->ArgNames({"Size", "Up"})
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ParentLinkRoundTrip)
    ->Iterations(1)
    ->Repetitions(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

void ParentLinkOnce(Direction direction, uint32_t size, uint32_t packets) {
  Check(size >= sizeof(IpcPacketHeader) && size <= kIpcMaxPacket && packets > 0,
        "packet size or count out of range");
  (direction == Direction::kDown ? SendDownCounted : RaiseUpCounted)(size, packets);
}

}  // namespace bench
