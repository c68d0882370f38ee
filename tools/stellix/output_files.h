// Where the program writes: its output files, the library's run file and
// standard output, each failure of which is the program's failure.
#ifndef STELLIX_PROGRAM_OUTPUT_FILES_H
#define STELLIX_PROGRAM_OUTPUT_FILES_H

#include <cstdio>
#include <memory>
#include <string>

namespace stellix::program {

// Throws std::runtime_error "what: reason" with the reason for errno `error`.
[[noreturn]] void fail(const std::string& what, int error);

// An output file, opened before the run so that a path that cannot be written
// costs neither the run nor an older file: opening for appending creates the
// file but keeps what it holds until begin(), once the run has results. A file
// created here and never begun is removed again when the program fails.
class OutputFile {
 public:
  explicit OutputFile(std::string path);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  std::FILE* begin();
  // The library wrote the file (and a rename may have replaced the one open
  // here): it is the program's to keep.
  void adopt();
  // `error` is errno after the writes, cleared before them.
  void check(int error) const;
  void close();

 private:
  std::string path_, name_;
  std::FILE* stream_ = nullptr;
  bool created_ = false, begun_ = false;
};

#ifndef _WIN32
// The library writes its run file only as "output.csv" in the current
// directory. A run made in one call writes it in a private directory next to
// its destination, entered for the call alone, and the complete file is
// renamed onto the destination: a failed run leaves what was there before.
// A destination that is a device or a FIFO has nothing to keep: the file in
// the private directory is then a link to it, written through.
class RunFileDirectory {
 public:
  // No directory can be made there: the caller writes the file itself.
  static std::unique_ptr<RunFileDirectory> make(const std::string& path);
  RunFileDirectory(std::string directory, std::string target, std::string name);
  RunFileDirectory(const RunFileDirectory&) = delete;
  RunFileDirectory& operator=(const RunFileDirectory&) = delete;
  ~RunFileDirectory();

  // Every path the program uses was opened or made absolute before the run;
  // nothing but the library's run file is opened in between.
  void enter();
  void leave();
  void commit() const;

 private:
  std::string directory_, file_, target_, name_;
  bool through_ = false;
  int home_ = -1;
};
inline constexpr bool kOneCallRuns = true;
#else
// A DLL may carry a C runtime of its own, whose standard output and errors
// the program cannot see: Windows runs stay in chunks.
struct RunFileDirectory {
  static std::unique_ptr<RunFileDirectory> make(const std::string&) { return nullptr; }
  void enter() {}
  void leave() {}
  void commit() const {}
};
inline constexpr bool kOneCallRuns = false;
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
// Before and after a call in which the library writes standard output itself.
void buffer_standard_output();
void recheck_standard_output();
void finish_standard_output();

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_OUTPUT_FILES_H
