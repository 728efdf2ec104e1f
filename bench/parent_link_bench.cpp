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
//   s.rtt.p50/p99.asio 64-byte packet -> IOCTL -> echo raised for the parent
//                      -> back at the parent, µs; meant for `taskset -c 0`
//                      (rows then end in ".1cpu")
// Both ends live in one process here, the floor forks: a switch between
// threads is a little cheaper than between processes, so these ratios lean
// slightly in the core's favour.
#include "bench/bench_support.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <semaphore>

#include "ipc/ipc.h"

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
// until its write has completed on the I/O thread, which may be just after
// the parent has received it: so the raiser stays one packet below the limit.
// A pipeline of 8 MiB is still far deeper than the socket's buffer.
uint32_t InFlightLimit(uint32_t size) {
  return std::min<uint32_t>(kMaxInFlight, static_cast<uint32_t>(kOutgoingLimit / size) - 1);
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
class LinkedCore {
 public:
  LinkedCore() : core_(std::make_unique<BenchCore>(PluginSetup("parent-link", {"0006.so"}))) {
    packets_ = core_->PluginSymbol<unsigned long>(0, "BenchIpcPackets");
    Check(core_->PluginCount() == 1 && packets_ != nullptr, "plugin not loaded");
    int ends[2];
    CheckSys(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
    parent_ = std::make_unique<UniqueFd>(ends[0]);
    timeval limit{10, 0};
    setsockopt(ends[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(ends[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    core_->StartParentLink(ends[1]);  // the core owns that end from here
  }
  int parent() const { return parent_->get(); }
  unsigned long PluginPackets() const { return __atomic_load_n(packets_, __ATOMIC_ACQUIRE); }

 private:
  // Declared before the core, so that the core (and its I/O thread) goes
  // first and never sees the link closed.
  std::unique_ptr<UniqueFd> parent_;
  std::unique_ptr<BenchCore> core_;
  unsigned long* packets_ = nullptr;
};

void ParentLinkDown(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  const uint32_t count = PacketCount(size);
  Guarded(state, [&] {
    for (auto _ : state) {
      LinkedCore link;
      std::vector<uint8_t> buffer(kIpcMaxPacket);
      const long long start = NowNs();
      for (uint32_t i = 0; i < count; i++) {
        FillPacket(buffer.data(), size, kTarget | (i + 1 == count ? kEchoBit : 0), i);
        CheckSys(send(link.parent(), buffer.data(), size, 0) == static_cast<ssize_t>(size), "send");
      }
      ssize_t received = recv(link.parent(), buffer.data(), buffer.size(), 0);
      const long long end = NowNs();
      Check(GoodPacket(buffer.data(), received, size, count - 1), "acknowledgement missing");
      Check(link.PluginPackets() == count, "packets lost");
      state.SetIterationTime(static_cast<double>(end - start) / 1e9);
      SetRow(state, std::string("s.down.") + SizeName(size) + ".asio",
             static_cast<double>(end - start) / count, "ns/pkt");
    }
  });
}

void ParentLinkUp(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  const uint32_t count = PacketCount(size);
  Guarded(state, [&] {
    for (auto _ : state) {
      LinkedCore link;
      std::counting_semaphore<> slots(InFlightLimit(size));
      std::binary_semaphore go(0);
      std::atomic<uint32_t> refused{0};
      std::thread raiser([&] {
        go.acquire();
        for (uint32_t i = 0; i < count; i++) {
          slots.acquire();
          auto* packet = static_cast<uint8_t*>(std::malloc(size));
          if (packet == nullptr) {
            refused++;
            continue;
          }
          FillPacket(packet, size, kTarget, i);
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
          if (out.result != EVENT_OK) refused++;
        }
      });
      std::vector<uint8_t> buffer(kIpcMaxPacket);
      uint32_t good = 0;
      const long long start = NowNs();
      go.release();
      for (uint32_t i = 0; i < count; i++) {
        ssize_t received = recv(link.parent(), buffer.data(), buffer.size(), 0);
        if (received <= 0) {  // timed out: let the raiser finish
          slots.release(count);
          break;
        }
        if (GoodPacket(buffer.data(), received, size, i)) good++;
        slots.release();
      }
      const long long end = NowNs();
      raiser.join();
      Check(refused == 0, "packets refused");
      Check(good == count, "packets lost or out of order");
      state.SetIterationTime(static_cast<double>(end - start) / 1e9);
      SetRow(state, std::string("s.up.") + SizeName(size) + ".asio",
             static_cast<double>(end - start) / count, "ns/pkt");
    }
  });
}

void ParentLinkRoundTrip(benchmark::State& state) {
  const std::string& placement = PlacementSuffix();
  Guarded(state, [&] {
    for (auto _ : state) {
      LinkedCore link;
      std::vector<uint8_t> buffer(kIpcMaxPacket);
      std::vector<double> rttNs(kPingCount);
      for (uint32_t i = 0; i < kPingCount; i++) {
        FillPacket(buffer.data(), 64, kTarget | kEchoBit, i);
        const long long start = NowNs();
        CheckSys(send(link.parent(), buffer.data(), 64, 0) == 64, "send");
        ssize_t received = recv(link.parent(), buffer.data(), buffer.size(), 0);
        rttNs[i] = static_cast<double>(NowNs() - start);
        Check(GoodPacket(buffer.data(), received, 64, i), "echo missing");
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
BENCHMARK(ParentLinkRoundTrip)
    ->Iterations(1)
    ->Repetitions(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace bench
