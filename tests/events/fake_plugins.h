// In-process stand-ins for plugins: PLUGININFO records whose entries are
// functions of the test binary, so that dispatch and main-loop rules can be
// driven and observed call by call. (Real shared objects are loaded by the
// integration tests.)
#ifndef DVRCORE_TESTS_EVENTS_FAKE_PLUGINS_H
#define DVRCORE_TESTS_EVENTS_FAKE_PLUGINS_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/dvrcore.h"

// One call a fake plugin received.
struct FakeCall {
  std::string entry;  // "Write", "IOCTL", "Read"
  uint32_t plugin = 0;
  uint32_t code = 0;  // IOCTL code
  uint32_t sourceId = 0;
  uint32_t correlationId = 0;
  uint32_t eventType = 0;
  uint32_t eventFlags = 0;
  uint32_t level = 0;
  std::string data;
  void* buffer = nullptr;
  uint8_t specific[EVENT_SPECIFIC_BYTES] = {};
};

// What every fake plugin does, per plugin ID. Handlers run on the calling
// thread of the core (main loop, event thread).
struct FakeBehaviour {
  int32_t writeReturn = 0;
  int32_t writeError = 0;
  bool retain = false;
  std::function<void(const FakeCall&)> onCall;
};

class FakeWorld {
 public:
  FakeWorld() { current = this; }
  ~FakeWorld() { current = nullptr; }

  // Adds a plugin record with the fake entries to `core.plugins`.
  PLUGININFO& Add(dvrcore& core, uint32_t id, bool acceptsWrites, bool wantsReader,
                  std::vector<uint32_t> masks, const std::string& name = "fake.so");

  std::vector<FakeCall> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  // Waits (bounded) until `count` calls were recorded.
  bool WaitForCalls(size_t count, int timeoutMs = 5000);

  std::map<uint32_t, FakeBehaviour> behaviour;  // set before the calls start

  static FakeWorld* current;
  static constexpr int kMaxPlugins = 8;

  // Entry bodies; `slot` tells which fake plugin was called.
  int32_t OnWrite(int slot, void* request, void* result);
  int32_t OnIoctl(int slot, void* request, void* result);
  int32_t OnRead(int slot, void* request, void* result);

 private:
  void Record(const FakeCall& call);
  uint32_t slotIds_[kMaxPlugins] = {};
  int used_ = 0;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<FakeCall> calls;  // guarded by mutex
};

// A record for raising an event, zero-filled like a careful raiser does.
_EventParmsIn MakeEvent(uint32_t sourceId, uint32_t eventType, uint32_t eventFlags,
                        const void* data = nullptr, uint32_t dataLength = 0,
                        uint32_t correlationId = 0, uint32_t level = 0);

// Raises through the exported entry and returns the result word; `preset` is
// what the raiser puts in `result` beforehand.
int32_t Raise(_EventParmsIn event, int32_t preset = 0);

#endif  // DVRCORE_TESTS_EVENTS_FAKE_PLUGINS_H
