// (being written)
#include "core/dvrcore.h"
bool dvrcore::DropPrivileges() { return true; }
