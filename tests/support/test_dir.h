// A temporary directory per test, and small file helpers.
#ifndef DVRCORE_TESTS_SUPPORT_TEST_DIR_H
#define DVRCORE_TESTS_SUPPORT_TEST_DIR_H

#include <string>

namespace dvrtest {

// Creates a fresh directory under the system's temporary directory, named
// after the running test. The destructor removes it unless the test has
// failed, in which case the path is printed so that its contents (console
// captures, plugin records, XML files) can be inspected.
class TestDir {
 public:
  TestDir();
  ~TestDir();
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() joined with `relative`.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `contents` to `path`, replacing the file; fails the test on error.
void WriteTextFile(const std::string& path, const std::string& contents);
// The whole file, or an empty string when it cannot be read.
std::string ReadTextFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_SUPPORT_TEST_DIR_H
