// Threads the core lends plugins: a worker thread, a reader thread, and one
// event thread per immediate event and receiving plugin; and PluginActivity,
// which keeps a plugin mapped while event threads are inside it.
#ifndef DVRCORE_EVENTS_PLUGIN_THREADS_H
#define DVRCORE_EVENTS_PLUGIN_THREADS_H

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "events/figures.h"
#include "events/locks.h"
#include "events/reply_slots.h"
#include "pluginhost/plugin.h"

// Threads are named after whose they are, so that top -H, ps -L and a
// debugger show it: a plugin's threads carry its thread tag and their role,
// ":wk", ":rd" or ":ev"; the core's own are the main thread "dvrcore" and
// "dvrcore:io", "dvrcore:watch" (slow plugin calls) and "dvrcore:stats" (the
// figures file). Threads a plugin starts inherit the name of the thread that
// starts them; those it starts on the main thread, inside its Load or Open,
// are given its tag afterwards (ThreadsStartedInCall), ":ld" or ":op".
//
// The figures and dvrcore-top tell whose a thread is by its tag alone, so a
// tag is unique among the plugins of one core and never "dvrcore": the
// module name, made readable (a byte that is no part of valid UTF-8, or a
// control character, becomes '?') and cut to kThreadTagBytes at a character
// boundary; where that is taken or empty, a shorter cut with "~2", "~3", ...
// within kThreadTagMostBytes (the kernel keeps 15 bytes of a name, and the
// role takes three).
constexpr size_t kThreadTagBytes = 10;
constexpr size_t kThreadTagMostBytes = 12;
using ThreadName = std::array<char, 16>;  // the kernel keeps 15 characters
// The tag for a plugin of `moduleName`, none of `taken`.
std::string ThreadTag(const std::string& moduleName, const std::set<std::string>& taken);
ThreadName MakeThreadName(const std::string& tag, const char* role);
// Names the calling thread.
void NameThisThread(const char* name);

// Names the threads a plugin starts inside one call on the main thread (Load,
// Open), which inherit the main thread's name and would pass for the core's.
// After the call it lists /proc/self/task and names each thread that was not
// there at the listing before and still carries the main thread's name. A
// thread that ended or renamed itself by then is left alone; one that a
// plugin's thread starts later inherits its starter's name anyway. The
// listing is made after every call, not only when the number of threads
// changed: the plugins' own threads and the core's end at any time (a worker
// whose IOCTL returned, an event thread), and an end during the call would
// hide a start, leaving the thread to be named after the next plugin.
// Main thread only. The worker, reader and event threads the main thread
// starts are named by it before it goes on, so that no listing finds them
// under the core's name; the core's other threads exist before the listing
// Rebase makes.
class ThreadsStartedInCall {
 public:
  // Takes every thread there is now as not a plugin's.
  void Rebase();
  // Before a call: Rebase, the first time.
  void Before();
  // After a call: gives `name` to the threads that came during it.
  void After(const ThreadName& name);

 private:
  bool rebased_ = false;
  pid_t self_ = 0;           // the main thread's ID, taken by Rebase
  std::vector<long> known_;  // the threads of the last listing, sorted
  ThreadName mainName_{};    // the main thread's name, as the kernel keeps it
};

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
  // running ones have left (a StopWait while any runs).
  void SealAndWait() EXCLUDES(mutex_);

  // The name of the plugin's event threads; set on the main thread before
  // the plugin is in the table, read-only afterwards.
  ThreadName eventThreadName{};
  // The plugin's figures, to which its event threads count; set like the
  // name.
  PluginFigures* figures = &UncountedFigures();

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
// `tag` names the threads, `fileName` the plugin in log lines; events the
// threads raise are counted to `figures`.
std::thread StartWorkerThread(PluginEntry ioctl, const std::string& fileName,
                              const std::string& tag, PluginFigures* figures);
std::thread StartReaderThread(PluginEntry read, const std::string& fileName,
                              const std::string& tag, PluginFigures* figures);

// Main thread, stopping: joins a worker or reader thread of the plugin
// `fileName` (`kind`: "worker", "reader"), if joinable, as a StopWait.
void JoinLentThread(std::thread& thread, const std::string& fileName, const char* kind);

// One event thread: one Read with `copy`, which the thread owns, for an
// event of `eventType` from `sourceId`. The caller
// has entered `activity`; the thread leaves it as its very last step. While it
// runs, the thread is registered in `slots`. Detached. Returns 0, or the error
// number when no thread could be started: `copy` is then freed, and
// `activity` is still entered, for the caller to report the failure and
// leave it.
int StartEventThread(PluginEntry read, uint32_t eventType, uint32_t sourceId, uint32_t dataLength,
                     void* copy, uint32_t correlationId, PluginActivity& activity,
                     ReplySlots& slots);

#endif  // DVRCORE_EVENTS_PLUGIN_THREADS_H
