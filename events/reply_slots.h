// Answers of event threads: which threads may answer, which correlation IDs
// are cancelled, and the one answer each event thread may have in flight.
#ifndef DVRCORE_EVENTS_REPLY_SLOTS_H
#define DVRCORE_EVENTS_REPLY_SLOTS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>

#include "events/locks.h"

// Per live event thread: the last answer it queued while some holder still
// holds it. An event thread has at most one answer in flight; a further one
// waits until the first is freed.
struct ReplySlot {
  Mutex mutex;
  CondVar cleared;                            // signalled when pendingReply becomes null
  void* pendingReply GUARDED_BY(mutex) = nullptr;
};

// Which threads are event threads (only they may answer, with a correlation
// ID), which correlation IDs are cancelled, and each event thread's answer in
// flight. Any thread.
class ReplySlots {
 public:
  // Registers the calling thread as an event thread for the guard's scope.
  // A guard, so that the registration goes on every way out of the thread,
  // unwinding included. An answer still pending then is forgotten: its buffer
  // belongs to the allocation registry, which frees it when its last holder
  // lets go.
  class Registration {
   public:
    explicit Registration(ReplySlots& slots);
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

   private:
    friend class ReplySlots;
    ReplySlots& slots_;
    ReplySlot slot_;
    // Links of the registered threads' list, under slots_.threadMutex (not
    // annotated: the analysis cannot tell that a list member's slots_ is the
    // ReplySlots walking it).
    Registration* previous_ = nullptr;
    Registration* next_ = nullptr;
  };

  // The raiser's claim to queue an answer with `data` (may be null) for
  // `correlationId`. Null (refuse the answer) when the ID is cancelled, the
  // calling thread is not an event thread, or a stop came while a previous
  // answer was in flight. Otherwise the calling thread's slot, which holds
  // `data` from now on when it is not null (after waiting for the previous
  // answer to be freed).
  ReplySlot* Claim(uint32_t correlationId, void* data) EXCLUDES(threadMutex);
  // Undoes a Claim whose answer was then refused.
  void Withdraw(ReplySlot* slot, void* data);

  void Cancel(uint32_t correlationId) EXCLUDES(threadMutex);
  // A new immediate event with this ID: answers are accepted again.
  void Uncancel(uint32_t correlationId) EXCLUDES(threadMutex);

  // `buffer` is about to be freed: every slot holding it is cleared, so a
  // recycled address can never be mistaken for the previous answer.
  void Clear(void* buffer) EXCLUDES(threadMutex);
  // Stop: every waiting raiser gives up (its answer would be refused).
  void Stop() EXCLUDES(threadMutex);


 private:
  friend struct ReplySlotsTesting;
  // The calling thread's slot when it is an event thread and
  // `correlationId` is not cancelled; null otherwise.
  ReplySlot* SlotFor(uint32_t correlationId) REQUIRES(threadMutex);

  Mutex threadMutex ACQUIRED_BEFORE(ReplySlot::mutex);
  // The registered event threads, as a list through their guards, so that
  // an event thread's start and end allocate nothing; a thread finds its own
  // registration through a thread-local pointer.
  Registration* eventThreads GUARDED_BY(threadMutex) = nullptr;
  size_t eventThreadCount GUARDED_BY(threadMutex) = 0;
  std::set<uint32_t> cancelledIds GUARDED_BY(threadMutex);
  std::atomic<bool> stopping{false};  // set once by Stop, any thread; read by waiting raisers
  // How many slots hold an answer; changed under the slot's mutex, read by
  // Clear without any lock. Every freed queued buffer passes Clear, and
  // nearly always no answer is in flight: then it returns without walking
  // the event threads. A claim is counted before its buffer is queued, and
  // whoever frees that buffer received it through a lock taken after the
  // queueing, so Clear cannot miss it.
  std::atomic<unsigned> pendingReplies{0};
};

#endif  // DVRCORE_EVENTS_REPLY_SLOTS_H
