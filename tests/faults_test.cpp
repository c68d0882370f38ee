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
#endif
}

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
