/*
 * A plugin file without Load, for the tests of files that map but cannot be
 * loaded. Its Open calls FlatPluginEvent by name, so it maps only in a
 * program that exports that symbol to plugins, as the core does.
 */
#include "pluginhost/plugin.h"

int32_t Open(void* request, void* result)
{
    return FlatPluginEvent((_EventParmsIn*)request, (_EventParmsOut*)result);
}
