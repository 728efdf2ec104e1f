// Takes the place of the core's dispatch for in-process tests of components
// that raise events (log lines, documents) through FlatPluginEvent: records
// every event raised while it lives, with a copy of its data, and answers
// EVENT_OK.
#ifndef DVRCORE_TESTS_SUPPORT_RECORDING_DISPATCH_H
#define DVRCORE_TESTS_SUPPORT_RECORDING_DISPATCH_H

#include <mutex>
#include <string>
#include <vector>

#include "events/raise.h"

namespace dvrtest {

class RecordingDispatch final : public EventDispatch {
 public:
  struct Raised {
    _EventParmsIn event;
    std::string data;
  };
  RecordingDispatch() { SetEventDispatch(this); }
  ~RecordingDispatch() { ClearEventDispatch(this); }

  int Dispatch(_EventParmsIn* in, _EventParmsOut* out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const char* data = static_cast<const char*>(in->data);
    raised_.push_back({*in, data ? std::string(data, in->dataLength) : std::string()});
    out->result = EVENT_OK;
    return 0;
  }
  std::vector<Raised> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raised_;
  }
  // The core's log lines, each as "<level> <text>".
  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (const Raised& r : Events()) {
      if (r.event.eventType != EVENT_LOG) continue;
      lines.push_back(std::to_string(r.event.level) + " " + r.data.c_str());
    }
    return lines;
  }

 private:
  std::mutex mutex_;
  std::vector<Raised> raised_;
};

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_SUPPORT_RECORDING_DISPATCH_H
