// RoutingIndex against the plain rule it replaces: a plugin takes an event
// when it takes the route and, for some class of the event, every bit of the
// key is in that class's mask (EventMatchesMasks, the test delivery makes for
// a configuration update's source). The index must name the same plugins, in
// table order, for every event of the table below, over a table of plugins
// that spans several words of the index's bit sets.
#include "pluginhost/routing_index.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "events/events.h"

namespace {

struct Plugin {
  _LoadParmsOut desc{};
  bool writes = false;
  bool reads = false;
};

// Masks from which the plugins past the hand-made ones take theirs: the
// extremes, single low and high bits, the core log's bits and a few
// overlapping runs, so that every event below reaches some of them.
constexpr uint32_t kMaskPatterns[] = {0x0,        0xFFFFFFFF, 0x1,        0x80000000, 0x02000002,
                                      0x00800002, 0x0000FFFF, 0xFFFF0000, 0x00000013, 0x7FFFFFFF,
                                      0x6,        0x10,       0x00FFFFFF};
constexpr size_t kPatternCount = sizeof kMaskPatterns / sizeof kMaskPatterns[0];

Plugin Make(std::vector<uint32_t> masks, bool writes, bool reads) {
  Plugin plugin;
  for (size_t i = 0; i < masks.size() && i < EVENT_CLASS_COUNT; i++) {
    plugin.desc.eventMasks[i] = masks[i];
  }
  plugin.writes = writes;
  plugin.reads = reads;
  return plugin;
}

// The hand-made edge cases first, then enough plugins to fill three words of
// the index and part of a fourth (more than one word is the point), each
// class's mask from the patterns by a different stride, the routes varying.
std::vector<Plugin> Plugins() {
  std::vector<Plugin> plugins = {
      Make({}, true, true),                                             // every mask 0
      Make(std::vector<uint32_t>(EVENT_CLASS_COUNT, 0xFFFFFFFF), true, true),
      Make(std::vector<uint32_t>(EVENT_CLASS_COUNT, 0xFFFFFFFF), false, false),  // no route
      Make({0, 0, 0, 0, 0, 0, 0, 0, 0x1}, true, true),                  // class 9 only
      Make({0, 0, 0, 0, 0, 0, 0, 0, 0x6}, true, false),
      Make({0x1, 0x80000000}, false, true),
      Make({0, 0, 0, 0, 0, 0, 0x02000002}, true, true),                 // core log mask
      Make({0, 0, 0, 0, 0, 0, 0, 0xFFFFFFFF}, true, true),              // class 8 only
  };
  for (uint32_t n = 0; plugins.size() < 3 * 64 + 17; n++) {
    std::vector<uint32_t> masks;
    for (uint32_t c = 0; c < EVENT_CLASS_COUNT; c++) {
      masks.push_back(kMaskPatterns[(n * (c + 1) + c) % kPatternCount]);
    }
    plugins.push_back(Make(masks, n % 3 != 1, n % 4 != 2));
  }
  return plugins;
}

struct EventRow {
  const char* name;
  uint32_t eventType;
  uint32_t key;
};
void PrintTo(const EventRow& row, std::ostream* os) {
  *os << row.name << " (type 0x" << std::hex << row.eventType << ", key 0x" << row.key << ")";
}

class RoutingIndexMatchesThePlainRule : public ::testing::TestWithParam<EventRow> {};

TEST_P(RoutingIndexMatchesThePlainRule, SamePluginsInTableOrderOnBothRoutes) {
  const EventRow& event = GetParam();
  const std::vector<Plugin> plugins = Plugins();
  RoutingIndex index;
  // Built twice: once as loading builds it, once again after Clear, as
  // unloading rebuilds it.
  for (const Plugin& plugin : plugins) index.Append(plugin.desc, !plugin.writes, plugin.reads);
  index.Clear();
  for (const Plugin& plugin : plugins) index.Append(plugin.desc, plugin.writes, plugin.reads);
  ASSERT_EQ(index.size(), plugins.size());

  for (RoutingIndex::Route route : {RoutingIndex::kWrite, RoutingIndex::kRead}) {
    std::vector<size_t> plain;
    for (size_t position = 0; position < plugins.size(); position++) {
      const Plugin& plugin = plugins[position];
      const bool takes = route == RoutingIndex::kWrite ? plugin.writes : plugin.reads;
      if (takes && EventMatchesMasks(event.eventType, event.key, plugin.desc.eventMasks)) {
        plain.push_back(position);
      }
    }
    std::vector<size_t> indexed;
    index.ForEach(route, event.eventType, event.key,
                  [&](size_t position) { indexed.push_back(position); });
    EXPECT_EQ(indexed, plain) << (route == RoutingIndex::kWrite ? "write" : "read") << " route";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Events, RoutingIndexMatchesThePlainRule,
    ::testing::Values(
        EventRow{"NoClass", 0, 0},
        EventRow{"KeyZero", EVENT_CLASS1, 0},
        EventRow{"KeyZeroEveryClass", 0x4FF, 0},
        EventRow{"AllKeyBits", EVENT_CLASS2, 0xFFFFFFFF},
        EventRow{"EveryTypeBitAllKeyBits", 0xFFFFFFFF, 0xFFFFFFFF},
        EventRow{"LowKeyBit", EVENT_CLASS1, 0x1},
        EventRow{"HighKeyBit", EVENT_CLASS2, 0x80000000},
        EventRow{"Class8", EVENT_CLASS8, 0x3},
        EventRow{"Class9", EVENT_CLASS9, 0x2},
        EventRow{"Class9KeyOutsideItsMask", EVENT_CLASS9, 0x9},
        EventRow{"ConfigBitAlone", EVENT_CONFIG, 0},
        EventRow{"Bit0x200Alone", 0x200, 0},
        EventRow{"ConfigWithClass1", EVENT_CONFIG | EVENT_CLASS1, 0x1},
        EventRow{"ConfigWithClass9", EVENT_CONFIG | EVENT_CLASS9, 0x2},
        EventRow{"ConfigWithEveryClass", EVENT_CONFIG | 0x4FF, 0x10},
        EventRow{"CoreLog", EVENT_LOG, EventQueuedKey(EVENT_FLAGS_CORE_LOG)},
        EventRow{"OneOfSeveralClasses", EVENT_CLASS1 | EVENT_CLASS2, 0x10},
        EventRow{"TypeBitsAboveTheClasses", 0xFFFFF800u | EVENT_CLASS3, 0x4},
        EventRow{"ImmediateKeyOfEveryFlag", EVENT_CLASS5, EventImmediateKey(0xFFFFFFFF)},
        EventRow{"KeyOfThreeBits", EVENT_CLASS4 | EVENT_CLASS6, 0x13}),
    [](const ::testing::TestParamInfo<EventRow>& info) { return std::string(info.param.name); });

}  // namespace
