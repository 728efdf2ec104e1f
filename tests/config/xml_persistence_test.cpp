// XML persistence: the parse depth limit (against the library's own parser),
// the error state, the print layouts, and the safe save and backup-promoting
// load on real files.
#include "config/xml_persistence.h"
#include "config/testing.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_dir.h"
#include "tests/support/sanitizers.h"

namespace {

using dvrtest::FileExists;
using dvrtest::ReadTextFile;
using dvrtest::TestDir;
using dvrtest::WriteTextFile;

std::string Repeat(const std::string& piece, int count) {
  std::string text;
  for (int i = 0; i < count; i++) text += piece;
  return text;
}

// Elements nested `levels` deep (the root is level 1) around `inner`.
std::string Nested(int levels, const std::string& inner = "") {
  return Repeat("<e>", levels) + inner + Repeat("</e>", levels);
}

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// ---- Parse depth limit ------------------------------------------------------

TEST(XmlParseDepth, HundredLevelsParseAndOneMoreFailsWithError17) {
  XmlDocument document;
  document.Parse(Nested(100).c_str());
  EXPECT_FALSE(document.Error()) << document.ErrorDesc();

  XmlDocument deeper;
  EXPECT_EQ(deeper.Parse(Nested(101).c_str()), nullptr);
  EXPECT_TRUE(deeper.Error());
  EXPECT_EQ(deeper.ErrorId(), TIXML_ERROR_NESTED_TOO_DEEPLY);
  EXPECT_STREQ(deeper.ErrorDesc(),
               "Elements nested too deeply (exceeds the configured maximum parse depth).");
  EXPECT_EQ(deeper.ErrorRow(), 0);
  EXPECT_EQ(deeper.ErrorCol(), 0);
  // Seen through the library's own interface, it is still a failure.
  EXPECT_TRUE(static_cast<const TiXmlDocument&>(deeper).Error());

  // The next good parse clears the error.
  deeper.Parse("<a/>");
  EXPECT_FALSE(deeper.Error());
  EXPECT_EQ(deeper.ErrorId(), 0);
}

TEST(XmlParseDepth, LevelHundredMayHoldTextButNoMarkup) {
  const std::pair<const char*, bool> cases[] = {
      {"text", true},
      {" text &amp; &#60; more ", true},
      {"<!-- comment -->", false},
      {"<![CDATA[x]]>", false},
      {"<?xml version=\"1.0\"?>", false},
      {"<!DOCTYPE x>", false},
      {"<?pi?>", false},
      {"<f/>", false},
  };
  for (const auto& [inner, accepted] : cases) {
    XmlDocument document;
    document.Parse(Nested(100, inner).c_str());
    EXPECT_EQ(document.ErrorId() != TIXML_ERROR_NESTED_TOO_DEEPLY, accepted) << inner;
    if (accepted) {
      EXPECT_FALSE(document.Error()) << inner << ": " << document.ErrorDesc();
    }
  }
}

TEST(XmlParseDepth, CountsFromTheDocumentNode) {
  XmlDocument document;
  document.maxParseDepth = 2;
  // Top-level nodes are not counted; the root's children count 3.
  document.Parse("<!-- c --><?pi?><r>text</r><!-- d -->");
  EXPECT_FALSE(document.Error()) << document.ErrorDesc();
  document.Parse("<r><c>text</c></r>");
  EXPECT_FALSE(document.Error()) << document.ErrorDesc();
  document.maxParseDepth = 1;
  document.Parse("<r><c/></r>");
  EXPECT_EQ(document.ErrorId(), TIXML_ERROR_NESTED_TOO_DEEPLY);

  XmlDocument copy(document);
  EXPECT_EQ(copy.maxParseDepth, 1);
  EXPECT_EQ(XmlDocument().maxParseDepth, 100);
}

// Runs `body` on a thread with a small stack, so that recursion per level
// would overflow long before a million levels.
void OnSmallStack(void (*body)()) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void* run) -> void* {
                  reinterpret_cast<void (*)()>(run)();
                  return nullptr;
                },
                reinterpret_cast<void*>(body)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

TEST(XmlParseDepth, MillionLevelsFailCleanly) {
  OnSmallStack([] {
    const int kLevels = 1000000;
    // Plain, with attributes whose values hold markup characters, and after a
    // byte-order mark (the library then reads UTF-8).
    for (const std::string& text :
         {Repeat("<e>", kLevels), Repeat("<e a='>' b=\"/>\">", kLevels) + Repeat("</e>", kLevels),
          "\xEF\xBB\xBF<?xml version='1.0'?>" + Repeat("<e><!-- x -->", kLevels)}) {
      XmlDocument document;
      EXPECT_EQ(document.Parse(text.c_str()), nullptr);
      EXPECT_EQ(document.ErrorId(), TIXML_ERROR_NESTED_TOO_DEEPLY);
    }
    // Markup inside a comment, a CDATA section or an attribute value is text.
    const std::string deep = Repeat("<e>", kLevels);
    for (const std::string& text :
         {"<r><!--" + deep + "--></r>", "<r><![CDATA[" + deep + "]]></r>", "<r a='" + deep + "'/>"}) {
      XmlDocument document;
      document.Parse(text.c_str());
      EXPECT_FALSE(document.Error()) << document.ErrorDesc();
    }
  });
}

TEST(XmlParseDepth, LoadFileAppliesTheLimit) {
  TestDir dir;
  const std::string file = dir / "deep.xml";
  WriteTextFile(file, Nested(101));
  XmlDocument document;
  EXPECT_FALSE(document.LoadFile(file.c_str()));
  EXPECT_EQ(document.ErrorId(), TIXML_ERROR_NESTED_TOO_DEEPLY);
  WriteTextFile(file, Nested(100, "text"));
  EXPECT_TRUE(document.LoadFile(file.c_str())) << document.ErrorDesc();
}

// Deepest level of a node that begins with '<' (everything but plain text).
int MarkupLevel(const TiXmlNode& node, int level) {
  int deepest = 0;
  for (const TiXmlNode* child = node.FirstChild(); child; child = child->NextSibling()) {
    const TiXmlText* text = child->ToText();
    if (!text || text->CDATA()) deepest = std::max(deepest, level);
    deepest = std::max(deepest, MarkupLevel(*child, level + 1));
  }
  return deepest;
}

// The scan must refuse exactly the inputs on which the library's own parser
// (run unlimited on small inputs) creates markup deeper than the limit, also
// where the input is broken and the parser stops half-way. The pieces aim at
// the places where a simpler tokeniser would go wrong: quotes, comment and
// CDATA ends, unknown tags, repeated attributes, mismatched end tags, and
// UTF-8 sequences that swallow a following '<'.
TEST(XmlParseDepth, RefusesExactlyWhatTheLibraryNestsTooDeeply) {
  const char* const kPieces[] = {
      "<a>", "<a>", "<b>", "<b x='1'>", "</a>", "</a>", "</b>", "</b >", "</ab>", "<a", "<b", ">",
      "/>", " ", "\n", "x", "&amp;", "&#x3c;", "&#60;", "&", "'", "\"", "=", " a='>'", " a=\"<a>\"",
      " a=v", " a='1' a='2'>", "<!--", "-->", "--", "<![CDATA[", "]]>", "]]", "<?xml", "?>",
      "<?xml version='1.0' encoding='UTF-8'?>", "<?xml encoding='latin1'?>", "<!DOCTYPE a>",
      "<!", "<1>", "< a>", "<_c>", "</_c>", "\xEF\xBB\xBF", "\xE0", "\xC3", "\xF0\x90", "\xC3\xA9",
      "<\xC3\xA9>", "</\xC3\xA9>", "\xE0</a>", "\r\n"};
  std::mt19937 random(20240611);
  std::uniform_int_distribution<size_t> pick(0, sizeof kPieces / sizeof kPieces[0] - 1);
  std::uniform_int_distribution<int> length(1, 40);
  const bool condensed = TiXmlBase::IsWhiteSpaceCondensed();
  int refusals = 0;
  for (int round = 0; round < 40000; round++) {
    std::string text;
    for (int n = length(random); n > 0; n--) text += kPieces[pick(random)];
    TiXmlBase::SetCondenseWhiteSpace(round % 4 != 0);
    // Zeros after the text keep the library's UTF-8 over-read inside the buffer.
    const std::string padded = text + std::string(3, '\0');
    TiXmlDocument reference;
    reference.Parse(padded.c_str());
    const int level = MarkupLevel(reference, 1);
    for (int limit = 1; limit <= 4; limit++) {
      const bool within = XmlDepthWithinLimit(text.c_str(), limit);
      refusals += !within;
      ASSERT_EQ(within, level <= limit) << "limit " << limit << ", input " << Printable(text);
    }
  }
  TiXmlBase::SetCondenseWhiteSpace(condensed);
  EXPECT_GT(refusals, 1000);  // the inputs did reach beyond the limits
}

// ---- Error state and layouts --------------------------------------------------

TEST(XmlDocumentErrors, OwnErrorReplacesTheLibrarysAndClears) {
  XmlDocument document;
  document.Parse("<a>");
  EXPECT_EQ(document.ErrorId(), TiXmlBase::TIXML_ERROR_READING_ELEMENT_VALUE);
  document.SetErrorState(2, "create error 13");
  EXPECT_TRUE(document.Error());
  EXPECT_EQ(document.ErrorId(), 2);
  EXPECT_STREQ(document.ErrorDesc(), "create error 13");
  EXPECT_EQ(static_cast<const TiXmlDocument&>(document).ErrorId(), 2);
  document.ClearErrorState();
  EXPECT_FALSE(document.Error());
  EXPECT_FALSE(static_cast<const TiXmlDocument&>(document).Error());
  EXPECT_STREQ(document.ErrorDesc(), "");
}

XmlDocument SampleDocument() {
  XmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("", "", ""));
  auto* root = new TiXmlElement("Nvrx");
  root->SetAttribute("Delta", 0);
  auto* memory = new TiXmlElement("Memory");
  memory->SetAttribute("ID", -2147483647 - 1);
  memory->SetAttribute("Name", "<&>'b");
  memory->SetAttribute("Quoted", "\"");
  root->LinkEndChild(memory);
  auto* text = new TiXmlElement("Text");
  text->LinkEndChild(new TiXmlText("x < y"));
  root->LinkEndChild(text);
  document.LinkEndChild(root);
  return document;
}

TEST(XmlPrint, FileAndCompactLayouts) {
  const XmlDocument document = SampleDocument();
  EXPECT_EQ(PrintFileLayout(document),
            "<?xml ?>\n"
            "<Nvrx Delta=\"0\">\n"
            "    <Memory ID=\"-2147483648\" Name=\"&lt;&amp;&gt;&apos;b\" Quoted='&quot;' />\n"
            "    <Text>x &lt; y</Text>\n"
            "</Nvrx>\n");
  EXPECT_EQ(PrintCompact(document),
            "<?xml ?><Nvrx Delta=\"0\"><Memory ID=\"-2147483648\" "
            "Name=\"&lt;&amp;&gt;&apos;b\" Quoted='&quot;' /><Text>x &lt; y</Text></Nvrx>");
}

// ---- Safe save and backup-promoting load ------------------------------------

class SafeSave : public ::testing::Test {
 protected:
  static XmlDocument Document(const char* name) {
    XmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    document.LinkEndChild(new TiXmlElement(name));
    return document;
  }
  static std::string Text(const char* name) { return PrintFileLayout(Document(name)); }

  TestDir dir_;
  const std::string file_ = dir_ / "state.xml";
  const std::string pending_ = file_ + ".pending";
  const std::string backup_ = file_ + ".bak";
};

TEST_F(SafeSave, CreatesTheFileWhenThereIsNone) {
  XmlDocument document = Document("New");
  ASSERT_TRUE(SaveFileSafely(document, file_.c_str())) << document.ErrorDesc();
  EXPECT_EQ(ReadTextFile(file_), "<?xml ?>\n<New />\n");
  EXPECT_FALSE(FileExists(backup_));
  EXPECT_FALSE(FileExists(pending_));
}

// A file that already holds the text, of this user and for this user alone,
// stays the same file (no rename, so no fsync either); anything else is
// replaced. Leftovers of a crash go either way.
TEST_F(SafeSave, ReplacesAFileThatDiffersAndKeepsOneThatHoldsTheText) {
  const std::string target = dir_ / "target.xml";
  struct Case {
    const char* name;
    std::string content;  // of the file before the save
    bool asLink;          // the file is a symbolic link to a file with `content`
    bool otherOwner;      // the file belongs to another user (root only)
    mode_t mode;
    bool kept;
  } cases[] = {
      {"same text", Text("New"), false, false, 0600, true},
      {"other text", Text("Old"), false, false, 0600, false},
      {"same length, one byte differs", Text("Nex"), false, false, 0600, false},
      {"the text and more", Text("New") + " ", false, false, 0600, false},
      {"link to the same text", Text("New"), true, false, 0600, false},
      {"same text of another user", Text("New"), false, true, 0600, false},
      {"same text, anyone may write", Text("New"), false, false, 0666, false},
      {"same text, others may read", Text("New"), false, false, 0640, false},
  };
  for (const Case& c : cases) {
    if (c.otherOwner && geteuid() != 0) continue;  // only root can give a file away
    std::remove(file_.c_str());
    if (c.asLink) {
      WriteTextFile(target, c.content);
      ASSERT_EQ(symlink(target.c_str(), file_.c_str()), 0);
    } else {
      WriteTextFile(file_, c.content);
      ASSERT_EQ(chmod(file_.c_str(), c.mode), 0);
      if (c.otherOwner) {
        ASSERT_EQ(chown(file_.c_str(), 65534, 65534), 0);
      }
    }
    WriteTextFile(backup_, Text("Older"));
    WriteTextFile(pending_, Repeat("stale pending content ", 1000));
    struct stat before, after;
    ASSERT_EQ(lstat(file_.c_str(), &before), 0);
    XmlDocument document = Document("New");
    ASSERT_TRUE(SaveFileSafely(document, file_.c_str())) << c.name << ": " << document.ErrorDesc();
    ASSERT_EQ(lstat(file_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino == before.st_ino, c.kept) << c.name;
    EXPECT_TRUE(S_ISREG(after.st_mode)) << c.name;
    EXPECT_EQ(after.st_uid, geteuid()) << c.name;
    EXPECT_EQ(ReadTextFile(file_), Text("New")) << c.name;
    EXPECT_FALSE(FileExists(backup_)) << c.name;
    EXPECT_FALSE(FileExists(pending_)) << c.name;
  }
}

TEST_F(SafeSave, UnwritableDirectoryGivesCreateError13AndKeepsTheFile) {
  const std::string locked = dir_ / "locked";
  ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
  const std::string file = locked + "/state.xml";
  WriteTextFile(file, Text("Old"));
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);

  // Root writes anywhere, so the save runs as nobody in a child process.
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(2);
    }
    XmlDocument document = Document("New");
    const bool saved = SaveFileSafely(document, file.c_str());
    const std::string result = std::to_string(saved) + " " + std::to_string(document.ErrorId()) +
                               " " + document.ErrorDesc();
    _exit(write(report[1], result.data(), result.size()) == static_cast<ssize_t>(result.size()) ? 0 : 3);
  }
  close(report[1]);
  std::string result;
  char buffer[256];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(result, "0 2 create error 13");
  EXPECT_EQ(ReadTextFile(file), Text("Old"));
  EXPECT_FALSE(FileExists(file + ".pending"));
  chmod(locked.c_str(), 0755);
}

// The pending file is made anew: a link left under its name does not lead
// the save to the link's target.
TEST_F(SafeSave, PendingNameThatIsALinkIsReplacedNotFollowed) {
  const std::string target = dir_ / "target";
  WriteTextFile(target, "untouched");
  ASSERT_EQ(symlink(target.c_str(), pending_.c_str()), 0);
  XmlDocument document = Document("New");
  ASSERT_TRUE(SaveFileSafely(document, file_.c_str())) << document.ErrorDesc();
  EXPECT_EQ(ReadTextFile(target), "untouched");
  struct stat status;
  ASSERT_EQ(lstat(file_.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(ReadTextFile(file_), Text("New"));
}

TEST_F(SafeSave, WriteErrorRemovesThePendingFileAndKeepsTheFile) {
  // A file size limit makes every write past a few bytes fail (EFBIG).
  WriteTextFile(file_, Text("Old"));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {4, 4};
    setrlimit(RLIMIT_FSIZE, &limit);
    XmlDocument document = Document("New");
    const bool failedAsExpected = !SaveFileSafely(document, file_.c_str()) &&
                                  document.ErrorId() == 2 &&
                                  std::string(document.ErrorDesc()) == "write error 27";
    _exit(failedAsExpected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(ReadTextFile(file_), Text("Old"));
  struct stat pending;
  EXPECT_NE(lstat(pending_.c_str(), &pending), 0);
}

TEST_F(SafeSave, BackupThatCannotBeRemovedFailsTheSwapAndKeepsTheFile) {
  WriteTextFile(file_, Text("Old"));
  ASSERT_EQ(mkdir(backup_.c_str(), 0755), 0);
  WriteTextFile(backup_ + "/occupant", "x");
  XmlDocument document = Document("New");
  EXPECT_FALSE(SaveFileSafely(document, file_.c_str()));
  EXPECT_EQ(document.ErrorId(), 2);
  EXPECT_STREQ(document.ErrorDesc(), "xml file swap failed");
  EXPECT_EQ(ReadTextFile(file_), Text("Old"));
  EXPECT_FALSE(FileExists(pending_));
  EXPECT_TRUE(FileExists(backup_ + "/occupant"));
}

TEST_F(SafeSave, LoadPromotesAValidBackupWhenTheFileIsMissingOrBroken) {
  // A declaration or a comment alone parses, but is no document.
  for (const char* broken : {"", "<Old>", "<Old></New>", "\x01", "<?xml ?>\n", "<!-- only -->"}) {
    std::remove(file_.c_str());
    if (*broken) WriteTextFile(file_, broken);
    WriteTextFile(backup_, Text("Backup"));
    XmlDocument document;
    ASSERT_TRUE(LoadFileOrBackup(document, file_.c_str())) << Printable(broken);
    EXPECT_STREQ(document.RootElement()->Value(), "Backup");
    EXPECT_EQ(ReadTextFile(file_), Text("Backup"));
    EXPECT_FALSE(FileExists(backup_));
  }
}

TEST_F(SafeSave, LoadOfAValidFileRemovesTheBackup) {
  WriteTextFile(file_, Text("Current"));
  WriteTextFile(backup_, Text("Backup"));
  XmlDocument document;
  ASSERT_TRUE(LoadFileOrBackup(document, file_.c_str()));
  EXPECT_STREQ(document.RootElement()->Value(), "Current");
  EXPECT_FALSE(FileExists(backup_));
}

TEST_F(SafeSave, FileNestedTooDeeplyFallsBackToTheBackup) {
  WriteTextFile(file_, Nested(101));
  XmlDocument document;
  EXPECT_FALSE(LoadFileOrBackup(document, file_.c_str()));
  EXPECT_EQ(document.ErrorId(), TiXmlBase::TIXML_ERROR_OPENING_FILE);  // the backup's, the last tried

  WriteTextFile(backup_, Nested(100));
  ASSERT_TRUE(LoadFileOrBackup(document, file_.c_str())) << document.ErrorDesc();
  EXPECT_EQ(ReadTextFile(file_), Nested(100));
  EXPECT_FALSE(FileExists(backup_));
}

TEST_F(SafeSave, LoadReportsTheErrorOfTheLastAttempt) {
  WriteTextFile(file_, "<a>");
  WriteTextFile(backup_, Nested(101));
  XmlDocument document;
  EXPECT_FALSE(LoadFileOrBackup(document, file_.c_str()));
  EXPECT_EQ(document.ErrorId(), TIXML_ERROR_NESTED_TOO_DEEPLY);
  EXPECT_EQ(ReadTextFile(file_), "<a>");
  EXPECT_TRUE(FileExists(backup_));

  // A file that failed to parse is not remembered by the next, missing one.
  std::remove(file_.c_str());
  std::remove(backup_.c_str());
  EXPECT_FALSE(LoadFileOrBackup(document, file_.c_str()));
  EXPECT_EQ(document.ErrorId(), TiXmlBase::TIXML_ERROR_OPENING_FILE);
}

// A file that exists but cannot be opened may hold what the operator wrote:
// neither it nor the other one of the pair is touched, and the loader says
// which and why. Opening never waits, not even on a FIFO without a writer.
TEST_F(SafeSave, FileThatCannotBeOpenedIsLeftAloneWithItsPartner) {
  struct Case {
    bool fileIsFifo;  // else the backup is, and the file is missing
    const std::string& leftAlone;
  };
  for (const Case& c : {Case{true, file_}, Case{false, backup_}}) {
    std::remove(file_.c_str());
    std::remove(backup_.c_str());
    if (c.fileIsFifo) WriteTextFile(backup_, Text("Backup"));
    ASSERT_EQ(mkfifo(c.leftAlone.c_str(), 0600), 0);
    XmlDocument document;
    std::string leftAlone = "stale";
    EXPECT_FALSE(LoadFileOrBackup(document, file_.c_str(), &leftAlone));
    EXPECT_EQ(leftAlone, c.leftAlone);
    EXPECT_STREQ(document.ErrorDesc(), "not a regular file");
    struct stat status;
    ASSERT_EQ(lstat(c.leftAlone.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    if (c.fileIsFifo) {
      EXPECT_EQ(ReadTextFile(backup_), Text("Backup"));
    }
  }
}

TEST_F(SafeSave, DirectoryOrHugeFileIsUnreadableNotFatal) {
  ASSERT_EQ(mkdir(file_.c_str(), 0755), 0);
  XmlDocument document;
  EXPECT_FALSE(LoadFileOrBackup(document, file_.c_str()));
  EXPECT_EQ(document.ErrorId(), TiXmlBase::TIXML_ERROR_OPENING_FILE);
  ASSERT_EQ(rmdir(file_.c_str()), 0);

  if (dvrtest::kAddressSanitizer || dvrtest::kThreadSanitizer) {
    GTEST_SKIP() << "sanitizers do not run under an address-space limit";
  }
  // A sparse file larger than the child's address space: the library's
  // buffer cannot be allocated.
  WriteTextFile(file_, "");
  ASSERT_EQ(truncate(file_.c_str(), 4LL << 30), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const struct rlimit limit = {1LL << 30, 1LL << 30};
    setrlimit(RLIMIT_AS, &limit);
    XmlDocument huge;
    const bool loaded = LoadFileOrBackup(huge, file_.c_str());
    _exit(!loaded && huge.ErrorId() == TiXmlBase::TIXML_ERROR_OPENING_FILE ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

}  // namespace
