// What dvrcore-inspect prints itself, as text or as one JSON document: the
// discovery order, each file's verdict (its JSON object gathered from the
// child's records) and the summary. The child prints the rest of a file's
// text report itself (inspect_findings.h).
#ifndef DVRCORE_TOOLS_INSPECT_REPORT_H
#define DVRCORE_TOOLS_INSPECT_REPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "pluginhost/discovery.h"

namespace dvrinspect {

// The tool's own output on stdout, in the order of the calls: DiscoveryOrder,
// then FileHeading and FileVerdict for each file, then Summary.
class Report {
 public:
  explicit Report(bool json) : json_(json) {}

  bool Json() const { return json_; }
  void DiscoveryOrder(const std::vector<boost::filesystem::path>& candidates,
                      const std::vector<UnreadableFolder>& unreadable);
  // Text: the lines that open a file's report, before its child prints.
  void FileHeading(const boost::filesystem::path& path);
  // The verdict on `path`; JSON: with the members of the child's `records`.
  void FileVerdict(const boost::filesystem::path& path, const std::string& records,
                   const std::string& verdict);
  void Summary(size_t files, size_t loaded, size_t unreadable);

 private:
  const bool json_;           // the report as one JSON document
  size_t filesReported_ = 0;  // JSON: objects printed so far, for their separators
};

}  // namespace dvrinspect

#endif  // DVRCORE_TOOLS_INSPECT_REPORT_H
