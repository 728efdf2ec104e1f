// The plugin inspection tool (tools/dvrcore_inspect.cpp), run as a program on
// real files: copies of the configurable test plugin, a shared object without
// Load, and files that do not map. Its output is compared line by line; the
// test plugin's records show which entries the tool called.
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "tests/support/core_process.h"
#include "tests/support/plugin_record.h"
#include "tests/support/test_dir.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

struct Outcome {
  int status = -1;  // exit status; -1 when the tool did not exit normally
  std::string out;  // standard output
};

// Runs dvrcore-inspect (through the cross build's emulator, if any) and
// collects its standard output up to its exit; as the user `uid` when it is
// not -1.
Outcome RunInspector(const std::vector<std::string>& args, int uid = -1) {
  std::vector<std::string> command = dvrtest::EmulatorCommand();
  command.push_back(DVRCORE_INSPECT);
  command.insert(command.end(), args.begin(), args.end());

  Outcome outcome;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return outcome;
  }
  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);  // a plugin that signals its group must not reach the test
    const rlimit noCore{0, 0};  // the plugins that crash on purpose leave no core file
    setrlimit(RLIMIT_CORE, &noCore);
    if (uid >= 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                     setresuid(uid, uid, uid) != 0)) {
      _exit(126);
    }
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  char buffer[4096];
  // Bounded, so that a tool that hangs fails the test instead of stalling it.
  for (pollfd ready{pipeFds[0], POLLIN, 0};;) {
    if (poll(&ready, 1, 90000) == 0) {
      ADD_FAILURE() << "dvrcore-inspect prints nothing more; killed\n" << outcome.out;
      if (child > 0) kill(child, SIGKILL);
      break;
    }
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) outcome.out.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR) break;
  }
  close(pipeFds[0]);
  int waitStatus = 0;
  if (child > 0 && waitpid(child, &waitStatus, 0) == child && WIFEXITED(waitStatus)) {
    outcome.status = WEXITSTATUS(waitStatus);
  }
  return outcome;
}

Lines SplitText(const std::string& text) {
  Lines lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The block of lines that the tool printed for the file named `fileName`
// (from its name line up to the next blank line); the `nth` such block.
Lines Block(const std::string& out, const std::string& fileName, int nth = 0) {
  Lines lines = SplitText(out);
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i] != fileName || (i > 0 && !lines[i - 1].empty()) || nth-- > 0) continue;
    Lines block;
    for (size_t j = i; j < lines.size() && !lines[j].empty(); j++) block.push_back(lines[j]);
    return block;
  }
  return {};
}

std::string LastLine(const Lines& lines) { return lines.empty() ? "" : lines.back(); }

bool Contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The words of the recorded calls, in order.
Lines CallWords(const dvrtest::TestPlugin& plugin) {
  Lines words;
  for (const dvrtest::PluginCall& call : plugin.Calls()) words.push_back(call.word);
  return words;
}

class InspectTool : public ::testing::Test {
 protected:
  // A copy of the test plugin at <dir>/<fileName> with its configuration.
  dvrtest::TestPlugin AddTestPlugin(const std::string& dir, const std::string& fileName,
                                    const std::string& config) {
    fs::create_directories(dir);
    dvrtest::TestPlugin plugin;
    plugin.path = dir + "/" + fileName;
    fs::copy_file(dvrtest::TestPluginPath(), plugin.path, fs::copy_options::overwrite_existing);
    std::string stem = plugin.path.substr(0, plugin.path.size() - 3);
    plugin.configPath = stem + ".conf";
    plugin.eventsPath = stem + ".events";
    dvrtest::WriteTextFile(plugin.configPath, config);
    return plugin;
  }

  dvrtest::TestDir dir_;
};

TEST_F(InspectTool, ListsFilesInTheCoresLoadOrder) {
  const std::string plugins = dir_ / "plugins";
  AddTestPlugin(plugins, "b.so", "id 1\n");
  AddTestPlugin(plugins, "B.so", "id 2\n");
  AddTestPlugin(plugins, "zz-Nvrxpr-base.so", "id 3\n");
  AddTestPlugin(dir_ / "extra", "a.so", "id 4\n");
  dvrtest::WriteTextFile(plugins + "/notes.txt", "not a candidate\n");
  fs::create_directories(plugins + "/sub.so");  // a directory is not a candidate

  Outcome run = RunInspector({plugins, dir_ / "extra/a.so"});

  // The marker first; then element by element, byte-wise: "extra" before
  // "plugins", "B.so" before "b.so".
  Lines lines = SplitText(run.out);
  ASSERT_GE(lines.size(), 6u) << run.out;
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 6),
            (Lines{"discovery order:", "  1 " + plugins + "/zz-Nvrxpr-base.so",
                   "  2 " + (dir_ / "extra/a.so"), "  3 " + plugins + "/B.so",
                   "  4 " + plugins + "/b.so", ""}))
      << run.out;
  EXPECT_NE(run.out.find("\nsummary: 4 files, 4 loaded, 0 rejected\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.status, 0);
}

// Masks 1 to 9 of one plugin, and what the tool makes of each: which event
// flags pass on each delivery path, in the SDK's names. Queued keys move flag
// bits 24-30 up one place and drop bit 31; immediate keys move bits 24-31
// down one place, onto bit 23.
const struct {
  const char* value;
  const char* line;
} kMaskRows[] = {
    {"0x02000002", "  mask 1 EVENT_CLASS1 0x02000002: queued: flags within "
                   "EVENT_FLAG_TEXT|EVENT_FLAG_CORE; immediate: flags within "
                   "EVENT_FLAG_TEXT|0x04000000"},
    {"0", "  mask 2 EVENT_CLASS2 0x00000000: queued: no flags; immediate: no flags"},
    {"0x00800010", "  mask 3 EVENT_CLASS3 0x00800010: queued: flags within "
                   "EVENT_FLAG_XML|0x00800000; immediate: flags within "
                   "EVENT_FLAG_XML|EVENT_FLAG_CORE|0x00800000"},
    {"0x100", "  mask 4 EVENT_CLASS4 0x00000100: queued: flags within 0x00000100; "
              "immediate: flags within 0x00000100"},
    {"0x80000000", "  mask 5 EVENT_CLASS5 0x80000000: queued: flags within 0x40000000; "
                   "immediate: no flags (mask bits 0x80000000 in no key)"},
    {"0x01000000", "  mask 6 EVENT_CLASS6 0x01000000: queued: no flags (mask bits "
                   "0x01000000 in no key); immediate: flags within 0x02000000"},
    // The core's log flags written as the mask: its queued log events miss.
    {"0x01000002", "  mask 7 EVENT_LOG 0x01000002: queued: flags within EVENT_FLAG_TEXT (mask bits "
                   "0x01000000 in no key); immediate: flags within EVENT_FLAG_TEXT|0x02000000"},
    {"0xFFFFFFFF", "  mask 8 EVENT_CLASS8 0xFFFFFFFF: queued: any flags; immediate: any flags"},
    {"0x400", "  mask 9 EVENT_CLASS9 0x00000400: queued: flags within 0x00000400; "
              "immediate: flags within 0x00000400"},
};

std::string MaskRowsConfig() {
  std::string config;
  for (size_t i = 0; i < std::size(kMaskRows); i++) {
    config += "mask " + std::to_string(i + 1) + " " + kMaskRows[i].value + "\n";
  }
  return config;
}

// The folder of a core stands for its two plugin folders, taken as the core
// takes its own folder: with links resolved, so that the marker in the name
// of a link to it puts nothing first.
TEST_F(InspectTool, CoreFolderListsBothPluginFoldersInTheCoresOrder) {
  const std::string core = dir_ / "core";
  AddTestPlugin(core + "/plugins", "b.so", "id 1\n");
  AddTestPlugin(core + "/plugins", "B.so", "id 2\n");
  AddTestPlugin(core + "/protected-plugins", "a.so", "id 3\n");
  AddTestPlugin(core + "/protected-plugins", "zz-Nvrxpr-base.so", "id 4\n");
  fs::create_directory_symlink(core, dir_ / "Nvrxpr-link");

  Outcome run = RunInspector({"--core", dir_ / "Nvrxpr-link"});

  const std::string real = fs::canonical(core);
  Lines lines = SplitText(run.out);
  ASSERT_GE(lines.size(), 6u) << run.out;
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 6),
            (Lines{"discovery order:", "  1 " + real + "/protected-plugins/zz-Nvrxpr-base.so",
                   "  2 " + real + "/plugins/B.so", "  3 " + real + "/plugins/b.so",
                   "  4 " + real + "/protected-plugins/a.so", ""}))
      << run.out;
  EXPECT_EQ(run.status, 0);
}

TEST_F(InspectTool, DescribesAPluginAndNeverOpensItOrStartsItsThreads) {
  dvrtest::TestPlugin plugin = AddTestPlugin(dir_.Path(), "good.so",
                                             "id 0x00310000\n" + MaskRowsConfig() +
                                             "worker 1\n"
                                             "reader 1\n"
                                             "writes 1\n"
                                             "on load raise type=0x40 flags=0x2 level=50 text=hello from load\n");

  Outcome run = RunInspector({plugin.path});

  Lines block = Block(run.out, "good.so");
  ASSERT_EQ(block.size(), 24u) << run.out;
  EXPECT_TRUE(std::regex_match(block[22], std::regex("  load time: [0-9]+ ms"))) << block[22];
  block.erase(block.begin() + 22);
  Lines masks(block.begin() + 8, block.begin() + 17);
  block.erase(block.begin() + 8, block.begin() + 17);
  for (size_t i = 0; i < std::size(kMaskRows); i++) EXPECT_EQ(masks[i], kMaskRows[i].line);
  EXPECT_EQ(block, (Lines{
                       "good.so",
                       "  path: " + plugin.path,
                       "  Core: Loaded plugin: good.so",
                       // Raised from Load through the real dispatch.
                       "  log from 0x00310000 level 50: hello from load",
                       "  maps: yes",
                       "  exports: Load Unload Open Close Read Write Seek IOCTL",
                       "  missing: none",
                       "  id: 0x00310000",
                       "  wantsWorker: 1",
                       "  worker thread: requested (not started by the inspector)",
                       "  wantsReader: 1",
                       "  acceptsWrites: 1",
                       "  error: 0",
                       "  result: loaded",
                   }));
  EXPECT_EQ(run.status, 0);
  // Load and Unload only: no Open or Close, no worker IOCTL, no reader Read.
  EXPECT_EQ(CallWords(plugin), (Lines{"load", "raised", "unload", "unmapped"}));
}

TEST_F(InspectTool, RejectedFilesGetTheCoresMessages) {
  dvrtest::WriteTextFile(dir_ / "x.so", "not a shared object\n");
  fs::copy_file(DVR_NO_LOAD_PLUGIN, dir_ / "noload.so");
  dvrtest::TestPlugin refuses =
      AddTestPlugin(dir_.Path(), "refuses.so", "id 0x00320000\nresult load -3 error=7\n");
  dvrtest::TestPlugin flagsError =
      AddTestPlugin(dir_.Path(), "seterror.so", "id 0x00330000\nresult load 0 error=5\n");

  Outcome run = RunInspector({dir_.Path()});

  Lines notMapped = Block(run.out, "x.so");
  ASSERT_EQ(notMapped.size(), 5u) << run.out;
  EXPECT_EQ(notMapped[2].rfind("  Core: Failed to load plugin 'x.so': " + (dir_ / "x.so"), 0), 0u)
      << notMapped[2];
  EXPECT_EQ(notMapped[3], "  maps: no");
  EXPECT_EQ(notMapped[4], "  result: rejected (does not map)");

  // It maps, so the tool exports FlatPluginEvent to plugins as the core does.
  Lines noLoad = Block(run.out, "noload.so");
  EXPECT_EQ(Lines(noLoad.begin() + std::min<size_t>(2, noLoad.size()), noLoad.end()),
            (Lines{"  Core: Loaded plugin: noload.so",
                   "  Core: Failed to load plugin: noload.so (missing symbol)", "  maps: yes",
                   "  exports: Open", "  missing: Load Unload Close Read Write Seek IOCTL",
                   "  result: rejected (no Load)"}))
      << run.out;

  Lines failed = Block(run.out, "refuses.so");
  EXPECT_TRUE(Contains(failed, "  plugin refuses.so load returned -3 error 7")) << run.out;
  EXPECT_TRUE(Contains(failed, "  result: rejected (Load failed)")) << run.out;
  EXPECT_FALSE(Contains(failed, "  id: 0x00320000")) << "a refused description is not shown";
  EXPECT_TRUE(Contains(Block(run.out, "seterror.so"), "  plugin seterror.so load returned 0 error 5"))
      << run.out;

  EXPECT_NE(run.out.find("\nsummary: 4 files, 0 loaded, 4 rejected\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.status, 1);
  // A plugin whose Load failed is unmapped without Unload, as in the core.
  EXPECT_EQ(CallWords(refuses), (Lines{"load", "unmapped"}));
  EXPECT_EQ(CallWords(flagsError), (Lines{"load", "unmapped"}));
}

TEST_F(InspectTool, ReportsReservedAndClashingIdsAndMasksThatTakeNothing) {
  dvrtest::TestPlugin first = AddTestPlugin(dir_.Path(), "a.so", "id 0x00310000\n");
  dvrtest::TestPlugin twin = AddTestPlugin(dir_.Path(), "b.so", "id 0x00310000\n");
  AddTestPlugin(dir_.Path(), "core.so", "id 0x80000000\n");
  dvrtest::TestPlugin front = AddTestPlugin(dir_.Path(), "front.so", "id 0x00060000\n");
  dvrtest::TestPlugin kept = AddTestPlugin(dir_.Path(), "kept.so", "id 0x00470000\n");
  AddTestPlugin(dir_.Path(), "deaf.so", "id 0x00340000\nwrites 1\n");

  Outcome run = RunInspector({dir_.Path()});

  const std::pair<const char*, const char*> expected[] = {
      {"a.so", "  id: 0x00310000"},
      {"b.so", "  id: 0x00310000 (clashes with an earlier file: a)"},
      {"b.so", "  plugin b.so ID 0x00310000 already loaded"},
      {"b.so", "  result: rejected (ID already loaded)"},
      {"core.so", "  id: 0x80000000 (reserved: taken by the core)"},
      {"core.so", "  plugin core.so ID 0x80000000 already loaded"},
      {"front.so", "  id: 0x00060000 (reserved: placed first in the plugin table)"},
      {"front.so", "  result: loaded"},
      {"kept.so", "  id: 0x00470000 (reserved: never unmapped)"},
      {"kept.so", "  result: loaded"},
      {"deaf.so", "  warning: asks for events (acceptsWrites) but every event mask is 0: only "
                  "events raised without flags reach it"}};
  for (const auto& [file, line] : expected) {
    EXPECT_TRUE(Contains(Block(run.out, file), line)) << file << ": " << line << "\n" << run.out;
  }

  EXPECT_NE(run.out.find("\nsummary: 6 files, 4 loaded, 2 rejected\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.status, 1);
  // Admitted plugins are unloaded; a clashing one is unmapped without Unload.
  EXPECT_EQ(CallWords(first), (Lines{"load", "unload", "unmapped"}));
  EXPECT_EQ(CallWords(twin), (Lines{"load", "unmapped"}));
  EXPECT_EQ(CallWords(front), (Lines{"load", "unload", "unmapped"}));
  EXPECT_EQ(CallWords(kept), (Lines{"load", "unload", "unmapped"}));
}

TEST_F(InspectTool, FailedUnloadIsReportedButTheFileCountsAsLoaded) {
  dvrtest::TestPlugin plugin =
      AddTestPlugin(dir_.Path(), "u.so", "id 0x00340000\nresult unload 4 error=2\n");

  Outcome run = RunInspector({plugin.path});

  Lines block = Block(run.out, "u.so");
  ASSERT_FALSE(block.empty()) << run.out;
  EXPECT_TRUE(Contains(block, "  plugin u.so unload returned 4 error 2")) << run.out;
  EXPECT_EQ(block.back(), "  result: loaded") << run.out;
  EXPECT_EQ(run.status, 0);
}

// A plugin that ends its process or never returns costs only its own
// verdict: the files after it are still inspected, and the summary counts it.
TEST_F(InspectTool, PluginsThatEndOrHangTheProcessAreReportedAndTheRestGoOn) {
  const struct {
    const char* config;
    const char* verdict;
    std::vector<std::string> options;
  } cases[] = {
      {"id 0x00310000\non load exit 0\n", "rejected (exited with status 0 while loading)", {}},
      {"id 0x00310000\non load crash\n", "rejected (killed by signal 11 (SIGSEGV) while loading)", {}},
      {"id 0x00310000\non unload exit 3\n", "rejected (exited with status 3 in Unload)", {}},
      // Signals meant for a core's parent or group reach no further than
      // the inspecting processes.
      {"id 0x00310000\non load kill-group 15\n",
       "rejected (killed by signal 15 (SIGTERM) while loading)", {}},
      {"id 0x00310000\non load kill-parent 15\non load pause\n",
       "rejected (sent signal 15 (SIGTERM) to its parent process while loading)", {}},
      // It never returns, so the short limit decides, whatever the load.
      {"id 0x00310000\non load pause\n", "rejected (did not return within 1 s while loading)",
       {"--timeout", "1"}},
  };
  for (const auto& row : cases) {
    AddTestPlugin(dir_.Path(), "a.so", row.config);
    // The same ID: its clash shows that an admitted first file counts.
    AddTestPlugin(dir_.Path(), "b.so", "id 0x00310000\n");
    std::vector<std::string> args = row.options;
    args.push_back(dir_.Path());

    Outcome run = RunInspector(args);

    const bool admitted = std::string(row.verdict).find("Unload") != std::string::npos;
    EXPECT_EQ(LastLine(Block(run.out, "a.so")), std::string("  result: ") + row.verdict) << run.out;
    EXPECT_EQ(LastLine(Block(run.out, "b.so")),
              admitted ? "  result: rejected (ID already loaded)" : "  result: loaded")
        << run.out;
    EXPECT_NE(run.out.find(std::string("\nsummary: 2 files, ") + (admitted ? "0" : "1") +
                           " loaded, " + (admitted ? "2" : "1") + " rejected\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.status, 1);
  }
}

// The same report as one document, whatever bytes the plugins' texts and the
// file names hold, also when a plugin ends its process half way.
TEST_F(InspectTool, JsonReportIsOneDocument) {
  namespace pt = boost::property_tree;
  const std::string core = dir_ / "core";
  AddTestPlugin(core + "/plugins", "a.so",
                "id 0x00310000\nmask 7 0x01000002\n"
                "on load raise type=0x40 flags=0x2 level=50 "
                "text=caf\\xc3\\xa9 \\xe9\\x01\"\\\\\\n\n");
  AddTestPlugin(core + "/plugins", "crash.so",
                "id 0x00320000\non load raise type=0x40 flags=0x2 level=50 text=going\n"
                "on load crash\n");
  fs::create_directories(core + "/protected-plugins");
  dvrtest::WriteTextFile(core + "/protected-plugins/bad\x01\xff.so", "not a shared object\n");

  Outcome run = RunInspector({"--json", "--core", core});

  pt::ptree doc;
  std::istringstream text(run.out);
  ASSERT_NO_THROW(pt::read_json(text, doc)) << run.out;
  std::vector<pt::ptree> files;
  for (const auto& item : doc.get_child("files")) files.push_back(item.second);
  ASSERT_EQ(files.size(), 3u) << run.out;
  const auto element = [](const pt::ptree& tree, const char* path, size_t index) {
    auto it = tree.get_child(path).begin();
    std::advance(it, index);
    return it->second;
  };

  EXPECT_EQ(files[0].get<std::string>("file"), "a.so");
  EXPECT_EQ(element(files[0], "messages", 1).get<std::string>("text"),
            "caf\xc3\xa9 \xef\xbf\xbd\x01\"\\\n");
  const pt::ptree mask7 = element(files[0], "masks", 6);
  EXPECT_EQ(mask7.get<std::string>("class"), "EVENT_LOG");
  EXPECT_EQ(mask7.get<std::string>("hex"), "0x01000002");
  EXPECT_EQ(element(mask7, "queued.flagNames", 0).data(), "EVENT_FLAG_TEXT");
  EXPECT_EQ(mask7.get<std::string>("queued.unusedBitsHex"), "0x01000000");
  EXPECT_EQ(element(mask7, "immediate.flagNames", 1).data(), "0x02000000");
  EXPECT_EQ(files[0].get<std::string>("result"), "loaded");

  EXPECT_EQ(element(files[1], "messages", 1).get<std::string>("text"), "going");
  EXPECT_EQ(files[1].get<std::string>("result"),
            "rejected (killed by signal 11 (SIGSEGV) while loading)");
  EXPECT_EQ(files[2].get<std::string>("file"), "bad\x01\xef\xbf\xbd.so");
  EXPECT_EQ(files[2].get<std::string>("maps"), "false");
  EXPECT_EQ(doc.get<std::string>("summary.loaded"), "1");
  EXPECT_EQ(doc.get<std::string>("summary.rejected"), "2");
  EXPECT_EQ(run.status, 1);
}

TEST_F(InspectTool, NothingToInspect) {
  Outcome empty = RunInspector({dir_.Path()});
  EXPECT_EQ(empty.out,
            "discovery order:\n  (no plugin files)\n\nsummary: 0 files, 0 loaded, 0 rejected\n");
  EXPECT_EQ(empty.status, 0);

  Outcome usage = RunInspector({});
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.status, 2);

  // A directory that cannot be read is not an empty one. Root reads
  // anything, so the tool runs as nobody.
  const std::string locked = dir_ / "locked";
  fs::create_directories(locked);
  ASSERT_EQ(chmod(locked.c_str(), 0700), 0);
  Outcome unreadable = RunInspector({locked}, 65534);
  EXPECT_EQ(unreadable.out, "discovery order:\n  cannot read directory " + locked +
                                ": Permission denied\n  (no plugin files)\n\nsummary: 0 files, "
                                "0 loaded, 0 rejected, 1 directory unreadable\n");
  EXPECT_EQ(unreadable.status, 1);

  Outcome noCore = RunInspector({"--core", dir_ / "none"});
  EXPECT_EQ(noCore.out, "discovery order:\n  cannot read directory " + (dir_ / "none") +
                            ": No such file or directory\n  (no plugin files)\n\nsummary: 0 "
                            "files, 0 loaded, 0 rejected, 1 directory unreadable\n");
  EXPECT_EQ(noCore.status, 1);
}

}  // namespace
