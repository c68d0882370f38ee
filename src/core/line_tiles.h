// The factor matrix in whole cache lines, with or without the
// accelerations. An ordinary store first reads its line from memory, so a
// matrix larger than the caches costs twice its size in traffic, and the
// mirror writes, which stride across rows, cost more. When every row starts
// at the same offset within a line (n a multiple of a line), the tiles are
// laid on the lines instead: each row of a tile and of its mirror is then
// one whole line, written with non-temporal stores once the matrix outgrows
// the caches. Only the lines at the edges of the matrix, which it may share
// with whatever lies around it, are written element by element.
#ifndef STELLIX_SRC_CORE_LINE_TILES_H
#define STELLIX_SRC_CORE_LINE_TILES_H

#include <cstdint>

#include "kernel_primitives.h"

namespace stellix::detail {
namespace {

template <VectorTraits V>
struct LineTiles {
  using P = Prim<V>;
  using Reg = typename V::Reg;
  static constexpr Index W = V::kWidth;

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

  // Positions or running sums of a line of bodies, kSide registers each.
  struct Side {
    Xyz<Reg> h[kSide];
  };

  // A line tile: rows r0 .. r0 + kLine, columns c0 .. c0 + kLine.
  struct LineTile {
    Index r0;
    Index c0;
    bool diagonal;
    bool whole;  // all of it inside the matrix
  };

  // A tile waiting to be written out, and, for the accelerations, where
  // the sums of its rows' and its columns' bodies wait (kLine x's, then
  // y's, then z's).
  struct Pending {
    LineTile tile;
    Side rows;
    Side columns;
    double* row_sums;
    double* column_sums;
  };

  static Side load_sums(const double* p) {
    Side s;
    for (Index h = 0; h < kSide; ++h)
      s.h[h] = {V::loadu(p + h * W), V::loadu(p + kLine + h * W), V::loadu(p + 2 * kLine + h * W)};
    return s;
  }

  static void store_sums(double* p, const Side& s) {
    for (Index h = 0; h < kSide; ++h) {
      V::storeu(p + h * W, s.h[h].x);
      V::storeu(p + kLine + h * W, s.h[h].y);
      V::storeu(p + 2 * kLine + h * W, s.h[h].z);
    }
  }

  // The bodies of a line from r0 on, padding outside the matrix.
  static Side line_bodies(const Body* bodies, Index n, Index r0) {
    alignas(64) double xyz[3][kLine];
    copy_padded(bodies, n, r0, kLine, Xyz<double*>{xyz[0], xyz[1], xyz[2]}, nullptr);
    Side side;
    for (Index h = 0; h < kSide; ++h)
      side.h[h] = P::load(Xyz<const double*>{xyz[0], xyz[1], xyz[2]}, h * W);
    return side;
  }

  // The receivers `r` take the term of source b; f holds their factors
  // with it.
  STELLIX_INLINE static void add_term(Side& acc, const Side& r, const double* f, const Body& b) {
    const Reg m = V::set1(b.mass);
    const Xyz<Reg> src = P::broadcast(b);
    STELLIX_UNROLL
    for (Index h = 0; h < kSide; ++h)
      P::add_term(acc.h[h], P::minus(src, r.h[h]), V::load(f + h * W), m);
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

  // Row j of the whole tile `prev` and of its mirror written out; with
  // kSums, the matching terms summed.
  template <bool kStream, bool kSums>
  STELLIX_INLINE static void emit_line(const Body* bodies, double* matrix, Index n,
                                       const Pending& prev, Index j, const double* prev_fac,
                                       const double* prev_rows, Side& row_acc, Side& column_acc) {
    const LineTile& t = prev.tile;
    double* row = matrix + n * (t.r0 + j) + t.c0;
    STELLIX_UNROLL
    for (Index h = 0; h < kSide; ++h)
      put_whole<kStream>(row + h * W, V::load(prev_rows + kLine * j + h * W));
    if constexpr (kSums) add_term(row_acc, prev.rows, prev_fac + kLine * j, bodies[t.c0 + j]);
    if (t.diagonal) return;
    double* mirror = matrix + n * (t.c0 + j) + t.r0;
    STELLIX_UNROLL
    for (Index h = 0; h < kSide; ++h)
      put_whole<kStream>(mirror + h * W, V::load(prev_fac + kLine * j + h * W));
    if constexpr (kSums)
      add_term(column_acc, prev.columns, prev_rows + kLine * j, bodies[t.r0 + j]);
  }

  // The sums of the whole tile `prev` after its lines, where they follow
  // the factors rather than run among them.
  STELLIX_INLINE static void finish_sums(const Body* bodies, const Pending& prev,
                                         const double* prev_fac, const double* prev_rows,
                                         Side& row_acc, Side& column_acc) {
    if constexpr (kSplitSums) {
      STELLIX_UNROLL
      for (Index j = 0; j < kLine; ++j)
        add_term(row_acc, prev.rows, prev_fac + kLine * j, bodies[prev.tile.c0 + j]);
    }
    store_sums(prev.row_sums, row_acc);
    if (prev.tile.diagonal) return;
    if constexpr (kSplitSums) {
      STELLIX_UNROLL
      for (Index j = 0; j < kLine; ++j)
        add_term(column_acc, prev.columns, prev_rows + kLine * j, bodies[prev.tile.r0 + j]);
    }
    store_sums(prev.column_sums, column_acc);
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
  static void line_step(const Body* bodies, const Body* src, const Side& tile_rows, bool diagonal,
                        double* fac, double* matrix, Index n, const Pending& prev_tile,
                        const double* prev_fac, const double* prev_rows) {
    // Copies the compiler can keep in registers: through the references,
    // every store might change the positions, which are then reloaded.
    const Side rows = tile_rows;
    const Pending prev = prev_tile;
    Side row_acc;
    Side column_acc;
    if constexpr (kEmit && kSums) {
      row_acc = load_sums(prev.row_sums);
      if (!prev.tile.diagonal) column_acc = load_sums(prev.column_sums);
    }
    STELLIX_UNROLL
    for (Index j = 0; j < kLine; ++j) {
      const Xyz<Reg> source = P::broadcast(src[j]);
      STELLIX_UNROLL
      for (Index h = 0; h < kSide; ++h)
        V::store(fac + kLine * j + h * W, P::pair_factor(P::minus(rows.h[h], source)));
      if constexpr (kEmit) {
        emit_line<kStream, kSums && !kSplitSums>(bodies, matrix, n, prev, j, prev_fac, prev_rows,
                                                 row_acc, column_acc);
      }
    }
    if constexpr (kEmit && kSums)
      finish_sums(bodies, prev, prev_fac, prev_rows, row_acc, column_acc);
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
                             Index first_row, Index first_col, const Side& receivers, double* sums,
                             double* matrix, Index n) {
    for (Index j = 0; j < kLine; ++j) {
      const Index r = first_row + j;
      if (r < 0 || r >= n) continue;
      for (Index h = 0; h < kSide; ++h)
        put_edge(matrix + n * r, first_col + h * W, n, V::load(written + kLine * j + h * W));
    }
    if constexpr (kSums) {
      Side acc = load_sums(sums);
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
};

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_LINE_TILES_H
