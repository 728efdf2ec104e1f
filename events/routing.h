// The machinery events travel through inside the core: raising (the core's
// own log lines included), calling plugin entries, the main loop's queue, the
// reply slots of event threads, and the threads the core lends plugins.
//
// This is the bottom layer of the core: it knows the event records and
// nothing of the plugin table, the parent link or the core object. The
// dispatch that decides what happens to a raised event sits above it and is
// reached through FlatPluginEvent once it has registered (SetEventDispatch).
//
// DESIGN (threads and locks): each class below owns its lock and says which
// threads touch it. Locks are never held while plugin code runs. The only
// nesting is inside ReplySlots: threadMutex before a slot's mutex.
#ifndef DVRCORE_EVENTS_ROUTING_H
#define DVRCORE_EVENTS_ROUTING_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "events/events.h"
#include "events/locks.h"
#include "pluginhost/plugin.h"  // the plugin binary interface, part of the SDK

// ---- Raising ----

// The core's source ID in events, its module ID in documents and its holder
// ID in the allocation registry. No plugin may load under it.
constexpr uint32_t kCoreSourceId = 0x80000000u;

// Log levels: console detail, progress, notable conditions, failures (which
// also go to syslog).
enum LogLevel : unsigned {
  kLogDetail = 0,
  kLogProgress = 25,
  kLogNotable = 50,
  kLogFailure = 100,
};

// Where FlatPluginEvent hands every raised event. The core registers its
// dispatch when it is constructed, before any other thread exists, and takes
// it back when it is destroyed; until then, and after, events are refused.
class EventDispatch {
 public:
  virtual int Dispatch(_EventParmsIn* in, _EventParmsOut* out) = 0;

 protected:
  ~EventDispatch() = default;
};
void SetEventDispatch(EventDispatch* dispatch);
// Takes `dispatch` back if it is still the registered one.
void ClearEventDispatch(EventDispatch* dispatch);

// Formats a message (cut to 511 characters) and raises it as a log event of
// `level` from `sourceId` through `raise`; nothing when `raise` is null.
void RaiseLogMessage(uint32_t sourceId, PluginEventFunction raise, unsigned level,
                     const char* format, ...) __attribute__((format(printf, 4, 5)));

// The core's own log lines: source kCoreSourceId, through FlatPluginEvent.
#define CORE_LOG(level, ...) RaiseLogMessage(kCoreSourceId, FlatPluginEvent, (level), __VA_ARGS__)

// A record as the core hands it to plugins: every byte zero (padding and
// reserved fields included) but `size`, the record's size as built, and
// `version`.
template <typename Record>
Record NewRecord(uint32_t version = 1) {
  Record record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof record;
  record.version = version;
  return record;
}

// ---- Calling plugins ----

// What a call does when the plugin ends the calling thread (pthread_exit, or
// cancellation acted on inside the entry): glibc unwinds the thread with a
// forced-unwind exception, which must run to the thread's start or abort.
enum class ThreadEnd {
  // Lent threads (worker, reader, event threads): the thread was the
  // plugin's to use; it ends, undoing the core's bookkeeping as it unwinds.
  kLetItEnd,
  // The main and the I/O thread: the core cannot run without them, so the
  // process aborts with a message instead of unwinding half-built state.
  kAbortProcess,
};

// Calls one plugin entry; a missing entry counts as success (0), and an
// exception escaping a C++ plugin counts as -1 instead of unwinding the core.
int32_t CallPluginEntry(PluginEntry entry, void* request, void* result,
                        ThreadEnd onThreadEnd = ThreadEnd::kAbortProcess);

// The request and result records of one IOCTL call, filled as the core
// fills them for every code.
struct IoctlCall {
  IoctlCall(uint32_t code, void* data, uint32_t dataLength);
  _IoctlParmsIn in;
  _IoctlParmsOut out;
};

// ---- The main loop's queue ----

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
  // Main thread only (and the destructor); swapped with requestQueue under
  // coreMutex, so that both keep their blocks and a batch allocates nothing.
  std::deque<_EventParmsIn> batch;
};

// ---- Answers of event threads ----

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
// flight. Any thread. Lock order: threadMutex, then a slot's mutex.
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

  size_t EventThreadCount() EXCLUDES(threadMutex);

 private:
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

// ---- Threads lent to plugins ----

// Counts the event threads that are inside (or about to enter) one plugin's
// Read, so that the plugin is never unmapped under them.
class PluginActivity {
 public:
  // Any thread: registers one event thread. False once the plugin is sealed
  // for unloading; the event is then not delivered to it.
  bool Enter() EXCLUDES(mutex_);
  // Any thread: the event thread has left the plugin's code for good. Must be
  // the event thread's last touch of core state.
  void Leave() EXCLUDES(mutex_);
  // Main thread, unloading: refuses new event threads and waits until the
  // running ones have left.
  void SealAndWait() EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  CondVar idle_;
  unsigned live_ GUARDED_BY(mutex_) = 0;
  bool sealed_ GUARDED_BY(mutex_) = false;
};

// The worker thread: one IOCTL with IOCTL_RUN_WORKER. The reader thread: one
// Read without data. Each returns a thread to be joined before the plugin's
// Unload, or an empty one (logged) when none could be started.
std::thread StartWorkerThread(PluginEntry ioctl, const std::string& fileName);
std::thread StartReaderThread(PluginEntry read, const std::string& fileName);

// One event thread: one Read with `copy`, which the thread owns. The caller
// has entered `activity`; the thread leaves it as its very last step. While it
// runs, the thread is registered in `slots`. Detached. False, logged as a
// failure, when no thread could be started: `copy` is then freed and
// `activity` left.
bool StartEventThread(PluginEntry read, const std::string& fileName, uint32_t dataLength,
                      void* copy, uint32_t correlationId, PluginActivity& activity,
                      ReplySlots& slots);

#endif  // DVRCORE_EVENTS_ROUTING_H
