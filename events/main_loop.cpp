// The main loop: delivers queued events one at a time, in arrival order, to
// the plugins in table order, through IOCTL (configuration updates) or Write.
//
// DESIGN: runs on the main thread only. coreMutex is held only to test, wait
// and take the front entry; every plugin call and registry operation runs
// without it, so plugins may raise events from inside Write and IOCTL. The
// table is not changed while the loop runs (plugins are loaded before and
// unloaded after it, both on this thread), so it is walked without a lock.
//
// The entry's data buffer is held in the allocation registry by the core for
// the whole delivery and by each plugin during its call; a plugin that sets
// `retain` keeps its hold until it raises EVENT_RELEASE. Whoever releases the
// last hold frees the buffer.
#include <cstdlib>
#include <cstring>

#include "core/dvrcore.h"

void dvrcore::RunMainLoop() {
  std::unique_lock<std::mutex> lock(coreMutex);
  for (;;) {
    coreWakeup.wait(lock, [this] { return stopRequested.load() || !requestQueue.empty(); });
    if (requestQueue.empty()) return;  // stop requested and everything delivered
    _EventParmsIn entry = requestQueue.front();
    requestQueue.pop_front();
    lock.unlock();
    DeliverRequest(entry);
    lock.lock();
  }
}

void dvrcore::DeliverRequest(const _EventParmsIn& entry) {
  void* const buffer = entry.data;
  allocations.Track(buffer, kCoreSourceId);
  const uint32_t key = EventQueuedKey(entry.eventFlags);

  for (PLUGININFO& plugin : plugins) {
    const uint32_t id = plugin.desc.id;
    if ((entry.eventType & EVENT_CONFIG) && id != entry.sourceId) {
      if (plugin.IOCTL == nullptr) continue;
      IoctlCall call(IOCTL_UPDATE_CONFIG, buffer, entry.dataLength);
      allocations.Track(buffer, id);
      int32_t rc = CallPluginEntry(plugin.IOCTL, &call.in, &call.out);
      if (rc != 0 || call.out.error != 0) {
        CORE_LOG(0, "plugin %s update config returned %d error %d", plugin.fileName.c_str(), rc,
                 call.out.error);
      }
      if (call.out.retain == 0) allocations.Release(buffer, id);
      continue;
    }

    if (!plugin.desc.acceptsWrites || plugin.Write == nullptr ||
        !EventMatchesMasks(entry.eventType, key, plugin.desc.eventMasks)) {
      continue;
    }
    _WriteParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = 1;
    in.dataLength = entry.dataLength;
    in.data = buffer;
    in.sourceId = entry.sourceId;
    in.correlationId = entry.correlationId;
    in.eventType = entry.eventType;
    in.eventFlags = entry.eventFlags;
    std::memcpy(&in.specific0, &entry.specific0, EVENT_SPECIFIC_BYTES);
    _WriteParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    allocations.Track(buffer, id);
    int32_t rc = CallPluginEntry(plugin.Write, &in, &out);
    if (rc != 0 || out.error != 0) {
      CORE_LOG(0, "plugin %s write returned %d error %d", plugin.fileName.c_str(), rc, out.error);
    }
    if (out.retain == 0) allocations.Release(buffer, id);
  }

  if (buffer != nullptr && allocations.Release(buffer, kCoreSourceId)) {
    WakeReplyWaiters(buffer);
    std::free(buffer);
  }
}
