#include "core/slow_calls.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "events/plugin_threads.h"
#include "events/raise.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often the calls are looked at. A call is timed from when it is first
// seen, so it is reported at most this much late and its duration is at
// most this much short; ten wake-ups a second cost nothing measurable.
constexpr auto kLookEvery = std::chrono::milliseconds(100);
// A call that holds the main thread this long delays every queued event and
// the parent's packets by as much: an operator wants to hear of it. Shorter
// calls (a disk that is slow for a moment) are not worth a line.
constexpr auto kFirstReport = std::chrono::seconds(1);
// Still running this long: said once more, as it has become a hang rather
// than a slow call; after that only its return is reported.
constexpr auto kSecondReport = std::chrono::seconds(10);

// A stop held by a plugin's thread is said this often, for as long as it
// lasts: the stop has no bound, so the operator needs to hear it go on.
constexpr auto kStopWaitEvery = std::chrono::seconds(5);

constexpr size_t kNameBytes = 256;

}  // namespace

SlowCallWatchdog::SlowCallWatchdog(WatchedCallSlot& mainThread, WatchedCallSlot& ioThread,
                                   FileNames fileNames)
    : watches_{{&mainThread, "main"}, {&ioThread, "I/O"}}, fileNames_(std::move(fileNames)) {}

SlowCallWatchdog::~SlowCallWatchdog() { Stop(); }

bool SlowCallWatchdog::Start() {
  try {
    thread_ = std::thread([this] {
      AssertOnThread(g_watchThread);
      NameThisThread("dvrcore:watch");
      Run();
    });
    return true;
  } catch (const std::system_error& error) {
    CORE_LOG(kLogNotable, "slow plugin calls will not be reported: %s", error.what());
    return false;
  }
}

void SlowCallWatchdog::Stop() {
  if (!thread_.joinable()) return;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyOne();
  thread_.join();
}

void SlowCallWatchdog::Run() {
  for (;;) {
    bool stopping;
    {
      MutexLock lock(mutex_);
      const Clock::time_point deadline = Clock::now() + kLookEvery;
      while (!stopping_ && wake_.WaitUntil(lock, deadline)) {
      }
      stopping = stopping_;
    }
    // Without the lock: a report takes the plugin table's lock and logs.
    const Clock::time_point now = Clock::now();
    for (Watch& watch : watches_) Look(watch, now);
    LookAtStopWait(now);
    if (stopping) return;
  }
}

void SlowCallWatchdog::Look(Watch& watch, Clock::time_point now) {
  const uint64_t sequence = watch.slot->sequence.load(std::memory_order_acquire);
  char name[kNameBytes];
  if (sequence != watch.sequence) {
    // The call that was reported has returned (another may have begun).
    if (watch.reports > 0) {
      const double seconds = std::chrono::duration<double>(now - watch.since).count();
      CORE_LOG(kLogProgress, "plugin %s %s returned after %.1f seconds", watch.name, watch.entry,
               seconds);
    }
    watch.sequence = sequence;
    watch.since = now;
    watch.reports = 0;
    return;
  }
  if ((sequence & 1) == 0) return;  // no call in progress
  const Clock::duration running = now - watch.since;
  if (running < (watch.reports == 0 ? kFirstReport : kSecondReport) || watch.reports >= 2) return;

  const uint32_t pluginId = watch.slot->pluginId.load(std::memory_order_relaxed);
  const char* entry = watch.slot->entry.load(std::memory_order_relaxed);
  const bool isEvent = watch.slot->isEvent.load(std::memory_order_relaxed);
  const uint32_t eventType = watch.slot->eventType.load(std::memory_order_relaxed);
  const uint32_t sourceId = watch.slot->sourceId.load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (watch.slot->sequence.load(std::memory_order_relaxed) != sequence) return;  // just returned
  fileNames_(pluginId, name, sizeof name);
  std::snprintf(watch.name, sizeof watch.name, "%s", name);
  char event[64] = "";
  if (isEvent) {
    std::snprintf(event, sizeof event, " (event type 0x%08" PRIX32 " from 0x%08" PRIX32 ")",
                  eventType, sourceId);
  }
  const double seconds = std::chrono::duration<double>(running).count();
  CORE_LOG(kLogNotable, "plugin %s %s%s has been running on the %s thread for %.1f seconds", name,
           entry, event, watch.threadName, seconds);
  watch.pluginId = pluginId;
  watch.entry = entry;
  watch.reports++;
}

void SlowCallWatchdog::LookAtStopWait(Clock::time_point now) {
  WatchedCallSlot& slot = *watches_[0].slot;
  char plugin[sizeof slot.stopWaitPlugin];
  char thread[sizeof slot.stopWaitThread];
  {
    MutexLock lock(slot.stopWaitMutex);
    const uint64_t sequence = slot.stopWaitSequence;
    if (sequence != stopWait_.sequence) {
      // A wait began or ended: timed from now.
      stopWait_.sequence = sequence;
      stopWait_.since = now;
      stopWait_.reports = 0;
      return;
    }
    if ((sequence & 1) == 0 || now - stopWait_.since < (stopWait_.reports + 1) * kStopWaitEvery) {
      return;
    }
    std::memcpy(plugin, slot.stopWaitPlugin, sizeof plugin);
    std::memcpy(thread, slot.stopWaitThread, sizeof thread);
  }
  // Without the lock: logging raises an event.
  stopWait_.reports++;
  const double seconds = std::chrono::duration<double>(now - stopWait_.since).count();
  CORE_LOG(kLogNotable, "stop waits for plugin %s %s for %.1f seconds", plugin, thread, seconds);
}
