// dvrcore-inspect's command line: its options, its usage text and the exit
// status of a usage error.
#ifndef DVRCORE_TOOLS_INSPECT_OPTIONS_H
#define DVRCORE_TOOLS_INSPECT_OPTIONS_H

#include <optional>
#include <vector>

namespace dvrinspect {

constexpr unsigned kDefaultTimeoutSeconds = 30;

struct InspectOptions {
  unsigned timeoutSeconds = kDefaultTimeoutSeconds;  // --timeout
  bool json = false;                                 // --json
  const char* coreFolder = nullptr;                  // --core, or null
  std::vector<const char*> paths;                    // the files and directories, as given
};

// Reads the command line into `options`. Returns the exit status when there
// is nothing to inspect: --help or --version (printed), or neither a file,
// a directory nor --core given (the usage printed on stderr). A usage error
// ends the process with its message and the usage, status 2.
std::optional<int> ParseOptions(int argc, char** argv, InspectOptions& options);

}  // namespace dvrinspect

#endif  // DVRCORE_TOOLS_INSPECT_OPTIONS_H
