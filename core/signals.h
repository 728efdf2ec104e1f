// The core process's signal handlers: the three stop signals, and SIGPIPE
// and SIGXFSZ, which a plugin's write to a closed peer or past a file size
// limit must not turn into the end of every plugin.
//
// DESIGN: one handler for all five, installed once in Init and never taken
// away, so that from then on to the process's exit no stop signal can kill
// the core, whatever threads plugins leave behind. A handler, not SIG_IGN:
// an ignored disposition would survive exec into every helper a plugin
// starts (a shell pipeline under an ignored SIGPIPE never ends), while a
// handler is reset by exec. The handler checks the process ID first: a
// plugin's helper forked without exec inherits it, and there the signal
// takes its default action, as if the core had never been in that process.
// A helper made with clone(CLONE_VM) may share the core's signal table too
// (CLONE_SIGHAND): resetting a disposition there would reset it for the
// core, and the next broken pipe of a plugin would end the core. So a
// process that shares the core's signal table never touches a disposition:
// a stop signal ends it with exit status 128 + the signal, as a shell
// reports a death by that signal, and SIGPIPE and SIGXFSZ fail the call as
// in the core. The kernel says whether the table is shared (kcmp); where it
// will not say (a helper that changed its user, so that it may no longer
// inspect the core), a process that shares the core's memory is taken to
// share the table as well, and a forked copy is told by its memory: a page
// the kernel wipes in copies (MADV_WIPEONFORK) holds a marker, and fork()
// notes the child's ID in the child (pthread_atfork), for kernels and
// emulators that ignore the advice.
// In the core, the first stop signal makes an eventfd readable, which the
// I/O thread watches; every later one does nothing. SIGPIPE and SIGXFSZ do
// nothing either: the call that raised them fails with EPIPE or EFBIG.
#ifndef DVRCORE_CORE_SIGNALS_H
#define DVRCORE_CORE_SIGNALS_H

#include <signal.h>

// The signals that stop the core, and the same as a set.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGQUIT};
sigset_t StopSignals();

// Main thread, Init, before the first of the core's handlers is installed:
// takes this process as the core's. Again in a forked child that becomes a
// core itself (tests); otherwise once.
void MarkCoreProcess();

// Async-signal-safe; asked first by every handler the core installs. False
// in the core's process. In any other (a plugin's helper made without exec)
// the signal has been dealt with as described above, and the handler must
// return at once.
bool DealtWithOutsideTheCore(int signal);

// Main thread, Init, before any plugin code runs; once per process. Installs
// the handlers and returns a new close-on-exec descriptor that becomes
// readable at the first stop signal, the caller's to keep or close (the
// handler writes to a descriptor of its own, open until the process exits).
// -1 with errno when no descriptor can be made; then nothing is installed.
int CatchSignals();

// Process entry, on the main thread, before any plugin is loaded; once per
// process. Takes this process as the core's and installs the report of a
// fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT): the thread, the
// plugin entry it was in and the faulting addresses go to the log, then the
// signal acts as without a handler (see fatal_signals.cpp). In a helper a
// plugin made without exec it acts as absent. Nothing is installed under
// AddressSanitizer or ThreadSanitizer, whose own reports are wanted.
void ReportFatalSignals();

#endif  // DVRCORE_CORE_SIGNALS_H
