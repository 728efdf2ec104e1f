// Calls a watchdog may report; see call_watch.h.
#include "events/call_watch.h"

#include <cstdio>

__thread WatchedCallSlot* t_watchedCalls = nullptr;

StopWait::StopWait(const std::string& plugin, const char* what, const char* threadName)
    : slot_(t_watchedCalls) {
  if (slot_ == nullptr) return;
  MutexLock lock(slot_->stopWaitMutex);
  std::snprintf(slot_->stopWaitPlugin, sizeof slot_->stopWaitPlugin, "%s", plugin.c_str());
  std::snprintf(slot_->stopWaitThread, sizeof slot_->stopWaitThread, "%s %s", what, threadName);
  slot_->stopWaitSequence++;
}

StopWait::~StopWait() {
  if (slot_ == nullptr) return;
  MutexLock lock(slot_->stopWaitMutex);
  slot_->stopWaitSequence++;
}
