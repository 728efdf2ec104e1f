// Shared pieces of the benchmarks: the clock, result rows, the work folder
// with plugin directories, and an in-process core with its plugins loaded.
//
// Results leave as rows "ROW <name> <median> <min> <max> <unit>", the format
// of the performance floors, so that a row named like a floor row is
// compared with it directly. Each repetition of a benchmark gives one sample
// per row (SetRow); RowReporter collects the samples of every repetition and
// prints the rows once all benchmarks have run.
//
// DESIGN: one core object exists at a time (its constructor makes it the
// target of FlatPluginEvent), owned by a BenchCore on the thread that runs
// the benchmark, which plays the core's main thread. The benchmarks reach the
// core's components through CoreControl::PartsOf, the way the core's own
// Start does, so that they time the same code.
#ifndef DVRCORE_BENCH_BENCH_SUPPORT_H
#define DVRCORE_BENCH_BENCH_SUPPORT_H

#include <utility>  // Boost 1.74 Asio needs it first under C++20

#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"

namespace bench {

inline long long NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Nearest-rank quantile, q in [0, 1], as the floors compute it.
double Quantile(std::vector<double> values, double q);

// ".1cpu" when this process may run on one CPU only (started under
// `taskset -c N`), else "": latency rows carry the placement in their name.
const std::string& PlacementSuffix();

// Records one sample of row `name` for this repetition. A row name equal to
// a floor row is compared with that floor; "<floor row>~<variant>" is
// compared with the same floor row under its own name.
void SetRow(benchmark::State& state, const std::string& name, double value, const char* unit);

// Console output as usual, plus the ROW lines at the end (on stdout).
class RowReporter : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal, so that captured output stays plain text.
  RowReporter();
  void ReportRuns(const std::vector<Run>& reports) override;
  void Finalize() override;

 private:
  std::map<std::string, std::vector<double>> samples_;  // row name -> one sample per repetition
};

// The work folder, made by main() and the process's working directory, so
// that the files the core writes there (plugins.xml, core.xml) stay in it.
void SetWorkDir(const std::string& dir);

// The paths of the benchmark plugins and of the real core executable, as built.
const char* PluginLibraryPath();      // bench_plugin.so
const char* TinyPluginLibraryPath();  // bench_tiny_plugin.so
const char* CoreExecutablePath();

// Makes (once per process) <work>/<name>/plugins holding one copy of
// `library` per file name in `plugins` ("0001w.so", see bench_plugin.c), and
// returns the path a core executable in <work>/<name> would have, whose
// plugin directory that is.
std::string PluginSetup(const std::string& name, const std::vector<std::string>& plugins,
                        const char* library = PluginLibraryPath());

// Copies the real core executable alone into <work>/<name> (no plugin
// directory beside it) and returns the copy's path.
std::string LonelyCoreExecutable(const std::string& name);

// A core object in this process with the plugins of `exePath`'s directory
// loaded and opened as Start does it (without Init, reader threads or the
// plugin report, none of which the measured paths touch). The calling
// thread is its main thread. The parent link, when started, runs on an I/O
// thread of its own until StopParentLink or destruction.
//
// The main loop runs once per core: it returns only after a stop request,
// and a stopped request queue accepts nothing again. A benchmark that times
// the main loop repeatedly makes a core per repetition.
class BenchCore {
 public:
  explicit BenchCore(const std::string& exePath);
  ~BenchCore();
  BenchCore(const BenchCore&) = delete;
  BenchCore& operator=(const BenchCore&) = delete;

  // The components. dvrcore::Parts is private to the core: deduced, not named.
  auto& parts() { return CoreControl::PartsOf(*core_); }

  // Any thread: the core's stop request (signal, stop packet).
  void RequestStop() { CoreControl::RequestStop(*core_); }
  // The main loop exactly as Start runs it: delivers every queued event and
  // returns once a stop has been requested and the queue is empty.
  void RunMainLoop();

  // Address of an exported symbol of the i-th loaded plugin (null if absent).
  template <typename T>
  T* PluginSymbol(size_t i, const char* name) {
    return static_cast<T*>(PluginSymbolAddress(i, name));
  }
  size_t PluginCount() {
    AssertOnThread(g_mainThread);
    return parts().plugins.Records().size();
  }

  // Adopts `fd` (closed on failure) as the parent link, as Init does, without
  // Init's change of user and umask, arms the first receive and starts the
  // I/O thread.
  void StartParentLink(int fd);
  // Stops and joins the I/O thread; the link is not closed, so the core
  // never sees it lost.
  void StopParentLink();

 private:
  void* PluginSymbolAddress(size_t i, const char* name);

  std::unique_ptr<dvrcore> core_;
  bool ioRunning_ = false;
};

// Owns a descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Counts the system calls of the thread that made it, from then on: the
// kernel's raw_syscalls:sys_enter tracepoint through perf_event_open, which
// counts in the kernel and adds no call of its own (reading it does, after
// the run). Any thread may read it. Throws when the kernel refuses (not
// root, or no tracing file system).
class SyscallCounter {
 public:
  SyscallCounter();
  SyscallCounter(const SyscallCounter&) = delete;
  SyscallCounter& operator=(const SyscallCounter&) = delete;
  uint64_t Count() const;

 private:
  UniqueFd fd_;
};

// Throw std::runtime_error with `what` when `ok` is false; CheckSys adds
// errno's text, for system calls.
void Check(bool ok, const std::string& what);
void CheckSys(bool ok, const std::string& what);

// Runs `body`; an exception becomes the benchmark's error instead of ending
// the process.
template <typename Body>
void Guarded(benchmark::State& state, Body&& body) {
  try {
    body();
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
  }
}

// ---- One run of a benchmark's workload, for counting instructions ----
// `dvrcore_bench --instr-...` (bench_main.cpp) runs one of these once and
// exits; run.sh counts the run under callgrind at two lengths, and the
// difference is the cost per event or packet. Each throws on failure.

// --instr-drain K [IDLE] N: raises N queued events from this thread with K
// writers loaded (and IDLE writers that match none of them), then runs the
// main loop until they are delivered.
void QueuedDrainOnce(int plugins, int idle, uint32_t events);

// --instr-load N: loads N copies of the smallest plugin with
// PluginTable::LoadAll, then unloads them (callgrind counts LoadAll alone).
void LoadOnce(int plugins);

// --instr-immediate N: N immediate events to the reader plugin, one at a
// time, as ImmediateEvents' latency run.
void ImmediateOnce(uint32_t events);

// --instr-down SIZE N / --instr-up SIZE N: N packets of SIZE bytes through
// the parent link, as ParentLinkDown / ParentLinkUp.
enum class Direction { kDown, kUp };
void ParentLinkOnce(Direction direction, uint32_t size, uint32_t packets);

// --stats-cpu PLUGINS THREADS INTERVAL SECONDS: the figures file's thread
// with PLUGINS copies of the smallest plugin loaded and THREADS idle threads
// named after their tags, writing every INTERVAL seconds; prints the row of
// its CPU time per second of wall time over SECONDS (watch_bench.cpp).
void StatsThreadCpuOnce(int plugins, int threads, int interval, int seconds);

// --instr-start COMMAND...: starts the real core executable once, then
// COMMAND with the executable's path and the core's end of the link appended
// (COMMAND is a callgrind command line), each with the identification and
// stop packets already waiting, as ProcessStart; waits for clean exits.
void StartOnce(std::vector<std::string> command);

}  // namespace bench

#endif  // DVRCORE_BENCH_BENCH_SUPPORT_H
