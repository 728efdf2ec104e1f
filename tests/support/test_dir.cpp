// Per-test temporary directories and file helpers.
#include "tests/support/test_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace dvrtest {

namespace {

// Test names may hold '/' (parameterised tests); keep the directory name flat.
std::string SafeName(std::string name) {
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  }
  return name;
}

}  // namespace

TestDir::TestDir() {
  std::string name = "dvrtest";
  if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
    name += "-" + SafeName(std::string(info->test_suite_name()) + "." + info->name());
  }
  std::string pattern = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
    return;
  }
  path_ = buffer.data();
  // Other users (a core that has dropped to its parent's user) must be able to
  // reach the files below.
  chmod(path_.c_str(), 0755);
}

TestDir::~TestDir() {
  if (path_.empty()) return;
  if (::testing::Test::HasFailure()) {
    std::cerr << "test files kept in " << path_ << "\n";
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteTextFile(const std::string& path, const std::string& contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
  file.close();
  if (!file) ADD_FAILURE() << "cannot write " << path;
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

bool FileExists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

}  // namespace dvrtest
