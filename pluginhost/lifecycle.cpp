// Plugin lifecycle: load, open, close and unload, all on the main thread.
//
// DESIGN: the table `plugins` is only changed here, on the main thread, and
// each structural change (insert, reorder, clear) holds pluginsLock
// exclusively so that the dispatch and the parent link, which walk the table
// from other threads under the shared lock, never see it half changed. No
// plugin entry runs under the lock.
//
// A plugin may lack any entry but Load. The core never calls a missing
// entry: such a call is skipped as if the entry had returned 0, and a plugin
// without Write or IOCTL simply receives nothing through them.
//
// Before a plugin's Unload, its reader and worker threads are joined and its
// event threads are waited for (PluginActivity), so no thread runs its code
// when the shared object is unmapped.
#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <numeric>

#include <boost/filesystem/path.hpp>

#include "core/dvrcore.h"

namespace fs = boost::filesystem;

namespace {

constexpr const char* kPluginExtension = ".so";

int64_t ElapsedMs(std::chrono::steady_clock::time_point start,
                  std::chrono::steady_clock::time_point end) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000000;
}

std::string LowerCaseStem(const fs::path& path) {
  std::string stem = path.stem().string();
  for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return stem;
}

template <typename Entry>
Entry LookUp(void* handle, const char* name) {
  return reinterpret_cast<Entry>(dlsym(handle, name));
}

}  // namespace

int32_t CallPluginEntry(PluginEntry entry, void* request, void* result, ThreadEnd onThreadEnd) {
  if (entry == nullptr) return 0;
  try {
    return entry(request, result);
  } catch (abi::__forced_unwind&) {
    // Not an error but the end of this thread, which glibc insists on
    // finishing: swallowing it aborts the process.
    if (onThreadEnd == ThreadEnd::kLetItEnd) throw;
    CORE_LOG(100, "a plugin ended a thread the core cannot do without; aborting");
    std::abort();
  } catch (...) {
    // A C++ plugin let an exception escape; it must not unwind the core.
    return -1;
  }
}

PluginAdmission dvrcore::AdmitPlugin(const fs::path& path, PLUGININFO& plugin) {
  const std::string fileName = path.filename().string();
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    const char* why = dlerror();
    std::string text = why ? why : "unknown error";
    CORE_LOG(100, "Core: Failed to load plugin '%s': %s", fileName.c_str(), text.c_str());
    failedPlugins[fileName] = text;
    return PluginAdmission::kNotMapped;
  }

  plugin.handle = handle;
  plugin.fileName = fileName;
  CORE_LOG(0, "Core: Loaded plugin: %s", fileName.c_str());

  plugin.Load = LookUp<PluginEntry>(handle, "Load");
  plugin.Unload = LookUp<PluginEntry>(handle, "Unload");
  plugin.Open = LookUp<PluginEntry>(handle, "Open");
  plugin.Close = LookUp<PluginEntry>(handle, "Close");
  plugin.Read = LookUp<PluginEntry>(handle, "Read");
  plugin.Write = LookUp<PluginEntry>(handle, "Write");
  plugin.Seek = LookUp<PluginEntry>(handle, "Seek");
  plugin.IOCTL = LookUp<PluginEntry>(handle, "IOCTL");
  if (plugin.Load == nullptr) {
    dlclose(handle);
    CORE_LOG(100, "Core: Failed to load plugin: %s (missing symbol)", fileName.c_str());
    return PluginAdmission::kNoLoad;
  }

  _LoadParmsIn in{};
  in.size = sizeof in;
  in.version = 3;
  in.core = this;
  in.raiseEvent = FlatPluginEvent;
  _LoadParmsOut out{};
  out.size = sizeof out;
  out.version = 1;
  auto start = now();
  int32_t rc = CallPluginEntry(plugin.Load, &in, &out);
  plugin.loadTimeMs = ElapsedMs(start, now());
  plugin.desc = out;
  if (rc != 0 || out.error != 0) {
    dlclose(handle);
    CORE_LOG(100, "plugin %s load returned %d error %d", fileName.c_str(), rc, out.error);
    return PluginAdmission::kLoadFailed;
  }
  // moduleNames is written only on this thread, so reading it here needs
  // no lock.
  if (moduleNames.count(out.id) != 0) {
    dlclose(handle);
    CORE_LOG(50, "plugin %s ID 0x%08lX already loaded", fileName.c_str(),
             static_cast<unsigned long>(out.id));
    return PluginAdmission::kIdTaken;
  }
  std::unique_lock<std::shared_mutex> lock(namesLock);
  moduleNames[out.id] = LowerCaseStem(path);
  return PluginAdmission::kAdmitted;
}

void dvrcore::UnloadPlugin(PLUGININFO& plugin) {
  _UnloadParmsIn in{};
  in.size = sizeof in;
  in.version = 1;
  _UnloadParmsOut out{};
  out.size = sizeof out;
  out.version = 1;
  int32_t rc = CallPluginEntry(plugin.Unload, &in, &out);
  if (rc != 0 || out.error != 0) {
    CORE_LOG(0, "plugin %s unload returned %d error %d", plugin.fileName.c_str(), rc, out.error);
  }
  if (plugin.desc.id != PLUGIN_ID_NEVER_UNMAP) dlclose(plugin.handle);
}

IoctlCall::IoctlCall(uint32_t code, void* data, uint32_t dataLength) : in{}, out{} {
  in.size = sizeof in;
  in.version = 1;
  in.code = code;
  // A payload of data (configuration, packets) is described as 16 bytes, the
  // worker's call without data as 8.
  in.payloadSize = code == IOCTL_RUN_WORKER ? IOCTL_PAYLOAD_SIZE_WORKER : IOCTL_PAYLOAD_SIZE_DATA;
  in.payloadVersion = 1;
  in.dataLength = dataLength;
  in.data = data;
  out.size = sizeof out;
  out.version = 1;
  out.code = code;
  out.payloadSize = 8;
  out.payloadVersion = 1;
}

void dvrcore::LoadPlugins() {
  const fs::path directory = fs::path(executablePath).parent_path();
  std::vector<fs::path> candidates;
  FindPluginFiles(directory / "plugins", kPluginExtension, candidates);
  FindPluginFiles(directory / "protected-plugins", kPluginExtension, candidates);
  SortPluginPaths(candidates);

  for (const fs::path& path : candidates) {
    PLUGININFO plugin;
    if (AdmitPlugin(path, plugin) != PluginAdmission::kAdmitted) continue;
    if (plugin.desc.wantsWorker) ProvideWorkerThread(plugin);

    std::unique_lock<std::shared_mutex> lock(pluginsLock);
    if (plugin.desc.id == PLUGIN_ID_FIRST && !plugins.empty()) {
      plugins.insert(plugins.begin(), std::move(plugin));
    } else {
      plugins.push_back(std::move(plugin));
    }
  }
}

void dvrcore::OpenPlugins() {
  for (PLUGININFO& plugin : plugins) {
    _OpenParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    _OpenParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    auto start = now();
    plugin.openCode = CallPluginEntry(plugin.Open, &in, &out);
    plugin.openTimeMs = ElapsedMs(start, now());
  }
  WritePluginReport();
}

void dvrcore::ClosePlugins() {
  if (plugins.empty()) return;

  // Larger mask 6 first (unsigned). The records are moved into a new table
  // in that order rather than sorted in place: a record holds thread
  // objects, which must never be move-assigned over while joinable.
  {
    std::unique_lock<std::shared_mutex> lock(pluginsLock);
    std::vector<size_t> order(plugins.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
      return plugins[a].desc.eventMasks[5] > plugins[b].desc.eventMasks[5];
    });
    std::vector<PLUGININFO> closingOrder;
    closingOrder.reserve(plugins.size());
    for (size_t index : order) closingOrder.push_back(std::move(plugins[index]));
    plugins.swap(closingOrder);
  }

  for (PLUGININFO& plugin : plugins) {
    _CloseParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    _CloseParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    int32_t rc = CallPluginEntry(plugin.Close, &in, &out);
    if (rc != 0 || out.error != 0) {
      CORE_LOG(0, "plugin %s close returned %d error %d", plugin.fileName.c_str(), rc, out.error);
    }
  }
}

void dvrcore::UnloadPlugins() {
  for (PLUGININFO& plugin : plugins) {
    if (plugin.readerThread.joinable()) plugin.readerThread.join();
    if (plugin.workerThread.joinable()) plugin.workerThread.join();
    plugin.activity->SealAndWait();
    UnloadPlugin(plugin);
  }
  std::unique_lock<std::shared_mutex> lock(pluginsLock);
  plugins.clear();
}
