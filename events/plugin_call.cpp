// Calling plugin entries; see plugin_call.h.
#include "events/plugin_call.h"

#include <cxxabi.h>

#include <cstdlib>

#include "events/raise.h"

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

void LogFailedCall(unsigned level, const char* name, const char* entryName, int32_t rc,
                   int32_t error) {
  CORE_LOG(level, "plugin %s %s returned %d error %d", name, entryName, rc, error);
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
