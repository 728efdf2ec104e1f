// The report of dvrcore-plugin-check; see check_report.h. The JSON strings go
// through the inspector's writer (inspect_json.h): texts from plugins and the
// log may hold any bytes.
#include "tools/check_report.h"

#include <cstdio>
#include <map>

#include "events/names.h"
#include "tools/check_cases.h"
#include "tools/inspect_json.h"

namespace dvrcheck {

namespace {

using dvrinspect::JsonArray;
using dvrinspect::JsonBool;
using dvrinspect::JsonString;

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// "Load 1 call 0.002 s, Open ..." in the entries' order of the figures.
std::string CallsText(const PluginSummary& summary) {
  std::string text;
  for (const CallEntryRow& row : kCallEntries) {
    const char* entry = EntryName(row.entry);
    auto count = summary.callCount.find(entry);
    if (count == summary.callCount.end() || count->second == 0) continue;
    auto seconds = summary.callSeconds.find(entry);
    char part[96];
    std::snprintf(part, sizeof part, "%s%s %.0f x %.3f s", text.empty() ? "" : ", ", entry,
                  count->second, seconds == summary.callSeconds.end() ? 0.0 : seconds->second);
    text += part;
  }
  return text.empty() ? "none" : text;
}

std::string CountsText(const std::map<std::string, double>& counts) {
  std::string text;
  for (const auto& [name, value] : counts) {
    if (value == 0) continue;
    text += (text.empty() ? "" : ", ") + name + " " + Number(value);
  }
  return text.empty() ? "none" : text;
}

std::string CountsJson(const std::map<std::string, double>& counts) {
  std::string json;
  for (const auto& [name, value] : counts) {
    json += (json.empty() ? "" : ", ") + JsonString(name) + ": " + Number(value);
  }
  return "{" + json + "}";
}

// What the case was: the driver's line for an event, the packet's words.
std::string CaseText(const ReportContext& context, const Verdict& verdict) {
  if (verdict.fuzzCase[0] != 'p') return verdict.fuzzCaseText;
  const PacketCase c = MakePacketCase(context.seed, std::stoull(verdict.fuzzCase.substr(1)));
  char text[96];
  std::snprintf(text, sizeof text, "packet type %u, target bits 19-0 0x%05X, payload of %u bytes",
                c.type, c.low, c.length);
  return text;
}

std::string CaseLine(const ReportContext& context, const Verdict& verdict) {
  const std::string replay = std::to_string(context.seed) + ":" + verdict.fuzzCase;
  std::string plugins;
  for (const std::string& plugin : context.plugins) plugins += " " + plugin;
  return "fuzz seed " + std::to_string(context.seed) + ", case " + verdict.fuzzCase + " (" +
         CaseText(context, verdict) + ")\n  repeat it: dvrcore-plugin-check --replay " + replay + plugins +
         "\n  or the whole run: dvrcore-plugin-check --replay " + std::to_string(context.seed) +
         " --seconds " + std::to_string(context.seconds) + plugins + "\n";
}

}  // namespace

std::string TextReport(const ReportContext& context, const RunResult& run, const Verdict& verdict) {
  std::string text = context.inspectionText.empty() ? "" : context.inspectionText + "\n";
  text += "run: core " + context.core + ", " + std::to_string(context.seconds) + " s of " +
          (context.fuzz ? "fuzzing, seed " + std::to_string(context.seed) : std::string("traffic")) +
          (context.sanitizerRuntime.empty() ? "" : ", " + context.sanitizerRuntime + " preloaded") +
          "\n";
  for (const PluginSummary& summary : verdict.plugins) {
    text += "\n" + summary.file + "\n  calls: " + CallsText(summary) +
            "\n  raised: " + CountsText(summary.raised) + "\n  refused: " + CountsText(summary.refused) +
            "\n";
    for (const std::string& note : summary.notes) text += "  note: " + note + "\n";
    for (const Finding& finding : verdict.findings) {
      if (finding.plugin == summary.file) text += "  RULE " + finding.rule + ": " + finding.text + "\n";
    }
  }
  if (!verdict.fuzzCase.empty()) text += "\n" + CaseLine(context, verdict);
  if (!verdict.lastLines.empty()) {
    text += "\nlast lines of the log:\n";
    for (const std::string& line : verdict.lastLines) text += "  " + line + "\n";
  }
  text += "\ncore: " + (run.coreSignal ? "ended by signal " + std::to_string(*run.coreSignal)
                        : run.coreStatus ? "exited with status " + std::to_string(*run.coreStatus)
                                         : std::string("no exit status")) + "\n";
  text += verdict.findings.empty() ? "verdict: no rule broken\n"
                                   : "verdict: " + std::to_string(verdict.findings.size()) +
                                         " finding(s)\n";
  return text;
}

std::string JsonReport(const ReportContext& context, const RunResult& run, const Verdict& verdict) {
  std::vector<std::string> plugins;
  for (const PluginSummary& summary : verdict.plugins) {
    std::vector<std::string> notes, findings;
    for (const std::string& note : summary.notes) notes.push_back(JsonString(note));
    for (const Finding& finding : verdict.findings) {
      if (finding.plugin != summary.file) continue;
      findings.push_back("{\"rule\": " + JsonString(finding.rule) + ", \"text\": " +
                         JsonString(finding.text) + "}");
    }
    plugins.push_back("{\"file\": " + JsonString(summary.file) + ", \"threadPrefix\": " +
                      JsonString(summary.threadPrefix) + ", \"calls\": " +
                      CountsJson(summary.callCount) + ", \"callSeconds\": " +
                      CountsJson(summary.callSeconds) + ", \"raised\": " +
                      CountsJson(summary.raised) + ", \"refused\": " + CountsJson(summary.refused) +
                      ", \"buffersHeld\": " + Number(summary.buffersHeld) + ", \"notes\": " +
                      JsonArray(notes) + ", \"findings\": " + JsonArray(findings) + "}");
  }
  std::vector<std::string> rules, lines;
  for (const Finding& finding : verdict.findings) rules.push_back(JsonString(finding.rule));
  for (const std::string& line : verdict.lastLines) lines.push_back(JsonString(line));
  std::string fuzz = "null";
  if (context.fuzz || context.replay) {
    fuzz = "{\"seed\": " + std::to_string(context.seed) + ", \"case\": " +
           (verdict.fuzzCase.empty() ? "null" : JsonString(verdict.fuzzCase)) +
           ", \"caseText\": " +
           (verdict.fuzzCase.empty() ? "null" : JsonString(CaseText(context, verdict))) + "}";
  }
  return "{\"tool\": \"dvrcore-plugin-check\", \"clean\": " + JsonBool(verdict.findings.empty()) +
         ", \"rules\": " + JsonArray(rules) + ", \"core\": {\"path\": " + JsonString(context.core) +
         ", \"started\": " + JsonBool(run.started) + ", \"exitStatus\": " +
         (run.coreStatus ? std::to_string(*run.coreStatus) : "null") + ", \"signal\": " +
         (run.coreSignal ? std::to_string(*run.coreSignal) : "null") + "}, \"seconds\": " +
         std::to_string(context.seconds) + ", \"fuzz\": " + fuzz + ", \"plugins\": " +
         JsonArray(plugins) + ", \"lastLines\": " + JsonArray(lines) + ", \"inspection\": " +
         (context.inspectionJson.empty() ? "null" : context.inspectionJson) + "}\n";
}

}  // namespace dvrcheck
