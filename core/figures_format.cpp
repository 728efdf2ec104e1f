// The text of the figures file; see figures_format.h.
#include "core/figures_format.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
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

void Family(std::string& text, const char* name, const char* type, const char* help) {
  Append(text, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
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
  Family(text, "dvrcore_build_info", "gauge", "The core's version, in the label version.");
  Append(text, "dvrcore_build_info{version=\"%s\"} 1\n", LabelValue(core.version).c_str());
  Family(text, "dvrcore_start_time_seconds", "gauge", "When the core started, in Unix time.");
  Append(text, "dvrcore_start_time_seconds %.3f\n", core.startTime);
  Family(text, "dvrcore_up", "gauge",
         "1 while the core runs; 0 in the last write of a clean stop. A core that was killed "
         "leaves 1 in a file that is no longer rewritten.");
  Append(text, "dvrcore_up %d\n", core.up ? 1 : 0);
}

// Each plugin's identity and its counts of events and deliveries.
void PluginCounts(const PluginLines& each) {
  std::string& text = each.text;
  Family(text, "dvrcore_plugin_info", "gauge",
         "A loaded plugin, with the prefix of its threads' names and its ID.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_info{plugin=\"%s\",thread_prefix=\"%s\",id=\"0x%08" PRIx32
                 "\"} 1\n",
           plugin, LabelValue(row.figures->threadTag).c_str(), row.figures->id);
  });
  // A counter family with one series per value of an enumeration.
  auto byValue = [&](const char* family, const char* help, const char* label, auto count,
                     auto name, auto value) {
    Family(text, family, "counter", help);
    each([&](const char* plugin, const PluginFiguresRow& row) {
      for (unsigned i = 0; i < FigureIndex(count); ++i) {
        const auto which = static_cast<decltype(count)>(i);
        Append(text, "%s{plugin=\"%s\",%s=\"%s\"} %" PRIu64 "\n", family, plugin, label,
               name(which), value(*row.figures, which));
      }
    });
  };
  byValue("dvrcore_plugin_events_raised_total", "Events the plugin raised, by kind, taken or not.",
          "kind", RaiseKind::kCount, RaiseKindName,
          [](const PluginFigures& f, RaiseKind kind) { return f.Raised(kind); });
  byValue("dvrcore_plugin_events_refused_total",
          "Events of the plugin the core did not take, by reason.", "reason", Refusal::kCount,
          RefusalName, [](const PluginFigures& f, Refusal reason) { return f.Refused(reason); });
  byValue("dvrcore_plugin_deliveries_total",
          "Calls that brought the plugin something: Write, configuration IOCTL, packets from "
          "the parent, event-thread Read.",
          "kind", DeliveryKind::kCount, DeliveryKindName,
          [](const PluginFigures& f, DeliveryKind kind) { return f.Deliveries(kind); });
}

// The time in each plugin's entries, in all and by duration.
void PluginCalls(const PluginLines& each) {
  std::string& text = each.text;
  Family(text, "dvrcore_plugin_call_seconds_total", "counter",
         "Time in the plugin's entries called by the core, and in event-thread Read.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_call_seconds_total{plugin=\"%s\"} %.6f\n", plugin,
           Seconds(row.figures->CallTicks()));
  });
  Family(text, "dvrcore_plugin_call_duration_seconds", "histogram",
         "Calls into the plugin's entries by the core, and event-thread Read, by duration.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    for (unsigned e = 0; e < FigureIndex(CallEntry::kCount); ++e) {
      const auto entry = static_cast<CallEntry>(e);
      const char* name = CallEntryName(entry);
      uint64_t calls = 0;
      for (unsigned bucket = 0; bucket <= kCallBounds; ++bucket) {
        calls += row.figures->Calls(entry, bucket);
        char bound[16] = "+Inf";  // the last bucket's bound, as the format spells it
        if (bucket < kCallBounds) {
          std::snprintf(bound, sizeof bound, "%g", kCallBoundSeconds[bucket]);
        }
        Append(text,
               "dvrcore_plugin_call_duration_seconds_bucket{plugin=\"%s\",entry=\"%s\",le=\"%s\"} "
               "%" PRIu64 "\n",
               plugin, name, bound, calls);
      }
      Append(text, "dvrcore_plugin_call_duration_seconds_sum{plugin=\"%s\",entry=\"%s\"} %.6f\n",
             plugin, name, Seconds(row.figures->CallTicks(entry)));
      Append(text,
             "dvrcore_plugin_call_duration_seconds_count{plugin=\"%s\",entry=\"%s\"} %" PRIu64
             "\n",
             plugin, name, calls);
    }
  });
}

// What each plugin holds and runs: buffers, threads and their CPU time.
void PluginThreads(const PluginLines& each) {
  std::string& text = each.text;
  Family(text, "dvrcore_plugin_buffers_held", "gauge",
         "Event buffers the plugin holds now (kept with retain, or in its call).");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_buffers_held{plugin=\"%s\"} %zu\n", plugin, row.buffersHeld);
  });
  Family(text, "dvrcore_plugin_threads", "gauge",
         "Threads named after the plugin, as last sampled.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_threads{plugin=\"%s\"} %u\n", plugin, row.threads);
  });
  Family(text, "dvrcore_plugin_threads_max", "gauge",
         "The most threads named after the plugin seen at one sample (every second) since the "
         "last write.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_threads_max{plugin=\"%s\"} %u\n", plugin, row.threadsMost);
  });
  Family(text, "dvrcore_plugin_cpu_seconds_total", "counter",
         "CPU time of the threads named after the plugin.");
  each([&](const char* plugin, const PluginFiguresRow& row) {
    Append(text, "dvrcore_plugin_cpu_seconds_total{plugin=\"%s\"} %.2f\n", plugin,
           row.cpuSeconds);
  });
}

// The core's own CPU time, its queue, the parent link and the memory state.
void CoreState(std::string& text, const CoreFigures& core) {
  Family(text, "dvrcore_core_cpu_seconds_total", "counter",
         "CPU time of the core's own threads: main, io (with the IOCTLs it relays to plugins), "
         "watch, stats; other is the rest of the process's, threads that ended included. "
         "Together with dvrcore_plugin_cpu_seconds_total, the process's CPU time.");
  for (unsigned role = 0; role < FigureIndex(CoreThread::kCount); ++role) {
    Append(text, "dvrcore_core_cpu_seconds_total{thread=\"%s\"} %.2f\n",
           CoreThreadName(static_cast<CoreThread>(role)), core.cpuSeconds[role]);
  }

  Family(text, "dvrcore_queue_depth", "gauge", "Events waiting for the main loop.");
  Append(text, "dvrcore_queue_depth %zu\n", core.queueDepth);
  Family(text, "dvrcore_queue_depth_max", "gauge",
         "The most events that waited for the main loop at one time since the last write.");
  Append(text, "dvrcore_queue_depth_max %zu\n", core.queueDepthMost);
  Family(text, "dvrcore_parent_bytes_waiting", "gauge",
         "Bytes of packets for the parent accepted and not yet written.");
  Append(text, "dvrcore_parent_bytes_waiting %zu\n", core.parentBytesWaiting);
  Family(text, "dvrcore_parent_refusing", "gauge",
         "1 while packets for the parent are refused because it is not reading.");
  Append(text, "dvrcore_parent_refusing %d\n", core.parentRefusing ? 1 : 0);
  Family(text, "dvrcore_resident_bytes", "gauge", "The core's resident memory.");
  Append(text, "dvrcore_resident_bytes %" PRIu64 "\n", core.residentBytes);
  Family(text, "dvrcore_throttling", "gauge", "1 while video is throttled for low memory.");
  Append(text, "dvrcore_throttling %d\n", core.throttling ? 1 : 0);
  Family(text, "dvrcore_clock_jumps_total", "counter", "Jumps of the system time reported.");
  Append(text, "dvrcore_clock_jumps_total %" PRIu64 "\n", core.clockJumps);
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
