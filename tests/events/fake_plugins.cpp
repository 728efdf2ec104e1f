#include "tests/events/fake_plugins.h"

#include <chrono>
#include <utility>

FakeWorld* FakeWorld::current = nullptr;

namespace {

template <int N>
int32_t WriteAt(void* request, void* result) {
  return FakeWorld::current->OnWrite(N, request, result);
}
template <int N>
int32_t IoctlAt(void* request, void* result) {
  return FakeWorld::current->OnIoctl(N, request, result);
}
template <int N>
int32_t ReadAt(void* request, void* result) {
  return FakeWorld::current->OnRead(N, request, result);
}

template <size_t... N>
constexpr std::array<std::array<PluginEntry, 3>, sizeof...(N)> EntryTable(
    std::index_sequence<N...>) {
  return {{{{&WriteAt<N>, &IoctlAt<N>, &ReadAt<N>}}...}};
}
constexpr auto kEntries = EntryTable(std::make_index_sequence<FakeWorld::kMaxPlugins>());

std::string Text(const void* data, uint32_t length) {
  return data ? std::string(static_cast<const char*>(data), length) : std::string();
}

}  // namespace

PLUGININFO& FakeWorld::Add(dvrcore& core, uint32_t id, bool acceptsWrites, bool wantsReader,
                           std::vector<uint32_t> masks, const std::string& name) {
  int slot = used_++;
  slotIds_[slot] = id;
  PLUGININFO plugin;
  plugin.Write = kEntries[slot][0];
  plugin.IOCTL = kEntries[slot][1];
  plugin.Read = kEntries[slot][2];
  plugin.desc.size = sizeof plugin.desc;
  plugin.desc.version = 1;
  plugin.desc.id = id;
  for (size_t i = 0; i < masks.size() && i < 9; i++) plugin.desc.eventMasks[i] = masks[i];
  plugin.desc.acceptsWrites = acceptsWrites;
  plugin.desc.wantsReader = wantsReader;
  plugin.fileName = name;
  core.plugins.push_back(std::move(plugin));
  return core.plugins.back();
}

void FakeWorld::Record(const FakeCall& call) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
  }
  changed.notify_all();
  auto it = behaviour.find(call.plugin);
  if (it != behaviour.end() && it->second.onCall) it->second.onCall(call);
}

bool FakeWorld::WaitForCalls(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex);
  return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return calls.size() >= count; });
}

int32_t FakeWorld::OnWrite(int slot, void* request, void* result) {
  auto* in = static_cast<_WriteParmsIn*>(request);
  auto* out = static_cast<_WriteParmsOut*>(result);
  FakeCall call;
  call.entry = "Write";
  call.plugin = slotIds_[slot];
  call.sourceId = in->sourceId;
  call.correlationId = in->correlationId;
  call.eventType = in->eventType;
  call.eventFlags = in->eventFlags;
  call.level = in->level;
  call.data = Text(in->data, in->dataLength);
  call.buffer = in->data;
  std::memcpy(call.specific, &in->specific0, EVENT_SPECIFIC_BYTES);
  FakeBehaviour b = behaviour.count(call.plugin) ? behaviour[call.plugin] : FakeBehaviour{};
  out->error = b.writeError;
  out->retain = b.retain;
  Record(call);
  return b.writeReturn;
}

int32_t FakeWorld::OnIoctl(int slot, void* request, void* result) {
  auto* in = static_cast<_IoctlParmsIn*>(request);
  auto* out = static_cast<_IoctlParmsOut*>(result);
  FakeCall call;
  call.entry = "IOCTL";
  call.plugin = slotIds_[slot];
  call.code = in->code;
  call.data = Text(in->data, in->dataLength);
  call.buffer = in->data;
  FakeBehaviour b = behaviour.count(call.plugin) ? behaviour[call.plugin] : FakeBehaviour{};
  out->retain = b.retain;
  Record(call);
  return 0;
}

int32_t FakeWorld::OnRead(int slot, void* request, void*) {
  auto* in = static_cast<_ReadParmsIn*>(request);
  FakeCall call;
  call.entry = "Read";
  call.plugin = slotIds_[slot];
  call.correlationId = in->correlationId;
  call.data = Text(in->data, in->dataLength);
  call.buffer = in->data;
  Record(call);
  return 0;
}

_EventParmsIn MakeEvent(uint32_t sourceId, uint32_t eventType, uint32_t eventFlags,
                        const void* data, uint32_t dataLength, uint32_t correlationId,
                        uint32_t level) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.sourceId = sourceId;
  in.eventType = eventType;
  in.eventFlags = eventFlags;
  in.data = const_cast<void*>(data);
  in.dataLength = dataLength;
  in.correlationId = correlationId;
  in.level = level;
  return in;
}

int32_t Raise(_EventParmsIn event, int32_t preset) {
  _EventParmsOut out{sizeof(_EventParmsOut), 1, preset};
  FlatPluginEvent(&event, &out);
  return out.result;
}
