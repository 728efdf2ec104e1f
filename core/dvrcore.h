// The core object, dvrcore.
//
// Plugins see only the first block below: the virtual operations, in their
// virtual-table slot order (destructor, deleting destructor, now,
// PublishMemoryState, Log). That order and those signatures are a binary
// contract with separately built plugins, which reach the core through the
// pointer handed to their Load entry. Do not reorder, insert or remove
// virtual operations.
//
// The core's own build defines DVRCORE_INTERNAL and sees the whole class.
//
// DESIGN (threads and locks)
// - main thread: construction, Init, Start with every plugin Load, Open,
//   Close and Unload, and the main loop with every queued Write and
//   configuration IOCTL.
// - I/O thread (one): every Boost.Asio completion: the signal handler, the
//   scheduler tick, the parent link with its relayed IOCTL calls and sends.
// - worker / reader threads (per plugin that asks): one IOCTL / one Read call.
// - event threads: one per immediate event and receiving plugin.
// Locks are taken one at a time, except that threadMutex may be held while a
// ReplySlot mutex is taken. No lock of the core is held while plugin code runs.
#ifndef DVRCORE_CORE_DVRCORE_H
#define DVRCORE_CORE_DVRCORE_H

#include <chrono>
#include <cstdint>

#include "events/events.h"

#ifdef DVRCORE_INTERNAL
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/basic_stream_socket.hpp>

#include "housekeeping/housekeeping.h"
#include "ipc/ipc.h"
#include "pluginhost/pluginhost.h"

class TiXmlDocument;

// The core's source ID in events, its module ID in documents and its holder
// ID in the allocation registry. No plugin may load under it.
constexpr uint32_t kCoreSourceId = 0x80000000u;

// The core's version text, "19.06.6.160279".
const char* CoreVersion();

// SIGINT, SIGTERM and SIGQUIT: the signals that stop the core.
sigset_t StopSignals();

// Capability sets kept after Init (CAP_NET_ADMIN, CAP_NET_RAW, CAP_SYS_RAWIO)
// and once the plugins are open (the first two).
constexpr uint32_t kCapsAfterInit = 0x23000;
constexpr uint32_t kCapsAfterStart = 0x3000;

// Sets the effective and permitted capability sets of the calling thread to
// `mask` and the inheritable set to empty; a failure is logged at level 50
// and otherwise ignored. True on success.
bool SetCapabilities(uint32_t mask);

// Formats a message (cut to 511 characters) and raises it as a log event of
// `level` from `sourceId` through `raise`; nothing when `raise` is null.
void RaiseLogMessage(uint32_t sourceId, PluginEventFunction raise, unsigned level,
                     const char* format, ...) __attribute__((format(printf, 4, 5)));

// The core's own log lines: source kCoreSourceId, through FlatPluginEvent.
#define CORE_LOG(level, ...) RaiseLogMessage(kCoreSourceId, FlatPluginEvent, (level), __VA_ARGS__)

// Per live event thread: the core's copy of the last answer this thread queued
// while some holder still holds it. An event thread has at most one answer in
// flight.
struct ReplySlot {
  std::mutex mutex;
  std::condition_variable cleared;  // signalled when pendingReply becomes null
  void* pendingReply = nullptr;     // guarded by mutex
};

// A packet on its way to the parent: a malloc'd buffer, owned until written.
struct OutgoingPacket {
  struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
  };
  std::unique_ptr<void, FreeDeleter> buffer;
  size_t length = 0;
};

// One whole packet of the largest size fits.
constexpr size_t kIpcBufferSize = kIpcMaxPacket;

// Receive buffer of the parent link: bytes[0, count) hold received data not yet
// handled, starting at a packet boundary. I/O thread only. Plugins get every
// packet at an address aligned as malloc aligns (32-bit ARM faults on some
// wider loads from odd addresses): one at the start of `bytes` is, one behind
// another in the same receive is copied to `aligned` first, allocated when
// first needed.
struct IpcBuffer {
  alignas(std::max_align_t) uint8_t bytes[kIpcBufferSize] = {};
  uint32_t count = 0;
  std::unique_ptr<std::max_align_t[]> aligned;
};

// Bytes of packets for the parent that the core holds at most (accepted and
// not yet written). A parent that stops reading must not grow the core without
// bound: 8 MiB is 128 packets of the largest size, seconds of what plugins
// send to the parent, and a small part of the 190 MiB at which the core
// throttles video. Once full, packets are refused until half of it has gone
// out, so that the refusing and accepting log lines do not alternate.
constexpr size_t kOutgoingLimit = 8u << 20;

using IpcSocket = boost::asio::basic_stream_socket<boost::asio::generic::seq_packet_protocol>;
#endif  // DVRCORE_INTERNAL

class dvrcore {
 public:
  virtual ~dvrcore();  // slots 0 and 1: complete and deleting destructor

  // Slot 2: the core's monotonic clock; any thread, any time after construction.
  virtual std::chrono::steady_clock::time_point now() {
    return std::chrono::steady_clock::now();
  }

  // Slot 3: raises the memory-throttling state as an XML document event.
  virtual void PublishMemoryState();

  // Slot 4: prints one log line (and sends level 100 to syslog), without
  // dispatching it to plugins. `text` is zero-terminated, may be null.
  virtual void Log(uint32_t sourceId, unsigned level, const char* text);

#ifdef DVRCORE_INTERNAL
  // ---- Lifecycle (main thread) ----
  explicit dvrcore(const std::string& executablePath);
  dvrcore(const dvrcore&) = delete;
  dvrcore& operator=(const dvrcore&) = delete;

  // Names the core, sets umask and secure bits, drops privileges and adopts
  // the IPC descriptor (-1 for none). False after a logged failure.
  bool Init(int ipcDescriptor);
  // Start, run and stop; returns when every plugin is unloaded.
  void Start();
  // Any thread: asks the main loop to drain its queue and stop.
  void RequestStop();

  // ---- Event dispatch (any thread) ----
  int PluginEvent(_EventParmsIn* in, _EventParmsOut* out);
  // Clears the reply slot of every event thread whose pending answer is
  // `buffer`. Called just before the buffer is freed.
  void WakeReplyWaiters(void* buffer);
  // Wakes every event thread waiting to queue an answer (on stop).
  void WakeAllReplyWaiters();

  // ---- Plugins (main thread) ----
  // Maps one plugin file, resolves its entries and calls its Load, with every
  // message of the loader. On anything but kAdmitted the file is unmapped
  // again; `plugin` still shows what was learnt (entries, desc, load time).
  PluginAdmission AdmitPlugin(const boost::filesystem::path& path, PLUGININFO& plugin);
  // Calls Unload (its failure is logged) and unmaps, except ID 0x00470000.
  void UnloadPlugin(PLUGININFO& plugin);
  void LoadPlugins();
  void OpenPlugins();
  void ClosePlugins();
  void UnloadPlugins();
  void ProvideWorkerThread(PLUGININFO& plugin);
  void StartAsyncReader(PLUGININFO& plugin);
  // Starts one event thread for `plugin`, which must have been entered
  // (PluginActivity::Enter); the thread owns `copy`.
  void StartEventThread(PLUGININFO& plugin, uint32_t dataLength, void* copy,
                        uint32_t correlationId);
  // Body of one event thread.
  void RunEventThread(PluginEntry read, uint32_t dataLength, void* copy,
                      uint32_t correlationId, PluginActivity* activity);

  // ---- Main loop (main thread) ----
  void RunMainLoop();
  void DeliverRequest(const _EventParmsIn& request);

  // ---- Parent link (I/O thread) ----
  void ProcessIPC(const boost::system::error_code& error, unsigned int bytes);
  void StartReceive();
  void HandleParentPacket(const uint8_t* packet, uint32_t length);
  void QueuePacket(OutgoingPacket packet);
  void SendFrontPacket();
  // Any thread: counts `length` more bytes for the parent, or refuses them
  // when the outgoing queue is full; logs when refusing starts.
  bool ReserveOutgoing(uint32_t length);
  // I/O thread: `length` bytes have left the queue; logs when refusing ends.
  void ReleaseOutgoing(uint32_t length);
  // Any thread, once the queue holds at most half the limit: ends refusing.
  void ResumeOutgoing();

  // ---- Housekeeping (I/O thread) ----
  void Scheduler(const boost::system::error_code& error);
  void UpdateThrottling(bool low);

  // ---- Files and documents ----
  void ReadDescriptionFiles();  // main thread, before loading
  void PublishDescription();    // main thread, end of start-up
  void PublishDocument(const TiXmlDocument& document, uint32_t eventType);
  void WritePluginReport();     // main thread, end of OpenPlugins

  // ---- Privileges (main thread, Init) ----
  bool DropPrivileges();

  // ---- Members, in construction order ----
  // Written on the main thread only; under pluginsLock (exclusive) when its
  // structure changes; other threads walk it under pluginsLock (shared).
  std::vector<PLUGININFO> plugins;
  // Written on the main thread during Init and loading under namesLock
  // (exclusive); read by Log on any thread under namesLock (shared).
  std::map<uint32_t, std::string> moduleNames;
  std::map<std::string, std::string> failedPlugins;  // main thread only
  boost::asio::io_service ioService;
  boost::asio::steady_timer schedulerTimer;  // armed and re-armed on the I/O thread
  IpcSocket ipcSocket;                       // I/O thread once it runs
  // Mirrors ipcSocket.is_open() for other threads: set by Init, cleared on
  // the I/O thread when the link is lost.
  std::atomic<bool> ipcOpen{false};
  std::deque<OutgoingPacket> outgoingPackets;  // I/O thread; main thread after the join
  // Bytes of packets accepted for the parent and not yet written (or freed at
  // shutdown): added by the dispatch on any thread, taken off on the I/O
  // thread. While refusingOutgoing is set, every packet is refused.
  std::atomic<size_t> outgoingBytes{0};
  std::atomic<bool> refusingOutgoing{false};
  IpcBuffer ipcBuffer;                         // I/O thread only
  std::mutex coreMutex;
  std::condition_variable coreWakeup;          // only the main thread waits on it
  std::deque<_EventParmsIn> requestQueue;      // guarded by coreMutex
  AllocationRegistry allocations;              // has its own mutex
  std::mutex threadMutex;
  std::set<uint32_t> cancelledIds;                       // guarded by threadMutex
  std::map<std::thread::id, ReplySlot*> eventThreads;    // guarded by threadMutex
  const std::string executablePath;
  std::string productFamily = "Brevantoria";  // main thread during start-up
  std::string coreVersion;                    // main thread during start-up, then read-only
  std::string libraryFilename;                // guarded by coreMutex
  std::string libraryVersion;                 // guarded by coreMutex
  const bool consoleColour = true;
  // Written under coreMutex, so the main loop's predicate is consistent;
  // atomic so that the dispatch can refuse early without the lock.
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> delayStop{false};         // set on the I/O thread, read by the main thread
  bool memoryThrottlingEnabled = true;        // written before the first tick, then read-only
  bool rewriteCoreFile = true;                // main thread, start-up: false leaves core.xml alone
  std::atomic<bool> throttling{false};        // written by the tick, read by the dispatch

  // ---- Further state ----
  std::thread ioThread;               // runs ioService; main thread starts and joins it
  bool identified = false;            // guarded by coreMutex: the parent identified itself
  SchedulerState scheduler;           // I/O thread only; holds lastTickTime and lowMemorySince
  bool ipcSendFailed = false;         // I/O thread only: a write to the parent failed
  bool schedulerCancelled = false;    // I/O thread only: the stop steps cancelled the tick chain
  mutable std::shared_mutex namesLock;  // guards moduleNames
  std::shared_mutex pluginsLock;        // guards the structure of plugins
#endif  // DVRCORE_INTERNAL
};

#endif  // DVRCORE_CORE_DVRCORE_H
