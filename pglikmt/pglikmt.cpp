/* pglikmt: the exact Poisson-Gaussian likelihood and its gradient over worker threads.
 *
 *   [grad, nll] = pglikmt(x, y, var, mean, alpha)
 *
 * For y = alpha n + g with n ~ Poisson(x) and g ~ N(mean, var),
 * p(y | x) = sum over n >= 0 of e^-x x^n / n! N(y; alpha n + mean, var). grad has the shape of
 * x and holds d/dx(i) of -log p(y(i) | x(i)) = 1 - E[n | y(i), x(i)] / x(i) (its limit at
 * x(i) = 0); nll, a 1x1 double made only when asked for, is the sum over i of
 * -log p(y(i) | x(i)), constants included. x and y are full real double arrays of the same
 * number of elements; var and alpha are positive finite scalars, mean a finite scalar.
 * x(i) < 0 or NaN, or y(i) not finite, gives grad(i) = NaN and a NaN nll. Three quarters of
 * the online processors (at least one) each take a contiguous slice of the elements.
 *
 * The series is summed around its largest term, walking both ways with the exact ratio of
 * consecutive terms until what is left cannot change the double result. Where the terms that
 * matter span so many counts that walking them one by one would be slow, or the counts pass
 * 2^52, the sum is taken as a trapezoid rule of width a quarter of its spread, which agrees
 * with the sum over the integers far below double precision there. On processors with
 * AVX-512 the elements go eight at a time through vector lanes, from their start to their grad,
 * bit for bit as the scalar code goes.
 */
#include "mex.h"
#include "gatewaychecks.h"

#include <math.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

enum { IN_X, IN_Y, IN_VAR, IN_MEAN, IN_ALPHA, IN_COUNT };

/* Walks in lanes (see the worker) where the compiler and processor have them;
 * WIDEST_VECTOR_BITS (512 unless the build says otherwise) caps the widest path chosen. */
#ifndef WIDEST_VECTOR_BITS
#define WIDEST_VECTOR_BITS 512
#endif
#if defined(__x86_64__) && defined(__GNUC__) && WIDEST_VECTOR_BITS >= 512
#define PGLIK_LANES 8
#include <immintrin.h>
#endif
struct WorkerArgs;
/* A path through elements first to end of a slice, the nll of each into nllOf[i - first]
 * when nllOf is not null. */
typedef void (*LanePath)(const WorkerArgs *slice, int first, int end, double *nllOf);
enum { OUT_GRAD, OUT_NLL, OUT_MAX };

/* The noise and what a call derives from it once, shared read-only by every worker. */
struct Noise {
    double mean;
    double alpha;
    double var;
    double alphaOverVar;
    double c;             /* alpha^2 / var: log r_n falls by c, plus log(n / (n - 1)), per count */
    double decay;         /* e^-c */
    double halfLog2PiVar; /* the Gaussian's normalising constant, in logs */
};

/* One worker's slice; the pointers already sit at the slice's first element (blockNll at the
 * slice's first block sum, or null when nll is not asked for). */
struct WorkerArgs {
    double *grad;
    const double *x;
    const double *y;
    double *blockNll;
    const Noise *noise;
    int len;
    LanePath lanes; /* null: the scalar path */
};

static uint64_t elementCount(const mxArray *a);
static void pglikmt(double *grad, double *nll, const double *x, const double *y, double var,
                    double mean, double alpha, int len);
static void *pglikmtix(void *arg);
static LanePath lanePath(void);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:invalidNumInputs",
                          "Five inputs required: x, y - arrays of the same number of elements; "
                          "var, mean, alpha - scalars (Gaussian noise variance and mean, scaling "
                          "parameter of Poisson noise).");
    }
    if (nlhs > OUT_MAX) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:invalidNumOutputs", "At most two outputs: grad and nll.");
    }
    if (!isRealDoubleScalar(prhs[IN_VAR])) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:varNotScalar", "Input var must be a real double scalar.");
    }
    double var = mxGetScalar(prhs[IN_VAR]);
    if (!(var > 0.0 && isfinite(var))) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:varNotPositive",
                          "Input var must be positive and finite.");
    }
    if (!isRealDoubleScalar(prhs[IN_MEAN])) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:meanNotScalar",
                          "Input mean must be a real double scalar.");
    }
    double mean = mxGetScalar(prhs[IN_MEAN]);
    if (!isfinite(mean)) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:meanNotFinite", "Input mean must be finite.");
    }
    if (!isRealDoubleScalar(prhs[IN_ALPHA])) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:alphaNotScalar",
                          "Input alpha must be a real double scalar.");
    }
    double alpha = mxGetScalar(prhs[IN_ALPHA]);
    if (!(alpha > 0.0 && isfinite(alpha))) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:alphaNotPositive",
                          "Input alpha must be positive and finite.");
    }
    /* Sparse storage and other classes hold no run of doubles to read in place. */
    if (!isFullDouble(prhs[IN_X])) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:xNotDouble", "Input x must be a full real double array.");
    }
    if (mxIsComplex(prhs[IN_X])) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:xComplex", "Input x must be real.");
    }
    if (!isFullDouble(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:yNotDouble", "Input y must be a full real double array.");
    }
    if (mxIsComplex(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:yComplex", "Input y must be real.");
    }
    uint64_t count = elementCount(prhs[IN_X]);
    if (count != elementCount(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:lengthMismatch",
                          "Inputs x and y must have the same number of elements.");
    }
    /* grad is created with x's dimensions, which the host takes as ints: an empty x may still
     * have a dimension too large for one. */
    if (!fitsIntCount(count) || !fitsIntCount(mxGetM(prhs[IN_X])) ||
        !fitsIntCount(mxGetN(prhs[IN_X]))) {
        mexErrMsgIdAndTxt("MATLAB:pglikmt:xTooLong",
                          "Input x must have at most 2147483647 elements, in all and along any "
                          "dimension.");
    }
    const double *x = mxGetPr(prhs[IN_X]);
    const double *y = mxGetPr(prhs[IN_Y]);
    int len = (int)count;

    plhs[OUT_GRAD] = mxCreateNumericArray(mxGetNumberOfDimensions(prhs[IN_X]),
                                          mxGetDimensions(prhs[IN_X]), mxDOUBLE_CLASS, mxREAL);
    double *nll = NULL;
    if (nlhs == OUT_MAX) {
        plhs[OUT_NLL] = mxCreateDoubleMatrix(1, 1, mxREAL);
        nll = mxGetPr(plhs[OUT_NLL]);
    }
    pglikmt(mxGetPr(plhs[OUT_GRAD]), nll, x, y, var, mean, alpha, len);
}

/* Rows times columns (columns being the product of every trailing dimension), saturated so
 * that no pair of huge claimed dimensions can wrap round to a small count. */
static uint64_t elementCount(const mxArray *a) {
    uint64_t m = mxGetM(a);
    uint64_t n = mxGetN(a);
    if (m != 0 && n > UINT64_MAX / m) {
        return UINT64_MAX;
    }
    return m * n;
}

/* 3n <= 3 covers one processor, none, and the -1 of a failed query. */
static int workerCount(void) {
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    if (3 * processors <= 3) {
        return 1;
    }
    return (int)(3 * processors / 4);
}

/* nll is added up in blocks of this many elements at fixed positions, in index order within a
 * block and then block by block, so the total never depends on how the slices fall. */
enum { NLL_BLOCK = 256 };

struct WorkerSlot {
    pthread_t thread;
    WorkerArgs *args;
};

/* With nll, every slice but the last is a whole number of blocks. */
static WorkerArgs sliceOf(const WorkerArgs *all, int workers, int i) {
    int per = all->len / workers;
    if (all->blockNll != NULL) {
        per -= per % NLL_BLOCK;
    }
    int first = i * per;
    WorkerArgs slice = {
        all->grad + first, all->x + first,
        all->y + first,    all->blockNll == NULL ? NULL : all->blockNll + first / NLL_BLOCK,
        all->noise,        i == workers - 1 ? all->len - first : per,
        all->lanes};
    return slice;
}

/* Without room for the block sums, the calling thread takes every block itself, adding each
 * sum as it comes: the same sums in the same order. */
static double onCallingThread(const WorkerArgs *all) {
    double total = 0.0;
    for (int first = 0; first < all->len; first += NLL_BLOCK) {
        double sum = 0.0;
        int left = all->len - first;
        WorkerArgs block = {all->grad + first, all->x + first,
                            all->y + first,    &sum,
                            all->noise,        left < NLL_BLOCK ? left : NLL_BLOCK,
                            all->lanes};
        pglikmtix(&block);
        total += sum;
    }
    return total;
}

/* A slice whose record or thread cannot be had is computed on the calling thread once every
 * other worker has been started; each element depends on its own inputs alone, so where a
 * slice runs never changes a result. */
static void pglikmt(double *grad, double *nll, const double *x, const double *y, double var,
                    double mean, double alpha, int len) {
    Noise noise;
    noise.mean = mean;
    noise.alpha = alpha;
    noise.var = var;
    noise.alphaOverVar = alpha / var;
    noise.c = alpha * noise.alphaOverVar;
    noise.decay = exp(-noise.c);
    noise.halfLog2PiVar = 0.5 * (1.8378770664093456 + log(var));
    if (nll != NULL) {
        *nll = 0.0;
    }
    if (len == 0) {
        return;
    }
    WorkerArgs all = {grad, x, y, NULL, &noise, len, lanePath()};
    int blocks = (len - 1) / NLL_BLOCK + 1;
    if (nll != NULL) {
        all.blockNll = static_cast<double *>(malloc((size_t)blocks * sizeof(double)));
        if (all.blockNll == NULL) {
            *nll = onCallingThread(&all);
            return;
        }
    }
    int workers = workerCount();
    WorkerSlot *slots = static_cast<WorkerSlot *>(malloc((size_t)workers * sizeof(WorkerSlot)));
    if (slots == NULL) {
        pglikmtix(&all);
    } else {
        for (int i = 0; i < workers; ++i) {
            WorkerArgs *args = static_cast<WorkerArgs *>(malloc(sizeof(WorkerArgs)));
            if (args != NULL) {
                *args = sliceOf(&all, workers, i);
                if (pthread_create(&slots[i].thread, NULL, pglikmtix, args) != 0) {
                    free(args);
                    args = NULL;
                }
            }
            slots[i].args = args;
        }
        for (int i = 0; i < workers; ++i) {
            if (slots[i].args == NULL) {
                WorkerArgs slice = sliceOf(&all, workers, i);
                pglikmtix(&slice);
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
    if (nll != NULL) {
        double total = 0.0;
        for (int b = 0; b < blocks; ++b) {
            total += all.blockNll[b];
        }
        *nll = total;
        free(all.blockNll);
    }
}

/* ---- One element ---------------------------------------------------------------------------
 * Write u = y - mean and r_n = t_n / t_(n-1) = (x / n) exp(alpha (u - alpha (n - 1/2)) / var)
 * for the ratio of consecutive terms. log r_n falls strictly with n, so the terms rise to one
 * largest term and fall after it, and r_(n+1) = r_n (n / (n + 1)) e^-c.
 */

/* Below this relative size the rest of a sum cannot reach the last bit of the double result. */
static const double kNegligible = 0x1p-56;
/* Widest spread, in counts, that is walked one count at a time. */
static const double kWidestWalk = 128.0;
/* Counts from here on are not all doubles apart from one another. */
static const double kLargestWalkedCount = 0x1p52;

/* The whole part of v >= 0, by conversion: floor is a library call on the plain x86-64
 * target, and whole parts of doubles from 2^52 on are the doubles themselves. */
static double wholePart(double v) {
    return v < 0x1p52 ? (double)(int64_t)v : v;
}

/* y - mean as an unevaluated sum hi + lo, exact (two-sum). */
struct Exact {
    double hi;
    double lo;
};

static Exact difference(double y, double mean) {
    Exact u;
    u.hi = y - mean;
    double back = u.hi - y;
    u.lo = isfinite(u.hi) ? (y - (u.hi - back)) + (-mean - back) : 0.0;
    return u;
}

/* The rounding error of the product p = a * b of a, b >= 0, exact by Dekker's splitting; no
 * fused multiply-add, so the same bits on every build. Factors so large that a split would
 * overflow keep no correction: their offsets are far beyond any count that matters. */
static double productError(double a, double b, double p) {
    if (!(a < 0x1p990 && b < 0x1p990 && p < 0x1p990)) {
        return 0.0;
    }
    double sa = 134217729.0 * a;
    double ah = sa - (sa - a);
    double al = a - ah;
    double sb = 134217729.0 * b;
    double bh = sb - (sb - b);
    double bl = b - bh;
    return ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

/* u - alpha m, with u and alpha m both kept exact until the last subtraction: near the
 * Gaussian's centre the two agree in most of their bits, and the offset decides the weights
 * of neighbouring counts when var is small. */
static double offsetAt(const Exact *u, double alpha, double m) {
    double p = alpha * m;
    return (u->hi - p) + (u->lo - productError(alpha, m, p));
}

/* log(x / n), also where x / n would fall below the normal range. */
static double logOver(double x, double n) {
    double q = x / n;
    return q >= 0x1p-1000 ? log(q) : log(x) - log(n);
}

/* alpha d / var, which is the Gaussian's log ratio of neighbouring counts for an offset d;
 * alpha / var itself passes the largest double when var is subnormal, and then the product is
 * formed first. */
static double gaussianExponent(const Noise *p, double d) {
    return p->alphaOverVar < HUGE_VAL ? p->alphaOverVar * d : (p->alpha * d) / p->var;
}

/* log r_n for any real n > 0. */
static double logRatio(double x, const Exact *u, const Noise *p, double n) {
    return logOver(x, n) + gaussianExponent(p, offsetAt(u, p->alpha, n - 0.5));
}

/* log n! - (n log n - n + log(2 pi n) / 2), the Stirling series to the term in n^-9, good to
 * 1e-16 from n = 16 on. */
static double stirlingCorrection(double n) {
    double z = 1.0 / n;
    double z2 = z * z;
    return z * (1.0 / 12 - z2 * (1.0 / 360 - z2 * (1.0 / 1260 - z2 * (1.0 / 1680 - z2 / 1188))));
}

static const double kLogFactorial[16] = {
    0.0,
    0.0,
    0.6931471805599453,
    1.791759469228055,
    3.1780538303479458,
    4.787491742782046,
    6.579251212010101,
    8.525161361065415,
    10.60460290274525,
    12.801827480081469,
    15.104412573075516,
    17.502307845873887,
    19.987214495661885,
    22.552163853123425,
    25.19122118273868,
    27.89927138384089,
};

/* log(e^-x x^n / n!) for x > 0 and a count n >= 0, or any real n >= 16. From n = 16 on it is
 * written as (n - x) + n log(x / n) - log(2 pi n) / 2 - stirlingCorrection(n): -x + n log x and
 * -log n! each grow like n log n and cancel down to a few units when x is near n, and this form
 * never forms them. */
static double logPoisson(double x, double n) {
    if (n < 16) {
        return n == 0 ? -x : (n * log(x) - x) - kLogFactorial[(int)n];
    }
    double q = x / n;
    double logQ = q > 0.5 && q < 2.0 ? log1p((x - n) / n) : logOver(x, n);
    return ((n - x) + n * logQ) - 0.5 * (1.8378770664093456 + log(n)) - stirlingCorrection(n);
}

/* log t_n, the whole term, given the offset d = u - alpha n. */
static double logTerm(double x, const Noise *p, double n, double d) {
    return (logPoisson(x, n) - d * d / (2.0 * p->var)) - p->halfLog2PiVar;
}

/* Sums of the terms relative to the one at count m: s = sum t_n / t_m and
 * moment = sum (n - m) t_n / t_m, so that E[n] = m + moment / s without the cancellation of
 * a first moment taken about zero. */
struct Sums {
    double s;
    double moment;
};

/* Whether what is left after a term cannot change the sums: the terms left fall at least as
 * fast as ratio < 1, so they add at most term ratio / (1 - ratio) to the side's sum and at
 * most (steps + 1 / (1 - ratio)) times that to the moment, steps being the count's distance
 * from m. total and first are lower bounds on the whole sum and on the first moment about
 * zero (m s + moment), which E[n] needs to within its last bit. Written without division. */
static bool restIsNegligible(double term, double ratio, double steps, double total, double first) {
    if (ratio != ratio) {
        return true; /* nothing more to be learnt, and a walk that never ends */
    }
    if (!(ratio < 1.0)) {
        return false;
    }
    double rest = term * ratio;
    double room = 1.0 - ratio;
    return rest <= kNegligible * total * room &&
           rest * (steps * room + 1.0) <= kNegligible * first * room * room;
}

/* Walks up from count m with up = r_(m+1), then down with down = 1 / r_m, two counts between
 * tests (a count past the stop only adds what cannot be seen). Sums and moments are kept
 * relative to t_m. The walk may start a count or so away from the largest term: a ratio of 1
 * or more only defers the stop. */
static Sums walk(double m, double up, double down, double decay) {
    double term = 1.0;
    double ratio = up;
    double n = m;
    double s = 0.0;
    double moment = 0.0;
    /* Every term from m up adds at least m times itself to the first moment about zero; from
     * 0 up, that moment is the up side's own. */
    while (!restIsNegligible(term, ratio, n - m, 1.0 + s, m > 0.0 ? m * (1.0 + s) : moment)) {
        for (int twice = 0; twice < 2; ++twice) {
            term *= ratio;
            n += 1.0;
            s += term;
            moment += (n - m) * term;
            ratio *= (n / (n + 1.0)) * decay;
        }
    }
    Sums sum = {1.0 + s, moment};
    /* Going down, the first moment about zero is at least m t_m: a bound that leaves the two
     * sides independent, so that walks in lanes can take both at once. */
    double first = m;
    term = 1.0;
    ratio = down;
    n = m;
    s = 0.0;
    moment = 0.0;
    while (n > 0.0 && !restIsNegligible(term, ratio, m - n, 1.0 + s, first)) {
        for (int twice = 0; twice < 2 && n > 0.0; ++twice) {
            term *= ratio;
            n -= 1.0;
            s += term;
            moment += (m - n) * term;
            ratio *= (n / (n + 1.0)) * decay;
        }
    }
    sum.s += s;
    sum.moment -= moment;
    return sum;
}

/* (1 + z) log1p(z) - z, which is z^2 / 2 to first order: by its series for small z, where the
 * difference would lose the digits that matter once multiplied by a large count. */
static double growthExcess(double z) {
    if (fabs(z) < 0.05) {
        double t = 1.0 / 90 - z * (1.0 / 110 - z / 132);
        t = 1.0 / 42 - z * (1.0 / 56 - z * (1.0 / 72 - z * t));
        t = 1.0 / 12 - z * (1.0 / 20 - z * (1.0 / 30 - z * t));
        return z * z * (0.5 - z * (1.0 / 6 - z * t));
    }
    return (1.0 + z) * log1p(z) - z;
}

/* log t_(s + delta) - log t_s for a real s >= 16, given phi = log r_s. Written about s, so that
 * the parts that grow like delta log s (from x^n, n! and the Gaussian) cancel before they are
 * formed: delta (phi - c/2) - c delta^2 / 2 - s growthExcess(delta / s) - log1p(delta / s) / 2
 * and the change of the Stirling correction. */
static double logTermStep(const Noise *p, double s, double phi, double delta) {
    double z = delta / s;
    return ((delta * (phi - 0.5 * p->c) - 0.5 * p->c * delta * delta) - s * growthExcess(z)) -
           0.5 * log1p(z) - (stirlingCorrection(s + delta) - stirlingCorrection(s));
}

/* The sum over a spread of sigma counts or more as a trapezoid rule of step sigma / 4 about s:
 * the terms are smooth in n, so this and the sum over the integers both equal the integral to
 * within e^(-2 pi^2 sigma^2) relative. phi is log r_s. Returns the sums relative to t_s,
 * already times the step. */
static Sums trapezoid(const Noise *p, double s, double sigma, double phi) {
    double h = 0.25 * sigma;
    Sums sum = {1.0, 0.0};
    for (int side = -1; side <= 1; side += 2) {
        for (int k = 1; k < 400; ++k) {
            double delta = side * k * h;
            double w = exp(logTermStep(p, s, phi, delta));
            sum.s += w;
            sum.moment += delta * w;
            if (w <= kNegligible * sum.s) {
                break;
            }
        }
    }
    sum.s *= h;
    sum.moment *= h;
    return sum;
}

/* The Newton step log r_s / (1 / s + c) with both sides divided by alpha / var, for where
 * log r_s itself overflows: var so small against alpha^2 that one rounding of u - alpha s
 * outweighs every double. Its limit is the Gaussian's own step, u / alpha - s. */
static double scaledNewtonStep(double x, const Exact *u, const Noise *p, double s) {
    return (logOver(x, s) / p->alphaOverVar + offsetAt(u, p->alpha, s - 0.5)) /
           (1.0 / (s * p->alphaOverVar) + p->alpha);
}

/* The Newton step at a continuous count s, given a = log r_s. */
static double continuousNewtonStep(double x, const Exact *u, const Noise *p, double s, double a) {
    return a == HUGE_VAL ? scaledNewtonStep(x, u, p, s) : a / (1.0 / s + p->c);
}

/* Finds where r_s = 1, by Newton's method on phi(s) = log r_s, which falls and is convex:
 * every Newton step from the left of the root stays on the left and climbs to it, and start
 * is on the left too (see startBelowRoot). Gives the count k the search ended on with log r_k;
 * counts past kLargestWalkedCount come back continuous. */
static void searchMode(double x, const Exact *u, const Noise *p, double start, double *logR,
                       double *k) {
    double n = start >= 1.0 ? wholePart(start) + 1.0 : 1.0;
    for (int i = 0; i < 2000; ++i) {
        double a = logRatio(x, u, p, n);
        /* The Newton step is a n / (1 + c n); its division is made only to move. */
        double slope = 1.0 + p->c * n;
        double step = a * n;
        if (!(a >= 0.0) || step < slope || n >= kLargestWalkedCount) {
            *logR = a;
            *k = n;
            if (n >= kLargestWalkedCount) {
                /* Continuous from here: a few more steps fix s well inside its spread. */
                step = continuousNewtonStep(x, u, p, n, a);
                for (int j = 0; j < 64 && fabs(step) > 1e-3 * sqrt(n); ++j) {
                    double next = n + step;
                    if (!(next > 0.0 && next < HUGE_VAL)) {
                        if (next == HUGE_VAL) {
                            /* From the left a Newton step falls short of the root, so the
                             * root is past every double too. */
                            n = HUGE_VAL;
                        }
                        break;
                    }
                    n = next;
                    step = continuousNewtonStep(x, u, p, n, logRatio(x, u, p, n));
                }
                *k = n;
            }
            return;
        }
        step /= slope;
        if (!(step < HUGE_VAL)) {
            step = scaledNewtonStep(x, u, p, n);
        }
        if (!(step < HUGE_VAL)) {
            *logR = a;
            *k = HUGE_VAL;
            return;
        }
        n += wholePart(step);
    }
    *k = n;
    *logR = logRatio(x, u, p, n);
}

/* Where a walk starts, with its first ratios: up = r_(m+1) and down = 1 / r_m. */
struct Walk {
    double m;
    double up;
    double down;
};

/* Counts a quick start may climb to reach the largest term (start lies below it, most often
 * within a count); further off, the search finds it in fewer steps. */
static const int kSettleSteps = 16;

/* The common case, with one exp and no log: r_k at the count k just above start, then the
 * largest term's count m (r_m >= 1 > r_(m+1)) reached from k with the walk's own recurrence.
 * From m both sides of the walk fall from their first step, and E[n] = m + moment / s adds a
 * moment of under a spread to m, with no cancellation to fear. m = 0 is left to startAt
 * where r_1 is so small that E[n] / x needs forming without x. */
static bool quickStart(double x, const Exact *u, const Noise *p, double start, Walk *walk) {
    double k = start >= 1.0 ? wholePart(start) + 1.0 : 1.0;
    double q = x / k;
    if (!(k < kLargestWalkedCount && k <= kWidestWalk * kWidestWalk * (1.0 + p->c * k) &&
          q >= 0x1p-1000 && p->c < 700.0)) {
        return false;
    }
    double r = q * exp(p->alphaOverVar * offsetAt(u, p->alpha, k - 0.5));
    double m = k;
    if (r >= 1.0) {
        double up = r * ((k / (k + 1.0)) * p->decay);
        for (int i = 0; up >= 1.0; ++i) {
            if (i == kSettleSteps || !(up < HUGE_VAL)) {
                return false;
            }
            m += 1.0;
            r = up;
            up = r * ((m / (m + 1.0)) * p->decay);
        }
        walk->m = m;
        walk->up = up;
        walk->down = 1.0 / r;
        return true;
    }
    /* r_k < 1 with k - 1 at or below the root of log r_s, where start is: the largest term is
     * at k - 1, unless rounding put start past an integer root. */
    double down = 0.0;
    m = k - 1.0;
    if (m > 0.0) {
        down = ((m / k) * p->decay) / r;
        if (!(down <= 1.0)) {
            return false;
        }
    } else if (!(r >= 0x1p-500)) {
        return false;
    }
    walk->m = m;
    walk->up = r;
    walk->down = down;
    return true;
}

/* The root of phi(s) = log r_s with log(x / s) replaced by its tangent at x, 1 - s / x, which
 * lies below it: a start on the left of the root, and most often within a count of it. For
 * c > 1 the same start is written with c divided out, as alpha u / var alone can pass the
 * largest double long before the root does. */
static double startBelowRoot(double x, const Exact *u, const Noise *p) {
    if (p->c > 1.0) {
        double spreadOfY = 1.0 / p->c;
        return x * ((spreadOfY + u->hi / p->alpha) + 0.5) / (spreadOfY + x);
    }
    return x * ((1.0 + p->alphaOverVar * u->hi) + 0.5 * p->c) / (1.0 + p->c * x);
}

/* -log p(y | x) from the sum of a walk about m. */
static double nllOfWalk(double x, double y, const Noise *p, double m, double sum) {
    Exact u = difference(y, p->mean);
    return -logTerm(x, p, m, offsetAt(&u, p->alpha, m)) - log(sum);
}

/* grad from a walk's sums about m. */
static double gradOfWalk(double x, double m, const Sums *sum) {
    return 1.0 - (m * sum->s + sum->moment) / (sum->s * x);
}

/* Only t_0 and t_1 count: E[n] = r_1 exactly, and E[n] / x is formed without x, however
 * small x is; at x = 0 this is the gradient's limit. */
static double firstTermsOnly(double x, const Exact *u, const Noise *p, double *nll) {
    if (nll != NULL) {
        *nll = -logTerm(x, p, 0.0, offsetAt(u, p->alpha, 0.0));
    }
    return 1.0 - exp(gaussianExponent(p, offsetAt(u, p->alpha, 0.5)));
}

/* Terms spread over more counts than are walked, about the count k of the search, or counts
 * past 2^52. */
static double wideSum(double x, const Exact *u, const Noise *p, double k, double spread,
                      double logR, double *nll) {
    Sums sum = {1.0, 0.0};
    /* Past 2^52 the count is continuous, and terms spread over less than a count are the one
     * at s. */
    bool continuous = k >= kLargestWalkedCount;
    if (!continuous) {
        sum = trapezoid(p, k, spread, logR);
    } else if (spread >= 1.0) {
        sum = trapezoid(p, k, spread, 0.0);
    }
    if (nll != NULL) {
        /* Doubles past 2^52 are too far apart for u - alpha s to be taken at s once the
         * Gaussian is the narrower factor (c s >= 1): at the root of log r_s it is
         * -log(x / s) var / alpha - alpha / 2 instead. Below c s = 1 a rounding of log(x / s)
         * would cost var / alpha in it, more than a rounding of s costs, and where alpha / var
         * underflows the root tells nothing at all. */
        double offset = continuous && p->c * k >= 1.0
                            ? -logOver(x, k) / p->alphaOverVar - 0.5 * p->alpha
                            : offsetAt(u, p->alpha, k);
        *nll = -logTerm(x, p, k, offset) - log(sum.s);
    }
    /* Here k s may pass the largest double: the moment is divided first. */
    return 1.0 - (k + sum.moment / sum.s) / x;
}

/* Either the walk that the element's grad and nll come from (true), or its grad, and
 * -log p(y | x) into *nll when nll is not null, computed here and now. */
static bool startAt(double x, double y, const Noise *p, Walk *walk, double *grad, double *nll) {
    if (!(x >= 0.0) || !isfinite(y)) {
        if (nll != NULL) {
            *nll = NAN;
        }
        *grad = NAN;
        return false;
    }
    Exact u = difference(y, p->mean);
    if (x == 0.0) {
        *grad = firstTermsOnly(x, &u, p, nll);
        return false;
    }
    if (x == HUGE_VAL) {
        /* The largest term's count grows only like log x, so E[n] / x goes to 0. */
        if (nll != NULL) {
            *nll = HUGE_VAL;
        }
        *grad = 1.0;
        return false;
    }
    double start = startBelowRoot(x, &u, p);
    if (quickStart(x, &u, p, start, walk)) {
        return true;
    }
    double logR;
    double k;
    searchMode(x, &u, p, start, &logR, &k);
    if (!(k < HUGE_VAL) || (logR == HUGE_VAL && k < kLargestWalkedCount)) {
        /* y so far above the Gaussian's centre that the counts it implies pass any double.
         * Past 2^52 an overflowed log r_k is one rounding of u - alpha k, not a distance. */
        if (nll != NULL) {
            *nll = HUGE_VAL;
        }
        *grad = -HUGE_VAL;
        return false;
    }
    /* The spread of the terms about their largest, from the curvature 1 / n + c of log t_n. */
    double spread = sqrt(k / (1.0 + p->c * k));
    if (k >= kLargestWalkedCount || spread > kWidestWalk) {
        *grad = wideSum(x, &u, p, k, spread, logR, nll);
        return false;
    }
    if (logR >= 0.0) {
        /* r_k >= 1: the largest term is at k (or a count above, which the walk finds). */
        double e = exp(logR);
        double up = p->c < 700.0 && logR < 700.0 ? e * p->decay : exp(logR - p->c);
        walk->m = k;
        walk->up = up * (k / (k + 1.0));
        walk->down = 1.0 / e;
        return true;
    }
    double m = k - 1.0;
    double up = exp(logR);
    if (m == 0.0 && up < 0x1p-500) {
        *grad = firstTermsOnly(x, &u, p, nll);
        return false;
    }
    double down = 0.0;
    if (m > 0.0) {
        down =
            p->c < 700.0 && logR > -700.0 ? (m / k) * p->decay / up : exp(-logR - p->c) * (m / k);
    }
    walk->m = m;
    walk->up = up;
    walk->down = down;
    return true;
}

/* ---- Elements in lanes --------------------------------------------------------------------
 * Eight elements side by side in AVX-512 lanes, from their quick starts to their grad, each
 * lane doing exactly the scalar code's operations in its order: packed IEEE add, subtract,
 * multiply and divide round each lane as the scalar ones do, truncation is exact, nothing is
 * fused, and exp is the C library's, called lane by lane, so every path gives the same bits.
 * The few elements that take no quick start are left to the scalar code in their lane's turn.
 */
#ifdef PGLIK_LANES
#define PGLIK_AVX512 __attribute__((target("avx512f"))) static inline

/* restIsNegligible, lane by lane. */
PGLIK_AVX512 __mmask8 restIsNegligibleLanes(__m512d term, __m512d ratio, __m512d steps,
                                            __m512d total, __m512d first) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d negligible = _mm512_set1_pd(kNegligible);
    __m512d rest = _mm512_mul_pd(term, ratio);
    __m512d room = _mm512_sub_pd(one, ratio);
    __m512d sumBound = _mm512_mul_pd(_mm512_mul_pd(negligible, total), room);
    __m512d momentRest = _mm512_mul_pd(rest, _mm512_add_pd(_mm512_mul_pd(steps, room), one));
    __m512d momentBound =
        _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(negligible, first), room), room);
    return _mm512_cmp_pd_mask(ratio, ratio, _CMP_UNORD_Q) |
           (_mm512_cmp_pd_mask(ratio, one, _CMP_LT_OQ) &
            _mm512_cmp_pd_mask(rest, sumBound, _CMP_LE_OQ) &
            _mm512_cmp_pd_mask(momentRest, momentBound, _CMP_LE_OQ));
}

/* One side of a walk in lanes, relative to t_m. Every lane steps on, whether its walk has
 * ended or not, so that no step waits on a stop test: the sums are copied out of a lane at its
 * first negligible rest, where the scalar walk stops, and the lane's later steps are never
 * read. The tests then run beside the steps instead of between them. */
struct LaneSide {
    __m512d term;
    __m512d ratio;
    __m512d n;
    __m512d sum;
    __m512d moment;
    __mmask8 on;   /* lanes whose walk goes on */
    __m512d sumAt; /* the sums where each lane's walk ended */
    __m512d momentAt;
};

/* Ends the walks whose rest is negligible, and, going down, those at count 0; the down side
 * bounds the first moment by m. */
PGLIK_AVX512 void sideGoesOn(LaneSide *side, __m512d m, bool up) {
    const __m512d zero = _mm512_setzero_pd();
    __m512d total = _mm512_add_pd(_mm512_set1_pd(1.0), side->sum);
    __m512d steps = up ? _mm512_sub_pd(side->n, m) : _mm512_sub_pd(m, side->n);
    __m512d bound = up ? _mm512_mask_mov_pd(side->moment, _mm512_cmp_pd_mask(m, zero, _CMP_GT_OQ),
                                            _mm512_mul_pd(m, total))
                       : m;
    __mmask8 stop = restIsNegligibleLanes(side->term, side->ratio, steps, total, bound);
    if (!up) {
        stop |= _mm512_cmp_pd_mask(side->n, zero, _CMP_LE_OQ);
    }
    __mmask8 ending = side->on & stop;
    side->sumAt = _mm512_mask_mov_pd(side->sumAt, ending, side->sum);
    side->momentAt = _mm512_mask_mov_pd(side->momentAt, ending, side->moment);
    side->on &= (__mmask8)~stop;
}

/* Two counts, as the scalar walk takes them; going down, none below count 0. */
PGLIK_AVX512 void sideSteps(LaneSide *side, __m512d m, bool up, double decay) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d shrink = _mm512_set1_pd(decay);
    __mmask8 on = 0xff;
    for (int twice = 0; twice < 2; ++twice) {
        __m512d t = _mm512_mul_pd(side->term, side->ratio);
        __m512d k = up ? _mm512_add_pd(side->n, one) : _mm512_sub_pd(side->n, one);
        __m512d away = up ? _mm512_sub_pd(k, m) : _mm512_sub_pd(m, k);
        __m512d next = _mm512_mul_pd(_mm512_div_pd(k, _mm512_add_pd(k, one)), shrink);
        side->term = _mm512_mask_mov_pd(side->term, on, t);
        side->sum = _mm512_mask_add_pd(side->sum, on, side->sum, t);
        side->moment = _mm512_mask_add_pd(side->moment, on, side->moment, _mm512_mul_pd(away, t));
        side->ratio = _mm512_mask_mul_pd(side->ratio, on, side->ratio, next);
        if (!up) {
            on &= _mm512_cmp_pd_mask(k, zero, _CMP_GT_OQ);
        }
        side->n = k;
    }
}

/* walk in eight lanes, both sides at once. */
PGLIK_AVX512 void walkLanes(__m512d m, __m512d up, __m512d down, double decay, __m512d *s,
                            __m512d *moment) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    LaneSide hi = {one, up, m, zero, zero, 0xff, zero, zero};
    LaneSide lo = {one, down, m, zero, zero, 0xff, zero, zero};
    /* A side whose every walk has ended is left alone: going down, walks end at count 0, most
     * often long before the walks up. */
    while (hi.on != 0 || lo.on != 0) {
        if (hi.on != 0) {
            sideGoesOn(&hi, m, true);
            sideSteps(&hi, m, true, decay);
        }
        if (lo.on != 0) {
            sideGoesOn(&lo, m, false);
            sideSteps(&lo, m, false, decay);
        }
    }
    *s = _mm512_add_pd(_mm512_add_pd(one, hi.sumAt), lo.sumAt);
    *moment = _mm512_sub_pd(hi.momentAt, lo.momentAt);
}

/* difference, lane by lane. */
PGLIK_AVX512 void differenceLanes(__m512d y, double mean, __m512d *hi, __m512d *lo) {
    __m512d h = _mm512_sub_pd(y, _mm512_set1_pd(mean));
    __m512d back = _mm512_sub_pd(h, y);
    __m512d l = _mm512_add_pd(_mm512_sub_pd(y, _mm512_sub_pd(h, back)),
                              _mm512_sub_pd(_mm512_set1_pd(-mean), back));
    *hi = h;
    *lo = _mm512_maskz_mov_pd(
        _mm512_cmp_pd_mask(_mm512_abs_pd(h), _mm512_set1_pd(HUGE_VAL), _CMP_LT_OQ), l);
}

/* offsetAt, lane by lane, with alpha's half of the splitting taken once. */
PGLIK_AVX512 __m512d offsetAtLanes(__m512d hi, __m512d lo, double alpha, __m512d m) {
    const __m512d limit = _mm512_set1_pd(0x1p990);
    const __m512d splitter = _mm512_set1_pd(134217729.0);
    __m512d pr = _mm512_mul_pd(_mm512_set1_pd(alpha), m);
    __mmask8 split = alpha < 0x1p990 ? _mm512_cmp_pd_mask(m, limit, _CMP_LT_OQ) &
                                           _mm512_cmp_pd_mask(pr, limit, _CMP_LT_OQ)
                                     : 0;
    double sa = 134217729.0 * alpha;
    __m512d ah = _mm512_set1_pd(sa - (sa - alpha));
    __m512d al = _mm512_set1_pd(alpha - (sa - (sa - alpha)));
    __m512d sb = _mm512_mul_pd(splitter, m);
    __m512d bh = _mm512_sub_pd(sb, _mm512_sub_pd(sb, m));
    __m512d bl = _mm512_sub_pd(m, bh);
    __m512d err = _mm512_add_pd(_mm512_sub_pd(_mm512_mul_pd(ah, bh), pr), _mm512_mul_pd(ah, bl));
    err = _mm512_add_pd(_mm512_add_pd(err, _mm512_mul_pd(al, bh)), _mm512_mul_pd(al, bl));
    return _mm512_add_pd(_mm512_sub_pd(hi, pr), _mm512_sub_pd(lo, _mm512_maskz_mov_pd(split, err)));
}

/* startBelowRoot, lane by lane. */
PGLIK_AVX512 __m512d startBelowRootLanes(__m512d x, __m512d hi, const Noise *p) {
    const __m512d one = _mm512_set1_pd(1.0);
    if (p->c > 1.0) {
        __m512d spreadOfY = _mm512_set1_pd(1.0 / p->c);
        __m512d top =
            _mm512_add_pd(_mm512_add_pd(spreadOfY, _mm512_div_pd(hi, _mm512_set1_pd(p->alpha))),
                          _mm512_set1_pd(0.5));
        return _mm512_div_pd(_mm512_mul_pd(x, top), _mm512_add_pd(spreadOfY, x));
    }
    __m512d top =
        _mm512_add_pd(_mm512_add_pd(one, _mm512_mul_pd(_mm512_set1_pd(p->alphaOverVar), hi)),
                      _mm512_set1_pd(0.5 * p->c));
    return _mm512_div_pd(_mm512_mul_pd(x, top),
                         _mm512_add_pd(one, _mm512_mul_pd(_mm512_set1_pd(p->c), x)));
}

/* quickStart, lane by lane, on the lanes in: gives the lanes it takes, with their walks. */
PGLIK_AVX512 __mmask8 quickStartLanes(__m512d x, __m512d hi, __m512d lo, const Noise *p,
                                      __mmask8 in, __m512d *m, __m512d *up, __m512d *down) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d decay = _mm512_set1_pd(p->decay);
    if (!(p->c < 700.0)) {
        *m = zero;
        *up = zero;
        *down = zero;
        return 0;
    }
    __m512d start = startBelowRootLanes(x, hi, p);
    /* wholePart(start) + 1 from start >= 1, by truncation. */
    __mmask8 above = _mm512_cmp_pd_mask(start, one, _CMP_GE_OQ);
    __m512d k = _mm512_mask_add_pd(
        one, above,
        _mm512_maskz_roundscale_pd(above, start, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC), one);
    __m512d q = _mm512_div_pd(x, k);
    __m512d widest = _mm512_mul_pd(_mm512_set1_pd(kWidestWalk * kWidestWalk),
                                   _mm512_add_pd(one, _mm512_mul_pd(_mm512_set1_pd(p->c), k)));
    __mmask8 ok = in & _mm512_cmp_pd_mask(k, _mm512_set1_pd(kLargestWalkedCount), _CMP_LT_OQ) &
                  _mm512_cmp_pd_mask(k, widest, _CMP_LE_OQ) &
                  _mm512_cmp_pd_mask(q, _mm512_set1_pd(0x1p-1000), _CMP_GE_OQ);
    double arg[PGLIK_LANES];
    _mm512_storeu_pd(
        arg, _mm512_mul_pd(_mm512_set1_pd(p->alphaOverVar),
                           offsetAtLanes(hi, lo, p->alpha, _mm512_sub_pd(k, _mm512_set1_pd(0.5)))));
    for (int l = 0; l < PGLIK_LANES; ++l) {
        arg[l] = ok >> l & 1 ? exp(arg[l]) : 0.0;
    }
    /* Lane by lane again: one load of the eight doubles just stored one by one would wait for
     * every store to land. */
    __m512d e = zero;
    for (int l = 0; l < PGLIK_LANES; ++l) {
        e = _mm512_mask_broadcastsd_pd(e, (__mmask8)(1u << l), _mm_load_sd(&arg[l]));
    }
    __m512d r = _mm512_mul_pd(q, e);
    /* Up to the largest term, where r_k >= 1. */
    __mmask8 rising = ok & _mm512_cmp_pd_mask(r, one, _CMP_GE_OQ);
    __m512d mUp = k;
    __m512d upUp = _mm512_mul_pd(r, _mm512_mul_pd(_mm512_div_pd(k, _mm512_add_pd(k, one)), decay));
    __mmask8 goes = rising & _mm512_cmp_pd_mask(upUp, one, _CMP_GE_OQ);
    for (int i = 0; goes != 0; ++i) {
        __mmask8 off = i == kSettleSteps
                           ? goes
                           : goes & ~_mm512_cmp_pd_mask(upUp, _mm512_set1_pd(HUGE_VAL), _CMP_LT_OQ);
        ok &= ~off;
        goes &= ~off;
        mUp = _mm512_mask_add_pd(mUp, goes, mUp, one);
        r = _mm512_mask_mov_pd(r, goes, upUp);
        upUp = _mm512_mask_mul_pd(
            upUp, goes, r, _mm512_mul_pd(_mm512_div_pd(mUp, _mm512_add_pd(mUp, one)), decay));
        goes &= _mm512_cmp_pd_mask(upUp, one, _CMP_GE_OQ);
    }
    /* Down to k - 1, where r_k < 1. */
    __mmask8 falling = ok & ~rising;
    __m512d mDown = _mm512_sub_pd(k, one);
    __mmask8 counted = _mm512_cmp_pd_mask(mDown, zero, _CMP_GT_OQ);
    __m512d downDown =
        _mm512_maskz_div_pd(counted, _mm512_mul_pd(_mm512_div_pd(mDown, k), decay), r);
    __mmask8 kept = (counted & _mm512_cmp_pd_mask(downDown, one, _CMP_LE_OQ)) |
                    (~counted & _mm512_cmp_pd_mask(r, _mm512_set1_pd(0x1p-500), _CMP_GE_OQ));
    ok &= ~falling | kept;
    *m = _mm512_maskz_mov_pd(ok, _mm512_mask_mov_pd(mUp, falling, mDown));
    *up = _mm512_maskz_mov_pd(ok, _mm512_mask_mov_pd(upUp, falling, r));
    *down = _mm512_maskz_mov_pd(ok, _mm512_mask_mov_pd(_mm512_div_pd(one, r), falling, downDown));
    return ok;
}

/* The path through a slice in lanes, eight elements at a time (fewer at the end). Lanes
 * without a walk start where there is nothing to walk: m = 0 and ratios 0. */
__attribute__((target("avx512f"))) static void
elementsInLanes512(const WorkerArgs *slice, int first, int end, double *nllOf) {
    const Noise *p = slice->noise;
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d inf = _mm512_set1_pd(HUGE_VAL);
    for (int i = first; i < end; i += PGLIK_LANES) {
        __mmask8 live = end - i >= PGLIK_LANES ? 0xff : (__mmask8)((1u << (end - i)) - 1);
        __m512d x = _mm512_maskz_loadu_pd(live, slice->x + i);
        __m512d y = _mm512_maskz_loadu_pd(live, slice->y + i);
        __m512d hi;
        __m512d lo;
        differenceLanes(y, p->mean, &hi, &lo);
        __mmask8 inModel = live & _mm512_cmp_pd_mask(x, zero, _CMP_GT_OQ) &
                           _mm512_cmp_pd_mask(x, inf, _CMP_LT_OQ) &
                           _mm512_cmp_pd_mask(_mm512_abs_pd(y), inf, _CMP_LT_OQ);
        __m512d m;
        __m512d up;
        __m512d down;
        __mmask8 walked = quickStartLanes(x, hi, lo, p, inModel, &m, &up, &down);
        if (walked != live) {
            double ms[PGLIK_LANES];
            double ups[PGLIK_LANES];
            double downs[PGLIK_LANES];
            _mm512_storeu_pd(ms, m);
            _mm512_storeu_pd(ups, up);
            _mm512_storeu_pd(downs, down);
            for (int l = 0; l < end - i && l < PGLIK_LANES; ++l) {
                Walk w;
                if (!(walked >> l & 1) &&
                    startAt(slice->x[i + l], slice->y[i + l], p, &w, &slice->grad[i + l],
                            nllOf == NULL ? NULL : &nllOf[i + l - first])) {
                    ms[l] = w.m;
                    ups[l] = w.up;
                    downs[l] = w.down;
                    walked |= (__mmask8)(1u << l);
                }
            }
            m = _mm512_loadu_pd(ms);
            up = _mm512_loadu_pd(ups);
            down = _mm512_loadu_pd(downs);
        }
        __m512d s;
        __m512d moment;
        walkLanes(m, up, down, p->decay, &s, &moment);
        __m512d firstMoment = _mm512_add_pd(_mm512_mul_pd(m, s), moment);
        _mm512_mask_storeu_pd(slice->grad + i, walked,
                              _mm512_sub_pd(one, _mm512_div_pd(firstMoment, _mm512_mul_pd(s, x))));
        if (nllOf != NULL) {
            double ms[PGLIK_LANES];
            double sums[PGLIK_LANES];
            _mm512_storeu_pd(ms, m);
            _mm512_storeu_pd(sums, s);
            for (int l = 0; l < PGLIK_LANES; ++l) {
                if (walked >> l & 1) {
                    nllOf[i + l - first] =
                        nllOfWalk(slice->x[i + l], slice->y[i + l], p, ms[l], sums[l]);
                }
            }
        }
    }
}
#endif

/* The scalar path: each element on its own. */
static void elementsOneByOne(const WorkerArgs *slice, int first, int end, double *nllOf) {
    const Noise *p = slice->noise;
    for (int i = first; i < end; ++i) {
        double *nll = nllOf == NULL ? NULL : &nllOf[i - first];
        Walk w;
        if (startAt(slice->x[i], slice->y[i], p, &w, &slice->grad[i], nll)) {
            Sums sum = walk(w.m, w.up, w.down, p->decay);
            slice->grad[i] = gradOfWalk(slice->x[i], w.m, &sum);
            if (nll != NULL) {
                *nll = nllOfWalk(slice->x[i], slice->y[i], p, w.m, sum.s);
            }
        }
    }
}

/* The one place a path is chosen, by the dispatcher: AVX-512 where the processor has it and
 * the build allows it; null gives the scalar path. Defined once for every build, so that each
 * line of the source is the same function in all of them. */
static LanePath lanePath(void) {
#ifdef PGLIK_LANES
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") ? elementsInLanes512 : NULL;
#else
    return NULL;
#endif
}

/* The slice on its path; with nll, a block's elements' nll are kept until the block is done
 * and then added in index order into the slice's block sums. */
static void *pglikmtix(void *arg) {
    const WorkerArgs *slice = static_cast<const WorkerArgs *>(arg);
    LanePath path = slice->lanes != NULL ? slice->lanes : elementsOneByOne;
    if (slice->blockNll == NULL) {
        path(slice, 0, slice->len, NULL);
        return NULL;
    }
    double nllOf[NLL_BLOCK];
    for (int first = 0; first < slice->len; first += NLL_BLOCK) {
        int end = slice->len - first < NLL_BLOCK ? slice->len : first + NLL_BLOCK;
        path(slice, first, end, nllOf);
        double sum = 0.0;
        for (int i = first; i < end; ++i) {
            sum += nllOf[i - first];
        }
        slice->blockNll[first / NLL_BLOCK] = sum;
    }
    return NULL;
}
