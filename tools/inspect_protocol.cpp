// The child's report records; see inspect_protocol.h.
#include "tools/inspect_protocol.h"

#include <unistd.h>

#include <cstring>

namespace dvrinspect {

void WriteRecord(int fd, const std::string& record) {
  ssize_t ignored = write(fd, record.data(), record.size());  // the parent sees a missing record
  (void)ignored;
}

void ReportAdmission(int fd, PluginAdmission outcome, uint32_t id, std::string name) {
  if (name.size() > kMaxReportedName) name.resize(kMaxReportedName);
  std::string record(1, kAdmissionRecord);
  record += static_cast<char>(outcome);
  record.append(reinterpret_cast<const char*>(&id), sizeof id);
  const uint16_t length = static_cast<uint16_t>(name.size());
  record.append(reinterpret_cast<const char*>(&length), sizeof length);
  record += name;
  WriteRecord(fd, record);
}

ChildReport ParseReport(const std::string& bytes) {
  ChildReport report;
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes[at] == kEndRecord) {
      report.ended = true;
      at++;
      continue;
    }
    const size_t fixed = 1 + 1 + sizeof(uint32_t) + sizeof(uint16_t);
    if (bytes[at] != kAdmissionRecord || bytes.size() - at < fixed) break;
    report.outcome = static_cast<PluginAdmission>(bytes[at + 1]);
    std::memcpy(&report.id, bytes.data() + at + 2, sizeof report.id);
    uint16_t length;
    std::memcpy(&length, bytes.data() + at + 6, sizeof length);
    report.name.assign(bytes, at + fixed, length);
    at += fixed + length;
  }
  return report;
}

}  // namespace dvrinspect
