// Sampling the process's threads; see thread_sampler.h.
#include "core/thread_sampler.h"

#include <fcntl.h>
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

// The tags by name, for OwnerOf.
using TagIndex = std::unordered_map<std::string_view, const std::string*>;

// The longest of the indexed tags that `name` begins with, followed by ':';
// null for none. Only the prefixes ending before a ':' can be one, the
// longest first: a thread name has at most 15 characters, where a linear
// search would compare every thread with every plugin's tag.
const std::string* OwnerOf(const std::string& name, const TagIndex& tags) {
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

void ThreadSampler::Sample(const std::vector<std::string>& tags, Depth depth,
                           const char* taskFolder) {
  const std::vector<pid_t> tids = ListTasks(taskFolder);
  const FolderFd folder(taskFolder);
  if (tids.empty() || folder.fd < 0) return;  // not even this thread: the folder cannot be read
  const pid_t mainThread = getpid();
  TagIndex index;  // made when a thread's name is first needed
  for (auto& tag : tags_) tag.second.threads = 0;
  // Both lists are sorted by thread ID: the previous sample is walked along.
  std::vector<Seen> seen;
  seen.reserve(tids.size());
  auto before = seen_.begin();
  ProcStat stat;
  char path[32];
  for (pid_t tid : tids) {
    while (before != seen_.end() && before->tid < tid) ++before;
    const Seen* known = before != seen_.end() && before->tid == tid ? &*before : nullptr;
    if (known != nullptr && depth == Depth::kCount) {
      seen.push_back(*known);
      Tally(*known, 0);
      continue;
    }
    std::snprintf(path, sizeof path, "%d/stat", static_cast<int>(tid));
    if (!ReadStatAt(folder.fd, path, stat, line_)) continue;  // ended meanwhile
    const bool same = known != nullptr && known->startTime == stat.startTime &&
                      known->cpuTicks <= stat.cpuTicks;
    Seen now{tid, stat.startTime, stat.cpuTicks, RoleOf(tid, mainThread, stat.name), nullptr};
    if (now.role == CoreThread::kOther) {
      if (index.empty()) {
        index.reserve(tags.size());
        for (const std::string& tag : tags) index.emplace(tag, &tag);
      }
      const std::string* owner = OwnerOf(stat.name, index);
      if (owner != nullptr) now.tag = &tags_[*owner];
    }
    seen.push_back(now);
    Tally(now, same ? stat.cpuTicks - known->cpuTicks : stat.cpuTicks);
  }
  seen_.swap(seen);
  for (auto& tag : tags_) {
    tag.second.threadsMost = std::max(tag.second.threadsMost, tag.second.threads);
  }
  // After the threads, so that it holds at least what they were given.
  if (ReadStatAt(folder.fd, "../stat", stat, line_)) processTicks_ = stat.cpuTicks;
}

void ThreadSampler::Tally(const Seen& thread, uint64_t used) {
  if (thread.role != CoreThread::kOther) {
    coreTicks_[FigureIndex(thread.role)] += used;
  } else if (thread.tag != nullptr) {
    thread.tag->threads++;
    thread.tag->cpuTicks += used;
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
