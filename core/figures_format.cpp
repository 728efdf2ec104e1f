// The text of the figures file; see figures_format.h.
#include "core/figures_format.h"

#include <array>
#include <cassert>
#include <charconv>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <set>

#include "sys/utf8.h"

namespace {

// Appends printf-formatted text, however long: a label value is a file name
// of up to 255 bytes, escaped to up to twice that, and a line cut short
// would run into the next and spoil the whole file for a collector.
void Append(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& text, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length > 0 && static_cast<size_t>(length) < sizeof line) {
    text.append(line, static_cast<size_t>(length));
  } else if (length > 0) {
    const size_t at = text.size();
    text.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(&text[at], static_cast<size_t>(length) + 1, format, again);
    text.resize(at + static_cast<size_t>(length));
  }
  va_end(again);
}

// A count and the line's end: most of the file's lines end so, and printf
// would parse its format for each.
void AppendCount(std::string& text, uint64_t value) {
  char digits[24];
  char* end = std::to_chars(digits, digits + sizeof digits - 1, value).ptr;
  *end++ = '\n';
  text.append(digits, static_cast<size_t>(end - digits));
}

// The bucket bounds as the file spells them (printf's %g), made once: each
// write would otherwise format six of them for every entry of every plugin.
const char* BoundText(unsigned bucket) {
  static const auto texts = [] {
    std::array<std::array<char, 16>, kCallBounds + 1> made{};
    for (unsigned i = 0; i < kCallBounds; ++i) {
      std::snprintf(made[i].data(), made[i].size(), "%g", kCallBoundSeconds[i]);
    }
    std::snprintf(made[kCallBounds].data(), made[kCallBounds].size(), "+Inf");
    return made;
  }();
  return texts[bucket].data();
}

// A label value as the text format wants it: UTF-8, with backslash, double
// quote and line feed escaped. A file name may hold any byte but '/' and
// zero; a byte that is no part of valid UTF-8 is written as '?'.
std::string LabelValue(const std::string& raw) {
  std::string value;
  for (size_t i = 0; i < raw.size();) {
    uint32_t c = 0;
    const size_t length = DecodeUtf8(raw.data() + i, raw.size() - i, c);
    if (length == 0) {
      value += '?';
      ++i;
      continue;
    }
    if (raw[i] == '\\') {
      value += "\\\\";
    } else if (raw[i] == '"') {
      value += "\\\"";
    } else if (raw[i] == '\n') {
      value += "\\n";
    } else {
      value.append(raw, i, length);
    }
    i += length;
  }
  return value;
}

// A family's HELP and TYPE lines, as events/names.h describes it.
void Family(std::string& text, FigureFamily family) {
  const FamilyDescription& described = Describe(family);
  Append(text, "# HELP %s %s\n# TYPE %s %s\n", described.name, described.help, described.name,
         described.type);
}

// The start of a line of a labelled family, up to its value: the family's
// name, then `values`, escaped already, under the family's label names in
// their order. The line is put together on the stack and appended once: a
// thousand plugins make some 80000 lines a write, and a dozen appends each
// took most of the writer's time.
void Series(std::string& text, FigureFamily family, std::initializer_list<const char*> values) {
  const FamilyDescription& described = Describe(family);
  assert(values.size() > 0 && values.size() <= std::size(described.labels));
  char line[1024];
  size_t at = 0;
  auto put = [&](const char* piece) {
    const size_t length = std::strlen(piece);
    if (at + length <= sizeof line) std::memcpy(line + at, piece, length);
    at += length;  // beyond the room: the line goes by appends below
  };
  put(described.name);
  const char* separator = "{";
  const char* const* label = described.labels;
  for (const char* value : values) {
    assert(*label != nullptr);
    put(separator);
    put(*label++);
    put("=\"");
    put(value);
    put("\"");
    separator = ",";
  }
  assert(label == std::end(described.labels) || *label == nullptr);
  put("} ");
  if (at <= sizeof line) {
    text.append(line, at);
    return;
  }
  text += described.name;  // a label value too long for the room (a long file name)
  separator = "{";
  label = described.labels;
  for (const char* value : values) {
    text.append(separator).append(*label++).append("=\"").append(value).append(1, '"');
    separator = ",";
  }
  text += "} ";
}

// A number of seconds with `decimals` places and the line's end, as printf's
// %.Nf writes it (both round the binary value exactly).
void AppendFixed(std::string& text, double value, int decimals) {
  char digits[64];
  const std::to_chars_result made =
      std::to_chars(digits, digits + sizeof digits - 1, value, std::chars_format::fixed, decimals);
  if (made.ec != std::errc()) {  // no room: beyond 10^60 seconds, which no count reaches
    Append(text, "%.*f\n", decimals, value);
    return;
  }
  *made.ptr = '\n';
  text.append(digits, static_cast<size_t>(made.ptr + 1 - digits));
}

// The plugin label of each row: its file name, made unique with its ID
// should two plugin folders hold files of one name.
std::vector<std::string> PluginLabels(const std::vector<PluginFiguresRow>& plugins) {
  std::vector<std::string> labels;
  std::set<std::string> used;
  for (const PluginFiguresRow& row : plugins) {
    std::string label = LabelValue(row.figures->fileName);
    if (!used.insert(label).second) {
      char id[16];
      std::snprintf(id, sizeof id, "@0x%08" PRIx32, row.figures->id);
      label += id;
      used.insert(label);
    }
    labels.push_back(std::move(label));
  }
  return labels;
}

// A family's lines, one a plugin in the order given: each(line) calls
// line(label, row) for every plugin.
struct PluginLines {
  PluginLines(std::string& text, const std::vector<PluginFiguresRow>& plugins)
      : text(text), plugins(plugins) {}
  std::string& text;
  const std::vector<PluginFiguresRow>& plugins;
  const std::vector<std::string> labels = PluginLabels(plugins);
  // The call clock's rate, taken once, so that one write converts every
  // plugin's time alike.
  const double ticksPerSecond = CallClockTicksPerSecond();
  mutable std::string scratch;  // room for the start of a line, reused
  double Seconds(uint64_t ticks) const { return static_cast<double>(ticks) / ticksPerSecond; }
  template <typename Line>
  void operator()(Line&& line) const {
    for (size_t i = 0; i < plugins.size(); ++i) line(labels[i].c_str(), plugins[i]);
  }
};

// Who writes, since when, and whether it still runs.
void CoreIdentity(std::string& text, const CoreFigures& core) {
  Family(text, FigureFamily::kBuildInfo);
  Series(text, FigureFamily::kBuildInfo, {LabelValue(core.version).c_str()});
  text += "1\n";
  Family(text, FigureFamily::kStartTime);
  Append(text, "%s %.3f\n", FamilyName(FigureFamily::kStartTime), core.startTime);
  Family(text, FigureFamily::kUp);
  Append(text, "%s %d\n", FamilyName(FigureFamily::kUp), core.up ? 1 : 0);
}

// Each plugin's identity and its counts of events and deliveries.
void PluginCounts(const PluginLines& each) {
  std::string& text = each.text;
  Family(text, FigureFamily::kPluginInfo);
  each([&](const char* plugin, const PluginFiguresRow& row) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08" PRIx32, row.figures->id);
    Series(text, FigureFamily::kPluginInfo,
           {plugin, LabelValue(row.figures->threadTag).c_str(), id});
    text += "1\n";
  });
  // A counter family with one series per value of an enumeration.
  auto byValue = [&](FigureFamily family, auto count, auto name, auto value) {
    Family(text, family);
    each([&](const char* plugin, const PluginFiguresRow& row) {
      for (unsigned i = 0; i < FigureIndex(count); ++i) {
        const auto which = static_cast<decltype(count)>(i);
        Series(text, family, {plugin, name(which)});
        AppendCount(text, value(*row.figures, which));
      }
    });
  };
  byValue(FigureFamily::kEventsRaised, RaiseKind::kCount, RaiseKindName,
          [](const PluginFigures& f, RaiseKind kind) { return f.Raised(kind); });
  byValue(FigureFamily::kEventsRefused, Refusal::kCount, RefusalName,
          [](const PluginFigures& f, Refusal reason) { return f.Refused(reason); });
  byValue(FigureFamily::kDeliveries, DeliveryKind::kCount, DeliveryKindName,
          [](const PluginFigures& f, DeliveryKind kind) { return f.Deliveries(kind); });
}

// One plugin's calls into one entry, by duration: cumulative buckets, the
// last one's bound +Inf, then the sum and the count.
void CallHistogram(const PluginLines& each, const char* plugin, const PluginFigures& figures,
                   CallEntry entry) {
  std::string& text = each.text;
  const FigureFamily family = FigureFamily::kCallDurations;
  const char* name = CallEntryName(entry);
  // The nine lines differ in the name's suffix, the bound and the value: the
  // labels they share are made once.
  std::string& labels = each.scratch;
  labels.clear();
  Series(labels, family, {plugin, name});  // the name, {labels}, "} "
  const size_t from = std::strlen(FamilyName(family)), length = labels.size() - from - 2;
  auto start = [&](const char* suffix) {
    text += FamilyName(family);
    text += suffix;
    text.append(labels, from, length);
  };
  uint64_t calls = 0;
  for (unsigned bucket = 0; bucket <= kCallBounds; ++bucket) {
    calls += figures.Calls(entry, bucket);
    start("_bucket");
    text += ",le=\"";
    text += BoundText(bucket);
    text += "\"} ";
    AppendCount(text, calls);
  }
  start("_sum");
  text += "} ";
  AppendFixed(text, each.Seconds(figures.CallTicks(entry)), 6);
  start("_count");
  text += "} ";
  AppendCount(text, calls);
}

// The time in each plugin's entries, in all and by duration.
void PluginCalls(const PluginLines& each) {
  std::string& text = each.text;
  Family(text, FigureFamily::kCallSeconds);
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Series(text, FigureFamily::kCallSeconds, {plugin});
    AppendFixed(text, each.Seconds(row.figures->CallTicks()), 6);
  });
  Family(text, FigureFamily::kCallDurations);
  each([&](const char* plugin, const PluginFiguresRow& row) {
    for (unsigned entry = 0; entry < FigureIndex(CallEntry::kCount); ++entry) {
      CallHistogram(each, plugin, *row.figures, static_cast<CallEntry>(entry));
    }
  });
}

// What each plugin holds and runs: buffers, threads and their CPU time.
void PluginThreads(const PluginLines& each) {
  std::string& text = each.text;
  // A gauge or counter with one series a plugin, its value formatted.
  auto perPlugin = [&](FigureFamily family, auto format) {
    Family(text, family);
    each([&](const char* plugin, const PluginFiguresRow& row) {
      Series(text, family, {plugin});
      format(row);
    });
  };
  perPlugin(FigureFamily::kBuffersHeld,
            [&](const PluginFiguresRow& row) { AppendCount(text, row.buffersHeld); });
  perPlugin(FigureFamily::kThreads,
            [&](const PluginFiguresRow& row) { AppendCount(text, row.threads); });
  perPlugin(FigureFamily::kThreadsMax,
            [&](const PluginFiguresRow& row) { AppendCount(text, row.threadsMost); });
  perPlugin(FigureFamily::kPluginCpu,
            [&](const PluginFiguresRow& row) { AppendFixed(text, row.cpuSeconds, 2); });
}

// The core's own CPU time, its queue, the parent link and the memory state.
void CoreState(std::string& text, const CoreFigures& core) {
  Family(text, FigureFamily::kCoreCpu);
  for (unsigned role = 0; role < FigureIndex(CoreThread::kCount); ++role) {
    Series(text, FigureFamily::kCoreCpu, {CoreThreadName(static_cast<CoreThread>(role))});
    Append(text, "%.2f\n", core.cpuSeconds[role]);
  }
  // The unlabelled families: HELP, TYPE and "name value".
  auto single = [&](FigureFamily family) -> const char* {
    Family(text, family);
    return FamilyName(family);
  };
  Append(text, "%s %zu\n", single(FigureFamily::kQueueDepth), core.queueDepth);
  Append(text, "%s %zu\n", single(FigureFamily::kQueueDepthMax), core.queueDepthMost);
  Append(text, "%s %zu\n", single(FigureFamily::kParentBytesWaiting), core.parentBytesWaiting);
  Append(text, "%s %d\n", single(FigureFamily::kParentRefusing), core.parentRefusing ? 1 : 0);
  Append(text, "%s %" PRIu64 "\n", single(FigureFamily::kResidentBytes), core.residentBytes);
  Append(text, "%s %d\n", single(FigureFamily::kThrottling), core.throttling ? 1 : 0);
  Append(text, "%s %" PRIu64 "\n", single(FigureFamily::kClockJumps), core.clockJumps);
}

}  // namespace

const char* CoreThreadName(CoreThread role) {
  static const char* const kNames[] = {"main", "io", "watch", "stats", "other"};
  static_assert(sizeof kNames / sizeof *kNames == FigureIndex(CoreThread::kCount), "one a role");
  return kNames[FigureIndex(role)];
}

std::string FormatFigures(const CoreFigures& core, const std::vector<PluginFiguresRow>& plugins) {
  std::string text;
  FormatFigures(core, plugins, text);
  return text;
}

void FormatFigures(const CoreFigures& core, const std::vector<PluginFiguresRow>& plugins,
                   std::string& text) {
  text.clear();
  text.reserve(2048 + plugins.size() * 8192);
  const PluginLines each{text, plugins};
  CoreIdentity(text, core);
  PluginCounts(each);
  PluginCalls(each);
  PluginThreads(each);
  CoreState(text, core);
}
