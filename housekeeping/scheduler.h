// The scheduler tick: every 100 ms it looks for jumps of the wall clock and,
// when memory throttling is enabled, measures the core's resident memory once
// per second of the steady clock and switches the throttling state with a
// 60-second hold-off before the end of a low-memory period is announced.
//
// The decisions live in SchedulerState, which reaches the outside world only
// through SchedulerHost, so that tests drive it with their own clocks and
// memory readings. dvrcore implements the host with the real sources (the
// real-time clock, the steady clock through now(), "/proc/self/statm"). The
// rhythm of the measurements comes from the steady clock, never from the wall
// clock, which may stand still, step or go back (a dead RTC battery, a bad
// time server).
#ifndef DVRCORE_HOUSEKEEPING_SCHEDULER_H
#define DVRCORE_HOUSEKEEPING_SCHEDULER_H

#include <atomic>
#include <chrono>
#include <cstdint>

constexpr std::chrono::milliseconds kSchedulerPeriod{100};
constexpr uint64_t kMemoryLimit = 199229440;  // bytes, 190 MiB
constexpr std::chrono::seconds kThrottleHoldOff{60};

// Wall-clock time since the epoch (CLOCK_REALTIME), in nanoseconds: the
// kernel keeps the real-time clock below 2262, so it fits.
using WallTime = std::chrono::nanoseconds;

// What a tick reads and what it makes happen.
class SchedulerHost {
 public:
  virtual ~SchedulerHost() = default;
  virtual WallTime WallClock() = 0;                                // clock_gettime(CLOCK_REALTIME)
  virtual std::chrono::steady_clock::time_point SteadyNow() = 0;   // dvrcore::now()
  // Bytes; 0 when unknown (a running process always has resident pages).
  virtual uint64_t ResidentMemory() = 0;
  virtual bool ThrottlingEnabled() = 0;                            // from core.xml
  virtual void SetThrottling(bool on) = 0;
  virtual void PublishMemoryState() = 0;
  virtual void LogMessage(unsigned level, const char* text) = 0;
};

// State of the tick chain, kept for the life of the process. Used on one
// thread only (the core's I/O thread), but for clockJumps.
class SchedulerState {
 public:
  // One tick: clock-jump report, first-tick publication, at most one memory
  // measurement per second of the steady clock.
  void Tick(SchedulerHost& host);

  // Records one memory measurement and announces the start and end of a
  // low-memory period.
  void UpdateThrottling(bool low, SchedulerHost& host);

  bool ticked = false;  // a tick has run
  // Both clocks as the previous tick read them.
  WallTime lastTickTime{0};
  std::chrono::steady_clock::time_point lastTickSteady;
  // The latest memory reading failed, and that was logged.
  bool memoryUnknown = false;
  // Jumps reported so far; the one member other threads read (the figures).
  std::atomic<uint64_t> clockJumps{0};
  // Time of the latest low measurement while a low-memory period is
  // announced; the maximum time point when none is.
  std::chrono::steady_clock::time_point lowMemorySince =
      std::chrono::steady_clock::time_point::max();
};

// Resident memory in bytes from a statm file (resident pages times the page
// size), or 0 (unknown) when it cannot be read or is malformed. 64-bit: a
// product in 32 bits would wrap above 4 GiB on 64-bit builds. The path is a
// parameter only so that tests can feed it broken files.
uint64_t ReadResidentMemory(const char* statmPath = "/proc/self/statm");

#endif  // DVRCORE_HOUSEKEEPING_SCHEDULER_H
