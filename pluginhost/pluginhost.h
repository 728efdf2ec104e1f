// Plugin host: the layer that loads plugins and hands them events.
//
// What it offers, one header per component:
//   plugin_table.h         PLUGININFO and PluginTable: load, open, close, unload,
//                          delivery to plugins, module names (lifecycle.cpp,
//                          delivery.cpp)
//   discovery.h            plugin files and their order
//   status_report.h        plugins.xml
//   allocation_registry.h  holders of buffers shared with plugins
// The binary interface with plugins is the SDK's pluginhost/plugin.h.
#ifndef DVRCORE_PLUGINHOST_PLUGINHOST_H
#define DVRCORE_PLUGINHOST_PLUGINHOST_H

#include "pluginhost/allocation_registry.h"
#include "pluginhost/discovery.h"
#include "pluginhost/plugin_table.h"
#include "pluginhost/status_report.h"

#endif  // DVRCORE_PLUGINHOST_PLUGINHOST_H
