// Housekeeping: the periodic work of the core.
//
// What it offers, one header per component:
//   scheduler.h  the scheduler tick: clock-jump reports, memory measurement
//                and the throttling state
#ifndef DVRCORE_HOUSEKEEPING_HOUSEKEEPING_H
#define DVRCORE_HOUSEKEEPING_HOUSEKEEPING_H

#include "housekeeping/scheduler.h"

#endif  // DVRCORE_HOUSEKEEPING_HOUSEKEEPING_H
