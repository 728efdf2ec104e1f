// dvrcore-top: shows one running core the way top shows processes, one line
// per plugin.
//
//   dvrcore-top [--once] [--interval SECONDS] [--metrics FILE] PID
//
// Each plugin's line gathers the threads named after it (its thread tag, as
// the figures file gives it in thread_prefix, then ':' and the thread's
// role; events/plugin_threads.h tells how the core makes tags), with their
// count and their share of a CPU over the last interval; the core's own
// threads make one "core" line. When the core publishes its figures file
// (DVRCORE_METRICS_FILE in its environment, or --metrics), the lines are named
// by the plugins' file names and add events in and out per second, the time
// spent in calls, the calls that took over a second and the buffers held,
// with the core-wide figures above the table. Exit status: 0 after an
// interrupt or when the process has ended, 1 for a usage error, when there is
// no such process or when it is not a core.
//
// DESIGN: one thread. A sample reads /proc/<pid>/task/*/comm and stat; a rate
// needs two, so the first table comes one interval after the start. Threads
// come and go between the listing and the reads, so a thread whose files
// vanished is skipped, and one that ended within the interval loses its last
// ticks, as in top. Whether the process still exists is judged by its own
// stat line: gone, a zombie, or a different start time (its number taken by a
// new process) all mean it ended. The figures file is rewritten whole by the
// core every few seconds, less often than the tool samples, so its counters
// give rates only between two versions of the file (told apart by inode, size
// and modification time) and over the time between them. SIGINT, SIGTERM and
// SIGHUP are blocked and the wait between samples is sigtimedwait on them, so
// an interrupt ends the tool at once and between two complete tables.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dvrcore_version.h"
#include "events/names.h"
#include "sys/proc.h"
#include "tools/top_figures.h"

namespace {

using dvrtop::CoreFigures;
using dvrtop::PluginFigures;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: dvrcore-top [--once] [--interval SECONDS] [--metrics FILE] PID\n"
    "       dvrcore-top --version | --help\n"
    "Shows the core with process ID PID one line per plugin: its threads, their\n"
    "CPU share and, from the core's figures file, events in and out per second,\n"
    "time in calls, calls over 1 s and the buffers held. The figures file is\n"
    "FILE, or else DVRCORE_METRICS_FILE of the core's environment. Redrawn every\n"
    "interval (default 1 s) until interrupted; --once prints one table after one\n"
    "interval and exits. --version prints the version of the core it belongs to.\n"
    "Exit status: 0 after an interrupt or when the process has ended, 1 for a\n"
    "usage error, when there is no such process or when it is not a core.\n";

constexpr int kFailure = 1;
constexpr double kMinIntervalSeconds = 0.1;
constexpr double kMaxIntervalSeconds = 86400;
// Far above what a core with a few dozen plugins writes (a few kB each);
// bounds what a wrong --metrics or environment can make the tool read.
constexpr size_t kMaxFileBytes = 4 << 20;
// The core's own threads by their names; its main thread counts as the
// core's whatever its name, since it has not always named itself yet.
const char* const kCoreThreadNames[] = {"dvrcore", "dvrcore:io", "dvrcore:watch", "dvrcore:stats"};
constexpr char kCoreRow[] = "core";
constexpr char kOtherRow[] = "other";  // threads named after nothing known

struct Options {
  bool once = false;
  double intervalSeconds = 1;
  std::string metrics;  // empty: from the core's environment
  pid_t pid = 0;
};

[[noreturn]] void UsageError(const std::string& what) {
  std::fprintf(stderr, "dvrcore-top: %s\n%s", what.c_str(), kUsage);
  std::exit(kFailure);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  bool havePid = false;
  for (int i = 1; i < argc; i++) {
    const std::string word = argv[i];
    if (word == "-h" || word == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (word == "--version") {
      std::printf("dvrcore-top version %s\n", DVRCORE_VERSION);
      std::exit(0);
    } else if (word == "--once") {
      options.once = true;
    } else if (word == "--interval" || word == "--metrics") {
      if (++i == argc) UsageError(word + " needs a value");
      if (word == "--metrics") {
        options.metrics = argv[i];
        if (options.metrics.empty()) UsageError("--metrics needs a file name");
        continue;
      }
      char* end = nullptr;
      options.intervalSeconds = std::strtod(argv[i], &end);
      // The negated test also refuses NaN.
      if (end == argv[i] || *end != '\0' ||
          !(options.intervalSeconds >= kMinIntervalSeconds &&
            options.intervalSeconds <= kMaxIntervalSeconds)) {
        UsageError("--interval takes 0.1 to 86400 seconds");
      }
    } else if (!word.empty() && word[0] != '-' && !havePid &&
               word.find_first_not_of("0123456789") == std::string::npos) {
      const long long pid = word.size() <= 10 ? std::atoll(word.c_str()) : 0;
      if (pid <= 0 || pid > 0x7fffffff) UsageError("no such process ID: " + word);
      options.pid = static_cast<pid_t>(pid);
      havePid = true;
    } else {
      UsageError(havePid ? "unexpected argument: " + word
                         : "not an option or a process ID: " + word);
    }
  }
  if (!havePid) UsageError("the core's process ID is missing");
  return options;
}

// The whole of a small file, or nullopt with `error` set (EFBIG above
// kMaxFileBytes).
std::optional<std::string> ReadWhole(const std::string& path, int& error) {
  std::string text;
  error = ReadSmallFile(path, text, kMaxFileBytes);
  if (error != 0) return std::nullopt;
  return text;
}

struct ThreadSample {
  std::string name;
  uint64_t ticks = 0;  // user and system time so far, clock ticks
};

struct Sample {
  Clock::time_point at;
  std::map<pid_t, ThreadSample> threads;  // by thread ID
};

// The watched process; its start time tells it from a later process that
// got the same number.
class Process {
 public:
  explicit Process(pid_t pid) : pid_(pid), dir_("/proc/" + std::to_string(pid)) {}

  // False when there is no such process (or it has already ended).
  bool Attach() {
    ProcStat stat;
    if (!ReadStat(dir_ + "/stat", stat)) return false;
    startTime_ = stat.startTime;
    return Alive();
  }

  // False once the process has ended; else `sample` holds every thread that
  // could be read.
  bool TakeSample(Sample& sample) {
    if (!Alive()) return false;
    sample.at = Clock::now();
    sample.threads.clear();
    const std::string taskFolder = dir_ + "/task";
    const std::vector<pid_t> tids = ListTasks(taskFolder.c_str());
    if (tids.empty()) return false;
    for (pid_t tid : tids) {
      ProcStat stat;
      if (!ReadStat(TaskPath(tid, taskFolder.c_str()) + "/stat", stat)) continue;  // it ended
      sample.threads[tid] = {ThreadComm(tid, taskFolder.c_str()), stat.cpuTicks};
    }
    // A process that ended while its threads were listed would show a
    // partial sample.
    return Alive();
  }

  pid_t Pid() const { return pid_; }
  const std::string& Dir() const { return dir_; }

 private:
  bool Alive() const {
    ProcStat stat;
    return ReadStat(dir_ + "/stat", stat) && stat.state != 'Z' && stat.state != 'X' &&
           stat.startTime == startTime_;
  }

  pid_t pid_;
  std::string dir_;
  uint64_t startTime_ = 0;  // field 22, clock ticks after boot
};

// One version of the figures file.
struct FiguresVersion {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  CoreFigures figures;
};

double Seconds(const timespec& time) {
  return static_cast<double>(time.tv_sec) + time.tv_nsec / 1e9;
}

// The figures file of the core and the last two versions read of it.
class FiguresSource {
 public:
  // Finds the file: `given`, or else the core's environment.
  FiguresSource(const Process& process, const std::string& given) {
    if (!given.empty()) {
      path_ = given;
      return;
    }
    int error = 0;
    std::optional<std::string> environment =
        ReadWhole(process.Dir() + "/environ", error);
    if (!environment) {
      problem_ = std::string("the core's environment cannot be read: ") + std::strerror(error);
      return;
    }
    std::optional<std::string> path =
        dvrtop::FiguresPathFromEnvironment(*environment, process.Dir() + "/cwd");
    if (path) {
      path_ = *path;
    } else {
      problem_ = "none (no DVRCORE_METRICS_FILE in the core's environment)";
    }
  }

  // Reads the file again when it has been replaced or rewritten.
  void Refresh() {
    if (path_.empty()) return;
    struct stat status;
    if (stat(path_.c_str(), &status) != 0) {
      Forget(std::strerror(errno));
      return;
    }
    if (latest_ && latest_->device == status.st_dev && latest_->inode == status.st_ino &&
        latest_->size == status.st_size && latest_->modified.tv_sec == status.st_mtim.tv_sec &&
        latest_->modified.tv_nsec == status.st_mtim.tv_nsec) {
      return;
    }
    int error = 0;
    std::optional<std::string> text = ReadWhole(path_, error);
    if (!text) {
      Forget(error == EFBIG ? "larger than 4 MiB" : std::strerror(error));
      return;
    }
    problem_.clear();
    earlier_ = std::move(latest_);
    latest_ = FiguresVersion{status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                             dvrtop::ReadFigures(*text)};
  }

  const CoreFigures* Latest() const { return latest_ ? &latest_->figures : nullptr; }
  const CoreFigures* Earlier() const { return earlier_ ? &earlier_->figures : nullptr; }
  // Seconds between the two versions; 0 without two.
  double Span() const {
    if (!latest_ || !earlier_) return 0;
    return Seconds(latest_->modified) - Seconds(earlier_->modified);
  }

  std::string Status() const {
    if (path_.empty()) return "figures: " + problem_;
    if (!latest_) return "figures: " + path_ + ": " + problem_;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char text[160];
    std::snprintf(text, sizeof text, ", written %.0f s ago",
                  std::max(0.0, Seconds(now) - Seconds(latest_->modified)));
    std::string status = "figures: " + path_ + text;
    if (Span() > 0) {
      std::snprintf(text, sizeof text, ", rates over its last %.1f s", Span());
      status += text;
    } else {
      status += ", rates after its next update";
    }
    if (const size_t malformed = latest_->figures.malformedLines) {
      status += ", " + std::to_string(malformed) +
                (malformed == 1 ? " malformed line" : " malformed lines") + " ignored";
    }
    return status;
  }

 private:
  // A file that is gone or unreadable ends the rates of its earlier versions.
  void Forget(const std::string& why) {
    problem_ = why;
    latest_.reset();
    earlier_.reset();
  }

  std::string path_;     // empty: none known
  std::string problem_;  // why there are no figures, or what the last read met
  std::optional<FiguresVersion> latest_;
  std::optional<FiguresVersion> earlier_;
};

// One line of the table.
struct Row {
  std::string name;
  unsigned threads = 0;
  uint64_t ticks = 0;                      // CPU time in the interval
  const PluginFigures* figures = nullptr;  // the latest version's
  const PluginFigures* earlier = nullptr;  // the version before
};

std::string Number(double value, const char* format = "%.0f") {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Names and paths come from the figures file and the core's environment:
// control characters (a newline, a terminal's escape) are shown as '?', so
// that they can neither break the table nor reach the terminal.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// A rate between two versions of a counter, "-" when unknown.
std::string Rate(const std::optional<double>& now, const std::optional<double>& before,
                 double span) {
  if (!now || !before || span <= 0 || *now < *before) return "-";
  return Number((*now - *before) / span, "%.1f");
}

// Rows are kept by kind and name, so that a plugin whose module name is
// "core" or "other" does not share the line of the core or of the others.
enum RowKind { kCoreKind, kPluginKind, kOtherKind };
using RowKey = std::pair<RowKind, std::string>;

// The row a thread belongs to. `prefixes` holds each plugin's thread prefix
// with its ':' and the plugin's row, longest first, so that a plugin whose
// prefix begins another's does not take its threads.
RowKey RowOf(pid_t tid, const std::string& name, const Process& process,
             const std::vector<std::pair<std::string, std::string>>& prefixes) {
  if (tid == process.Pid()) return {kCoreKind, kCoreRow};
  for (const char* coreName : kCoreThreadNames) {
    if (name == coreName) return {kCoreKind, kCoreRow};
  }
  for (const auto& [prefix, row] : prefixes) {
    if (name.compare(0, prefix.size(), prefix) == 0) return {kPluginKind, row};
  }
  // Without figures, or a plugin they do not know: the name's prefix alone.
  const size_t colon = name.rfind(':');
  if (colon == std::string::npos || colon == 0) return {kOtherKind, kOtherRow};
  return {kPluginKind, name.substr(0, colon)};
}

std::vector<Row> MakeRows(const Process& process, const Sample& before, const Sample& now,
                          const FiguresSource& source) {
  std::map<RowKey, Row> rows;
  rows[{kCoreKind, kCoreRow}].name = kCoreRow;
  std::vector<std::pair<std::string, std::string>> prefixes;
  if (const CoreFigures* figures = source.Latest()) {
    for (const auto& [file, plugin] : figures->plugins) {
      Row& row = rows[{kPluginKind, file}];
      row.name = file;
      row.figures = &plugin;
      if (const CoreFigures* earlier = source.Earlier()) {
        auto found = earlier->plugins.find(file);
        if (found != earlier->plugins.end()) row.earlier = &found->second;
      }
      if (!plugin.threadPrefix.empty()) prefixes.emplace_back(plugin.threadPrefix + ":", file);
    }
  }
  std::sort(prefixes.begin(), prefixes.end(),
            [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  for (const auto& [tid, thread] : now.threads) {
    uint64_t ticks = thread.ticks;
    auto previous = before.threads.find(tid);
    // A lower count is a new thread under a reused ID: all of it is new.
    if (previous != before.threads.end() && previous->second.ticks <= ticks) {
      ticks -= previous->second.ticks;
    }
    const RowKey key = RowOf(tid, thread.name, process, prefixes);
    Row& row = rows[key];
    row.name = key.second;
    row.threads++;
    row.ticks += ticks;
  }
  std::vector<Row> sorted;
  for (auto& [key, row] : rows) sorted.push_back(row);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Row& a, const Row& b) { return a.ticks > b.ticks; });
  return sorted;
}

// The core-wide figures that the file has, on one line; empty for none.
std::string CoreWideLine(const CoreFigures& figures) {
  auto known = [&](FigureFamily family) -> std::optional<double> {
    auto found = figures.coreWide.find(FamilyName(family));
    if (found == figures.coreWide.end()) return std::nullopt;
    return found->second;
  };
  auto yesNo = [](double value) { return value != 0 ? "yes" : "no"; };
  std::string line;
  auto add = [&line](const std::string& part) { line += (line.empty() ? "" : ", ") + part; };
  if (auto depth = known(FigureFamily::kQueueDepth)) {
    std::string part = "queue " + Number(*depth);
    if (auto most = known(FigureFamily::kQueueDepthMax)) part += " (max " + Number(*most) + ")";
    add(part);
  }
  if (auto waiting = known(FigureFamily::kParentBytesWaiting)) {
    add("parent: " + Number(*waiting) + " bytes waiting");
  }
  if (auto refusing = known(FigureFamily::kParentRefusing)) {
    add(std::string("refusing ") + yesNo(*refusing));
  }
  if (auto resident = known(FigureFamily::kResidentBytes)) {
    add("resident " + Number(*resident / (1 << 20), "%.1f") + " MiB");
  }
  if (auto throttling = known(FigureFamily::kThrottling)) {
    add(std::string("throttling ") + yesNo(*throttling));
  }
  if (auto jumps = known(FigureFamily::kClockJumps)) add("clock jumps " + Number(*jumps));
  return line;
}

void PrintTable(const Process& process, const Sample& before, const Sample& now,
                const FiguresSource& source) {
  const double elapsed = std::chrono::duration<double>(now.at - before.at).count();
  const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
  auto percent = [&](uint64_t ticks) {
    return elapsed > 0 ? static_cast<double>(ticks) / ticksPerSecond / elapsed * 100 : 0.0;
  };
  std::vector<Row> rows = MakeRows(process, before, now, source);
  uint64_t allTicks = 0;
  size_t width = std::strlen("PLUGIN");
  for (const Row& row : rows) {
    allTicks += row.ticks;
    width = std::max(width, row.name.size());
  }
  std::printf("dvrcore-top: pid %d, %zu threads, %.1f%% CPU over %.1f s\n",
              static_cast<int>(process.Pid()), now.threads.size(), percent(allTicks), elapsed);
  if (source.Latest() != nullptr) {
    const std::string coreWide = CoreWideLine(*source.Latest());
    if (!coreWide.empty()) std::printf("%s\n", coreWide.c_str());
  }
  std::printf("%s\n\n", Printable(source.Status()).c_str());
  const int nameWidth = static_cast<int>(width);
  std::printf("%-*s %4s %6s %8s %8s %9s %6s %6s\n", nameWidth, "PLUGIN", "THR", "CPU%", "IN/s",
              "OUT/s", "CALLS(s)", ">1s", "BUFS");
  const double span = source.Span();
  for (const Row& row : rows) {
    std::string in = "-", out = "-", calls = "-", slow = "-", buffers = "-";
    if (const PluginFigures* figures = row.figures) {
      const PluginFigures none;
      const PluginFigures& earlier = row.earlier ? *row.earlier : none;
      in = Rate(figures->eventsIn, earlier.eventsIn, span);
      out = Rate(figures->eventsOut, earlier.eventsOut, span);
      if (figures->callSeconds) calls = Number(*figures->callSeconds, "%.3f");
      if (figures->calls && figures->callsUpToSecond) {
        slow = Number(*figures->calls - *figures->callsUpToSecond);
      }
      if (figures->buffersHeld) buffers = Number(*figures->buffersHeld);
    }
    std::printf("%-*s %4u %6.1f %8s %8s %9s %6s %6s\n", nameWidth, Printable(row.name).c_str(),
                row.threads, percent(row.ticks), in.c_str(), out.c_str(), calls.c_str(),
                slow.c_str(), buffers.c_str());
  }
  std::fflush(stdout);
}

// Waits `seconds`; false when a stop signal came first.
bool Pause(double seconds, const sigset_t& stopSignals) {
  const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(seconds));
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (left.count() <= 0) return true;
    const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                        static_cast<long>(left.count() % 1000000000)};
    if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) return false;
    if (errno == EAGAIN) return true;
  }
}

// Whether the sampled process is a core: one of its threads bears a name of
// the core's own. Its main thread has the executable's name ("dvrcore") until
// it names itself, and the core's other threads start after that.
bool IsCore(const Sample& sample) {
  for (const auto& thread : sample.threads) {
    for (const char* name : kCoreThreadNames) {
      if (thread.second.name == name) return true;
    }
  }
  return false;
}

int Ended(const Process& process) {
  std::fprintf(stderr, "dvrcore-top: process %d has ended\n", static_cast<int>(process.Pid()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  Process process(options.pid);
  if (!process.Attach()) {
    std::fprintf(stderr, "dvrcore-top: no process %d\n", static_cast<int>(options.pid));
    return kFailure;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, stop);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  // Redrawn in place on a terminal; one table after another elsewhere.
  const bool redraw = !options.once && isatty(STDOUT_FILENO);

  FiguresSource figures(process, options.metrics);
  Sample before;
  Sample now;
  figures.Refresh();
  if (!process.TakeSample(before)) return Ended(process);
  if (!IsCore(before)) {
    std::fprintf(stderr, "dvrcore-top: process %d is not a dvrcore core\n",
                 static_cast<int>(options.pid));
    return kFailure;
  }
  for (bool first = true;; first = false) {
    if (!Pause(options.intervalSeconds, stopSignals)) return 0;
    if (!process.TakeSample(now)) return Ended(process);
    figures.Refresh();
    if (redraw) {
      std::fputs("\033[H\033[2J", stdout);
    } else if (!first) {
      std::fputs("\n", stdout);
    }
    PrintTable(process, before, now, figures);
    if (options.once) return 0;
    std::swap(before, now);
  }
}
