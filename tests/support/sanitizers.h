// Which sanitizer a test binary was built with, for GCC (__SANITIZE_*) and
// clang (__has_feature) alike.
#ifndef DVRCORE_TESTS_SUPPORT_SANITIZERS_H
#define DVRCORE_TESTS_SUPPORT_SANITIZERS_H

namespace dvrtest {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_SUPPORT_SANITIZERS_H
