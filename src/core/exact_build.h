// Every result of the library is defined operation by operation, each one
// rounded on its own, and every test compares bits. Options that let the
// compiler reassociate, assume finite values, replace divisions by
// reciprocals or drop the sign of zero would build a library whose bits
// differ from machine to machine while looking healthy, so such a build is
// refused here, in every translation unit of the library. (-ffp-contract=off,
// which forbids fused multiply-adds, is set on the library's own targets
// after any flags a user adds.)
#ifndef STELLIX_SRC_CORE_EXACT_BUILD_H
#define STELLIX_SRC_CORE_EXACT_BUILD_H

#if defined(__FAST_MATH__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__) || \
    defined(__ASSOCIATIVE_MATH__) || defined(__RECIPROCAL_MATH__) || defined(__NO_SIGNED_ZEROS__)
#error \
    "stellix must not be built with -ffast-math, -Ofast or -funsafe-math-optimizations (or -ffinite-math-only, -fassociative-math, -freciprocal-math, -fno-signed-zeros): its results are defined bit for bit"
#endif

#endif  // STELLIX_SRC_CORE_EXACT_BUILD_H
