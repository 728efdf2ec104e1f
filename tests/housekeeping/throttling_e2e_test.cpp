// Memory throttling with the real executable: a plugin makes the core's
// resident memory cross the limit and frees it again, and the test watches
// the announcements on the console, the memory-state documents a plugin
// receives, and the results of video events raised meanwhile.
//
// The test drives every step through packets on the parent link (each plugin
// acts when it receives one), and waits for what the core reports before the
// next step, so nothing depends on guessed delays. The one wait of a fixed
// length is the core's own: its end of a low-memory period is announced only
// after a minute without a low measurement, which makes this test slow.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
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

constexpr uint32_t kEventClass3 = 0x4;
constexpr int kEventThrottled = 5;


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
  static std::regex MemoryState(int throttling) {
    // Compact: no line breaks; the root has no attributes.
    return std::regex("<\\?xml \\?><Nvrx><Memory ID=\"-2147483648\" Throttling=\"" +
                      std::to_string(throttling) + "\" Time=\"[1-9][0-9]*\" /></Nvrx>");
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
  core = std::make_unique<CoreProcess>(install, options);
  ASSERT_TRUE(core->Started());
  ASSERT_TRUE(core->SendIdentification("libbrevad.so", "1.0"));
  ASSERT_TRUE(core->WaitUntilStarted());
  const uint64_t baseline = ResidentBytes(core->Pid());
  if (baseline > kMemoryLimit / 2) {
    GTEST_SKIP() << "the core already has " << baseline << " bytes resident; too close to the limit";
  }

  // The first tick tells the plugins the initial state.
  ASSERT_TRUE(WaitForDocuments(1));
  EXPECT_TRUE(std::regex_match(MemoryDocuments()[0], MemoryState(0))) << MemoryDocuments()[0];
  EXPECT_EQ(CameraRound(), (std::vector<int64_t>{0, 0, 0}));

  Poke(kHogId);
  ASSERT_TRUE(hog.WaitFor("allocated"));
  EXPECT_GT(ResidentBytes(core->Pid()), kMemoryLimit);
  ASSERT_TRUE(core->WaitForStdoutLine(
      ConsoleLine(3, "core  ", "available system memory is low, throttling video")));
  ASSERT_TRUE(WaitForDocuments(2));
  EXPECT_TRUE(std::regex_match(MemoryDocuments()[1], MemoryState(1))) << MemoryDocuments()[1];
  // Only queued class-1 events with bit 24 are video events.
  EXPECT_EQ(CameraRound(), (std::vector<int64_t>{kEventThrottled, 0, 0}));

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

  ASSERT_TRUE(core->WaitForStdoutLine(
      ConsoleLine(3, "core  ", "available system memory ok, not throttling video"),
      kRecoveryTimeout));
  ASSERT_TRUE(WaitForDocuments(3));
  EXPECT_TRUE(std::regex_match(MemoryDocuments()[2], MemoryState(0))) << MemoryDocuments()[2];

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
}

}  // namespace
}  // namespace dvrtest
