// The simulation run: the snapshot schedule seen through every channel, the
// run file's lifetime, the positions buffer bounds, degenerate counts, and
// the sound outcomes when memory or the run file cannot be had.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/simulation.h"
#include "reference.h"
#include "support.h"

namespace {

using testing_support::capture_stdout;
using testing_support::file_exists;
using testing_support::random_system;
using testing_support::read_file;
using testing_support::SameBits;
using testing_support::SameBodies;

constexpr double kSentinel = -1234.5;

std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class Simulation : public testing_support::InTempDir {};

struct Schedule {
  int steps;
  int interval;
  int expected_snapshots;
};

void PrintTo(const Schedule& s, std::ostream* os) {
  *os << "steps=" << s.steps << " interval=" << s.interval;
}

class ScheduleTest : public testing_support::InTempDir,
                     public ::testing::WithParamInterface<Schedule> {};

TEST_P(ScheduleTest, EveryChannelFollowsTheSchedule) {
  const Schedule p = GetParam();
  const int n = 5;
  const double dt = 3600.0;
  std::vector<Body> bodies = random_system(n, 42);
  const reference::RunResult want = reference::simulate(bodies, dt, p.steps, p.interval);
  ASSERT_EQ(want.snapshots, p.expected_snapshots);
  ASSERT_EQ(reference::snapshot_count(p.steps, p.interval), p.expected_snapshots);

  const std::size_t stored = 3u * n * p.expected_snapshots;
  std::vector<double> positions(stored + 16, kSentinel);
  const std::string printed = capture_stdout(
      [&] { simulate(bodies.data(), n, dt, p.steps, p.interval, 1, 1, 1, positions.data()); });
  EXPECT_TRUE(SameBodies(want.bodies, bodies));
  EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), stored));
  for (std::size_t k = stored; k < positions.size(); ++k)
    EXPECT_EQ(positions[k], kSentinel);
  EXPECT_EQ(printed, want.text);
  const std::string recorded = read_file("output.csv");
  EXPECT_EQ(recorded, want.text);
  EXPECT_EQ(count_lines(recorded), static_cast<std::size_t>(n) * p.expected_snapshots);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScheduleTest,
                         ::testing::Values(Schedule{100, 10, 10}, Schedule{5, 1, 5},
                                           Schedule{0, 3, 1}, Schedule{1, 1, 1}, Schedule{-7, 2, 1},
                                           Schedule{100, -10, 10}, Schedule{23, -4, 6},
                                           Schedule{12, 0, 1}, Schedule{10, 3, 4},
                                           Schedule{2, 1, 2}, Schedule{50, 100, 1}),
                         [](const auto& info) {
                           auto name = [](int v) {
                             return (v < 0 ? std::string("m") : std::string()) +
                                    std::to_string(v < 0 ? -v : v);
                           };
                           std::string s = "steps";
                           s += name(info.param.steps);
                           s += "_interval";
                           s += name(info.param.interval);
                           return s;
                         });

// Snapshot k >= 1 is the state after k*interval + 1 steps: rerun that many
// steps and compare with the stored block.
TEST_F(Simulation, SnapshotKShowsTheStateAfterKIntervalsPlusOneSteps) {
  const int n = 4, interval = 10;
  const std::vector<Body> start = random_system(n, 8);
  std::vector<Body> bodies = start;
  std::vector<double> positions(3 * n * 10);
  simulate(bodies.data(), n, 1800.0, 100, interval, 0, 1, 0, positions.data());
  for (int k : {0, 1, 4, 9}) {
    std::vector<Body> again = start;
    if (k > 0) simulate(again.data(), n, 1800.0, k * interval + 1, 1 << 30, 0, 0, 0, nullptr);
    for (int i = 0; i < n; ++i) {
      const double xyz[3] = {again[i].x, again[i].y, again[i].z};
      EXPECT_TRUE(SameBits(xyz, &positions[3 * n * k + 3 * i], 3)) << "snapshot " << k;
    }
  }
}

TEST_F(Simulation, SeededSystemsMatchTheReference) {
  for (int n : {1, 2, 3, 7, 9, 16, 33}) {
    SCOPED_TRACE(n);
    std::vector<Body> bodies = random_system(n, 1000 + n);
    const reference::RunResult want = reference::simulate(bodies, 7200.0, 30, 4);
    std::vector<double> positions(want.positions.size());
    simulate(bodies.data(), n, 7200.0, 30, 4, 1, 1, 0, positions.data());
    EXPECT_TRUE(SameBodies(want.bodies, bodies));
    EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), positions.size()));
    EXPECT_EQ(read_file("output.csv"), want.text);
  }
}

TEST_F(Simulation, AllChannelsOffTouchesNothing) {
  std::vector<Body> bodies = random_system(3, 5);
  const reference::RunResult want = reference::simulate(bodies, 60.0, 20, 2);
  const std::string printed = capture_stdout(
      [&] { simulate(bodies.data(), 3, 60.0, 20, 2, 0, 0, 0, /*positions=*/nullptr); });
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(file_exists("output.csv"));
  EXPECT_TRUE(SameBodies(want.bodies, bodies));
}

TEST_F(Simulation, EmptyAndNegativeCountsStillCreateAnEmptyRunFile) {
  for (int n : {0, -3}) {
    Body sentinel{1, 2, 3, 4, 5, 6, 7};
    std::vector<double> positions(8, kSentinel);
    const std::string printed =
        capture_stdout([&] { simulate(&sentinel, n, 1.0, 10, 2, 1, 1, 1, positions.data()); });
    EXPECT_EQ(printed, "");
    ASSERT_TRUE(file_exists("output.csv"));
    EXPECT_EQ(read_file("output.csv"), "");
    for (double v : positions)
      EXPECT_EQ(v, kSentinel);
    EXPECT_EQ(sentinel.x, 1.0);
    EXPECT_EQ(sentinel.vz, 6.0);
    std::remove("output.csv");
  }
}

TEST_F(Simulation, AnExistingRunFileIsReplaced) {
  {
    std::FILE* f = std::fopen("output.csv", "w");
    ASSERT_NE(f, nullptr);
    for (int k = 0; k < 1000; ++k)
      std::fputs("stale line that must disappear\n", f);
    std::fclose(f);
  }
  std::vector<Body> bodies = random_system(2, 3);
  const reference::RunResult want = reference::simulate(bodies, 10.0, 3, 1);
  simulate(bodies.data(), 2, 10.0, 3, 1, 1, 0, 0, nullptr);
  EXPECT_EQ(read_file("output.csv"), want.text);
}

TEST_F(Simulation, UnopenableRunFileLeavesTheOtherChannels) {
  ASSERT_EQ(mkdir("output.csv", 0755), 0);
  std::vector<Body> bodies = random_system(3, 4);
  const reference::RunResult want = reference::simulate(bodies, 10.0, 6, 2);
  std::vector<double> positions(want.positions.size());
  const std::string printed =
      capture_stdout([&] { simulate(bodies.data(), 3, 10.0, 6, 2, 1, 1, 1, positions.data()); });
  EXPECT_EQ(printed, want.text);
  EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), positions.size()));
  EXPECT_TRUE(SameBodies(want.bodies, bodies));
}

TEST_F(Simulation, ScratchThatCannotBeObtainedChangesNothing) {
  using namespace stellix::detail;
  const ScratchAllocator failing{[](std::size_t, void*) -> void* { return nullptr; },
                                 [](void*, void*) {}, nullptr};
  std::vector<Body> bodies = random_system(4, 6);
  const std::vector<Body> before = bodies;
  std::vector<double> positions(12, kSentinel);
  int error = 0;
  const std::string printed = capture_stdout([&] {
    error = run_simulation(bodies.data(), 4, RunOptions{1.0, 10, 1, true, true, true},
                           positions.data(), active_kernels(), failing);
  });
  EXPECT_EQ(error, ENOMEM);
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(file_exists("output.csv"));
  EXPECT_TRUE(SameBodies(before, bodies));
  for (double v : positions)
    EXPECT_EQ(v, kSentinel);
}

// The scratch stays O(n): two acceleration arrays and the kernel's workspace.
TEST_F(Simulation, ScratchIsLinearInTheBodyCount) {
  using namespace stellix::detail;
  struct Tally {
    std::size_t largest = 0;
    int live = 0;
  } tally;
  const ScratchAllocator counting{[](std::size_t bytes, void* t) -> void* {
                                    auto* tally = static_cast<Tally*>(t);
                                    tally->largest = std::max(tally->largest, bytes);
                                    ++tally->live;
                                    return std::malloc(bytes);
                                  },
                                  [](void* p, void* t) {
                                    --static_cast<Tally*>(t)->live;
                                    std::free(p);
                                  },
                                  &tally};
  const int n = 3000;
  std::vector<Body> bodies = random_system(n, 1);
  run_simulation(bodies.data(), n, RunOptions{1.0, 1, 1, false, false, false}, nullptr,
                 active_kernels(), counting);
  EXPECT_EQ(tally.live, 0);
  EXPECT_GT(tally.largest, 0u);
  EXPECT_LE(tally.largest, 64u * n * sizeof(double));
}

// Counts evaluations through a kernel table whose acceleration entry tallies.
int g_evaluations = 0;

TEST_F(Simulation, AccelerationsAreEvaluatedOncePerStepPlusOne) {
  using namespace stellix::detail;
  KernelTable counting = kernel_table(Isa::kScalar);
  static void (*inner)(const Body*, Index, double*, double*) = counting.accelerations;
  counting.accelerations = [](const Body* b, Index n, double* a, double* w) {
    ++g_evaluations;
    inner(b, n, a, w);
  };
  for (int steps : {-2, 0, 1, 2, 17}) {
    g_evaluations = 0;
    std::vector<Body> bodies = random_system(3, 2);
    const reference::RunResult want = reference::simulate(bodies, 5.0, steps, 3);
    run_simulation(bodies.data(), 3, RunOptions{5.0, steps, 3, false, false, false}, nullptr,
                   counting, system_allocator());
    EXPECT_EQ(g_evaluations, std::max(steps, 1) + 1);
    EXPECT_EQ(want.evaluations, std::max(steps, 1) + 1);
    EXPECT_TRUE(SameBodies(want.bodies, bodies));
  }
}

TEST_F(Simulation, TwoBodiesAtRestApproachEachOther) {
  const double d = 1e7, dt = 10.0;
  Body start[2] = {{0, 0, 0, 0, 0, 0, 5.0}, {d, 0, 0, 0, 0, 0, 3.0}};
  double a0[6], a1[6], m[4];
  getAccelerationVectorArray(start, 2, a0, m);
  Body moved[2] = {start[0], start[1]};
  reference::advance_position(moved[0], a0, dt);
  reference::advance_position(moved[1], a0 + 3, dt);
  getAccelerationVectorArray(moved, 2, a1, m);
  reference::advance_velocity(moved[0], a0, a1, dt);

  Body bodies[2] = {start[0], start[1]};
  simulate(bodies, 2, dt, 1, 1, 0, 0, 0, nullptr);
  EXPECT_EQ(bodies[0].x, moved[0].x);
  EXPECT_EQ(bodies[0].vx, moved[0].vx);
  EXPECT_GT(bodies[0].x, 0.0);
  EXPECT_LT(bodies[1].x, d);
  for (const Body& b : bodies) {
    for (double v : {b.y, b.z, b.vy, b.vz})
      EXPECT_EQ(testing_support::bits_of(v), 0u);
  }
}

TEST_F(Simulation, CoincidentBodiesSpreadNaNThatPrintsAsNan) {
  std::vector<Body> bodies = random_system(4, 12);
  bodies[2].x = bodies[1].x;
  bodies[2].y = bodies[1].y;
  bodies[2].z = bodies[1].z;
  const reference::RunResult want = reference::simulate(bodies, 100.0, 4, 1);
  std::vector<double> positions(want.positions.size());
  const std::string printed =
      capture_stdout([&] { simulate(bodies.data(), 4, 100.0, 4, 1, 1, 1, 1, positions.data()); });
  for (const Body& b : bodies) {
    for (double v : {b.x, b.y, b.z, b.vx, b.vy, b.vz})
      EXPECT_TRUE(std::isnan(v));
  }
  EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), positions.size()));
  EXPECT_NE(printed.find("nan"), std::string::npos);
  EXPECT_EQ(printed.find("-nan"), std::string::npos);
  EXPECT_EQ(printed, want.text);
  EXPECT_EQ(read_file("output.csv"), want.text);
}

}  // namespace
