// Accelerations without a matrix, for the simulation run: every pair's
// factor is computed once and serves both bodies.
//
// The bodies are cut into blocks of W, and the tiles (I, J), I <= J, of the
// upper triangle are walked row by row. Tile (I, J) is used twice: by its
// row, block I taking the terms of block J (the sums in registers for the
// whole row), and, transposed, by its column, block J taking the terms of
// block I (the sums in the workspace). Body k of block K then receives its
// terms in exactly ascending source order: from the blocks K' < K through
// the column uses of tiles (K', K), walked in earlier rows; then from its
// own block through the diagonal tile; then from the blocks J > K through
// the row uses of tiles (K, J).
#ifndef STELLIX_SRC_CORE_PAIR_TILES_H
#define STELLIX_SRC_CORE_PAIR_TILES_H

#include <cstddef>

#include "kernel_primitives.h"

namespace stellix::detail {
namespace {

template <VectorTraits V>
struct PairTiles {
  using P = Prim<V>;
  using Reg = typename V::Reg;
  static constexpr Index W = V::kWidth;

  // How many tiles later a tile's column use follows its row use, so that
  // it does not wait for the divisions of the tile just before.
  static constexpr Index kDelay = 2;

  // Padded copies of positions and masses, the column sums, and kDelay + 1
  // tiles of factors, tile t in slot t mod (kDelay + 1).
  struct Space {
    Xyz<const double*> pos;
    const double* m;
    Xyz<double*> acc;
    double* tiles;
    double* in_slot(Index s) const { return tiles + W * W * s; }
    double* slot(Index t) const { return in_slot(t % (kDelay + 1)); }
  };

  // The arrays, each padded to whole blocks, the tiles and slack to align
  // them.
  static std::size_t workspace_doubles(Index n) {
    const Index padded = (n + W - 1) / W * W;
    return static_cast<std::size_t>(7 * padded + (kDelay + 1) * W * W + W);
  }

  static typename P::FromArrays sources(const Space& ws, Index j0) {
    return {P::at(ws.pos, j0), ws.m + j0};
  }

  // Padding bodies only ever receive: the row use stops at n, and column use
  // happens only for blocks before the last one.
  static Space lay_out(const Body* bodies, Index n, double* workspace) {
    const Index padded = (n + W - 1) / W * W;
    double* base = align_up(workspace, sizeof(double) * W);
    const Xyz<double*> pos{base, base + padded, base + 2 * padded};
    double* m = base + 3 * padded;
    const Xyz<double*> acc{m + padded, m + 2 * padded, m + 3 * padded};
    copy_padded(bodies, n, 0, padded, pos, m);
    for (Index i = 0; i < padded; ++i) {
      acc.x[i] = 0.0;
      acc.y[i] = 0.0;
      acc.z[i] = 0.0;
    }
    return Space{{pos.x, pos.y, pos.z}, m, acc, acc.z + padded};
  }

  // The factors of whole tile (I, J) with their row use by block I,
  // interleaved (kColumn) with the column use of an earlier tile of the row,
  // whose transposed factors wait in `prev`, by its block at p0: so the
  // divider always has work queued while the other uses run. The factors go
  // to `next` and are transposed there at the end. Both tiles sit in the
  // workspace rather than in registers, which the sums and positions need.
  template <bool kColumn>
  static void pair_step(const Space& ws, const Xyz<Reg>& row, Index i0, Index j0, Xyz<Reg>& r,
                        const double* prev, Index p0, double* next) {
    Xyz<Reg> c;
    if constexpr (kColumn) c = P::load(P::at(ws.acc, 0), p0);
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j) {
      const Xyz<Reg> src = P::broadcast(ws.pos, j0 + j);
      const Reg m = V::set1(ws.m[j0 + j]);
      // Where a broadcast source can be the subtrahend in one instruction,
      // the differences are taken from the receiver and the row use
      // subtracts its product.
      if constexpr (V::kBroadcastOperand) {
        const Xyz<Reg> away = P::minus(row, src);
        const Reg f = P::pair_factor(away);
        V::store(next + W * j, f);
        P::add_term_away(r, away, f, m);
      } else {
        const Xyz<Reg> toward = P::minus(src, row);
        const Reg f = P::pair_factor(toward);
        V::store(next + W * j, f);
        P::add_term(r, toward, f, m);
      }
      if constexpr (kColumn) {
        const Xyz<Reg> toward = P::minus(P::broadcast(ws.pos, i0 + j), P::load(ws.pos, p0));
        P::add_term(c, toward, V::load(prev + W * j), V::set1(ws.m[i0 + j]));
      }
    }
    if constexpr (kColumn) P::store(ws.acc, p0, c);
    Reg t[W];
    STELLIX_UNROLL
    for (Index k = 0; k < W; ++k)
      t[k] = V::load(next + W * k);
    V::transpose(t);
    STELLIX_UNROLL
    for (Index k = 0; k < W; ++k)
      V::store(next + W * k, t[k]);
  }

  // Column use by the block at p0 of a tile of row i0 whose transposed
  // factors are `f`.
  static void column_use(const Space& ws, Index i0, Index p0, const Reg* f) {
    Xyz<Reg> c = P::load(P::at(ws.acc, 0), p0);
    P::template receive<W>(f, W, sources(ws, i0), P::load(ws.pos, p0), c);
    P::store(ws.acc, p0, c);
  }

  // The own term is included with F_ii = +0.0: it changes nothing for
  // finite data and makes a non-finite body's sum NaN, as it must.
  static void diagonal_tile(const Space& ws, Index n, Index i0, const Xyz<Reg>& row, Xyz<Reg>& r) {
    const Index count = min_index(W, n - i0);
    const typename P::FromArrays src = sources(ws, i0);
    Reg f[W];
    P::template tile_factors<0>(row, src, count, f);
    P::zero_diagonal(f);
    if (count == W) {
      P::template receive<W>(f, W, src, row, r);
    } else {
      P::template receive<0>(f, count, src, row, r);
    }
  }

  // The whole tiles right of the diagonal, each column use kDelay steps
  // behind its row use; returns where they end.
  static Index whole_tiles(const Space& ws, Index n, Index i0, const Xyz<Reg>& row, Xyz<Reg>& r) {
    const Index whole_end = n / W * W;
    Index j0 = i0 + W;
    Index t = 0;
    // Tile t's slot, counted rather than divided for: the loop has no
    // general register to spare for the divisor's constant. Tile t - kDelay,
    // due for its column use, is in the slot after it.
    Index s = 0;
    for (; j0 + W <= whole_end; j0 += W, ++t) {
      const Index due = s == kDelay ? 0 : s + 1;
      if (t < kDelay) {
        pair_step<false>(ws, row, i0, j0, r, nullptr, 0, ws.in_slot(s));
      } else {
        pair_step<true>(ws, row, i0, j0, r, ws.in_slot(due), j0 - kDelay * W, ws.in_slot(s));
      }
      s = due;
    }
    // The column uses still owed, oldest first.
    for (Index u = t > kDelay ? t - kDelay : 0; u < t; ++u) {
      Reg f[W];
      STELLIX_UNROLL
      for (Index k = 0; k < W; ++k)
        f[k] = V::load(ws.slot(u) + W * k);
      column_use(ws, i0, i0 + W + u * W, f);
    }
    return j0;
  }

  // The short last block as the sources of row i0 (which is whole: only
  // the last block can be short, and it has no tiles right of its
  // diagonal), then as the receivers.
  static void short_tile(const Space& ws, Index n, Index i0, Index j0, const Xyz<Reg>& row,
                         Xyz<Reg>& r) {
    const Index count = n - j0;
    Reg f[W];
    P::template tile_factors<0>(row, sources(ws, j0), count, f);
    P::template receive<0>(f, count, sources(ws, j0), row, r);
    V::transpose(f);
    column_use(ws, i0, j0, f);
  }

  static void accelerations(const Body* bodies, Index n, double* out, double* workspace) {
    if (n <= 0) return;
    const Space ws = lay_out(bodies, n, workspace);
    const Index blocks = (n + W - 1) / W;
    for (Index i0 = 0; i0 < blocks * W; i0 += W) {
      const Xyz<Reg> row = P::load(ws.pos, i0);
      Xyz<Reg> r = P::load(P::at(ws.acc, 0), i0);
      diagonal_tile(ws, n, i0, row, r);
      const Index j0 = whole_tiles(ws, n, i0, row, r);
      if (j0 < n) short_tile(ws, n, i0, j0, row, r);
      P::store(ws.acc, i0, r);
    }
    for (Index i = 0; i < n; ++i) {
      out[3 * i] = ws.acc.x[i];
      out[3 * i + 1] = ws.acc.y[i];
      out[3 * i + 2] = ws.acc.z[i];
    }
  }
};

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_PAIR_TILES_H
