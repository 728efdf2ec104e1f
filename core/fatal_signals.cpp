// The report of a fatal signal: the last lines of the core's log say which
// thread died of which signal, in which plugin's entry, and where.
//
// DESIGN: the handler runs on the dying thread, in whatever state the fault
// left it (a lock of malloc or of stdio may be held), so it uses system calls
// and its own stack buffers only: no malloc, no stdio, no syslog(3), no
// locale or time zone. What it reads is the thread's own: its name (prctl),
// the call it is in (the slot of events/call_watch.h, which the thread itself
// wrote before calling) and the plugin whose figures it counts to
// (events/figures.h); the faulting addresses are found in /proc/self/maps,
// read with open and read. The lines go to the console in its format, when
// standard output is a terminal (decided at installation, as Log decides
// once), and to syslog as failures go there: one datagram per line to the
// socket syslog(3) writes to, in its format. Then the signal's default action
// runs, as if the handler had not been there: the exit status, a core dump
// and the parent's view stay what they were.
//
// A first fatal signal reports; one on another thread meanwhile waits for the
// first to end the process. A fault inside the report itself, with the signal
// blocked there, ends the process at once by the kernel's default action.
//
// The main thread's handler runs on a stack of its own (sigaltstack), so that
// a plugin that overflows the main thread's stack is still reported. Other
// threads use their own stack: event threads come and go with every
// immediate event, and a stack each would cost a mapping per event. An
// overflow there still ends the core with SIGSEGV, only without the report.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "core/signals.h"
#include "events/call_watch.h"
#include "events/figures.h"
#include "sys/utf8.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DVRCORE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DVRCORE_SANITIZED 1
#endif
#endif

// Under a sanitizer its runtime reports the signal itself, with more than
// this could say, so nothing below is built there.
#ifndef DVRCORE_SANITIZED
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Set once by ReportFatalSignals before the handler is installed.
bool g_console = false;    // standard output is a terminal
long g_utcOffset = 0;      // seconds east of UTC then, for syslog's local time stamp
std::atomic<bool> g_reporting{false};  // any thread, in the handler

// The path syslog(3) sends to (glibc's _PATH_LOG).
constexpr char kSyslogPath[] = "/dev/log";
// LOG_CRIT with the default facility, as Log sends failures.
constexpr char kSyslogPriority[] = "<10>";
// 64 KiB: the report needs a few; the rest is for the signal frame, which
// grows with the processor's vector registers.
constexpr size_t kAltStackBytes = size_t{64} << 10;

// One line, built on the stack; cut at its end.
class Line {
 public:
  Line& Text(const char* text) { return Bytes(text, std::strlen(text)); }
  Line& Bytes(const char* bytes, size_t length) {
    for (size_t i = 0; i < length && used_ < sizeof text_; i++) text_[used_++] = bytes[i];
    return *this;
  }
  // A text that is not the core's own (file and thread names), escaped as
  // Log escapes texts.
  Line& Foreign(const char* text) {
    static const char kHex[] = "0123456789abcdef";
    const size_t length = std::strlen(text);
    for (size_t i = 0; i < length;) {
      uint32_t c = 0;
      const size_t size = DecodeUtf8(text + i, length - i, c);
      if (size != 0 && c >= 0x20 && !(c >= 0x7F && c <= 0x9F)) {
        Bytes(text + i, size);
        i += size;
        continue;
      }
      const auto byte = static_cast<unsigned char>(text[i++]);
      const char escape[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
      Bytes(escape, sizeof escape);
    }
    return *this;
  }
  Line& Number(uint64_t value, unsigned base, unsigned digits = 1) {
    char reversed[24];
    unsigned count = 0;
    do {
      reversed[count++] = "0123456789ABCDEF"[value % base];
      value /= base;
    } while (value != 0 || count < digits);
    while (count > 0) Bytes(&reversed[--count], 1);
    return *this;
  }
  // 0x and lower-case hex digits, as addresses are written.
  Line& Address(uintptr_t value) {
    Text("0x");
    char reversed[2 * sizeof value];
    unsigned count = 0;
    do {
      reversed[count++] = "0123456789abcdef"[value % 16];
      value /= 16;
    } while (value != 0);
    while (count > 0) Bytes(&reversed[--count], 1);
    return *this;
  }
  const char* Data() const { return text_; }
  size_t Size() const { return used_; }

 private:
  char text_[400];
  size_t used_ = 0;
};

// Two digits and a separator, for time stamps.
void TwoDigits(Line& line, long value, const char* after) {
  line.Number(static_cast<uint64_t>(value), 10, 2).Text(after);
}

// The console's format for a failure: the time stamp in red (UTC), the
// core's tag in cyan, then the text (see Log).
void ToConsole(const Line& text) {
  if (!g_console) return;
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const long day = static_cast<long>(now.tv_sec % 86400);
  Line line;
  line.Text("\033[31m");
  TwoDigits(line, day / 3600, ":");
  TwoDigits(line, day / 60 % 60, ":");
  TwoDigits(line, day % 60, "\033[36m core  \033[0m ");
  line.Bytes(text.Data(), text.Size()).Text("\n");
  const ssize_t ignored = write(STDOUT_FILENO, line.Data(), line.Size());
  (void)ignored;
}

// syslog(3)'s record as the core's other lines get it (LOG_PID):
// "<pri>Mmm dd hh:mm:ss ident[pid]: text",
// in local time (the offset of the installation: a change to or from summer
// time since then is not followed).
void ToSyslog(int socket, const Line& text) {
  if (socket < 0) return;
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t local = static_cast<int64_t>(now.tv_sec) + g_utcOffset;
  const long day = static_cast<long>(((local % 86400) + 86400) % 86400);
  // The civil date of a day count (days since 1970-01-01).
  const int64_t z = (local - day) / 86400 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shifted = (5 * dayOfYear + 2) / 153;  // months from March
  const int64_t dayOfMonth = dayOfYear - (153 * shifted + 2) / 5 + 1;
  const int64_t month = shifted < 10 ? shifted + 2 : shifted - 10;  // 0: January
  Line line;
  line.Text(kSyslogPriority).Bytes(kMonths + 3 * month, 3).Text(dayOfMonth < 10 ? "  " : " ");
  line.Number(static_cast<uint64_t>(dayOfMonth), 10).Text(" ");
  TwoDigits(line, day / 3600, ":");
  TwoDigits(line, day / 60 % 60, ":");
  TwoDigits(line, day % 60, " ");
  line.Text(program_invocation_short_name).Text("[");
  line.Number(static_cast<uint64_t>(getpid()), 10).Text("]: ").Bytes(text.Data(), text.Size());
  send(socket, line.Data(), line.Size(), MSG_NOSIGNAL);
}

int OpenSyslog() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, kSyslogPath, sizeof kSyslogPath);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    default: return "SIGABRT";
  }
}

// Where an address lies: the object's file (its base name) and the offset in
// it, or a pseudo mapping ("[stack]"); nothing when no file is mapped there.
struct Place {
  uintptr_t address = 0;
  bool found = false;
  char name[128] = "";
  bool file = false;     // name is a file's, not a pseudo mapping's
  uintptr_t offset = 0;  // in the file
};

uintptr_t ParseHex(const char*& at, const char* end) {
  uintptr_t value = 0;
  for (; at < end; at++) {
    const char c = *at;
    if (c >= '0' && c <= '9') value = value * 16 + static_cast<uintptr_t>(c - '0');
    else if (c >= 'a' && c <= 'f') value = value * 16 + static_cast<uintptr_t>(c - 'a' + 10);
    else break;
  }
  return value;
}

// Steps over blanks, then over one field.
void SkipField(const char*& at, const char* end) {
  while (at < end && *at == ' ') at++;
  while (at < end && *at != ' ') at++;
}

// One line of /proc/self/maps: "start-end perms offset dev inode   path".
void MatchMapping(const char* line, const char* end, Place* places, size_t count) {
  const char* at = line;
  const uintptr_t start = ParseHex(at, end);
  at++;  // '-'
  const uintptr_t stop = ParseHex(at, end);
  SkipField(at, end);  // perms
  while (at < end && *at == ' ') at++;
  const uintptr_t fileOffset = ParseHex(at, end);
  SkipField(at, end);  // dev
  SkipField(at, end);  // inode
  while (at < end && *at == ' ') at++;
  if (at == end) return;  // anonymous memory: no object
  const bool file = *at == '/';
  const char* name = at;
  for (const char* c = at; c < end; c++) {
    if (*c == '/') name = c + 1;
  }
  for (size_t i = 0; i < count; i++) {
    Place& place = places[i];
    if (place.found || place.address < start || place.address >= stop) continue;
    place.found = true;
    const size_t length = std::min(static_cast<size_t>(end - name), sizeof place.name - 1);
    std::memcpy(place.name, name, length);
    place.name[length] = '\0';
    place.file = file;
    place.offset = place.address - start + fileOffset;
  }
}

void Locate(Place* places, size_t count) {
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buffer[4096];
  size_t held = 0;
  bool skipping = false;  // the rest of a line longer than the buffer
  for (;;) {
    const ssize_t got = read(fd, buffer + held, sizeof buffer - held);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held += static_cast<size_t>(got);
    size_t begin = 0;
    for (size_t i = 0; i < held; i++) {
      if (buffer[i] != '\n') continue;
      if (!skipping) MatchMapping(buffer + begin, buffer + i, places, count);
      skipping = false;
      begin = i + 1;
    }
    if (begin == 0 && held == sizeof buffer) {
      skipping = true;
      held = 0;
    } else {
      std::memmove(buffer, buffer + begin, held - begin);
      held -= begin;
    }
  }
  close(fd);
}

// "cam.so+0x1c88", "[stack]", or the bare address where no file is mapped.
void PlaceText(Line& line, const Place& place) {
  if (!place.found) {
    line.Address(place.address);
    return;
  }
  line.Foreign(place.name);
  if (place.file) line.Text("+").Address(place.offset);
}

uintptr_t InstructionAddress(const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__arm__)
  return static_cast<uintptr_t>(uc->uc_mcontext.arm_pc);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return 0;
#endif
}

// "in plugin cam.so Write (event type 0x00000002 from 0x00020000)": the call
// the thread's slot holds, in the plugin its figures name.
void CallText(Line& line) {
  const WatchedCallSlot* slot = t_watchedCalls;
  const PluginFigures* figures = ThreadFigures();
  std::atomic_signal_fence(std::memory_order_acquire);
  const char* plugin =
      figures != nullptr && !figures->fileName.empty() ? figures->fileName.c_str() : nullptr;
  const bool inCall = slot != nullptr && (slot->sequence.load(std::memory_order_relaxed) & 1) != 0;
  if (!inCall) {
    // A lent thread outside its entry (the core's bookkeeping), or no plugin.
    if (plugin != nullptr) {
      line.Text("on a thread of plugin ").Foreign(plugin).Text(", in none of its entries");
    } else {
      line.Text("in no plugin's entry");
    }
    return;
  }
  // The depth: written by this thread alone, which the signal interrupted.
  const unsigned depth = *static_cast<const volatile unsigned*>(&slot->depth);
  const char* entry = slot->entry.load(std::memory_order_relaxed);
  line.Text("in plugin ");
  if (plugin != nullptr) line.Foreign(plugin);
  else line.Text("ID 0x").Number(slot->pluginId.load(std::memory_order_relaxed), 16, 8);
  // A call made from inside another (a log line delivered to a logging
  // plugin) is in the slot as the outer one.
  if (depth > 1) line.Text(", called inside another plugin's");
  line.Text(" ").Text(entry != nullptr ? entry : "?");
  if (slot->isEvent.load(std::memory_order_relaxed)) {
    line.Text(" (event type 0x").Number(slot->eventType.load(std::memory_order_relaxed), 16, 8);
    line.Text(" from 0x").Number(slot->sourceId.load(std::memory_order_relaxed), 16, 8).Text(")");
  }
}

void Report(int signal, const siginfo_t* info, const void* context) {
  const int syslogSocket = OpenSyslog();
  auto emit = [syslogSocket](const Line& line) {
    ToConsole(line);
    ToSyslog(syslogSocket, line);
  };

  char thread[17] = "";
  prctl(PR_GET_NAME, thread, 0, 0, 0);
  Line first;
  first.Text("fatal signal ").Number(static_cast<uint64_t>(signal), 10).Text(" (");
  first.Text(SignalName(signal)).Text(") in thread ").Foreign(thread);
  emit(first);

  Line call;
  CallText(call);
  emit(call);

  if (signal != SIGABRT) {
    Line where;
    if (info->si_code <= 0) {
      // Sent, not raised by an instruction (kill, tgkill, sigqueue).
      where.Text("sent by process ").Number(static_cast<uint64_t>(info->si_pid), 10);
    } else {
      Place places[2];
      places[0].address = reinterpret_cast<uintptr_t>(info->si_addr);
      places[1].address = InstructionAddress(context);
      Locate(places, places[1].address != 0 ? 2 : 1);
      // The data address with the object around it: "0x0 (no object)".
      where.Text("at address ").Address(places[0].address).Text(" (");
      if (places[0].found) PlaceText(where, places[0]);
      else where.Text("no object");
      where.Text(")");
      if (places[1].address != 0) {
        where.Text(", instruction ");
        PlaceText(where, places[1]);
      }
    }
    emit(where);
  }
  if (syslogSocket >= 0) close(syslogSocket);
}

void OnFatalSignal(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  if (DealtWithOutsideTheCore(signal)) {
    errno = savedErrno;
    return;
  }
  if (g_reporting.exchange(true)) {
    // Another thread reports, then ends the process.
    for (;;) pause();
  }
  Report(signal, info, context);
  // The default action, as without the handler: pending while the handler
  // runs (the signal is blocked here), it acts on return; a fault raised by
  // an instruction would also come again when the instruction does.
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signal, &defaultAction, nullptr);
  raise(signal);
  errno = savedErrno;
}

}  // namespace
#endif  // DVRCORE_SANITIZED

void ReportFatalSignals() {
#ifndef DVRCORE_SANITIZED
  MarkCoreProcess();
  g_console = isatty(STDOUT_FILENO) == 1;
  const std::time_t now = std::time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) g_utcOffset = local.tm_gmtoff;

  void* stack = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack != MAP_FAILED) {
    stack_t alternate {};
    alternate.ss_sp = stack;
    alternate.ss_size = kAltStackBytes;
    if (sigaltstack(&alternate, nullptr) != 0) munmap(stack, kAltStackBytes);
  }

  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  // SA_ONSTACK: on the alternate stack where the thread has one. Not
  // SA_RESETHAND: a helper that shares the core's signal table would reset
  // the core's disposition (see DealtWithOutsideTheCore).
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFatalSignals) sigaction(signal, &action, nullptr);
#endif
}
