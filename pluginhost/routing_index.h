// Which plugins of the table an event reaches, found without visiting the
// plugins it does not reach.
//
// A plugin takes class i of an event when every bit of the event's key is
// in its mask i. So the plugins that take class i of a key are those in
// every set S(i, b), for each bit b of the key, where S(i, b) holds the
// plugins whose mask i has bit b: an AND of the key's bits' sets, one word
// per 64 plugins, ORed over the event's classes. The index keeps the sets as
// bit sets over table positions, so their set bits come out in table order.
// A device with hundreds of plugins that an event does not reach pays a few
// word operations per 64 of them rather than a mask test each.
//
// Rejected: a list of plugins per class and key, made when the table is
// settled. Keys are whole 32-bit words chosen by the raisers, so such lists
// could only be a cache filled on first use, bounded, and still a full walk
// for every new key.
//
// The masks are the copy of the self-description taken after Load; nothing
// changes them later, so the index changes only with the table's structure
// (PluginTable keeps it beside the records, under the same lock).
#ifndef DVRCORE_PLUGINHOST_ROUTING_INDEX_H
#define DVRCORE_PLUGINHOST_ROUTING_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pluginhost/plugin.h"

class RoutingIndex {
 public:
  // The entry through which an event reaches a plugin: queued writes, or
  // immediate events on event threads.
  enum Route { kWrite, kRead };

  // Forgets every plugin.
  void Clear() {
    count_ = 0;
    words_.clear();
  }
  // Enters the plugin at the next table position, with the routes it takes.
  void Append(const _LoadParmsOut& desc, bool writes, bool reads) {
    const size_t block = count_ / 64;
    const uint64_t bit = uint64_t{1} << (count_ % 64);
    if (block * kBlockWords == words_.size()) words_.resize(words_.size() + kBlockWords);
    uint64_t* sets = &words_[block * kBlockWords];
    for (size_t i = 0; i < EVENT_CLASS_COUNT; i++) {
      for (uint32_t rest = desc.eventMasks[i]; rest != 0; rest &= rest - 1) {
        sets[i * 32 + __builtin_ctz(rest)] |= bit;
      }
    }
    if (writes) sets[kRouteWord + kWrite] |= bit;
    if (reads) sets[kRouteWord + kRead] |= bit;
    count_++;
  }
  size_t size() const { return count_; }

  // Calls visit(position) for each plugin, in table order, that takes
  // `route` and matches the event (a class of `eventType` whose mask holds
  // every bit of `key`).
  template <typename Visit>
  void ForEach(Route route, uint32_t eventType, uint32_t key, Visit&& visit) const {
    // Bit i - 1 for class i: class bits 0x1 to 0x80, and 0x400 for class 9.
    const uint32_t classes = (eventType & 0xFFu) | ((eventType & EVENT_CLASS9) >> 2);
    if (classes == 0) return;
    for (size_t block = 0; block * 64 < count_; block++) {
      const uint64_t* sets = &words_[block * kBlockWords];
      uint64_t taken = 0;
      for (uint32_t c = classes; c != 0; c &= c - 1) {
        const uint64_t* classSets = sets + __builtin_ctz(c) * 32;
        uint64_t all = ~uint64_t{0};
        for (uint32_t rest = key; rest != 0; rest &= rest - 1) all &= classSets[__builtin_ctz(rest)];
        taken |= all;
      }
      taken &= sets[kRouteWord + route];
      for (; taken != 0; taken &= taken - 1) visit(block * 64 + __builtin_ctzll(taken));
    }
  }

 private:
  // Per block of 64 table positions: S(i, b) at word i * 32 + b, then the
  // plugins taking each route (which also marks the positions in use).
  static constexpr size_t kRouteWord = EVENT_CLASS_COUNT * 32;
  static constexpr size_t kBlockWords = kRouteWord + 2;

  size_t count_ = 0;
  std::vector<uint64_t> words_;
};

#endif  // DVRCORE_PLUGINHOST_ROUTING_INDEX_H
