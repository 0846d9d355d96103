/* Input checks every gateway shares, written against the host interface
 * alone so they build unchanged with the stand-in host, Octave and MATLAB.
 *
 * Shapes are read as unsigned 64-bit counts; nothing here reads array data.
 */
#ifndef HOST_GATEWAYCHECKS_H
#define HOST_GATEWAYCHECKS_H

#include "mex.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>

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

/* Rows times columns (columns being the product of every trailing dimension), saturated so
 * that no pair of huge claimed dimensions can wrap round to a small count. */
static inline uint64_t elementCount(const mxArray *a) {
    uint64_t m = mxGetM(a);
    uint64_t n = mxGetN(a);
    if (m != 0 && n > UINT64_MAX / m) {
        return UINT64_MAX;
    }
    return m * n;
}

/* An array the kernels can count in int: its elements in all, its rows and the product of its
 * other dimensions. These come through mxGetM and mxGetN, which the 32-bit interface does not
 * cap: an empty array may still have a dimension too large for an int. */
static inline bool fitsIntShape(const mxArray *a) {
    return fitsIntCount(elementCount(a)) && fitsIntCount(mxGetM(a)) && fitsIntCount(mxGetN(a));
}

/* The values a scalar input may take. */
enum ScalarRange { ANY_FINITE, POSITIVE, NONNEGATIVE };

/* A scalar input read after two checks, each raising its own identifier of ids: notScalar (not
 * a real double scalar), then outOfRange (not finite, or outside range). */
static inline double readScalar(const mxArray *a, const char *name, const char *const ids[2],
                                ScalarRange range) {
    char message[64];
    if (!isRealDoubleScalar(a)) {
        snprintf(message, sizeof message, "Input %s must be a real double scalar.", name);
        mexErrMsgIdAndTxt(ids[0], "%s", message);
    }
    double v = mxGetScalar(a);
    bool inRange = range == POSITIVE ? v > 0.0 : range == NONNEGATIVE ? v >= 0.0 : true;
    if (!(inRange && isfinite(v))) {
        static const char *const what[3] = {"finite", "positive and finite",
                                            "nonnegative and finite"};
        snprintf(message, sizeof message, "Input %s must be %s.", name, what[range]);
        mexErrMsgIdAndTxt(ids[1], "%s", message);
    }
    return v;
}

/* The noise of the Poisson-Gaussian modules, var, mean and alpha, from three inputs in that
 * order, each checked in turn: a real double scalar, then var and alpha positive and finite
 * and mean finite. ids holds the module's own identifiers for these six failures, in that
 * order: varNotScalar, varNotPositive, meanNotScalar, meanNotFinite, alphaNotScalar,
 * alphaNotPositive. */
static inline void readNoise(const mxArray *const *noise, const char *const ids[6], double *var,
                             double *mean, double *alpha) {
    *var = readScalar(noise[0], "var", ids, POSITIVE);
    *mean = readScalar(noise[1], "mean", ids + 2, ANY_FINITE);
    *alpha = readScalar(noise[2], "alpha", ids + 4, POSITIVE);
}

/* An array of data read in place as doubles: full double storage (sparse storage and other
 * classes hold no run of doubles), then real; ids: notDouble and complex. */
static inline void checkRealArray(const mxArray *a, const char *name, const char *const ids[2]) {
    char message[64];
    if (!isFullDouble(a)) {
        snprintf(message, sizeof message, "Input %s must be a full real double array.", name);
        mexErrMsgIdAndTxt(ids[0], "%s", message);
    }
    if (mxIsComplex(a)) {
        snprintf(message, sizeof message, "Input %s must be real.", name);
        mexErrMsgIdAndTxt(ids[1], "%s", message);
    }
}

#endif
