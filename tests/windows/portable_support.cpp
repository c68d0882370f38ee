// The file and descriptor helpers of support.h without POSIX calls, for the test programs built
// for Windows. Files are read in text mode, so the CR LF that a Windows
// text-mode stream writes reads back as the "\n" the tests expect.
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support.h"

namespace testing_support {
namespace {

std::filesystem::path unique_temp_path(const char* prefix) {
  std::random_device seed;
  std::mt19937_64 rng(seed());
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto path = base / (prefix + std::to_string(rng()));
    if (!std::filesystem::exists(path)) return path;
  }
  throw std::runtime_error("no free temporary name");
}

}  // namespace

std::string capture_stdout(const std::function<void()>& body) {
  std::fflush(stdout);
  const std::string path = unique_temp_path("stellix-stdout-").string();
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) throw std::runtime_error("cannot create " + path);
  const int saved = _dup(_fileno(stdout));
  _dup2(_fileno(file), _fileno(stdout));
  body();
  std::fflush(stdout);
  _dup2(saved, _fileno(stdout));
  _close(saved);
  std::fclose(file);
  std::string text = read_file(path);
  std::remove(path.c_str());
  return text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  return std::filesystem::exists(path);
}

void InTempDir::SetUp() {
  previous_ = std::filesystem::current_path().string();
  const auto dir = unique_temp_path("stellix-test-");
  ASSERT_TRUE(std::filesystem::create_directory(dir));
  dir_ = dir.string();
  std::filesystem::current_path(dir_);
}

void InTempDir::TearDown() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace testing_support
