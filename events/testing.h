// What tests see of the events layer beyond the interface the core uses.
#ifndef DVRCORE_EVENTS_TESTING_H
#define DVRCORE_EVENTS_TESTING_H

#include <cstddef>

#include "events/reply_slots.h"

struct ReplySlotsTesting {
  // How many event threads are registered.
  static size_t EventThreadCount(ReplySlots& slots) EXCLUDES(slots.threadMutex) {
    MutexLock lock(slots.threadMutex);
    return slots.eventThreadCount;
  }
};

#endif  // DVRCORE_EVENTS_TESTING_H
