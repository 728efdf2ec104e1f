// The core's signal handler; see signals.h for the design.
#include "core/signals.h"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace {

// Written by MarkCoreProcess on the main thread before the first handler is
// installed (in a forked child that becomes a core again, before its own);
// read by the handlers on any thread at any time, hence atomics, lock-free
// and so async-signal-safe.
std::atomic<pid_t> g_corePid{0};
// A private anonymous page marked MADV_WIPEONFORK, holding kMarker: a copy
// made without CLONE_VM reads zero there, a process that shares the core's
// memory reads the marker. Null where the kernel cannot wipe on fork.
std::atomic<const volatile uint32_t*> g_markerPage{nullptr};
constexpr uint32_t kMarker = 0x64767263;
// Set in the child of fork() by the handler registered with pthread_atfork:
// the child's own ID, in its own memory. It also tells forked copies apart
// where the page cannot (a kernel or emulator that ignores the advice).
std::atomic<pid_t> g_forkedCopyPid{0};

// Written once by CatchSignals before its handler is installed; never
// closed: a late signal must not write to a reused number.
int g_stopDescriptor = -1;
// Set by the first stop signal; any thread, in the handler.
std::atomic<bool> g_stopSignalled{false};

bool IsStopSignal(int signal) {
  for (int stop : kStopSignals) {
    if (signal == stop) return true;
  }
  return false;
}

void NoteForkedCopy() { g_forkedCopyPid.store(getpid(), std::memory_order_relaxed); }

// Async-signal-safe: system calls and lock-free atomics only.
void OnSignal(int signal) {
  const int savedErrno = errno;
  if (DealtWithOutsideTheCore(signal)) {
    // Not the core's process: nothing of the core to do.
  } else if (IsStopSignal(signal) && !g_stopSignalled.exchange(true)) {
    const uint64_t one = 1;
    const ssize_t ignored = write(g_stopDescriptor, &one, sizeof one);
    (void)ignored;
  }
  errno = savedErrno;
}

}  // namespace

void MarkCoreProcess() {
  const pid_t self = getpid();
  if (g_corePid.load(std::memory_order_relaxed) == self) return;
  // Registered once per process image: a forked child inherits the
  // registration along with the flag.
  static bool atforkRegistered = false;
  if (!atforkRegistered) atforkRegistered = pthread_atfork(nullptr, nullptr, NoteForkedCopy) == 0;
  if (g_markerPage.load(std::memory_order_relaxed) == nullptr) {
    const long pageSize = sysconf(_SC_PAGESIZE);
    void* page = mmap(nullptr, static_cast<size_t>(pageSize), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page != MAP_FAILED && madvise(page, static_cast<size_t>(pageSize), MADV_WIPEONFORK) != 0) {
      munmap(page, static_cast<size_t>(pageSize));
      page = MAP_FAILED;
    }
    if (page != MAP_FAILED) {
      g_markerPage.store(static_cast<uint32_t*>(page), std::memory_order_relaxed);
    }
  }
  // In a child made a core again (tests) the page is mapped, but wiped.
  if (const volatile uint32_t* page = g_markerPage.load(std::memory_order_relaxed)) {
    *const_cast<volatile uint32_t*>(page) = kMarker;
  }
  g_corePid.store(self, std::memory_order_relaxed);
}

// Whether this process, not the core's, has a signal table of its own. The
// kernel says so where it may (kcmp); where it may not (a helper that
// changed its user, a kernel without kcmp), a copy is told by its memory.
bool HasOwnSignalTable(pid_t self) {
  const long same = syscall(SYS_kcmp, self, g_corePid.load(std::memory_order_relaxed),
                            KCMP_SIGHAND, 0, 0);
  if (same >= 0) return same != 0;
  const volatile uint32_t* page = g_markerPage.load(std::memory_order_relaxed);
  return g_forkedCopyPid.load(std::memory_order_relaxed) == self ||
         (page != nullptr && *page != kMarker);
}

bool DealtWithOutsideTheCore(int signal) {
  const pid_t self = getpid();
  if (self == g_corePid.load(std::memory_order_relaxed)) return false;
  if (HasOwnSignalTable(self)) {
    // A copy of the core (fork without exec), or a process that shares its
    // memory but not its signal table. Raised again with the default
    // action, the signal stays pending until the handler returns, then acts.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signal, &defaultAction, nullptr);
    raise(signal);
  } else if (signal != SIGPIPE && signal != SIGXFSZ) {
    // A process that shares the core's signal table (CLONE_SIGHAND), or
    // may: a disposition changed here would be changed for the core. It
    // ends as a shell reports a death by this signal, and leaves the table
    // alone.
    _exit(128 + signal);
  }
  // SIGPIPE and SIGXFSZ in such a process: as in the core, the write that
  // raised them fails with EPIPE or EFBIG.
  return true;
}

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : kStopSignals) sigaddset(&signals, signal);
  return signals;
}

int CatchSignals() {
  g_stopDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (g_stopDescriptor < 0) return -1;
  const int watched = fcntl(g_stopDescriptor, F_DUPFD_CLOEXEC, 0);
  if (watched < 0) {
    const int error = errno;
    close(g_stopDescriptor);
    g_stopDescriptor = -1;
    errno = error;
    return -1;
  }
  MarkCoreProcess();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  // A stop signal that lands on a thread inside a plugin's read, write or
  // wait resumes that call instead of failing it with EINTR.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
  sigaction(SIGPIPE, &action, nullptr);
  sigaction(SIGXFSZ, &action, nullptr);
  return watched;
}
