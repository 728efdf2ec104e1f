// (being written)
#include "core/dvrcore.h"
void dvrcore::WritePluginReport() {}
