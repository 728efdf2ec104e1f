// The tool's side; see inspect_parent.h and DESIGN in dvrcore_inspect.cpp.
#include "tools/inspect_parent.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <boost/filesystem/operations.hpp>

#include "tools/inspect_child.h"
#include "tools/inspect_findings.h"
#include "tools/inspect_protocol.h"

namespace fs = boost::filesystem;

namespace dvrinspect {

// The descriptors between the tool and the processes of one file.
struct Channels {
  int records = -1;          // JSON: the memory file of the child's records
  int report[2] = {-1, -1};  // the child's report (inspect_protocol.h)
  int relay[2] = {-1, -1};   // the intermediate's Relay
};

// How the processes of one file ended.
struct ChildEnd {
  bool finished = false;         // within the time limit
  int status = 0;                // the child's wait status, relayed, or the intermediate's
  bool signalledParent = false;  // the plugin signalled the intermediate (AwaitChild)
  int forkError = 0;             // the intermediate could not start the child
  ChildReport got;               // what the child reported
};

namespace {

// Waits for `pid` until `deadline`; true once it has been reaped. SIGCHLD is
// blocked, so it stays pending for sigtimedwait.
bool WaitForChild(pid_t pid, const sigset_t& childSignal,
                  std::chrono::steady_clock::time_point deadline, int& status) {
  for (;;) {
    pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return true;
    if (reaped < 0 && errno != EINTR) {
      status = 0;  // cannot happen for our own child; do not wait forever
      return true;
    }
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    timespec wait{static_cast<time_t>(seconds.count()),
                  static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    sigtimedwait(&childSignal, nullptr, &wait);
  }
}

// Everything the child wrote; the pipe is non-blocking, as a process that a
// plugin forked may still hold its end.
std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[512];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return bytes;
    }
  }
}

std::string Verdict(PluginAdmission outcome) {
  switch (outcome) {
    case PluginAdmission::kAdmitted:
      return "loaded";
    case PluginAdmission::kNotMapped:
      return "rejected (does not map)";
    case PluginAdmission::kNoLoad:
      return "rejected (no Load)";
    case PluginAdmission::kLoadFailed:
      return "rejected (Load failed)";
    case PluginAdmission::kIdTaken:
      return "rejected (ID already loaded)";
  }
  return "rejected";
}

// How far a child that did not end normally got, for its verdict.
const char* Stage(const ChildReport& report) {
  if (!report.outcome) return "while loading";
  if (report.ended) return "at exit";
  return *report.outcome == PluginAdmission::kAdmitted ? "in Unload" : "after loading";
}

std::string SignalName(int signal) {
  std::string text = "signal " + std::to_string(signal);
  if (const char* name = sigabbrev_np(signal)) text += std::string(" (SIG") + name + ")";
  return text;
}

std::string SignalText(int signal) { return "killed by " + SignalName(signal); }

// The records a child left in the memory file `fd`, at most `limit` bytes
// (a plugin's own child may still hold the file and write on).
std::string ReadRecords(int fd, size_t limit) {
  std::string bytes;
  char buffer[4096];
  while (bytes.size() < limit) {
    const ssize_t n = pread(fd, buffer, std::min(sizeof buffer, limit - bytes.size()),
                            static_cast<off_t>(bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

// Opens the channels for one file; on failure closes what it opened and
// returns the call that failed, with `error` set.
const char* OpenChannels(bool json, Channels& channels, int& error) {
  if (json && (channels.records = memfd_create("dvrcore-inspect", MFD_CLOEXEC)) < 0) {
    error = errno;
    return "memfd_create";
  }
  if (pipe2(channels.report, O_CLOEXEC) != 0) {
    error = errno;
    if (channels.records >= 0) close(channels.records);
    return "pipe";
  }
  if (pipe2(channels.relay, O_CLOEXEC) != 0) {
    error = errno;
    close(channels.report[0]);
    close(channels.report[1]);
    if (channels.records >= 0) close(channels.records);
    return "pipe";
  }
  return nullptr;
}

}  // namespace

Inspector::Inspector(unsigned timeoutSeconds, Report& report)
    : executablePath_([] {
        boost::system::error_code error;
        return fs::canonical("/proc/self/exe", error).string();
      }()),
      timeoutSeconds_(timeoutSeconds),
      report_(report) {
  sigemptyset(&childSignal_);
  sigaddset(&childSignal_, SIGCHLD);
  sigprocmask(SIG_BLOCK, &childSignal_, &plainMask_);
}

bool Inspector::Inspect(const fs::path& path) {
  report_.FileHeading(path);
  Channels channels;
  int error = 0;
  if (const char* failed = OpenChannels(report_.Json(), channels, error)) {
    return CannotInspect(path, failed, error);
  }
  std::fflush(stdout);  // nothing buffered may be printed twice
  const pid_t child = StartIntermediate(path, channels, error);
  if (child < 0) {
    if (channels.records >= 0) close(channels.records);
    return CannotInspect(path, "fork", error);
  }
  const ChildEnd end = AwaitChild(child, channels);
  if (end.forkError != 0) {
    if (channels.records >= 0) close(channels.records);
    return CannotInspect(path, "fork", end.forkError);
  }
  if (end.got.outcome == PluginAdmission::kAdmitted) names_.emplace(end.got.id, end.got.name);
  const std::string verdict = VerdictOf(end);
  if (channels.records >= 0) {
    // The capped messages, and room for the rest (a few kilobytes).
    report_.FileVerdict(path, ReadRecords(channels.records, 2 * Findings::kMaxMessageBytes),
                        verdict);
    close(channels.records);
  } else {
    report_.FileVerdict(path, "", verdict);
  }
  return verdict == "loaded";
}

pid_t Inspector::StartIntermediate(const fs::path& path, const Channels& channels,
                                   int& forkError) {
  const pid_t parent = getpid();
  const pid_t child = fork();  // the intermediate process
  forkError = errno;
  if (child == 0) {
    close(channels.report[0]);
    close(channels.relay[0]);
    RunIntermediate(executablePath_, names_, path, channels.report[1], channels.records,
                    channels.relay[1], parent, plainMask_);
  }
  close(channels.report[1]);
  close(channels.relay[1]);
  if (child < 0) {
    close(channels.report[0]);
    close(channels.relay[0]);
  }
  return child;
}

ChildEnd Inspector::AwaitChild(pid_t pid, const Channels& channels) {
  fcntl(channels.report[0], F_SETFL, O_NONBLOCK);
  fcntl(channels.relay[0], F_SETFL, O_NONBLOCK);
  ChildEnd end;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds_);
  end.finished = WaitForChild(pid, childSignal_, deadline, end.status);
  if (!end.finished) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &end.status, 0) < 0 && errno == EINTR) {
    }
  }
  end.got = ParseReport(ReadAll(channels.report[0]));
  close(channels.report[0]);
  Relay relayed;
  const std::string relayBytes = ReadAll(channels.relay[0]);
  close(channels.relay[0]);
  const bool hasRelay = relayBytes.size() == sizeof relayed;
  if (hasRelay) std::memcpy(&relayed, relayBytes.data(), sizeof relayed);
  if (hasRelay && relayed.forkError != 0) {
    end.forkError = relayed.forkError;
    return end;
  }
  // The intermediate ended by a signal before it could relay: the plugin,
  // the only code that knows of that process, signalled its parent.
  end.signalledParent = end.finished && !hasRelay && WIFSIGNALED(end.status);
  if (hasRelay) end.status = relayed.status;
  return end;
}

std::string Inspector::VerdictOf(const ChildEnd& end) const {
  const ChildReport& got = end.got;
  const int status = end.status;
  if (!end.finished) {
    return "rejected (did not return within " + std::to_string(timeoutSeconds_) + " s " +
           Stage(got) + ")";
  }
  if (end.signalledParent) {
    return "rejected (sent " + SignalName(WTERMSIG(status)) + " to its parent process " +
           Stage(got) + ")";
  }
  if (got.ended && got.outcome && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return Verdict(*got.outcome);
  }
  if (WIFEXITED(status)) {
    return "rejected (exited with status " + std::to_string(WEXITSTATUS(status)) + " " +
           Stage(got) + ")";
  }
  return "rejected (" + SignalText(WTERMSIG(status)) + " " + Stage(got) + ")";
}

bool Inspector::CannotInspect(const fs::path& path, const char* what, int error) {
  const std::string verdict =
      std::string("rejected (cannot inspect: ") + what + ": " + std::strerror(error) + ")";
  report_.FileVerdict(path, "", verdict);
  return false;
}

}  // namespace dvrinspect
