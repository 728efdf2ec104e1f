// The machinery events travel through inside the core: raising (the core's
// own log lines included), calling plugin entries, the main loop's queue, the
// reply slots of event threads, and the threads the core lends plugins.
//
// This is the bottom layer of the core's event handling, above only sys/ (the
// operating system's part, sys/sys.h): it knows the event records and nothing of the plugin table, the parent link or the core object. The
// dispatch that decides what happens to a raised event sits above it and is
// reached through FlatPluginEvent once it has registered (SetEventDispatch).
//
// DESIGN (threads and locks): each component owns its lock and says which
// threads touch it. Locks are never held while plugin code runs. The order in
// which the core's locks may be nested is written once, in events/locks.h.
#ifndef DVRCORE_EVENTS_MACHINERY_H
#define DVRCORE_EVENTS_MACHINERY_H

#include "events/call_watch.h"     // WatchedCall: calls a watchdog may report
#include "events/events.h"         // the event records (SDK)
#include "events/figures.h"        // PluginFigures, TimedCall: what each plugin does
#include "events/locks.h"          // the annotated locks and their order
#include "events/names.h"          // entries, figure families and labels, named once
#include "events/plugin_call.h"    // CallPluginEntry, IoctlCall
#include "events/plugin_threads.h" // PluginActivity, worker, reader and event threads
#include "events/raise.h"          // FlatPluginEvent's dispatch, CORE_LOG, NewRecord
#include "events/reply_slots.h"    // ReplySlots
#include "events/request_queue.h"  // RequestQueue

#endif  // DVRCORE_EVENTS_MACHINERY_H
