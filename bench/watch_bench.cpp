// The cost of watching: the CPU time the figures file's thread
// ("dvrcore:stats") takes per second of wall time, with many plugins and
// many threads, at an interval between writes.
//
// Row: w.stats.pP[.tT][.iIs], % of one CPU (.iIs when the interval is not
// the default), one sample: `bench --stats-cpu P T I S` (run.sh runs it for
// each row). The thread samples every thread of the process each second
// whatever the interval, and writes the file at each interval, so the rows
// cover both. The threads are idle and named after the plugins' tags, as a
// plugin's threads are, spread evenly over the plugins; their stacks are
// small, so that 2000 of them fit anywhere.
#include "bench/bench_support.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <semaphore>

#include "sys/proc.h"

namespace bench {

namespace {

// The ID of this process's thread named `name`, or 0.
pid_t ThreadNamed(const std::string& name) {
  for (pid_t tid : ListTasks()) {
    if (ThreadComm(tid) == name) return tid;
  }
  return 0;
}

// Nanoseconds thread `tid` of this process has run (the scheduler's own
// account, finer than the clock ticks of its stat file).
long long RunNs(pid_t tid) {
  long long ns = -1;
  std::ifstream("/proc/self/task/" + std::to_string(tid) + "/schedstat") >> ns;
  Check(ns >= 0, "cannot read the schedstat of thread " + std::to_string(tid));
  return ns;
}

// Idle threads, each named by its tag, until destruction.
class IdleThreads {
 public:
  IdleThreads(const std::vector<std::string>& tags, int count) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    for (int i = 0; i < count && !tags.empty(); i++) {
      names_.push_back(tags[static_cast<size_t>(i) % tags.size()] + ":w");
    }
    threads_.resize(names_.size());
    for (size_t i = 0; i < names_.size(); i++) {
      const int rc = pthread_create(&threads_[i], &attr, &IdleThreads::Body, this);
      Check(rc == 0, "cannot start idle thread " + std::to_string(i));
      pthread_setname_np(threads_[i], names_[i].c_str());
      started_++;
    }
    pthread_attr_destroy(&attr);
  }
  ~IdleThreads() {
    end_.release(static_cast<std::ptrdiff_t>(started_));
    for (size_t i = 0; i < started_; i++) pthread_join(threads_[i], nullptr);
  }
  IdleThreads(const IdleThreads&) = delete;
  IdleThreads& operator=(const IdleThreads&) = delete;

 private:
  static void* Body(void* self) {
    static_cast<IdleThreads*>(self)->end_.acquire();
    return nullptr;
  }
  std::vector<std::string> names_;
  std::vector<pthread_t> threads_;
  size_t started_ = 0;
  std::counting_semaphore<> end_{0};
};

}  // namespace

void StatsThreadCpuOnce(int plugins, int threads, int interval, int seconds) {
  Check(plugins > 0 && threads >= 0 && interval > 0 && seconds > 0, "arguments out of range");
  std::vector<std::string> files;
  for (int i = 0; i < plugins; i++) {
    char name[16];
    std::snprintf(name, sizeof name, "p%04d.so", i);
    files.push_back(name);
  }
  BenchCore core(PluginSetup("stats-" + std::to_string(plugins), files, TinyPluginLibraryPath()));
  Check(core.PluginCount() == static_cast<size_t>(plugins), "not every plugin loaded");
  AssertOnThread(g_mainThread);
  std::vector<std::string> tags;
  for (const PLUGININFO& plugin : core.parts().plugins.Records()) tags.push_back(plugin.threadTag);
  IdleThreads idle(tags, threads);

  auto& figures = core.parts().figuresFile;
  const std::string every = std::to_string(interval);
  Check(figures.Configure("figures.prom", every.c_str()), "figures file not configured");
  figures.Start();
  // The first sample and write come at the start: a second for them, then
  // the steady state is measured.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const pid_t stats = ThreadNamed("dvrcore:stats");
  Check(stats != 0, "no dvrcore:stats thread");
  const long long run0 = RunNs(stats), wall0 = NowNs();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long long run1 = RunNs(stats), wall1 = NowNs();
  figures.StopAndWrite();

  std::string row = "w.stats.p" + std::to_string(plugins);
  if (threads != 0) row += ".t" + std::to_string(threads);
  if (std::chrono::seconds(interval) != FiguresFile::kDefaultInterval) {
    row += ".i" + every + "s";
  }
  const double percent =
      100.0 * static_cast<double>(run1 - run0) / static_cast<double>(wall1 - wall0);
  std::printf("ROW %s %.4g %.4g %.4g %%cpu\n", row.c_str(), percent, percent, percent);
}

}  // namespace bench
