// The figures file's writer; see figures_file.h.
#include "core/figures_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "core/core.h"
#include "events/plugin_threads.h"
#include "events/raise.h"
#include "sys/files.h"

namespace {

// Whether the file may be replaced: it is missing, or a regular file. A
// rename over a device, a FIFO or a socket would put a file of figures in
// its place (/dev/null for one, when the core runs as root); over a symbolic
// link it would replace the link, not the file it names, so a link is
// refused too, rather than followed to wherever it points.
bool MayReplace(const std::string& path, std::string& failure) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) return true;
  failure = S_ISLNK(status.st_mode) ? "it is a symbolic link, not a regular file"
                                    : "it is not a regular file";
  return false;
}

double UnixSeconds() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

FiguresFile::FiguresFile(PluginFiguresBook& book, GatherCore core, GatherHolds holds)
    : book_(book),
      gatherCore_(std::move(core)),
      gatherHolds_(std::move(holds)),
      startTime_(UnixSeconds()) {}

FiguresFile::~FiguresFile() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  if (thread_.joinable()) thread_.join();
}

bool FiguresFile::Configure(const char* file, const char* interval, const char* mode) {
  if (file == nullptr || *file == '\0') return false;
  path_ = file;
  if (interval != nullptr) {
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(interval, &end, 10);
    if (end == interval || *end != '\0' || errno != 0 || seconds < 1 ||
        seconds > kLongestInterval.count()) {
      CORE_LOG(kLogNotable,
               "DVRCORE_METRICS_INTERVAL '%s' is not a number of seconds from 1 to %lld; "
               "writing figures every %lld seconds",
               interval, static_cast<long long>(kLongestInterval.count()),
               static_cast<long long>(kDefaultInterval.count()));
    } else {
      interval_ = std::chrono::seconds(seconds);
    }
  }
  if (mode != nullptr) {
    char* end = nullptr;
    errno = 0;
    const long bits = std::strtol(mode, &end, 8);
    if (end == mode || *end != '\0' || errno != 0 || bits < 0 || bits > 0777) {
      CORE_LOG(kLogNotable,
               "DVRCORE_METRICS_MODE '%s' is not an octal mode from 0 to 0777; "
               "writing figures with mode %04o",
               mode, kDefaultMode);
    } else {
      mode_ = static_cast<int>(bits);
    }
  }
  CORE_LOG(kLogDetail, "writing figures to %s every %lld seconds, mode %04o", path_.c_str(),
           static_cast<long long>(interval_.count()), mode_);
  return true;
}

void FiguresFile::Start() {
  if (path_.empty()) return;
  RefreshCallBounds();
  try {
    thread_ = std::thread([this] {
      NameThisThread("dvrcore:stats");
      Run();
    });
  } catch (const std::system_error& error) {
    CORE_LOG(kLogFailure, "figures will be written only at the stop: %s", error.what());
  }
}

void FiguresFile::StopAndWrite() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  if (thread_.joinable()) thread_.join();
  if (!path_.empty()) Write(false);
}

void FiguresFile::Run() {
  auto nextWrite = std::chrono::steady_clock::now() + interval_;
  for (;;) {
    const auto nextSample = std::chrono::steady_clock::now() + kSamplePeriod;
    {
      MutexLock lock(mutex_);
      while (!stopping_) {
        if (!wake_.WaitUntil(lock, std::min(nextSample, nextWrite))) break;
      }
      if (stopping_) return;
    }
    RefreshCallBounds();
    if (std::chrono::steady_clock::now() >= nextWrite) {
      Write(true);
      nextWrite = std::chrono::steady_clock::now() + interval_;
    } else {
      std::vector<std::string> tags;
      for (const PluginFigures* figures : book_.Listed()) tags.push_back(figures->threadTag);
      sampler_.Sample(tags, ThreadSampler::Depth::kCount);
    }
  }
}

void FiguresFile::Write(bool up) {
  const std::vector<const PluginFigures*> listed = book_.Listed();
  std::vector<std::string> tags;
  for (const PluginFigures* figures : listed) tags.push_back(figures->threadTag);
  sampler_.Sample(tags);
  const std::map<uint32_t, size_t> holds = gatherHolds_();
  auto seconds = [](uint64_t ns) { return static_cast<double>(ns) / 1e9; };
  std::vector<PluginFiguresRow> rows;
  rows.reserve(listed.size());
  for (const PluginFigures* figures : listed) {
    PluginFiguresRow row;
    row.figures = figures;
    auto held = holds.find(figures->id);
    row.buffersHeld = held == holds.end() ? 0 : held->second;
    const ThreadSampler::TagFigures threads = sampler_.Of(figures->threadTag);
    row.threads = threads.threads;
    row.threadsMost = threads.threadsMost;
    row.cpuSeconds = seconds(threads.cpuNs);
    rows.push_back(row);
  }
  sampler_.StartWindow();
  CoreFigures core = gatherCore_();
  core.version = CoreVersion();
  core.startTime = StartTime();
  core.up = up;
  uint64_t attributed = sampler_.TagNs();
  for (unsigned role = 0; role < FigureIndex(CoreThread::kOther); ++role) {
    const uint64_t ns = sampler_.CoreNs(static_cast<CoreThread>(role));
    attributed += ns;
    core.cpuSeconds[role] = seconds(ns);
  }
  // A counter must not go down, or a collector sees a restart: time a
  // thread used between its sample and the process's read shows as other
  // in one write and as the thread's in the next, so other keeps its most.
  const uint64_t process = sampler_.ProcessNs();
  otherNs_ = std::max(otherNs_, process > attributed ? process - attributed : 0);
  core.cpuSeconds[FigureIndex(CoreThread::kOther)] = seconds(otherNs_);
  FormatFigures(core, rows, text_);
  const std::string& text = text_;
  std::string failure;
  bool written = MayReplace(path_, failure);
  if (written) {
    const FileWrite replaced = ReplaceFile(path_, text, NewFile{false, mode_});
    written = static_cast<bool>(replaced);
    if (!written) failure = std::strerror(replaced.Errno());
  }
  if (!written && !failing_) {
    CORE_LOG(kLogNotable, "failed to write figures to %s: %s", path_.c_str(), failure.c_str());
  } else if (written && failing_) {
    CORE_LOG(kLogNotable, "writing figures to %s again", path_.c_str());
  }
  failing_ = !written;
}

// The system time now less the time the core has run: a clock set after the
// start (a recorder without a clock of its own, set by NTP once the network
// is up) moves the start along, as it does the files' times. Otherwise the
// value written before stays, to the digit, so that a collector sees one
// start for the life of the core: NTP slews both clocks alike, so they part
// only when the system clock is set, and the rounding of the two readings
// moves the difference by microseconds.
double FiguresFile::StartTime() {
  const double ran =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  const double start = UnixSeconds() - ran;
  if (std::fabs(start - startTime_) > 1) startTime_ = start;
  return startTime_;
}
