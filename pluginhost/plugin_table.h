// The plugin table: the core's record of each loaded plugin in table order,
// the module names and the files that could not be mapped; loading, opening,
// closing and unloading (lifecycle.cpp) and delivering events to plugins
// (delivery.cpp).
//
// DESIGN (threads and locks): the table is changed only on the main thread
// (lifecycle.cpp). Other threads (the immediate dispatch, the parent link,
// Log) read it under pluginsLock or namesLock held shared, and never call a
// plugin while holding either. The main thread, the only writer, reads
// without the lock, also while it calls plugins: its role (g_mainThread)
// stands for a shared hold of pluginsLock (MainThreadReads). What other threads need of a
// record beyond that walk lives in PluginActivity, a heap object whose
// address survives every move of its record.
#ifndef DVRCORE_PLUGINHOST_PLUGIN_TABLE_H
#define DVRCORE_PLUGINHOST_PLUGIN_TABLE_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "events/figures.h"
#include "events/locks.h"
#include "events/names.h"
#include "events/plugin_threads.h"
#include "events/reply_slots.h"
#include "pluginhost/allocation_registry.h"
#include "pluginhost/plugin.h"
#include "pluginhost/routing_index.h"

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
  std::string threadTag;     // what its threads' names begin with (ThreadTag)
  // What it does, counted (PluginTable::Figures); outlives the record.
  PluginFigures* figures = &UncountedFigures();
  int32_t openCode = 0;      // what Open returned
  int64_t loadTimeMs = 0;    // time spent in Load, truncated
  int64_t openTimeMs = 0;    // time spent in Open, truncated
  std::unique_ptr<PluginActivity> activity = std::make_unique<PluginActivity>();
};

// Where the record keeps each entry, in the entries' order (events/names.h):
// the loader resolves them by their names, the inspector lists them.
struct EntrySlot {
  EntryPoint value;
  PluginEntry PLUGININFO::*member;
};
inline constexpr EntrySlot kEntrySlots[] = {
    {EntryPoint::kLoad, &PLUGININFO::Load},   {EntryPoint::kUnload, &PLUGININFO::Unload},
    {EntryPoint::kOpen, &PLUGININFO::Open},   {EntryPoint::kClose, &PLUGININFO::Close},
    {EntryPoint::kRead, &PLUGININFO::Read},   {EntryPoint::kWrite, &PLUGININFO::Write},
    {EntryPoint::kSeek, &PLUGININFO::Seek},   {EntryPoint::kIoctl, &PLUGININFO::IOCTL}};
static_assert(std::size(kEntrySlots) == FigureIndex(EntryPoint::kCount), "one slot an entry");
static_assert(RowsInOrder(kEntrySlots), "slots in the entries' order");

// What a plugin that asks for events (acceptsWrites, wantsReader) with every
// event mask 0 is told, without its name: only events raised without flags
// reach it. Empty for any other plugin.
std::string UnmaskedRemark(const _LoadParmsOut& desc);

// How the loader fared with one plugin file.
enum class PluginAdmission { kAdmitted, kNotMapped, kNoLoad, kLoadFailed, kIdTaken };

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
  // Each of these asserts g_mainThread at its start: the core's tests call
  // them from their own thread, as the process entry does from main.
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
  const std::vector<PLUGININFO>& Records() const REQUIRES(g_mainThread) {
    MainThreadReads();
    return plugins;
  }
  // Files that could not be mapped, by file name, with the loader's error.
  const std::map<std::string, std::string>& FailedPlugins() const REQUIRES(g_mainThread) {
    return failedPlugins;
  }

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
    PluginFigures* figures = &UncountedFigures();
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
  // Any thread: the first size - 1 characters of the file name of plugin
  // `id`, or "?"; allocates nothing.
  void CopyFileName(uint32_t id, char* name, size_t size) EXCLUDES(pluginsLock);
  // Every plugin's figures, for as long as the table exists: those of the
  // plugins unloaded at the stop too. Any thread (see PluginFiguresBook).
  PluginFiguresBook& Figures() { return figures; }

 private:
  // The main thread reads `plugins` and `routes` without pluginsLock: no other
  // thread writes them, and it writes them only under the lock held
  // exclusively. The analysis knows no "only writer", so the main thread's
  // role stands for the shared hold here, and only here.
  void MainThreadReads() const REQUIRES(g_mainThread) ASSERT_SHARED_CAPABILITY(pluginsLock) {}
  // The main thread's view (see Records), writable. What it writes through
  // this view without the lock are fields of a record that no other thread
  // reads (openCode, openTimeMs, readerThread, and what the plugin's figures
  // and activity guard themselves); the analysis guards the vector as a
  // whole and cannot tell those fields apart, so that much rests on this
  // comment. A change of the vector itself takes the lock (Add, CloseAll).
  std::vector<PLUGININFO>& OwnRecords() REQUIRES(g_mainThread) {
    MainThreadReads();
    return plugins;
  }
  // The main thread's view of the routing index, as Records.
  const RoutingIndex& OwnRoutes() const REQUIRES(g_mainThread) {
    MainThreadReads();
    return routes;
  }
  // Enter the records into the routing index, with pluginsLock held
  // exclusively: IndexLast the one just appended, IndexAll every one anew
  // after the positions changed.
  void IndexLast() REQUIRES(pluginsLock);
  void IndexAll() REQUIRES(pluginsLock);

  void CopyChangedIoctlRoutes(unsigned& seen, std::vector<IoctlTarget>& routes)
      EXCLUDES(pluginsLock);

  // The steps of Admit. NotMapped records and logs a file that dlopen
  // refused (dlerror still holds why); CallLoad calls the plugin's Load,
  // timed, and keeps what it returned in `plugin`; ClaimId gives the loaded
  // plugin's ID `moduleName`, or unmaps it when the ID is taken.
  PluginAdmission NotMapped(std::string fileName) REQUIRES(g_mainThread);
  int32_t CallLoad(PLUGININFO& plugin) REQUIRES(g_mainThread);
  PluginAdmission ClaimId(PLUGININFO& plugin, std::string moduleName) EXCLUDES(namesLock);

  dvrcore& core;
  SharedMutex pluginsLock ACQUIRED_BEFORE(PluginActivity::mutex_);
  std::vector<PLUGININFO> plugins GUARDED_BY(pluginsLock);
  // Which records each event reaches, by position in `plugins`; changed with
  // every structural change of `plugins` under the same exclusive lock, read
  // as `plugins` is (the main loop without the lock, the immediate dispatch
  // under it).
  RoutingIndex routes GUARDED_BY(pluginsLock);
  // Counts the structural changes of `plugins`; raised with pluginsLock held
  // exclusively, read by any thread without it (CopyIoctlRoutes).
  std::atomic<unsigned> changes{1};
  // Written on the main thread during Init and loading; read by Log on any
  // thread.
  mutable SharedMutex namesLock;
  std::map<uint32_t, std::string> moduleNames GUARDED_BY(namesLock);
  std::map<std::string, std::string> failedPlugins GUARDED_BY(g_mainThread);
  // Every thread tag given so far, so that no two plugins share one (the
  // figures tell their threads apart by it).
  std::set<std::string> threadTags GUARDED_BY(g_mainThread);
  ThreadsStartedInCall callThreads GUARDED_BY(g_mainThread);  // around Load and Open
  PluginFiguresBook figures;  // its own lock; see PluginFiguresBook
};

#endif  // DVRCORE_PLUGINHOST_PLUGIN_TABLE_H
