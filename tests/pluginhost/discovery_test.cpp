// Plugin discovery and ordering, on real directories.
#include "pluginhost/pluginhost.h"
#include "pluginhost/testing.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace fs = boost::filesystem;

namespace {

class PluginDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / fs::unique_path("discovery-%%%%-%%%%");
    fs::create_directories(root_ / "plugins");
    fs::create_directories(root_ / "protected-plugins");
  }
  void TearDown() override { fs::remove_all(root_); }

  void Touch(const fs::path& path) { std::ofstream(path.string()) << "x"; }
  static std::vector<std::string> Texts(const std::vector<fs::path>& paths) {
    std::vector<std::string> texts;
    for (const fs::path& path : paths) texts.push_back(path.string());
    return texts;
  }

  // Discovery as the loader does it: both directories, then one sort.
  std::vector<std::string> Discover() {
    std::vector<fs::path> found;
    FindPluginFiles(root_ / "plugins", ".so", found);
    FindPluginFiles(root_ / "protected-plugins", ".so", found);
    // Trailing separators on a directory name change none of the paths found,
    // not even in their spelling (paths compare equal element by element).
    std::vector<fs::path> viaSlashes;
    FindPluginFiles(root_.string() + "/plugins/", ".so", viaSlashes);
    FindPluginFiles(root_.string() + "/protected-plugins//", ".so", viaSlashes);
    EXPECT_EQ(Texts(viaSlashes), Texts(found));
    std::vector<fs::path> bySort = found;
    std::sort(bySort.begin(), bySort.end(), PluginPathLess);
    SortPluginPaths(found);
    EXPECT_EQ(found, bySort) << "the two orderings must agree";
    std::vector<std::string> relative;
    for (const fs::path& p : found) {
      relative.push_back(p.parent_path().filename().string() + "/" + p.filename().string());
    }
    return relative;
  }

  fs::path root_;
};

using Names = std::vector<std::string>;

TEST_F(PluginDiscovery, MissingDirectoriesGiveNothing) {
  fs::remove_all(root_ / "plugins");
  fs::remove_all(root_ / "protected-plugins");
  EXPECT_TRUE(Discover().empty());
}

TEST_F(PluginDiscovery, FileInPlaceOfDirectoryGivesNothing) {
  fs::remove_all(root_ / "plugins");
  Touch(root_ / "plugins");
  Touch(root_ / "protected-plugins" / "a.so");
  EXPECT_EQ(Discover(), (Names{"protected-plugins/a.so"}));
}

TEST_F(PluginDiscovery, OnlyRegularFilesWithExactLastExtension) {
  Touch(root_ / "plugins" / "good.so");
  Touch(root_ / "plugins" / ".so");
  Touch(root_ / "plugins" / "a.b.so");
  Touch(root_ / "plugins" / "x.SO");
  Touch(root_ / "plugins" / "libx.so.1");
  Touch(root_ / "plugins" / "noext");
  Touch(root_ / "plugins" / "target.bin");
  fs::create_directory(root_ / "plugins" / "extra.so");
  fs::create_symlink(root_ / "plugins" / "target.bin", root_ / "plugins" / "alias.so");
  fs::create_symlink(root_ / "plugins" / "gone.bin", root_ / "plugins" / "dangling.so");
  EXPECT_EQ(Discover(),
            (Names{"plugins/.so", "plugins/a.b.so", "plugins/alias.so", "plugins/good.so"}));
}

// The load order: the marker "Nvrxpr" (case-sensitive) first across both
// directories, then element by element by byte value, so a name in plugins/
// before the same name in protected-plugins/.
TEST_F(PluginDiscovery, CandidatesComeInTheLoadOrder) {
  const Names cases[] = {
      {"plugins/a.so", "protected-plugins/a.so"},
      {"protected-plugins/zz-Nvrxpr-base.so", "plugins/a.so", "protected-plugins/b.so"},
      {"plugins/a.so", "plugins/z-nvrxpr.so"},
      {"plugins/B.so", "plugins/Video.so", "plugins/audio.so", "plugins/\xC3\xA9t\xC3\xA9.so"}};
  for (const Names& expected : cases) {
    fs::remove_all(root_);
    SetUp();
    // Created in reverse, so that the directory's own order does not help.
    for (auto name = expected.rbegin(); name != expected.rend(); ++name) Touch(root_ / *name);
    EXPECT_EQ(Discover(), expected);
  }
}

TEST_F(PluginDiscovery, UnreadableDirectoryEndsOnlyItsOwnScan) {
  Touch(root_ / "plugins" / "a.so");
  Touch(root_ / "protected-plugins" / "b.so");
  fs::permissions(root_ / "plugins", fs::no_perms);
  // As root the directory stays readable; the rule still holds then.
  Names found = Discover();
  fs::permissions(root_ / "plugins", fs::owner_all);
  if (geteuid() == 0) {
    EXPECT_EQ(found, (Names{"plugins/a.so", "protected-plugins/b.so"}));
  } else {
    EXPECT_EQ(found, (Names{"protected-plugins/b.so"}));
  }
}

// Each list in order, where sorting the paths as text would not give it.
TEST(PluginPathOrder, ElementWiseNotTextual) {
  const std::vector<fs::path> cases[] = {
      // The directory "a" is a prefix of "a.b" and "a-b.so" ('-' and '.' are
      // below '/'), and the elements of a path a prefix of a longer one's.
      {"/x/a", "/x/a/b.so", "/x/a-b.so", "/x/a.b/c.so"},
      // The marker first, wherever its path would go.
      {"/y/Nvrxpr/a.so", "/x/plugins/z.so", "/x/protected-plugins/a.so"},
      // The root "/" is an element of its own, compared with a relative
      // path's first: '!' < '/' < 'a'.
      {"!a.so", "/a.so", "a.so"},
      // Repeated separators: "/x//b.so" is "/", "x", "b.so"; "//net" is a
      // root name, after the root "/".
      {"/a.so", "/x/a.so", "/x//b.so", "//net/a.so"},
      // A trailing separator adds the element ".", which "-.so" precedes.
      {"/x/a/-.so", "/x/a/", "/x/a/./b.so"},
  };
  for (const std::vector<fs::path>& expected : cases) {
    for (size_t i = 1; i < expected.size(); i++) {
      EXPECT_TRUE(PluginPathLess(expected[i - 1], expected[i])) << expected[i - 1];
      EXPECT_FALSE(PluginPathLess(expected[i], expected[i - 1])) << expected[i - 1];
    }
    std::vector<fs::path> sorted(expected.rbegin(), expected.rend());
    SortPluginPaths(sorted);
    EXPECT_EQ(sorted, expected);
  }
}

TEST(PluginPathOrder, StrictAmongMarkedCandidates) {
  fs::path a = "/d/Nvrxpr-a.so", b = "/d/Nvrxpr-b.so";
  EXPECT_TRUE(PluginPathLess(a, b));
  EXPECT_FALSE(PluginPathLess(b, a));
  EXPECT_FALSE(PluginPathLess(a, a));
}

}  // namespace
