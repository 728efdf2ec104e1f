// The product and core files, the documents the core publishes about itself,
// and the plugin status report, without a core: the files are real (in a
// per-test working directory) and the published events are recorded in place
// of the core's dispatch.
#include "config/config.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dvrcore_version.h"
#include "pluginhost/pluginhost.h"
#include "tests/support/recording_dispatch.h"
#include "tests/support/test_dir.h"

namespace {

using dvrtest::FileExists;
using dvrtest::ReadTextFile;
using dvrtest::WriteTextFile;

class CoreDocuments : public ::testing::Test {
 protected:
  void SetUp() override {
    char* previous = getcwd(nullptr, 0);
    ASSERT_NE(previous, nullptr);
    previousDirectory_ = previous;
    std::free(previous);
    ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(previousDirectory_.c_str()), 0); }

  // The events raised so far, with their data as text.
  struct Published {
    _EventParmsIn event;
    std::string text;
  };
  std::vector<Published> Queue() {
    std::vector<Published> published;
    for (const auto& raised : dispatch_.Events()) published.push_back({raised.event, raised.data});
    return published;
  }

  void WriteReport() {
    WritePluginReport(plugins_, failedPlugins_, kVersion, "dvrcore", libraryFilename_,
                      libraryVersion_);
  }

  // xmllint's verdict on a file, without the empty declaration it rejects.
  static bool WellFormed(const std::string& path) {
    std::string text = ReadTextFile(path);
    const std::string declaration = "<?xml ?>\n";
    if (text.compare(0, declaration.size(), declaration) == 0) text.erase(0, declaration.size());
    const std::string stripped = path + ".lint";
    WriteTextFile(stripped, text);
    return std::system(("xmllint --noout '" + stripped + "'").c_str()) == 0;
  }

  static void ExpectCoreXmlEvent(const Published& published, uint32_t eventType) {
    EXPECT_EQ(published.event.size, sizeof(_EventParmsIn));
    EXPECT_EQ(published.event.version, 1u);
    EXPECT_EQ(published.event.sourceId, kCoreSourceId);
    EXPECT_EQ(published.event.eventType, eventType);
    EXPECT_EQ(published.event.eventFlags, 0x01000010u);
    EXPECT_EQ(published.event.correlationId, 0u);
    EXPECT_EQ(published.event.level, 0u);
  }

  static constexpr const char* kVersion = DVRCORE_VERSION;
  dvrtest::TestDir dir_;
  std::string previousDirectory_;
  dvrtest::RecordingDispatch dispatch_;
  CoreSettings settings_ = [] {
    CoreSettings settings;
    settings.coreVersion = kVersion;
    return settings;
  }();
  std::vector<PLUGININFO> plugins_;
  std::map<std::string, std::string> failedPlugins_;
  std::string libraryFilename_, libraryVersion_;
};

// ---- ReadDescriptionFiles -------------------------------------------------------

TEST_F(CoreDocuments, MissingFilesKeepTheDefaults) {
  ReadDescriptionFiles(settings_);
  EXPECT_EQ(settings_.productFamily, "Brevantoria");
  EXPECT_EQ(settings_.coreVersion, DVRCORE_VERSION);
  EXPECT_TRUE(settings_.memoryThrottlingEnabled);
  EXPECT_FALSE(FileExists("product.xml"));
  EXPECT_FALSE(FileExists("core.xml"));
}

// Only the first Product element directly under the root counts, and only the
// attributes it has; a file that does not parse changes nothing.
TEST_F(CoreDocuments, ProductAttributesApplyOnlyWhenPresentAtTheirPlace) {
  const struct { const char* text; const char* family; const char* version; } cases[] = {
      {"<Anything><Product Version=\"20.1\"/><Product Family=\"No\"/></Anything>", "Brevantoria",
       "20.1"},
      {"<?xml version=\"1.0\"?><R><Product Family=\"\" Version=\"21\"/></R>", "", "21"},
      {"<R><Inner><Product Family=\"Deep\" Version=\"9\"/></Inner></R>", "Brevantoria", kVersion},
      {"<R><Product Family=\"Broken\" Version=\"9\"/>", "Brevantoria", kVersion}};
  for (const auto& c : cases) {
    CoreSettings settings = settings_;
    WriteTextFile("product.xml", c.text);
    ReadDescriptionFiles(settings);
    EXPECT_EQ(settings.productFamily, c.family) << c.text;
    EXPECT_EQ(settings.coreVersion, c.version) << c.text;
  }
}

TEST_F(CoreDocuments, ThrottlingSettingReadsAsTheLibrarysInteger) {
  struct Case {
    const char* value;
    bool before;
    bool after;
  };
  const Case cases[] = {{"0", true, false},    {"5", false, true},   {" -0", true, false},
                        {"1abc", false, true}, {"off", false, false}, {"off", true, true},
                        {"", false, false}};
  for (const Case& c : cases) {
    settings_.memoryThrottlingEnabled = c.before;
    WriteTextFile("core.xml", std::string("<Nvrx><Memory Throttling=\"") + c.value + "\"/></Nvrx>");
    ReadDescriptionFiles(settings_);
    EXPECT_EQ(settings_.memoryThrottlingEnabled, c.after) << '"' << c.value << '"';
  }
  settings_.memoryThrottlingEnabled = false;
  WriteTextFile("core.xml", "<Nvrx><Memory/></Nvrx>");
  ReadDescriptionFiles(settings_);
  EXPECT_FALSE(settings_.memoryThrottlingEnabled);
}

TEST_F(CoreDocuments, CoreXmlBackupIsPromotedAndApplied) {
  WriteTextFile("core.xml.bak", "<Nvrx><Memory Throttling=\"0\"/></Nvrx>");
  ReadDescriptionFiles(settings_);
  EXPECT_FALSE(settings_.memoryThrottlingEnabled);
  EXPECT_EQ(ReadTextFile("core.xml"), "<Nvrx><Memory Throttling=\"0\"/></Nvrx>");
  EXPECT_FALSE(FileExists("core.xml.bak"));
}

// A FIFO in place of any of the files must not hold up the start (opening
// one waits for its other end), and core.xml, which the core cannot open, is
// reported and not rewritten. The report replaces whatever has its name.
TEST_F(CoreDocuments, FifosInPlaceOfTheFilesAreLeftAloneWithoutWaiting) {
  for (const char* name : {"product.xml", "core.xml", "plugins.xml"}) ASSERT_EQ(mkfifo(name, 0600), 0);
  ReadDescriptionFiles(settings_);
  PublishDescription(settings_);
  WriteReport();
  EXPECT_TRUE(settings_.memoryThrottlingEnabled);
  for (const char* name : {"product.xml", "core.xml", "plugins.xml"}) {
    struct stat status;
    ASSERT_EQ(lstat(name, &status), 0) << name;
    EXPECT_EQ(S_ISFIFO(status.st_mode), std::string(name) != "plugins.xml") << name;
  }
  std::vector<std::string> texts;
  for (const Published& published : Queue()) texts.push_back(published.text);
  ASSERT_EQ(texts.size(), 4u);  // two log lines, then the description and the report
  for (int i = 0; i < 2; i++) {
    const std::string name = i == 0 ? "product.xml" : "core.xml";
    EXPECT_EQ(std::string(texts[i].c_str()),
              name + " cannot be opened (not a regular file): left as it is, defaults apply");
  }
}

// ---- PublishDescription, PublishMemoryDocument -------------------------------------

TEST_F(CoreDocuments, DescriptionRewritesCoreXmlAndPublishesTheProduct) {
  WriteTextFile("core.xml", "<Old><Memory Throttling=\"5\" Extra=\"x\"/><Other/></Old>");
  WriteTextFile("product.xml", "<R><Product Family=\"Fam &amp; Co\" Version=\"7\"/></R>");
  ReadDescriptionFiles(settings_);
  PublishDescription(settings_);

  EXPECT_EQ(ReadTextFile("core.xml"),
            "<?xml ?>\n"
            "<Nvrx Delta=\"0\">\n"
            "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
            "</Nvrx>\n");
  EXPECT_TRUE(WellFormed("core.xml"));
  EXPECT_FALSE(FileExists("core.xml.pending"));
  EXPECT_FALSE(FileExists("core.xml.bak"));

  const auto queue = Queue();
  ASSERT_EQ(queue.size(), 1u);
  ExpectCoreXmlEvent(queue[0], EVENT_CONFIG);
  EXPECT_EQ(queue[0].text,
            "<?xml ?><Nvrx Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" />"
            "<Product Family=\"Fam &amp; Co\" Version=\"7\" /></Nvrx>");
}

TEST_F(CoreDocuments, DisabledThrottlingIsWrittenAsZero) {
  WriteTextFile("core.xml", "<Nvrx><Memory Throttling=\"0\"/></Nvrx>");
  ReadDescriptionFiles(settings_);
  PublishDescription(settings_);
  EXPECT_EQ(ReadTextFile("core.xml"),
            "<?xml ?>\n<Nvrx Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n</Nvrx>\n");
  ReadDescriptionFiles(settings_);  // the rewritten file reads back the same
  EXPECT_FALSE(settings_.memoryThrottlingEnabled);
}

TEST_F(CoreDocuments, MemoryStatePublishesTheCurrentStateWithoutAFile) {
  const long long before = time(nullptr);
  PublishMemoryDocument(true);
  const long long after = time(nullptr);

  const auto queue = Queue();
  ASSERT_EQ(queue.size(), 1u);
  ExpectCoreXmlEvent(queue[0], EVENT_CLASS3);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      queue[0].text, match,
      std::regex("<\\?xml \\?><Nvrx><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"([0-9]+)\" /></Nvrx>")))
      << queue[0].text;
  const long long stamp = std::stoll(match[1]);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_FALSE(FileExists("core.xml"));
}

// ---- WritePluginReport --------------------------------------------------------------

PLUGININFO Plugin(uint32_t id, const char* fileName, int64_t loadTimeMs, int64_t openTimeMs,
                  int32_t openCode) {
  PLUGININFO plugin;
  plugin.desc.id = id;
  plugin.fileName = fileName;
  plugin.loadTimeMs = loadTimeMs;
  plugin.openTimeMs = openTimeMs;
  plugin.openCode = openCode;
  return plugin;
}

TEST_F(CoreDocuments, ReportWithoutPluginsHoldsOnlyTheCore) {
  WriteReport();
  const std::string expected =
      "<?xml ?>\n"
      "<Nvrx Delta=\"0\">\n"
      "    <Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
      "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"" DVRCORE_VERSION "\">\n"
      "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
      "OpenTimeMs=\"0\" OpenCode=\"0\" />\n"
      "        </Module>\n"
      "    </Modules>\n"
      "</Nvrx>\n";
  EXPECT_EQ(ReadTextFile("plugins.xml"), expected);
  EXPECT_TRUE(WellFormed("plugins.xml"));
}

TEST_F(CoreDocuments, ReportListsPluginsLibraryAndFailedFiles) {
  plugins_.push_back(Plugin(0xFFFFFFFFu, "zeta.so", 0x100000005LL, 3, -1));
  plugins_.push_back(Plugin(0x12, "alpha.so", 0x7FFFFFFF, 0xFFFFFFFFLL, 0));
  failedPlugins_["b.so"] = "b.so: cannot open";
  failedPlugins_["a.so"] = "a.so: \"bad\" <elf> & 'more'";
  libraryFilename_ = "libbrevad.so.3";
  libraryVersion_ = "3.2.1";
  WriteReport();

  // Totals: 5 + 0x7FFFFFFF wraps to -2147483644; 3 + 0xFFFFFFFF wraps to 2.
  const std::string expected =
      "<?xml ?>\n"
      "<Nvrx Delta=\"0\">\n"
      "    <Modules TotalLoadTimeMs=\"-2147483644\" TotalOpenTimeMs=\"2\">\n"
      "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"" DVRCORE_VERSION "\">\n"
      "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
      "OpenTimeMs=\"0\" OpenCode=\"0\" />\n"
      "            <Plugin ID=\"-1\" Filename=\"zeta.so\" Opened=\"1\" LoadTimeMs=\"5\" "
      "OpenTimeMs=\"3\" OpenCode=\"-1\" />\n"
      "            <Plugin ID=\"18\" Filename=\"alpha.so\" Opened=\"1\" LoadTimeMs=\"2147483647\" "
      "OpenTimeMs=\"-1\" OpenCode=\"0\" />\n"
      "            <Library Name=\"brevad\" Filename=\"libbrevad.so.3\" Version=\"3.2.1\" />\n"
      "            <Plugin ID=\"1\" Filename=\"a.so\" Opened=\"1\" LoadTimeMs=\"0\" "
      "OpenTimeMs=\"0\" OpenCode=\"79\" />\n"
      "            <Plugin ID=\"2\" Filename=\"b.so\" Opened=\"1\" LoadTimeMs=\"0\" "
      "OpenTimeMs=\"0\" OpenCode=\"79\" />\n"
      "        </Module>\n"
      "        <Module ID=\"1\" Name=\"a.so\" "
      "Version='a.so: &quot;bad&quot; &lt;elf&gt; &amp; &apos;more&apos;' />\n"
      "        <Module ID=\"2\" Name=\"b.so\" Version=\"b.so: cannot open\" />\n"
      "    </Modules>\n"
      "</Nvrx>\n";
  EXPECT_EQ(ReadTextFile("plugins.xml"), expected);
  EXPECT_TRUE(WellFormed("plugins.xml"));

  // The same document, compact, as a configuration update.
  XmlDocument saved;
  ASSERT_TRUE(saved.LoadFile("plugins.xml"));
  const auto queue = Queue();
  ASSERT_EQ(queue.size(), 1u);
  ExpectCoreXmlEvent(queue[0], EVENT_CONFIG);
  EXPECT_EQ(queue[0].text, PrintCompact(saved));
}

// The report goes in whole or not at all: a link under its name is replaced,
// not followed; a failed write (a full disk, a directory in the way) leaves
// the previous report as it was, says why, and the plugins still get it.
TEST_F(CoreDocuments, ReportReplacesThePreviousOneWholeOrNotAtAll) {
  WriteTextFile("target", "not the report's");
  ASSERT_EQ(symlink("target", "plugins.xml"), 0);
  WriteReport();
  struct stat status;
  ASSERT_EQ(lstat("plugins.xml", &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(ReadTextFile("target"), "not the report's");
  const std::string report = ReadTextFile("plugins.xml");
  EXPECT_NE(report.find("<Modules"), std::string::npos) << report;

  // A tmpfs filled up, then the directory that cannot be replaced by a file.
  const bool mounted = mkdir("disk", 0700) == 0 && mount("tmpfs", "disk", "tmpfs", 0, "size=64k") == 0;
  if (mounted) {
    WriteTextFile("disk/plugins.xml", report);
    const int filler = open("disk/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(4096, 'x');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    close(filler);
  }
  ASSERT_EQ(mkdir("dir", 0700), 0);
  ASSERT_EQ(mkdir("dir/plugins.xml", 0700), 0);
  for (const char* directory : {"disk", "dir"}) {
    if (std::string(directory) == "disk" && !mounted) continue;  // not root: no tmpfs
    const size_t before = Queue().size();
    ASSERT_EQ(chdir(directory), 0);
    WriteReport();
    if (std::string(directory) == "disk") {
      EXPECT_EQ(ReadTextFile("plugins.xml"), report);
      PublishDescription(settings_);  // core.xml does not fit either
      EXPECT_EQ(dispatch_.LogLines().back(),
                std::string("100 failed to save core.xml: write error 28 (") + std::strerror(ENOSPC) + ")");
    }
    EXPECT_FALSE(FileExists("plugins.xml.pending"));
    ASSERT_EQ(chdir(".."), 0);
    const auto queue = Queue();
    ASSERT_GE(queue.size(), before + 2) << directory;
    EXPECT_EQ(queue[before].event.level, 100u);
    EXPECT_EQ(queue[before].text.rfind("failed to write plugins.xml: ", 0), 0u) << queue[before].text;
    EXPECT_NE(queue[before + 1].text.find("<Module ID=\"-2147483648\" Name=\"Core\""),
              std::string::npos);
  }
  if (mounted) umount2("disk", MNT_DETACH);
}

}  // namespace
