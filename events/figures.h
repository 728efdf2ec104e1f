// What each plugin does, counted as it happens: the events it raises and has
// refused, the deliveries made to it, the time its entries take. Read by the
// figures file (core/figures_file.h) and, through it, by dvrcore-top.
//
// DESIGN: counting must cost the hot paths next to nothing (a queued event
// delivered to four plugins costs a few thousand instructions; the counting
// may add a few tens). Every counter is a relaxed atomic of the plugin's own
// PluginFigures, which lives as long as the core object (a plugin's figures
// outlast its unloading, so that the last write of the file still has them).
// Calls are timed with the processor's counter where user code may read it
// for an instruction or two (x86 TSC, the ARMv8 virtual counter), and with
// the monotonic clock elsewhere (32-bit ARM, whose counter may be closed to
// user code): a clock read through the vDSO costs tens of instructions,
// twice per call. A raised event is the plugin's whose ID is its source,
// found in a lock-free index; an event without one (an immediate event) is
// the plugin's whose call the raising thread is in, or whose lent thread it
// is (set per thread). An event neither way attributable (a plugin's own
// thread raising an immediate event) is counted nowhere.
#ifndef DVRCORE_EVENTS_FIGURES_H
#define DVRCORE_EVENTS_FIGURES_H

#include <time.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "events/locks.h"
#include "events/names.h"  // the enumerations counted by, and their names

// The clock calls are timed with, in ticks, and what a tick is worth.
inline uint64_t CallClockTicks() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_ia32_rdtsc();
#elif defined(__aarch64__)
  uint64_t ticks;
  asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
  return ticks;
#else
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
#endif
}
// Measured against the monotonic clock from the first call on (the x86
// counter's rate is not told to user code): the later it is asked, the
// closer. Any thread.
double CallClockTicksPerSecond();

// The bounds of the call duration buckets, in seconds: a decade each, from
// what a quick call takes to what no call should.
constexpr unsigned kCallBounds = 6;
constexpr double kCallBoundSeconds[kCallBounds] = {0.0001, 0.001, 0.01, 0.1, 1, 10};
// The bounds in ticks of the call clock. Computed from
// CallClockTicksPerSecond, which improves as time passes, so recomputed by
// RefreshCallBounds: relaxed, since a call sorted against the previous
// bounds is off by no more than the measurement was. Any thread.
extern std::atomic<uint64_t> g_callBoundTicks[kCallBounds];
inline uint64_t CallBoundTicks(unsigned bound) {
  return g_callBoundTicks[bound].load(std::memory_order_relaxed);
}
// Any thread; the figures file's thread calls it at every sample.
void RefreshCallBounds();

// One plugin's counters. Written by any thread, relaxed: each counter is
// exact on its own, and no reader needs two to agree.
class PluginFigures {
 public:
  PluginFigures(std::string fileName, std::string threadTag)
      : fileName(std::move(fileName)), threadTag(std::move(threadTag)) {}

  void CountRaised(RaiseKind kind) { Add(raised_[Index(kind)]); }
  void CountRefused(Refusal reason) { Add(refused_[Index(reason)]); }
  void CountDelivery(DeliveryKind kind) { Add(deliveries_[Index(kind)]); }
  // One call of `ticks` (CallClockTicks) into `entry`: its time to the
  // entry's sum, and one to the first duration bucket whose bound it does not
  // exceed. Most calls are short, so the first compare nearly always decides.
  void CountCall(CallEntry entry, uint64_t ticks) {
    callTicks_[Index(entry)].fetch_add(ticks, std::memory_order_relaxed);
    unsigned bucket = 0;
    while (bucket < kCallBounds && ticks > CallBoundTicks(bucket)) bucket++;
    Add(calls_[Index(entry)][bucket]);
  }

  uint64_t Raised(RaiseKind kind) const { return Get(raised_[Index(kind)]); }
  uint64_t Refused(Refusal reason) const { return Get(refused_[Index(reason)]); }
  uint64_t Deliveries(DeliveryKind kind) const { return Get(deliveries_[Index(kind)]); }
  // Ticks in all entries, and in one.
  uint64_t CallTicks() const;
  uint64_t CallTicks(CallEntry entry) const { return Get(callTicks_[Index(entry)]); }
  // Calls into `entry` that took longer than bound bucket - 1 and no longer
  // than bound `bucket` (kCallBounds: longer than every bound). Not
  // cumulative: the figures file adds them up.
  uint64_t Calls(CallEntry entry, unsigned bucket) const {
    return Get(calls_[Index(entry)][bucket]);
  }

  // Set on the main thread before the plugin's Load, read-only afterwards.
  const std::string fileName;
  const std::string threadTag;  // what its threads' names begin with
  // Main thread before publication (PluginFiguresBook::Publish); read by the
  // figures file's thread after it, under the book's lock.
  uint32_t id = 0;
  // A raise refused because the core stops is told in the log once per
  // plugin (core/dispatch.cpp), with whether its Close had returned. Relaxed:
  // they choose only whether and how one line is written. `closed`: set by
  // the main thread after Close, read by raisers; `lateRaiseTold`: any raiser.
  std::atomic<bool> closed{false};
  std::atomic<bool> lateRaiseTold{false};

 private:
  template <typename Enum>
  static constexpr unsigned Index(Enum value) { return FigureIndex(value); }
  static void Add(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
  }
  static uint64_t Get(const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
  }

  std::atomic<uint64_t> raised_[FigureIndex(RaiseKind::kCount)] = {};
  std::atomic<uint64_t> refused_[FigureIndex(Refusal::kCount)] = {};
  std::atomic<uint64_t> deliveries_[FigureIndex(DeliveryKind::kCount)] = {};
  std::atomic<uint64_t> callTicks_[FigureIndex(CallEntry::kCount)] = {};
  std::atomic<uint64_t> calls_[FigureIndex(CallEntry::kCount)][kCallBounds + 1] = {};
};

// Where calls into plugins the loader did not admit are counted (records a
// test or a tool builds itself): never listed, so that the hot paths need
// not test for figures that are not there.
PluginFigures& UncountedFigures();

// Every plugin's figures, for the life of the core object, and the index by
// plugin ID that attributes events raised with a source.
class PluginFiguresBook {
 public:
  PluginFiguresBook();
  ~PluginFiguresBook();
  PluginFiguresBook(const PluginFiguresBook&) = delete;
  PluginFiguresBook& operator=(const PluginFiguresBook&) = delete;

  // Main thread, before a plugin's Load: figures for it, counting from now on
  // but not listed or findable until Publish.
  PluginFigures& Open(const std::string& fileName, const std::string& threadTag)
      EXCLUDES(mutex_);
  // Main thread, once the plugin is in the table under `id`: listed, and
  // found by Find. A second plugin under an ID already published is listed
  // but not found by it (the first keeps it).
  void Publish(PluginFigures& figures, uint32_t id) EXCLUDES(mutex_);
  // Any thread, lock-free: the figures published under `id`, or null. The
  // first probe inline: it nearly always decides.
  PluginFigures* Find(uint32_t id) const {
    const Index* index = index_.load(std::memory_order_acquire);
    const Slot& home = index->slots[Home(id, index->bits)];
    const uint32_t taken = home.id.load(std::memory_order_acquire);
    if (taken == id && id != 0) return home.figures.load(std::memory_order_relaxed);
    return taken == 0 ? nullptr : FindFurther(*index, id);
  }
  // Any thread: the listed figures, in the order of publication. Each stays
  // valid for the life of the book.
  std::vector<const PluginFigures*> Listed() const EXCLUDES(mutex_);

 private:
  // The index: open addressing, power-of-two sized, grown on the main thread
  // by publishing a larger copy. Readers may still hold an older array, so
  // the older ones are kept until the book goes (together less than the
  // current one).
  struct Slot {
    std::atomic<uint32_t> id{0};  // 0: empty; stored after `figures`
    std::atomic<PluginFigures*> figures{nullptr};
  };
  struct Index {
    explicit Index(unsigned bits);
    unsigned bits;
    std::unique_ptr<Slot[]> slots;
  };
  static unsigned Home(uint32_t id, unsigned bits) {
    return static_cast<unsigned>((id * 0x9E3779B1u) >> (32 - bits));  // Fibonacci hashing
  }
  bool Insert(Index& index, uint32_t id, PluginFigures* figures);
  PluginFigures* FindFurther(const Index& index, uint32_t id) const;

  std::atomic<Index*> index_;  // stored on the main thread, loaded by any
  // Main thread: every index ever published, the current one last.
  std::vector<std::unique_ptr<Index>> indexes_;
  size_t indexed_ = 0;  // main thread: IDs in the current index

  mutable Mutex mutex_;
  std::deque<PluginFigures> all_ GUARDED_BY(mutex_);  // stable addresses
  std::vector<PluginFigures*> listed_ GUARDED_BY(mutex_);
};

// The plugin the calling thread works for: set for good on a lent thread,
// and for the length of a call on the main and the I/O thread (TimedCall).
// Null when unknown. (__thread: read inline, without C++'s wrapper call.)
extern __thread PluginFigures* t_threadFigures;
inline void SetThreadFigures(PluginFigures* figures) { t_threadFigures = figures; }
inline PluginFigures* ThreadFigures() { return t_threadFigures; }

// One call into a plugin, from construction to destruction: its time goes to
// the plugin's figures, and events the thread raises meanwhile are the
// plugin's.
class TimedCall {
 public:
  TimedCall(PluginFigures& figures, CallEntry entry)
      : figures_(figures), outer_(t_threadFigures), entry_(entry) {
    t_threadFigures = &figures_;
    start_ = CallClockTicks();
  }
  // A call that delivers something, counted as such.
  TimedCall(PluginFigures& figures, CallEntry entry, DeliveryKind delivery)
      : TimedCall(figures, entry) {
    figures_.CountDelivery(delivery);
  }
  ~TimedCall() {
    figures_.CountCall(entry_, CallClockTicks() - start_);
    t_threadFigures = outer_;
  }
  TimedCall(const TimedCall&) = delete;
  TimedCall& operator=(const TimedCall&) = delete;

 private:
  PluginFigures& figures_;
  PluginFigures* const outer_;  // the thread's plugin before this call
  const CallEntry entry_;
  uint64_t start_ = 0;
};

#endif  // DVRCORE_EVENTS_FIGURES_H
