// The figures file; see figures_file.h.
#include "core/figures_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <system_error>

#include "config/config.h"
#include "core/core.h"
#include "events/plugin_threads.h"
#include "events/raise.h"
#include "sys/files.h"
#include "sys/utf8.h"

namespace {

// Appends printf-formatted text, however long: a label value is a file name
// of up to 255 bytes, escaped to up to twice that, and a line cut short
// would run into the next and spoil the whole file for a collector.
void Append(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& text, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length > 0 && static_cast<size_t>(length) < sizeof line) {
    text.append(line, static_cast<size_t>(length));
  } else if (length > 0) {
    const size_t at = text.size();
    text.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(&text[at], static_cast<size_t>(length) + 1, format, again);
    text.resize(at + static_cast<size_t>(length));
  }
  va_end(again);
}

// A label value as the text format wants it: UTF-8, with backslash, double
// quote and line feed escaped. A file name may hold any byte but '/' and
// zero; a byte that is no part of valid UTF-8 is written as '?'.
std::string LabelValue(const std::string& raw) {
  std::string value;
  for (size_t i = 0; i < raw.size();) {
    uint32_t c = 0;
    const size_t length = DecodeUtf8(raw.data() + i, raw.size() - i, c);
    if (length == 0) {
      value += '?';
      ++i;
      continue;
    }
    if (raw[i] == '\\') {
      value += "\\\\";
    } else if (raw[i] == '"') {
      value += "\\\"";
    } else if (raw[i] == '\n') {
      value += "\\n";
    } else {
      value.append(raw, i, length);
    }
    i += length;
  }
  return value;
}

void Family(std::string& text, const char* name, const char* type, const char* help) {
  Append(text, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

double Seconds(uint64_t ticks) { return static_cast<double>(ticks) / CallClockTicksPerSecond(); }

// Fields of /proc/<pid>/task/<tid>/stat after the name: the 14th and 15th
// (user and system time) and the 22nd (start time), in clock ticks.
bool ReadThreadStat(const std::string& path, std::string& name, uint64_t& cpuTicks,
                    uint64_t& startTime) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[1024];
  const ssize_t length = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (length <= 0) return false;
  buffer[length] = '\0';
  // The name may hold blanks and parentheses: it ends at the last ')'.
  char* open = std::strchr(buffer, '(');
  char* close = std::strrchr(buffer, ')');
  if (open == nullptr || close == nullptr || close < open) return false;
  name.assign(open + 1, close);
  unsigned long long utime = 0, stime = 0, start = 0;
  // state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt
  // utime stime cutime cstime priority nice num_threads itrealvalue starttime
  if (std::sscanf(close + 1,
                  " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %*d %*d %*d %*d %*d "
                  "%*d %llu",
                  &utime, &stime, &start) != 3) {
    return false;
  }
  cpuTicks = utime + stime;
  startTime = start;
  return true;
}

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

// The names the core gives its threads (dvrcore.cpp, slow_calls.cpp, and
// Start below), by role. The main thread is told by its ID, equal to the
// process's, not by its name: under qemu-user or a renamed executable the
// name differs, and a plugin may rename the thread it is called on.
const char* const kCoreThreadNames[] = {nullptr, "dvrcore:io", "dvrcore:watch", "dvrcore:stats",
                                        nullptr};
static_assert(sizeof kCoreThreadNames / sizeof *kCoreThreadNames == FigureIndex(CoreThread::kCount),
              "one name per role");

double UnixSeconds() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

const char* CoreThreadName(CoreThread role) {
  static const char* const kNames[] = {"main", "io", "watch", "stats", "other"};
  static_assert(sizeof kNames / sizeof *kNames == FigureIndex(CoreThread::kCount), "one a role");
  return kNames[FigureIndex(role)];
}

std::string FormatFigures(const CoreFigures& core, const std::vector<PluginFiguresRow>& plugins) {
  std::string text;
  text.reserve(2048 + plugins.size() * 8192);
  // The plugin label of each row: its file name, made unique with its ID
  // should two plugin folders hold files of one name.
  std::vector<std::string> labels;
  std::set<std::string> used;
  for (const PluginFiguresRow& row : plugins) {
    std::string label = LabelValue(row.figures->fileName);
    if (!used.insert(label).second) {
      char id[16];
      std::snprintf(id, sizeof id, "@0x%08" PRIx32, row.figures->id);
      label += id;
      used.insert(label);
    }
    labels.push_back(std::move(label));
  }
  auto each = [&](auto&& line) {
    for (size_t i = 0; i < plugins.size(); ++i) line(labels[i].c_str(), plugins[i]);
  };

  Family(text, "dvrcore_build_info", "gauge", "The core's version, in the label version.");
  Append(text, "dvrcore_build_info{version=\"%s\"} 1\n", LabelValue(core.version).c_str());
  Family(text, "dvrcore_start_time_seconds", "gauge", "When the core started, in Unix time.");
  Append(text, "dvrcore_start_time_seconds %.3f\n", core.startTime);
  Family(text, "dvrcore_up", "gauge",
         "1 while the core runs; 0 in the last write of a clean stop. A core that was killed "
         "leaves 1 in a file that is no longer rewritten.");
  Append(text, "dvrcore_up %d\n", core.up ? 1 : 0);

  Family(text, "dvrcore_plugin_info", "gauge",
         "A loaded plugin, with the prefix of its threads' names and its ID.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_info{plugin=\"%s\",thread_prefix=\"%s\",id=\"0x%08" PRIx32
                 "\"} 1\n",
           plugin, LabelValue(row.figures->threadTag).c_str(), row.figures->id);
  });
  // A counter family with one series per value of an enumeration.
  auto byValue = [&](const char* family, const char* help, const char* label, auto count,
                     auto name, auto value) {
    Family(text, family, "counter", help);
    each([&](const char* plugin, const PluginFiguresRow& row) {
      for (unsigned i = 0; i < FigureIndex(count); ++i) {
        const auto which = static_cast<decltype(count)>(i);
        Append(text, "%s{plugin=\"%s\",%s=\"%s\"} %" PRIu64 "\n", family, plugin, label,
               name(which), value(*row.figures, which));
      }
    });
  };
  byValue("dvrcore_plugin_events_raised_total", "Events the plugin raised, by kind, taken or not.",
          "kind", RaiseKind::kCount, RaiseKindName,
          [](const PluginFigures& f, RaiseKind kind) { return f.Raised(kind); });
  byValue("dvrcore_plugin_events_refused_total",
          "Events of the plugin the core did not take, by reason.", "reason", Refusal::kCount,
          RefusalName, [](const PluginFigures& f, Refusal reason) { return f.Refused(reason); });
  byValue("dvrcore_plugin_deliveries_total",
          "Calls that brought the plugin something: Write, configuration IOCTL, packets from "
          "the parent, event-thread Read.",
          "kind", DeliveryKind::kCount, DeliveryKindName,
          [](const PluginFigures& f, DeliveryKind kind) { return f.Deliveries(kind); });
  Family(text, "dvrcore_plugin_call_seconds_total", "counter",
         "Time in the plugin's entries called by the core, and in event-thread Read.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_call_seconds_total{plugin=\"%s\"} %.6f\n", plugin,
           Seconds(row.figures->CallTicks()));
  });
  Family(text, "dvrcore_plugin_call_duration_seconds", "histogram",
         "Calls into the plugin's entries by the core, and event-thread Read, by duration.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    for (unsigned e = 0; e < FigureIndex(CallEntry::kCount); ++e) {
      const auto entry = static_cast<CallEntry>(e);
      const char* name = CallEntryName(entry);
      uint64_t calls = 0;
      for (unsigned bucket = 0; bucket <= kCallBounds; ++bucket) {
        calls += row.figures->Calls(entry, bucket);
        char bound[16] = "+Inf";  // the last bucket's bound, as the format spells it
        if (bucket < kCallBounds) {
          std::snprintf(bound, sizeof bound, "%g", kCallBoundSeconds[bucket]);
        }
        Append(text,
               "dvrcore_plugin_call_duration_seconds_bucket{plugin=\"%s\",entry=\"%s\",le=\"%s\"} "
               "%" PRIu64 "\n",
               plugin, name, bound, calls);
      }
      Append(text, "dvrcore_plugin_call_duration_seconds_sum{plugin=\"%s\",entry=\"%s\"} %.6f\n",
             plugin, name, Seconds(row.figures->CallTicks(entry)));
      Append(text,
             "dvrcore_plugin_call_duration_seconds_count{plugin=\"%s\",entry=\"%s\"} %" PRIu64
             "\n",
             plugin, name, calls);
    }
  });
  Family(text, "dvrcore_plugin_buffers_held", "gauge",
         "Event buffers the plugin holds now (kept with retain, or in its call).");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_buffers_held{plugin=\"%s\"} %zu\n", plugin, row.buffersHeld);
  });
  Family(text, "dvrcore_plugin_threads", "gauge",
         "Threads named after the plugin, as last sampled.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_threads{plugin=\"%s\"} %u\n", plugin, row.threads);
  });
  Family(text, "dvrcore_plugin_threads_max", "gauge",
         "The most threads named after the plugin seen at one sample (every second) since the "
         "last write.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_threads_max{plugin=\"%s\"} %u\n", plugin, row.threadsMost);
  });
  Family(text, "dvrcore_plugin_cpu_seconds_total", "counter",
         "CPU time of the threads named after the plugin.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_cpu_seconds_total{plugin=\"%s\"} %.2f\n", plugin,
           row.cpuSeconds);
  });
  Family(text, "dvrcore_core_cpu_seconds_total", "counter",
         "CPU time of the core's own threads: main, io (with the IOCTLs it relays to plugins), "
         "watch, stats; other is the rest of the process's, threads that ended included. "
         "Together with dvrcore_plugin_cpu_seconds_total, the process's CPU time.");
  for (unsigned role = 0; role < FigureIndex(CoreThread::kCount); ++role) {
    Append(text, "dvrcore_core_cpu_seconds_total{thread=\"%s\"} %.2f\n",
           CoreThreadName(static_cast<CoreThread>(role)), core.cpuSeconds[role]);
  }

  Family(text, "dvrcore_queue_depth", "gauge", "Events waiting for the main loop.");
  Append(text, "dvrcore_queue_depth %zu\n", core.queueDepth);
  Family(text, "dvrcore_queue_depth_max", "gauge",
         "The most events that waited for the main loop at one time since the last write.");
  Append(text, "dvrcore_queue_depth_max %zu\n", core.queueDepthMost);
  Family(text, "dvrcore_parent_bytes_waiting", "gauge",
         "Bytes of packets for the parent accepted and not yet written.");
  Append(text, "dvrcore_parent_bytes_waiting %zu\n", core.parentBytesWaiting);
  Family(text, "dvrcore_parent_refusing", "gauge",
         "1 while packets for the parent are refused because it is not reading.");
  Append(text, "dvrcore_parent_refusing %d\n", core.parentRefusing ? 1 : 0);
  Family(text, "dvrcore_resident_bytes", "gauge", "The core's resident memory.");
  Append(text, "dvrcore_resident_bytes %" PRIu64 "\n", core.residentBytes);
  Family(text, "dvrcore_throttling", "gauge", "1 while video is throttled for low memory.");
  Append(text, "dvrcore_throttling %d\n", core.throttling ? 1 : 0);
  Family(text, "dvrcore_clock_jumps_total", "counter", "Jumps of the system time reported.");
  Append(text, "dvrcore_clock_jumps_total %" PRIu64 "\n", core.clockJumps);
  return text;
}

void ThreadSampler::Sample(const std::vector<std::string>& tags, const char* taskFolder) {
  DIR* folder = opendir(taskFolder);
  if (folder == nullptr) return;
  for (auto& tag : tags_) tag.second.threads = 0;
  const long mainThread = getpid();
  std::map<int, Seen> seen;
  std::string name;
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long tid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    uint64_t ticks = 0;
    uint64_t startTime = 0;
    if (!ReadThreadStat(std::string(taskFolder) + "/" + entry->d_name + "/stat", name, ticks,
                        startTime)) {
      continue;  // ended meanwhile
    }
    Seen& now = seen[static_cast<int>(tid)] = {startTime, ticks};
    auto before = seen_.find(static_cast<int>(tid));
    const bool known = before != seen_.end() && before->second.startTime == startTime &&
                       before->second.cpuTicks <= ticks;
    const uint64_t used = known ? ticks - before->second.cpuTicks : now.cpuTicks;
    // The core's role, if it is one of the core's threads.
    unsigned role = 0;
    while (role < FigureIndex(CoreThread::kOther) &&
           !(role == FigureIndex(CoreThread::kMain)
                 ? tid == mainThread
                 : name == kCoreThreadNames[role])) {
      role++;
    }
    if (role < FigureIndex(CoreThread::kOther)) {
      coreTicks_[role] += used;
      continue;
    }
    // The longest tag the name begins with, followed by ':'.
    const std::string* owner = nullptr;
    for (const std::string& tag : tags) {
      const bool named = name.size() > tag.size() && name[tag.size()] == ':' &&
                         name.compare(0, tag.size(), tag) == 0;
      if (named && (owner == nullptr || tag.size() > owner->size())) {
        owner = &tag;
      }
    }
    if (owner == nullptr) continue;
    TagFigures& figures = tags_[*owner];
    figures.threads++;
    figures.cpuTicks += used;
  }
  closedir(folder);
  seen_.swap(seen);
  for (auto& tag : tags_) {
    tag.second.threadsMost = std::max(tag.second.threadsMost, tag.second.threads);
  }
  // After the threads, so that it holds at least what they were given.
  uint64_t ticks = 0;
  uint64_t startTime = 0;
  if (ReadThreadStat(std::string(taskFolder) + "/../stat", name, ticks, startTime)) {
    processTicks_ = ticks;
  }
}

ThreadSampler::TagFigures ThreadSampler::Of(const std::string& tag) const {
  auto it = tags_.find(tag);
  return it == tags_.end() ? TagFigures{} : it->second;
}

uint64_t ThreadSampler::TagTicks() const {
  uint64_t ticks = 0;
  for (const auto& tag : tags_) ticks += tag.second.cpuTicks;
  return ticks;
}

void ThreadSampler::StartWindow() {
  for (auto& tag : tags_) tag.second.threadsMost = tag.second.threads;
}

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
      sampler_.Sample(tags);
    }
  }
}

void FiguresFile::Write(bool up) {
  const std::vector<const PluginFigures*> listed = book_.Listed();
  std::vector<std::string> tags;
  for (const PluginFigures* figures : listed) tags.push_back(figures->threadTag);
  sampler_.Sample(tags);
  const std::map<uint32_t, size_t> holds = gatherHolds_();
  static const double kTicksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
  auto seconds = [](uint64_t ticks) {
    return kTicksPerSecond > 0 ? static_cast<double>(ticks) / kTicksPerSecond : 0;
  };
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
    row.cpuSeconds = seconds(threads.cpuTicks);
    rows.push_back(row);
  }
  sampler_.StartWindow();
  CoreFigures core = gatherCore_();
  core.version = CoreVersion();
  core.startTime = StartTime();
  core.up = up;
  uint64_t attributed = sampler_.TagTicks();
  for (unsigned role = 0; role < FigureIndex(CoreThread::kOther); ++role) {
    const uint64_t ticks = sampler_.CoreTicks(static_cast<CoreThread>(role));
    attributed += ticks;
    core.cpuSeconds[role] = seconds(ticks);
  }
  // A counter must not go down, or a collector sees a restart: time a
  // thread used between its sample and the process's read shows as other
  // in one write and as the thread's in the next, so other keeps its most.
  const uint64_t process = sampler_.ProcessTicks();
  otherTicks_ = std::max(otherTicks_, process > attributed ? process - attributed : 0);
  core.cpuSeconds[FigureIndex(CoreThread::kOther)] = seconds(otherTicks_);
  const std::string text = FormatFigures(core, rows);
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
