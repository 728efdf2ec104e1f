// The plugin status report: plugins.xml, built once after every plugin has
// been opened, saved in the working directory and published to the plugins.
//
// DESIGN: runs on the main thread once every plugin is open. The plugin table
// and the failed files are written only by the main thread, so they are read
// without a lock. The parent's library comes as a pair the caller copied
// under the parent link's lock: the report shows a consistent pair or none.
// Every text comes from outside the core (file names, loader errors, the
// parent's words) and goes through XmlAttributeText, so that a name that is
// not UTF-8 cannot make the report a document other readers reject.
#include <string>

#include "config/config.h"
#include "events/raise.h"
#include "pluginhost/status_report.h"

namespace {

// Failed files appear with this open code; they were never opened.
constexpr int kFailedPluginOpenCode = 79;

// Numbers are written as signed 32-bit decimals ("%d"): an ID with the top bit
// set comes out negative, the core's own as -2147483648.
TiXmlElement* PluginElement(int32_t id, const std::string& fileName, int32_t loadTimeMs,
                            int32_t openTimeMs, int32_t openCode) {
  auto* plugin = new TiXmlElement("Plugin");
  plugin->SetAttribute("ID", id);
  plugin->SetAttribute("Filename", XmlAttributeText(fileName));
  plugin->SetAttribute("Opened", 1);  // whatever the outcome
  plugin->SetAttribute("LoadTimeMs", loadTimeMs);
  plugin->SetAttribute("OpenTimeMs", openTimeMs);
  plugin->SetAttribute("OpenCode", openCode);
  return plugin;
}

TiXmlElement* ModuleElement(int32_t id, const std::string& name, const std::string& version) {
  auto* module = new TiXmlElement("Module");
  module->SetAttribute("ID", id);
  module->SetAttribute("Name", XmlAttributeText(name));
  module->SetAttribute("Version", XmlAttributeText(version));
  return module;
}

}  // namespace

void WritePluginReport(const std::vector<PLUGININFO>& plugins,
                       const std::map<std::string, std::string>& failedPlugins,
                       const std::string& coreVersion, const std::string& executableName,
                       const std::string& libraryFilename, const std::string& libraryVersion) {
  const auto coreId = static_cast<int32_t>(kCoreSourceId);
  XmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("", "", ""));
  auto* root = new TiXmlElement("Nvrx");
  root->SetAttribute("Delta", 0);
  document.LinkEndChild(root);
  auto* modules = new TiXmlElement("Modules");
  root->LinkEndChild(modules);

  TiXmlElement* coreModule = ModuleElement(coreId, "Core", coreVersion);
  modules->LinkEndChild(coreModule);
  coreModule->LinkEndChild(PluginElement(coreId, executableName, 0, 0, 0));

  // Only the low 32 bits of each time count; the totals wrap like them.
  uint32_t totalLoadTimeMs = 0;
  uint32_t totalOpenTimeMs = 0;
  for (const PLUGININFO& plugin : plugins) {
    const auto loadTimeMs = static_cast<uint32_t>(plugin.loadTimeMs);
    const auto openTimeMs = static_cast<uint32_t>(plugin.openTimeMs);
    coreModule->LinkEndChild(PluginElement(static_cast<int32_t>(plugin.desc.id), plugin.fileName,
                                           static_cast<int32_t>(loadTimeMs),
                                           static_cast<int32_t>(openTimeMs), plugin.openCode));
    totalLoadTimeMs += loadTimeMs;
    totalOpenTimeMs += openTimeMs;
  }
  modules->SetAttribute("TotalLoadTimeMs", static_cast<int32_t>(totalLoadTimeMs));
  modules->SetAttribute("TotalOpenTimeMs", static_cast<int32_t>(totalOpenTimeMs));

  if (!libraryVersion.empty()) {
    auto* library = new TiXmlElement("Library");
    library->SetAttribute("Name", "brevad");
    library->SetAttribute("Filename", XmlAttributeText(libraryFilename));
    library->SetAttribute("Version", XmlAttributeText(libraryVersion));
    coreModule->LinkEndChild(library);
  }

  // Files that could not be mapped, numbered from 1 in file-name order, each
  // with its loader error as the module's version.
  int32_t number = 1;
  for (const auto& [fileName, loaderError] : failedPlugins) {
    modules->LinkEndChild(ModuleElement(number, fileName, loaderError));
    coreModule->LinkEndChild(PluginElement(number, fileName, 0, 0, kFailedPluginOpenCode));
    ++number;
  }

  // Not the safe save with its backup: the report is rewritten at every start
  // and never read back by the core. The plugins get the document either way.
  std::string failure;
  if (!SaveFileReplacing(document, "plugins.xml", failure)) {
    CORE_LOG(kLogFailure, "failed to write plugins.xml: %s", failure.c_str());
  }
  PublishDocument(document, EVENT_CONFIG);
}
