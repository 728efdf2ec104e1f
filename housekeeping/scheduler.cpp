// (being written)
#include "core/dvrcore.h"
void dvrcore::Scheduler(const boost::system::error_code&) {}
void dvrcore::UpdateThrottling(bool) {}
uint64_t ReadResidentMemory() { return 0; }
