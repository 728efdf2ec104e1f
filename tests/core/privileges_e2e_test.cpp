// The privilege drop of the real executable with real users: what the kernel
// reports in /proc/<pid>/status of the running core (user and group IDs,
// supplementary groups, capability sets), what the core logs, how it exits,
// and the modes of the files it writes.
//
// Where the parent's user matters, the core is started through the harness's
// intermediate parent, whose real user ID is the one the core must take on.
// The only change to the user database is a user of the test's own, added
// with useradd and removed again.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/core_process.h"
#include "tests/support/test_dir.h"
#include "tests/support/sanitizers.h"

namespace dvrtest {
namespace {

// CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO, held from Init until the
// plugins are open; then only the first two.
constexpr uint64_t kCapsWhileLoading = 0x23000;
constexpr uint64_t kCapsWhenStarted = 0x3000;
constexpr uid_t kNobody = 65534;

// The fields of /proc/<pid>/status ("self" for the test), tabs and all.
std::map<std::string, std::string> ProcStatus(const std::string& pid) {
  std::map<std::string, std::string> fields;
  std::istringstream text(ReadTextFile("/proc/" + pid + "/status"));
  for (std::string line; std::getline(text, line);) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t value = line.find_first_not_of(" \t", colon + 1);
    fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

std::map<std::string, std::string> ProcStatus(pid_t pid) { return ProcStatus(std::to_string(pid)); }

uint64_t CapabilitySet(const std::map<std::string, std::string>& status, const std::string& name) {
  auto field = status.find(name);
  if (field == status.end()) {
    ADD_FAILURE() << "no " << name << " in the status file";
    return ~uint64_t{0};
  }
  return std::stoull(field->second, nullptr, 16);
}

// The Uid: or Gid: value of a process whose four IDs (real, effective,
// saved, file system) are all `id`.
std::string FourIds(unsigned id) {
  std::string one = std::to_string(id);
  return one + "\t" + one + "\t" + one + "\t" + one;
}

std::set<gid_t> GroupSet(const std::string& groupsField) {
  std::set<gid_t> groups;
  std::istringstream text(groupsField);
  for (unsigned long gid; text >> gid;) groups.insert(static_cast<gid_t>(gid));
  return groups;
}

// The core's files are for its own user only (umask 077).
void ExpectOwnerOnlyFile(const std::string& path, uid_t owner) {
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0) << path << ": " << std::strerror(errno);
  EXPECT_EQ(status.st_mode & 07777, 0600u) << path;
  EXPECT_EQ(status.st_uid, owner) << path;
}

size_t CountOccurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) count++;
  return count;
}

bool RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A user made for one test, with a private primary group and one
// supplementary group, so that the switch of groups shows; removed again at
// the end. Where users cannot be added it is nobody, without extra groups.
class ScratchUser {
 public:
  ScratchUser() {
    const std::string base = "dvre2e" + std::to_string(getpid());
    if (RunQuietly("groupadd " + base + "x")) extraGroup_ = base + "x";
    if (!extraGroup_.empty() &&
        RunQuietly("useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "
                   "--user-group --groups " + extraGroup_ + " " + base)) {
      name_ = base;
    }
    const passwd* entry = name_.empty() ? getpwuid(kNobody) : getpwnam(name_.c_str());
    if (entry == nullptr) return;
    uid_ = entry->pw_uid;
    primaryGroup_ = entry->pw_gid;
    groups_.insert(entry->pw_gid);
    if (!name_.empty()) {
      const group* extra = getgrnam(extraGroup_.c_str());
      if (extra != nullptr) groups_.insert(extra->gr_gid);
    }
  }
  ~ScratchUser() {
    if (!name_.empty()) {
      RunQuietly("userdel " + name_);
      RunQuietly("groupdel " + name_);  // when userdel kept the private group
    }
    if (!extraGroup_.empty()) RunQuietly("groupdel " + extraGroup_);
  }
  ScratchUser(const ScratchUser&) = delete;
  ScratchUser& operator=(const ScratchUser&) = delete;

  bool Valid() const { return !groups_.empty(); }
  uid_t Uid() const { return uid_; }
  gid_t PrimaryGroup() const { return primaryGroup_; }
  // The primary and the supplementary group: what the core's process must
  // list as its groups.
  const std::set<gid_t>& Groups() const { return groups_; }

 private:
  std::string name_;        // empty: the fallback to nobody
  std::string extraGroup_;  // empty: not created
  uid_t uid_ = 0;
  gid_t primaryGroup_ = 0;
  std::set<gid_t> groups_;  // empty: no user found
};

class CorePrivilegeDrop : public ::testing::Test {
 protected:
  void SetUp() override {
    auto self = ProcStatus("self");
    if (getuid() != 0 || (CapabilitySet(self, "CapPrm") & kCapsWhileLoading) != kCapsWhileLoading) {
      GTEST_SKIP() << "needs root with CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO";
    }
  }

  TestDir dir;
  CoreInstall install{dir.Path()};
};

// Plugins load after Init and before the narrowing: a plugin whose Load sleeps
// holds the core in that window while the test reads its status.
// Runs under ThreadSanitizer too: unlike a test process, the core has no
// other thread at Init, and the sanitizer starts its own thread only with the
// program's first one, so every thread has the secure bit that keeps the
// capabilities across the switch.
TEST_F(CorePrivilegeDrop, RootCoreTakesTheParentsUserAndGroupsAndNarrowsCapabilities) {
  ScratchUser user;
  ASSERT_TRUE(user.Valid()) << "no user to switch to";
  TestPlugin sleeper = install.AddTestPlugin("sleeper.so", "id 0x00100000\non load sleep 3000\n");
  // Threads that run plugin code before the narrowing, each alive after it:
  // a worker, an event thread, and threads the plugin made in Load and Open
  // (a reader thread starts after the narrowing), one of them waiting for a
  // real-time signal it chose as free, which must never be the core's.
  // The core's narrowing signal, sent to every thread while loading, must
  // change nothing: the narrowing has not begun.
  TestPlugin threads = install.AddTestPlugin(
      "threads.so",
      "id 0x00200000\nworker 1\nreader 1\nmask 1 0xFFFFFFFF\n"
      "on load own-thread\non load narrowing-signal\non open own-thread\non open sigwait\n"
      "on worker block\non reader block\non read block\n");
  install.AddTestPlugin("raiser.so", "id 0x00300000\non open raise source=0 type=1 text=go\n");
  SpawnOptions options;
  options.parentUid = static_cast<int>(user.Uid());
  CoreProcess core(install, options);
  ASSERT_TRUE(core.Started());

  ASSERT_TRUE(sleeper.WaitFor("load"));
  // The parent's user and groups throughout; capabilities narrower once started.
  auto expectCredentials = [&](const char* when, uint64_t capabilities) {
    auto status = ProcStatus(core.Pid());
    EXPECT_EQ(status["Uid"], FourIds(user.Uid())) << when;
    EXPECT_EQ(status["Gid"], FourIds(user.PrimaryGroup())) << when;
    EXPECT_EQ(GroupSet(status["Groups"]), user.Groups()) << when << ": " << status["Groups"];
    EXPECT_EQ(CapabilitySet(status, "CapEff"), capabilities) << when;
    EXPECT_EQ(CapabilitySet(status, "CapPrm"), capabilities) << when;
    EXPECT_EQ(CapabilitySet(status, "CapInh"), 0u) << when;
  };
  expectCredentials("loading", kCapsWhileLoading);
  // Only a read made before Load returned is known to precede the narrowing.
  ASSERT_TRUE(sleeper.Calls("slept").empty()) << "the status was read too late; lengthen the sleep";

  ASSERT_TRUE(core.WaitUntilStarted());
  expectCredentials("started", kCapsWhenStarted);
  // Capabilities belong to threads: every thread that existed before the
  // narrowing must be narrowed too, the plugins' included. ThreadSanitizer
  // and an emulator add threads of their own that the core cannot narrow.
  const std::string tasks = "/proc/" + std::to_string(core.Pid()) + "/task";
  for (int attempt = 0; !kThreadSanitizer && !UnderEmulator(); attempt++) {
    size_t wide = 0, threads = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      threads++;
      auto status = ProcStatus(std::to_string(core.Pid()) + "/task/" + task.path().filename().string());
      if (CapabilitySet(status, "CapEff") != kCapsWhenStarted) wide++;
    }
    if (wide == 0) {
      EXPECT_GE(threads, 8u);  // main, I/O, worker, reader, event, three of the plugin's
      break;
    }
    ASSERT_LT(attempt, 100) << wide << " of " << threads << " threads keep wider capabilities\n"
                            << core.Stdout();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  EXPECT_EQ(core.Stdout().find("failed"), std::string::npos) << core.Stdout();
  if (!kThreadSanitizer && !UnderEmulator()) {  // their own threads cannot be narrowed
    EXPECT_EQ(core.Stdout().find("not narrowed"), std::string::npos) << core.Stdout();
  }
  EXPECT_EQ(threads.Calls("sigwait-chose").size(), 1u);
  EXPECT_TRUE(threads.Calls("sigwait-got").empty());
  ASSERT_EQ(threads.Calls("narrowing-signal").size(), 1u);
  EXPECT_GE(threads.Calls("narrowing-signal")[0].Number("signal"), SIGRTMIN);
  ExpectOwnerOnlyFile(install.WorkDir() + "/plugins.xml", user.Uid());
  ExpectOwnerOnlyFile(install.WorkDir() + "/core.xml", user.Uid());
}

// A thread that keeps the narrowing signal blocked keeps its capabilities:
// the core reports it as a failure.
TEST_F(CorePrivilegeDrop, ThreadLeftUnnarrowedIsLoggedAsAFailure) {
  if (getpwuid(kNobody) == nullptr) GTEST_SKIP() << "no password entry for " << kNobody;
  // qemu-user keeps its guest's signal masks to itself (the board runs it).
  if (UnderEmulator()) GTEST_SKIP() << "signal masks are the emulator's";
  TestPlugin blocker = install.AddTestPlugin("blocker.so", "id 0x00100000\non load block-narrowing\n");
  SpawnOptions options;
  options.parentUid = static_cast<int>(kNobody);
  CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  auto blocking = blocker.WaitFor("blocking-narrowing");
  ASSERT_TRUE(blocking);
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  const std::regex failure = ConsoleLine(
      1, "core  ", "capabilities of thread " + std::to_string(blocking->Number("tid")) +
                       " not narrowed: it blocks the signal that narrows it");
  bool logged = false;
  for (const std::string& line : SplitLines(core.Stdout())) logged |= std::regex_match(line, failure);
  EXPECT_TRUE(logged) << core.Stdout();
}

// The core keeps its capabilities across its own change of user, and only
// that one: a helper that a plugin starts and that gives up root as daemons
// do loses them, as anywhere else.
TEST_F(CorePrivilegeDrop, HelpersThatPluginsStartLoseCapabilitiesWhenTheyChangeUser) {
  TestPlugin starter = install.AddTestPlugin("starter.so", "id 0x00100000\non open fork-as 65534\n");
  CoreProcess core(install);
  ASSERT_TRUE(core.WaitUntilStarted());
  auto forked = starter.WaitFor("forked");
  ASSERT_TRUE(forked);
  const pid_t helper = static_cast<pid_t>(forked->Number("pid"));
  ASSERT_GT(helper, 0) << forked->line;
  std::map<std::string, std::string> status;
  for (int i = 0; i < 500; i++) {  // until the helper has switched
    status = ProcStatus(helper);
    if (status["Uid"] == FourIds(kNobody)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(helper, SIGKILL);
  ASSERT_EQ(status["Uid"], FourIds(kNobody));
  EXPECT_EQ(CapabilitySet(status, "CapEff"), 0u);
  EXPECT_EQ(CapabilitySet(status, "CapPrm"), 0u);
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
}

// The run before left core.xml to root, mode 0600; the core now runs as the
// parent's user and cannot read it. The operator's setting is not the
// core's to overwrite: it says so and leaves the file as it is.
TEST_F(CorePrivilegeDrop, CoreXmlTheNewUserCannotOpenIsLeftAsItIs) {
  ScratchUser user;
  ASSERT_TRUE(user.Valid()) << "no user to switch to";
  const std::string coreXml = install.WorkDir() + "/core.xml";
  const std::string setting = "<Nvrx><Memory Throttling=\"0\"/></Nvrx>";
  WriteTextFile(coreXml, setting);
  // The working directory is the new user's to write (CoreInstall makes it
  // so): a rewrite would succeed.
  ASSERT_EQ(chmod(coreXml.c_str(), 0600), 0);
  SpawnOptions options;
  options.parentUid = static_cast<int>(user.Uid());
  CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  bool reported = false;
  for (const std::string& line : SplitLines(core.Stdout())) {
    reported |= std::regex_match(
        line, ConsoleLine(3, "core  ", std::string("core.xml cannot be opened (") +
                                           std::strerror(EACCES) + "): left as it is, defaults apply"));
  }
  EXPECT_TRUE(reported) << core.Stdout();
  EXPECT_EQ(ReadTextFile(coreXml), setting);
  ExpectOwnerOnlyFile(coreXml, 0);
  EXPECT_FALSE(FileExists(coreXml + ".bak"));
  ExpectOwnerOnlyFile(install.WorkDir() + "/plugins.xml", user.Uid());
}

// Also when the core's narrowing signal reaches it: the narrowing is not
// for a root core.
TEST_F(CorePrivilegeDrop, RootParentLeavesRootCoreAsItIs) {
  auto self = ProcStatus("self");
  TestPlugin signaller =
      install.AddTestPlugin("signaller.so", "id 0x00100000\non open narrowing-signal\n");
  CoreProcess core(install);
  ASSERT_TRUE(core.WaitUntilStarted());
  ASSERT_EQ(signaller.Calls("narrowing-signal").size(), 1u);
  EXPECT_GE(signaller.Calls("narrowing-signal")[0].Number("signal"), SIGRTMIN);
  auto started = ProcStatus(core.Pid());
  EXPECT_EQ(started["Uid"], FourIds(0));
  EXPECT_EQ(started["Gid"], self["Gid"]);
  EXPECT_EQ(GroupSet(started["Groups"]), GroupSet(self["Groups"]));
  EXPECT_EQ(CapabilitySet(started, "CapEff"), CapabilitySet(self, "CapEff"));
  EXPECT_EQ(CapabilitySet(started, "CapPrm"), CapabilitySet(self, "CapPrm"));
  EXPECT_EQ(CapabilitySet(started, "CapInh"), CapabilitySet(self, "CapInh"));

  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  EXPECT_EQ(core.Stdout().find("capset failed"), std::string::npos) << core.Stdout();
  ExpectOwnerOnlyFile(install.WorkDir() + "/plugins.xml", 0);
  ExpectOwnerOnlyFile(install.WorkDir() + "/core.xml", 0);
}

TEST_F(CorePrivilegeDrop, ParentUserWithoutPasswordEntryFailsInitialisation) {
  uid_t unknown = 54321;
  while (getpwuid(unknown) != nullptr) unknown++;
  SpawnOptions options;
  options.parentUid = static_cast<int>(unknown);
  options.captureSyslog = SyslogCaptureUnavailable().empty();
  CoreProcess core(install, options);
  ASSERT_TRUE(core.Started());
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(2));

  EXPECT_NE(core.Stderr().find("failed to initialize core"), std::string::npos) << core.Stderr();
  // Level 100: red time stamp. The errno text depends on the C library's
  // password lookup, so any text follows the colon.
  static const std::regex kFailure(
      "\x1b\\[31m[0-9]{2}:[0-9]{2}:[0-9]{2}\x1b\\[36m core  \x1b\\[0m getpwuid failed: [^\n]*\n");
  bool logged = false;
  for (const std::string& line : SplitLines(core.Stdout())) logged |= std::regex_match(line, kFailure);
  EXPECT_TRUE(logged) << core.Stdout();
  if (options.captureSyslog) {
    EXPECT_TRUE(core.WaitForSyslog("getpwuid failed: "));
  }
  EXPECT_EQ(core.Stdout().find(dvrtest::kStartedLine), std::string::npos);
  EXPECT_FALSE(FileExists(install.WorkDir() + "/plugins.xml"));
}

// Started as the parent's user, the core has no capabilities to keep: both
// capset calls (Init and the narrowing in Start) fail, and it runs anyway.
TEST_F(CorePrivilegeDrop, UnprivilegedCoreOfTheSameUserLogsCapsetFailuresAndRuns) {
  if (getpwuid(kNobody) == nullptr) GTEST_SKIP() << "no password entry for " << kNobody;
  SpawnOptions options;
  options.parentUid = static_cast<int>(kNobody);
  options.coreUid = static_cast<int>(kNobody);
  CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  auto started = ProcStatus(core.Pid());
  EXPECT_EQ(started["Uid"], FourIds(kNobody));
  EXPECT_EQ(CapabilitySet(started, "CapEff"), 0u);
  EXPECT_EQ(CapabilitySet(started, "CapPrm"), 0u);

  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  const std::string text = std::string("capset failed: ") + std::strerror(EPERM);
  size_t yellow = 0;
  for (const std::string& line : SplitLines(core.Stdout())) {
    yellow += std::regex_match(line, ConsoleLine(3, "core  ", text));
  }
  EXPECT_EQ(yellow, 2u) << core.Stdout();
  EXPECT_EQ(CountOccurrences(core.Stdout(), text), 2u) << core.Stdout();
  ExpectOwnerOnlyFile(install.WorkDir() + "/plugins.xml", kNobody);
}

// The reverse: a core without privileges cannot become its root parent's user.
TEST_F(CorePrivilegeDrop, UnprivilegedCoreOfARootParentFailsToSwitch) {
  if (getpwuid(kNobody) == nullptr) GTEST_SKIP() << "no password entry for " << kNobody;
  SpawnOptions options;
  options.coreUid = static_cast<int>(kNobody);
  CoreProcess core(install, options);
  ASSERT_TRUE(core.Started());
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(2));
  EXPECT_NE(core.Stderr().find("failed to initialize core"), std::string::npos) << core.Stderr();
  bool logged = false;
  for (const std::string& line : SplitLines(core.Stdout())) {
    logged |= std::regex_match(
        line, ConsoleLine(1, "core  ", std::string("setuid/gid failed: ") + std::strerror(EPERM)));
  }
  EXPECT_TRUE(logged) << core.Stdout();
}

}  // namespace
}  // namespace dvrtest
