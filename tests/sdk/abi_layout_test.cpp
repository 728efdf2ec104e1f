// The plugin binary interface checked at run time against the layout tables
// plugins are written from: exact offsets on 32-bit builds (the target), the
// same order with natural alignment on 64-bit builds.
#include "events/events.h"

#include <cstddef>
#include <cstdint>

#include <gtest/gtest.h>

#include "pluginhost/plugin.h"

namespace {

constexpr bool k32 = sizeof(void*) == 4;

// Expected value: the table's on 32-bit, the natural one on 64-bit.
constexpr size_t At(size_t on32, size_t on64) { return k32 ? on32 : on64; }

TEST(AbiLayout, EventRecords) {
  EXPECT_EQ(sizeof(_EventParmsIn), At(184, 192));
  EXPECT_EQ(offsetof(_EventParmsIn, dataLength), 8u);
  EXPECT_EQ(offsetof(_EventParmsIn, data), At(12, 16));
  EXPECT_EQ(offsetof(_EventParmsIn, sourceId), At(16, 24));
  EXPECT_EQ(offsetof(_EventParmsIn, correlationId), At(20, 28));
  EXPECT_EQ(offsetof(_EventParmsIn, eventType), At(24, 32));
  EXPECT_EQ(offsetof(_EventParmsIn, eventFlags), At(28, 36));
  EXPECT_EQ(offsetof(_EventParmsIn, specific0), At(32, 40));
  EXPECT_EQ(offsetof(_EventParmsIn, level), At(40, 48));
  EXPECT_EQ(sizeof(_EventParmsOut), 12u);
  EXPECT_EQ(offsetof(_EventParmsOut, result), 8u);
}

TEST(AbiLayout, CallRecords) {
  EXPECT_EQ(sizeof(_ReadParmsIn), At(28, 40));
  EXPECT_EQ(offsetof(_ReadParmsIn, reserved1), 12u);
  EXPECT_EQ(offsetof(_ReadParmsIn, dataLength), 16u);
  EXPECT_EQ(offsetof(_ReadParmsIn, data), At(20, 24));
  EXPECT_EQ(offsetof(_ReadParmsIn, correlationId), At(24, 32));
  EXPECT_EQ(sizeof(_ReadParmsOut), 20u);

  EXPECT_EQ(sizeof(_WriteParmsIn), At(192, 200));
  EXPECT_EQ(offsetof(_WriteParmsIn, reserved1), 12u);
  EXPECT_EQ(offsetof(_WriteParmsIn, dataLength), 16u);
  EXPECT_EQ(offsetof(_WriteParmsIn, data), At(20, 24));
  EXPECT_EQ(offsetof(_WriteParmsIn, sourceId), At(24, 32));
  EXPECT_EQ(offsetof(_WriteParmsIn, correlationId), At(28, 36));
  EXPECT_EQ(offsetof(_WriteParmsIn, eventType), At(32, 40));
  EXPECT_EQ(offsetof(_WriteParmsIn, eventFlags), At(36, 44));
  EXPECT_EQ(offsetof(_WriteParmsIn, specific0), At(40, 48));
  EXPECT_EQ(offsetof(_WriteParmsIn, level), At(48, 56));
  EXPECT_EQ(sizeof(_WriteParmsOut), 24u);
  EXPECT_EQ(offsetof(_WriteParmsOut, error), 16u);
  EXPECT_EQ(offsetof(_WriteParmsOut, retain), 20u);

  EXPECT_EQ(sizeof(_IoctlParmsIn), At(28, 32));
  EXPECT_EQ(offsetof(_IoctlParmsIn, code), 8u);
  EXPECT_EQ(offsetof(_IoctlParmsIn, payloadSize), 12u);
  EXPECT_EQ(offsetof(_IoctlParmsIn, payloadVersion), 16u);
  EXPECT_EQ(offsetof(_IoctlParmsIn, dataLength), 20u);
  EXPECT_EQ(offsetof(_IoctlParmsIn, data), 24u);
  EXPECT_EQ(sizeof(_IoctlParmsOut), 28u);
  EXPECT_EQ(offsetof(_IoctlParmsOut, code), 8u);
  EXPECT_EQ(offsetof(_IoctlParmsOut, error), 12u);
  EXPECT_EQ(offsetof(_IoctlParmsOut, retain), 16u);
  EXPECT_EQ(offsetof(_IoctlParmsOut, payloadSize), 20u);
  EXPECT_EQ(offsetof(_IoctlParmsOut, payloadVersion), 24u);
}

TEST(AbiLayout, PluginRecords) {
  EXPECT_EQ(sizeof(_LoadParmsIn), At(16, 24));
  EXPECT_EQ(offsetof(_LoadParmsIn, core), 8u);
  EXPECT_EQ(offsetof(_LoadParmsIn, raiseEvent), At(12, 16));
  EXPECT_EQ(sizeof(_LoadParmsOut), 64u);
  EXPECT_EQ(offsetof(_LoadParmsOut, id), 8u);
  for (int i = 0; i < 9; i++) {
    EXPECT_EQ(offsetof(_LoadParmsOut, eventMasks) + i * sizeof(uint32_t), 12u + 4u * i);
  }
  EXPECT_EQ(offsetof(_LoadParmsOut, wantsWorker), 52u);
  EXPECT_EQ(offsetof(_LoadParmsOut, wantsReader), 54u);
  EXPECT_EQ(offsetof(_LoadParmsOut, acceptsWrites), 55u);
  EXPECT_EQ(offsetof(_LoadParmsOut, error), 60u);
  EXPECT_EQ(sizeof(_OpenParmsIn), 20u);
  EXPECT_EQ(sizeof(_OpenParmsOut), 16u);
  EXPECT_EQ(sizeof(_CloseParmsIn), 12u);
  EXPECT_EQ(sizeof(_CloseParmsOut), 12u);
  EXPECT_EQ(offsetof(_CloseParmsOut, error), 8u);
  EXPECT_EQ(sizeof(_UnloadParmsIn), 8u);
  EXPECT_EQ(sizeof(_UnloadParmsOut), 12u);
  EXPECT_EQ(offsetof(_UnloadParmsOut, error), 8u);
}

TEST(DeliveryKeys, BothDerivations) {
  EXPECT_EQ(EventImmediateKey(0x01000002u), 0x00800002u);
  EXPECT_EQ(EventQueuedKey(0x01000002u), 0x02000002u);
  EXPECT_EQ(EventImmediateKey(0x01000010u), 0x00800010u);
  EXPECT_EQ(EventQueuedKey(0x01000010u), 0x02000010u);
  // Immediate: bit 23 of the key is flag bit 23 or 24; bit 31 is always 0.
  EXPECT_EQ(EventImmediateKey(0x00800000u), 0x00800000u);
  EXPECT_EQ(EventImmediateKey(0x80000000u), 0x40000000u);
  // Queued: flag bit 31 is dropped, bit 24 of the key is always 0.
  EXPECT_EQ(EventQueuedKey(0x80000000u), 0u);
  EXPECT_EQ(EventQueuedKey(0x40000000u), 0x80000000u);
  EXPECT_EQ(EventQueuedKey(0x00FFFFFFu), 0x00FFFFFFu);
}

TEST(DeliveryKeys, MatchingRule) {
  uint32_t masks[9] = {};
  // Key 0 matches every class bit whatever the mask holds.
  for (uint32_t bit : {0x1u, 0x2u, 0x4u, 0x8u, 0x10u, 0x20u, 0x40u, 0x80u, 0x400u}) {
    EXPECT_TRUE(EventMatchesMasks(bit, 0, masks)) << bit;
  }
  // 0x100 (configuration) and 0x200 select no class.
  EXPECT_FALSE(EventMatchesMasks(0x100, 0, masks));
  EXPECT_FALSE(EventMatchesMasks(0x200, 0, masks));
  // 0x400 is class 9, matched against the ninth mask.
  masks[8] = 0x6;
  EXPECT_TRUE(EventMatchesMasks(0x400, 0x2, masks));
  EXPECT_FALSE(EventMatchesMasks(0x400, 0x9, masks));
  // A core log event against mask 7.
  masks[6] = 0x02000002;
  EXPECT_TRUE(EventMatchesMasks(EVENT_LOG, EventQueuedKey(EVENT_FLAGS_CORE_LOG), masks));
  masks[6] = 0x00800002;
  EXPECT_FALSE(EventMatchesMasks(EVENT_LOG, EventQueuedKey(EVENT_FLAGS_CORE_LOG), masks));
  // One matching class of several is enough.
  masks[0] = 0;
  masks[1] = 0xFFFFFFFF;
  EXPECT_TRUE(EventMatchesMasks(EVENT_CLASS1 | EVENT_CLASS2, 0x10, masks));
}

}  // namespace
