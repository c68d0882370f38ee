// <immintrin.h> for the units compiled for a vector instruction set. GCC 12
// warns inside its own header about the deliberately undefined registers
// that some AVX-512 intrinsics start from (as maybe-uninitialized, or as
// uninitialized where the sanitizer build inlines them); the warning says
// nothing about our code, so it is silenced for the header alone.
#ifndef STELLIX_SRC_CORE_X86_INTRINSICS_H
#define STELLIX_SRC_CORE_X86_INTRINSICS_H

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#endif  // STELLIX_SRC_CORE_X86_INTRINSICS_H
