// What an instruction set must give the generic kernels: a register of
// kWidth doubles and the handful of operations on it that the kernels use.
// A new instruction set is its traits file (a type that satisfies
// VectorTraits and the STELLIX_KERNELS line that makes its table), one line
// in isa_registry.h and one entry in cmake/stellixIsas.cmake
// (docs/design.md).
//
// The kernel headers are included only by the translation units of the
// instruction sets, each compiled with its own flags. Everything in them
// sits in an anonymous namespace: it then has internal linkage in every
// unit, and no vector-compiled copy of an inline function can be picked by
// the linker for code that runs on a baseline CPU. For the same reason
// nothing in them calls an inline function of the standard library.
#ifndef STELLIX_SRC_CORE_KERNEL_TRAITS_H
#define STELLIX_SRC_CORE_KERNEL_TRAITS_H

#include <concepts>

#include "kernels.h"

// The loops over the lanes of a tile must be unrolled so that the tile lives
// in registers, and the small helpers inlined into them.
#if defined(__GNUC__)
#define STELLIX_UNROLL _Pragma("GCC unroll 16")
#define STELLIX_INLINE [[gnu::always_inline]] inline
#else
#define STELLIX_UNROLL
#define STELLIX_INLINE inline
#endif

// Xyz<Reg> (kernel_primitives.h) names a vector register type as a template
// argument, which drops its may_alias attribute; no kernel reads doubles
// through a pointer to a register, so nothing depends on it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif

namespace stellix::detail {
namespace {

// Lane k of a register is element k in memory. Every arithmetic operation
// is the IEEE 754 one, rounded on its own.
template <class V>
concept VectorTraits = requires(typename V::Reg v, typename V::Reg* regs, double* p,
                                const double* cp, double d, Index k) {
  requires std::copyable<typename V::Reg>;
  // A power of two up to a cache line of doubles: the line tiles are whole
  // numbers of registers.
  requires V::kWidth >= 1 && V::kWidth <= 8 && (V::kWidth & (V::kWidth - 1)) == 0;
  // Whether a broadcast source can be the subtrahend of a subtraction in one
  // instruction; only a matter of speed.
  { V::kBroadcastOperand } -> std::convertible_to<bool>;
  // Whether the matrix may be written in whole cache lines with stream(p, v),
  // an aligned non-temporal store, followed by fence().
  { V::kStreams } -> std::convertible_to<bool>;
  { V::load(cp) } -> std::same_as<typename V::Reg>;   // aligned
  { V::loadu(cp) } -> std::same_as<typename V::Reg>;  // unaligned
  V::store(p, v);                                     // aligned
  V::storeu(p, v);                                    // unaligned
  V::store_first(p, v, k);                            // lanes below k only, unaligned
  V::stream(p, v);
  V::fence();
  { V::set1(d) } -> std::same_as<typename V::Reg>;
  { V::add(v, v) } -> std::same_as<typename V::Reg>;
  { V::sub(v, v) } -> std::same_as<typename V::Reg>;
  { V::mul(v, v) } -> std::same_as<typename V::Reg>;
  { V::div(v, v) } -> std::same_as<typename V::Reg>;
  { V::sqrt(v) } -> std::same_as<typename V::Reg>;          // correctly rounded
  { V::zero_lane(v, k) } -> std::same_as<typename V::Reg>;  // lane k := +0.0
  V::transpose(regs);                                       // kWidth registers, in place
};

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_KERNEL_TRAITS_H
