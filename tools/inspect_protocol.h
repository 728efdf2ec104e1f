// What an inspecting child reports to dvrcore-inspect through a pipe.
//
// Two records, each written with one write(2) of less than PIPE_BUF bytes, so
// that each arrives whole or not at all: the admission (right after Admit)
// and the end (after Unload and the core object's destruction).
//   admission: 'A', outcome (1 byte), ID (4 bytes), name length (2 bytes), name
//   end:       'E'
#ifndef DVRCORE_TOOLS_INSPECT_PROTOCOL_H
#define DVRCORE_TOOLS_INSPECT_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "pluginhost/plugin_table.h"

namespace dvrinspect {

// (ReportAdmission, then the end record written with WriteRecord.)
constexpr char kAdmissionRecord = 'A';
constexpr char kEndRecord = 'E';
constexpr size_t kMaxReportedName = 255;

struct ChildReport {
  std::optional<PluginAdmission> outcome;  // set once the admission arrived
  uint32_t id = 0;
  std::string name;  // the module name, for an admitted file
  bool ended = false;
};

// Writes one record whole (one write(2)); a failure leaves it missing,
// which the parent reads as the child having ended before it.
void WriteRecord(int fd, const std::string& record);
// The admission record; a longer module name is cut to kMaxReportedName.
void ReportAdmission(int fd, PluginAdmission outcome, uint32_t id, std::string name);
// Parses what the child wrote before it ended.
ChildReport ParseReport(const std::string& bytes);

}  // namespace dvrinspect

#endif  // DVRCORE_TOOLS_INSPECT_PROTOCOL_H
