// The scheduler with the real executable. Memory throttling: a plugin makes
// the core's resident memory cross the limit and frees it again, and the test
// watches the announcements on the console, the memory-state documents a
// plugin receives, and the results of video events raised meanwhile. Clock
// jumps: the test steps the core's clock and holds up its I/O thread. The
// core's wall clock runs past 2038 throughout (a preloaded clock shim), where
// a 32-bit time_t no longer holds it.
//
// The test drives every step through packets on the parent link (each plugin
// acts when it receives one), and waits for what the core reports before the
// next step, so nothing depends on guessed delays. The one wait of a fixed
// length is the core's own: its end of a low-memory period is announced only
// after a minute without a low measurement, which makes this test slow.
#include <sys/types.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/packets.h"
#include "tests/support/core_process.h"
#include "tests/support/sanitizers.h"
#include "tests/support/test_dir.h"

namespace dvrtest {
namespace {

constexpr int kLinkFd = 3;
// Resident memory above which the core counts memory as low, in bytes.
constexpr uint64_t kMemoryLimit = 199229440;
// Memory the hog plugin allocates and touches, in MiB: more than the limit on
// its own, so the crossing does not depend on the core's other memory (which
// differs between builds and sanitizers).
constexpr unsigned kHogMiB = 200;
// The end of a low-memory period is announced a minute after the last low
// measurement; this bounds the wait for it.
constexpr Duration kRecoveryTimeout = std::chrono::seconds(100);

constexpr uint32_t kHogId = 0x00100000;      // allocates; frees on a class-2 write
constexpr uint32_t kCameraId = 0x00200000;   // raises a video event and two others
constexpr uint32_t kJanitorId = 0x00300000;  // raises the class-2 event that frees
constexpr uint32_t kWatcherId = 0x00400000;  // receives the memory-state documents
constexpr uint32_t kStallerId = 0x00500000;  // holds the I/O thread in a relayed IOCTL

constexpr uint32_t kEventClass3 = 0x4;
constexpr int kEventThrottled = 5;

// The core's wall clock starts at 2040-01-01 00:00:00 UTC.
constexpr int64_t kCoreClockStart = 2208988800;
// 2038-01-19 03:14:08 UTC, the first second a 32-bit time_t cannot hold.
constexpr int64_t kEndOf32BitTime = int64_t{1} << 31;


std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string Config(uint32_t id, const std::string& rest) { return "id " + Hex(id) + "\n" + rest; }

// The parent-link target that selects the plugin with `id`.
uint32_t TargetOf(uint32_t id) { return ((id >> 16) & 0xFFFu) << 20; }

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) count++;
  return count;
}

uint64_t ResidentBytes(pid_t pid) {
  std::string status = ReadTextFile("/proc/" + std::to_string(pid) + "/status");
  std::smatch match;
  if (!std::regex_search(status, match, std::regex("VmRSS:\\s*([0-9]+) kB"))) return 0;
  return std::stoull(match[1]) * 1024;
}

class MemoryThrottling : public ::testing::Test {
 protected:
  void Poke(uint32_t pluginId) {
    ASSERT_TRUE(core->Send(MakeIpcPacket(TargetOf(pluginId), 1, "go", 2)));
  }

  // The memory-state documents the watcher has received, in order.
  std::vector<std::string> MemoryDocuments() const {
    std::vector<std::string> documents;
    for (const PluginCall& call : watcher.Calls("write")) {
      if (call.Number("type") == kEventClass3) documents.push_back(call.Data().value_or("<null>"));
    }
    return documents;
  }
  bool WaitForDocuments(size_t count, Duration timeout = kWaitTimeout) const {
    return watcher.WaitUntil(
        [&](const std::vector<PluginCall>&) { return MemoryDocuments().size() >= count; }, timeout);
  }
  // Memory-state document `index` carries `throttling` and a time of the
  // core's clock since the core started.
  void ExpectMemoryState(size_t index, int throttling) const {
    // Compact: no line breaks; the root has no attributes.
    const std::regex state("<\\?xml \\?><Nvrx><Memory ID=\"-2147483648\" Throttling=\"" +
                           std::to_string(throttling) + "\" Time=\"([1-9][0-9]*)\" /></Nvrx>");
    const std::string document = MemoryDocuments().at(index);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(document, match, state)) << document;
    EXPECT_GE(std::stoll(match[1]), startedAt) << document;
    EXPECT_LE(std::stoll(match[1]), clock.Now()) << document;
  }

  // Starts the core on the shifted clock with a parent link, and waits until
  // it has started.
  void StartCore() {
    SpawnOptions options;
    options.args = {std::to_string(kLinkFd)};
    options.linkFd = kLinkFd;
    if (kAddressSanitizer) {
      // Freed blocks would wait in the quarantine, still resident, and the
      // memory would never look ok again.
      const char* asan = std::getenv("ASAN_OPTIONS");
      options.environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                                    ":quarantine_size_mb=0");
    }
    clock.Use(options);
    startedAt = clock.Now();
    machineSkewAtStart = MachineClockSkew();
    core = std::make_unique<CoreProcess>(install, options);
    ASSERT_TRUE(core->Started());
    ASSERT_TRUE(core->SendIdentification("libbrevad.so", "1.0"));
    ASSERT_TRUE(core->WaitUntilStarted());
  }

  // The machine's own wall clock ahead of its steady clock, in seconds.
  static double MachineClockSkew() {
    using Seconds = std::chrono::duration<double>;
    return Seconds(std::chrono::system_clock::now().time_since_epoch()).count() -
           Seconds(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  // Whether the machine's own clock was stepped since the core started (a
  // virtual machine restored from a snapshot, say): a change of the system
  // time that the core reports as rightly as the test's steps.
  bool MachineClockStepped() const {
    return std::abs(MachineClockSkew() - machineSkewAtStart) >= 1.0;
  }

  // The console line of the core with `text`, its time stamp checked against
  // the core's clock from `since` on.
  void ExpectLine(const std::string& text, int64_t since, Duration timeout = kWaitTimeout) {
    std::optional<std::string> line =
        core->WaitForStdoutLine(ConsoleLine(3, "core  ", text), timeout);
    ASSERT_TRUE(line);
    EXPECT_TRUE(StampIsUtcBetween(*line, since, clock.Now())) << *line;
  }

  // Pokes the camera and returns the results of its three raises: the video
  // event (class 1, bit 24), a class-1 event without bit 24, and a class-2
  // event with bit 24.
  std::vector<int64_t> CameraRound() {
    const size_t before = camera.Calls("raised").size();
    Poke(kCameraId);
    std::vector<int64_t> results;
    if (!camera.WaitForCount("raised", before + 3)) return results;
    std::vector<PluginCall> raised = camera.Calls("raised");
    for (size_t i = before; i < before + 3; i++) results.push_back(raised[i].Number("result"));
    return results;
  }

  TestDir dir;
  CoreInstall install{dir.Path()};
  std::chrono::seconds offset{kCoreClockStart - std::time(nullptr)};  // core's clock - real
  ShiftedClock clock{dir.Path(), offset};
  int64_t startedAt = 0;  // the core's clock when it was started
  double machineSkewAtStart = 0;  // MachineClockSkew() then
  TestPlugin watcher;
  TestPlugin camera;
  std::unique_ptr<CoreProcess> core;
};

TEST_F(MemoryThrottling, LowMemoryThrottlesVideoEventsUntilAMinuteAfterItEnds) {
  TestPlugin hog = install.AddTestPlugin(
      "hog.so", Config(kHogId, "writes 1\nmask 2 0x100\non ipc alloc " + std::to_string(kHogMiB) +
                                   "\non write free-memory\n"));
  camera = install.AddTestPlugin("camera.so", Config(kCameraId,
                                                     "on ipc raise type=1 flags=0x01000000\n"
                                                     "on ipc raise type=1 flags=0x20\n"
                                                     "on ipc raise type=2 flags=0x01000000\n"));
  install.AddTestPlugin("janitor.so", Config(kJanitorId, "on ipc raise type=2 flags=0x100\n"));
  watcher = install.AddTestPlugin("watcher.so", Config(kWatcherId, "writes 1\nmask 3 0x02000010\n"));

  StartCore();
  const uint64_t baseline = ResidentBytes(core->Pid());
  if (baseline > kMemoryLimit / 2) {
    GTEST_SKIP() << "the core already has " << baseline << " bytes resident; too close to the limit";
  }

  // The first tick tells the plugins the initial state.
  ASSERT_TRUE(WaitForDocuments(1));
  ExpectMemoryState(0, 0);
  EXPECT_EQ(CameraRound(), (std::vector<int64_t>{0, 0, 0}));

  const int64_t allocatedAt = clock.Now();
  Poke(kHogId);
  ASSERT_TRUE(hog.WaitFor("allocated"));
  EXPECT_GT(ResidentBytes(core->Pid()), kMemoryLimit);
  ExpectLine("available system memory is low, throttling video", allocatedAt);
  ASSERT_TRUE(WaitForDocuments(2));
  ExpectMemoryState(1, 1);
  // Only queued class-1 events with bit 24 are video events.
  EXPECT_EQ(CameraRound(), (std::vector<int64_t>{kEventThrottled, 0, 0}));

  const int64_t freedAt = clock.Now();
  Poke(kJanitorId);
  ASSERT_TRUE(hog.WaitFor("freed-memory"));
  // Video is let through from the first good measurement on, while the end of
  // the period is announced only after the hold-off. Measurements come once a
  // second; the rounds give them about twenty.
  std::vector<int64_t> results;
  for (int round = 0; round < 100; round++) {
    results = CameraRound();
    if (results != std::vector<int64_t>{kEventThrottled, 0, 0}) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(results, (std::vector<int64_t>{0, 0, 0}));
  EXPECT_EQ(core->Stdout().find("available system memory ok"), std::string::npos);
  EXPECT_EQ(MemoryDocuments().size(), 2u);

  ExpectLine("available system memory ok, not throttling video", freedAt, kRecoveryTimeout);
  ASSERT_TRUE(WaitForDocuments(3));
  ExpectMemoryState(2, 0);

  ASSERT_TRUE(core->SendStop());
  EXPECT_EQ(core->WaitExit(), ExitStatus::Code(0));
  // One announcement each way for the whole period, each raised by the core.
  EXPECT_EQ(MemoryDocuments().size(), 3u);
  for (const PluginCall& call : watcher.Calls("write")) {
    EXPECT_EQ(call.Number("type"), kEventClass3) << call.line;
    EXPECT_EQ(call.Number("source"), 0x80000000) << call.line;
    EXPECT_EQ(call.Number("flags"), 0x01000010) << call.line;
  }
  const std::string out = core->Stdout();
  EXPECT_EQ(Count(out, "available system memory is low"), 1u) << out;
  EXPECT_EQ(Count(out, "available system memory ok"), 1u) << out;
  if (!MachineClockStepped()) {
    EXPECT_EQ(Count(out, "system time changed"), 0u) << out;
  }
}

using ClockJumps = MemoryThrottling;

TEST_F(ClockJumps, StepsOfTheClockAreReportedLateTicksAreNot) {
  TestPlugin staller = install.AddTestPlugin(
      "staller.so", Config(kStallerId, "writes 1\nmask 3 0x02000010\non ipc sleep 3000\n"));
  watcher = staller;
  // Half a minute before the end of a 32-bit time_t: the step of a minute
  // forward crosses it, the one back crosses it again.
  offset = std::chrono::seconds(kEndOf32BitTime - 30 - std::time(nullptr));
  clock.Set(offset);
  StartCore();
  ASSERT_TRUE(WaitForDocuments(1));  // from the first tick: the ticks run

  // The tick after the IOCTL comes 3 s late; when the step comes before it,
  // it still reads a minute.
  Poke(kStallerId);
  ASSERT_TRUE(staller.WaitFor("slept"));
  int64_t steppedAt = clock.Now() + 60;
  clock.Set(offset + std::chrono::seconds(60));
  ExpectLine("system time changed by 60 seconds", steppedAt);
  steppedAt = clock.Now() - 60;
  clock.Set(offset);
  ExpectLine("system time changed by -60 seconds", steppedAt);

  ASSERT_TRUE(core->SendStop());
  EXPECT_EQ(core->WaitExit(), ExitStatus::Code(0));
  const std::string out = core->Stdout();
  if (!MachineClockStepped()) {
    EXPECT_EQ(Count(out, "system time changed"), 2u) << out;
  }
  // The IOCTL held the I/O thread, and with it the tick: a watchdog of its
  // own reports it while it runs, and again when it returns.
  const std::string call = "plugin staller.so IOCTL of a packet from brevad ";
  EXPECT_EQ(Count(out, call + "has been running on the I/O thread for "), 1u) << out;
  EXPECT_EQ(Count(out, call + "returned after "), 1u) << out;
}

}  // namespace
}  // namespace dvrtest
