// The text of the figures file, whose label values come from file names that
// may hold any byte but '/'. (The index of the figures is tested in
// tests/events/figures_book_test.cpp.)
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/figures_file.h"
#include "events/figures.h"

namespace {

// Label values are escaped as the text format wants them; two plugins of one
// file name (one in each plugin folder) stay two series.
TEST(FiguresFile, LabelValuesAreEscapedAndSeriesStayUnique) {
  auto times = [](size_t n, const char* piece) {
    std::string text;
    while (n-- > 0) text += piece;
    return text;
  };
  struct Row {
    std::string fileName;
    uint32_t id;
    std::string label;  // as the info line must carry it
  } rows[] = {
      {"plain.so", 0x00010000, "plain.so"},
      {"quote\"back\\slash\nline.so", 0x00020000, "quote\\\"back\\\\slash\\nline.so"},
      {"caf\xC3\xA9.so", 0x00030000, "caf\xC3\xA9.so"},
      {"bad\xFF\xC3.so", 0x00040000, "bad??.so"},
      {"plain.so", 0x00050000, "plain.so@0x00050000"},
      // The longest file names, each of its lines whole.
      {std::string(252, 'l') + ".so", 0x00060000, std::string(252, 'l') + ".so"},
      {times(84, "\"") + times(84, "\\") + times(84, "\xFF") + ".so", 0x00070000,
       times(84, "\\\"") + times(84, "\\\\") + times(84, "?") + ".so"},
  };
  PluginFiguresBook book;
  std::vector<PluginFiguresRow> plugins;
  for (const Row& row : rows) {
    PluginFigures& figures = book.Open(row.fileName, "tag");
    book.Publish(figures, row.id);
    plugins.push_back({&figures, 0, 0, 0, 0});
  }
  const std::string text = FormatFigures(CoreFigures{}, plugins);
  for (const Row& row : rows) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", row.id);
    const std::string line = "dvrcore_plugin_info{plugin=\"" + row.label +
                             "\",thread_prefix=\"tag\",id=\"" + id + "\"} 1\n";
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.find("timestamp"), std::string::npos);
  if (std::system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") == 0) {
    const std::string file = ::testing::TempDir() + "figures_test.prom";
    FILE* out = std::fopen(file.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    const std::string parse =
        "/usr/bin/python3 -c 'import sys; from prometheus_client.parser import "
        "text_string_to_metric_families as parse; list(parse(open(sys.argv[1]).read()))' " + file;
    EXPECT_EQ(std::system(parse.c_str()), 0);
  }
}

// What a collector is told of each family, exactly and in order: dashboards
// and alerts are built on these names, so a change to the list of families
// (events/names.h) must show here as a change of this text.
TEST(FiguresFile, FamiliesAreNamedDescribedAndTypedAsPublished) {
  const std::string text = FormatFigures(CoreFigures{}, {});
  std::string described;
  for (size_t at = 0, end; at < text.size(); at = end) {
    end = text.find('\n', at) + 1;
    if (text[at] == '#') described.append(text, at, end - at);
  }
  EXPECT_EQ(described, R"(# HELP dvrcore_build_info The core's version, in the label version.
# TYPE dvrcore_build_info gauge
# HELP dvrcore_start_time_seconds When the core started, in Unix time.
# TYPE dvrcore_start_time_seconds gauge
# HELP dvrcore_up 1 while the core runs; 0 in the last write of a clean stop. A core that was killed leaves 1 in a file that is no longer rewritten.
# TYPE dvrcore_up gauge
# HELP dvrcore_plugin_info A loaded plugin, with the prefix of its threads' names and its ID.
# TYPE dvrcore_plugin_info gauge
# HELP dvrcore_plugin_events_raised_total Events the plugin raised, by kind, taken or not.
# TYPE dvrcore_plugin_events_raised_total counter
# HELP dvrcore_plugin_events_refused_total Events of the plugin the core did not take, by reason.
# TYPE dvrcore_plugin_events_refused_total counter
# HELP dvrcore_plugin_deliveries_total Calls that brought the plugin something: Write, configuration IOCTL, packets from the parent, event-thread Read.
# TYPE dvrcore_plugin_deliveries_total counter
# HELP dvrcore_plugin_call_seconds_total Time in the plugin's entries called by the core, and in event-thread Read.
# TYPE dvrcore_plugin_call_seconds_total counter
# HELP dvrcore_plugin_call_duration_seconds Calls into the plugin's entries by the core, and event-thread Read, by duration.
# TYPE dvrcore_plugin_call_duration_seconds histogram
# HELP dvrcore_plugin_buffers_held Event buffers the plugin holds now (kept with retain, or in its call).
# TYPE dvrcore_plugin_buffers_held gauge
# HELP dvrcore_plugin_threads Threads named after the plugin, as last sampled.
# TYPE dvrcore_plugin_threads gauge
# HELP dvrcore_plugin_threads_max The most threads named after the plugin seen at one sample (every second) since the last write.
# TYPE dvrcore_plugin_threads_max gauge
# HELP dvrcore_plugin_cpu_seconds_total CPU time of the threads named after the plugin.
# TYPE dvrcore_plugin_cpu_seconds_total counter
# HELP dvrcore_core_cpu_seconds_total CPU time of the core's own threads: main, io (with the IOCTLs it relays to plugins), watch, stats; other is the rest of the process's, threads that ended included. Together with dvrcore_plugin_cpu_seconds_total, the process's CPU time.
# TYPE dvrcore_core_cpu_seconds_total counter
# HELP dvrcore_queue_depth Events waiting for the main loop.
# TYPE dvrcore_queue_depth gauge
# HELP dvrcore_queue_depth_max The most events that waited for the main loop at one time since the last write.
# TYPE dvrcore_queue_depth_max gauge
# HELP dvrcore_parent_bytes_waiting Bytes of packets for the parent accepted and not yet written.
# TYPE dvrcore_parent_bytes_waiting gauge
# HELP dvrcore_parent_refusing 1 while packets for the parent are refused because it is not reading.
# TYPE dvrcore_parent_refusing gauge
# HELP dvrcore_resident_bytes The core's resident memory.
# TYPE dvrcore_resident_bytes gauge
# HELP dvrcore_throttling 1 while video is throttled for low memory.
# TYPE dvrcore_throttling gauge
# HELP dvrcore_clock_jumps_total Jumps of the system time reported.
# TYPE dvrcore_clock_jumps_total counter
)");
}

// A call counts in the first bucket whose bound it does not exceed; the
// buckets are cumulative, and the count is the last one's, +Inf.
TEST(FiguresFile, CallDurationsAreACumulativeHistogram) {
  PluginFiguresBook book;
  PluginFigures& figures = book.Open("p.so", "p");
  for (uint64_t ticks : {uint64_t{0}, CallBoundTicks(0), CallBoundTicks(0) + 1,
                         CallBoundTicks(3) + 1, CallBoundTicks(5) + 1}) {
    figures.CountCall(CallEntry::kWrite, ticks);
  }
  const std::string text = FormatFigures(CoreFigures{}, {{&figures, 0, 0, 0, 0}});
  for (const char* line : {"_bucket{plugin=\"p.so\",entry=\"Write\",le=\"0.0001\"} 2\n",
                           "le=\"0.001\"} 3\n", "le=\"0.1\"} 3\n", "le=\"1\"} 4\n",
                           "le=\"10\"} 4\n", "le=\"+Inf\"} 5\n", "entry=\"Write\"} 5\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

// Only a regular file, or none, is replaced by the figures: a FIFO, a socket,
// a device or a symbolic link stays what it was.
TEST(FiguresFile, ReplacesOnlyARegularFileOrNone) {
  const std::string dir = ::testing::TempDir() + "figures_nodes.";
  const std::string regular = dir + "regular";
  std::fclose(std::fopen(regular.c_str(), "w"));
  const struct {
    const char* name;
    std::function<int(const std::string&)> make;
    mode_t type;
  } rows[] = {
      {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0600); }, S_IFIFO},
      {"device", [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)); }, S_IFCHR},
      {"socket", [](const std::string& p) {
         sockaddr_un address{AF_UNIX, {}};
         p.copy(address.sun_path, sizeof address.sun_path - 1);
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         const int bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
         close(fd);
         return bound;
       }, S_IFSOCK},
      {"link", [&](const std::string& p) { return symlink(regular.c_str(), p.c_str()); }, S_IFLNK},
      {"regular", [](const std::string&) { return 0; }, S_IFREG},
      {"missing", [](const std::string&) { return 0; }, S_IFREG},
  };
  for (const auto& row : rows) {
    const std::string path = dir + row.name;
    if (row.type != S_IFREG) unlink(path.c_str());
    if (row.make(path) != 0) continue;  // a device needs root
    PluginFiguresBook book;
    FiguresFile file(book, [] { return CoreFigures{}; }, [] { return std::map<uint32_t, size_t>{}; });
    ASSERT_TRUE(file.Configure(path.c_str(), nullptr));
    file.StopAndWrite();
    struct stat status {};
    ASSERT_EQ(lstat(path.c_str(), &status), 0) << row.name;
    EXPECT_EQ(status.st_mode & S_IFMT, row.type) << row.name;
    if (row.type == S_IFREG) {
      EXPECT_GT(status.st_size, 0) << row.name;
    }
    unlink(path.c_str());
  }
}

// The figures file's mode is DVRCORE_METRICS_MODE's, or 0644 (readable by a
// collector of another user), whatever the core's file creation mask (077).
TEST(FiguresFile, ModeIsTheSettingsOrReadableByAllWhateverTheMask) {
  const std::string path = ::testing::TempDir() + "figures_mode.prom";
  const struct {
    const char* setting;
    mode_t mode;
  } rows[] = {{nullptr, 0644}, {"0640", 0640}, {"600", 0600}, {"0x1", 0644}, {"01000", 0644},
              {"", 0644}};
  const mode_t mask = umask(077);
  for (const auto& row : rows) {
    unlink(path.c_str());
    PluginFiguresBook book;
    FiguresFile file(book, [] { return CoreFigures{}; },
                     [] { return std::map<uint32_t, size_t>{}; });
    ASSERT_TRUE(file.Configure(path.c_str(), nullptr, row.setting));
    file.StopAndWrite();
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, row.mode) << (row.setting ? row.setting : "unset");
  }
  umask(mask);
  unlink(path.c_str());
}

}  // namespace

namespace {

// CPU time by thread ID for the sampler below; 0 is the process.
std::map<pid_t, uint64_t> g_cpuNs;
bool FakeCpu(pid_t tid, uint64_t& ns) {
  auto it = g_cpuNs.find(tid);
  if (it == g_cpuNs.end()) return false;
  ns = it->second;
  return true;
}

// The threads' figures from a task folder made up as /proc lays it out: a
// thread is its plugin's by the longest tag its name begins with before a
// ':', or a role of the core's; a count between writes reads only new
// threads, and the CPU time of the others is taken at the next full sample.
TEST(FiguresFile, ThreadsAreAttributedAndTheirTimeTakenAtFullSamples) {
  const std::string proc = ::testing::TempDir() + "figures_proc." + std::to_string(getpid());
  const std::string task = proc + "/task";
  auto stat = [](const std::string& folder, const std::string& name, int threads) {
    mkdir(folder.c_str(), 0700);
    FILE* file = std::fopen((folder + "/stat").c_str(), "w");
    ASSERT_NE(file, nullptr) << folder;
    // After the name: the state, 16 fields, num_threads (field 20), 2 more.
    std::fprintf(file, "7 (%s) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 %d 0 55 4096\n",
                 name.c_str(), threads);
    std::fclose(file);
  };
  mkdir(proc.c_str(), 0700);
  mkdir(task.c_str(), 0700);
  const std::vector<std::pair<int, std::string>> threads = {
      {101, "cam:hd:w"}, {102, "cam:w"}, {103, "camera:w"}, {104, "dvrcore:io"}, {105, "other"}};
  for (const auto& [tid, name] : threads) {
    stat(task + "/" + std::to_string(tid), name, 5);
    g_cpuNs[tid] = 10;
  }
  stat(proc, "dvrcore", 5);
  g_cpuNs[0] = 100;
  const std::vector<std::string> tags = {"cam", "cam:hd", "other"};

  ThreadSampler sampler(&FakeCpu);
  sampler.Sample(tags, ThreadSampler::Depth::kFull, task.c_str());
  EXPECT_EQ(sampler.Of("cam:hd").threads, 1u);  // 101, the longer tag
  EXPECT_EQ(sampler.Of("cam").threads, 1u);     // 102; "camera" is no tag of it
  EXPECT_EQ(sampler.Of("other").threads, 0u);   // a tag without the ':' after it
  EXPECT_EQ(sampler.Of("cam").cpuNs, 10u);
  EXPECT_EQ(sampler.CoreNs(CoreThread::kIo), 10u);
  EXPECT_EQ(sampler.ProcessNs(), 100u);

  // Between writes: 102's time is not read; a new thread of "cam" is, whole.
  g_cpuNs[102] = 25;
  stat(task + "/106", "cam:x", 6);
  g_cpuNs[106] = 7;
  stat(proc, "dvrcore", 6);
  sampler.Sample(tags, ThreadSampler::Depth::kCount, task.c_str());
  EXPECT_EQ(sampler.Of("cam").threads, 2u);
  EXPECT_EQ(sampler.Of("cam").cpuNs, 17u);
  // As many threads as listed: the listing stands, and nothing is read.
  g_cpuNs[106] = 9;
  sampler.Sample(tags, ThreadSampler::Depth::kCount, task.c_str());
  EXPECT_EQ(sampler.Of("cam").cpuNs, 17u);
  // A thread whose clock went back is another under the same ID, taken whole.
  g_cpuNs[101] = 4;
  sampler.Sample(tags, ThreadSampler::Depth::kFull, task.c_str());
  EXPECT_EQ(sampler.Of("cam").cpuNs, 34u);  // 102's 15 more, 106's 2
  EXPECT_EQ(sampler.Of("cam:hd").cpuNs, 14u);
  EXPECT_EQ(sampler.Of("cam").threadsMost, 2u);
  g_cpuNs[102] = 30;
  sampler.Sample(tags, ThreadSampler::Depth::kFull, task.c_str());
  EXPECT_EQ(sampler.Of("cam").cpuNs, 39u);  // a known thread: only what it added
  EXPECT_EQ(std::system(("rm -rf '" + proc + "'").c_str()), 0);
}

}  // namespace
