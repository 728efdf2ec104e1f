// The main loop's queue: events raised with a source wait here, in arrival
// order, for the main thread to deliver them one at a time.
#include <algorithm>
#include <cstdlib>

#include "events/request_queue.h"

RequestQueue::~RequestQueue() {
  MutexLock lock(coreMutex);
  for (_EventParmsIn& entry : batch) std::free(entry.data);
  for (_EventParmsIn& entry : requestQueue) std::free(entry.data);
}

bool RequestQueue::Append(const _EventParmsIn& entry) {
  bool wake;
  {
    MutexLock lock(coreMutex);
    if (stopRequested.load()) return false;
    requestQueue.push_back(entry);
    const size_t depth = waiting.fetch_add(1, std::memory_order_relaxed) + 1;
    if (depth > mostWaiting) mostWaiting = depth;
    wake = loopWaiting;
    loopWaiting = false;
  }
  if (wake) coreWakeup.NotifyOne();
  return true;
}

size_t RequestQueue::TakeMostDepth() {
  MutexLock lock(coreMutex);
  const size_t most = mostWaiting;
  mostWaiting = waiting.load(std::memory_order_relaxed);
  return std::max(most, mostWaiting);
}

void RequestQueue::RequestStop() {
  {
    MutexLock lock(coreMutex);
    stopRequested = true;
  }
  // Unconditionally: a stop is rare, and a missed one would never return.
  coreWakeup.NotifyOne();
}

void RequestQueue::Run(const std::function<void(const _EventParmsIn&)>& deliver) {
  AssertOnThread(g_mainThread);  // the main loop
  for (;;) {
    {
      MutexLock lock(coreMutex);
      while (requestQueue.empty() && !stopRequested.load()) {
        loopWaiting = true;
        coreWakeup.Wait(lock);
      }
      loopWaiting = false;
      if (requestQueue.empty()) return;  // stop requested and everything delivered
      batch.swap(requestQueue);
    }
    // Popped before it is handed over, so that the destructor frees only
    // what was never delivered.
    while (!batch.empty()) {
      const _EventParmsIn entry = batch.front();
      batch.pop_front();
      waiting.fetch_sub(1, std::memory_order_relaxed);
      deliver(entry);
    }
  }
}
