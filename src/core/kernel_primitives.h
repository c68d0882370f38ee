// The arithmetic that must stay bit-exact, each formula written once: the
// factor of a pair, one term added to a running sum, and the padding of
// bodies; and the W-by-W tile built from them. The three algorithms (pair
// tiles, row sweep, line tiles) differ only in the order in which they
// visit pairs and where they keep sums, never in how a value is formed.
//
// Every sum adds its terms one by one in ascending source order, exactly as
// the straightforward loops do; nothing is reassociated.
#ifndef STELLIX_SRC_CORE_KERNEL_PRIMITIVES_H
#define STELLIX_SRC_CORE_KERNEL_PRIMITIVES_H

#include <cstdint>

#include "kernel_traits.h"

namespace stellix::detail {
namespace {

// Three coordinates of anything: registers of positions or sums, or the
// arrays they live in.
template <class T>
struct Xyz {
  T x;
  T y;
  T z;
};

inline Index min_index(Index a, Index b) {
  return a < b ? a : b;
}

// Body i, or padding outside 0 .. n: a body at the origin with no mass.
// Padding may receive (its sums are discarded) and its factors may be
// computed, but it is never stored as a factor nor summed as a source.
inline Body body_or_padding(const Body* bodies, Index n, Index i) {
  return i >= 0 && i < n ? bodies[i] : Body{};
}

// Positions, and masses when `m` is given, of bodies first .. first + count
// into arrays.
inline void copy_padded(const Body* bodies, Index n, Index first, Index count, Xyz<double*> pos,
                        double* m) {
  for (Index k = 0; k < count; ++k) {
    const Body b = body_or_padding(bodies, n, first + k);
    pos.x[k] = b.x;
    pos.y[k] = b.y;
    pos.z[k] = b.z;
    if (m != nullptr) m[k] = b.mass;
  }
}

template <class T>
T* align_up(T* p, std::uintptr_t bytes) {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  return reinterpret_cast<T*>((address + bytes - 1) / bytes * bytes);
}

template <VectorTraits V>
struct Prim {
  using Reg = typename V::Reg;
  static constexpr Index W = V::kWidth;

  STELLIX_INLINE static Xyz<const double*> at(const Xyz<const double*>& p, Index i) {
    return {p.x + i, p.y + i, p.z + i};
  }
  STELLIX_INLINE static Xyz<const double*> at(const Xyz<double*>& p, Index i) {
    return {p.x + i, p.y + i, p.z + i};
  }
  STELLIX_INLINE static Xyz<Reg> load(const Xyz<const double*>& p, Index i) {
    return {V::load(p.x + i), V::load(p.y + i), V::load(p.z + i)};
  }
  STELLIX_INLINE static void store(const Xyz<double*>& p, Index i, const Xyz<Reg>& v) {
    V::store(p.x + i, v.x);
    V::store(p.y + i, v.y);
    V::store(p.z + i, v.z);
  }
  STELLIX_INLINE static Xyz<Reg> broadcast(const Xyz<const double*>& p, Index j) {
    return {V::set1(p.x[j]), V::set1(p.y[j]), V::set1(p.z[j])};
  }
  STELLIX_INLINE static Xyz<Reg> broadcast(const Body& b) {
    return {V::set1(b.x), V::set1(b.y), V::set1(b.z)};
  }
  STELLIX_INLINE static Xyz<Reg> zeros() { return {V::set1(0.0), V::set1(0.0), V::set1(0.0)}; }
  STELLIX_INLINE static Xyz<Reg> minus(const Xyz<Reg>& a, const Xyz<Reg>& b) {
    return {V::sub(a.x, b.x), V::sub(a.y, b.y), V::sub(a.z, b.z)};
  }

  // The factor of a pair from the differences of its positions, of either
  // sign (their squares are the same binary64 value, so one factor serves
  // (i, j) and (j, i)): s = (dx*dx + dy*dy) + dz*dz, q = c/sqrt(s),
  // F = (q*q)*q.
  STELLIX_INLINE static Reg pair_factor(const Xyz<Reg>& d) {
    const Reg s = V::add(V::add(V::mul(d.x, d.x), V::mul(d.y, d.y)), V::mul(d.z, d.z));
    const Reg q = V::div(V::set1(kCouplingRoot), V::sqrt(s));
    return V::mul(V::mul(q, q), q);
  }

  // One source's term added to a receiver's running sum: w = F * m_j, then
  // a = (x_j - x_i) * w + a for each coordinate; `toward` = x_j - x_i.
  STELLIX_INLINE static void add_term(Xyz<Reg>& a, const Xyz<Reg>& toward, Reg f, Reg m) {
    const Reg w = V::mul(f, m);
    a.x = V::add(V::mul(toward.x, w), a.x);
    a.y = V::add(V::mul(toward.y, w), a.y);
    a.z = V::add(V::mul(toward.z, w), a.z);
  }

  // The same bits from the difference the other way round, `away` =
  // x_i - x_j: a - (x_i - x_j) * w is (x_j - x_i) * w + a, as negation is
  // exact and a running sum that starts at +0.0 is never -0.0, so the sign
  // of a zero product cannot show. It lets the factor's own differences
  // serve the sum.
  STELLIX_INLINE static void add_term_away(Xyz<Reg>& a, const Xyz<Reg>& away, Reg f, Reg m) {
    const Reg w = V::mul(f, m);
    a.x = V::sub(a.x, V::mul(away.x, w));
    a.y = V::sub(a.y, V::mul(away.y, w));
    a.z = V::sub(a.z, V::mul(away.z, w));
  }

  // The sources of a tile, j = 0, 1, ...: padded arrays, or the bodies
  // themselves. Only the sources that exist are ever read.
  struct FromArrays {
    Xyz<const double*> pos;
    const double* m;
    STELLIX_INLINE Xyz<Reg> at(Index j) const { return broadcast(pos, j); }
    STELLIX_INLINE Reg mass(Index j) const { return V::set1(m[j]); }
  };
  struct FromBodies {
    const Body* b;
    STELLIX_INLINE Xyz<Reg> at(Index j) const { return broadcast(b[j]); }
    STELLIX_INLINE Reg mass(Index j) const { return V::set1(b[j].mass); }
  };

  // Factors of a W-by-W tile, receivers `r` in lanes: f[j] lane i is the
  // factor of receiver i and source j. kSources = W for a whole tile (no
  // test per source), 0 for a short one, whose missing sources get +0.0.
  template <Index kSources, class Src>
  STELLIX_INLINE static void tile_factors(const Xyz<Reg>& r, const Src& src, Index sources,
                                          Reg* f) {
    STELLIX_UNROLL
    for (Index j = 0; j < W; ++j) {
      if (kSources == 0 && j >= sources) {
        f[j] = V::set1(0.0);
        continue;
      }
      f[j] = pair_factor(minus(r, src.at(j)));
    }
  }

  // The receivers `r` in lanes take the terms of `count` sources in
  // ascending order; f[j] holds their factors with source j.
  template <Index kSources, class Src>
  STELLIX_INLINE static void receive(const Reg* f, Index count, const Src& src, const Xyz<Reg>& r,
                                     Xyz<Reg>& acc) {
    const Index sources = kSources > 0 ? kSources : count;
    STELLIX_UNROLL
    for (Index j = 0; j < sources; ++j)
      add_term(acc, minus(src.at(j), r), f[j], src.mass(j));
  }

  STELLIX_INLINE static void zero_diagonal(Reg* f) {
    STELLIX_UNROLL
    for (Index k = 0; k < W; ++k)
      f[k] = V::zero_lane(f[k], k);
  }
};

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_KERNEL_PRIMITIVES_H
