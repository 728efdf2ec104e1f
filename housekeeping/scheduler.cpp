// The scheduler tick: clock-jump reports, memory measurement and the
// throttling state with its announcements.
//
// DESIGN: every tick runs on the core's I/O thread and arms the next one only
// when it is done, so ticks never overlap and SchedulerState needs no lock.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <unistd.h>

#include "events/raise.h"
#include "housekeeping/scheduler.h"
#include "sys/proc.h"

namespace {

// A wall-clock step of more than this many seconds between ticks is reported.
constexpr int kClockJumpThreshold = 1;

using SteadyTime = std::chrono::steady_clock::time_point;
using Seconds = std::chrono::duration<double>;

}  // namespace

void SchedulerState::Tick(SchedulerHost& host) {
  const WallTime wall = host.WallClock();
  const SteadyTime steady = host.SteadyNow();
  const bool firstTick = !ticked;
  if (!firstTick) {
    // The wall clock's step beyond the steady clock's: a tick that comes late
    // (the I/O thread held up, the process stopped) moved both alike, and is
    // no change of the system time. In seconds as doubles, so that no clock
    // value can overflow; rounded, so that a step of a minute reads 60 though
    // the two clocks are read a moment apart; clamped, so that an absurd jump
    // cannot overflow int.
    const double jump = (Seconds(wall) - Seconds(lastTickTime)).count() -
                        Seconds(steady - lastTickSteady).count();
    const int d = static_cast<int>(std::clamp(std::round(jump), double{INT_MIN}, double{INT_MAX}));
    if (d > kClockJumpThreshold || d < -kClockJumpThreshold) {
      char text[64];
      clockJumps.fetch_add(1, std::memory_order_relaxed);
      std::snprintf(text, sizeof text, "system time changed by %d seconds", d);
      host.LogMessage(kLogNotable, text);
    }
  }
  const bool enabled = host.ThrottlingEnabled();
  // Plugins learn the initial state (not throttling) before any measurement.
  if (firstTick && enabled) host.PublishMemoryState();
  // Once per second of the steady clock: "/proc/self/statm" is not read every
  // 100 ms.
  using std::chrono::floor;
  using std::chrono::seconds;
  if (enabled && (firstTick || floor<seconds>(steady) != floor<seconds>(lastTickSteady))) {
    const uint64_t bytes = host.ResidentMemory();
    if (bytes != 0) {
      memoryUnknown = false;
      UpdateThrottling(bytes > kMemoryLimit, host);
    } else if (!memoryUnknown) {
      // Unknown is not "enough memory": the state stays as the last reading
      // left it, and one line tells of the whole run of failed readings.
      memoryUnknown = true;
      host.LogMessage(
          kLogNotable,
          "cannot read resident memory from /proc/self/statm, throttling state unchanged");
    }
  }
  ticked = true;
  lastTickTime = wall;
  lastTickSteady = steady;
}

void SchedulerState::UpdateThrottling(bool low, SchedulerHost& host) {
  const SteadyTime n = host.SteadyNow();
  host.SetThrottling(low);
  if (low) {
    if (lowMemorySince == SteadyTime::max()) {
      host.LogMessage(kLogNotable, "available system memory is low, throttling video");
      host.PublishMemoryState();
    }
    lowMemorySince = n;
    return;
  }
  // Written as n - hold-off rather than lowMemorySince + hold-off, which would
  // overflow while no period is announced (lowMemorySince is the maximum).
  if (n - kThrottleHoldOff < lowMemorySince) return;
  host.LogMessage(kLogNotable, "available system memory ok, not throttling video");
  host.PublishMemoryState();
  lowMemorySince = SteadyTime::max();
}

uint64_t ReadResidentMemory(const char* statmPath) {
  uint64_t residentPages = 0;
  if (!ReadResidentPages(statmPath, residentPages)) return 0;
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0) return 0;
  return residentPages * static_cast<uint64_t>(pageSize);
}
