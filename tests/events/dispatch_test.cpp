// The dispatch rules, driven in-process through FlatPluginEvent with fake
// plugins whose entries are functions of this binary.
#include "core/dvrcore.h"

#include <atomic>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "tests/events/fake_plugins.h"

namespace {

constexpr uint32_t kPluginA = 0x00010000;
constexpr uint32_t kPluginB = 0x00020000;
constexpr uint32_t kAll = 0xFFFFFFFF;

class Dispatch : public ::testing::Test {
 protected:
  void TearDown() override {
    // Event threads end before the fakes they call go away.
    for (PLUGININFO& plugin : core.plugins) plugin.activity->SealAndWait();
    DeliverAll();
  }

  size_t Queued() {
    std::lock_guard<std::mutex> lock(core.coreMutex);
    return core.requestQueue.size();
  }

  // Delivers what is queued, on this thread, as the main loop would.
  void DeliverAll() {
    for (;;) {
      _EventParmsIn entry;
      {
        std::lock_guard<std::mutex> lock(core.coreMutex);
        if (core.requestQueue.empty()) return;
        entry = core.requestQueue.front();
        core.requestQueue.pop_front();
      }
      core.DeliverRequest(entry);
    }
  }

  dvrcore core{"/nonexistent/bin/dvrcore"};
  FakeWorld world;
};

TEST_F(Dispatch, LevelZeroLogStopsAtTheConsoleAndLeavesResultAlone) {
  const char text[] = "detail";
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_LOG, EVENT_FLAG_TEXT, text, sizeof text, 0, 0), 42), 42);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(Dispatch, LogAfterStopIsRefused) {
  core.RequestStop();
  const char text[] = "late";
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_LOG, EVENT_FLAG_TEXT, text, sizeof text, 0, 50), 42),
            EVENT_REFUSED);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(Dispatch, UnterminatedLogTextIsReadOnlyWithinItsLength) {
  // Exactly four bytes on the heap, no terminating zero: AddressSanitizer
  // catches a read past them.
  char* text = static_cast<char*>(std::malloc(4));
  std::memcpy(text, "abcd", 4);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_LOG, EVENT_FLAG_TEXT, text, 4, 0, 50)), EVENT_OK);
  std::free(text);
  ASSERT_EQ(Queued(), 1u);
  std::lock_guard<std::mutex> lock(core.coreMutex);
  EXPECT_EQ(std::string(static_cast<char*>(core.requestQueue.front().data), 4), "abcd");
}

TEST_F(Dispatch, ThrottlingRefusesOnlyQueuedClassOneVideo) {
  core.throttling = true;
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS1, EVENT_FLAG_CORE)), EVENT_THROTTLED);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS1 | EVENT_CLASS2, 0x01000001)), EVENT_THROTTLED);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS2, EVENT_FLAG_CORE)), EVENT_OK);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS1, 0x00000001)), EVENT_OK);
  EXPECT_EQ(Queued(), 2u);
  // Immediate events are never throttled.
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS1, EVENT_FLAG_CORE)), EVENT_OK);
}

TEST_F(Dispatch, StopIsCheckedBeforeThrottling) {
  core.throttling = true;
  core.RequestStop();
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS1, EVENT_FLAG_CORE)), EVENT_REFUSED);
}

TEST_F(Dispatch, QueuedEventGetsItsOwnCopyOfTheData) {
  char data[] = "payload";
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, data, 7, 0, 0)), EVENT_OK);
  data[0] = 'X';  // the raiser may reuse its buffer at once
  std::lock_guard<std::mutex> lock(core.coreMutex);
  ASSERT_EQ(core.requestQueue.size(), 1u);
  const _EventParmsIn& entry = core.requestQueue.front();
  EXPECT_NE(entry.data, static_cast<void*>(data));
  EXPECT_EQ(std::string(static_cast<char*>(entry.data), entry.dataLength), "payload");
}

TEST_F(Dispatch, NullDataWithALengthIsQueuedWithoutData) {
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, nullptr, 100)), EVENT_OK);
  std::lock_guard<std::mutex> lock(core.coreMutex);
  EXPECT_EQ(core.requestQueue.front().data, nullptr);
  EXPECT_EQ(core.requestQueue.front().dataLength, 0u);
}

TEST_F(Dispatch, PacketForTheParentIsRefusedAndFreedWithoutALink) {
  // The buffer passes to the core in every case; LeakSanitizer checks it is freed.
  void* packet = std::malloc(32);
  std::memset(packet, 0, 32);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_TO_PARENT, 0, packet, 32)), EVENT_REFUSED);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_TO_PARENT, 0, nullptr, 32)), EVENT_REFUSED);
}

TEST_F(Dispatch, EmptyPacketForTheParentIsRefusedEvenWithALink) {
  core.ipcOpen = true;
  void* packet = std::malloc(8);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_TO_PARENT, 0, packet, 0)), EVENT_REFUSED);
  core.ipcOpen = false;
}

TEST_F(Dispatch, SpecialValuesAreWholeWords) {
  world.Add(core, kPluginA, true, true, {kAll});
  // 0x2001 is not a packet for the parent: class 1, queued.
  EXPECT_EQ(Raise(MakeEvent(kPluginB, 0x2001, 0)), EVENT_OK);
  // 0x201 is not a release: class 1, delivered at once.
  EXPECT_EQ(Raise(MakeEvent(0, 0x201, 0)), EVENT_OK);
  ASSERT_TRUE(world.WaitForCalls(1));
  EXPECT_EQ(world.Calls()[0].entry, "Read");
  // A cancel with a source is just a queued event.
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_CANCEL, 0)), EVENT_OK);
  EXPECT_EQ(Queued(), 2u);
  std::lock_guard<std::mutex> lock(core.threadMutex);
  EXPECT_TRUE(core.cancelledIds.empty());
}

TEST_F(Dispatch, ImmediateEventReachesMatchingReadersOnlyWithTheirOwnCopy) {
  world.Add(core, kPluginA, false, true, {0x10});
  world.Add(core, kPluginB, false, false, {kAll});            // no reader
  world.Add(core, 0x00030000, false, true, {0x0});           // mask excludes the key
  world.Add(core, 0x00040000, false, true, {0, 0, 0, 0, 0, 0, 0, 0, kAll});  // class 9 only
  char data[] = "now";
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS1, 0x10, data, 3, 77)), EVENT_OK);
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS9, 0x10, data, 3, 78)), EVENT_OK);
  ASSERT_TRUE(world.WaitForCalls(2));
  for (PLUGININFO& plugin : core.plugins) plugin.activity->SealAndWait();
  std::vector<FakeCall> calls = world.Calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const FakeCall& call : calls) {
    EXPECT_EQ(call.data, "now");
    EXPECT_NE(call.buffer, static_cast<void*>(data));
    if (call.plugin == kPluginA) EXPECT_EQ(call.correlationId, 77u);
    else EXPECT_EQ(call.plugin, 0x00040000u);
  }
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(Dispatch, ImmediateKeyShiftsTheTopByteDown) {
  world.Add(core, kPluginA, false, true, {0x00800002});
  world.Add(core, kPluginB, false, true, {0x01000002});
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS1, 0x01000002)), EVENT_OK);
  ASSERT_TRUE(world.WaitForCalls(1));
  for (PLUGININFO& plugin : core.plugins) plugin.activity->SealAndWait();
  ASSERT_EQ(world.Calls().size(), 1u);
  EXPECT_EQ(world.Calls()[0].plugin, kPluginA);
}

TEST_F(Dispatch, CorrelatedEventFromAThreadThatIsNotAnEventThreadIsRefused) {
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, nullptr, 0, 7)), EVENT_REFUSED);
  std::thread other([] { EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, "x", 1, 7)), EVENT_REFUSED); });
  other.join();
  EXPECT_EQ(Queued(), 0u);
}

// A reader that answers every immediate event with one queued answer carrying
// the same correlation ID, and records the result.
class Answering : public Dispatch {
 protected:
  void SetUp() override {
    world.Add(core, kPluginA, false, true, {kAll});
    world.behaviour[kPluginA].onCall = [this](const FakeCall& call) {
      if (call.entry != "Read") return;
      results.push_back(
          Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, "answer", 6, call.correlationId)));
      answered++;
    };
  }
  void ImmediateAndWait(uint32_t correlationId) {
    int before = answered;
    Raise(MakeEvent(0, EVENT_CLASS1, 0, nullptr, 0, correlationId));
    while (answered == before) std::this_thread::yield();
  }
  std::atomic<int> answered{0};
  std::vector<int32_t> results;  // written by one event thread at a time
};

TEST_F(Answering, CancelRefusesAnswersUntilTheNextImmediateEventWithThatId) {
  ImmediateAndWait(7);
  EXPECT_EQ(results.back(), EVENT_OK);
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CANCEL, 0, nullptr, 0, 7)), EVENT_OK);
  {
    std::lock_guard<std::mutex> lock(core.threadMutex);
    EXPECT_EQ(core.cancelledIds.count(7), 1u);
  }
  // The immediate event lifts its own ID's cancellation before delivery.
  ImmediateAndWait(7);
  EXPECT_EQ(results.back(), EVENT_OK);
  // Cancelling another ID does not touch 7; cancelling unknown IDs is harmless.
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CANCEL, 0, nullptr, 0, 8)), EVENT_OK);
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CANCEL, 0, nullptr, 0, 0)), EVENT_OK);
  ImmediateAndWait(7);
  EXPECT_EQ(results.back(), EVENT_OK);
}

TEST_F(Answering, AnswerWithACancelledIdIsRefused) {
  // Cancel 5 while an event thread with ID 5 is inside Read.
  std::atomic<bool> release{false};
  world.behaviour[kPluginA].onCall = [&](const FakeCall&) {
    while (!release) std::this_thread::yield();
    results.push_back(Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, "x", 1, 5)));
    answered++;
  };
  Raise(MakeEvent(0, EVENT_CLASS1, 0, nullptr, 0, 5));
  ASSERT_TRUE(world.WaitForCalls(1));
  Raise(MakeEvent(0, EVENT_CANCEL, 0, nullptr, 0, 5));
  release = true;
  while (answered == 0) std::this_thread::yield();
  EXPECT_EQ(results.back(), EVENT_REFUSED);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(Dispatch, SecondAnswerWaitsUntilEveryHolderReleasedTheFirst) {
  world.Add(core, kPluginA, false, true, {kAll});
  world.Add(core, kPluginB, true, false, {0, kAll});  // takes the answers, retains them
  world.behaviour[kPluginB].retain = true;
  std::atomic<int> answersRaised{0};
  world.behaviour[kPluginA].onCall = [&](const FakeCall& call) {
    if (call.entry != "Read") return;
    EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, "first", 5, 3)), EVENT_OK);
    answersRaised++;
    EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, "second", 6, 3)), EVENT_OK);
    answersRaised++;
  };
  Raise(MakeEvent(0, EVENT_CLASS1, 0, nullptr, 0, 3));
  while (answersRaised < 1) std::this_thread::yield();

  // First answer queued; the second is held back while it is in flight.
  ASSERT_EQ(Queued(), 1u);
  DeliverAll();  // B retains the first answer: still held
  ASSERT_TRUE(world.WaitForCalls(2));
  void* first = world.Calls()[1].buffer;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(answersRaised, 1);
  EXPECT_EQ(Queued(), 0u);

  // B gives it back: the buffer is freed and the waiting thread goes on.
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_RELEASE, 0, first, 0)), EVENT_OK);
  while (answersRaised < 2) std::this_thread::yield();
  EXPECT_EQ(Queued(), 1u);
  world.behaviour[kPluginB].retain = false;
}

TEST_F(Dispatch, ReleaseOfAnAddressNobodyHoldsFreesNothing) {
  char onStack[16] = {};
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_RELEASE, 0, onStack, 16)), EVENT_OK);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_RELEASE, 0, nullptr, 0)), EVENT_OK);
  // A holder that holds nothing on a block the core still holds.
  void* block = std::malloc(8);
  core.allocations.Track(block, kCoreSourceId);
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_RELEASE, 0, block, 8)), EVENT_OK);
  EXPECT_TRUE(core.allocations.Release(block, kCoreSourceId));
  std::free(block);
}

TEST_F(Dispatch, EveryAcceptedEventIsDeliveredExactlyOnceAcrossAStop) {
  std::atomic<int> delivered{0};
  world.Add(core, kPluginA, true, false, {0, kAll});
  world.behaviour[kPluginA].onCall = [&](const FakeCall&) { delivered++; };
  std::atomic<int> accepted{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> raisers;
  for (int t = 0; t < 4; t++) {
    raisers.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 5000; i++) {
        if (Raise(MakeEvent(kPluginB, EVENT_CLASS2, 0, "x", 1)) == EVENT_OK) accepted++;
      }
    });
  }
  std::thread loop([&] { core.RunMainLoop(); });
  go = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  core.RequestStop();
  loop.join();
  for (auto& t : raisers) t.join();
  EXPECT_EQ(delivered.load(), accepted.load());
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(core.allocations.HoldCount(), 0u);
}

}  // namespace
