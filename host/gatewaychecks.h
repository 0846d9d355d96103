/* Input checks every gateway shares, written against the host interface
 * alone so they build unchanged with the stand-in host, Octave and MATLAB.
 *
 * Shapes are read as unsigned 64-bit counts; nothing here reads array data.
 */
#ifndef HOST_GATEWAYCHECKS_H
#define HOST_GATEWAYCHECKS_H

#include "mex.h"

#include <stdint.h>

/* Double class, no imaginary part, exactly one element; tested in that order,
 * stopping at the first failure. One element means both dimensions are 1: a
 * product of the dimensions, in any width, wraps round to 1 for some huge
 * pairs, such as (2^63 - 1) squared in 64 bits. */
static inline bool isRealDoubleScalar(const mxArray *a) {
    return mxIsDouble(a) && !mxIsComplex(a) && mxGetM(a) == 1 && mxGetN(a) == 1;
}

/* Row or column: the smaller dimension is 1, so an empty array is never a
 * vector. */
static inline bool isVector(const mxArray *a) {
    uint64_t m = mxGetM(a);
    uint64_t n = mxGetN(a);
    return m < n ? m == 1 : n == 1;
}

/* The larger dimension. */
static inline uint64_t vectorLength(const mxArray *a) {
    uint64_t m = mxGetM(a);
    uint64_t n = mxGetN(a);
    return m > n ? m : n;
}

/* Data that may be read as doubles in place: double class, full storage. A
 * complex double passes, and only its real part is read. */
static inline bool isFullDouble(const mxArray *a) {
    return mxIsDouble(a) && !mxIsSparse(a);
}

/* Kernels count elements in int: a count must fit one. */
static inline bool fitsIntCount(uint64_t count) {
    return count <= (uint64_t)INT32_MAX;
}

#endif
