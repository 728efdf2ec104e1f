// The core object: construction, Init, the start/run/stop sequence of Start,
// RequestStop and destruction.
//
// DESIGN: Start runs on the main thread from the first step to the last. The
// I/O thread exists from the moment the plugins are loaded until they are
// closed; every Boost.Asio completion (signals, the scheduler tick, the parent
// link) runs on it. A stop request (signal, stop packet, lost link) only sets
// stopRequested under coreMutex and wakes the main loop, which drains its
// queue before the stop steps run.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <linux/securebits.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "core/dvrcore.h"
#include "core/privileges.h"

namespace {

// The one core object of the process, through which FlatPluginEvent reaches
// it. Set by the constructor before any other thread exists; never cleared.
dvrcore* g_coreInstance = nullptr;

constexpr std::chrono::seconds kFirstPacketWait{10};
constexpr unsigned kLinkLostDelaySeconds = 60;

// Boost.Asio installs its signal handler without SA_RESTART. With it, a stop
// signal that the kernel hands to a thread inside a plugin's read, write or
// wait resumes that call instead of failing it with EINTR.
void RestartCallsAfter(int signal) {
  struct sigaction action;
  if (sigaction(signal, nullptr, &action) != 0) return;
  action.sa_flags |= SA_RESTART;
  sigaction(signal, &action, nullptr);
}

// Sleeps the whole time even when signals interrupt the sleep.
void SleepFully(unsigned seconds) {
  struct timespec remaining{static_cast<time_t>(seconds), 0};
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

}  // namespace

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGQUIT);
  return signals;
}

extern "C" int FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
  if (g_coreInstance == nullptr) {
    if (out) out->result = EVENT_REFUSED;
    return 0;
  }
  return g_coreInstance->PluginEvent(in, out);
}

dvrcore::dvrcore(const std::string& executablePath)
    : schedulerTimer(ioService, kSchedulerPeriod),
      ipcSocket(ioService),
      executablePath(executablePath) {
  g_coreInstance = this;
}

dvrcore::~dvrcore() {
  // Entries still queued never reached the main loop (Init failed, or Start
  // was never called); their data copies are the core's own.
  for (_EventParmsIn& entry : requestQueue) std::free(entry.data);
  requestQueue.clear();
  allocations.ReportLeaks([](void* address, uint32_t owner) {
    CORE_LOG(0, "address %p leaked by plugin %08lX", address, static_cast<unsigned long>(owner));
  });
}

bool dvrcore::Init(int ipcDescriptor) {
  {
    std::unique_lock<std::shared_mutex> lock(namesLock);
    moduleNames[kCoreSourceId] = "core";
  }
  umask(077);
  // Keeps the capability sets across the change of user ID in DropPrivileges.
  prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP);
  if (!DropPrivileges()) return false;

  if (ipcDescriptor != -1) {
    try {
      // Boost.Asio accepts descriptors that epoll cannot watch (a regular
      // file, /dev/null) and would only fail at the first receive; the parent
      // link must be a socket, so anything else fails here.
      struct stat status;
      if (fstat(ipcDescriptor, &status) != 0 || !S_ISSOCK(status.st_mode)) {
        throw boost::system::system_error(
            boost::system::error_code(errno ? errno : ENOTSOCK, boost::system::system_category()),
            "assign");
      }
      ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), ipcDescriptor);
      ipcOpen = true;
    } catch (const boost::system::system_error&) {
      CORE_LOG(100, "failed to open ipc pipe");
      return false;
    }
  }
  return true;
}

void dvrcore::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(coreMutex);
    stopRequested = true;
  }
  coreWakeup.notify_one();
  // Event threads waiting to queue a further answer give up: it would be
  // refused now, and unloading waits for them to leave their plugin.
  WakeAllReplyWaiters();
}

void dvrcore::Start() {
  coreVersion = CoreVersion();
  ReadDescriptionFiles();

  // Later stop signals stay caught by the set until it is destroyed at the
  // end of Start: the first one stops the core, the rest do nothing.
  boost::asio::signal_set signals(ioService);
  for (int signal : {SIGINT, SIGTERM, SIGQUIT}) {
    signals.add(signal);
    RestartCallsAfter(signal);
  }
  signals.async_wait([this](const boost::system::error_code&, int) { RequestStop(); });
  // Handled from here on, so open on this thread and on every thread started
  // from now: plugin code runs on all of them, and a process a plugin starts
  // inherits its thread's mask. One that came early is delivered now; the
  // handler only tells the I/O thread.
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

  // ---- Plugins, parent link, I/O thread ----
  LoadPlugins();
  if (ipcSocket.is_open()) StartReceive();
  ioThread = std::thread([this] { ioService.run(); });

  if (ipcOpen) {
    // Ends early when the parent has identified itself (also before the wait
    // began) or a stop was requested; a timeout is not an error.
    std::unique_lock<std::mutex> lock(coreMutex);
    coreWakeup.wait_for(lock, kFirstPacketWait, [this] { return identified || stopRequested; });
  }

  OpenPlugins();
  // Every thread: the I/O thread, worker and event threads and the plugins'
  // own threads exist already. Where this thread cannot narrow itself (no
  // capabilities to begin with) the others cannot either.
  if (getuid() != 0 && SetCapabilities(kCapsAfterStart)) {
    for (const UnnarrowedThread& thread : NarrowOtherThreads(kCapsAfterStart)) {
      CORE_LOG(50, "capabilities of thread %ld not narrowed: %s", thread.tid, thread.reason);
    }
  }
  for (PLUGININFO& plugin : plugins) {
    if (plugin.desc.wantsReader) StartAsyncReader(plugin);
  }

  // The timer belongs to the I/O thread from here on.
  boost::asio::post(ioService, [this] {
    schedulerTimer.async_wait([this](const boost::system::error_code& error) { Scheduler(error); });
  });
  PublishDescription();
  CORE_LOG(25, "successfully started core version %s", coreVersion.c_str());

  RunMainLoop();

  // ---- Stop ----
  CORE_LOG(25, "stopping core version %s...", coreVersion.c_str());
  // Cancelled on the I/O thread, so that a tick running right now finishes
  // first and its re-armed wait is the one cancelled.
  boost::asio::post(ioService, [this] {
    schedulerCancelled = true;
    schedulerTimer.cancel();
  });
  if (delayStop) SleepFully(kLinkLostDelaySeconds);
  ClosePlugins();
  ioService.stop();
  ioThread.join();
  outgoingPackets.clear();
  UnloadPlugins();
  // Destroying the set puts the default actions back; a stop signal after
  // that must still wait, not kill a core that is done.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
}
