// Logging: every message is an event. RaiseLogMessage formats a message and
// raises it; the dispatch hands log events to dvrcore::Log, which prints one
// line on a terminal and sends failures (level 100) to syslog.
//
// DESIGN: Log runs on any thread. It copies the speaker's tag out of
// moduleNames under namesLock held shared (the loader may still be adding
// names while plugin threads log) and prints without any lock; each line is
// one printf call.
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/dvrcore.h"

namespace {

constexpr size_t kMessageBufferSize = 512;  // a longer message is cut to 511 characters
constexpr unsigned kSyslogLevel = 100;
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

const char* CoreVersion() { return "19.06.6.160279"; }

void RaiseLogMessage(uint32_t sourceId, PluginEventFunction raise, unsigned level,
                     const char* format, ...) {
  if (raise == nullptr) return;
  char text[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (written < 0) text[0] = '\0';

  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.dataLength = static_cast<uint32_t>(std::strlen(text) + 1);
  in.data = text;
  in.sourceId = sourceId;
  in.eventType = EVENT_LOG;
  in.eventFlags = EVENT_FLAGS_CORE_LOG;
  in.level = level;
  _EventParmsOut out{sizeof out, 1, 0};
  raise(&in, &out);
}

void dvrcore::Log(uint32_t sourceId, unsigned level, const char* text) {
  bool terminal = StandardOutputIsTerminal();
  if (text == nullptr) return;
  if (level == kSyslogLevel) syslog(LOG_CRIT, "%s", text);
  if (!terminal) return;

  std::time_t seconds = std::time(nullptr);
  struct tm utc;
  gmtime_r(&seconds, &utc);

  char tag[7] = "?";
  {
    std::shared_lock<std::shared_mutex> lock(namesLock);
    auto it = moduleNames.find(sourceId);
    if (it != moduleNames.end()) {
      std::strncpy(tag, it->second.c_str(), sizeof tag - 1);
      tag[sizeof tag - 1] = '\0';
    }
  }

  if (level <= kMaxColouredLevel && consoleColour) {
    std::printf("\033[3%dm%02d:%02d:%02d\033[36m %-6.6s\033[0m %s\n", kLevelColours[level / 25],
                utc.tm_hour, utc.tm_min, utc.tm_sec, tag, text);
  } else {
    std::printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec, tag, text);
  }
}
