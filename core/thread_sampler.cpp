// Sampling the process's threads; see thread_sampler.h.
#include "core/thread_sampler.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <unordered_map>

namespace {

// The names the core gives its threads (dvrcore.cpp, slow_calls.cpp and
// FiguresFile::Start), by role. The main thread is told by its ID, equal to the
// process's, not by its name: under qemu-user or a renamed executable the
// name differs, and a plugin may rename the thread it is called on.
const char* const kCoreThreadNames[] = {nullptr, "dvrcore:io", "dvrcore:watch", "dvrcore:stats",
                                        nullptr};
static_assert(sizeof kCoreThreadNames / sizeof *kCoreThreadNames == FigureIndex(CoreThread::kCount),
              "one name per role");

// The core's role of thread `tid` named `name`; kOther when it is none of
// the core's threads.
CoreThread RoleOf(pid_t tid, pid_t mainThread, const std::string& name) {
  unsigned role = 0;
  while (role < FigureIndex(CoreThread::kOther) &&
         !(role == FigureIndex(CoreThread::kMain) ? tid == mainThread
                                                  : name == kCoreThreadNames[role])) {
    role++;
  }
  return static_cast<CoreThread>(role);
}

// The longest of the indexed tags that `name` begins with, followed by ':';
// null for none. Only the prefixes ending before a ':' can be one, the
// longest first: a thread name has at most 15 characters, where a linear
// search would compare every thread with every plugin's tag.
const std::string* OwnerOf(const std::string& name,
                           const std::unordered_map<std::string_view, const std::string*>& tags) {
  for (size_t colon = name.rfind(':'); colon != std::string::npos && colon != 0;
       colon = name.rfind(':', colon - 1)) {
    auto tag = tags.find(std::string_view(name.data(), colon));
    if (tag != tags.end()) return tag->second;
  }
  return nullptr;
}

// Closes a descriptor on leaving the scope.
struct FolderFd {
  explicit FolderFd(const char* path) : fd(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~FolderFd() {
    if (fd >= 0) close(fd);
  }
  FolderFd(const FolderFd&) = delete;
  FolderFd& operator=(const FolderFd&) = delete;
  const int fd;
};

}  // namespace

bool ThreadSampler::ReadCpuClock(pid_t tid, uint64_t& ns) {
  // A thread's CPU clock as the kernel numbers it (what glibc's
  // pthread_getcpuclockid makes of a thread's ID): any thread of a process
  // may read another's.
  const clockid_t clock =
      tid == 0 ? CLOCK_PROCESS_CPUTIME_ID
               : static_cast<clockid_t>((~static_cast<uint32_t>(tid) << 3) | 6u);
  timespec used{};
  if (clock_gettime(clock, &used) != 0) return false;
  ns = static_cast<uint64_t>(used.tv_sec) * 1000000000u + static_cast<uint64_t>(used.tv_nsec);
  return true;
}

void ThreadSampler::Sample(const std::vector<std::string>& tags, Depth depth,
                           const char* taskFolder) {
  const FolderFd folder(taskFolder);
  if (depth == Depth::kCount && !seen_.empty()) {
    ProcStat process;
    if (ReadStatAt(folder.fd, "../stat", process, line_) && process.threads == seen_.size()) return;
  }
  const std::vector<pid_t> tids = ListTasks(taskFolder);
  if (tids.empty() || folder.fd < 0) return;  // not even this thread: the folder cannot be read
  const pid_t mainThread = getpid();
  index_.clear();  // made again by Meet when needed: the tags may have grown
  for (auto& tag : tags_) tag.second.threads = 0;
  // Both lists are sorted by thread ID: the previous sample is walked along.
  std::vector<Seen> seen;
  seen.reserve(tids.size());
  auto before = seen_.begin();
  for (pid_t tid : tids) {
    while (before != seen_.end() && before->tid < tid) ++before;
    const bool known = before != seen_.end() && before->tid == tid;
    if (known && depth == Depth::kCount) {
      seen.push_back(*before);
      Tally(*before, 0);
      continue;
    }
    Seen now;
    now.tid = tid;
    if (!cpu_(tid, now.cpuNs)) continue;  // ended meanwhile
    uint64_t used = now.cpuNs;
    if (known && before->cpuNs <= now.cpuNs) {
      used -= before->cpuNs;
      now.role = before->role;
      now.tag = before->tag;
    } else if (!Meet(folder.fd, tid, mainThread, tags, now)) {
      continue;
    }
    seen.push_back(now);
    Tally(now, used);
  }
  seen_.swap(seen);
  for (auto& tag : tags_) {
    tag.second.threadsMost = std::max(tag.second.threadsMost, tag.second.threads);
  }
  // After the threads, so that it holds at least what they were given.
  cpu_(0, processNs_);
}

bool ThreadSampler::Meet(int folder, pid_t tid, pid_t mainThread,
                         const std::vector<std::string>& tags, Seen& thread) {
  char path[32];
  std::snprintf(path, sizeof path, "%d/stat", static_cast<int>(tid));
  ProcStat stat;
  if (!ReadStatAt(folder, path, stat, line_)) return false;
  thread.role = RoleOf(tid, mainThread, stat.name);
  thread.tag = nullptr;
  if (thread.role != CoreThread::kOther) return true;
  if (index_.empty()) {
    index_.reserve(tags.size());
    for (const std::string& tag : tags) index_.emplace(tag, &tag);
  }
  const std::string* owner = OwnerOf(stat.name, index_);
  if (owner != nullptr) thread.tag = &tags_[*owner];
  return true;
}

void ThreadSampler::Tally(const Seen& thread, uint64_t used) {
  if (thread.role != CoreThread::kOther) {
    coreNs_[FigureIndex(thread.role)] += used;
  } else if (thread.tag != nullptr) {
    thread.tag->threads++;
    thread.tag->cpuNs += used;
  }
}

ThreadSampler::TagFigures ThreadSampler::Of(const std::string& tag) const {
  auto it = tags_.find(tag);
  return it == tags_.end() ? TagFigures{} : it->second;
}

uint64_t ThreadSampler::TagNs() const {
  uint64_t ns = 0;
  for (const auto& tag : tags_) ns += tag.second.cpuNs;
  return ns;
}

void ThreadSampler::StartWindow() {
  for (auto& tag : tags_) tag.second.threadsMost = tag.second.threads;
}
