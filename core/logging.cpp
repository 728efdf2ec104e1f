// Logging: every message is an event (RaiseLogMessage raises one); the
// dispatch hands log events to dvrcore::Log, which prints one line on a
// terminal and sends failures (level 100), or the levels DVRCORE_SYSLOG_LEVEL
// names, to syslog.
//
// DESIGN: Log runs on any thread. It copies the speaker's tag out of the
// plugin table's module names under their lock (the loader may still be
// adding names while plugin threads log) and prints without any lock of the
// core; each line is written under the lock of stdout, so lines of different
// threads never mix. The text is printed from where it lies, never copied:
// a copy of a long one could fail for want of memory, and a text that a
// raiser did not terminate is printed up to its length.
//
// DESIGN (escapes): file names and plugins' texts are not the core's own, so
// a byte that a terminal or a log reader would act on is printed escaped:
// line feed, carriage return and tab as \n, \r and \t, every other control
// character (C0, DEL, and C1 as its UTF-8 bytes) and every byte that is not
// part of valid UTF-8 as \xHH. A newline in a text would otherwise start a
// line that looks like one of the core's, an escape sequence would reach the
// operator's terminal. Printable text, UTF-8 included, and the backslash
// itself stay as they are: the line is for a person, not to be parsed back.
// One line feed at the very end is dropped, as the line ends there anyway.
// The colour sequences of the console format are the core's and stay.
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/core.h"
#include "sys/utf8.h"

namespace {

// Time stamps past 2038-01-19 need a 64-bit time_t: 32-bit targets are built
// with _TIME_BITS=64 (CMakeLists.txt), and a build without it must not pass.
static_assert(sizeof(std::time_t) >= 8, "time_t must be 64 bits wide");

constexpr unsigned kMaxColouredLevel = 100;

// ANSI colour of the time stamp by level / 25: magenta, green, yellow, red, red.
constexpr int kLevelColours[] = {5, 2, 3, 1, 1};
// The syslog priority by level / 25, for the levels DVRCORE_SYSLOG_LEVEL
// adds to the failures' LOG_CRIT.
constexpr int kSyslogPriorities[] = {LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERR, LOG_CRIT};

bool StandardOutputIsTerminal() {
  static std::once_flag once;
  static bool terminal = false;
  std::call_once(once, [] { terminal = isatty(STDOUT_FILENO) == 1; });
  return terminal;
}

// The longest escape of one byte, \xHH.
constexpr size_t kMaxEscape = 4;

// A syslog record is one string: a text that needs escapes is escaped on the
// stack, room enough for any message the core formats (511 bytes, each
// escaped at most fourfold). A longer one is cut there, never inside an
// escape; a text without escapes is sent whole, from where it lies.
constexpr size_t kSyslogEscapedSize = kMaxEscape * 511 + 1;

// The length of the character at `text` when it is printed as it is; 0 when
// its first byte is printed escaped.
size_t ShownAsIs(const char* text, size_t length) {
  uint32_t c = 0;
  const size_t size = DecodeUtf8(text, length, c);
  if (size == 0 || c < 0x20 || (c >= 0x7F && c <= 0x9F)) return 0;
  return size;
}

// Writes the escape of `byte` to `out` (room for kMaxEscape); its length.
size_t Escape(unsigned char byte, char* out) {
  static const char kHex[] = "0123456789abcdef";
  out[0] = '\\';
  switch (byte) {
    case '\n': out[1] = 'n'; return 2;
    case '\r': out[1] = 'r'; return 2;
    case '\t': out[1] = 't'; return 2;
    default:
      out[1] = 'x';
      out[2] = kHex[byte >> 4];
      out[3] = kHex[byte & 0xF];
      return 4;
  }
}

// Escapes `text` into `out` (`size` bytes, at least 1) up to the first piece
// that does not fit, so that nothing is cut inside an escape or a character;
// terminated. Returns the bytes written.
size_t EscapeInto(const char* text, size_t length, char* out, size_t size) {
  size_t used = 0;
  for (size_t i = 0; i < length;) {
    char escape[kMaxEscape];
    size_t taken = ShownAsIs(text + i, length - i);
    const char* piece = text + i;
    size_t pieceLength = taken;
    if (taken == 0) {
      taken = 1;
      pieceLength = Escape(static_cast<unsigned char>(text[i]), escape);
      piece = escape;
    }
    if (used + pieceLength >= size) break;
    std::memcpy(out + used, piece, pieceLength);
    used += pieceLength;
    i += taken;
  }
  out[used] = '\0';
  return used;
}

// The length of the leading part of `text` that is printed as it is.
size_t AsIsRun(const char* text, size_t length) {
  size_t run = 0;
  for (size_t size; run < length && (size = ShownAsIs(text + run, length - run)) != 0;) run += size;
  return run;
}

// Writes `text` escaped to stdout, whose lock the caller holds.
void PrintEscaped(const char* text, size_t length) {
  for (size_t i = 0; i < length;) {
    const size_t run = AsIsRun(text + i, length - i);
    if (run > 0) {
      std::fwrite(text + i, 1, run, stdout);
      i += run;
    } else {
      char escape[kMaxEscape];
      std::fwrite(escape, 1, Escape(static_cast<unsigned char>(text[i]), escape), stdout);
      ++i;
    }
  }
}

}  // namespace

void dvrcore::Log(uint32_t sourceId, unsigned level, const char* text) {
  parts->Log(sourceId, level, text, text != nullptr ? std::strlen(text) : 0);
}

void dvrcore::Parts::Log(uint32_t sourceId, unsigned level, const char* text, size_t length) {
  bool terminal = StandardOutputIsTerminal();
  if (text == nullptr) return;
  if (length > 0 && text[length - 1] == '\n') --length;
  if (level >= syslogLevel && level <= kLogFailure) {
    const int priority = kSyslogPriorities[level / 25];
    if (AsIsRun(text, length) == length) {
      // printf's precision is an int: a text of more than 2 GiB (dataLength
      // is 32 bits wide) is cut there.
      syslog(priority, "%.*s", length > INT_MAX ? INT_MAX : static_cast<int>(length), text);
    } else {
      char escaped[kSyslogEscapedSize];
      EscapeInto(text, length, escaped, sizeof escaped);
      syslog(priority, "%s", escaped);
    }
  }
  if (!terminal) return;

  std::time_t seconds = std::time(nullptr);
  struct tm utc;
  gmtime_r(&seconds, &utc);

  // The tag is a file stem: escaped like the text, in exactly six bytes,
  // padded with blanks, cut before an escape or a character that would not
  // fit whole.
  char name[7];
  plugins.CopyTag(sourceId, name, sizeof name);
  char tag[7];
  const size_t tagLength = EscapeInto(name, std::strlen(name), tag, sizeof tag);
  std::memset(tag + tagLength, ' ', sizeof tag - 1 - tagLength);
  tag[sizeof tag - 1] = '\0';

  flockfile(stdout);
  if (level <= kMaxColouredLevel) {
    std::printf("\033[3%dm%02d:%02d:%02d\033[36m %s\033[0m ", kLevelColours[level / 25],
                utc.tm_hour, utc.tm_min, utc.tm_sec, tag);
  } else {
    std::printf("%02d:%02d:%02d %s ", utc.tm_hour, utc.tm_min, utc.tm_sec, tag);
  }
  PrintEscaped(text, length);
  std::putchar('\n');
  funlockfile(stdout);
}

void dvrcore::Parts::ConfigureSyslog(const char* level) {
  // The process ID in every line: a device's log holds the lines of a core
  // and of the one that replaced it after a restart. The identity and the
  // facility stay the defaults (the program's name, LOG_USER).
  openlog(nullptr, LOG_PID, LOG_USER);
  if (level == nullptr) return;
  char* end = nullptr;
  const long value = std::strtol(level, &end, 10);
  if (end == level || *end != '\0' || value < 0 || value > static_cast<long>(kLogFailure)) {
    CORE_LOG(kLogNotable, "DVRCORE_SYSLOG_LEVEL '%s' is not a level from 0 to 100; "
             "sending level %u and above to syslog", level, syslogLevel);
    return;
  }
  syslogLevel = static_cast<unsigned>(value);
}
