// The main loop's queue: events raised with a source wait here for the main
// thread, which delivers them one at a time.
#ifndef DVRCORE_EVENTS_REQUEST_QUEUE_H
#define DVRCORE_EVENTS_REQUEST_QUEUE_H

#include <atomic>
#include <deque>
#include <functional>

#include "events/events.h"
#include "events/locks.h"

// Events raised with a source, waiting for the main loop (main thread).
//
// Accepted means delivered exactly once: Append decides under coreMutex
// whether a stop has been requested and appends under the same lock, and Run
// decides to return under that lock only when a stop has been requested and
// the queue is empty. So nothing is accepted after the loop has decided to
// return, and nothing accepted is left behind. An accepted entry's data
// buffer belongs to the queue until it is handed to `deliver`.
//
// DESIGN: the loop takes every waiting entry in one lock round trip and
// delivers the batch in order without the lock, so that raisers and the loop
// meet on coreMutex once per batch rather than once per event; a raiser
// signals the condition only when the loop is waiting on it.
class RequestQueue {
 public:
  RequestQueue() = default;
  // Frees the data of entries never delivered (the loop never ran, or did
  // not finish a batch).
  ~RequestQueue();
  RequestQueue(const RequestQueue&) = delete;
  RequestQueue& operator=(const RequestQueue&) = delete;

  // Any thread. False, with the entry left to the caller, once a stop has
  // been requested.
  bool Append(const _EventParmsIn& entry) EXCLUDES(coreMutex);
  // Any thread: nothing more is accepted; Run returns once it has delivered
  // what was accepted before.
  void RequestStop() EXCLUDES(coreMutex);
  // Any thread, without the lock: lets a raiser refuse early. Only Append's
  // answer is binding.
  bool StopRequested() const { return stopRequested.load(); }

  // The main loop (main thread): hands each entry to `deliver` in arrival
  // order, one at a time and with no lock held, so that `deliver` may raise
  // further events. Returns when a stop has been requested and everything
  // accepted has been delivered.
  void Run(const std::function<void(const _EventParmsIn&)>& deliver) EXCLUDES(coreMutex);

  // Any thread, for the figures: entries accepted and not yet handed to
  // `deliver`, now; and at most since the previous TakeMostDepth, which
  // starts the next window at the depth of the moment.
  size_t Depth() const { return waiting.load(std::memory_order_relaxed); }
  size_t TakeMostDepth() EXCLUDES(coreMutex);

 private:
  Mutex coreMutex;
  CondVar coreWakeup;                                      // only Run waits on it
  std::deque<_EventParmsIn> requestQueue GUARDED_BY(coreMutex);
  // Run is between its test of the queue and its wake-up; raisers signal
  // coreWakeup only then, and the first to do so clears it.
  bool loopWaiting GUARDED_BY(coreMutex) = false;
  // Written under coreMutex, read without it by StopRequested.
  std::atomic<bool> stopRequested{false};
  // The entries Run took in its last round trip and has not handed over yet.
  // The main thread's (and the destructor's); swapped with requestQueue under
  // coreMutex, so that a batch is taken in constant time however long it is.
  // (The deque still allocates and frees its nodes as entries come and go.)
  std::deque<_EventParmsIn> batch GUARDED_BY(g_mainThread);
  // Raised by Append, lowered by Run without the lock; read by any thread.
  std::atomic<size_t> waiting{0};
  // The high-water mark of `waiting` since the last TakeMostDepth: raised by
  // Append where the queue grows, so that no burst between two writes of the
  // figures goes unseen, and reset by TakeMostDepth (the figures' thread).
  size_t mostWaiting GUARDED_BY(coreMutex) = 0;
};

#endif  // DVRCORE_EVENTS_REQUEST_QUEUE_H
