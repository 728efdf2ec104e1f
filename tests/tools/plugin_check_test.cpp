// dvrcore-plugin-check run as a program on the real core: the example plugins
// pass clean; the configurable test plugin, set to break one rule at a time,
// is caught for that rule and no other (what the core must see lasts well
// past its thresholds, so a slow machine does not hide it); a planted crash
// is found by fuzzing and repeated by its seed and case.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "tests/support/core_process.h"
#include "tests/support/sanitizers.h"
#include "tests/support/test_dir.h"
#include "tools/check_cases.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  boost::property_tree::ptree report;
  std::string out;
};

// Runs the tool with --json on `plugin`; its report parsed.
Outcome RunCheck(const std::vector<std::string>& args, const std::string& plugin) {
  std::vector<std::string> words = {DVRCORE_PLUGIN_CHECK, "--json", "--core",
                                    dvrtest::CoreExecutablePath(), "--driver", CHECK_DRIVER};
  words.insert(words.end(), args.begin(), args.end());
  words.push_back(plugin);
  int pipeFds[2];
  Outcome outcome;
  if (pipe(pipeFds) != 0) return outcome;
  // The rows leak on purpose in the core they check (buffers a plugin keeps,
  // a plugin that exits mid-run): the tool's verdict reports it, and leak
  // detection of a sanitizer build would count it as the core's.
  std::vector<std::string> environment;
  for (char** name = environ; *name != nullptr; name++) {
    if (std::strncmp(*name, "ASAN_OPTIONS=", 13) != 0) environment.push_back(*name);
  }
  const char* asan = std::getenv("ASAN_OPTIONS");
  environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pipeFds[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) outcome.out.append(buffer, n);
  close(pipeFds[0]);
  int status = 0;
  if (waitpid(child, &status, 0) == child && WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  std::istringstream json(outcome.out);
  try {
    boost::property_tree::read_json(json, outcome.report);
  } catch (const std::exception& error) {
    ADD_FAILURE() << "not a JSON report: " << error.what() << "\n" << outcome.out;
  }
  return outcome;
}

std::set<std::string> Rules(const Outcome& outcome) {
  std::set<std::string> rules;
  if (auto list = outcome.report.get_child_optional("rules")) {
    for (const auto& rule : *list) rules.insert(rule.second.get_value<std::string>());
  }
  return rules;
}

// A copy of the test plugin at <dir>/<name>.so with this configuration.
std::string TestPlugin(const dvrtest::TestDir& dir, const std::string& name, const std::string& config,
                       const std::string& build = dvrtest::TestPluginPath()) {
  const std::string path = dir / (name + ".so");
  fs::copy_file(build, path, fs::copy_options::overwrite_existing);
  dvrtest::WriteTextFile(dir / (name + ".conf"), config);
  return path;
}

constexpr char kBase[] = "id 0x230000\nmask 2 0xFFFFFFFF\nwrites 1\nreader 1\n";

struct Case {
  const char* name;
  // An example plugin's file; "asan": the test plugin built with
  // AddressSanitizer; null: the test plugin; both with `config`.
  const char* example;
  const char* config;
  const char* rule;     // the one rule reported; null: none
  std::vector<std::string> args;
};

class PluginCheck : public ::testing::TestWithParam<Case> {};

TEST_P(PluginCheck, NamesExactlyTheRuleBroken) {
  if (dvrtest::UnderEmulator()) GTEST_SKIP() << "the tool starts the stand-in and the core itself";
  const Case& c = GetParam();
  dvrtest::TestDir dir;
  const bool asan = c.example != nullptr && std::string(c.example) == "asan";
  const std::string plugin = c.example != nullptr && !asan
                                 ? std::string(EXAMPLES_DIR) + "/" + c.example
                                 : TestPlugin(dir, "checked", std::string(kBase) + c.config,
                                              asan ? ASAN_TEST_PLUGIN : dvrtest::TestPluginPath());
  std::vector<std::string> args = {"--seconds", "1"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const Outcome outcome = RunCheck(args, plugin);
  const std::set<std::string> expected =
      c.rule != nullptr ? std::set<std::string>{c.rule} : std::set<std::string>{};
  EXPECT_EQ(Rules(outcome), expected) << outcome.out;
  EXPECT_EQ(outcome.status, c.rule != nullptr ? 1 : 0) << outcome.out;
}

std::vector<Case> Cases() {
  std::vector<Case> cases = {
      Case{"video_source", "video_source.so", "", nullptr, {}},
      Case{"frame_recorder", "frame_recorder.so", "", nullptr, {}},
      Case{"parent_echo", "parent_echo.so", "", nullptr, {}},
      Case{"query_responder", "query_responder.so", "", nullptr, {}},
      Case{"clean", nullptr, "", nullptr, {}},
      Case{"thread_outlives_unload", nullptr, "on open linger\n", "threads-after-unload", {}},
      Case{"descriptor_left_open", nullptr, "on open leak-fd\n", "descriptors-after-unload", {}},
      Case{"buffer_held", nullptr, "result write 0 retain=1\n", "buffers-held", {}},
      Case{"raise_after_close", nullptr, "on unload raise type=2\n", "raise-after-close", {}},
      Case{"slow_write", nullptr, "on write nth 1 sleep 4000\n", "slow-call", {}},
      Case{"crash_third_of_class", nullptr, "on write nth 3 class 2 crash\n", "crash", {}},
      Case{"hang_in_load", nullptr, "on load sleep 600000\n", "load", {"--timeout", "3"}},
      Case{"exit_in_open", nullptr, "on open exit 3\n", "exit", {}},
      Case{"malformed_raise", nullptr, "on open raise type=0x2000\n", "malformed-raise", {}},
      Case{"worker_outlives_close", nullptr, "worker 1\non worker block\non worker sleep 12000\n",
           "threads-after-close", {}},
      Case{"signals_its_group", nullptr, "on open kill-group 15\n", "exit", {}}};
  // Where the test plugin has an AddressSanitizer build (not on every
  // architecture), the sanitizer's report is a rule of its own.
  if (!std::string(ASAN_TEST_PLUGIN).empty()) {
    cases.push_back(
        Case{"read_past_under_asan", "asan", "on write nth 2 read-past\n", "sanitizer", {}});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PluginCheck, ::testing::ValuesIn(Cases()),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The first queued class-2 case of `seed` whose length no earlier such case
// has: a plugin that crashes on that length in Write crashes at that case.
uint64_t FirstCaseOfItsLength(uint64_t seed, const uint32_t masks[9], uint32_t& length) {
  std::set<uint32_t> seen;
  for (uint64_t number = 0;; number++) {
    const dvrcheck::EventCase c = dvrcheck::MakeEventCase(seed, number, masks);
    if (c.kind != dvrcheck::EventCaseKind::kQueued || (c.type & 2) == 0) continue;
    if (!c.nullData && c.length > 0 && seen.count(c.length) == 0 && number > 20) {
      length = c.length;
      return number;
    }
    seen.insert(c.length);
  }
}

TEST(PluginCheckFuzz, FindsAPlantedCrashAndReplaysItsCase) {
  if (dvrtest::UnderEmulator()) GTEST_SKIP() << "the tool starts the stand-in and the core itself";
  // The case is pinned by the core's own crash report, which a sanitizer's
  // runtime makes instead (and counts as a finding of the build).
  if (dvrtest::kAddressSanitizer || dvrtest::kThreadSanitizer) GTEST_SKIP() << "sanitizer build";
  constexpr uint64_t kSeed = 12345;
  const uint32_t masks[9] = {0, 0xFFFFFFFFu, 0, 0, 0, 0, 0, 0, 0};
  uint32_t length = 0;
  const uint64_t number = FirstCaseOfItsLength(kSeed, masks, length);
  dvrtest::TestDir dir;
  const std::string plugin = TestPlugin(
      dir, "planted", std::string(kBase) + "on write len " + std::to_string(length) + " class 2 null-write\n");

  const Outcome fuzzed = RunCheck({"--fuzz", "30", "--seed", std::to_string(kSeed)}, plugin);
  EXPECT_EQ(fuzzed.status, 1) << fuzzed.out;
  EXPECT_EQ(Rules(fuzzed), std::set<std::string>{"crash"}) << fuzzed.out;
  const std::string name = "e" + std::to_string(number);
  EXPECT_EQ(fuzzed.report.get("fuzz.case", std::string()), name) << fuzzed.out;

  const Outcome replayed = RunCheck({"--replay", std::to_string(kSeed) + ":" + name, "--seconds", "1"}, plugin);
  EXPECT_EQ(replayed.status, 1) << replayed.out;
  EXPECT_EQ(Rules(replayed), std::set<std::string>{"crash"}) << replayed.out;
  // The case before it, alone, is harmless.
  const Outcome other = RunCheck(
      {"--replay", std::to_string(kSeed) + ":e" + std::to_string(number - 1), "--seconds", "1"}, plugin);
  EXPECT_EQ(other.status, 0) << other.out;
}

}  // namespace
