// The threads of this process by name, sampled from /proc, for the figures
// file.
//
// Threads: no shared state; one sampler belongs to the thread that samples
// (the figures file's, then the main thread after the join).
#ifndef DVRCORE_CORE_THREAD_SAMPLER_H
#define DVRCORE_CORE_THREAD_SAMPLER_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/figures_format.h"
#include "sys/proc.h"

// The threads of this process by name, sampled: which belong to which thread
// tag or to which of the core's roles, and the CPU time they have used.
//
// DESIGN (cost): a thread's name is read from its stat file when it is
// first seen; its CPU time from the kernel's CPU clock of that thread, one
// system call and no file. Reading every thread's stat file (three system
// calls and the kernel formatting fifty fields) at each sample cost a
// process of 2000 threads several per cent of a CPU.
class ThreadSampler {
 public:
  // The CPU time in nanoseconds of thread `tid` of this process, or of the
  // whole process (ended threads included) for 0; false when the thread has
  // ended. ReadCpuClock, but for tests.
  using CpuReader = bool (*)(pid_t tid, uint64_t& ns);
  static bool ReadCpuClock(pid_t tid, uint64_t& ns);
  explicit ThreadSampler(CpuReader cpu = &ReadCpuClock) : cpu_(cpu) {}

  // How much a sample reads: kFull lists the threads and reads every one's
  // CPU time, as the figures are written; kCount, every second between
  // writes, only counts them by role and tag, reading only threads not seen
  // before, and lists them only when the process has another number of
  // threads than the last listing found (a thread that ended while another
  // began is found at the next full sample at the latest).
  enum class Depth { kFull, kCount };
  // Reads /proc/self/task (`taskFolder` for tests): counts each thread under
  // the core's role it has, or else under the longest of `tags` its name
  // begins with, followed by ':', and adds the CPU time it used since it was
  // last read (all of it for a thread not seen before) to that role or tag.
  // A thread that ends between two reads takes the time since the last
  // along; a thread is known by the name it had when first seen, so a plugin
  // that renames its threads as they start takes them out of its figures.
  // Then reads the process's own CPU time, which keeps that of ended threads.
  void Sample(const std::vector<std::string>& tags, Depth depth = Depth::kFull,
              const char* taskFolder = kOwnTaskFolder);
  struct TagFigures {
    unsigned threads = 0;
    unsigned threadsMost = 0;  // since the last StartWindow
    uint64_t cpuNs = 0;
  };
  TagFigures Of(const std::string& tag) const;
  // Nanoseconds of CPU of the core's threads of `role` (not kOther), of
  // every tag's threads together, and of the whole process at the last
  // sample.
  uint64_t CoreNs(CoreThread role) const { return coreNs_[FigureIndex(role)]; }
  uint64_t TagNs() const;
  uint64_t ProcessNs() const { return processNs_; }
  // The most threads at one sample count from the present number on.
  void StartWindow();

 private:
  struct Seen {
    pid_t tid = 0;
    uint64_t cpuNs = 0;  // at its last read
    CoreThread role = CoreThread::kOther;
    TagFigures* tag = nullptr;  // for kOther: its owner in tags_, or none
  };
  // Counts `thread` under its role or tag, with `used` nanoseconds.
  void Tally(const Seen& thread, uint64_t used);
  // A thread not seen before (or whose clock went back: a new thread under
  // an ID used again): its role or owner from its stat file. False when it
  // has ended.
  bool Meet(int folder, pid_t tid, pid_t mainThread, const std::vector<std::string>& tags,
            Seen& thread);

  const CpuReader cpu_;
  std::vector<Seen> seen_;  // the last listing's threads, by ID
  std::string line_;        // a stat line's buffer, kept from one sample to the next
  std::unordered_map<std::string_view, const std::string*> index_;  // Meet's, of tags
  std::map<std::string, TagFigures> tags_;  // never erased: Seen::tag points into it
  uint64_t coreNs_[FigureIndex(CoreThread::kCount)] = {};
  uint64_t processNs_ = 0;
};

#endif  // DVRCORE_CORE_THREAD_SAMPLER_H
