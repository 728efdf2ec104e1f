// The fixture of the tests of the documents the core writes and publishes
// about itself: a per-test working directory with real files, and the
// published events recorded in place of the core's dispatch.
#ifndef DVRCORE_TESTS_CONFIG_CORE_DOCUMENTS_H
#define DVRCORE_TESTS_CONFIG_CORE_DOCUMENTS_H

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "dvrcore_version.h"
#include "tests/support/recording_dispatch.h"
#include "tests/support/test_dir.h"

namespace dvrtest {

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
  TestDir dir_;
  std::string previousDirectory_;
  RecordingDispatch dispatch_;
  CoreSettings settings_ = [] {
    CoreSettings settings;
    settings.coreVersion = kVersion;
    return settings;
  }();
};

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_CONFIG_CORE_DOCUMENTS_H
