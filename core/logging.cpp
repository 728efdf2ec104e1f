// Logging: every message is an event (RaiseLogMessage raises one); the
// dispatch hands log events to dvrcore::Log, which prints one line on a
// terminal and sends failures (level 100) to syslog.
//
// DESIGN: Log runs on any thread. It copies the speaker's tag out of the
// plugin table's module names under their lock (the loader may still be
// adding names while plugin threads log) and prints without any lock; each
// line is one printf call.
#include <syslog.h>
#include <unistd.h>

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
constexpr bool kConsoleColour = true;

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
  bool terminal = StandardOutputIsTerminal();
  if (text == nullptr) return;
  if (level == kLogFailure) syslog(LOG_CRIT, "%s", text);
  if (!terminal) return;

  std::time_t seconds = std::time(nullptr);
  struct tm utc;
  gmtime_r(&seconds, &utc);

  char tag[7];
  parts->plugins.CopyTag(sourceId, tag, sizeof tag);

  if (level <= kMaxColouredLevel && kConsoleColour) {
    std::printf("\033[3%dm%02d:%02d:%02d\033[36m %-6.6s\033[0m %s\n", kLevelColours[level / 25],
                utc.tm_hour, utc.tm_min, utc.tm_sec, tag, text);
  } else {
    std::printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec, tag, text);
  }
}
