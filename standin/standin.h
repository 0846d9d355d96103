/* What the stand-in host offers its tests beyond the module interface: arrays
 * of any class, shape, complexity and storage; a host-side call of a module's
 * entry point; and the counters that let a test prove nothing leaked.
 *
 * Arrays are zero-filled, and their data ends where an inaccessible page
 * begins: a module that reads one element past an array's data faults.
 */
#ifndef STANDIN_STANDIN_H
#define STANDIN_STANDIN_H

#include "mex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*standinEntry)(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

/* A full m-by-n array of the given class. Supported classes: double, single,
 * int32, logical, char. Element size follows the class (8, 4, 4, 1, 2).
 * Cell, struct and function handle arrays hold no numbers: they get their
 * class and shape and no data at all. */
STANDIN_EXPORT mxArray *standinCreateFull(mxClassID classId, size_t m, size_t n, mxComplexity flag);

/* A full array of ndim dimensions (at least 2, and at most STANDIN_MAX_DIMS; trailing
 * dimensions of 1 beyond the second are dropped, as the real host does). mxGetN is the product
 * of every dimension after the first. */
#define STANDIN_MAX_DIMS 16
STANDIN_EXPORT mxArray *standinCreateFullDims(mxClassID classId, size_t ndim, const size_t *dims,
                                              mxComplexity flag);

/* A sparse double (or logical) m-by-n array holding the nonzeros of the
 * column-major dense values given; data is the nonzeros in column order. */
STANDIN_EXPORT mxArray *standinCreateSparse(mxClassID classId, size_t m, size_t n,
                                            const double *dense);

/* A double array that claims m-by-n elements but holds no data at all: any
 * read of its data faults at once. It lets a test hand over shapes too large
 * to allocate and prove they are refused unread. */
STANDIN_EXPORT mxArray *standinCreateShapeOnly(size_t m, size_t n);

/* Raw storage of the real and imaginary parts, in the class's own element
 * type. The imaginary part is null for a real array. */
STANDIN_EXPORT void *standinRealData(const mxArray *pa);
STANDIN_EXPORT void *standinImagData(const mxArray *pa);

/* Arrays created and not yet destroyed, whoever made them. */
STANDIN_EXPORT long standinLiveArrays(void);

/* Makes the k-th array creation from now (1 = the next) fail the way the real
 * host fails it: with an out-of-memory host error. 0 disarms. */
STANDIN_EXPORT void standinFailCreation(int k);

/* Nonzero while an armed creation failure has not yet been met: a call that
 * leaves it pending made fewer than k creations. */
STANDIN_EXPORT int standinCreationFailurePending(void);

/* Nonzero: released array data stays mapped and is handed, zero-filled again,
 * to the next array of the same size, as a warm allocator reuses freed
 * memory; benchmarks use it so that a call is not timed mostly mapping fresh
 * pages. 0 (the default) unmaps every release, and what was kept. */
STANDIN_EXPORT void standinKeepReleasedData(int keep);

/* Calls a module entry point as the host does: plhs has room for
 * max(nlhs, 1) outputs, all null on entry. On a host error the outputs already
 * stored are released, the identifier and message are copied out (truncated
 * to the buffer sizes) and 0 is returned; otherwise 1. */
STANDIN_EXPORT int standinCall(standinEntry entry, int nlhs, mxArray *plhs[], int nrhs,
                               const mxArray *prhs[], char *id, size_t idSize, char *message,
                               size_t messageSize);

#ifdef __cplusplus
}
#endif

#endif
