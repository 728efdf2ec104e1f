// The core's locks, annotated for Clang's thread-safety analysis.
//
// Every lock of the core is one of the types below, and every member a lock
// guards says so with GUARDED_BY, every function that needs one held with
// REQUIRES. Built with clang and -Wthread-safety, a read or write of guarded
// state without its lock, a lock forgotten on some path, or a function called
// without the lock it requires fails the build. Other compilers see plain
// wrappers around the standard types.
//
// LOCK ORDER. A lock may be taken while another is held only as listed here;
// the annotations on the members (ACQUIRED_BEFORE) say the same, so that the
// analysis (-Wthread-safety-beta) fails the build on the reverse order
// wherever it sees both acquisitions in one function, and on any cycle.
//   PluginTable::pluginsLock (shared), then PluginActivity::mutex_
//     The immediate dispatch enters each matching reader's activity while
//     the table is locked, so that the record cannot be unloaded between
//     matching and entering. Copying the data, starting the event threads
//     and logging come after the table lock is released.
//   ReplySlots::threadMutex, then ReplySlot::mutex
//     Clearing and stopping walk the registered event threads and wake each
//     one waiting on its own slot; a raiser takes its slot's mutex alone.
// Every other lock is a leaf, taken with no other lock of the core held and
// held while nothing else is taken: PluginTable::namesLock, RequestQueue's
// coreMutex, AllocationRegistry's mutex_, OutgoingHandoff's handoffMutex,
// ParentIdentification's identityMutex, SlowCallWatchdog's mutex_,
// WatchedCallSlot's stopWaitMutex, PluginFiguresBook's mutex_ and
// FiguresFile's mutex_. No lock is held
// while plugin code runs (a plugin may raise events, which take the leaves),
// nor while logging: a log line is an event raised like any other (the
// queue's coreMutex) and on a terminal names its source (namesLock).
//
// THREAD ROLES. State that one thread alone touches needs no lock, and the
// rule "main thread only" is as easy to break as a forgotten lock. So each
// thread that owns such state is a capability too, a ThreadRole, and its
// state is GUARDED_BY the role like any other; a function that must run on
// that thread REQUIRES the role. A role is taken where the thread's code
// begins: AssertOnThread at the top of a thread body or of an entry point
// that only that thread calls (for the rest of that function), RunsOn for a
// handler's scope (an Asio completion, a posted lambda), or where another
// thread stands in for it (the main thread owns the I/O thread's state before
// that thread starts and after it is joined). Touching one thread's state from
// a function that holds another's role then fails the build like a wrong
// lock. The roles cost nothing at run time in any build: they hold no state
// and check no thread ID, since tests play the core's threads on their own
// (one test thread is main and I/O thread in turn).
//   g_mainThread  the process's first thread: Init, Start with every Load,
//                 Open, Close and Unload, the main loop, the stop steps.
//   g_ioThread    "dvrcore:io": every Boost.Asio completion (the stop signal,
//                 the scheduler tick, the parent link).
//   g_watchThread "dvrcore:watch": the slow-call watchdog's own state.
// The other threads ("dvrcore:stats", the plugins' ":wk", ":rd", ":ev" and the
// threads of Load and Open) own no state of the core without a lock.
//
// Waits on a condition variable are written as loops in the function that
// holds the lock (`while (!ready) wakeup.Wait(lock);`), so the analysis sees
// the condition read under the lock; a predicate lambda would hide it.
#ifndef DVRCORE_EVENTS_LOCKS_H
#define DVRCORE_EVENTS_LOCKS_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define DVR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DVR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) DVR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY DVR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) DVR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) DVR_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) DVR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) DVR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) DVR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) DVR_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) DVR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) DVR_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) DVR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) DVR_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) DVR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) DVR_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) DVR_THREAD_ANNOTATION(assert_shared_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS DVR_THREAD_ANNOTATION(no_thread_safety_analysis)

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

class CAPABILITY("mutex") SharedMutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  void LockShared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a Mutex for its scope; the one lock type a CondVar waits with.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  friend class CondVar;
  std::unique_lock<std::mutex> lock_;
};

// Holds a SharedMutex exclusively for its scope.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~WriterLock() RELEASE() { mutex_.Unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds a SharedMutex shared for its scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.LockShared();
  }
  ~ReaderLock() RELEASE() { mutex_.UnlockShared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// One of the core's threads, as a capability (THREAD ROLES above). Nothing
// to lock: holding it means "this code runs on that thread".
class CAPABILITY("role") ThreadRole {};

inline ThreadRole g_mainThread;
inline ThreadRole g_ioThread;
inline ThreadRole g_watchThread;

// Tells the analysis that the rest of the calling function runs on `role`'s
// thread.
inline void AssertOnThread(ThreadRole& role) ASSERT_CAPABILITY(role) { (void)role; }

// Holds `role` for its scope: a handler's body, or a stretch of the main
// thread that stands in for the I/O thread while that thread does not run.
class SCOPED_CAPABILITY RunsOn {
 public:
  explicit RunsOn(ThreadRole& role) ACQUIRE(role) { (void)role; }
  ~RunsOn() RELEASE() {}
  RunsOn(const RunsOn&) = delete;
  RunsOn& operator=(const RunsOn&) = delete;
};

// A condition variable for code that holds a MutexLock. Wait releases the
// lock while it waits and holds it again when it returns, as the standard
// one does; wake-ups may be spurious, hence the loops around it.
class CondVar {
 public:
  void Wait(MutexLock& lock) { condition_.wait(lock.lock_); }
  // False when `deadline` passed.
  bool WaitUntil(MutexLock& lock, std::chrono::steady_clock::time_point deadline) {
    return condition_.wait_until(lock.lock_, deadline) == std::cv_status::no_timeout;
  }
  void NotifyOne() { condition_.notify_one(); }
  void NotifyAll() { condition_.notify_all(); }

 private:
  std::condition_variable condition_;
};

#endif  // DVRCORE_EVENTS_LOCKS_H
