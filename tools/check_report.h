// The report of dvrcore-plugin-check: text for people, one JSON document for
// CI systems.
#ifndef DVRCORE_TOOLS_CHECK_REPORT_H
#define DVRCORE_TOOLS_CHECK_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/check_run.h"
#include "tools/check_verdict.h"

namespace dvrcheck {

// What the run was, beside its verdict.
struct ReportContext {
  std::vector<std::string> plugins;  // paths, the checked plugin first
  std::string core;
  int seconds = 0;
  bool fuzz = false;
  bool replay = false;
  uint64_t seed = 0;
  std::string inspectionText;  // dvrcore-inspect's report, as it printed it
  std::string inspectionJson;  // ... and as JSON; empty when it could not run
  std::string sanitizerRuntime;
};

std::string TextReport(const ReportContext& context, const RunResult& run, const Verdict& verdict);
std::string JsonReport(const ReportContext& context, const RunResult& run, const Verdict& verdict);

}  // namespace dvrcheck

#endif  // DVRCORE_TOOLS_CHECK_REPORT_H
