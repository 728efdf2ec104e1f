// The safe save under fire: a child process saves the same file in a loop and
// is killed at random moments; after every kill the load must find one of the
// two complete documents.
#include "config/xml_persistence.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_dir.h"

namespace {

// A document large enough that a save spends most of its time writing.
XmlDocument LargeDocument(const char* rootName, int rows) {
  XmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("", "", ""));
  auto* root = new TiXmlElement(rootName);
  for (int i = 0; i < rows; i++) {
    auto* row = new TiXmlElement("Row");
    row->SetAttribute("Index", i);
    row->SetAttribute("Text", std::string(40, static_cast<char>('a' + i % 26)));
    root->LinkEndChild(row);
  }
  document.LinkEndChild(root);
  return document;
}

TEST(SafeSaveCrash, KilledSaverAlwaysLeavesACompleteDocument) {
  dvrtest::TestDir dir;
  const std::string file = dir / "state.xml";
  XmlDocument documents[2] = {LargeDocument("First", 2000), LargeDocument("Second", 1500)};
  const std::string texts[2] = {PrintFileLayout(documents[0]), PrintFileLayout(documents[1])};
  ASSERT_TRUE(SaveFileSafely(documents[0], file.c_str()));

  std::mt19937 random(7);
  std::uniform_int_distribution<int> delayUs(0, 4000);
  int leftovers = 0;  // rounds that found a backup or a pending file
  for (int round = 0; round < 200; round++) {
    const pid_t saver = fork();
    ASSERT_GE(saver, 0);
    if (saver == 0) {
      for (unsigned i = round;; i++) SaveFileSafely(documents[i % 2], file.c_str());
    }
    usleep(delayUs(random));
    kill(saver, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(saver, &status, 0), saver);
    leftovers += dvrtest::FileExists(file + ".bak") || dvrtest::FileExists(file + ".pending");

    XmlDocument loaded;
    ASSERT_TRUE(LoadFileOrBackup(loaded, file.c_str()))
        << "round " << round << ": " << loaded.ErrorDesc();
    const std::string text = PrintFileLayout(loaded);
    ASSERT_TRUE(text == texts[0] || text == texts[1]) << "round " << round;
    ASSERT_EQ(dvrtest::ReadTextFile(file), text) << "round " << round;
    ASSERT_FALSE(dvrtest::FileExists(file + ".bak")) << "round " << round;
  }
  // Not an assertion on timing: only a record of how often a kill landed
  // inside a save, shown when the test is run verbosely.
  RecordProperty("roundsWithLeftovers", leftovers);
}

}  // namespace
