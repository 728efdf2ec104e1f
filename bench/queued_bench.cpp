// Queued events: P raiser threads call FlatPluginEvent while the main loop
// delivers every event to K writer plugins; the workload of floor_queue
// (64-byte payload, every plugin matching and accepting, trivial Write, no
// log events, no retain).
//
// Rows:
//   q.pP.kK.reg        ns per event at the main loop (wall time from the
//                      raisers' start to the loop's return / events)
//   q.pP.k4.reg.raise  ns a raiser spends per FlatPluginEvent call
//   q.k1.idleI         q.p1.k1.reg with I more writers loaded whose masks
//                      take none of the events (the table's cost for
//                      plugins an event does not reach), compared with
//                      q.p1.k1.reg of the same run
// The floor's ".reg" variant is the one to compare with: the core always
// holds every delivered buffer in its allocation registry.
#include "bench/bench_support.h"
#include "pluginhost/testing.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace bench {

namespace {

constexpr uint32_t kEventsPerRepetition = 150000;  // as floor_queue
constexpr uint32_t kRaiserSourceId = 0x00020000u;

// K copies of the plugin, all accepting writes: "0001w.so" ... "0004w.so",
// and `idle` writers that match nothing: "0100nw.so" ... (after them in the
// table).
std::string WriterSetup(int plugins, int idle = 0) {
  std::vector<std::string> files;
  for (int k = 1; k <= plugins; k++) {
    char name[16];
    std::snprintf(name, sizeof name, "%04xw.so", k);
    files.push_back(name);
  }
  for (int i = 0; i < idle; i++) {
    char name[16];
    std::snprintf(name, sizeof name, "%04xnw.so", 0x100 + i);
    files.push_back(name);
  }
  return PluginSetup("queued-k" + std::to_string(plugins) + "-idle" + std::to_string(idle), files);
}

// Raises `count` queued events of class 2 with an XML flag and a 64-byte
// payload, numbered in the event-specific bytes as the floor numbers them.
// Returns how many were not accepted.
uint32_t RaiseQueued(uint32_t raiser, uint32_t count) {
  alignas(64) uint8_t payload[64];
  std::memset(payload, 0xA5, sizeof payload);
  _EventParmsIn event;
  std::memset(&event, 0, sizeof event);
  event.size = sizeof event;
  event.version = 1;
  event.dataLength = sizeof payload;
  event.data = payload;
  event.sourceId = kRaiserSourceId;
  event.eventType = EVENT_CLASS2;
  event.eventFlags = EVENT_FLAG_XML;
  event.specific0 = raiser;
  uint32_t refused = 0;
  for (uint32_t i = 0; i < count; i++) {
    event.specific1 = i;
    _EventParmsOut out{sizeof out, 1, EVENT_REFUSED};
    FlatPluginEvent(&event, &out);
    if (out.result != EVENT_OK) refused++;
  }
  return refused;
}

unsigned long TotalWrites(BenchCore& core) {
  unsigned long total = 0;
  for (size_t i = 0; i < core.PluginCount(); i++) {
    const unsigned long* writes = core.PluginSymbol<unsigned long>(i, "BenchWrites");
    Check(writes != nullptr, "plugin lacks BenchWrites");
    total += *writes;
  }
  return total;
}

void QueuedThroughput(benchmark::State& state) {
  const int raisers = static_cast<int>(state.range(0));
  const int plugins = static_cast<int>(state.range(1));
  const int idle = static_cast<int>(state.range(2));
  const std::string name =
      idle == 0 ? "q.p" + std::to_string(raisers) + ".k" + std::to_string(plugins) + ".reg"
                : "q.k" + std::to_string(plugins) + ".idle" + std::to_string(idle);
  const uint32_t perRaiser = kEventsPerRepetition / raisers;
  const uint64_t total = static_cast<uint64_t>(perRaiser) * raisers;
  Guarded(state, [&] {
    for (auto _ : state) {
      // A core per repetition: its main loop returns only once stopped (see
      // BenchCore). Loading K plugins takes a few milliseconds, not timed.
      BenchCore core(WriterSetup(plugins, idle));
      Check(core.PluginCount() == static_cast<size_t>(plugins + idle), "plugins not loaded");
      const unsigned long writesBefore = TotalWrites(core);
      std::atomic<bool> go{false};
      std::atomic<int> raising{raisers};
      std::atomic<uint32_t> refused{0};
      std::vector<long long> spentNs(raisers);
      std::vector<std::thread> threads;
      for (int p = 0; p < raisers; p++) {
        threads.emplace_back([&, p] {
          while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
          const long long start = NowNs();
          refused += RaiseQueued(static_cast<uint32_t>(p), perRaiser);
          spentNs[p] = NowNs() - start;
          // The last raiser lets the loop return once the queue is empty.
          if (raising.fetch_sub(1) == 1) core.RequestStop();
        });
      }
      const long long start = NowNs();
      go.store(true, std::memory_order_release);
      core.RunMainLoop();
      const long long end = NowNs();
      for (std::thread& t : threads) t.join();

      Check(refused == 0, "events refused");
      Check(TotalWrites(core) - writesBefore == total * plugins, "writes missing");
      Check(AllocationRegistryTesting::HoldCount(core.parts().allocations) == 0, "buffers still held");
      state.SetIterationTime(static_cast<double>(end - start) / 1e9);
      SetRow(state, name, static_cast<double>(end - start) / static_cast<double>(total),
             "ns/event");
      if (plugins == 4 && idle == 0) {
        double spent = 0;
        for (long long ns : spentNs) spent += static_cast<double>(ns);
        SetRow(state, name + ".raise", spent / raisers / perRaiser, "ns/call");
      }
    }
  });
}

BENCHMARK(QueuedThroughput)
    ->ArgsProduct({{1, 2}, {1, 4}, {0}})
    ->Args({1, 1, 100})
    ->Args({1, 1, 300})
    ->ArgNames({"P", "K", "Idle"})
    ->Iterations(1)
    ->Repetitions(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

void QueuedDrainOnce(int plugins, int idle, uint32_t events) {
  BenchCore core(WriterSetup(plugins, idle));
  Check(core.PluginCount() == static_cast<size_t>(plugins + idle), "plugins not loaded");
  Check(RaiseQueued(0, events) == 0, "events refused");
  core.RequestStop();
  core.RunMainLoop();
  Check(TotalWrites(core) == static_cast<unsigned long>(events) * plugins, "writes missing");
}

}  // namespace bench
