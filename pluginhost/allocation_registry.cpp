// Registry of holders of data buffers shared with plugins.
#include "events/raise.h"
#include "pluginhost/allocation_registry.h"

void AllocationRegistry::Track(void* address, uint32_t owner) {
  if (address == nullptr) return;
  MutexLock lock(mutex_);
  // A multimap inserts equal keys after the existing ones: insertion order.
  holds_.emplace(reinterpret_cast<uintptr_t>(address), owner);
}

bool AllocationRegistry::Release(void* address, uint32_t owner, bool* removedAny) {
  if (removedAny) *removedAny = false;
  if (address == nullptr) return true;
  const uintptr_t key = reinterpret_cast<uintptr_t>(address);
  MutexLock lock(mutex_);
  bool removed = false;
  if (key == delivered_) {
    if (coreHolds_ && owner == kCoreSourceId) {
      coreHolds_ = false;
      removed = true;
    }
    if (callerHolds_ && owner == caller_) {
      callerHolds_ = false;
      removed = true;
    }
  }
  auto range = holds_.equal_range(key);
  for (auto it = range.first; it != range.second;) {
    if (it->second == owner) {
      it = holds_.erase(it);
      removed = true;
    } else {
      ++it;
    }
  }
  if (removedAny) *removedAny = removed;
  return !Held(key);
}

void AllocationRegistry::BeginDelivery(void* address) {
  if (address == nullptr) return;
  MutexLock lock(mutex_);
  delivered_ = reinterpret_cast<uintptr_t>(address);
  coreHolds_ = true;
}

void AllocationRegistry::HoldForCall(void* address, uint32_t owner) {
  if (address == nullptr) return;
  MutexLock lock(mutex_);
  caller_ = owner;
  callerHolds_ = true;
}

void AllocationRegistry::EndCall(void* address, bool retain) {
  if (address == nullptr) return;
  MutexLock lock(mutex_);
  if (callerHolds_ && retain) holds_.emplace(delivered_, caller_);
  callerHolds_ = false;
}

bool AllocationRegistry::EndDelivery(void* address) {
  if (address == nullptr) return false;
  MutexLock lock(mutex_);
  coreHolds_ = false;
  callerHolds_ = false;
  const bool last = !Held(delivered_);
  delivered_ = 0;
  return last;
}

bool AllocationRegistry::Held(uintptr_t key) const {
  if (key == delivered_ && (coreHolds_ || callerHolds_)) return true;
  return holds_.find(key) != holds_.end();
}

std::map<uint32_t, size_t> AllocationRegistry::HoldsPerOwner() const {
  std::map<uint32_t, size_t> counts;
  MutexLock lock(mutex_);
  for (const auto& hold : holds_) counts[hold.second]++;
  if (delivered_ != 0 && callerHolds_) counts[caller_]++;
  return counts;
}

void AllocationRegistry::ReportLeaks(
    const std::function<void(void* address, uint32_t owner)>& report) {
  // Runs when no other thread is left; the lock only keeps the rule simple.
  std::multimap<uintptr_t, uint32_t> remaining;
  {
    MutexLock lock(mutex_);
    // A delivery the main loop never finished still holds its buffer.
    if (delivered_ != 0 && coreHolds_) holds_.emplace(delivered_, kCoreSourceId);
    if (delivered_ != 0 && callerHolds_) holds_.emplace(delivered_, caller_);
    delivered_ = 0;
    coreHolds_ = callerHolds_ = false;
    remaining.swap(holds_);
  }
  for (const auto& hold : remaining) report(reinterpret_cast<void*>(hold.first), hold.second);
}
