// The text of the figures file; see figures_format.h.
#include "core/figures_format.h"

#include <cinttypes>
#include <cstdarg>
#include <cassert>
#include <cstdio>
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
// name with `suffix` (a histogram's "_bucket", "_sum", "_count"), then
// `values`, escaped already, under the family's label names in their order,
// and a bucket's bound last.
void Series(std::string& text, FigureFamily family, const char* suffix,
            std::initializer_list<const char*> values, const char* bound = nullptr) {
  const FamilyDescription& described = Describe(family);
  assert(values.size() > 0 && values.size() <= std::size(described.labels));
  text += described.name;
  text += suffix;
  char separator = '{';
  const char* const* label = described.labels;
  for (const char* value : values) {
    assert(*label != nullptr);
    text.append(1, separator).append(*label++).append("=\"").append(value).append(1, '"');
    separator = ',';
  }
  assert(label == std::end(described.labels) || *label == nullptr);
  if (bound != nullptr) text.append(1, separator).append("le=\"").append(bound).append(1, '"');
  text += "} ";
}

double Seconds(uint64_t ticks) { return static_cast<double>(ticks) / CallClockTicksPerSecond(); }

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
  std::string& text;
  const std::vector<PluginFiguresRow>& plugins;
  const std::vector<std::string> labels = PluginLabels(plugins);
  template <typename Line>
  void operator()(Line&& line) const {
    for (size_t i = 0; i < plugins.size(); ++i) line(labels[i].c_str(), plugins[i]);
  }
};

// Who writes, since when, and whether it still runs.
void CoreIdentity(std::string& text, const CoreFigures& core) {
  Family(text, FigureFamily::kBuildInfo);
  Series(text, FigureFamily::kBuildInfo, "", {LabelValue(core.version).c_str()});
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
    Series(text, FigureFamily::kPluginInfo, "",
           {plugin, LabelValue(row.figures->threadTag).c_str(), id});
    text += "1\n";
  });
  // A counter family with one series per value of an enumeration.
  auto byValue = [&](FigureFamily family, auto count, auto name, auto value) {
    Family(text, family);
    each([&](const char* plugin, const PluginFiguresRow& row) {
      for (unsigned i = 0; i < FigureIndex(count); ++i) {
        const auto which = static_cast<decltype(count)>(i);
        Series(text, family, "", {plugin, name(which)});
        Append(text, "%" PRIu64 "\n", value(*row.figures, which));
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
void CallHistogram(std::string& text, const char* plugin, const PluginFigures& figures,
                   CallEntry entry) {
  const FigureFamily family = FigureFamily::kCallDurations;
  const char* name = CallEntryName(entry);
  uint64_t calls = 0;
  for (unsigned bucket = 0; bucket <= kCallBounds; ++bucket) {
    calls += figures.Calls(entry, bucket);
    char bound[16] = "+Inf";  // the last bucket's bound, as the format spells it
    if (bucket < kCallBounds) std::snprintf(bound, sizeof bound, "%g", kCallBoundSeconds[bucket]);
    Series(text, family, "_bucket", {plugin, name}, bound);
    Append(text, "%" PRIu64 "\n", calls);
  }
  Series(text, family, "_sum", {plugin, name});
  Append(text, "%.6f\n", Seconds(figures.CallTicks(entry)));
  Series(text, family, "_count", {plugin, name});
  Append(text, "%" PRIu64 "\n", calls);
}

// The time in each plugin's entries, in all and by duration.
void PluginCalls(const PluginLines& each) {
  std::string& text = each.text;
  Family(text, FigureFamily::kCallSeconds);
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Series(text, FigureFamily::kCallSeconds, "", {plugin});
    Append(text, "%.6f\n", Seconds(row.figures->CallTicks()));
  });
  Family(text, FigureFamily::kCallDurations);
  each([&](const char* plugin, const PluginFiguresRow& row) {
    for (unsigned entry = 0; entry < FigureIndex(CallEntry::kCount); ++entry) {
      CallHistogram(text, plugin, *row.figures, static_cast<CallEntry>(entry));
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
      Series(text, family, "", {plugin});
      format(row);
    });
  };
  perPlugin(FigureFamily::kBuffersHeld,
            [&](const PluginFiguresRow& row) { Append(text, "%zu\n", row.buffersHeld); });
  perPlugin(FigureFamily::kThreads,
            [&](const PluginFiguresRow& row) { Append(text, "%u\n", row.threads); });
  perPlugin(FigureFamily::kThreadsMax,
            [&](const PluginFiguresRow& row) { Append(text, "%u\n", row.threadsMost); });
  perPlugin(FigureFamily::kPluginCpu,
            [&](const PluginFiguresRow& row) { Append(text, "%.2f\n", row.cpuSeconds); });
}

// The core's own CPU time, its queue, the parent link and the memory state.
void CoreState(std::string& text, const CoreFigures& core) {
  Family(text, FigureFamily::kCoreCpu);
  for (unsigned role = 0; role < FigureIndex(CoreThread::kCount); ++role) {
    Series(text, FigureFamily::kCoreCpu, "", {CoreThreadName(static_cast<CoreThread>(role))});
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
  text.reserve(2048 + plugins.size() * 8192);
  const PluginLines each{text, plugins};
  CoreIdentity(text, core);
  PluginCounts(each);
  PluginCalls(each);
  PluginThreads(each);
  CoreState(text, core);
  return text;
}
