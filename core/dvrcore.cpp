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

void UnblockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGQUIT);
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

// Sleeps the whole time even when signals interrupt the sleep.
void SleepFully(unsigned seconds) {
  struct timespec remaining{static_cast<time_t>(seconds), 0};
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

}  // namespace

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
  signals.add(SIGINT);
  signals.add(SIGTERM);
  signals.add(SIGQUIT);
  signals.async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

  // ---- Plugins, parent link, I/O thread ----
  LoadPlugins();
  if (ipcSocket.is_open()) StartReceive();
  ioThread = std::thread([this] {
    // The stop signals are taken by this thread alone (main blocked them for
    // every thread it starts): they never interrupt plugin code, and one that
    // came early has waited until the set could take it.
    UnblockStopSignals();
    ioService.run();
  });

  if (ipcSocket.is_open()) {
    // Ends early when the parent has identified itself (also before the wait
    // began) or a stop was requested; a timeout is not an error.
    std::unique_lock<std::mutex> lock(coreMutex);
    coreWakeup.wait_for(lock, kFirstPacketWait, [this] { return identified || stopRequested; });
  }

  OpenPlugins();
  if (getuid() != 0) {
    SetCapabilities(kCapsAfterStart);
    // Capability sets belong to each thread, and the I/O thread (which runs
    // plugins' IOCTL for parent packets) exists already. Its failure would
    // only repeat the one just logged. Worker threads run plugin code from
    // Load on and keep what they started with.
    boost::asio::post(ioService, [] { ApplyCapabilities(kCapsAfterStart); });
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
}
