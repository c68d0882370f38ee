// Failures of the world around a run: a full disk, a run file that cannot be
// created, a closed standard output. The run must finish, with the bodies and
// the other channels exactly as if nothing had failed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "reference.h"
#include "support.h"

namespace {

using testing_support::capture_stdout;
using testing_support::random_system;
using testing_support::SameBits;
using testing_support::SameBodies;

class Faults : public testing_support::InTempDir {
 protected:
  // Runs with every channel on; true when the bodies, the stored positions
  // (and nothing past them) and, if asked, the printed text are exactly
  // those of an undisturbed run.
  static bool run_matches(bool check_printed) {
    std::vector<Body> bodies = random_system(6, 77);
    const reference::RunResult want = reference::simulate(bodies, 600.0, 40, 7);
    std::vector<double> positions(want.positions.size() + 3, -1.0);
    const std::string printed = capture_stdout(
        [&] { simulate(bodies.data(), 6, 600.0, 40, 7, 1, 1, 1, positions.data()); });
    bool same = SameBodies(want.bodies, bodies) &&
                SameBits(want.positions.data(), positions.data(), want.positions.size());
    for (std::size_t k = want.positions.size(); k < positions.size(); ++k) {
      same = same && positions[k] == -1.0;
    }
    return same && (!check_printed || printed == want.text);
  }
};

TEST_F(Faults, DiskFullWhileWritingTheRunFile) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
  ASSERT_EQ(symlink("/dev/full", "output.csv"), 0);
  EXPECT_TRUE(run_matches(/*check_printed=*/true));
}

TEST_F(Faults, WorkingDirectoryRemovedUnderTheRun) {
  // Creating a file in a directory that no longer exists fails even for root.
  std::filesystem::create_directory("gone");
  std::filesystem::current_path("gone");
  std::filesystem::remove(std::filesystem::current_path());
  EXPECT_TRUE(run_matches(/*check_printed=*/true));
  EXPECT_FALSE(testing_support::file_exists("output.csv"));
  std::filesystem::current_path(dir_);
}

TEST_F(Faults, ReadOnlyWorkingDirectory) {
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  // Root writes anywhere, so the run happens in a child that gives up root.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(2);
        const bool ok = run_matches(/*check_printed=*/true);
        std::_Exit(ok && !testing_support::file_exists("output.csv") ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Faults, StandardOutputClosed) {
  std::vector<Body> bodies = random_system(5, 78);
  const reference::RunResult want = reference::simulate(bodies, 60.0, 12, 3);
  std::vector<double> positions(want.positions.size());
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  close(STDOUT_FILENO);
  // No record channel: a file opened now would be handed descriptor 1.
  simulate(bodies.data(), 5, 60.0, 12, 3, 0, 1, 1, positions.data());
  printSquareMatrix(positions.data(), 2);
  std::fflush(stdout);
  std::clearerr(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_TRUE(SameBodies(want.bodies, bodies));
  EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), positions.size()));
}

}  // namespace
