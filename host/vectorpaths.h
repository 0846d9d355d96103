/* Which vector paths a module is built with, and which one this processor runs.
 *
 * Vector code is compiled per function for its own instruction set (target attributes) and
 * chosen at run time, so a build needs no instruction-set flag, and elsewhere than x86-64 a
 * module is its scalar code alone. WIDEST_VECTOR_BITS caps the widest path a build may choose:
 * 512 (the default) takes AVX-512 where the processor has it, else AVX2, else the scalar code;
 * 256 stops at AVX2 and 0 keeps the scalar code alone. The narrower builds let the tests prove
 * every path on a processor that would pick a wider one.
 */
#ifndef HOST_VECTORPATHS_H
#define HOST_VECTORPATHS_H

#ifndef WIDEST_VECTOR_BITS
#define WIDEST_VECTOR_BITS 512
#endif
#if defined(__x86_64__) && defined(__GNUC__) && WIDEST_VECTOR_BITS >= 256
#define VECTOR_AVX2 1
#if WIDEST_VECTOR_BITS >= 512
#define VECTOR_AVX512 1
#endif
/* GCC 12's AVX-512 intrinsics start from a deliberately undefined register value, which its own
 * uninitialized-use warnings then report inside the header; clang has no such warning. */
#ifndef __clang__
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#ifndef __clang__
#pragma GCC diagnostic pop
#endif
#define AVX2_TARGET __attribute__((target("avx2")))
#define AVX512_TARGET __attribute__((target("avx512f")))
#endif

/* The widest path that both the build and the processor allow, in bits: 512, 256 or 0. */
static inline int widestVectorPath(void) {
#ifdef VECTOR_AVX2
    __builtin_cpu_init();
#endif
#ifdef VECTOR_AVX512
    if (__builtin_cpu_supports("avx512f")) {
        return 512;
    }
#endif
#ifdef VECTOR_AVX2
    if (__builtin_cpu_supports("avx2")) {
        return 256;
    }
#endif
    return 0;
}

/* A module's entry points, one per path, for widestPath: a path the build leaves out is null,
 * and widestVectorPath never names it. */
#ifdef VECTOR_AVX2
#define AVX2_PATH(f) (f)
#else
#define AVX2_PATH(f) nullptr
#endif
#ifdef VECTOR_AVX512
#define AVX512_PATH(f) (f)
#else
#define AVX512_PATH(f) nullptr
#endif

/* The one place a module's path is chosen: the entry point of the widest path that both the
 * build and the processor allow; bits, when given, receives that path's width (0 for the
 * scalar code). */
template <class Path>
static inline Path widestPath(Path scalar, Path avx2, Path avx512, int *bits = nullptr) {
    int widest = widestVectorPath();
    if (bits != nullptr) {
        *bits = widest;
    }
    switch (widest) {
    case 512:
        return avx512;
    case 256:
        return avx2;
    default:
        return scalar;
    }
}

#endif
