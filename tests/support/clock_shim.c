/* clock_shim.so: a wall clock for the core that the test sets (ShiftedClock),
 * preloaded into the core.
 *
 * Every reading of the real-time clock through time or clock_gettime
 * (CLOCK_REALTIME, CLOCK_REALTIME_COARSE) gets the seconds written in the
 * file named by DVRTEST_CLOCK_OFFSET_FILE added. The file is read at every
 * reading, so a test steps the clock by renaming a new file over it; when it
 * cannot be read (descriptors used up, say) the last offset read stays. The
 * monotonic clocks are left alone, as a step of the system clock leaves them.
 *
 * 32-bit targets have two sets of these calls: those of programs built with
 * a 32-bit time_t, and __time64 and __clock_gettime64 for programs built with
 * _TIME_BITS=64. The shim answers both, the old ones as the C library does: a
 * time that does not fit 32 bits fails with EOVERFLOW (time returns -1).
 *
 * DESIGN: no time headers, so that the C library's renaming of these calls
 * under _TIME_BITS=64 cannot touch the definitions here; the layouts are
 * spelled out. Little-endian targets only (x86_64, armhf). Called on any
 * thread: what is shared is read and written with atomic builtins. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

enum { kClockRealtime = 0, kClockRealtimeCoarse = 5 };

/* struct timespec with a 64-bit time_t. On 32-bit targets tv_nsec is 32 bits
 * followed by padding: the low half of `nanoseconds`. */
struct Time64 {
  int64_t seconds;
  int64_t nanoseconds;
};

static int64_t g_lastOffset;

static int64_t Offset(void) {
  const char* path = getenv("DVRTEST_CLOCK_OFFSET_FILE");
  if (path == NULL) return 0;
  char text[32];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
  if (fd >= 0) close(fd);
  if (n <= 0) return __atomic_load_n(&g_lastOffset, __ATOMIC_RELAXED);
  text[n] = '\0';
  const int64_t offset = strtoll(text, NULL, 10);
  __atomic_store_n(&g_lastOffset, offset, __ATOMIC_RELAXED);
  return offset;
}

#if UINTPTR_MAX == 0xffffffff
#define WIDE(name) __##name##64
#define WIDE_NAME(name) "__" #name "64"
#else
#define WIDE(name) name
#define WIDE_NAME(name) #name
#endif

int WIDE(clock_gettime)(int clock, struct Time64* result) {
  static void* next;
  void* function = __atomic_load_n(&next, __ATOMIC_ACQUIRE);
  if (function == NULL) {
    function = dlsym(RTLD_NEXT, WIDE_NAME(clock_gettime));
    if (function == NULL) abort(); /* a shim that did nothing would fake a pass */
    __atomic_store_n(&next, function, __ATOMIC_RELEASE);
  }
  const int status = ((int (*)(int, struct Time64*))function)(clock, result);
  if (status == 0 && (clock == kClockRealtime || clock == kClockRealtimeCoarse)) {
    result->seconds += Offset();
  }
  return status;
}

int64_t WIDE(time)(int64_t* result) {
  struct Time64 now;
  if (WIDE(clock_gettime)(kClockRealtime, &now) != 0) return -1;
  if (result != NULL) *result = now.seconds;
  return now.seconds;
}

#if UINTPTR_MAX == 0xffffffff
struct Time32 {
  int32_t seconds;
  int32_t nanoseconds;
};

int clock_gettime(int clock, struct Time32* result) {
  struct Time64 wide;
  if (__clock_gettime64(clock, &wide) != 0) return -1;
  if (wide.seconds != (int32_t)wide.seconds) {
    errno = EOVERFLOW;
    return -1;
  }
  result->seconds = (int32_t)wide.seconds;
  result->nanoseconds = (int32_t)wide.nanoseconds;
  return 0;
}

int32_t time(int32_t* result) {
  struct Time32 now;
  if (clock_gettime(kClockRealtime, &now) != 0) return -1;
  if (result != NULL) *result = now.seconds;
  return now.seconds;
}
#endif
