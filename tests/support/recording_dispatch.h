// Takes the place of the core's dispatch for in-process tests of components
// that raise events (log lines, documents) through FlatPluginEvent: every
// event raised while it lives is recorded with a copy of its data, and
// answered with EVENT_OK.
#ifndef DVRCORE_TESTS_SUPPORT_RECORDING_DISPATCH_H
#define DVRCORE_TESTS_SUPPORT_RECORDING_DISPATCH_H

#include <mutex>
#include <string>
#include <vector>

#include "events/routing.h"

namespace dvrtest {

class RecordingDispatch final : public EventDispatch {
 public:
  struct Raised {
    _EventParmsIn event;
    std::string data;  // the bytes of event.data
  };

  RecordingDispatch() { SetEventDispatch(this); }
  ~RecordingDispatch() { ClearEventDispatch(this); }

  int Dispatch(_EventParmsIn* in, _EventParmsOut* out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    raised_.push_back({*in, in->data ? std::string(static_cast<const char*>(in->data), in->dataLength)
                                     : std::string()});
    out->result = EVENT_OK;
    return 0;
  }

  std::vector<Raised> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raised_;
  }

  // The core's log lines so far, each as "<level> <text>".
  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (const Raised& raised : Events()) {
      if (raised.event.eventType == EVENT_LOG && raised.event.sourceId == kCoreSourceId) {
        lines.push_back(std::to_string(raised.event.level) + " " + raised.data.c_str());
      }
    }
    return lines;
  }

 private:
  std::mutex mutex_;
  std::vector<Raised> raised_;
};

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_SUPPORT_RECORDING_DISPATCH_H
