// The dispatch rules, driven in-process through FlatPluginEvent with fake
// plugins whose entries are functions of this binary.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pluginhost/testing.h"
#include "tests/core/fake_plugins.h"
#include "tests/support/sanitizers.h"

namespace {

constexpr uint32_t kPluginA = 0x00010000;
constexpr uint32_t kPluginB = 0x00020000;
constexpr uint32_t kAll = 0xFFFFFFFF;
constexpr int32_t kPreset = 42;  // what raisers put in the result word

class Dispatch : public FakeCoreTest {
 protected:
  void TearDown() override {
    for (const _EventParmsIn& entry : std::exchange(drained, {})) std::free(entry.data);
    FakeCoreTest::TearDown();
  }
  // Stops the core and takes out what its queue holds, in order, as the main
  // loop would; the entries' data is freed with the fixture.
  const std::vector<_EventParmsIn>& Drain() {
    Stop();
    parts.requests.Run([this](const _EventParmsIn& entry) { drained.push_back(entry); });
    return drained;
  }
  std::vector<_EventParmsIn> drained;
  // Shared with the fake plugins' threads: the test's go-ahead, an answer's result.
  std::atomic<bool> released{false};
  std::atomic<int32_t> answer{kPreset};
};

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

struct QueueCase {
  const char* name;
  _EventParmsIn event;
  int32_t result;  // kPreset: left alone
  bool queued;  // then the queue holds it, with a copy of the raised data
  bool stopFirst = false, throttling = false;
};

class Queueing : public Dispatch, public ::testing::WithParamInterface<QueueCase> {};

TEST_P(Queueing, ResultAndQueuedCopy) {
  const QueueCase& c = GetParam();
  parts.throttling = c.throttling;
  if (c.stopFirst) Stop();
  // The raiser's bytes: on the heap, exactly as long as given (AddressSanitizer
  // catches a read past them), and overwritten once raised (the queue copies).
  _EventParmsIn event = c.event;
  const std::string raised = event.data ? std::string(static_cast<char*>(event.data), event.dataLength) : "";
  if (event.data) event.data = std::memcpy(std::malloc(event.dataLength), c.event.data, event.dataLength);
  EXPECT_EQ(Raise(event, kPreset), c.result);
  if (event.data) std::memset(event.data, 'X', event.dataLength);
  const std::vector<_EventParmsIn>& queued = Drain();
  std::free(event.data);
  ASSERT_EQ(queued.size(), c.queued ? 1u : 0u);
  if (queued.empty()) return;
  EXPECT_EQ(queued[0].sourceId, c.event.sourceId);
  EXPECT_EQ(queued[0].eventType, c.event.eventType);
  EXPECT_EQ(queued[0].data != nullptr, event.data != nullptr);
  EXPECT_EQ(queued[0].dataLength, raised.size());
  EXPECT_EQ(queued[0].data ? std::string(static_cast<char*>(queued[0].data), raised.size()) : "", raised);
}

INSTANTIATE_TEST_SUITE_P(Dispatch, Queueing, ::testing::Values(
  QueueCase{"LevelZeroLogStopsAtTheConsole", MakeEvent(kPluginA, EVENT_LOG, EVENT_FLAG_TEXT, "detail", 7, 0, 0), kPreset, false},
  QueueCase{"LogAfterStop", MakeEvent(kPluginA, EVENT_LOG, EVENT_FLAG_TEXT, "late", 5, 0, 50), EVENT_REFUSED, false, true},
  QueueCase{"UnterminatedLogText", MakeEvent(kPluginA, EVENT_LOG, EVENT_FLAG_TEXT, "abcd", 4, 0, 50), EVENT_OK, true},
  QueueCase{"Data", MakeEvent(kPluginA, EVENT_CLASS2, 0, "payload", 7), EVENT_OK, true},
  QueueCase{"NullDataWithALength", MakeEvent(kPluginA, EVENT_CLASS2, 0, nullptr, 100), EVENT_OK, true},
  QueueCase{"ThrottledVideo", MakeEvent(kPluginA, EVENT_CLASS1, EVENT_FLAG_CORE), EVENT_THROTTLED, false, false, true},
  QueueCase{"ThrottledVideoOfTwoClasses", MakeEvent(kPluginA, EVENT_CLASS1 | EVENT_CLASS2, 0x01000001), EVENT_THROTTLED, false, false, true},
  QueueCase{"ThrottlingSparesClassTwo", MakeEvent(kPluginA, EVENT_CLASS2, EVENT_FLAG_CORE), EVENT_OK, true, false, true},
  QueueCase{"ThrottlingSparesClassOneWithoutTheFlag", MakeEvent(kPluginA, EVENT_CLASS1, 0x1), EVENT_OK, true, false, true},
  QueueCase{"ThrottlingSparesImmediateEvents", MakeEvent(0, EVENT_CLASS1, EVENT_FLAG_CORE), EVENT_OK, false, false, true},
  QueueCase{"StopBeforeThrottling", MakeEvent(kPluginA, EVENT_CLASS1, EVENT_FLAG_CORE), EVENT_REFUSED, false, true, true},
  QueueCase{"AnswerFromAThreadThatIsNoEventThread", MakeEvent(kPluginA, EVENT_CLASS2, 0, nullptr, 0, 7), EVENT_REFUSED, false},
  QueueCase{"AnswerWithDataFromAThreadThatIsNoEventThread", MakeEvent(kPluginA, EVENT_CLASS2, 0, "x", 1, 7), EVENT_REFUSED, false},
  // Special types are whole words: 0x2001 is no packet for the parent, and a
  // cancel with a source is just a queued event.
  QueueCase{"TypeWithTheParentBitIsQueued", MakeEvent(kPluginB, 0x2001, 0), EVENT_OK, true},
  QueueCase{"CancelWithASourceIsQueued", MakeEvent(kPluginB, EVENT_CANCEL, 0), EVENT_OK, true}),
  CaseName<QueueCase>);

struct ImmediateCase { const char* name; uint32_t eventType, eventFlags; std::vector<uint32_t> readers; };

class Immediate : public Dispatch, public ::testing::WithParamInterface<ImmediateCase> {};

TEST_P(Immediate, ReachesMatchingReadersEachWithItsOwnCopy) {
  Add(kPluginA, false, true, {0x10});
  Add(kPluginB, false, false, {kAll});  // no reader
  Add(0x00030000, false, true, {0});
  Add(0x00040000, false, true, {0, 0, 0, 0, 0, 0, 0, 0, kAll});  // class 9 only
  Add(0x00050000, false, true, {0x00800002});
  Add(0x00060000, false, true, {0x01000002});
  char data[] = "now";
  EXPECT_EQ(Raise(MakeEvent(0, GetParam().eventType, GetParam().eventFlags, data, 3, 77)), EVENT_OK);
  SealPlugins();  // every event thread the raise started has ended
  std::vector<uint32_t> readers;
  for (const FakeCall& call : Calls()) {
    readers.push_back(call.plugin);
    EXPECT_EQ(call.entry, "Read");
    EXPECT_EQ(call.data, "now");
    EXPECT_NE(call.buffer, static_cast<void*>(data));
    EXPECT_EQ(call.correlationId, 77u);
  }
  std::sort(readers.begin(), readers.end());
  EXPECT_EQ(readers, GetParam().readers);
  EXPECT_TRUE(Drain().empty());
}

INSTANTIATE_TEST_SUITE_P(Dispatch, Immediate, ::testing::Values(
  ImmediateCase{"KeyWithinTheMask", EVENT_CLASS1, 0x10, {kPluginA}},
  ImmediateCase{"ClassNine", EVENT_CLASS9, 0x10, {0x00040000}},
  ImmediateCase{"TopFlagByteShiftsDown", EVENT_CLASS1, 0x01000002, {0x00050000}},
  ImmediateCase{"KeyPartlyInTheMask", EVENT_CLASS1, 0x12, {}},
  ImmediateCase{"OneClassOfTwoSuffices", EVENT_CLASS1 | EVENT_CLASS9, 0x10, {kPluginA, 0x00040000}},
  // 0x201 is no release: class 1, key 0, which every class-1 mask holds.
  ImmediateCase{"TypeWithTheReleaseBit", 0x201, 0, {kPluginA, 0x00030000, 0x00040000, 0x00050000, 0x00060000}}),
  CaseName<ImmediateCase>);

// More readers than the dispatch lists without an allocation (16).
TEST_F(Dispatch, ImmediateEventReachesEveryOneOfManyReaders) {
  std::vector<uint32_t> expected;
  for (uint32_t id = 0x00100000; expected.size() < 20; id += 0x00010000) {
    Add(id, false, true, {kAll});
    expected.push_back(id);
  }
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS1, 0, "x", 1)), EVENT_OK);
  SealPlugins();
  std::vector<uint32_t> readers;
  for (const FakeCall& call : Calls()) readers.push_back(call.plugin);
  std::sort(readers.begin(), readers.end());
  EXPECT_EQ(readers, expected);
}

// The unloaded reader's place goes to one the event does not reach. (The ID
// of a file that stays mapped lets this fake plugin be unloaded.)
TEST_F(Dispatch, ImmediateEventAfterAnUnloadReachesOnlyWhoTakesItNow) {
  Add(PLUGIN_ID_NEVER_UNMAP, false, true, {kAll});
  parts.plugins.UnloadAll();
  Add(kPluginB, false, true, {0x2});
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS1, 0x1, "x", 1)), EVENT_OK);
  SealPlugins();
  EXPECT_TRUE(Calls().empty());
}

TEST_F(Dispatch, ImmediateEventWithALengthButNoDataReachesReadersWithNeither) {
  Add(kPluginA, false, true, {kAll});
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS1, 0, nullptr, 100)), EVENT_OK);
  SealPlugins();
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0].dataLength, 0u);
}

// 64 MiB of text without a zero, raised (as from C, which no exception can
// pass) in a child process short of address space or, not root, of threads.
// A reader that misses the event is logged as a failure.
struct NoResourceCase { const char* name; int resource; uint32_t sourceId, eventType, level; int32_t result; bool logged; };

class NoResource : public Dispatch, public ::testing::WithParamInterface<NoResourceCase> {};

TEST_P(NoResource, RaiserIsAnsweredAndNoReaderGetsTheEventWithoutItsData) {
  const NoResourceCase& c = GetParam();
  if (c.resource == RLIMIT_AS && (dvrtest::kAddressSanitizer || dvrtest::kThreadSanitizer)) {
    GTEST_SKIP() << "sanitizers do not run under an address-space limit";
  }
  constexpr size_t kTextBytes = size_t{64} << 20;
  constexpr int kLimitIgnored = 4;
  Add(kPluginA, false, true, {kAll});
  const std::vector<char> text(kTextBytes, 'x');
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::freopen("/dev/null", "w", stdout);  // no 64 MiB line on a terminal
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const struct rlimit left = {pages * sysconf(_SC_PAGESIZE) + kTextBytes / 4, RLIM_INFINITY}, none = {0, 0};
    // An emulator may ignore the address-space limit; root has no limit of threads.
    const bool limited = c.resource == RLIMIT_AS
        ? setrlimit(RLIMIT_AS, &left) == 0 && std::malloc(kTextBytes) == nullptr
        : setresuid(65534, 65534, 65534) == 0 && setrlimit(RLIMIT_NPROC, &none) == 0;
    if (!limited) _exit(kLimitIgnored);
    const int32_t result = [&]() noexcept {
      return Raise(MakeEvent(c.sourceId, c.eventType, EVENT_FLAG_TEXT, text.data(), kTextBytes, 0, c.level), kPreset);
    }();
    SealPlugins();
    const std::vector<_EventParmsIn>& queued = Drain();
    const bool logged = std::any_of(queued.begin(), queued.end(), [](const _EventParmsIn& e) { return e.level == kLogFailure; });
    _exit(result != c.result ? 1 : !Calls().empty() ? 2 : logged != c.logged ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (status == W_EXITCODE(kLimitIgnored, 0)) GTEST_SKIP() << "the limit does not hold here";
  EXPECT_EQ(status, 0) << "exit 1: result, 2: a reader was called, 3: log line; else a signal";
}

INSTANTIATE_TEST_SUITE_P(Dispatch, NoResource, ::testing::Values(
  NoResourceCase{"UnterminatedLogText", RLIMIT_AS, kPluginA, EVENT_LOG, 50, EVENT_NO_MEMORY, false},
  NoResourceCase{"UnterminatedLogTextOfLevelZero", RLIMIT_AS, kPluginA, EVENT_LOG, 0, kPreset, false},
  NoResourceCase{"ImmediateEventWithoutMemoryForTheCopy", RLIMIT_AS, 0, EVENT_CLASS1, 0, EVENT_NO_MEMORY, true},
  NoResourceCase{"ImmediateEventWithoutAThread", RLIMIT_NPROC, 0, EVENT_CLASS1, 0, EVENT_NO_MEMORY, true}),
  CaseName<NoResourceCase>);

// A reader answers an immediate event with ID 7 from inside its Read, once
// the test has raised the cancels of the case.
struct AnswerCase { const char* name; std::vector<uint32_t> cancelBefore, cancelDuringRead; int32_t answer; };

class Answers : public Dispatch, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(Answers, CancelRefusesAnswersWithItsIdUntilTheNextImmediateEvent) {
  Add(kPluginA, false, true, {kAll});
  behaviour[kPluginA].onCall = [this](const FakeCall& call) {
    EXPECT_TRUE(Eventually([this] { return released.load(); }));
    answer = Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, "answer", 6, call.correlationId));
  };
  auto cancel = [](uint32_t id) { EXPECT_EQ(Raise(MakeEvent(0, EVENT_CANCEL, 0, nullptr, 0, id)), EVENT_OK); };
  for (uint32_t id : GetParam().cancelBefore) cancel(id);
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS1, 0, nullptr, 0, 7)), EVENT_OK);
  EXPECT_TRUE(WaitForCalls(1));  // inside Read
  for (uint32_t id : GetParam().cancelDuringRead) cancel(id);
  released = true;
  SealPlugins();
  EXPECT_EQ(answer.load(), GetParam().answer);
  const std::vector<_EventParmsIn>& queued = Drain();
  ASSERT_EQ(queued.size(), GetParam().answer == EVENT_OK ? 1u : 0u);
  if (queued.empty()) return;
  EXPECT_EQ(queued[0].correlationId, 7u);
  EXPECT_EQ(std::string(static_cast<char*>(queued[0].data), queued[0].dataLength), "answer");
}

INSTANTIATE_TEST_SUITE_P(Dispatch, Answers, ::testing::Values(
  AnswerCase{"NothingCancelled", {}, {}, EVENT_OK},
  AnswerCase{"CancelledBeforeTheEvent", {7}, {}, EVENT_OK},
  AnswerCase{"CancelledDuringRead", {}, {7}, EVENT_REFUSED},
  AnswerCase{"OtherIdsCancelledDuringRead", {}, {8, 0}, EVENT_OK}),
  CaseName<AnswerCase>);

TEST_F(Dispatch, SecondAnswerWaitsUntilTheHolderReleasesTheFirst) {
  Add(kPluginA, false, true, {kAll});
  Add(kPluginB, true, false, {0, kAll});  // takes the answers and keeps them
  behaviour[kPluginB].retain = true;
  behaviour[kPluginA].onCall = [this](const FakeCall&) {
    EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, "first", 5, 3)), EVENT_OK);
    answer = Raise(MakeEvent(kPluginA, EVENT_CLASS2, 0, "second", 6, 3));
    EXPECT_TRUE(released.load()) << "the second answer went out while the first was held";
  };
  StartLoop();
  EXPECT_EQ(Raise(MakeEvent(0, EVENT_CLASS1, 0, nullptr, 0, 3)), EVENT_OK);
  ASSERT_TRUE(WaitForCalls(2));  // A's Read, B's Write of the first answer
  const FakeCall first = Calls()[1];
  EXPECT_EQ(first.data, "first");
  released = true;
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_RELEASE, 0, first.buffer, 0)), EVENT_OK);
  ASSERT_TRUE(WaitForCalls(3));
  const FakeCall second = Calls()[2];
  EXPECT_EQ(second.data, "second");
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_RELEASE, 0, second.buffer, 0)), EVENT_OK);
  TearDown();  // the loop has let go of its holds, the event thread has ended
  EXPECT_EQ(answer.load(), EVENT_OK);
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(parts.allocations), 0u);
}

TEST_F(Dispatch, ReleaseOfAnAddressNobodyHoldsFreesNothing) {
  char onStack[16] = {};
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_RELEASE, 0, onStack, 16)), EVENT_OK);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_RELEASE, 0, nullptr, 0)), EVENT_OK);
  // A holder that holds nothing on a block the core still holds.
  void* block = std::malloc(8);
  parts.allocations.Track(block, kCoreSourceId);
  EXPECT_EQ(Raise(MakeEvent(kPluginB, EVENT_RELEASE, 0, block, 8)), EVENT_OK);
  EXPECT_TRUE(parts.allocations.Release(block, kCoreSourceId));
  std::free(block);
}

TEST_F(Dispatch, PacketForTheParentIsRefusedAndFreedWithoutALink) {
  // The buffer passes to the core in every case; LeakSanitizer checks it is freed.
  void* packet = std::calloc(32, 1);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_TO_PARENT, 0, packet, 32)), EVENT_REFUSED);
  EXPECT_EQ(Raise(MakeEvent(kPluginA, EVENT_TO_PARENT, 0, nullptr, 32)), EVENT_REFUSED);
}

// The parent link routes by its copy of the table's IOCTL entries: a change
// of the table (here the closing order, mask 6 largest first) must reach it
// before the next packet.
TEST_F(Dispatch, PacketsFromTheParentFollowTheTableAsItChanges) {
  constexpr uint32_t kFirstLoaded = 0x00060000, kFirstToClose = 0x00060001;
  Add(kFirstLoaded, false, false, {});
  Add(kFirstToClose, false, false, {0, 0, 0, 0, 0, 1});
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
  AssertOnThread(g_mainThread);
  ASSERT_TRUE(parts.parentLink.Adopt(ends[1]));
  RunsOn io(g_ioThread);  // this thread runs the I/O service below
  parts.parentLink.StartReceive();
  auto relay = [&] {
    // Target 0x006...: both plugins' IDs are 0x0006....; the first in the table takes it.
    const std::vector<uint8_t> packet = MakeIpcPacket(0x00600000, 1, "x", 1);
    ASSERT_EQ(send(ends[0], packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
    parts.ioService.run_one();  // this receive, relayed
  };
  relay();
  parts.plugins.CloseAll();
  relay();
  const std::vector<FakeCall> calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].plugin, kFirstLoaded);
  EXPECT_EQ(calls[1].plugin, kFirstToClose);
  EXPECT_EQ(calls[1].code, static_cast<uint32_t>(IOCTL_IPC_PACKET));
  close(ends[0]);
}

}  // namespace
