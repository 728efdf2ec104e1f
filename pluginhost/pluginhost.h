// Plugin host: the core's record of a loaded plugin, plugin file discovery and
// ordering, and the registry of data buffers shared with plugins.
//
// DESIGN: the plugin table (dvrcore::plugins) is changed only on the main
// thread: filled by dvrcore::LoadPlugins, reordered by dvrcore::ClosePlugins,
// emptied by dvrcore::UnloadPlugins. Other threads (immediate dispatch, the
// parent link) walk it under dvrcore::pluginsLock held shared and never call
// a plugin while holding it. What those threads need beyond the walk lives in
// PluginActivity, a heap object whose address survives every move of its
// record, so an event thread can tell the unloading step that it has left the
// plugin's code.
#ifndef DVRCORE_PLUGINHOST_PLUGINHOST_H
#define DVRCORE_PLUGINHOST_PLUGINHOST_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "pluginhost/plugin.h"

// Counts the event threads that are inside (or about to enter) one plugin's
// Read, so that the plugin is never unmapped under them.
class PluginActivity {
 public:
  // Any thread: registers one event thread. False once the plugin is sealed
  // for unloading; the event is then not delivered to it.
  bool Enter();
  // Any thread: the event thread has left the plugin's code for good. Must be
  // the event thread's last touch of core state.
  void Leave();
  // Main thread, unloading: refuses new event threads and waits until the
  // running ones have left.
  void SealAndWait();

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  unsigned live_ = 0;   // guarded by mutex_
  bool sealed_ = false; // guarded by mutex_
};

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

// What a call does when the plugin ends the calling thread (pthread_exit, or
// cancellation acted on inside the entry): glibc unwinds the thread with a
// forced-unwind exception, which must run to the thread's start or abort.
enum class ThreadEnd {
  // Lent threads (worker, reader, event threads): the thread was the
  // plugin's to use; it ends, undoing the core's bookkeeping as it unwinds.
  kLetItEnd,
  // The main and the I/O thread: the core cannot run without them, so the
  // process aborts with a message instead of unwinding half-built state.
  kAbortProcess,
};

// Calls one plugin entry; a missing entry counts as success (0), and an
// exception escaping a C++ plugin counts as -1 instead of unwinding the core.
int32_t CallPluginEntry(PluginEntry entry, void* request, void* result,
                        ThreadEnd onThreadEnd = ThreadEnd::kAbortProcess);

// The request and result records of one IOCTL call, filled as the core
// fills them for every code.
struct IoctlCall {
  IoctlCall(uint32_t code, void* data, uint32_t dataLength);
  _IoctlParmsIn in;
  _IoctlParmsOut out;
};

// Appends every regular file (after following links) of `directory` whose last
// extension is exactly `extension` to `candidates`. Never fails: a missing
// directory adds nothing, a bad entry is skipped, a failing scan keeps what it
// found so far.
void FindPluginFiles(const boost::filesystem::path& directory, const std::string& extension,
                     std::vector<boost::filesystem::path>& candidates);

// Candidate order: paths containing the marker "Nvrxpr" first, then element by
// element, byte-wise.
bool PluginPathLess(const boost::filesystem::path& a, const boost::filesystem::path& b);
// Sorts candidates into that order, taking each path apart only once.
void SortPluginPaths(std::vector<boost::filesystem::path>& candidates);

// Holders of data buffers shared with plugins: (address, owner) pairs ordered
// by address. A buffer is freed by whoever releases its last pair. The
// registry never allocates or frees a buffer itself.
//
// Thread safety: Track and Release may be called from any thread; each holds
// the registry's own mutex for its whole duration and takes no other lock.
class AllocationRegistry {
 public:
  // Adds one (address, owner) hold; nothing for a null address.
  void Track(void* address, uint32_t owner);

  // Removes every hold of `owner` on `address`. Returns true when no hold on
  // the address is left (also for a null address). `removedAny`, when given,
  // tells whether a hold was removed: a release that removed nothing must not
  // free the buffer, since the core may never have owned it.
  bool Release(void* address, uint32_t owner, bool* removedAny = nullptr);

  // At the end of the core's life: reports each remaining hold, in ascending
  // address order, through `report`, and forgets them. Buffers are not freed.
  void ReportLeaks(const std::function<void(void* address, uint32_t owner)>& report);

  size_t HoldCount() const;

 private:
  mutable std::mutex mutex_;
  std::multimap<uintptr_t, uint32_t> holds_;  // guarded by mutex_
};

#endif  // DVRCORE_PLUGINHOST_PLUGINHOST_H
