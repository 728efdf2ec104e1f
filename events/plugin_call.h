// The one way the core calls into a plugin: exceptions and thread ends are
// dealt with here, so that no caller has to. Any thread.
#ifndef DVRCORE_EVENTS_PLUGIN_CALL_H
#define DVRCORE_EVENTS_PLUGIN_CALL_H

#include <cstdint>

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

// The request and result records of one IOCTL call, filled as the core
// fills them for every code.
struct IoctlCall {
  IoctlCall(uint32_t code, void* data, uint32_t dataLength);
  _IoctlParmsIn in;
  _IoctlParmsOut out;
};

#endif  // DVRCORE_EVENTS_PLUGIN_CALL_H
