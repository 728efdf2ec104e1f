// The scheduler tick: clock-jump reports, memory measurement and the
// throttling state with its announcements.
//
// DESIGN: every tick runs on the core's I/O thread and arms the next one only
// when it is done, so ticks never overlap and SchedulerState needs no lock.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <unistd.h>

#include "events/routing.h"
#include "housekeeping/housekeeping.h"

namespace {

// A wall-clock step of more than this many seconds between ticks is reported.
constexpr int kClockJumpThreshold = 1;

using SteadyTime = std::chrono::steady_clock::time_point;

}  // namespace

void SchedulerState::Tick(SchedulerHost& host) {
  const std::time_t t = host.WallClock();
  const bool firstTick = lastTickTime == 0;
  if (!firstTick) {
    // Clamped before the conversion so that an absurd jump cannot overflow int.
    const double seconds =
        std::clamp(std::difftime(t, lastTickTime), double{INT_MIN}, double{INT_MAX});
    const int d = static_cast<int>(seconds);  // truncates towards zero
    if (d > kClockJumpThreshold || d < -kClockJumpThreshold) {
      char text[64];
      std::snprintf(text, sizeof text, "system time changed by %d seconds", d);
      host.LogMessage(kLogNotable, text);
    }
  }
  const bool enabled = host.ThrottlingEnabled();
  // Plugins learn the initial state (not throttling) before any measurement.
  if (firstTick && enabled) host.PublishMemoryState();
  // Once per wall-clock second: "/proc/self/statm" is not read every 100 ms.
  if (enabled && t != lastTickTime) UpdateThrottling(host.ResidentMemory() > kMemoryLimit, host);
  lastTickTime = t;
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
  std::FILE* file = std::fopen(statmPath, "r");
  if (file == nullptr) return 0;
  unsigned long totalPages = 0;
  unsigned long residentPages = 0;
  if (std::fscanf(file, "%lu %lu", &totalPages, &residentPages) < 2) residentPages = 0;
  std::fclose(file);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0) return 0;
  return uint64_t{residentPages} * static_cast<uint64_t>(pageSize);
}
