// The core's privileges: it takes on its parent's user and keeps only the
// capabilities it needs, first at Init, then once the plugins are open.
// dvrcore calls the two operations below, in this order; the steps they take
// are declared after them, so that tests reach each one without changing the
// credentials of the test process.
#ifndef DVRCORE_CORE_PRIVILEGES_H
#define DVRCORE_CORE_PRIVILEGES_H

#include <cstdint>
#include <string>
#include <vector>

// Capability sets kept after Init (CAP_NET_ADMIN, CAP_NET_RAW, CAP_SYS_RAWIO)
// and once the plugins are open (the first two).
constexpr uint32_t kCapsAfterInit = 0x23000;
constexpr uint32_t kCapsAfterStart = 0x3000;

// Main thread, Init, before any other thread exists and before any plugin
// code runs: umask 077, SECBIT_NO_SETUID_FIXUP, DropPrivileges, then
// ReserveNarrowingSignal. False after a logged failure of DropPrivileges.
bool LimitPrivilegesAtInit();
// Main thread, Start, once every plugin is open: unless the core runs as
// root, narrows this thread and then every other one to kCapsAfterStart,
// logging each thread it could not narrow.
void NarrowPrivilegesAtStart();

// ---- The steps ----

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

#endif  // DVRCORE_CORE_PRIVILEGES_H
