// Housekeeping: the periodic scheduler tick. Every 100 ms it looks for jumps
// of the wall clock and, when memory throttling is enabled, measures the
// core's resident memory once per wall-clock second and switches the
// throttling state with a 60-second hold-off before the end of a low-memory
// period is announced.
//
// DESIGN: the decisions live in SchedulerState, which reaches the outside
// world only through SchedulerHost, so that tests drive it with their own
// clocks and memory readings. dvrcore implements the host with the real
// sources (time(), the steady clock through now(), "/proc/self/statm") and
// runs every tick on its I/O thread, so SchedulerState needs no lock.
#ifndef DVRCORE_HOUSEKEEPING_HOUSEKEEPING_H
#define DVRCORE_HOUSEKEEPING_HOUSEKEEPING_H

#include <chrono>
#include <cstdint>
#include <ctime>

constexpr std::chrono::milliseconds kSchedulerPeriod{100};
constexpr uint64_t kMemoryLimit = 199229440;  // bytes, 190 MiB
constexpr std::chrono::seconds kThrottleHoldOff{60};

// What a tick reads and what it makes happen.
class SchedulerHost {
 public:
  virtual ~SchedulerHost() = default;
  virtual std::time_t WallClock() = 0;                             // time(nullptr)
  virtual std::chrono::steady_clock::time_point SteadyNow() = 0;   // dvrcore::now()
  virtual uint64_t ResidentMemory() = 0;                           // bytes, 0 if unknown
  virtual bool ThrottlingEnabled() = 0;                            // from core.xml
  virtual void SetThrottling(bool on) = 0;
  virtual void PublishMemoryState() = 0;
  virtual void LogMessage(unsigned level, const char* text) = 0;
};

// State of the tick chain, kept for the life of the process. Used on one
// thread only (the core's I/O thread).
class SchedulerState {
 public:
  // One tick: clock-jump report, first-tick publication, at most one memory
  // measurement per wall-clock second.
  void Tick(SchedulerHost& host);

  // Records one memory measurement and announces the start and end of a
  // low-memory period.
  void UpdateThrottling(bool low, SchedulerHost& host);

  std::time_t lastTickTime = 0;  // wall clock seen by the previous tick; 0 before the first
  // Time of the latest low measurement while a low-memory period is
  // announced; the maximum time point when none is.
  std::chrono::steady_clock::time_point lowMemorySince =
      std::chrono::steady_clock::time_point::max();
};

// Resident memory in bytes from a statm file (resident pages times the page
// size), or 0 when it cannot be read or is malformed. 64-bit: a product in
// 32 bits would wrap above 4 GiB on 64-bit builds. The path is a parameter
// only so that tests can feed it broken files.
uint64_t ReadResidentMemory(const char* statmPath = "/proc/self/statm");

#endif  // DVRCORE_HOUSEKEEPING_HOUSEKEEPING_H
