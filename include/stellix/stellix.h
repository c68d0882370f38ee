/*
 * stellix: direct-summation Newtonian gravity for point masses, integrated by
 * velocity Verlet, with results reproducible bit for bit.
 *
 * Plain C ABI: eight functions over caller-owned flat arrays of doubles. The
 * library keeps no state between calls and starts no threads. Arguments are
 * trusted, and a count of zero or less makes every loop empty. The one failure
 * the library reports is simulate()'s, through errno (see there); the text
 * functions write to streams the host owns, whose errors ferror() shows.
 *
 * Units: the library imposes none, but the gravitational constant is built in
 * as c^3 with c = 40554.77018 (c^3 ~= 6.67e13). In metres, seconds and
 * 10^24 kg that is Newton's G, so those are the natural units.
 *
 * Limits: every count n must satisfy n <= 46340 (n*n fits a signed 32-bit
 * integer). Calls on disjoint data may run on different threads at once; text
 * on standard output interleaves, and concurrent simulate() runs with record
 * on share one run file, so the host orders those itself.
 */
#ifndef STELLIX_STELLIX_H
#define STELLIX_STELLIX_H

#include <stdint.h>
#include <stdio.h>

#define STELLIX_VERSION_MAJOR 1
#define STELLIX_VERSION_MINOR 0
#define STELLIX_VERSION_PATCH 0

/* Largest body count the index arithmetic of the interface allows. */
#define STELLIX_MAX_BODIES 46340

#if defined(STELLIX_STATIC)
#define STELLIX_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(STELLIX_BUILDING_LIBRARY)
#define STELLIX_API __declspec(dllexport)
#else
#define STELLIX_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define STELLIX_API __attribute__((visibility("default")))
#else
#define STELLIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * One point mass: seven consecutive binary64 values and nothing else. An array
 * of n bodies is 7*n doubles; body i is record i.
 *   x, y, z     position (m)
 *   vx, vy, vz  velocity (m/s)
 *   mass        mass (10^24 kg); read, never written by the library
 */
typedef struct Body {
  double x;
  double y;
  double z;
  double vx;
  double vy;
  double vz;
  double mass;
} Body;

/*
 * Gravity factor matrix: matrix[n*i + j] = (c / |r_i - r_j|)^3 for i != j and
 * +0.0 on the diagonal, in 1/s^2 per 10^24 kg. The matrix is symmetric bit
 * for bit; two bodies 1 m apart give exactly 66699999999906.078125 (= c^3).
 *   bodies  n bodies, read (positions only)
 *   matrix  n*n doubles, row-major, overwritten in full; never read
 * Coincident bodies give +inf; a NaN coordinate gives NaN in that body's row
 * and column. For n <= 0 nothing is read or written.
 */
STELLIX_API void getInverseDistanceCubedMatrix(const Body* bodies, int32_t n, double* matrix);

/*
 * 1.0 / sqrt(x), a true division by the correctly rounded square root: +0.0
 * gives +inf, -0.0 gives -inf, +inf gives +0.0, a negative x or NaN gives NaN.
 */
STELLIX_API double invsqrt(double x);

/*
 * Acceleration of every body (m/s^2): a_i = sum over j ascending of
 * (r_j - r_i) * (F_ij * m_j), the j = i term included, F the gravity factor
 * matrix above.
 *   bodies         n bodies, read (positions and masses)
 *   accelerations  3*n doubles, written: body i's (ax, ay, az) at 3i..3i+2;
 *                  never read before written
 *   matrix         n*n doubles of scratch, contents on entry ignored; on
 *                  return it holds the gravity factor matrix of the positions
 * Coincident bodies get NaN accelerations. For n <= 0 nothing is touched.
 */
STELLIX_API void getAccelerationVectorArray(const Body* bodies, int32_t n, double* accelerations,
                                            double* matrix);

/*
 * Advances the bodies in place by velocity Verlet with time step dt (s) and
 * emits snapshots of the state through the channels whose flags are nonzero:
 *   print   text to standard output (see printBodies)
 *   record  the same text to the file "output.csv" in the current directory,
 *           created or truncated (text mode "w") at the start of the run and
 *           closed at its end
 *   store   positions copied to `positions`
 *   bodies  n bodies; positions and velocities updated, masses only read
 * Schedule: max(steps, 1) steps are taken. Snapshot 0 is the initial state;
 * snapshot k >= 1 is the state after k*|interval| + 1 steps. The number of
 * snapshots is S = 1 + (steps - 1) / |interval| for steps >= 1, else S = 1;
 * interval = 0 emits the initial snapshot only.
 *   positions  3*n*S doubles when store is on: snapshot k's body i at
 *              3*n*k + 3*i .. +2 (x, y, z). Never touched when store is off,
 *              so it may then be NULL.
 *
 * errno is the one way a host learns that the run did not happen or lost its
 * run file; set it to 0 before the call and read it right after:
 *   unchanged  everything asked for was done (errno keeps the caller's value,
 *              whatever the C library set on the way)
 *   ENOMEM     the run's scratch memory could not be obtained: the call
 *              returned at once, having changed and emitted nothing
 *   other      the system's error (EACCES, EISDIR, ENOSPC, EIO, ...) of the
 *              first failure to open, write or close "output.csv". The run
 *              went on to the end without the record channel: bodies,
 *              positions and printed text are complete and exact, and the
 *              file holds a prefix of the run's text, which may end mid-line.
 * Failures to write standard output are not reported here: the stream is the
 * host's, and ferror(stdout) tells.
 * "output.csv" is opened as fopen(..., "w") opens it: an existing FIFO or
 * symbolic link of that name is followed (the kernel's protected-symlink rule
 * guards shared sticky directories such as /tmp).
 */
STELLIX_API void simulate(Body* bodies, int32_t n, double dt, int32_t steps, int32_t interval,
                          int32_t record, int32_t store, int32_t print, double* positions);

/*
 * Writes one snapshot to standard output: one line per body, the seven fields
 * in record order as "%lf" separated by single spaces, then a newline. The
 * digits are the exact binary value rounded to six decimals, ties to even,
 * whatever the platform's printf does; every NaN is written as "nan", and the
 * decimal point is the current C locale's. Nothing is flushed; n <= 0 writes
 * nothing. Write errors are left in the stream, for ferror(stdout) to show.
 */
STELLIX_API void printBodies(const Body* bodies, int32_t n);

/*
 * Writes the same text as printBodies to `stream`, an open FILE* of the C
 * library this library uses. Neither flushes nor closes it; write errors are
 * left in the stream, for ferror(stream) to show.
 */
STELLIX_API void recordBodies(FILE* stream, const Body* bodies, int32_t n);

/*
 * Prints an n*n row-major matrix to standard output, each value as "%.15lf "
 * (rounded as printBodies rounds) and a newline after each row. n <= 0 prints
 * nothing, not even a newline.
 */
STELLIX_API void printSquareMatrix(const double* values, int32_t n);

/* Prints n values to standard output, each as "%.15lf ", with no newline. */
STELLIX_API void printVector(const double* values, int32_t n);

#ifdef __cplusplus
} /* extern "C" */

#include <type_traits>
static_assert(sizeof(Body) == 7 * sizeof(double), "Body must be seven packed doubles");
static_assert(std::is_standard_layout<Body>::value, "Body must be standard layout");
#endif

#endif /* STELLIX_STELLIX_H */
