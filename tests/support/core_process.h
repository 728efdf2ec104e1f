// Running the real core executable from a test.
//
// CoreInstall lays out a private copy of the built dvrcore with its plugin
// directories in a test directory (the core finds plugins beside the canonical
// path of its own executable, so the executable is copied, not linked).
// CoreProcess starts that copy as a child with chosen arguments, descriptors
// and output, plays the parent daemon on the other end of a real
// SOCK_SEQPACKET pair, captures standard output (a real pseudo-terminal, a
// pipe or a file), standard error and, on request, the syslog datagrams of
// the core, and waits for its exit with a bound.
//
// DESIGN: one capture thread per CoreProcess reads the pty master (or stdout
// pipe), the stderr pipe and the syslog socket as data arrives, so the core
// never blocks on a full terminal, and appends to buffers guarded by mutex_.
// Test threads read snapshots and wait on changed_. Nothing is stripped or
// translated: the pty is raw (no "\n" to "\r\n"), so console lines can be
// compared byte for byte. The parent keeps the pty's slave side open, so data
// the core wrote before exiting stays readable after the exit.
#ifndef DVRCORE_TESTS_SUPPORT_CORE_PROCESS_H
#define DVRCORE_TESTS_SUPPORT_CORE_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dvrcore_version.h"
#include "tests/support/plugin_record.h"

namespace dvrtest {

using Duration = std::chrono::milliseconds;

// The core's log line once its start-up is complete, and the one before it
// stops.
constexpr char kStartedLine[] = "successfully started core version " DVRCORE_VERSION;
constexpr char kStoppingLine[] = "stopping core version " DVRCORE_VERSION "...";
// Bound of every wait for something the core should do soon. Generous: the
// core may run under an emulator or a sanitizer.
constexpr Duration kWaitTimeout = std::chrono::seconds(30);

// The built core executable and test plugin (from the build).
std::string CoreExecutablePath();
std::string TestPluginPath();

// The words put before a program of the build to run it on this machine: the
// cross build's emulator (qemu-arm -L /, its program by full path) where it
// is installed, none for a native build. None also on the target itself: the
// board stage runs the armhf build on an ARM kernel, which has no emulator
// and needs none, and there the programs must not count as emulated.
const std::vector<std::string>& EmulatorCommand();
// Whether the programs a test starts run under an emulator, which adds
// threads of its own to each of them.
inline bool UnderEmulator() { return !EmulatorCommand().empty(); }

enum class PluginDirectory { kPlugins, kProtected };

// <root>/bin/dvrcore, <root>/bin/plugins, <root>/bin/protected-plugins and the
// working directory <root>/work.
class CoreInstall {
 public:
  explicit CoreInstall(const std::string& root);

  const std::string& Root() const { return root_; }
  std::string BinDir() const { return root_ + "/bin"; }
  std::string Executable() const { return BinDir() + "/dvrcore"; }
  std::string WorkDir() const { return root_ + "/work"; }
  std::string PluginDir(PluginDirectory which = PluginDirectory::kPlugins) const;

  // Copies the test plugin in as <dir>/<fileName> (which should end in ".so")
  // with `config` as its configuration.
  TestPlugin AddTestPlugin(const std::string& fileName, const std::string& config,
                           PluginDirectory where = PluginDirectory::kPlugins) const;
  // Copies any file into a plugin directory; returns the new path.
  std::string AddPluginFile(const std::string& fileName, const std::string& sourcePath,
                            PluginDirectory where = PluginDirectory::kPlugins) const;

 private:
  std::string root_;
};

enum class OutputMode { kPty, kPipe, kFile };

struct SpawnOptions {
  std::vector<std::string> args;  // after argv[0], which is the executable's path
  std::string workDir;            // empty: the install's working directory
  OutputMode output = OutputMode::kPty;
  std::string outputFile;         // kFile: standard output goes here
  // >= 0: the core's end of a SOCK_SEQPACKET socket pair is at this descriptor
  // number; the test holds the other end. Name it in args yourself.
  int linkFd = -1;
  // Further descriptors: {number in the core, descriptor of the test}.
  std::vector<std::pair<int, int>> inherit;
  // "NAME=value" entries added to (or replacing in) the environment.
  std::vector<std::string> environment;
  // Run in a private mount namespace where /dev/log is a datagram socket of
  // the test. Check SyslogCaptureUnavailable() first.
  bool captureSyslog = false;
  // >= 0: start the core through an intermediate parent whose real user ID is
  // this (the core reads its parent's user from /proc); the core itself still
  // starts as root. Its exit status is relayed.
  int parentUid = -1;
  // >= 0: the core itself starts with this real, effective and saved user ID
  // instead of root, and so without capabilities; its groups stay the test's.
  // With parentUid the same ID, core and parent run as one unprivileged user.
  int coreUid = -1;
  // Resource limits of the core, set (soft and hard) just before exec.
  std::vector<std::pair<int, uint64_t>> limits;

  // A core started as its parent starts it: the link at descriptor 3, named
  // on the command line.
  static SpawnOptions WithParentLink() {
    SpawnOptions options;
    options.args = {"3"};
    options.linkFd = 3;
    return options;
  }
};

struct ExitStatus {
  bool exited = false;  // exited normally with `code`
  int code = 0;
  int signal = 0;       // killed by this signal
  static ExitStatus Code(int code) { return ExitStatus{true, code, 0}; }
  bool operator==(const ExitStatus& other) const {
    return exited == other.exited && code == other.code && signal == other.signal;
  }
};
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

// Why the syslog capture cannot work here (no mount namespaces, not root), or
// an empty string when it can. Checked once per test program.
std::string SyslogCaptureUnavailable();

#define DVR_SKIP_UNLESS_SYSLOG_CAPTURE()                                    \
  do {                                                                      \
    std::string dvrSyslogWhy = ::dvrtest::SyslogCaptureUnavailable();       \
    if (!dvrSyslogWhy.empty()) GTEST_SKIP() << "syslog capture: " << dvrSyslogWhy; \
  } while (0)

// The complete lines of `text`, each with its "\n".
std::vector<std::string> SplitLines(const std::string& text);

// A console log line of the core, byte for byte except for the HH:MM:SS time
// stamp: "\e[3<colour>m<stamp>\e[36m <tag>\e[0m <text>\n", or
// "<stamp> <tag> <text>\n" when colour is negative. `tag` is the exact
// six-character field.
std::regex ConsoleLine(int colour, const std::string& tag, const std::string& text);

// True when the HH:MM:SS stamp in `line` is the UTC time of a second in
// [before, after] (seconds since the epoch).
bool StampIsUtcBetween(const std::string& line, int64_t before, int64_t after);

// A wall clock for the core that the test sets: the core runs with
// clock_shim.so preloaded (tests/support/clock_shim.c), which adds the
// seconds in a file of the test to every reading of the real-time clock. The
// monotonic clock is left alone, as a step of the system clock leaves it.
class ShiftedClock {
 public:
  // The file is created in `directory`.
  ShiftedClock(const std::string& directory, std::chrono::seconds offset);
  // Makes a core started with `options` run on this clock.
  void Use(SpawnOptions& options) const;
  // Steps the clock of a running core: its next reading is `offset` away
  // from the real time.
  void Set(std::chrono::seconds offset);
  // The core's time now, in seconds since the epoch.
  int64_t Now() const;

 private:
  std::string file_;
  std::chrono::seconds offset_{0};  // test thread only
};

class CoreProcess {
 public:
  // Starts the core; a failure to start fails the test and leaves Started()
  // false.
  CoreProcess(const CoreInstall& install, SpawnOptions options = {});
  // Kills the core (and an intermediate parent) if it still runs.
  ~CoreProcess();
  CoreProcess(const CoreProcess&) = delete;
  CoreProcess& operator=(const CoreProcess&) = delete;

  bool Started() const { return child_ > 0; }
  pid_t Pid() const { return corePid_; }  // the core itself
  void Signal(int signal);
  // Waits for the exit; on timeout fails the test, kills the core and returns
  // the resulting status. Everything the core wrote is captured on return.
  ExitStatus WaitExit(Duration timeout = kWaitTimeout);

  // Snapshots of what was captured so far.
  std::string Stdout() const;
  std::string Stderr() const;
  std::vector<std::string> SyslogRecords() const;

  // Bounded waits; each fails the test on timeout, showing the capture.
  bool WaitForStdout(const std::string& text, Duration timeout = kWaitTimeout);
  // Waits for kStartedLine: every plugin is open and the main loop runs.
  bool WaitUntilStarted(Duration timeout = kWaitTimeout) {
    return WaitForStdout(kStartedLine, timeout);
  }
  bool WaitForStderr(const std::string& text, Duration timeout = kWaitTimeout);
  // The first complete line of standard output (with its "\n") that `line`
  // matches as a whole.
  std::optional<std::string> WaitForStdoutLine(const std::regex& line,
                                               Duration timeout = kWaitTimeout);
  // The first syslog datagram that contains `text`.
  std::optional<std::string> WaitForSyslog(const std::string& text,
                                           Duration timeout = kWaitTimeout);

  // ---- The parent's end of the link (SpawnOptions::linkFd) ----
  bool Send(const std::vector<uint8_t>& bytes);  // one record: a packet or any burst of bytes
  bool SendIdentification(const std::string& libraryFile, const std::string& libraryVersion);
  bool SendStop();
  // One record from the core, or nullopt on timeout or end of the link.
  std::optional<std::vector<uint8_t>> Receive(Duration timeout = kWaitTimeout);
  void CloseLink();

 private:
  void Spawn(const CoreInstall& install, const SpawnOptions& options);
  // Spawn's steps; each adds the child's ends to `childFds`, the numbers they
  // get in the core to `descriptors`, and reports a failure to the test.
  bool OpenStandardStreams(std::vector<std::pair<int, int>>& descriptors,
                           std::vector<int>& childFds);
  bool OpenParentLink(int linkFd, std::vector<std::pair<int, int>>& descriptors,
                      std::vector<int>& childFds);
  bool OpenSyslog(const std::string& socketPath);
  void CaptureLoop();
  void Flush();
  void Reap(int waitStatus);
  void StopCapture();
  // Waits until `ready` (called with mutex_ held) holds; false on timeout.
  template <typename Ready>
  bool WaitUntil(Duration timeout, Ready ready);
  // Under ThreadSanitizer only: sends again a stop signal the core has not
  // acted on after a while (see Signal).
  void RepeatUnansweredSignal();

  OutputMode outputMode_ = OutputMode::kPty;
  std::string outputFile_;
  pid_t child_ = -1;    // our direct child: the core, or the intermediate parent
  pid_t corePid_ = -1;
  bool reaped_ = false;  // test thread only
  ExitStatus status_;    // test thread only
  int linkFd_ = -1;      // test thread only
  int unansweredSignal_ = 0;  // test thread only; ThreadSanitizer builds
  std::chrono::steady_clock::time_point signalledAt_;  // test thread only
  int ptySlaveFd_ = -1;  // kept open, see DESIGN

  // Read by the capture thread only, closed after it has been joined.
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  int syslogFd_ = -1;
  int wakeReadFd_ = -1;
  int wakeWriteFd_ = -1;  // written by test threads to wake the capture thread
  std::thread captureThread_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;       // notified on new data and finished flushes
  std::string stdout_;                    // guarded by mutex_; capture thread appends
  std::string stderr_;                    // guarded by mutex_; capture thread appends
  std::vector<std::string> syslog_;       // guarded by mutex_; capture thread appends
  uint64_t flushRequested_ = 0;           // guarded by mutex_; test threads raise it
  uint64_t flushDone_ = 0;                // guarded by mutex_; capture thread raises it
  bool stopping_ = false;                 // guarded by mutex_; set by the destructor
};

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_SUPPORT_CORE_PROCESS_H
