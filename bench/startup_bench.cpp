// Start-up: plugin loading in-process, and the real core executable started
// as its parent would start it; the workloads of floor_dlopen.sh and
// floor_rss.
//
// Rows:
//   d.full.open        µs per plugin for PluginTable::LoadAll with 100 copies
//                      of the smallest plugin: discovery + dlopen + dlsym + Load
//   d.full.open~step   the same without discovery (the loading step alone),
//                      compared with the same floor row
//   d.full.all100      ms for all 100
//   d.full.close       µs per plugin for PluginTable::UnloadAll (Unload +
//                      dlclose)
//   d.full.open.n1000  d.full.open with 1000 plugins, compared with
//                      d.full.open (100) of the same run: what a plugin's
//                      loading costs more in a larger table
//   start.full         ms from spawn to exit of the core with no plugins,
//                      the identification and stop packets already waiting
//                      on its link
//   start.full.floor   ms from spawn to exit of the floor's start program
//                      ("PATH --exit", PATH from DVRCORE_BENCH_START_FLOOR),
//                      started the same way right before each start of the
//                      core, so that both see the same state of the machine:
//                      over the minutes between two separate runs it drifts
//                      by more than the two programs differ
//   rss.full(.anon/.file)  KiB resident 300 ms after the core was started
//                      with no plugins and identified
// LoadOnce serves `bench --instr-load N`, whose instruction count run.sh
// takes inside PluginTable::LoadAll (row i.d.full.open); StartOnce serves
// `bench --instr-start`, the start of ProcessStart under callgrind (row
// i.start.full).
//
// The loading benchmarks call the plugin table as Start does, on a core
// object that neither Init nor Start ran: no change of user or umask.
#include "bench/bench_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <boost/filesystem/path.hpp>

#include "ipc/packets.h"

extern char** environ;

namespace bench {

namespace {

namespace fs = boost::filesystem;

constexpr int kLoadedPlugins = 100;  // as floor_dlopen.sh

// `count` copies of the smallest plugin, as floor_dlopen.sh makes them.
std::string LoadingSetup(int count) {
  std::vector<std::string> files;
  for (int i = 0; i < count; i++) {
    char name[16];
    std::snprintf(name, sizeof name, "p%03d.so", i);
    files.push_back(name);
  }
  return PluginSetup("loading-" + std::to_string(count), files, TinyPluginLibraryPath());
}

// Discovery exactly as PluginTable::LoadAll starts it.
size_t Discover(const fs::path& exeDir) {
  std::vector<fs::path> candidates;
  FindCorePluginFiles(exeDir, candidates);
  return candidates.size();
}

// The plugin table of a fresh core object for `exe`.
struct LoadingCore {
  explicit LoadingCore(const std::string& exe) : core(CoreControl::Make(exe)) {}
  PluginTable& plugins() { return CoreControl::PartsOf(*core).plugins; }
  std::unique_ptr<dvrcore> core;
};

void PluginLoading(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  Guarded(state, [&] {
    const std::string exe = LoadingSetup(count);
    const fs::path exeDir = fs::path(exe).parent_path();
    {
      // The floor discards its first round, which pays for cold caches.
      LoadingCore warmUp(exe);
      warmUp.plugins().LoadAll(exeDir);
      warmUp.plugins().UnloadAll();
    }
    AssertOnThread(g_mainThread);
    for (auto _ : state) {
      LoadingCore core(exe);
      const long long t0 = NowNs();
      core.plugins().LoadAll(exeDir);
      const long long t1 = NowNs();
      Check(core.plugins().Records().size() == static_cast<size_t>(count),
            "not every plugin loaded");
      const size_t found = Discover(exeDir);
      const long long t2 = NowNs();
      core.plugins().UnloadAll();
      const long long t3 = NowNs();
      Check(found == static_cast<size_t>(count), "discovery found another count");
      const double loadNs = static_cast<double>(t1 - t0);
      state.SetIterationTime(loadNs / 1e9);
      if (count != kLoadedPlugins) {
        SetRow(state, "d.full.open.n" + std::to_string(count), loadNs / count / 1000, "us/plugin");
        continue;
      }
      SetRow(state, "d.full.open", loadNs / kLoadedPlugins / 1000, "us/plugin");
      SetRow(state, "d.full.open~step",
             (loadNs - static_cast<double>(t2 - t1)) / kLoadedPlugins / 1000, "us/plugin");
      SetRow(state, "d.full.all100", loadNs / 1e6, "ms");
      SetRow(state, "d.full.close", static_cast<double>(t3 - t2) / kLoadedPlugins / 1000,
             "us/plugin");
    }
  });
}

// ---- The real executable ----

// The parent's end of a fresh link and a core started on the other end,
// its output thrown away, in the benchmark's working directory. A core not
// reaped by the end of a failed run is killed.
struct SpawnedCore {
  pid_t pid = -1;
  int parent = -1;
  SpawnedCore() = default;
  SpawnedCore(const SpawnedCore&) = delete;
  SpawnedCore& operator=(const SpawnedCore&) = delete;
  SpawnedCore(SpawnedCore&& other) noexcept : pid(other.pid), parent(other.parent) {
    other.pid = -1;
    other.parent = -1;
  }
  ~SpawnedCore() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (parent >= 0) close(parent);
  }
};

void SendPacket(int fd, uint32_t type, const std::string& payload) {
  std::vector<uint8_t> packet = MakeIpcPacket(0, type, payload.data(), payload.size());
  CheckSys(send(fd, packet.data(), packet.size(), 0) == static_cast<ssize_t>(packet.size()),
           "send to the core");
}

// "<library file>\0<version>"
void SendIdentification(int fd) {
  SendPacket(fd, kIpcTypeIdentification,
             std::string("libbench.so\0"
                         "1.0",
                         15));
}
void SendStop(int fd) { SendPacket(fd, kIpcTypeStop, std::string()); }
void IdentifyAndStop(int fd) {
  SendIdentification(fd);
  SendStop(fd);
}

// Starts `command` (the core executable, or a program that runs it given as
// its last argument) with the core's end of the link appended as the core's
// argument; `before` runs on the parent's end before the spawn.
template <typename Before>
SpawnedCore Spawn(std::vector<std::string> command, Before&& before, long long* spawnedNs) {
  int ends[2];
  CheckSys(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) == 0, "socketpair");
  SpawnedCore child;
  child.parent = ends[0];
  const UniqueFd coreEnd(ends[1]);  // the child's copy is the one that counts
  CheckSys(fcntl(child.parent, F_SETFD, FD_CLOEXEC) == 0, "fcntl");
  before(child.parent);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  command.push_back(std::to_string(ends[1]));
  std::vector<char*> argv;
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);
  *spawnedNs = NowNs();
  int rc = posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    child.pid = -1;
    errno = rc;
    CheckSys(false, "posix_spawn " + command[0]);
  }
  return child;
}

// Waits for the core to exit (the link stays open until then, so the core
// never sees it lost) and checks its status.
void Reap(SpawnedCore& child) {
  int status = 0;
  pid_t waited = waitpid(child.pid, &status, 0);
  child.pid = -1;
  close(child.parent);
  child.parent = -1;
  Check(waited != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0,
        "the core did not stop cleanly (wait status " + std::to_string(status) + ")");
}

// Spawns "floor --exit" as Spawn starts the core (the floor program ignores
// the descriptor appended) and waits for its exit; ms from spawn to exit.
double FloorStartMs(const std::string& floor) {
  long long start;
  SpawnedCore child = Spawn({floor, "--exit"}, [](int) {}, &start);
  Reap(child);
  return static_cast<double>(NowNs() - start) / 1e6;
}

void ProcessStart(benchmark::State& state) {
  const char* floorVariable = std::getenv("DVRCORE_BENCH_START_FLOOR");
  const std::string floor = floorVariable != nullptr ? floorVariable : "";
  Guarded(state, [&] {
    const std::string exe = LonelyCoreExecutable("lonely");
    long long start;
    SpawnedCore warmUp = Spawn({exe}, IdentifyAndStop, &start);
    Reap(warmUp);
    if (!floor.empty()) FloorStartMs(floor);
    for (auto _ : state) {
      if (!floor.empty()) SetRow(state, "start.full.floor", FloorStartMs(floor), "ms");
      SpawnedCore child = Spawn({exe}, IdentifyAndStop, &start);
      Reap(child);
      const long long end = NowNs();
      state.SetIterationTime(static_cast<double>(end - start) / 1e9);
      SetRow(state, "start.full", static_cast<double>(end - start) / 1e6, "ms");
    }
  });
}

long StatusKiB(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, key.size() + 1, key + ":") == 0)
      return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

long StatmKiB(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  unsigned long size = 0, resident = 0;
  if (!(statm >> size >> resident)) return -1;
  return static_cast<long>(resident * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) / 1024);
}

void IdleMemory(benchmark::State& state) {
  Guarded(state, [&] {
    const std::string exe = LonelyCoreExecutable("lonely");
    for (auto _ : state) {
      long long start;
      SpawnedCore child = Spawn({exe}, SendIdentification, &start);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const long total = StatmKiB(child.pid), anon = StatusKiB(child.pid, "RssAnon"),
                 file = StatusKiB(child.pid, "RssFile");
      SendStop(child.parent);
      Reap(child);
      Check(total > 0 && anon >= 0 && file >= 0, "no resident size for the core");
      state.SetIterationTime(static_cast<double>(NowNs() - start) / 1e9);
      SetRow(state, "rss.full", static_cast<double>(total), "KiB");
      SetRow(state, "rss.full.anon", static_cast<double>(anon), "KiB");
      SetRow(state, "rss.full.file", static_cast<double>(file), "KiB");
    }
  });
}

BENCHMARK(PluginLoading)
    ->Arg(kLoadedPlugins)
    ->Arg(1000)
    ->Iterations(1)
    ->Repetitions(14)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ProcessStart)
    ->Iterations(1)
    ->Repetitions(21)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(IdleMemory)
    ->Iterations(1)
    ->Repetitions(3)  // resident sizes move by a few KiB at most
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

void LoadOnce(int plugins) {
  const std::string exe = LoadingSetup(plugins);
  AssertOnThread(g_mainThread);
  LoadingCore core(exe);
  core.plugins().LoadAll(fs::path(exe).parent_path());
  Check(core.plugins().Records().size() == static_cast<size_t>(plugins), "not every plugin loaded");
  core.plugins().UnloadAll();
}

void StartOnce(std::vector<std::string> command) {
  const std::string exe = LonelyCoreExecutable("lonely");
  // A start as ProcessStart times it: not the first in its folder (the
  // first writes core.xml), so the first runs uncounted.
  long long start;
  SpawnedCore first = Spawn({exe}, IdentifyAndStop, &start);
  Reap(first);
  command.push_back(exe);
  SpawnedCore counted = Spawn(command, IdentifyAndStop, &start);
  Reap(counted);
}

}  // namespace bench
