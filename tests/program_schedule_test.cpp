// The stellix program's schedule: where its snapshots fall, which simulate
// calls it makes, in one call or in chunks, and its counts near the largest
// step count. The expected snapshots come from the library's loop as its
// contract states it (snapshot 0, one step, then a snapshot after every loop
// index i >= 1 divisible by the interval), walked step by step here.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "cli_options.h"
#include "schedule.h"

namespace {

using stellix::program::Call;
using stellix::program::Chunk;
using stellix::program::RunShape;
using stellix::program::Schedule;

constexpr std::int64_t kLargestSteps = std::numeric_limits<std::int32_t>::max();

// The steps after which each snapshot of a simulate call falls.
std::vector<std::int64_t> library_snapshot_steps(std::int64_t steps, std::int64_t interval) {
  std::vector<std::int64_t> after = {0};
  for (std::int64_t i = 1; i < steps; ++i) {
    if (i % interval == 0) after.push_back(i + 1);
  }
  return after;
}

// Every chunk of a run, each asking for the next length `wanted` gives.
std::vector<Chunk> walk(const Schedule& schedule, const std::function<std::int64_t()>& wanted) {
  std::vector<Chunk> chunks;
  for (std::int64_t done = 0; done < schedule.shape().steps; done = chunks.back().to) {
    chunks.push_back(schedule.chunk_after(done, wanted()));
    if (chunks.back().to <= done) {
      ADD_FAILURE() << "the chunk after " << done << " steps ends at " << chunks.back().to;
      break;
    }
  }
  return chunks;
}

void expect_quiet_call_within_32_bits(const Call& call) {
  EXPECT_FALSE(call.record);
  EXPECT_FALSE(call.print);
  EXPECT_GE(call.steps, 1);
  EXPECT_LE(call.steps, kLargestSteps);
  EXPECT_GE(call.interval, 1);
  EXPECT_LE(call.interval, kLargestSteps);
}

TEST(ScheduleSnapshots, CountAndStepsFollowTheLibrarysLoop) {
  for (const std::int64_t steps : {1, 2, 3, 5, 10, 63, 64, 65, 100, 101}) {
    for (const std::int64_t interval : {1, 2, 3, 7, 10, 64, 100, 1000}) {
      const auto expected = library_snapshot_steps(steps, interval);
      SCOPED_TRACE(testing::Message() << steps << " steps every " << interval);
      ASSERT_EQ(stellix::program::snapshot_count(steps, interval),
                static_cast<std::int64_t>(expected.size()));
      for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(stellix::program::snapshot_step(static_cast<std::int64_t>(k), interval),
                  expected[k]);
      }
    }
  }
}

TEST(ScheduleSnapshots, DefaultIntervalGivesAtMostAThousandAndOne) {
  for (const std::int64_t steps : {1, 2, 999, 1000, 1001, 8766, 1000000, 2147483646, 2147483647}) {
    SCOPED_TRACE(steps);
    const std::int64_t interval = stellix::program::snapshot_interval(steps, std::nullopt);
    // steps / 1000 rounded up: the least interval with 1000 of them covering the run.
    EXPECT_GE(interval * 1000, steps);
    EXPECT_LT((interval - 1) * 1000, steps);
    EXPECT_LE(stellix::program::snapshot_count(steps, interval), 1001);
  }
  EXPECT_EQ(stellix::program::snapshot_interval(10, 3), 3);
  EXPECT_EQ(stellix::program::snapshot_interval(10, 50), 50);
}

// The command line's own default, which summed in 32 bits before.
TEST(ScheduleSnapshots, TheLargestStepCountWithoutAnIntervalHasAPositiveOne) {
  stellix::program::Options options;
  options.steps = std::numeric_limits<std::int32_t>::max();
  EXPECT_GE(options.stride() * 1000, options.steps);
  EXPECT_LT((options.stride() - 1) * 1000, options.steps);
  options.interval = 7;
  EXPECT_EQ(options.stride(), 7);
}

TEST(ScheduleChoice, OneCallForCloseTextWithinItsMemory) {
  const Schedule every_step({100, 1, 3, true, false}, true);
  ASSERT_TRUE(every_step.one_call());
  const Call call = every_step.whole_call();
  EXPECT_EQ(call.steps, 100);
  EXPECT_EQ(call.interval, 1);
  EXPECT_TRUE(call.print && call.store && !call.record);
  EXPECT_EQ(call.stored, static_cast<std::int64_t>(library_snapshot_steps(100, 1).size()));

  const Schedule recorded({3151, 63, 1, false, true}, true);  // 51 snapshots
  ASSERT_TRUE(recorded.one_call());
  EXPECT_TRUE(recorded.whole_call().record && !recorded.whole_call().print);
}

TEST(ScheduleChoice, ChunksOtherwise) {
  // No text, text 64 steps apart, a platform whose library writes where the
  // program cannot see, too few snapshots farther apart than the picture's
  // points, and positions beyond the memory allowed.
  EXPECT_FALSE(Schedule({100, 1, 3, false, false}, true).one_call());
  EXPECT_FALSE(Schedule({6401, 64, 3, true, true}, true).one_call());
  EXPECT_FALSE(Schedule({100, 1, 3, true, false}, false).one_call());
  EXPECT_FALSE(Schedule({10, 50, 3, true, true}, true).one_call());
  EXPECT_FALSE(Schedule({1000, 1, 46340, true, false}, true).one_call());
  EXPECT_TRUE(Schedule({1000, 1, 1, true, false}, true).one_call());
  EXPECT_FALSE(Schedule({kLargestSteps, 1, 1, true, false}, true).one_call());
}

TEST(ScheduleChoice, CountsBelowOneAreRefused) {
  EXPECT_THROW(Schedule({0, 1, 1, true, false}, true), std::invalid_argument);
  EXPECT_THROW(Schedule({10, 0, 1, true, false}, true), std::invalid_argument);
  EXPECT_THROW(Schedule({10, 1, 0, true, false}, true), std::invalid_argument);
}

// The picture of a run in one call: evenly spaced snapshots from the first,
// no farther apart than its points would be in chunks, then the final state
// unless the last of them is it.
TEST(SchedulePicture, OneCallDrawsEvenlySpacedSnapshotsAndTheEnd) {
  for (const RunShape shape : {RunShape{100, 1, 3, true, false}, RunShape{8766, 5, 9, false, true},
                               RunShape{8766, 9, 9, true, true}, RunShape{3151, 63, 1, true, false},
                               RunShape{20, 1, 1, true, false}, RunShape{1, 1, 1, true, false}}) {
    const Schedule schedule(shape, true);
    SCOPED_TRACE(testing::Message() << shape.steps << " steps every " << shape.interval);
    ASSERT_TRUE(schedule.one_call());
    const auto all = library_snapshot_steps(shape.steps, shape.interval);
    std::vector<std::int64_t> drawn;
    for (const std::int64_t k : schedule.picture_snapshots()) {
      ASSERT_LT(k, static_cast<std::int64_t>(all.size()));
      drawn.push_back(all[static_cast<std::size_t>(k)]);
    }
    ASSERT_GE(drawn.size(), 1u);
    EXPECT_EQ(drawn.front(), 0);
    EXPECT_EQ(schedule.picture_ends_with_final_state(), drawn.back() != shape.steps);
    // Snapshot 0 precedes the first step, which no snapshot follows: the
    // spacing shows from the second drawn snapshot on.
    const std::int64_t gap = drawn.size() > 2 ? drawn[2] - drawn[1] : 0;
    for (std::size_t i = 2; i + 1 < drawn.size(); ++i)
      EXPECT_EQ(drawn[i + 1] - drawn[i], gap) << "after point " << i;
    if (gap > 0 && shape.interval <= schedule.picture_stride()) {
      EXPECT_LE(gap, schedule.picture_stride());
      EXPECT_GT(gap + shape.interval, schedule.picture_stride());
    } else if (gap > 0) {
      EXPECT_EQ(gap, shape.interval);
    }
    // The next snapshot so spaced would have come after the end.
    if (gap > 0) {
      EXPECT_LT(shape.steps - drawn.back(), gap);
    }
  }
}

// Chunks of any lengths cover the run, end on every snapshot and nowhere
// else a snapshot is taken, and store the picture's points as one call of
// their length would.
TEST(ScheduleChunks, CoverTheRunAndEndOnEverySnapshot) {
  std::uint64_t seed = 7;
  const std::vector<std::function<std::int64_t()>> lengths = {
      [] { return 1; }, [] { return 7; }, [] { return 1000; }, [] { return 2000000000; },
      [&seed] {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        return static_cast<std::int64_t>(seed >> 58);  // 0 to 63, 0 taken as 1
      }};
  for (const RunShape shape :
       {RunShape{1, 1, 1, true, false}, RunShape{10, 3, 2, false, true},
        RunShape{100, 7, 5, true, true}, RunShape{100, 1000, 3, true, true},
        RunShape{1000, 1, 1, true, false}, RunShape{8766, 9, 9, false, true},
        RunShape{5000, 64, 3, true, false}, RunShape{5000, 7, 3, false, false}}) {
    const Schedule schedule(shape, false);
    const bool emitting = shape.print || shape.record;
    const auto expected = library_snapshot_steps(shape.steps, shape.interval);
    for (const auto& wanted : lengths) {
      SCOPED_TRACE(testing::Message() << shape.steps << " steps every " << shape.interval);
      std::int64_t at = 0;
      std::vector<std::int64_t> snapshot_steps = {0};
      for (const Chunk& chunk : walk(schedule, wanted)) {
        EXPECT_EQ(chunk.from, at);
        at = chunk.to;
        expect_quiet_call_within_32_bits(chunk.call);
        EXPECT_EQ(chunk.call.steps, chunk.to - chunk.from);
        EXPECT_EQ(chunk.call.interval, schedule.picture_stride());
        const auto points = library_snapshot_steps(chunk.call.steps, chunk.call.interval).size();
        EXPECT_EQ(chunk.call.store, points > 1);
        EXPECT_EQ(chunk.call.stored, points > 1 ? static_cast<std::int64_t>(points) : 0);
        if (chunk.snapshot < 0) continue;
        EXPECT_EQ(chunk.snapshot, static_cast<std::int64_t>(snapshot_steps.size()));
        snapshot_steps.push_back(chunk.to);
      }
      EXPECT_EQ(at, shape.steps);
      EXPECT_EQ(snapshot_steps, emitting ? expected : std::vector<std::int64_t>{0});
    }
  }
}

TEST(ScheduleChunks, TheLargestStepCountStaysWithin32Bits) {
  const std::int64_t interval = stellix::program::snapshot_interval(kLargestSteps, std::nullopt);
  const Schedule recorded({kLargestSteps, interval, 9, false, true}, true);
  const auto chunks = walk(recorded, [] { return 2000000000; });
  std::int64_t snapshots = 1;
  for (const Chunk& chunk : chunks) {
    expect_quiet_call_within_32_bits(chunk.call);
    EXPECT_LE(chunk.call.stored, chunk.call.steps);
    if (chunk.snapshot < 0) continue;
    EXPECT_EQ(chunk.snapshot, snapshots++);
    EXPECT_EQ((chunk.to - 1) % interval, 0);
  }
  EXPECT_EQ(chunks.back().to, kLargestSteps);
  EXPECT_EQ(snapshots, recorded.snapshots());

  // Without text the calls are as long as asked, the last one what is left.
  const auto quiet =
      walk(Schedule({kLargestSteps, 1, 1, false, false}, true), [] { return 2000000000; });
  ASSERT_EQ(quiet.size(), 2u);
  EXPECT_EQ(quiet[0].call.steps, 2000000000);
  EXPECT_EQ(quiet[1].call.steps, kLargestSteps - 2000000000);

  // Every step a snapshot: the last loop index emits the final state.
  const Schedule every_step({kLargestSteps, 1, 1, true, false}, true);
  const Chunk last = every_step.chunk_after(kLargestSteps - 1, 2000000000);
  EXPECT_EQ(last.to, kLargestSteps);
  EXPECT_EQ(last.snapshot, kLargestSteps - 1);
  EXPECT_EQ(every_step.snapshots(), kLargestSteps);
}

TEST(ScheduleChunks, LengthFollowsTheMeasuredEvaluationTime) {
  EXPECT_EQ(stellix::program::chunk_length(1.0), 1);
  EXPECT_LE(stellix::program::chunk_length(1e-15), kLargestSteps);
  EXPECT_GT(stellix::program::chunk_length(1e-15), 1000000000);
  const std::int64_t thousand = stellix::program::chunk_length(0.2 / 1001);
  EXPECT_GE(thousand, 999);
  EXPECT_LE(thousand, 1000);
  EXPECT_GT(stellix::program::first_evaluation_guess(1), 0.0);
  EXPECT_LT(stellix::program::first_evaluation_guess(1),
            stellix::program::first_evaluation_guess(1000));
}

}  // namespace
