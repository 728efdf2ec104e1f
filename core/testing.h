// What tests see of the core's privilege steps beyond the interface the core
// uses (core/privileges.h).
#ifndef DVRCORE_CORE_TESTING_H
#define DVRCORE_CORE_TESTING_H

#include <cstdint>
#include <string>

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
