// Calls a watchdog may report; see call_watch.h.
#include "events/call_watch.h"

__thread WatchedCallSlot* t_watchedCalls = nullptr;
