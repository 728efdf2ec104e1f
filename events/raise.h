// Raising events: FlatPluginEvent hands every raised event to the dispatch
// the core registered; the core's own log lines are raised like any other
// event. Any thread.
#ifndef DVRCORE_EVENTS_RAISE_H
#define DVRCORE_EVENTS_RAISE_H

#include <cstdint>
#include <cstring>

#include "events/events.h"
#include "pluginhost/plugin.h"  // PLUGIN_ID_CORE (the SDK's)

// The core's source ID in events, its module ID in documents and its holder
// ID in the allocation registry. No plugin may load under it.
constexpr uint32_t kCoreSourceId = PLUGIN_ID_CORE;

// Log levels: console detail, progress, notable conditions, failures (which
// also go to syslog).
enum LogLevel : unsigned {
  kLogDetail = 0,
  kLogProgress = 25,
  kLogNotable = 50,
  kLogFailure = 100,
};

// Where FlatPluginEvent hands every raised event. The core registers its
// dispatch when it is constructed, before any other thread exists, and takes
// it back when it is destroyed; until then, and after, events are refused.
class EventDispatch {
 public:
  virtual int Dispatch(_EventParmsIn* in, _EventParmsOut* out) = 0;

 protected:
  ~EventDispatch() = default;
};
void SetEventDispatch(EventDispatch* dispatch);
// Takes `dispatch` back if it is still the registered one.
void ClearEventDispatch(EventDispatch* dispatch);

// Formats a message (cut to 511 characters) and raises it as a log event of
// `level` from `sourceId` through `raise`; nothing when `raise` is null.
void RaiseLogMessage(uint32_t sourceId, PluginEventFunction raise, unsigned level,
                     const char* format, ...) __attribute__((format(printf, 4, 5)));

// The core's own log lines: source kCoreSourceId, through FlatPluginEvent.
#define CORE_LOG(level, ...) RaiseLogMessage(kCoreSourceId, FlatPluginEvent, (level), __VA_ARGS__)

// A record as the core hands it to plugins: every byte zero (padding and
// reserved fields included) but `size`, the record's size as built, and
// `version`.
template <typename Record>
Record NewRecord(uint32_t version = 1) {
  Record record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof record;
  record.version = version;
  return record;
}

#endif  // DVRCORE_EVENTS_RAISE_H
