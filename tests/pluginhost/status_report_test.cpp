// The plugin status report, plugins.xml, without a core (see CoreDocuments).
#include "pluginhost/status_report.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "tests/config/core_documents.h"

namespace {

using dvrtest::FileExists;
using dvrtest::ReadTextFile;
using dvrtest::WriteTextFile;

class PluginReport : public dvrtest::CoreDocuments {
 protected:
  void WriteReport() {
    WritePluginReport(plugins_, failedPlugins_, kVersion, "dvrcore", libraryFilename_,
                      libraryVersion_);
  }

  std::vector<PLUGININFO> plugins_;
  std::map<std::string, std::string> failedPlugins_;
  std::string libraryFilename_, libraryVersion_;
};

// ---- With the product and core files ----

// A FIFO in place of any of the files must not hold up the start (opening
// one waits for its other end), and core.xml, which the core cannot open, is
// reported and not rewritten. The report replaces whatever has its name.
TEST_F(PluginReport, FifosInPlaceOfTheFilesAreLeftAloneWithoutWaiting) {
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

TEST_F(PluginReport, ReportWithoutPluginsHoldsOnlyTheCore) {
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

TEST_F(PluginReport, ReportListsPluginsLibraryAndFailedFiles) {
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

// Texts from outside the core are written so that the report stays
// well-formed XML 1.0: valid UTF-8 as it is, anything else as U+FFFD. What a
// reader gets back from the file name, the module name and the loader error.
TEST_F(PluginReport, TextsThatXmlCannotHoldAreReplaced) {
  const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD
  const std::pair<std::string, std::string> cases[] = {
      {"a\xff.so", "a" + kBad + ".so"},
      {"a\x01\x1b\x7f.so", "a" + kBad + kBad + "\x7f.so"},
      {"\xC3\xA9t\xC3\xA9 \xF0\x9F\x93\xB9.so", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x93\xB9.so"},
      {"tab\tline\nreturn\r.so", "tab\tline\nreturn\r.so"},
      {"\xC0\xAF\xED\xA0\x80\xEF\xBF\xBF\xE2\x82", kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad},
      {"a&#x0;&#x41;&amp.so", "a&#x0;&#x41;&amp.so"},
  };
  for (const auto& [name, expected] : cases) {
    plugins_.clear();
    plugins_.push_back(Plugin(1, name.c_str(), 0, 0, 0));
    failedPlugins_ = {{name, "cannot open " + name}};
    libraryFilename_ = libraryVersion_ = name;
    WriteReport();
    EXPECT_TRUE(WellFormed("plugins.xml")) << ReadTextFile("plugins.xml");
    XmlDocument saved;
    ASSERT_TRUE(saved.LoadFile("plugins.xml")) << name;
    const TiXmlElement* core = TiXmlHandle(&saved).FirstChild("Nvrx").FirstChild("Modules").FirstChild("Module").ToElement();
    ASSERT_NE(core, nullptr);
    const TiXmlElement* plugin = core->FirstChildElement("Plugin")->NextSiblingElement("Plugin");
    const TiXmlElement* library = core->FirstChildElement("Library");
    const TiXmlElement* failed = core->NextSiblingElement("Module");
    ASSERT_TRUE(plugin && library && failed) << name;
    EXPECT_EQ(*plugin->Attribute(std::string("Filename")), expected);
    EXPECT_EQ(*library->Attribute(std::string("Filename")), expected);
    EXPECT_EQ(*library->Attribute(std::string("Version")), expected);
    EXPECT_EQ(*failed->Attribute(std::string("Name")), expected);
    EXPECT_EQ(*failed->Attribute(std::string("Version")), "cannot open " + expected);
  }
}

// The report goes in whole or not at all: a link under its name is replaced,
// not followed; a failed write (a full disk, a directory in the way) leaves
// the previous report as it was, says why, and the plugins still get it.
TEST_F(PluginReport, ReportReplacesThePreviousOneWholeOrNotAtAll) {
  WriteTextFile("target", "not the report's");
  ASSERT_EQ(symlink("target", "plugins.xml"), 0);
  WriteReport();
  struct stat status;
  ASSERT_EQ(lstat("plugins.xml", &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(ReadTextFile("target"), "not the report's");
  const std::string report = ReadTextFile("plugins.xml");
  EXPECT_NE(report.find("<Modules"), std::string::npos) << report;

  // Written again unchanged, it stays the same file (the core's files are
  // its user's alone); changed, it is replaced.
  const mode_t umaskBefore = umask(077);
  struct stat first, again;
  WriteReport();
  ASSERT_EQ(lstat("plugins.xml", &first), 0);
  WriteReport();
  ASSERT_EQ(lstat("plugins.xml", &again), 0);
  EXPECT_EQ(again.st_ino, first.st_ino);
  libraryVersion_ = "2.0";
  WriteReport();
  ASSERT_EQ(lstat("plugins.xml", &again), 0);
  EXPECT_NE(again.st_ino, first.st_ino);
  EXPECT_NE(ReadTextFile("plugins.xml").find("Version=\"2.0\""), std::string::npos);
  umask(umaskBefore);

  // A tmpfs filled up, then the directory that cannot be replaced by a file.
  const bool mounted = mkdir("disk", 0700) == 0 && mount("tmpfs", "disk", "tmpfs", 0, "size=64k") == 0;
  if (mounted) {
    WriteTextFile("disk/plugins.xml", "an older report");
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
      EXPECT_EQ(ReadTextFile("plugins.xml"), "an older report");
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
