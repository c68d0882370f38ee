// The stellix program's schedule: where its snapshots fall, which simulate
// calls it makes, whether the program or the library writes the text, and its
// counts near the largest step count. The expected snapshots come from the library's loop as its
// contract states it (snapshot 0, one step, then a snapshot after every loop
// index i >= 1 divisible by the interval), walked step by step here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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

// Every chunk of a run.
std::vector<Chunk> walk(const Schedule& schedule) {
  std::vector<Chunk> chunks;
  for (std::int64_t done = 0; done < schedule.shape().steps; done = chunks.back().to) {
    chunks.push_back(schedule.chunk_after(done));
    if (chunks.back().to <= done) {
      ADD_FAILURE() << "the chunk after " << done << " steps ends at " << chunks.back().to;
      break;
    }
  }
  return chunks;
}

void expect_call_within_32_bits(const Call& call) {
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

TEST(ScheduleSnapshots, TheFirstFromAStepIsTheFirstAtOrAfterIt) {
  for (const std::int64_t interval : {1, 2, 7, 64}) {
    const auto all = library_snapshot_steps(1000, interval);
    for (std::int64_t step = 0; step <= 900; ++step) {
      std::size_t k = 0;
      while (all[k] < step)
        ++k;
      EXPECT_EQ(stellix::program::first_snapshot_from(step, interval), static_cast<std::int64_t>(k))
          << step << " every " << interval;
    }
  }
}

TEST(ScheduleChoice, TheLibraryWritesTextCloserThan64Steps) {
  EXPECT_TRUE(Schedule({100, 1, 3, true, false}, true).library_text());
  EXPECT_TRUE(Schedule({100, 63, 3, false, true}, true).library_text());
  // No text, text 64 steps apart, and a platform whose library writes where
  // the program cannot read.
  EXPECT_FALSE(Schedule({100, 1, 3, false, false}, true).library_text());
  EXPECT_FALSE(Schedule({6401, 64, 3, true, true}, true).library_text());
  EXPECT_FALSE(Schedule({100, 1, 3, true, false}, false).library_text());
}

TEST(ScheduleChoice, CountsBelowOneAreRefused) {
  EXPECT_THROW(Schedule({0, 1, 1, true, false}, true), std::invalid_argument);
  EXPECT_THROW(Schedule({10, 0, 1, true, false}, true), std::invalid_argument);
  EXPECT_THROW(Schedule({10, 1, 0, true, false}, true), std::invalid_argument);
}

// The calls last about a second or less by the cost model, or one step when
// that is longer: a signal is never kept waiting long.
TEST(ScheduleChoice, CallsAreShortByTheCostModel) {
  for (const std::int64_t n : {1, 9, 100, 2000, 46340}) {
    for (const std::int64_t interval : {1, 7, 100}) {
      for (const bool text : {false, true}) {
        const Schedule schedule({kLargestSteps, interval, n, text, false}, true);
        const double seconds =
            static_cast<double>(schedule.chunk_steps()) * stellix::program::evaluation_guess(n);
        EXPECT_LE(seconds, std::max(1.0, stellix::program::evaluation_guess(n)))
            << n << " bodies every " << interval;
        EXPECT_GE(schedule.chunk_steps(), 1);
        if (schedule.library_text()) {
          EXPECT_EQ(schedule.chunk_steps() % interval, 0);
        }
      }
    }
  }
}

// The run's text as chunks whose calls write it through the library: each
// call's snapshots less a skipped initial state, after its lead snapshot.
std::vector<std::int64_t> library_text_steps(const Schedule& schedule,
                                             const std::vector<Chunk>& chunks) {
  std::vector<std::int64_t> steps;
  const std::int64_t interval = schedule.shape().interval;
  for (const Chunk& chunk : chunks) {
    if (chunk.lead >= 0) {
      EXPECT_EQ(stellix::program::snapshot_step(chunk.lead, interval), chunk.from + 1);
      steps.push_back(chunk.from + 1);
    }
    const auto made = library_snapshot_steps(chunk.call.steps, chunk.call.interval);
    for (std::size_t j = chunk.skips_initial ? 1 : 0; j < made.size(); ++j) {
      const auto k = chunk.base + static_cast<std::int64_t>(j);
      EXPECT_EQ(stellix::program::snapshot_step(k, interval), chunk.from + made[j]);
      steps.push_back(chunk.from + made[j]);
    }
  }
  return steps;
}

TEST(ScheduleChunks, TheLibrarysTextInManyCallsIsOneCallsText) {
  for (const RunShape shape :
       {RunShape{1, 1, 1, true, false}, RunShape{10, 3, 2, false, true},
        RunShape{100000, 7, 2000, true, true}, RunShape{20001, 1, 3000, true, false},
        RunShape{5000, 63, 3000, false, true}, RunShape{300001, 2, 1, true, false}}) {
    const Schedule schedule(shape, true);
    ASSERT_TRUE(schedule.library_text());
    SCOPED_TRACE(testing::Message() << shape.steps << " steps every " << shape.interval);
    const auto chunks = walk(schedule);
    std::int64_t at = 0;
    for (const Chunk& chunk : chunks) {
      EXPECT_EQ(chunk.from, at);
      at = chunk.to;
      expect_call_within_32_bits(chunk.call);
      EXPECT_TRUE(chunk.call.record);
      EXPECT_EQ(chunk.call.interval, shape.interval);
      EXPECT_EQ(chunk.from % shape.interval, 0);
      EXPECT_EQ(chunk.skips_initial, chunk.from > 0);
      EXPECT_EQ(chunk.call.stored,
                static_cast<std::int64_t>(
                    library_snapshot_steps(chunk.call.steps, chunk.call.interval).size()));
    }
    EXPECT_EQ(at, shape.steps);
    EXPECT_EQ(library_text_steps(schedule, chunks),
              library_snapshot_steps(shape.steps, shape.interval));
  }
}

// Without the picture, nothing is stored.
TEST(ScheduleChunks, NoPictureStoresNothing) {
  RunShape shape{1000, 3, 5, true, true};
  shape.picture = false;
  for (const bool library : {false, true}) {
    for (const Chunk& chunk : walk(Schedule(shape, library))) {
      EXPECT_FALSE(chunk.call.store);
      EXPECT_EQ(chunk.call.stored, 0);
    }
  }
}

// Where the program writes the text, calls end on every snapshot and nowhere
// else a snapshot is taken, and store the picture's points as one call of
// their length would.
TEST(ScheduleChunks, ProgramTextCallsEndOnEverySnapshot) {
  for (const RunShape shape :
       {RunShape{1, 1, 1, true, false}, RunShape{10, 3, 2, false, true},
        RunShape{100, 7, 5, true, true}, RunShape{100, 1000, 3, true, true},
        RunShape{1000, 1, 1, true, false}, RunShape{8766, 9, 9, false, true},
        RunShape{5000, 64, 3, true, false}, RunShape{5000, 7, 3, false, false},
        RunShape{100000, 100, 5000, false, true}}) {
    const Schedule schedule(shape, false);
    const bool emitting = shape.print || shape.record;
    SCOPED_TRACE(testing::Message() << shape.steps << " steps every " << shape.interval);
    std::int64_t at = 0;
    std::vector<std::int64_t> snapshot_steps = {0};
    for (const Chunk& chunk : walk(schedule)) {
      EXPECT_EQ(chunk.from, at);
      at = chunk.to;
      expect_call_within_32_bits(chunk.call);
      EXPECT_FALSE(chunk.call.record);
      EXPECT_LE(chunk.call.steps, schedule.chunk_steps());
      EXPECT_EQ(chunk.call.interval, schedule.picture_stride());
      const auto points = library_snapshot_steps(chunk.call.steps, chunk.call.interval).size();
      EXPECT_EQ(chunk.call.store, points > 1);
      EXPECT_EQ(chunk.call.stored, points > 1 ? static_cast<std::int64_t>(points) : 0);
      if (chunk.snapshot < 0) continue;
      EXPECT_EQ(chunk.snapshot, static_cast<std::int64_t>(snapshot_steps.size()));
      snapshot_steps.push_back(chunk.to);
    }
    EXPECT_EQ(at, shape.steps);
    EXPECT_EQ(snapshot_steps, emitting ? library_snapshot_steps(shape.steps, shape.interval)
                                       : std::vector<std::int64_t>{0});
  }
}

TEST(ScheduleChunks, TheLargestStepCountStaysWithin32Bits) {
  const std::int64_t interval = stellix::program::snapshot_interval(kLargestSteps, std::nullopt);
  const Schedule recorded({kLargestSteps, interval, 9, false, true}, true);
  ASSERT_FALSE(recorded.library_text());
  const auto chunks = walk(recorded);
  std::int64_t snapshots = 1;
  for (const Chunk& chunk : chunks) {
    expect_call_within_32_bits(chunk.call);
    EXPECT_LE(chunk.call.stored, chunk.call.steps);
    if (chunk.snapshot < 0) continue;
    EXPECT_EQ(chunk.snapshot, snapshots++);
    EXPECT_EQ((chunk.to - 1) % interval, 0);
  }
  EXPECT_EQ(chunks.back().to, kLargestSteps);
  EXPECT_EQ(snapshots, recorded.snapshots());

  // Every step a snapshot: the last call ends with the final state.
  const Schedule every_step({kLargestSteps, 1, 1, true, false}, true);
  ASSERT_TRUE(every_step.library_text());
  const std::int64_t from =
      (kLargestSteps - 1000) / every_step.chunk_steps() * every_step.chunk_steps();
  const Chunk last = every_step.chunk_after(from);
  EXPECT_EQ(last.base, from);
  EXPECT_EQ(every_step.snapshots(), kLargestSteps);
  EXPECT_LE(last.to, kLargestSteps);
  expect_call_within_32_bits(last.call);
}

}  // namespace
