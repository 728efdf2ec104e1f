// In-process stand-ins for plugins: PLUGININFO records whose entries are
// functions of the test binary, in the table of a core object that is never
// started, so that dispatch and main-loop rules can be driven and observed
// call by call. (Real shared objects are loaded by the integration tests.)
#ifndef DVRCORE_TESTS_CORE_FAKE_PLUGINS_H
#define DVRCORE_TESTS_CORE_FAKE_PLUGINS_H

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/core.h"
#include "tests/support/raising.h"

// One call a fake plugin received.
struct FakeCall {
  std::string entry;  // "Write", "IOCTL", "Read"
  uint32_t plugin = 0;
  uint32_t code = 0;           // IOCTL
  uint32_t correlationId = 0;  // Read, Write
  std::string data;
  void* buffer = nullptr;
  uint32_t dataLength = 0;
  _WriteParmsIn write{};  // Write: the whole record
};

// What a fake plugin does (set before the calls start); onCall runs on the
// core's calling thread (main loop, event thread).
struct FakeBehaviour {
  int32_t writeReturn = 0;
  bool retain = false;
  std::function<void(const FakeCall&)> onCall;
};

// The core's components. dvrcore::Parts is private to the class, so tests
// name it through the accessor that hands it out.
using CoreParts = CoreControl::Parts;

// A core object made as the process entry makes it, never started, with fake
// plugins in its table. The main loop runs only where a test runs it.
class FakeCoreTest : public ::testing::Test {
 public:
  static FakeCoreTest* current;  // the running test, reached by the fake entries
  static constexpr int kMaxPlugins = 24;
  // The fake entries' common body: records `call` and runs the plugin's onCall.
  FakeBehaviour Record(int slot, FakeCall call);

 protected:
  FakeCoreTest() { current = this; }
  ~FakeCoreTest() override { current = nullptr; }
  void TearDown() override {
    Stop();  // first: an event thread waiting to queue an answer gives up
    SealPlugins();
    if (loop.joinable()) loop.join();
  }
  // Appends a record with the fake entries to the core's plugin table.
  void Add(uint32_t id, bool acceptsWrites, bool wantsReader, const std::vector<uint32_t>& masks);
  std::vector<FakeCall> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  bool WaitForCalls(size_t count) { return Eventually([&] { return Calls().size() >= count; }); }
  // Waits until every event thread has left its fake plugin; refuses new ones.
  void SealPlugins() {
    AssertOnThread(g_mainThread);
    for (const PLUGININFO& plugin : parts.plugins.Records()) plugin.activity->SealAndWait();
  }
  // The main loop, on the calling thread: returns after a stop, once drained.
  void RunLoop() { parts.requests.Run([this](const _EventParmsIn& e) { parts.DeliverQueued(e); }); }
  void StartLoop() { loop = std::thread([this] { RunLoop(); }); }
  void Stop() { CoreControl::RequestStop(*core); }

  std::unique_ptr<dvrcore> core = CoreControl::Make("/nonexistent/bin/dvrcore");
  CoreParts& parts = CoreControl::PartsOf(*core);
  std::map<uint32_t, FakeBehaviour> behaviour;  // per plugin ID
  std::thread loop;                             // StartLoop's

 private:
  uint32_t slotIds_[kMaxPlugins] = {};
  int used_ = 0;
  std::mutex mutex;
  std::vector<FakeCall> calls;  // guarded by mutex
};

// Raises through the exported entry and returns the result word; `preset` is
// what the raiser puts in `result` beforehand.
int32_t Raise(_EventParmsIn event, int32_t preset = 0);

#endif  // DVRCORE_TESTS_CORE_FAKE_PLUGINS_H
