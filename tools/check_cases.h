// The cases dvrcore-plugin-check --fuzz sends to a plugin: events the driver
// plugin raises and packets the parent sends. Shared by the tool (packets,
// and the report), the driver plugin (events) and the tests.
//
// DESIGN: a case is a pure function of the seed, its kind and its number, not
// of the cases before it, so that "--replay SEED:e17" rebuilds case e17 alone
// and a run that was cut short at any point still names cases the same way.
// Header only, no core headers: the driver is built against the SDK alone.
#ifndef DVRCORE_TOOLS_CHECK_CASES_H
#define DVRCORE_TOOLS_CHECK_CASES_H

#include <cstdint>
#include <string>

#include "events/events.h"

namespace dvrcheck {

// One 64-bit draw from (seed, stream, number, draw): splitmix64 of their mix.
inline uint64_t CaseDraw(uint64_t seed, uint64_t stream, uint64_t number, uint64_t draw) {
  uint64_t z = seed ^ (stream * 0xD1B54A32D192ED03ull) ^ (number * 0x9E3779B97F4A7C15ull) ^
               (draw * 0x94D049BB133111EBull);
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

constexpr uint64_t kEventStream = 1;
constexpr uint64_t kPacketStream = 2;

// A length as fuzzing wants them: mostly short, with the edges that catch
// off-by-one reads (page sizes) and now and then a large one.
inline uint32_t CaseLength(uint64_t draw) {
  const uint32_t pick = static_cast<uint32_t>(draw % 8);
  const uint32_t value = static_cast<uint32_t>(draw >> 8);
  switch (pick) {
    case 0: return 0;
    case 1: return 1 + value % 16;
    case 2:
    case 3: return value % 256;
    case 4: return 256 + value % 3841;
    case 5: return 4095 + value % 3;
    case 6: return value % 65537;
    default: return value % 64;
  }
}

enum class EventCaseKind : uint32_t { kQueued, kImmediate, kConfig, kLog, kCancelled, kCount };

inline const char* EventCaseKindName(EventCaseKind kind) {
  static const char* const kNames[] = {"queued", "immediate", "config", "log", "cancelled"};
  return kNames[static_cast<uint32_t>(kind)];
}

struct EventCase {
  EventCaseKind kind = EventCaseKind::kQueued;
  uint32_t type = 0;         // class bits (EVENT_CONFIG for kConfig)
  uint32_t flags = 0;
  uint32_t correlationId = 0;
  uint32_t length = 0;
  bool nullData = false;     // a length without data: malformed
  bool atPageEnd = false;    // the data ends where an unmapped page begins
  uint32_t fill = 0;         // seed of the data bytes
};

// The class bits of events, class 1 to 9 (EVENT_CLASS1 ... EVENT_CLASS9).
constexpr uint32_t kClassBits[9] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x400};

// Queued events most, log lines least: the core prints each of them.
inline EventCaseKind CaseKind(uint64_t draw) {
  static const EventCaseKind kWeighted[16] = {
      EventCaseKind::kQueued,    EventCaseKind::kQueued,    EventCaseKind::kQueued,
      EventCaseKind::kQueued,    EventCaseKind::kQueued,    EventCaseKind::kQueued,
      EventCaseKind::kImmediate, EventCaseKind::kImmediate, EventCaseKind::kImmediate,
      EventCaseKind::kImmediate, EventCaseKind::kConfig,    EventCaseKind::kConfig,
      EventCaseKind::kCancelled, EventCaseKind::kCancelled, EventCaseKind::kCancelled,
      EventCaseKind::kLog};
  return kWeighted[draw % 16];
}

// A class (0 to 8) for a case: mostly one whose mask takes something, so
// that most cases reach the plugin.
inline unsigned CaseClass(uint64_t draw, const uint32_t masks[9]) {
  unsigned taken[9];
  unsigned count = 0;
  for (unsigned i = 0; i < 9; i++) {
    if (masks[i] != 0) taken[count++] = i;
  }
  if (count == 0 || draw % 4 == 0) return static_cast<unsigned>((draw >> 8) % 9);
  return taken[(draw >> 8) % count];
}

// Flags for a case of class `index`: a random word, none, any one bit, or
// (half the time) one bit whose delivery key the class's mask takes.
inline uint32_t CaseFlags(uint64_t draw, uint32_t mask, bool queued) {
  const uint32_t bit = 1u << ((draw >> 8) % 32);
  switch (draw % 8) {
    case 0: return static_cast<uint32_t>(draw >> 32);
    case 1: return 0;
    case 2:
    case 3: return bit;
    default: break;
  }
  for (unsigned step = 0; step < 32; step++) {
    const uint32_t flag = 1u << ((((draw >> 8) % 32) + step) % 32);
    const uint32_t key = queued ? EventQueuedKey(flag) : EventImmediateKey(flag);
    if ((key & ~mask) == 0) return flag;
  }
  return 0;
}

// Case `number` of the events for `seed`, for a plugin with these masks.
inline EventCase MakeEventCase(uint64_t seed, uint64_t number, const uint32_t masks[9]) {
  auto draw = [&](uint64_t which) { return CaseDraw(seed, kEventStream, number, which); };
  EventCase c;
  c.kind = CaseKind(draw(0));
  const unsigned index = CaseClass(draw(1), masks);
  c.type = kClassBits[index];
  if (draw(2) % 4 == 0) c.type |= kClassBits[draw(3) % 9];
  c.flags = CaseFlags(draw(4), masks[index], c.kind != EventCaseKind::kImmediate &&
                                                  c.kind != EventCaseKind::kCancelled);
  c.length = CaseLength(draw(5));
  c.nullData = c.length != 0 && draw(6) % 16 == 0;
  c.atPageEnd = draw(7) % 2 == 0;
  c.fill = static_cast<uint32_t>(draw(8));
  if (c.kind == EventCaseKind::kImmediate || c.kind == EventCaseKind::kCancelled) {
    c.correlationId = static_cast<uint32_t>(draw(9) % 3 == 0 ? 0 : draw(10) | 1);
  }
  if (c.kind == EventCaseKind::kConfig) c.type = 0x100 | (draw(11) % 2 == 0 ? 0 : c.type);
  if (c.kind == EventCaseKind::kLog) {
    c.type = 0x40;
    c.flags = 0x2;  // text: the core prints it, so its length stays printable
    c.length = c.length % 200;
  }
  return c;
}

// The data bytes of a case, `length` of them from its fill seed.
inline void FillCaseData(uint32_t fill, unsigned char* data, uint32_t length) {
  uint64_t state = fill;
  for (uint32_t i = 0; i < length; i++) {
    if (i % 8 == 0) state = CaseDraw(fill, 3, i, 0);
    data[i] = static_cast<unsigned char>(state >> (8 * (i % 8)));
  }
}

struct PacketCase {
  uint32_t low = 0;     // bits 19-0 of the target (the plugin's and the parent's)
  uint32_t type = 0;
  uint32_t length = 0;  // of the payload
  uint32_t fill = 0;
};

// Case `number` of the packets for `seed`. Types 7 and 8 are the parent's
// identification and stop, which the core reads itself: never sent.
inline PacketCase MakePacketCase(uint64_t seed, uint64_t number) {
  auto draw = [&](uint64_t which) { return CaseDraw(seed, kPacketStream, number, which); };
  PacketCase c;
  c.low = static_cast<uint32_t>(draw(0) % 2 == 0 ? 0 : draw(1) & 0xFFFFF);
  c.type = static_cast<uint32_t>(draw(2) % 2 == 0 ? draw(3) % 16 : draw(3));
  if (c.type == 7 || c.type == 8) c.type = 9;
  // At least one byte: the stand-in sends no empty payload.
  c.length = 1 + CaseLength(draw(4)) % (65536 - 17);
  c.fill = static_cast<uint32_t>(draw(5));
  return c;
}

// "e17", "p3": how the report and --replay name a case.
inline std::string CaseName(char stream, uint64_t number) {
  return std::string(1, stream) + std::to_string(number);
}

}  // namespace dvrcheck

#endif  // DVRCORE_TOOLS_CHECK_CASES_H
