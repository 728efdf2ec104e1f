// The core object from the inside: the components it owns, and CoreControl,
// through which the process entry (and the core's tools and tests) reach the
// operations the class keeps from plugins.
//
// DESIGN (threads):
// - main thread: construction, Init, Start with every plugin Load, Open,
//   Close and Unload, and the main loop with every queued Write and
//   configuration IOCTL.
// - I/O thread (one): every Boost.Asio completion: the first stop signal, the
//   scheduler tick, the parent link with its relayed IOCTL calls and sends.
// - worker / reader threads (per plugin that asks): one IOCTL / one Read call.
// - event threads: one per immediate event and receiving plugin.
// Each component owns its lock and states its threads. No lock of the core is
// held while plugin code runs.
#ifndef DVRCORE_CORE_CORE_H
#define DVRCORE_CORE_CORE_H

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_service.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/path.hpp>

#include "config/config.h"
#include "core/dvrcore.h"
#include "core/figures_file.h"
#include "core/signals.h"
#include "core/slow_calls.h"
#include "events/machinery.h"
#include "housekeeping/housekeeping.h"
#include "ipc/ipc.h"
#include "pluginhost/pluginhost.h"

// The core's version text (DVRCORE_VERSION).
const char* CoreVersion();

// The components of the core object, in construction order. Destroyed in
// reverse order after the destructor has reported leaked buffers.
struct dvrcore::Parts final : EventDispatch, ParentLinkHost {
  Parts(dvrcore& core, const std::string& executablePath);

  // FlatPluginEvent lands here.
  int Dispatch(_EventParmsIn* in, _EventParmsOut* out) override {
    return core.PluginEvent(in, out);
  }
  void ReceiveCompleted(const boost::system::error_code& error, unsigned int bytes) override {
    core.ProcessIPC(error, bytes);
  }
  void ParentStops(bool linkLost) override;

  // ---- The branches of the dispatch (any thread) ----
  // Those that take events set out.result and say why the event was not
  // taken (Refusal::kNone: it was).
  void ReleaseBuffer(const _EventParmsIn& in, _EventParmsOut& out);
  Refusal SendToParent(const _EventParmsIn& in, _EventParmsOut& out);
  Refusal Queue(const _EventParmsIn& in, _EventParmsOut& out);
  void CancelAnswers(const _EventParmsIn& in, _EventParmsOut& out);
  Refusal DeliverNow(const _EventParmsIn& in, _EventParmsOut& out);
  // Counts one raised event to the plugin that raised it.
  void CountRaised(const _EventParmsIn& in, RaiseKind kind, Refusal refusal);
  // The main loop's delivery of one queued entry, which it then frees.
  void DeliverQueued(const _EventParmsIn& entry);
  // I/O thread: waits for schedulerTimer; its completion runs the tick
  // (dvrcore::Scheduler), which arms it again.
  void ArmScheduler() REQUIRES(g_ioThread);

  // ---- The steps of dvrcore::Start, in their order (main thread) ----
  // Watches for the first stop signal and unblocks the stop signals.
  void OpenStopSignals() REQUIRES(g_mainThread);
  // Loads the plugins of the folder of `executable`, starts receiving from
  // the parent and starts the I/O thread. False (logged, startFailed set,
  // what was loaded closed and unloaded) when the I/O thread cannot start.
  bool LoadPluginsAndStartIo(const boost::filesystem::path& executable) REQUIRES(g_mainThread);
  // Waits for the parent's identification, starts the watchdog and the
  // figures file, opens the plugins, writes their report, narrows the
  // privileges, starts the readers and the scheduler: the core is started.
  void OpenPlugins(const boost::filesystem::path& executable) REQUIRES(g_mainThread);
  // Once the main loop has ended: the scheduler cancelled, the plugins
  // closed, the parent link flushed, the I/O thread stopped, the plugins
  // unloaded, the watchdog and the figures file stopped, in that order.
  void StopSteps() REQUIRES(g_mainThread);

  // The core-wide figures now, for the figures file; the most queued
  // events is taken, so that the next call starts a new window. The figures
  // file's thread, or the main thread once that has ended.
  CoreFigures GatherFigures();

  // dvrcore::Log for a text of `length` bytes that need not be terminated:
  // at most `length` bytes are read, up to a zero. Any thread.
  void Log(uint32_t sourceId, unsigned level, const char* text, size_t length);
  // Main thread, in Init: which levels also go to syslog, from
  // DVRCORE_SYSLOG_LEVEL (null: not set); a malformed value is logged and
  // the default kept.
  void ConfigureSyslog(const char* level);

  dvrcore& core;
  const std::string executablePath;
  CoreSettings settings;                  // main thread during start-up, then read-only
  PluginTable plugins;                    // see PluginTable for its locks
  AllocationRegistry allocations;         // any thread; its own lock
  RequestQueue requests;                  // any thread; its own lock
  ReplySlots replies;                     // any thread; its own lock
  boost::asio::io_service ioService;
  // Readable from the first stop signal on; watched by the I/O thread.
  boost::asio::posix::stream_descriptor stopSignal{ioService};
  std::thread ioThread;                   // runs ioService; the main thread starts and joins it
  WatchedCallSlot mainThreadCalls;        // the main thread's plugin calls (see SlowCallWatchdog)
  WatchedCallSlot ioThreadCalls;          // the I/O thread's plugin calls
  SlowCallWatchdog slowCalls;             // started and stopped by the main thread
  ParentLink parentLink;                  // I/O thread, but for Send and the identity
  boost::asio::steady_timer schedulerTimer GUARDED_BY(g_ioThread);  // armed and re-armed there
  // The I/O thread's, but for its clockJumps, which the figures read on any
  // thread: so it is not guarded as a whole (see SchedulerState).
  SchedulerState scheduler;
  // The stop steps ended the tick chain.
  bool schedulerCancelled GUARDED_BY(g_ioThread) = false;
  std::atomic<bool> delayStop{false};     // set on the I/O thread, read by the main thread
  // Start could not start the I/O thread.
  bool startFailed GUARDED_BY(g_mainThread) = false;
  std::atomic<bool> throttling{false};    // written by the tick, read by the dispatch
  FiguresFile figuresFile;                // started and stopped by the main thread
  // Lines from this level to 100 also go to syslog. Set by the main thread in
  // Init, before any other thread exists; read-only afterwards, on any thread.
  unsigned syslogLevel = kLogFailure;
};

// The core's own operations on the core object.
class CoreControl {
 public:
  using Parts = dvrcore::Parts;
  static std::unique_ptr<dvrcore> Make(const std::string& executablePath) {
    return std::unique_ptr<dvrcore>(new dvrcore(executablePath));
  }
  static bool Init(dvrcore& core, int ipcDescriptor) { return core.Init(ipcDescriptor); }
  // False when the core could not run (logged; what was loaded is unloaded).
  static bool Start(dvrcore& core) {
    AssertOnThread(g_mainThread);
    core.Start();
    return !core.parts->startFailed;
  }
  static void RequestStop(dvrcore& core) { core.RequestStop(); }
  static Parts& PartsOf(dvrcore& core) { return *core.parts; }
};

#endif  // DVRCORE_CORE_CORE_H
