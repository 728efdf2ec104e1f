// Sampling the process's threads; see thread_sampler.h.
#include "core/thread_sampler.h"

#include <unistd.h>

#include <algorithm>

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
CoreThread RoleOf(pid_t tid, const std::string& name) {
  const pid_t mainThread = getpid();
  unsigned role = 0;
  while (role < FigureIndex(CoreThread::kOther) &&
         !(role == FigureIndex(CoreThread::kMain) ? tid == mainThread
                                                  : name == kCoreThreadNames[role])) {
    role++;
  }
  return static_cast<CoreThread>(role);
}

// The longest of `tags` that `name` begins with, followed by ':'; null for none.
const std::string* OwnerOf(const std::string& name, const std::vector<std::string>& tags) {
  const std::string* owner = nullptr;
  for (const std::string& tag : tags) {
    const bool named = name.size() > tag.size() && name[tag.size()] == ':' &&
                       name.compare(0, tag.size(), tag) == 0;
    if (named && (owner == nullptr || tag.size() > owner->size())) owner = &tag;
  }
  return owner;
}

}  // namespace

void ThreadSampler::Sample(const std::vector<std::string>& tags, const char* taskFolder) {
  const std::vector<pid_t> tids = ListTasks(taskFolder);
  if (tids.empty()) return;  // not even this thread: the folder cannot be read
  for (auto& tag : tags_) tag.second.threads = 0;
  std::map<int, Seen> seen;
  ProcStat stat;
  for (pid_t tid : tids) {
    if (!ReadStat(TaskPath(tid, taskFolder) + "/stat", stat)) continue;  // ended meanwhile
    Seen& now = seen[tid] = {stat.startTime, stat.cpuTicks};
    auto before = seen_.find(tid);
    const bool known = before != seen_.end() && before->second.startTime == stat.startTime &&
                       before->second.cpuTicks <= stat.cpuTicks;
    const uint64_t used = known ? stat.cpuTicks - before->second.cpuTicks : now.cpuTicks;
    const CoreThread role = RoleOf(tid, stat.name);
    if (role != CoreThread::kOther) {
      coreTicks_[FigureIndex(role)] += used;
      continue;
    }
    const std::string* owner = OwnerOf(stat.name, tags);
    if (owner == nullptr) continue;
    TagFigures& figures = tags_[*owner];
    figures.threads++;
    figures.cpuTicks += used;
  }
  seen_.swap(seen);
  for (auto& tag : tags_) {
    tag.second.threadsMost = std::max(tag.second.threadsMost, tag.second.threads);
  }
  // After the threads, so that it holds at least what they were given.
  if (ReadStat(std::string(taskFolder) + "/../stat", stat)) processTicks_ = stat.cpuTicks;
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
