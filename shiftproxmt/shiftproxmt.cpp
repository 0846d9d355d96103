/* shiftproxmt: the proximity operator of the shifted Poisson likelihood over worker threads.
 *
 *   t = shiftproxmt(v, u, gamma, s)
 *
 * The shifted Poisson model takes u = max((y - mean) / alpha + s, 0), s = var / alpha^2, as a
 * Poisson count of mean t + s. Each element of t is
 *   argmin over t >= 0 of (t + s) - u log(t + s) + (t - v)^2 / (2 gamma):
 * in z = t + s, the positive root of z^2 + b z - gamma u = 0 with b = (gamma - s) - v, taken
 * without cancellation ((2 gamma) u / (b + d) where b > 0, else (d - b) / 2, with
 * d = sqrt(b^2 + (4 gamma) u)), and t = z - s where that is not negative, else 0. A NaN v or u,
 * or a step gamma <= 0 or NaN, gives NaN (an infinite u too, through z); gamma = Inf gives max(u -
 * s, 0). t has the shape of v. v and u are full real double arrays of the same number of elements;
 * gamma is a positive finite scalar or a full real double array with one element per element of v;
 * s is a nonnegative finite scalar. Every online processor (at most PGMEX_NUM_THREADS) takes a
 * contiguous slice, in the widest lanes the processor has; the bits are those of the formula
 * above, operation by operation, on any number of workers and any path.
 */
#include "mex.h"
#include "gatewaychecks.h"
#include "shiftedprox.h"
#include "workers.h"

#include <math.h>
#include <stdint.h>

enum { IN_V, IN_U, IN_GAMMA, IN_S, IN_COUNT };
enum { OUT_T, OUT_MAX };

struct WorkerArgs;
typedef void (*ElementPath)(const WorkerArgs *slice);

/* One worker's slice; the pointers already sit at the slice's first element. gamma is read
 * at every element when gammaPerElement is set, else its first element serves them all. */
struct WorkerArgs {
    double *t;
    const double *v;
    const double *u;
    const double *gamma;
    bool gammaPerElement;
    double s;
    int len;
    ElementPath path;
};

static void shiftproxmt(double *t, const double *v, const double *u, const double *gamma,
                        bool gammaPerElement, double s, int len);
static void *shiftproxmtix(void *arg);
static ElementPath elementPath(void);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt("pgmex:shiftproxmt:invalidNumInputs",
                          "Four inputs required: v, u - arrays of the same number of elements; "
                          "gamma - a positive scalar, or an array like v; s - a nonnegative "
                          "scalar.");
    }
    if (nlhs > OUT_MAX) {
        mexErrMsgIdAndTxt("pgmex:shiftproxmt:invalidNumOutputs", "One output at most: t.");
    }
    static const char *const vIds[2] = {"pgmex:shiftproxmt:vNotDouble",
                                        "pgmex:shiftproxmt:vComplex"};
    static const char *const uIds[2] = {"pgmex:shiftproxmt:uNotDouble",
                                        "pgmex:shiftproxmt:uComplex"};
    checkRealArray(prhs[IN_V], "v", vIds);
    checkRealArray(prhs[IN_U], "u", uIds);
    uint64_t count = elementCount(prhs[IN_V]);
    if (count != elementCount(prhs[IN_U])) {
        mexErrMsgIdAndTxt("pgmex:shiftproxmt:lengthMismatch",
                          "Inputs v and u must have the same number of elements.");
    }
    if (!fitsIntShape(prhs[IN_V])) {
        mexErrMsgIdAndTxt("pgmex:shiftproxmt:vTooLong",
                          "Input v must have at most 2147483647 elements, in all and along any "
                          "dimension.");
    }
    if (!isFullDouble(prhs[IN_GAMMA]) || mxIsComplex(prhs[IN_GAMMA])) {
        mexErrMsgIdAndTxt("pgmex:shiftproxmt:gammaNotDouble",
                          "Input gamma must be a full real double scalar or array.");
    }
    uint64_t steps = elementCount(prhs[IN_GAMMA]);
    if (steps != 1 && steps != count) {
        mexErrMsgIdAndTxt("pgmex:shiftproxmt:gammaSize",
                          "Input gamma must be a scalar or have as many elements as v.");
    }
    const double *gamma = mxGetPr(prhs[IN_GAMMA]);
    if (steps == 1 && !(gamma[0] > 0.0 && isfinite(gamma[0]))) {
        mexErrMsgIdAndTxt("pgmex:shiftproxmt:gammaNotPositive",
                          "Input gamma must be positive and finite.");
    }
    static const char *const sIds[2] = {"pgmex:shiftproxmt:sNotScalar",
                                        "pgmex:shiftproxmt:sNotNonnegative"};
    double s = readScalar(prhs[IN_S], "s", sIds, NONNEGATIVE);

    plhs[OUT_T] = mxCreateNumericArray(mxGetNumberOfDimensions(prhs[IN_V]),
                                       mxGetDimensions(prhs[IN_V]), mxDOUBLE_CLASS, mxREAL);
    shiftproxmt(mxGetPr(plhs[OUT_T]), mxGetPr(prhs[IN_V]), mxGetPr(prhs[IN_U]), gamma, steps != 1,
                s, (int)count);
}

/* Elements a worker must have to repay its thread: an element costs a square root and a
 * division or two, a few nanoseconds. */
enum { MIN_SLICE = 32768 };

static WorkerArgs sliceOf(const WorkerArgs *all, int workers, int i) {
    int per = all->len / workers;
    int first = i * per;
    WorkerArgs slice = *all;
    slice.t += first;
    slice.v += first;
    slice.u += first;
    slice.gamma += all->gammaPerElement ? first : 0;
    slice.len = i == workers - 1 ? all->len - first : per;
    return slice;
}

/* The calling thread takes the last slice itself. */
static void shiftproxmt(double *t, const double *v, const double *u, const double *gamma,
                        bool gammaPerElement, double s, int len) {
    if (len == 0) {
        return;
    }
    WorkerArgs all = {t, v, u, gamma, gammaPerElement, s, len, elementPath()};
    int workers = ownWorkerCount(len, MIN_SLICE);
    int next = 0;
    runWorkers(
        &all, workers, [&]() { return sliceOf(&all, workers, next++); }, shiftproxmtix, true);
}

/* ---- Elements, in lanes -------------------------------------------------------------------- */

/* One path per lane width, each the same template, so that every path gives the same bits. */
template <class L> LANE_INLINE void elementsIn(const WorkerArgs *slice) {
    const L s = slice->s;
    for (int i = 0; i < slice->len; i += L::kWidth) {
        int count = slice->len - i;
        typename L::Mask live = count >= L::kWidth ? L::all() : L::fromBits((1u << count) - 1);
        L gamma = slice->gammaPerElement ? L::load(slice->gamma + i, count) : L(slice->gamma[0]);
        L t = shiftedProx(L::load(slice->v + i, count), L::load(slice->u + i, count), gamma, s);
        storeLanes(slice->t + i, t, live);
    }
}

static void elementsInScalar(const WorkerArgs *slice) {
    elementsIn<Lanes1>(slice);
}
#ifdef VECTOR_AVX2
AVX2_TARGET static void elementsInAvx2(const WorkerArgs *slice) {
    elementsIn<Lanes4>(slice);
}
#endif
#ifdef VECTOR_AVX512
AVX512_TARGET static void elementsInAvx512(const WorkerArgs *slice) {
    elementsIn<Lanes8>(slice);
}
#endif

static ElementPath elementPath(void) {
    return widestPath<ElementPath>(elementsInScalar, AVX2_PATH(elementsInAvx2),
                                   AVX512_PATH(elementsInAvx512));
}

static void *shiftproxmtix(void *arg) {
    const WorkerArgs *slice = static_cast<const WorkerArgs *>(arg);
    slice->path(slice);
    return NULL;
}
