// The verdict on how a run of dvrcore-plugin-check ended: a crash (from the
// core's own report of a fatal signal), an early exit, a start or stop that
// never finished; and, when fuzzing, the case that was being delivered.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <string>

#include "tools/check_verdict.h"

namespace dvrcheck {

namespace {

constexpr size_t kLastLines = 15;

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

void KeepLastLines(Verdict& verdict, const RunResult& run) {
  const size_t from = run.log.size() > kLastLines ? run.log.size() - kLastLines : 0;
  verdict.lastLines.assign(run.log.begin() + static_cast<long>(from), run.log.end());
}

void AddFinding(Verdict& verdict, const char* rule, const std::string& plugin, const std::string& text) {
  verdict.findings.push_back({rule, plugin, text});
}

// The last line of the driver's report that starts with `prefix` and, when
// given, holds `kind`: its second word (the case's name).
std::string LastCase(const RunResult& run, const char* prefix, const char* kind,
                     std::string* line = nullptr) {
  for (auto it = run.driverReport.rbegin(); it != run.driverReport.rend(); ++it) {
    if (it->compare(0, std::strlen(prefix), prefix) != 0) continue;
    if (kind != nullptr && !Contains(*it, kind)) continue;
    const std::string rest = it->substr(std::strlen(prefix));
    if (line != nullptr) *line = *it;
    return rest.substr(0, rest.find(' '));
  }
  return "";
}

// The case whose delivery was under way: a queued event's Write comes right
// after the driver's own Write of it (the driver is first in the table); a
// packet, an immediate event or a document is taken as the last one sent.
void PinCase(Verdict& verdict, const RunResult& run, const std::string& call) {
  std::string raised;
  if (Contains(call, " Write ")) {
    verdict.fuzzCase = LastCase(run, "delivered ", nullptr);
  } else if (Contains(call, "IOCTL of a packet")) {
    // The last packet the stand-in wrote: it sends one every 10 ms, and the
    // core hands each on as it comes.
    const size_t written = std::min(run.packetsWritten, run.packetsSent.size());
    if (written > 0) verdict.fuzzCase = run.packetsSent[written - 1];
  } else if (Contains(call, "configuration IOCTL")) {
    verdict.fuzzCase = LastCase(run, "raised ", " config ");
  } else if (Contains(call, " Read")) {
    verdict.fuzzCase = LastCase(run, "raised ", " immediate ");
    const std::string cancelled = LastCase(run, "raised ", " cancelled ");
    if (verdict.fuzzCase.empty() ||
        (!cancelled.empty() && std::stoull(cancelled.substr(1)) > std::stoull(verdict.fuzzCase.substr(1)))) {
      verdict.fuzzCase = cancelled;
    }
  }
  if (verdict.fuzzCase.empty()) verdict.fuzzCase = LastCase(run, "raised ", nullptr);
  if (verdict.fuzzCase.empty() && !run.packetsSent.empty()) verdict.fuzzCase = run.packetsSent.back();
  if (verdict.fuzzCase.empty()) return;
  for (const std::string& line : run.driverReport) {
    const std::string prefix = "raised " + verdict.fuzzCase + " ";
    if (line.compare(0, prefix.size(), prefix) == 0) verdict.fuzzCaseText = line.substr(prefix.size());
  }
  if (verdict.fuzzCaseText.empty()) verdict.fuzzCaseText = "packet";
}

}  // namespace

void JudgeCrash(Verdict& verdict, const RunResult& run, const std::vector<std::string>& files,
                bool fuzzing) {
  for (size_t i = 0; i < run.log.size(); i++) {
    if (!Contains(run.log[i], "fatal signal ")) continue;
    std::string text = LogText(run.log[i]);
    std::string call = i + 1 < run.log.size() ? LogText(run.log[i + 1]) : "";
    std::string plugin = files.front();
    for (const std::string& file : files) {
      if (Contains(call, ("plugin " + file + " ").c_str()) ||
          Contains(call, ("plugin " + file + ",").c_str())) {
        plugin = file;
      }
    }
    for (size_t j = i + 1; j < run.log.size() && j <= i + 2; j++) text += "; " + LogText(run.log[j]);
    AddFinding(verdict, kRuleCrash, plugin, text);
    KeepLastLines(verdict, run);
    if (fuzzing) PinCase(verdict, run, call);
    return;
  }
  const bool killedByUs = run.hungAtStart || run.hungAtStop;
  if (run.coreSignal && !killedByUs) {
    AddFinding(verdict, kRuleCrash, files.front(),
               "the core was ended by signal " + std::to_string(*run.coreSignal) + " (" +
                   strsignal(*run.coreSignal) + ")");
    KeepLastLines(verdict, run);
    if (fuzzing) PinCase(verdict, run, "");
  }
}

void JudgeEnd(Verdict& verdict, const RunResult& run, const std::string& first) {
  if (run.hungAtStart) {
    AddFinding(verdict, kRuleLoad, first,
               "the core did not finish starting within the time limit: Load or Open did not return");
    KeepLastLines(verdict, run);
    return;
  }
  if (run.hungAtStop) {
    AddFinding(verdict, kRuleStop, first, "the core did not end within the time limit after the stop");
    KeepLastLines(verdict, run);
    return;
  }
  // A crash, judged above; an end the sanitizer's runtime made, judged by its report.
  if (run.coreSignal || !run.sanitizerReports.empty()) return;
  if (!run.coreStatus) {
    AddFinding(verdict, kRuleExit, first, "the stand-in parent ended without the core's exit status");
    KeepLastLines(verdict, run);
  } else if (!run.stopSent) {
    AddFinding(verdict, kRuleExit, first,
               "the core ended before the stop, with status " + std::to_string(*run.coreStatus) +
                   " (a plugin called exit or signalled the process group)");
    KeepLastLines(verdict, run);
  } else if (*run.coreStatus != 0) {
    AddFinding(verdict, kRuleExit, first,
               "the core exited with status " + std::to_string(*run.coreStatus));
    KeepLastLines(verdict, run);
  }
}

}  // namespace dvrcheck
