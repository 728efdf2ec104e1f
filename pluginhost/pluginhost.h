// Plugin host: the plugin table with the core's record of each loaded plugin,
// plugin file discovery and ordering, delivery of events to plugins, the
// status report, and the registry of data buffers shared with plugins.
//
// DESIGN (threads and locks): the table is changed only on the main thread:
// filled by LoadAll, reordered by CloseAll, emptied by UnloadAll; each
// structural change holds pluginsLock exclusively. Other threads (the
// immediate dispatch, the parent link, Log) read it under pluginsLock or
// namesLock held shared, and never call a plugin while holding either. The
// main thread, the only writer, reads without the lock, also while it calls
// plugins. What other threads need of a record beyond that walk lives in
// PluginActivity, a heap object whose address survives every move of its
// record.
#ifndef DVRCORE_PLUGINHOST_PLUGINHOST_H
#define DVRCORE_PLUGINHOST_PLUGINHOST_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "events/locks.h"
#include "events/machinery.h"
#include "pluginhost/plugin.h"

// The extension of plugin files in the plugin directories.
constexpr const char* kPluginExtension = ".so";

// The core's record of one loaded plugin; never seen by plugins. Movable, not
// copyable. Both threads must have been joined before a record is destroyed.
struct PLUGININFO {
  void* handle = nullptr;  // dynamic-loader handle; closed only by unloading
  // The eight exports, null when absent (Load never is in a table entry).
  PluginEntry Load = nullptr;
  PluginEntry Unload = nullptr;
  PluginEntry Open = nullptr;
  PluginEntry Close = nullptr;
  PluginEntry Read = nullptr;
  PluginEntry Write = nullptr;
  PluginEntry Seek = nullptr;  // resolved and recorded, never called
  PluginEntry IOCTL = nullptr;
  std::thread workerThread;  // started after Load when desc.wantsWorker
  std::thread readerThread;  // started after start-up when desc.wantsReader
  _LoadParmsOut desc{};      // the self-description returned by Load
  std::string fileName;      // last path element, extension included
  int32_t openCode = 0;      // what Open returned
  int64_t loadTimeMs = 0;    // time spent in Load, truncated
  int64_t openTimeMs = 0;    // time spent in Open, truncated
  std::unique_ptr<PluginActivity> activity = std::make_unique<PluginActivity>();
};

// How the loader fared with one plugin file.
enum class PluginAdmission { kAdmitted, kNotMapped, kNoLoad, kLoadFailed, kIdTaken };

// Holders of data buffers shared with plugins: (address, owner) pairs ordered
// by address. A buffer is freed by whoever releases its last pair. The
// registry never allocates or frees a buffer itself. Any thread; each call
// holds the registry's own mutex for its whole duration and takes no other.
//
// DESIGN: the main loop's delivery of a queued buffer holds it for the core
// throughout and for each plugin during its call, and nearly always every
// one of those holds is gone again when the delivery ends. They are kept in
// fields of their own rather than in the map, so that a delivery costs no
// node allocation; every other call sees them as holds like the rest.
class AllocationRegistry {
 public:
  // Adds one (address, owner) hold; nothing for a null address.
  void Track(void* address, uint32_t owner) EXCLUDES(mutex_);

  // Removes every hold of `owner` on `address`. Returns true when no hold on
  // the address is left (also for a null address). `removedAny`, when given,
  // tells whether a hold was removed: a release that removed nothing must not
  // free the buffer, since the core may never have owned it.
  bool Release(void* address, uint32_t owner, bool* removedAny = nullptr) EXCLUDES(mutex_);

  // ---- The main loop's delivery of one queued buffer (main thread) ----
  // The calls take the delivered address and do nothing when it is null.
  // The core (kCoreSourceId) holds `address` until EndDelivery.
  void BeginDelivery(void* address) EXCLUDES(mutex_);
  // `owner` holds the delivered buffer during its call, as Track would.
  void HoldForCall(void* address, uint32_t owner) EXCLUDES(mutex_);
  // The call returned: with `retain`, its hold (unless the plugin released
  // it meanwhile) lasts until released; otherwise it goes.
  void EndCall(void* address, bool retain) EXCLUDES(mutex_);
  // Drops the core's hold. True when no hold on the buffer is left: the
  // caller frees it.
  bool EndDelivery(void* address) EXCLUDES(mutex_);

  // At the end of the core's life: reports each remaining hold, in ascending
  // address order, through `report`, and forgets them. Buffers are not freed.
  void ReportLeaks(const std::function<void(void* address, uint32_t owner)>& report)
      EXCLUDES(mutex_);

  size_t HoldCount() const EXCLUDES(mutex_);

 private:
  // Whether a hold on `key` is left, in the delivery's fields or the map.
  bool Held(uintptr_t key) const REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::multimap<uintptr_t, uint32_t> holds_ GUARDED_BY(mutex_);
  // The buffer being delivered (0: none) and the holds on it outside the map.
  // Written by the main thread, read by any releasing thread.
  uintptr_t delivered_ GUARDED_BY(mutex_) = 0;
  bool coreHolds_ GUARDED_BY(mutex_) = false;
  uint32_t caller_ GUARDED_BY(mutex_) = 0;
  bool callerHolds_ GUARDED_BY(mutex_) = false;
};

// The loaded plugins in table order, their module names and the files that
// could not be mapped.
class PluginTable {
 public:
  // `core` is what plugins receive in Load, and the clock that times their
  // Load and Open.
  explicit PluginTable(dvrcore& core);
  PluginTable(const PluginTable&) = delete;
  PluginTable& operator=(const PluginTable&) = delete;

  // ---- Main thread ----
  // Names a module that is not a plugin (the core itself).
  void AddName(uint32_t id, const std::string& name) EXCLUDES(namesLock);
  // Maps one plugin file, resolves its entries and calls its Load, with every
  // message of the loader. On anything but kAdmitted the file is unmapped
  // again; `plugin` still shows what was learnt (entries, desc, load time).
  // Does not add `plugin` to the table.
  PluginAdmission Admit(const boost::filesystem::path& path, PLUGININFO& plugin)
      EXCLUDES(namesLock);
  // Calls Unload (its failure is logged) and unmaps, except ID 0x00470000.
  static void Unload(PLUGININFO& plugin);
  // Loads the ".so" files of `directory`/plugins and `directory`/protected-plugins
  // in their order, starting a worker thread for each plugin that asks.
  void LoadAll(const boost::filesystem::path& directory) EXCLUDES(pluginsLock);
  // Puts an admitted plugin into the table: at the end, or first when its ID
  // is PLUGIN_ID_FIRST.
  void Add(PLUGININFO&& plugin) EXCLUDES(pluginsLock);
  void OpenAll();
  void StartReaders();
  void CloseAll() EXCLUDES(pluginsLock);
  // Joins each plugin's threads, waits for its event threads, unloads it.
  void UnloadAll() EXCLUDES(pluginsLock);
  // Delivers one queued event to the plugins in table order (configuration
  // updates through IOCTL, the rest through Write), holding its buffer in
  // `allocations` for each plugin during its call, and for good when the
  // plugin sets `retain`. Runs between the caller's BeginDelivery and
  // EndDelivery of the buffer.
  void DeliverQueued(const _EventParmsIn& entry, AllocationRegistry& allocations);
  // The records in table order, for the main thread, which is the table's
  // only writer and so may read it without the lock.
  const std::vector<PLUGININFO>& Records() const NO_THREAD_SAFETY_ANALYSIS { return plugins; }
  // Files that could not be mapped, by file name, with the loader's error.
  const std::map<std::string, std::string>& FailedPlugins() const { return failedPlugins; }

  // ---- Any thread ----
  // Starts an event thread with a copy of the event's data for every reader
  // plugin whose masks match the immediate event `in`; not for plugins being
  // unloaded. False when some reader could not be given the event (no memory
  // for its copy, no thread); each such reader is logged as a failure.
  bool StartEventThreads(const _EventParmsIn& in, ReplySlots& slots) EXCLUDES(pluginsLock);
  // A plugin's IOCTL entry (null when it has none) and ID.
  struct IoctlTarget {
    PluginEntry ioctl = nullptr;
    uint32_t id = 0;
  };
  // For a thread that routes calls to plugins one after another (the parent
  // link): when the table has changed since `seen`, copies every plugin's
  // target into `routes` in table order and updates `seen` (start it at 0);
  // otherwise it leaves both alone without taking the lock. An entry copied
  // stays callable until the table's owner unloads the plugin.
  void CopyIoctlRoutes(unsigned& seen, std::vector<IoctlTarget>& routes) EXCLUDES(pluginsLock) {
    if (changes.load(std::memory_order_acquire) != seen) CopyChangedIoctlRoutes(seen, routes);
  }
  std::string FileNameOf(uint32_t id) EXCLUDES(pluginsLock);
  // The module name of `id`; empty when it has none.
  std::string NameOf(uint32_t id) const EXCLUDES(namesLock);
  // The first size - 1 characters of the module name of `id`, or "?".
  void CopyTag(uint32_t id, char* tag, size_t size) const EXCLUDES(namesLock);

 private:
  // The main thread's view (see Records), writable.
  std::vector<PLUGININFO>& OwnRecords() NO_THREAD_SAFETY_ANALYSIS { return plugins; }

  void CopyChangedIoctlRoutes(unsigned& seen, std::vector<IoctlTarget>& routes)
      EXCLUDES(pluginsLock);

  dvrcore& core_;
  SharedMutex pluginsLock;
  std::vector<PLUGININFO> plugins GUARDED_BY(pluginsLock);
  // Counts the structural changes of `plugins`; raised with pluginsLock held
  // exclusively, read by any thread without it (CopyIoctlRoutes).
  std::atomic<unsigned> changes{1};
  // Written on the main thread during Init and loading; read by Log on any
  // thread.
  mutable SharedMutex namesLock;
  std::map<uint32_t, std::string> moduleNames GUARDED_BY(namesLock);
  std::map<std::string, std::string> failedPlugins;  // main thread only
};

// Builds plugins.xml from the records of the table (`plugins`, in table
// order, and the files that could not be mapped), saves it in the working
// directory and publishes it (main thread, once every plugin is open).
// `executableName` names the core's own file; the parent's library appears
// when `libraryVersion` is not empty.
void WritePluginReport(const std::vector<PLUGININFO>& plugins,
                       const std::map<std::string, std::string>& failedPlugins,
                       const std::string& coreVersion, const std::string& executableName,
                       const std::string& libraryFilename, const std::string& libraryVersion);

// Appends every regular file (after following links) of `directory` whose last
// extension is exactly `extension` to `candidates`. A missing directory, or
// a path that is not a directory, adds nothing and is no error; a bad entry
// is skipped. Returns why the directory could not be opened or read to the
// end (a failing scan keeps what it found so far), or no error.
boost::system::error_code FindPluginFiles(const boost::filesystem::path& directory,
                                          const std::string& extension,
                                          std::vector<boost::filesystem::path>& candidates);

// Candidate order: paths containing the marker "Nvrxpr" first, then element by
// element, byte-wise.
bool PluginPathLess(const boost::filesystem::path& a, const boost::filesystem::path& b);
// Sorts candidates into that order, working out each path's key only once.
void SortPluginPaths(std::vector<boost::filesystem::path>& candidates);

// The last element of `path`, as path.filename() gives it, without building
// paths for the common case.
std::string PluginFileName(const boost::filesystem::path& path);

#endif  // DVRCORE_PLUGINHOST_PLUGINHOST_H
