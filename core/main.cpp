// Process entry: argument scan, help, wxWidgets base, the canonical path of
// the executable, and the one core object from construction to destruction.
//
// Exit status: 0 after help or a normal stop, 1 when the executable's path
// cannot be resolved, 2 when the core fails to initialise.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <wx/app.h>
#include <wx/init.h>

#include "core/core.h"

namespace {

// What the command line asks for. Options count only before the descriptor:
// "5 -h" runs with descriptor 5.
struct Arguments {
  bool help = false;
  int ipcDescriptor = -1;
};

Arguments ScanArguments(int argc, char** argv) {
  Arguments result;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (arg[0] == '-') {
      if (arg[1] == 'h') {
        result.help = true;
        return result;
      }
      continue;
    }
    result.ipcDescriptor = std::atoi(arg);
    break;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args = ScanArguments(argc, argv);
  if (args.help) {
    std::fprintf(stderr, "core version %s\n", CoreVersion());
    std::fprintf(stderr, "Usage: %s <pipe>\n", argv[0]);
    return 0;
  }

  // First, so that a plugin that crashes the core is named from its Load on.
  ReportFatalSignals();

  // The stop signals wait, blocked, until Start has installed their
  // handlers: one that arrives earlier stays pending instead of killing a
  // half-built process, and stops the core once it runs.
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  int wxArgc = 0;
  wxInitialize(wxArgc, static_cast<char**>(nullptr));

  boost::system::error_code error;
  boost::filesystem::path executable = boost::filesystem::canonical("/proc/self/exe", error);
  if (error) {
    std::fprintf(stderr, "failed to find canonical path\n");
    return 1;
  }

  // Building the core makes its event loop, which needs descriptors: with
  // none left the core cannot exist, let alone log, so the reason goes to
  // standard error with the usual message.
  std::unique_ptr<dvrcore> core;
  try {
    core = CoreControl::Make(executable.string());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\nfailed to initialize core\n", error.what());
    return 2;
  }
  if (!CoreControl::Init(*core, args.ipcDescriptor) || !CoreControl::Start(*core)) {
    std::fprintf(stderr, "failed to initialize core\n");
    return 2;
  }
  wxUninitialize();
  return 0;
}
