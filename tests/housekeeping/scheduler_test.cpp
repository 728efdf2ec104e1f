#include "housekeeping/scheduler.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_dir.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using SteadyTime = std::chrono::steady_clock::time_point;

const std::string kLowMessage = "log 50 available system memory is low, throttling video";
const std::string kOkMessage = "log 50 available system memory ok, not throttling video";
const std::string kUnknownMessage =
    "log 50 cannot read resident memory from /proc/self/statm, throttling state unchanged";
constexpr uint64_t kPage = 4096;
constexpr uint64_t kLowMemory = kMemoryLimit + kPage;

// A host with hand-set clocks and memory. Log lines and publications go into
// one list so that their order is checked too; a publication records the
// throttling state it would carry.
class FakeHost : public SchedulerHost {
 public:
  WallTime wall = seconds(1'600'000'000);
  SteadyTime steady = SteadyTime{} + std::chrono::hours(100);
  uint64_t memory = kMemoryLimit / 2;  // 0: the reading failed
  bool enabled = true;
  bool throttling = false;
  int memoryReads = 0;
  std::vector<std::string> events;

  WallTime WallClock() override { return wall; }
  SteadyTime SteadyNow() override { return steady; }
  uint64_t ResidentMemory() override {
    ++memoryReads;
    return memory;
  }
  bool ThrottlingEnabled() override { return enabled; }
  void SetThrottling(bool on) override { throttling = on; }
  void PublishMemoryState() override {
    events.push_back(std::string("publish ") + (throttling ? "1" : "0"));
  }
  void LogMessage(unsigned level, const char* text) override {
    events.push_back("log " + std::to_string(level) + " " + text);
  }

  int Count(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }
};

class SchedulerTest : public ::testing::Test {
 protected:
  // One tick at wall-clock time `wall`, the steady clock where it is.
  void TickAt(std::time_t wall) {
    host.wall = seconds(wall);
    state.Tick(host);
  }
  // One tick at wall-clock time `wall`, `steady` after the last tick on the
  // steady clock.
  void TickAt(std::time_t wall, milliseconds steady) {
    host.steady += steady;
    TickAt(wall);
  }

  // One tick a wall-clock second after the last, `offset` after start on the
  // steady clock, measuring `memory` bytes.
  void MeasureAt(seconds offset, uint64_t memory) {
    host.memory = memory;
    host.steady = start + offset;
    host.wall += seconds(1);
    state.Tick(host);
  }
  void MeasureAt(seconds offset, bool low) { MeasureAt(offset, low ? kLowMemory : kMemoryLimit); }

  FakeHost host;
  SchedulerState state;
  // A second after the first tick's time on the steady clock.
  const SteadyTime start = host.steady + seconds(1);
};

// ---- Clock jumps ----

TEST_F(SchedulerTest, FirstTickAndStepsOfAtMostOneSecondAreSilent) {
  host.enabled = false;
  TickAt(1000);  // 1000 s after the "previous" time 0, but there was none
  TickAt(1000);
  TickAt(1001);
  TickAt(1000);
  // Late ticks (an I/O thread held up, a stopped process): both clocks moved.
  TickAt(1003, seconds(3));
  TickAt(1043, seconds(40));
  EXPECT_TRUE(host.events.empty());
}

TEST_F(SchedulerTest, LargerStepsAreReportedWithTheirSign) {
  host.enabled = false;
  TickAt(1000);
  TickAt(1002);
  TickAt(999);
  TickAt(4600);
  // Steps during late ticks: the wall clock's step beyond the steady clock's.
  TickAt(4663, seconds(3));
  TickAt(4606, seconds(3));
  // Steps of a minute that the clocks' readings put a microsecond short.
  for (int sign : {1, -1}) {
    host.wall += sign * (seconds(60) - std::chrono::microseconds(1));
    state.Tick(host);
  }
  EXPECT_EQ(host.events, (std::vector<std::string>{
                             "log 50 system time changed by 2 seconds",
                             "log 50 system time changed by -3 seconds",
                             "log 50 system time changed by 3601 seconds",
                             "log 50 system time changed by 60 seconds",
                             "log 50 system time changed by -60 seconds",
                             "log 50 system time changed by 60 seconds",
                             "log 50 system time changed by -60 seconds"}));
}

// ---- Memory measurement ----

TEST_F(SchedulerTest, DisabledThrottlingMeasuresAndPublishesNothing) {
  host.enabled = false;
  host.memory = kMemoryLimit * 4;
  TickAt(1000);
  TickAt(1001);
  TickAt(1010);
  EXPECT_EQ(host.memoryReads, 0);
  EXPECT_FALSE(host.throttling);
  EXPECT_EQ(host.events, std::vector<std::string>{"log 50 system time changed by 9 seconds"});
}

TEST_F(SchedulerTest, FirstTickPublishesInitialStateBeforeMeasuring) {
  host.memory = kMemoryLimit + kPage;
  TickAt(1000);
  EXPECT_EQ(host.memoryReads, 1);
  EXPECT_TRUE(host.throttling);
  EXPECT_EQ(host.events, (std::vector<std::string>{"publish 0", kLowMessage, "publish 1"}));
}

TEST_F(SchedulerTest, MemoryIsReadOncePerSecondOfTheSteadyClock) {
  // 100 ms apart, with a wall clock that stands still (time() failing past
  // 2038 with a 32-bit time_t), then one that goes to and fro.
  for (int i = 0; i < 20; ++i) TickAt(-1, milliseconds(i ? 100 : 0));
  EXPECT_EQ(host.memoryReads, 2);
  for (int i = 0; i < 10; ++i) TickAt(-1 - i % 2, milliseconds(100));
  EXPECT_EQ(host.memoryReads, 3);
  EXPECT_EQ(host.events, std::vector<std::string>{"publish 0"});  // only the first tick
}

TEST_F(SchedulerTest, LimitItselfIsNotLowOnePageMoreIs) {
  host.memory = kMemoryLimit;
  TickAt(1000);
  EXPECT_FALSE(host.throttling);
  EXPECT_EQ(host.Count(kLowMessage), 0);

  host.memory = kMemoryLimit + kPage;
  TickAt(1001, seconds(1));
  EXPECT_TRUE(host.throttling);
  EXPECT_EQ(host.Count(kLowMessage), 1);
}

// ---- Throttling and its announcements ----

TEST_F(SchedulerTest, RecoveryIsAnnouncedSixtySecondsAfterTheLastLowReading) {
  TickAt(1000);  // first tick, good memory
  host.events.clear();
  for (int s = 0; s <= 10; ++s) MeasureAt(seconds(s), true);
  EXPECT_EQ(host.events, (std::vector<std::string>{kLowMessage, "publish 1"}));
  host.events.clear();

  MeasureAt(seconds(11), false);
  EXPECT_FALSE(host.throttling);  // the flag follows every reading at once
  for (int s = 12; s < 70; ++s) MeasureAt(seconds(s), false);
  EXPECT_TRUE(host.events.empty());

  MeasureAt(seconds(70), false);
  EXPECT_EQ(host.events, (std::vector<std::string>{kOkMessage, "publish 0"}));
  MeasureAt(seconds(71), false);
  EXPECT_EQ(host.Count(kOkMessage), 1);

  // The period is over: the next low reading starts and announces a new one.
  MeasureAt(seconds(72), true);
  EXPECT_EQ(host.Count(kLowMessage), 1);
  EXPECT_TRUE(host.throttling);
}

TEST_F(SchedulerTest, LowReadingWithinHoldOffExtendsThePeriodWithoutNewAnnouncement) {
  TickAt(1000);
  MeasureAt(seconds(0), true);
  MeasureAt(seconds(5), false);
  EXPECT_FALSE(host.throttling);
  MeasureAt(seconds(30), true);
  EXPECT_TRUE(host.throttling);
  MeasureAt(seconds(89), false);  // 59 s after the last low reading
  EXPECT_EQ(host.Count(kOkMessage), 0);
  MeasureAt(seconds(90), false);
  EXPECT_EQ(host.Count(kLowMessage), 1);
  EXPECT_EQ(host.Count(kOkMessage), 1);
}

TEST_F(SchedulerTest, FailedReadingKeepsTheStateAndIsLoggedOncePerRun) {
  TickAt(1000);
  host.events.clear();
  MeasureAt(seconds(0), true);
  for (int s = 1; s <= 100; ++s) MeasureAt(seconds(s), uint64_t{0});
  EXPECT_TRUE(host.throttling);
  MeasureAt(seconds(101), false);  // the last low reading was 101 s ago
  EXPECT_FALSE(host.throttling);
  MeasureAt(seconds(102), uint64_t{0});
  MeasureAt(seconds(103), uint64_t{0});
  EXPECT_EQ(host.events, (std::vector<std::string>{kLowMessage, "publish 1", kUnknownMessage,
                                                   kOkMessage, "publish 0", kUnknownMessage}));
  EXPECT_FALSE(host.throttling);
}

TEST_F(SchedulerTest, GoodReadingWithoutAPeriodAnnouncesNothing) {
  state.UpdateThrottling(false, host);
  host.steady = SteadyTime::max();  // no overflow in the hold-off test
  state.UpdateThrottling(false, host);
  EXPECT_TRUE(host.events.empty());
  EXPECT_EQ(state.lowMemorySince, SteadyTime::max());
}

// ---- Resident memory from statm ----

class ResidentMemoryTest : public ::testing::Test {
 protected:
  uint64_t ReadFrom(const std::string& contents) {
    const std::string path = directory / "statm";
    dvrtest::WriteTextFile(path, contents);
    return ReadResidentMemory(path.c_str());
  }

  dvrtest::TestDir directory;
  const uint64_t pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
};

TEST_F(ResidentMemoryTest, OwnProcessIsPlausible) {
  // Memory just written is resident, and the reading counts it in bytes (a
  // test binary alone can hold well under 1 MiB on a board).
  std::vector<char> touched(size_t{8} << 20, 1);
  const uint64_t bytes = ReadResidentMemory();
  EXPECT_GE(bytes, touched.size());
  EXPECT_EQ(touched.back(), 1);
  EXPECT_LT(bytes, uint64_t{1} << 40);
  EXPECT_EQ(bytes % pageSize, 0u);
}

TEST_F(ResidentMemoryTest, ResidentPagesTimesPageSize) {
  EXPECT_EQ(ReadFrom("5000 1234 300 10 0 900 0\n"), 1234 * pageSize);
}

TEST_F(ResidentMemoryTest, LargeResidentSizeDoesNotWrap) {
  EXPECT_EQ(ReadFrom("3000000 2097152 0 0 0 0 0\n"), uint64_t{2097152} * pageSize);
}

TEST_F(ResidentMemoryTest, UnreadableOrMalformedCountsAsZero) {
  EXPECT_EQ(ReadResidentMemory((directory / "missing").c_str()), 0u);
  EXPECT_EQ(ReadFrom(""), 0u);
  EXPECT_EQ(ReadFrom("5000"), 0u);
  EXPECT_EQ(ReadFrom("5000 pages"), 0u);
  EXPECT_EQ(ReadFrom("garbage"), 0u);
}

}  // namespace
