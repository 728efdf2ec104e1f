// Plugin calls that hold the main or the I/O thread, published so that a
// watchdog (core/slow_calls.h) can report one that takes long while it still
// runs. Only those two threads are watched: the core cannot do anything else
// on them meanwhile, while lent threads (worker, reader, event threads) are
// the plugin's to block.
//
// The cost on the calling thread is a few relaxed stores per call, inline,
// and no clock read: the watchdog times a call from when it first sees it
// running.
//
// The same records say, in the handler of a fatal signal (core/signals.h),
// which plugin entry the dying thread was in: the handler runs on that
// thread, so it reads them without a race. Lent threads publish their one
// call in a slot of their own, which no watchdog looks at.
//
// While the core stops, the main thread also publishes here what it waits
// for (StopWait): a plugin's thread to end. The watchdog says so every few
// seconds.
#ifndef DVRCORE_EVENTS_CALL_WATCH_H
#define DVRCORE_EVENTS_CALL_WATCH_H

#include <atomic>
#include <cstdint>
#include <string>

#include "events/locks.h"

// The call one thread is in. Written by that thread alone, read by the
// watchdog: `sequence` is odd while a call runs and changes with every call,
// so a reader that sees the same odd value before and after reading the
// other fields has read them for one call.
struct WatchedCallSlot {
  std::atomic<uint64_t> sequence{0};
  std::atomic<uint32_t> pluginId{0};
  std::atomic<const char*> entry{nullptr};  // a literal: "Write", "Open", ...
  std::atomic<bool> isEvent{false};         // eventType and sourceId mean something
  std::atomic<uint32_t> eventType{0};
  std::atomic<uint32_t> sourceId{0};
  unsigned depth = 0;  // the owning thread's calls in progress; only it touches this

  // What the owning thread waits for while the core stops; the main
  // thread's slot only. Written by the owning thread, read by the watchdog,
  // under stopWaitMutex (a leaf): once or twice per plugin at a stop.
  Mutex stopWaitMutex;
  uint64_t stopWaitSequence GUARDED_BY(stopWaitMutex) = 0;  // odd while it waits
  char stopWaitPlugin[256] GUARDED_BY(stopWaitMutex) = "";  // file name, cut to fit
  char stopWaitThread[64] GUARDED_BY(stopWaitMutex) = "";   // "worker thread cam:wk"
};

// The main and the I/O thread name their slot once, for themselves; on any
// other thread calls are not watched. (__thread: read inline, without C++'s
// wrapper call, on the path of every delivery.)
extern __thread WatchedCallSlot* t_watchedCalls;
inline void WatchCallsOfThisThread(WatchedCallSlot* slot) { t_watchedCalls = slot; }

// A slot of the calling thread's own, for as long as this lives: a lent
// thread's, read only by the handler of a fatal signal on that thread.
class OwnCallSlot {
 public:
  OwnCallSlot() { WatchCallsOfThisThread(&slot_); }
  ~OwnCallSlot() { WatchCallsOfThisThread(nullptr); }
  OwnCallSlot(const OwnCallSlot&) = delete;
  OwnCallSlot& operator=(const OwnCallSlot&) = delete;

 private:
  WatchedCallSlot slot_;
};

// One watched call, from construction to destruction. A call made from
// inside another on the same thread (a plugin's log line delivered to a
// logging plugin) is part of the outer one.
class WatchedCall {
 public:
  WatchedCall(uint32_t pluginId, const char* entry) : slot_(t_watchedCalls) {
    if (slot_ != nullptr) Begin(pluginId, entry, false, 0, 0);
  }
  WatchedCall(uint32_t pluginId, const char* entry, uint32_t eventType, uint32_t sourceId)
      : slot_(t_watchedCalls) {
    if (slot_ != nullptr) Begin(pluginId, entry, true, eventType, sourceId);
  }
  ~WatchedCall() {
    WatchedCallSlot* const slot = slot_;
    if (slot == nullptr) {
      if (t_watchedCalls != nullptr) t_watchedCalls->depth--;
      return;
    }
    slot->sequence.store(slot->sequence.load(std::memory_order_relaxed) + 1,
                         std::memory_order_release);
    slot->depth--;
  }
  WatchedCall(const WatchedCall&) = delete;
  WatchedCall& operator=(const WatchedCall&) = delete;

 private:
  void Begin(uint32_t pluginId, const char* entry, bool isEvent, uint32_t eventType,
             uint32_t sourceId) {
    // Through a local: the stores below could otherwise make the compiler
    // read the member again after each.
    WatchedCallSlot* const slot = slot_;
    if (slot->depth++ != 0) {
      slot_ = nullptr;  // inside an outer call, which stays the one watched
      return;
    }
    slot->pluginId.store(pluginId, std::memory_order_relaxed);
    slot->entry.store(entry, std::memory_order_relaxed);
    slot->isEvent.store(isEvent, std::memory_order_relaxed);
    slot->eventType.store(eventType, std::memory_order_relaxed);
    slot->sourceId.store(sourceId, std::memory_order_relaxed);
    // Odd from here: the fields above are published with it.
    slot->sequence.store(slot->sequence.load(std::memory_order_relaxed) + 1,
                         std::memory_order_release);
  }
  WatchedCallSlot* slot_;
};

// One wait of the stopping thread for a plugin's thread (or threads) to end,
// from construction to destruction, published in the thread's slot; nothing
// where calls of the thread are not watched. `what` says which thread, e.g.
// "worker thread", and `threadName` its name.
class StopWait {
 public:
  StopWait(const std::string& plugin, const char* what, const char* threadName);
  ~StopWait();
  StopWait(const StopWait&) = delete;
  StopWait& operator=(const StopWait&) = delete;

 private:
  WatchedCallSlot* const slot_;
};

#endif  // DVRCORE_EVENTS_CALL_WATCH_H
