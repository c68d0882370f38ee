#include "simulation.h"

#include "output/snapshot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace stellix::detail {
namespace {

// Position update: x <- (((a*dt)*dt)/2.0 + v*dt) + x, per coordinate.
void advance_positions(Body* bodies, Index n, const double* a, double dt) {
  for (Index i = 0; i < n; ++i) {
    Body& b = bodies[i];
    const double* ai = a + 3 * i;
    b.x = (((ai[0] * dt) * dt) / 2.0 + b.vx * dt) + b.x;
    b.y = (((ai[1] * dt) * dt) / 2.0 + b.vy * dt) + b.y;
    b.z = (((ai[2] * dt) * dt) / 2.0 + b.vz * dt) + b.z;
  }
}

// Velocity update from old accelerations a and new accelerations b:
// v <- ((a + b)*dt)/2.0 + v, per coordinate.
void advance_velocities(Body* bodies, Index n, const double* a, const double* b, double dt) {
  for (Index i = 0; i < n; ++i) {
    Body& body = bodies[i];
    const double* ai = a + 3 * i;
    const double* bi = b + 3 * i;
    body.vx = ((ai[0] + bi[0]) * dt) / 2.0 + body.vx;
    body.vy = ((ai[1] + bi[1]) * dt) / 2.0 + body.vy;
    body.vz = ((ai[2] + bi[2]) * dt) / 2.0 + body.vz;
  }
}

class Scratch {
 public:
  Scratch(const ScratchAllocator& allocator, std::size_t doubles) : allocator_(allocator) {
    if (doubles == 0) return;
    if (doubles > std::numeric_limits<std::size_t>::max() / sizeof(double)) return;
    memory_ =
        static_cast<double*>(allocator_.allocate(doubles * sizeof(double), allocator_.context));
  }
  ~Scratch() {
    if (memory_ != nullptr) allocator_.release(memory_, allocator_.context);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  double* get() const { return memory_; }

 private:
  ScratchAllocator allocator_;
  double* memory_ = nullptr;
};

class Run {
 public:
  Run(Body* bodies, Index n, const RunOptions& options, double* positions,
      const KernelTable& kernels, double* a, double* b, double* workspace)
      : bodies_(bodies),
        n_(n),
        options_(options),
        cursor_(positions),
        kernels_(kernels),
        a_(a),
        b_(b),
        workspace_(workspace) {}

  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Returns 0, or the system's error of the first failure of the run file.
  int execute() {
    evaluate(a_);
    // The run file is opened between the print and record channels of the
    // initial snapshot, so a host that prints sees its text before the file
    // exists.
    emit_snapshot(/*open_run_file=*/options_.record);
    // The first step is always taken and never followed by a snapshot.
    step();
    for (std::int32_t i = 1; i < options_.steps; ++i) {
      // The accelerations of the current positions were computed at the end
      // of the previous step: swap them in rather than evaluate them twice.
      std::swap(a_, b_);
      step();
      // A negative stride selects the same indices as its magnitude; a zero
      // stride emits nothing after the initial snapshot.
      if (options_.interval != 0 && i % options_.interval == 0) emit_snapshot(false);
    }
    close_run_file();
    return run_file_error_;
  }

 private:
  void evaluate(double* into) { kernels_.accelerations(bodies_, n_, into, workspace_); }

  void step() {
    advance_positions(bodies_, n_, a_, options_.dt);
    evaluate(b_);
    advance_velocities(bodies_, n_, a_, b_, options_.dt);
  }

  void emit_snapshot(bool open_run_file) {
    // n_ came from an int32_t and is never negative here.
    const auto count = static_cast<std::int32_t>(n_);
    // The library's own writer, not the exported printBodies and
    // recordBodies: a host function of the same name must not change what
    // a run writes.
    if (options_.print) write_snapshot(stdout, bodies_, count);
    if (open_run_file) open_run_file_now();
    if (run_file_ != nullptr) record(count);
    if (options_.store) {
      for (Index i = 0; i < n_; ++i) {
        cursor_[3 * i] = bodies_[i].x;
        cursor_[3 * i + 1] = bodies_[i].y;
        cursor_[3 * i + 2] = bodies_[i].z;
      }
      // With no bodies the buffer may be null: no arithmetic on it then.
      if (n_ > 0) cursor_ += 3 * n_;
    }
  }

  // The run file is the one channel the library itself opens, so its
  // failures are the run's to report; errno is cleared before each C library
  // call that may fail so that what it holds afterwards is that call's own
  // reason and not a leftover of an earlier success.
  void open_run_file_now() {
    errno = 0;
    run_file_ = options_.open_run_file(options_.run_file_context);
    if (run_file_ == nullptr) fail();
  }

  void record(std::int32_t count) {
    errno = 0;
    write_snapshot(run_file_, bodies_, count);
    if (!std::ferror(run_file_)) return;
    // Writing stops at the first failure: the file keeps a prefix of the
    // run's text, never a gap that a later write into freed space would
    // leave.
    fail();
    close_run_file();
  }

  void close_run_file() {
    if (run_file_ == nullptr) return;
    errno = 0;
    // The last buffered snapshots reach the disk here, so a full disk often
    // shows only now.
    if (std::fclose(run_file_) != 0) fail();
    run_file_ = nullptr;
  }

  // Keeps the first failure: later ones are usually its consequences.
  void fail() {
    if (run_file_error_ == 0) run_file_error_ = errno != 0 ? errno : EIO;
  }

  Body* bodies_;
  Index n_;
  RunOptions options_;
  double* cursor_;
  const KernelTable& kernels_;
  double* a_;
  double* b_;
  double* workspace_;
  std::FILE* run_file_ = nullptr;
  int run_file_error_ = 0;
};

void* system_allocate(std::size_t bytes, void*) {
  return std::malloc(bytes);
}
void system_release(void* memory, void*) {
  std::free(memory);
}

}  // namespace

std::FILE* open_output_csv(void*) {
  return std::fopen("output.csv", "w");
}

ScratchAllocator system_allocator() {
  return {&system_allocate, &system_release, nullptr};
}

int run_simulation(Body* bodies, Index n, const RunOptions& options, double* positions,
                   const KernelTable& kernels, const ScratchAllocator& allocator) {
  if (n < 0) n = 0;
  // All scratch comes in one block: two acceleration arrays and the kernel's
  // workspace, O(n) in all. Nothing is emitted or touched before it is in hand.
  const std::size_t vector_doubles = static_cast<std::size_t>(3 * n);
  const std::size_t workspace_doubles = n > 0 ? kernels.workspace_doubles(n) : 0;
  const std::size_t total = 2 * vector_doubles + workspace_doubles;
  Scratch scratch(allocator, total);
  if (total > 0 && scratch.get() == nullptr) return ENOMEM;
  double* a = scratch.get();
  double* b = total > 0 ? a + vector_doubles : nullptr;
  double* workspace = workspace_doubles > 0 ? b + vector_doubles : nullptr;
  return Run(bodies, n, options, positions, kernels, a, b, workspace).execute();
}

}  // namespace stellix::detail

extern "C" STELLIX_API void simulate(Body* bodies, int32_t n, double dt, int32_t steps,
                                     int32_t interval, int32_t record, int32_t store, int32_t print,
                                     double* positions) {
  using namespace stellix::detail;
  const RunOptions options{dt, steps, interval, record != 0, store != 0, print != 0};
  // errno is how a host learns that the run did not happen or lost its run
  // file, so a successful run must hand back the caller's value untouched,
  // whatever the C library left in it on the way.
  const int caller_errno = errno;
  const int error =
      run_simulation(bodies, n, options, positions, active_kernels(), system_allocator());
  errno = error != 0 ? error : caller_errno;
}
