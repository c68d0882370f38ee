// Calls on disjoint data from several threads at once give the bits of the
// same calls made one after another, and the very first calls of a process,
// which choose the kernels, may race each other. Built with -fsanitize=thread
// this is also the data-race check.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "reference.h"
#include "support.h"

namespace {

using testing_support::random_system;
using testing_support::SameBits;

struct Work {
  std::vector<Body> bodies;
  std::vector<double> positions, matrix, accelerations;
  std::string recorded;
};

constexpr int kThreads = 4;
constexpr int kSteps = 25;
constexpr int kInterval = 6;

Work make_work(int t) {
  Work w;
  const int n = 20 + 7 * t;
  w.bodies = random_system(n, 500 + t);
  w.positions.assign(3 * n * (1 + (kSteps - 1) / kInterval), 0.0);
  w.matrix.assign(static_cast<std::size_t>(n) * n, 0.0);
  w.accelerations.assign(3 * n, 0.0);
  return w;
}

// Every channel but the shared run file, which the host must order itself.
void do_work(Work& w) {
  const int n = static_cast<int>(w.bodies.size());
  simulate(w.bodies.data(), n, 900.0, kSteps, kInterval, 0, 1, 1, w.positions.data());
  getAccelerationVectorArray(w.bodies.data(), n, w.accelerations.data(), w.matrix.data());
  printVector(w.accelerations.data(), 3 * n);
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  recordBodies(f, w.bodies.data(), n);
  w.recorded.resize(static_cast<std::size_t>(std::ftell(f)));
  std::rewind(f);
  ASSERT_EQ(std::fread(w.recorded.data(), 1, w.recorded.size(), f), w.recorded.size());
  std::fclose(f);
}

// The sequential pass runs first, so here the kernels are already chosen;
// the first use is raced in the test below.
TEST(Concurrency, ParallelCallsOnDisjointDataMatchSequentialCalls) {
  std::vector<Work> sequential, parallel;
  for (int t = 0; t < kThreads; ++t) {
    sequential.push_back(make_work(t));
    parallel.push_back(make_work(t));
  }
  const std::string one_by_one = testing_support::capture_stdout([&] {
    for (Work& w : sequential)
      do_work(w);
  });
  const std::string together = testing_support::capture_stdout([&] {
    std::vector<std::thread> threads;
    for (Work& w : parallel)
      threads.emplace_back([&w] { do_work(w); });
    for (std::thread& t : threads)
      t.join();
  });
  // Printed text interleaves between calls, but none is lost.
  EXPECT_EQ(together.size(), one_by_one.size());
  for (int t = 0; t < kThreads; ++t) {
    const Work& a = sequential[t];
    const Work& b = parallel[t];
    EXPECT_TRUE(SameBits(&a.bodies[0].x, &b.bodies[0].x, 7 * a.bodies.size()));
    EXPECT_TRUE(SameBits(a.positions.data(), b.positions.data(), a.positions.size()));
    EXPECT_TRUE(SameBits(a.matrix.data(), b.matrix.data(), a.matrix.size()));
    EXPECT_TRUE(SameBits(a.accelerations.data(), b.accelerations.data(), a.accelerations.size()));
    EXPECT_EQ(a.recorded, b.recorded);
  }
}

// Threads released together make the first calls of a freshly started
// process (no earlier test has chosen the kernels in it); each must still
// get the reference's bits. Exits 0 when they do.
[[noreturn]] void race_first_calls() {
  constexpr int n = 300;
  const std::vector<Body> bodies = random_system(n, 510);
  std::vector<double> want(3 * n), matrix(n * n);
  reference::accelerations(bodies.data(), n, want.data(), matrix.data());
  std::vector<std::vector<double>> got(kThreads, std::vector<double>(3 * n));
  std::vector<std::vector<double>> scratch(kThreads, std::vector<double>(n * n));
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) {
      }
      getAccelerationVectorArray(bodies.data(), n, got[t].data(), scratch[t].data());
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  bool same = true;
  for (const auto& a : got)
    same = same && SameBits(want.data(), a.data(), a.size());
  std::_Exit(same ? 0 : 1);
}

TEST(Concurrency, FirstCallsOfAProcessRaceSafely) {
  // "threadsafe" death tests start the child afresh rather than fork this
  // process, in which earlier tests have chosen the kernels already.
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(race_first_calls(), ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
