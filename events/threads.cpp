// Threads the core lends plugins: a worker thread (one IOCTL with
// IOCTL_RUN_WORKER), a reader thread (one Read without data), and one event
// thread per immediate event and receiving plugin (one Read with a copy).
//
// DESIGN: worker and reader threads are kept in the plugin's record and
// joined before its Unload. Event threads are detached; each registers a
// ReplySlot in eventThreads for the length of its Read (so that answers it
// raises are accepted) and counts itself in the plugin's PluginActivity, which
// the unloading step waits on. Leaving the activity is an event thread's last
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

#include "core/dvrcore.h"

namespace {

void RunWorker(PluginEntry ioctl) {
  IoctlCall call(IOCTL_RUN_WORKER, nullptr, 0);
  CallPluginEntry(ioctl, &call.in, &call.out, ThreadEnd::kLetItEnd);
}

void CallRead(PluginEntry read, uint32_t dataLength, void* data, uint32_t correlationId) {
  _ReadParmsIn in{};
  in.size = sizeof in;
  in.version = 1;
  in.reserved1 = 1;
  in.dataLength = dataLength;
  in.data = data;
  in.correlationId = correlationId;
  _ReadParmsOut out{};
  out.size = sizeof out;
  out.version = 1;
  CallPluginEntry(read, &in, &out, ThreadEnd::kLetItEnd);
}

// An event thread's hold on its plugin and its data copy, given up when the
// thread ends however it ends. Leaving the activity comes last: after it the
// plugin may be unmapped and the core may be gone.
class EventThreadLease {
 public:
  EventThreadLease(PluginActivity* activity, void* copy) : activity_(activity), copy_(copy) {}
  ~EventThreadLease() {
    std::free(copy_);
    activity_->Leave();
  }
  EventThreadLease(const EventThreadLease&) = delete;
  EventThreadLease& operator=(const EventThreadLease&) = delete;

 private:
  PluginActivity* activity_;
  void* copy_;
};

// The thread's entry in eventThreads, for exactly as long as the slot lives.
// An answer still pending when it goes is simply forgotten: its buffer
// belongs to the allocation registry, which frees it when its last holder
// lets go.
class EventThreadRegistration {
 public:
  EventThreadRegistration(std::mutex& threadMutex, std::map<std::thread::id, ReplySlot*>& threads)
      : threadMutex_(threadMutex), threads_(threads), self_(std::this_thread::get_id()) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    threads_[self_] = &slot_;
  }
  ~EventThreadRegistration() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    threads_.erase(self_);
  }
  EventThreadRegistration(const EventThreadRegistration&) = delete;
  EventThreadRegistration& operator=(const EventThreadRegistration&) = delete;

 private:
  std::mutex& threadMutex_;
  std::map<std::thread::id, ReplySlot*>& threads_;  // guarded by threadMutex_
  const std::thread::id self_;
  ReplySlot slot_;
};

}  // namespace

void dvrcore::ProvideWorkerThread(PLUGININFO& plugin) {
  if (plugin.IOCTL == nullptr) {
    CORE_LOG(50, "plugin %s asks for a worker thread but has no IOCTL entry",
             plugin.fileName.c_str());
    return;
  }
  try {
    plugin.workerThread = std::thread(RunWorker, plugin.IOCTL);
  } catch (const std::system_error& error) {
    CORE_LOG(100, "plugin %s worker thread could not be started: %s", plugin.fileName.c_str(),
             error.what());
  }
}

void dvrcore::StartAsyncReader(PLUGININFO& plugin) {
  if (plugin.Read == nullptr) {
    CORE_LOG(50, "plugin %s asks for a reader thread but has no Read entry",
             plugin.fileName.c_str());
    return;
  }
  try {
    plugin.readerThread = std::thread(CallRead, plugin.Read, 0u, nullptr, 0u);
  } catch (const std::system_error& error) {
    CORE_LOG(100, "plugin %s reader thread could not be started: %s", plugin.fileName.c_str(),
             error.what());
  }
}

void dvrcore::StartEventThread(PLUGININFO& plugin, uint32_t dataLength, void* copy,
                               uint32_t correlationId) {
  PluginActivity* activity = plugin.activity.get();
  try {
    std::thread(&dvrcore::RunEventThread, this, plugin.Read, dataLength, copy, correlationId,
                activity)
        .detach();
  } catch (const std::system_error& error) {
    std::free(copy);
    activity->Leave();
    CORE_LOG(50, "plugin %s event thread could not be started: %s", plugin.fileName.c_str(),
             error.what());
  }
}

void dvrcore::RunEventThread(PluginEntry read, uint32_t dataLength, void* copy,
                             uint32_t correlationId, PluginActivity* activity) {
  // Destroyed in reverse order: the registration first, the lease last.
  EventThreadLease lease(activity, copy);
  EventThreadRegistration registration(threadMutex, eventThreads);
  CallRead(read, dataLength, copy, correlationId);
}
