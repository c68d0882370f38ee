// The force kernels, written once over a vector-traits type V and included by
// each instruction set's translation unit (scalar, AVX2, AVX-512), so that the
// order of operations, the tails and the padding cannot drift apart between
// them. Each includer defines the traits and instantiates Kernels<V> inside an
// anonymous namespace: the code then has internal linkage in every unit, and
// no vector-compiled copy of an inline function can be picked by the linker
// for code that runs on a baseline CPU. For the same reason nothing here
// calls an inline function of the standard library.
//
// V provides, for a register of kWidth doubles (lane k = element k):
//   Reg, kWidth, load and store (aligned), loadu and storeu (unaligned),
//   store_first(p, v, count) (only lanes < count written, unaligned), set1,
//   add, sub, mul, div, sqrt, zero_lane(v, k) (lane k replaced by +0.0),
//   transpose(Reg[kWidth]) (in place), kBroadcastOperand (whether a
//   broadcast source can be the subtrahend of a subtraction in one
//   instruction; only a matter of speed), and kStreams (whether the matrix
//   may be written in whole cache lines with stream(p, v), an aligned
//   non-temporal store, followed by fence()).
//
// Every sum below adds its terms one by one in ascending source order,
// exactly as the straightforward loops do; nothing is reassociated.
#ifndef STELLIX_SRC_CORE_KERNEL_GENERIC_H
#define STELLIX_SRC_CORE_KERNEL_GENERIC_H

#include <cstddef>
#include <cstdint>

#include "kernels.h"

// The loops over the lanes of a tile must be unrolled so that the tile lives
// in registers.
#if defined(__GNUC__)
#define STELLIX_UNROLL _Pragma("GCC unroll 16")
#else
#define STELLIX_UNROLL
#endif

namespace stellix::detail {

template <class V>
struct Kernels {
  using Reg = typename V::Reg;
  static constexpr Index W = V::kWidth;

  static Index min_index(Index a, Index b) { return a < b ? a : b; }

  // Body fields of `count` consecutive bodies starting at `first` (lanes
  // beyond count are +0.0). Used once per block, so a plain copy will do.
  static Reg gather_field(const Body* first, Index count, double Body::*field) {
    alignas(64) double lanes[W];
    for (Index k = 0; k < W; ++k)
      lanes[k] = k < count ? first[k].*field : 0.0;
    return V::load(lanes);
  }

  // Factor vectors f[j] (lane i) = F(i0 + i, j0 + j) for one W-by-W tile:
  // s = (dx*dx + dy*dy) + dz*dz, q = c/sqrt(s), F = (q*q)*q. The sign of the
  // differences does not matter: (x_i - x_j)^2 and (x_j - x_i)^2 are the same
  // binary64 value, so one factor serves both (i, j) and (j, i).
  // kSources = W for a whole tile (no test per source), 0 for a short one,
  // whose missing sources get factors of +0.0.
  template <Index kSources>
  static void tile_factors(Reg xi, Reg yi, Reg zi, const double* xj, const double* yj,
                           const double* zj, Index sources, Reg* f) {
    const Reg c = V::set1(kCouplingRoot);
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j) {
      if (kSources == 0 && j >= sources) {
        f[j] = V::set1(0.0);
        continue;
      }
      const Reg dx = V::sub(xi, V::set1(xj[j]));
      const Reg dy = V::sub(yi, V::set1(yj[j]));
      const Reg dz = V::sub(zi, V::set1(zj[j]));
      const Reg s = V::add(V::add(V::mul(dx, dx), V::mul(dy, dy)), V::mul(dz, dz));
      const Reg q = V::div(c, V::sqrt(s));
      f[j] = V::mul(V::mul(q, q), q);
    }
  }

  // The receivers of a block (lanes) take the terms of `sources` bodies in
  // ascending order: a = (x_j - x_i) * (F_ij * m_j) + a.
  template <Index kSources>
  static void receive(const Reg* f, Index sources, const double* xs, const double* ys,
                      const double* zs, const double* ms, Reg xr, Reg yr, Reg zr, Reg& ax, Reg& ay,
                      Reg& az) {
    const Index count = kSources > 0 ? kSources : sources;
    STELLIX_UNROLL
    for (Index j = 0; j < count; ++j) {
      const Reg w = V::mul(f[j], V::set1(ms[j]));
      ax = V::add(V::mul(V::sub(V::set1(xs[j]), xr), w), ax);
      ay = V::add(V::mul(V::sub(V::set1(ys[j]), yr), w), ay);
      az = V::add(V::mul(V::sub(V::set1(zs[j]), zr), w), az);
    }
  }

  // ---------------------------------------------------------------------
  // Fused accelerations for the simulation run: every pair's factor is
  // computed once and serves both bodies.

  // How many tiles later a tile's column use follows its row use.
  static constexpr Index kDelay = 2;

  // SoA copies of positions and masses and the running sums, each padded to
  // whole blocks, kDelay + 1 tiles of factors, and slack to align them.
  static std::size_t workspace_doubles(Index n) {
    const Index padded = (n + W - 1) / W * W;
    return static_cast<std::size_t>(7 * padded + (kDelay + 1) * W * W + W);
  }

  // Row use of tile (I, J) by block I (sums in registers), then column use
  // by block J (sums in the workspace). Block I is always whole: only the
  // last block can be short, and it has no tiles right of its diagonal.
  template <Index kSources>
  static void use_tile(Reg* f, Index sources, Index i0, Index j0, const double* x, const double* y,
                       const double* z, const double* m, double* ax, double* ay, double* az, Reg xi,
                       Reg yi, Reg zi, Reg& rx, Reg& ry, Reg& rz) {
    receive<kSources>(f, sources, x + j0, y + j0, z + j0, m + j0, xi, yi, zi, rx, ry, rz);
    V::transpose(f);
    Reg cx = V::load(ax + j0);
    Reg cy = V::load(ay + j0);
    Reg cz = V::load(az + j0);
    receive<W>(f, W, x + i0, y + i0, z + i0, m + i0, V::load(x + j0), V::load(y + j0),
               V::load(z + j0), cx, cy, cz);
    V::store(ax + j0, cx);
    V::store(ay + j0, cy);
    V::store(az + j0, cz);
  }

  // Block I of a row of tiles: its positions in lanes, and as scalars for
  // its part as the sources of the column use.
  struct Sources {
    Reg x, y, z;
    const double* xs;
    const double* ys;
    const double* zs;
    const double* ms;
  };

  // One whole tile (I, J): its factors with their row use by block I,
  // interleaved with the column use of tile (I, J - 1) by block J - 1, whose
  // transposed factors wait in `prev`; so the divider always has work
  // queued while the other uses run. The factors go to `next` and are
  // transposed there at the end. Both tiles sit in the workspace rather than
  // in registers, which the sums and positions need.
  //
  // The row use reuses the factor's differences; their squares do not
  // depend on the sign. Taken as x_i - x_j, a - (x_i - x_j) * w is bit for
  // bit (x_j - x_i) * w + a: negation is exact, and a running sum that
  // starts at +0.0 is never -0.0, so the sign of a zero product cannot show.
  template <bool kColumn>
  static void pair_step(const Sources& row, const double* xs, const double* ys, const double* zs,
                        const double* ms, Reg& rx, Reg& ry, Reg& rz, const double* prev,
                        double* next, const double* xp, const double* yp, const double* zp,
                        double* axp, double* ayp, double* azp) {
    const Reg c = V::set1(kCouplingRoot);
    Reg cx, cy, cz;
    if constexpr (kColumn) {
      cx = V::load(axp);
      cy = V::load(ayp);
      cz = V::load(azp);
    }
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j) {
      // x_i - x_j takes the source as a broadcast memory operand where the
      // instruction set has one; the row use then subtracts its product.
      constexpr bool kFromReceiver = V::kBroadcastOperand;
      const Reg dx = kFromReceiver ? V::sub(row.x, V::set1(xs[j])) : V::sub(V::set1(xs[j]), row.x);
      const Reg dy = kFromReceiver ? V::sub(row.y, V::set1(ys[j])) : V::sub(V::set1(ys[j]), row.y);
      const Reg dz = kFromReceiver ? V::sub(row.z, V::set1(zs[j])) : V::sub(V::set1(zs[j]), row.z);
      const Reg s = V::add(V::add(V::mul(dx, dx), V::mul(dy, dy)), V::mul(dz, dz));
      const Reg q = V::div(c, V::sqrt(s));
      const Reg f = V::mul(V::mul(q, q), q);
      V::store(next + W * j, f);
      const Reg w = V::mul(f, V::set1(ms[j]));
      if constexpr (kFromReceiver) {
        rx = V::sub(rx, V::mul(dx, w));
        ry = V::sub(ry, V::mul(dy, w));
        rz = V::sub(rz, V::mul(dz, w));
      } else {
        rx = V::add(V::mul(dx, w), rx);
        ry = V::add(V::mul(dy, w), ry);
        rz = V::add(V::mul(dz, w), rz);
      }
      if constexpr (kColumn) {
        const Reg wc = V::mul(V::load(prev + W * j), V::set1(row.ms[j]));
        cx = V::add(V::mul(V::sub(V::set1(row.xs[j]), V::load(xp)), wc), cx);
        cy = V::add(V::mul(V::sub(V::set1(row.ys[j]), V::load(yp)), wc), cy);
        cz = V::add(V::mul(V::sub(V::set1(row.zs[j]), V::load(zp)), wc), cz);
      }
    }
    if constexpr (kColumn) {
      V::store(axp, cx);
      V::store(ayp, cy);
      V::store(azp, cz);
    }
    Reg t[W];
    STELLIX_UNROLL
    for (Index k = 0; k < W; ++k)
      t[k] = V::load(next + W * k);
    V::transpose(t);
    STELLIX_UNROLL
    for (Index k = 0; k < W; ++k)
      V::store(next + W * k, t[k]);
  }

  // Upper-triangle tiles (I, J), I <= J, row by row. Body k of block K then
  // receives its terms in exactly ascending source order: from blocks K' < K
  // through the column use of tiles (K', K), walked in earlier rows; then
  // from its own block through the diagonal tile; then from blocks J > K
  // through the row use of tiles (K, J). Row sums stay in registers for the
  // whole row; column sums wait in the workspace (O(n)).
  static void accelerations(const Body* bodies, Index n, double* out, double* workspace) {
    if (n <= 0) return;
    const Index blocks = (n + W - 1) / W;
    const Index padded = blocks * W;
    const auto address = reinterpret_cast<std::uintptr_t>(workspace);
    const std::uintptr_t align = sizeof(double) * W;
    double* base = reinterpret_cast<double*>((address + align - 1) / align * align);
    double* x = base;
    double* y = x + padded;
    double* z = y + padded;
    double* m = z + padded;
    double* ax = m + padded;
    double* ay = ax + padded;
    double* az = ay + padded;
    double* tiles = az + padded;
    // Padding bodies sit at the origin with no mass. They only ever receive
    // (their sums are discarded) and never act as sources: the row use stops
    // at n, and column use happens only for blocks before the last one.
    for (Index i = 0; i < padded; ++i) {
      const bool real = i < n;
      x[i] = real ? bodies[i].x : 0.0;
      y[i] = real ? bodies[i].y : 0.0;
      z[i] = real ? bodies[i].z : 0.0;
      m[i] = real ? bodies[i].mass : 0.0;
      ax[i] = 0.0;
      ay[i] = 0.0;
      az[i] = 0.0;
    }

    for (Index I = 0; I < blocks; ++I) {
      const Index i0 = I * W;
      const Reg xi = V::load(x + i0);
      const Reg yi = V::load(y + i0);
      const Reg zi = V::load(z + i0);
      Reg rx = V::load(ax + i0);
      Reg ry = V::load(ay + i0);
      Reg rz = V::load(az + i0);

      Reg f[W];
      {
        // The own term is included with F_ii = +0.0: it changes nothing for
        // finite data and makes a non-finite body's sum NaN, as it must.
        const Index sources = min_index(W, n - i0);
        tile_factors<0>(xi, yi, zi, x + i0, y + i0, z + i0, sources, f);
        STELLIX_UNROLL
        for (Index k = 0; k < W; ++k)
          f[k] = V::zero_lane(f[k], k);
        if (sources == W) {
          receive<W>(f, W, x + i0, y + i0, z + i0, m + i0, xi, yi, zi, rx, ry, rz);
        } else {
          receive<0>(f, sources, x + i0, y + i0, z + i0, m + i0, xi, yi, zi, rx, ry, rz);
        }
      }

      // Whole tiles. Each step computes the factors of tile (I, J) with its
      // row use, interleaved with the column use of tile (I, J - 1), whose
      // transposed factors wait in `prev`: the divider always has work
      // queued while the adds and multiplies of the other uses run.
      const Index whole_end = n / W * W;
      Index j0 = i0 + W;
      if (j0 + W <= whole_end) {
        // Tile t's factors live in slot t mod (kDelay + 1); its column use
        // comes kDelay steps later, so that it does not wait for the
        // divisions of the tile just before.
        const Sources row{xi, yi, zi, x + i0, y + i0, z + i0, m + i0};
        Index t = 0;
        for (; j0 + W <= whole_end; j0 += W, ++t) {
          double* next = tiles + W * W * (t % (kDelay + 1));
          if (t < kDelay) {
            pair_step<false>(row, x + j0, y + j0, z + j0, m + j0, rx, ry, rz, nullptr, next,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
          } else {
            const double* prev = tiles + W * W * ((t - kDelay) % (kDelay + 1));
            const Index p0 = j0 - kDelay * W;
            pair_step<true>(row, x + j0, y + j0, z + j0, m + j0, rx, ry, rz, prev, next, x + p0,
                            y + p0, z + p0, ax + p0, ay + p0, az + p0);
          }
        }
        // The column uses still owed, oldest first.
        for (Index u = t > kDelay ? t - kDelay : 0; u < t; ++u) {
          const double* prev = tiles + W * W * (u % (kDelay + 1));
          const Index p0 = i0 + W + u * W;
          Reg cx = V::load(ax + p0);
          Reg cy = V::load(ay + p0);
          Reg cz = V::load(az + p0);
          Reg last[W];
          STELLIX_UNROLL
          for (Index k = 0; k < W; ++k)
            last[k] = V::load(prev + W * k);
          receive<W>(last, W, x + i0, y + i0, z + i0, m + i0, V::load(x + p0), V::load(y + p0),
                     V::load(z + p0), cx, cy, cz);
          V::store(ax + p0, cx);
          V::store(ay + p0, cy);
          V::store(az + p0, cz);
        }
      }
      // The short last block, if any, and not already the diagonal.
      if (j0 < n) {
        const Index sources = n - j0;
        tile_factors<0>(xi, yi, zi, x + j0, y + j0, z + j0, sources, f);
        use_tile<0>(f, sources, i0, j0, x, y, z, m, ax, ay, az, xi, yi, zi, rx, ry, rz);
      }
      V::store(ax + i0, rx);
      V::store(ay + i0, ry);
      V::store(az + i0, rz);
    }

    for (Index i = 0; i < n; ++i) {
      out[3 * i] = ax[i];
      out[3 * i + 1] = ay[i];
      out[3 * i + 2] = az[i];
    }
  }

  // ---------------------------------------------------------------------
  // The whole factor matrix for the exported functions, with or without the
  // accelerations. No workspace here: positions are gathered once per block
  // of receivers and broadcast straight from the bodies for sources.

  // A group of row blocks sweeps the columns together, so that the mirror
  // writes of each sweep cover whole cache lines of every row they touch.
  // 256 rows measured best with both vector widths: fewer sweeps over the
  // columns, and mirror runs of 2 KiB per row.
  static constexpr Index kGroup = W > 1 ? 256 / W : 1;
  // How many tiles ahead the lines about to be written are requested for
  // writing, so that their reads from memory overlap the arithmetic: one
  // cache line (eight columns) ahead measured best for both vector widths.
  static constexpr Index kAhead = W < 8 ? 8 / W : 1;

  static void receive_from_whole(const Reg* f, const Body* src, const Reg* r, Reg* acc) {
    Reg ax = acc[0];
    Reg ay = acc[1];
    Reg az = acc[2];
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j) {
      const Body& b = src[j];
      const Reg w = V::mul(f[j], V::set1(b.mass));
      ax = V::add(V::mul(V::sub(V::set1(b.x), r[0]), w), ax);
      ay = V::add(V::mul(V::sub(V::set1(b.y), r[1]), w), ay);
      az = V::add(V::mul(V::sub(V::set1(b.z), r[2]), w), az);
    }
    acc[0] = ax;
    acc[1] = ay;
    acc[2] = az;
  }

  // acc += (x_j - x_r) * (F_rj * m_j) for the `count` sources from `src` on,
  // in ascending order; f[j] holds F_rj in the receivers' lanes.
  static void receive_from(const Reg* f, Index count, const Body* src, const Reg* r, Reg* acc) {
    if (count == W) {
      receive_from_whole(f, src, r, acc);
      return;
    }
    for (Index j = 0; j < count; ++j) {
      const Body& b = src[j];
      const Reg w = V::mul(f[j], V::set1(b.mass));
      acc[0] = V::add(V::mul(V::sub(V::set1(b.x), r[0]), w), acc[0]);
      acc[1] = V::add(V::mul(V::sub(V::set1(b.y), r[1]), w), acc[1]);
      acc[2] = V::add(V::mul(V::sub(V::set1(b.z), r[2]), w), acc[2]);
    }
  }

  // The factors of tile (I, J), the diagonal forced to +0.0.
  static void sweep_factors(const Body* bodies, Index n, const Reg* pos, Index I, Index J, Reg* f) {
    const Index j0 = J * W;
    const Index cols = min_index(W, n - j0);
    alignas(64) double xs[W], ys[W], zs[W];
    for (Index k = 0; k < W; ++k) {
      const bool real = k < cols;
      xs[k] = real ? bodies[j0 + k].x : 0.0;
      ys[k] = real ? bodies[j0 + k].y : 0.0;
      zs[k] = real ? bodies[j0 + k].z : 0.0;
    }
    if (cols == W) {
      tile_factors<W>(pos[0], pos[1], pos[2], xs, ys, zs, W, f);
    } else {
      tile_factors<0>(pos[0], pos[1], pos[2], xs, ys, zs, cols, f);
    }
    if (I == J) {
      STELLIX_UNROLL
      for (Index k = 0; k < W; ++k)
        f[k] = V::zero_lane(f[k], k);
    }
  }

  // f[0 .. count) to `count` rows of the matrix from `first` on (row stride
  // n), the first `lanes` lanes of each.
  static void store_block(double* first, Index n, const Reg* f, Index count, Index lanes) {
    if (count == W && lanes == W) {
      STELLIX_UNROLL
      for (Index k = 0; k < W; ++k)
        V::storeu(first + n * k, f[k]);
    } else {
      for (Index k = 0; k < count; ++k)
        V::store_first(first + n * k, f[k], lanes);
    }
  }

  // Stores tile (I, J) and its mirror; with kSums, block I takes the row
  // terms and, when it belongs to the group (column_pos not null), block J
  // the column terms.
  template <bool kSums>
  static void sweep_tile(const Body* bodies, Index n, double* matrix, Index blocks, Index I,
                         Index J, Reg* f, const Reg* row_pos, Reg* row_acc, const Reg* column_pos,
                         Reg* column_acc) {
    const Index i0 = I * W;
    const Index j0 = J * W;
    const Index rows = min_index(W, n - i0);
    const Index cols = min_index(W, n - j0);
#if defined(__GNUC__)
    if (W > 1 && J + kAhead < blocks) {
      const Index a0 = (J + kAhead) * W;
      const Index ahead_rows = min_index(W, n - a0);
      for (Index k = 0; k < ahead_rows && k < rows; ++k) {
        __builtin_prefetch(matrix + n * (i0 + k) + a0, 1);
        __builtin_prefetch(matrix + n * (a0 + k) + i0, 1);
      }
    }
#else
    (void)blocks;
#endif
    // f[j] lanes i is column j0 + j of rows i0..; by symmetry it is also
    // row j0 + j from column i0 on: the mirror, stored contiguously. A
    // diagonal tile is its own mirror.
    store_block(matrix + n * j0 + i0, n, f, cols, rows);
    if (kSums) receive_from(f, cols, bodies + j0, row_pos, row_acc);
    if (I == J) return;
    V::transpose(f);
    store_block(matrix + n * i0 + j0, n, f, rows, cols);
    if (kSums && column_pos != nullptr) receive_from(f, W, bodies + i0, column_pos, column_acc);
  }

  // Tiles (I, J), I <= J, in sweeps: each group of row blocks walks the
  // columns J from its own first block on. Every element is written exactly
  // once and the diagonal is forced to +0.0 in its tiles, so garbage or NaN
  // in the caller's matrix or the positions never leaks into it.
  //
  // With kSums, block K of a group takes its terms in ascending source
  // order: first from all blocks left of the group, read back from its own
  // rows, where earlier groups mirrored them; then, when the sweep reaches
  // column K, from the group's blocks before it (the mirror of tiles
  // (I, K)) and from its diagonal tile; then from tiles (K, J) as the sweep
  // goes on.
  template <bool kSums>
  static void sweep(const Body* bodies, Index n, double* out, double* matrix) {
    if (n <= 0) return;
    const Index blocks = (n + W - 1) / W;
    for (Index g = 0; g < blocks; g += kGroup) {
      const Index group_end = min_index(blocks, g + kGroup);
      Reg pos[kGroup][3];
      Reg acc[kGroup][3];
      for (Index I = g; I < group_end; ++I) {
        const Index rows = min_index(W, n - I * W);
        pos[I - g][0] = gather_field(bodies + I * W, rows, &Body::x);
        pos[I - g][1] = gather_field(bodies + I * W, rows, &Body::y);
        pos[I - g][2] = gather_field(bodies + I * W, rows, &Body::z);
        acc[I - g][0] = V::set1(0.0);
        acc[I - g][1] = V::set1(0.0);
        acc[I - g][2] = V::set1(0.0);
      }
      // The tiles of the sweep in order; the factors of the next one are
      // computed before the current one is stored and summed, so that the
      // divider never waits for the stores.
      Index I = g;
      Index J = g;
      Reg f[W];
      sweep_factors(bodies, n, pos[0], I, J, f);
      while (true) {
        const bool next_in_column = I < min_index(group_end - 1, J);
        const Index next_i = next_in_column ? I + 1 : g;
        const Index next_j = next_in_column ? J : J + 1;
        const bool more = next_j < blocks;
        Reg next[W];
        if (more) {
          sweep_factors(bodies, n, pos[next_i - g], next_i, next_j, next);
        } else {
          STELLIX_UNROLL
          for (Index k = 0; k < W; ++k)
            next[k] = V::set1(0.0);
        }
        if (kSums && I == g && J < group_end) {
          // Block J's terms from all sources left of the group, read back
          // from its own rows, where earlier groups mirrored them.
          const Index cols = min_index(W, n - J * W);
          for (Index K = 0; K < g; ++K) {
            Reg t[W];
            STELLIX_UNROLL
            for (Index k = 0; k < W; ++k) {
              t[k] = k < cols ? V::loadu(matrix + n * (J * W + k) + K * W) : V::set1(0.0);
            }
            V::transpose(t);
            receive_from(t, W, bodies + K * W, pos[J - g], acc[J - g]);
          }
        }
        sweep_tile<kSums>(bodies, n, matrix, blocks, I, J, f, pos[I - g], acc[I - g],
                          J < group_end ? pos[J - g] : nullptr,
                          J < group_end ? acc[J - g] : nullptr);
        if (!more) break;
        I = next_i;
        J = next_j;
        STELLIX_UNROLL
        for (Index k = 0; k < W; ++k)
          f[k] = next[k];
      }
      if (kSums) {
        for (Index I = g; I < group_end; ++I) {
          const Index i0 = I * W;
          alignas(64) double lanes[3][W];
          V::store(lanes[0], acc[I - g][0]);
          V::store(lanes[1], acc[I - g][1]);
          V::store(lanes[2], acc[I - g][2]);
          for (Index k = 0; k < min_index(W, n - i0); ++k) {
            out[3 * (i0 + k)] = lanes[0][k];
            out[3 * (i0 + k) + 1] = lanes[1][k];
            out[3 * (i0 + k) + 2] = lanes[2][k];
          }
        }
      }
    }
  }

  // ---------------------------------------------------------------------
  // The factor matrix in whole cache lines. An ordinary store first reads
  // its line from memory, so a matrix larger than the caches costs twice its
  // size in traffic, and the mirror writes, which stride across rows, cost
  // more. When every row starts at the same offset within a line (n a
  // multiple of a line), the tiles are laid on the lines instead: each row of
  // a tile and of its mirror is then one whole line, written with
  // non-temporal stores once the matrix outgrows the caches. Only the lines
  // at the edges of the matrix, which it may share with whatever lies around
  // it, are written element by element.

  static constexpr Index kLine = 64 / sizeof(double);
  // Register blocks along each side of a line tile.
  static constexpr Index kSide = kLine / W;
  // Rows of line tiles that sweep the columns together.
  static constexpr Index kLineGroup = 16;
  // Below this order the matrix fits in the caches, where the caller will
  // read it next; non-temporal stores would push it out to memory.
  static constexpr Index kStreamFrom = 2048;
  // With two registers per side, the sums of a tile do not fit in the
  // registers beside its factors and the tile before; they then follow the
  // factors instead of running among them, which measured faster with
  // 256-bit vectors and slower with 512-bit ones.
  static constexpr bool kSplitSums = kSide > 1;

  static bool on_lines(Index n, const double* matrix) {
    if constexpr (!V::kStreams) {
      return false;
    } else {
      const auto address = reinterpret_cast<std::uintptr_t>(matrix);
      return n % kLine == 0 && address % sizeof(double) == 0;
    }
  }

  // A line tile: rows r0 .. r0 + kLine, columns c0 .. c0 + kLine.
  struct LineTile {
    Index r0;
    Index c0;
    bool diagonal;
    bool whole;  // all of it inside the matrix
  };

  // The positions of a line tile's rows, kSide registers per coordinate.
  struct LineRows {
    Reg x[kSide];
    Reg y[kSide];
    Reg z[kSide];
  };

  // Running sums of a line tile's bodies: kLine x's, then y's, then z's.
  struct LineSums {
    Reg x[kSide];
    Reg y[kSide];
    Reg z[kSide];
  };

  static LineSums load_sums(const double* p) {
    LineSums s;
    for (Index h = 0; h < kSide; ++h) {
      s.x[h] = V::loadu(p + h * W);
      s.y[h] = V::loadu(p + kLine + h * W);
      s.z[h] = V::loadu(p + 2 * kLine + h * W);
    }
    return s;
  }

  static void store_sums(double* p, const LineSums& s) {
    for (Index h = 0; h < kSide; ++h) {
      V::storeu(p + h * W, s.x[h]);
      V::storeu(p + kLine + h * W, s.y[h]);
      V::storeu(p + 2 * kLine + h * W, s.z[h]);
    }
  }

  // acc = (x_j - x_r) * (F_rj * m_j) + acc for the receivers r in lanes, f
  // holding their factors with source b.
  static void add_term(LineSums& acc, const LineRows& r, const double* f, const Body& b) {
    const Reg m = V::set1(b.mass);
    const Reg xj = V::set1(b.x);
    const Reg yj = V::set1(b.y);
    const Reg zj = V::set1(b.z);
    STELLIX_UNROLL
    for (Index h = 0; h < kSide; ++h) {
      const Reg w = V::mul(V::load(f + h * W), m);
      acc.x[h] = V::add(V::mul(V::sub(xj, r.x[h]), w), acc.x[h]);
      acc.y[h] = V::add(V::mul(V::sub(yj, r.y[h]), w), acc.y[h]);
      acc.z[h] = V::add(V::mul(V::sub(zj, r.z[h]), w), acc.z[h]);
    }
  }

  // A tile waiting to be written out, and, for the accelerations, where
  // the sums of its rows' and its columns' bodies wait.
  struct Pending {
    LineTile tile;
    LineRows rows;
    LineRows columns;
    double* row_sums;
    double* column_sums;
  };

  // Rows outside the matrix are padding at the origin: their factors are
  // computed like any other and never stored.
  static LineRows line_rows(const Body* bodies, Index n, Index r0) {
    alignas(64) double xyz[3][kLine];
    for (Index k = 0; k < kLine; ++k) {
      const Index i = r0 + k;
      const bool real = i >= 0 && i < n;
      xyz[0][k] = real ? bodies[i].x : 0.0;
      xyz[1][k] = real ? bodies[i].y : 0.0;
      xyz[2][k] = real ? bodies[i].z : 0.0;
    }
    LineRows rows;
    for (Index h = 0; h < kSide; ++h) {
      rows.x[h] = V::load(xyz[0] + h * W);
      rows.y[h] = V::load(xyz[1] + h * W);
      rows.z[h] = V::load(xyz[2] + h * W);
    }
    return rows;
  }

  template <bool kStream>
  static void put_whole(double* p, Reg v) {
    if constexpr (kStream) {
      V::stream(p, v);
    } else {
      V::store(p, v);
    }
  }

  // Columns col .. col + W of a row at the edge of the matrix: only those
  // inside it.
  static void put_edge(double* row, Index col, Index n, Reg v) {
    alignas(64) double lanes[W];
    V::store(lanes, v);
    for (Index k = 0; k < W; ++k) {
      if (col + k >= 0 && col + k < n) row[col + k] = lanes[k];
    }
  }

  // The factors of a line tile go to `fac`, fac[kLine * j + k] holding
  // element (r0 + k, c0 + j), which is also element (c0 + j, r0 + k): fac's
  // rows are the mirror's rows. With kEmit, the whole tile before, `prev`,
  // is written out meanwhile, a row of it and a row of its mirror per
  // source, so that the stores run alongside the divisions; `prev_rows`
  // holds its rows (its factors transposed). With kSums its rows' bodies
  // take the terms of its columns' bodies and, off the diagonal, the other
  // way round.
  template <bool kStream, bool kEmit, bool kSums>
  static void line_step(const Body* bodies, const Body* src, const LineRows& rows, bool diagonal,
                        double* fac, double* matrix, Index n, const Pending& prev,
                        const double* prev_fac, const double* prev_rows) {
    const Reg c = V::set1(kCouplingRoot);
    LineSums row_acc;
    LineSums column_acc;
    if constexpr (kEmit && kSums) {
      row_acc = load_sums(prev.row_sums);
      if (!prev.tile.diagonal) column_acc = load_sums(prev.column_sums);
    }
    STELLIX_UNROLL
    for (Index j = 0; j < kLine; ++j) {
      const Reg xj = V::set1(src[j].x);
      const Reg yj = V::set1(src[j].y);
      const Reg zj = V::set1(src[j].z);
      STELLIX_UNROLL
      for (Index h = 0; h < kSide; ++h) {
        const Reg dx = V::sub(rows.x[h], xj);
        const Reg dy = V::sub(rows.y[h], yj);
        const Reg dz = V::sub(rows.z[h], zj);
        const Reg s = V::add(V::add(V::mul(dx, dx), V::mul(dy, dy)), V::mul(dz, dz));
        const Reg q = V::div(c, V::sqrt(s));
        V::store(fac + kLine * j + h * W, V::mul(V::mul(q, q), q));
      }
      if constexpr (kEmit) {
        const LineTile& t = prev.tile;
        double* row = matrix + n * (t.r0 + j) + t.c0;
        STELLIX_UNROLL
        for (Index h = 0; h < kSide; ++h)
          put_whole<kStream>(row + h * W, V::load(prev_rows + kLine * j + h * W));
        if constexpr (kSums && !kSplitSums) {
          add_term(row_acc, prev.rows, prev_fac + kLine * j, bodies[t.c0 + j]);
        }
        if (!t.diagonal) {
          double* mirror = matrix + n * (t.c0 + j) + t.r0;
          STELLIX_UNROLL
          for (Index h = 0; h < kSide; ++h)
            put_whole<kStream>(mirror + h * W, V::load(prev_fac + kLine * j + h * W));
          if constexpr (kSums && !kSplitSums) {
            add_term(column_acc, prev.columns, prev_rows + kLine * j, bodies[t.r0 + j]);
          }
        }
      }
    }
    if constexpr (kEmit && kSums) {
      if constexpr (kSplitSums) {
        STELLIX_UNROLL
        for (Index j = 0; j < kLine; ++j)
          add_term(row_acc, prev.rows, prev_fac + kLine * j, bodies[prev.tile.c0 + j]);
      }
      store_sums(prev.row_sums, row_acc);
      if (!prev.tile.diagonal) {
        if constexpr (kSplitSums) {
          STELLIX_UNROLL
          for (Index j = 0; j < kLine; ++j)
            add_term(column_acc, prev.columns, prev_rows + kLine * j, bodies[prev.tile.r0 + j]);
        }
        store_sums(prev.column_sums, column_acc);
      }
    }
    if (diagonal) {
      for (Index j = 0; j < kLine; ++j)
        fac[kLine * j + j] = 0.0;
    }
  }

  // rows[kLine * k + j] = fac[kLine * j + k], in W-by-W blocks.
  static void transpose_line_tile(const double* fac, double* rows) {
    STELLIX_UNROLL
    for (Index jb = 0; jb < kSide; ++jb) {
      STELLIX_UNROLL
      for (Index kb = 0; kb < kSide; ++kb) {
        Reg t[W];
        STELLIX_UNROLL
        for (Index u = 0; u < W; ++u)
          t[u] = V::load(fac + kLine * (jb * W + u) + kb * W);
        V::transpose(t);
        STELLIX_UNROLL
        for (Index v = 0; v < W; ++v)
          V::store(rows + kLine * (kb * W + v) + jb * W, t[v]);
      }
    }
  }

  // One side of a tile at the edge of the matrix: `written` row by row into
  // rows first_row.., columns first_col.., element by element where they
  // leave the matrix; with kSums, `receivers` (sums at `sums`) take the
  // terms of the bodies from first_col on that are inside it, their factors
  // in `summed`. The tile itself is one side, its mirror, with the buffers
  // swapped, the other.
  template <bool kSums>
  static void emit_edge_side(const Body* bodies, const double* written, const double* summed,
                             Index first_row, Index first_col, const LineRows& receivers,
                             double* sums, double* matrix, Index n) {
    for (Index j = 0; j < kLine; ++j) {
      const Index r = first_row + j;
      if (r < 0 || r >= n) continue;
      for (Index h = 0; h < kSide; ++h)
        put_edge(matrix + n * r, first_col + h * W, n, V::load(written + kLine * j + h * W));
    }
    if constexpr (kSums) {
      LineSums acc = load_sums(sums);
      for (Index j = 0; j < kLine; ++j) {
        const Index s = first_col + j;
        if (s >= 0 && s < n) add_term(acc, receivers, summed + kLine * j, bodies[s]);
      }
      store_sums(sums, acc);
    }
  }

  // A tile at the edge of the matrix, or the last one.
  template <bool kSums>
  static void emit_edge(const Body* bodies, const Pending& prev, const double* fac,
                        const double* rows, double* matrix, Index n) {
    const LineTile& t = prev.tile;
    emit_edge_side<kSums>(bodies, rows, fac, t.r0, t.c0, prev.rows, prev.row_sums, matrix, n);
    if (!t.diagonal) {
      emit_edge_side<kSums>(bodies, fac, rows, t.c0, t.r0, prev.columns, prev.column_sums, matrix,
                            n);
    }
  }

  // Line tiles (R, C), R <= C, in sweeps of kLineGroup rows of tiles, as in
  // sweep(); each tile is written out while the next one is computed.
  //
  // With kSums, every tile's rows take the terms of its columns and its
  // columns those of its rows, in the order of the tiles: block K's terms
  // then come in ascending source order, from tiles (S, K), S < K, of
  // earlier groups and of its own group's sweep of column K, then from its
  // diagonal tile, the last of that column, then from tiles (K, S) as its
  // group sweeps on. The sums wait in `out` itself, block by block (its
  // x's, then y's, then z's), and are put in order at the end; the tiles
  // that stick out of the matrix keep theirs aside.
  template <bool kStream, bool kSums>
  static void line_matrix(const Body* bodies, Index n, double* matrix, double* out) {
    const auto address = reinterpret_cast<std::uintptr_t>(matrix);
    // Column 0 sits `shift` elements into its line; tile 0 starts that much
    // before it, so that every tile's rows are whole lines.
    const Index shift = static_cast<Index>(address / sizeof(double) % kLine);
    const Index tiles = (n + shift + kLine - 1) / kLine;
    alignas(64) double fac[2][kLine * kLine];
    alignas(64) double rows[2][kLine * kLine];
    double edge_sums[2][3 * kLine] = {};
    const auto sums_of = [&](Index T) -> double* {
      const Index r0 = T * kLine - shift;
      if (r0 < 0) return edge_sums[0];
      if (r0 + kLine > n) return edge_sums[1];
      return out + 3 * r0;
    };
    if constexpr (kSums) {
      for (Index i = 0; i < 3 * n; ++i)
        out[i] = 0.0;
    }
    LineRows group_rows[kLineGroup];
    Pending prev{};
    bool pending = false;
    int slot = 0;
    for (Index g = 0; g < tiles; g += kLineGroup) {
      const Index group_end = min_index(tiles, g + kLineGroup);
      for (Index R = g; R < group_end; ++R)
        group_rows[R - g] = line_rows(bodies, n, R * kLine - shift);
      for (Index C = g; C < tiles; ++C) {
        const Index c0 = C * kLine - shift;
        const bool whole_columns = c0 >= 0 && c0 + kLine <= n;
        Body padded[kLine];
        if (!whole_columns) {
          for (Index k = 0; k < kLine; ++k) {
            const Index i = c0 + k;
            padded[k] = i >= 0 && i < n ? bodies[i] : Body{};
          }
        }
        const Body* src = whole_columns ? bodies + c0 : padded;
        LineRows columns{};
        if constexpr (kSums) columns = line_rows(bodies, n, c0);
        for (Index R = g; R < group_end && R <= C; ++R) {
          const Index r0 = R * kLine - shift;
          const Pending next{LineTile{r0, c0, R == C, whole_columns && r0 >= 0 && r0 + kLine <= n},
                             group_rows[R - g], columns, kSums ? sums_of(R) : nullptr,
                             kSums ? sums_of(C) : nullptr};
          const int last = slot ^ 1;
          if (pending && prev.tile.whole) {
            line_step<kStream, true, kSums>(bodies, src, next.rows, next.tile.diagonal, fac[slot],
                                            matrix, n, prev, fac[last], rows[last]);
          } else {
            line_step<kStream, false, kSums>(bodies, src, next.rows, next.tile.diagonal, fac[slot],
                                             matrix, n, prev, nullptr, nullptr);
            if (pending) emit_edge<kSums>(bodies, prev, fac[last], rows[last], matrix, n);
          }
          transpose_line_tile(fac[slot], rows[slot]);
          prev = next;
          pending = true;
          slot = last;
        }
      }
    }
    if (pending) emit_edge<kSums>(bodies, prev, fac[slot ^ 1], rows[slot ^ 1], matrix, n);
    // Non-temporal stores are weakly ordered: without the fence, a caller
    // that hands the matrix to another thread could publish it before it
    // is all written.
    if constexpr (kStream) V::fence();
    if constexpr (kSums) {
      for (Index T = 0; T < tiles; ++T) {
        const Index r0 = T * kLine - shift;
        double sums[3 * kLine];
        const double* s = sums_of(T);
        for (Index k = 0; k < 3 * kLine; ++k)
          sums[k] = s[k];
        for (Index k = 0; k < kLine; ++k) {
          if (r0 + k < 0 || r0 + k >= n) continue;
          for (Index axis = 0; axis < 3; ++axis)
            out[3 * (r0 + k) + axis] = sums[axis * kLine + k];
        }
      }
    }
  }

  template <bool kSums>
  static void line_matrix(const Body* bodies, Index n, double* matrix, double* out) {
    if (n >= kStreamFrom) {
      line_matrix<true, kSums>(bodies, n, matrix, out);
    } else {
      line_matrix<false, kSums>(bodies, n, matrix, out);
    }
  }

  static void factor_matrix(const Body* bodies, Index n, double* matrix) {
    if (on_lines(n, matrix)) {
      line_matrix<false>(bodies, n, matrix, nullptr);
    } else {
      sweep<false>(bodies, n, nullptr, matrix);
    }
  }

  static void accelerations_and_matrix(const Body* bodies, Index n, double* out, double* matrix) {
    if (on_lines(n, matrix)) {
      line_matrix<true>(bodies, n, matrix, out);
    } else {
      sweep<true>(bodies, n, out, matrix);
    }
  }

  static constexpr KernelTable table(Isa isa, const char* name) {
    return KernelTable{
        isa, name, &factor_matrix, &accelerations_and_matrix, &accelerations, &workspace_doubles};
  }
};

}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_KERNEL_GENERIC_H
