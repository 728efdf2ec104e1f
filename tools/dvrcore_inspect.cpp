// dvrcore-inspect: tells a plugin author what the core would make of plugin
// files, without running a core.
//
//   dvrcore-inspect <file-or-directory>...
//
// It prints the order in which the core would load the files (directories are
// scanned for ".so" files the way the core scans its plugin directories;
// files are taken as given; the whole list is sorted with the core's order),
// then for each file: whether it maps, which of the eight entries it exports,
// and, after its Load, its self-description. The core's own messages for
// rejected files appear as the core words them. Exit status: 0 when every
// file loaded, 1 otherwise, 2 for a usage error.
//
// DESIGN: one thread. Each file goes through the core's own admission step
// (PluginTable::Admit of a real core object that is never started: dlopen
// with RTLD_NOW, the eight look-ups, Load, the ID check), then through its
// unloading step (Unload, dlclose). Open and Close
// are never called and no worker or reader thread is started. A plugin's
// events raised from Load go through the real dispatch: log lines reach the
// Log override below, queued events stay in the unstarted core's queue until
// it is destroyed, packets for the parent are refused (no link). The tool
// resolves FlatPluginEvent and the core's virtual table for the plugins the
// same way the executable does (linked with exports, see tools/CMakeLists.txt).
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "core/core.h"

namespace fs = boost::filesystem;

namespace {

const char kUsage[] =
    "usage: dvrcore-inspect <file-or-directory>...\n"
    "Shows the order in which the core would load the given plugin files (and the\n"
    "\".so\" files of the given directories), and what each file exports and\n"
    "reports from its Load. Open and Close are never called and no thread is\n"
    "started. Exit status: 0 when every file loaded, 1 otherwise.\n";

const char* const kEntryNames[] = {"Load", "Unload", "Open", "Close",
                                   "Read", "Write",  "Seek", "IOCTL"};

// A core object that is never started. Every log event ends in Log, so
// overriding it prints the core's messages (and the plugins' log lines) on
// stdout instead of the terminal-only console and syslog.
class InspectorCore : public dvrcore {
 public:
  explicit InspectorCore(const std::string& executablePath) : dvrcore(executablePath) {
    Table().AddName(kCoreSourceId, "core");
  }

  // The core's own plugin table, never filled: files only pass through it.
  PluginTable& Table() { return CoreControl::PartsOf(*this).plugins; }

  // Any thread (a plugin may log from threads of its own); one printf per
  // line, so lines do not interleave.
  void Log(uint32_t sourceId, unsigned level, const char* text) override {
    if (text == nullptr) return;
    if (sourceId == kCoreSourceId) {
      std::printf("  %s\n", text);
    } else {
      std::printf("  log from 0x%08lX level %u: %s\n", static_cast<unsigned long>(sourceId), level,
                  text);
    }
  }
};

// What the ID means to the core beyond naming the plugin; empty for none.
std::string IdRemark(InspectorCore& core, PluginAdmission outcome, uint32_t id) {
  if (id == kCoreSourceId) return " (reserved: taken by the core)";
  if (outcome == PluginAdmission::kIdTaken) {
    return " (clashes with an earlier file: " + core.Table().NameOf(id) + ")";
  }
  if (id == PLUGIN_ID_FIRST) return " (reserved: placed first in the plugin table)";
  if (id == PLUGIN_ID_NEVER_UNMAP) return " (reserved: never unmapped)";
  return "";
}

void PrintDescription(InspectorCore& core, PluginAdmission outcome, const _LoadParmsOut& desc) {
  std::printf("  id: 0x%08lX%s\n", static_cast<unsigned long>(desc.id),
              IdRemark(core, outcome, desc.id).c_str());
  std::printf("  masks:");
  for (uint32_t mask : desc.eventMasks) std::printf(" 0x%08lX", static_cast<unsigned long>(mask));
  std::printf("\n");
  std::printf("  wantsWorker: %u\n", desc.wantsWorker);
  if (desc.wantsWorker) std::printf("  worker thread: requested (not started by the inspector)\n");
  std::printf("  wantsReader: %u\n", desc.wantsReader);
  std::printf("  acceptsWrites: %u\n", desc.acceptsWrites);
  std::printf("  error: %d\n", desc.error);
}

// Takes one file through the core's own admission step and back out. True
// when the core would admit it.
bool InspectFile(InspectorCore& core, const fs::path& path) {
  std::printf("\n%s\n  path: %s\n", path.filename().c_str(), path.c_str());
  PLUGININFO plugin;
  const PluginAdmission outcome = core.Table().Admit(path, plugin);
  if (outcome == PluginAdmission::kNotMapped) {
    std::printf("  maps: no\n  result: rejected (does not map)\n");
    return false;
  }
  std::printf("  maps: yes\n");

  const PluginEntry entries[] = {plugin.Load,  plugin.Unload, plugin.Open, plugin.Close,
                                 plugin.Read,  plugin.Write,  plugin.Seek, plugin.IOCTL};
  std::string exported, missing;
  for (size_t i = 0; i < std::size(kEntryNames); i++) {
    (entries[i] ? exported : missing) += std::string(" ") + kEntryNames[i];
  }
  std::printf("  exports:%s\n", exported.empty() ? " none" : exported.c_str());
  std::printf("  missing:%s\n", missing.empty() ? " none" : missing.c_str());

  switch (outcome) {
    case PluginAdmission::kNoLoad:
      std::printf("  result: rejected (no Load)\n");
      return false;
    case PluginAdmission::kLoadFailed:
      std::printf("  load time: %lld ms\n  result: rejected (Load failed)\n",
                  static_cast<long long>(plugin.loadTimeMs));
      return false;
    case PluginAdmission::kIdTaken:
      PrintDescription(core, outcome, plugin.desc);
      std::printf("  load time: %lld ms\n  result: rejected (ID already loaded)\n",
                  static_cast<long long>(plugin.loadTimeMs));
      return false;
    default:
      break;
  }
  PrintDescription(core, outcome, plugin.desc);
  std::printf("  load time: %lld ms\n", static_cast<long long>(plugin.loadTimeMs));
  PluginTable::Unload(plugin);
  std::printf("  result: loaded\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // Line by line, so that what was printed survives a plugin that crashes
  // the tool.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Absolute paths, as the core's candidates are, so that dlopen never
  // searches the library path for a bare file name.
  std::vector<fs::path> candidates;
  for (int i = 1; i < argc; i++) {
    fs::path path = fs::absolute(argv[i]);
    boost::system::error_code error;
    if (fs::is_directory(path, error)) {
      FindPluginFiles(path, kPluginExtension, candidates);
    } else {
      candidates.push_back(path);
    }
  }
  SortPluginPaths(candidates);

  std::printf("discovery order:\n");
  if (candidates.empty()) std::printf("  (no plugin files)\n");
  for (size_t i = 0; i < candidates.size(); i++) {
    std::printf("  %zu %s\n", i + 1, candidates[i].c_str());
  }

  boost::system::error_code error;
  InspectorCore core(fs::canonical("/proc/self/exe", error).string());
  size_t loaded = 0;
  for (const fs::path& path : candidates) {
    if (InspectFile(core, path)) loaded++;
  }
  std::printf("\nsummary: %zu files, %zu loaded, %zu rejected\n", candidates.size(), loaded,
              candidates.size() - loaded);
  return loaded == candidates.size() ? 0 : 1;
}
