#include "output_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "systems.h"

namespace stellix::program {

namespace {

std::string reason(int error) {
  return error != 0 ? std::strerror(error) : "unknown error";
}

// Empties the file behind `stream` when it is a regular file; a device or a
// pipe has nothing to empty.
bool empty_regular_file(std::FILE* stream) {
#ifdef _WIN32
  struct _stat64 status;
  if (_fstat64(_fileno(stream), &status) != 0) return false;
  return (status.st_mode & _S_IFMT) != _S_IFREG || _chsize_s(_fileno(stream), 0) == 0;
#else
  struct stat status;
  if (fstat(fileno(stream), &status) != 0) return false;
  return !S_ISREG(status.st_mode) || ftruncate(fileno(stream), 0) == 0;
#endif
}

}  // namespace

void fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + reason(error));
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)), name_(printable(path_)) {
  std::error_code ignored;
  created_ = !std::filesystem::exists(std::filesystem::symlink_status(path_, ignored));
  stream_ = std::fopen(path_.c_str(), "a");
  if (stream_ == nullptr) fail("cannot create " + name_, errno);
}

OutputFile::~OutputFile() {
  if (stream_ != nullptr) std::fclose(stream_);
  if (created_ && !begun_) std::remove(path_.c_str());
}

std::FILE* OutputFile::begin() {
  begun_ = true;
  if (!empty_regular_file(stream_)) fail("cannot empty " + name_, errno);
  return stream_;
}

void OutputFile::adopt() {
  begun_ = true;
  std::fclose(stream_);
  stream_ = nullptr;
}

void OutputFile::check(int error) const {
  if (std::ferror(stream_)) fail("cannot write " + name_, error);
}

void OutputFile::close() {
  errno = 0;
  const bool failed = std::fflush(stream_) != 0 || std::ferror(stream_);
  const int error = errno;
  const int closed = std::fclose(stream_);
  stream_ = nullptr;
  if (failed || closed != 0) fail("cannot write " + name_, failed ? error : errno);
}

#ifndef _WIN32
std::unique_ptr<RunFileDirectory> RunFileDirectory::make(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  // The destination exists (opened before the run). A link is followed,
  // as fopen follows it: its target is what gets replaced.
  const fs::path target = fs::canonical(path, error);
  if (error) return nullptr;
  struct stat status;
  if (stat(target.c_str(), &status) != 0) return nullptr;
  const bool through = !S_ISREG(status.st_mode);
  const fs::path beside = through ? fs::absolute(path, error) : target;
  if (error) return nullptr;
  std::string pattern = (beside.parent_path() / ".stellix-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return nullptr;
  auto made = std::make_unique<RunFileDirectory>(pattern, target.string(), printable(path));
  if (through && symlink(target.c_str(), made->file_.c_str()) != 0) return nullptr;
  made->through_ = through;
  return made;
}

RunFileDirectory::RunFileDirectory(std::string directory, std::string target, std::string name)
    : directory_(std::move(directory)),
      file_(directory_ + "/output.csv"),
      target_(std::move(target)),
      name_(std::move(name)) {}

RunFileDirectory::~RunFileDirectory() {
  if (home_ >= 0) ::close(home_);
  unlink(file_.c_str());
  rmdir(directory_.c_str());
}

void RunFileDirectory::enter() {
  home_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (home_ < 0) fail("cannot open the working directory", errno);
  if (chdir(directory_.c_str()) != 0) fail("cannot write " + name_, errno);
}

void RunFileDirectory::leave() {
  if (fchdir(home_) != 0) fail("cannot return to the working directory", errno);
  ::close(home_);
  home_ = -1;
}

void RunFileDirectory::commit() const {
  if (!through_ && std::rename(file_.c_str(), target_.c_str()) != 0) {
    fail("cannot write " + name_, errno);
  }
}
#endif

bool guard_standard_streams() {
#ifdef _WIN32
  return true;  // a closed standard output shows as a write error at the end
#else
  bool output_open = true;
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      if (fd == STDOUT_FILENO) output_open = false;
      open("/dev/null", O_RDWR);  // takes the lowest free descriptor, this one
    }
  }
  return output_open;
#endif
}

bool is_terminal(std::FILE* stream) {
  return isatty(fileno(stream));
}

void check_standard_output(int error) {
  if (std::ferror(stdout)) fail("cannot write standard output", error);
}

// The library writes standard output in blocks of a few KiB. Buffered here in
// larger ones, what fails to be written is still buffered at the end, and
// writing it again gives the reason the library does not keep.
void buffer_standard_output() {
  static char output_buffer[1 << 16];
  if (!is_terminal(stdout)) std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
}

void recheck_standard_output() {
  if (!std::ferror(stdout)) return;
  std::clearerr(stdout);
  errno = 0;
  std::fflush(stdout);
  fail("cannot write standard output", errno);
}

void finish_standard_output() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    fail("cannot write standard output", errno);
  }
}

}  // namespace stellix::program
