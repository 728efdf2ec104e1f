// The figures file: what each plugin does and how the core fares, written
// every few seconds in the Prometheus text format for node_exporter's
// textfile collector, dvrcore-top or any script.
//
// Configured by the core's environment (the parent's reaches it):
// DVRCORE_METRICS_FILE names the file, DVRCORE_METRICS_INTERVAL the seconds
// between writes, DVRCORE_METRICS_MODE the file's mode. Nothing is written
// without the first, so that a device's flash is not worn by default. The
// file is replaced whole each time (see ReplaceFile): a reader never sees half
// of it. Only a regular file is replaced; whatever else the path names is left
// alone, and that is logged.
//
// The file begins with who is writing and whether it still runs: the
// version, the start, and dvrcore_up, 1 in every write but the last one at a
// clean stop, which writes 0. The file is kept rather than removed at the
// stop, so that a collector tells a core that stopped (0) from one that
// never ran (no file); a core killed outright leaves 1, and the file's age
// tells.
//
// DESIGN (threads): a thread of its own ("dvrcore:stats") samples the
// process's threads every second and writes at each interval; the main
// thread starts it, stops it, and writes once more after the plugins are
// unloaded.
// The counters it reads are the plugins' relaxed atomics (events/figures.h),
// so no hot path waits for it.
//
// The text itself is FormatFigures's (figures_format.h), the threads' CPU
// time ThreadSampler's (thread_sampler.h); this is the writer.
#ifndef DVRCORE_CORE_FIGURES_FILE_H
#define DVRCORE_CORE_FIGURES_FILE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "core/figures_format.h"
#include "core/thread_sampler.h"
#include "events/figures.h"
#include "events/locks.h"

class FiguresFile {
 public:
  using GatherCore = std::function<CoreFigures()>;
  using GatherHolds = std::function<std::map<uint32_t, size_t>()>;
  FiguresFile(PluginFiguresBook& book, GatherCore core, GatherHolds holds);
  ~FiguresFile();  // stops it
  FiguresFile(const FiguresFile&) = delete;
  FiguresFile& operator=(const FiguresFile&) = delete;

  // Main thread, before Start: takes the two settings (null: not set); a
  // relative file name is relative to the working folder, which the core
  // never changes. False when no file is configured; a malformed interval or
  // mode is logged and the default used.
  bool Configure(const char* file, const char* interval, const char* mode = nullptr);
  // Main thread: starts the writing thread, when configured. Without a
  // thread (logged), only the last write is made.
  void Start() EXCLUDES(mutex_);
  // Main thread: ends the thread, then writes once more when configured.
  void StopAndWrite() EXCLUDES(mutex_);

  // The default and the bounds of the interval: a few seconds is what the
  // textfile collector and a person reading dvrcore-top need, and far from
  // wearing a flash file system; a day is the most that still means "live".
  static constexpr std::chrono::seconds kDefaultInterval{5};
  static constexpr std::chrono::seconds kLongestInterval{86400};
  // Readable by all, as the textfile collector's convention has it: the
  // collector runs as a user of its own, and the figures hold nothing
  // secret. The mode is this file's alone; the core's other files stay
  // private to its user (umask 077).
  static constexpr int kDefaultMode = 0644;
  // The plugins' threads are sampled this often, whatever the interval, so
  // that the most threads seen at once and their CPU time are close.
  static constexpr std::chrono::seconds kSamplePeriod{1};

 private:
  void Run() EXCLUDES(mutex_);
  // The sampler is the thread's, then the main thread's once it is joined.
  // `up`: false for the last write, at the stop.
  void Write(bool up);
  // The core's start in Unix time (see StartTime in the .cpp).
  double StartTime();

  PluginFiguresBook& book_;
  const GatherCore gatherCore_;
  const GatherHolds gatherHolds_;
  std::string path_;  // set by Configure, read-only afterwards; empty: off
  std::chrono::seconds interval_ = kDefaultInterval;  // like path_
  int mode_ = kDefaultMode;                           // like path_
  // The writing thread's while it runs, the main thread's after the join.
  ThreadSampler sampler_;
  bool failing_ = false;  // the last write failed, and that was logged; like sampler_
  uint64_t otherNs_ = 0;     // CPU written as thread="other" last; like sampler_
  std::string text_;         // the text of the last write, its room kept; like sampler_
  // The monotonic clock at the construction, and the start as last written;
  // startTime_ like sampler_.
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  double startTime_;
  Mutex mutex_;
  CondVar wake_;
  bool stopping_ GUARDED_BY(mutex_) = false;  // set by the main thread
  std::thread thread_;                        // started and joined by the main thread
};

#endif  // DVRCORE_CORE_FIGURES_FILE_H
