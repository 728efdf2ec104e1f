// Answers of event threads: which threads may answer, which correlation IDs
// are cancelled, and the one answer each event thread may have in flight.
//
// DESIGN: a raiser that finds its previous answer still held waits on its
// own slot until whoever frees that buffer clears the slot (Clear, called
// just before the free) or a stop ends the wait.
#include "events/reply_slots.h"

namespace {

// The calling thread's registration, if it is an event thread.
thread_local ReplySlots::Registration* t_registration = nullptr;

}  // namespace

ReplySlots::Registration::Registration(ReplySlots& slots) : slots_(slots) {
  {
    MutexLock lock(slots_.threadMutex);
    next_ = slots_.eventThreads;
    if (next_ != nullptr) next_->previous_ = this;
    slots_.eventThreads = this;
    slots_.eventThreadCount++;
  }
  t_registration = this;
}

ReplySlots::Registration::~Registration() {
  t_registration = nullptr;
  MutexLock lock(slots_.threadMutex);
  if (previous_ != nullptr) {
    previous_->next_ = next_;
  } else {
    slots_.eventThreads = next_;
  }
  if (next_ != nullptr) next_->previous_ = previous_;
  slots_.eventThreadCount--;
  MutexLock slotLock(slot_.mutex);
  if (slot_.pendingReply != nullptr) slots_.pendingReplies--;
}

ReplySlot* ReplySlots::SlotFor(uint32_t correlationId) {
  Registration* self = t_registration;
  if (self == nullptr || &self->slots_ != this || cancelledIds.count(correlationId) != 0) {
    return nullptr;
  }
  return &self->slot_;
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
  for (Registration* thread = eventThreads; thread != nullptr; thread = thread->next_) {
    ReplySlot* slot = &thread->slot_;
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
  for (Registration* thread = eventThreads; thread != nullptr; thread = thread->next_) {
    ReplySlot* slot = &thread->slot_;
    // Under the slot's lock, so that a raiser between its test and its wait
    // cannot miss the wake-up.
    MutexLock slotLock(slot->mutex);
    slot->cleared.NotifyAll();
  }
}
