// Loading, opening, closing and unloading real plugin files with the real
// executable.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/core_process.h"
#include "tests/support/test_dir.h"

namespace dvrtest {
namespace {

class PluginLifecycle : public ::testing::Test {
 protected:
  // Runs the core without a parent until it has started, then stops it.
  void RunOnce(const SpawnOptions& options = {}) {
    CoreProcess core(install, options);
    ASSERT_TRUE(core.WaitUntilStarted());
    core.Signal(SIGTERM);
    EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
    out = core.Stdout();
  }
  bool Logged(const std::string& text) const { return out.find(text) != std::string::npos; }
  // Steady-clock reading a plugin took at `word` ("now" action on that trigger).
  static int64_t NowAt(const TestPlugin& plugin, const std::string& trigger) {
    for (const PluginCall& call : plugin.Calls("now")) {
      if (call.Get("trigger") == trigger) return call.Number("value");
    }
    ADD_FAILURE() << plugin.path << " took no time at " << trigger;
    return -1;
  }

  TestDir dir;
  CoreInstall install{dir.Path()};
  std::string out;
};

// Every way a file is turned away, in one start: each is reported, none is
// opened or unloaded (not even those whose Load ran), and the rest load.
TEST_F(PluginLifecycle, RejectedFilesAreReportedAndTheRestLoad) {
  WriteTextFile(install.PluginDir() + "/broken.so", "not an ELF file\n");
  WriteTextFile(install.PluginDir() + "/empty.so", "");
  install.AddPluginFile("noload.so", NO_LOAD_PLUGIN);
  TestPlugin returns = install.AddTestPlugin("returns.so", "id 1\nresult load 7\n");
  TestPlugin errors = install.AddTestPlugin("errors.so", "id 2\nresult load 0 error=-3\n");
  TestPlugin first = install.AddTestPlugin("a.so", "id 0x00010000\n");
  TestPlugin duplicate = install.AddTestPlugin("b.so", "id 0x00010000\n");
  TestPlugin core = install.AddTestPlugin("c.so", "id 0x80000000\n");
  // Names that are not UTF-8 or hold control bytes: escaped in the log,
  // replaced in plugins.xml, which stays a document any XML reader takes.
  WriteTextFile(install.PluginDir() + "/bad\xff.so", "not an ELF file\n");
  TestPlugin odd = install.AddTestPlugin("odd\x01\xff.so", "id 0x00030000\n");
  RunOnce();
  std::string report = ReadTextFile(install.WorkDir() + "/plugins.xml");
  EXPECT_NE(report.find("Filename=\"odd\xEF\xBF\xBD\xEF\xBF\xBD.so\""), std::string::npos) << report;
  EXPECT_NE(report.find("Name=\"bad\xEF\xBF\xBD.so\""), std::string::npos) << report;
  report.erase(0, report.find('\n') + 1);  // the empty declaration, which xmllint rejects
  WriteTextFile(dir.Path() + "/report.xml", report);
  EXPECT_EQ(std::system(("xmllint --noout '" + dir.Path() + "/report.xml'").c_str()), 0);
  EXPECT_EQ(odd.Calls("open").size(), 1u);
  for (const char* line :
       {"Core: Failed to load plugin 'bad\\xff.so': ", "Core: Loaded plugin: odd\\x01\\xff.so",
        "Core: Failed to load plugin 'broken.so': ", "Core: Failed to load plugin 'empty.so': ",
        "Core: Loaded plugin: noload.so", "Core: Failed to load plugin: noload.so (missing symbol)",
        "plugin returns.so load returned 7 error 0", "plugin errors.so load returned 0 error -3",
        "plugin b.so ID 0x00010000 already loaded", "plugin c.so ID 0x80000000 already loaded"}) {
    EXPECT_TRUE(Logged(line)) << line << "\n" << out;
  }
  for (TestPlugin* rejected : {&returns, &errors, &duplicate, &core}) {
    EXPECT_TRUE(rejected->Calls("open").empty());
    EXPECT_TRUE(rejected->Calls("unload").empty());
  }
  EXPECT_EQ(duplicate.Calls("load").size(), 1u);
  EXPECT_EQ(first.Calls("open").size(), 1u);
  EXPECT_EQ(first.Calls("unload").size(), 1u);
}

// A plugin directory the core cannot read is a failure, not an empty
// directory; the other directory's plugins still load.
TEST_F(PluginLifecycle, UnreadableDirectoryIsReportedAndTheOtherLoads) {
  TestPlugin hidden = install.AddTestPlugin("hidden.so", "id 1\n", PluginDirectory::kProtected);
  TestPlugin shown = install.AddTestPlugin("shown.so", "id 2\n");
  const std::string locked = install.PluginDir(PluginDirectory::kProtected);
  ASSERT_EQ(chmod(locked.c_str(), 0700), 0);
  SpawnOptions options;
  options.parentUid = 65534;  // the core takes its parent's user, for whom it is closed
  RunOnce(options);
  chmod(locked.c_str(), 0777);
  EXPECT_TRUE(std::regex_search(out, ConsoleLine(1, "core  ", "Core: Failed to read plugin directory '" +
                                                     locked + "': Permission denied")))
      << out;
  EXPECT_TRUE(hidden.Calls().empty());
  EXPECT_EQ(shown.Calls("open").size(), 1u);
}

TEST_F(PluginLifecycle, SameNameInBothDirectoriesWithTheSameIdKeepsTheFirst) {
  TestPlugin plain = install.AddTestPlugin("dup.so", "id 0x00020000\n");
  TestPlugin protectedCopy =
      install.AddTestPlugin("dup.so", "id 0x00020000\n", PluginDirectory::kProtected);
  RunOnce();
  EXPECT_TRUE(Logged("plugin dup.so ID 0x00020000 already loaded")) << out;
  EXPECT_EQ(plain.Calls("open").size(), 1u);
  EXPECT_TRUE(protectedCopy.Calls("open").empty());
}

TEST_F(PluginLifecycle, MarkerAndFrontIdDecideTheOpeningOrder) {
  TestPlugin a = install.AddTestPlugin("a.so", "id 1\non open now\n");
  TestPlugin marked = install.AddTestPlugin("zz-Nvrxpr-base.so", "id 2\non open now\n",
                                            PluginDirectory::kProtected);
  TestPlugin front = install.AddTestPlugin("zzz.so", "id 0x00060000\non open now\n",
                                           PluginDirectory::kProtected);
  TestPlugin upper = install.AddTestPlugin("Video.so", "id 3\non open now\n");
  RunOnce();
  // Found last, opened first; then the marker; then byte order (V < a).
  int64_t tFront = NowAt(front, "open"), tMarked = NowAt(marked, "open");
  int64_t tUpper = NowAt(upper, "open"), tA = NowAt(a, "open");
  EXPECT_LT(tFront, tMarked);
  EXPECT_LT(tMarked, tUpper);
  EXPECT_LT(tUpper, tA);
}

TEST_F(PluginLifecycle, OpenFailureKeepsThePluginInService) {
  TestPlugin failing = install.AddTestPlugin(
      "failing.so", "id 0x00010000\nresult open -5\nwrites 1\nmask 2 0xFFFFFFFF\n");
  install.AddTestPlugin("talker.so", "id 0x00020000\non open raise type=2 text=hello\n");
  install.AddTestPlugin("deaf.so", "id 0x00030000\nwrites 1\nreader 1\n");
  RunOnce();
  EXPECT_TRUE(Logged("plugin failing.so Open returned -5; it stays open and receives events"));
  EXPECT_TRUE(Logged("plugin deaf.so asks for events (acceptsWrites, wantsReader) but every event "
                     "mask is 0: only events raised without flags reach it")) << out;
  EXPECT_EQ(failing.Calls("write").size(), 1u);
  EXPECT_EQ(failing.Calls("close").size(), 1u);
  EXPECT_EQ(failing.Calls("unload").size(), 1u);
}

TEST_F(PluginLifecycle, ClosingFollowsMaskSixLargestFirstAndUnloadingFollowsClosing) {
  TestPlugin small = install.AddTestPlugin("a.so", "id 1\nmask 6 0x10\non close now\non unload now\n");
  TestPlugin large =
      install.AddTestPlugin("b.so", "id 2\nmask 6 0x80000000\non close now\non unload now\n");
  TestPlugin zero = install.AddTestPlugin("c.so", "id 3\nmask 6 0\non close now\non unload now\n");
  RunOnce();
  EXPECT_LT(NowAt(large, "close"), NowAt(small, "close"));
  EXPECT_LT(NowAt(small, "close"), NowAt(zero, "close"));
  // Every plugin is closed before the first is unloaded.
  EXPECT_LT(NowAt(zero, "close"), NowAt(large, "unload"));
  EXPECT_LT(NowAt(large, "unload"), NowAt(small, "unload"));
  EXPECT_LT(NowAt(small, "unload"), NowAt(zero, "unload"));
}

TEST_F(PluginLifecycle, OnlyId00470000StaysMappedAfterUnload) {
  TestPlugin kept = install.AddTestPlugin("a.so", "id 0x00470000\n");
  TestPlugin normal = install.AddTestPlugin("b.so", "id 0x00010000\n");
  TestPlugin last = install.AddTestPlugin("c.so", "id 0x00020000\non unload now\n");
  RunOnce();
  ASSERT_EQ(kept.Calls("unload").size(), 1u);
  ASSERT_EQ(kept.Calls("unmapped").size(), 1u);
  ASSERT_EQ(normal.Calls("unmapped").size(), 1u);
  // Unloading goes a, b, c: b is unmapped before c's Unload, a only at exit.
  int64_t cUnload = NowAt(last, "unload");
  EXPECT_LT(normal.Calls("unmapped")[0].Number("value"), cUnload);
  EXPECT_GT(kept.Calls("unmapped")[0].Number("value"), cUnload);
}

TEST_F(PluginLifecycle, BuffersNeverGivenBackAreReportedAtExitInAddressOrder) {
  install.AddTestPlugin("keeper.so",
                        "id 0x00010000\nwrites 1\nmask 2 0xFFFFFFFF\nresult write 0 retain=1\n");
  install.AddTestPlugin("talker.so", "id 0x00020000\non open raise type=2 count=3 text=kept\n");
  SpawnOptions options;
  // The kept buffers are deliberately never freed; leak detection of a
  // sanitizer build would count them as the core's fault.
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.environment = {std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0"};
  CoreProcess core(install, options);
  ASSERT_TRUE(core.WaitUntilStarted());
  core.Signal(SIGTERM);
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
  std::regex leak("address (0x[0-9a-f]+) leaked by plugin 00010000\n");
  std::vector<unsigned long long> addresses;
  std::string text = core.Stdout();
  for (std::sregex_iterator it(text.begin(), text.end(), leak), end; it != end; ++it) {
    addresses.push_back(std::stoull((*it)[1].str(), nullptr, 16));
  }
  ASSERT_EQ(addresses.size(), 3u) << text;
  EXPECT_TRUE(std::is_sorted(addresses.begin(), addresses.end()));
}

TEST_F(PluginLifecycle, FailingCloseAndUnloadAreReportedAndTheRestGoOn) {
  install.AddTestPlugin("a.so", "id 1\nmask 6 2\nresult close 4 error=5\nresult unload 0 error=6\n");
  TestPlugin b = install.AddTestPlugin("b.so", "id 2\nmask 6 1\non unload raise type=2 count=2\n");
  RunOnce();
  const std::string late = "plugin b.so raised an event after it was closed; refusing it and any "
                           "later ones";
  EXPECT_TRUE(Logged(late) && out.find(late) == out.rfind(late)) << out;
  EXPECT_TRUE(Logged("plugin a.so close returned 4 error 5")) << out;
  EXPECT_TRUE(Logged("plugin a.so unload returned 0 error 6")) << out;
  EXPECT_EQ(b.Calls("unload").size(), 1u);
}

TEST_F(PluginLifecycle, ReaderAndWorkerEndBeforeUnload) {
  TestPlugin p = install.AddTestPlugin("threads.so",
                                       "id 1\nworker 1\nreader 1\non worker block\non reader block\n");
  RunOnce();
  std::vector<PluginCall> calls = p.Calls();
  auto indexOf = [&](const std::string& word, const std::string& trigger) {
    for (size_t i = 0; i < calls.size(); i++) {
      if (calls[i].word == word && (trigger.empty() || calls[i].Get("trigger") == trigger)) return i;
    }
    ADD_FAILURE() << "no " << word << " " << trigger;
    return calls.size();
  };
  size_t unload = indexOf("unload", "");
  EXPECT_LT(indexOf("unblocked", "worker"), unload);
  EXPECT_LT(indexOf("unblocked", "reader"), unload);
  EXPECT_LT(indexOf("close", ""), indexOf("unblocked", "reader"));
  // The worker ran on its own thread; the reader's Read came without data.
  bool sawReader = false;
  for (const PluginCall& call : p.Calls("read")) {
    if (call.Get("thread") == "reader") {
      sawReader = true;
      EXPECT_EQ(call.Number("len"), 0);
      EXPECT_EQ(call.Number("corr"), 0);
      EXPECT_EQ(call.Number("flag"), 1);
      EXPECT_FALSE(call.Data());
    }
  }
  EXPECT_TRUE(sawReader);
  // Among the IOCTL calls (the main loop's configuration updates may come
  // first), one ran on the worker thread.
  const std::vector<PluginCall> ioctls = p.Calls("ioctl");
  EXPECT_TRUE(std::any_of(ioctls.begin(), ioctls.end(),
                          [](const PluginCall& call) { return call.Get("thread") == "worker"; }));
}

// A worker that does not end holds the stop, which says every few seconds
// whose thread it waits for, until the thread ends.
TEST_F(PluginLifecycle, StopHeldByAPluginsWorkerNamesIt) {
  const std::string release = dir.Path() + "/release";
  install.AddTestPlugin("stuck.so", "id 1\nworker 1\non worker wait-file " + release + "\n");
  CoreProcess core(install);
  ASSERT_TRUE(core.WaitUntilStarted());
  core.Signal(SIGTERM);
  EXPECT_TRUE(core.WaitForStdoutLine(std::regex(
      "\x1b\\[33m[0-9:]{8}\x1b\\[36m core  \x1b\\[0m stop waits for plugin stuck\\.so "
      "worker thread stuck:wk for [0-9]+\\.[0-9] seconds\n")));
  WriteTextFile(release, "");
  EXPECT_EQ(core.WaitExit(), ExitStatus::Code(0));
}

TEST_F(PluginLifecycle, TagsAreLowerCasedStemsCutToSix) {
  install.AddTestPlugin("RecorderPlugin.so",
                        "id 0x00010000\non open raise type=0x40 flags=2 level=50 text=hi\n");
  // The stem ends at the last dot only.
  install.AddTestPlugin("X.Y.so",
                        "id 0x00020000\non open raise type=0x40 flags=2 level=50 text=two\n");
  RunOnce();
  EXPECT_TRUE(Logged("\033[36m record\033[0m hi\n")) << out;
  EXPECT_TRUE(Logged("\033[36m x.y   \033[0m two\n")) << out;
}

TEST_F(PluginLifecycle, PluginFindsTheLibraryItBringsInLibBesideTheExecutable) {
  install.AddPluginFile("needs-library.so", NEEDS_LIBRARY_PLUGIN);
  std::filesystem::create_directories(install.BinDir() + "/lib");
  std::filesystem::copy_file(PLUGIN_DEPENDENCY, install.BinDir() + "/lib/libdvrplugdep.so");
  RunOnce();
  EXPECT_FALSE(Logged("Core: Failed to load plugin")) << out;
  // Its ID, 0x00510000, comes from the library.
  EXPECT_NE(ReadTextFile(install.WorkDir() + "/plugins.xml")
                .find("<Plugin ID=\"5308416\" Filename=\"needs-library.so\" Opened=\"1\""),
            std::string::npos);
}

TEST_F(PluginLifecycle, ManyPluginsAndJunkFilesInOneDirectory) {
  for (int i = 0; i < 300; i++) {
    WriteTextFile(install.PluginDir() + "/junk" + std::to_string(i) + ".so", "junk");
  }
  std::vector<TestPlugin> good;
  for (int i = 0; i < 20; i++) {
    good.push_back(install.AddTestPlugin("p" + std::to_string(i) + ".so",
                                         "id " + std::to_string(i + 1) + "\n"));
  }
  RunOnce();
  for (const TestPlugin& p : good) EXPECT_EQ(p.Calls("unload").size(), 1u) << p.path;
  EXPECT_TRUE(Logged("Core: Failed to load plugin 'junk299.so': ")) << out;
}

}  // namespace
}  // namespace dvrtest
