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
 * F rises with x (its slope 1 / gamma + (E[n] - Var[n]) / x^2 is positive, as the posterior of
 * n has Var <= E), and since E[n] / x falls with x, F(x) >= (x - v) / gamma + 1 - E/x at 0:
 * the root lies in [0, -gamma F(0)]. Halley's method with the element kernel's E[n], Var[n]
 * and third central moment runs inside that bracket, from the proximity operator of the
 * shifted Poisson model, and bisects wherever a step would leave it. Every online processor (at
 * most PGMEX_NUM_THREADS) takes a contiguous slice of the elements, in the widest lanes the
 * processor has; each element's iterations depend on its own inputs alone, so the result has
 * the same bits on any number of workers and any lane width.
 */
#include "mex.h"
#include "gatewaychecks.h"
#include "pgposterior.h"
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
    if (!fitsIntCount(count) || !fitsIntCount(mxGetM(prhs[IN_V])) ||
        !fitsIntCount(mxGetN(prhs[IN_V]))) {
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

/* ---- One element, in lanes ---------------------------------------------------------------- */

/* Newton steps and bisections an element may take; a bracket of doubles halves to nothing well
 * within them. */
static const int kProxSteps = 200;
/* A Newton step this small relative to max(1, x) leaves an error of its square: done, once
 * the root is known to lie within kProxNear of x, relative to max(1, x). */
static const double kProxTolerance = 0x1p-45;
static const double kProxNear = 0x1p-20;

template <class L> LANE_INLINE L atLeastOne(const L &a) {
    return select(a > 1.0, a, 1.0);
}

/* The proximity operator of the shifted Poisson model, (y - mean) / alpha + s ~
 * Poisson(x + s) with s = var / alpha^2: the larger root of x^2 + b x + c with
 * b = s - v + gamma and c = -gamma u / alpha - v s, taken without cancellation. A start for
 * Newton's method, close to the root wherever counts are many. */
template <class L>
LANE_INLINE L shiftedPoissonStart(const L &v, const L &u, const L &gamma, const Noise *p) {
    L s = L(p->var / p->alpha) / p->alpha;
    L b = (s - v) + gamma;
    L c = -(gamma * (u / p->alpha)) - v * s;
    L root = squareRoot(b * b - L(4.0) * c);
    L larger = select(b > 0.0, (L(-2.0) * c) / (b + root), (root - b) * 0.5);
    return select(gamma < HUGE_VAL, larger, u / p->alpha);
}

/* The proximity operator on the lanes of live (see the top of this file). */
template <class L>
LANE_INLINE L proxOf(const L &v, const L &y, const L &gamma, const Noise *p,
                     const typename L::Mask &live) {
    typedef typename L::Mask Mask;
    const L one = 1.0;
    L u;
    L uLow;
    difference(y, p->mean, &u, &uLow);
    Mask bad = ~(gamma > 0.0) | unordered(v, v) | ~(absolute(y) < HUGE_VAL);
    /* v = -Inf gives 0 whatever F(0) rounds to: -v / gamma and 1 - E[n] / x at 0 may both be
     * infinite, and their sum NaN. */
    Mask solving = live & ~bad & (absolute(v) < HUGE_VAL);
    /* F(0), with E[n] / x at its limit. */
    L atZero = -v / gamma + (one - firstTermsRatio(u, uLow, p, solving));
    Mask active = solving & ~(atZero >= 0.0);
    L lower = 0.0;
    L upper = select(gamma < HUGE_VAL, -(gamma * atZero), HUGE_VAL);
    L start = shiftedPoissonStart(v, u, gamma, p);
    L x =
        select((start > 0.0) & (start < upper), start, select(upper < HUGE_VAL, upper * 0.5, one));
    /* Bisection from [0, upper] shrinks upper by this factor, squared at every such step, so
     * that a root many binary orders below it is reached in a few steps. */
    L shrink = 0.5;
    L lastStep = NAN;
    Mask upperSeen = L::fromBits(0u);
    for (int i = 0; i < kProxSteps && any(active); ++i) {
        Posterior<L> r = posteriorOf<L, WANT_THIRD>(x, y, p, active);
        L f = (x - v) / gamma + (one - r.meanOverX);
        lower = select(active & (f < 0.0), x, lower);
        upper = select(active & (f >= 0.0), x, upper);
        upperSeen = upperSeen | (active & (f >= 0.0));
        /* F' = 1 / gamma + (E - Var) / x^2, whose second term rounding can leave just below its
         * true 0 where the posterior is the prior's, and F'' = (3 Var - K3 - 2 E) / x^3, K3
         * the third central moment: dE/dx = Var / x and dVar/dx = K3 / x. */
        L curvature = (r.meanOverX - r.variance / x) / x;
        L slope = one / gamma + select(curvature > 0.0, curvature, 0.0);
        L bend = (((L(3.0) * r.variance - r.third) - L(2.0) * (r.meanOverX * x)) / x / x) / x;
        /* Halley's step where its correction to Newton's is moderate, else Newton's. */
        L newtonStep = f / slope;
        L t = (newtonStep * bend) / (slope + slope);
        L step = select(absolute(t) <= 0.5, newtonStep / (one - t), newtonStep);
        L newton = x - step;
        /* A step below the tolerance ends the search where the root is also known to be near:
         * F rises at least as fast as x / gamma, so it lies within |F| gamma of x. Where the
         * slope at x far exceeds the slope on the way to the root (near 0, under a bright
         * observation), small steps say nothing of the distance, and the bracket is bisected
         * instead. A step so small against the last that the error after it, as the
         * convergence so far predicts it, is below the tolerance ends it too. A step below the
         * tolerance may round onto a bracket's end. */
        L scale = atLeastOne(x);
        L size = absolute(step);
        Mask near = absolute(f) * gamma <= L(kProxNear) * scale;
        Mask small = size <= L(kProxTolerance) * scale;
        Mask predicted =
            (size <= L(kProxNear) * scale) &
            ((size * size) * size <= (L(kProxTolerance) * scale) * (lastStep * lastStep));
        Mask inside = (newton > lower) & (newton < upper) & ~(small & ~near);
        /* The first upper end is a bound, not a point where F was seen >= 0, and the root can
         * sit on it: where the posterior mean stays at its limit (a dark observation under
         * small read noise) F is linear, and Newton lands on that end or rounds just past it.
         * Bisecting instead took 40 steps to the end; the end itself is the better guess. */
        Mask toBound = ~upperSeen & ~inside & (newton >= upper) & (upper > lower) &
                       (upper < HUGE_VAL) & ~(small & ~near);
        /* Within a bracket, its middle, geometric where it spans more than a factor 4; from
         * [0, upper], upper shrunk; with no upper end yet (gamma = Inf), (lower + 1)^2. */
        Mask fromZero = ~(lower > 0.0);
        L middle = select(upper > lower * 4.0, squareRoot(lower) * squareRoot(upper),
                          (lower + upper) * 0.5);
        L bisection = select(upper < HUGE_VAL, select(fromZero, upper * shrink, middle),
                             (lower + one) * (lower + one));
        Mask done = (f == 0.0) | ((small | predicted) & near) |
                    (upper - lower <= L(kProxTolerance) * atLeastOne(lower));
        L next = select(inside, newton, select(done, x, select(toBound, upper, bisection)));
        shrink = select(active & ~inside & ~toBound & ~done & fromZero, shrink * shrink, shrink);
        lastStep = select(active & (inside | toBound), step, lastStep);
        x = select(active, next, x);
        active = active & ~done;
    }
    L solved = select(solving & ~(atZero >= 0.0), x, 0.0);
    return select(bad, NAN, select(v < HUGE_VAL, solved, HUGE_VAL));
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
