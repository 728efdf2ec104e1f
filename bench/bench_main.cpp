// The benchmark program: Google Benchmark's flags, plus
//   --instr-drain K N   raise N queued events with K writer plugins, deliver
//                       them, exit
//   --instr-load N      load and unload N plugins, exit
// (the last two for instruction counting under callgrind)
// Everything the core writes goes to a fresh folder under $TMPDIR (or /tmp),
// which is the working directory while the program runs and is removed at
// the end.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "bench/bench_support.h"

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
  if (argc == 4 && std::strcmp(argv[1], "--instr-drain") == 0) {
    status = bench::QueuedDrainOnce(std::atoi(argv[2]), static_cast<uint32_t>(std::atol(argv[3])));
  } else if (argc == 3 && std::strcmp(argv[1], "--instr-load") == 0) {
    status = bench::LoadOnce(std::atoi(argv[2]));
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
