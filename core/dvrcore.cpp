// The core object: construction, Init, the start/run/stop sequence of Start,
// RequestStop and destruction, and the I/O thread's two completion handlers.
//
// DESIGN: Start runs on the main thread from the first step to the last. The
// I/O thread exists from the moment the plugins are loaded until they are
// closed; every Boost.Asio completion (signals, the scheduler tick, the parent
// link) runs on it. A stop request (signal, stop packet, lost link) only tells
// the request queue, the reply slots and the first-packet wait; the main loop
// delivers what is queued before the stop steps run.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>

#include "core/core.h"
#include "dvrcore_version.h"
#include "core/privileges.h"
#include "core/signals.h"

namespace {

constexpr std::chrono::seconds kFirstPacketWait{10};
constexpr unsigned kLinkLostDelaySeconds = 60;
// How long the stop waits for packets already accepted for the parent. A
// parent that reads at all takes megabytes within milliseconds; one that has
// stopped reading must not hold up the stop for long.
constexpr std::chrono::seconds kFlushBound{2};

// Sleeps the whole time even when signals interrupt the sleep.
void SleepFully(unsigned seconds) {
  struct timespec remaining{static_cast<time_t>(seconds), 0};
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

using SteadyTime = std::chrono::steady_clock::time_point;

SteadyTime SaturatingAdd(SteadyTime time, std::chrono::milliseconds delta) {
  if (time > SteadyTime::max() - delta) return SteadyTime::max();
  return time + delta;
}

// The real world as the scheduler's tick sees it. Lives for one tick on the
// I/O thread.
class CoreSchedulerHost : public SchedulerHost {
 public:
  CoreSchedulerHost(dvrcore& core, bool throttlingEnabled, std::atomic<bool>& throttling)
      : core_(core), throttlingEnabled_(throttlingEnabled), throttling_(throttling) {}
  // Not std::chrono::system_clock::now(): Debian 12's armhf C++ library is
  // built with a 32-bit time_t, and its now() fails past 2038. This call is
  // built with the core's 64-bit time_t.
  WallTime WallClock() override {
    struct timespec wall {};
    clock_gettime(CLOCK_REALTIME, &wall);
    return std::chrono::seconds(wall.tv_sec) + std::chrono::nanoseconds(wall.tv_nsec);
  }
  SteadyTime SteadyNow() override { return core_.now(); }
  uint64_t ResidentMemory() override { return ReadResidentMemory(); }
  bool ThrottlingEnabled() override { return throttlingEnabled_; }
  // Readers need the flag alone, nothing published before it: relaxed.
  void SetThrottling(bool on) override { throttling_.store(on, std::memory_order_relaxed); }
  void PublishMemoryState() override { core_.PublishMemoryState(); }
  void LogMessage(unsigned level, const char* text) override { CORE_LOG(level, "%s", text); }

 private:
  dvrcore& core_;
  const bool throttlingEnabled_;
  std::atomic<bool>& throttling_;
};

}  // namespace

const char* CoreVersion() { return DVRCORE_VERSION; }

dvrcore::Parts::Parts(dvrcore& core, const std::string& executablePath)
    : core(core),
      executablePath(executablePath),
      plugins(core),
      slowCalls(mainThreadCalls, ioThreadCalls,
                [this](uint32_t id, char* name, size_t size) {
                  plugins.CopyFileName(id, name, size);
                }),
      parentLink(ioService, plugins, *this),
      schedulerTimer(ioService, kSchedulerPeriod),
      figuresFile(plugins.Figures(), [this] { return GatherFigures(); },
                  [this] { return allocations.HoldsPerOwner(); }) {
  settings.coreVersion = CoreVersion();
}

CoreFigures dvrcore::Parts::GatherFigures() {
  CoreFigures figures;
  figures.queueDepth = requests.Depth();
  figures.queueDepthMost = requests.TakeMostDepth();
  figures.parentBytesWaiting = parentLink.BytesWaiting();
  figures.parentRefusing = parentLink.Refusing();
  figures.residentBytes = ReadResidentMemory();
  figures.throttling = throttling.load(std::memory_order_relaxed);
  figures.clockJumps = scheduler.clockJumps.load(std::memory_order_relaxed);
  return figures;
}

// The pause lets the watchdogs of a parent that died expire before the
// plugins close. A parent that asked for the stop (or a stop signal that came
// first) is no such case: it closes its end as part of its own orderly
// shutdown, and is likely waiting for the core's exit with a bound of its
// own. Every stop request comes from the I/O thread, so the check and the
// flag cannot miss one another; the flag is set before the request, so the
// main thread sees it once its loop has ended.
void dvrcore::Parts::ParentStops(bool linkLost) {
  if (linkLost && !requests.StopRequested()) {
    CORE_LOG(kLogFailure, "sleeping for one minute to allow active watchdogs to expire...");
    delayStop = true;
  }
  core.RequestStop();
}

dvrcore::dvrcore(const std::string& executablePath)
    : parts(std::make_unique<Parts>(*this, executablePath)) {
  SetEventDispatch(parts.get());
}

dvrcore::~dvrcore() {
  parts->allocations.ReportLeaks([](void* address, uint32_t owner) {
    CORE_LOG(kLogDetail, "address %p leaked by plugin %08lX", address,
             static_cast<unsigned long>(owner));
  });
  ClearEventDispatch(parts.get());
}

bool dvrcore::Init(int ipcDescriptor) {
  AssertOnThread(g_mainThread);  // the process entry's thread, as Start and the stop
  parts->plugins.AddName(kCoreSourceId, "core");
  // The main thread's name, whatever the executable is called: the one
  // threads started from it inherit, and the one tools look for.
  NameThisThread("dvrcore");
  parts->ConfigureSyslog(std::getenv("DVRCORE_SYSLOG_LEVEL"));
  if (!LimitPrivilegesAtInit()) return false;
  const int stopSignal = CatchSignals();
  if (stopSignal < 0) {
    CORE_LOG(kLogFailure, "failed to catch signals: %s", std::strerror(errno));
    return false;
  }
  boost::system::error_code error;
  parts->stopSignal.assign(stopSignal, error);
  if (error) {
    close(stopSignal);
    CORE_LOG(kLogFailure, "failed to catch signals: %s", error.message().c_str());
    return false;
  }
  if (ipcDescriptor != -1 && !parts->parentLink.Adopt(ipcDescriptor)) {
    CORE_LOG(kLogFailure, "failed to open ipc pipe");
    return false;
  }
  return true;
}

void dvrcore::RequestStop() {
  parts->requests.RequestStop();
  parts->parentLink.StopWaiting();
  // Event threads waiting to queue a further answer give up: it would be
  // refused now, and unloading waits for them to leave their plugin.
  parts->replies.Stop();
}

void dvrcore::Start() {
  AssertOnThread(g_mainThread);
  Parts& p = *parts;
  ReadDescriptionFiles(p.settings);
  p.OpenStopSignals();
  const boost::filesystem::path executable(p.executablePath);
  if (!p.LoadPluginsAndStartIo(executable)) return;
  p.OpenPlugins(executable);
  p.requests.Run([&p](const _EventParmsIn& entry) { p.DeliverQueued(entry); });
  p.StopSteps();
}

void dvrcore::Parts::OpenStopSignals() {
  // The first stop signal stops the core; later ones do nothing, to the
  // process's exit (see core/signals.h).
  stopSignal.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                        [this](const boost::system::error_code& error) {
                          if (error != boost::asio::error::operation_aborted) core.RequestStop();
                        });
  // Caught since Init, blocked by main until now: open on this thread and on
  // every thread started from now, since plugin code runs on all of them and
  // a process a plugin starts inherits its thread's mask. One that came
  // early is delivered now; the handler only tells the I/O thread.
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

// ---- Plugins, parent link, I/O thread ----
bool dvrcore::Parts::LoadPluginsAndStartIo(const boost::filesystem::path& executable) {
  // From the first Load on, so that a fatal signal in a plugin entry on this
  // thread names it; the watchdog starts later.
  WatchCallsOfThisThread(&mainThreadCalls);
  plugins.LoadAll(executable.parent_path());
  if (parentLink.IsOpen()) {
    RunsOn beforeIoThread(g_ioThread);  // it starts below, with this wait registered
    parentLink.StartReceive();
  }
  try {
    ioThread = std::thread([this] {
      NameThisThread("dvrcore:io");
      WatchCallsOfThisThread(&ioThreadCalls);
      ioService.run();
    });
  } catch (const std::system_error& error) {
    // Out of threads or memory: the core cannot run without it. What was
    // loaded is closed and unloaded as at a stop, and the process entry
    // reports a failed initialisation.
    CORE_LOG(kLogFailure, "failed to start the I/O thread: %s", error.what());
    startFailed = true;
    plugins.CloseAll();
    plugins.UnloadAll();
    return false;
  }
  return true;
}

void dvrcore::Parts::OpenPlugins(const boost::filesystem::path& executable) {
  // Ends early when the parent has identified itself (also before the wait
  // began) or a stop was requested; a timeout is not an error.
  if (parentLink.IsOpen()) parentLink.WaitForIdentification(kFirstPacketWait);

  slowCalls.Start();
  if (figuresFile.Configure(std::getenv("DVRCORE_METRICS_FILE"),
                            std::getenv("DVRCORE_METRICS_INTERVAL"),
                            std::getenv("DVRCORE_METRICS_MODE"))) {
    figuresFile.Start();
  }
  plugins.OpenAll();
  const ParentLink::Identity parent = parentLink.ParentIdentity();
  WritePluginReport(plugins.Records(), plugins.FailedPlugins(), settings.coreVersion,
                    executable.filename().string(), parent.libraryFilename,
                    parent.libraryVersion);
  NarrowPrivilegesAtStart();
  plugins.StartReaders();

  // The timer belongs to the I/O thread from here on.
  boost::asio::post(ioService, [this] {
    RunsOn io(g_ioThread);
    ArmScheduler();
  });
  PublishDescription(settings);
  CORE_LOG(kLogProgress, "successfully started core version %s", settings.coreVersion.c_str());
}

// ---- Stop ----
void dvrcore::Parts::StopSteps() {
  CORE_LOG(kLogProgress, "stopping core version %s...", settings.coreVersion.c_str());
  // Cancelled on the I/O thread, so that a tick running right now finishes
  // first and its re-armed wait is the one cancelled.
  boost::asio::post(ioService, [this] {
    RunsOn io(g_ioThread);
    schedulerCancelled = true;
    schedulerTimer.cancel();
  });
  if (delayStop) SleepFully(kLinkLostDelaySeconds);
  plugins.CloseAll();
  // Packets plugins handed over up to here (a last status from Close) were
  // accepted, so they go out before the I/O thread stops.
  parentLink.Flush(kFlushBound);
  ioService.stop();
  ioThread.join();
  parentLink.DropUnsent();
  // Watched to the end: a plugin's thread that does not end, or its Unload,
  // holds the stop.
  plugins.UnloadAll();
  slowCalls.Stop();
  // After the unloading, so that the last figures hold every call.
  figuresFile.StopAndWrite();
}

// The stop steps end the tick chain by setting schedulerCancelled and
// cancelling the timer from a handler posted to the I/O thread: a tick that
// runs at that moment finishes first, and the wait it re-armed is the one
// cancelled. The flag covers a completed wait already queued with a success
// code when the cancel comes.
void dvrcore::Scheduler(const boost::system::error_code& error) {
  AssertOnThread(g_ioThread);  // the timer's completion (ArmScheduler)
  Parts& p = *parts;
  if (error || p.schedulerCancelled) return;
  CoreSchedulerHost host(*this, p.settings.memoryThrottlingEnabled, p.throttling);
  p.scheduler.Tick(host);
  // From the end of this tick, so the period is 100 ms plus the tick's own time.
  p.schedulerTimer.expires_at(SaturatingAdd(now(), kSchedulerPeriod));
  p.ArmScheduler();
}

void dvrcore::Parts::ArmScheduler() {
  schedulerTimer.async_wait([this](const boost::system::error_code& e) { core.Scheduler(e); });
}

void dvrcore::ProcessIPC(const boost::system::error_code& error, unsigned int bytes) {
  AssertOnThread(g_ioThread);  // the parent link's completions (ParentLink::ReceiveBatch)
  parts->parentLink.Received(error, bytes);
}

void dvrcore::PublishMemoryState() {
  PublishMemoryDocument(parts->throttling.load());
}
