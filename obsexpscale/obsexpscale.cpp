/* obsexpscale: the per-observation exponential table.
 *
 *   out = obsexpscale(y, var, mean, alpha)
 *
 * out(i) = exp(alpha / var * (y(i) - mean)) for every observation y(i), as a
 * real row whatever the orientation of y. var, mean and alpha are the
 * Gaussian noise variance, the Gaussian noise mean and the Poisson scaling
 * parameter; their values are not tested, so a var of 0 or non-finite
 * parameters give IEEE infinities, zeros or NaN.
 */
#include "mex.h"
#include "gatewaychecks.h"

#include <math.h>
#include <stdint.h>

enum { IN_Y, IN_VAR, IN_MEAN, IN_ALPHA, IN_COUNT };
enum { OUT_TABLE, OUT_COUNT };

static void obsexpscale(double *out, double *y, int length, double var, double alpha, double mean);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt("MATLAB:obsexpscale:invalidNumInputs",
                          "Four inputs required: y - vector(observations); var - scalar; mean - "
                          "scalar; alpha - scalar");
    }
    if (nlhs != OUT_COUNT) {
        mexErrMsgIdAndTxt("MATLAB:obsexpscale:invalidNumOutputs", "One output required.");
    }
    if (!isRealDoubleScalar(prhs[IN_VAR])) {
        mexErrMsgIdAndTxt("MATLAB:obsexpscale:xNotScalar", "Input var must be a scalar.");
    }
    if (!isRealDoubleScalar(prhs[IN_MEAN])) {
        mexErrMsgIdAndTxt("MATLAB:mixlikelihood:xNotScalar", "Input mean must be a scalar.");
    }
    if (!isRealDoubleScalar(prhs[IN_ALPHA])) {
        mexErrMsgIdAndTxt("MATLAB:obsexpscale:xNotScalar", "Input alpha must be a scalar.");
    }
    double alpha = mxGetScalar(prhs[IN_ALPHA]);
    double mean = mxGetScalar(prhs[IN_MEAN]);
    double var = mxGetScalar(prhs[IN_VAR]);
    if (!isVector(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:xtimesy:xNotScalar", "Input y must be a vector.");
    }
    /* Data of any other class or storage is not laid out as doubles; refuse
     * it before a pointer to it is ever taken. */
    if (!isFullDouble(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:obsexpscale:yNotDouble", "Input y must be a full double array.");
    }
    uint64_t length = vectorLength(prhs[IN_Y]);
    if (!fitsIntCount(length)) {
        mexErrMsgIdAndTxt("MATLAB:obsexpscale:yTooLong",
                          "Input y must have at most 2147483647 elements.");
    }
    double *y = mxGetPr(prhs[IN_Y]);

    plhs[OUT_TABLE] = mxCreateDoubleMatrix(1, (int)length, mxREAL);
    obsexpscale(mxGetPr(plhs[OUT_TABLE]), y, (int)length, var, alpha, mean);
}

/* The quotient alpha / var is formed once, first: alpha * (y - mean) / var
 * would round differently. */
// cppcheck-suppress constParameter ; the kernel keeps its documented signature
static void obsexpscale(double *out, double *y, int length, double var, double alpha, double mean) {
    double q = alpha / var;
    for (int i = 0; i < length; ++i) {
        out[i] = exp((y[i] - mean) * q);
    }
}
