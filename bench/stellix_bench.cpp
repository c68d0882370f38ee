// Speed and memory of the library against the straightforward code, measured
// in one run so that every figure comes with its ratio:
//   simulate/<variant>/<n>  one run, all channels off, steps = 1 (two
//                           acceleration evaluations); ns per unique pair
//                           n(n-1)/2 and evaluation
//   matrix/<variant>/<n>    the factor matrix alone (factor_matrix)
//   accmatrix/<variant>/<n> accelerations and the whole matrix
//                           (getAccelerationVectorArray)
//   bound/<variant>         the floor of the fused kernels: one square
//                           root and one division per pair
//   stores/floor/<n>        the floor of the matrix functions: the n x n
//                           matrix written once, front to back
//   memory/46340            scratch of a run at the largest n, steps = 1,
//                           through a counting allocator and as max RSS growth
//                           of a fresh process that makes only that run
//   text/<writer>           ns per field of snapshot and diagnostic text
//                           against a loop of fprintf
// Tables of ratios follow the usual output: to the reference, each row the
// fastest repetition; and to the floors, min and median over the rounds
// of --benchmark_repetitions with random interleaving, each ratio taken
// within one round.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "bound.h"
#include "core/kernels.h"
#include "core/simulation.h"
#include "reference.h"
#include "seeded_system.h"

namespace {

using stellix::detail::Index;
using stellix::detail::Isa;
using stellix::detail::KernelTable;

double unique_pairs(Index n) {
  return static_cast<double>(n) * static_cast<double>(n - 1) / 2.0;
}

const char* variant_name(Isa isa) {
  return stellix::detail::kernel_table(isa).name;
}

// Every instruction set this build has kernels for: kernel_table falls back
// to the scalar ones for the others.
std::vector<Isa> built_isas() {
  std::vector<Isa> isas;
  for (Isa isa : stellix::detail::kEveryIsa) {
    if (stellix::detail::kernel_table(isa).isa == isa) isas.push_back(isa);
  }
  return isas;
}

// The square-root-and-division floor of an instruction set; the scalar one
// where the bench has none of its own.
bound::Kernel floor_kernel(Isa isa) {
  bound::Kernel kernel = nullptr;
  switch (isa) {
    case Isa::kAvx512:
      kernel = bound::kAvx512;
      break;
    case Isa::kAvx2:
      kernel = bound::kAvx2;
      break;
    case Isa::kNeon:
      kernel = bound::kNeon;
      break;
    default:
      break;
  }
  return kernel != nullptr ? kernel : bound::kScalar;
}

constexpr double kDt = 3600.0;

// ---------------------------------------------------------------------------
// Forces

// The straightforward run: n*n matrix scratch, the reference's acceleration
// loops, the same updates; no channel.
void reference_run(std::vector<Body>& bodies, int steps) {
  const int n = static_cast<int>(bodies.size());
  Body* b = bodies.data();
  std::vector<double> A(3 * n), B(3 * n), M(static_cast<std::size_t>(n) * n);
  auto step = [&] { reference::verlet_step(b, n, kDt, A.data(), B.data(), M.data()); };
  reference::accelerations(b, n, A.data(), M.data());
  step();
  for (int i = 1; i < steps; ++i) {
    std::swap(A, B);
    step();
  }
}

stellix::detail::RunOptions quiet_run(int steps) {
  return stellix::detail::RunOptions{kDt, steps, 1, false, false, false};
}

void simulate_reference(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<Body> initial = testing_support::random_system(n, 1);
  for (auto _ : state) {
    std::vector<Body> bodies = initial;
    reference_run(bodies, 1);
    benchmark::DoNotOptimize(bodies.data());
  }
  state.counters["pairs"] = 2 * unique_pairs(n);
}

void simulate_kernel(benchmark::State& state, Isa isa) {
  if (!stellix::detail::isa_supported(isa)) {
    state.SkipWithError("not supported on this machine");
    return;
  }
  const int n = static_cast<int>(state.range(0));
  const std::vector<Body> initial = testing_support::random_system(n, 1);
  const KernelTable& kernels = stellix::detail::kernel_table(isa);
  for (auto _ : state) {
    std::vector<Body> bodies = initial;
    stellix::detail::run_simulation(bodies.data(), n, quiet_run(1), nullptr, kernels,
                                    stellix::detail::system_allocator());
    benchmark::DoNotOptimize(bodies.data());
  }
  state.counters["pairs"] = 2 * unique_pairs(n);
}

enum class MatrixWork { kFactors, kAccelerations };

void matrix_reference(benchmark::State& state, MatrixWork work) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<Body> bodies = testing_support::random_system(n, 2);
  std::vector<double> m(static_cast<std::size_t>(n) * n), a(3 * n);
  for (auto _ : state) {
    if (work == MatrixWork::kFactors) {
      reference::factor_matrix(bodies.data(), n, m.data());
    } else {
      reference::accelerations(bodies.data(), n, a.data(), m.data());
    }
    benchmark::DoNotOptimize(m.data());
    benchmark::DoNotOptimize(a.data());
  }
  state.counters["pairs"] = unique_pairs(n);
}

void matrix_kernel(benchmark::State& state, Isa isa, MatrixWork work) {
  if (!stellix::detail::isa_supported(isa)) {
    state.SkipWithError("not supported on this machine");
    return;
  }
  const int n = static_cast<int>(state.range(0));
  const std::vector<Body> bodies = testing_support::random_system(n, 2);
  const KernelTable& kernels = stellix::detail::kernel_table(isa);
  std::vector<double> m(static_cast<std::size_t>(n) * n), a(3 * n);
  for (auto _ : state) {
    if (work == MatrixWork::kFactors) {
      kernels.factor_matrix(bodies.data(), n, m.data());
    } else {
      kernels.accelerations_and_matrix(bodies.data(), n, a.data(), m.data());
    }
    benchmark::DoNotOptimize(m.data());
    benchmark::DoNotOptimize(a.data());
  }
  state.counters["pairs"] = unique_pairs(n);
}

// One square root and one division per pair with the widest registers of
// an instruction set: what no exact kernel can beat.
void sqrt_div_bound(benchmark::State& state, Isa isa) {
  const bound::Kernel kernel = floor_kernel(isa);
  if (!stellix::detail::isa_supported(isa)) {
    state.SkipWithError("not supported on this machine");
    return;
  }
  constexpr std::size_t kCount = 4096;
  alignas(64) static double in[kCount];
  alignas(64) static double out[kCount];
  for (std::size_t k = 0; k < kCount; ++k)
    in[k] = 1e20 + static_cast<double>(k) * 1e17;
  for (auto _ : state) {
    kernel(in, out, kCount);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.counters["pairs"] = kCount;
}

// The matrix functions' floor: their n x n matrix written once in order,
// with non-temporal stores where the line tiles use them.
void store_floor(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<double> m(static_cast<std::size_t>(n) * n);
  // The line tiles stream from this order on (kStreamFrom).
  const bool stream = n >= 2048;
  for (auto _ : state) {
    bound::fill(m.data(), m.size(), 1.0, stream);
    benchmark::DoNotOptimize(m.data());
    benchmark::ClobberMemory();
  }
  state.counters["pairs"] = unique_pairs(n);
}

// ---------------------------------------------------------------------------
// Memory of the largest run

struct Counting {
  std::size_t current = 0;
  std::size_t peak = 0;
};

constexpr std::size_t kHeader = 64;  // keeps the caller's alignment

void* counting_allocate(std::size_t bytes, void* context) {
  auto* c = static_cast<Counting*>(context);
  auto* raw = static_cast<unsigned char*>(std::malloc(bytes + kHeader));
  if (raw == nullptr) return nullptr;
  std::memcpy(raw, &bytes, sizeof bytes);
  c->current += bytes;
  if (c->current > c->peak) c->peak = c->current;
  return raw + kHeader;
}

void counting_release(void* memory, void* context) {
  auto* c = static_cast<Counting*>(context);
  unsigned char* raw = static_cast<unsigned char*>(memory) - kHeader;
  std::size_t bytes;
  std::memcpy(&bytes, raw, sizeof bytes);
  c->current -= bytes;
  std::free(raw);
}

// The peak resident set of this process's memory (VmHWM), in KiB, or -1.
// Not getrusage's ru_maxrss: that one survives exec, and would carry the
// resident set of the process this one was forked from.
long peak_rss_kib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  long kib = -1;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

// The largest run, made by a fresh process of this program (see main): its
// heap holds nothing freed by earlier benchmarks that the run could reuse
// unseen, so the growth of its maximum resident set is the run's own.
struct LargestRunFigures {
  std::size_t scratch_peak = 0;
  long rss_growth_kib = 0;
};

constexpr const char* kLargestRunFlag = "--largest-run";

int largest_run_child(int n) {
  std::vector<Body> bodies = testing_support::random_system(n, 3);
  Counting counting;
  const stellix::detail::ScratchAllocator allocator{&counting_allocate, &counting_release,
                                                    &counting};
  const long rss_before = peak_rss_kib();
  if (rss_before < 0) return 1;
  stellix::detail::run_simulation(bodies.data(), n, quiet_run(1), nullptr,
                                  stellix::detail::active_kernels(), allocator);
  const LargestRunFigures figures{counting.peak, peak_rss_kib() - rss_before};
  return write(1, &figures, sizeof figures) == sizeof figures ? 0 : 1;
}

void memory_largest_run(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    state.SkipWithError("cannot find this program to start it again");
    return;
  }
  self[length] = '\0';
  const std::string order = std::to_string(n);
  LargestRunFigures figures;
  for (auto _ : state) {
    int channel[2];
    if (pipe(channel) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    const pid_t child = fork();
    if (child == 0) {
      dup2(channel[1], 1);
      close(channel[0]);
      close(channel[1]);
      char* const args[] = {self, const_cast<char*>(kLargestRunFlag),
                            const_cast<char*>(order.c_str()), nullptr};
      execv(self, args);
      _exit(127);
    }
    close(channel[1]);
    const bool received = child > 0 && read(channel[0], &figures, sizeof figures) == sizeof figures;
    close(channel[0]);
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the process making the largest run failed");
      return;
    }
  }
  state.counters["scratch_MiB"] = static_cast<double>(figures.scratch_peak) / (1 << 20);
  state.counters["max_rss_growth_MiB"] = static_cast<double>(figures.rss_growth_kib) / 1024;
  state.SetLabel(stellix::detail::active_kernels().name);
}

// ---------------------------------------------------------------------------
// Text

// Sends standard output to /dev/null while a benchmark runs, at the
// descriptor level, since the library writes through C stdio.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

constexpr int kTextBodies = 2000;

void fprintf_snapshot(std::FILE* f, const Body* bodies, int n) {
  for (int i = 0; i < n; ++i) {
    const Body& b = bodies[i];
    std::fprintf(f, "%lf ", b.x);
    std::fprintf(f, "%lf ", b.y);
    std::fprintf(f, "%lf ", b.z);
    std::fprintf(f, "%lf ", b.vx);
    std::fprintf(f, "%lf ", b.vy);
    std::fprintf(f, "%lf ", b.vz);
    std::fprintf(f, "%lf\n", b.mass);
  }
}

enum class TextWork { kFprintfSnapshot, kRecordBodies, kPrintBodies, kFprintfVector, kPrintVector };

void text(benchmark::State& state, TextWork work) {
  const std::vector<Body> bodies = testing_support::random_system(kTextBodies, 4);
  const auto* values = reinterpret_cast<const double*>(bodies.data());
  const int fields = 7 * kTextBodies;
  std::FILE* null = std::fopen("/dev/null", "w");
  {
    QuietStdout quiet;
    for (auto _ : state) {
      switch (work) {
        case TextWork::kFprintfSnapshot:
          fprintf_snapshot(null, bodies.data(), kTextBodies);
          break;
        case TextWork::kRecordBodies:
          recordBodies(null, bodies.data(), kTextBodies);
          break;
        case TextWork::kPrintBodies:
          printBodies(bodies.data(), kTextBodies);
          break;
        case TextWork::kFprintfVector:
          for (int k = 0; k < fields; ++k)
            std::printf("%.15lf ", values[k]);
          break;
        case TextWork::kPrintVector:
          printVector(values, fields);
          break;
      }
    }
  }
  std::fclose(null);
  state.counters["fields"] = fields;
}

// ---------------------------------------------------------------------------
// Reporting: ns per pair (or per field) as a counter, then the ratio table.

struct Row {
  std::string family;  // what was measured, e.g. "simulate/4096"
  std::string variant;
  double ns = 0;  // per unique pair and evaluation, or per field: the fastest
  // Every repetition's, in the order they ran: with random interleaving,
  // repetition k of every benchmark belongs to round k.
  std::vector<double> rounds;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t half = values.size() / 2;
  return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // `order` names the timed benchmarks ("family/variant[/n]") in the order
  // of registration, which the tables keep whatever order they ran in.
  explicit RatioReporter(const std::vector<std::string>& order)
      : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {
    for (const std::string& name : order)
      record(name, std::numeric_limits<double>::infinity());
  }

  // With repetitions, the ratio tables take each benchmark's fastest
  // repetition and the console shows its "min" and "median" rows: a shared
  // machine has slow spells of seconds, and both sides of a ratio are
  // entitled to their best run.
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (Run run : runs) {
      if (run.error_occurred) {
        shown.push_back(run);
        continue;
      }
      const bool aggregate = run.run_type == Run::RT_Aggregate;
      if (aggregate && run.aggregate_name != "min" && run.aggregate_name != "median") continue;
      std::string name = run.run_name.function_name;  // family/variant[/n]
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      if (auto it = run.counters.find("scratch_MiB"); it != run.counters.end()) {
        memory_ = name + ": scratch " + std::to_string(it->second.value) +
                  " MiB (counting allocator), max RSS growth " +
                  std::to_string(run.counters["max_rss_growth_MiB"].value) + " MiB, kernels " +
                  run.report_label;
      }
      for (const char* unit : {"pairs", "fields"}) {
        auto it = run.counters.find(unit);
        if (it == run.counters.end()) continue;
        const double per_iteration = run.cpu_accumulated_time / static_cast<double>(run.iterations);
        const double ns = per_iteration * 1e9 / it->second.value;
        run.counters.erase(it);
        run.counters[std::string("ns_per_") + (unit[0] == 'p' ? "pair" : "field")] = ns;
        if (!aggregate) record(name, ns);
      }
      if (aggregate || run.repetitions <= 1) shown.push_back(run);
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRatios (variant time / reference time; below 1 is faster):\n");
    std::printf("%-22s %-14s %12s %12s %10s\n", "measure", "variant", "ns", "reference ns",
                "ratio");
    for (const Row& row : rows_) {
      if (!ran(row)) continue;
      const std::string base = baseline_of(row);
      if (base.empty() || base == row.variant) continue;
      auto ref = find(row.family, base);
      if (ref == nullptr || !ran(*ref)) continue;
      std::printf("%-22s %-14s %12.4f %12.4f %10.4f  (%.1fx)\n", row.family.c_str(),
                  row.variant.c_str(), row.ns, ref->ns, row.ns / ref->ns, ref->ns / row.ns);
    }
    std::printf(
        "\nKernels against their floor (sqrt+div: one square root and one division\n"
        "per pair; stores: the matrix written once), ratios within each round:\n");
    std::printf("%-22s %-10s %9s %9s %-7s %7s %7s %7s\n", "measure", "variant", "ns", "floor ns",
                "floor", "min", "median", "rounds");
    for (const Row& row : rows_)
      print_floor_ratio(row);
    if (!memory_.empty()) std::printf("\nLargest run, %s\n", memory_.c_str());
    std::fflush(stdout);
  }

 private:
  // A kernel's time over its floor's, round by round: the sqrt+div floor of
  // its own instruction set, and for the matrix functions the store floor
  // of the same order where that is higher.
  void print_floor_ratio(const Row& row) const {
    const bool fused = row.family.rfind("simulate", 0) == 0;
    const bool matrix = row.family.rfind("matrix", 0) == 0 || row.family.rfind("accmatrix", 0) == 0;
    if (!ran(row) || (!fused && !matrix) || row.variant == "reference") return;
    const Row* divider = find("bound", row.variant);
    const Row* stores =
        matrix ? find("stores" + row.family.substr(row.family.find('/')), "floor") : nullptr;
    if (divider == nullptr || !ran(*divider)) return;
    const bool by_stores =
        stores != nullptr && ran(*stores) && median(stores->rounds) > median(divider->rounds);
    const Row& floor = by_stores ? *stores : *divider;
    std::vector<double> ratios;
    for (std::size_t k = 0; k < row.rounds.size() && k < floor.rounds.size(); ++k)
      ratios.push_back(row.rounds[k] / floor.rounds[k]);
    if (ratios.empty()) return;
    std::printf("%-22s %-10s %9.4f %9.4f %-7s %6.2fx %6.2fx %7zu\n", row.family.c_str(),
                row.variant.c_str(), median(row.rounds), median(floor.rounds),
                by_stores ? "stores" : "sqrtdiv", *std::min_element(ratios.begin(), ratios.end()),
                median(ratios), ratios.size());
  }

  // name = "family/variant/args": the family keeps the args, so that
  // "simulate/avx512/4096" compares with "simulate/reference/4096".
  void record(const std::string& name, double ns) {
    const auto first = name.find('/');
    const auto second = name.find('/', first + 1);
    Row row;
    row.variant = name.substr(first + 1, second - first - 1);
    row.family = name.substr(0, first) + (second == std::string::npos ? "" : name.substr(second));
    row.ns = ns;
    for (Row& seen : rows_) {
      if (seen.family == row.family && seen.variant == row.variant) {
        seen.ns = std::min(seen.ns, row.ns);
        seen.rounds.push_back(ns);
        return;
      }
    }
    if (ran(row)) row.rounds.push_back(ns);
    rows_.push_back(row);
  }

  // Rows of benchmarks that were filtered out or skipped keep infinity.
  static bool ran(const Row& row) { return row.ns < std::numeric_limits<double>::infinity(); }

  static std::string baseline_of(const Row& row) {
    if (row.family.rfind("text", 0) == 0) {
      return row.variant.find("Vector") != std::string::npos ? "fprintfVector" : "fprintf";
    }
    if (row.family.rfind("memory", 0) == 0 || row.family.rfind("bound", 0) == 0 ||
        row.family.rfind("stores", 0) == 0) {
      return "";
    }
    return "reference";
  }

  const Row* find(const std::string& family, const std::string& variant) const {
    for (const Row& r : rows_) {
      if (r.family == family && r.variant == variant) return &r;
    }
    return nullptr;
  }

  std::vector<Row> rows_;
  std::string memory_;
};

// The fastest repetition, shown beside the median.
double fastest(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

// Registers every benchmark; returns the timed ones' names in order.
std::vector<std::string> register_all() {
  std::vector<std::string> order;
  const auto timed = [&order](benchmark::internal::Benchmark* b, const std::string& name) {
    order.push_back(name);
    return b->ComputeStatistics("min", fastest);
  };
  const std::vector<Isa> isas = built_isas();
  benchmark::RegisterBenchmark("memory/active", memory_largest_run)
      ->Arg(46340)
      ->Iterations(1)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);

  for (Isa isa : isas) {
    const std::string name = std::string("bound/") + variant_name(isa);
    timed(benchmark::RegisterBenchmark(name.c_str(), sqrt_div_bound, isa), name)->MinTime(0.2);
  }
  for (int n : {256, 1024, 4096, 8192}) {
    std::string args = "/";  // "/" + to_string(n) trips GCC 12's -Wrestrict
    args += std::to_string(n);
    auto* ref = timed(benchmark::RegisterBenchmark("simulate/reference", simulate_reference),
                      "simulate/reference" + args)
                    ->Arg(n)
                    ->Unit(benchmark::kMillisecond);
    if (n >= 4096) ref->Iterations(n >= 8192 ? 1 : 2);
    for (Isa isa : isas) {
      const std::string name = std::string("simulate/") + variant_name(isa);
      timed(benchmark::RegisterBenchmark(name.c_str(), simulate_kernel, isa), name + args)
          ->Arg(n)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.3);
    }
  }
  for (MatrixWork work : {MatrixWork::kFactors, MatrixWork::kAccelerations}) {
    const std::string family = work == MatrixWork::kFactors ? "matrix/" : "accmatrix/";
    // 4100 is not a multiple of a cache line's eight doubles: its rows
    // start at different offsets within their lines.
    for (int n : {256, 1024, 4096, 8192, 4100}) {
      std::string args = "/";  // "/" + to_string(n) trips GCC 12's -Wrestrict
      args += std::to_string(n);
      if (work == MatrixWork::kFactors) {
        timed(benchmark::RegisterBenchmark("stores/floor", store_floor), "stores/floor" + args)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
      }
      auto* ref = timed(benchmark::RegisterBenchmark((family + "reference").c_str(),
                                                     matrix_reference, work),
                        family + "reference" + args)
                      ->Arg(n)
                      ->Unit(benchmark::kMillisecond);
      if (n >= 4096) ref->Iterations(2);
      for (Isa isa : isas) {
        const std::string name = family + variant_name(isa);
        timed(benchmark::RegisterBenchmark(name.c_str(), matrix_kernel, isa, work), name + args)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
      }
    }
  }
  const struct {
    const char* name;
    TextWork work;
  } writers[] = {{"text/fprintf", TextWork::kFprintfSnapshot},
                 {"text/recordBodies", TextWork::kRecordBodies},
                 {"text/printBodies", TextWork::kPrintBodies},
                 {"text/fprintfVector", TextWork::kFprintfVector},
                 {"text/printVector", TextWork::kPrintVector}};
  for (const auto& w : writers) {
    timed(benchmark::RegisterBenchmark(w.name, text, w.work), w.name)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(0.3);
  }
  return order;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kLargestRunFlag) == 0) {
    return largest_run_child(std::atoi(argv[2]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(register_all());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
