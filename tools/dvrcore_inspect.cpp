// dvrcore-inspect: tells a plugin author what the core would make of plugin
// files, without running a core.
//
//   dvrcore-inspect [--timeout SECONDS] [--json] [--core FOLDER] [<file-or-directory>...]
//
// It prints the order in which the core would load the files (directories are
// scanned for ".so" files the way the core scans its plugin directories; the
// folder of a core stands for its two plugin folders, found and ordered by
// the core's own discovery; files are taken as given; the whole list is
// sorted with the core's order), then for each file: whether it maps, which
// of the eight entries it exports, and, after its Load, its self-description
// with the event masks spelt in the SDK's names. The core's own messages for
// rejected files appear as the core words them. A file that ends the process
// (exit, a crash) or does not return within the time limit is reported as
// such. Exit status: 0 when every file loaded and every directory could be
// read, 1 otherwise, 2 for a usage error.
//
// DESIGN: each file is inspected in a child process of its own, so that a
// plugin that exits, crashes or hangs in Load costs only its own verdict: the
// parent waits for the child at most the time limit (SIGCHLD blocked and
// taken with sigtimedwait), kills it with SIGKILL after that, and goes on
// with the next file. A plugin may also signal its process group or its
// parent, as a plugin written for a core that is its parent's child might:
// the child runs in a session of its own, and between the tool and the child
// stands an intermediate process that only waits for the child and relays
// its wait status through a pipe. A plugin that signals its parent ends the
// intermediate instead of the tool; the tool, finding no relayed status,
// says so in the verdict. Each process dies with the one above it
// (PR_SET_PDEATHSIG), so killing the intermediate at the time limit ends the
// child too. Blocking or catching signals in the tool instead would leave
// SIGKILL and SIGSTOP, which no process can catch, reaching it. The parent
// itself never maps a plugin and stays single threaded, so that fork is safe.
// The child builds a core object that is never started and takes the file
// through the core's own admission step
// (PluginTable::Admit: dlopen with RTLD_NOW, the eight look-ups, Load, the ID
// check), then through its unloading step (Unload, dlclose). Open and Close
// are never called and no worker or reader thread is started. A plugin's
// events raised from Load go through the real dispatch: log lines reach the
// Log override of the child's core object (inspect_child.cpp), queued events
// stay in the unstarted core's queue until it is destroyed, packets for the
// parent are refused (no link). The child
// prints its findings itself (line-buffered, so they survive its end) and
// reports through a pipe how far it got and, for an admitted file, its ID and
// module name: the parent hands the names of the files admitted so far to
// each later child, whose ID check then sees them as the core would. The
// tool resolves FlatPluginEvent and the core's virtual table for the plugins
// the same way the executable does (linked with exports, see
// tools/CMakeLists.txt).
//
// The parts: the command line in inspect_options.h, the tool's side in
// inspect_parent.h, the intermediate and the child in inspect_child.h, what
// a child finds in inspect_findings.h (its event masks spelt by
// inspect_masks.h), the tool's own output in inspect_report.h, the JSON
// pieces in inspect_json.h, the child's report records in
// inspect_protocol.h.
//
// With --json the report is one JSON document on stdout. A child then writes
// its findings as records ("key<TAB>JSON value<LF>", each written whole
// under a lock) into an anonymous memory file rather than on stdout, and the
// parent puts each file's object together once the child has ended: a record
// cut short by the child's end lacks its newline and is dropped, so the
// document stays well-formed whatever the plugin does. A file, unlike a pipe, never blocks a plugin that logs a lot
// while the parent waits; the messages a child records are capped instead.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "pluginhost/discovery.h"
#include "tools/inspect_options.h"
#include "tools/inspect_parent.h"
#include "tools/inspect_report.h"

namespace fs = boost::filesystem;

namespace {

using dvrinspect::InspectOptions;

// Where the plugins of the core in `folder` are, in the order it loads them;
// `folder` is taken as the core sees its own: with every link resolved, since
// the order looks at the path's text.
void AddCorePlugins(const char* folder, std::vector<fs::path>& candidates,
                    std::vector<UnreadableFolder>& unreadable) {
  boost::system::error_code error;
  const fs::path canonical = fs::canonical(fs::absolute(folder), error);
  if (!error && !fs::is_directory(canonical, error) && !error) {
    error = boost::system::errc::make_error_code(boost::system::errc::not_a_directory);
  }
  if (error) {
    unreadable.push_back({fs::absolute(folder), error});
    return;
  }
  for (UnreadableFolder& failed : FindCorePluginFiles(canonical, candidates)) {
    unreadable.push_back(std::move(failed));
  }
}


// The files to inspect, in the order the core would load them, and the
// directories that could not be read.
void FindCandidates(const InspectOptions& options, std::vector<fs::path>& candidates,
                    std::vector<UnreadableFolder>& unreadable) {
  // Absolute paths, as the core's candidates are, so that dlopen never
  // searches the library path for a bare file name.
  if (options.coreFolder != nullptr) AddCorePlugins(options.coreFolder, candidates, unreadable);
  for (const char* given : options.paths) {
    fs::path path = fs::absolute(given);
    boost::system::error_code error;
    if (fs::is_directory(path, error)) {
      error = FindPluginFiles(path, kPluginExtension, candidates);
      if (error) unreadable.push_back({path, error});
    } else {
      candidates.push_back(path);
    }
  }
  SortPluginPaths(candidates);
}

}  // namespace

int main(int argc, char** argv) {
  InspectOptions options;
  if (const std::optional<int> status = dvrinspect::ParseOptions(argc, argv, options)) {
    return *status;
  }
  // Line by line, so that what a child printed survives a plugin that ends
  // it, and comes before the parent's verdict.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  dvrinspect::Report report(options.json);
  dvrinspect::Inspector inspector(options.timeoutSeconds, report);

  std::vector<fs::path> candidates;
  std::vector<UnreadableFolder> unreadable;
  FindCandidates(options, candidates, unreadable);
  report.DiscoveryOrder(candidates, unreadable);

  size_t loaded = 0;
  for (const fs::path& path : candidates) {
    if (inspector.Inspect(path)) loaded++;
  }
  report.Summary(candidates.size(), loaded, unreadable.size());
  return loaded == candidates.size() && unreadable.empty() ? 0 : 1;
}
