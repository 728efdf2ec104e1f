// brevad-standin: a small parent daemon for trying out and testing dvrcore.
//
// It creates the sequenced-packet socket pair, starts the core with its end
// of the pair as the last argument, and runs a script of steps taken from the
// command line (or typed on stdin in --interactive mode): identification,
// plugin and stop packets, waits, sleeps and closing the link. Every packet
// the core sends up is printed as one "[brevad] packet ..." line on stdout.
// At the end it waits, bounded, for the core to exit and exits with the
// core's status.
//
// DESIGN: two threads. The main thread parses the script, starts the core,
// runs the steps and reaps the core. The reader thread blocks in recv() on the
// parent's end and prints each packet as it arrives; it ends when the core's
// end is closed or the parent's end is shut down. The main thread only closes
// the descriptor after shutdown() has woken the reader and it has been joined,
// so the descriptor number is never reused under a blocked recv(). SIGCHLD is
// blocked in every thread and waited for with sigtimedwait(), which bounds the
// final wait without polling.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
    "                              then SIGTERM, then SIGKILL after 5 s\n"
    "TARGET and TYPE are decimal or 0x-prefixed hex 32-bit numbers.\n";

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

// The parent's end of the link and the reader thread that prints what the
// core sends up.
class ParentLink {
 public:
  explicit ParentLink(int fd) : fd_(fd), reader_([this] { Read(); }) {}
  ~ParentLink() { Close(); }

  // Main thread only.
  void Send(const std::vector<uint8_t>& packet) {
    if (fd_ < 0) {
      PrintLine(stderr, "cannot send: the link is closed");
      return;
    }
    // MSG_NOSIGNAL: a core that has gone away is reported, not a SIGPIPE.
    if (send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) < 0) {
      PrintLine(stderr, std::string("send failed: ") + std::strerror(errno));
      return;
    }
    IpcPacketHeader header;
    std::memcpy(&header, packet.data(), sizeof header);
    PrintLine(stdout, "sent type " + std::to_string(header.type) + " length " +
                          std::to_string(header.length));
  }

  // Main thread only. Returns early when the link ends, as no more packets
  // can come.
  void WaitForPackets(uint64_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, limit, [&] { return received_ >= count || !readerRunning_; }))
      PrintLine(stderr, "timed out waiting for " + std::to_string(count) + " packets (" +
                            std::to_string(received_) + " so far)");
    else if (received_ < count)
      PrintLine(stderr, "link ended after " + std::to_string(received_) + " of " +
                            std::to_string(count) + " packets");
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
      arrived_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    readerRunning_ = false;
    arrived_.notify_all();
  }

  // Written by the main thread only, and only after the reader has been
  // joined; read by both threads before that.
  int fd_;
  std::mutex mutex_;
  std::condition_variable arrived_;  // used with mutex_; the reader notifies, main waits
  uint64_t received_ = 0;            // guarded by mutex_; reader writes, main reads
  bool readerRunning_ = true;        // guarded by mutex_; reader writes, main reads
  std::thread reader_;               // declared last: it starts once the rest is ready
};

// Runs on the main thread; returns false on "quit".
bool RunStep(const Step& step, ParentLink& link);

// Reads steps from stdin until "quit" or the end of input; a bad line is
// reported and skipped.
void RunInteractive(ParentLink& link) {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::string error;
    auto step = ParseLine(line, error);
    if (!step)
      PrintLine(stderr, error);
    else if (!RunStep(*step, link))
      return;
  }
}

bool RunStep(const Step& step, ParentLink& link) {
  switch (step.kind) {
    case StepKind::kSend:
      link.Send(step.packet);
      break;
    case StepKind::kWaitPackets:
      link.WaitForPackets(step.count, step.duration);
      break;
    case StepKind::kSleep:
      std::this_thread::sleep_for(step.duration);
      break;
    case StepKind::kClose:
      link.Close();
      break;
    case StepKind::kInteractive:
      RunInteractive(link);
      break;
    case StepKind::kQuit:
      return false;
  }
  return true;
}

pid_t StartCore(const std::vector<std::string>& command, int coreEnd, const sigset_t& oldMask) {
  std::vector<std::string> args = command;
  args.push_back(std::to_string(coreEnd));
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid != 0) return pid;
  // The child: no other thread exists yet in the parent, so anything goes.
  sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  fcntl(coreEnd, F_SETFD, 0);
  execv(argv[0], argv.data());
  std::fprintf(stderr, "[brevad] cannot start %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

// Waits for the core until `deadline`; true once it has been reaped.
bool WaitForCore(pid_t pid, const sigset_t& childSignal,
                 std::chrono::steady_clock::time_point deadline, int& status) {
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    timespec wait{static_cast<time_t>(seconds.count()),
                  static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    sigtimedwait(&childSignal, nullptr, &wait);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseCommandLine(argc, argv);

  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    std::perror("[brevad] socketpair");
    return kSetupFailedStatus;
  }
  // Blocked before any thread starts so every thread inherits it and only
  // sigtimedwait() receives it.
  sigset_t childSignal, oldMask;
  sigemptyset(&childSignal);
  sigaddset(&childSignal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &childSignal, &oldMask);

  pid_t core = StartCore(options.coreCommand, ends[1], oldMask);
  if (core < 0) {
    std::perror("[brevad] fork");
    return kSetupFailedStatus;
  }
  close(ends[1]);

  int status = 0;
  bool timedOut = false;
  {
    ParentLink link(ends[0]);
    for (const Step& step : options.steps) RunStep(step, link);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    if (!WaitForCore(core, childSignal, deadline, status)) {
      timedOut = true;
      PrintLine(stderr, "core still running after " + std::to_string(options.timeoutSeconds) +
                            " s, sending SIGTERM");
      kill(core, SIGTERM);
      deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTermGraceSeconds);
      if (!WaitForCore(core, childSignal, deadline, status)) {
        PrintLine(stderr, "core ignored SIGTERM, sending SIGKILL");
        kill(core, SIGKILL);
        waitpid(core, &status, 0);
      }
    }
  }  // closing the link prints every packet the core sent before it exited

  int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  PrintLine(stdout, WIFEXITED(status)
                        ? "core exited with status " + std::to_string(exitStatus)
                        : "core killed by signal " + std::to_string(WTERMSIG(status)));
  return timedOut ? kTimedOutStatus : exitStatus;
}
