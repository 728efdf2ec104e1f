// The one way the core calls into a plugin: exceptions and thread ends are
// dealt with here, so that no caller has to. Any thread.
#ifndef DVRCORE_EVENTS_PLUGIN_CALL_H
#define DVRCORE_EVENTS_PLUGIN_CALL_H

#include <cstdint>
#include <string>
#include <type_traits>

#include "events/events.h"
#include "pluginhost/plugin.h"

// What a call does when the plugin ends the calling thread (pthread_exit, or
// cancellation acted on inside the entry): glibc unwinds the thread with a
// forced-unwind exception, which must run to the thread's start or abort.
enum class ThreadEnd {
  // Lent threads (worker, reader, event threads): the thread was the
  // plugin's to use; it ends, undoing the core's bookkeeping as it unwinds.
  kLetItEnd,
  // The main and the I/O thread: the core cannot run without them, so the
  // process aborts with a message instead of unwinding half-built state.
  kAbortProcess,
};

// Calls one plugin entry; a missing entry counts as success (0), and an
// exception escaping a C++ plugin counts as -1 instead of unwinding the core.
int32_t CallPluginEntry(PluginEntry entry, void* request, void* result,
                        ThreadEnd onThreadEnd = ThreadEnd::kAbortProcess);

// Logs "plugin <name> <entryName> returned <rc> error <error>" at `level`.
void LogFailedCall(unsigned level, const char* name, const char* entryName, int32_t rc,
                   int32_t error);
// After a call of a plugin entry that returned `rc` and set `error` in its
// result: when either is non-zero, logs that line (LogFailedCall) and returns
// true; false, logging nothing, otherwise. `name` is the plugin's file name,
// or a function giving it, asked only then.
template <typename Name>
bool ReportFailedCall(int32_t rc, int32_t error, unsigned level, const char* entryName,
                      const Name& name) {
  if (rc == 0 && error == 0) return false;
  if constexpr (std::is_invocable_v<const Name&>) {
    LogFailedCall(level, std::string(name()).c_str(), entryName, rc, error);
  } else {
    LogFailedCall(level, std::string(name).c_str(), entryName, rc, error);
  }
  return true;
}

// The request and result records of one IOCTL call, filled as the core
// fills them for every code.
struct IoctlCall {
  IoctlCall(uint32_t code, void* data, uint32_t dataLength);
  _IoctlParmsIn in;
  _IoctlParmsOut out;
};

#endif  // DVRCORE_EVENTS_PLUGIN_CALL_H
