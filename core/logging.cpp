// Logging: every message is an event (RaiseLogMessage raises one); the
// dispatch hands log events to dvrcore::Log, which prints one line on a
// terminal and sends failures (level 100) to syslog.
//
// DESIGN: Log runs on any thread. It copies the speaker's tag out of the
// plugin table's module names under their lock (the loader may still be
// adding names while plugin threads log) and prints without any lock; each
// line is one printf call. The text is printed with a precision, so a text
// that a raiser did not terminate is printed where it lies, never copied: a
// copy of a long one could fail for want of memory.
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/core.h"

namespace {

// Time stamps past 2038-01-19 need a 64-bit time_t: 32-bit targets are built
// with _TIME_BITS=64 (CMakeLists.txt), and a build without it must not pass.
static_assert(sizeof(std::time_t) >= 8, "time_t must be 64 bits wide");

constexpr unsigned kMaxColouredLevel = 100;

// ANSI colour of the time stamp by level / 25: magenta, green, yellow, red, red.
constexpr int kLevelColours[] = {5, 2, 3, 1, 1};

bool StandardOutputIsTerminal() {
  static std::once_flag once;
  static bool terminal = false;
  std::call_once(once, [] { terminal = isatty(STDOUT_FILENO) == 1; });
  return terminal;
}

}  // namespace

void dvrcore::Log(uint32_t sourceId, unsigned level, const char* text) {
  parts->Log(sourceId, level, text, text != nullptr ? std::strlen(text) : 0);
}

void dvrcore::Parts::Log(uint32_t sourceId, unsigned level, const char* text, size_t length) {
  bool terminal = StandardOutputIsTerminal();
  if (text == nullptr) return;
  // printf's precision is an int: a text of more than 2 GiB (dataLength is
  // 32 bits wide) is cut there.
  const int shown = length > INT_MAX ? INT_MAX : static_cast<int>(length);
  if (level == kLogFailure) syslog(LOG_CRIT, "%.*s", shown, text);
  if (!terminal) return;

  std::time_t seconds = std::time(nullptr);
  struct tm utc;
  gmtime_r(&seconds, &utc);

  char tag[7];
  plugins.CopyTag(sourceId, tag, sizeof tag);

  if (level <= kMaxColouredLevel) {
    std::printf("\033[3%dm%02d:%02d:%02d\033[36m %-6.6s\033[0m %.*s\n", kLevelColours[level / 25],
                utc.tm_hour, utc.tm_min, utc.tm_sec, tag, shown, text);
  } else {
    std::printf("%02d:%02d:%02d %-6.6s %.*s\n", utc.tm_hour, utc.tm_min, utc.tm_sec, tag, shown,
                text);
  }
}
