// The process harness: installing, starting and watching the real core.
//
// DESIGN: everything the child needs between fork and exec (argument and
// environment arrays, descriptor plan, mount paths) is built before fork,
// because the test program may have other threads and the child may only
// make async-signal-safe calls. The child reports a failure before exec as a
// message on a close-on-exec status pipe; end of file on that pipe means the
// exec succeeded. In the intermediate-parent mode the same pipe also carries
// the core's process ID.
#include "tests/support/core_process.h"
#include "tests/support/sanitizers.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "ipc/packets.h"
#include "tests/support/test_dir.h"

extern char** environ;

namespace dvrtest {

namespace {

// ---- Messages from the child on the status pipe -----------------------------

enum ChildStage : int32_t {
  kStageCorePid,  // not a failure: the core's process ID (intermediate mode)
  kStageUnshare,
  kStageMakePrivate,
  kStageBindOldDev,
  kStageMountDevTmpfs,
  kStageBindDevNode,
  kStageBindDevLog,
  kStageDescriptors,
  kStageChdir,
  kStageSetParentUid,
  kStageFork,
  kStageSetCoreUid,
  kStageExec,
};

const char* StageName(int32_t stage) {
  switch (stage) {
    case kStageUnshare: return "unshare(CLONE_NEWNS)";
    case kStageMakePrivate: return "making / private";
    case kStageBindOldDev: return "binding /dev aside";
    case kStageMountDevTmpfs: return "mounting a tmpfs on /dev";
    case kStageBindDevNode: return "binding a device node";
    case kStageBindDevLog: return "binding the syslog socket at /dev/log";
    case kStageDescriptors: return "arranging descriptors";
    case kStageChdir: return "changing to the working directory";
    case kStageSetParentUid: return "setresuid of the intermediate parent";
    case kStageFork: return "fork of the intermediate parent";
    case kStageSetCoreUid: return "setresuid of the core";
    case kStageExec: return "exec";
    default: return "unknown stage";
  }
}

struct ChildMessage {
  int32_t stage;
  int32_t value;  // errno, or the core's process ID
};

void SendMessage(int fd, int32_t stage, int32_t value) {
  ChildMessage message{stage, value};
  ssize_t ignored = write(fd, &message, sizeof message);
  (void)ignored;
}

[[noreturn]] void ChildFail(int statusFd, int32_t stage) {
  SendMessage(statusFd, stage, errno);
  _exit(127);
}

// ---- The private /dev with the test's syslog socket -------------------------

// Paths for the child, computed before fork.
struct SyslogPlan {
  bool replaceDev = false;  // the host has no /dev/log to bind over
  std::string socketPath;
  std::string stage;        // where the real /dev is bound while the new one is built
  std::vector<std::pair<std::string, std::string>> fileNodes;  // {source, target}
  std::vector<std::pair<std::string, std::string>> dirNodes;
};

SyslogPlan MakeSyslogPlan(const std::string& socketPath, const std::string& stage) {
  SyslogPlan plan;
  plan.socketPath = socketPath;
  plan.stage = stage;
  struct stat status;
  plan.replaceDev = lstat("/dev/log", &status) != 0;
  // What the core and its libraries may open under /dev.
  for (const char* name : {"null", "zero", "full", "random", "urandom", "tty", "ptmx"}) {
    std::string path = std::string("/dev/") + name;
    if (stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
      plan.fileNodes.emplace_back(stage + "/" + name, path);
    }
  }
  for (const char* name : {"pts", "shm"}) {
    std::string path = std::string("/dev/") + name;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      plan.dirNodes.emplace_back(stage + "/" + name, path);
    }
  }
  return plan;
}

// In the child: a private mount namespace whose /dev/log is the test's socket.
// Async-signal-safe; fails through ChildFail.
void SetUpSyslogNamespace(const SyslogPlan& plan, int statusFd) {
  if (unshare(CLONE_NEWNS) != 0) ChildFail(statusFd, kStageUnshare);
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    ChildFail(statusFd, kStageMakePrivate);
  }
  if (plan.replaceDev) {
    if (mount("/dev", plan.stage.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      ChildFail(statusFd, kStageBindOldDev);
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0) {
      ChildFail(statusFd, kStageMountDevTmpfs);
    }
    for (const auto& node : plan.fileNodes) {
      int fd = open(node.second.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd >= 0) close(fd);
      if (mount(node.first.c_str(), node.second.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        ChildFail(statusFd, kStageBindDevNode);
      }
    }
    for (const auto& node : plan.dirNodes) {
      mkdir(node.second.c_str(), 0755);
      if (mount(node.first.c_str(), node.second.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        ChildFail(statusFd, kStageBindDevNode);
      }
    }
    if (symlink("/proc/self/fd", "/dev/fd") != 0 || symlink("/proc/self/fd/0", "/dev/stdin") != 0 ||
        symlink("/proc/self/fd/1", "/dev/stdout") != 0 ||
        symlink("/proc/self/fd/2", "/dev/stderr") != 0) {
      ChildFail(statusFd, kStageBindDevNode);
    }
    int fd = open("/dev/log", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) close(fd);
  }
  if (mount(plan.socketPath.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
    ChildFail(statusFd, kStageBindDevLog);
  }
  if (plan.replaceDev) umount2(plan.stage.c_str(), MNT_DETACH);
}

// ---- Descriptors in the child ----------------------------------------------------

// Closes every descriptor except those in keep[0, count) (sorted ascending).
void CloseAllExcept(const int* keep, int count, int limit) {
  int from = 0;
  for (int i = 0; i <= count; i++) {
    int to = i < count ? keep[i] - 1 : limit - 1;
    if (from <= to) {
#ifdef SYS_close_range
      if (syscall(SYS_close_range, from, i < count ? to : ~0U, 0) != 0)
#endif
      {
        for (int fd = from; fd <= to; fd++) close(fd);
      }
    }
    if (i < count) from = keep[i] + 1;
  }
}

// ---- Child plan ---------------------------------------------------------------------

struct ChildPlan {
  std::string execPath;
  std::vector<std::string> argvStrings;
  std::vector<std::string> envStrings;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::string workDir;
  std::vector<std::pair<int, int>> descriptors;  // {target in the core, source in the test}
  int descriptorLimit = 1024;
  bool syslog = false;
  SyslogPlan syslogPlan;
  int parentUid = -1;
  int coreUid = -1;
  std::vector<std::pair<int, uint64_t>> limits;

  // In the core, just before exec: async-signal-safe.
  void SetLimits() const {
    for (const auto& [resource, value] : limits) {
      const struct rlimit limit = {static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
      setrlimit(resource, &limit);
    }
  }

  void Seal() {
    for (auto& s : argvStrings) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    for (auto& s : envStrings) envp.push_back(&s[0]);
    envp.push_back(nullptr);
  }
};

// Runs in the child after fork; never returns.
[[noreturn]] void RunChild(const ChildPlan& plan, int statusFd) {
  setsid();
  if (plan.syslog) SetUpSyslogNamespace(plan.syslogPlan, statusFd);

  // Move the status pipe and every source above all targets first, so that a
  // dup2 onto a target never clobbers a source still needed.
  int above = 3;
  for (const auto& d : plan.descriptors) above = std::max(above, d.first + 1);
  statusFd = fcntl(statusFd, F_DUPFD_CLOEXEC, above);
  if (statusFd < 0) _exit(127);
  int keep[64];
  int kept = 0;
  int moved[64];
  int count = static_cast<int>(plan.descriptors.size());
  if (count > 63) ChildFail(statusFd, kStageDescriptors);
  for (int i = 0; i < count; i++) {
    moved[i] = fcntl(plan.descriptors[i].second, F_DUPFD_CLOEXEC, above);
    if (moved[i] < 0) ChildFail(statusFd, kStageDescriptors);
  }
  for (int i = 0; i < count; i++) {
    int target = plan.descriptors[i].first;
    if (dup2(moved[i], target) < 0) ChildFail(statusFd, kStageDescriptors);
    int at = kept++;
    while (at > 0 && keep[at - 1] > target) {
      keep[at] = keep[at - 1];
      at--;
    }
    keep[at] = target;
  }
  keep[kept++] = statusFd;  // above every target, so the order holds
  CloseAllExcept(keep, kept, plan.descriptorLimit);

  if (chdir(plan.workDir.c_str()) != 0) ChildFail(statusFd, kStageChdir);

  if (plan.parentUid >= 0) {
    // The intermediate parent: real user `parentUid`, still privileged.
    if (setresuid(plan.parentUid, 0, 0) != 0) ChildFail(statusFd, kStageSetParentUid);
    pid_t core = fork();
    if (core < 0) ChildFail(statusFd, kStageFork);
    if (core == 0) {
      const uid_t coreUid = plan.coreUid >= 0 ? plan.coreUid : 0;
      if (setresuid(coreUid, coreUid, coreUid) != 0) ChildFail(statusFd, kStageSetCoreUid);
      plan.SetLimits();
      execve(plan.execPath.c_str(), plan.argv.data(), plan.envp.data());
      ChildFail(statusFd, kStageExec);
    }
    SendMessage(statusFd, kStageCorePid, core);
    // Re-raising a crash signal of the core below must not dump this process.
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    CloseAllExcept(nullptr, 0, plan.descriptorLimit);
    int status = 0;
    while (waitpid(core, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
      // Die the same way, so that the test sees the core's fate.
      struct sigaction defaultAction;
      std::memset(&defaultAction, 0, sizeof defaultAction);
      defaultAction.sa_handler = SIG_DFL;
      sigaction(WTERMSIG(status), &defaultAction, nullptr);
      sigset_t all;
      sigfillset(&all);
      sigprocmask(SIG_UNBLOCK, &all, nullptr);
      kill(getpid(), WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
  }

  if (plan.coreUid >= 0 && setresuid(plan.coreUid, plan.coreUid, plan.coreUid) != 0) {
    ChildFail(statusFd, kStageSetCoreUid);
  }
  plan.SetLimits();
  execve(plan.execPath.c_str(), plan.argv.data(), plan.envp.data());
  ChildFail(statusFd, kStageExec);
}

// Reads the child's messages until end of file. Returns the failure, if any.
std::optional<ChildMessage> ReadChildMessages(int fd, pid_t& corePid) {
  std::optional<ChildMessage> failure;
  ChildMessage message;
  while (true) {
    ssize_t n = read(fd, &message, sizeof message);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof message)) break;
    if (message.stage == kStageCorePid) {
      corePid = message.value;
    } else {
      failure = message;
    }
  }
  return failure;
}

// ---- Paths from the build ----------------------------------------------------------

// `name` as found on PATH (the child cannot search safely), or itself.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; entry++) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool replaced = std::any_of(overrides.begin(), overrides.end(), [&name](const std::string& o) {
      return o.compare(0, name.size() + 1, name + "=") == 0;
    });
    if (!replaced) result.push_back(text);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

int DescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65536;
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536));
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// The child's copies of its descriptors, closed in the test once the child
// has its own (or when starting fails half-way).
struct ChildEnds {
  std::vector<int> fds;
  ~ChildEnds() {
    for (int fd : fds) close(fd);
  }
};

}  // namespace

const std::vector<std::string>& EmulatorCommand() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> result;
    std::stringstream text(DVRCORE_EMULATOR);
    for (std::string word; std::getline(text, word, ';');) {
      if (!word.empty()) result.push_back(word);
    }
    if (!result.empty()) {
      result[0] = FindProgram(result[0]);
      if (access(result[0].c_str(), X_OK) != 0) result.clear();
    }
    return result;
  }();
  return words;
}

std::string CoreExecutablePath() { return DVRCORE_EXE; }
std::string TestPluginPath() { return DVR_TEST_PLUGIN; }

// ---- CoreInstall ----------------------------------------------------------------------

CoreInstall::CoreInstall(const std::string& root) : root_(root) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (const std::string& dir : {BinDir(), PluginDir(PluginDirectory::kPlugins),
                                 PluginDir(PluginDirectory::kProtected), WorkDir()}) {
    fs::create_directories(dir, error);
    if (error) ADD_FAILURE() << "cannot create " << dir << ": " << error.message();
  }
  // A core that drops to its parent's user still writes plugins.xml, core.xml
  // and the test plugins' records.
  for (const std::string& dir : {PluginDir(PluginDirectory::kPlugins),
                                 PluginDir(PluginDirectory::kProtected), WorkDir()}) {
    chmod(dir.c_str(), 0777);
  }
  fs::copy_file(CoreExecutablePath(), Executable(), fs::copy_options::overwrite_existing, error);
  if (error) ADD_FAILURE() << "cannot copy the core to " << Executable() << ": " << error.message();
}

std::string CoreInstall::PluginDir(PluginDirectory which) const {
  return BinDir() + (which == PluginDirectory::kPlugins ? "/plugins" : "/protected-plugins");
}

std::string CoreInstall::AddPluginFile(const std::string& fileName, const std::string& sourcePath,
                                       PluginDirectory where) const {
  std::string path = PluginDir(where) + "/" + fileName;
  std::error_code error;
  std::filesystem::copy_file(sourcePath, path, std::filesystem::copy_options::overwrite_existing, error);
  if (error) ADD_FAILURE() << "cannot copy " << sourcePath << " to " << path << ": " << error.message();
  return path;
}

TestPlugin CoreInstall::AddTestPlugin(const std::string& fileName, const std::string& config,
                                      PluginDirectory where) const {
  TestPlugin plugin;
  plugin.path = AddPluginFile(fileName, TestPluginPath(), where);
  std::string stem = plugin.path;
  if (stem.size() > 3 && stem.compare(stem.size() - 3, 3, ".so") == 0) stem.resize(stem.size() - 3);
  plugin.configPath = stem + ".conf";
  plugin.eventsPath = stem + ".events";
  WriteTextFile(plugin.configPath, config);
  return plugin;
}

// ---- Exit status, syslog probe, lines --------------------------------------------------

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  if (status.exited) return out << "exit status " << status.code;
  if (status.signal) return out << "killed by signal " << status.signal << " (" << strsignal(status.signal) << ")";
  return out << "not exited";
}

std::string SyslogCaptureUnavailable() {
  static const std::string reason = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "dvrtest-syslog-probe-XXXXXX").string();
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr) return std::string("mkdtemp: ") + std::strerror(errno);
    std::string socketPath = std::string(dir.data()) + "/log";
    std::string stage = std::string(dir.data()) + "/dev";
    WriteTextFile(socketPath, "");
    mkdir(stage.c_str(), 0700);
    SyslogPlan plan = MakeSyslogPlan(socketPath, stage);
    int pipeFds[2];
    std::string why;
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
      why = std::string("pipe: ") + std::strerror(errno);
    } else {
      pid_t child = fork();
      if (child == 0) {
        close(pipeFds[0]);
        SetUpSyslogNamespace(plan, pipeFds[1]);
        _exit(0);
      }
      close(pipeFds[1]);
      pid_t ignored = -1;
      std::optional<ChildMessage> failure = ReadChildMessages(pipeFds[0], ignored);
      close(pipeFds[0]);
      int status = 0;
      if (child > 0) waitpid(child, &status, 0);
      if (child < 0) {
        why = std::string("fork: ") + std::strerror(errno);
      } else if (failure) {
        why = std::string(StageName(failure->stage)) + ": " + std::strerror(failure->value);
      } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = "the probe process failed";
      }
    }
    std::error_code error;
    std::filesystem::remove_all(dir.data(), error);
    return why;
  }();
  return reason;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

namespace {

std::string RegexEscape(const std::string& text) {
  static const std::string kSpecial = "\\^$.|?*+()[]{}";
  std::string escaped;
  for (char c : text) {
    if (kSpecial.find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

std::regex ConsoleLine(int colour, const std::string& tag, const std::string& text) {
  static const std::string kStamp = "([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]";
  if (colour < 0) return std::regex(kStamp + RegexEscape(" " + tag + " " + text + "\n"));
  return std::regex(RegexEscape("\x1b[3" + std::to_string(colour) + "m") + kStamp +
                    RegexEscape("\x1b[36m " + tag + "\x1b[0m " + text + "\n"));
}

bool StampIsUtcBetween(const std::string& line, int64_t before, int64_t after) {
  std::smatch match;
  if (!std::regex_search(line, match, std::regex("([0-9]{2}):([0-9]{2}):([0-9]{2})"))) return false;
  long stamp = std::stol(match[1]) * 3600 + std::stol(match[2]) * 60 + std::stol(match[3]);
  for (int64_t t = before; t <= after; t++) {
    if (t % 86400 == stamp) return true;
  }
  return false;
}

// ---- ShiftedClock ----------------------------------------------------------------------

ShiftedClock::ShiftedClock(const std::string& directory, std::chrono::seconds offset)
    : file_(directory + "/clock-offset") {
  Set(offset);
}

void ShiftedClock::Use(SpawnOptions& options) const {
  options.environment.push_back(std::string("LD_PRELOAD=") + DVR_CLOCK_SHIM);
  options.environment.push_back("DVRTEST_CLOCK_OFFSET_FILE=" + file_);
}

void ShiftedClock::Set(std::chrono::seconds offset) {
  // Replaced, never rewritten in place: the core reads the file at every
  // reading of its clock and must never find it empty.
  WriteTextFile(file_ + ".new", std::to_string(offset.count()) + "\n");
  if (std::rename((file_ + ".new").c_str(), file_.c_str()) != 0) {
    ADD_FAILURE() << "cannot replace " << file_ << ": " << std::strerror(errno);
  }
  offset_ = offset;
}

int64_t ShiftedClock::Now() const { return static_cast<int64_t>(std::time(nullptr)) + offset_.count(); }

// ---- CoreProcess: start ---------------------------------------------------------------

CoreProcess::CoreProcess(const CoreInstall& install, SpawnOptions options) {
  outputMode_ = options.output;
  outputFile_ = options.outputFile;
  Spawn(install, options);
}

namespace {

// The command line, environment, working directory, users and limits the
// child starts the core with; the descriptors come later.
ChildPlan PlanCommand(const CoreInstall& install, const SpawnOptions& options) {
  ChildPlan plan;
  const std::vector<std::string>& emulator = EmulatorCommand();
  std::vector<std::string> environment = options.environment;
  if (!emulator.empty()) {
    plan.execPath = emulator[0];
    plan.argvStrings = emulator;
    // A library to preload is the core's, of its architecture: the emulator
    // hands it to the core (-E) instead of loading it into itself.
    for (auto entry = environment.begin(); entry != environment.end();) {
      if (entry->rfind("LD_PRELOAD=", 0) != 0) {
        ++entry;
        continue;
      }
      plan.argvStrings.insert(plan.argvStrings.end(), {"-E", *entry});
      entry = environment.erase(entry);
    }
  } else {
    plan.execPath = install.Executable();
  }
  plan.argvStrings.push_back(install.Executable());
  plan.argvStrings.insert(plan.argvStrings.end(), options.args.begin(), options.args.end());
  plan.envStrings = MergedEnvironment(environment);
  plan.workDir = options.workDir.empty() ? install.WorkDir() : options.workDir;
  plan.descriptorLimit = DescriptorLimit();
  plan.parentUid = options.parentUid;
  plan.coreUid = options.coreUid;
  plan.limits = options.limits;
  plan.Seal();
  return plan;
}

// The descriptors the core gets, one per number: a later entry for the same
// number wins (e.g. the link at 0 over stdin).
std::vector<std::pair<int, int>> UniqueDescriptors(const std::vector<std::pair<int, int>>& all) {
  std::vector<std::pair<int, int>> unique;
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    if (std::none_of(unique.begin(), unique.end(),
                     [&](const auto& d) { return d.first == it->first; })) {
      unique.push_back(*it);
    }
  }
  return unique;
}

}  // namespace

// Standard input from /dev/null, standard output as outputMode_ says and
// standard error into a pipe; the child's ends go to `childFds`.
bool CoreProcess::OpenStandardStreams(std::vector<std::pair<int, int>>& descriptors,
                                      std::vector<int>& childFds) {
  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  childFds.push_back(devNull);
  descriptors.emplace_back(0, devNull);

  int outChild = -1;
  if (outputMode_ == OutputMode::kPty) {
    int master = -1;
    struct termios raw;
    std::memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    if (openpty(&master, &ptySlaveFd_, nullptr, &raw, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << std::strerror(errno);
      return false;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(ptySlaveFd_, F_SETFD, FD_CLOEXEC);
    stdoutFd_ = master;
    outChild = ptySlaveFd_;
  } else if (outputMode_ == OutputMode::kPipe) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << std::strerror(errno);
      return false;
    }
    stdoutFd_ = fds[0];
    outChild = fds[1];
    childFds.push_back(outChild);
  } else {
    outChild = open(outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outChild < 0) {
      ADD_FAILURE() << "cannot open " << outputFile_ << ": " << std::strerror(errno);
      return false;
    }
    childFds.push_back(outChild);
  }
  descriptors.emplace_back(1, outChild);

  int errFds[2];
  if (pipe2(errFds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return false;
  }
  stderrFd_ = errFds[0];
  childFds.push_back(errFds[1]);
  descriptors.emplace_back(2, errFds[1]);

  return true;
}

// The socket pair of the parent link, the core's end at `linkFd`.
bool CoreProcess::OpenParentLink(int linkFd, std::vector<std::pair<int, int>>& descriptors,
                                 std::vector<int>& childFds) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    return false;
  }
  linkFd_ = pair[0];
  childFds.push_back(pair[1]);
  descriptors.emplace_back(linkFd, pair[1]);
  return true;
}

// The socket that stands in for the system log, at `socketPath`.
bool CoreProcess::OpenSyslog(const std::string& socketPath) {
  syslogFd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) {
    ADD_FAILURE() << "syslog socket path too long: " << socketPath;
    return false;
  }
  std::strcpy(address.sun_path, socketPath.c_str());
  if (syslogFd_ < 0 ||
      bind(syslogFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "syslog socket " << socketPath << ": " << std::strerror(errno);
    return false;
  }
  chmod(socketPath.c_str(), 0666);  // a core that dropped to another user still logs
  return true;
}

void CoreProcess::Spawn(const CoreInstall& install, const SpawnOptions& options) {
  ChildPlan plan = PlanCommand(install, options);
  ChildEnds childEnds;
  if (!OpenStandardStreams(plan.descriptors, childEnds.fds)) return;
  if (options.linkFd >= 0 && !OpenParentLink(options.linkFd, plan.descriptors, childEnds.fds)) {
    return;
  }
  for (const auto& extra : options.inherit) plan.descriptors.push_back(extra);
  plan.descriptors = UniqueDescriptors(plan.descriptors);
  if (options.captureSyslog) {
    std::string socketPath = install.Root() + "/syslog.sock";
    std::string stage = install.Root() + "/.dev";
    mkdir(stage.c_str(), 0700);
    if (!OpenSyslog(socketPath)) return;
    plan.syslog = true;
    plan.syslogPlan = MakeSyslogPlan(socketPath, stage);
  }

  // The child that becomes the core reports how far it got; then the
  // capture thread starts.
  int statusFds[2];
  int wakeFds[2];
  if (pipe2(statusFds, O_CLOEXEC) != 0 || pipe2(wakeFds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
  wakeReadFd_ = wakeFds[0];
  wakeWriteFd_ = wakeFds[1];

  pid_t child = fork();
  if (child == 0) {
    close(statusFds[0]);
    RunChild(plan, statusFds[1]);
  }
  int forkErrno = errno;
  close(statusFds[1]);
  if (child < 0) {
    close(statusFds[0]);
    ADD_FAILURE() << "fork: " << std::strerror(forkErrno);
    return;
  }
  child_ = child;
  corePid_ = child;
  std::optional<ChildMessage> failure = ReadChildMessages(statusFds[0], corePid_);
  close(statusFds[0]);
  captureThread_ = std::thread([this] { CaptureLoop(); });
  if (failure) {
    ADD_FAILURE() << "starting the core failed at " << StageName(failure->stage) << ": "
                  << std::strerror(failure->value);
    int status = 0;
    waitpid(child_, &status, 0);
    Reap(status);
    child_ = -1;
  }
}

// ---- CoreProcess: capture thread --------------------------------------------------------

void CoreProcess::CaptureLoop() {
  enum { kWake, kOut, kErr, kSyslog, kCount };
  struct pollfd fds[kCount] = {{wakeReadFd_, POLLIN, 0},
                               {stdoutFd_, POLLIN, 0},
                               {stderrFd_, POLLIN, 0},
                               {syslogFd_, POLLIN, 0}};
  std::vector<char> buffer(1 << 17);
  while (true) {
    uint64_t requested;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      requested = flushRequested_;
      if (requested == flushDone_) requested = 0;
    }
    // A pending flush polls without blocking until nothing is left to read.
    int ready = poll(fds, kCount, requested ? 0 : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (ready == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      flushDone_ = requested;
      changed_.notify_all();
      continue;
    }
    if (fds[kWake].revents) {
      ssize_t ignored = read(wakeReadFd_, buffer.data(), buffer.size());
      (void)ignored;
    }
    for (int i : {kOut, kErr}) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer.data(), buffer.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        fds[i].fd = -1;  // end of file (or EIO from a pty): stop polling it
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      (i == kOut ? stdout_ : stderr_).append(buffer.data(), static_cast<size_t>(n));
      changed_.notify_all();
    }
    if (fds[kSyslog].fd >= 0 && fds[kSyslog].revents) {
      ssize_t n = recv(syslogFd_, buffer.data(), buffer.size(), 0);
      if (n < 0 && errno != EINTR && errno != EAGAIN) fds[kSyslog].fd = -1;
      if (n >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        syslog_.emplace_back(buffer.data(), static_cast<size_t>(n));
        changed_.notify_all();
      }
    }
  }
}

void CoreProcess::Flush() {
  if (!captureThread_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t ticket = ++flushRequested_;
  char byte = 0;
  ssize_t ignored = write(wakeWriteFd_, &byte, 1);
  (void)ignored;
  if (!changed_.wait_for(lock, kWaitTimeout, [&] { return flushDone_ >= ticket; })) {
    ADD_FAILURE() << "the output capture did not drain";
  }
}

void CoreProcess::StopCapture() {
  if (captureThread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    char byte = 0;
    ssize_t ignored = write(wakeWriteFd_, &byte, 1);
    (void)ignored;
    captureThread_.join();
  }
  for (int* fd : {&stdoutFd_, &stderrFd_, &syslogFd_, &wakeReadFd_, &wakeWriteFd_, &ptySlaveFd_}) {
    CloseIfOpen(*fd);
  }
}

// ---- CoreProcess: exit and signals ------------------------------------------------------

void CoreProcess::Reap(int waitStatus) {
  reaped_ = true;
  if (WIFEXITED(waitStatus)) {
    status_ = ExitStatus::Code(WEXITSTATUS(waitStatus));
  } else if (WIFSIGNALED(waitStatus)) {
    status_ = ExitStatus{false, 0, WTERMSIG(waitStatus)};
  }
}

// ThreadSanitizer delays a signal that arrives while the receiving thread
// runs until that thread's next call into its runtime, and now and then never
// delivers it: a stop signal sent while the core's main thread delivers its
// start-up events is taken from the kernel and its handler never runs (seen
// with the runtimes of GCC 12 and clang 14 in about 1 of 300 starts, and in a
// twenty-line program without the core; never without the sanitizer). The
// core stops on any of the three signals and ignores them once it is
// stopping, so in those builds a stop signal is sent again until the core
// shows it is stopping or has exited. The other builds test the first signal.
void CoreProcess::Signal(int signal) {
  if (!Started() || reaped_) {
    ADD_FAILURE() << "cannot signal a core that is not running";
    return;
  }
  if (kill(corePid_, signal) != 0) ADD_FAILURE() << "kill " << corePid_ << ": " << std::strerror(errno);
  if (kThreadSanitizer && (signal == SIGINT || signal == SIGTERM || signal == SIGQUIT)) {
    unansweredSignal_ = signal;
    signalledAt_ = std::chrono::steady_clock::now();
  }
}

void CoreProcess::RepeatUnansweredSignal() {
  if (unansweredSignal_ == 0 || reaped_) return;
  if (Stdout().find(kStoppingLine) != std::string::npos) {
    unansweredSignal_ = 0;
  } else if (std::chrono::steady_clock::now() - signalledAt_ > std::chrono::seconds(2)) {
    kill(corePid_, unansweredSignal_);
    signalledAt_ = std::chrono::steady_clock::now();
  }
}

ExitStatus CoreProcess::WaitExit(Duration timeout) {
  if (!Started()) return status_;
  if (!reaped_) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(child_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      RepeatUnansweredSignal();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
      killpg(child_, SIGKILL);
      waitpid(child_, &status, 0);
      Reap(status);
      Flush();
      ADD_FAILURE() << "the core did not exit within " << timeout.count() << " ms; killed.\nstdout:\n"
                    << Stdout() << "\nstderr:\n" << Stderr();
      return status_;
    }
    Reap(status);
  }
  Flush();
  return status_;
}

CoreProcess::~CoreProcess() {
  if (Started() && !reaped_) {
    killpg(child_, SIGKILL);
    int status = 0;
    waitpid(child_, &status, 0);
  }
  CloseIfOpen(linkFd_);
  StopCapture();
}

// ---- CoreProcess: captured output ---------------------------------------------------------

std::string CoreProcess::Stdout() const {
  if (outputMode_ == OutputMode::kFile) return ReadTextFile(outputFile_);
  std::lock_guard<std::mutex> lock(mutex_);
  return stdout_;
}

std::string CoreProcess::Stderr() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stderr_;
}

std::vector<std::string> CoreProcess::SyslogRecords() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return syslog_;
}

template <typename Ready>
bool CoreProcess::WaitUntil(Duration timeout, Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const auto slice = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
      if (changed_.wait_until(lock, slice, [&] { return ready(); })) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    RepeatUnansweredSignal();
  }
}

bool CoreProcess::WaitForStdout(const std::string& text, Duration timeout) {
  if (WaitUntil(timeout, [&] { return stdout_.find(text) != std::string::npos; })) return true;
  ADD_FAILURE() << "no \"" << text << "\" on standard output within " << timeout.count()
                << " ms; captured:\n" << Stdout();
  return false;
}

bool CoreProcess::WaitForStderr(const std::string& text, Duration timeout) {
  if (WaitUntil(timeout, [&] { return stderr_.find(text) != std::string::npos; })) return true;
  ADD_FAILURE() << "no \"" << text << "\" on standard error within " << timeout.count()
                << " ms; captured:\n" << Stderr();
  return false;
}

std::optional<std::string> CoreProcess::WaitForStdoutLine(const std::regex& line, Duration timeout) {
  std::optional<std::string> found;
  WaitUntil(timeout, [&] {
    for (std::string& candidate : SplitLines(stdout_)) {
      if (std::regex_match(candidate, line)) {
        found = std::move(candidate);
        return true;
      }
    }
    return false;
  });
  if (!found) {
    ADD_FAILURE() << "no matching line on standard output within " << timeout.count()
                  << " ms; captured:\n" << Stdout();
  }
  return found;
}

std::optional<std::string> CoreProcess::WaitForSyslog(const std::string& text, Duration timeout) {
  std::optional<std::string> found;
  WaitUntil(timeout, [&] {
    for (const std::string& record : syslog_) {
      if (record.find(text) != std::string::npos) {
        found = record;
        return true;
      }
    }
    return false;
  });
  if (!found) {
    ADD_FAILURE() << "no syslog record with \"" << text << "\" within " << timeout.count() << " ms";
  }
  return found;
}

// ---- CoreProcess: the parent's end of the link --------------------------------------------

bool CoreProcess::Send(const std::vector<uint8_t>& bytes) {
  if (linkFd_ < 0) {
    ADD_FAILURE() << "no link to send on";
    return false;
  }
  ssize_t sent = send(linkFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(bytes.size())) {
    ADD_FAILURE() << "send on the link: " << (sent < 0 ? std::strerror(errno) : "short write");
    return false;
  }
  return true;
}

bool CoreProcess::SendIdentification(const std::string& libraryFile, const std::string& libraryVersion) {
  std::string payload = libraryFile + '\0' + libraryVersion;
  return Send(MakeIpcPacket(0, kIpcTypeIdentification, payload.data(), payload.size()));
}

bool CoreProcess::SendStop() { return Send(MakeIpcPacket(0, kIpcTypeStop, nullptr, 0)); }

std::optional<std::vector<uint8_t>> CoreProcess::Receive(Duration timeout) {
  if (linkFd_ < 0) {
    ADD_FAILURE() << "no link to receive on";
    return std::nullopt;
  }
  struct pollfd fd = {linkFd_, POLLIN, 0};
  int ready;
  while ((ready = poll(&fd, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
  }
  if (ready <= 0) return std::nullopt;
  std::vector<uint8_t> record(1 << 17);
  ssize_t n = recv(linkFd_, record.data(), record.size(), 0);
  if (n <= 0) return std::nullopt;
  record.resize(static_cast<size_t>(n));
  return record;
}

void CoreProcess::CloseLink() { CloseIfOpen(linkFd_); }

}  // namespace dvrtest
