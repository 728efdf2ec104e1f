// The plugin status report, plugins.xml.
#ifndef DVRCORE_PLUGINHOST_STATUS_REPORT_H
#define DVRCORE_PLUGINHOST_STATUS_REPORT_H

#include <map>
#include <string>
#include <vector>

#include "pluginhost/plugin_table.h"

// Builds plugins.xml from the records of the table (`plugins`, in table
// order, and the files that could not be mapped), saves it in the working
// directory and publishes it (main thread, once every plugin is open).
// `executableName` names the core's own file; the parent's library appears
// when `libraryVersion` is not empty.
void WritePluginReport(const std::vector<PLUGININFO>& plugins,
                       const std::map<std::string, std::string>& failedPlugins,
                       const std::string& coreVersion, const std::string& executableName,
                       const std::string& libraryFilename, const std::string& libraryVersion);

#endif  // DVRCORE_PLUGINHOST_STATUS_REPORT_H
