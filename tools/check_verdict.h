// What dvrcore-plugin-check makes of a run: the rules broken, each named, and
// what the core says about each plugin. Read from what the core itself
// reports (its log lines and its figures file) and from the driver plugin's
// list of what was left after every Unload.
#ifndef DVRCORE_TOOLS_CHECK_VERDICT_H
#define DVRCORE_TOOLS_CHECK_VERDICT_H

#include <map>
#include <string>
#include <vector>

#include "tools/check_run.h"

namespace dvrcheck {

// The rules, as the report names them.
constexpr char kRuleLoad[] = "load";                      // not loaded, or Load/Open never returned
constexpr char kRuleSlowCall[] = "slow-call";             // held the main or the I/O thread
constexpr char kRuleCloseThreads[] = "threads-after-close";  // worker/reader not ended by Close
constexpr char kRuleThreadsAfterUnload[] = "threads-after-unload";
constexpr char kRuleDescriptors[] = "descriptors-after-unload";
constexpr char kRuleBuffers[] = "buffers-held";
constexpr char kRuleMemory[] = "memory-growth";
constexpr char kRuleRaiseAfterClose[] = "raise-after-close";
constexpr char kRuleMalformed[] = "malformed-raise";
constexpr char kRuleCrash[] = "crash";
constexpr char kRuleExit[] = "exit";
constexpr char kRuleStop[] = "stop";                      // the stop never finished
constexpr char kRuleSanitizer[] = "sanitizer";

// Resident growth over the second half of the traffic beyond which memory
// counts as kept growing: above the 40 MiB of thread stacks the C library
// keeps for reuse, which event threads fill as they come and go.
constexpr double kMemoryGrowthBytes = 48.0 * 1024 * 1024;

struct Finding {
  std::string rule;
  std::string plugin;  // the file name
  std::string text;
};

struct PluginSummary {
  std::string file;
  std::string threadPrefix;
  std::map<std::string, double> callCount;    // by entry
  std::map<std::string, double> callSeconds;  // by entry
  std::map<std::string, double> raised;       // by kind
  std::map<std::string, double> refused;      // by reason
  double buffersHeld = 0;
  std::vector<std::string> notes;             // what the core said that breaks no rule
};

struct Verdict {
  std::vector<Finding> findings;
  std::vector<PluginSummary> plugins;  // the checked plugin first
  std::vector<std::string> lastLines;  // of the log, after a crash or an early end
  std::string fuzzCase;                // the case being delivered at a crash ("e17")
  std::string fuzzCaseText;            // what it was
};

// The text of a core log line, "hh:mm:ss tag    text" (the tag padded to six
// characters); other lines (the stand-in's) whole.
inline std::string LogText(const std::string& line) {
  const bool stamped = line.size() > 16 && line[2] == ':' && line[5] == ':' && line[8] == ' ';
  return stamped ? line.substr(16) : line;
}

// `files`: the file names of the checked plugin and its peers.
Verdict Judge(const RunResult& run, const std::vector<std::string>& files, bool fuzzing);

}  // namespace dvrcheck

#endif  // DVRCORE_TOOLS_CHECK_VERDICT_H
