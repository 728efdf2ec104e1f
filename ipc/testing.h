// What tests see of the parent link beyond the interface the core uses.
#ifndef DVRCORE_IPC_TESTING_H
#define DVRCORE_IPC_TESTING_H

#include <cstddef>

#include "ipc/parent_link.h"

struct ParentLinkTesting {
  // Bytes accepted for the parent and not yet written or freed.
  static size_t QueuedBytes(const ParentLink& link) { return link.BytesWaiting(); }
};

#endif  // DVRCORE_IPC_TESTING_H
