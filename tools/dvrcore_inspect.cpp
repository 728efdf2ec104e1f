// dvrcore-inspect: tells a plugin author what the core would make of plugin
// files, without running a core.
//
//   dvrcore-inspect [--timeout SECONDS] [--json] [--core FOLDER] [<file-or-directory>...]
//
// It prints the order in which the core would load the files (directories are
// scanned for ".so" files the way the core scans its plugin directories; the
// folder of a core stands for its two plugin folders, found and ordered by
// the core's own discovery; files are taken as given; the whole list is
// sorted with the core's order), then for each file: whether it maps, which
// of the eight entries it exports, and, after its Load, its self-description
// with the event masks spelt in the SDK's names. The core's own messages for
// rejected files appear as the core words them. A file that ends the process
// (exit, a crash) or does not return within the time limit is reported as
// such. Exit status: 0 when every file loaded and every directory could be
// read, 1 otherwise, 2 for a usage error.
//
// DESIGN: each file is inspected in a child process of its own, so that a
// plugin that exits, crashes or hangs in Load costs only its own verdict: the
// parent waits for the child at most the time limit (SIGCHLD blocked and
// taken with sigtimedwait), kills it with SIGKILL after that, and goes on
// with the next file. A plugin may also signal its process group or its
// parent, as a plugin written for a core that is its parent's child might:
// the child runs in a session of its own, and between the tool and the child
// stands an intermediate process that only waits for the child and relays
// its wait status through a pipe. A plugin that signals its parent ends the
// intermediate instead of the tool; the tool, finding no relayed status,
// says so in the verdict. Each process dies with the one above it
// (PR_SET_PDEATHSIG), so killing the intermediate at the time limit ends the
// child too. Blocking or catching signals in the tool instead would leave
// SIGKILL and SIGSTOP, which no process can catch, reaching it. The parent
// itself never maps a plugin and stays single threaded, so that fork is safe.
// The child builds a core object that is never started and takes the file
// through the core's own admission step
// (PluginTable::Admit: dlopen with RTLD_NOW, the eight look-ups, Load, the ID
// check), then through its unloading step (Unload, dlclose). Open and Close
// are never called and no worker or reader thread is started. A plugin's
// events raised from Load go through the real dispatch: log lines reach the
// Log override below, queued events stay in the unstarted core's queue until
// it is destroyed, packets for the parent are refused (no link). The child
// prints its findings itself (line-buffered, so they survive its end) and
// reports through a pipe how far it got and, for an admitted file, its ID and
// module name: the parent hands the names of the files admitted so far to
// each later child, whose ID check then sees them as the core would. The
// tool resolves FlatPluginEvent and the core's virtual table for the plugins
// the same way the executable does (linked with exports, see
// tools/CMakeLists.txt).
//
// The JSON pieces are in inspect_json.h, the child's report records in
// inspect_protocol.h.
//
// With --json the report is one JSON document on stdout. A child then writes
// its findings as records ("key<TAB>JSON value<LF>", each written whole
// under a lock) into an anonymous memory file rather than on stdout, and the
// parent puts each file's object together once the child has ended: a record
// cut short by the child's end lacks its newline and is dropped, so the
// document stays well-formed whatever the plugin does. A file, unlike a pipe, never blocks a plugin that logs a lot
// while the parent waits; the messages a child records are capped instead.
// What plugins print on stdout themselves goes to stderr then.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "core/core.h"
#include "dvrcore_version.h"
#include "tools/inspect_json.h"
#include "tools/inspect_protocol.h"

namespace fs = boost::filesystem;

namespace {

using dvrinspect::ChildReport;
using dvrinspect::Hex;
using dvrinspect::JsonArray;
using dvrinspect::JsonBool;
using dvrinspect::JsonString;
using dvrinspect::kEndRecord;
using dvrinspect::ParseReport;
using dvrinspect::ReportAdmission;
using dvrinspect::WriteRecord;

const char kUsage[] =
    "usage: dvrcore-inspect [--timeout SECONDS] [--json] [--core FOLDER] [<file-or-directory>...]\n"
    "       dvrcore-inspect --version | --help\n"
    "Shows the order in which the core would load the given plugin files (and the\n"
    "\".so\" files of the given directories, and those of the plugin folders of the\n"
    "core installed in FOLDER), and what each file exports and reports from its\n"
    "Load, with its event masks spelt in the SDK's names. Open and Close are never\n"
    "called and no thread is started. Each file is inspected in a process of its\n"
    "own, which is killed when it has not finished within the timeout (default\n"
    "30 s). --json prints the report as one JSON document. --version prints the\n"
    "version of the core it belongs to. Exit status: 0 when every file loaded and\n"
    "every directory could be read, 1 otherwise, 2 for a usage error.\n";

constexpr int kUsageStatus = 2;
constexpr unsigned kDefaultTimeoutSeconds = 30;
constexpr unsigned kMaxTimeoutSeconds = 86400;

// ---- Event masks in the SDK's names -------------------------------------------------

// The names plugin authors write, built from the SDK's constants themselves:
// the nine class bits in the order of the masks, then the event flags that
// the core gives a meaning.
struct EventName {
  uint32_t value;
  const char* name;
};
#define DVRCORE_EVENT_NAME(constant) EventName{static_cast<uint32_t>(constant), #constant}
constexpr EventName kEventNames[] = {
    DVRCORE_EVENT_NAME(EVENT_CLASS1),    DVRCORE_EVENT_NAME(EVENT_CLASS2),
    DVRCORE_EVENT_NAME(EVENT_CLASS3),    DVRCORE_EVENT_NAME(EVENT_CLASS4),
    DVRCORE_EVENT_NAME(EVENT_CLASS5),    DVRCORE_EVENT_NAME(EVENT_CLASS6),
    DVRCORE_EVENT_NAME(EVENT_LOG),       DVRCORE_EVENT_NAME(EVENT_CLASS8),
    DVRCORE_EVENT_NAME(EVENT_CLASS9),    DVRCORE_EVENT_NAME(EVENT_FLAG_TEXT),
    DVRCORE_EVENT_NAME(EVENT_FLAG_XML),  DVRCORE_EVENT_NAME(EVENT_FLAG_CORE)};
#undef DVRCORE_EVENT_NAME
constexpr size_t kFirstFlagName = EVENT_CLASS_COUNT;  // the flags follow the classes
static_assert(std::size(kEventNames) > kFirstFlagName);

// Class i is matched against mask i, and the class bits rise with i.
constexpr bool ClassesInMaskOrder() {
  for (size_t i = 1; i < kFirstFlagName; i++) {
    if (kEventNames[i].value <= kEventNames[i - 1].value) return false;
  }
  return true;
}
static_assert(ClassesInMaskOrder(), "the class names are those of masks 1 to 9, in order");

// The two ways an event's flags become the key its class's mask is matched
// against: the SDK's own derivations.
struct DeliveryPath {
  const char* name;
  uint32_t (*key)(uint32_t eventFlags);
};
const DeliveryPath kDeliveryPaths[] = {{"queued", EventQueuedKey},
                                       {"immediate", EventImmediateKey}};

// What one mask selects on one delivery path. Both derivations work bit by
// bit, so a flag bit passes the mask on its own or never; an event is
// selected when each of its flag bits passes.
struct MaskSelection {
  uint32_t flags = 0;     // the flag bits that pass, among those that count
  uint32_t counting = 0;  // the flag bits the key keeps (the others never matter)
  uint32_t unused = 0;    // the mask's bits that no key on this path ever has

  bool Any() const { return flags == counting; }
};

MaskSelection SelectionOf(uint32_t mask, const DeliveryPath& path) {
  MaskSelection selection;
  selection.unused = mask;
  for (unsigned bit = 0; bit < 32; bit++) {
    const uint32_t key = path.key(uint32_t{1} << bit);
    if (key == 0) continue;
    selection.counting |= uint32_t{1} << bit;
    selection.unused &= ~key;
    if ((key & ~mask) == 0) selection.flags |= uint32_t{1} << bit;
  }
  return selection;
}

// The SDK names of the flag bits in `flags`, then what is left as one
// hexadecimal value.
std::vector<std::string> FlagNames(uint32_t flags) {
  std::vector<std::string> names;
  for (size_t i = kFirstFlagName; i < std::size(kEventNames); i++) {
    if ((flags & kEventNames[i].value) == kEventNames[i].value) {
      names.push_back(kEventNames[i].name);
      flags &= ~kEventNames[i].value;
    }
  }
  if (flags != 0) names.push_back(Hex(flags));
  return names;
}

// "queued: flags within EVENT_FLAG_TEXT|0x00000100 (mask bits 0x01000000 in no key)"
std::string SelectionText(const DeliveryPath& path, const MaskSelection& selection) {
  std::string text = std::string(path.name) + ": ";
  if (selection.Any()) return text + "any flags";
  if (selection.flags == 0) {
    text += "no flags";
  } else {
    text += "flags within ";
    const std::vector<std::string> names = FlagNames(selection.flags);
    for (size_t i = 0; i < names.size(); i++) text += (i ? "|" : "") + names[i];
  }
  if (selection.unused != 0) text += " (mask bits " + Hex(selection.unused) + " in no key)";
  return text;
}

std::string SelectionJson(const MaskSelection& selection) {
  std::vector<std::string> names;
  for (const std::string& name : FlagNames(selection.flags)) names.push_back(JsonString(name));
  return "{\"any\": " + JsonBool(selection.Any()) + ", \"flags\": " +
         std::to_string(selection.flags) + ", \"flagsHex\": \"" + Hex(selection.flags) +
         "\", \"flagNames\": " + JsonArray(names) + ", \"unusedBits\": " +
         std::to_string(selection.unused) + ", \"unusedBitsHex\": \"" + Hex(selection.unused) +
         "\"}";
}

// ---- What a child finds -------------------------------------------------------------

// Where a child puts what it learns: lines on stdout for a person, or records
// for the parent's JSON document (see DESIGN). Any thread: a plugin may log
// from threads of its own.
class Findings {
 public:
  // `recordFd` is the memory file for JSON records, or -1 for text.
  explicit Findings(int recordFd) : recordFd_(recordFd) {}

  bool Json() const { return recordFd_ >= 0; }
  // A line of the text report only.
  void Line(const std::string& line) {
    if (!Json()) std::printf("%s\n", line.c_str());  // one printf per line: no interleaving
  }
  // A member of the file's JSON object only.
  void Member(const char* key, const std::string& json) {
    if (!Json()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Record(key, json);
  }
  // One fact in both forms.
  void Add(const char* key, const std::string& line, const std::string& json) {
    Line(line);
    Member(key, json);
  }

  // A message raised through the dispatch: the core's own, or a plugin's log.
  void Message(uint32_t sourceId, unsigned level, const char* text) {
    if (!Json()) {
      if (sourceId == kCoreSourceId) {
        std::printf("  %s\n", text);
      } else {
        std::printf("  log from 0x%08lX level %u: %s\n", static_cast<unsigned long>(sourceId),
                    level, text);
      }
      return;
    }
    const std::string json = "{\"sourceId\": " + std::to_string(sourceId) +
                             ", \"sourceIdHex\": \"" + Hex(sourceId) + "\", \"level\": " +
                             std::to_string(level) + ", \"text\": " + JsonString(text) + "}";
    std::lock_guard<std::mutex> lock(mutex_);
    if (messageBytes_ + json.size() > kMaxMessageBytes) {
      if (!truncated_) Record("messagesTruncated", "true");
      truncated_ = true;
      return;
    }
    messageBytes_ += json.size();
    Record("message", json);
  }

  // The key of the records that the parent gathers into "messages".
  static constexpr const char* kMessageKey = "message";
  // At most this many bytes of messages are recorded (1 MiB); the rest is
  // dropped and said to be.
  static constexpr size_t kMaxMessageBytes = 1 << 20;

 private:
  void Record(const char* key, const std::string& json) {
    const std::string record = std::string(key) + '\t' + json + '\n';
    // Whole or, when the child ends half way, cut off before its newline: the
    // parent drops a record without one.
    for (size_t done = 0; done < record.size();) {
      const ssize_t n = write(recordFd_, record.data() + done, record.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  const int recordFd_;
  std::mutex mutex_;                // guards the two below and the file's offset
  size_t messageBytes_ = 0;         // recorded so far; any thread, under mutex_
  bool truncated_ = false;          // any thread, under mutex_
};

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
    const uint32_t mask = desc.eventMasks[i];
    std::string line = "  mask " + std::to_string(i + 1) + " " + kEventNames[i].name + " " +
                       Hex(mask) + ":";
    std::string json = "{\"mask\": " + std::to_string(i + 1) + ", \"class\": \"" +
                       kEventNames[i].name + "\", \"classBit\": " +
                       std::to_string(kEventNames[i].value) + ", \"value\": " +
                       std::to_string(mask) + ", \"hex\": \"" + Hex(mask) + "\"";
    for (size_t p = 0; p < std::size(kDeliveryPaths); p++) {
      const MaskSelection selection = SelectionOf(mask, kDeliveryPaths[p]);
      line += (p ? "; " : " ") + SelectionText(kDeliveryPaths[p], selection);
      json += std::string(", \"") + kDeliveryPaths[p].name + "\": " + SelectionJson(selection);
    }
    findings.Line(line);
    masks.push_back(json + "}");
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

// ---- The child ----------------------------------------------------------------------

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

// What the intermediate process relays to the tool: why it could not start
// the child, or the child's wait status. Written with one write(2).
struct Relay {
  int forkError = 0;
  int status = 0;
};

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

// ---- The parent ---------------------------------------------------------------------

// Waits for `pid` until `deadline`; true once it has been reaped. SIGCHLD is
// blocked, so it stays pending for sigtimedwait.
bool WaitForChild(pid_t pid, const sigset_t& childSignal,
                  std::chrono::steady_clock::time_point deadline, int& status) {
  for (;;) {
    pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return true;
    if (reaped < 0 && errno != EINTR) {
      status = 0;  // cannot happen for our own child; do not wait forever
      return true;
    }
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    timespec wait{static_cast<time_t>(seconds.count()),
                  static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    sigtimedwait(&childSignal, nullptr, &wait);
  }
}

// Everything the child wrote; the pipe is non-blocking, as a process that a
// plugin forked may still hold its end.
std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[512];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return bytes;
    }
  }
}

std::string Verdict(PluginAdmission outcome) {
  switch (outcome) {
    case PluginAdmission::kAdmitted:
      return "loaded";
    case PluginAdmission::kNotMapped:
      return "rejected (does not map)";
    case PluginAdmission::kNoLoad:
      return "rejected (no Load)";
    case PluginAdmission::kLoadFailed:
      return "rejected (Load failed)";
    case PluginAdmission::kIdTaken:
      return "rejected (ID already loaded)";
  }
  return "rejected";
}

// How far a child that did not end normally got, for its verdict.
const char* Stage(const ChildReport& report) {
  if (!report.outcome) return "while loading";
  if (report.ended) return "at exit";
  return *report.outcome == PluginAdmission::kAdmitted ? "in Unload" : "after loading";
}

std::string SignalName(int signal) {
  std::string text = "signal " + std::to_string(signal);
  if (const char* name = sigabbrev_np(signal)) text += std::string(" (SIG") + name + ")";
  return text;
}

std::string SignalText(int signal) { return "killed by " + SignalName(signal); }

// The records a child left in the memory file `fd`, at most `limit` bytes
// (a plugin's own child may still hold the file and write on).
std::string ReadRecords(int fd, size_t limit) {
  std::string bytes;
  char buffer[4096];
  while (bytes.size() < limit) {
    const ssize_t n = pread(fd, buffer, std::min(sizeof buffer, limit - bytes.size()),
                            static_cast<off_t>(bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

// The JSON object of one file: its name and path, the messages, the other
// members in the order the child recorded them, and the verdict.
std::string FileObject(const fs::path& path, const std::string& records,
                       const std::string& verdict) {
  std::vector<std::string> messages;
  std::string members;
  size_t at = 0;
  for (size_t end; (end = records.find('\n', at)) != std::string::npos; at = end + 1) {
    const size_t tab = records.find('\t', at);
    if (tab == std::string::npos || tab > end) continue;
    const std::string key(records, at, tab - at);
    std::string value(records, tab + 1, end - tab - 1);
    if (key == Findings::kMessageKey) {
      messages.push_back(std::move(value));
    } else {
      members += ", " + JsonString(key) + ": " + value;
    }
  }
  return "{\"file\": " + JsonString(path.filename().native()) + ", \"path\": " +
         JsonString(path.native()) + ", \"messages\": " + JsonArray(messages) + members +
         ", \"result\": " + JsonString(verdict) + ", \"loaded\": " + JsonBool(verdict == "loaded") +
         "}";
}

struct Inspector {
  std::string executablePath;
  unsigned timeoutSeconds = kDefaultTimeoutSeconds;
  bool json = false;         // the report as one JSON document
  size_t filesReported = 0;  // JSON: objects printed so far, for their separators
  sigset_t childSignal;  // SIGCHLD, blocked in the parent
  sigset_t plainMask;    // the mask the tool started with, for the children
  // Module names of the files admitted so far, by ID (with the core's own).
  std::map<uint32_t, std::string> names{{kCoreSourceId, "core"}};

  // Inspects one file in a child process and prints its verdict; true when
  // the core would admit it.
  bool Inspect(const fs::path& path) {
    if (!json) std::printf("\n%s\n  path: %s\n", path.filename().c_str(), path.c_str());
    int records = -1;
    if (json && (records = memfd_create("dvrcore-inspect", MFD_CLOEXEC)) < 0) {
      return CannotInspect(path, "memfd_create", errno);
    }
    int report[2], relay[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
      const int pipeError = errno;
      if (records >= 0) close(records);
      return CannotInspect(path, "pipe", pipeError);
    }
    if (pipe2(relay, O_CLOEXEC) != 0) {
      const int pipeError = errno;
      close(report[0]);
      close(report[1]);
      if (records >= 0) close(records);
      return CannotInspect(path, "pipe", pipeError);
    }
    std::fflush(stdout);  // nothing buffered may be printed twice
    const pid_t parent = getpid();
    const pid_t child = fork();  // the intermediate process
    const int forkError = errno;
    if (child == 0) {
      close(report[0]);
      close(relay[0]);
      RunIntermediate(executablePath, names, path, report[1], records, relay[1], parent,
                      plainMask);
    }
    close(report[1]);
    close(relay[1]);
    if (child < 0) {
      close(report[0]);
      close(relay[0]);
      if (records >= 0) close(records);
      return CannotInspect(path, "fork", forkError);
    }
    fcntl(report[0], F_SETFL, O_NONBLOCK);
    fcntl(relay[0], F_SETFL, O_NONBLOCK);

    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    const bool finished = WaitForChild(child, childSignal, deadline, status);
    if (!finished) {
      kill(child, SIGKILL);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    }
    const ChildReport got = ParseReport(ReadAll(report[0]));
    close(report[0]);
    Relay relayed;
    const std::string relayBytes = ReadAll(relay[0]);
    close(relay[0]);
    const bool hasRelay = relayBytes.size() == sizeof relayed;
    if (hasRelay) std::memcpy(&relayed, relayBytes.data(), sizeof relayed);
    if (hasRelay && relayed.forkError != 0) {
      if (records >= 0) close(records);
      return CannotInspect(path, "fork", relayed.forkError);
    }
    // The intermediate ended by a signal before it could relay: the plugin,
    // the only code that knows of that process, signalled its parent.
    const bool signalledParent = finished && !hasRelay && WIFSIGNALED(status);
    if (hasRelay) status = relayed.status;

    if (got.outcome == PluginAdmission::kAdmitted) names.emplace(got.id, got.name);
    std::string verdict;
    if (!finished) {
      verdict = "rejected (did not return within " + std::to_string(timeoutSeconds) + " s " +
                Stage(got) + ")";
    } else if (signalledParent) {
      verdict = "rejected (sent " + SignalName(WTERMSIG(status)) + " to its parent process " +
                Stage(got) + ")";
    } else if (got.ended && got.outcome && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      verdict = Verdict(*got.outcome);
    } else if (WIFEXITED(status)) {
      verdict = "rejected (exited with status " + std::to_string(WEXITSTATUS(status)) + " " +
                Stage(got) + ")";
    } else {
      verdict = "rejected (" + SignalText(WTERMSIG(status)) + " " + Stage(got) + ")";
    }
    if (json) {
      // The capped messages, and room for the rest (a few kilobytes).
      PrintFileObject(FileObject(path, ReadRecords(records, 2 * Findings::kMaxMessageBytes),
                                 verdict));
      close(records);
    } else {
      std::printf("  result: %s\n", verdict.c_str());
    }
    return verdict == "loaded";
  }

  bool CannotInspect(const fs::path& path, const char* what, int error) {
    const std::string verdict =
        std::string("rejected (cannot inspect: ") + what + ": " + std::strerror(error) + ")";
    if (json) {
      PrintFileObject(FileObject(path, "", verdict));
    } else {
      std::printf("  result: %s\n", verdict.c_str());
    }
    return false;
  }

  void PrintFileObject(const std::string& object) {
    std::printf("%s\n  %s", filesReported++ ? "," : "", object.c_str());
  }
};

[[noreturn]] void UsageError(const char* why) {
  std::fprintf(stderr, "dvrcore-inspect: %s\n%s", why, kUsage);
  std::exit(kUsageStatus);
}

// Where the plugins of the core in `folder` are, in the order it loads them;
// `folder` is taken as the core sees its own: with every link resolved, since
// the order looks at the path's text.
void AddCorePlugins(const char* folder, std::vector<fs::path>& candidates,
                    std::vector<UnreadableFolder>& unreadable) {
  boost::system::error_code error;
  const fs::path canonical = fs::canonical(fs::absolute(folder), error);
  if (!error && !fs::is_directory(canonical, error) && !error) {
    error = boost::system::errc::make_error_code(boost::system::errc::not_a_directory);
  }
  if (error) {
    unreadable.push_back({fs::absolute(folder), error});
    return;
  }
  for (UnreadableFolder& failed : FindCorePluginFiles(canonical, candidates)) {
    unreadable.push_back(std::move(failed));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("dvrcore-inspect version %s\n", DVRCORE_VERSION);
    return 0;
  }
  Inspector inspector;
  const char* coreFolder = nullptr;
  int first = 1;  // the first file or directory
  while (first < argc && std::strncmp(argv[first], "--", 2) == 0) {
    const char* option = argv[first++];
    if (std::strcmp(option, "--") == 0) break;
    if (std::strcmp(option, "--json") == 0) {
      inspector.json = true;
      continue;
    }
    if (std::strcmp(option, "--core") == 0) {
      // One core: the order of two cores' plugins mixed means nothing.
      if (coreFolder != nullptr) UsageError("--core is given once");
      if (first >= argc) UsageError("--core takes the folder of a core");
      coreFolder = argv[first++];
      continue;
    }
    if (std::strcmp(option, "--timeout") != 0) UsageError("unknown option");
    const char* value = first < argc ? argv[first++] : "";
    char* end = nullptr;
    errno = 0;
    // strtoul would take a sign or leading blanks.
    const unsigned long seconds =
        std::isdigit(static_cast<unsigned char>(value[0])) ? std::strtoul(value, &end, 10) : 0;
    if (end == nullptr || *end != '\0' || errno != 0 || seconds == 0 ||
        seconds > kMaxTimeoutSeconds) {
      UsageError("--timeout takes 1 to 86400 seconds");
    }
    inspector.timeoutSeconds = static_cast<unsigned>(seconds);
  }
  if (first >= argc && coreFolder == nullptr) {
    std::fputs(kUsage, stderr);
    return kUsageStatus;
  }
  // Line by line, so that what a child printed survives a plugin that ends
  // it, and comes before the parent's verdict.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Blocked before any child exists, so that no SIGCHLD is lost.
  sigemptyset(&inspector.childSignal);
  sigaddset(&inspector.childSignal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &inspector.childSignal, &inspector.plainMask);

  // Absolute paths, as the core's candidates are, so that dlopen never
  // searches the library path for a bare file name.
  std::vector<fs::path> candidates;
  std::vector<UnreadableFolder> unreadable;
  if (coreFolder != nullptr) AddCorePlugins(coreFolder, candidates, unreadable);
  for (int i = first; i < argc; i++) {
    fs::path path = fs::absolute(argv[i]);
    boost::system::error_code error;
    if (fs::is_directory(path, error)) {
      error = FindPluginFiles(path, kPluginExtension, candidates);
      if (error) unreadable.push_back({path, error});
    } else {
      candidates.push_back(path);
    }
  }
  SortPluginPaths(candidates);

  if (inspector.json) {
    std::vector<std::string> order, failed;
    for (const fs::path& path : candidates) order.push_back(JsonString(path.native()));
    for (const UnreadableFolder& folder : unreadable) {
      failed.push_back("{\"path\": " + JsonString(folder.folder.native()) +
                       ", \"error\": " + JsonString(folder.error.message()) + "}");
    }
    std::printf("{\"discoveryOrder\": %s,\n \"unreadableDirectories\": %s,\n \"files\": [",
                JsonArray(order).c_str(), JsonArray(failed).c_str());
  } else {
    std::printf("discovery order:\n");
    for (const UnreadableFolder& folder : unreadable) {
      std::printf("  cannot read directory %s: %s\n", folder.folder.c_str(),
                  folder.error.message().c_str());
    }
    if (candidates.empty()) std::printf("  (no plugin files)\n");
    for (size_t i = 0; i < candidates.size(); i++) {
      std::printf("  %zu %s\n", i + 1, candidates[i].c_str());
    }
  }

  boost::system::error_code error;
  inspector.executablePath = fs::canonical("/proc/self/exe", error).string();
  size_t loaded = 0;
  for (const fs::path& path : candidates) {
    if (inspector.Inspect(path)) loaded++;
  }
  const size_t rejected = candidates.size() - loaded;
  if (inspector.json) {
    std::printf("],\n \"summary\": {\"files\": %zu, \"loaded\": %zu, \"rejected\": %zu, "
                "\"unreadableDirectories\": %zu}}\n",
                candidates.size(), loaded, rejected, unreadable.size());
  } else {
    std::printf("\nsummary: %zu files, %zu loaded, %zu rejected", candidates.size(), loaded,
                rejected);
    if (!unreadable.empty()) {
      std::printf(", %zu %s unreadable", unreadable.size(),
                  unreadable.size() == 1 ? "directory" : "directories");
    }
    std::printf("\n");
  }
  return loaded == candidates.size() && unreadable.empty() ? 0 : 1;
}
