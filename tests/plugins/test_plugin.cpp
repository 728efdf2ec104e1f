// testplugin.so: one configurable plugin for the integration tests.
//
// The tests copy this one shared object into the core's plugin directories
// under any file names; each copy is a separate library to the loader, with
// its own state, and reads its own configuration. For a copy at
// <dir>/<stem>.so:
//   <dir>/<stem>.conf    configuration, read once in Load (missing: defaults)
//   <dir>/<stem>.events  every call received and every action done, appended
// The core's discovery ignores both since they do not end in ".so".
//
// CONFIGURATION (<stem>.conf), one statement per line, '#' starts a comment
// line. Numbers are decimal, 0x-hex or negative (strtoll base 0).
//   id <n>                          the plugin ID (default 0)
//   mask <1-9> <n>                  event mask i (default 0)
//   worker <0|1>                    wantsWorker
//   reader <0|1>                    wantsReader
//   writes <0|1>                    acceptsWrites
//   result <trigger> <ret> [error=<n>] [retain=<n>]
//                                   what the entry returns (default 0, 0, 0);
//                                   error goes to the result record's error
//                                   word, retain to its retain word
//                                   (write and config only)
//   on <trigger> <action>           run <action> each time <trigger> fires,
//                                   in the order written, before returning
//   on <trigger> [nth <n>] [len <n>] [class <bits>] <action>
//                                   the same, but only the n-th time this
//                                   statement's trigger fires (from 1), only
//                                   when the triggering call's data is n bytes
//                                   long (Read, Write, IOCTL), only for a Write
//                                   whose eventType has one of the bits; nth
//                                   counts the firings that meet the others
// Triggers, one per kind of call:
//   load open close unload          the entries of those names
//   worker                          IOCTL with IOCTL_RUN_WORKER
//   config                          IOCTL with IOCTL_UPDATE_CONFIG
//   ipc                             IOCTL with IOCTL_IPC_PACKET
//   reader                          the first Read without data and without
//                                   correlation ID (the reader thread's call)
//   read                            every other Read (event threads)
//   write                           Write
// Actions:
//   raise [source=self|<n>] [type=<n>] [flags=<n>] [corr=<n>|same] [level=<n>]
//         [preset=<n>] [count=<n>] [text=<rest of line>|bytes=<rest of line>]
//       raises count events (default 1) through the raiseEvent of Load.
//       source defaults to self (the configured id); corr=same takes the
//       triggering call's correlation ID (Read and Write; 0 otherwise);
//       preset is the value written into result before the call (default 0).
//       text= is data with its terminating zero counted, bytes= without it;
//       no data when neither is given. "{i}" in the data becomes the number of
//       the event within count (0, 1, ...). Data of an EVENT_TO_PARENT event
//       is a malloc'd copy that passes to the core; other data is the
//       plugin's own, valid only during the call.
//   release                         raises EVENT_RELEASE from self for the
//                                   most recently retained buffer not yet
//                                   released
//   send-parent <rest of line>      raises EVENT_TO_PARENT with a malloc'd copy
//                                   of the bytes (no terminating zero)
//   echo                            the same with a copy of the triggering
//                                   call's data (an IPC packet: the packet)
//   now                             calls the core's now (virtual slot 2)
//   corelog [source=self|<n>] [level=<n>] [text=<rest of line>]
//                                   calls the core's Log (virtual slot 4)
//   sleep <ms>
//   busy <ms>                       a busy loop until the calling thread has
//                                   used that much more CPU time
//   wait-file <path>                waits until <path> exists (a minute at most)
//   block                           waits until Close has been called
//   spin                            a busy loop on the calling thread, without
//                                   a system call, until Close has been called
//   alloc <MiB>                     allocates and touches that many MiB
//   free-memory                     frees everything alloc allocated
//   spawn <program> [args]          starts <program> directly (posix_spawn, no
//                                   shell) with the blank-separated arguments
//   fork-as <uid>                   forks a child that switches to <uid>
//                                   (setresuid, as a daemon drops root) and
//                                   then waits in pause() until killed
//   own-thread                      starts a thread of the plugin's own that
//                                   waits until Close; Unload joins it
//   exit-thread                     ends the calling thread (pthread_exit)
//   pause                           waits in pause() until the thread is
//                                   cancelled
//   cancel-worker                   cancels the worker thread (pthread_cancel)
//   fork                            forks a child that stays in plugin code
//                                   (no exec) and sleeps
//   kill-child <signal>|narrowing   sends <signal> (narrowing: the core's
//                                   narrowing signal) to the last forked child
//                                   and waits up to 5 s for it to end (then
//                                   kills it)
//   kill-group <signal>             sends <signal> to its own process group
//   kill-parent <signal>            sends <signal> to its parent process
//   fork-exec <program> [args]      fork, then execv in the child
//   system <command line>           system(3)
//   linger                          starts a thread of its own that nobody
//                                   joins and that sleeps until the process ends;
//                                   the library's destructor at the process's
//                                   exit then takes 300 ms, as one that
//                                   flushes its files does
//   sigwait                         chooses the highest real-time signal with
//                                   the default disposition, as a careful
//                                   library does, and starts a thread of its own
//                                   that blocks it and waits for it with
//                                   sigtimedwait until Close
//   broken-pipe                     writes to a pipe whose reader is closed
//   own-helpers                     calls the plugin's own functions that
//                                   share name and signature with functions
//                                   inside the core (RunsAsRoot(),
//                                   NameThisThread(const char*),
//                                   ReadResidentMemory(const char*))
//   clone-broken-pipe               the same in a helper made with clone(CLONE_VM
//                                   | CLONE_SIGHAND | CLONE_VFORK), which shares
//                                   the core's memory and signal dispositions;
//                                   waits for it to end
//   narrowing-signal                sends the core's narrowing signal (the
//                                   highest real-time signal with a handler) to
//                                   every thread of the process, the calling one
//                                   last, so its handler has run on return
//   block-narrowing                 starts a thread of its own that keeps the
//                                   core's narrowing signal blocked from its
//                                   start until Close
//   thread-name                     the calling thread's name, and that of a
//                                   thread it starts
//   exit <status>                   ends the process with exit(status)
//   crash                           ends the process with SIGSEGV, as a stray
//                                   pointer would (the signal's default action,
//                                   whatever handler a sanitizer set)
//   null-write                      writes through a null pointer (SIGSEGV,
//                                   whatever handler is set)
//   abort                           std::abort()
//   leak-fd                         opens /dev/null and never closes it
//   read-past                       reads the byte just after the triggering
//                                   call's data, as an off-by-one loop does
// Data texts take the escapes \n \r \t \\ \0 and \xHH.
// A buffer counts as retained when its Write or config IOCTL returns with a
// non-zero retain, that is after the trigger's actions have run.
//
// RECORD (<stem>.events): one line per call received and per action done,
// written with one write(2) to a file opened with O_APPEND, so that lines of
// concurrent threads stay whole. Each line is a word followed by key=value
// fields separated by blanks. Every line has tid (the kernel thread ID) and
// thread: main (the thread that ran Load), worker (the thread of the
// IOCTL_RUN_WORKER call), reader (the thread of the reader call) or other.
// Data is written as a double-quoted text with the escapes \" \\ \n \r \t
// \xHH, or as null. Lines:
//   load size version core raise conf     (core, raise: 1 when non-null;
//                                          conf: 1 when the .conf was read)
//   open|close|unload size version
//   read size version flag len data corr  (flag: the byte at offset 12)
//   write size version len data source corr type flags level
//   ioctl code size version psize pversion len data addr outcode outpsize outpversion
//                                         (addr: the data pointer in decimal)
//   raised trigger source corr type flags level len ret result
//   released (the fields of raised)       (or "released trigger none=1")
//   now trigger value                     (nanoseconds of the steady clock)
//   corelog trigger source level
//   slept trigger ms
//   unblocked trigger                     (block and spin)
//   allocated trigger mib
//   freed-memory trigger
//   spawned trigger pid                   (pid: the new process, or -errno)
//   forked trigger pid                    (pid: the child, or -errno)
//   own-thread trigger                    (written by the new thread itself)
//   cancelled trigger ret
//   child-ended trigger pid signal status (signal: the one that ended it, 0
//                                          when it exited with status)
//   system trigger ret
//   killed trigger target ret             (target: 0 for its group, else the pid)
//   sigwait-chose trigger signal          (then, on the waiting thread:)
//   sigwait-got signal                    (a signal it never sent arrived)
//   broken-pipe trigger errno             (0: the write succeeded)
//   cloned trigger errno signal status    (the helper's write; how it ended)
//   narrowing-signal trigger signal       (narrowing-signal, kill-child narrowing)
//   blocking-narrowing signal             (written by the new thread itself)
//   thread-name trigger name child        (child: the started thread's name)
//   own-helpers trigger ran               (ran: 1, 2, 4 for each of the three
//                                          own functions that ran, added up)
//   config-error line data                (Load then fails with -1, error -1)
//   leaked-fd trigger fd
//   unmapped value                        (the library is unmapped: dlclose, or
//                                          process exit; steady clock, ns)
//
// DESIGN: the configuration is parsed by Load on the main thread before the
// core can call any other entry, and is read-only afterwards. Every entry may
// run on several threads at once (event threads, worker, reader, I/O thread,
// main thread), so the mutable state is behind g_stateMutex.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dvrcore.h"
#include "events/events.h"
#include "pluginhost/plugin.h"

// The plugin's own functions of own-helpers, with the names and signatures of
// functions inside the core: a call here must reach these, whatever the
// program that hosts the plugin defines. Each adds its bit to ownHelpersRan.
namespace {
std::atomic<unsigned> g_ownHelpersRan{0};  // any thread; atomic
}  // namespace
bool RunsAsRoot() {
  g_ownHelpersRan |= 1u;
  return false;
}
void NameThisThread(const char*) { g_ownHelpersRan |= 2u; }
uint64_t ReadResidentMemory(const char*) {
  g_ownHelpersRan |= 4u;
  return 0;
}

namespace {

enum Trigger {
  kLoad,
  kOpen,
  kClose,
  kUnload,
  kWorker,
  kConfig,
  kIpc,
  kReader,
  kRead,
  kWrite,
  kTriggerCount
};

const char* const kTriggerNames[kTriggerCount] = {"load",   "open",   "close",  "unload", "worker",
                                                  "config", "ipc",    "reader", "read",   "write"};

struct EntryResult {
  int32_t ret = 0;
  int32_t error = 0;
  uint32_t retain = 0;
};

struct Action {
  enum Kind {
    kRaise, kRelease, kSendParent, kEcho, kNow, kCoreLog, kSleep, kBlock, kSpin, kAlloc, kFreeMemory,
    kWaitFile, kSpawn, kForkAs, kOwnThread, kExitThread, kPause, kCancelWorker, kFork, kKillChild,
    kKillGroup, kKillParent, kForkExec, kSystem, kLinger, kSigwait, kBrokenPipe, kThreadName,
    kOwnHelpers, kExit, kCrash, kNullWrite, kAbort, kCloneBrokenPipe, kNarrowingSignal,
    kBlockNarrowing, kBusy, kLeakFd, kReadPast,
    kKindCount  // the number of kinds
  };
  Kind kind = kRaise;
  bool sourceSelf = true;
  uint32_t source = 0;
  uint32_t type = 0;
  uint32_t flags = 0;
  bool corrSame = false;
  uint32_t corr = 0;
  uint32_t level = 0;
  int32_t preset = 0;
  uint32_t count = 1;
  bool hasData = false;
  bool terminatingZero = false;
  std::string data;
  // sleep, busy: ms; alloc: MiB; fork-as: user ID; kill-*: signal (kill-child 0:
  // the narrowing signal); exit: status
  uint32_t amount = 0;
  // nth: run only at this firing of the statement (0: every one), counted
  // in `fired`, shared by the copies of the statement; any thread.
  uint32_t nth = 0;
  std::shared_ptr<std::atomic<uint32_t>> fired = std::make_shared<std::atomic<uint32_t>>(0);
  // len: run only when the triggering data has this length.
  bool lengthOnly = false;
  uint32_t length = 0;
  // class: run only for a Write of an event type with one of these bits.
  uint32_t classBits = 0;
};

struct Config {
  uint32_t id = 0;
  uint32_t masks[EVENT_CLASS_COUNT] = {};
  bool worker = false;
  bool reader = false;
  bool writes = false;
  EntryResult results[kTriggerCount];
  std::vector<Action> actions[kTriggerCount];
};

// What an action may refer to: the call that fired the trigger.
struct TriggerContext {
  Trigger trigger;
  uint32_t correlationId;
  const void* data;
  uint32_t dataLength;
  uint32_t eventType = 0;  // Write only
};

// Written by Load (main thread) before any other entry can run; read-only after.
Config g_config;
std::string g_eventsPath;
dvrcore* g_core = nullptr;
PluginEventFunction g_raise = nullptr;
long g_loadTid = 0;

// Thread identities for the record; any thread.
std::atomic<long> g_workerTid{0};
// The worker thread's handle, for cancel-worker; valid once g_workerKnown is set.
pthread_t g_workerThread;
std::atomic<bool> g_workerKnown{false};
std::atomic<long> g_readerTid{0};
std::atomic<bool> g_readerTaken{false};

// Guards the three members below; taken by any entry on any thread, never
// across a call into the core.
std::mutex g_stateMutex;
std::condition_variable g_closedCondition;  // signalled when g_closed is set
bool g_closed = false;
// g_closed for the spin action, which must not take a lock in its loop; set
// by Close beside g_closed, read by any thread.
std::atomic<bool> g_closedFlag{false};
std::vector<void*> g_retained;  // buffers kept with retain, oldest first
std::vector<void*> g_memory;    // blocks of the alloc action
std::vector<std::thread> g_ownThreads;  // own-thread; joined by Unload
std::atomic<pid_t> g_lastChild{0};  // the last child of fork; any thread
// Held by broken-pipe while its pipe's read end is open, and by every action
// that starts a process while it forks: a child forked in that window would
// hold the read end until it execs (or for good), and the write would
// succeed instead of failing with EPIPE. Any thread.
std::mutex g_forkMutex;

long CurrentTid() { return static_cast<long>(syscall(SYS_gettid)); }

// ---- Record -----------------------------------------------------------------

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string QuoteData(const void* data, size_t length) {
  if (data == nullptr) return "null";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string out = "\"";
  for (size_t i = 0; i < length; i++) {
    unsigned char c = bytes[i];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out += static_cast<char>(c);
        } else {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\x%02x", c);
          out += escape;
        }
    }
  }
  return out + "\"";
}

// One line of the record, begun with its word and the thread fields.
class Line {
 public:
  explicit Line(const char* word) : text_(word) {
    long tid = CurrentTid();
    const char* kind = "other";
    if (tid == g_loadTid) {
      kind = "main";
    } else if (tid == g_workerTid.load()) {
      kind = "worker";
    } else if (tid == g_readerTid.load()) {
      kind = "reader";
    }
    Add("tid", std::to_string(tid));
    Add("thread", kind);
  }
  Line& Add(const char* key, const std::string& value) {
    text_ += ' ';
    text_ += key;
    text_ += '=';
    text_ += value;
    return *this;
  }
  Line& Number(const char* key, long long value) { return Add(key, std::to_string(value)); }
  Line& Word(const char* key, uint32_t value) { return Add(key, Hex(value)); }
  Line& Data(const void* data, size_t length) { return Add("data", QuoteData(data, length)); }

  // One write per line: O_APPEND keeps lines of concurrent threads whole.
  ~Line() {
    text_ += '\n';
    int fd = open(g_eventsPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t ignored = write(fd, text_.data(), text_.size());
    (void)ignored;
    close(fd);
  }

 private:
  std::string text_;
};

// Records when the library goes away: at dlclose, or at process exit for a
// library the core never unmaps. Defined after the globals it uses, so it is
// destroyed before them.
std::atomic<bool> g_lingering{false};

struct UnmapRecorder {
  ~UnmapRecorder() {
    if (g_lingering) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (g_eventsPath.empty()) return;
    Line("unmapped").Number("value", static_cast<long long>(
                                         std::chrono::steady_clock::now().time_since_epoch().count()));
  }
} g_unmapRecorder;

// ---- Configuration ----------------------------------------------------------

bool ParseNumber(const std::string& text, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

bool ParseWord(const std::string& text, uint32_t& value) {
  long long number;
  if (!ParseNumber(text, number) || number < -0x80000000LL || number > 0xFFFFFFFFLL) return false;
  value = static_cast<uint32_t>(number);
  return true;
}

bool ParseSigned(const std::string& text, int32_t& value) {
  uint32_t word;
  if (!ParseWord(text, word)) return false;
  value = static_cast<int32_t>(word);
  return true;
}

int FindTrigger(const std::string& name) {
  for (int i = 0; i < kTriggerCount; i++) {
    if (name == kTriggerNames[i]) return i;
  }
  return -1;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case '0': out += '\0'; break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        int high = HexDigit(text[i + 1]);
        int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

// Splits off the next blank-separated word of `rest`.
std::string NextWord(std::string& rest) {
  size_t start = rest.find_first_not_of(' ');
  if (start == std::string::npos) {
    rest.clear();
    return "";
  }
  size_t end = rest.find(' ', start);
  std::string word = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
  rest = end == std::string::npos ? "" : rest.substr(end + 1);
  return word;
}

// Parses the key=value arguments of raise and corelog; text= and bytes= take
// the rest of the line.
bool ParseEventArguments(std::string rest, Action& action) {
  while (true) {
    size_t start = rest.find_first_not_of(' ');
    if (start == std::string::npos) return true;
    rest = rest.substr(start);
    bool text = rest.compare(0, 5, "text=") == 0;
    if (text || rest.compare(0, 6, "bytes=") == 0) {
      action.hasData = true;
      action.terminatingZero = text;
      return Unescape(rest.substr(text ? 5 : 6), action.data);
    }
    std::string word = NextWord(rest);
    size_t equals = word.find('=');
    if (equals == std::string::npos) return false;
    std::string key = word.substr(0, equals);
    std::string value = word.substr(equals + 1);
    bool ok = true;
    if (key == "source") {
      action.sourceSelf = value == "self";
      ok = action.sourceSelf || ParseWord(value, action.source);
    } else if (key == "corr") {
      action.corrSame = value == "same";
      ok = action.corrSame || ParseWord(value, action.corr);
    } else if (key == "type") {
      ok = ParseWord(value, action.type);
    } else if (key == "flags") {
      ok = ParseWord(value, action.flags);
    } else if (key == "level") {
      ok = ParseWord(value, action.level);
    } else if (key == "preset") {
      ok = ParseSigned(value, action.preset);
    } else if (key == "count") {
      ok = ParseWord(value, action.count);
    } else {
      ok = false;
    }
    if (!ok) return false;
  }
}

bool ParseAction(std::string rest, Action& action) {
  std::string name = NextWord(rest);
  if (name == "raise" || name == "corelog") {
    action.kind = name == "raise" ? Action::kRaise : Action::kCoreLog;
    return ParseEventArguments(rest, action);
  }
  static const struct {
    const char* name;
    Action::Kind kind;
  } kWithText[] = {{"send-parent", Action::kSendParent},
                   {"spawn", Action::kSpawn},
                   {"fork-exec", Action::kForkExec},
                   {"system", Action::kSystem},
                   {"wait-file", Action::kWaitFile}};
  for (const auto& withText : kWithText) {
    if (name == withText.name) {
      action.kind = withText.kind;
      action.hasData = true;
      return Unescape(rest, action.data) &&
             (action.kind == Action::kSendParent || !action.data.empty());
    }
  }
  static const struct {
    const char* name;
    Action::Kind kind;
  } kWithNumber[] = {{"sleep", Action::kSleep},
                     {"busy", Action::kBusy},
                     {"alloc", Action::kAlloc},
                     {"fork-as", Action::kForkAs},
                     {"kill-child", Action::kKillChild},
                     {"kill-group", Action::kKillGroup},
                     {"kill-parent", Action::kKillParent},
                     {"exit", Action::kExit}};
  std::string argument = rest;
  if (name == "kill-child" && NextWord(argument) == "narrowing" && NextWord(argument).empty()) {
    action.kind = Action::kKillChild;
    return true;
  }
  for (const auto& withNumber : kWithNumber) {
    if (name == withNumber.name) {
      action.kind = withNumber.kind;
      return ParseWord(NextWord(rest), action.amount) && NextWord(rest).empty();
    }
  }
  static const struct {
    const char* name;
    Action::Kind kind;
  } kPlain[] = {{"release", Action::kRelease},
                {"echo", Action::kEcho},
                {"now", Action::kNow},
                {"block", Action::kBlock},
                {"spin", Action::kSpin},
                {"free-memory", Action::kFreeMemory},
                {"own-thread", Action::kOwnThread},
                {"exit-thread", Action::kExitThread},
                {"pause", Action::kPause},
                {"cancel-worker", Action::kCancelWorker},
                {"fork", Action::kFork},
                {"linger", Action::kLinger},
                {"sigwait", Action::kSigwait},
                {"broken-pipe", Action::kBrokenPipe},
                {"clone-broken-pipe", Action::kCloneBrokenPipe},
                {"narrowing-signal", Action::kNarrowingSignal},
                {"block-narrowing", Action::kBlockNarrowing},
                {"thread-name", Action::kThreadName},
                {"own-helpers", Action::kOwnHelpers},
                {"crash", Action::kCrash},
                {"null-write", Action::kNullWrite},
                {"abort", Action::kAbort},
                {"leak-fd", Action::kLeakFd},
                {"read-past", Action::kReadPast}};
  for (const auto& plain : kPlain) {
    if (name == plain.name) {
      action.kind = plain.kind;
      return NextWord(rest).empty();
    }
  }
  return false;
}

// The conditions "nth <n>", "len <n>" and "class <bits>" before an action; `rest` keeps the
// action.
bool ParseConditions(std::string& rest, Action& action) {
  for (std::string probe = rest;;) {
    std::string word = NextWord(probe);
    if (word != "nth" && word != "len" && word != "class") return true;
    uint32_t value;
    if (!ParseWord(NextWord(probe), value)) return false;
    if (word == "nth") {
      action.nth = value;
    } else if (word == "class") {
      action.classBits = value;
    } else {
      action.lengthOnly = true;
      action.length = value;
    }
    rest = probe;
  }
}

bool ParseFlag(const std::string& text, bool& flag) {
  if (text != "0" && text != "1") return false;
  flag = text == "1";
  return true;
}

bool ParseStatement(const std::string& line, Config& config) {
  std::string rest = line;
  std::string keyword = NextWord(rest);
  if (keyword == "on") {
    int trigger = FindTrigger(NextWord(rest));
    Action action;
    if (trigger < 0 || !ParseConditions(rest, action) || !ParseAction(rest, action)) return false;
    config.actions[trigger].push_back(action);
    return true;
  }
  if (keyword == "result") {
    int trigger = FindTrigger(NextWord(rest));
    if (trigger < 0) return false;
    EntryResult& result = config.results[trigger];
    if (!ParseSigned(NextWord(rest), result.ret)) return false;
    for (std::string word = NextWord(rest); !word.empty(); word = NextWord(rest)) {
      if (word.compare(0, 6, "error=") == 0) {
        if (!ParseSigned(word.substr(6), result.error)) return false;
      } else if (word.compare(0, 7, "retain=") == 0) {
        if (!ParseWord(word.substr(7), result.retain)) return false;
      } else {
        return false;
      }
    }
    return true;
  }
  std::string value = NextWord(rest);
  bool ok = false;
  if (keyword == "id") {
    ok = ParseWord(value, config.id);
  } else if (keyword == "mask") {
    long long index;
    ok = ParseNumber(value, index) && index >= 1 && index <= EVENT_CLASS_COUNT &&
         ParseWord(NextWord(rest), config.masks[index - 1]);
  } else if (keyword == "worker") {
    ok = ParseFlag(value, config.worker);
  } else if (keyword == "reader") {
    ok = ParseFlag(value, config.reader);
  } else if (keyword == "writes") {
    ok = ParseFlag(value, config.writes);
  }
  return ok && NextWord(rest).empty();
}

// Reads the configuration; false after recording a config-error line.
bool ReadConfig(const std::string& path, bool& found) {
  std::ifstream file(path);
  found = file.is_open();
  std::string line;
  for (int number = 1; std::getline(file, line); number++) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos || line[start] == '#') continue;
    if (!ParseStatement(line.substr(start), g_config)) {
      Line("config-error").Number("line", number).Data(line.data(), line.size());
      return false;
    }
  }
  return true;
}

// ---- Actions ----------------------------------------------------------------

// Raises one event; the data must already be in its final place.
void RaiseEvent(const TriggerContext& context, uint32_t source, uint32_t type, uint32_t flags,
                uint32_t correlationId, uint32_t level, void* data, uint32_t length,
                int32_t preset, const char* word = "raised") {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.dataLength = length;
  in.data = data;
  in.sourceId = source;
  in.correlationId = correlationId;
  in.eventType = type;
  in.eventFlags = flags;
  in.level = level;
  _EventParmsOut out{sizeof out, 1, preset};
  int ret = g_raise ? g_raise(&in, &out) : -1;
  Line(word)
      .Add("trigger", kTriggerNames[context.trigger])
      .Word("source", source)
      .Word("corr", correlationId)
      .Word("type", type)
      .Word("flags", flags)
      .Number("level", level)
      .Number("len", length)
      .Number("ret", ret)
      .Number("result", out.result);
}

// A malloc'd copy for the parent: the core owns and frees it.
void SendToParent(const TriggerContext& context, const void* bytes, size_t length) {
  void* copy = std::malloc(length ? length : 1);
  if (copy == nullptr) return;
  if (length) std::memcpy(copy, bytes, length);
  RaiseEvent(context, g_config.id, EVENT_TO_PARENT, 0, 0, 0, copy, static_cast<uint32_t>(length), 0);
}

void RunRaise(const TriggerContext& context, const Action& action) {
  uint32_t source = action.sourceSelf ? g_config.id : action.source;
  uint32_t correlationId = action.corrSame ? context.correlationId : action.corr;
  for (uint32_t i = 0; i < action.count; i++) {
    std::string data = action.data;
    for (size_t at = data.find("{i}"); at != std::string::npos; at = data.find("{i}", at)) {
      data.replace(at, 3, std::to_string(i));
    }
    if (!action.hasData) {
      RaiseEvent(context, source, action.type, action.flags, correlationId, action.level, nullptr, 0,
                 action.preset);
      continue;
    }
    uint32_t length = static_cast<uint32_t>(data.size() + (action.terminatingZero ? 1 : 0));
    if (action.type == EVENT_TO_PARENT) {
      void* copy = std::malloc(length ? length : 1);
      if (copy == nullptr) continue;
      std::memcpy(copy, data.c_str(), length);
      RaiseEvent(context, source, action.type, action.flags, correlationId, action.level, copy, length,
                 action.preset);
    } else {
      RaiseEvent(context, source, action.type, action.flags, correlationId, action.level, &data[0],
                 length, action.preset);
    }
  }
}

// The blank-separated words of `text` as an argument vector for exec.
struct Arguments {
  explicit Arguments(const std::string& text) {
    for (std::string rest = text, word = NextWord(rest); !word.empty(); word = NextWord(rest)) {
      words.push_back(word);
    }
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
  }
  std::vector<std::string> words;
  std::vector<char*> argv;
};

// Waits up to 5 s for `child` to end, then kills it; records how it ended.
void ReapChild(const char* trigger, pid_t child) {
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 500 && (done = waitpid(child, &status, WNOHANG)) == 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  Line("child-ended")
      .Add("trigger", trigger)
      .Number("pid", child)
      .Number("signal", WIFSIGNALED(status) ? WTERMSIG(status) : 0)
      .Number("status", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

// The highest real-time signal nobody has taken, as a careful library finds
// one: no handler, not ignored.
int FreeRealTimeSignal() {
  for (int signal = SIGRTMAX; signal >= SIGRTMIN; signal--) {
    struct sigaction current;
    if (sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_DFL) {
      return signal;
    }
  }
  return -1;
}

// The core's narrowing signal: the highest real-time signal with a handler.
int NarrowingSignal() {
  for (int signal = SIGRTMAX; signal >= SIGRTMIN; signal--) {
    struct sigaction current;
    if (sigaction(signal, nullptr, &current) == 0 &&
        ((current.sa_flags & SA_SIGINFO) != 0 ||
         (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN))) {
      return signal;
    }
  }
  return -1;
}

// The clone-broken-pipe helper: writes into the pipe and ends. The caller
// is suspended meanwhile (CLONE_VFORK), so the helper may use its memory.
struct CloneJob {
  int fd;
  int error;
};
int WriteIntoBrokenPipe(void* argument) {
  CloneJob* job = static_cast<CloneJob*>(argument);
  job->error = write(job->fd, "x", 1) == 1 ? 0 : errno;
  _exit(0);
}

// The actions, one function each, called with the call that fired the trigger
// and the trigger's name for the record.
void ActRaise(const TriggerContext& context, const Action& action, const char*) {
  RunRaise(context, action);
}

void ActRelease(const TriggerContext& context, const Action&, const char* trigger) {
  void* buffer = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (!g_retained.empty()) {
      buffer = g_retained.back();
      g_retained.pop_back();
    }
  }
  if (buffer == nullptr) {
    Line("released").Add("trigger", trigger).Add("none", "1");
    return;
  }
  RaiseEvent(context, g_config.id, EVENT_RELEASE, 0, 0, 0, buffer, 0, 0, "released");
}

void ActSendParent(const TriggerContext& context, const Action& action, const char*) {
  SendToParent(context, action.data.data(), action.data.size());
}

void ActEcho(const TriggerContext& context, const Action&, const char*) {
  SendToParent(context, context.data, context.data ? context.dataLength : 0);
}

void ActNow(const TriggerContext&, const Action&, const char* trigger) {
  const long long value = static_cast<long long>(g_core->now().time_since_epoch().count());
  Line("now").Add("trigger", trigger).Number("value", value);
}

void ActCoreLog(const TriggerContext&, const Action& action, const char* trigger) {
  uint32_t source = action.sourceSelf ? g_config.id : action.source;
  g_core->Log(source, action.level, action.hasData ? action.data.c_str() : nullptr);
  Line("corelog").Add("trigger", trigger).Word("source", source).Number("level", action.level);
}

void ActSleep(const TriggerContext&, const Action& action, const char* trigger) {
  std::this_thread::sleep_for(std::chrono::milliseconds(action.amount));
  Line("slept").Add("trigger", trigger).Number("ms", action.amount);
}

void ActBusy(const TriggerContext&, const Action& action, const char* trigger) {
  timespec now{};
  auto used = [&now] {
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
  };
  for (const long long until = used() + action.amount; used() < until;) continue;
  Line("busied").Add("trigger", trigger).Number("ms", action.amount);
}

void ActWaitFile(const TriggerContext&, const Action& action, const char* trigger) {
  // A minute at most, so that a test that never creates it fails rather
  // than hangs.
  const std::string path(action.data.begin(), action.data.end());
  int waited = 0;
  while (access(path.c_str(), F_OK) != 0 && waited++ < 6000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Line("waited").Add("trigger", trigger);
}

void ActBlock(const TriggerContext&, const Action&, const char* trigger) {
  std::unique_lock<std::mutex> lock(g_stateMutex);
  g_closedCondition.wait(lock, [] { return g_closed; });
  lock.unlock();
  Line("unblocked").Add("trigger", trigger);
}

void ActSpin(const TriggerContext&, const Action&, const char* trigger) {
  while (!g_closedFlag.load(std::memory_order_relaxed)) {
  }
  Line("unblocked").Add("trigger", trigger);
}

void ActAlloc(const TriggerContext&, const Action& action, const char* trigger) {
  size_t bytes = static_cast<size_t>(action.amount) << 20;
  void* block = std::malloc(bytes ? bytes : 1);
  if (block == nullptr) return;
  std::memset(block, 0x5a, bytes);  // touch every page so it becomes resident
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_memory.push_back(block);
  }
  Line("allocated").Add("trigger", trigger).Number("mib", action.amount);
}

void ActSpawn(const TriggerContext&, const Action& action, const char* trigger) {
  Arguments arguments(action.data);
  pid_t pid = 0;
  std::lock_guard<std::mutex> forkLock(g_forkMutex);
  const int error =
      posix_spawn(&pid, arguments.argv[0], nullptr, nullptr, arguments.argv.data(), environ);
  Line("spawned").Add("trigger", trigger).Number("pid", error == 0 ? pid : -error);
}

void ActForkExec(const TriggerContext&, const Action& action, const char* trigger) {
  Arguments arguments(action.data);
  std::lock_guard<std::mutex> forkLock(g_forkMutex);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(arguments.argv[0], arguments.argv.data());
    _exit(127);
  }
  Line("spawned").Add("trigger", trigger).Number("pid", pid > 0 ? pid : -errno);
}

void ActSystem(const TriggerContext&, const Action& action, const char* trigger) {
  std::lock_guard<std::mutex> forkLock(g_forkMutex);
  const int ret = system(action.data.c_str());
  Line("system").Add("trigger", trigger).Number("ret", ret);
}

void ActFork(const TriggerContext&, const Action&, const char* trigger) {
  std::lock_guard<std::mutex> forkLock(g_forkMutex);
  const pid_t pid = fork();
  if (pid == 0) {
    // A helper that stays in plugin code. sleep, not pause: ThreadSanitizer
    // delivers a signal only at a call it intercepts.
    for (;;) sleep(1);
  }
  if (pid > 0) g_lastChild = pid;
  Line("forked").Add("trigger", trigger).Number("pid", pid > 0 ? pid : -errno);
}

void ActKillChild(const TriggerContext&, const Action& action, const char* trigger) {
  int signal = static_cast<int>(action.amount);
  if (signal == 0) {
    signal = NarrowingSignal();
    Line("narrowing-signal").Add("trigger", trigger).Number("signal", signal);
  }
  if (g_lastChild > 0 && signal > 0 && kill(g_lastChild, signal) == 0) {
    ReapChild(trigger, g_lastChild);
  }
}

void ActNarrowingSignal(const TriggerContext&, const Action&, const char* trigger) {
  const int signal = NarrowingSignal();
  Line("narrowing-signal").Add("trigger", trigger).Number("signal", signal);
  if (signal < 0) return;
  const pid_t self = static_cast<pid_t>(CurrentTid());
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const pid_t tid = static_cast<pid_t>(std::atoi(task.path().filename().c_str()));
    if (tid != self) syscall(SYS_tgkill, getpid(), tid, signal);
  }
  syscall(SYS_tgkill, getpid(), self, signal);
}

void ActBlockNarrowing(const TriggerContext&, const Action&, const char*) {
  // Blocked here first, so that the thread has it blocked from its start.
  sigset_t narrowing, previous;
  sigemptyset(&narrowing);
  sigaddset(&narrowing, NarrowingSignal());
  pthread_sigmask(SIG_BLOCK, &narrowing, &previous);
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_ownThreads.emplace_back([] {
      Line("blocking-narrowing").Number("signal", NarrowingSignal());
      std::unique_lock<std::mutex> closedLock(g_stateMutex);
      g_closedCondition.wait(closedLock, [] { return g_closed; });
    });
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void ActCloneBrokenPipe(const TriggerContext&, const Action&, const char* trigger) {
  int fds[2];
  CloneJob job{-1, -1};
  int status = -1;
  std::unique_lock<std::mutex> forkLock(g_forkMutex);
  if (pipe2(fds, O_CLOEXEC) == 0) {
    close(fds[0]);
    forkLock.unlock();
    job.fd = fds[1];
    std::vector<char> stack(256 * 1024);
    const pid_t pid = clone(WriteIntoBrokenPipe, stack.data() + stack.size(),
                            CLONE_VM | CLONE_SIGHAND | CLONE_VFORK | SIGCHLD, &job);
    if (pid > 0) waitpid(pid, &status, 0);
    close(fds[1]);
  }
  Line("cloned")
      .Add("trigger", trigger)
      .Number("errno", job.error)
      .Number("signal", WIFSIGNALED(status) ? WTERMSIG(status) : 0)
      .Number("status", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

void ActKill(const TriggerContext&, const Action& action, const char* trigger) {
  const pid_t target = action.kind == Action::kKillGroup ? 0 : getppid();
  const int ret = kill(target, static_cast<int>(action.amount));
  Line("killed").Add("trigger", trigger).Number("target", target).Number("ret", ret);
}

void ActLinger(const TriggerContext&, const Action&, const char*) {
  // Outlives Unload; only a plugin the core never unmaps can do this.
  g_lingering = true;
  std::thread([] {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }).detach();
}

void ActSigwait(const TriggerContext&, const Action&, const char* trigger) {
  const int signal = FreeRealTimeSignal();
  Line("sigwait-chose").Add("trigger", trigger).Number("signal", signal);
  if (signal < 0) return;
  std::lock_guard<std::mutex> lock(g_stateMutex);
  g_ownThreads.emplace_back([signal] {
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, signal);
    pthread_sigmask(SIG_BLOCK, &wanted, nullptr);
    const struct timespec slice = {0, 50 * 1000 * 1000};
    for (;;) {
      if (sigtimedwait(&wanted, nullptr, &slice) == signal) {
        Line("sigwait-got").Number("signal", signal);
      }
      std::lock_guard<std::mutex> closedLock(g_stateMutex);
      if (g_closed) break;
    }
  });
}

void ActBrokenPipe(const TriggerContext&, const Action&, const char* trigger) {
  int fds[2];
  int error = -1;
  std::unique_lock<std::mutex> forkLock(g_forkMutex);
  if (pipe2(fds, O_CLOEXEC) == 0) {
    close(fds[0]);
    forkLock.unlock();
    error = write(fds[1], "x", 1) == 1 ? 0 : errno;
    close(fds[1]);
  }
  Line("broken-pipe").Add("trigger", trigger).Number("errno", error);
}

void ActThreadName(const TriggerContext&, const Action&, const char* trigger) {
  char name[16] = "?";
  char child[16] = "?";
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::thread([&child] { pthread_getname_np(pthread_self(), child, sizeof child); }).join();
  Line("thread-name").Add("trigger", trigger).Add("name", name).Add("child", child);
}

void ActOwnHelpers(const TriggerContext&, const Action&, const char* trigger) {
  g_ownHelpersRan = 0;
  RunsAsRoot();
  NameThisThread("own");
  ReadResidentMemory("/proc/self/statm");
  Line("own-helpers").Add("trigger", trigger).Number("ran", g_ownHelpersRan.load());
}

void ActForkAs(const TriggerContext&, const Action& action, const char* trigger) {
  std::lock_guard<std::mutex> forkLock(g_forkMutex);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls in the child of a threaded process.
    const uid_t uid = action.amount;
    if (setresuid(uid, uid, uid) != 0) _exit(1);
    for (;;) pause();
  }
  Line("forked").Add("trigger", trigger).Number("pid", pid > 0 ? pid : -errno);
}

void ActOwnThread(const TriggerContext&, const Action&, const char* trigger) {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  g_ownThreads.emplace_back([trigger] {
    Line("own-thread").Add("trigger", trigger);
    std::unique_lock<std::mutex> closedLock(g_stateMutex);
    g_closedCondition.wait(closedLock, [] { return g_closed; });
  });
}

void ActExitThread(const TriggerContext&, const Action&, const char*) {
  pthread_exit(nullptr);
}

void ActPause(const TriggerContext&, const Action&, const char*) {
  for (;;) pause();  // a cancellation point; signals only restart the wait
}

void ActCancelWorker(const TriggerContext&, const Action&, const char* trigger) {
  const int ret = g_workerKnown.load() ? pthread_cancel(g_workerThread) : -1;
  Line("cancelled").Add("trigger", trigger).Number("ret", ret);
}

void ActFreeMemory(const TriggerContext&, const Action&, const char* trigger) {
  std::vector<void*> blocks;
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    blocks.swap(g_memory);
  }
  for (void* block : blocks) std::free(block);
  Line("freed-memory").Add("trigger", trigger);
}

void ActExit(const TriggerContext&, const Action& action, const char*) {
  std::exit(static_cast<int>(action.amount));
}

void ActCrash(const TriggerContext&, const Action&, const char*) {
  std::signal(SIGSEGV, SIG_DFL);
  std::raise(SIGSEGV);
  _exit(1);  // not reached
}

void ActNullWrite(const TriggerContext&, const Action&, const char*) {
  volatile int* volatile target = nullptr;  // a store _exit cannot make dead
  *target = 1;
  _exit(1);  // not reached
}

void ActAbort(const TriggerContext&, const Action&, const char*) {
  std::abort();
}

void ActReadPast(const TriggerContext& context, const Action&, const char*) {
  if (context.data == nullptr) return;
  const volatile char* bytes = static_cast<const char*>(context.data);
  (void)bytes[context.dataLength];
}

void ActLeakFd(const TriggerContext&, const Action&, const char* trigger) {
  const int fd = open("/dev/null", O_RDONLY);
  Line("leaked-fd").Add("trigger", trigger).Number("fd", fd);
}

using ActionFunction = void (*)(const TriggerContext& context, const Action& action,
                                const char* trigger);
struct ActionEntry {
  Action::Kind kind;
  ActionFunction run;
};
// In the order of Action::Kind, so that a kind is its entry's index.
constexpr ActionEntry kActionTable[] = {
    {Action::kRaise, ActRaise}, {Action::kRelease, ActRelease},
    {Action::kSendParent, ActSendParent}, {Action::kEcho, ActEcho}, {Action::kNow, ActNow},
    {Action::kCoreLog, ActCoreLog}, {Action::kSleep, ActSleep}, {Action::kBlock, ActBlock},
    {Action::kSpin, ActSpin}, {Action::kAlloc, ActAlloc}, {Action::kFreeMemory, ActFreeMemory},
    {Action::kWaitFile, ActWaitFile}, {Action::kSpawn, ActSpawn}, {Action::kForkAs, ActForkAs},
    {Action::kOwnThread, ActOwnThread}, {Action::kExitThread, ActExitThread},
    {Action::kPause, ActPause}, {Action::kCancelWorker, ActCancelWorker}, {Action::kFork, ActFork},
    {Action::kKillChild, ActKillChild}, {Action::kKillGroup, ActKill},
    {Action::kKillParent, ActKill}, {Action::kForkExec, ActForkExec}, {Action::kSystem, ActSystem},
    {Action::kLinger, ActLinger}, {Action::kSigwait, ActSigwait},
    {Action::kBrokenPipe, ActBrokenPipe}, {Action::kThreadName, ActThreadName},
    {Action::kOwnHelpers, ActOwnHelpers}, {Action::kExit, ActExit}, {Action::kCrash, ActCrash},
    {Action::kNullWrite, ActNullWrite}, {Action::kAbort, ActAbort},
    {Action::kCloneBrokenPipe, ActCloneBrokenPipe}, {Action::kNarrowingSignal, ActNarrowingSignal},
    {Action::kBlockNarrowing, ActBlockNarrowing}, {Action::kBusy, ActBusy},
    {Action::kLeakFd, ActLeakFd}, {Action::kReadPast, ActReadPast}};
constexpr bool InKindOrder() {
  for (size_t i = 0; i < sizeof kActionTable / sizeof kActionTable[0]; i++) {
    if (kActionTable[i].kind != static_cast<Action::Kind>(i)) return false;
  }
  return true;
}
static_assert(sizeof kActionTable / sizeof kActionTable[0] == Action::kKindCount && InKindOrder(),
              "one entry per kind of action, in the order of Action::Kind");

void RunAction(const TriggerContext& context, const Action& action) {
  if (action.lengthOnly && context.dataLength != action.length) return;
  if (action.classBits != 0 && (context.eventType & action.classBits) == 0) return;
  if (action.nth != 0 && action.fired->fetch_add(1) + 1 != action.nth) return;
  kActionTable[action.kind].run(context, action, kTriggerNames[context.trigger]);
}

void RunActions(const TriggerContext& context) {
  for (const Action& action : g_config.actions[context.trigger]) RunAction(context, action);
}

void KeepIfRetained(uint32_t retain, void* data) {
  if (retain == 0 || data == nullptr) return;
  std::lock_guard<std::mutex> lock(g_stateMutex);
  g_retained.push_back(data);
}

// The stem of this copy's own file: its path without ".so".
std::string OwnStem() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&OwnStem), &info) == 0 || info.dli_fname == nullptr) return "";
  std::string path = info.dli_fname;
  if (path.size() > 3 && path.compare(path.size() - 3, 3, ".so") == 0) path.resize(path.size() - 3);
  return path;
}

}  // namespace

// ---- Entries ------------------------------------------------------------------

extern "C" {

int32_t Load(void* request, void* result) {
  auto* in = static_cast<_LoadParmsIn*>(request);
  auto* out = static_cast<_LoadParmsOut*>(result);
  g_loadTid = CurrentTid();
  std::string stem = OwnStem();
  g_eventsPath = stem + ".events";
  g_core = in->core;
  g_raise = in->raiseEvent;

  bool found = false;
  if (!ReadConfig(stem + ".conf", found)) {
    out->error = -1;
    return -1;
  }
  Line("load")
      .Number("size", in->size)
      .Number("version", in->version)
      .Number("core", in->core != nullptr)
      .Number("raise", in->raiseEvent != nullptr)
      .Number("conf", found);

  out->id = g_config.id;
  std::memcpy(out->eventMasks, g_config.masks, sizeof out->eventMasks);
  out->wantsWorker = g_config.worker;
  out->wantsReader = g_config.reader;
  out->acceptsWrites = g_config.writes;
  RunActions({kLoad, 0, nullptr, 0});
  out->error = g_config.results[kLoad].error;
  return g_config.results[kLoad].ret;
}

int32_t Open(void* request, void* /*result*/) {
  auto* in = static_cast<_OpenParmsIn*>(request);
  Line("open").Number("size", in->size).Number("version", in->version);
  RunActions({kOpen, 0, nullptr, 0});
  return g_config.results[kOpen].ret;
}

int32_t Close(void* request, void* result) {
  auto* in = static_cast<_CloseParmsIn*>(request);
  auto* out = static_cast<_CloseParmsOut*>(result);
  Line("close").Number("size", in->size).Number("version", in->version);
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_closed = true;
  }
  g_closedFlag = true;
  g_closedCondition.notify_all();
  RunActions({kClose, 0, nullptr, 0});
  out->error = g_config.results[kClose].error;
  return g_config.results[kClose].ret;
}

int32_t Unload(void* request, void* result) {
  auto* in = static_cast<_UnloadParmsIn*>(request);
  auto* out = static_cast<_UnloadParmsOut*>(result);
  Line("unload").Number("size", in->size).Number("version", in->version);
  RunActions({kUnload, 0, nullptr, 0});
  std::vector<void*> blocks;
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    blocks.swap(g_memory);
    threads.swap(g_ownThreads);
  }
  for (void* block : blocks) std::free(block);
  for (std::thread& thread : threads) thread.join();  // they end once Close has run
  out->error = g_config.results[kUnload].error;
  return g_config.results[kUnload].ret;
}

int32_t Read(void* request, void* /*result*/) {
  auto* in = static_cast<_ReadParmsIn*>(request);
  bool readerCall = in->data == nullptr && in->dataLength == 0 && in->correlationId == 0 &&
                    !g_readerTaken.exchange(true);
  if (readerCall) g_readerTid = CurrentTid();
  Line("read")
      .Number("size", in->size)
      .Number("version", in->version)
      .Number("flag", in->reserved1)
      .Number("len", in->dataLength)
      .Data(in->data, in->dataLength)
      .Word("corr", in->correlationId);
  Trigger trigger = readerCall ? kReader : kRead;
  RunActions({trigger, in->correlationId, in->data, in->dataLength});
  return g_config.results[trigger].ret;
}

int32_t Write(void* request, void* result) {
  auto* in = static_cast<_WriteParmsIn*>(request);
  auto* out = static_cast<_WriteParmsOut*>(result);
  Line("write")
      .Number("size", in->size)
      .Number("version", in->version)
      .Number("len", in->dataLength)
      .Data(in->data, in->dataLength)
      .Word("source", in->sourceId)
      .Word("corr", in->correlationId)
      .Word("type", in->eventType)
      .Word("flags", in->eventFlags)
      .Number("level", in->level);
  RunActions({kWrite, in->correlationId, in->data, in->dataLength, in->eventType});
  const EntryResult& configured = g_config.results[kWrite];
  out->error = configured.error;
  out->retain = configured.retain;
  KeepIfRetained(configured.retain, in->data);
  return configured.ret;
}

int32_t IOCTL(void* request, void* result) {
  auto* in = static_cast<_IoctlParmsIn*>(request);
  auto* out = static_cast<_IoctlParmsOut*>(result);
  if (in->code == IOCTL_RUN_WORKER) {
    g_workerTid = CurrentTid();
    g_workerThread = pthread_self();
    g_workerKnown = true;
  }
  Line("ioctl")
      .Number("code", in->code)
      .Number("size", in->size)
      .Number("version", in->version)
      .Number("psize", in->payloadSize)
      .Number("pversion", in->payloadVersion)
      .Number("len", in->dataLength)
      .Data(in->data, in->dataLength)
      .Number("addr", static_cast<long long>(reinterpret_cast<uintptr_t>(in->data)))
      .Number("outcode", out->code)
      .Number("outpsize", out->payloadSize)
      .Number("outpversion", out->payloadVersion);
  Trigger trigger;
  switch (in->code) {
    case IOCTL_RUN_WORKER: trigger = kWorker; break;
    case IOCTL_UPDATE_CONFIG: trigger = kConfig; break;
    case IOCTL_IPC_PACKET: trigger = kIpc; break;
    default: return 0;
  }
  RunActions({trigger, 0, in->data, in->dataLength});
  const EntryResult& configured = g_config.results[trigger];
  out->error = configured.error;
  if (trigger == kConfig) {
    out->retain = configured.retain;
    KeepIfRetained(configured.retain, in->data);
  }
  return configured.ret;
}

// Exported because a plugin has eight entries; the core never calls it.
int32_t Seek(void* /*request*/, void* /*result*/) { return 0; }

}  // extern "C"
