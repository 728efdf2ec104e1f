// The child that inspects one plugin file, and the intermediate process
// above it; see inspect_child.h and DESIGN in dvrcore_inspect.cpp.
#include "tools/inspect_child.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "core/core.h"
#include "tools/inspect_findings.h"
#include "tools/inspect_json.h"
#include "tools/inspect_masks.h"
#include "tools/inspect_protocol.h"

namespace fs = boost::filesystem;

namespace dvrinspect {

namespace {

// A core object that is never started. Every log event ends in Log, so
// overriding it hands the core's messages (and the plugins' log lines) to the
// findings instead of the terminal-only console and syslog.
class InspectorCore : public dvrcore {
 public:
  InspectorCore(const std::string& executablePath, Findings& findings)
      : dvrcore(executablePath), findings_(findings) {
    Table().AddName(kCoreSourceId, "core");
  }

  // The core's own plugin table, never filled: files only pass through it.
  PluginTable& Table() { return CoreControl::PartsOf(*this).plugins; }

  // Any thread.
  void Log(uint32_t sourceId, unsigned level, const char* text) override {
    if (text != nullptr) findings_.Message(sourceId, level, text);
  }

 private:
  Findings& findings_;
};

// What the ID means to the core beyond naming the plugin; empty for none.
std::string IdRemark(InspectorCore& core, PluginAdmission outcome, uint32_t id) {
  if (id == kCoreSourceId) return "reserved: taken by the core";
  if (outcome == PluginAdmission::kIdTaken) {
    return "clashes with an earlier file: " + core.Table().NameOf(id);
  }
  if (id == PLUGIN_ID_FIRST) return "reserved: placed first in the plugin table";
  if (id == PLUGIN_ID_NEVER_UNMAP) return "reserved: never unmapped";
  return "";
}

void ReportDescription(InspectorCore& core, Findings& findings, PluginAdmission outcome,
                       const _LoadParmsOut& desc) {
  const std::string remark = IdRemark(core, outcome, desc.id);
  findings.Add("id", "  id: " + Hex(desc.id) + (remark.empty() ? "" : " (" + remark + ")"),
               std::to_string(desc.id));
  findings.Member("idHex", "\"" + Hex(desc.id) + "\"");
  if (!remark.empty()) findings.Member("idRemark", JsonString(remark));

  std::vector<std::string> masks;
  for (size_t i = 0; i < EVENT_CLASS_COUNT; i++) {
    MaskDescription mask = DescribeMask(i, desc.eventMasks[i]);
    findings.Line(mask.line);
    masks.push_back(std::move(mask.json));
  }
  findings.Member("masks", JsonArray(masks));

  findings.Add("wantsWorker", "  wantsWorker: " + std::to_string(desc.wantsWorker),
               std::to_string(desc.wantsWorker));
  if (desc.wantsWorker) findings.Line("  worker thread: requested (not started by the inspector)");
  findings.Add("wantsReader", "  wantsReader: " + std::to_string(desc.wantsReader),
               std::to_string(desc.wantsReader));
  findings.Add("acceptsWrites", "  acceptsWrites: " + std::to_string(desc.acceptsWrites),
               std::to_string(desc.acceptsWrites));
  // The core logs the same when it loads the plugin; here it is a remark on
  // what the description asks for.
  const std::string unmasked = UnmaskedRemark(desc);
  if (!unmasked.empty()) {
    findings.Add("masksWarning", "  warning: " + unmasked, JsonString(unmasked));
  }
  findings.Add("error", "  error: " + std::to_string(desc.error), std::to_string(desc.error));
}

// Takes one file through the core's own admission step and back out, printing
// what it learns; reports to `reportFd` as it goes. `names` are the module
// names of the files admitted before it.
void InspectFile(const std::string& executablePath, const std::map<uint32_t, std::string>& names,
                 const fs::path& path, int reportFd, Findings& findings) {
  InspectorCore core(executablePath, findings);
  for (const auto& [id, name] : names) core.Table().AddName(id, name);

  PLUGININFO plugin;
  const PluginAdmission outcome = core.Table().Admit(path, plugin);
  ReportAdmission(reportFd, outcome, plugin.desc.id,
                  outcome == PluginAdmission::kAdmitted ? core.Table().NameOf(plugin.desc.id) : "");
  const bool maps = outcome != PluginAdmission::kNotMapped;
  findings.Add("maps", maps ? "  maps: yes" : "  maps: no", JsonBool(maps));
  if (!maps) return;

  std::string exported, missing;
  std::vector<std::string> exportedJson, missingJson;
  for (const EntrySlot& slot : kEntrySlots) {
    const bool present = plugin.*slot.member != nullptr;
    (present ? exported : missing) += std::string(" ") + EntryName(slot.value);
    (present ? exportedJson : missingJson).push_back(JsonString(EntryName(slot.value)));
  }
  findings.Add("exports", "  exports:" + (exported.empty() ? " none" : exported),
               JsonArray(exportedJson));
  findings.Add("missing", "  missing:" + (missing.empty() ? " none" : missing),
               JsonArray(missingJson));

  if (outcome == PluginAdmission::kNoLoad) return;
  // A refused description is not shown: the core never looks at it.
  if (outcome != PluginAdmission::kLoadFailed) {
    ReportDescription(core, findings, outcome, plugin.desc);
  }
  findings.Add("loadTimeMs", "  load time: " + std::to_string(plugin.loadTimeMs) + " ms",
               std::to_string(plugin.loadTimeMs));
  if (outcome == PluginAdmission::kAdmitted) PluginTable::Unload(plugin);
}

// The child's whole life: it never returns. `recordFd` is the memory file
// for JSON records, or -1 for the text report.
[[noreturn]] void RunChild(const std::string& executablePath,
                           const std::map<uint32_t, std::string>& names, const fs::path& path,
                           int reportFd, int recordFd, pid_t parent, const sigset_t& plainMask) {
  sigprocmask(SIG_SETMASK, &plainMask, nullptr);
  // A child must not outlive the tool (killed from outside, say, while a
  // plugin hangs). The parent may have died before the request took effect;
  // then the child has been handed to another process already.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  // A session and process group of its own: a plugin that signals its group
  // reaches itself (and what it started), not the tool.
  setsid();
  // Whatever a plugin prints itself stays out of the JSON document.
  if (recordFd >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
  // Not destroyed by exit below, so still there for a plugin's thread that
  // logs while the process ends.
  Findings findings(recordFd);
  InspectFile(executablePath, names, path, reportFd, findings);
  WriteRecord(reportFd, std::string(1, kEndRecord));
  // exit, not _exit: the libraries still mapped (ID 0x00470000) run their
  // destructors at exit, as in the core; stdout is flushed.
  std::exit(0);
}

}  // namespace

// The intermediate process (see DESIGN): starts the child, waits for it and
// relays how it ended; it never returns. Runs no plugin code.
[[noreturn]] void RunIntermediate(const std::string& executablePath,
                                  const std::map<uint32_t, std::string>& names,
                                  const fs::path& path, int reportFd, int recordFd, int relayFd,
                                  pid_t tool, const sigset_t& plainMask) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != tool) _exit(1);
  const pid_t self = getpid();
  const pid_t child = fork();
  Relay relay;
  relay.forkError = errno;
  if (child == 0) {
    close(relayFd);  // the plugin has no business with it
    RunChild(executablePath, names, path, reportFd, recordFd, self, plainMask);
  }
  if (child > 0) {
    relay.forkError = 0;
    while (waitpid(child, &relay.status, 0) < 0 && errno == EINTR) {
    }
  }
  ssize_t ignored = write(relayFd, &relay, sizeof relay);  // the tool sees a missing relay
  (void)ignored;
  _exit(0);
}

}  // namespace dvrinspect
