// Queued delivery by the main loop: configuration updates, writes, holds on
// the shared buffer, and the stop.
#include <cstring>

#include <gtest/gtest.h>

#include "pluginhost/testing.h"
#include "tests/core/fake_plugins.h"

namespace {

constexpr uint32_t kPluginA = 0x00010000;
constexpr uint32_t kPluginB = 0x00020000;
constexpr uint32_t kPluginC = 0x00030000;
constexpr uint32_t kAll = 0xFFFFFFFF;

using Ids = std::vector<uint32_t>;

class MainLoop : public FakeCoreTest {
 protected:
  // Stops first, so that the loop returns once it has delivered what was
  // queued; `late`, raised after the stop, is refused and never delivered.
  void Drain(const _EventParmsIn& late) {
    Stop();
    EXPECT_EQ(Raise(late), EVENT_REFUSED);
    RunLoop();
  }
  Ids Receivers(const std::string& entry) {
    Ids ids;
    for (const FakeCall& call : Calls()) if (call.entry == entry) ids.push_back(call.plugin);
    return ids;
  }
};

struct FakePlugin { uint32_t id; bool acceptsWrites; std::vector<uint32_t> masks; int32_t writeReturn = 0; };

// Plugins in table order, events raised in order (each with data "data"), and
// who receives them through IOCTL (configuration) and Write.
struct RouteCase { const char* name; std::vector<FakePlugin> plugins; std::vector<_EventParmsIn> events; Ids ioctl, write; };

class Routes : public MainLoop, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(Routes, ReachTheirReceiversInTableOrder) {
  for (const FakePlugin& plugin : GetParam().plugins) {
    Add(plugin.id, plugin.acceptsWrites, false, plugin.masks);
    behaviour[plugin.id].writeReturn = plugin.writeReturn;
  }
  // Event-specific bytes (the level among them) pass into Write unchanged.
  uint8_t specific[EVENT_SPECIFIC_BYTES];
  for (int i = 0; i < EVENT_SPECIFIC_BYTES; i++) specific[i] = static_cast<uint8_t>(i + 1);
  for (_EventParmsIn event : GetParam().events) {
    std::memcpy(&event.specific0, specific, EVENT_SPECIFIC_BYTES);
    event.data = const_cast<char*>("data");
    event.dataLength = 4;
    EXPECT_EQ(Raise(event), EVENT_OK);
  }
  Drain(GetParam().events[0]);
  EXPECT_EQ(Receivers("IOCTL"), GetParam().ioctl);
  EXPECT_EQ(Receivers("Write"), GetParam().write);
  for (const FakeCall& call : Calls()) {
    EXPECT_EQ(call.data, "data");
    if (call.entry == "IOCTL") EXPECT_EQ(call.code, static_cast<uint32_t>(IOCTL_UPDATE_CONFIG));
    else EXPECT_EQ(std::memcmp(&call.write.specific0, specific, EVENT_SPECIFIC_BYTES), 0);
  }
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(parts.allocations), 0u);  // a failing Write lets go as well
}

INSTANTIATE_TEST_SUITE_P(MainLoop, Routes, ::testing::Values(
  RouteCase{"ConfigurationFromTheCoreReachesEveryPlugin", {{kPluginA, false, {}},
            {kPluginB, true, {kAll, kAll, kAll}}, {kPluginC, true, {0}}},
            {MakeEvent(kCoreSourceId, EVENT_CONFIG, EVENT_FLAGS_CORE_XML)}, {kPluginA, kPluginB, kPluginC}, {}},
  RouteCase{"ConfigurationFromAPluginSkipsItsSourceWhichMayGetAWrite", {{kPluginA, true, {kAll}},
            {kPluginB, true, {kAll}}, {kPluginC, false, {}}},
            {MakeEvent(kPluginA, EVENT_CONFIG | EVENT_CLASS1, 0x4)}, {kPluginB, kPluginC}, {kPluginA}},
  RouteCase{"SourceWithoutAMatchingMaskGetsNothing", {{kPluginA, true, {0}}, {kPluginB, true, {}}},
            {MakeEvent(kPluginA, EVENT_CONFIG | EVENT_CLASS1, 0x4)}, {kPluginB}, {}},
  // B does not accept writes; key 0x06 is no subset of C's mask.
  RouteCase{"WritesOnlyToMatchingPluginsThatAcceptThem", {{kPluginA, true, {0, 0x0F}},
            {kPluginB, false, {0, kAll}}, {kPluginC, true, {0, 0x01}}},
            {MakeEvent(kPluginB, EVENT_CLASS2, 0x06)}, {}, {kPluginA}},
  RouteCase{"KeyZeroMatchesEveryClassMaskButATypeWithoutClassNone", {{kPluginA, true, Ids(9, 0)}},
            {MakeEvent(kPluginB, EVENT_CLASS9, 0), MakeEvent(kPluginB, 0, 0)}, {}, {kPluginA}},
  RouteCase{"FailingWriteDoesNotStopTheNextPlugin", {{kPluginA, true, {0, kAll}, 5}, {kPluginB, true, {0, kAll}}},
            {MakeEvent(kPluginC, EVENT_CLASS2, 0)}, {}, {kPluginA, kPluginB}},
  // Key 0x06 of classes 1 and 2: A takes it through class 1, B through class
  // 2 alone; C's masks each hold part of the key, D's mask 3 is no class of it.
  RouteCase{"EachClassMaskMustHoldTheWholeKey", {{kPluginA, true, {0x06}}, {kPluginB, true, {0x02, 0x0E}},
            {kPluginC, true, {0x04, 0x02}}, {0x00040000, true, {0, 0, 0x06}}},
            {MakeEvent(kPluginC, EVENT_CLASS1 | EVENT_CLASS2, 0x06)}, {}, {kPluginA, kPluginB}},
  RouteCase{"TopKeyBitOfClassNine", {{kPluginA, true, {0, 0, 0, 0, 0, 0, 0, 0, 0x80000001}},
            {kPluginB, true, {0, 0, 0, 0, 0, 0, 0, 0, 0x80000000}}, {kPluginC, true, Ids(9, 0x7FFFFFFF)}},
            {MakeEvent(kPluginC, EVENT_CLASS9, 0x40000001)}, {}, {kPluginA}},
  // The first plugin is put before those loaded earlier.
  RouteCase{"FirstPluginLoadedLastIsAheadOfTheOthers", {{kPluginA, true, {kAll}}, {kPluginB, true, {0}},
            {PLUGIN_ID_FIRST, true, {0x1}}}, {MakeEvent(kPluginC, EVENT_CLASS1, 0x1)}, {}, {PLUGIN_ID_FIRST, kPluginA}}),
  [](const ::testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.name); });

TEST_F(MainLoop, CoreLogEventMatchesOnlyTheQueuedKey) {
  Add(kPluginA, true, false, {0, 0, 0, 0, 0, 0, 0x02000002});
  Add(kPluginB, true, false, {0, 0, 0, 0, 0, 0, 0x00800002});
  Add(kPluginC, true, false, {0, 0, 0, 0, 0, 0, 0x01000002});
  RaiseLogMessage(kCoreSourceId, FlatPluginEvent, 25, "progress %d", 1);
  Drain(MakeEvent(kCoreSourceId, EVENT_LOG, EVENT_FLAGS_CORE_LOG, "late", 5, 0, 25));
  ASSERT_EQ(Receivers("Write"), (Ids{kPluginA}));
  FakeCall call = Calls()[0];
  EXPECT_EQ(call.data, std::string("progress 1", 11));  // the zero is counted
  EXPECT_EQ(call.write.level, 25u);
  EXPECT_EQ(call.write.eventFlags, EVENT_FLAGS_CORE_LOG);  // the flags, not the key
}

// Closing reorders the table (mask 6, largest first); what is delivered
// afterwards goes by the new order.
TEST_F(MainLoop, WritesFollowTheTableWhenClosingReordersIt) {
  Add(kPluginA, true, false, {0, kAll});
  Add(kPluginB, true, false, {0, kAll, 0, 0, 0, 1});
  Add(kPluginC, true, false, {0, 0, 0, 0, 0, 2});
  parts.plugins.CloseAll();
  Raise(MakeEvent(kPluginB, EVENT_CLASS2, 0x1, "x", 1));
  Drain(MakeEvent(kPluginB, EVENT_CLASS2, 0x1));
  EXPECT_EQ(Receivers("Write"), (Ids{kPluginB, kPluginA}));
}

TEST_F(MainLoop, RetainedConfigurationIsFreedOnlyByItsRelease) {
  Add(kPluginA, false, false, {});
  Add(kPluginB, false, false, {});
  behaviour[kPluginA].retain = true;
  const _EventParmsIn config = MakeEvent(kCoreSourceId, EVENT_CONFIG, EVENT_FLAGS_CORE_XML, "<x/>", 4);
  Raise(config);
  Drain(config);
  ASSERT_EQ(Calls().size(), 2u);
  void* buffer = Calls()[0].buffer;
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(parts.allocations), 1u);  // A's hold only
  // Only A's release frees it (LeakSanitizer would report it otherwise).
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_RELEASE, 0, buffer, 4)), EVENT_OK);
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(parts.allocations), 1u);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_RELEASE, 0, buffer, 4)), EVENT_OK);
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(parts.allocations), 0u);
}

TEST_F(MainLoop, EventRaisedFromInsideWriteIsDeliveredAfterTheCurrentOne) {
  Add(kPluginA, true, false, {0, kAll, kAll});
  Add(kPluginB, true, false, {0, 0, kAll});
  behaviour[kPluginA].onCall = [](const FakeCall& call) {
    if (call.write.eventType == EVENT_CLASS2) Raise(MakeEvent(kPluginA, EVENT_CLASS3, 0x1, "inner", 5));
  };
  EXPECT_EQ(Raise(MakeEvent(kPluginC, EVENT_CLASS2, 0x1, "outer", 5)), EVENT_OK);
  StartLoop();
  EXPECT_TRUE(WaitForCalls(3));
  Stop();
  loop.join();
  std::vector<FakeCall> calls = Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].data, "outer");
  EXPECT_EQ(calls[1].data, "inner");
  EXPECT_EQ(calls[2].data, "inner");
}

// The dispatch side of the queue's promise: what a raise accepts reaches the
// plugins once, what it refuses is freed, and the loop lets go of every hold.
TEST_F(MainLoop, EveryAcceptedEventIsDeliveredExactlyOnceAcrossAStop) {
  Add(kPluginA, true, false, {0, kAll});
  const size_t accepted = RaceStopAgainstRaisers(
      4, [](uint32_t, uint32_t) { return Raise(MakeEvent(kPluginB, EVENT_CLASS2, 0, "x", 1)) == EVENT_OK; },
      [this] { RunLoop(); }, [this] { Stop(); });
  EXPECT_EQ(Calls().size(), accepted);
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(parts.allocations), 0u);
}

}  // namespace
