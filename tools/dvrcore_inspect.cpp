// dvrcore-inspect: tells a plugin author what the core would make of plugin
// files, without running a core.
//
//   dvrcore-inspect [--timeout SECONDS] <file-or-directory>...
//
// It prints the order in which the core would load the files (directories are
// scanned for ".so" files the way the core scans its plugin directories;
// files are taken as given; the whole list is sorted with the core's order),
// then for each file: whether it maps, which of the eight entries it exports,
// and, after its Load, its self-description. The core's own messages for
// rejected files appear as the core words them. A file that ends the process
// (exit, a crash) or does not return within the time limit is reported as
// such. Exit status: 0 when every file loaded and every directory could be
// read, 1 otherwise, 2 for a usage error.
//
// DESIGN: each file is inspected in a child process of its own, so that a
// plugin that exits, crashes or hangs in Load costs only its own verdict: the
// parent waits for the child at most the time limit (SIGCHLD blocked and
// taken with sigtimedwait), kills it with SIGKILL after that, and goes on
// with the next file. The parent itself never maps a plugin and stays single
// threaded, so that fork is safe. The child builds a core object that is
// never started and takes the file through the core's own admission step
// (PluginTable::Admit: dlopen with RTLD_NOW, the eight look-ups, Load, the ID
// check), then through its unloading step (Unload, dlclose). Open and Close
// are never called and no worker or reader thread is started. A plugin's
// events raised from Load go through the real dispatch: log lines reach the
// Log override below, queued events stay in the unstarted core's queue until
// it is destroyed, packets for the parent are refused (no link). The child
// prints its findings itself (line-buffered, so they survive its end) and
// reports through a pipe how far it got and, for an admitted file, its ID and
// module name: the parent hands the names of the files admitted so far to
// each later child, whose ID check then sees them as the core would. The
// tool resolves FlatPluginEvent and the core's virtual table for the plugins
// the same way the executable does (linked with exports, see
// tools/CMakeLists.txt).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "core/core.h"

namespace fs = boost::filesystem;

namespace {

const char kUsage[] =
    "usage: dvrcore-inspect [--timeout SECONDS] <file-or-directory>...\n"
    "Shows the order in which the core would load the given plugin files (and the\n"
    "\".so\" files of the given directories), and what each file exports and\n"
    "reports from its Load. Open and Close are never called and no thread is\n"
    "started. Each file is inspected in a process of its own, which is killed\n"
    "when it has not finished within the timeout (default 30 s). Exit status: 0\n"
    "when every file loaded and every directory could be read, 1 otherwise.\n";

constexpr int kUsageStatus = 2;
constexpr unsigned kDefaultTimeoutSeconds = 30;
constexpr unsigned kMaxTimeoutSeconds = 86400;

const char* const kEntryNames[] = {"Load", "Unload", "Open", "Close",
                                   "Read", "Write",  "Seek", "IOCTL"};

// A core object that is never started. Every log event ends in Log, so
// overriding it prints the core's messages (and the plugins' log lines) on
// stdout instead of the terminal-only console and syslog.
class InspectorCore : public dvrcore {
 public:
  explicit InspectorCore(const std::string& executablePath) : dvrcore(executablePath) {
    Table().AddName(kCoreSourceId, "core");
  }

  // The core's own plugin table, never filled: files only pass through it.
  PluginTable& Table() { return CoreControl::PartsOf(*this).plugins; }

  // Any thread (a plugin may log from threads of its own); one printf per
  // line, so lines do not interleave.
  void Log(uint32_t sourceId, unsigned level, const char* text) override {
    if (text == nullptr) return;
    if (sourceId == kCoreSourceId) {
      std::printf("  %s\n", text);
    } else {
      std::printf("  log from 0x%08lX level %u: %s\n", static_cast<unsigned long>(sourceId), level,
                  text);
    }
  }
};

// What the ID means to the core beyond naming the plugin; empty for none.
std::string IdRemark(InspectorCore& core, PluginAdmission outcome, uint32_t id) {
  if (id == kCoreSourceId) return " (reserved: taken by the core)";
  if (outcome == PluginAdmission::kIdTaken) {
    return " (clashes with an earlier file: " + core.Table().NameOf(id) + ")";
  }
  if (id == PLUGIN_ID_FIRST) return " (reserved: placed first in the plugin table)";
  if (id == PLUGIN_ID_NEVER_UNMAP) return " (reserved: never unmapped)";
  return "";
}

void PrintDescription(InspectorCore& core, PluginAdmission outcome, const _LoadParmsOut& desc) {
  std::printf("  id: 0x%08lX%s\n", static_cast<unsigned long>(desc.id),
              IdRemark(core, outcome, desc.id).c_str());
  std::printf("  masks:");
  for (uint32_t mask : desc.eventMasks) std::printf(" 0x%08lX", static_cast<unsigned long>(mask));
  std::printf("\n");
  std::printf("  wantsWorker: %u\n", desc.wantsWorker);
  if (desc.wantsWorker) std::printf("  worker thread: requested (not started by the inspector)\n");
  std::printf("  wantsReader: %u\n", desc.wantsReader);
  std::printf("  acceptsWrites: %u\n", desc.acceptsWrites);
  std::printf("  error: %d\n", desc.error);
}

// ---- What a child reports to the parent ---------------------------------------------
//
// Two records, each written with one write(2) of less than PIPE_BUF bytes, so
// that each arrives whole or not at all: the admission (right after Admit)
// and the end (after Unload and the core object's destruction).
//   admission: 'A', outcome (1 byte), ID (4 bytes), name length (2 bytes), name
//   end:       'E'
constexpr char kAdmissionRecord = 'A';
constexpr char kEndRecord = 'E';
constexpr size_t kMaxReportedName = 255;

struct ChildReport {
  std::optional<PluginAdmission> outcome;  // set once the admission arrived
  uint32_t id = 0;
  std::string name;  // the module name, for an admitted file
  bool ended = false;
};

void WriteRecord(int fd, const std::string& record) {
  ssize_t ignored = write(fd, record.data(), record.size());  // the parent sees a missing record
  (void)ignored;
}

void ReportAdmission(int fd, PluginAdmission outcome, uint32_t id, std::string name) {
  if (name.size() > kMaxReportedName) name.resize(kMaxReportedName);
  std::string record(1, kAdmissionRecord);
  record += static_cast<char>(outcome);
  record.append(reinterpret_cast<const char*>(&id), sizeof id);
  const uint16_t length = static_cast<uint16_t>(name.size());
  record.append(reinterpret_cast<const char*>(&length), sizeof length);
  record += name;
  WriteRecord(fd, record);
}

// Parses what the child wrote before it ended.
ChildReport ParseReport(const std::string& bytes) {
  ChildReport report;
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes[at] == kEndRecord) {
      report.ended = true;
      at++;
      continue;
    }
    const size_t fixed = 1 + 1 + sizeof(uint32_t) + sizeof(uint16_t);
    if (bytes[at] != kAdmissionRecord || bytes.size() - at < fixed) break;
    report.outcome = static_cast<PluginAdmission>(bytes[at + 1]);
    std::memcpy(&report.id, bytes.data() + at + 2, sizeof report.id);
    uint16_t length;
    std::memcpy(&length, bytes.data() + at + 6, sizeof length);
    report.name.assign(bytes, at + fixed, length);
    at += fixed + length;
  }
  return report;
}

// ---- The child ----------------------------------------------------------------------

// Takes one file through the core's own admission step and back out, printing
// what it learns; reports to `reportFd` as it goes. `names` are the module
// names of the files admitted before it.
void InspectFile(const std::string& executablePath, const std::map<uint32_t, std::string>& names,
                 const fs::path& path, int reportFd) {
  InspectorCore core(executablePath);
  for (const auto& [id, name] : names) core.Table().AddName(id, name);

  PLUGININFO plugin;
  const PluginAdmission outcome = core.Table().Admit(path, plugin);
  ReportAdmission(reportFd, outcome, plugin.desc.id,
                  outcome == PluginAdmission::kAdmitted ? core.Table().NameOf(plugin.desc.id) : "");
  if (outcome == PluginAdmission::kNotMapped) {
    std::printf("  maps: no\n");
    return;
  }
  std::printf("  maps: yes\n");

  const PluginEntry entries[] = {plugin.Load,  plugin.Unload, plugin.Open, plugin.Close,
                                 plugin.Read,  plugin.Write,  plugin.Seek, plugin.IOCTL};
  std::string exported, missing;
  for (size_t i = 0; i < std::size(kEntryNames); i++) {
    (entries[i] ? exported : missing) += std::string(" ") + kEntryNames[i];
  }
  std::printf("  exports:%s\n", exported.empty() ? " none" : exported.c_str());
  std::printf("  missing:%s\n", missing.empty() ? " none" : missing.c_str());

  if (outcome == PluginAdmission::kNoLoad) return;
  // A refused description is not shown: the core never looks at it.
  if (outcome != PluginAdmission::kLoadFailed) PrintDescription(core, outcome, plugin.desc);
  std::printf("  load time: %lld ms\n", static_cast<long long>(plugin.loadTimeMs));
  if (outcome == PluginAdmission::kAdmitted) PluginTable::Unload(plugin);
}

// The child's whole life: it never returns.
[[noreturn]] void RunChild(const std::string& executablePath,
                           const std::map<uint32_t, std::string>& names, const fs::path& path,
                           int reportFd, pid_t parent, const sigset_t& plainMask) {
  sigprocmask(SIG_SETMASK, &plainMask, nullptr);
  // A child must not outlive the tool (killed from outside, say, while a
  // plugin hangs). The parent may have died before the request took effect;
  // then the child has been handed to another process already.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  InspectFile(executablePath, names, path, reportFd);
  WriteRecord(reportFd, std::string(1, kEndRecord));
  // exit, not _exit: the libraries still mapped (ID 0x00470000) run their
  // destructors at exit, as in the core; stdout is flushed.
  std::exit(0);
}

// ---- The parent ---------------------------------------------------------------------

// Waits for `pid` until `deadline`; true once it has been reaped. SIGCHLD is
// blocked, so it stays pending for sigtimedwait.
bool WaitForChild(pid_t pid, const sigset_t& childSignal,
                  std::chrono::steady_clock::time_point deadline, int& status) {
  for (;;) {
    pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return true;
    if (reaped < 0 && errno != EINTR) {
      status = 0;  // cannot happen for our own child; do not wait forever
      return true;
    }
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    timespec wait{static_cast<time_t>(seconds.count()),
                  static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    sigtimedwait(&childSignal, nullptr, &wait);
  }
}

// Everything the child wrote; the pipe is non-blocking, as a process that a
// plugin forked may still hold its end.
std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[512];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return bytes;
    }
  }
}

std::string Verdict(PluginAdmission outcome) {
  switch (outcome) {
    case PluginAdmission::kAdmitted:
      return "loaded";
    case PluginAdmission::kNotMapped:
      return "rejected (does not map)";
    case PluginAdmission::kNoLoad:
      return "rejected (no Load)";
    case PluginAdmission::kLoadFailed:
      return "rejected (Load failed)";
    case PluginAdmission::kIdTaken:
      return "rejected (ID already loaded)";
  }
  return "rejected";
}

// How far a child that did not end normally got, for its verdict.
const char* Stage(const ChildReport& report) {
  if (!report.outcome) return "while loading";
  if (report.ended) return "at exit";
  return *report.outcome == PluginAdmission::kAdmitted ? "in Unload" : "after loading";
}

std::string SignalText(int signal) {
  std::string text = "killed by signal " + std::to_string(signal);
  if (const char* name = sigabbrev_np(signal)) text += std::string(" (SIG") + name + ")";
  return text;
}

struct Inspector {
  std::string executablePath;
  unsigned timeoutSeconds = kDefaultTimeoutSeconds;
  sigset_t childSignal;  // SIGCHLD, blocked in the parent
  sigset_t plainMask;    // the mask the tool started with, for the children
  // Module names of the files admitted so far, by ID (with the core's own).
  std::map<uint32_t, std::string> names{{kCoreSourceId, "core"}};

  // Inspects one file in a child process and prints its verdict; true when
  // the core would admit it.
  bool Inspect(const fs::path& path) {
    std::printf("\n%s\n  path: %s\n", path.filename().c_str(), path.c_str());
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return CannotInspect("pipe", errno);
    std::fflush(stdout);  // nothing buffered may be printed twice
    const pid_t parent = getpid();
    const pid_t child = fork();
    const int forkError = errno;
    if (child == 0) {
      close(report[0]);
      RunChild(executablePath, names, path, report[1], parent, plainMask);
    }
    close(report[1]);
    if (child < 0) {
      close(report[0]);
      return CannotInspect("fork", forkError);
    }
    fcntl(report[0], F_SETFL, O_NONBLOCK);

    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    const bool finished = WaitForChild(child, childSignal, deadline, status);
    if (!finished) {
      kill(child, SIGKILL);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    }
    const ChildReport got = ParseReport(ReadAll(report[0]));
    close(report[0]);

    if (got.outcome == PluginAdmission::kAdmitted) names.emplace(got.id, got.name);
    std::string verdict;
    if (!finished) {
      verdict = "rejected (did not return within " + std::to_string(timeoutSeconds) + " s " +
                Stage(got) + ")";
    } else if (got.ended && got.outcome && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      verdict = Verdict(*got.outcome);
    } else if (WIFEXITED(status)) {
      verdict = "rejected (exited with status " + std::to_string(WEXITSTATUS(status)) + " " +
                Stage(got) + ")";
    } else {
      verdict = "rejected (" + SignalText(WTERMSIG(status)) + " " + Stage(got) + ")";
    }
    std::printf("  result: %s\n", verdict.c_str());
    return verdict == "loaded";
  }

  static bool CannotInspect(const char* what, int error) {
    std::printf("  result: rejected (cannot inspect: %s: %s)\n", what, std::strerror(error));
    return false;
  }
};

[[noreturn]] void UsageError(const char* why) {
  std::fprintf(stderr, "dvrcore-inspect: %s\n%s", why, kUsage);
  std::exit(kUsageStatus);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Inspector inspector;
  int first = 1;  // the first file or directory
  while (first < argc && std::strncmp(argv[first], "--", 2) == 0) {
    const char* option = argv[first++];
    if (std::strcmp(option, "--") == 0) break;
    if (std::strcmp(option, "--timeout") != 0) UsageError("unknown option");
    const char* value = first < argc ? argv[first++] : "";
    char* end = nullptr;
    errno = 0;
    // strtoul would take a sign or leading blanks.
    const unsigned long seconds =
        std::isdigit(static_cast<unsigned char>(value[0])) ? std::strtoul(value, &end, 10) : 0;
    if (end == nullptr || *end != '\0' || errno != 0 || seconds == 0 ||
        seconds > kMaxTimeoutSeconds) {
      UsageError("--timeout takes 1 to 86400 seconds");
    }
    inspector.timeoutSeconds = static_cast<unsigned>(seconds);
  }
  if (first >= argc) {
    std::fputs(kUsage, stderr);
    return kUsageStatus;
  }
  // Line by line, so that what a child printed survives a plugin that ends
  // it, and comes before the parent's verdict.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Blocked before any child exists, so that no SIGCHLD is lost.
  sigemptyset(&inspector.childSignal);
  sigaddset(&inspector.childSignal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &inspector.childSignal, &inspector.plainMask);

  // Absolute paths, as the core's candidates are, so that dlopen never
  // searches the library path for a bare file name.
  std::vector<fs::path> candidates;
  std::vector<std::string> unreadable;
  for (int i = first; i < argc; i++) {
    fs::path path = fs::absolute(argv[i]);
    boost::system::error_code error;
    if (fs::is_directory(path, error)) {
      error = FindPluginFiles(path, kPluginExtension, candidates);
      if (error) unreadable.push_back(path.string() + ": " + error.message());
    } else {
      candidates.push_back(path);
    }
  }
  SortPluginPaths(candidates);

  std::printf("discovery order:\n");
  for (const std::string& line : unreadable) std::printf("  cannot read directory %s\n", line.c_str());
  if (candidates.empty()) std::printf("  (no plugin files)\n");
  for (size_t i = 0; i < candidates.size(); i++) {
    std::printf("  %zu %s\n", i + 1, candidates[i].c_str());
  }

  boost::system::error_code error;
  inspector.executablePath = fs::canonical("/proc/self/exe", error).string();
  size_t loaded = 0;
  for (const fs::path& path : candidates) {
    if (inspector.Inspect(path)) loaded++;
  }
  std::printf("\nsummary: %zu files, %zu loaded, %zu rejected", candidates.size(), loaded,
              candidates.size() - loaded);
  if (!unreadable.empty()) {
    std::printf(", %zu %s unreadable", unreadable.size(),
                unreadable.size() == 1 ? "directory" : "directories");
  }
  std::printf("\n");
  return loaded == candidates.size() && unreadable.empty() ? 0 : 1;
}
