// Failures of the world around a run: a full disk, a run file that cannot be
// created, memory that cannot be had, a standard output that fails. The run
// must finish with the bodies and the other channels exactly as if nothing
// had failed, and errno must tell the host what was lost: the first failure of
// the run file, ENOMEM for a run that did not happen, and otherwise the very
// value the host had before the call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/simulation.h"
#include "reference.h"
#include "support.h"

namespace {

using testing_support::capture_stdout;
using testing_support::random_system;
using testing_support::SameBits;
using testing_support::SameBodies;

// A value no failure of a run produces, so that a leak of any C library
// error into errno shows.
constexpr int kHostErrno = EDOM;

struct Outcome {
  bool exact;  // bodies, stored positions and printed text as undisturbed
  int error;   // errno right after the call
};

class Faults : public testing_support::InTempDir {
 protected:
  // Runs with every channel on, errno preset to kHostErrno.
  static Outcome run_every_channel() {
    std::vector<Body> bodies = random_system(6, 77);
    const reference::RunResult want = reference::simulate(bodies, 600.0, 40, 7);
    std::vector<double> positions(want.positions.size() + 3, -1.0);
    int error = 0;
    const std::string printed = capture_stdout([&] {
      errno = kHostErrno;
      simulate(bodies.data(), 6, 600.0, 40, 7, 1, 1, 1, positions.data());
      error = errno;
    });
    bool exact = SameBodies(want.bodies, bodies) &&
                 SameBits(want.positions.data(), positions.data(), want.positions.size());
    for (std::size_t k = want.positions.size(); k < positions.size(); ++k) {
      exact = exact && positions[k] == -1.0;
    }
    return {exact && printed == want.text, error};
  }
};

TEST_F(Faults, SuccessLeavesTheHostsErrno) {
  // fopen and the writes may set errno on their way even when they succeed.
  const Outcome outcome = run_every_channel();
  EXPECT_TRUE(outcome.exact);
  EXPECT_EQ(outcome.error, kHostErrno);
  EXPECT_TRUE(testing_support::file_exists("output.csv"));
}

TEST_F(Faults, RunFileThatIsADirectory) {
  std::filesystem::create_directory("output.csv");
  const Outcome outcome = run_every_channel();
  EXPECT_TRUE(outcome.exact);
  EXPECT_EQ(outcome.error, EISDIR);
}

TEST_F(Faults, DiskFullWhileWritingTheRunFile) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
  ASSERT_EQ(symlink("/dev/full", "output.csv"), 0);
  const Outcome outcome = run_every_channel();
  EXPECT_TRUE(outcome.exact);
  EXPECT_EQ(outcome.error, ENOSPC);
}

TEST_F(Faults, WorkingDirectoryRemovedUnderTheRun) {
  // Creating a file in a directory that no longer exists fails even for root.
  std::filesystem::create_directory("gone");
  std::filesystem::current_path("gone");
  std::filesystem::remove(std::filesystem::current_path());
  const Outcome outcome = run_every_channel();
  std::filesystem::current_path(dir_);
  EXPECT_TRUE(outcome.exact);
  EXPECT_EQ(outcome.error, ENOENT);
}

TEST_F(Faults, ReadOnlyWorkingDirectory) {
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  // Root writes anywhere, so the run happens in a child that gives up root.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(2);
        const Outcome outcome = run_every_channel();
        const bool ok =
            outcome.exact && outcome.error == EACCES && !testing_support::file_exists("output.csv");
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STELLIX_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STELLIX_SANITIZED_ALLOCATOR 1
#endif
#endif

#ifndef STELLIX_SANITIZED_ALLOCATOR
// Caps the address space just above what the process holds already, so that
// no allocation of megabytes can succeed. False if it cannot.
bool cap_address_space() {
  long pages = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  if (pages == 0) return false;
  rlimit limit{};
  limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(getpagesize()) + (1u << 20);
  limit.rlim_max = limit.rlim_cur;
  return setrlimit(RLIMIT_AS, &limit) == 0;
}
#endif

TEST_F(Faults, ScratchThatCannotBeObtainedIsENOMEM) {
#ifdef STELLIX_SANITIZED_ALLOCATOR
  GTEST_SKIP() << "a sanitizer's allocator reports an exhausted address space itself";
#else
  // The largest system needs megabytes of scratch.
  const int n = STELLIX_MAX_BODIES;
  std::vector<Body> bodies = random_system(n, 79);
  const std::vector<Body> before = bodies;
  double position = -1.0;
  // The cap leaves little room above what the process holds, so the child
  // must hold no more than the run itself needs: a freshly started one,
  // which has run no other test (threads of earlier tests leave stacks and
  // arenas behind that the cap would cut through).
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!cap_address_space()) std::_Exit(2);
        errno = kHostErrno;
        simulate(bodies.data(), n, 1.0, 1, 1, 0, 1, 0, &position);
        const int error = errno;
        const bool untouched = SameBodies(before, bodies) && position == -1.0;
        std::_Exit(error == ENOMEM && untouched ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
#endif
}

#if defined(__GLIBC__)
// A run file whose writes and close fail when a test says, through the
// run's file opener: glibc's fopencookie hands every write of the stream's
// buffer to write(), and its close to close().
struct ScriptedFile {
  int failing_write = -1;  // the first write call that fails, from 0
  int write_error = EIO;   // then and at every later write
  int close_error = 0;     // 0: the close succeeds
  int writes = 0;
  int writes_after_failure = 0;
  std::string written;

  static ssize_t write(void* cookie, const char* data, std::size_t size) {
    auto* file = static_cast<ScriptedFile*>(cookie);
    const int call = file->writes++;
    if (file->failing_write >= 0 && call > file->failing_write) ++file->writes_after_failure;
    if (file->failing_write >= 0 && call >= file->failing_write) {
      errno = file->write_error;
      return -1;
    }
    file->written.append(data, size);
    return static_cast<ssize_t>(size);
  }
  static int close(void* cookie) {
    auto* file = static_cast<ScriptedFile*>(cookie);
    if (file->close_error == 0) return 0;
    errno = file->close_error;
    return -1;
  }
  static std::FILE* open(void* cookie) {
    return fopencookie(cookie, "w", cookie_io_functions_t{nullptr, &write, nullptr, &close});
  }
};

// The run file keeps the first failure, which is the cause; what fails
// after it (here the close) is its consequence. And the run writes nothing
// more to a file that failed: a later write into space freed meanwhile
// would leave a gap in the text.
TEST_F(Faults, RunFileKeepsTheFirstErrorAndStopsWritingAtIt) {
  using namespace stellix::detail;
  struct Case {
    int failing_write;
    int close_error;
    int want_error;
  };
  // A write fails with EIO and then the close with ENOSPC; the close alone
  // fails; nothing fails.
  for (const Case c : {Case{1, ENOSPC, EIO}, Case{-1, ENOSPC, ENOSPC}, Case{-1, 0, 0}}) {
    std::vector<Body> bodies = random_system(6, 81);
    const reference::RunResult want = reference::simulate(bodies, 600.0, 200, 1);
    std::vector<double> positions(want.positions.size());
    ScriptedFile file;
    file.failing_write = c.failing_write;
    file.close_error = c.close_error;
    RunOptions options{600.0, 200, 1, true, true, false};
    options.open_run_file = &ScriptedFile::open;
    options.run_file_context = &file;
    const int error = run_simulation(bodies.data(), 6, options, positions.data(), active_kernels(),
                                     system_allocator());
    EXPECT_EQ(error, c.want_error);
    EXPECT_EQ(file.writes_after_failure, 0);
    EXPECT_TRUE(SameBodies(want.bodies, bodies));
    EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), positions.size()));
    if (c.failing_write >= 0) {
      // The text up to the failure, and more than one write of it.
      ASSERT_GT(file.writes, c.failing_write);
      EXPECT_FALSE(file.written.empty());
      EXPECT_EQ(want.text.compare(0, file.written.size(), file.written), 0);
      EXPECT_LT(file.written.size(), want.text.size());
    } else {
      EXPECT_EQ(file.written, want.text);
    }
  }
}
#endif

// Runs `body` with standard output on descriptor `fd`, or closed for -1;
// true when the C stream recorded a write error meanwhile.
bool stdout_failed_during(int fd, const std::function<void()>& body) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  if (saved < 0) return false;
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
  } else {
    close(STDOUT_FILENO);
  }
  body();
  const bool failed = std::ferror(stdout) != 0;
  std::fflush(stdout);
  std::clearerr(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  return failed;
}

// Standard output belongs to the host: its failures show in ferror(stdout),
// not in errno, and they neither stop the run nor hide the run file's own.
TEST_F(Faults, StandardOutputFailingBesideALostRunFile) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
  std::filesystem::create_directory("output.csv");
  // Enough text that standard output's buffer spills during the run.
  std::vector<Body> bodies = random_system(40, 80);
  const reference::RunResult want = reference::simulate(bodies, 60.0, 12, 3);
  std::vector<double> positions(want.positions.size());
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  int error = 0;
  const bool stdout_failed = stdout_failed_during(full, [&] {
    errno = kHostErrno;
    simulate(bodies.data(), 40, 60.0, 12, 3, 1, 1, 1, positions.data());
    error = errno;
  });
  close(full);
  EXPECT_EQ(error, EISDIR);
  EXPECT_TRUE(stdout_failed);
  EXPECT_TRUE(SameBodies(want.bodies, bodies));
  EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), positions.size()));
}

TEST_F(Faults, StandardOutputClosed) {
  std::vector<Body> bodies = random_system(40, 78);
  const reference::RunResult want = reference::simulate(bodies, 60.0, 12, 3);
  std::vector<double> positions(want.positions.size());
  int error = 0;
  // No record channel: a file opened now would be handed descriptor 1.
  const bool stdout_failed = stdout_failed_during(-1, [&] {
    errno = kHostErrno;
    simulate(bodies.data(), 40, 60.0, 12, 3, 0, 1, 1, positions.data());
    error = errno;
    printSquareMatrix(positions.data(), 2);
  });
  EXPECT_EQ(error, kHostErrno);
  EXPECT_TRUE(stdout_failed);
  EXPECT_TRUE(SameBodies(want.bodies, bodies));
  EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), positions.size()));
}

}  // namespace
