/* What the host does for every call of a module with one output as long as its first input:
 * the output created, zero-filled, and handed back. Timed beside a module in Octave, it is the
 * share of the call that no kernel can remove. */
#include "mex.h"

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    (void)nlhs;
    if (nrhs < 1) {
        mexErrMsgIdAndTxt("MATLAB:host_share:invalidNumInputs", "One input required.");
    }
    size_t m = mxGetM(prhs[0]);
    size_t n = mxGetN(prhs[0]);
    plhs[0] = mxCreateDoubleMatrix(m > n ? m : n, 1, mxREAL);
}
