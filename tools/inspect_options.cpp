// dvrcore-inspect's command line; see inspect_options.h.
#include "tools/inspect_options.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dvrcore_version.h"

namespace dvrinspect {

namespace {

const char kUsage[] =
    "usage: dvrcore-inspect [--timeout SECONDS] [--json] [--core FOLDER] [<file-or-directory>...]\n"
    "       dvrcore-inspect --version | --help\n"
    "Shows the order in which the core would load the given plugin files (and the\n"
    "\".so\" files of the given directories, and those of the plugin folders of the\n"
    "core installed in FOLDER), and what each file exports and reports from its\n"
    "Load, with its event masks spelt in the SDK's names. Open and Close are never\n"
    "called and no thread is started. Each file is inspected in a process of its\n"
    "own, which is killed when it has not finished within the timeout (default\n"
    "30 s). --json prints the report as one JSON document. --version prints the\n"
    "version of the core it belongs to. Exit status: 0 when every file loaded and\n"
    "every directory could be read, 1 otherwise, 2 for a usage error.\n";

constexpr int kUsageStatus = 2;
constexpr unsigned kMaxTimeoutSeconds = 86400;

[[noreturn]] void UsageError(const char* why) {
  std::fprintf(stderr, "dvrcore-inspect: %s\n%s", why, kUsage);
  std::exit(kUsageStatus);
}

// The value of --timeout, in seconds.
unsigned TimeoutSeconds(const char* value) {
  char* end = nullptr;
  errno = 0;
  // strtoul would take a sign or leading blanks.
  const unsigned long seconds =
      std::isdigit(static_cast<unsigned char>(value[0])) ? std::strtoul(value, &end, 10) : 0;
  if (end == nullptr || *end != '\0' || errno != 0 || seconds == 0 ||
      seconds > kMaxTimeoutSeconds) {
    UsageError("--timeout takes 1 to 86400 seconds");
  }
  return static_cast<unsigned>(seconds);
}

// Reads the options up to the first file or directory; returns its index.
int ReadOptions(int argc, char** argv, InspectOptions& options) {
  int first = 1;  // the first file or directory
  while (first < argc && std::strncmp(argv[first], "--", 2) == 0) {
    const char* option = argv[first++];
    if (std::strcmp(option, "--") == 0) break;
    if (std::strcmp(option, "--json") == 0) {
      options.json = true;
      continue;
    }
    if (std::strcmp(option, "--core") == 0) {
      // One core: the order of two cores' plugins mixed means nothing.
      if (options.coreFolder != nullptr) UsageError("--core is given once");
      if (first >= argc) UsageError("--core takes the folder of a core");
      options.coreFolder = argv[first++];
      continue;
    }
    if (std::strcmp(option, "--timeout") != 0) UsageError("unknown option");
    options.timeoutSeconds = TimeoutSeconds(first < argc ? argv[first++] : "");
  }
  return first;
}

}  // namespace

std::optional<int> ParseOptions(int argc, char** argv, InspectOptions& options) {
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("dvrcore-inspect version %s\n", DVRCORE_VERSION);
    return 0;
  }
  const int first = ReadOptions(argc, argv, options);
  if (first >= argc && options.coreFolder == nullptr) {
    std::fputs(kUsage, stderr);
    return kUsageStatus;
  }
  options.paths.assign(argv + first, argv + argc);
  return std::nullopt;
}

}  // namespace dvrinspect
