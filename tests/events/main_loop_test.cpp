// Queued delivery by the main loop: configuration updates, writes, holds on
// the shared buffer, and draining on stop.
#include "core/dvrcore.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/events/fake_plugins.h"

namespace {

constexpr uint32_t kPluginA = 0x00010000;
constexpr uint32_t kPluginB = 0x00020000;
constexpr uint32_t kPluginC = 0x00030000;
constexpr uint32_t kAll = 0xFFFFFFFF;

class MainLoop : public ::testing::Test {
 protected:
  // Runs the loop to completion: stop first, so it returns once drained.
  void Drain() {
    core.RequestStop();
    core.RunMainLoop();
  }
  std::vector<uint32_t> Receivers(const std::string& entry) {
    std::vector<uint32_t> ids;
    for (const FakeCall& call : world.Calls()) {
      if (call.entry == entry) ids.push_back(call.plugin);
    }
    return ids;
  }

  dvrcore core{"/nonexistent/bin/dvrcore"};
  FakeWorld world;
};

using Ids = std::vector<uint32_t>;

TEST_F(MainLoop, ConfigurationFromTheCoreReachesEveryPluginThroughIoctl) {
  world.Add(core, kPluginA, false, false, {});
  world.Add(core, kPluginB, true, false, {kAll, kAll, kAll});
  world.Add(core, kPluginC, true, true, {0});
  const char xml[] = "<Nvrx/>";
  Raise(MakeEvent(kCoreSourceId, EVENT_CONFIG, EVENT_FLAGS_CORE_XML, xml, 7));
  Drain();
  EXPECT_EQ(Receivers("IOCTL"), (Ids{kPluginA, kPluginB, kPluginC}));
  EXPECT_TRUE(Receivers("Write").empty());
  for (const FakeCall& call : world.Calls()) {
    EXPECT_EQ(call.code, static_cast<uint32_t>(IOCTL_UPDATE_CONFIG));
    EXPECT_EQ(call.data, "<Nvrx/>");
  }
}

TEST_F(MainLoop, ConfigurationFromAPluginSkipsItsSourceWhichMayGetAWrite) {
  world.Add(core, kPluginA, true, false, {kAll});  // the source, matches class 1
  world.Add(core, kPluginB, true, false, {kAll});
  world.Add(core, kPluginC, false, false, {});
  Raise(MakeEvent(kPluginA, EVENT_CONFIG | EVENT_CLASS1, 0x4, "c", 1));
  Drain();
  EXPECT_EQ(Receivers("IOCTL"), (Ids{kPluginB, kPluginC}));
  EXPECT_EQ(Receivers("Write"), (Ids{kPluginA}));
}

TEST_F(MainLoop, SourceWithoutAMatchingMaskGetsNothing) {
  world.Add(core, kPluginA, true, false, {0});
  world.Add(core, kPluginB, true, false, {});
  Raise(MakeEvent(kPluginA, EVENT_CONFIG | EVENT_CLASS1, 0x4, "c", 1));
  Drain();
  EXPECT_EQ(Receivers("IOCTL"), (Ids{kPluginB}));
  EXPECT_TRUE(Receivers("Write").empty());
}

TEST_F(MainLoop, WritesGoToMatchingPluginsThatAcceptThem) {
  world.Add(core, kPluginA, true, false, {0, 0x0F});
  world.Add(core, kPluginB, false, false, {0, kAll});  // does not accept writes
  world.Add(core, kPluginC, true, false, {0, 0x01});   // key 0x06 not a subset
  Raise(MakeEvent(kPluginB, EVENT_CLASS2, 0x06, "w", 1));
  Drain();
  EXPECT_EQ(Receivers("Write"), (Ids{kPluginA}));
}

TEST_F(MainLoop, KeyZeroMatchesEveryClassMask) {
  world.Add(core, kPluginA, true, false, {0, 0, 0, 0, 0, 0, 0, 0, 0});
  Raise(MakeEvent(kPluginB, EVENT_CLASS9, 0));
  Raise(MakeEvent(kPluginB, 0, 0));  // type 0: no class at all
  Drain();
  EXPECT_EQ(Receivers("Write"), (Ids{kPluginA}));
}

TEST_F(MainLoop, CoreLogEventMatchesOnlyTheQueuedKey) {
  world.Add(core, kPluginA, true, false, {0, 0, 0, 0, 0, 0, 0x02000002});
  world.Add(core, kPluginB, true, false, {0, 0, 0, 0, 0, 0, 0x00800002});
  world.Add(core, kPluginC, true, false, {0, 0, 0, 0, 0, 0, 0x01000002});
  RaiseLogMessage(kCoreSourceId, FlatPluginEvent, 25, "progress %d", 1);
  Drain();
  ASSERT_EQ(Receivers("Write"), (Ids{kPluginA}));
  FakeCall call = world.Calls()[0];
  EXPECT_EQ(call.data, std::string("progress 1", 11));  // the zero is counted
  EXPECT_EQ(call.level, 25u);
  EXPECT_EQ(call.eventFlags, EVENT_FLAGS_CORE_LOG);  // the flags, not the key
}

TEST_F(MainLoop, EventSpecificBytesArriveUnchanged) {
  world.Add(core, kPluginA, true, false, {0, kAll});
  _EventParmsIn event = MakeEvent(kPluginB, EVENT_CLASS2, 0, nullptr, 0, 0, 0);
  uint8_t* specific = reinterpret_cast<uint8_t*>(&event.specific0);
  for (int i = 0; i < EVENT_SPECIFIC_BYTES; i++) specific[i] = static_cast<uint8_t>(i + 1);
  Raise(event);
  Drain();
  ASSERT_EQ(world.Calls().size(), 1u);
  EXPECT_EQ(std::memcmp(world.Calls()[0].specific, specific, EVENT_SPECIFIC_BYTES), 0);
  EXPECT_EQ(world.Calls()[0].level, event.level);
}

TEST_F(MainLoop, FailingWriteIsReportedAndTheNextPluginStillCalled) {
  world.Add(core, kPluginA, true, false, {0, kAll});
  world.Add(core, kPluginB, true, false, {0, kAll});
  world.behaviour[kPluginA].writeReturn = 5;
  Raise(MakeEvent(kPluginC, EVENT_CLASS2, 0, "w", 1));
  Drain();
  EXPECT_EQ(Receivers("Write"), (Ids{kPluginA, kPluginB}));
  EXPECT_EQ(core.allocations.HoldCount(), 0u);
}

TEST_F(MainLoop, EntriesQueuedBeforeTheStopAreAllDelivered) {
  world.Add(core, kPluginA, true, false, {0, kAll});
  for (int i = 0; i < 3; i++) Raise(MakeEvent(kPluginB, EVENT_CLASS2, 0, "e", 1));
  core.RequestStop();
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_CLASS2, 0, "late", 4)), EVENT_REFUSED);
  core.RunMainLoop();
  EXPECT_EQ(Receivers("Write").size(), 3u);
}

TEST_F(MainLoop, RetainedConfigurationIsFreedOnlyByItsRelease) {
  world.Add(core, kPluginA, false, false, {});
  world.Add(core, kPluginB, false, false, {});
  world.behaviour[kPluginA].retain = true;
  Raise(MakeEvent(kCoreSourceId, EVENT_CONFIG, EVENT_FLAGS_CORE_XML, "<x/>", 4));
  Drain();
  ASSERT_EQ(world.Calls().size(), 2u);
  void* buffer = world.Calls()[0].buffer;
  EXPECT_EQ(core.allocations.HoldCount(), 1u);  // A's hold only
  // Only A's release frees it (LeakSanitizer would report it otherwise).
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_RELEASE, 0, buffer, 4)), EVENT_OK);
  EXPECT_EQ(core.allocations.HoldCount(), 1u);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_RELEASE, 0, buffer, 4)), EVENT_OK);
  EXPECT_EQ(core.allocations.HoldCount(), 0u);
}

TEST_F(MainLoop, EventRaisedFromInsideWriteIsDeliveredAfterTheCurrentOne) {
  world.Add(core, kPluginA, true, false, {0, kAll, kAll});
  world.Add(core, kPluginB, true, false, {0, 0, kAll});
  world.behaviour[kPluginA].onCall = [](const FakeCall& call) {
    if (call.eventType == EVENT_CLASS2) Raise(MakeEvent(kPluginA, EVENT_CLASS3, 0x1, "inner", 5));
  };
  Raise(MakeEvent(kPluginC, EVENT_CLASS2, 0x1, "outer", 5));
  std::thread stopper([&] {
    world.WaitForCalls(3);
    core.RequestStop();
  });
  core.RunMainLoop();
  stopper.join();
  std::vector<FakeCall> calls = world.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].data, "outer");
  EXPECT_EQ(calls[1].data, "inner");
  EXPECT_EQ(calls[2].data, "inner");
}

}  // namespace
