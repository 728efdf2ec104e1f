// What tests see of the core's privilege steps beyond the two operations the
// core uses (core/privileges.h).
#ifndef DVRCORE_CORE_TESTING_H
#define DVRCORE_CORE_TESTING_H

#include <cstdint>
#include <string>
#include <vector>

#include "core/privileges.h"

// Whether the core runs as root (its real user ID, the parent's after the
// switch): root keeps its capabilities.
bool RunsAsRoot();

// Main thread, Init, before any other thread exists: switches to the parent
// process's user with its groups (when it differs) and keeps kCapsAfterInit.
// False after a logged failure; privileges only ever shrink.
bool DropPrivileges();

// Sets the effective and permitted capability sets of the calling thread to
// `mask` and the inheritable set to empty; a failure is logged at level 50
// and otherwise ignored. True on success.
bool SetCapabilities(uint32_t mask);

// Main thread, Init, before any plugin code runs: installs the handler of the
// signal NarrowOtherThreads sends, on the highest real-time signal nobody
// handles yet, and returns it (-1 when none is free; the narrowing then
// reports every other thread as missed).
int ReserveNarrowingSignal();

// A thread NarrowOtherThreads could not narrow, and why.
struct UnnarrowedThread {
  long tid;
  const char* reason;
};

// Capability sets belong to threads: capset changes only the caller's.
// Narrows every other thread of the process, those of plugins included, to at
// most `mask` (effective and permitted; inheritable and capabilities 32 and
// above cleared), by a signal that each thread answers with capset on
// itself (the one ReserveNarrowingSignal took). Never raises a capability.
// Returns the threads it could not reach: those that block the signal or did
// not answer within the bound. Logs nothing.
std::vector<UnnarrowedThread> NarrowOtherThreads(uint32_t mask);

// The real user ID from the text of a /proc/<pid>/status file: the first
// number of the first line that matches "Uid: %u"; 0 when no line does.
uint32_t ParentUidFromStatus(const std::string& text);

// ParentUidFromStatus of the file at `path`; 0 when it cannot be read.
uint32_t ReadStatusUid(const std::string& path);

// Sets the effective and permitted capability sets of the calling process to
// `mask` (capabilities 0-31) and clears the inheritable set and capabilities
// 32 and above. Returns 0 or the errno of the failed capset call; logs nothing.
int ApplyCapabilities(uint32_t mask);

#endif  // DVRCORE_CORE_TESTING_H
