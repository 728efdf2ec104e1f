// Plugin lifecycle: load, open, close and unload, all on the main thread.
//
// DESIGN: the table is filled by LoadAll, reordered by CloseAll and emptied
// by UnloadAll; each of these structural changes (insert, reorder, clear)
// holds pluginsLock exclusively so that the dispatch and the parent link,
// which walk the table from other threads under the shared lock, never see it
// half changed. The routing index follows each change under the same lock.
// No plugin entry runs under the lock.
//
// A plugin may lack any entry but Load: CallPluginEntry skips a missing one,
// so a plugin without Write or IOCTL simply receives nothing through them.
//
// Before a plugin's Unload, its reader and worker threads are joined and its
// event threads are waited for (PluginActivity), so no thread runs its code
// when the shared object is unmapped.
//
// Threads a plugin starts inside its Load or Open inherit the main thread's
// name; ThreadsStartedInCall gives them the plugin's tag once the call has
// returned, so that they count as the plugin's, not the core's.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <numeric>

#include "core/dvrcore.h"
#include "events/call_watch.h"
#include "events/figures.h"
#include "events/plugin_call.h"
#include "events/raise.h"
#include "pluginhost/discovery.h"
#include "pluginhost/plugin_table.h"

namespace fs = boost::filesystem;

namespace {

int64_t ElapsedMs(std::chrono::steady_clock::time_point start,
                  std::chrono::steady_clock::time_point end) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000000;
}

// The module name: the stem of a plugin's file name, lower-cased. The stem
// ends at the last dot, as path::stem() cuts it ("." and ".." stay whole).
std::string LowerCaseStem(const std::string& fileName) {
  size_t end = fileName.rfind('.');
  if (end == std::string::npos || fileName == "." || fileName == "..") end = fileName.size();
  std::string stem(fileName, 0, end);
  for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return stem;
}

PluginEntry LookUp(void* handle, const char* name) {
  return reinterpret_cast<PluginEntry>(dlsym(handle, name));
}

}  // namespace

std::string UnmaskedRemark(const _LoadParmsOut& desc) {
  if (!desc.acceptsWrites && !desc.wantsReader) return {};
  for (uint32_t mask : desc.eventMasks) {
    if (mask != 0) return {};
  }
  const char* asks = !desc.wantsReader ? "acceptsWrites"
                     : !desc.acceptsWrites ? "wantsReader"
                                           : "acceptsWrites, wantsReader";
  return std::string("asks for events (") + asks +
         ") but every event mask is 0: only events raised without flags reach it";
}

PluginTable::PluginTable(dvrcore& core) : core(core) {}

void PluginTable::AddName(uint32_t id, const std::string& name) {
  AssertOnThread(g_mainThread);
  WriterLock lock(namesLock);
  moduleNames[id] = name;
}

PluginAdmission PluginTable::Admit(const fs::path& path, PLUGININFO& plugin) {
  AssertOnThread(g_mainThread);
  std::string fileName = PluginFileName(path);
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  if (handle == nullptr) return NotMapped(std::move(fileName));

  plugin.handle = handle;
  plugin.fileName = std::move(fileName);
  const char* name = plugin.fileName.c_str();
  CORE_LOG(kLogDetail, "Core: Loaded plugin: %s", name);

  for (const EntrySlot& slot : kEntrySlots) {
    plugin.*slot.member = LookUp(handle, EntryName(slot.value));
  }
  if (plugin.Load == nullptr) {
    dlclose(handle);
    CORE_LOG(kLogFailure, "Core: Failed to load plugin: %s (missing symbol)", name);
    return PluginAdmission::kNoLoad;
  }

  std::string moduleName = LowerCaseStem(plugin.fileName);
  plugin.threadTag = ThreadTag(moduleName, threadTags);
  threadTags.insert(plugin.threadTag);
  // Counting from Load on, which may already raise events; listed only once
  // the plugin is in the table.
  plugin.figures = &figures.Open(plugin.fileName, plugin.threadTag);
  plugin.activity->figures = plugin.figures;
  const int32_t rc = CallLoad(plugin);
  if (rc != 0 || plugin.desc.error != 0) {
    dlclose(handle);
    LogFailedCall(kLogFailure, name, "load", rc, plugin.desc.error);
    return PluginAdmission::kLoadFailed;
  }
  plugin.activity->eventThreadName = MakeThreadName(plugin.threadTag, ":ev");
  return ClaimId(plugin, std::move(moduleName));
}

PluginAdmission PluginTable::NotMapped(std::string fileName) {
  const char* why = dlerror();
  std::string text = why ? why : "unknown error";
  CORE_LOG(kLogFailure, "Core: Failed to load plugin '%s': %s", fileName.c_str(), text.c_str());
  failedPlugins.insert_or_assign(std::move(fileName), std::move(text));
  return PluginAdmission::kNotMapped;
}

int32_t PluginTable::CallLoad(PLUGININFO& plugin) {
  auto in = NewRecord<_LoadParmsIn>(3);
  in.core = &core;
  in.raiseEvent = FlatPluginEvent;
  auto out = NewRecord<_LoadParmsOut>();
  callThreads.Before();
  auto start = core.now();
  int32_t rc;
  {
    // Watched only for a fatal signal's report: no watchdog runs yet, and
    // the plugin has no ID before its Load returns.
    WatchedCall watched(0, EntryName(EntryPoint::kLoad));
    TimedCall timed(*plugin.figures, CallEntry::kLoad);
    rc = CallPluginEntry(plugin.Load, &in, &out);
  }
  plugin.loadTimeMs = ElapsedMs(start, core.now());
  callThreads.After(MakeThreadName(plugin.threadTag, ":ld"));
  plugin.desc = out;
  return rc;
}

PluginAdmission PluginTable::ClaimId(PLUGININFO& plugin, std::string moduleName) {
  const uint32_t id = plugin.desc.id;
  {
    WriterLock lock(namesLock);
    if (moduleNames.try_emplace(id, std::move(moduleName)).second) {
      return PluginAdmission::kAdmitted;
    }
  }
  dlclose(plugin.handle);
  CORE_LOG(kLogNotable, "plugin %s ID 0x%08lX already loaded", plugin.fileName.c_str(),
           static_cast<unsigned long>(id));
  return PluginAdmission::kIdTaken;
}

void PluginTable::Unload(PLUGININFO& plugin) {
  auto in = NewRecord<_UnloadParmsIn>();
  auto out = NewRecord<_UnloadParmsOut>();
  int32_t rc;
  {
    WatchedCall watched(plugin.desc.id, EntryName(EntryPoint::kUnload));
    TimedCall timed(*plugin.figures, CallEntry::kUnload);
    rc = CallPluginEntry(plugin.Unload, &in, &out);
  }
  ReportFailedCall(rc, out.error, kLogDetail, "unload", plugin.fileName);
  if (plugin.desc.id != PLUGIN_ID_NEVER_UNMAP) dlclose(plugin.handle);
}

void PluginTable::LoadAll(const fs::path& directory) {
  AssertOnThread(g_mainThread);
  std::vector<fs::path> candidates;
  // The core goes on with what it found: the other folder's plugins, or
  // none, which the parent notices without them.
  for (const UnreadableFolder& unreadable : FindCorePluginFiles(directory, candidates)) {
    CORE_LOG(kLogFailure, "Core: Failed to read plugin directory '%s': %s",
             unreadable.folder.c_str(), unreadable.error.message().c_str());
  }
  {
    // Room for every candidate at once, rather than a regrowth now and then
    // that moves every record so far.
    WriterLock lock(pluginsLock);
    plugins.reserve(plugins.size() + candidates.size());
  }

  callThreads.Rebase();
  for (const fs::path& path : candidates) {
    PLUGININFO plugin;
    if (Admit(path, plugin) != PluginAdmission::kAdmitted) continue;
    const std::string unmasked = UnmaskedRemark(plugin.desc);
    if (!unmasked.empty()) {
      CORE_LOG(kLogNotable, "plugin %s %s", plugin.fileName.c_str(), unmasked.c_str());
    }
    if (plugin.desc.wantsWorker) {
      plugin.workerThread =
          StartWorkerThread(plugin.IOCTL, plugin.fileName, plugin.threadTag, plugin.figures);
      // What came with the worker is not the next plugin's (a runtime may
      // start a helper thread of its own at the process's first thread).
      callThreads.Rebase();
    }
    Add(std::move(plugin));
  }
}

void PluginTable::Add(PLUGININFO&& plugin) {
  AssertOnThread(g_mainThread);
  if (plugin.figures != &UncountedFigures()) figures.Publish(*plugin.figures, plugin.desc.id);
  WriterLock lock(pluginsLock);
  if (plugin.desc.id == PLUGIN_ID_FIRST && !plugins.empty()) {
    plugins.insert(plugins.begin(), std::move(plugin));
    IndexAll();  // every position moved; IDs are unique, so this happens once
  } else {
    plugins.push_back(std::move(plugin));
    IndexLast();
  }
  changes++;
}

void PluginTable::IndexLast() {
  const PLUGININFO& plugin = plugins.back();
  routes.Append(plugin.desc, plugin.desc.acceptsWrites && plugin.Write != nullptr,
                plugin.desc.wantsReader && plugin.Read != nullptr);
}

void PluginTable::IndexAll() {
  routes.Clear();
  for (const PLUGININFO& plugin : plugins) {
    routes.Append(plugin.desc, plugin.desc.acceptsWrites && plugin.Write != nullptr,
                  plugin.desc.wantsReader && plugin.Read != nullptr);
  }
}

void PluginTable::OpenAll() {
  AssertOnThread(g_mainThread);
  // The I/O thread and the watchers have started since the loading.
  callThreads.Rebase();
  for (PLUGININFO& plugin : OwnRecords()) {
    auto in = NewRecord<_OpenParmsIn>();
    auto out = NewRecord<_OpenParmsOut>();
    callThreads.Before();
    auto start = core.now();
    {
      WatchedCall watched(plugin.desc.id, EntryName(EntryPoint::kOpen));
      TimedCall timed(*plugin.figures, CallEntry::kOpen);
      plugin.openCode = CallPluginEntry(plugin.Open, &in, &out);
    }
    plugin.openTimeMs = ElapsedMs(start, core.now());
    callThreads.After(MakeThreadName(plugin.threadTag, ":op"));
    // Nothing is undone: the author learns here what plugins.xml alone shows.
    if (plugin.openCode != 0) {
      CORE_LOG(kLogNotable, "plugin %s Open returned %ld; it stays open and receives events",
               plugin.fileName.c_str(), static_cast<long>(plugin.openCode));
    }
  }
}

void PluginTable::StartReaders() {
  AssertOnThread(g_mainThread);
  for (PLUGININFO& plugin : OwnRecords()) {
    if (plugin.desc.wantsReader) {
      plugin.readerThread =
          StartReaderThread(plugin.Read, plugin.fileName, plugin.threadTag, plugin.figures);
    }
  }
}

void PluginTable::CloseAll() {
  AssertOnThread(g_mainThread);
  // Larger mask 6 first (unsigned). The records are moved into a new table
  // in that order rather than sorted in place: a record holds thread
  // objects, which must never be move-assigned over while joinable.
  {
    WriterLock lock(pluginsLock);
    std::vector<size_t> order(plugins.size());
    std::iota(order.begin(), order.end(), 0);
    // The comparison runs here, under the lock, but the analysis sees a
    // lambda apart from it: so it reads the records through their address.
    const PLUGININFO* records = plugins.data();
    std::stable_sort(order.begin(), order.end(), [records](size_t a, size_t b) {
      return records[a].desc.eventMasks[5] > records[b].desc.eventMasks[5];
    });
    std::vector<PLUGININFO> closingOrder;
    closingOrder.reserve(plugins.size());
    for (size_t index : order) closingOrder.push_back(std::move(plugins[index]));
    plugins.swap(closingOrder);
    IndexAll();
    changes++;
  }

  for (PLUGININFO& plugin : OwnRecords()) {
    auto in = NewRecord<_CloseParmsIn>();
    auto out = NewRecord<_CloseParmsOut>();
    int32_t rc;
    {
      WatchedCall watched(plugin.desc.id, EntryName(EntryPoint::kClose));
      TimedCall timed(*plugin.figures, CallEntry::kClose);
      rc = CallPluginEntry(plugin.Close, &in, &out);
    }
    plugin.figures->closed.store(true, std::memory_order_relaxed);
    ReportFailedCall(rc, out.error, kLogDetail, "close", plugin.fileName);
  }
}

void PluginTable::UnloadAll() {
  AssertOnThread(g_mainThread);
  for (PLUGININFO& plugin : OwnRecords()) {
    JoinLentThread(plugin.readerThread, plugin.fileName, "reader");
    JoinLentThread(plugin.workerThread, plugin.fileName, "worker");
    plugin.activity->SealAndWait();
    Unload(plugin);
  }
  WriterLock lock(pluginsLock);
  plugins.clear();
  routes.Clear();
  changes++;
}

void PluginTable::CopyChangedIoctlRoutes(unsigned& seen, std::vector<IoctlTarget>& routes) {
  ReaderLock lock(pluginsLock);
  seen = changes.load();
  routes.clear();
  for (const PLUGININFO& plugin : plugins) {
    routes.push_back({plugin.IOCTL, plugin.desc.id, plugin.figures});
  }
}

std::string PluginTable::FileNameOf(uint32_t id) {
  ReaderLock lock(pluginsLock);
  for (const PLUGININFO& plugin : plugins) {
    if (plugin.desc.id == id) return plugin.fileName;
  }
  return {};
}

std::string PluginTable::NameOf(uint32_t id) const {
  ReaderLock lock(namesLock);
  auto it = moduleNames.find(id);
  return it == moduleNames.end() ? std::string() : it->second;
}

void PluginTable::CopyTag(uint32_t id, char* tag, size_t size) const {
  ReaderLock lock(namesLock);
  auto it = moduleNames.find(id);
  const char* name = it == moduleNames.end() ? "?" : it->second.c_str();
  std::strncpy(tag, name, size - 1);
  tag[size - 1] = '\0';
}
