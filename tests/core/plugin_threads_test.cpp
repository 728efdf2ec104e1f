// Worker, reader and event threads with real plugin files and the real
// executable, and a stress run of every kind of event across a stop.
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "events/names.h"
#include "ipc/packets.h"
#include "tests/support/core_process.h"
#include "tests/support/sanitizers.h"
#include "tests/support/test_dir.h"

namespace dvrtest {
namespace {

class PluginThreads : public ::testing::Test {
 protected:
  void RunUntil(const std::function<void(CoreProcess&)>& whileRunning) {
    CoreProcess core(install);
    ASSERT_TRUE(core.WaitUntilStarted());
    whileRunning(core);
    core.Signal(SIGTERM);
    EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0)) << core.Stderr();
    out = core.Stdout();
  }

  TestDir dir;
  CoreInstall install{dir.Path()};
  std::string out;
};

// The figures file's samples: "name{labels}" -> value.
std::map<std::string, double> ReadFigures(const std::string& file) {
  std::map<std::string, double> values;
  std::istringstream lines(ReadTextFile(file));
  for (std::string line; std::getline(lines, line);) {
    const size_t blank = line.rfind(' ');
    if (line.empty() || line[0] == '#' || blank == std::string::npos) continue;
    values[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return values;
}

TEST_F(PluginThreads, ImmediateEventRunsReadOnAnEventThreadWithACopy) {
  TestPlugin reader = install.AddTestPlugin("reader.so", "id 1\nreader 1\nmask 1 0xFFFFFFFF\n");
  install.AddTestPlugin("raiser.so", "id 2\non open raise source=0 type=1 flags=4 corr=9 text=now\n");
  RunUntil([&](CoreProcess&) {
    ASSERT_TRUE(reader.WaitFor([](const PluginCall& c) { return c.word == "read" && c.Number("corr") == 9; }));
  });
  for (const PluginCall& call : reader.Calls("read")) {
    if (call.Number("corr") != 9) continue;
    EXPECT_EQ(call.Get("thread"), "other");
    EXPECT_EQ(call.Number("len"), 4);
    EXPECT_EQ(call.Data(), std::string("now", 4));
  }
}

// Every thread says whose it is: the core's main thread, and each lent thread
// after the plugin's module name (cut to ten bytes) and its role; a
// thread the plugin starts from one of them, or from its Load or Open, carries
// its name (one started and ended within Open is gone before it is named).
TEST_F(PluginThreads, LentThreadsCarryThePluginsNameAndPassItOn) {
  TestPlugin plugin = install.AddTestPlugin(
      "Video_Source.so",
      "id 1\nworker 1\nreader 1\nmask 1 0xFFFFFFFF\non open thread-name\n"
      "on worker thread-name\non reader thread-name\non read thread-name\n"
      "on load own-thread\non open own-thread\n");
  install.AddTestPlugin("raiser.so", "id 2\non open raise source=0 type=1 flags=4 text=go\n");
  std::multiset<std::string> comms;  // every thread's name but the main thread's
  std::string mainComm;
  RunUntil([&](CoreProcess& core) {
    ASSERT_TRUE(plugin.WaitForCount("thread-name", 4));
    const std::string tasks = "/proc/" + std::to_string(core.Pid()) + "/task/";
    mainComm = ReadTextFile(tasks + std::to_string(core.Pid()) + "/comm");
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      if (task.path().filename() != std::to_string(core.Pid())) {
        comms.insert(ReadTextFile(task.path().string() + "/comm"));
      }
    }
  });
  // Under TSan the process's first thread brings the runtime's own along, in the same call.
  const size_t runtime = kThreadSanitizer && comms.count("video_sour:ld\n") == 2 ? 1 : 0;
  EXPECT_EQ(comms.count("video_sour:ld\n"), 1u + runtime);
  EXPECT_EQ(comms.count("video_sour:op\n"), 1u);
  EXPECT_EQ(mainComm, UnderEmulator() ? mainComm : "dvrcore\n");
  std::map<std::string, std::string> names;
  for (const PluginCall& call : plugin.Calls("thread-name")) {
    EXPECT_EQ(call.Get("child"), call.Get("name")) << call.line;
    names[call.Get("trigger")] = call.Get("name");
  }
  EXPECT_EQ(names, (std::map<std::string, std::string>{{"open", "dvrcore"},
                                                       {"worker", "video_sour:wk"},
                                                       {"reader", "video_sour:rd"},
                                                       {"read", "video_sour:ev"}}));
}

// The figures file holds, per plugin, what it raised (by kind, and what was
// refused, by reason) and what reached it, as the last write at the stop has
// them, with a slow Open above 0.1 s and the core's identity and threads; a
// Prometheus parser takes it when one is installed.
TEST_F(PluginThreads, FiguresFileCountsWhatEachPluginRaisedAndReceived) {
  install.AddTestPlugin("raiser.so",
                        "id 2\non open raise type=2 count=5\n"
                        "on open raise source=0 type=1 count=3\n"
                        "on open raise type=0x40 flags=2 level=50 count=2 text=hello\n"
                        "on open send-parent nobody is listening\n");
  install.AddTestPlugin("writer.so", "id 1\nwrites 1\nmask 2 0xFFFFFFFF\non open sleep 200\n");
  install.AddTestPlugin("reader.so", "id 3\nreader 1\nmask 1 0xFFFFFFFF\n");
  // Names whose lines are long: each must stay a line of its own.
  install.AddTestPlugin(std::string(197, 'n') + ".so", "id 4\n");
  install.AddTestPlugin(std::string(120, '"') + ".so", "id 5\n");
  const std::string file = dir.Path() + "/figures.prom";
  SpawnOptions options;
  options.environment = {"DVRCORE_METRICS_FILE=" + file, "DVRCORE_METRICS_INTERVAL=1"};
  CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  core.Signal(SIGTERM);
  ASSERT_EQ(core.WaitExit(), ExitStatus::Code(0)) << core.Stderr();

  std::map<std::string, double> values = ReadFigures(file);
  auto figure = [&](const std::string& name, const std::string& plugin, const std::string& more) {
    const std::string key = name + "{plugin=\"" + plugin + "\"" + more + "}";
    EXPECT_EQ(values.count(key), 1u) << key;
    return values[key];
  };
  auto name = [](FigureFamily family) { return std::string(FamilyName(family)); };
  const std::string raised = name(FigureFamily::kEventsRaised);
  const std::string deliveries = name(FigureFamily::kDeliveries);
  EXPECT_EQ(figure(raised, "raiser.so", ",kind=\"queued\""), 5);
  EXPECT_EQ(figure(raised, "raiser.so", ",kind=\"immediate\""), 3);
  EXPECT_EQ(figure(raised, "raiser.so", ",kind=\"log\""), 2);
  EXPECT_EQ(figure(raised, "raiser.so", ",kind=\"parent\""), 1);
  EXPECT_EQ(figure(name(FigureFamily::kEventsRefused), "raiser.so", ",reason=\"no_link\""), 1);
  EXPECT_EQ(figure(raised, "writer.so", ",kind=\"queued\""), 0);
  EXPECT_EQ(figure(deliveries, "writer.so", ",kind=\"write\""), 5);
  EXPECT_EQ(figure(deliveries, "reader.so", ",kind=\"read\""), 3);
  EXPECT_EQ(figure(name(FigureFamily::kPluginInfo), "reader.so",
                   ",thread_prefix=\"reader\",id=\"0x00000003\""),
            1);
  EXPECT_GT(figure(name(FigureFamily::kCallSeconds), "raiser.so", ""), 0);
  const std::string durations = name(FigureFamily::kCallDurations);
  EXPECT_EQ(figure(durations + "_bucket", "writer.so", ",entry=\"Open\",le=\"0.1\""), 0);
  EXPECT_EQ(figure(durations + "_bucket", "writer.so", ",entry=\"Open\",le=\"+Inf\""), 1);
  EXPECT_EQ(figure(durations + "_count", "writer.so", ",entry=\"Open\""), 1);
  EXPECT_EQ(values[name(FigureFamily::kBuildInfo) + "{version=\"" DVRCORE_VERSION "\"}"], 1);
  EXPECT_NEAR(values[name(FigureFamily::kStartTime)], static_cast<double>(time(nullptr)), 600);
  for (std::string role : {"main", "io", "watch", "stats", "other"})
    EXPECT_EQ(values.count(name(FigureFamily::kCoreCpu) + "{thread=\"" + role + "\"}"), 1u);
  EXPECT_EQ(values.count(name(FigureFamily::kQueueDepthMax)), 1u);

  if (std::system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") == 0) {
    const std::string parse =
        "/usr/bin/python3 -c 'import sys; from prometheus_client.parser import "
        "text_string_to_metric_families as parse; list(parse(open(sys.argv[1]).read()))' " + file;
    EXPECT_EQ(std::system(parse.c_str()), 0);
  }
}

// The running core's file says it runs; the most events queued is seen while a
// Write holds them and forgotten by a later write; a relayed IOCTL is the I/O thread's CPU.
TEST_F(PluginThreads, FiguresFileWhileTheCoreRuns) {
  const std::string release = dir / "release", file = dir / "figures.prom";
  install.AddTestPlugin("raiser.so", "id 2\non open raise type=2\n");
  install.AddTestPlugin("burst.so", "id 0x00070000\nwrites 1\nmask 2 0xFFFFFFFF\n"
                        "on write raise type=8 flags=1 count=40\non write wait-file " + release +
                        "\non ipc busy 500\n");
  SpawnOptions options = SpawnOptions::WithParentLink();
  options.environment = {"DVRCORE_METRICS_FILE=" + file, "DVRCORE_METRICS_INTERVAL=1"};
  CoreProcess core(install, options);
  ASSERT_TRUE(core.SendIdentification("libbrevad.so", "1"));
  ASSERT_TRUE(core.WaitUntilStarted());
  ASSERT_TRUE(core.Send(MakeIpcPacket(0x00700000, 1, "x", 1)));
  std::map<std::string, double> values;  // until the running core writes what `done` wants
  const std::string up = FamilyName(FigureFamily::kUp);
  const std::string most = FamilyName(FigureFamily::kQueueDepthMax);
  auto writeShows = [&](auto done) {
    for (int polls = 0; polls < 3000; polls++, std::this_thread::sleep_for(Duration(20))) {
      values = ReadFigures(file);
      if (values[up] == 1 && done()) return true;
    }
    return false;
  };
  EXPECT_TRUE(writeShows([&] { return values[most] >= 40; }));
  WriteTextFile(release, "");
  EXPECT_TRUE(writeShows([&] { return values[most] < 40; }));
  const std::string ioCpu = FamilyName(FigureFamily::kCoreCpu) + std::string(R"({thread="io"})");
  EXPECT_TRUE(writeShows([&] { return values[ioCpu] > 0.4; }));
  core.Signal(SIGTERM);
  ASSERT_EQ(core.WaitExit(), ExitStatus::Code(0)) << core.Stderr();
  EXPECT_EQ(ReadFigures(file)[up], 0);
}

TEST_F(PluginThreads, AnswersFromReadAreQueuedAndDelivered) {
  install.AddTestPlugin("reader.so",
                        "id 1\nreader 1\nmask 1 0xFFFFFFFF\n"
                        "on read raise type=2 corr=same bytes=answer\n");
  TestPlugin sink = install.AddTestPlugin("sink.so", "id 3\nwrites 1\nmask 2 0xFFFFFFFF\n");
  install.AddTestPlugin("raiser.so", "id 2\non open raise source=0 type=1 corr=5 count=3\n");
  // The sink takes only the answers' type.
  RunUntil([&](CoreProcess&) { ASSERT_TRUE(sink.WaitForCount("write", 3)); });
  size_t answers = 0;
  for (const PluginCall& call : sink.Calls("write")) {
    if (call.Number("corr") != 5) continue;
    answers++;
    EXPECT_EQ(call.Number("source"), 1);
    EXPECT_EQ(call.Data(), std::string("answer"));
  }
  EXPECT_EQ(answers, 3u);
}

TEST_F(PluginThreads, UnloadWaitsForEventThreadsStillInRead) {
  TestPlugin slow = install.AddTestPlugin("slow.so",
                                          "id 1\nreader 1\nmask 1 0xFFFFFFFF\non read sleep 700\n");
  install.AddTestPlugin("raiser.so", "id 2\non open raise source=0 type=1 count=4\n");
  RunUntil([&](CoreProcess&) { ASSERT_TRUE(slow.WaitFor("read")); });
  std::vector<PluginCall> calls = slow.Calls();
  size_t unload = calls.size(), lastSlept = 0;
  for (size_t i = 0; i < calls.size(); i++) {
    if (calls[i].word == "unload") unload = i;
    if (calls[i].word == "slept") lastSlept = i;
  }
  ASSERT_LT(unload, calls.size());
  EXPECT_LT(lastSlept, unload);
}

// A lent thread is the plugin's to end, in each of the ways C and C++ code
// ends a thread: the core goes on, closes and unloads every plugin, and stops
// cleanly (an event thread's bookkeeping must not outlive it, or unloading
// waits for it forever).
TEST_F(PluginThreads, PluginsEndingTheirLentThreadsLeaveTheCoreRunning) {
  const std::vector<std::pair<std::string, std::string>> plugins = {
      {"worker-exit.so", "id 1\nworker 1\non worker exit-thread\n"},
      {"reader-exit.so", "id 2\nreader 1\non reader exit-thread\n"},
      {"event-exit.so", "id 3\nreader 1\nmask 1 0xFFFFFFFF\non read exit-thread\n"},
      {"cancels.so", "id 4\nworker 1\non worker pause\non close cancel-worker\n"},
  };
  std::vector<TestPlugin> installed;
  for (const auto& [fileName, config] : plugins) installed.push_back(install.AddTestPlugin(fileName, config));
  install.AddTestPlugin("raiser.so", "id 5\non open raise source=0 type=1 count=3 text=go\n");
  RunUntil([&](CoreProcess&) {
    ASSERT_TRUE(installed[2].WaitForCount("read", 3));
    ASSERT_TRUE(installed[3].WaitFor("ioctl"));
  });
  for (const TestPlugin& plugin : installed) {
    EXPECT_EQ(plugin.Calls("close").size(), 1u) << plugin.path;
    EXPECT_EQ(plugin.Calls("unload").size(), 1u) << plugin.path;
  }
  ASSERT_EQ(installed[3].Calls("cancelled").size(), 1u);
  EXPECT_EQ(installed[3].Calls("cancelled")[0].Number("ret"), 0);
}

// A process that a plugin starts, from any thread the core runs plugin code
// on and however it starts it, inherits nothing of the core's signal
// handling: no stop signal, SIGPIPE or SIGXFSZ blocked or ignored (an ignored
// SIGPIPE would survive exec and break the helper's pipelines), also after a
// plugin's write to a closed pipe has failed with EPIPE instead of ending
// the core. The programs run directly, not through a shell, which would reset
// the mask; system() shows what a shell inherits.
TEST_F(PluginThreads, ProcessesPluginsStartInheritNoSignalHandling) {
  const std::string systemStatus = dir / "system.status";
  TestPlugin starter = install.AddTestPlugin(
      "starter.so",
      "id 1\nworker 1\nreader 1\nwrites 1\nmask 1 0xFFFFFFFF\nmask 2 0xFFFFFFFF\n"
      "on open broken-pipe\non worker broken-pipe\non read broken-pipe\n"
      "on open spawn /bin/sleep 60\non open fork-exec /bin/sleep 60\n"
      // On close, when the other starts are over: while system() waits,
      // SIGINT and SIGQUIT are ignored in the whole process, so a process
      // another thread starts meanwhile inherits that from the C library.
      "on close system /bin/cp /proc/self/status " + systemStatus + "\n"
      "on worker spawn /bin/sleep 60\n"
      "on reader spawn /bin/sleep 60\non read spawn /bin/sleep 60\n"
      "on write spawn /bin/sleep 60\n");
  install.AddTestPlugin("raiser.so", "id 2\non open raise source=0 type=1 text=go\non open raise type=2\n");
  RunUntil([&](CoreProcess&) { ASSERT_TRUE(starter.WaitForCount("spawned", 6)); });
  for (const PluginCall& pipe : starter.Calls("broken-pipe")) {
    EXPECT_EQ(pipe.Number("errno"), EPIPE) << pipe.line;
  }
  EXPECT_EQ(starter.Calls("broken-pipe").size(), 3u);

  const uint64_t signalBits = (1u << (SIGINT - 1)) | (1u << (SIGQUIT - 1)) | (1u << (SIGTERM - 1)) |
                              (1u << (SIGPIPE - 1)) | (1u << (SIGXFSZ - 1));
  auto field = [](const std::string& status, const char* name) {
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
      if (line.compare(0, 7, name) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return ~0ull;
  };
  ASSERT_EQ(starter.Calls("system").size(), 1u);
  // A shell may ignore SIGQUIT (and SIGINT) of its own accord: busybox's
  // does, and it is /bin/sh on the board as on many devices.
  const uint64_t shellMayIgnore = (1u << (SIGINT - 1)) | (1u << (SIGQUIT - 1));
  EXPECT_EQ(field(ReadTextFile(systemStatus), "SigIgn:") & signalBits & ~shellMayIgnore, 0u);
  std::set<std::string> triggers;
  for (const PluginCall& spawned : starter.Calls("spawned")) {
    triggers.insert(spawned.Get("trigger"));
    const pid_t pid = static_cast<pid_t>(spawned.Number("pid"));
    ASSERT_GT(pid, 0) << spawned.line;
    const std::string status = ReadTextFile("/proc/" + std::to_string(pid) + "/status");
    EXPECT_EQ(field(status, "SigBlk:") & signalBits, 0u) << spawned.line << status;
    EXPECT_EQ(field(status, "SigIgn:") & signalBits, 0u) << spawned.line << status;
    // And it does stop: a zombie, or gone once its new parent has reaped it.
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    bool stopped = false;
    for (int i = 0; i < 500 && !stopped; i++) {
      const std::string state = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
      const size_t paren = state.rfind(')');
      stopped = paren == std::string::npos || state.compare(paren + 2, 1, "Z") == 0;
      if (!stopped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(stopped) << spawned.line;
  }
  EXPECT_EQ(triggers, (std::set<std::string>{"open", "worker", "reader", "read", "write"}));
}

// Every kind of event from every kind of thread while a stop arrives: the
// core stops cleanly, delivers what it accepted, frees what it owns.
TEST_F(PluginThreads, StressAcrossAStop) {
  install.AddTestPlugin("busy.so",
                        "id 0x00010000\nworker 1\nreader 1\nwrites 1\n"
                        "mask 1 0xFFFFFFFF\nmask 2 0xFFFFFFFF\nmask 3 0xFFFFFFFF\n"
                        "on worker raise type=2 flags=1 count=300 text=queued{i}\n"
                        "on worker raise source=0 type=1 count=100 corr=7 text=now{i}\n"
                        "on worker raise source=0 type=0x1000 corr=7\n"
                        "on reader raise type=3 count=300 text=both{i}\n"
                        "on read raise type=4 corr=same count=2 text=answer\n"
                        "on write raise type=0x200\n"
                        "result write 0 retain=1\n"
                        "on write release\n"
                        "on close release\n");
  install.AddTestPlugin("other.so",
                        "id 0x00020000\nreader 1\nwrites 1\nmask 1 0xFFFFFFFF\nmask 3 0xFFFFFFFF\n"
                        "on read raise type=4 corr=same text=answer2\n");
  TestPlugin watcher = install.AddTestPlugin("watcher.so", "id 0x00030000\nwrites 1\nmask 3 0xFFFFFFFF\n");
  RunUntil([&](CoreProcess&) { ASSERT_TRUE(watcher.WaitFor("write")); });
  // busy.so gives back each kept buffer at its next write and the last one
  // at Close: nothing is left to report.
  EXPECT_EQ(out.find("leaked by plugin"), std::string::npos) << out;
}

}  // namespace
}  // namespace dvrtest
