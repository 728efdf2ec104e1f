// Logging with the real executable: console lines byte for byte on a real
// terminal, silence when standard output is not one, syslog for failures
// only, and level-0 lines that go nowhere but the console.
#include <signal.h>

#include <ctime>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/core_process.h"
#include "tests/support/test_dir.h"

namespace dvrtest {
namespace {

const std::string kStartText = dvrtest::kStartedLine;

// Local time far from UTC, so that a local time stamp cannot pass for UTC.
const char* const kFarTimeZone = "TZ=IST-5:30";

// "on open" lines raising a log event from the plugin itself (queued, since
// its source is not 0) with the given level and text.
std::string RaiseLog(unsigned level, const std::string& text, const std::string& extra = "") {
  return "on open raise type=0x40 flags=2 level=" + std::to_string(level) + extra + " text=" + text +
         "\n";
}

class Logging : public ::testing::Test {
 protected:
  SpawnOptions Options() {
    SpawnOptions options;
    options.environment = {kFarTimeZone};
    return options;
  }

  TestDir dir;
  CoreInstall install{dir.Path()};
};

TEST_F(Logging, TimeStampColourFollowsLevelAndAbove100IsPlain) {
  struct Expected {
    unsigned level;
    int colour;  // -1: no colour
  };
  const Expected expected[] = {{0, 5},  {24, 5}, {25, 2}, {49, 2},  {50, 3},
                               {74, 3}, {75, 1}, {100, 1}, {101, -1}};
  std::string config = "id 0x00110000\n";
  for (const Expected& e : expected) config += RaiseLog(e.level, "level " + std::to_string(e.level));
  install.AddTestPlugin("cam.so", config);

  std::time_t before = std::time(nullptr);
  CoreProcess core(install, Options());
  for (const Expected& e : expected) {
    std::optional<std::string> line =
        core.WaitForStdoutLine(ConsoleLine(e.colour, "cam   ", "level " + std::to_string(e.level)));
    ASSERT_TRUE(line) << "level " << e.level;
    EXPECT_TRUE(StampIsUtcBetween(*line, before, std::time(nullptr))) << *line;
  }
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));

  // Every line on the terminal is a whole log line: nothing else, no "\r".
  for (const std::string& line : SplitLines(core.Stdout())) {
    EXPECT_TRUE(std::regex_match(line, std::regex("\x1b\\[3[1235]m[0-9:]{8}\x1b\\[36m .{6}\x1b\\[0m .*\n")) ||
                std::regex_match(line, std::regex("[0-9:]{8} .{6} .*\n")))
        << line;
  }
}

TEST_F(Logging, TagIsTheSpeakersNameInSixCharacters) {
  install.AddTestPlugin("recorder.so",
                        "id 0x00120000\n" + RaiseLog(50, "from recorder") +
                            RaiseLog(50, "from a stranger", " source=0x00abcdef"));
  install.AddTestPlugin("TV.so", "id 0x00130000\n" + RaiseLog(50, "from tv"));
  // Control bytes in a file name and a text are shown escaped, in the tag
  // too (never cut inside an escape); UTF-8 stays, a final newline goes.
  install.AddTestPlugin("Ab\x1b[2J\n.so",
                        "id 0x00140000\n" +
                            RaiseLog(50, "one\\ntwo\\x1b[31m\\x7f\\xc2\\x9b\\xff \xC3\xA9t\xC3\xA9\\n"));
  CoreProcess core(install, Options());

  EXPECT_TRUE(core.WaitForStdoutLine(ConsoleLine(3, "record", "from recorder")));
  EXPECT_TRUE(core.WaitForStdoutLine(ConsoleLine(3, "?     ", "from a stranger")));
  EXPECT_TRUE(core.WaitForStdoutLine(ConsoleLine(3, "tv    ", "from tv")));
  EXPECT_TRUE(core.WaitForStdoutLine(
      ConsoleLine(3, "ab\\x1b", "one\\ntwo\\x1b[31m\\x7f\\xc2\\x9b\\xff \xC3\xA9t\xC3\xA9")));
  EXPECT_TRUE(core.WaitForStdoutLine(ConsoleLine(5, "core  ", "Core: Loaded plugin: Ab\\x1b[2J\\n.so")));
  EXPECT_TRUE(core.WaitForStdoutLine(ConsoleLine(2, "core  ", kStartText)));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
}

class NotATerminal : public Logging, public ::testing::WithParamInterface<OutputMode> {};

TEST_P(NotATerminal, NothingIsPrinted) {
  TestPlugin plugin = install.AddTestPlugin(
      "cam.so", "id 0x00110000\n" + RaiseLog(0, "detail") + RaiseLog(25, "progress") +
                    RaiseLog(50, "notable") + RaiseLog(100, "failure") + RaiseLog(101, "beyond"));
  SpawnOptions options = Options();
  options.output = GetParam();
  options.outputFile = dir / "stdout.txt";
  CoreProcess core(install, options);
  ASSERT_TRUE(plugin.WaitForCount("raised", 5));
  core.Signal(SIGTERM);

  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  EXPECT_EQ(core.Stdout(), "");
}

INSTANTIATE_TEST_SUITE_P(Outputs, NotATerminal, ::testing::Values(OutputMode::kPipe, OutputMode::kFile),
                         [](const ::testing::TestParamInfo<OutputMode>& info) {
                           return std::string(info.param == OutputMode::kPipe ? "Pipe" : "File");
                         });

class Syslog : public Logging, public ::testing::WithParamInterface<OutputMode> {};

// By default only level 100 reaches syslog, at LOG_CRIT with the default
// facility (LOG_USER), whether or not standard output is a terminal, each
// line with the core's process ID. DVRCORE_SYSLOG_LEVEL adds the levels from
// its own up, each at its priority; a malformed one is said and changes
// nothing.
TEST_P(Syslog, Level100AndTheSettingsLevelsAreSent) {
  DVR_SKIP_UNLESS_SYSLOG_CAPTURE();
  const struct {
    const char* setting;  // DVRCORE_SYSLOG_LEVEL; null: unset
    std::vector<std::string> sent;  // "<priority>text" of the test's lines that go
  } rows[] = {
      {nullptr, {"<10>failure"}},
      {"50", {"<12>notable", "<10>failure"}},
      {"0", {"<15>detail", "<12>notable", "<10>failure"}},
      {"5O", {"<10>failure"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.setting ? row.setting : "unset");
    TestDir rowDir;
    CoreInstall rowInstall{rowDir.Path()};
    TestPlugin plugin = rowInstall.AddTestPlugin(
        "cam.so", "id 0x00110000\n" + RaiseLog(0, "detail") + RaiseLog(50, "notable") +
                      RaiseLog(101, "beyond") + RaiseLog(100, "failure") +
                      RaiseLog(100, "escaped\\r\\n\\x1b[2J\\xff \xC3\xA9t\xC3\xA9\\n"));
    SpawnOptions options = Options();
    if (row.setting) {
      options.environment.push_back(std::string("DVRCORE_SYSLOG_LEVEL=") + row.setting);
    }
    options.output = GetParam();
    options.outputFile = rowDir / "stdout.txt";
    options.captureSyslog = true;
    CoreProcess core(rowInstall, options);
    const std::string pid = "\\[" + std::to_string(core.Pid()) + "\\]";

    // Control bytes and bytes that are not UTF-8 are escaped in syslog too.
    std::optional<std::string> record = core.WaitForSyslog("escaped");
    ASSERT_TRUE(record);
    EXPECT_TRUE(std::regex_match(*record, std::regex("<10>.*" + pid + ": escaped\\\\r\\\\n"
                                                     "\\\\x1b\\[2J\\\\xff \xC3\xA9t\xC3\xA9\n?")))
        << *record;
    ASSERT_TRUE(plugin.WaitForCount("raised", 5));
    core.Signal(SIGTERM);
    EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));

    std::vector<std::string> sent;
    for (const std::string& entry : core.SyslogRecords()) {
      std::smatch line;
      if (std::regex_match(entry, line, std::regex("(<[0-9]+>).*" + pid + ": ([a-z]+)\n?")) &&
          line[2] != "escaped") {
        sent.push_back(line[1].str() + line[2].str());
      }
    }
    EXPECT_EQ(sent, row.sent);
    if (GetParam() == OutputMode::kPty) {
      EXPECT_NE(core.Stdout().find("failure"), std::string::npos);
      EXPECT_EQ(core.Stdout().find("is not a level from 0 to 100") != std::string::npos,
                row.setting != nullptr && std::string(row.setting) == "5O")
          << core.Stdout();
    } else {
      EXPECT_EQ(core.Stdout(), "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, Syslog, ::testing::Values(OutputMode::kPty, OutputMode::kFile),
                         [](const ::testing::TestParamInfo<OutputMode>& info) {
                           return std::string(info.param == OutputMode::kPty ? "Terminal" : "File");
                         });

// A level-0 line from a plugin is printed and ends there: no other plugin gets
// it and the raiser's preset result is left alone. A level-25 line beside it
// shows that the listener would have received it.
TEST_F(Logging, Level0PluginLineIsPrintedAndGoesNowhereElse) {
  TestPlugin speaker = install.AddTestPlugin(
      "speaker.so", "id 0x00110000\n" + RaiseLog(0, "quiet detail", " preset=77") +
                        RaiseLog(25, "loud progress", " preset=77"));
  TestPlugin listener = install.AddTestPlugin("listener.so",
                                              "id 0x00120000\n"
                                              "writes 1\n"
                                              "mask 7 0xffffffff\n");
  CoreProcess core(install, Options());
  EXPECT_TRUE(core.WaitForStdoutLine(ConsoleLine(5, "speake", "quiet detail")));
  EXPECT_TRUE(core.WaitForStdoutLine(ConsoleLine(2, "speake", "loud progress")));
  ASSERT_TRUE(listener.WaitFor([](const PluginCall& call) {
    return call.word == "write" && call.Data() == std::string("loud progress", sizeof "loud progress");
  }));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));

  for (const PluginCall& write : listener.Calls("write")) {
    EXPECT_EQ(write.Data().value_or("").find("quiet detail"), std::string::npos) << write.line;
  }
  std::vector<PluginCall> raised = speaker.Calls("raised");
  ASSERT_EQ(raised.size(), 2u);
  EXPECT_EQ(raised[0].Number("result"), 77);  // level 0: untouched
  EXPECT_EQ(raised[1].Number("result"), 0);   // level 25: EVENT_OK
}

}  // namespace
}  // namespace dvrtest
