// The driver plugin of dvrcore-plugin-check: loaded into the core beside the
// plugin under check, it raises the traffic a device gives a plugin and
// writes down what it saw for the tool.
//
// It is loaded first (the tool names its file so that it sorts first) and has
// the ID PLUGIN_ID_NEVER_UNMAP, so its code stays mapped after its Unload. In
// Load it notes the process's threads and descriptors; at the core's exit
// (an atexit handler, after the core object and every plugin are gone) it
// writes the threads and descriptors that appeared since: what a plugin left
// behind after its Unload.
//
// Configuration: the file named by DVRCORE_CHECK_DRIVER, one "key value..."
// per line: masks <9 hex words> (the checked plugin's), writes 0|1, reader
// 0|1, fuzz 0|1, seed <n>, case <n> (replay that event case only; -1: none),
// report <path>. Report lines (one write(2) each, O_APPEND): "raised <case>
// <kind> <type> <flags> <corr> <len>", "delivered <case>" (its own queued
// case reaching its Write, just before the plugins after it in the table),
// "thread <tid> <name>", "fd <n> <target>", "exit".
//
// Threads: Load, Write, IOCTL(config) and Close run on the core's main
// thread, the traffic on the worker thread; g_closed is the only state both
// touch (atomic). The configuration is written by Load before the worker
// starts and read-only afterwards.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "events/events.h"
#include "pluginhost/plugin.h"
#include "tools/check_cases.h"

namespace {

constexpr uint32_t kDriverId = PLUGIN_ID_NEVER_UNMAP;
// Marks the driver's own fuzz events in the event-specific word specific1.
constexpr uint32_t kCaseMark = 0x43484B31;  // "CHK1"

struct DriverConfig {
  uint32_t masks[EVENT_CLASS_COUNT] = {};
  bool writes = false;
  bool reader = false;
  bool fuzz = false;
  unsigned long long seed = 0;
  long long replayCase = -1;
  std::string report;
};

DriverConfig g_config;                   // written by Load, read-only afterwards
PluginEventFunction g_raise = nullptr;   // likewise
std::set<std::string> g_baseThreads;     // their IDs; Load and the exit handler, main thread
std::set<std::string> g_baseDescriptors; // likewise
std::atomic<bool> g_started{false};      // set by the first config IOCTL
std::atomic<bool> g_closed{false};       // set by Close
// Set by Unload: the core is unloading its plugins, so at the process's exit
// every Unload has run. Without it the exit came from elsewhere (a plugin
// that called exit), with the core's threads still running.
std::atomic<bool> g_unloaded{false};

void Report(const std::string& line) {
  if (g_config.report.empty()) return;
  const int fd = open(g_config.report.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) < 0) {
    // Nothing to tell anyone: the tool reads the missing line as missing.
  }
  close(fd);
}

std::string ReadSmallFile(const std::string& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "re")) {
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

std::vector<std::string> ListFolder(const char* path) {
  std::vector<std::string> names;
  if (DIR* folder = opendir(path)) {
    while (dirent* entry = readdir(folder)) {
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(folder);
  }
  return names;
}

// "4711 name" for every thread of the process but the calling one.
std::set<std::string> Threads() {
  std::set<std::string> threads;
  const std::string self = std::to_string(syscall(SYS_gettid));
  for (const std::string& tid : ListFolder("/proc/self/task")) {
    if (tid == self) continue;
    std::string name = ReadSmallFile("/proc/self/task/" + tid + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    threads.insert(tid + " " + name);
  }
  return threads;
}

// The syslog client socket the C library opens at the core's first failure
// line: the core's, not a plugin's.
bool IsSyslogSocket(int fd) {
  sockaddr_un peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
  return peer.sun_family == AF_UNIX && std::strcmp(peer.sun_path, "/dev/log") == 0;
}

// "5 /dev/null" for every open descriptor but the listing's own.
std::set<std::string> Descriptors(bool skipSyslog) {
  std::set<std::string> descriptors;
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return descriptors;
  const int own = dirfd(folder);
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd == own || (skipSyslog && IsSyslogSocket(fd))) continue;
    char target[512];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    target[n < 0 ? 0 : n] = '\0';
    descriptors.insert(std::string(entry->d_name) + " " + target);
  }
  closedir(folder);
  return descriptors;
}

void ReportLeftBehind() {
  if (!g_unloaded.load()) return;
  for (const std::string& thread : Threads()) {
    // By ID alone: the core renames a thread that came during a Load.
    const std::string id = thread.substr(0, thread.find(' '));
    if (g_baseThreads.count(id) == 0) Report("thread " + thread);
  }
  for (const std::string& descriptor : Descriptors(true)) {
    if (g_baseDescriptors.count(descriptor) == 0) Report("fd " + descriptor);
  }
  Report("exit");
}

bool ReadConfig(const char* path) {
  FILE* file = path ? std::fopen(path, "re") : nullptr;
  if (file == nullptr) return false;
  char line[512];
  while (std::fgets(line, sizeof line, file)) {
    char key[32] = "";
    char value[480] = "";
    if (std::sscanf(line, "%31s %479[^\n]", key, value) < 1) continue;
    const std::string name = key;
    if (name == "masks") {
      unsigned* m = g_config.masks;
      std::sscanf(value, "%x %x %x %x %x %x %x %x %x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5],
                  &m[6], &m[7], &m[8]);
    } else if (name == "writes" || name == "reader" || name == "fuzz") {
      (name == "writes" ? g_config.writes : name == "reader" ? g_config.reader : g_config.fuzz) =
          std::atoi(value) != 0;
    } else if (name == "seed") {
      g_config.seed = std::strtoull(value, nullptr, 0);
    } else if (name == "case") {
      g_config.replayCase = std::strtoll(value, nullptr, 0);
    } else if (name == "report") {
      g_config.report = value;
    }
  }
  std::fclose(file);
  return true;
}

}  // namespace

// The traffic (check_traffic.cpp, built into the same plugin).
void RunTraffic(PluginEventFunction raise, const uint32_t masks[EVENT_CLASS_COUNT], bool writes,
                bool reader, const std::atomic<bool>& closed);
void RunFuzz(PluginEventFunction raise, unsigned long long seed, long long onlyCase,
             const uint32_t masks[EVENT_CLASS_COUNT], uint32_t caseMark,
             void (*report)(const std::string&), const std::atomic<bool>& closed);

extern "C" {

int32_t Load(void* request, void* result) {
  auto* in = static_cast<_LoadParmsIn*>(request);
  auto* out = static_cast<_LoadParmsOut*>(result);
  if (!ReadConfig(std::getenv("DVRCORE_CHECK_DRIVER"))) {
    out->error = 1;  // a stray copy in a device's plugin folder stays out
    return -1;
  }
  g_raise = in->raiseEvent;
  // ThreadSanitizer's runtime starts a thread of its own with the process's
  // first one, which the core starts after the plugins load: one started
  // and ended here puts it among the threads there before.
  std::thread([] {}).join();
  for (const std::string& thread : Threads()) {
    g_baseThreads.insert(thread.substr(0, thread.find(' ')));
  }
  g_baseDescriptors = Descriptors(false);
  std::atexit(ReportLeftBehind);
  out->id = kDriverId;
  // Every queued event reaches its Write, its own fuzz cases among them;
  // mask 6 the largest, so that it closes first and its traffic ends before
  // the checked plugin's Close.
  for (uint32_t& mask : out->eventMasks) mask = 0xFFFFFFFFu;
  out->wantsWorker = 1;
  out->acceptsWrites = 1;
  return 0;
}

int32_t Unload(void*, void*) {
  g_unloaded.store(true);
  return 0;
}
int32_t Open(void*, void*) { return 0; }

int32_t Close(void*, void*) {
  g_closed.store(true);
  return 0;
}

int32_t Read(void*, void*) { return 0; }
int32_t Seek(void*, void*) { return 0; }

int32_t Write(void* request, void*) {
  const auto* in = static_cast<const _WriteParmsIn*>(request);
  if (in->sourceId == kDriverId && in->specific1 == kCaseMark) {
    Report("delivered e" + std::to_string(in->specific0));
  }
  return 0;
}

int32_t IOCTL(void* request, void*) {
  const auto* in = static_cast<const _IoctlParmsIn*>(request);
  if (in->code == IOCTL_UPDATE_CONFIG) g_started.store(true);
  if (in->code != IOCTL_RUN_WORKER) return 0;
  // Traffic from the first document on: every plugin is open by then.
  while (!g_started.load() && !g_closed.load()) usleep(10000);
  if (g_config.fuzz) {
    RunFuzz(g_raise, g_config.seed, g_config.replayCase, g_config.masks, kCaseMark, Report,
            g_closed);
  } else {
    RunTraffic(g_raise, g_config.masks, g_config.writes, g_config.reader, g_closed);
  }
  return 0;
}

}  // extern "C"
