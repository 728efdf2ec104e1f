// Answers of event threads: which threads may answer, which correlation IDs
// are cancelled, and the one answer each event thread may have in flight.
//
// DESIGN: a raiser that finds its previous answer still held waits on its
// own slot until whoever frees that buffer clears the slot (Clear, called
// just before the free) or a stop ends the wait. threadMutex is taken before
// a slot's mutex, never the other way round.
#include "events/routing.h"

ReplySlots::Registration::Registration(ReplySlots& slots)
    : slots_(slots), self_(std::this_thread::get_id()) {
  MutexLock lock(slots_.threadMutex);
  slots_.eventThreads[self_] = &slot_;
}

ReplySlots::Registration::~Registration() {
  MutexLock lock(slots_.threadMutex);
  slots_.eventThreads.erase(self_);
  MutexLock slotLock(slot_.mutex);
  if (slot_.pendingReply != nullptr) slots_.pendingReplies--;
}

ReplySlot* ReplySlots::SlotFor(uint32_t correlationId) {
  auto thread = eventThreads.find(std::this_thread::get_id());
  if (thread == eventThreads.end() || cancelledIds.count(correlationId) != 0) return nullptr;
  return thread->second;
}

ReplySlot* ReplySlots::Claim(uint32_t correlationId, void* data) {
  ReplySlot* slot = nullptr;
  {
    MutexLock lock(threadMutex);
    slot = SlotFor(correlationId);
  }
  if (slot == nullptr || data == nullptr) return slot;
  // The slot is this thread's own and outlives this call. A stop ends the
  // wait: the answer would be refused anyway, and unloading waits for this
  // thread to leave the plugin.
  MutexLock lock(slot->mutex);
  while (slot->pendingReply != nullptr && !stopping.load()) slot->cleared.Wait(lock);
  if (slot->pendingReply != nullptr) return nullptr;
  slot->pendingReply = data;
  pendingReplies++;
  return slot;
}

void ReplySlots::Withdraw(ReplySlot* slot, void* data) {
  if (slot == nullptr || data == nullptr) return;
  MutexLock lock(slot->mutex);
  if (slot->pendingReply == data) {
    slot->pendingReply = nullptr;
    pendingReplies--;
  }
}

void ReplySlots::Cancel(uint32_t correlationId) {
  MutexLock lock(threadMutex);
  cancelledIds.insert(correlationId);
}

void ReplySlots::Uncancel(uint32_t correlationId) {
  MutexLock lock(threadMutex);
  cancelledIds.erase(correlationId);
}

void ReplySlots::Clear(void* buffer) {
  if (buffer == nullptr || pendingReplies.load() == 0) return;
  MutexLock lock(threadMutex);
  for (auto& thread : eventThreads) {
    ReplySlot* slot = thread.second;
    MutexLock slotLock(slot->mutex);
    if (slot->pendingReply == buffer) {
      slot->pendingReply = nullptr;
      pendingReplies--;
      slot->cleared.NotifyOne();
    }
  }
}

void ReplySlots::Stop() {
  stopping = true;
  MutexLock lock(threadMutex);
  for (auto& thread : eventThreads) {
    ReplySlot* slot = thread.second;
    // Under the slot's lock, so that a raiser between its test and its wait
    // cannot miss the wake-up.
    MutexLock slotLock(slot->mutex);
    slot->cleared.NotifyAll();
  }
}

size_t ReplySlots::EventThreadCount() {
  MutexLock lock(threadMutex);
  return eventThreads.size();
}
