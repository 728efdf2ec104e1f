// The threads of this process by name, sampled from /proc, for the figures
// file.
//
// Threads: no shared state; one sampler belongs to the thread that samples
// (the figures file's, then the main thread after the join).
#ifndef DVRCORE_CORE_THREAD_SAMPLER_H
#define DVRCORE_CORE_THREAD_SAMPLER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/figures_format.h"
#include "sys/proc.h"

// The threads of this process by name, sampled: which belong to which thread
// tag or to which of the core's roles, and the CPU time they have used.
class ThreadSampler {
 public:
  // How much of each thread a sample reads: kFull reads every thread's
  // stat file; kCount reads only those of threads not seen before, and
  // counts the others under the role or tag they had. Three system calls per
  // thread every second cost a process of 2000 threads more than 1 % of a
  // CPU; the writer reads them all only when it writes.
  enum class Depth { kFull, kCount };
  // Reads /proc/self/task (`taskFolder` for tests): counts each thread under
  // the core's role it has, or else under the longest of `tags` its name
  // begins with, followed by ':', and adds the CPU time it used since it was
  // last read (all of it for a thread not seen before) to that role or
  // tag. A thread that ends between two reads takes the time since the last
  // along; a plugin that renames its threads away from its tag takes them
  // out of its figures (from the next full sample on). Then reads the
  // process's own CPU time (the stat file beside the task folder), which
  // keeps that of ended threads.
  void Sample(const std::vector<std::string>& tags, Depth depth = Depth::kFull,
              const char* taskFolder = kOwnTaskFolder);
  struct TagFigures {
    unsigned threads = 0;
    unsigned threadsMost = 0;  // since the last StartWindow
    uint64_t cpuTicks = 0;     // clock ticks (sysconf(_SC_CLK_TCK))
  };
  TagFigures Of(const std::string& tag) const;
  // Clock ticks of the core's threads of `role` (not kOther), of every
  // tag's threads together, and of the whole process at the last sample.
  uint64_t CoreTicks(CoreThread role) const { return coreTicks_[FigureIndex(role)]; }
  uint64_t TagTicks() const;
  uint64_t ProcessTicks() const { return processTicks_; }
  // The most threads at one sample count from the present number on.
  void StartWindow();

 private:
  struct Seen {
    pid_t tid = 0;
    uint64_t startTime = 0;  // tells a new thread under a reused ID
    uint64_t cpuTicks = 0;   // when its stat was last read
    CoreThread role = CoreThread::kOther;
    TagFigures* tag = nullptr;  // for kOther: its owner in tags_, or none
  };
  // Counts `thread` under its role or tag, with `used` ticks.
  void Tally(const Seen& thread, uint64_t used);
  std::vector<Seen> seen_;  // the last sample's threads, by ID
  std::string line_;        // a stat line's buffer, kept from one sample to the next
  std::map<std::string, TagFigures> tags_;  // never erased: Seen::tag points into it
  uint64_t coreTicks_[FigureIndex(CoreThread::kCount)] = {};
  uint64_t processTicks_ = 0;
};

#endif  // DVRCORE_CORE_THREAD_SAMPLER_H
