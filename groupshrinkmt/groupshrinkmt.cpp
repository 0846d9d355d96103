/* groupshrinkmt: group soft-thresholding over worker threads.
 *
 *   out = groupshrinkmt(y, degree, gamma, nx, ny)
 *
 * y is cut into consecutive groups whose sizes are the whole parts of the
 * degree entries, and each group is scaled by max(1 - gamma / ||group||_2, 0):
 * the proximity operator of gamma times the sum of the groups' Euclidean
 * norms. The output is a real column as long as y. nx and ny are accepted and
 * never read. Half the online processors (at least one) each take a
 * contiguous run of groups.
 */
#include "mex.h"
#include "gatewaychecks.h"

#include <math.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { IN_Y, IN_DEGREE, IN_GAMMA, IN_NX, IN_NY, IN_COUNT };
enum { OUT_SHRUNK, OUT_COUNT };

/* One worker's run of groups. The pointers already sit at the run's first
 * group, so a worker never needs its absolute position. */
struct WorkerArgs {
    double *out;
    const double *y;
    const double *degree;
    double gamma;
    int groupCount;
};

static bool degreesTileLength(const double *degree, int groupCount, int length);
static void shrinkGroups(double *out, double *y, double *degree, double gamma, int groupCount,
                         int length);
static void *proxL2pix(void *args);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:invalidNumInputs",
                          "Five inputs required: y - image(vector); degree - vector; gamma - "
                          "scalar ; size(degree)<= size(y)); (nx, ny)-not used");
    }
    if (nlhs != OUT_COUNT) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:invalidNumOutputs", "One output required.");
    }
    if (!isRealDoubleScalar(prhs[IN_GAMMA])) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:xNotScalar", "Input gamma must be a scalar.");
    }
    double gamma = mxGetScalar(prhs[IN_GAMMA]);
    uint64_t length = vectorLength(prhs[IN_Y]);
    uint64_t groupCount = vectorLength(prhs[IN_DEGREE]);
    if (!isVector(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:xNotVector", "Input y, degree must be vectors.");
    }
    if (!isVector(prhs[IN_DEGREE])) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:xNotVector", "Input y, degree must be vectors.");
    }
    if (length < groupCount) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:incorrectSize",
                          "Size of image y must be greater or equal than size of vector degree");
    }
    /* Data of any other class or storage is not laid out as length doubles;
     * refuse it before a pointer to it is ever taken. */
    if (!isFullDouble(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:yNotDouble", "Input y must be a full double array.");
    }
    if (!isFullDouble(prhs[IN_DEGREE])) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:degreeNotDouble",
                          "Input degree must be a full double array.");
    }
    /* groupCount <= length, so one test bounds both counts. */
    if (!fitsIntCount(length)) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:yTooLong",
                          "Input y must have at most 2147483647 elements.");
    }
    double *y = mxGetPr(prhs[IN_Y]);
    double *degree = mxGetPr(prhs[IN_DEGREE]);

    plhs[OUT_SHRUNK] = mxCreateDoubleMatrix((int)length, 1, mxREAL);
    double *out = mxGetPr(plhs[OUT_SHRUNK]);

    if (!degreesTileLength(degree, (int)groupCount, (int)length)) {
        mexErrMsgIdAndTxt("MATLAB:groupshrink:invalidNumInputs", "The sum of degrees is too large");
    }
    shrinkGroups(out, y, degree, gamma, (int)groupCount, (int)length);
}

/* The groups must cover y exactly, or a worker would reach outside y and the
 * output. Each entry is range-checked before its conversion to int, which is
 * otherwise undefined, and the total is kept in 64 bits so that it cannot wrap
 * round onto length. A negative entry above -1 truncates to an empty group and
 * is accepted, as 0.7 is. */
static bool degreesTileLength(const double *degree, int groupCount, int length) {
    int64_t total = 0;
    for (int g = 0; g < groupCount; ++g) {
        if (!(degree[g] > -1.0 && degree[g] < 2147483648.0)) {
            return false;
        }
        total += (int)degree[g];
    }
    return total == length;
}

static int workerCount(void) {
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    return processors < 2 ? 1 : (int)(processors / 2);
}

/* Handle of worker i and its record; a null record means no thread runs for
 * slot i, because the record or the thread could not be had. */
struct WorkerSlot {
    pthread_t thread;
    WorkerArgs *args;
};

/* Groups are split evenly by count, not by elements; the last worker takes
 * the remainder. A run whose record or thread cannot be had is processed on
 * the calling thread instead, so the output is complete whatever fails. */
static void shrinkGroups(double *out, double *y, double *degree, double gamma, int groupCount,
                         int length) {
    (void)length; /* the split balances groups, not elements */
    int workers = workerCount();
    WorkerSlot *slots = static_cast<WorkerSlot *>(malloc((size_t)workers * sizeof(WorkerSlot)));
    if (slots == NULL) {
        WorkerArgs all = {out, y, degree, gamma, groupCount};
        proxL2pix(&all);
        return;
    }
    int per = groupCount / workers;
    /* Offsets add the groups' truncated sizes, never the raw degrees: adding
     * an entry such as -0.5 as a double and truncating the running total
     * would pull every later run one element back over its neighbour. */
    int offset = 0;
    int counted = 0;
    for (int i = 0; i < workers; ++i) {
        int first = i * per;
        for (; counted < first; ++counted) {
            offset += (int)degree[counted];
        }
        WorkerArgs run = {out + offset, y + offset, degree + first, gamma,
                          i == workers - 1 ? groupCount - first : per};
        WorkerArgs *args = static_cast<WorkerArgs *>(malloc(sizeof(WorkerArgs)));
        if (args != NULL) {
            *args = run;
            if (pthread_create(&slots[i].thread, NULL, proxL2pix, args) != 0) {
                free(args);
                args = NULL;
            }
        }
        slots[i].args = args;
        if (args == NULL) {
            proxL2pix(&run);
        }
    }
    for (int i = 0; i < workers; ++i) {
        if (slots[i].args != NULL) {
            pthread_join(slots[i].thread, NULL);
        }
    }
    for (int i = 0; i < workers; ++i) {
        free(slots[i].args);
    }
    free(slots);
}

/* t when t > 0 and the norm is not 0, else +0; a NaN t fails the comparison
 * and gives +0 too. Whether a group survives is as random as the data, so a
 * branch here is mispredicted about every other group of one or two
 * elements; selecting by a bit mask keeps the loop free of that branch. t is
 * never -0 (1 - q rounds to +0 when q is 1), so the mask loses no sign. */
static double shrinkFactor(double norm, double t) {
    uint64_t bits;
    memcpy(&bits, &t, sizeof bits);
    bits &= (uint64_t)0 - (uint64_t)((t > 0.0) & (norm != 0.0));
    double factor;
    memcpy(&factor, &bits, sizeof factor);
    return factor;
}

/* Every element is written as factor * y, even when the factor is 0, so a
 * zeroed group keeps each element's sign and turns NaN and infinite elements
 * into NaN. Squares are rounded before they are added and the sum is not
 * rescaled: an overflowing group has norm +inf and factor 1. */
static void *proxL2pix(void *args) {
    const WorkerArgs *run = static_cast<const WorkerArgs *>(args);
    int base = 0;
    for (int g = 0; g < run->groupCount; ++g) {
        int n = (int)run->degree[g];
        if (n > 0) {
            double sum = 0.0;
            for (int j = 0; j < n; ++j) {
                double square = run->y[base + j] * run->y[base + j];
                sum += square;
            }
            double norm = sqrt(sum);
            double factor = shrinkFactor(norm, 1.0 - run->gamma / norm);
            for (int j = 0; j < n; ++j) {
                run->out[base + j] = factor * run->y[base + j];
            }
        }
        base += n;
    }
    return NULL;
}
