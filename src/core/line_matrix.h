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

template <VectorTraits V, bool kStream, bool kSums>
struct LineWalk {
  using T = LineTiles<V>;
  using Side = typename T::Side;
  using Pending = typename T::Pending;
  static constexpr Index kLine = T::kLine;

  const Body* bodies;
  Index n;
  double* matrix;
  double* out;
  // Column 0 sits `shift` elements into its line; tile 0 starts that much
  // before it, so that every tile's rows are whole lines.
  Index shift;
  Index tiles;
  alignas(64) double fac[2][kLine * kLine];
  alignas(64) double rows[2][kLine * kLine];
  double edge_sums[2][3 * kLine] = {};
  Side group_rows[T::kLineGroup];
  Pending pend[2]{};
  bool pending = false;
  int slot = 0;

  LineWalk(const Body* b, Index count, double* m, double* o)
      : bodies(b),
        n(count),
        matrix(m),
        out(o),
        shift(static_cast<Index>(reinterpret_cast<std::uintptr_t>(m) / sizeof(double) % kLine)),
        tiles((count + shift + kLine - 1) / kLine) {}

  double* sums_of(Index t) {
    const Index r0 = t * kLine - shift;
    if (r0 < 0) return edge_sums[0];
    if (r0 + kLine > n) return edge_sums[1];
    return out + 3 * r0;
  }

  // Computes tile pend[slot], whose rows are `rows`, from its sources
  // `src` while the tile before, pend[slot ^ 1], is written out. Both
  // tiles stay where they are: a tile is never copied.
  void step(const Side& rows, const Body* src) {
    const int last = slot ^ 1;
    const Pending& next = pend[slot];
    const Pending& prev = pend[last];
    if (pending && prev.tile.whole) {
      T::template line_step<kStream, true, kSums>(bodies, src, rows, next.tile.diagonal, fac[slot],
                                                  matrix, n, prev, fac[last], this->rows[last]);
    } else {
      T::template line_step<kStream, false, kSums>(bodies, src, rows, next.tile.diagonal, fac[slot],
                                                   matrix, n, prev, nullptr, nullptr);
      if (pending) {
        T::template emit_edge<kSums>(bodies, prev, fac[last], this->rows[last], matrix, n);
      }
    }
    T::transpose_line_tile(fac[slot], this->rows[slot]);
    pending = true;
    slot = last;
  }

  // Column C of tiles for the group of rows g .. group_end. The positions
  // of a tile's rows and columns go with it only where its sums need them.
  void column(Index g, Index group_end, Index C) {
    const Index c0 = C * kLine - shift;
    const bool whole_columns = c0 >= 0 && c0 + kLine <= n;
    Body padded[kLine];
    if (!whole_columns) {
      for (Index k = 0; k < kLine; ++k)
        padded[k] = body_or_padding(bodies, n, c0 + k);
    }
    const Body* src = whole_columns ? bodies + c0 : padded;
    Side columns{};
    if constexpr (kSums) columns = T::line_bodies(bodies, n, c0);
    for (Index R = g; R < group_end && R <= C; ++R) {
      const Index r0 = R * kLine - shift;
      Pending& next = pend[slot];
      next.tile = {r0, c0, R == C, whole_columns && r0 >= 0 && r0 + kLine <= n};
      if constexpr (kSums) {
        next.rows = group_rows[R - g];
        next.columns = columns;
        next.row_sums = sums_of(R);
        next.column_sums = sums_of(C);
      }
      step(group_rows[R - g], src);
    }
  }

  // The sums, block by block, to the three-vector array.
  void put_sums() {
    for (Index t = 0; t < tiles; ++t) {
      const Index r0 = t * kLine - shift;
      double sums[3 * kLine];
      const double* s = sums_of(t);
      for (Index k = 0; k < 3 * kLine; ++k)
        sums[k] = s[k];
      for (Index k = 0; k < kLine; ++k) {
        if (r0 + k < 0 || r0 + k >= n) continue;
        for (Index axis = 0; axis < 3; ++axis)
          out[3 * (r0 + k) + axis] = sums[axis * kLine + k];
      }
    }
  }

  void run() {
    if constexpr (kSums) {
      for (Index i = 0; i < 3 * n; ++i)
        out[i] = 0.0;
    }
    for (Index g = 0; g < tiles; g += T::kLineGroup) {
      const Index group_end = min_index(tiles, g + T::kLineGroup);
      for (Index R = g; R < group_end; ++R)
        group_rows[R - g] = T::line_bodies(bodies, n, R * kLine - shift);
      for (Index C = g; C < tiles; ++C)
        column(g, group_end, C);
    }
    if (pending) {
      const int last = slot ^ 1;
      T::template emit_edge<kSums>(bodies, pend[last], fac[last], rows[last], matrix, n);
    }
    // Non-temporal stores are weakly ordered: without the fence, a caller
    // that hands the matrix to another thread could publish it before it
    // is all written.
    if constexpr (kStream) V::fence();
    if constexpr (kSums) put_sums();
  }
};

template <VectorTraits V, bool kSums>
void line_matrix(const Body* bodies, Index n, double* matrix, double* out) {
  if (n >= LineTiles<V>::kStreamFrom) {
    LineWalk<V, true, kSums>(bodies, n, matrix, out).run();
  } else {
    LineWalk<V, false, kSums>(bodies, n, matrix, out).run();
  }
}

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_LINE_MATRIX_H
