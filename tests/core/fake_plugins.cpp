#include "tests/core/fake_plugins.h"

#include <array>
#include <atomic>
#include <cstring>

FakeCoreTest* FakeCoreTest::current = nullptr;

namespace {

template <typename In>
FakeCall CallOf(const char* entry, const In& in) {
  FakeCall call;
  call.entry = entry;
  call.data = in.data ? std::string(static_cast<const char*>(in.data), in.dataLength) : "";
  call.buffer = in.data;
  call.dataLength = in.dataLength;
  return call;
}

template <int N>
int32_t WriteAt(void* request, void* result) {
  auto& in = *static_cast<_WriteParmsIn*>(request);
  FakeCall call = CallOf("Write", in);
  call.correlationId = in.correlationId;
  call.write = in;
  FakeBehaviour b = FakeCoreTest::current->Record(N, call);
  static_cast<_WriteParmsOut*>(result)->retain = b.retain;
  return b.writeReturn;
}
template <int N>
int32_t IoctlAt(void* request, void* result) {
  FakeCall call = CallOf("IOCTL", *static_cast<_IoctlParmsIn*>(request));
  call.code = static_cast<_IoctlParmsIn*>(request)->code;
  static_cast<_IoctlParmsOut*>(result)->retain = FakeCoreTest::current->Record(N, call).retain;
  return 0;
}
template <int N>
int32_t ReadAt(void* request, void*) {
  FakeCall call = CallOf("Read", *static_cast<_ReadParmsIn*>(request));
  call.correlationId = static_cast<_ReadParmsIn*>(request)->correlationId;
  FakeCoreTest::current->Record(N, call);
  return 0;
}

template <size_t... N>
constexpr std::array<std::array<PluginEntry, 3>, sizeof...(N)> EntryTable(
    std::index_sequence<N...>) {
  return {{{{&WriteAt<N>, &IoctlAt<N>, &ReadAt<N>}}...}};
}
constexpr auto kEntries = EntryTable(std::make_index_sequence<FakeCoreTest::kMaxPlugins>());

}  // namespace

void FakeCoreTest::Add(uint32_t id, bool acceptsWrites, bool wantsReader,
                       const std::vector<uint32_t>& masks) {
  int slot = used_++;
  slotIds_[slot] = id;
  PLUGININFO plugin;
  plugin.Write = kEntries[slot][0];
  plugin.IOCTL = kEntries[slot][1];
  plugin.Read = kEntries[slot][2];
  plugin.desc.id = id;
  for (size_t i = 0; i < masks.size() && i < EVENT_CLASS_COUNT; i++) plugin.desc.eventMasks[i] = masks[i];
  plugin.desc.acceptsWrites = acceptsWrites;
  plugin.desc.wantsReader = wantsReader;
  plugin.fileName = "fake.so";
  // The table takes records only from files it loads itself. Its records are
  // not const, and tests add theirs before another thread reads the table.
  parts.plugins.Add(std::move(plugin));
}

FakeBehaviour FakeCoreTest::Record(int slot, FakeCall call) {
  call.plugin = slotIds_[slot];
  {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
  }
  auto it = behaviour.find(call.plugin);
  FakeBehaviour b = it == behaviour.end() ? FakeBehaviour{} : it->second;
  if (b.onCall) b.onCall(call);
  return b;
}

int32_t Raise(_EventParmsIn event, int32_t preset) {
  _EventParmsOut out{sizeof(_EventParmsOut), 1, preset};
  FlatPluginEvent(&event, &out);
  return out.result;
}
