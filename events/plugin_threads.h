// Threads the core lends plugins: a worker thread, a reader thread, and one
// event thread per immediate event and receiving plugin; and PluginActivity,
// which keeps a plugin mapped while event threads are inside it.
#ifndef DVRCORE_EVENTS_PLUGIN_THREADS_H
#define DVRCORE_EVENTS_PLUGIN_THREADS_H

#include <cstdint>
#include <string>
#include <thread>

#include "events/locks.h"
#include "events/reply_slots.h"
#include "pluginhost/plugin.h"

// Counts the event threads that are inside (or about to enter) one plugin's
// Read, so that the plugin is never unmapped under them.
class PluginActivity {
 public:
  // Any thread: registers one event thread. False once the plugin is sealed
  // for unloading; the event is then not delivered to it.
  bool Enter() EXCLUDES(mutex_);
  // Any thread: the event thread has left the plugin's code for good. Must be
  // the event thread's last touch of core state.
  void Leave() EXCLUDES(mutex_);
  // Main thread, unloading: refuses new event threads and waits until the
  // running ones have left.
  void SealAndWait() EXCLUDES(mutex_);

  // Public only so that locks held around Enter can be ordered before it
  // (events/locks.h); touched by the members above alone.
  Mutex mutex_;

 private:
  CondVar idle_;
  unsigned live_ GUARDED_BY(mutex_) = 0;
  bool sealed_ GUARDED_BY(mutex_) = false;
};

// The worker thread: one IOCTL with IOCTL_RUN_WORKER. The reader thread: one
// Read without data. Each returns a thread to be joined before the plugin's
// Unload, or an empty one (logged) when none could be started.
std::thread StartWorkerThread(PluginEntry ioctl, const std::string& fileName);
std::thread StartReaderThread(PluginEntry read, const std::string& fileName);

// One event thread: one Read with `copy`, which the thread owns. The caller
// has entered `activity`; the thread leaves it as its very last step. While it
// runs, the thread is registered in `slots`. Detached. Returns 0, or the error
// number when no thread could be started: `copy` is then freed, and
// `activity` is still entered, for the caller to report the failure and
// leave it.
int StartEventThread(PluginEntry read, uint32_t dataLength, void* copy, uint32_t correlationId,
                     PluginActivity& activity, ReplySlots& slots);

#endif  // DVRCORE_EVENTS_PLUGIN_THREADS_H
