#include "events/call_watch.h"

namespace {

thread_local WatchedCallSlot* t_slot = nullptr;

}  // namespace

void WatchCallsOfThisThread(WatchedCallSlot* slot) { t_slot = slot; }

WatchedCall::WatchedCall(uint32_t pluginId, const char* entry) : slot_(t_slot) {
  Begin(pluginId, entry, false, 0, 0);
}

WatchedCall::WatchedCall(uint32_t pluginId, const char* entry, uint32_t eventType,
                         uint32_t sourceId)
    : slot_(t_slot) {
  Begin(pluginId, entry, true, eventType, sourceId);
}

void WatchedCall::Begin(uint32_t pluginId, const char* entry, bool isEvent, uint32_t eventType,
                        uint32_t sourceId) {
  if (slot_ == nullptr) return;
  if (slot_->depth++ != 0) {
    slot_ = nullptr;  // inside an outer call, which stays the one watched
    return;
  }
  slot_->pluginId.store(pluginId, std::memory_order_relaxed);
  slot_->entry.store(entry, std::memory_order_relaxed);
  slot_->isEvent.store(isEvent, std::memory_order_relaxed);
  slot_->eventType.store(eventType, std::memory_order_relaxed);
  slot_->sourceId.store(sourceId, std::memory_order_relaxed);
  // Odd from here: the fields above are published with it.
  slot_->sequence.store(slot_->sequence.load(std::memory_order_relaxed) + 1,
                        std::memory_order_release);
}

WatchedCall::~WatchedCall() {
  if (slot_ == nullptr) {
    if (t_slot != nullptr) t_slot->depth--;
    return;
  }
  slot_->sequence.store(slot_->sequence.load(std::memory_order_relaxed) + 1,
                        std::memory_order_release);
  slot_->depth--;
}
