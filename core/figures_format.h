// The text of the figures file: the core's and each plugin's figures at one
// moment in the Prometheus text format, as the textfile collector takes it.
//
// Threads: no shared state; the figures file's thread, or the main thread
// after it.
#ifndef DVRCORE_CORE_FIGURES_FORMAT_H
#define DVRCORE_CORE_FIGURES_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "events/figures.h"

// The core's own threads, by role, and "other": the process's CPU time that
// neither these nor the plugins' threads account for (threads that ended
// since they were last sampled, threads named after nothing known).
enum class CoreThread : unsigned { kMain, kIo, kWatch, kStats, kOther, kCount };
const char* CoreThreadName(CoreThread role);  // the label value: "main", "io", ...

// The core-wide figures at one moment.
struct CoreFigures {
  // Set by the figures file, not by its gatherer.
  std::string version;
  double startTime = 0;  // Unix time, seconds
  bool up = true;        // false in the last write, at a clean stop
  double cpuSeconds[FigureIndex(CoreThread::kCount)] = {};  // by CoreThread


  size_t queueDepth = 0;
  size_t queueDepthMost = 0;
  size_t parentBytesWaiting = 0;
  bool parentRefusing = false;
  uint64_t residentBytes = 0;
  bool throttling = false;
  uint64_t clockJumps = 0;
};

// One plugin's line of figures at one moment.
struct PluginFiguresRow {
  const PluginFigures* figures = nullptr;
  size_t buffersHeld = 0;
  // Threads whose name begins with the plugin's thread tag and ':', as last
  // sampled, the most seen at one sample since the previous write, and
  // their CPU time so far.
  unsigned threads = 0;
  unsigned threadsMost = 0;
  double cpuSeconds = 0;
};

// The text of the file: every family with its HELP and TYPE lines, plugins
// in the order given, no timestamps (the textfile collector refuses them).
std::string FormatFigures(const CoreFigures& core, const std::vector<PluginFiguresRow>& plugins);
// The same into `text`, whose room is kept: the writer formats into one
// buffer for its life, where a new one each time (several MiB with a
// thousand plugins) would be mapped, faulted in and unmapped at every write.
void FormatFigures(const CoreFigures& core, const std::vector<PluginFiguresRow>& plugins,
                   std::string& text);

#endif  // DVRCORE_CORE_FIGURES_FORMAT_H
