// The core's signal handler; see signals.h for the design.
#include "core/signals.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace {

// Written once by CatchSignals before any handler is installed, read-only
// after: the handler may read them on any thread at any time.
pid_t g_corePid = 0;
int g_stopDescriptor = -1;  // never closed: a late signal must not write to a reused number
// Set by the first stop signal; any thread, in the handler.
std::atomic<bool> g_stopSignalled{false};

bool IsStopSignal(int signal) {
  for (int stop : kStopSignals) {
    if (signal == stop) return true;
  }
  return false;
}

// Async-signal-safe: system calls and a lock-free atomic only.
void OnSignal(int signal) {
  const int savedErrno = errno;
  if (getpid() != g_corePid) {
    // A child a plugin forked without exec. Raised again with the default
    // action, it stays pending until this handler returns, then acts.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signal, &defaultAction, nullptr);
    raise(signal);
  } else if (IsStopSignal(signal) && !g_stopSignalled.exchange(true)) {
    const uint64_t one = 1;
    const ssize_t ignored = write(g_stopDescriptor, &one, sizeof one);
    (void)ignored;
  }
  errno = savedErrno;
}

}  // namespace

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
  g_corePid = getpid();
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
