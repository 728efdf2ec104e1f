// Immediate events: raise (FlatPluginEvent with source 0) -> inside the
// reader plugin's Read on the event thread the core starts for it; the
// workload of floor_thread's "new" variant (one reader plugin, 64-byte
// payload). Meant to run under `taskset -c 0` (rows then end in ".1cpu").
//
// Rows:
//   t.new.lat.p50 / p99  one event at a time (the next is raised once the
//                        previous Read has been entered), 20000 events, µs
//   t.new.burst          5000 events raised back to back, ns per event
//                        until every Read has run
//
// The raise time travels in the payload; the plugin's Read calls OnRead
// first thing, which takes the time and counts the event. ImmediateOnce
// serves `bench --instr-immediate N`: the latency run with N events (row
// i.t.new.event), each event thread ended before the next event.
#include "bench/bench_support.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bench {

namespace {

constexpr uint32_t kLatencyEvents = 20000;  // as floor_thread
constexpr uint32_t kBurstEvents = 5000;

struct Stamp {
  uint32_t index;
  uint32_t pad;
  long long raisedNs;
};

std::vector<double> g_latencyNs;   // one slot per event, each written by one event thread
std::atomic<uint32_t> g_reads{0};  // Reads entered

// The benchmark's hook in the plugin's Read. Whether its notify finds the
// raiser waiting yet depends on timing: the instruction count leaves it out
// by name (run.sh), as the waits below.
void OnRead(const void* data, uint32_t dataLength) {
  const long long now = NowNs();
  if (data == nullptr || dataLength < sizeof(Stamp)) return;
  Stamp stamp;
  std::memcpy(&stamp, data, sizeof stamp);
  if (stamp.index < g_latencyNs.size())
    g_latencyNs[stamp.index] = static_cast<double>(now - stamp.raisedNs);
  g_reads.fetch_add(1, std::memory_order_release);
  g_reads.notify_all();
}

// Not inlined: how long it spins depends on timing, and the instruction
// count leaves out every function of the benchmarks named Wait* (run.sh).
__attribute__((noinline)) void WaitReads(uint32_t count) {
  uint32_t seen;
  while ((seen = g_reads.load(std::memory_order_acquire)) < count) g_reads.wait(seen);
}

// Raises immediate events from one prepared record.
class Raiser {
 public:
  Raiser() {
    std::memset(payload_, 0x5A, sizeof payload_);
    std::memset(&event_, 0, sizeof event_);
    event_.size = sizeof event_;
    event_.version = 1;
    event_.dataLength = sizeof payload_;
    event_.data = payload_;
    event_.eventType = EVENT_CLASS2;
    event_.eventFlags = EVENT_FLAG_XML;
  }
  // Returns false when the core did not accept the event.
  bool Raise(uint32_t index) {
    Stamp stamp{index, 0, NowNs()};
    std::memcpy(payload_, &stamp, sizeof stamp);
    _EventParmsOut out{sizeof out, 1, EVENT_REFUSED};
    FlatPluginEvent(&event_, &out);
    return out.result == EVENT_OK;
  }

 private:
  alignas(64) uint8_t payload_[64];
  _EventParmsIn event_;
};

void ResetReads(uint32_t events) {
  g_latencyNs.assign(events, -1.0);
  g_reads.store(0);
}

bool AllRead() {
  for (double ns : g_latencyNs) {
    if (ns < 0) return false;
  }
  return true;
}

// A core with the reader plugin loaded, its Read reporting to OnRead.
class ReaderCore {
 public:
  ReaderCore() : core_(PluginSetup("immediate", {"0001r.so"})) {
    Check(core_.PluginCount() == 1, "plugin not loaded");
    auto* hook = core_.PluginSymbol<void (*)(const void*, uint32_t)>(0, "BenchReadHook");
    Check(hook != nullptr, "plugin lacks BenchReadHook");
    __atomic_store_n(hook, &OnRead, __ATOMIC_RELEASE);
  }

 private:
  BenchCore core_;
};

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 8, "Threads:") == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

// Waits until this process has no more than `threads` threads: every event
// thread has ended. Not inlined, and left out of the count (see WaitReads).
__attribute__((noinline)) void WaitThreadsEnded(int threads) {
  while (ThreadCount() > threads) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// Raises `events` events one at a time, the next once the previous Read has
// been entered; the latencies are left in g_latencyNs. `serial` waits also
// until each event thread has ended, for a count that does not depend on how
// two event threads overlap (thread stacks and malloc arenas in use).
void RaiseOneAtATime(Raiser& raiser, uint32_t events, bool serial = false) {
  const int threads = ThreadCount();
  ResetReads(events);
  bool accepted = true;
  for (uint32_t i = 0; i < events && accepted; i++) {
    accepted = raiser.Raise(i);
    if (accepted) WaitReads(i + 1);
    if (serial) WaitThreadsEnded(threads);
  }
  Check(accepted && AllRead(), "latency run: an event was not read");
}

void ImmediateEvents(benchmark::State& state) {
  const std::string& placement = PlacementSuffix();
  Guarded(state, [&] {
    ReaderCore core;
    Raiser raiser;

    for (auto _ : state) {
      RaiseOneAtATime(raiser, kLatencyEvents);
      const double p50 = Quantile(g_latencyNs, 0.5), p99 = Quantile(g_latencyNs, 0.99);

      ResetReads(kBurstEvents);
      bool accepted = true;
      const long long start = NowNs();
      for (uint32_t i = 0; i < kBurstEvents && accepted; i++) accepted = raiser.Raise(i);
      Check(accepted, "burst: an event was refused");
      WaitReads(kBurstEvents);
      const long long end = NowNs();
      Check(AllRead(), "burst: an event was not read");

      state.SetIterationTime(static_cast<double>(end - start) / 1e9);
      SetRow(state, "t.new.lat.p50" + placement, p50 / 1000, "us");
      SetRow(state, "t.new.lat.p99" + placement, p99 / 1000, "us");
      SetRow(state, "t.new.burst" + placement, static_cast<double>(end - start) / kBurstEvents,
             "ns/event");
    }
  });
}

BENCHMARK(ImmediateEvents)
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

void ImmediateOnce(uint32_t events) {
  ReaderCore core;
  Raiser raiser;
  RaiseOneAtATime(raiser, events, true);
}

}  // namespace bench
