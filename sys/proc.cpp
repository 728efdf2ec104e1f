// The /proc readers; see proc.h.
#include "sys/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int ReadSmallFile(const std::string& path, std::string& text, size_t limit) {
  text.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > limit) {
      error = EFBIG;
      break;
    }
  }
  close(fd);
  return error;
}

bool StatusLine(const std::string& text, const char* key, std::string& value, size_t& from) {
  const size_t keyLength = std::strlen(key);
  while (from < text.size()) {
    size_t lineEnd = text.find('\n', from);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    const size_t lineStart = from;
    from = lineEnd + 1;
    if (text.compare(lineStart, keyLength, key) == 0) {
      value.assign(text, lineStart + keyLength, lineEnd - lineStart - keyLength);
      return true;
    }
  }
  return false;
}

bool ParseStat(const std::string& line, ProcStat& stat) {
  // Read in place, without splitting. Fields are counted after the command
  // name, which is in parentheses and may itself hold blanks and ')': 0 is
  // the state (field 3 of proc(5)).
  const size_t open = line.find('(');
  const size_t close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\t'; };
  uint64_t value[20] = {};  // only fields 11, 12, 17 and 19 are taken
  char state = 0;
  unsigned field = 0;
  for (size_t at = close + 1; at < line.size() && field < 20;) {
    while (at < line.size() && blank(line[at])) at++;
    if (at == line.size()) break;
    if (field == 0) {
      state = line[at];
    } else if (field == 11 || field == 12 || field == 17 || field == 19) {
      value[field] = std::strtoull(line.c_str() + at, nullptr, 10);
    }
    while (at < line.size() && !blank(line[at])) at++;
    field++;
  }
  if (field < 20) return false;
  stat.name.assign(line, open + 1, close - open - 1);
  stat.state = state;
  stat.cpuTicks = value[11] + value[12];
  stat.startTime = value[19];
  stat.threads = value[17];
  return true;
}

bool ReadStat(const std::string& path, ProcStat& stat) {
  std::string line;
  return ReadSmallFile(path, line) == 0 && ParseStat(line, stat);
}

bool ReadStatAt(int folder, const char* path, ProcStat& stat, std::string& line) {
  const int fd = openat(folder, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A stat line comes whole from one read; a line that did not end in it
  // (there is no such line today) is read on to the end.
  char buffer[2048];
  line.clear();
  ssize_t n;
  do {
    n = read(fd, buffer, sizeof buffer);
    if (n > 0) line.append(buffer, static_cast<size_t>(n));
  } while ((n > 0 && line.back() != '\n' && line.size() < kSmallFileLimit) ||
           (n < 0 && errno == EINTR));
  close(fd);
  return n >= 0 && ParseStat(line, stat);
}

std::string TaskPath(pid_t tid, const char* taskFolder) {
  return std::string(taskFolder) + '/' + std::to_string(tid);
}

std::vector<pid_t> ListTasks(const char* taskFolder) {
  // getdents64 into the stack, where opendir allocates a buffer of 32 KiB:
  // the core lists its threads after every plugin's Load and Open.
  std::vector<pid_t> tids;
  const int folder = open(taskFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return tids;
  alignas(8) char buffer[4096];
  long length;
  while ((length = getdents64(folder, buffer, sizeof buffer)) > 0) {
    for (long at = 0; at < length;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      long tid = 0;
      const char* c = entry->d_name;
      for (; *c >= '0' && *c <= '9' && tid <= 0x7fffffff / 10; c++) tid = tid * 10 + (*c - '0');
      if (c != entry->d_name && *c == '\0' && tid > 0) tids.push_back(static_cast<pid_t>(tid));
    }
  }
  close(folder);
  std::sort(tids.begin(), tids.end());
  return tids;
}

uint64_t ThreadStartTime(pid_t tid) {
  ProcStat stat;
  return ReadStat(TaskPath(tid) + "/stat", stat) ? stat.startTime : 0;
}

std::string ThreadComm(pid_t tid, const char* taskFolder) {
  std::string name;
  if (ReadSmallFile(TaskPath(tid, taskFolder) + "/comm", name) != 0) return {};
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

bool ReadResidentPages(const char* statmPath, uint64_t& pages) {
  std::string text;
  if (ReadSmallFile(statmPath, text) != 0) return false;
  unsigned long long total = 0, resident = 0;
  if (std::sscanf(text.c_str(), "%llu %llu", &total, &resident) < 2) return false;
  pages = resident;
  return true;
}
