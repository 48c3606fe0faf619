#pragma once

// The hottest loops of the core are compiled a second time for AVX2 and
// chosen at run time, on x86 with GCC or Clang. Both forms perform the same
// correctly rounded operations in the same order (the build contracts no
// multiply-adds), so their results are the same bit for bit; the wide form
// only does four of them at a time.
//
// QUORVANE_WIDE marks the wide form of a function: compiled for AVX2, with
// every call inside it inlined, so that the loops it reaches are
// vectorised for AVX2 as well.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QUORVANE_WIDE_VECTORS 1
#define QUORVANE_WIDE __attribute__((target("avx2"), flatten))
#else
#define QUORVANE_WIDE_VECTORS 0
#endif

namespace dsp {

/// Whether the processor and the system support the wide forms (AVX2).
/// The objects that have them take theirs by default where it is.
bool wideVectorsSupported();

} // namespace dsp
