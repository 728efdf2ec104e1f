// Raising events: FlatPluginEvent and the core's log lines.
#include "events/raise.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>


namespace {

constexpr size_t kMessageBufferSize = 512;  // a longer message is cut to 511 characters

// Written by the core object's constructor and destructor, while no other
// thread of the core exists; read by every raiser.
std::atomic<EventDispatch*> g_dispatch{nullptr};

}  // namespace

void SetEventDispatch(EventDispatch* dispatch) { g_dispatch.store(dispatch); }

void ClearEventDispatch(EventDispatch* dispatch) {
  g_dispatch.compare_exchange_strong(dispatch, nullptr);
}

extern "C" int FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
  EventDispatch* dispatch = g_dispatch.load(std::memory_order_acquire);
  if (dispatch == nullptr) {
    if (out) out->result = EVENT_REFUSED;
    return 0;
  }
  return dispatch->Dispatch(in, out);
}

void RaiseLogMessage(uint32_t sourceId, PluginEventFunction raise, unsigned level,
                     const char* format, ...) {
  if (raise == nullptr) return;
  char text[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (written < 0) text[0] = '\0';

  auto in = NewRecord<_EventParmsIn>();
  in.dataLength = static_cast<uint32_t>(std::strlen(text) + 1);
  in.data = text;
  in.sourceId = sourceId;
  in.eventType = EVENT_LOG;
  in.eventFlags = EVENT_FLAGS_CORE_LOG;
  in.level = level;
  auto out = NewRecord<_EventParmsOut>();
  raise(&in, &out);
}
