/* termdecay: the decaying exponential table and its Lambert W length bound.
 *
 *   out = termdecay(y, var, mean, alpha, margin)
 *
 * out is a real 1-by-L row holding 0 at index 0 and exp(-n * alpha^2 / var)
 * at index n = 1 ... L - 1. The length comes from the largest observation m
 * (NaN elements skipped, never below 0): with c = alpha^2 / var and
 * w = W0(m * exp(alpha * (m - mean) / var) * c), the principal branch of the
 * Lambert W function, L = ceil(ceil(sqrt(var) / alpha) * margin + 1 + w / c).
 * Only the first element of the fifth input counts.
 */
#include "mex.h"
#include "gatewaychecks.h"
#include "LambertW.h"

#include <math.h>
#include <stdint.h>

enum { IN_Y, IN_VAR, IN_MEAN, IN_ALPHA, IN_MARGIN, IN_COUNT };
enum { OUT_TABLE, OUT_COUNT };

static bool holdsNumber(const mxArray *a);
static double largestObservation(const double *y, uint64_t count);
static void termdecay(double *out, double var, double alpha, int length);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:invalidNumInputs",
                          "Four inputs required: y - vector (observations); var - scalar; mean - "
                          "scalar; alpha - scalar");
    }
    if (nlhs != OUT_COUNT) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:invalidNumOutputs", "One output required.");
    }
    if (!isRealDoubleScalar(prhs[IN_VAR])) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:varNotScalar", "Input var must be a scalar.");
    }
    /* Callers match on these identifiers, each of which names the other of
     * the two parameters. */
    if (!isRealDoubleScalar(prhs[IN_MEAN])) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:alphaNotScalar", "Input mean must be a scalar.");
    }
    if (!isRealDoubleScalar(prhs[IN_ALPHA])) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:meanNotScalar", "Input alpha must be a scalar.");
    }
    double alpha = mxGetScalar(prhs[IN_ALPHA]);
    double mean = mxGetScalar(prhs[IN_MEAN]);
    double var = mxGetScalar(prhs[IN_VAR]);
    uint64_t count = vectorLength(prhs[IN_Y]);
    if (!isVector(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:xNotScalar", "Input y must be a vector.");
    }
    /* Data of any other class or storage is not laid out as doubles; refuse
     * it before a pointer to it is ever taken. */
    if (!isFullDouble(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:yNotDouble", "Input y must be a full double array.");
    }
    /* The host's scalar read has no first element to give from an empty
     * array, a cell, a struct or a function handle: Octave raises an error
     * without an identifier, and MATLAB's value is not defined. */
    if (!holdsNumber(prhs[IN_MARGIN])) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:marginNotNumeric",
                          "The fifth input (margin) must hold at least one number.");
    }
    double margin = mxGetScalar(prhs[IN_MARGIN]);
    double m = largestObservation(mxGetPr(prhs[IN_Y]), count);

    double c = (alpha * alpha) / var;
    double z = (exp(((m - mean) * alpha) / var) * m) * c;
    double w = LambertW<0>(z);
    double a = ceil(sqrt(var) / alpha);
    double length = ceil(((a * margin) + 1.0) + (w / c));
    /* A length that is NaN, negative or beyond an int count would reach the
     * host as a truncated, meaningless column count. The negated test also
     * catches NaN. */
    if (!(length >= 0.0 && length <= 2147483647.0)) {
        mexErrMsgIdAndTxt("MATLAB:termdecay:invalidLength",
                          "The table length is not a whole number from 0 to 2147483647: var "
                          "must be positive, alpha nonzero, y finite, the exponent from y, "
                          "mean, alpha and var not overflow, and the fifth input (margin) not "
                          "so negative that the length falls below 0.");
    }

    plhs[OUT_TABLE] = mxCreateDoubleMatrix(1, (int)length, mxREAL);
    termdecay(mxGetPr(plhs[OUT_TABLE]), var, alpha, (int)length);
}

/* A numeric, logical or character array with at least one element. */
static bool holdsNumber(const mxArray *a) {
    mxClassID id = mxGetClassID(a);
    bool numeric = id == mxLOGICAL_CLASS || id == mxCHAR_CLASS ||
                   (id >= mxDOUBLE_CLASS && id <= mxUINT64_CLASS);
    return numeric && mxGetM(a) != 0 && mxGetN(a) != 0;
}

/* Starts from +0, so m is never negative; NaN never compares greater and is
 * skipped. */
static double largestObservation(const double *y, uint64_t count) {
    double m = 0.0;
    for (uint64_t i = 0; i < count; ++i) {
        if (y[i] > m) {
            m = y[i];
        }
    }
    return m;
}

/* Index 0 stays the 0 the host filled in, not exp(0) = 1. */
static void termdecay(double *out, double var, double alpha, int length) {
    double c = (alpha * alpha) / var;
    for (int n = 1; n < length; ++n) {
        out[n] = exp(-(n * c));
    }
}
