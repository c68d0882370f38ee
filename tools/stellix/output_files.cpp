#include "output_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/sendfile.h>
#include <unistd.h>
#endif

#include "systems.h"

namespace stellix::program {

namespace fs = std::filesystem;

namespace {

std::string reason(int error) {
  return error != 0 ? std::strerror(error) : "unknown error";
}

// Where the bytes go: a link is followed, as opening the name would.
std::string resolve(const std::string& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  if (!error) return real.string();
  const fs::path weak = fs::weakly_canonical(fs::absolute(path, error), error);
  return error ? path : weak.string();
}

// A temporary file beside `target`, open for writing; empty when none can be
// made, with errno telling why.
std::string make_temporary(const std::string& target, bool binary, std::FILE*& stream) {
  const fs::path beside = fs::path(target).parent_path();
  std::string name = (beside / ".stellix-XXXXXX").string();
#ifdef _WIN32
  // Unique while the process lives: no two outputs share a target.
  name = (beside /
          (".stellix-" + std::to_string(_getpid()) + "-" + fs::path(target).filename().string()))
             .string();
  const int fd =
      _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | (binary ? _O_BINARY : _O_TEXT), 0666);
#else
  const int fd = mkstemp(name.data());
#endif
  if (fd < 0) return {};
  stream = fdopen(fd, binary ? "wb" : "w");
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd), std::remove(name.c_str());
    errno = error;
    return {};
  }
  return name;
}

unsigned creation_mode() {
#ifdef _WIN32
  return 0666;
#else
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
#endif
}

// Appends `length` bytes of `in` from `offset` to the stream `out`: copied by
// the kernel where it can (neither copy passes through the program), else
// read and written here. Returns 0, or errno of the write that failed.
#ifndef _WIN32
int append_bytes(int in, std::int64_t offset, std::int64_t length, std::FILE* out) {
  errno = 0;
  if (std::fflush(out) != 0) return errno != 0 ? errno : EIO;
  bool kernel = true;
  for (off_t at = offset; kernel && length > 0;) {
    ssize_t copied = copy_file_range(in, &at, fileno(out), nullptr, length, 0);
    if (copied < 0 && at == offset && errno != EINTR && errno != ENOSPC && errno != EIO)
      copied = sendfile(fileno(out), in, &at, static_cast<std::size_t>(length));
    if (copied > 0) {
      length -= copied, offset += copied;
    } else if (copied < 0 &&
               (errno == EINVAL || errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP)) {
      kernel = false;  // left to the loop below
    } else if (copied < 0 && errno != EINTR) {
      return errno;
    } else if (copied == 0) {
      return EIO;  // the scratch file is shorter than it said
    }
  }
  std::vector<char> buffer(1 << 20);
  while (length > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(length, 1 << 20));
    const auto got = pread(in, buffer.data(), want, static_cast<off_t>(offset));
    if (got <= 0) return got < 0 ? errno : EIO;
    errno = 0;
    if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), out) !=
        static_cast<std::size_t>(got))
      return errno != 0 ? errno : EIO;
    length -= got, offset += got;
  }
  return 0;
}

#else
// Windows runs write their text themselves.
int append_bytes(int, std::int64_t, std::int64_t, std::FILE*) {
  return ENOSYS;
}
#endif

}  // namespace

void fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + reason(error));
}

Output::Output(std::string path, bool binary)
    : path_(std::move(path)), name_(printable(path_)), binary_(binary) {
  const FileIdentity file = identify(path_);
  if (is_standard_output(file)) {
    stream_ = stdout;
    return;
  }
  struct stat status {};
  const bool exists = stat(path_.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
    stream_ = std::fopen(path_.c_str(), binary_ ? "ab" : "a");
    if (stream_ == nullptr) fail("cannot open " + name_, errno);
    return;
  }
  if (exists && S_ISDIR(status.st_mode)) fail("cannot create " + name_, EISDIR);
  target_ = resolve(path_);
  mode_ = exists ? static_cast<unsigned>(status.st_mode) & 07777 : creation_mode();
  temporary_ = make_temporary(target_, binary_, stream_);
  if (temporary_.empty()) fail("cannot create " + name_, errno);
}

Output::~Output() {
  if (stream_ != nullptr && stream_ != stdout) std::fclose(stream_);
  if (!temporary_.empty()) std::remove(temporary_.c_str());
}

void Output::write_failed(int error) {
  if (error_ == 0) error_ = error != 0 ? error : EIO;
  fail("cannot write " + name_, error_);
}

void Output::write(const char* data, std::size_t size) {
  errno = 0;
  if (size > 0 && std::fwrite(data, 1, size, stream_) != size) write_failed(errno);
}

void Output::check(int error) {
  if (std::ferror(stream_)) write_failed(error);
}

std::int64_t Output::flush() {
  errno = 0;
  if (std::fflush(stream_) != 0 || std::ferror(stream_)) write_failed(errno);
#ifdef _WIN32
  const long long at = ftello(stream_);
#else
  // The descriptor's own offset: the kernel's copies moved it past the
  // stream's knowledge.
  const off_t at = lseek(fileno(stream_), 0, SEEK_CUR);
#endif
  return at < 0 ? 0 : at;
}

void Output::append_file(int fd, std::int64_t offset, std::int64_t length) {
  if (const int error = append_bytes(fd, offset, length, stream_); error != 0) write_failed(error);
}

void Output::copy_prefix(std::FILE* from, std::int64_t bytes) {
  std::vector<char> buffer(1 << 16);
  while (bytes > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(bytes, 1 << 16));
    const std::size_t got = std::fread(buffer.data(), 1, want, from);
    if (got == 0) {
      throw std::runtime_error(name_ + " no longer holds what the stopped run wrote: " +
                               (std::ferror(from) ? reason(errno) : "it is shorter"));
    }
    write(buffer.data(), got);
    bytes -= static_cast<std::int64_t>(got);
  }
}

void Output::continue_from(const std::string& earlier, std::int64_t bytes) {
  if (temporary_.empty() || bytes == 0) return;
  std::FILE* from = earlier.empty() ? nullptr : std::fopen(earlier.c_str(), "rb");
  if (from == nullptr) from = std::fopen(path_.c_str(), "rb");
  if (from == nullptr) fail("cannot read " + name_, errno);
#ifdef _WIN32
  // The bytes are copied as they are, line ends and all.
  std::fflush(stream_);
  _setmode(_fileno(stream_), _O_BINARY);
#endif
  try {
    copy_prefix(from, bytes);
  } catch (...) {
    std::fclose(from);
    throw;
  }
  std::fclose(from);
#ifdef _WIN32
  std::fflush(stream_);
  if (!binary_) _setmode(_fileno(stream_), _O_TEXT);
#endif
  earlier_ = earlier;
}

void Output::forget_earlier() {
  if (!earlier_.empty()) std::remove(earlier_.c_str());
  earlier_.clear();
}

void Output::commit() {
  complete();
  place();
}

void Output::complete() {
  flush();
  if (stream_ == stdout) return;
  errno = 0;
#ifndef _WIN32
  // The rename must not put in place a file whose bytes a crash could lose.
  if (!temporary_.empty() && fsync(fileno(stream_)) != 0 && errno != EINVAL) write_failed(errno);
  if (!temporary_.empty() && fchmod(fileno(stream_), static_cast<mode_t>(mode_)) != 0) {
    write_failed(errno);
  }
#endif
  const int closed = std::fclose(stream_);
  stream_ = nullptr;
  if (closed != 0) write_failed(errno);
}

void Output::place() {
  if (temporary_.empty()) return;
  std::error_code error;
  fs::rename(temporary_, target_, error);
  if (error) write_failed(error.value());
  temporary_.clear();
}

bool FileIdentity::operator==(const FileIdentity& other) const {
#ifdef _WIN32
  // Windows' stat gives no inode: the resolved paths tell.
  return resolved == other.resolved;
#endif
  if (exists != other.exists) return false;
  return exists ? device == other.device && inode == other.inode : resolved == other.resolved;
}

FileIdentity identify(const std::string& path) {
  FileIdentity file;
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    file.exists = true;
    file.device = static_cast<std::uint64_t>(status.st_dev);
    file.inode = static_cast<std::uint64_t>(status.st_ino);
  }
  file.resolved = resolve(path);
  return file;
}

bool is_standard_output(const FileIdentity& file) {
  struct stat status {};
  if (!file.exists || fstat(fileno(stdout), &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
#ifdef _WIN32
  return false;  // inodes are not to be trusted there
#else
  return static_cast<std::uint64_t>(status.st_dev) == file.device &&
         static_cast<std::uint64_t>(status.st_ino) == file.inode;
#endif
}

#ifndef _WIN32
std::unique_ptr<ScratchDirectory> ScratchDirectory::make(const std::string& parent) {
  std::string pattern = (fs::path(parent) / ".stellix-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return nullptr;
  return std::make_unique<ScratchDirectory>(pattern);
}

ScratchDirectory::ScratchDirectory(std::string directory)
    : directory_(std::move(directory)), file_(directory_ + "/output.csv") {}

ScratchDirectory::~ScratchDirectory() {
  if (home_ >= 0) {
    if (fchdir(home_) != 0) {
      // Nowhere to return to; the process is ending with its failure.
    }
    ::close(home_);
  }
  unlink(file_.c_str());
  rmdir(directory_.c_str());
}

void ScratchDirectory::enter() {
  if (home_ < 0) home_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (home_ < 0) fail("cannot open the working directory", errno);
  if (chdir(directory_.c_str()) != 0) fail("cannot enter the scratch directory", errno);
}

void ScratchDirectory::leave() {
  if (fchdir(home_) != 0) fail("cannot return to the working directory", errno);
}
#else
std::unique_ptr<ScratchDirectory> ScratchDirectory::make(const std::string&) {
  return nullptr;
}
ScratchDirectory::ScratchDirectory(std::string directory) : directory_(std::move(directory)) {}
ScratchDirectory::~ScratchDirectory() = default;
void ScratchDirectory::enter() {}
void ScratchDirectory::leave() {}
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
  if (std::ferror(stdout)) fail("cannot write standard output", error != 0 ? error : EIO);
}

void write_standard_output(const char* data, std::size_t size) {
  errno = 0;
  if (size > 0 && std::fwrite(data, 1, size, stdout) != size) check_standard_output(errno);
}

void append_standard_output(int fd, std::int64_t offset, std::int64_t length) {
  if (const int error = append_bytes(fd, offset, length, stdout); error != 0) {
    fail("cannot write standard output", error);
  }
}

void finish_standard_output() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    fail("cannot write standard output", errno != 0 ? errno : EIO);
  }
}

}  // namespace stellix::program
