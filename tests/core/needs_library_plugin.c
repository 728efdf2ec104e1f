/* A plugin whose Load needs a library of its own (libdvrplugdep.so), found
 * only through the core's run-time search path: the plugin has none. The core
 * skips the entries it does not export. */
#include "pluginhost/plugin.h"

unsigned PluginDependencyId(void);

int32_t Load(void* request, void* result)
{
    _LoadParmsOut* out = (_LoadParmsOut*)result;
    (void)request;
    out->id = PluginDependencyId();
    return 0;
}
