// The tool's side of dvrcore-inspect (see DESIGN in dvrcore_inspect.cpp):
// inspects each file in processes of its own, waits for them at most the
// time limit and turns how they ended into the file's verdict.
#ifndef DVRCORE_TOOLS_INSPECT_PARENT_H
#define DVRCORE_TOOLS_INSPECT_PARENT_H

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include <boost/filesystem/path.hpp>

#include "events/raise.h"
#include "tools/inspect_report.h"

namespace dvrinspect {

struct Channels;
struct ChildEnd;

// The tool's main thread, its only thread: it forks, so it starts none.
class Inspector {
 public:
  // Blocks SIGCHLD, for the whole life of the tool: before any child exists,
  // so that none is lost. Verdicts go to `report`.
  Inspector(unsigned timeoutSeconds, Report& report);

  // Inspects one file in a child process and prints its verdict; true when
  // the core would admit it.
  bool Inspect(const boost::filesystem::path& path);

 private:
  // Forks the intermediate process for `path` and closes the tool's copies
  // of the ends the processes write; -1 with `forkError` set when it could
  // not (the read ends closed too).
  pid_t StartIntermediate(const boost::filesystem::path& path, const Channels& channels,
                          int& forkError);
  // Waits for the intermediate `pid` at most the time limit, kills it after
  // that, and reads what it relayed and what the child reported.
  ChildEnd AwaitChild(pid_t pid, const Channels& channels);
  std::string VerdictOf(const ChildEnd& end) const;
  bool CannotInspect(const boost::filesystem::path& path, const char* what, int error);

  const std::string executablePath_;  // this program's, the core the children stand for
  const unsigned timeoutSeconds_;
  Report& report_;
  sigset_t childSignal_;  // SIGCHLD, blocked in the parent
  sigset_t plainMask_;    // the mask the tool started with, for the children
  // Module names of the files admitted so far, by ID (with the core's own).
  std::map<uint32_t, std::string> names_{{kCoreSourceId, "core"}};
};

}  // namespace dvrinspect

#endif  // DVRCORE_TOOLS_INSPECT_PARENT_H
