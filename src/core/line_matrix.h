// The walk over the line tiles (line_tiles.h) that fills the whole matrix
// and, with kSums, the accelerations: line tiles (R, C), R <= C, in sweeps
// of kLineGroup rows of tiles, each tile written out while the next one is
// computed.
//
// With kSums, every tile's rows take the terms of its columns and its
// columns those of its rows, in the order of the tiles: block K's terms
// then come in ascending source order, from tiles (S, K), S < K, of earlier
// groups and of its own group's sweep of column K, then from its diagonal
// tile, the last of that column, then from tiles (K, S) as its group sweeps
// on. The sums wait in `out` itself, block by block (its x's, then y's, then
// z's), and are put in order at the end; the tiles that stick out of the
// matrix keep theirs aside.
#ifndef STELLIX_SRC_CORE_LINE_MATRIX_H
#define STELLIX_SRC_CORE_LINE_MATRIX_H

#include <cstdint>

#include "line_tiles.h"

namespace stellix::detail {
namespace {

// Where the sums of each block of kLine bodies wait: in `out` itself, or
// aside for the two blocks that stick out of the matrix.
template <Index kLine>
struct LineSumsAt {
  double* out;
  Index n;
  Index shift;
  double (*edge)[3 * kLine];

  void clear() const {
    for (Index i = 0; i < 3 * n; ++i)
      out[i] = 0.0;
  }

  double* operator()(Index t) const {
    const Index r0 = t * kLine - shift;
    if (r0 < 0) return edge[0];
    if (r0 + kLine > n) return edge[1];
    return out + 3 * r0;
  }

  // The sums, block by block, to the three-vector array.
  void put(Index tiles) const {
    for (Index t = 0; t < tiles; ++t) {
      const Index r0 = t * kLine - shift;
      double sums[3 * kLine];
      const double* s = (*this)(t);
      for (Index k = 0; k < 3 * kLine; ++k)
        sums[k] = s[k];
      for (Index k = 0; k < kLine; ++k) {
        if (r0 + k < 0 || r0 + k >= n) continue;
        for (Index axis = 0; axis < 3; ++axis)
          out[3 * (r0 + k) + axis] = sums[axis * kLine + k];
      }
    }
  }
};

// Column 0 sits this many elements into its line; tile 0 starts that much
// before it, so that every tile's rows are whole lines.
template <Index kLine>
Index line_shift(const double* matrix) {
  return static_cast<Index>(reinterpret_cast<std::uintptr_t>(matrix) / sizeof(double) % kLine);
}

// The sources of the column of tiles from c0: the bodies themselves, or
// their padded copy in `padded` where the column leaves the matrix.
template <Index kLine>
const Body* line_sources(const Body* bodies, Index n, Index c0, Body* padded) {
  if (c0 >= 0 && c0 + kLine <= n) return bodies + c0;
  for (Index k = 0; k < kLine; ++k)
    padded[k] = body_or_padding(bodies, n, c0 + k);
  return padded;
}

// Whether a tile is transposed in the step after its own, when its
// divisions are long done, rather than right after them, where it holds
// up the next tile's square roots. With the sums that measured 1 to 4%
// faster; for the matrix alone, whose steps are short, 4% slower with
// 256-bit vectors and no faster with 512-bit ones.
template <bool kSums>
inline constexpr bool kLateTranspose = kSums;

// Tile `next` computed into `fac` from its sources `src` while the tile
// before, `prev` if `pending`, is written out of `prev_fac` and `rows`,
// its transposition; the transposition of `next` into `rows` follows, or
// with kLateTranspose precedes the next step.
template <VectorTraits V, bool kStream, bool kSums>
STELLIX_INLINE void line_tile_step(const Body* bodies, const Body* src, double* matrix, Index n,
                                   const typename LineTiles<V>::Pending& next, bool pending,
                                   const typename LineTiles<V>::Pending& prev, double* fac,
                                   double* prev_fac, double* rows) {
  using T = LineTiles<V>;
  if constexpr (kLateTranspose<kSums>) {
    if (pending) T::transpose_line_tile(prev_fac, rows);
  }
  // The step without a tile to write out still takes `prev`: handing it
  // `next` instead measured 10% slower with 512-bit vectors.
  if (pending && prev.tile.whole) {
    T::template line_step<kStream, true, kSums>(bodies, src, next.rows, next.tile.diagonal, fac,
                                                matrix, n, prev, prev_fac, rows);
  } else {
    T::template line_step<kStream, false, kSums>(bodies, src, next.rows, next.tile.diagonal, fac,
                                                 matrix, n, prev, nullptr, nullptr);
    if (pending) T::template emit_edge<kSums>(bodies, prev, prev_fac, rows, matrix, n);
  }
  if constexpr (!kLateTranspose<kSums>) T::transpose_line_tile(fac, rows);
}

// The walk keeps its state in locals and the tile before by value: held in
// an object, or in one of two slots picked at run time, it measured 5 to
// 10% slower with 512-bit vectors.
template <VectorTraits V, bool kStream, bool kSums>
void line_walk(const Body* bodies, Index n, double* matrix, double* out) {
  using T = LineTiles<V>;
  using Pending = typename T::Pending;
  constexpr Index kLine = T::kLine;
  const Index shift = line_shift<kLine>(matrix);
  const Index tiles = (n + shift + kLine - 1) / kLine;
  alignas(64) double fac[2][kLine * kLine];
  // The rows of one tile: each step writes out those of the tile before
  // before it transposes its own.
  alignas(64) double rows[kLine * kLine];
  double edge_sums[2][3 * kLine] = {};
  const LineSumsAt<kLine> sums_of{out, n, shift, edge_sums};
  if constexpr (kSums) sums_of.clear();
  typename T::Side group_rows[T::kLineGroup];
  Pending prev{};
  bool pending = false;
  int slot = 0;
  for (Index g = 0; g < tiles; g += T::kLineGroup) {
    const Index group_end = min_index(tiles, g + T::kLineGroup);
    for (Index R = g; R < group_end; ++R)
      group_rows[R - g] = T::line_bodies(bodies, n, R * kLine - shift);
    for (Index C = g; C < tiles; ++C) {
      const Index c0 = C * kLine - shift;
      Body padded[kLine];
      const Body* src = line_sources<kLine>(bodies, n, c0, padded);
      typename T::Side columns{};
      if constexpr (kSums) columns = T::line_bodies(bodies, n, c0);
      for (Index R = g; R < group_end && R <= C; ++R) {
        const Index r0 = R * kLine - shift;
        const bool whole = src != padded && r0 >= 0 && r0 + kLine <= n;
        const Pending next{{r0, c0, R == C, whole},
                           group_rows[R - g],
                           columns,
                           kSums ? sums_of(R) : nullptr,
                           kSums ? sums_of(C) : nullptr};
        line_tile_step<V, kStream, kSums>(bodies, src, matrix, n, next, pending, prev, fac[slot],
                                          fac[slot ^ 1], rows);
        prev = next;
        pending = true;
        slot ^= 1;
      }
    }
  }
  if (pending) {
    if constexpr (kLateTranspose<kSums>) T::transpose_line_tile(fac[slot ^ 1], rows);
    T::template emit_edge<kSums>(bodies, prev, fac[slot ^ 1], rows, matrix, n);
  }
  // Non-temporal stores are weakly ordered: without the fence, a caller
  // that hands the matrix to another thread could publish it before it
  // is all written.
  if constexpr (kStream) V::fence();
  if constexpr (kSums) sums_of.put(tiles);
}

template <VectorTraits V, bool kSums>
void line_matrix(const Body* bodies, Index n, double* matrix, double* out) {
  if (n >= LineTiles<V>::kStreamFrom) {
    line_walk<V, true, kSums>(bodies, n, matrix, out);
  } else {
    line_walk<V, false, kSums>(bodies, n, matrix, out);
  }
}

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_LINE_MATRIX_H
