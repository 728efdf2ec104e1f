// The core's privileges: it takes on its parent's user and keeps only the
// capabilities it needs, first at Init, then once the plugins are open.
// dvrcore calls the two operations below, in this order; the steps they take
// are declared in core/testing.h, so that tests reach each one without
// changing the credentials of the test process.
#ifndef DVRCORE_CORE_PRIVILEGES_H
#define DVRCORE_CORE_PRIVILEGES_H

#include <cstdint>

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
// logging each thread it could not narrow as a failure (level 100).
void NarrowPrivilegesAtStart();

#endif  // DVRCORE_CORE_PRIVILEGES_H
