// Threads the core lends plugins: a worker thread (one IOCTL with
// IOCTL_RUN_WORKER), a reader thread (one Read without data), and one event
// thread per immediate event and receiving plugin (one Read with a copy).
//
// DESIGN: worker and reader threads are kept in the plugin's record and
// joined before its Unload. Event threads are detached; each is registered in
// the reply slots for the length of its Read (so that answers it raises are
// accepted) and counts itself in the plugin's PluginActivity, which the
// unloading step waits on. Leaving the activity is an event thread's last
// touch of the core.
//
// A lent thread is the plugin's to end: it may call pthread_exit inside its
// entry, or be cancelled there. The thread then unwinds (CallPluginEntry lets
// it), so everything an event thread registered is undone by guards on every
// way out, and a joined worker or reader is simply found finished.
//
// A thread that cannot be started is logged; the plugin goes on without it.
#include <cstdlib>
#include <system_error>

#include "events/routing.h"

namespace {

void RunWorker(PluginEntry ioctl) {
  IoctlCall call(IOCTL_RUN_WORKER, nullptr, 0);
  CallPluginEntry(ioctl, &call.in, &call.out, ThreadEnd::kLetItEnd);
}

void CallRead(PluginEntry read, uint32_t dataLength, void* data, uint32_t correlationId) {
  auto in = NewRecord<_ReadParmsIn>();
  in.reserved1 = 1;
  in.dataLength = dataLength;
  in.data = data;
  in.correlationId = correlationId;
  auto out = NewRecord<_ReadParmsOut>();
  CallPluginEntry(read, &in, &out, ThreadEnd::kLetItEnd);
}

// An event thread's hold on its plugin and its data copy, given up when the
// thread ends however it ends. Leaving the activity comes last: after it the
// plugin may be unmapped and the core may be gone.
class EventThreadLease {
 public:
  EventThreadLease(PluginActivity& activity, void* copy) : activity_(activity), copy_(copy) {}
  ~EventThreadLease() {
    std::free(copy_);
    activity_.Leave();
  }
  EventThreadLease(const EventThreadLease&) = delete;
  EventThreadLease& operator=(const EventThreadLease&) = delete;

 private:
  PluginActivity& activity_;
  void* copy_;
};

void RunEventThread(PluginEntry read, uint32_t dataLength, void* copy, uint32_t correlationId,
                    PluginActivity* activity, ReplySlots* slots) {
  // Destroyed in reverse order: the registration first, the lease last.
  EventThreadLease lease(*activity, copy);
  ReplySlots::Registration registration(*slots);
  CallRead(read, dataLength, copy, correlationId);
}

}  // namespace

std::thread StartWorkerThread(PluginEntry ioctl, const std::string& fileName) {
  if (ioctl == nullptr) {
    CORE_LOG(kLogNotable, "plugin %s asks for a worker thread but has no IOCTL entry",
             fileName.c_str());
    return {};
  }
  try {
    return std::thread(RunWorker, ioctl);
  } catch (const std::system_error& error) {
    CORE_LOG(kLogFailure, "plugin %s worker thread could not be started: %s", fileName.c_str(),
             error.what());
    return {};
  }
}

std::thread StartReaderThread(PluginEntry read, const std::string& fileName) {
  if (read == nullptr) {
    CORE_LOG(kLogNotable, "plugin %s asks for a reader thread but has no Read entry",
             fileName.c_str());
    return {};
  }
  try {
    return std::thread(CallRead, read, 0u, nullptr, 0u);
  } catch (const std::system_error& error) {
    CORE_LOG(kLogFailure, "plugin %s reader thread could not be started: %s", fileName.c_str(),
             error.what());
    return {};
  }
}

void StartEventThread(PluginEntry read, const std::string& fileName, uint32_t dataLength,
                      void* copy, uint32_t correlationId, PluginActivity& activity,
                      ReplySlots& slots) {
  try {
    std::thread(RunEventThread, read, dataLength, copy, correlationId, &activity, &slots).detach();
  } catch (const std::system_error& error) {
    std::free(copy);
    activity.Leave();
    CORE_LOG(kLogNotable, "plugin %s event thread could not be started: %s", fileName.c_str(),
             error.what());
  }
}

bool PluginActivity::Enter() {
  MutexLock lock(mutex_);
  if (sealed_) return false;
  ++live_;
  return true;
}

void PluginActivity::Leave() {
  MutexLock lock(mutex_);
  // Notify under the lock: once the count reaches zero the unloading thread
  // may destroy this object as soon as it can take the mutex.
  if (--live_ == 0) idle_.NotifyAll();
}

void PluginActivity::SealAndWait() {
  MutexLock lock(mutex_);
  sealed_ = true;
  while (live_ != 0) idle_.Wait(lock);
}
