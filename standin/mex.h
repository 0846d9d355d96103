/* The stand-in host's extension interface: the host operations a module may
 * call, under the names and binary signatures of the 32-bit-dimension
 * compatibility interface, so a module built against it is a drop-in for the
 * real host.
 *
 * In:  arrays owned by the host; dimensions handed to creation as int.
 * Out: one array per requested output, stored by the module in plhs.
 * Never: mexErrMsgIdAndTxt returns; a module frees an array it did not make.
 */
#ifndef STANDIN_MEX_H
#define STANDIN_MEX_H

#include <stdbool.h>
#include <stddef.h>

typedef struct standinArray mxArray;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

typedef int mwSize;

#define STANDIN_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

STANDIN_EXPORT bool mxIsDouble(const mxArray *pa);
STANDIN_EXPORT bool mxIsComplex(const mxArray *pa);
STANDIN_EXPORT bool mxIsSparse(const mxArray *pa);
STANDIN_EXPORT mxClassID mxGetClassID(const mxArray *pa);
STANDIN_EXPORT size_t mxGetM(const mxArray *pa);
STANDIN_EXPORT size_t mxGetN(const mxArray *pa);
STANDIN_EXPORT size_t mxGetNumberOfElements(const mxArray *pa);
STANDIN_EXPORT mwSize mxGetNumberOfDimensions_700(const mxArray *pa);
STANDIN_EXPORT const mwSize *mxGetDimensions_700(const mxArray *pa);
STANDIN_EXPORT double mxGetScalar(const mxArray *pa);
STANDIN_EXPORT double *mxGetPr(const mxArray *pa);
STANDIN_EXPORT double *mxGetPi(const mxArray *pa);
STANDIN_EXPORT mxArray *mxCreateDoubleMatrix_700(mwSize m, mwSize n, mxComplexity flag);
STANDIN_EXPORT mxArray *mxCreateNumericArray_700(mwSize ndim, const mwSize *dims, mxClassID classid,
                                                 mxComplexity flag);
STANDIN_EXPORT void mxDestroyArray(mxArray *pa);

STANDIN_EXPORT void mexErrMsgIdAndTxt(const char *id, const char *fmt, ...)
    __attribute__((noreturn, format(printf, 2, 3)));

/* The one symbol a module exports. */
STANDIN_EXPORT void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

#ifdef __cplusplus
}
#endif

#define mxCreateDoubleMatrix mxCreateDoubleMatrix_700
#define mxCreateNumericArray mxCreateNumericArray_700
#define mxGetNumberOfDimensions mxGetNumberOfDimensions_700
#define mxGetDimensions mxGetDimensions_700

#endif
