// The core's figures file as dvrcore-top reads it: the Prometheus text
// exposition format (0.0.4) parsed line by line, and the families the core
// publishes gathered per plugin. Unknown families, comments and timestamps
// are ignored; a malformed line is counted and skipped, so that one bad line
// costs only its own figure.
#ifndef DVRCORE_TOOLS_TOP_FIGURES_H
#define DVRCORE_TOOLS_TOP_FIGURES_H

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dvrtop {

// One sample line: name{labels} value.
struct Figure {
  std::string name;
  std::vector<std::pair<std::string, std::string>> labels;  // in the order written, unescaped
  double value = 0;

  // The value of the label `key`, or null.
  const std::string* Label(const char* key) const;
};

enum class LineKind { kFigure, kIgnored, kMalformed };

// Parses one line (without its "\n"). kIgnored: blank or a comment (# HELP
// and # TYPE included); `figure` is filled for kFigure only.
LineKind ParseFigureLine(const std::string& line, Figure& figure);

// What the core says about one plugin. A family the file lacks stays empty;
// counters with a kind or reason label are summed over them.
struct PluginFigures {
  std::string threadPrefix;               // dvrcore_plugin_info
  std::optional<double> eventsIn;         // deliveries to the plugin, every kind
  std::optional<double> eventsOut;        // events it raised, every kind
  std::optional<double> callSeconds;      // time in its entries
  std::optional<double> calls;            // calls into its entries, every entry
  std::optional<double> callsUpToSecond;  // ... of them those of 1 s or less
  std::optional<double> buffersHeld;
};

struct CoreFigures {
  std::map<std::string, PluginFigures> plugins;  // by file name (label plugin)
  std::map<std::string, double> coreWide;        // unlabelled dvrcore_* families, by name
  size_t malformedLines = 0;
};

// The whole file.
CoreFigures ReadFigures(const std::string& text);

// Where a core with this environment (the NUL-separated contents of
// /proc/<pid>/environ) writes its figures: DVRCORE_METRICS_FILE, taken below
// `cwd` (its /proc/<pid>/cwd) when relative. nullopt when unset or empty.
std::optional<std::string> FiguresPathFromEnvironment(const std::string& environment,
                                                      const std::string& cwd);

}  // namespace dvrtop

#endif  // DVRCORE_TOOLS_TOP_FIGURES_H
