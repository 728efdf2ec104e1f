// The core's privileges: it takes on its parent's user and keeps only the
// capabilities it needs, first at Init, then once the plugins are open.
// dvrcore calls the two operations below, in this order; the steps they take
// are declared in core/testing.h, so that tests reach each one without
// changing the credentials of the test process.
#ifndef DVRCORE_CORE_PRIVILEGES_H
#define DVRCORE_CORE_PRIVILEGES_H

#include <linux/capability.h>

#include <cstdint>

// Capability sets, as the kernel's first 32-bit word of a set holds them.
constexpr uint32_t CapabilityBit(int capability) { return uint32_t{1} << capability; }
// Kept once the plugins are open: network configuration and raw sockets.
constexpr uint32_t kCapsAfterStart = CapabilityBit(CAP_NET_ADMIN) | CapabilityBit(CAP_NET_RAW);
// Kept after Init, while plugins load and open: those, and raw I/O.
constexpr uint32_t kCapsAfterInit = kCapsAfterStart | CapabilityBit(CAP_SYS_RAWIO);
// Pinned: the manual and the plugin guide name these sets, and a header that
// numbered a capability differently would change what the core may do.
static_assert(kCapsAfterInit == 0x23000 && kCapsAfterStart == 0x3000,
              "the capability sets the core keeps");

// Main thread, Init, before any other thread exists and before any plugin
// code runs: umask 077, SECBIT_NO_SETUID_FIXUP, DropPrivileges, then
// ReserveNarrowingSignal. False after a logged failure of DropPrivileges.
bool LimitPrivilegesAtInit();
// Main thread, Start, once every plugin is open: unless the core runs as
// root, narrows this thread and then every other one to kCapsAfterStart,
// logging each thread it could not narrow as a failure (level 100).
void NarrowPrivilegesAtStart();

#endif  // DVRCORE_CORE_PRIVILEGES_H
