/* slopemapmt: the elementwise gradient map over worker threads.
 *
 *   out = slopemapmt(x, y, exp_table_y, exp_table_n, var, mean, alpha, unused)
 *
 * out(i) = 1 - exp(-(2 (x(i) - y(i)) + 1) / (2 (x(i) + var))) for the first
 * len elements of x and y, where len is the larger dimension of x. The output
 * is a real column of len elements. mean and alpha are checked as scalars but
 * take no part in the map; exp_table_y, exp_table_n and the eighth input are
 * accepted and never read. Three quarters of the online processors (at least
 * one) each take a contiguous slice of the elements; a worker forms the
 * arithmetic around exp with the widest vectors the processor has (AVX-512,
 * AVX2), giving the scalar worker's bits.
 */
#include "mex.h"
#include "gatewaychecks.h"

#include "vectorpaths.h"
#include "workers.h"

#include <math.h>
#include <stdint.h>

enum { IN_X, IN_Y, IN_EXP_TABLE_Y, IN_EXP_TABLE_N, IN_VAR, IN_MEAN, IN_ALPHA, IN_UNUSED, IN_COUNT };
enum { OUT_MAP, OUT_COUNT };

/* One worker's slice. The pointers already sit at the slice's first element,
 * so a worker never needs its absolute position. */
struct WorkerArgs {
    double *out;
    const double *x;
    const double *y;
    double var;
    int len;
};

static bool holdsAtLeast(const mxArray *a, uint64_t count);
static void slopemapmt(double *out, double *x, double *y, double var, double alpha, double mean,
                       int len);
static void *slopemapmtix(void *arg);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt(
            "MATLAB:xtimesy:invalidNumInputs",
            "Five inputs required: x - vector (orginal signal); y - vector of observations; "
            "exp_table_y - vector defined as: exp_table_y[i] = exp(alpha/var (y[i] - mean) ); "
            "exp_table_n - vector defined as: exp_table_n[i] = exp(-n alpha^2/var); var - "
            "scalar (Gaussian noise variance; mean - scalar (Gaussian noise mean); alpha- scalar "
            "(scaling parameter of Poisson noise)");
    }
    if (nlhs != OUT_COUNT) {
        mexErrMsgIdAndTxt("MATLAB:xtimesy:invalidNumOutputs", "One output required.");
    }
    if (!isRealDoubleScalar(prhs[IN_VAR])) {
        mexErrMsgIdAndTxt("MATLAB:noiseslope:varNotScalar", "Input var must be a scalar.");
    }
    if (!isRealDoubleScalar(prhs[IN_MEAN])) {
        mexErrMsgIdAndTxt("MATLAB:noiseslope:meanNotScalar", "Input mean must be a scalar.");
    }
    if (!isRealDoubleScalar(prhs[IN_ALPHA])) {
        mexErrMsgIdAndTxt("MATLAB:noiseslope:alphaNotScalar", "Input alpha must be a scalar.");
    }
    double var = mxGetScalar(prhs[IN_VAR]);
    double mean = mxGetScalar(prhs[IN_MEAN]);
    double alpha = mxGetScalar(prhs[IN_ALPHA]);
    uint64_t length = vectorLength(prhs[IN_X]);

    /* The workers read len doubles in place from x and from y, so each array
     * must be double data in full storage and hold that many elements.
     * Refuse anything else before a pointer to its data is ever taken. */
    if (!isFullDouble(prhs[IN_X])) {
        mexErrMsgIdAndTxt("MATLAB:slopemapmt:xNotDouble", "Input x must be a full double array.");
    }
    if (!isFullDouble(prhs[IN_Y])) {
        mexErrMsgIdAndTxt("MATLAB:slopemapmt:yNotDouble", "Input y must be a full double array.");
    }
    if (!fitsIntCount(length)) {
        mexErrMsgIdAndTxt("MATLAB:slopemapmt:xTooLong",
                          "Input x must have at most 2147483647 elements.");
    }
    /* Only an x with one zero and one non-zero dimension fails this: its
     * length counts the non-zero dimension although it holds nothing. */
    if (!holdsAtLeast(prhs[IN_X], length)) {
        mexErrMsgIdAndTxt("MATLAB:slopemapmt:xNoElements",
                          "Input x must hold as many elements as its length.");
    }
    if (!holdsAtLeast(prhs[IN_Y], length)) {
        mexErrMsgIdAndTxt("MATLAB:slopemapmt:yTooShort",
                          "Input y must hold at least as many elements as the length of x.");
    }
    double *x = mxGetPr(prhs[IN_X]);
    double *y = mxGetPr(prhs[IN_Y]);
    int len = (int)length;

    plhs[OUT_MAP] = mxCreateDoubleMatrix(len, 1, mxREAL);
    slopemapmt(mxGetPr(plhs[OUT_MAP]), x, y, var, alpha, mean, len);
}

/* Whether a's rows times columns reach count. The product itself is never
 * formed, so no pair of claimed dimensions can wrap round past count. */
static bool holdsAtLeast(const mxArray *a, uint64_t count) {
    uint64_t m = mxGetM(a);
    uint64_t n = mxGetN(a);
    if (count == 0) {
        return true;
    }
    if (m == 0 || n == 0) {
        return false;
    }
    /* m * n >= count exactly when n >= ceil(count / m); m < count keeps the
     * rounding-up sum below 2 * count. */
    return m >= count || n >= (count + m - 1) / m;
}

/* 3n <= 3 covers one processor, none, and the -1 of a failed query. The
 * product is formed before the division, so 6 processors give 4, not 3. */
static int workerCount(void) {
    long processors = onlineProcessors();
    if (3 * processors <= 3) {
        return 1;
    }
    return (int)(3 * processors / 4);
}

/* Worker i of workers: len / workers elements from offset i times that, and
 * the last worker also takes the remainder, so the slices follow the worker
 * order and cover the whole range exactly once. */
static WorkerArgs sliceOf(const WorkerArgs *all, int workers, int i) {
    int per = all->len / workers;
    int first = i * per;
    WorkerArgs slice = {all->out + first, all->x + first, all->y + first, all->var,
                        i == workers - 1 ? all->len - first : per};
    return slice;
}

/* Every slice gets a thread of its own, one worker included. The map is
 * elementwise, so where a slice runs never changes its result. */
static void slopemapmt(double *out, double *x, double *y, double var, double alpha, double mean,
                       int len) {
    (void)alpha; /* validated by the gateway, but not part of the map */
    (void)mean;
    WorkerArgs all = {out, x, y, var, len};
    int workers = workerCount();
    int next = 0;
    runWorkers(
        &all, workers, [&]() { return sliceOf(&all, workers, next++); }, slopemapmtix, false);
}

/* Each doubling is an exact addition, and x + var is rounded once and then
 * doubled, so rounding happens only at the difference, the addition of 1, the
 * shifted sum, the division, exp and the final subtraction. Nothing is tested:
 * a zero denominator or a NaN follows IEEE arithmetic into the output. */
static void slopeMapScalar(const WorkerArgs *slice) {
    for (int i = 0; i < slice->len; ++i) {
        double d = slice->x[i] - slice->y[i];
        double num = -((d + d) + 1.0);
        double shifted = slice->x[i] + slice->var;
        double den = shifted + shifted;
        slice->out[i] = 1.0 - exp(num / den);
    }
}

#ifdef VECTOR_AVX2
static void slopeMapAvx2(const WorkerArgs *slice);
#endif
#ifdef VECTOR_AVX512
static void slopeMapAvx512(const WorkerArgs *slice);
#endif

/* The one place a worker is chosen. Every worker gives the scalar worker's
 * bits, so the choice follows the processor alone. */
static void *slopemapmtix(void *arg) {
    const WorkerArgs *slice = static_cast<const WorkerArgs *>(arg);
    switch (widestVectorPath()) {
#ifdef VECTOR_AVX512
    case 512:
        slopeMapAvx512(slice);
        return NULL;
#endif
#ifdef VECTOR_AVX2
    case 256:
        slopeMapAvx2(slice);
        return NULL;
#endif
    default:
        slopeMapScalar(slice);
        return NULL;
    }
}

/* The vector workers form a block's exp arguments with packed IEEE
 * operations in the scalar worker's order, call the C library's exp on each
 * in turn, and form 1 - e packed again: every element rounds where the scalar
 * worker rounds it. The negation flips the sign bit, as the scalar negation
 * does. The last elements of a slice, fewer than a vector, go through the
 * scalar worker, so nothing past the slice is read or written. */
enum { kSlopeBlock = 64 };

#ifdef VECTOR_AVX2
/* q[k] = num / den for count elements, count a multiple of the width. */
typedef void (*Quotients)(double *q, const double *x, const double *y, double var, int count);
/* out[k] = 1 - e[k] for count elements, count a multiple of the width. */
typedef void (*Complements)(double *out, const double *e, int count);

/* Inlined into the worker of each width, for its instruction set. */
template <int width, Quotients quotients, Complements complements>
static inline __attribute__((always_inline)) void slopeMapBy(const WorkerArgs *slice) {
    double q[kSlopeBlock];
    int i = 0;
    while (slice->len - i >= width) {
        int block = slice->len - i >= kSlopeBlock ? kSlopeBlock : (slice->len - i) / width * width;
        quotients(q, slice->x + i, slice->y + i, slice->var, block);
        for (int k = 0; k < block; ++k) {
            q[k] = exp(q[k]);
        }
        complements(slice->out + i, q, block);
        i += block;
    }
    WorkerArgs rest = {slice->out + i, slice->x + i, slice->y + i, slice->var, slice->len - i};
    slopeMapScalar(&rest);
}

AVX2_TARGET static inline void quotients4(double *q, const double *x, const double *y, double var,
                                          int count) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d v = _mm256_set1_pd(var);
    for (int k = 0; k < count; k += 4) {
        __m256d xk = _mm256_loadu_pd(x + k);
        __m256d d = _mm256_sub_pd(xk, _mm256_loadu_pd(y + k));
        __m256d num = _mm256_xor_pd(_mm256_add_pd(_mm256_add_pd(d, d), one), sign);
        __m256d shifted = _mm256_add_pd(xk, v);
        _mm256_storeu_pd(q + k, _mm256_div_pd(num, _mm256_add_pd(shifted, shifted)));
    }
}

AVX2_TARGET static inline void complements4(double *out, const double *e, int count) {
    const __m256d one = _mm256_set1_pd(1.0);
    for (int k = 0; k < count; k += 4) {
        _mm256_storeu_pd(out + k, _mm256_sub_pd(one, _mm256_loadu_pd(e + k)));
    }
}

AVX2_TARGET static void slopeMapAvx2(const WorkerArgs *slice) {
    slopeMapBy<4, quotients4, complements4>(slice);
}
#endif

#ifdef VECTOR_AVX512
AVX512_TARGET static inline void quotients8(double *q, const double *x, const double *y, double var,
                                            int count) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512i sign = _mm512_set1_epi64((long long)0x8000000000000000ull);
    const __m512d v = _mm512_set1_pd(var);
    for (int k = 0; k < count; k += 8) {
        __m512d xk = _mm512_loadu_pd(x + k);
        __m512d d = _mm512_sub_pd(xk, _mm512_loadu_pd(y + k));
        __m512d sum = _mm512_add_pd(_mm512_add_pd(d, d), one);
        __m512d num = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(sum), sign));
        __m512d shifted = _mm512_add_pd(xk, v);
        _mm512_storeu_pd(q + k, _mm512_div_pd(num, _mm512_add_pd(shifted, shifted)));
    }
}

AVX512_TARGET static inline void complements8(double *out, const double *e, int count) {
    const __m512d one = _mm512_set1_pd(1.0);
    for (int k = 0; k < count; k += 8) {
        _mm512_storeu_pd(out + k, _mm512_sub_pd(one, _mm512_loadu_pd(e + k)));
    }
}

AVX512_TARGET static void slopeMapAvx512(const WorkerArgs *slice) {
    slopeMapBy<8, quotients8, complements8>(slice);
}
#endif
