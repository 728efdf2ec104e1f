// Events reaching plugins: queued events from the main loop, through Write or
// (configuration updates) IOCTL, and immediate events on event threads.
//
// DESIGN: a queued event's data buffer is held in the allocation registry by
// each plugin during its call; a plugin that sets `retain` keeps its hold
// until it raises EVENT_RELEASE. The main loop holds it for the whole
// delivery and frees it when its release is the last. Immediate events are
// copied for each receiving plugin, whose event thread owns the copy.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include <boost/container/small_vector.hpp>

#include "events/call_watch.h"
#include "events/figures.h"
#include "events/plugin_call.h"
#include "events/raise.h"
#include "pluginhost/plugin_table.h"

namespace {

// A reader plugin an immediate event goes to, entered in its activity.
struct EventReader {
  PluginEntry read;
  uint32_t id;
  PluginActivity* activity;
};
// Readers of one event listed without an allocation.
constexpr size_t kReadersInPlace = 16;
// A plugin's file name, copied for a failure's log line without an
// allocation (the failure may be that memory ran out): NAME_MAX and its end.
constexpr size_t kFileNameBytes = NAME_MAX + 1;

void DeliverConfiguration(const PLUGININFO& plugin, const _EventParmsIn& entry,
                          AllocationRegistry& allocations) {
  const uint32_t id = plugin.desc.id;
  IoctlCall call(IOCTL_UPDATE_CONFIG, entry.data, entry.dataLength);
  allocations.HoldForCall(entry.data, id);
  int32_t rc;
  {
    WatchedCall watched(id, "configuration IOCTL");
    TimedCall timed(*plugin.figures, CallEntry::kIoctl, DeliveryKind::kConfig);
    rc = CallPluginEntry(plugin.IOCTL, &call.in, &call.out);
  }
  allocations.EndCall(entry.data, call.out.retain != 0);
  ReportFailedCall(rc, call.out.error, kLogDetail, "update config", plugin.fileName);
}

// Inlined into the loop of DeliverQueued, which it is the heart of: a call
// of its own costs a tenth of a delivery's instructions.
__attribute__((always_inline)) inline void DeliverWrite(const PLUGININFO& plugin,
                                                        const _EventParmsIn& entry,
                                                        AllocationRegistry& allocations) {
  const uint32_t id = plugin.desc.id;
  auto in = NewRecord<_WriteParmsIn>();
  in.dataLength = entry.dataLength;
  in.data = entry.data;
  in.sourceId = entry.sourceId;
  in.correlationId = entry.correlationId;
  in.eventType = entry.eventType;
  in.eventFlags = entry.eventFlags;
  std::memcpy(&in.specific0, &entry.specific0, EVENT_SPECIFIC_BYTES);
  auto out = NewRecord<_WriteParmsOut>();
  allocations.HoldForCall(entry.data, id);
  int32_t rc;
  {
    WatchedCall watched(id, EntryName(EntryPoint::kWrite), entry.eventType, entry.sourceId);
    TimedCall timed(*plugin.figures, CallEntry::kWrite, DeliveryKind::kWrite);
    rc = CallPluginEntry(plugin.Write, &in, &out);
  }
  allocations.EndCall(entry.data, out.retain != 0);
  ReportFailedCall(rc, out.error, kLogDetail, "write", plugin.fileName);
}

// Starts the event thread of one entered reader with a copy of the event's
// `length` bytes of data of its own; false (logged, the reader has left
// again) when it could not. Inlined into the loop of StartEventThreads, as
// DeliverWrite is into DeliverQueued: the immediate dispatch is as hot.
__attribute__((always_inline)) inline bool GiveEventToReader(PluginTable& table,
                                                           const EventReader& reader,
                                                           const _EventParmsIn& in,
                                                           uint32_t length, ReplySlots& slots) {
  void* copy = nullptr;
  if (length != 0) {
    copy = std::malloc(length);
    if (copy == nullptr) {
      char fileName[kFileNameBytes];
      table.CopyFileName(reader.id, fileName, sizeof fileName);
      reader.activity->Leave();
      CORE_LOG(kLogFailure,
               "plugin %s event thread could not be started: no memory for %lu bytes of data",
               fileName, static_cast<unsigned long>(length));
      return false;
    }
    std::memcpy(copy, in.data, length);
  }
  const int error = StartEventThread(reader.read, in.eventType, in.sourceId, length, copy,
                                     in.correlationId, *reader.activity, slots);
  if (error != 0) {
    char fileName[kFileNameBytes];
    table.CopyFileName(reader.id, fileName, sizeof fileName);
    reader.activity->Leave();
    CORE_LOG(kLogFailure, "plugin %s event thread could not be started: %s", fileName,
             std::strerror(error));
    return false;
  }
  return true;
}

}  // namespace

void PluginTable::DeliverQueued(const _EventParmsIn& entry, AllocationRegistry& allocations) {
  AssertOnThread(g_mainThread);
  const uint32_t key = EventQueuedKey(entry.eventFlags);
  const std::vector<PLUGININFO>& records = Records();
  if (!(entry.eventType & EVENT_CONFIG)) {
    // Only the writers the event reaches are visited, however many do not take it.
    OwnRoutes().ForEach(RoutingIndex::kWrite, entry.eventType, key, [&](size_t position) {
      DeliverWrite(records[position], entry, allocations);
    });
    return;
  }
  // A configuration update reaches every plugin but its source.
  for (const PLUGININFO& plugin : records) {
    if (plugin.desc.id != entry.sourceId) {
      if (plugin.IOCTL != nullptr) DeliverConfiguration(plugin, entry, allocations);
      continue;
    }
    if (plugin.desc.acceptsWrites && plugin.Write != nullptr &&
        EventMatchesMasks(entry.eventType, key, plugin.desc.eventMasks)) {
      DeliverWrite(plugin, entry, allocations);
    }
  }
}

bool PluginTable::StartEventThreads(const _EventParmsIn& in, ReplySlots& slots) {
  const uint32_t key = EventImmediateKey(in.eventFlags);
  // A plugin sees a length only with data to go with it.
  const uint32_t length = in.data != nullptr ? in.dataLength : 0;
  // The readers to be given the event, each entered. Only the matching and
  // the entering happen under pluginsLock: an entered plugin stays loaded,
  // and its Read entry and activity with it, after the lock is released.
  // Room for more readers than fit in place is made outside the lock, and
  // the table walked again.
  boost::container::small_vector<EventReader, kReadersInPlace> readers;
  for (;;) {
    size_t matching = 0;
    {
      ReaderLock lock(pluginsLock);
      PLUGININFO* const records = plugins.data();  // the lock is held while ForEach visits
      routes.ForEach(RoutingIndex::kRead, in.eventType, key, [&](size_t position) {
        PLUGININFO& plugin = records[position];
        if (++matching > readers.capacity()) return;  // only counted
        if (!plugin.activity->Enter()) return;          // being unloaded
        readers.push_back({plugin.Read, plugin.desc.id, plugin.activity.get()});
      });
      if (matching <= readers.capacity()) break;
      for (const EventReader& reader : readers) reader.activity->Leave();
    }
    readers.clear();
    try {
      readers.reserve(matching);
    } catch (const std::bad_alloc&) {
      CORE_LOG(kLogFailure, "event threads could not be started for %zu plugins: no memory",
               matching);
      return false;
    }
  }

  bool everyReader = true;
  for (const EventReader& reader : readers) {
    if (!GiveEventToReader(*this, reader, in, length, slots)) everyReader = false;
  }
  return everyReader;
}

void PluginTable::CopyFileName(uint32_t id, char* name, size_t size) {
  ReaderLock lock(pluginsLock);
  const char* found = "?";
  for (const PLUGININFO& plugin : plugins) {
    if (plugin.desc.id == id) {
      found = plugin.fileName.c_str();
      break;
    }
  }
  std::strncpy(name, found, size - 1);
  name[size - 1] = '\0';
}
