// Every privilege step of the core, in the order the core takes them:
//   Init, before any plugin code runs (LimitPrivilegesAtInit): files created
//     private to the user (umask 077); SECBIT_NO_SETUID_FIXUP; the switch to
//     the parent process's user with that user's groups, keeping only the
//     network and raw-I/O capabilities; the narrowing signal reserved.
//   Start, once every plugin is open (NarrowPrivilegesAtStart): every thread
//     narrowed to the two network capabilities.
// A core that runs as root (RunsAsRoot) keeps its capabilities throughout.
//
// DESIGN: the switch runs on the main thread during Init, before any other
// thread exists, and must. SECBIT_NO_SETUID_FIXUP is set beforehand, so the
// kernel leaves the capability sets alone when setuid changes the user; that
// is what lets setgid and setgroups still succeed after setuid, and what lets
// the final capset keep capabilities that a non-root user would otherwise
// lose. The bit is per thread: a thread started earlier would lack it, lose
// its capabilities at setuid and make the C library's process-wide setgid
// abort the process. Once the switch is done (or found unnecessary) the bit
// is cleared again, so that helpers plugins start and that change user lose
// their capabilities as anywhere else. Nothing here undoes a partial switch:
// privileges only ever shrink.
//
// DESIGN (narrowing every thread): capset changes the calling thread only,
// and when Start narrows the sets, plugin code already runs on worker and
// event threads and on threads plugins made themselves. Each of them is sent
// a real-time signal whose handler narrows its own thread; /proc/self/task
// is walked until a pass finds every thread narrowed before it began, so
// threads created meanwhile by a thread not yet narrowed are caught too.
// The signal is taken in Init, before any plugin code runs, so that plugins
// choosing a free real-time signal never choose it, and their helpers find
// the handlers they inherit acting as if absent (core/signals.h). It does
// nothing until the narrowing begins: sent earlier, it would take every
// capability from its thread.
// libpsx was the alternative: it reaches only threads created through a
// pthread_create wrapped at the executable's link, which neither plugins'
// threads nor std::thread (created inside libstdc++) go through.
#include <grp.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>  // umask
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "core/privileges.h"
#include "core/signals.h"
#include "core/testing.h"
#include "events/raise.h"
#include "sys/proc.h"

namespace {

constexpr int kMaxGroups = 256;

// How long the narrowing waits for threads to answer its signal. They answer
// within milliseconds unless they block it or cannot run. A thread blocks all
// signals for a moment while it starts or ends; one that still blocks this
// one after a second is taken to block it for good.
constexpr std::chrono::seconds kNarrowingBound{5};
constexpr std::chrono::seconds kBlockedGrace{1};

using CapabilitySets = __user_cap_data_struct[2];  // capabilities 0-31, 32-63

bool ReadCapabilities(pid_t tid, CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, tid};
  return syscall(SYS_capget, &header, sets) == 0;
}

// What the signal handler narrows to, and whether a narrowing has begun:
// written by NarrowOtherThreads on the main thread (the mask first, then the
// flag), read by the handler on any thread. Until the flag is set the signal
// does nothing: anyone who may signal the core, plugins included, can send
// it early, and a thread narrowed to nothing before the narrowing would pass
// nothing on to the threads it starts.
std::atomic<uint32_t> g_narrowingMask{0};
std::atomic<bool> g_narrowingBegun{false};

// System calls only, so async-signal-safe: takes away from the calling
// thread what is not in `mask` and adds nothing, so it cannot fail for want
// of a capability. Errno is the caller's to keep.
void NarrowCallingThread(uint32_t mask) {
  CapabilitySets sets;
  if (ReadCapabilities(0, sets)) {
    sets[0] = {sets[0].effective & mask, sets[0].permitted & mask, 0};
    sets[1] = {0, 0, 0};
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    syscall(SYS_capset, &header, sets);
  }
}

// The handler of the narrowing signal, on each signalled thread.
void NarrowThisThread(int signal) {
  const int savedErrno = errno;
  if (!DealtWithOutsideTheCore(signal) && g_narrowingBegun.load(std::memory_order_acquire)) {
    NarrowCallingThread(g_narrowingMask.load(std::memory_order_relaxed));
  }
  errno = savedErrno;
}

// True when thread `tid` holds nothing outside `mask`, or no longer exists.
bool NarrowedOrGone(pid_t tid, uint32_t mask) {
  CapabilitySets sets;
  if (!ReadCapabilities(tid, sets)) return errno == ESRCH;
  return ((sets[0].effective | sets[0].permitted) & ~mask) == 0 && sets[0].inheritable == 0 &&
         (sets[1].effective | sets[1].permitted | sets[1].inheritable) == 0;
}

bool SignalBlocked(pid_t tid, int signal) {
  std::string status, blocked;
  size_t from = 0;
  if (ReadSmallFile(TaskPath(tid) + "/status", status) != 0 ||
      !StatusLine(status, "SigBlk:", blocked, from)) {
    return false;
  }
  return (std::strtoull(blocked.c_str(), nullptr, 16) >> (signal - 1)) & 1;
}

// The signal whose handler narrows its thread: -1 until reserved, or when
// no real-time signal was free. Written once by ReserveNarrowingSignal on
// the main thread before any plugin code runs; read-only after.
int g_narrowingSignal = -1;

// The identity of a thread: its ID and its start time (clock ticks since
// boot, /proc/self/task/<tid>/stat field 22). The ID alone is not enough:
// plugins that start and end threads quickly wrap the ID space (32768 on the
// target) in under a second, and a new thread under a narrowed one's ID must
// still be dealt with. 0 as the start time: the thread is gone.
struct ThreadIdentity {
  pid_t tid;
  uint64_t start;
  bool operator<(const ThreadIdentity& other) const {
    return tid != other.tid ? tid < other.tid : start < other.start;
  }
};

}  // namespace

uint32_t ParentUidFromStatus(const std::string& text) {
  std::string value;
  for (size_t from = 0; StatusLine(text, "Uid:", value, from);) {
    unsigned uid = 0;
    if (std::sscanf(value.c_str(), " %u", &uid) == 1) return uid;
  }
  return 0;
}

uint32_t ReadStatusUid(const std::string& path) {
  std::string text;
  ReadSmallFile(path, text);
  return ParentUidFromStatus(text);
}

int ApplyCapabilities(uint32_t mask) {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;  // the calling process
  // Version 3 takes two sets: capabilities 0-31, then 32-63.
  __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
  // Raw system call: the C library offers no wrapper and libcap is not a
  // dependency of the core.
  if (syscall(SYS_capset, &header, data) != 0) return errno;
  return 0;
}

bool SetCapabilities(uint32_t mask) {
  const int error = ApplyCapabilities(mask);
  if (error != 0) CORE_LOG(kLogNotable, "capset failed: %s", std::strerror(error));
  return error == 0;
}

int ReserveNarrowingSignal() {
  // The highest real-time signal that nobody handles yet (plugins that use
  // one tend to count from SIGRTMIN up). Taken before any plugin code runs,
  // so that a plugin choosing a free real-time signal the same way sees this
  // one taken. The handler stays: before the narrowing a stray signal does
  // nothing, after it one can only narrow its thread again.
  MarkCoreProcess();
  for (int signal = SIGRTMAX; signal >= SIGRTMIN; signal--) {
    struct sigaction current;
    if (sigaction(signal, nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction narrowing{};
    narrowing.sa_handler = NarrowThisThread;
    narrowing.sa_flags = SA_RESTART;
    sigfillset(&narrowing.sa_mask);
    if (sigaction(signal, &narrowing, nullptr) == 0) {
      g_narrowingSignal = signal;
      break;
    }
  }
  return g_narrowingSignal;
}

std::vector<UnnarrowedThread> NarrowOtherThreads(uint32_t mask) {
  using Clock = std::chrono::steady_clock;
  g_narrowingMask.store(mask, std::memory_order_relaxed);
  g_narrowingBegun.store(true, std::memory_order_release);
  const int signal = g_narrowingSignal;
  std::vector<UnnarrowedThread> missed;
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  // Narrowed, gone or given up on; and those signalled, with when.
  std::set<ThreadIdentity> settled{{self, ThreadStartTime(self)}};
  std::map<ThreadIdentity, Clock::time_point> signalled;
  const Clock::time_point deadline = Clock::now() + kNarrowingBound;
  // Until a pass finds nothing to do: every thread listed then was narrowed
  // before it, so every thread created since inherits narrowed sets.
  for (bool busy = true; busy;) {
    busy = false;
    bool waiting = false;
    const Clock::time_point now = Clock::now();
    for (pid_t tid : ListTasks()) {
      const ThreadIdentity thread{tid, ThreadStartTime(tid)};
      if (thread.start == 0 || settled.count(thread) != 0) continue;
      busy = true;
      auto sent = signalled.find(thread);
      if (NarrowedOrGone(tid, mask)) {
        settled.insert(thread);
      } else if (signal < 0) {
        missed.push_back({tid, "no real-time signal is free"});
        settled.insert(thread);
      } else if (sent == signalled.end()) {
        signalled[thread] = now;
        syscall(SYS_tgkill, getpid(), tid, signal);
        waiting = true;
      } else if (now - sent->second > kBlockedGrace && SignalBlocked(tid, signal)) {
        missed.push_back({tid, "it blocks the signal that narrows it"});
        settled.insert(thread);
      } else if (now > deadline) {
        missed.push_back({tid, "it did not answer the signal that narrows it"});
        settled.insert(thread);
      } else {
        waiting = true;
      }
    }
    if (waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return missed;
}

bool DropPrivileges() {
  const uint32_t parentUid = ReadStatusUid("/proc/" + std::to_string(getppid()) + "/status");
  if (parentUid != getuid()) {
    // getpwuid reports "no such user" only by leaving errno alone.
    errno = 0;
    const struct passwd* user = getpwuid(parentUid);
    if (user == nullptr) {
      CORE_LOG(kLogFailure, "getpwuid failed: %s", std::strerror(errno));
      return false;
    }
    // The entry lives in a static buffer of the C library; keep what is
    // needed before other calls can overwrite it.
    const uid_t uid = user->pw_uid;
    const gid_t gid = user->pw_gid;
    const std::string name = user->pw_name;
    if (setuid(uid) != 0 || setgid(gid) != 0) {
      CORE_LOG(kLogFailure, "setuid/gid failed: %s", std::strerror(errno));
      return false;
    }
    gid_t groups[kMaxGroups];
    int count = kMaxGroups;
    count = getgrouplist(name.c_str(), gid, groups, &count);
    if (count < 0) {
      CORE_LOG(kLogFailure, "getgrouplist failed");
      return false;
    }
    if (setgroups(static_cast<size_t>(count), groups) != 0) {
      CORE_LOG(kLogFailure, "setgroups failed: %s", std::strerror(errno));
      return false;
    }
  }
  // The core's own change of user is behind it. Clearing the bit takes
  // CAP_SETPCAP, which the capset below gives up, so it comes first.
  const int secureBits = prctl(PR_GET_SECUREBITS);
  if (secureBits > 0) prctl(PR_SET_SECUREBITS, secureBits & ~SECBIT_NO_SETUID_FIXUP);
  // Also when the core already ran as the parent's user: it still sheds
  // everything but these three.
  if (!RunsAsRoot()) SetCapabilities(kCapsAfterInit);
  return true;
}

bool RunsAsRoot() { return getuid() == 0; }

bool LimitPrivilegesAtInit() {
  umask(077);
  // Keeps the capability sets across the change of user ID in DropPrivileges.
  prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP);
  if (!DropPrivileges()) return false;
  ReserveNarrowingSignal();
  return true;
}

void NarrowPrivilegesAtStart() {
  if (RunsAsRoot()) return;
  // This thread to exactly the two. Where it lacks one of them (its capset
  // fails and says so), it still gives up the rest, and the other threads
  // are narrowed all the same: whatever wider sets they hold, a plugin's
  // threads among them, must not outlive the start.
  if (!SetCapabilities(kCapsAfterStart)) NarrowCallingThread(kCapsAfterStart);
  std::vector<UnnarrowedThread> missed = NarrowOtherThreads(kCapsAfterStart);
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  if (!NarrowedOrGone(self, kCapsAfterStart)) {
    missed.insert(missed.begin(), {self, "it cannot take its own capabilities away"});
  }
  // Each thread left wider than the core means to be is a failure: whatever
  // runs on it keeps capabilities the core gave up.
  for (const UnnarrowedThread& thread : missed) {
    CORE_LOG(kLogFailure, "capabilities of thread %ld not narrowed: %s", thread.tid,
             thread.reason);
  }
}
