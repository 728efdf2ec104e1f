// dvrcore-top (tools/dvrcore_top.cpp): its reader of the core's figures file
// on a table of lines, and the tool run as a program on the real core with
// copies of the test plugin, one of which spins on its worker thread.
#include "tools/top_figures.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "events/names.h"
#include "tests/support/core_process.h"
#include "tests/support/test_dir.h"

namespace {

using dvrtop::LineKind;
using Labels = std::vector<std::pair<std::string, std::string>>;

TEST(TopFigures, ReadsTheTextFormatLineByLine) {
  const struct {
    const char* line;
    LineKind kind;
    const char* name;
    Labels labels;
    double value;
  } cases[] = {
      {"# TYPE dvrcore_queue_depth gauge", LineKind::kIgnored, "", {}, 0},
      {"  ", LineKind::kIgnored, "", {}, 0},
      {"dvrcore_queue_depth 3", LineKind::kFigure, "dvrcore_queue_depth", {}, 3},
      {"dvrcore_resident_bytes 1.5e+06 1700000000000", LineKind::kFigure,
       "dvrcore_resident_bytes", {}, 1.5e6},  // the timestamp is ignored
      {R"(dvrcore_plugin_info{plugin="a \"b\".so", thread_prefix="c\\d\ne",} 1)", LineKind::kFigure,
       "dvrcore_plugin_info", {{"plugin", "a \"b\".so"}, {"thread_prefix", "c\\d\ne"}}, 1},
      {R"(x{a="}{,"} +Inf)", LineKind::kFigure, "x", {{"a", "}{,"}}, HUGE_VAL},
      {R"(x{a="\t"} 1)", LineKind::kMalformed, "", {}, 0},  // no such escape
      {R"(x{a="1} 1)", LineKind::kMalformed, "", {}, 0},
      {"x{a=1} 1", LineKind::kMalformed, "", {}, 0},
      {"x one", LineKind::kMalformed, "", {}, 0},
      {"x 1 2 3", LineKind::kMalformed, "", {}, 0},
      {"9x 1", LineKind::kMalformed, "", {}, 0},
  };
  for (const auto& c : cases) {
    dvrtop::Figure figure;
    ASSERT_EQ(dvrtop::ParseFigureLine(c.line, figure), c.kind) << c.line;
    if (c.kind != LineKind::kFigure) continue;
    EXPECT_EQ(figure.name, c.name) << c.line;
    EXPECT_EQ(figure.labels, c.labels) << c.line;
    EXPECT_EQ(figure.value, c.value) << c.line;
  }

  // Counters summed over their kinds, calls and those within 1 s over entries.
  dvrtop::CoreFigures figures = dvrtop::ReadFigures(
      "dvrcore_plugin_deliveries_total{plugin=\"p.so\",kind=\"write\"} 4\n"
      "dvrcore_plugin_deliveries_total{plugin=\"p.so\",kind=\"read\"} 5\n"
      "dvrcore_plugin_call_duration_seconds_bucket{plugin=\"p.so\",entry=\"Open\",le=\"1\"} 1\n"
      "dvrcore_plugin_call_duration_seconds_bucket{plugin=\"p.so\",entry=\"Open\",le=\"10\"} 2\n"
      "dvrcore_plugin_call_duration_seconds_count{plugin=\"p.so\",entry=\"Open\"} 2\n"
      "dvrcore_plugin_call_duration_seconds_bucket{plugin=\"p.so\",entry=\"Write\",le=\"1\"} 7\n"
      "dvrcore_plugin_call_duration_seconds_count{plugin=\"p.so\",entry=\"Write\"} 9\n"
      "dvrcore_queue_depth_max 7\nbroken{\n");
  EXPECT_EQ(figures.plugins["p.so"].eventsIn, 9);
  EXPECT_EQ(figures.plugins["p.so"].calls, 11);
  EXPECT_EQ(figures.plugins["p.so"].callsUpToSecond, 8);
  EXPECT_EQ(figures.coreWide["dvrcore_queue_depth_max"], 7);
  EXPECT_EQ(figures.malformedLines, 1u);

  using std::string_literals::operator""s;
  EXPECT_EQ(dvrtop::FiguresPathFromEnvironment("A=1\0DVRCORE_METRICS_FILE=f\0"s, "/proc/9/cwd"),
            "/proc/9/cwd/f");
  EXPECT_EQ(dvrtop::FiguresPathFromEnvironment("DVRCORE_METRICS_FILE=/run/f\0"s, "/c"), "/run/f");
  EXPECT_EQ(dvrtop::FiguresPathFromEnvironment("DVRCORE_METRICS_FILE\0=x\0"s, "/c"), std::nullopt);
}

struct TopRow {
  std::string name;
  int threads = 0;
  double cpu = 0;
};

// The table's lines below its heading.
std::vector<TopRow> Rows(const std::string& out) {
  std::vector<TopRow> rows;
  std::istringstream lines(out.substr(std::min(out.size(), out.find("\nPLUGIN "))));
  std::string line;
  for (std::getline(lines, line), std::getline(lines, line); std::getline(lines, line);) {
    TopRow row;
    if (std::istringstream(line) >> row.name >> row.threads >> row.cpu) rows.push_back(row);
  }
  return rows;
}

FILE* Start(const std::string& program, const std::string& args) {
  std::string command;
  for (const std::string& word : dvrtest::EmulatorCommand()) command += "'" + word + "' ";
  return popen((command + "'" + program + "' " + args).c_str(), "r");
}

FILE* StartTop(const std::string& args) { return Start(DVRCORE_TOP, args); }

// What a program prints on both outputs, and its exit status.
std::pair<std::string, int> RunTool(const std::string& program, const std::string& args) {
  std::string out;
  FILE* run = Start(program, args + " 2>&1");
  if (run == nullptr) return {"", -1};
  for (int c; (c = std::fgetc(run)) != EOF;) out += static_cast<char>(c);
  const int status = pclose(run);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The tools name the version the core prints, each its own way of asking.
// dvrcore-top refuses a process that is not a core: this test's own.
TEST(DvrcoreTools, VersionIsTheCoresAndTopRefusesWhatIsNoCore) {
  const std::string help = RunTool(dvrtest::CoreExecutablePath(), "-h").first;
  ASSERT_EQ(help.rfind("core version ", 0), 0u) << help;
  const std::string version = help.substr(0, help.find('\n') + 1).substr(sizeof "core" - 1);
  const std::string self = std::to_string(getpid());
  const struct {
    const char* program;
    std::string args;
    std::string out;
    int status;
  } rows[] = {
      {DVRCORE_TOP, "--version", "dvrcore-top" + version, 0},
      {DVRCORE_INSPECT, "--version", "dvrcore-inspect" + version, 0},
      {STANDIN, "--version", "brevad-standin" + version, 0},
      {DVRCORE_TOP, "--once " + self, "dvrcore-top: process " + self + " is not a dvrcore core\n",
       1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(RunTool(row.program, row.args), std::make_pair(row.out, row.status)) << row.args;
  }
}

// Plugins with a worker each: one spins, two wait for Close. The figures
// file, found through the core's environment relative to its working
// directory, names two of them; the third is named by its threads alone.
TEST(DvrcoreTop, SpinningWorkerComesFirstAndTheToolEndsWithTheCore) {
  dvrtest::TestDir dir;
  dvrtest::CoreInstall install(dir.Path());
  install.AddTestPlugin("idle_a.so", "id 1\nworker 1\non worker block\n");
  install.AddTestPlugin("spinner.so", "id 2\nworker 1\non worker spin\n");
  install.AddTestPlugin("idle_b.so", "id 3\nworker 1\non worker block\n");
  dvrtest::WriteTextFile(
      install.WorkDir() + "/figures.prom",
      "dvrcore_plugin_info{plugin=\"spinner.so\",thread_prefix=\"spinner\",id=\"0x00000002\"} 1\n"
      "dvrcore_plugin_info{plugin=\"idle_a.so\",thread_prefix=\"idle_a\",id=\"0x00000001\"} 1\n");
  dvrtest::SpawnOptions options;
  options.environment = {"DVRCORE_METRICS_FILE=figures.prom"};
  dvrtest::CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  const std::string pid = std::to_string(core.Pid());

  std::string out;
  FILE* top = StartTop("--once " + pid);
  ASSERT_NE(top, nullptr);
  for (int c; (c = std::fgetc(top)) != EOF;) out += static_cast<char>(c);
  EXPECT_EQ(pclose(top), 0) << out;
  std::vector<TopRow> rows = Rows(out);
  ASSERT_GE(rows.size(), 4u) << out;
  EXPECT_EQ(rows[0].name, "spinner.so") << out;
  EXPECT_EQ(rows[0].threads, 1) << out;
  int idle = 0;
  for (const TopRow& row : rows) {
    if (row.name.rfind("idle_", 0) != 0) continue;
    idle++;
    EXPECT_EQ(row.threads, 1) << out;
    EXPECT_LT(row.cpu * 4, rows[0].cpu) << out;
  }
  EXPECT_EQ(idle, 2) << out;

  // Redrawing until the core has ended, then ending with status 0.
  top = StartTop(pid + " 2>&1");
  ASSERT_NE(top, nullptr);
  char line[512];
  while (std::fgets(line, sizeof line, top) != nullptr &&
         std::string(line).rfind("PLUGIN ", 0) != 0) {
  }
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), dvrtest::ExitStatus::Code(0));
  out.clear();
  while (std::fgets(line, sizeof line, top) != nullptr) out = line;
  EXPECT_EQ(pclose(top), 0);
  EXPECT_EQ(out, "dvrcore-top: process " + pid + " has ended\n");
}

// Module names alike in their first ten bytes, cut there inside a character,
// or the core's own: in the figures file and in the tool, each plugin counts
// its own worker alone, and none the core's threads.
TEST(DvrcoreTop, EachPluginCountsItsOwnThreadsWhateverItsName) {
  dvrtest::TestDir dir;
  dvrtest::CoreInstall install(dir.Path());
  const std::string names[] = {"video_source_a.so", "video_source_b.so", "dvrcore.so",
                               "a\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.so"};
  std::vector<dvrtest::TestPlugin> plugins;
  for (const std::string& name : names) {
    plugins.push_back(install.AddTestPlugin(
        name, "id " + std::to_string(plugins.size() + 1) + "\nworker 1\non worker block\n"));
  }
  const std::string file = install.WorkDir() + "/figures.prom";
  dvrtest::SpawnOptions options;
  options.environment = {"DVRCORE_METRICS_FILE=" + file, "DVRCORE_METRICS_INTERVAL=1"};
  dvrtest::CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  for (const dvrtest::TestPlugin& plugin : plugins) ASSERT_TRUE(plugin.WaitFor("ioctl"));
  // The second file written from now on was sampled after every worker named itself.
  for (int written = 0; written < 2; written++) {
    std::remove(file.c_str());
    for (int i = 0; i < 3000 && !dvrtest::FileExists(file); i++) usleep(10000);
  }
  const std::string text = dvrtest::ReadTextFile(file);
  std::string out;
  FILE* top = StartTop("--once " + std::to_string(core.Pid()));
  ASSERT_NE(top, nullptr);
  for (int c; (c = std::fgetc(top)) != EOF;) out += static_cast<char>(c);
  EXPECT_EQ(pclose(top), 0) << out;
  for (const std::string& name : names) {
    const std::string line = FamilyName(FigureFamily::kThreads) + ("{plugin=\"" + name + "\"} 1\n");
    EXPECT_NE(text.find(line), std::string::npos) << name << "\n" << text;
    int threads = -1;
    for (const TopRow& row : Rows(out)) threads = row.name == name ? row.threads : threads;
    EXPECT_EQ(threads, 1) << name << "\n" << out;
  }
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), dvrtest::ExitStatus::Code(0));
}

}  // namespace
