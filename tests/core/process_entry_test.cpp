// Process entry with the real executable: the command line, the help text,
// the exit status of a failed initialisation, and the stop signals.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/packets.h"
#include "tests/support/core_process.h"
#include "tests/support/sanitizers.h"
#include "tests/support/test_dir.h"

namespace dvrtest {
namespace {

const std::string kStartText = dvrtest::kStartedLine;
const std::string kStopText = dvrtest::kStoppingLine;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGQUIT};

// The plugin's lifecycle calls and sleeps in record order (configuration
// updates through IOCTL left out).
std::vector<std::string> LifecycleWords(const TestPlugin& plugin) {
  std::vector<std::string> words;
  for (const PluginCall& call : plugin.Calls()) {
    if (call.word != "ioctl") words.push_back(call.word);
  }
  return words;
}

class ProcessEntry : public ::testing::Test {
 protected:
  TestDir dir;
  CoreInstall install{dir.Path()};
};

// ---- Help -------------------------------------------------------------------

class HelpRequest : public ProcessEntry, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(HelpRequest, PrintsVersionAndUsageOnStandardErrorAndExitsWithoutStarting) {
  TestPlugin plugin = install.AddTestPlugin("probe.so", "id 0x00100000\n");
  SpawnOptions options;
  options.args = GetParam();
  CoreProcess core(install, options);

  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  EXPECT_EQ(core.Stderr(),
            "core version " DVRCORE_VERSION "\nUsage: " + install.Executable() + " <pipe>\n");
  EXPECT_EQ(core.Stdout(), "");
  // Nothing is initialised: no plugin loaded, no report written.
  EXPECT_FALSE(FileExists(plugin.eventsPath));
  EXPECT_FALSE(FileExists(install.WorkDir() + "/plugins.xml"));
}

INSTANTIATE_TEST_SUITE_P(Arguments, HelpRequest,
                         ::testing::Values(std::vector<std::string>{"-h"},
                                           std::vector<std::string>{"-hello"},
                                           std::vector<std::string>{"-hx"},
                                           std::vector<std::string>{"-v", "-h", "3"}));

// ---- The descriptor argument --------------------------------------------------

struct DescriptorCase {
  std::vector<std::string> args;
  int fd;  // where the core's end of the link is
};

class DescriptorArgument : public ProcessEntry, public ::testing::WithParamInterface<DescriptorCase> {};

// The link works both ways at the descriptor the arguments name: the parent's
// identification ends the core's wait, a plugin's packet arrives at the parent
// and the parent's stop packet stops the core.
TEST_P(DescriptorArgument, LinkIsTheNamedDescriptor) {
  TestPlugin plugin = install.AddTestPlugin("link.so",
                                            "id 0x00100000\n"
                                            "on open send-parent hello parent\n");
  SpawnOptions options;
  options.args = GetParam().args;
  options.linkFd = GetParam().fd;
  CoreProcess core(install, options);
  ASSERT_TRUE(core.SendIdentification("brevad.so", "1.0"));

  std::optional<std::vector<uint8_t>> packet = core.Receive();
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(std::string(packet->begin(), packet->end()), "hello parent");
  ASSERT_TRUE(core.WaitUntilStarted());
  ASSERT_TRUE(core.SendStop());

  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  EXPECT_EQ(core.Stderr().find("Usage:"), std::string::npos);
  std::vector<PluginCall> raised = plugin.Calls("raised");
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].Number("result"), 0);  // EVENT_OK: the socket is open
}

INSTANTIATE_TEST_SUITE_P(Arguments, DescriptorArgument,
                         ::testing::Values(DescriptorCase{{"7", "-h"}, 7},
                                           DescriptorCase{{"-x", "7"}, 7},
                                           DescriptorCase{{"abc"}, 0}));

class NoDescriptor : public ProcessEntry, public ::testing::WithParamInterface<std::vector<std::string>> {};

// Without a descriptor argument the core has no link, even when a socket is
// inherited: packets for the parent are refused.
TEST_P(NoDescriptor, RunsWithoutLink) {
  TestPlugin plugin = install.AddTestPlugin("link.so",
                                            "id 0x00100000\n"
                                            "on open send-parent unexpected\n");
  SpawnOptions options;
  options.args = GetParam();
  options.linkFd = 3;
  CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  core.Signal(SIGTERM);

  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  std::vector<PluginCall> raised = plugin.Calls("raised");
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].Number("result"), 1);  // EVENT_REFUSED: no socket
  EXPECT_FALSE(core.Receive(Duration(0)).has_value());
}

INSTANTIATE_TEST_SUITE_P(Arguments, NoDescriptor,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"-v", "-q"}));

// ---- Failed initialisation ------------------------------------------------------

void ExpectFailedInitialisation(CoreProcess& core, const TestPlugin& plugin) {
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(2));
  EXPECT_EQ(core.Stderr(), "failed to initialize core\n");
  std::vector<std::string> lines = SplitLines(core.Stdout());
  ASSERT_EQ(lines.size(), 1u) << core.Stdout();
  EXPECT_TRUE(std::regex_match(lines[0], ConsoleLine(1, "core  ", "failed to open ipc pipe")))
      << lines[0];
  EXPECT_FALSE(FileExists(plugin.eventsPath));
}

// Descriptor 9 not open at all, then open on a regular file.
TEST_F(ProcessEntry, DescriptorThatIsNotAnOpenSocketFailsInitialisation) {
  const std::string path = dir / "regular-file";
  WriteTextFile(path, "not a socket\n");
  for (bool open9 : {false, true}) {
    TestPlugin plugin = install.AddTestPlugin("probe.so", "id 0x00100000\n");
    const int fd = open9 ? open(path.c_str(), O_RDWR | O_CLOEXEC) : -1;
    ASSERT_EQ(fd >= 0, open9);
    SpawnOptions options;
    options.args = {"9"};
    if (open9) options.inherit = {{9, fd}};
    CoreProcess core(install, options);
    if (open9) close(fd);
    ExpectFailedInitialisation(core, plugin);
  }
}

// Out of descriptors the core cannot build its event loop; out of threads it
// cannot start its I/O thread once the plugins are loaded. Either way it says
// why, closes and unloads what it loaded, and exits as initialisation
// failures do. Not where the tools need what is used up: an emulator and
// ThreadSanitizer start threads, LeakSanitizer needs one at the exit, and
// UndefinedBehaviorSanitizer probes memory through a pipe.
struct OutOfCase {
  const char* name;
  int resource;
  uint64_t limit;
  bool ownUser;        // the core and its parent run as a user of their own
  const char* reason;  // on standard error or in the log
  std::vector<std::string> calls;
};

class OutOf : public ProcessEntry, public ::testing::WithParamInterface<OutOfCase> {};

TEST_P(OutOf, StartExitsWithStatusTwo) {
  const OutOfCase& c = GetParam();
  if (UnderEmulator() || kAddressSanitizer || (kThreadSanitizer && c.resource == RLIMIT_NPROC)) {
    GTEST_SKIP() << "the tools need what is used up";
  }
  uid_t unused = 54321;
  while (getpwuid(unused) != nullptr) unused++;
  TestPlugin plugin = install.AddTestPlugin("probe.so", "id 0x00100000\nworker 1\n");
  std::remove(plugin.eventsPath.c_str());
  SpawnOptions options;
  options.limits = {{c.resource, c.limit}};
  if (c.ownUser) options.parentUid = options.coreUid = static_cast<int>(unused);
  CoreProcess core(install, options);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(2));
  EXPECT_NE(core.Stderr().find("failed to initialize core\n"), std::string::npos);
  EXPECT_NE((core.Stderr() + core.Stdout()).find(c.reason), std::string::npos)
      << core.Stderr() << core.Stdout();
  EXPECT_EQ(LifecycleWords(plugin), c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Resources, OutOf,
    ::testing::Values(OutOfCase{"Descriptors", RLIMIT_NOFILE, 4, false, "Too many open files", {}},
                      // The intermediate parent and the core: no room for a thread.
                      OutOfCase{"Threads", RLIMIT_NPROC, 2, true,
                                "failed to start the I/O thread: ",
                                {"load", "close", "unload", "unmapped"}}),
    [](const ::testing::TestParamInfo<OutOfCase>& info) { return std::string(info.param.name); });

// ---- Starting and stopping --------------------------------------------------------

// A stop signal, whenever it comes, ends the core with status 0 once the
// plugins are closed and unloaded, logging the stop once. One during loading
// lets the start complete first. Later ones during the stop change nothing,
// to the process's exit, whatever threads plugins leave behind: the plugin
// that is never unmapped leaves one running past its Unload.
struct StopCase {
  const char* name;
  int signal;
  std::string plugin;  // probe.so's configuration
  bool duringLoad;     // sent once probe.so's Load has begun, else once started
  bool barrage;        // more stop signals from probe.so's Close to the exit
  std::vector<std::string> words;
};

class StopSignal : public ProcessEntry, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopSignal, LogsStopAndExitsZeroAfterClosingPlugins) {
  const StopCase& c = GetParam();
  TestPlugin plugin = install.AddTestPlugin("probe.so", c.plugin);
  if (c.barrage) install.AddTestPlugin("lingers.so", "id 0x00470000\non unload linger\n");
  CoreProcess core(install);
  if (c.duringLoad) {
    ASSERT_TRUE(plugin.WaitFor("load"));
  } else {
    ASSERT_TRUE(core.WaitForStdoutLine(ConsoleLine(2, "core  ", kStartText)));
  }
  core.Signal(c.signal);
  if (c.barrage) {
    ASSERT_TRUE(core.WaitForStdout(kStopText));
    ASSERT_TRUE(plugin.WaitFor("close"));
    // Through a process descriptor, which cannot reach another process that
    // reuses the number once the core has been reaped; until the core ends.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, core.Pid(), 0));
    ASSERT_GE(pidfd, 0) << std::strerror(errno);
    pollfd ended{pidfd, POLLIN, 0};
    const auto bound = std::chrono::steady_clock::now() + kWaitTimeout;
    for (int i = 0; poll(&ended, 1, 0) == 0 && std::chrono::steady_clock::now() < bound; i++) {
      if (syscall(SYS_pidfd_send_signal, pidfd, kStopSignals[i % 3], nullptr, 0) != 0) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(pidfd);
  }
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  std::string output = core.Stdout();
  std::vector<std::string> lines = SplitLines(output);
  ASSERT_FALSE(lines.empty());
  auto stopLine = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return std::regex_match(line, ConsoleLine(2, "core  ", kStopText));
  });
  ASSERT_NE(stopLine, lines.end()) << output;
  ASSERT_NE(output.find(kStartText), std::string::npos) << output;
  EXPECT_GT(output.find(kStopText), output.find(kStartText)) << output;
  EXPECT_EQ(output.find(kStopText), output.rfind(kStopText)) << "stop logged twice:\n" << output;
  EXPECT_EQ(LifecycleWords(plugin), c.words);
}

const std::vector<std::string> kOpenedAndClosed = {"load", "open", "close", "unload", "unmapped"};

INSTANTIATE_TEST_SUITE_P(
    Signals, StopSignal,
    ::testing::Values(
        StopCase{"TERM", SIGTERM, "id 0x00100000\n", false, false, kOpenedAndClosed},
        StopCase{"INT", SIGINT, "id 0x00100000\n", false, false, kOpenedAndClosed},
        StopCase{"QUIT", SIGQUIT, "id 0x00100000\n", false, false, kOpenedAndClosed},
        // Close takes long enough for the later signals to arrive while it runs.
        StopCase{"SecondSignalDuringStopChangesNothing", SIGINT,
                 "id 0x00100000\non close sleep 1500\n", false, true,
                 {"load", "open", "close", "slept", "unload", "unmapped"}},
        StopCase{"SignalDuringLoadingStillCompletesStartThenStops", SIGTERM,
                 "id 0x00100000\non load sleep 1000\n", true, false,
                 {"load", "slept", "open", "close", "unload", "unmapped"}}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

class HelperSignal : public ProcessEntry, public ::testing::WithParamInterface<int> {};

// A helper a plugin forks and keeps in plugin code inherits the core's
// handler: there the signal must act as it would without the core, and
// never reach the core as its own stop. A write to a closed peer on the I/O
// thread fails with EPIPE and ends nothing.
TEST_P(HelperSignal, AForkedHelperDiesOfItAndTheCoreRunsOn) {
  TestPlugin plugin = install.AddTestPlugin(
      "forker.so", "id 0x00100000\non open fork\non open kill-child " + std::to_string(GetParam()) +
                       "\non ipc broken-pipe\non ipc echo\n");
  CoreProcess core(install, SpawnOptions::WithParentLink());
  ASSERT_TRUE(core.SendIdentification("brevad.so", "1.0"));
  ASSERT_TRUE(core.WaitUntilStarted());
  std::vector<PluginCall> ended = plugin.Calls("child-ended");
  ASSERT_EQ(ended.size(), 1u);
  // ThreadSanitizer holds back signals in a child forked from threads (it
  // stops intercepting there), so the helper only dies of the bounded wait's
  // SIGKILL.
  if (!kThreadSanitizer) {
    EXPECT_EQ(ended[0].Number("signal"), GetParam()) << ended[0].line;
  }

  // A round trip through the I/O thread, which would have seen a stop by now.
  ASSERT_TRUE(core.Send(MakeIpcPacket(0x01000000, 1, "ping", 4)));
  ASSERT_TRUE(core.Receive().has_value());
  EXPECT_EQ(core.Stdout().find(kStopText), std::string::npos) << core.Stdout();
  std::vector<PluginCall> pipes = plugin.Calls("broken-pipe");
  ASSERT_EQ(pipes.size(), 1u);
  EXPECT_EQ(pipes[0].Number("errno"), EPIPE);
  ASSERT_TRUE(core.SendStop());
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
}

INSTANTIATE_TEST_SUITE_P(Signals, HelperSignal, ::testing::Values(SIGTERM, SIGINT, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

// The other handlers the core installs act in helpers as if absent too. The
// narrowing signal ends a forked helper as it would without the core. A
// helper that shares the core's memory and signal table (clone) and writes
// into a broken pipe fails with EPIPE, as the core does, and leaves the
// core's dispositions alone: the core's own broken-pipe write after it fails
// the same way instead of ending the core.
TEST_F(ProcessEntry, HelpersMadeWithoutExecLeaveTheCoresHandlersAlone) {
  // qemu-user can neither deliver the highest real-time signal nor clone a
  // process that shares memory (the board runs it).
  if (UnderEmulator()) GTEST_SKIP() << "beyond the emulator";
  // ThreadSanitizer keeps the helper's signals back (see above) and cannot
  // follow a clone that shares its memory.
  TestPlugin plugin = install.AddTestPlugin(
      "forker.so", std::string("id 0x00100000\non open fork\non open kill-child narrowing\n") +
                       (kThreadSanitizer ? "" : "on open clone-broken-pipe\n") + "on open broken-pipe\n");
  CoreProcess core(install);
  ASSERT_TRUE(core.WaitUntilStarted()) << core.Stdout();
  std::vector<PluginCall> ended = plugin.Calls("child-ended");
  std::vector<PluginCall> sent = plugin.Calls("narrowing-signal");
  ASSERT_EQ(ended.size(), 1u);
  ASSERT_EQ(sent.size(), 1u);
  if (!kThreadSanitizer) {
    EXPECT_EQ(ended[0].Number("signal"), sent[0].Number("signal")) << ended[0].line;
    std::vector<PluginCall> cloned = plugin.Calls("cloned");
    ASSERT_EQ(cloned.size(), 1u);
    EXPECT_EQ(cloned[0].Number("errno"), EPIPE) << cloned[0].line;
    EXPECT_EQ(cloned[0].Number("status"), 0) << cloned[0].line;
  }
  std::vector<PluginCall> pipes = plugin.Calls("broken-pipe");
  ASSERT_EQ(pipes.size(), 1u);
  EXPECT_EQ(pipes[0].Number("errno"), EPIPE);
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
}

// ---- Fatal signals ----------------------------------------------------------------

// A plugin that crashes the core ends it as it always did, and the log's last
// lines from the dying thread (regular expressions of their texts) name the thread, the plugin's
// entry and the faulting instruction, on the console and in syslog.
struct FatalCase {
  const char* name;
  std::string crasher;  // crasher.so's configuration
  std::string raiser;   // raiser.so's, which raises the event delivered
  int signal;
  std::vector<std::string> lines;
};

class Fatal : public ProcessEntry, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(Fatal, SignalNamesThePlugin) {
  if (kAddressSanitizer || kThreadSanitizer) GTEST_SKIP() << "the sanitizer's report stays its own";
  const FatalCase& c = GetParam();
  install.AddTestPlugin("crasher.so", c.crasher);
  install.AddTestPlugin("raiser.so", c.raiser);
  SpawnOptions options;
  options.captureSyslog = SyslogCaptureUnavailable().empty();
  options.limits = {{RLIMIT_CORE, 0}};
  CoreProcess core(install, options);
  EXPECT_EQ(core.WaitExit(), (ExitStatus{false, 0, c.signal}));
  // In this order; other threads may still log between them until the end.
  const std::vector<std::string> out = SplitLines(core.Stdout());
  const std::vector<std::string> records = core.SyslogRecords();
  auto line = out.begin();
  for (const std::string& text : c.lines) {
    const std::regex console("\x1b\\[31m[0-9:]{8}\x1b\\[36m core  \x1b\\[0m " + text + "\n");
    line = std::find_if(line, out.end(),
                        [&](const std::string& l) { return std::regex_match(l, console); });
    ASSERT_NE(line, out.end()) << text << "\n" << core.Stdout();
    if (!options.captureSyslog) continue;
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const std::string& record) {
      return std::regex_match(
          record, std::regex("<10>.* dvrcore\\[" + std::to_string(core.Pid()) + "\\]: " + text));
    })) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Signal, Fatal,
    ::testing::Values(
        FatalCase{"MainWrite", "id 1\nwrites 1\nmask 2 0xFFFFFFFF\non write null-write\n",
                  "id 2\non open raise type=2\n", SIGSEGV,
                  {"fatal signal 11 \\(SIGSEGV\\) in thread dvrcore",
                   "in plugin crasher\\.so Write \\(event type 0x00000002 from 0x00000002\\)",
                   "at address 0x0 \\(no object\\), instruction crasher\\.so\\+0x[0-9a-f]+"}},
        FatalCase{"EventRead", "id 1\nreader 1\nmask 1 0xFFFFFFFF\non read null-write\n",
                  "id 2\non open raise source=0 type=1 flags=4 text=go\n", SIGSEGV,
                  {"fatal signal 11 \\(SIGSEGV\\) in thread crasher:ev",
                   "in plugin crasher\\.so Read \\(event type 0x00000001 from 0x00000000\\)",
                   "at address 0x0 \\(no object\\), instruction crasher\\.so\\+0x[0-9a-f]+"}},
        FatalCase{"OpenAbort", "id 1\non open abort\n", "id 2\n", SIGABRT,
                  {"fatal signal 6 \\(SIGABRT\\) in thread dvrcore",
                   "in plugin crasher\\.so Open"}}),
    [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

// The parent never identifies itself: the core waits its bounded time and
// starts anyway.
TEST_F(ProcessEntry, LinkWithoutIdentificationStillStarts) {
  CoreProcess core(install, SpawnOptions::WithParentLink());
  ASSERT_TRUE(core.WaitUntilStarted());
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
}

}  // namespace
}  // namespace dvrtest
