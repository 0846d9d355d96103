/* pglikmt: the exact Poisson-Gaussian likelihood and its gradient over worker threads.
 *
 *   [grad, nll, dnll] = pglikmt(x, y, var, mean, alpha)
 *
 * For y = alpha n + g with n ~ Poisson(x) and g ~ N(mean, var),
 * p(y | x) = sum over n >= 0 of e^-x x^n / n! N(y; alpha n + mean, var). grad has the shape of
 * x and holds d/dx(i) of -log p(y(i) | x(i)) = 1 - E[n | y(i), x(i)] / x(i) (its limit at
 * x(i) = 0); nll, a 1x1 double made only when asked for, is the sum over i of
 * -log p(y(i) | x(i)), constants included; dnll, a 3x1 double made only when asked for, is
 * [d/dvar; d/dmean; d/dalpha] of that sum, from the posterior moments of each element: with
 * d = y - mean - alpha n, d/dmean = -E[d] / var, d/dalpha = -E[n d] / var and
 * d/dvar = (var - E[d^2]) / (2 var^2). x and y are full real double arrays of the same
 * number of elements; var and alpha are positive finite scalars, mean a finite scalar.
 * x(i) < 0 or NaN, or y(i) not finite, gives grad(i) = NaN and a NaN nll.
 *
 * Each element is the element kernel's (pgposterior.h), in the widest lanes the processor
 * has. Every online processor (at most PGMEX_NUM_THREADS) takes a contiguous slice of the
 * elements, each slice long enough to repay its thread; nll and dnll are added in fixed
 * blocks, so that they have the same bits on any number of workers.
 */
#include "mex.h"
#include "gatewaychecks.h"
#include "pgposterior.h"
#include "workers.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>

enum { IN_X, IN_Y, IN_VAR, IN_MEAN, IN_ALPHA, IN_COUNT };
enum { OUT_GRAD, OUT_NLL, OUT_DNLL, OUT_MAX };

struct WorkerArgs;
/* A path through elements first to end of a slice: with sumsOf not null, the terms of each
 * element's block sums go into sumsOf[k * NLL_BLOCK + i - first], k = 0 for nll and, when
 * sums is 4, k = 1, 2, 3 for d/dvar, d/dmean and d/dalpha. */
typedef void (*ElementPath)(const WorkerArgs *slice, int first, int end, double *sumsOf);

/* One worker's slice; the pointers already sit at the slice's first element (blockSums at the
 * slice's first block, or null when neither nll nor dnll is asked for). Each block has sums
 * sums: nll, and with dnll its three derivatives. */
struct WorkerArgs {
    double *grad;
    const double *x;
    const double *y;
    double *blockSums;
    int sums;
    const Noise *noise;
    int len;
    ElementPath path;
    int lanes; /* the path's lanes: 1, 8 or 16 */
};

static void pglikmt(double *grad, double *nll, double *dnll, const double *x, const double *y,
                    double var, double mean, double alpha, int len);
static void *pglikmtix(void *arg);
static ElementPath elementPath(int *lanes);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt("pgmex:pglikmt:invalidNumInputs",
                          "Five inputs required: x, y - arrays of the same number of elements; "
                          "var, mean, alpha - scalars (Gaussian noise variance and mean, scaling "
                          "parameter of Poisson noise).");
    }
    if (nlhs > OUT_MAX) {
        mexErrMsgIdAndTxt("pgmex:pglikmt:invalidNumOutputs",
                          "At most three outputs: grad, nll and dnll.");
    }
    static const char *const noiseIds[6] = {
        "pgmex:pglikmt:varNotScalar",   "pgmex:pglikmt:varNotPositive",
        "pgmex:pglikmt:meanNotScalar",  "pgmex:pglikmt:meanNotFinite",
        "pgmex:pglikmt:alphaNotScalar", "pgmex:pglikmt:alphaNotPositive"};
    double var = 0.0;
    double mean = 0.0;
    double alpha = 0.0;
    readNoise(prhs + IN_VAR, noiseIds, &var, &mean, &alpha);
    static const char *const xIds[2] = {"pgmex:pglikmt:xNotDouble", "pgmex:pglikmt:xComplex"};
    static const char *const yIds[2] = {"pgmex:pglikmt:yNotDouble", "pgmex:pglikmt:yComplex"};
    checkRealArray(prhs[IN_X], "x", xIds);
    checkRealArray(prhs[IN_Y], "y", yIds);
    uint64_t count = elementCount(prhs[IN_X]);
    if (count != elementCount(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("pgmex:pglikmt:lengthMismatch",
                          "Inputs x and y must have the same number of elements.");
    }
    /* grad is created with x's dimensions, which the host takes as ints: an empty x may still
     * have a dimension too large for one. */
    if (!fitsIntShape(prhs[IN_X])) {
        mexErrMsgIdAndTxt("pgmex:pglikmt:xTooLong",
                          "Input x must have at most 2147483647 elements, in all and along any "
                          "dimension.");
    }
    const double *x = mxGetPr(prhs[IN_X]);
    const double *y = mxGetPr(prhs[IN_Y]);
    int len = (int)count;

    plhs[OUT_GRAD] = mxCreateNumericArray(mxGetNumberOfDimensions(prhs[IN_X]),
                                          mxGetDimensions(prhs[IN_X]), mxDOUBLE_CLASS, mxREAL);
    double *nll = NULL;
    double *dnll = NULL;
    if (nlhs > OUT_NLL) {
        plhs[OUT_NLL] = mxCreateDoubleMatrix(1, 1, mxREAL);
        nll = mxGetPr(plhs[OUT_NLL]);
    }
    if (nlhs > OUT_DNLL) {
        plhs[OUT_DNLL] = mxCreateDoubleMatrix(3, 1, mxREAL);
        dnll = mxGetPr(plhs[OUT_DNLL]);
    }
    pglikmt(mxGetPr(plhs[OUT_GRAD]), nll, dnll, x, y, var, mean, alpha, len);
}

/* nll and dnll are added up in blocks of this many elements at fixed positions, in index order
 * within a block and then block by block, so the totals never depend on how the slices fall. */
enum { NLL_BLOCK = 256 };

/* Elements a worker must have to repay its thread: a thread's start and join cost about as
 * much as a thousand elements on the widest lanes. */
enum { MIN_SLICE = 16384 };

/* With block sums, every slice but the last is a whole number of blocks. */
static WorkerArgs sliceOf(const WorkerArgs *all, int workers, int i) {
    int per = all->len / workers;
    if (all->blockSums != NULL) {
        per -= per % NLL_BLOCK;
    }
    int first = i * per;
    WorkerArgs slice = *all;
    slice.grad += first;
    slice.x += first;
    slice.y += first;
    slice.blockSums =
        all->blockSums == NULL ? NULL : all->blockSums + first / NLL_BLOCK * all->sums;
    slice.len = i == workers - 1 ? all->len - first : per;
    return slice;
}

/* Without room for the block sums, the calling thread takes every block itself, adding each
 * block's sums as they come: the same sums in the same order. */
static void onCallingThread(const WorkerArgs *all, double *totals) {
    for (int k = 0; k < all->sums; ++k) {
        totals[k] = 0.0;
    }
    for (int first = 0; first < all->len; first += NLL_BLOCK) {
        double sums[4];
        WorkerArgs block = sliceOf(all, 1, 0);
        block.grad += first;
        block.x += first;
        block.y += first;
        block.blockSums = sums;
        block.len = all->len - first < NLL_BLOCK ? all->len - first : NLL_BLOCK;
        pglikmtix(&block);
        for (int k = 0; k < all->sums; ++k) {
            totals[k] += sums[k];
        }
    }
}

/* The calling thread takes the last slice itself. nll and dnll come back as one array of
 * totals, nll first. */
static void pglikmt(double *grad, double *nll, double *dnll, const double *x, const double *y,
                    double var, double mean, double alpha, int len) {
    Noise noise = noiseOf(var, mean, alpha);
    double totals[4] = {0.0, 0.0, 0.0, 0.0};
    WorkerArgs all = {grad, x, y, NULL, dnll == NULL ? 1 : 4, &noise, len, NULL, 1};
    all.path = elementPath(&all.lanes);
    if (len > 0 && nll != NULL) {
        int blocks = (len - 1) / NLL_BLOCK + 1;
        all.blockSums = static_cast<double *>(malloc((size_t)blocks * all.sums * sizeof(double)));
        if (all.blockSums == NULL) {
            onCallingThread(&all, totals);
        } else {
            int workers = ownWorkerCount(len, MIN_SLICE);
            int next = 0;
            runWorkers(
                &all, workers, [&]() { return sliceOf(&all, workers, next++); }, pglikmtix, true);
            for (int b = 0; b < blocks; ++b) {
                for (int k = 0; k < all.sums; ++k) {
                    totals[k] += all.blockSums[b * all.sums + k];
                }
            }
            free(all.blockSums);
        }
    } else if (len > 0) {
        int workers = ownWorkerCount(len, MIN_SLICE);
        int next = 0;
        runWorkers(
            &all, workers, [&]() { return sliceOf(&all, workers, next++); }, pglikmtix, true);
    }
    if (nll != NULL) {
        *nll = totals[0];
    }
    if (dnll != NULL) {
        for (int k = 0; k < 3; ++k) {
            dnll[k] = totals[1 + k];
        }
    }
}

/* ---- Elements in lanes ---------------------------------------------------------------------
 * One path per lane width, each the same template, so that every path gives the same bits. */
template <class L>
LANE_INLINE void elementsIn(const WorkerArgs *slice, int first, int end, double *sumsOf) {
    const Noise *p = slice->noise;
    const L one = 1.0;
    for (int i = first; i < end; i += L::kWidth) {
        int count = end - i;
        typename L::Mask live = count >= L::kWidth ? L::all() : L::fromBits((1u << count) - 1);
        L x = L::load(slice->x + i, count);
        L y = L::load(slice->y + i, count);
        if (sumsOf == NULL) {
            Posterior<L> r = posteriorOf<L, WANT_MEAN>(x, y, p, live);
            storeLanes(slice->grad + i, one - r.meanOverX, live);
        } else if (slice->sums == 1) {
            Posterior<L> r = posteriorOf<L, WANT_NLL>(x, y, p, live);
            storeLanes(slice->grad + i, one - r.meanOverX, live);
            storeLanes(sumsOf + (i - first), r.nll, live);
        } else {
            Posterior<L> r = posteriorOf<L, WANT_NLL | WANT_VARIANCE | WANT_OFFSET>(x, y, p, live);
            storeLanes(slice->grad + i, one - r.meanOverX, live);
            storeLanes(sumsOf + (i - first), r.nll, live);
            /* With d = y - mean - alpha n: E[d^2] = E[d]^2 + alpha^2 Var[n] and
             * E[n d] = E[n] E[d] - alpha Var[n], each a sum of the posterior's own moments
             * about its mean, with nothing left to cancel. */
            L d = r.offset;
            L spread = L(p->alpha) * r.variance;
            L meanCount = select(x > 0.0, r.meanOverX * x, 0.0);
            L square = d * d + L(p->alpha) * spread;
            storeLanes(sumsOf + NLL_BLOCK + (i - first),
                       (L(p->var) - square) / L((2.0 * p->var) * p->var), live);
            storeLanes(sumsOf + 2 * NLL_BLOCK + (i - first), -d / p->var, live);
            storeLanes(sumsOf + 3 * NLL_BLOCK + (i - first), -(meanCount * d - spread) / p->var,
                       live);
        }
    }
}

static void elementsInScalar(const WorkerArgs *slice, int first, int end, double *sumsOf) {
    elementsIn<Lanes1>(slice, first, end, sumsOf);
}
#ifdef VECTOR_AVX2
AVX2_TARGET static void elementsInAvx2(const WorkerArgs *slice, int first, int end,
                                       double *sumsOf) {
    elementsIn<Lanes4x2>(slice, first, end, sumsOf);
}
#endif
#ifdef VECTOR_AVX512
AVX512_TARGET static void elementsInAvx512(const WorkerArgs *slice, int first, int end,
                                           double *sumsOf) {
    elementsIn<Lanes8x2>(slice, first, end, sumsOf);
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

/* The slice on its path; with block sums, a block's elements' terms are kept until the block
 * is done and then added in index order into the slice's block sums. */
static void *pglikmtix(void *arg) {
    const WorkerArgs *slice = static_cast<const WorkerArgs *>(arg);
    if (slice->blockSums == NULL) {
        slice->path(slice, 0, slice->len, NULL);
        return NULL;
    }
    double terms[4 * NLL_BLOCK];
    for (int first = 0; first < slice->len; first += NLL_BLOCK) {
        int end = slice->len - first < NLL_BLOCK ? slice->len : first + NLL_BLOCK;
        slice->path(slice, first, end, terms);
        for (int k = 0; k < slice->sums; ++k) {
            double sum = 0.0;
            for (int i = first; i < end; ++i) {
                sum += terms[k * NLL_BLOCK + i - first];
            }
            slice->blockSums[first / NLL_BLOCK * slice->sums + k] = sum;
        }
    }
    return NULL;
}
