// The names the core shows outside, each spelt here once: the plugin entries
// (the exports the loader resolves, the inspector lists, the logs and the
// figures file name), the kinds and reasons the figures count by, and the
// families of the figures file with their type, help text and labels. The
// figures file's writer (core/figures_format.cpp), dvrcore-top and the
// inspector take them from here, so that none can drift from another.
//
// DESIGN: constant tables only, indexed by their enumerations, so that a name
// costs nothing where it is used: the hot paths take a name (a constant
// pointer) only for the slow-call watch, and the counters are arrays indexed
// by the enumerations. Each table's rows carry their enumerator and are
// checked to stand in its order. What an outside collector reads is pinned
// by the figures file's tests; a change here is a change of that contract.
#ifndef DVRCORE_EVENTS_NAMES_H
#define DVRCORE_EVENTS_NAMES_H

#include <cstddef>
#include <iterator>

template <typename Enum>
constexpr unsigned FigureIndex(Enum value) {
  return static_cast<unsigned>(value);
}

// Whether every row of `table` holds its own enumerator (`value`) at its own
// index: each table below is checked so, at compile time.
template <typename Row, size_t N>
constexpr bool RowsInOrder(const Row (&table)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (FigureIndex(table[i].value) != i) return false;
  }
  return true;
}

namespace names_detail {
template <typename Enum>
struct Named {
  Enum value;
  const char* name;
};
constexpr bool StartsWith(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}
constexpr bool Same(const char* a, const char* b) {
  return a != nullptr && b != nullptr && StartsWith(a, b) && StartsWith(b, a);
}
}  // namespace names_detail

// ---- Plugin entries ----

// The eight exports of a plugin (sdk/pluginhost/plugin.h), in the SDK's order.
enum class EntryPoint : unsigned { kLoad, kUnload, kOpen, kClose, kRead, kWrite, kSeek, kIoctl, kCount };
inline constexpr names_detail::Named<EntryPoint> kEntryPoints[] = {
    {EntryPoint::kLoad, "Load"}, {EntryPoint::kUnload, "Unload"}, {EntryPoint::kOpen, "Open"},
    {EntryPoint::kClose, "Close"}, {EntryPoint::kRead, "Read"},   {EntryPoint::kWrite, "Write"},
    {EntryPoint::kSeek, "Seek"}, {EntryPoint::kIoctl, "IOCTL"}};
static_assert(std::size(kEntryPoints) == FigureIndex(EntryPoint::kCount), "one row an entry");
static_assert(RowsInOrder(kEntryPoints), "rows in the entries' order");
// The exported symbol's name.
constexpr const char* EntryName(EntryPoint entry) { return kEntryPoints[FigureIndex(entry)].name; }

// The entries whose calls are timed, in the order of the figures file.
enum class CallEntry : unsigned { kLoad, kOpen, kClose, kUnload, kWrite, kIoctl, kRead, kCount };
struct CallEntryRow {
  CallEntry value;
  EntryPoint entry;
};
inline constexpr CallEntryRow kCallEntries[] = {
    {CallEntry::kLoad, EntryPoint::kLoad},     {CallEntry::kOpen, EntryPoint::kOpen},
    {CallEntry::kClose, EntryPoint::kClose},   {CallEntry::kUnload, EntryPoint::kUnload},
    {CallEntry::kWrite, EntryPoint::kWrite},   {CallEntry::kIoctl, EntryPoint::kIoctl},
    {CallEntry::kRead, EntryPoint::kRead}};
static_assert(std::size(kCallEntries) == FigureIndex(CallEntry::kCount), "one row an entry");
static_assert(RowsInOrder(kCallEntries), "rows in CallEntry's order");

// ---- What the figures count by: the values of their labels ----

// What a raised event is, as counted (label kind).
enum class RaiseKind : unsigned { kQueued, kImmediate, kParent, kLog, kCount };
inline constexpr names_detail::Named<RaiseKind> kRaiseKinds[] = {
    {RaiseKind::kQueued, "queued"},
    {RaiseKind::kImmediate, "immediate"},
    {RaiseKind::kParent, "parent"},
    {RaiseKind::kLog, "log"}};
static_assert(std::size(kRaiseKinds) == FigureIndex(RaiseKind::kCount), "one row a kind");
static_assert(RowsInOrder(kRaiseKinds), "rows in RaiseKind's order");

// Why a raised event was not taken; kNone: it was (label reason).
enum class Refusal : unsigned {
  kStopping,    // the core is stopping
  kNoMemory,    // its copy or the queue's room could not be allocated
  kNoLink,      // a packet for the parent, and no link to it
  kParentFull,  // a packet for the parent, and the outgoing limit is reached
  kCancelled,   // an answer to a correlation ID that was cancelled
  kThrottled,   // video refused while memory is low
  kOther,       // malformed (a packet without data), or an unexpected failure
  kCount,
  kNone = kCount
};
inline constexpr names_detail::Named<Refusal> kRefusals[] = {
    {Refusal::kStopping, "stopping"},      {Refusal::kNoMemory, "no_memory"},
    {Refusal::kNoLink, "no_link"},         {Refusal::kParentFull, "parent_full"},
    {Refusal::kCancelled, "cancelled"},    {Refusal::kThrottled, "throttled"},
    {Refusal::kOther, "other"}};
static_assert(std::size(kRefusals) == FigureIndex(Refusal::kCount), "one row a reason");
static_assert(RowsInOrder(kRefusals), "rows in Refusal's order");

// What reached a plugin (label kind).
enum class DeliveryKind : unsigned { kWrite, kConfig, kPacket, kRead, kCount };
inline constexpr names_detail::Named<DeliveryKind> kDeliveryKinds[] = {
    {DeliveryKind::kWrite, "write"},
    {DeliveryKind::kConfig, "config"},
    {DeliveryKind::kPacket, "packet"},
    {DeliveryKind::kRead, "read"}};
static_assert(std::size(kDeliveryKinds) == FigureIndex(DeliveryKind::kCount), "one row a kind");
static_assert(RowsInOrder(kDeliveryKinds), "rows in DeliveryKind's order");

// The label values; "?" for a value out of range.
constexpr const char* RaiseKindName(RaiseKind kind) {
  return kind < RaiseKind::kCount ? kRaiseKinds[FigureIndex(kind)].name : "?";
}
constexpr const char* RefusalName(Refusal reason) {
  return reason < Refusal::kCount ? kRefusals[FigureIndex(reason)].name : "?";
}
constexpr const char* DeliveryKindName(DeliveryKind kind) {
  return kind < DeliveryKind::kCount ? kDeliveryKinds[FigureIndex(kind)].name : "?";
}
constexpr const char* CallEntryName(CallEntry entry) {
  return entry < CallEntry::kCount ? EntryName(kCallEntries[FigureIndex(entry)].entry) : "?";
}

// ---- The families of the figures file ----

// In the order the file writes them.
enum class FigureFamily : unsigned {
  kBuildInfo, kStartTime, kUp,
  kPluginInfo, kEventsRaised, kEventsRefused, kDeliveries,
  kCallSeconds, kCallDurations,
  kBuffersHeld, kThreads, kThreadsMax, kPluginCpu,
  kCoreCpu, kQueueDepth, kQueueDepthMax, kParentBytesWaiting, kParentRefusing,
  kResidentBytes, kThrottling, kClockJumps,
  kCount
};

// What the file's HELP and TYPE lines say of a family, and the names of its
// labels in the order its lines carry them (a histogram's "le", the text
// format's own, not among them).
struct FamilyDescription {
  FigureFamily value;
  const char* name;
  const char* type;  // "gauge", "counter", "histogram"
  const char* help;
  const char* labels[3];  // unused ones null
};

// Every family's name begins with the first; a family of every plugin, one
// series a plugin labelled "plugin" first, with the second.
inline constexpr char kFamilyPrefix[] = "dvrcore_";
inline constexpr char kPluginFamilyPrefix[] = "dvrcore_plugin_";

inline constexpr FamilyDescription kFigureFamilies[] = {
    {FigureFamily::kBuildInfo, "dvrcore_build_info", "gauge",
     "The core's version, in the label version.", {"version"}},
    {FigureFamily::kStartTime, "dvrcore_start_time_seconds", "gauge",
     "When the core started, in Unix time.", {}},
    {FigureFamily::kUp, "dvrcore_up", "gauge",
     "1 while the core runs; 0 in the last write of a clean stop. A core that was killed "
     "leaves 1 in a file that is no longer rewritten.", {}},
    {FigureFamily::kPluginInfo, "dvrcore_plugin_info", "gauge",
     "A loaded plugin, with the prefix of its threads' names and its ID.",
     {"plugin", "thread_prefix", "id"}},
    {FigureFamily::kEventsRaised, "dvrcore_plugin_events_raised_total", "counter",
     "Events the plugin raised, by kind, taken or not.", {"plugin", "kind"}},
    {FigureFamily::kEventsRefused, "dvrcore_plugin_events_refused_total", "counter",
     "Events of the plugin the core did not take, by reason.", {"plugin", "reason"}},
    {FigureFamily::kDeliveries, "dvrcore_plugin_deliveries_total", "counter",
     "Calls that brought the plugin something: Write, configuration IOCTL, packets from "
     "the parent, event-thread Read.", {"plugin", "kind"}},
    {FigureFamily::kCallSeconds, "dvrcore_plugin_call_seconds_total", "counter",
     "Time in the plugin's entries called by the core, and in event-thread Read.", {"plugin"}},
    {FigureFamily::kCallDurations, "dvrcore_plugin_call_duration_seconds", "histogram",
     "Calls into the plugin's entries by the core, and event-thread Read, by duration.",
     {"plugin", "entry"}},
    {FigureFamily::kBuffersHeld, "dvrcore_plugin_buffers_held", "gauge",
     "Event buffers the plugin holds now (kept with retain, or in its call).", {"plugin"}},
    {FigureFamily::kThreads, "dvrcore_plugin_threads", "gauge",
     "Threads named after the plugin, as last sampled.", {"plugin"}},
    {FigureFamily::kThreadsMax, "dvrcore_plugin_threads_max", "gauge",
     "The most threads named after the plugin seen at one sample (every second) since the "
     "last write.", {"plugin"}},
    {FigureFamily::kPluginCpu, "dvrcore_plugin_cpu_seconds_total", "counter",
     "CPU time of the threads named after the plugin.", {"plugin"}},
    {FigureFamily::kCoreCpu, "dvrcore_core_cpu_seconds_total", "counter",
     "CPU time of the core's own threads: main, io (with the IOCTLs it relays to plugins), "
     "watch, stats; other is the rest of the process's, threads that ended included. "
     "Together with dvrcore_plugin_cpu_seconds_total, the process's CPU time.", {"thread"}},
    {FigureFamily::kQueueDepth, "dvrcore_queue_depth", "gauge",
     "Events waiting for the main loop.", {}},
    {FigureFamily::kQueueDepthMax, "dvrcore_queue_depth_max", "gauge",
     "The most events that waited for the main loop at one time since the last write.", {}},
    {FigureFamily::kParentBytesWaiting, "dvrcore_parent_bytes_waiting", "gauge",
     "Bytes of packets for the parent accepted and not yet written.", {}},
    {FigureFamily::kParentRefusing, "dvrcore_parent_refusing", "gauge",
     "1 while packets for the parent are refused because it is not reading.", {}},
    {FigureFamily::kResidentBytes, "dvrcore_resident_bytes", "gauge",
     "The core's resident memory.", {}},
    {FigureFamily::kThrottling, "dvrcore_throttling", "gauge",
     "1 while video is throttled for low memory.", {}},
    {FigureFamily::kClockJumps, "dvrcore_clock_jumps_total", "counter",
     "Jumps of the system time reported.", {}},
};
static_assert(std::size(kFigureFamilies) == FigureIndex(FigureFamily::kCount), "one row a family");
static_assert(RowsInOrder(kFigureFamilies), "rows in FigureFamily's order");

constexpr const FamilyDescription& Describe(FigureFamily family) {
  return kFigureFamilies[FigureIndex(family)];
}
constexpr const char* FamilyName(FigureFamily family) { return Describe(family).name; }

namespace names_detail {
// The prefixes hold: dvrcore-top sorts what it reads by them.
constexpr bool PrefixesHold() {
  for (const FamilyDescription& family : kFigureFamilies) {
    const bool perPlugin = Same(family.labels[0], "plugin");
    if (!StartsWith(family.name, kFamilyPrefix) ||
        StartsWith(family.name, kPluginFamilyPrefix) != perPlugin) {
      return false;
    }
  }
  return true;
}
static_assert(PrefixesHold(), "family names and their prefixes agree");
}  // namespace names_detail

#endif  // DVRCORE_EVENTS_NAMES_H
