// Shared pieces of the benchmarks; see bench_support.h.
#include "bench/bench_support.h"

#include <dlfcn.h>
#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace bench {

namespace {

std::string g_workDir;                       // set once by main()
std::map<std::string, std::string> g_units;  // row name -> unit; benchmark thread only
std::set<std::string> g_setups;              // PluginSetup folders made; benchmark thread only

// Boost 1.74's copy_file fails across file systems (EXDEV from
// copy_file_range), and the work folder may be on another one than the build.
void CopyFile(const fs::path& from, const fs::path& to) {
  std::ifstream in(from.string(), std::ios::binary);
  std::ofstream out(to.string(), std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.close();
  Check(in.good() && out.good(), "cannot copy " + from.string() + " to " + to.string());
}

}  // namespace

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

void CheckSys(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

SyscallCounter::SyscallCounter() {
  std::string id;
  std::ifstream("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id") >> id;
  if (id.empty()) std::ifstream("/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id") >> id;
  Check(!id.empty(), "no raw_syscalls:sys_enter tracepoint (tracefs not mounted?)");
  perf_event_attr attr;
  std::memset(&attr, 0, sizeof attr);
  attr.size = sizeof attr;
  attr.type = PERF_TYPE_TRACEPOINT;
  attr.config = std::stoull(id);
  const long fd = syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC);
  CheckSys(fd >= 0, "perf_event_open(raw_syscalls:sys_enter)");
  fd_.reset(static_cast<int>(fd));
}

uint64_t SyscallCounter::Count() const {
  uint64_t count = 0;
  CheckSys(read(fd_.get(), &count, sizeof count) == sizeof count, "reading the system call count");
  return count;
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

const std::string& PlacementSuffix() {
  static const std::string suffix = [] {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return std::string();
    return std::string(CPU_COUNT(&set) == 1 ? ".1cpu" : "");
  }();
  return suffix;
}

void SetRow(benchmark::State& state, const std::string& name, double value, const char* unit) {
  state.counters[name] = value;
  g_units[name] = unit;
}

RowReporter::RowReporter()
    : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void RowReporter::ReportRuns(const std::vector<Run>& reports) {
  ConsoleReporter::ReportRuns(reports);
  for (const Run& run : reports) {
    if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
    for (const auto& counter : run.counters)
      samples_[counter.first].push_back(counter.second.value);
  }
}

void RowReporter::Finalize() {
  ConsoleReporter::Finalize();
  for (const auto& row : samples_) {
    const std::vector<double>& v = row.second;
    std::printf("ROW %-34s %11.4g %11.4g %11.4g %s\n", row.first.c_str(), Quantile(v, 0.5),
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()),
                g_units[row.first].c_str());
  }
  std::fflush(stdout);
}

void SetWorkDir(const std::string& dir) { g_workDir = dir; }

const char* PluginLibraryPath() { return DVRCORE_BENCH_PLUGIN; }
const char* TinyPluginLibraryPath() { return DVRCORE_BENCH_TINY_PLUGIN; }
const char* CoreExecutablePath() { return DVRCORE_EXECUTABLE; }

std::string PluginSetup(const std::string& name, const std::vector<std::string>& plugins,
                        const char* library) {
  const fs::path dir = fs::path(g_workDir) / name;
  if (g_setups.count(name) == 0) {
    fs::create_directories(dir / "plugins");
    for (const std::string& file : plugins) CopyFile(library, dir / "plugins" / file);
    g_setups.insert(name);
  }
  return (dir / "dvrcore").string();
}

std::string LonelyCoreExecutable(const std::string& name) {
  const fs::path dir = fs::path(g_workDir) / name;
  const fs::path exe = dir / "dvrcore";
  if (g_setups.count(name) == 0) {
    fs::create_directories(dir);
    CopyFile(CoreExecutablePath(), exe);
    fs::permissions(exe, fs::owner_all);
    g_setups.insert(name);
  }
  return exe.string();
}

BenchCore::BenchCore(const std::string& exePath) : core_(CoreControl::Make(exePath)) {
  parts().plugins.LoadAll(fs::path(exePath).parent_path());
  parts().plugins.OpenAll();
}

BenchCore::~BenchCore() {
  StopParentLink();
  parts().plugins.CloseAll();
  parts().plugins.UnloadAll();
}

void BenchCore::RunMainLoop() {
  auto& p = parts();
  p.requests.Run([&p](const _EventParmsIn& entry) { p.DeliverQueued(entry); });
}

void* BenchCore::PluginSymbolAddress(size_t i, const char* name) {
  AssertOnThread(g_mainThread);
  const std::vector<PLUGININFO>& records = parts().plugins.Records();
  return i < records.size() ? dlsym(records[i].handle, name) : nullptr;
}

void BenchCore::StartParentLink(int fd) {
  AssertOnThread(g_mainThread);
  auto& p = parts();
  if (!p.parentLink.Adopt(fd)) {
    close(fd);
    throw std::runtime_error("the parent link did not adopt the socket");
  }
  {
    RunsOn beforeIoThread(g_ioThread);  // it starts below
    p.parentLink.StartReceive();
  }
  p.ioThread = std::thread([&p] { p.ioService.run(); });
  ioRunning_ = true;
}

void BenchCore::StopParentLink() {
  AssertOnThread(g_mainThread);
  if (!ioRunning_) return;
  auto& p = parts();
  p.ioService.stop();
  p.ioThread.join();
  p.parentLink.DropUnsent();
  ioRunning_ = false;
}

}  // namespace bench
