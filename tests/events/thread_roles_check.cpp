// Compiled by thread_roles_check.cmake, never run: as written it must compile,
// and with each WRONG_* macro clang's analysis must refuse it, so a member
// that one thread owns cannot be touched from another without a failed build.
#include "events/locks.h"

namespace {

struct IoState {
  int pending GUARDED_BY(g_ioThread) = 0;
};

void OnTick(IoState& state) REQUIRES(g_ioThread) { ++state.pending; }

[[maybe_unused]] void IoHandler(IoState& state) {
  RunsOn io(g_ioThread);
  OnTick(state);
}

[[maybe_unused]] void MainStep(IoState& state) {
  AssertOnThread(g_mainThread);
#if defined(WRONG_ROLE_TOUCHES)
  ++state.pending;
#elif defined(WRONG_ROLE_CALLS)
  OnTick(state);
#else
  (void)state;
#endif
}

#if defined(NO_ROLE_TOUCHES)
[[maybe_unused]] int Anywhere(IoState& state) { return state.pending; }
#endif

}  // namespace
