// Where the program writes: its output files, the library's scratch text and
// standard output, each failure of which is the program's failure.
#ifndef STELLIX_PROGRAM_OUTPUT_FILES_H
#define STELLIX_PROGRAM_OUTPUT_FILES_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace stellix::program {

// Throws std::runtime_error "what: reason" with the reason for errno `error`.
[[noreturn]] void fail(const std::string& what, int error);

// An output file, whole or untouched. A regular file (or a name not yet
// taken) is written to a temporary file beside it, made before the run so
// that a path that cannot be written costs neither the run nor an older file,
// and renamed onto it once complete, with the older file's permission bits.
// A device or a FIFO is written directly, and the file standard output
// writes to is written through standard output, so that neither replaces
// the other's text. An uncommitted temporary file is removed with the object.
class Output {
 public:
  // `binary`: written byte for byte on every platform; else as text, whose
  // line ends are the platform's.
  explicit Output(std::string path, bool binary = false);
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output();

  std::FILE* stream() const { return stream_; }
  const std::string& path() const { return path_; }
  // The temporary file, empty when the output is written directly.
  const std::string& temporary() const { return temporary_; }
  // An earlier run's temporary file that this one continued, until forgotten.
  const std::string& earlier() const { return earlier_; }

  // Writes all of `size` bytes; throws with the failed write's reason.
  void write(const char* data, std::size_t size);
  // After writes by the library: `error` is errno after them, cleared before.
  void check(int error);
  // Everything written so far reaches the file; returns its length.
  std::int64_t flush();
  // Appends `length` bytes of the open file `fd` from `offset`.
  void append_file(int fd, std::int64_t offset, std::int64_t length);
  // Continues the file of an earlier, stopped run from its first `bytes`
  // bytes: its temporary file `earlier` when one is left, else the file
  // itself.
  void continue_from(const std::string& earlier, std::int64_t bytes);
  // Removes the earlier run's temporary file: only once a checkpoint that
  // names this output's own is on disk, for until then the checkpoint that
  // resumed this run names the earlier one, and a kill must leave it there.
  void forget_earlier();
  // Flushes, closes and puts the file in place: complete() then place(), so
  // that several outputs can all be complete before any is put in place.
  void commit();
  void complete();
  void place();

 private:
  void write_failed(int error);
  void copy_prefix(std::FILE* from, std::int64_t bytes);

  std::string path_, name_, target_, temporary_, earlier_;
  std::FILE* stream_ = nullptr;
  bool binary_ = false;
  unsigned mode_ = 0;
  int error_ = 0;
};

// What a path names, for telling whether two paths are one file: the device
// and inode of a file that exists, else the path made absolute without links.
struct FileIdentity {
  bool exists = false;
  std::uint64_t device = 0, inode = 0;
  std::string resolved;
  bool operator==(const FileIdentity& other) const;
};
FileIdentity identify(const std::string& path);
// Standard output's file when it is a regular one.
bool is_standard_output(const FileIdentity& file);

// A private directory for the library's run file, which it writes only as
// "output.csv" in the current directory: entered for each call alone, and
// removed with the object.
class ScratchDirectory {
 public:
  // Null when no directory can be made in `parent`.
  static std::unique_ptr<ScratchDirectory> make(const std::string& parent);
  explicit ScratchDirectory(std::string directory);
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory();

  void enter();
  void leave();
  const std::string& file() const { return file_; }
  const std::string& path() const { return directory_; }

 private:
  std::string directory_, file_;
  int home_ = -1;
};
// A DLL may carry a C runtime of its own, whose files the program cannot
// read as they are written: Windows runs write their text themselves.
#ifndef _WIN32
inline constexpr bool kLibraryText = true;
#else
inline constexpr bool kLibraryText = false;
#endif

// A closed standard stream would be handed to the first file the program opens,
// and the snapshots or the messages would land in that file. Standard input
// and error are parked on the null device; returns whether standard output
// is open.
bool guard_standard_streams();

bool is_terminal(std::FILE* stream);

// Standard output carries the snapshots or the summary: losing any of it is a
// failure. `error` is errno after the writes, cleared before them.
void check_standard_output(int error);
void write_standard_output(const char* data, std::size_t size);
void append_standard_output(int fd, std::int64_t offset, std::int64_t length);
void finish_standard_output();

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_OUTPUT_FILES_H
