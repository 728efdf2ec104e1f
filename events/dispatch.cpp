// Event dispatch: the one entry through which every event enters the core.
//
// From the fields of the raised record it decides, in this order, to release
// a kept buffer (EVENT_RELEASE), hand a packet to the I/O thread for the
// parent (EVENT_TO_PARENT), queue the event for the main loop (non-zero
// sourceId), cancel a correlation ID (EVENT_CANCEL), or deliver the event at
// once to every matching reader plugin on a thread of its own.
//
// DESIGN: any thread enters, including plugin code that the core is running.
// The dispatch never calls a plugin on the raiser's thread and holds no lock
// while it calls Log or waits on a reply slot. Acceptance of a queued event
// is decided under coreMutex together with the append, the same lock under
// which the main loop decides to return, so every accepted event is
// delivered exactly once. A buffer is always taken out of the reply slots
// (WakeReplyWaiters) before it is freed, so a recycled address can never be
// mistaken for the previous answer.
#include <cstdlib>
#include <cstring>
#include <string>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"

namespace {

void SetResult(_EventParmsOut* out, int32_t result) { out->result = result; }

}  // namespace

int dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
  if (in == nullptr || out == nullptr) return 0;

  // ---- A. A holder gives a kept buffer back ----
  if (in->eventType == EVENT_RELEASE) {
    bool removedAny = false;
    // Only a release that removed a hold may free: an address nobody held
    // was never the core's to free, or is already gone.
    if (allocations.Release(in->data, in->sourceId, &removedAny) && removedAny) {
      WakeReplyWaiters(in->data);
      std::free(in->data);
    }
    coreWakeup.notify_one();
    SetResult(out, EVENT_OK);
    return 0;
  }

  // ---- B. A packet for the parent; the buffer is the core's from here ----
  if (in->eventType == EVENT_TO_PARENT) {
    if (in->data == nullptr || in->dataLength == 0 || !ipcOpen.load() ||
        !ReserveOutgoing(in->dataLength)) {
      std::free(in->data);
      SetResult(out, EVENT_REFUSED);
      return 0;
    }
    OutgoingPacket packet;
    packet.buffer.reset(in->data);
    packet.length = in->dataLength;
    // If the I/O service never runs the handler, destroying it frees the buffer.
    boost::asio::post(ioService, [this, packet = std::move(packet)]() mutable {
      QueuePacket(std::move(packet));
    });
    SetResult(out, EVENT_OK);
    return 0;
  }

  // ---- C. Queued delivery ----
  if (in->sourceId != 0) {
    if ((in->eventType & EVENT_LOG) && (in->eventFlags & EVENT_FLAG_TEXT)) {
      const char* text = static_cast<const char*>(in->data);
      if (text != nullptr && std::memchr(text, 0, in->dataLength) == nullptr) {
        // Not terminated within its length: print only what was handed over.
        std::string bounded(text, in->dataLength);
        Log(in->sourceId, in->level, bounded.c_str());
      } else {
        Log(in->sourceId, in->level, text);
      }
      if (in->level == 0) return 0;
    }
    if (stopRequested.load()) {
      SetResult(out, EVENT_REFUSED);
      return 0;
    }
    if ((in->eventType & EVENT_CLASS1) && (in->eventFlags & EVENT_FLAG_CORE) && throttling.load()) {
      SetResult(out, EVENT_THROTTLED);
      return 0;
    }

    _EventParmsIn entry = *in;
    entry.data = nullptr;
    entry.dataLength = 0;
    if (in->data != nullptr && in->dataLength != 0) {
      entry.data = std::malloc(in->dataLength);
      if (entry.data == nullptr) {
        SetResult(out, EVENT_NO_MEMORY);
        return 0;
      }
      std::memcpy(entry.data, in->data, in->dataLength);
      entry.dataLength = in->dataLength;
    }

    ReplySlot* slot = nullptr;
    if (in->correlationId != 0) {
      {
        std::lock_guard<std::mutex> lock(threadMutex);
        auto thread = eventThreads.find(std::this_thread::get_id());
        if (cancelledIds.count(in->correlationId) == 0 && thread != eventThreads.end()) {
          slot = thread->second;
        }
      }
      if (slot == nullptr) {  // cancelled, or not raised from an event thread
        std::free(entry.data);
        SetResult(out, EVENT_REFUSED);
        return 0;
      }
      if (entry.data != nullptr) {
        // The slot is this thread's own and outlives this call. A stop ends
        // the wait: the answer would be refused anyway, and the unloading
        // step waits for this thread to leave the plugin.
        std::unique_lock<std::mutex> lock(slot->mutex);
        slot->cleared.wait(lock, [this, slot] {
          return slot->pendingReply == nullptr || stopRequested.load();
        });
        if (slot->pendingReply == nullptr) {
          slot->pendingReply = entry.data;
        } else {
          slot = nullptr;  // nothing of ours to take back below
        }
      }
    }

    bool accepted = false;
    {
      std::lock_guard<std::mutex> lock(coreMutex);
      if (!stopRequested.load()) {
        requestQueue.push_back(entry);
        accepted = true;
      }
    }
    if (!accepted) {
      // The stop came while this event was being prepared.
      if (slot != nullptr && entry.data != nullptr) {
        std::lock_guard<std::mutex> lock(slot->mutex);
        slot->pendingReply = nullptr;
      }
      std::free(entry.data);
      SetResult(out, EVENT_REFUSED);
      return 0;
    }
    coreWakeup.notify_one();
    SetResult(out, EVENT_OK);
    return 0;
  }

  // ---- D. Cancel a correlation ID ----
  if (in->eventType == EVENT_CANCEL) {
    {
      std::lock_guard<std::mutex> lock(threadMutex);
      cancelledIds.insert(in->correlationId);
    }
    coreWakeup.notify_one();
    SetResult(out, EVENT_OK);
    return 0;
  }

  // ---- E. Immediate delivery to reader plugins ----
  {
    std::lock_guard<std::mutex> lock(threadMutex);
    cancelledIds.erase(in->correlationId);
  }
  const uint32_t key = EventImmediateKey(in->eventFlags);
  {
    std::shared_lock<std::shared_mutex> lock(pluginsLock);
    for (PLUGININFO& plugin : plugins) {
      if (!plugin.desc.wantsReader || plugin.Read == nullptr ||
          !EventMatchesMasks(in->eventType, key, plugin.desc.eventMasks)) {
        continue;
      }
      if (!plugin.activity->Enter()) continue;  // being unloaded
      void* copy = nullptr;
      if (in->data != nullptr && in->dataLength != 0) {
        copy = std::malloc(in->dataLength);
        if (copy != nullptr) std::memcpy(copy, in->data, in->dataLength);
      }
      StartEventThread(plugin, in->dataLength, copy, in->correlationId);
    }
  }
  coreWakeup.notify_one();
  SetResult(out, EVENT_OK);
  return 0;
}

void dvrcore::WakeAllReplyWaiters() {
  std::lock_guard<std::mutex> lock(threadMutex);
  for (auto& thread : eventThreads) {
    ReplySlot* slot = thread.second;
    std::lock_guard<std::mutex> slotLock(slot->mutex);
    slot->cleared.notify_all();
  }
}

void dvrcore::WakeReplyWaiters(void* buffer) {
  if (buffer == nullptr) return;
  std::lock_guard<std::mutex> lock(threadMutex);
  for (auto& thread : eventThreads) {
    ReplySlot* slot = thread.second;
    std::lock_guard<std::mutex> slotLock(slot->mutex);
    if (slot->pendingReply == buffer) {
      slot->pendingReply = nullptr;
      slot->cleared.notify_one();
    }
  }
}
