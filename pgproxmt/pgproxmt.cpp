/* pgproxmt: the proximity operator of the exact Poisson-Gaussian likelihood over worker threads.
 *
 *   x = pgproxmt(v, y, gamma, var, mean, alpha)
 *
 * For y = alpha n + g with n ~ Poisson(x) and g ~ N(mean, var), each element of x is
 *   argmin over x >= 0 of -log p(y | x) + (x - v)^2 / (2 gamma),
 * the x where F(x) = (x - v) / gamma + 1 - E[n | y, x] / x changes sign, or 0 where F(0) >= 0
 * (with the limit of E[n] / x at 0). x has the shape of v. v and y are full real double arrays
 * of the same number of elements; gamma is a positive finite scalar or a full real double
 * array with one element per element of v; var and alpha are positive finite scalars, mean a
 * finite scalar. A NaN v, y or gamma, an infinite y, or gamma <= 0 give NaN at that element;
 * gamma = Inf gives the maximum-likelihood x; v = Inf gives Inf and v = -Inf gives 0.
 *
 * The search is pgprox.h's. Every online processor (at most PGMEX_NUM_THREADS) takes a
 * contiguous slice of the elements, in the widest lanes the processor has; each element's
 * iterations depend on its own inputs alone, so the result has the same bits on any number of
 * workers and any lane width.
 */
#include "mex.h"
#include "gatewaychecks.h"
#include "pgprox.h"
#include "workers.h"

#include <math.h>
#include <stdint.h>

enum { IN_V, IN_Y, IN_GAMMA, IN_VAR, IN_MEAN, IN_ALPHA, IN_COUNT };
enum { OUT_X, OUT_MAX };

struct WorkerArgs;
typedef void (*ElementPath)(const WorkerArgs *slice);

/* One worker's slice; the pointers already sit at the slice's first element. gamma is read
 * at every element when gammaPerElement is set, else its first element serves them all. */
struct WorkerArgs {
    double *x;
    const double *v;
    const double *y;
    const double *gamma;
    bool gammaPerElement;
    const Noise *noise;
    int len;
    ElementPath path;
    int lanes; /* the path's lanes: 1, 8 or 16 */
};

static void pgproxmt(double *x, const double *v, const double *y, const double *gamma,
                     bool gammaPerElement, double var, double mean, double alpha, int len);
static void *pgproxmtix(void *arg);
static ElementPath elementPath(int *lanes);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt("pgmex:pgproxmt:invalidNumInputs",
                          "Six inputs required: v, y - arrays of the same number of elements; "
                          "gamma - a positive scalar, or an array like v; var, mean, alpha - "
                          "scalars (Gaussian noise variance and mean, scaling parameter of "
                          "Poisson noise).");
    }
    if (nlhs > OUT_MAX) {
        mexErrMsgIdAndTxt("pgmex:pgproxmt:invalidNumOutputs", "One output at most: x.");
    }
    static const char *const noiseIds[6] = {
        "pgmex:pgproxmt:varNotScalar",   "pgmex:pgproxmt:varNotPositive",
        "pgmex:pgproxmt:meanNotScalar",  "pgmex:pgproxmt:meanNotFinite",
        "pgmex:pgproxmt:alphaNotScalar", "pgmex:pgproxmt:alphaNotPositive"};
    double var = 0.0;
    double mean = 0.0;
    double alpha = 0.0;
    readNoise(prhs + IN_VAR, noiseIds, &var, &mean, &alpha);
    static const char *const vIds[2] = {"pgmex:pgproxmt:vNotDouble", "pgmex:pgproxmt:vComplex"};
    static const char *const yIds[2] = {"pgmex:pgproxmt:yNotDouble", "pgmex:pgproxmt:yComplex"};
    checkRealArray(prhs[IN_V], "v", vIds);
    checkRealArray(prhs[IN_Y], "y", yIds);
    uint64_t count = elementCount(prhs[IN_V]);
    if (count != elementCount(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("pgmex:pgproxmt:lengthMismatch",
                          "Inputs v and y must have the same number of elements.");
    }
    /* x is created with v's dimensions, which the host takes as ints: an empty v may still
     * have a dimension too large for one. */
    if (!fitsIntShape(prhs[IN_V])) {
        mexErrMsgIdAndTxt("pgmex:pgproxmt:vTooLong",
                          "Input v must have at most 2147483647 elements, in all and along any "
                          "dimension.");
    }
    if (!isFullDouble(prhs[IN_GAMMA])) {
        mexErrMsgIdAndTxt("pgmex:pgproxmt:gammaNotDouble",
                          "Input gamma must be a full real double scalar or array.");
    }
    if (mxIsComplex(prhs[IN_GAMMA])) {
        mexErrMsgIdAndTxt("pgmex:pgproxmt:gammaComplex", "Input gamma must be real.");
    }
    uint64_t steps = elementCount(prhs[IN_GAMMA]);
    if (steps != 1 && steps != count) {
        mexErrMsgIdAndTxt("pgmex:pgproxmt:gammaSize",
                          "Input gamma must be a scalar or have as many elements as v.");
    }
    const double *gamma = mxGetPr(prhs[IN_GAMMA]);
    /* One step serves every element, and must be one that makes a proximity operator. */
    if (steps == 1 && !(gamma[0] > 0.0 && isfinite(gamma[0]))) {
        mexErrMsgIdAndTxt("pgmex:pgproxmt:gammaNotPositive",
                          "Input gamma must be positive and finite.");
    }
    const double *v = mxGetPr(prhs[IN_V]);
    const double *y = mxGetPr(prhs[IN_Y]);

    plhs[OUT_X] = mxCreateNumericArray(mxGetNumberOfDimensions(prhs[IN_V]),
                                       mxGetDimensions(prhs[IN_V]), mxDOUBLE_CLASS, mxREAL);
    pgproxmt(mxGetPr(plhs[OUT_X]), v, y, gamma, steps != 1, var, mean, alpha, (int)count);
}

/* Elements a worker must have to repay its thread: an element costs a few kernel calls. */
enum { MIN_SLICE = 4096 };

static WorkerArgs sliceOf(const WorkerArgs *all, int workers, int i) {
    int per = all->len / workers;
    int first = i * per;
    WorkerArgs slice = *all;
    slice.x += first;
    slice.v += first;
    slice.y += first;
    slice.gamma += all->gammaPerElement ? first : 0;
    slice.len = i == workers - 1 ? all->len - first : per;
    return slice;
}

/* The calling thread takes the last slice itself. */
static void pgproxmt(double *x, const double *v, const double *y, const double *gamma,
                     bool gammaPerElement, double var, double mean, double alpha, int len) {
    if (len == 0) {
        return;
    }
    Noise noise = noiseOf(var, mean, alpha);
    WorkerArgs all = {x, v, y, gamma, gammaPerElement, &noise, len, NULL, 1};
    all.path = elementPath(&all.lanes);
    int workers = ownWorkerCount(len, MIN_SLICE);
    int next = 0;
    runWorkers(
        &all, workers, [&]() { return sliceOf(&all, workers, next++); }, pgproxmtix, true);
}

/* One path per lane width, each the same template, so that every path gives the same bits. */
template <class L> LANE_INLINE void elementsIn(const WorkerArgs *slice) {
    for (int i = 0; i < slice->len; i += L::kWidth) {
        int count = slice->len - i;
        typename L::Mask live = count >= L::kWidth ? L::all() : L::fromBits((1u << count) - 1);
        L gamma = slice->gammaPerElement ? L::load(slice->gamma + i, count) : L(slice->gamma[0]);
        L x = proxOf(L::load(slice->v + i, count), L::load(slice->y + i, count), gamma,
                     slice->noise, live);
        storeLanes(slice->x + i, x, live);
    }
}

static void elementsInScalar(const WorkerArgs *slice) {
    elementsIn<Lanes1>(slice);
}
#ifdef VECTOR_AVX2
AVX2_TARGET static void elementsInAvx2(const WorkerArgs *slice) {
    elementsIn<Lanes4x2>(slice);
}
#endif
#ifdef VECTOR_AVX512
AVX512_TARGET static void elementsInAvx512(const WorkerArgs *slice) {
    elementsIn<Lanes8x2>(slice);
}
#endif

/* The one place a path is chosen: the widest the processor and the build allow, each in two
 * registers of lanes, whose two chains of multiplications the processor interleaves. */
static ElementPath elementPath(int *lanes) {
    int bits = 0;
    ElementPath path = widestPath<ElementPath>(elementsInScalar, AVX2_PATH(elementsInAvx2),
                                               AVX512_PATH(elementsInAvx512), &bits);
    *lanes = bits == 0 ? 1 : bits / 32;
    return path;
}

static void *pgproxmtix(void *arg) {
    const WorkerArgs *slice = static_cast<const WorkerArgs *>(arg);
    slice->path(slice);
    return NULL;
}
