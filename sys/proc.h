// The kernel's records of processes and threads under /proc, read the one way
// every layer and tool of the core reads them: small files in plain reads
// (a file stream costs more than the rest of a privilege drop), the stat
// line split after the command name, the task list as sorted thread IDs.
//
// Threads: no shared state; any thread.
#ifndef DVRCORE_SYS_PROC_H
#define DVRCORE_SYS_PROC_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Enough for every /proc record the core reads (an environment, a status
// file) and for the core's own small files.
constexpr size_t kSmallFileLimit = 1 << 20;

// Reads the whole of `path` into `text`, until its end: /proc files report no
// size. Returns 0, or the errno value of the failure (EFBIG beyond `limit`
// bytes), with `text` then holding what was read.
int ReadSmallFile(const std::string& path, std::string& text, size_t limit = kSmallFileLimit);

// The value of the first line of a status file that begins with `key` (as
// "Uid:" or "SigBlk:"), without the key; false when no line does.
// `from` is where the search starts, and is set past the line found, so that
// a caller may go on to the next line of that key.
bool StatusLine(const std::string& text, const char* key, std::string& value, size_t& from);

// What the core takes from a stat line: the command name and, in clock
// ticks (sysconf(_SC_CLK_TCK)), the CPU time used and the start after boot.
struct ProcStat {
  std::string name;
  char state = 0;
  uint64_t cpuTicks = 0;   // utime + stime
  uint64_t startTime = 0;  // field 22: with the ID, tells a thread from a later one
  uint64_t threads = 0;    // field 20: the process's threads
};
// False when the text is no stat line.
bool ParseStat(const std::string& line, ProcStat& stat);
// False when the file cannot be read (the thread or process has ended) or
// holds no stat line.
bool ReadStat(const std::string& path, ProcStat& stat);

// The same for `path` relative to the open folder `folder` (openat), with
// one read where the line comes whole, and `line` as the caller's buffer:
// the figures' thread reads every thread's stat this way each second.
bool ReadStatAt(int folder, const char* path, ProcStat& stat, std::string& line);

// The task folder of this process, and the folder of one of its threads.
constexpr char kOwnTaskFolder[] = "/proc/self/task";
std::string TaskPath(pid_t tid, const char* taskFolder = kOwnTaskFolder);

// The thread IDs listed in a task folder, sorted; empty when it cannot be
// read. Entries that are no thread ID ("." and "..") are skipped.
std::vector<pid_t> ListTasks(const char* taskFolder = kOwnTaskFolder);

// The start time of thread `tid` of this process (field 22 of its stat); 0
// when it has ended.
uint64_t ThreadStartTime(pid_t tid);

// The name of a thread (its comm file, under `taskFolder`) without the line
// feed; empty when the thread has ended.
std::string ThreadComm(pid_t tid, const char* taskFolder = kOwnTaskFolder);

// The resident pages of a statm file (its second field); false when it
// cannot be read or parsed.
bool ReadResidentPages(const char* statmPath, uint64_t& pages);

#endif  // DVRCORE_SYS_PROC_H
