// The tool's own output; see inspect_report.h.
#include "tools/inspect_report.h"

#include <cstdio>

#include "tools/inspect_findings.h"
#include "tools/inspect_json.h"

namespace fs = boost::filesystem;

namespace dvrinspect {

namespace {

// The JSON object of one file: its name and path, the messages, the other
// members in the order the child recorded them, and the verdict.
std::string FileObject(const fs::path& path, const std::string& records,
                       const std::string& verdict) {
  std::vector<std::string> messages;
  std::string members;
  size_t at = 0;
  for (size_t end; (end = records.find('\n', at)) != std::string::npos; at = end + 1) {
    const size_t tab = records.find('\t', at);
    if (tab == std::string::npos || tab > end) continue;
    const std::string key(records, at, tab - at);
    std::string value(records, tab + 1, end - tab - 1);
    if (key == Findings::kMessageKey) {
      messages.push_back(std::move(value));
    } else {
      members += ", " + JsonString(key) + ": " + value;
    }
  }
  return "{\"file\": " + JsonString(path.filename().native()) + ", \"path\": " +
         JsonString(path.native()) + ", \"messages\": " + JsonArray(messages) + members +
         ", \"result\": " + JsonString(verdict) + ", \"loaded\": " + JsonBool(verdict == "loaded") +
         "}";
}

}  // namespace

void Report::DiscoveryOrder(const std::vector<fs::path>& candidates,
                            const std::vector<UnreadableFolder>& unreadable) {
  if (json_) {
    std::vector<std::string> order, failed;
    for (const fs::path& path : candidates) order.push_back(JsonString(path.native()));
    for (const UnreadableFolder& folder : unreadable) {
      failed.push_back("{\"path\": " + JsonString(folder.folder.native()) +
                       ", \"error\": " + JsonString(folder.error.message()) + "}");
    }
    std::printf("{\"discoveryOrder\": %s,\n \"unreadableDirectories\": %s,\n \"files\": [",
                JsonArray(order).c_str(), JsonArray(failed).c_str());
    return;
  }
  std::printf("discovery order:\n");
  for (const UnreadableFolder& folder : unreadable) {
    std::printf("  cannot read directory %s: %s\n", folder.folder.c_str(),
                folder.error.message().c_str());
  }
  if (candidates.empty()) std::printf("  (no plugin files)\n");
  for (size_t i = 0; i < candidates.size(); i++) {
    std::printf("  %zu %s\n", i + 1, candidates[i].c_str());
  }
}

void Report::FileHeading(const fs::path& path) {
  if (!json_) std::printf("\n%s\n  path: %s\n", path.filename().c_str(), path.c_str());
}

void Report::FileVerdict(const fs::path& path, const std::string& records,
                         const std::string& verdict) {
  if (json_) {
    const std::string object = FileObject(path, records, verdict);
    std::printf("%s\n  %s", filesReported_++ ? "," : "", object.c_str());
  } else {
    std::printf("  result: %s\n", verdict.c_str());
  }
}

void Report::Summary(size_t files, size_t loaded, size_t unreadable) {
  const size_t rejected = files - loaded;
  if (json_) {
    std::printf("],\n \"summary\": {\"files\": %zu, \"loaded\": %zu, \"rejected\": %zu, "
                "\"unreadableDirectories\": %zu}}\n",
                files, loaded, rejected, unreadable);
    return;
  }
  std::printf("\nsummary: %zu files, %zu loaded, %zu rejected", files, loaded, rejected);
  if (unreadable != 0) {
    std::printf(", %zu %s unreadable", unreadable, unreadable == 1 ? "directory" : "directories");
  }
  std::printf("\n");
}

}  // namespace dvrinspect
