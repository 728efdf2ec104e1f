// Registry of holders of data buffers shared with plugins.
#include "pluginhost/pluginhost.h"

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
  auto range = holds_.equal_range(key);
  bool removed = false;
  for (auto it = range.first; it != range.second;) {
    if (it->second == owner) {
      it = holds_.erase(it);
      removed = true;
    } else {
      ++it;
    }
  }
  if (removedAny) *removedAny = removed;
  return holds_.find(key) == holds_.end();
}

void AllocationRegistry::ReportLeaks(
    const std::function<void(void* address, uint32_t owner)>& report) {
  // Runs when no other thread is left; the lock only keeps the rule simple.
  std::multimap<uintptr_t, uint32_t> remaining;
  {
    MutexLock lock(mutex_);
    remaining.swap(holds_);
  }
  for (const auto& hold : remaining) report(reinterpret_cast<void*>(hold.first), hold.second);
}

size_t AllocationRegistry::HoldCount() const {
  MutexLock lock(mutex_);
  return holds_.size();
}
