// brevad-standin: a small parent daemon for trying out and testing dvrcore.
//
// It creates the sequenced-packet socket pair, starts the core with its end
// of the pair as the last argument, and runs a script of steps taken from the
// command line (or typed on stdin in --interactive mode): identification,
// plugin and stop packets, waits, sleeps and closing the link. Every packet
// the core sends up is printed as one "[brevad] packet ..." line on stdout.
// At the end it waits, bounded, for the core to exit and exits with the
// core's status. Every send is bounded by the same timeout; SIGINT and
// SIGTERM are passed on to the core, which ends with the stand-in in any case.
//
// DESIGN: two threads. The main thread parses the script, starts the core,
// runs the steps and reaps the core. The reader thread blocks in recv() on the
// parent's end and prints each packet as it arrives; it ends when the core's
// end is closed or the parent's end is shut down. The main thread only closes
// the descriptor after shutdown() has woken the reader and it has been joined,
// so the descriptor number is never reused under a blocked recv(). SIGCHLD,
// SIGINT and SIGTERM are blocked in every thread and read from a signalfd;
// every wait of the main thread (a send on a full socket, the packets it waits
// for, a pause, stdin, the core's end) is one poll() with a deadline that also
// watches the signalfd, so a stop signal ends any step at once and the core's
// end is noticed without polling. The reader wakes the main thread through an
// eventfd. The core's child asks for SIGKILL when the stand-in dies
// (PR_SET_PDEATHSIG), so that a stand-in killed outright leaves no core behind
// under init.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dvrcore_version.h"
#include "ipc/packets.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr int kSetupFailedStatus = 1;
// As timeout(1): the core had to be stopped by a signal from us.
constexpr int kTimedOutStatus = 124;
constexpr int kDefaultTimeoutSeconds = 30;
constexpr int kDefaultWaitSeconds = 10;
// Time the core gets between SIGTERM and SIGKILL.
constexpr int kTermGraceSeconds = 5;

const char kUsage[] =
    "usage: brevad-standin [options] -- /path/to/dvrcore [core args...]\n"
    "       brevad-standin --version | --help\n"
    "Starts the core with its end of a socket pair as the last argument, then\n"
    "runs the steps below in the order given, then waits for the core to exit\n"
    "and exits with its status (124 if it had to be killed).\n"
    "  --ident FILE VERSION        send an identification packet (type 7)\n"
    "  --send TARGET TYPE TEXT     send a packet with TEXT as payload\n"
    "  --send-hex TARGET TYPE HEX  send a packet with hex bytes as payload\n"
    "  --wait-packets N [SECONDS]  wait until N packets in all came up (default 10 s)\n"
    "  --sleep MS                  pause\n"
    "  --stop                      send a stop packet (type 8)\n"
    "  --close                     close the parent's end of the link\n"
    "  --interactive               read the same steps from stdin, one per line,\n"
    "                              without the dashes; 'quit' or end of input ends it\n"
    "  --timeout SECONDS           how long to wait for the core at the end (default 30),\n"
    "                              then SIGTERM, then SIGKILL after 5 s; also the\n"
    "                              longest a send may wait before the script ends\n"
    "TARGET and TYPE are decimal or 0x-prefixed hex 32-bit numbers.\n"
    "SIGINT and SIGTERM are passed on to the core (SIGKILL follows after 5 s).\n"
    "--version prints the version of the core it belongs to.\n";

// Prints one whole line at once; stdio locks the stream per call, so lines
// from the reader thread and the main thread never interleave.
void PrintLine(FILE* stream, const std::string& text) {
  std::string line = "[brevad] " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

std::optional<uint64_t> ParseUnsigned(const std::string& text, uint64_t max) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  // strtoull would accept signs and leading blanks; a script typo should not.
  if (digits.empty() ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
    return std::nullopt;
  errno = 0;
  unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno == ERANGE || value > max) return std::nullopt;
  return value;
}

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    auto byte = ParseUnsigned("0x" + text.substr(i, 2), 0xFF);
    if (!byte) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(*byte));
  }
  return bytes;
}

std::string ToHex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

enum class StepKind { kSend, kWaitPackets, kSleep, kClose, kInteractive, kQuit };

struct Step {
  StepKind kind;
  std::vector<uint8_t> packet{};          // kSend
  uint64_t count = 0;                     // kWaitPackets
  std::chrono::milliseconds duration{0};  // kWaitPackets, kSleep
};

struct Command {
  const char* name;
  size_t minArgs;
  size_t maxArgs;
};

// The same words serve as options (with "--") and as interactive commands.
// "interactive" makes sense only on the command line, "quit" only on stdin.
const Command kCommands[] = {
    {"ident", 2, 2},        {"send", 3, 3},        {"send-hex", 3, 3},
    {"wait-packets", 1, 2}, {"sleep", 1, 1},       {"stop", 0, 0},
    {"close", 0, 0},        {"interactive", 0, 0}, {"quit", 0, 0},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

// Builds a step from a command word and its arguments (already counted
// against the command's table entry); an error names what was wrong.
std::optional<Step> MakeStep(const std::string& name, const std::vector<std::string>& args,
                             std::string& error) {
  if (name == "ident") {
    std::string payload = args[0] + '\0' + args[1];
    return Step{StepKind::kSend,
                MakeIpcPacket(0, kIpcTypeIdentification, payload.data(), payload.size())};
  }
  if (name == "stop") return Step{StepKind::kSend, MakeIpcPacket(0, kIpcTypeStop, nullptr, 0)};
  if (name == "send" || name == "send-hex") {
    auto target = ParseUnsigned(args[0], UINT32_MAX);
    auto type = ParseUnsigned(args[1], UINT32_MAX);
    if (!target || !type) {
      error = "TARGET and TYPE must be 32-bit numbers, decimal or 0x-prefixed hex";
      return std::nullopt;
    }
    std::vector<uint8_t> payload(args[2].begin(), args[2].end());
    if (name == "send-hex") {
      auto bytes = ParseHex(args[2]);
      if (!bytes) {
        error = "HEX must be pairs of hex digits";
        return std::nullopt;
      }
      payload = *bytes;
    }
    if (payload.size() > kIpcMaxPacket - kIpcHeaderBytes) {
      error = "payload longer than " + std::to_string(kIpcMaxPacket - kIpcHeaderBytes) + " bytes";
      return std::nullopt;
    }
    return Step{StepKind::kSend,
                MakeIpcPacket(static_cast<uint32_t>(*target), static_cast<uint32_t>(*type),
                              payload.data(), payload.size())};
  }
  if (name == "wait-packets") {
    auto count = ParseUnsigned(args[0], UINT32_MAX);
    auto seconds = args.size() > 1 ? ParseUnsigned(args[1], 86400)
                                   : std::optional<uint64_t>(kDefaultWaitSeconds);
    if (!count || !seconds) {
      error = "wait-packets takes a packet count and at most 86400 seconds";
      return std::nullopt;
    }
    return Step{StepKind::kWaitPackets, {}, *count, std::chrono::seconds(*seconds)};
  }
  if (name == "sleep") {
    auto ms = ParseUnsigned(args[0], 86400000);
    if (!ms) {
      error = "sleep takes at most 86400000 milliseconds";
      return std::nullopt;
    }
    return Step{StepKind::kSleep, {}, 0, std::chrono::milliseconds(*ms)};
  }
  if (name == "close") return Step{StepKind::kClose};
  if (name == "interactive") return Step{StepKind::kInteractive};
  return Step{StepKind::kQuit};
}

// One interactive line: the command word, then its arguments separated by
// blanks; the last argument takes the rest of the line, so TEXT may hold
// blanks.
std::optional<Step> ParseLine(const std::string& line, std::string& error) {
  const char* blanks = " \t";
  std::vector<std::string> words;
  size_t at = line.find_first_not_of(blanks);
  const Command* command = nullptr;
  while (at != std::string::npos) {
    bool last = command && words.size() + 1 == command->maxArgs;
    size_t end = last ? std::string::npos : line.find_first_of(blanks, at);
    std::string word = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!command) {
      command = FindCommand(word);
      if (!command || word == "interactive") {
        error = "unknown command '" + word + "'";
        return std::nullopt;
      }
    } else {
      words.push_back(word);
    }
    at = end == std::string::npos ? end : line.find_first_not_of(blanks, end);
  }
  if (!command) {
    error = "empty line";
    return std::nullopt;
  }
  if (words.size() < command->minArgs || words.size() > command->maxArgs) {
    error = std::string(command->name) + " takes " + std::to_string(command->minArgs) +
            (command->maxArgs > command->minArgs ? " to " + std::to_string(command->maxArgs) : "") +
            " argument(s)";
    return std::nullopt;
  }
  return MakeStep(command->name, words, error);
}

struct Options {
  std::vector<Step> steps;
  int timeoutSeconds = kDefaultTimeoutSeconds;
  std::vector<std::string> coreCommand;  // path, then arguments
};

[[noreturn]] void UsageError(const std::string& why) {
  std::fprintf(stderr, "brevad-standin: %s\n%s", why.c_str(), kUsage);
  std::exit(kUsageStatus);
}

Options ParseCommandLine(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--") break;
    if (option == "-h" || option == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (option == "--version") {
      std::printf("brevad-standin version %s\n", DVRCORE_VERSION);
      std::exit(0);
    }
    if (option == "--timeout") {
      auto seconds = i + 1 < argc ? ParseUnsigned(argv[i + 1], 86400) : std::nullopt;
      if (!seconds || *seconds == 0) UsageError("--timeout takes 1 to 86400 seconds");
      options.timeoutSeconds = static_cast<int>(*seconds);
      ++i;
      continue;
    }
    const Command* command = option.rfind("--", 0) == 0 ? FindCommand(option.substr(2)) : nullptr;
    if (!command || option == "--quit") UsageError("unknown option '" + option + "'");
    std::vector<std::string> args;
    while (args.size() < command->maxArgs && i + 1 < argc) {
      std::string next = argv[i + 1];
      // Optional arguments stop at the next option.
      if (args.size() >= command->minArgs && next.rfind("--", 0) == 0) break;
      args.push_back(next);
      ++i;
    }
    if (args.size() < command->minArgs) UsageError(option + " needs more arguments");
    std::string error;
    auto step = MakeStep(command->name, args, error);
    if (!step) UsageError(option + ": " + error);
    options.steps.push_back(std::move(*step));
  }
  if (i >= argc - 1) UsageError("the core's path must follow '--'");
  options.coreCommand.assign(argv + i + 1, argv + argc);
  return options;
}

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNever = Clock::time_point::max();

// The name of a signal the stand-in handles, for its messages.
std::string SignalName(int signal) {
  const char* name = sigabbrev_np(signal);
  return name ? std::string("SIG") + name : "signal " + std::to_string(signal);
}

// The core process as the main thread sees it, and the signals that reach the
// stand-in: SIGCHLD, SIGINT and SIGTERM, blocked in every thread and taken
// from a signalfd, so that every wait of the main thread can be a poll that
// also ends on them. SIGINT and SIGTERM are passed on to the core at once.
// Main thread only.
class CoreWatch {
 public:
  enum class Woke { kReady, kStop, kCoreEnded, kDeadline };

  // `signals` must already be blocked. False when no signalfd can be made.
  bool Open(const sigset_t& signals) {
    signalFd_ = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    return signalFd_ >= 0;
  }
  void Adopt(pid_t pid) { pid_ = pid; }

  // Waits until `fd` (when not -1) is ready for `events`, the core has ended
  // (when `forCore`), the first SIGINT or SIGTERM arrives, or `deadline`
  // passes. Later stop signals are passed on and the wait goes on.
  Woke Wait(int fd, short events, Clock::time_point deadline, bool forCore = false) {
    for (;;) {
      if (forCore && reaped_) return Woke::kCoreEnded;
      int timeoutMs = -1;
      if (deadline != kNever) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Woke::kDeadline;
        timeoutMs = static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
      }
      pollfd fds[2] = {{signalFd_, POLLIN, 0}, {fd, events, 0}};
      int ready = poll(fds, fd >= 0 ? 2 : 1, timeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return Woke::kDeadline;  // poll fails only for want of memory
      if (fds[0].revents != 0 && TakeSignals()) return Woke::kStop;
      if (fd >= 0 && fds[1].revents != 0) return Woke::kReady;
    }
  }

  // Waits for the core without a bound: after SIGKILL.
  void Reap() {
    while (!reaped_ && !TryReap(0) && errno == EINTR) {
    }
  }

  // A stop signal has arrived (and was passed on).
  bool Stopping() const { return stopSignal_ != 0; }
  int StopSignal() const { return stopSignal_; }
  int Status() const { return status_; }
  // Never after the core was reaped: its process ID may belong to another.
  void Kill(int signal) {
    if (!reaped_) kill(pid_, signal);
  }

 private:
  // Handles every pending signal; true when the first stop signal was among
  // them.
  bool TakeSignals() {
    bool firstStop = false;
    signalfd_siginfo info;
    while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      const int signal = static_cast<int>(info.ssi_signo);
      if (signal == SIGCHLD) {
        if (!reaped_) TryReap(WNOHANG);
        continue;
      }
      PrintLine(stderr, "got " + SignalName(signal) +
                            (reaped_ ? ", the core has ended already" : ", passing it on to the core"));
      Kill(signal);
      if (stopSignal_ == 0) {
        stopSignal_ = signal;
        firstStop = true;
      }
    }
    return firstStop;
  }

  bool TryReap(int options) {
    int status = 0;
    if (waitpid(pid_, &status, options) != pid_) return false;
    status_ = status;
    reaped_ = true;
    return true;
  }

  int signalFd_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  int stopSignal_ = 0;  // the first SIGINT or SIGTERM received, 0 for none
};

// The parent's end of the link and the reader thread that prints what the
// core sends up.
class CoreLink {
 public:
  // `sendLimit` bounds each send.
  CoreLink(int fd, CoreWatch& watch, std::chrono::seconds sendLimit)
      : fd_(fd), watch_(watch), sendLimit_(sendLimit), reader_([this] { Read(); }) {}
  ~CoreLink() { Close(); }

  enum class Sent { kSent, kFailed, kTimedOut, kStopped };

  // Main thread only. A core that reads nothing (stuck while loading, say)
  // fills the socket's buffer; then the send waits, but not past the limit.
  Sent Send(const std::vector<uint8_t>& packet) {
    if (fd_ < 0) {
      PrintLine(stderr, "cannot send: the link is closed");
      return Sent::kFailed;
    }
    const auto deadline = Clock::now() + sendLimit_;
    // MSG_NOSIGNAL: a core that has gone away is reported, not a SIGPIPE.
    while (send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        PrintLine(stderr, std::string("send failed: ") + std::strerror(errno));
        return Sent::kFailed;
      }
      switch (watch_.Wait(fd_, POLLOUT, deadline)) {
        case CoreWatch::Woke::kStop:
          return Sent::kStopped;
        case CoreWatch::Woke::kDeadline:
          return Sent::kTimedOut;
        default:
          break;
      }
    }
    IpcPacketHeader header;
    std::memcpy(&header, packet.data(), sizeof header);
    PrintLine(stdout, "sent type " + std::to_string(header.type) + " length " +
                          std::to_string(header.length));
    return Sent::kSent;
  }

  // Main thread only. Returns early when the link ends, as no more packets
  // can come, or when a stop signal arrives (false).
  bool WaitForPackets(uint64_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (received_ >= count || !readerRunning_) {
          if (received_ < count)
            PrintLine(stderr, "link ended after " + std::to_string(received_) + " of " +
                                  std::to_string(count) + " packets");
          return true;
        }
      }
      const CoreWatch::Woke woke = watch_.Wait(arrived_, POLLIN, deadline);
      if (woke == CoreWatch::Woke::kStop) return false;
      if (woke == CoreWatch::Woke::kDeadline) {
        std::lock_guard<std::mutex> lock(mutex_);
        PrintLine(stderr, "timed out waiting for " + std::to_string(count) + " packets (" +
                              std::to_string(received_) + " so far)");
        return true;
      }
      uint64_t ignored;
      ssize_t drained = read(arrived_, &ignored, sizeof ignored);  // re-armed by the next packet
      (void)drained;
    }
  }

  // Main thread only. Packets already queued for us are still printed:
  // after shutdown() recv() returns them before it reports the end.
  void Close() {
    if (fd_ < 0) return;
    shutdown(fd_, SHUT_RDWR);
    reader_.join();
    close(fd_);
    fd_ = -1;
  }

 private:
  void Read() {
    std::vector<uint8_t> buffer(kIpcMaxPacket);
    for (;;) {
      ssize_t length = recv(fd_, buffer.data(), buffer.size(), 0);
      if (length < 0 && errno == EINTR) continue;
      if (length < 0) PrintLine(stderr, std::string("receive failed: ") + std::strerror(errno));
      if (length <= 0) break;
      bool printable = true;
      for (ssize_t i = 0; i < length; ++i)
        printable = printable && buffer[i] >= 0x20 && buffer[i] < 0x7F;
      uint64_t number;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        number = ++received_;
      }
      // Hex without separators can be pasted back into --send-hex.
      PrintLine(stdout, "packet " + std::to_string(number) + " length " + std::to_string(length) +
                            " : " +
                            (printable ? std::string(buffer.begin(), buffer.begin() + length)
                                       : ToHex(buffer.data(), static_cast<size_t>(length))));
      Notify();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      readerRunning_ = false;
    }
    Notify();
  }

  void Notify() {
    const uint64_t one = 1;
    ssize_t written = write(arrived_, &one, sizeof one);  // fails only when already readable
    (void)written;
  }

  // Written by the main thread only, and only after the reader has been
  // joined; read by both threads before that.
  int fd_;
  CoreWatch& watch_;  // main thread only
  const std::chrono::seconds sendLimit_;
  // Made readable by the reader after each packet and at its end; polled and
  // drained by the main thread. Never closed: it lives as long as the process.
  const int arrived_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::mutex mutex_;
  uint64_t received_ = 0;      // guarded by mutex_; reader writes, main reads
  bool readerRunning_ = true;  // guarded by mutex_; reader writes, main reads
  std::thread reader_;         // declared last: it starts once the rest is ready
};

// Lines from stdin, read without blocking past a stop signal. Main thread
// only.
class InputLines {
 public:
  explicit InputLines(CoreWatch& watch) : watch_(watch) {}

  // The next line, without its "\n" (the last one may lack it); false at the
  // end of the input or on a stop signal.
  bool Next(std::string& line) {
    for (;;) {
      size_t newline = pending_.find('\n');
      if (newline != std::string::npos) {
        line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return true;
      }
      if (ended_) {
        if (pending_.empty()) return false;
        line.swap(pending_);
        pending_.clear();
        return true;
      }
      if (watch_.Wait(STDIN_FILENO, POLLIN, kNever) != CoreWatch::Woke::kReady) return false;
      char buffer[4096];
      ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
      if (count > 0) {
        pending_.append(buffer, static_cast<size_t>(count));
      } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
        ended_ = true;
      }
    }
  }

 private:
  CoreWatch& watch_;
  std::string pending_;
  bool ended_ = false;
};

// Runs the steps on the main thread.
class Script {
 public:
  Script(CoreLink& link, CoreWatch& watch) : link_(link), watch_(watch), input_(watch) {}

  // False when the script must end: a stop signal, or a send that could not
  // go through in time.
  bool Run(const Step& step) {
    switch (step.kind) {
      case StepKind::kSend:
        switch (link_.Send(step.packet)) {
          case CoreLink::Sent::kStopped:
            return false;
          case CoreLink::Sent::kTimedOut:
            sendTimedOut_ = true;
            return false;
          default:
            return true;
        }
      case StepKind::kWaitPackets:
        return link_.WaitForPackets(step.count, step.duration);
      case StepKind::kSleep:
        return watch_.Wait(-1, 0, Clock::now() + step.duration) != CoreWatch::Woke::kStop;
      case StepKind::kClose:
        link_.Close();
        return true;
      case StepKind::kInteractive:
        return RunInteractive();
      case StepKind::kQuit:
        return true;  // only read from stdin, where it ends RunInteractive
    }
    return true;
  }

  bool SendTimedOut() const { return sendTimedOut_; }

 private:
  // Reads steps from stdin until "quit" or the end of input; a bad line is
  // reported and skipped. False as Run.
  bool RunInteractive() {
    std::string line;
    while (input_.Next(line)) {
      std::string error;
      auto step = ParseLine(line, error);
      if (!step) {
        PrintLine(stderr, error);
      } else if (step->kind == StepKind::kQuit) {
        return true;
      } else if (!Run(*step)) {
        return false;
      }
    }
    return !watch_.Stopping();
  }

  CoreLink& link_;
  CoreWatch& watch_;
  InputLines input_;
  bool sendTimedOut_ = false;
};

pid_t StartCore(const std::vector<std::string>& command, int coreEnd, const sigset_t& oldMask) {
  std::vector<std::string> args = command;
  args.push_back(std::to_string(coreEnd));
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  // The child: no other thread exists yet in the parent, so anything goes.
  // It ends with the stand-in, even one killed by SIGKILL, rather than run on
  // under init. If the stand-in died before the request, the child already
  // has another parent and would never get the signal.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  fcntl(coreEnd, F_SETFD, 0);
  execv(argv[0], argv.data());
  std::fprintf(stderr, "[brevad] cannot start %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

// Started with 0, 1 or 2 closed (from a daemon, or with ">&-"), the socket
// pair would take that number: our own lines would go into the link as
// packets to the core, and --interactive would read the link. Closed ones
// are taken by /dev/null before anything else opens a descriptor; open
// gives the lowest free number, so each lands where it belongs. False when
// one cannot be.
bool OpenStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) return false;
  }
  return true;
}

// The socket pair of the link: ours in ends[0], the core's in ends[1].
// False (printed) when it cannot be made.
bool OpenLinkPair(int (&ends)[2]) {
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    std::perror("[brevad] socketpair");
    return false;
  }
  // And should one of 0, 1 and 2 still have been free (a sanitizer's
  // runtime may hold a descriptor for a moment while the check above runs),
  // the link moves above them: it is never a standard stream.
  for (int& end : ends) {
    if (end > STDERR_FILENO) continue;
    const int moved = fcntl(end, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
      std::perror("[brevad] socketpair");
      return false;
    }
    close(end);
    end = moved;
  }
  return true;
}

// Blocks SIGCHLD, SIGINT and SIGTERM and has `watch` receive them; the mask
// before goes to `oldMask`. False (printed) without a signalfd.
bool WatchSignals(CoreWatch& watch, sigset_t& oldMask) {
  // Blocked before any thread starts so every thread inherits the mask and
  // only the signalfd of the main thread receives them.
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGCHLD, SIGINT, SIGTERM}) sigaddset(&handled, signal);
  sigprocmask(SIG_BLOCK, &handled, &oldMask);
  if (!watch.Open(handled)) {
    std::perror("[brevad] signalfd");
    return false;
  }
  return true;
}

// Once the script has ended: how the core comes to an end: by itself within
// the timeout, or after a stop signal, which it has been passed already, or
// after SIGTERM from us; in the last two cases SIGKILL follows the grace
// time. True when the core was sent SIGTERM for taking too long.
bool EndCore(CoreWatch& watch, bool sendTimedOut, int timeoutSeconds) {
  bool timedOut = false;
  CoreWatch::Woke woke = CoreWatch::Woke::kStop;
  if (sendTimedOut) {
    timedOut = true;
    PrintLine(stderr, "send timed out after " + std::to_string(timeoutSeconds) +
                          " s: the core reads nothing, sending SIGTERM");
    watch.Kill(SIGTERM);
  } else if (!watch.Stopping()) {
    woke = watch.Wait(-1, 0, Clock::now() + std::chrono::seconds(timeoutSeconds), true);
    if (woke == CoreWatch::Woke::kDeadline) {
      timedOut = true;
      PrintLine(stderr, "core still running after " + std::to_string(timeoutSeconds) +
                            " s, sending SIGTERM");
      watch.Kill(SIGTERM);
    }
  }
  if (woke != CoreWatch::Woke::kCoreEnded) {
    const auto grace = Clock::now() + std::chrono::seconds(kTermGraceSeconds);
    do {  // a stop signal for the stand-in during our own SIGTERM's grace
      woke = watch.Wait(-1, 0, grace, true);
    } while (woke == CoreWatch::Woke::kStop);
    if (woke != CoreWatch::Woke::kCoreEnded) {
      PrintLine(stderr, "core ignored " + SignalName(watch.Stopping() ? watch.StopSignal() : SIGTERM) +
                            ", sending SIGKILL");
      watch.Kill(SIGKILL);
      watch.Reap();
    }
  }
  return timedOut;
}

// Prints how the core ended; the stand-in's exit status.
int ReportCoreEnd(int status, bool timedOut) {
  int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  PrintLine(stdout, WIFEXITED(status)
                        ? "core exited with status " + std::to_string(exitStatus)
                        : "core killed by signal " + std::to_string(WTERMSIG(status)));
  return timedOut ? kTimedOutStatus : exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  if (!OpenStandardStreams()) return kSetupFailedStatus;
  Options options = ParseCommandLine(argc, argv);
  int ends[2];
  if (!OpenLinkPair(ends)) return kSetupFailedStatus;
  sigset_t oldMask;
  CoreWatch watch;
  if (!WatchSignals(watch, oldMask)) return kSetupFailedStatus;

  pid_t core = StartCore(options.coreCommand, ends[1], oldMask);
  if (core < 0) {
    std::perror("[brevad] fork");
    return kSetupFailedStatus;
  }
  watch.Adopt(core);
  close(ends[1]);

  bool timedOut = false;
  {
    CoreLink link(ends[0], watch, std::chrono::seconds(options.timeoutSeconds));
    Script script(link, watch);
    for (const Step& step : options.steps) {
      if (!script.Run(step)) break;
    }
    timedOut = EndCore(watch, script.SendTimedOut(), options.timeoutSeconds);
  }  // closing the link prints every packet the core sent before it exited
  return ReportCoreEnd(watch.Status(), timedOut);
}
