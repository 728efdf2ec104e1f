// The product and core files and the documents the core publishes about
// itself, without a core: the files are real (in a per-test working
// directory) and the published events are recorded in place of the core's
// dispatch.
#include "config/config.h"

#include <ctime>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/config/core_documents.h"

namespace {

using dvrtest::FileExists;
using dvrtest::ReadTextFile;
using dvrtest::WriteTextFile;
using dvrtest::CoreDocuments;

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

}  // namespace
