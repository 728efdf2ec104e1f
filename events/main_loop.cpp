// The main loop's queue: events raised with a source wait here, in arrival
// order, for the main thread to deliver them one at a time.
#include <cstdlib>

#include "events/routing.h"

RequestQueue::~RequestQueue() {
  MutexLock lock(coreMutex);
  for (_EventParmsIn& entry : requestQueue) std::free(entry.data);
}

bool RequestQueue::Append(const _EventParmsIn& entry) {
  {
    MutexLock lock(coreMutex);
    if (stopRequested.load()) return false;
    requestQueue.push_back(entry);
  }
  coreWakeup.NotifyOne();
  return true;
}

void RequestQueue::RequestStop() {
  {
    MutexLock lock(coreMutex);
    stopRequested = true;
  }
  coreWakeup.NotifyOne();
}

void RequestQueue::Run(const std::function<void(const _EventParmsIn&)>& deliver) {
  for (;;) {
    _EventParmsIn entry;
    {
      MutexLock lock(coreMutex);
      while (requestQueue.empty() && !stopRequested.load()) coreWakeup.Wait(lock);
      if (requestQueue.empty()) return;  // stop requested and everything delivered
      entry = requestQueue.front();
      requestQueue.pop_front();
    }
    deliver(entry);
  }
}
