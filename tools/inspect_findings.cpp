// A child's findings; see inspect_findings.h.
#include "tools/inspect_findings.h"

#include <unistd.h>

#include <cerrno>

#include "events/raise.h"
#include "tools/inspect_json.h"

namespace dvrinspect {

void Findings::Message(uint32_t sourceId, unsigned level, const char* text) {
  if (!Json()) {
    if (sourceId == kCoreSourceId) {
      std::printf("  %s\n", text);
    } else {
      std::printf("  log from 0x%08lX level %u: %s\n", static_cast<unsigned long>(sourceId),
                  level, text);
    }
    return;
  }
  const std::string json = "{\"sourceId\": " + std::to_string(sourceId) +
                           ", \"sourceIdHex\": \"" + Hex(sourceId) + "\", \"level\": " +
                           std::to_string(level) + ", \"text\": " + JsonString(text) + "}";
  std::lock_guard<std::mutex> lock(mutex_);
  if (messageBytes_ + json.size() > kMaxMessageBytes) {
    if (!truncated_) Record("messagesTruncated", "true");
    truncated_ = true;
    return;
  }
  messageBytes_ += json.size();
  Record("message", json);
}

void Findings::Record(const char* key, const std::string& json) {
  const std::string record = std::string(key) + '\t' + json + '\n';
  // Whole or, when the child ends half way, cut off before its newline: the
  // parent drops a record without one.
  for (size_t done = 0; done < record.size();) {
    const ssize_t n = write(recordFd_, record.data() + done, record.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace dvrinspect
