// The watchdog of slow plugin calls: a thread of its own that looks at the
// main and the I/O thread's calls (events/call_watch.h) ten times a second,
// so that a call stuck on either is reported on time, whatever it holds up
// (the scheduler's tick runs on the I/O thread and would be stuck with it).
// While the core stops, it also says every few seconds what the main thread
// waits for (StopWait in events/call_watch.h): a plugin's thread that does
// not end holds the stop, and the operator learns whose it is.
#ifndef DVRCORE_CORE_SLOW_CALLS_H
#define DVRCORE_CORE_SLOW_CALLS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "events/call_watch.h"
#include "events/locks.h"

class SlowCallWatchdog {
 public:
  // `copyFileName(id, buffer, size)` gives a plugin's file name for a report.
  using FileNames = std::function<void(uint32_t, char*, size_t)>;
  SlowCallWatchdog(WatchedCallSlot& mainThread, WatchedCallSlot& ioThread, FileNames fileNames);
  ~SlowCallWatchdog();  // stops it
  SlowCallWatchdog(const SlowCallWatchdog&) = delete;
  SlowCallWatchdog& operator=(const SlowCallWatchdog&) = delete;

  // Main thread. False (logged) when no thread could be had: calls then go
  // unreported, and nothing else changes.
  bool Start();
  // Main thread, after the plugins are unloaded (their Unload and the joins
  // before it are watched): reports what is pending (a call that has just
  // returned) and ends the thread.
  void Stop();

 private:
  // What the watchdog knows of one watched thread; its own thread's.
  struct Watch {
    WatchedCallSlot* slot;
    const char* threadName;
    uint64_t sequence = 0;                        // last seen
    std::chrono::steady_clock::time_point since{};  // when that was first seen
    int reports = 0;                              // reports of it while it ran
    uint32_t pluginId = 0;                        // of the call reported
    const char* entry = "";                       // of the call reported
    // Of the call reported, taken when it was first reported: by its return
    // the plugin may be gone from the table (its Unload).
    char name[256] = "";
  };
  // What the watchdog knows of the main thread's stop wait; its own thread's.
  struct StopWaitWatch {
    uint64_t sequence = 0;                          // last seen
    std::chrono::steady_clock::time_point since{};  // when that was first seen
    int reports = 0;                                // reports of it so far
  };

  // The watchdog's thread ("dvrcore:watch").
  void Run() REQUIRES(g_watchThread);
  void Look(Watch& watch, std::chrono::steady_clock::time_point now) REQUIRES(g_watchThread);
  void LookAtStopWait(std::chrono::steady_clock::time_point now) REQUIRES(g_watchThread);

  Watch watches_[2] GUARDED_BY(g_watchThread);
  StopWaitWatch stopWait_ GUARDED_BY(g_watchThread);
  FileNames fileNames_;   // read-only after construction
  Mutex mutex_;
  CondVar wake_;
  bool stopping_ GUARDED_BY(mutex_) = false;  // set by the main thread
  std::thread thread_;                        // started and joined by the main thread
};

#endif  // DVRCORE_CORE_SLOW_CALLS_H
