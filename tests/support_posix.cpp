// The file and descriptor helpers of support.h, for POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support.h"

namespace testing_support {

std::string capture_stdout(const std::function<void()>& body) {
  std::fflush(stdout);
  char path[] = "/tmp/stellix-stdout-XXXXXX";
  const int file = mkstemp(path);
  if (file < 0) throw std::runtime_error("mkstemp failed");
  const int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  body();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(file);
  std::string text = read_file(path);
  unlink(path);
  return text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void InTempDir::SetUp() {
  previous_ = std::filesystem::current_path().string();
  char templ[] = "/tmp/stellix-test-XXXXXX";
  const char* made = mkdtemp(templ);
  ASSERT_NE(made, nullptr);
  dir_ = made;
  std::filesystem::current_path(dir_);
}

void InTempDir::TearDown() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace testing_support
