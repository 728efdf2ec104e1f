// The core object, dvrcore, as plugins see it.
//
// A plugin receives a pointer to the one core object in its Load entry and
// calls the virtual operations below through it. Their order (destructor,
// deleting destructor, now, PublishMemoryState, Log) and their signatures are
// a binary contract with separately built plugins: do not reorder, insert or
// remove virtual operations.
//
// The rest of the class is the core's own: plugins cannot name it. The core
// keeps all its state behind one pointer, so this declaration is the same for
// plugins and the core and does not change when the core's inside does.
#ifndef DVRCORE_CORE_DVRCORE_H
#define DVRCORE_CORE_DVRCORE_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "events/events.h"

namespace boost {
namespace system {
class error_code;
}  // namespace system
}  // namespace boost

class dvrcore {
 public:
  virtual ~dvrcore();  // slots 0 and 1: complete and deleting destructor

  // Slot 2: the core's monotonic clock; any thread, any time after construction.
  virtual std::chrono::steady_clock::time_point now() {
    return std::chrono::steady_clock::now();
  }

  // Slot 3: raises the memory-throttling state as an XML document event.
  virtual void PublishMemoryState();

  // Slot 4: prints one log line (and sends level 100 to syslog), without
  // dispatching it to plugins. `text` is zero-terminated, may be null.
  virtual void Log(uint32_t sourceId, unsigned level, const char* text);

  dvrcore(const dvrcore&) = delete;
  dvrcore& operator=(const dvrcore&) = delete;

 protected:
  // The one core object of the process (FlatPluginEvent reaches it). Made by
  // the process entry; protected for the core's tools and tests, which
  // replace Log.
  explicit dvrcore(const std::string& executablePath);

 private:
  friend class CoreControl;
  struct Parts;

  // Names the core, sets umask and secure bits, drops privileges and adopts
  // the IPC descriptor (-1 for none). False after a logged failure.
  bool Init(int ipcDescriptor);
  // Start, run and stop; returns when every plugin is unloaded.
  void Start();
  // Any thread: asks the main loop to deliver what is queued and stop.
  void RequestStop();
  // Any thread: the dispatch of every raised event (FlatPluginEvent).
  int PluginEvent(_EventParmsIn* in, _EventParmsOut* out);
  // I/O thread: completion of the scheduler's timer, every 100 ms.
  void Scheduler(const boost::system::error_code& error);
  // I/O thread: completion of a receive on the parent link.
  void ProcessIPC(const boost::system::error_code& error, unsigned int bytes);

  std::unique_ptr<Parts> parts;
};

#endif  // DVRCORE_CORE_DVRCORE_H
