// The registry of holders of shared buffers.
#include "pluginhost/pluginhost.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kCore = 0x80000000u;
constexpr uint32_t kPluginA = 0x00010000u;
constexpr uint32_t kPluginB = 0x00020000u;

void* Addr(uintptr_t value) { return reinterpret_cast<void*>(value); }

TEST(AllocationRegistry, BlockDeliveredToTwoPluginsIsFreeOnlyAfterTheCoresRelease) {
  AllocationRegistry registry;
  void* block = Addr(0x1000);
  registry.Track(block, kCore);
  registry.Track(block, kPluginA);
  EXPECT_FALSE(registry.Release(block, kPluginA));
  registry.Track(block, kPluginB);
  EXPECT_FALSE(registry.Release(block, kPluginB));
  EXPECT_TRUE(registry.Release(block, kCore));
  EXPECT_EQ(registry.HoldCount(), 0u);
}

TEST(AllocationRegistry, KeptBlockOutlivesTheCore) {
  AllocationRegistry registry;
  void* block = Addr(0x2000);
  registry.Track(block, kCore);
  registry.Track(block, kPluginA);  // retained
  EXPECT_FALSE(registry.Release(block, kCore));
  bool removed = false;
  EXPECT_TRUE(registry.Release(block, kPluginA, &removed));
  EXPECT_TRUE(removed);
}

TEST(AllocationRegistry, OneReleaseRemovesEveryHoldOfThatOwner) {
  AllocationRegistry registry;
  void* block = Addr(0x3000);
  registry.Track(block, kPluginA);
  registry.Track(block, kPluginA);
  registry.Track(block, kCore);
  EXPECT_FALSE(registry.Release(block, kPluginA));
  EXPECT_EQ(registry.HoldCount(), 1u);
  EXPECT_TRUE(registry.Release(block, kCore));
}

TEST(AllocationRegistry, NullAddressIsNeverTrackedAndAlwaysFree) {
  AllocationRegistry registry;
  registry.Track(nullptr, kCore);
  EXPECT_EQ(registry.HoldCount(), 0u);
  bool removed = true;
  EXPECT_TRUE(registry.Release(nullptr, kCore, &removed));
  EXPECT_FALSE(removed);
}

TEST(AllocationRegistry, StrayReleaseRemovesNothingAndSaysSo) {
  AllocationRegistry registry;
  void* block = Addr(0x4000);
  registry.Track(block, kCore);
  bool removed = true;
  // A holder that holds nothing: the core's hold remains.
  EXPECT_FALSE(registry.Release(block, kPluginA, &removed));
  EXPECT_FALSE(removed);
  // An address nobody holds: "nobody left", but nothing was removed, so the
  // caller must not free it.
  EXPECT_TRUE(registry.Release(Addr(0x5000), kPluginA, &removed));
  EXPECT_FALSE(removed);
  // Neighbouring addresses are untouched.
  EXPECT_EQ(registry.HoldCount(), 1u);
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
  EXPECT_EQ(registry.HoldCount(), 0u);
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
  EXPECT_EQ(registry.HoldCount(), 0u);
}

}  // namespace
