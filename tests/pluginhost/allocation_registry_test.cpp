// The registry of holders of shared buffers.
#include "pluginhost/pluginhost.h"
#include "pluginhost/testing.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kCore = 0x80000000u;
constexpr uint32_t kPluginA = 0x00010000u;
constexpr uint32_t kPluginB = 0x00020000u;

void* Addr(uintptr_t value) { return reinterpret_cast<void*>(value); }

// One block's holds, step by step: a Track or a Release by `owner`, or the
// main loop's delivery (begin, a plugin's call, its end with or without
// `retain`, the delivery's end). `last` and `removed` are the answers of a
// Release (no hold left; a hold was removed) and `last` that of the end of a
// delivery.
enum Op { kTrack, kRelease, kBegin, kCall, kReturn, kKeep, kEnd };
struct Step {
  Op op;
  uint32_t owner = 0;
  bool last = false;
  bool removed = false;
};

TEST(AllocationRegistry, TheLastHolderFreesAndOnlyAReleaseThatRemovedMay) {
  const struct { const char* name; std::vector<Step> steps; } cases[] = {
      {"delivered to two plugins: free at the delivery's end",
       {{kBegin}, {kCall, kPluginA}, {kReturn}, {kCall, kPluginB}, {kReturn}, {kEnd, 0, true}}},
      {"kept by a plugin: outlives the delivery",
       {{kBegin}, {kCall, kPluginA}, {kKeep}, {kEnd, 0, false}, {kRelease, kPluginA, true, true}}},
      {"released by the plugin during its call: keeping it then holds nothing",
       {{kBegin}, {kCall, kPluginA}, {kRelease, kPluginA, false, true}, {kKeep}, {kEnd, 0, true}}},
      {"the core's hold released by someone else: the end still frees, once",
       {{kBegin}, {kCall, kPluginA}, {kRelease, kCore, false, true}, {kReturn}, {kEnd, 0, true}}},
      {"a plugin not in its call holds nothing during the delivery",
       {{kBegin}, {kCall, kPluginA}, {kRelease, kPluginB, false, false}, {kReturn}, {kEnd, 0, true}}},
      {"kept by one plugin, then released while delivered again to another",
       {{kTrack, kPluginA}, {kBegin}, {kCall, kPluginB}, {kRelease, kPluginA, false, true},
        {kReturn}, {kEnd, 0, true}}},
      {"one release removes every hold of that owner",
       {{kTrack, kPluginA}, {kTrack, kPluginA}, {kTrack, kCore}, {kRelease, kPluginA, false, true},
        {kRelease, kCore, true, true}}},
      {"a holder that holds nothing removes nothing and says so",
       {{kTrack, kCore}, {kRelease, kPluginA, false, false}, {kRelease, kCore, true, true}}}};
  for (const auto& c : cases) {
    AllocationRegistry registry;
    void* block = Addr(0x1000);
    for (size_t i = 0; i < c.steps.size(); i++) {
      const Step& step = c.steps[i];
      switch (step.op) {
        case kTrack: registry.Track(block, step.owner); break;
        case kBegin: registry.BeginDelivery(block); break;
        case kCall: registry.HoldForCall(block, step.owner); break;
        case kReturn: registry.EndCall(block, false); break;
        case kKeep: registry.EndCall(block, true); break;
        case kEnd: EXPECT_EQ(registry.EndDelivery(block), step.last) << c.name << ", step " << i; break;
        case kRelease: {
          bool removed = !step.removed;
          EXPECT_EQ(registry.Release(block, step.owner, &removed), step.last)
              << c.name << ", step " << i;
          EXPECT_EQ(removed, step.removed) << c.name << ", step " << i;
          break;
        }
      }
    }
    EXPECT_EQ(AllocationRegistryTesting::HoldCount(registry), 0u) << c.name;
  }
}

// A null address, or one nobody holds: "nobody left", but nothing was
// removed, so the caller must not free it; other blocks are untouched.
TEST(AllocationRegistry, AddressesNobodyHoldsAreFreeButNotRemoved) {
  AllocationRegistry registry;
  registry.Track(nullptr, kCore);
  registry.Track(Addr(0x4000), kCore);
  for (void* address : {static_cast<void*>(nullptr), Addr(0x5000)}) {
    bool removed = true;
    EXPECT_TRUE(registry.Release(address, kPluginA, &removed));
    EXPECT_FALSE(removed);
  }
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(registry), 1u);
}

TEST(AllocationRegistry, LeaksAreReportedInAscendingAddressOrder) {
  AllocationRegistry registry;
  registry.Track(Addr(0xB000), kPluginB);
  registry.Track(Addr(0xA000), kPluginA);
  registry.Track(Addr(0xA000), kPluginB);
  std::vector<std::pair<uintptr_t, uint32_t>> reported;
  registry.ReportLeaks([&](void* address, uint32_t owner) {
    reported.emplace_back(reinterpret_cast<uintptr_t>(address), owner);
  });
  std::vector<std::pair<uintptr_t, uint32_t>> expected = {
      {0xA000, kPluginA}, {0xA000, kPluginB}, {0xB000, kPluginB}};
  EXPECT_EQ(reported, expected);
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(registry), 0u);
}

TEST(AllocationRegistry, ConcurrentHoldersFreeEachBlockExactlyOnce) {
  AllocationRegistry registry;
  constexpr int kBlocks = 2000;
  constexpr int kHolders = 4;
  for (int b = 1; b <= kBlocks; b++) {
    for (int h = 0; h < kHolders; h++) registry.Track(Addr(b * 16), h + 1);
  }
  std::vector<int> lastHolderCount(kHolders, 0);
  std::vector<std::thread> threads;
  for (int h = 0; h < kHolders; h++) {
    threads.emplace_back([&, h] {
      for (int b = 1; b <= kBlocks; b++) {
        if (registry.Release(Addr(b * 16), h + 1)) lastHolderCount[h]++;
      }
    });
  }
  for (auto& t : threads) t.join();
  int total = 0;
  for (int c : lastHolderCount) total += c;
  EXPECT_EQ(total, kBlocks);
  EXPECT_EQ(AllocationRegistryTesting::HoldCount(registry), 0u);
}

}  // namespace
