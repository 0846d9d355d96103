/* datapdstep: the data term's dual step of pgrestore's primal-dual method over worker threads.
 *
 *   qt = datapdstep(q, Hxt, Hx, sigma, y, var, mean, alpha)   exact likelihood
 *   qt = datapdstep(q, Hxt, Hx, sigma, u, s)                  shifted Poisson likelihood
 *
 * Each element of qt is w - sigma prox(w / sigma) with w = q + sigma (2 Hxt - Hx), the
 * proximity operator of the data term taken with step 1 / sigma (Moreau's identity gives the
 * conjugate's), operation by operation in that order, so that qt has the bits of the same
 * formulas written as array operations with pgproxmt or shiftproxmt. One pass instead of six
 * whole-array ones. q, Hxt, Hx and the data (y, or u) are full real double arrays of the same
 * number of elements; qt has the shape of q. sigma is a positive finite scalar; var, mean, alpha
 * and s as pgproxmt and shiftproxmt take them. Every online processor (at most
 * PGMEX_NUM_THREADS) takes a contiguous slice, in the widest lanes the processor has; the bits
 * are the same on any number of workers and any path.
 */
#include "mex.h"
#include "gatewaychecks.h"
#include "pgprox.h"
#include "shiftedprox.h"
#include "workers.h"

#include <math.h>
#include <stdint.h>

enum { IN_Q, IN_HXT, IN_HX, IN_SIGMA, IN_DATA, IN_S, IN_SHIFTED_COUNT };
enum { IN_VAR = IN_DATA + 1, IN_MEAN, IN_ALPHA, IN_EXACT_COUNT };
enum { OUT_QT, OUT_MAX };

struct WorkerArgs;
typedef void (*ElementPath)(const WorkerArgs *slice);

/* One worker's slice; the pointers already sit at the slice's first element. noise is null for
 * the shifted likelihood, whose shift is s. */
struct WorkerArgs {
    double *qt;
    const double *q;
    const double *hxt;
    const double *hx;
    const double *data;
    double sigma;
    const Noise *noise;
    double s;
    int len;
    ElementPath path;
};

static void datapdstep(double *qt, const double *q, const double *hxt, const double *hx,
                       const double *data, double sigma, const Noise *noise, double s, int len);
static void *datapdstepix(void *arg);
static ElementPath elementPath(bool exact);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_SHIFTED_COUNT && nrhs != IN_EXACT_COUNT) {
        mexErrMsgIdAndTxt("pgmex:datapdstep:invalidNumInputs",
                          "Six or eight inputs required: q, Hxt, Hx - arrays of the same number "
                          "of elements; sigma - a positive scalar; then u, s (shifted Poisson "
                          "likelihood) or y, var, mean, alpha (exact likelihood).");
    }
    if (nlhs > OUT_MAX) {
        mexErrMsgIdAndTxt("pgmex:datapdstep:invalidNumOutputs", "One output at most: qt.");
    }
    bool exact = nrhs == IN_EXACT_COUNT;
    Noise noise = {};
    double s = 0.0;
    if (exact) {
        static const char *const noiseIds[6] = {
            "pgmex:datapdstep:varNotScalar",   "pgmex:datapdstep:varNotPositive",
            "pgmex:datapdstep:meanNotScalar",  "pgmex:datapdstep:meanNotFinite",
            "pgmex:datapdstep:alphaNotScalar", "pgmex:datapdstep:alphaNotPositive"};
        double var = 0.0;
        double mean = 0.0;
        double alpha = 0.0;
        readNoise(prhs + IN_VAR, noiseIds, &var, &mean, &alpha);
        noise = noiseOf(var, mean, alpha);
    } else {
        static const char *const sIds[2] = {"pgmex:datapdstep:sNotScalar",
                                            "pgmex:datapdstep:sNotNonnegative"};
        s = readScalar(prhs[IN_S], "s", sIds, NONNEGATIVE);
    }
    static const char *const sigmaIds[2] = {"pgmex:datapdstep:sigmaNotScalar",
                                            "pgmex:datapdstep:sigmaNotPositive"};
    double sigma = readScalar(prhs[IN_SIGMA], "sigma", sigmaIds, POSITIVE);
    static const char *const qIds[2] = {"pgmex:datapdstep:qNotDouble", "pgmex:datapdstep:qComplex"};
    static const char *const hxtIds[2] = {"pgmex:datapdstep:HxtNotDouble",
                                          "pgmex:datapdstep:HxtComplex"};
    static const char *const hxIds[2] = {"pgmex:datapdstep:HxNotDouble",
                                         "pgmex:datapdstep:HxComplex"};
    static const char *const yIds[2] = {"pgmex:datapdstep:yNotDouble", "pgmex:datapdstep:yComplex"};
    static const char *const uIds[2] = {"pgmex:datapdstep:uNotDouble", "pgmex:datapdstep:uComplex"};
    checkRealArray(prhs[IN_Q], "q", qIds);
    checkRealArray(prhs[IN_HXT], "Hxt", hxtIds);
    checkRealArray(prhs[IN_HX], "Hx", hxIds);
    checkRealArray(prhs[IN_DATA], exact ? "y" : "u", exact ? yIds : uIds);
    uint64_t count = elementCount(prhs[IN_Q]);
    if (count != elementCount(prhs[IN_HXT]) || count != elementCount(prhs[IN_HX]) ||
        count != elementCount(prhs[IN_DATA])) {
        mexErrMsgIdAndTxt("pgmex:datapdstep:lengthMismatch",
                          "Inputs q, Hxt, Hx and %s must have the same number of elements.",
                          exact ? "y" : "u");
    }
    /* qt is created with q's dimensions, which the host takes as ints: an empty q may still
     * have a dimension too large for one. */
    if (!fitsIntShape(prhs[IN_Q])) {
        mexErrMsgIdAndTxt("pgmex:datapdstep:qTooLong",
                          "Input q must have at most 2147483647 elements, in all and along any "
                          "dimension.");
    }

    plhs[OUT_QT] = mxCreateNumericArray(mxGetNumberOfDimensions(prhs[IN_Q]),
                                        mxGetDimensions(prhs[IN_Q]), mxDOUBLE_CLASS, mxREAL);
    datapdstep(mxGetPr(plhs[OUT_QT]), mxGetPr(prhs[IN_Q]), mxGetPr(prhs[IN_HXT]),
               mxGetPr(prhs[IN_HX]), mxGetPr(prhs[IN_DATA]), sigma, exact ? &noise : NULL, s,
               (int)count);
}

/* Elements a worker must have to repay its thread: an exact element costs a few kernel calls,
 * a shifted one a square root and a division or two. */
enum { MIN_SLICE_EXACT = 4096, MIN_SLICE_SHIFTED = 32768 };

static WorkerArgs sliceOf(const WorkerArgs *all, int workers, int i) {
    int per = all->len / workers;
    int first = i * per;
    WorkerArgs slice = *all;
    slice.qt += first;
    slice.q += first;
    slice.hxt += first;
    slice.hx += first;
    slice.data += first;
    slice.len = i == workers - 1 ? all->len - first : per;
    return slice;
}

/* The calling thread takes the last slice itself. */
static void datapdstep(double *qt, const double *q, const double *hxt, const double *hx,
                       const double *data, double sigma, const Noise *noise, double s, int len) {
    if (len == 0) {
        return;
    }
    bool exact = noise != NULL;
    WorkerArgs all = {qt, q, hxt, hx, data, sigma, noise, s, len, elementPath(exact)};
    int workers = ownWorkerCount(len, exact ? MIN_SLICE_EXACT : MIN_SLICE_SHIFTED);
    int next = 0;
    runWorkers(
        &all, workers, [&]() { return sliceOf(&all, workers, next++); }, datapdstepix, true);
}

/* ---- Elements, in lanes -------------------------------------------------------------------- */

/* One path per lane width and likelihood, each the same template, so that every path gives the
 * same bits. The exact likelihood's search takes two registers of lanes (see pgproxmt). */
template <class L, bool exact> LANE_INLINE void elementsIn(const WorkerArgs *slice) {
    const L sigma = slice->sigma;
    const L gamma = 1.0 / slice->sigma;
    const L s = slice->s;
    for (int i = 0; i < slice->len; i += L::kWidth) {
        int count = slice->len - i;
        typename L::Mask live = count >= L::kWidth ? L::all() : L::fromBits((1u << count) - 1);
        L w = L::load(slice->q + i, count) +
              sigma * (L(2.0) * L::load(slice->hxt + i, count) - L::load(slice->hx + i, count));
        L data = L::load(slice->data + i, count);
        L t = exact ? proxOf(w / sigma, data, gamma, slice->noise, live)
                    : shiftedProx(w / sigma, data, gamma, s);
        storeLanes(slice->qt + i, w - sigma * t, live);
    }
}

static void exactScalar(const WorkerArgs *slice) {
    elementsIn<Lanes1, true>(slice);
}
static void shiftedScalar(const WorkerArgs *slice) {
    elementsIn<Lanes1, false>(slice);
}
#ifdef VECTOR_AVX2
AVX2_TARGET static void exactAvx2(const WorkerArgs *slice) {
    elementsIn<Lanes4x2, true>(slice);
}
AVX2_TARGET static void shiftedAvx2(const WorkerArgs *slice) {
    elementsIn<Lanes4, false>(slice);
}
#endif
#ifdef VECTOR_AVX512
AVX512_TARGET static void exactAvx512(const WorkerArgs *slice) {
    elementsIn<Lanes8x2, true>(slice);
}
AVX512_TARGET static void shiftedAvx512(const WorkerArgs *slice) {
    elementsIn<Lanes8, false>(slice);
}
#endif

static ElementPath elementPath(bool exact) {
    if (exact) {
        return widestPath<ElementPath>(exactScalar, AVX2_PATH(exactAvx2), AVX512_PATH(exactAvx512));
    }
    return widestPath<ElementPath>(shiftedScalar, AVX2_PATH(shiftedAvx2),
                                   AVX512_PATH(shiftedAvx512));
}

static void *datapdstepix(void *arg) {
    const WorkerArgs *slice = static_cast<const WorkerArgs *>(arg);
    slice->path(slice);
    return NULL;
}
