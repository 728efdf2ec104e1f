// Helpers of the privilege drop that do not need a core object, split out so
// that tests reach them without changing the credentials of the test process.
#ifndef DVRCORE_CORE_PRIVILEGES_H
#define DVRCORE_CORE_PRIVILEGES_H

#include <cstdint>
#include <string>
#include <vector>

// The real user ID from the text of a /proc/<pid>/status file: the first
// number of the first line that matches "Uid: %u"; 0 when no line does.
uint32_t ParentUidFromStatus(const std::string& text);

// ParentUidFromStatus of the file at `path`; 0 when it cannot be read.
uint32_t ReadStatusUid(const std::string& path);

// Sets the effective and permitted capability sets of the calling process to
// `mask` (capabilities 0-31) and clears the inheritable set and capabilities
// 32 and above. Returns 0 or the errno of the failed capset call; logs nothing.
int ApplyCapabilities(uint32_t mask);

// A thread NarrowOtherThreads could not narrow, and why.
struct UnnarrowedThread {
  long tid;
  const char* reason;
};

// Capability sets belong to threads: capset changes only the caller's.
// Narrows every other thread of the process, those of plugins included, to at
// most `mask` (effective and permitted; inheritable and capabilities 32 and
// above cleared), by a signal that each thread answers with capset on
// itself. Never raises a capability. Returns the threads it could not reach:
// those that block every free real-time signal or did not answer within the
// bound. Logs nothing.
std::vector<UnnarrowedThread> NarrowOtherThreads(uint32_t mask);

#endif  // DVRCORE_CORE_PRIVILEGES_H
