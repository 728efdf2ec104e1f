// The benchmark program: Google Benchmark's flags, or one run of a workload
// for instruction counting under callgrind (see bench_support.h):
//   --instr-drain K [IDLE] N  raise N queued events with K writer plugins (and
//                         IDLE that match none), deliver them
//   --instr-load N        load and unload N plugins
//   --instr-immediate N   N immediate events to a reader plugin, one at a time
//   --instr-down SIZE N   N packets of SIZE bytes from the parent to a plugin
//   --instr-up SIZE N     N packets of SIZE bytes from a plugin to the parent
//   --instr-start CMD...  start the real core under CMD (callgrind), exit
//   --stats-cpu P T I S   the figures file's thread with P plugins and T
//                         threads, writing every I s: its CPU over S s
// Everything the core writes goes to a fresh folder under $TMPDIR (or /tmp),
// which is the working directory while the program runs and is removed at
// the end.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "bench/bench_support.h"

namespace {

// Runs the count mode argv[1] names. Returns false when the arguments name
// none.
bool RunCountMode(int argc, char** argv) {
  const std::string mode = argv[1];
  auto number = [argv](int i) { return static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)); };
  if (mode == "--instr-drain" && argc == 4) {
    bench::QueuedDrainOnce(static_cast<int>(number(2)), 0, number(3));
  } else if (mode == "--instr-drain" && argc == 5) {
    bench::QueuedDrainOnce(static_cast<int>(number(2)), static_cast<int>(number(3)), number(4));
  } else if (mode == "--instr-load" && argc == 3) {
    bench::LoadOnce(static_cast<int>(number(2)));
  } else if (mode == "--instr-immediate" && argc == 3) {
    bench::ImmediateOnce(number(2));
  } else if ((mode == "--instr-down" || mode == "--instr-up") && argc == 4) {
    bench::ParentLinkOnce(mode == "--instr-down" ? bench::Direction::kDown : bench::Direction::kUp,
                          number(2), number(3));
  } else if (mode == "--stats-cpu" && argc == 6) {
    bench::StatsThreadCpuOnce(static_cast<int>(number(2)), static_cast<int>(number(3)),
                              static_cast<int>(number(4)), static_cast<int>(number(5)));
  } else if (mode == "--instr-start" && argc >= 3) {
    bench::StartOnce(std::vector<std::string>(argv + 2, argv + argc));
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/dvrcore-bench-XXXXXX";
  std::vector<char> dir(pattern.begin(), pattern.end());
  dir.push_back('\0');
  if (mkdtemp(dir.data()) == nullptr || chdir(dir.data()) != 0) {
    std::perror("work folder");
    return 1;
  }
  bench::SetWorkDir(dir.data());

  int status = 0;
  if (argc > 1 && (std::strncmp(argv[1], "--instr-", 8) == 0 ||
                   std::strcmp(argv[1], "--stats-cpu") == 0)) {
    try {
      if (!RunCountMode(argc, argv)) {
        std::fprintf(stderr, "%s: unknown count mode or wrong arguments (see bench_main.cpp)\n",
                     argv[1]);
        status = 2;
      }
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s: %s\n", argv[1], error.what());
      status = 1;
    }
  } else {
    if (isatty(STDOUT_FILENO)) {
      // The core prints its log lines only on a terminal; that would be timed too.
      std::fprintf(stderr,
                   "note: stdout is a terminal; the core's log lines are printed and timed\n");
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
      status = 2;
    } else {
      bench::RowReporter reporter;
      benchmark::RunSpecifiedBenchmarks(&reporter);
      benchmark::Shutdown();
    }
  }
  boost::system::error_code ignored;
  boost::filesystem::remove_all(dir.data(), ignored);
  return status;
}
