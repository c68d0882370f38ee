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

  // Each block keeps its positions, masses and column sums together, W of
  // each: the tiles then reach every operand from one base address, and
  // the loop keeps its general registers instead of reloading array
  // pointers from the stack.
  static constexpr Index kX = 0;
  static constexpr Index kM = 3 * W;
  static constexpr Index kSums = 4 * W;
  static constexpr Index kPerBody = 7;

  // The blocks, and three tiles of factors: the one being computed, the one
  // waiting for its row use, and the one before, transposed, waiting for
  // its column use.
  struct Space {
    double* blocks;
    double* tiles;
    double* block(Index i0) const { return blocks + kPerBody * i0; }
    Xyz<const double*> pos(Index i0) const {
      const double* b = block(i0) + kX;
      return {b, b + W, b + 2 * W};
    }
    Xyz<double*> sums(Index i0) const {
      double* b = block(i0) + kSums;
      return {b, b + W, b + 2 * W};
    }
    typename P::FromArrays sources(Index i0) const { return {pos(i0), block(i0) + kM}; }
    double* slot(Index s) const { return tiles + W * W * s; }
  };

  // The blocks, padded to whole ones, three tiles and slack to align them.
  static std::size_t workspace_doubles(Index n) {
    const Index padded = (n + W - 1) / W * W;
    return static_cast<std::size_t>(kPerBody * padded + 3 * W * W + W);
  }

  // Padding bodies only ever receive: the row use stops at n, and column use
  // happens only for blocks before the last one.
  static Space lay_out(const Body* bodies, Index n, double* workspace) {
    const Index padded = (n + W - 1) / W * W;
    const Space ws{align_up(workspace, sizeof(double) * W), nullptr};
    for (Index i0 = 0; i0 < padded; i0 += W) {
      double* b = ws.block(i0);
      copy_padded(bodies, n, i0, W, Xyz<double*>{b, b + W, b + 2 * W}, b + kM);
      for (Index k = 0; k < 3 * W; ++k)
        b[kSums + k] = 0.0;
    }
    return Space{ws.blocks, ws.blocks + kPerBody * padded};
  }

  // The factors of tile (I, J), block I in lanes, to `fac`, fac[W * j]
  // holding those with source j of block J.
  STELLIX_INLINE static void factors(const Space& ws, const Xyz<Reg>& row, Index j0, double* fac) {
    const typename P::FromArrays src = ws.sources(j0);
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j)
      V::store(fac + W * j, P::pair_factor(P::minus(row, src.at(j))));
  }

  // One step of the pipeline at tile (I, J), whose factors wait in `fac`:
  // the factors of tile (I, J + 1) go to `next` (kNext); block I (positions
  // `row`, sums `r`) takes the terms of block J; block J - 1 takes those of
  // block I from the tile before, transposed in `trans` (kColumn); and
  // tile (I, J) is transposed into `trans` for the next step. Each use thus
  // runs a step after the divisions it needs, among those of the next tile.
  template <bool kNext, bool kColumn>
  STELLIX_INLINE static void step(const Space& ws, const Xyz<Reg>& row, Index i0, Index j0,
                                  Xyz<Reg>& r, const double* fac, double* next, double* trans) {
    Reg f[W];
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j)
      f[j] = V::load(fac + W * j);
    const typename P::FromArrays src = ws.sources(j0);
    const typename P::FromArrays later = ws.sources(j0 + W);
    const typename P::FromArrays own = ws.sources(i0);
    const Xyz<double*> sums = ws.sums(j0 - W);
    Xyz<Reg> c;
    Xyz<Reg> column;
    if constexpr (kColumn) {
      c = P::load(P::at(sums, 0), 0);
      column = P::load(ws.pos(j0 - W), 0);
    }
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j) {
      if constexpr (kNext) V::store(next + W * j, P::pair_factor(P::minus(row, later.at(j))));
      // Where a broadcast source can be the subtrahend in one instruction,
      // the differences are taken from the receiver and the row use
      // subtracts its product.
      if constexpr (V::kBroadcastOperand) {
        P::add_term_away(r, P::minus(row, src.at(j)), f[j], src.mass(j));
      } else {
        P::add_term(r, P::minus(src.at(j), row), f[j], src.mass(j));
      }
      if constexpr (kColumn)
        P::add_term(c, P::minus(own.at(j), column), V::load(trans + W * j), own.mass(j));
    }
    if constexpr (kColumn) P::store(sums, 0, c);
    V::transpose(f);
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j)
      V::store(trans + W * j, f[j]);
  }

  // Column use by block p0 of a tile of row i0 whose transposed factors
  // are `f`.
  STELLIX_INLINE static void column_use(const Space& ws, Index i0, Index p0, const Reg* f) {
    const Xyz<double*> sums = ws.sums(p0);
    Xyz<Reg> c = P::load(P::at(sums, 0), 0);
    P::template receive<W>(f, W, ws.sources(i0), P::load(ws.pos(p0), 0), c);
    P::store(sums, 0, c);
  }

  // The own term is included with F_ii = +0.0: it changes nothing for
  // finite data and makes a non-finite body's sum NaN, as it must.
  static void diagonal_tile(const Space& ws, Index n, Index i0, const Xyz<Reg>& row, Xyz<Reg>& r) {
    const Index count = min_index(W, n - i0);
    const typename P::FromArrays src = ws.sources(i0);
    Reg f[W];
    P::template tile_factors<0>(row, src, count, f);
    P::zero_diagonal(f);
    if (count == W) {
      P::template receive<W>(f, W, src, row, r);
    } else {
      P::template receive<0>(f, count, src, row, r);
    }
  }

  // The whole tiles right of the diagonal, software-pipelined: each step
  // issues the square roots and divisions of the next tile among the row
  // use of the current one and the column use of the one before, whose
  // factors are ready by then. The uses depend only on finished work, so
  // they never crowd out the next tile's divisions while they wait; the
  // last two uses follow the loop. Returns where the whole tiles end.
  static Index whole_tiles(const Space& ws, Index n, Index i0, const Xyz<Reg>& row, Xyz<Reg>& r) {
    const Index whole_end = n / W * W;
    Index j0 = i0 + W;
    if (j0 + W > whole_end) return j0;
    double* const trans = ws.slot(2);
    factors(ws, row, j0, ws.slot(0));
    Index s = 0;
    if (j0 + 2 * W <= whole_end) {
      step<true, false>(ws, row, i0, j0, r, ws.slot(0), ws.slot(1), trans);
      s = 1;
      for (j0 += W; j0 + 2 * W <= whole_end; j0 += W) {
        step<true, true>(ws, row, i0, j0, r, ws.slot(s), ws.slot(s ^ 1), trans);
        s ^= 1;
      }
      step<false, true>(ws, row, i0, j0, r, ws.slot(s), nullptr, trans);
    } else {
      step<false, false>(ws, row, i0, j0, r, ws.slot(0), nullptr, trans);
    }
    Reg f[W];
    STELLIX_UNROLL
    for (Index k = 0; k < W; ++k)
      f[k] = V::load(trans + W * k);
    column_use(ws, i0, j0, f);
    return j0 + W;
  }

  // The short last block as the sources of row i0 (which is whole: only
  // the last block can be short, and it has no tiles right of its
  // diagonal), then as the receivers.
  static void short_tile(const Space& ws, Index n, Index i0, Index j0, const Xyz<Reg>& row,
                         Xyz<Reg>& r) {
    const Index count = n - j0;
    Reg f[W];
    P::template tile_factors<0>(row, ws.sources(j0), count, f);
    P::template receive<0>(f, count, ws.sources(j0), row, r);
    V::transpose(f);
    column_use(ws, i0, j0, f);
  }

  static void accelerations(const Body* bodies, Index n, double* out, double* workspace) {
    if (n <= 0) return;
    const Space ws = lay_out(bodies, n, workspace);
    const Index blocks = (n + W - 1) / W;
    for (Index i0 = 0; i0 < blocks * W; i0 += W) {
      const Xyz<Reg> row = P::load(ws.pos(i0), 0);
      Xyz<Reg> r = P::load(P::at(ws.sums(i0), 0), 0);
      diagonal_tile(ws, n, i0, row, r);
      const Index j0 = whole_tiles(ws, n, i0, row, r);
      if (j0 < n) short_tile(ws, n, i0, j0, row, r);
      P::store(ws.sums(i0), 0, r);
    }
    for (Index i = 0; i < n; ++i) {
      const Xyz<double*> sums = ws.sums(i / W * W);
      out[3 * i] = sums.x[i % W];
      out[3 * i + 1] = sums.y[i % W];
      out[3 * i + 2] = sums.z[i % W];
    }
  }
};

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_PAIR_TILES_H
