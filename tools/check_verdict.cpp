// The verdict on a run of dvrcore-plugin-check; see check_verdict.h.
//
// Each rule is read from what already says it, in the core's own words:
//   slow-call             "plugin %s %s has been running on the %s thread for %.1f seconds"
//   threads-after-close   "stop waits for plugin %s %s for %.1f seconds"
//   raise-after-close     "plugin %s raised an event after it was closed; ..."
//   crash                 "fatal signal %d (%s) in thread %s" and the call line after it
//   load                  "Core: Failed to load plugin ...", "... already loaded", or no
//                         dvrcore_plugin_info for the file in the figures
//   buffers-held          dvrcore_plugin_buffers_held in the write after Unload (up 0)
//   malformed-raise       dvrcore_plugin_events_refused_total{reason="other"}
//   memory-growth         dvrcore_resident_bytes over the traffic
//   threads/descriptors-after-unload   the driver plugin's lines at the core's exit
#include "tools/check_verdict.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

#include "events/names.h"
#include "tools/top_figures.h"

namespace dvrcheck {

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The plugin file named right after "plugin " in a core log line, if it is
// one of `files`.
std::string NamedPlugin(const std::string& line, const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    if (Contains(line, "plugin " + file + " ") || Contains(line, "plugin " + file + ",") ||
        Contains(line, "plugin '" + file) || Contains(line, "plugin: " + file)) {
      return file;
    }
  }
  return "";
}

void Add(Verdict& verdict, const char* rule, const std::string& plugin, const std::string& text) {
  for (const Finding& finding : verdict.findings) {
    if (finding.rule == rule && finding.plugin == plugin && finding.text == text) return;
  }
  verdict.findings.push_back({rule, plugin, text});
}

void JudgeLogLine(Verdict& verdict, const std::string& line, const std::vector<std::string>& files) {
  const std::string plugin = NamedPlugin(line, files);
  if (plugin.empty()) return;
  const std::string message = LogText(line);
  if (Contains(line, " has been running on the ")) {
    // One finding per call: its first report, without the seconds.
    Add(verdict, kRuleSlowCall, plugin, message.substr(0, message.find(" for ")) + " for 1 s or more");
  } else if (Contains(line, "stop waits for plugin ")) {
    Add(verdict, kRuleCloseThreads, plugin, message.substr(0, message.rfind(" for ")) +
                                                ": the thread did not end when Close returned");
  } else if (Contains(line, "raised an event after it was closed")) {
    Add(verdict, kRuleRaiseAfterClose, plugin, message);
  } else if (Contains(line, "Failed to load plugin") || Contains(line, " already loaded") ||
             Contains(line, " load returned ")) {
    Add(verdict, kRuleLoad, plugin, message);
  }
}

PluginSummary& SummaryOf(Verdict& verdict, const std::string& file) {
  for (PluginSummary& summary : verdict.plugins) {
    if (summary.file == file) return summary;
  }
  verdict.plugins.push_back(PluginSummary{});
  verdict.plugins.back().file = file;
  return verdict.plugins.back();
}

// Whether `name` is a line of `family`, with `suffix` (a histogram's).
bool IsOf(const std::string& name, FigureFamily family, const char* suffix = "") {
  return name == std::string(FamilyName(family)) + suffix;
}

void ReadFigure(Verdict& verdict, const dvrtop::Figure& figure,
                const std::vector<std::string>& files) {
  const std::string* plugin = figure.Label("plugin");
  if (plugin == nullptr || std::find(files.begin(), files.end(), *plugin) == files.end()) return;
  PluginSummary& summary = SummaryOf(verdict, *plugin);
  const std::string* entry = figure.Label("entry");
  if (IsOf(figure.name, FigureFamily::kPluginInfo)) {
    if (const std::string* prefix = figure.Label("thread_prefix")) summary.threadPrefix = *prefix;
  } else if (IsOf(figure.name, FigureFamily::kCallDurations, "_count") && entry) {
    summary.callCount[*entry] = figure.value;
  } else if (IsOf(figure.name, FigureFamily::kCallDurations, "_sum") && entry) {
    summary.callSeconds[*entry] = figure.value;
  } else if (IsOf(figure.name, FigureFamily::kEventsRaised) && figure.Label("kind")) {
    summary.raised[*figure.Label("kind")] = figure.value;
  } else if (IsOf(figure.name, FigureFamily::kEventsRefused) && figure.Label("reason")) {
    summary.refused[*figure.Label("reason")] = figure.value;
  } else if (IsOf(figure.name, FigureFamily::kBuffersHeld)) {
    summary.buffersHeld = figure.value;
  }
}

void JudgeFigures(Verdict& verdict, const RunResult& run, const std::vector<std::string>& files) {
  std::istringstream text(run.figures);
  dvrtop::Figure figure;
  // Buffers still held mean something only in the write made after every
  // Unload, at a clean stop (up 0): a core that died mid-call leaves the
  // buffers of the deliveries it was making in its last write.
  bool afterUnload = false;
  for (std::string line; std::getline(text, line);) {
    if (dvrtop::ParseFigureLine(line, figure) == dvrtop::LineKind::kFigure) {
      if (IsOf(figure.name, FigureFamily::kUp)) afterUnload = figure.value == 0;
      ReadFigure(verdict, figure, files);
    }
  }
  for (const PluginSummary& summary : verdict.plugins) {
    if (afterUnload && summary.buffersHeld > 0) {
      Add(verdict, kRuleBuffers, summary.file,
          std::to_string(static_cast<long long>(summary.buffersHeld)) +
              " buffer(s) kept with retain and never given back with EVENT_RELEASE");
    }
    auto other = summary.refused.find("other");
    if (other != summary.refused.end() && other->second > 0) {
      Add(verdict, kRuleMalformed, summary.file,
          std::to_string(static_cast<long long>(other->second)) +
              " event(s) raised with a malformed record (refused: reason other)");
    }
  }
}

// Whose a thread left after Unload is: the plugin whose thread prefix its
// name starts with; the checked plugin when none (a thread started from the
// core's main thread carries the core's name).
std::string OwnerOfThread(const Verdict& verdict, const std::string& name, const std::string& first) {
  for (const PluginSummary& summary : verdict.plugins) {
    if (!summary.threadPrefix.empty() && name.compare(0, summary.threadPrefix.size(),
                                                      summary.threadPrefix) == 0) {
      return summary.file;
    }
  }
  return first;
}

void JudgeLeftBehind(Verdict& verdict, const RunResult& run, const std::string& first) {
  for (const std::string& line : run.driverReport) {
    if (line.compare(0, 7, "thread ") == 0) {
      const std::string rest = line.substr(7);
      const std::string name = rest.substr(std::min(rest.size(), rest.find(' ') + 1));
      Add(verdict, kRuleThreadsAfterUnload, OwnerOfThread(verdict, name, first),
          "thread " + name + " (" + rest.substr(0, rest.find(' ')) +
              ") still running after Unload");
    } else if (line.compare(0, 3, "fd ") == 0) {
      const std::string rest = line.substr(3);
      Add(verdict, kRuleDescriptors, first,
          "descriptor " + rest.substr(0, rest.find(' ')) + " (" +
              rest.substr(std::min(rest.size(), rest.find(' ') + 1)) + ") still open after Unload");
    }
  }
}

// "; in Write ov.c:12": the first frame of a sanitizer's report outside its
// own runtime, where the fault is.
std::string FirstOwnFrame(const std::string& report) {
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    const size_t in = line.find(" in ");
    if (line.find("    #") != 0 || in == std::string::npos || Contains(line, "libsanitizer") ||
        Contains(line, "libasan")) {
      continue;
    }
    return ";" + line.substr(in);
  }
  return "";
}

// Growth over the second half of the traffic: the first half warms up (the
// core's and the plugin's caches, an emulator's translated code), and a
// plugin that keeps growing grows on through the second.
// Not judged under an emulator: its translated code is resident memory too.
void JudgeMemory(Verdict& verdict, const RunResult& run, const std::string& first) {
  if (run.resident.size() < 2 || run.emulated) return;
  const double from = run.resident[(run.resident.size() - 1) / 2];
  const double growth = run.resident.back() - from;
  if (growth <= kMemoryGrowthBytes) return;
  char text[128];
  std::snprintf(text, sizeof text,
                "the core's resident memory grew by %.1f MiB over the second half of the traffic",
                growth / 1048576.0);
  Add(verdict, kRuleMemory, first, text);
}

// "plugin F Entry": the call a slow-call line or its "returned after" line
// names, the first three words of its text.
std::string CallOf(const std::string& message) {
  size_t end = 0;
  for (int word = 0; word < 3 && end != std::string::npos; word++) {
    end = message.find(' ', end == 0 ? 0 : end + 1);
  }
  return message.substr(0, end);
}

// A run that ended in a crash or a sanitizer's report: the call it ended
// never returned, and its time is the report's own work as much as the
// plugin's, so it is the crash's finding, not a slow call of its own.
void DropCallsTheEndCut(Verdict& verdict, const RunResult& run) {
  auto& findings = verdict.findings;
  const bool ended = std::any_of(findings.begin(), findings.end(), [](const Finding& f) {
    return f.rule == kRuleCrash || f.rule == kRuleSanitizer;
  });
  if (!ended) return;
  std::set<std::string> open;
  for (const std::string& line : run.log) {
    const std::string message = LogText(line);
    if (Contains(message, " has been running on the ")) open.insert(CallOf(message));
    if (Contains(message, " returned after ")) open.erase(CallOf(message));
  }
  findings.erase(std::remove_if(findings.begin(), findings.end(),
                                [&](const Finding& f) {
                                  return f.rule == kRuleSlowCall && open.count(CallOf(f.text)) > 0;
                                }),
                 findings.end());
}

}  // namespace

void JudgeCrash(Verdict& verdict, const RunResult& run, const std::vector<std::string>& files,
                bool fuzzing);
void JudgeEnd(Verdict& verdict, const RunResult& run, const std::string& first);

Verdict Judge(const RunResult& run, const std::vector<std::string>& files, bool fuzzing) {
  Verdict verdict;
  for (const std::string& file : files) SummaryOf(verdict, file);
  for (const std::string& line : run.log) JudgeLogLine(verdict, line, files);
  JudgeFigures(verdict, run, files);
  const std::string& first = files.front();
  for (const std::string& line : run.log) {
    const std::string plugin = NamedPlugin(line, files);
    if (!plugin.empty() && Contains(line, " Open returned ")) {
      SummaryOf(verdict, plugin).notes.push_back(LogText(line));
    }
  }
  const bool loadJudged = std::any_of(verdict.findings.begin(), verdict.findings.end(),
                                      [&](const Finding& f) { return f.rule == kRuleLoad; });
  if (!run.figures.empty() && SummaryOf(verdict, first).threadPrefix.empty() && run.started &&
      !loadJudged) {
    Add(verdict, kRuleLoad, first, "the core did not load the plugin (see the log)");
  }
  JudgeLeftBehind(verdict, run, first);
  JudgeMemory(verdict, run, first);
  JudgeCrash(verdict, run, files, fuzzing);
  JudgeEnd(verdict, run, first);
  if (!run.sanitizerReports.empty()) {
    // Its summary line: the error and the first frame ("... in Write ov.c:12").
    const std::string& text = run.sanitizerReports;
    const size_t at = text.find("SUMMARY: ");
    Add(verdict, kRuleSanitizer, first,
        (at == std::string::npos ? "the sanitizer reported an error"
                                 : text.substr(at + 9, text.find('\n', at) - at - 9)) +
            FirstOwnFrame(text));
  }
  DropCallsTheEndCut(verdict, run);
  return verdict;
}

}  // namespace dvrcheck
