// Raising events and calling plugin entries: FlatPluginEvent, the core's log
// lines, and the one way the core calls into a plugin.
#include <cxxabi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "events/routing.h"

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

int32_t CallPluginEntry(PluginEntry entry, void* request, void* result, ThreadEnd onThreadEnd) {
  if (entry == nullptr) return 0;
  try {
    return entry(request, result);
  } catch (abi::__forced_unwind&) {
    // Not an error but the end of this thread, which glibc insists on
    // finishing: swallowing it aborts the process.
    if (onThreadEnd == ThreadEnd::kLetItEnd) throw;
    CORE_LOG(kLogFailure, "a plugin ended a thread the core cannot do without; aborting");
    std::abort();
  } catch (...) {
    // A C++ plugin let an exception escape; it must not unwind the core.
    return -1;
  }
}

IoctlCall::IoctlCall(uint32_t code, void* data, uint32_t dataLength)
    : in(NewRecord<_IoctlParmsIn>()), out(NewRecord<_IoctlParmsOut>()) {
  in.code = code;
  // A payload of data (configuration, packets) is described as 16 bytes, the
  // worker's call without data as 8.
  in.payloadSize = code == IOCTL_RUN_WORKER ? IOCTL_PAYLOAD_SIZE_WORKER : IOCTL_PAYLOAD_SIZE_DATA;
  in.payloadVersion = 1;
  in.dataLength = dataLength;
  in.data = data;
  out.code = code;
  out.payloadSize = 8;
  out.payloadVersion = 1;
}
