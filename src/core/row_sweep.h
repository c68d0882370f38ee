// The whole factor matrix, with or without the accelerations, in W-by-W
// tiles, for any order and any placement of the matrix. No workspace: the
// sources of a tile are read from the bodies themselves.
//
// Where both apply the line tiles are as fast or faster (n = 4096: 10.4
// against 12.5 ms with AVX2, 9.2 against 15 ms with AVX-512; equal at
// 1024). The sweep stays because the line tiles need every row to start at
// the same offset within a cache line (n a multiple of eight) and streaming
// stores: it serves every other n, the NEON kernels (Advanced SIMD has no
// non-temporal store intrinsic), and the scalar kernels where the compiler
// has no scalar non-temporal store (GCC off x86-64).
#ifndef STELLIX_SRC_CORE_ROW_SWEEP_H
#define STELLIX_SRC_CORE_ROW_SWEEP_H

#include "kernel_primitives.h"

namespace stellix::detail {
namespace {

template <VectorTraits V>
struct RowSweep {
  using P = Prim<V>;
  using Reg = typename V::Reg;
  static constexpr Index W = V::kWidth;

  // A group of row blocks sweeps the columns together, so that the mirror
  // writes of each sweep cover whole cache lines of every row they touch.
  // 256 rows measured best with both vector widths: fewer sweeps over the
  // columns, and mirror runs of 2 KiB per row.
  static constexpr Index kGroup = W > 1 ? 256 / W : 1;
  // How many tiles ahead the lines about to be written are requested for
  // writing, so that their reads from memory overlap the arithmetic: one
  // cache line (eight columns) ahead measured best for both vector widths.
  static constexpr Index kAhead = W < 8 ? 8 / W : 1;

  using Src = typename P::FromBodies;

  static Index count_of(Index n, Index b) { return min_index(W, n - b * W); }

  // The receivers of a block in lanes, padded.
  static Xyz<Reg> lanes(const Body* bodies, Index n, Index b) {
    alignas(64) double xyz[3][W];
    copy_padded(bodies, n, b * W, W, Xyz<double*>{xyz[0], xyz[1], xyz[2]}, nullptr);
    return P::load(Xyz<const double*>{xyz[0], xyz[1], xyz[2]}, 0);
  }

  // Sources J (count of them) add their terms to `acc`.
  static void receive(const Reg* f, Index n, const Body* bodies, Index J, const Xyz<Reg>& r,
                      Xyz<Reg>& acc) {
    const Index count = count_of(n, J);
    // The sums in a local meanwhile, which stays in registers; summed in
    // place in the group, they went through memory (the scalar kernels ran
    // 25% slower).
    Xyz<Reg> a = acc;
    if (count == W) {
      P::template receive<W>(f, W, Src{bodies + J * W}, r, a);
    } else {
      P::template receive<0>(f, count, Src{bodies + J * W}, r, a);
    }
    acc = a;
  }

  // The factors of tile (I, J), the diagonal forced to +0.0.
  static void factors(const Xyz<Reg>& rows, const Body* bodies, Index n, Index I, Index J, Reg* f) {
    const Index count = count_of(n, J);
    if (count == W) {
      P::template tile_factors<W>(rows, Src{bodies + J * W}, W, f);
    } else {
      P::template tile_factors<0>(rows, Src{bodies + J * W}, count, f);
    }
    if (I == J) P::zero_diagonal(f);
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

  // Inlined: as a function of its own it has no effect that the compiler
  // must keep, and calls to it vanish.
  STELLIX_INLINE static void prefetch(double* matrix, Index n, Index blocks, Index I, Index J) {
#if defined(__GNUC__)
    if (W == 1 || J + kAhead >= blocks) return;
    const Index a0 = (J + kAhead) * W;
    const Index rows = min_index(min_index(W, n - a0), min_index(W, n - I * W));
    for (Index k = 0; k < rows; ++k) {
      __builtin_prefetch(matrix + n * (I * W + k) + a0, 1);
      __builtin_prefetch(matrix + n * (a0 + k) + I * W, 1);
    }
#else
    (void)matrix, (void)n, (void)blocks, (void)I, (void)J;
#endif
  }

  // The state of one group's sweep: its blocks and their sums.
  struct Group {
    Index g;
    Index end;
    Xyz<Reg> pos[kGroup];
    Xyz<Reg> acc[kGroup];
    // Block I's place in the group. With one block per group (the scalar
    // kernels) it is 0, and saying so keeps the block's sums in registers:
    // indexed by a variable, they went through memory for every pair.
    Index at(Index I) const { return kGroup == 1 ? 0 : I - g; }
  };

  // Stores tile (I, J) and its mirror; with kSums, block I takes the row
  // terms and, when it belongs to the group, block J the column terms.
  // f[j] lanes i is column j0 + j of rows i0..; by symmetry it is also row
  // j0 + j from column i0 on: the mirror, stored contiguously. A diagonal
  // tile is its own mirror.
  template <bool kSums>
  static void put_tile(Group& grp, const Body* bodies, Index n, double* matrix, Index I, Index J,
                       Reg* f) {
    const Index i0 = I * W;
    const Index j0 = J * W;
    store_block(matrix + n * j0 + i0, n, f, count_of(n, J), count_of(n, I));
    if (kSums) receive(f, n, bodies, J, grp.pos[grp.at(I)], grp.acc[grp.at(I)]);
    if (I == J) return;
    V::transpose(f);
    store_block(matrix + n * i0 + j0, n, f, count_of(n, I), count_of(n, J));
    if (kSums && J < grp.end) receive(f, n, bodies, I, grp.pos[grp.at(J)], grp.acc[grp.at(J)]);
  }

  // Block J's terms from all sources left of the group, read back from its
  // own rows, where earlier groups mirrored them.
  static void read_back(Group& grp, Index n, const Body* bodies, const double* matrix, Index J) {
    const Index count = count_of(n, J);
    for (Index K = 0; K < grp.g; ++K) {
      Reg t[W];
      STELLIX_UNROLL
      for (Index k = 0; k < W; ++k)
        t[k] = k < count ? V::loadu(matrix + n * (J * W + k) + K * W) : V::set1(0.0);
      V::transpose(t);
      receive(t, n, bodies, K, grp.pos[grp.at(J)], grp.acc[grp.at(J)]);
    }
  }

  // The tiles of the group's sweep in order: (g, g) .. (min(J, end - 1), J)
  // for each column J. The factors of the next tile are computed before the
  // current one is stored and summed, so that the divider never waits for
  // the stores.
  template <bool kSums>
  static void sweep_group(Group& grp, const Body* bodies, Index n, double* matrix) {
    const Index blocks = (n + W - 1) / W;
    Index I = grp.g;
    Index J = grp.g;
    Reg f[W];
    factors(grp.pos[0], bodies, n, I, J, f);
    while (true) {
      const bool next_in_column = I < min_index(grp.end - 1, J);
      const Index next_i = next_in_column ? I + 1 : grp.g;
      const Index next_j = next_in_column ? J : J + 1;
      const bool more = next_j < blocks;
      Reg next[W];
      if (more) {
        factors(grp.pos[grp.at(next_i)], bodies, n, next_i, next_j, next);
      } else {
        STELLIX_UNROLL
        for (Index k = 0; k < W; ++k)
          next[k] = V::set1(0.0);
      }
      if (kSums && I == grp.g && J < grp.end) read_back(grp, n, bodies, matrix, J);
      prefetch(matrix, n, blocks, I, J);
      put_tile<kSums>(grp, bodies, n, matrix, I, J, f);
      if (!more) break;
      I = next_i;
      J = next_j;
      STELLIX_UNROLL
      for (Index k = 0; k < W; ++k)
        f[k] = next[k];
    }
  }

  static void write_sums(const Group& grp, Index n, double* out) {
    for (Index I = grp.g; I < grp.end; ++I) {
      alignas(64) double lanes[3][W];
      P::store(Xyz<double*>{lanes[0], lanes[1], lanes[2]}, 0, grp.acc[grp.at(I)]);
      for (Index k = 0; k < count_of(n, I); ++k) {
        for (Index axis = 0; axis < 3; ++axis)
          out[3 * (I * W + k) + axis] = lanes[axis][k];
      }
    }
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
    Group grp{};
    for (grp.g = 0; grp.g < blocks; grp.g += kGroup) {
      grp.end = min_index(blocks, grp.g + kGroup);
      for (Index I = grp.g; I < grp.end; ++I) {
        grp.pos[grp.at(I)] = lanes(bodies, n, I);
        grp.acc[grp.at(I)] = P::zeros();
      }
      sweep_group<kSums>(grp, bodies, n, matrix);
      if (kSums) write_sums(grp, n, out);
    }
  }
};

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_ROW_SWEEP_H
