// The processes dvrcore-inspect starts for one plugin file (see DESIGN in
// dvrcore_inspect.cpp): the intermediate, which only starts the child, waits
// for it and relays how it ended, and the child, which takes the file
// through the core's own loading steps and prints what it finds.
#ifndef DVRCORE_TOOLS_INSPECT_CHILD_H
#define DVRCORE_TOOLS_INSPECT_CHILD_H

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include <boost/filesystem/path.hpp>

namespace dvrinspect {

// What the intermediate process relays to the tool: why it could not start
// the child, or the child's wait status. Written with one write(2).
struct Relay {
  int forkError = 0;
  int status = 0;
};

// The intermediate process: starts the child, waits for it and relays how it
// ended to `relayFd`; it never returns. Runs no plugin code. The child
// inspects `path` as the core at `executablePath` would, with `names` (the
// module names of the files admitted before it, by ID) already taken; it
// reports to `reportFd` (inspect_protocol.h) and writes JSON records to
// `recordFd`, or the text report on stdout when that is -1. `tool` is the
// process that forked the intermediate, `plainMask` the signal mask it
// started with.
[[noreturn]] void RunIntermediate(const std::string& executablePath,
                                  const std::map<uint32_t, std::string>& names,
                                  const boost::filesystem::path& path, int reportFd,
                                  int recordFd, int relayFd, pid_t tool,
                                  const sigset_t& plainMask);

}  // namespace dvrinspect

#endif  // DVRCORE_TOOLS_INSPECT_CHILD_H
