// The registry of data buffers shared with plugins: who holds which buffer.
#ifndef DVRCORE_PLUGINHOST_ALLOCATION_REGISTRY_H
#define DVRCORE_PLUGINHOST_ALLOCATION_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

#include "events/locks.h"

// Holders of data buffers shared with plugins: (address, owner) pairs ordered
// by address. A buffer is freed by whoever releases its last pair. The
// registry never allocates or frees a buffer itself. Any thread; each call
// holds the registry's own mutex for its whole duration and takes no other.
//
// DESIGN: the main loop's delivery of a queued buffer holds it for the core
// throughout and for each plugin during its call, and nearly always every
// one of those holds is gone again when the delivery ends. They are kept in
// fields of their own rather than in the map, so that a delivery costs no
// node allocation; every other call sees them as holds like the rest.
class AllocationRegistry {
 public:
  // Adds one (address, owner) hold; nothing for a null address.
  void Track(void* address, uint32_t owner) EXCLUDES(mutex_);

  // Removes every hold of `owner` on `address`. Returns true when no hold on
  // the address is left (also for a null address). `removedAny`, when given,
  // tells whether a hold was removed: a release that removed nothing must not
  // free the buffer, since the core may never have owned it.
  bool Release(void* address, uint32_t owner, bool* removedAny = nullptr) EXCLUDES(mutex_);

  // ---- The main loop's delivery of one queued buffer (main thread) ----
  // The calls take the delivered address and do nothing when it is null.
  // The core (kCoreSourceId) holds `address` until EndDelivery.
  void BeginDelivery(void* address) EXCLUDES(mutex_);
  // `owner` holds the delivered buffer during its call, as Track would.
  void HoldForCall(void* address, uint32_t owner) EXCLUDES(mutex_);
  // The call returned: with `retain`, its hold (unless the plugin released
  // it meanwhile) lasts until released; otherwise it goes.
  void EndCall(void* address, bool retain) EXCLUDES(mutex_);
  // Drops the core's hold. True when no hold on the buffer is left: the
  // caller frees it.
  bool EndDelivery(void* address) EXCLUDES(mutex_);

  // Any thread, for the figures: how many buffers each owner holds now (a
  // plugin in its Write call counts the buffer it was given).
  std::map<uint32_t, size_t> HoldsPerOwner() const EXCLUDES(mutex_);

  // At the end of the core's life: reports each remaining hold, in ascending
  // address order, through `report`, and forgets them. Buffers are not freed.
  void ReportLeaks(const std::function<void(void* address, uint32_t owner)>& report)
      EXCLUDES(mutex_);

 private:
  friend struct AllocationRegistryTesting;
  // Whether a hold on `key` is left, in the delivery's fields or the map.
  bool Held(uintptr_t key) const REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::multimap<uintptr_t, uint32_t> holds_ GUARDED_BY(mutex_);
  // The buffer being delivered (0: none) and the holds on it outside the map.
  // Written by the main thread, read by any releasing thread.
  uintptr_t delivered_ GUARDED_BY(mutex_) = 0;
  bool coreHolds_ GUARDED_BY(mutex_) = false;
  uint32_t caller_ GUARDED_BY(mutex_) = 0;
  bool callerHolds_ GUARDED_BY(mutex_) = false;
};

#endif  // DVRCORE_PLUGINHOST_ALLOCATION_REGISTRY_H
