/* groupshrinkmt: group soft-thresholding over worker threads.
 *
 *   out = groupshrinkmt(y, degree, gamma, nx, ny)
 *
 * y is cut into consecutive groups whose sizes are the whole parts of the
 * degree entries, and each group is scaled by max(1 - gamma / ||group||_2, 0):
 * the proximity operator of gamma times the sum of the groups' Euclidean
 * norms. The output is a real column as long as y. nx and ny are accepted and
 * never read. Half the online processors (at least one) each take a
 * contiguous run of groups; a worker shrinks several groups of one size at a
 * time with the widest vectors the processor has (AVX-512, AVX2), giving the
 * scalar worker's bits.
 */
#include "mex.h"
#include "gatewaychecks.h"

#include "vectorpaths.h"
#include "workers.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

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

/* Half the online processors; one for a single processor and a failed query (-1). */
static int workerCount(void) {
    long processors = onlineProcessors();
    return processors < 2 ? 1 : (int)(processors / 2);
}

/* Groups are split evenly by count, not by elements; the last worker takes
 * the remainder. Every run gets a thread of its own, one worker included. */
static void shrinkGroups(double *out, double *y, double *degree, double gamma, int groupCount,
                         int length) {
    (void)length; /* the split balances groups, not elements */
    int workers = workerCount();
    int per = groupCount / workers;
    WorkerArgs all = {out, y, degree, gamma, groupCount};
    /* Offsets add the groups' truncated sizes, never the raw degrees: adding
     * an entry such as -0.5 as a double and truncating the running total
     * would pull every later run one element back over its neighbour. They
     * are counted on as the runs are made, while earlier workers already run. */
    int offset = 0;
    int counted = 0;
    int next = 0;
    auto nextRun = [&]() {
        int first = next * per;
        for (; counted < first; ++counted) {
            offset += (int)degree[counted];
        }
        WorkerArgs run = {out + offset, y + offset, degree + first, gamma,
                          next == workers - 1 ? groupCount - first : per};
        ++next;
        return run;
    };
    runWorkers(&all, workers, nextRun, proxL2pix, false);
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
 * rescaled: an overflowing group has norm +inf and factor 1. The vector
 * workers below keep this order for every element, so they give its bits. */
static inline void shrinkGroup(double *out, const double *y, int n, double gamma) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
        double square = y[j] * y[j];
        sum += square;
    }
    double norm = sqrt(sum);
    double factor = shrinkFactor(norm, 1.0 - gamma / norm);
    for (int j = 0; j < n; ++j) {
        out[j] = factor * y[j];
    }
}

/* Sizes are at least 0 (the gateway refuses a degree of -1 or less), so the
 * next group starts n elements on even when this one is empty. */
static void shrinkRunScalar(const WorkerArgs *run) {
    int base = 0;
    for (int g = 0; g < run->groupCount; ++g) {
        int n = (int)run->degree[g];
        if (n > 0) {
            shrinkGroup(run->out + base, run->y + base, n, run->gamma);
        }
        base += n;
    }
}

#ifdef VECTOR_AVX2
static void shrinkRunAvx2(const WorkerArgs *run);
#endif
#ifdef VECTOR_AVX512
static void shrinkRunAvx512(const WorkerArgs *run);
#endif

/* The one place a worker is chosen. Every worker gives the scalar worker's
 * bits, so the choice follows the processor alone. */
static void *proxL2pix(void *args) {
    const WorkerArgs *run = static_cast<const WorkerArgs *>(args);
    switch (widestVectorPath()) {
#ifdef VECTOR_AVX512
    case 512:
        shrinkRunAvx512(run);
        return NULL;
#endif
#ifdef VECTOR_AVX2
    case 256:
        shrinkRunAvx2(run);
        return NULL;
#endif
    default:
        shrinkRunScalar(run);
        return NULL;
    }
}

#ifdef VECTOR_AVX2
/* The vector workers take a run of groups of one size n several groups at a
 * time, one group per lane: element j of every group is squared and added to
 * the lane sums in turn, so each group's sum is still ((0 + y0^2) + y1^2) +
 * ... in element order. The square root, division, subtraction and mask are
 * then packed IEEE operations, each lane rounding as the scalar worker does.
 * Any group that is not part of such a batch (another size, the end of a run,
 * an empty group) goes through shrinkGroup. Only whole groups are loaded and
 * stored, so nothing is touched past the run. Not one operation is fused
 * (no fma in any target) or reassociated. */
/* One step of a vector worker at a group of size n, with left groups to go
 * in its run: it shrinks as many groups as it can take at once and returns
 * how many that was, at least one. */
typedef int (*ShrinkStep)(double *out, const double *y, const double *degree, int left, int n,
                          double gamma);

/* Inlined into each vector worker, so that its step is compiled inline for
 * the worker's own instruction set rather than called once per step. */
template <ShrinkStep step>
static inline __attribute__((always_inline)) void shrinkRunBy(const WorkerArgs *run) {
    double *out = run->out;
    const double *y = run->y;
    int g = 0;
    while (g < run->groupCount) {
        int n = (int)run->degree[g];
        int done = step(out, y, run->degree + g, run->groupCount - g, n, run->gamma);
        out += done * n;
        y += done * n;
        g += done;
    }
}

/* How many of the groups from degree[0] on, four at most, have size n: the
 * whole parts of their degrees equal n. The gateway has bounded every degree
 * to (-1, 2^31), where the packed truncation is the scalar conversion. */
AVX2_TARGET static inline int sameSizeFour(const double *degree, int n) {
    __m128i sizes = _mm256_cvttpd_epi32(_mm256_loadu_pd(degree));
    __m128i same = _mm_cmpeq_epi32(sizes, _mm_set1_epi32(n));
    return __builtin_ctz(~_mm_movemask_ps(_mm_castsi128_ps(same)));
}

/* The factors of four groups from their sums of squares, as shrinkFactor
 * gives them: t where t > 0 and the norm is not 0 (an unordered compare, so a
 * NaN norm passes it and its NaN t fails the first), else all bits clear. */
AVX2_TARGET static inline __m256d shrinkFactors4(__m256d sum, __m256d gamma) {
    const __m256d zero = _mm256_setzero_pd();
    __m256d norm = _mm256_sqrt_pd(sum);
    __m256d t = _mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_div_pd(gamma, norm));
    __m256d keep =
        _mm256_and_pd(_mm256_cmp_pd(t, zero, _CMP_GT_OQ), _mm256_cmp_pd(norm, zero, _CMP_NEQ_UQ));
    return _mm256_and_pd(keep, t);
}

AVX2_TARGET static inline __m256d square4(const double *y) {
    __m256d v = _mm256_loadu_pd(y);
    return _mm256_mul_pd(v, v);
}

/* Four groups of one element: the lanes are the groups. */
AVX2_TARGET static inline void shrinkFourOf1(double *out, const double *y, int n, double gamma) {
    (void)n;
    __m256d v = _mm256_loadu_pd(y);
    __m256d sum = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(v, v));
    _mm256_storeu_pd(out, _mm256_mul_pd(shrinkFactors4(sum, _mm256_set1_pd(gamma)), v));
}

/* Four groups of two: the unpacks gather first and second elements with the
 * lanes in group order 0, 2, 1, 3, which the same unpacks of the factors
 * undo. */
AVX2_TARGET static inline void shrinkFourOf2(double *out, const double *y, int n, double gamma) {
    (void)n;
    __m256d a = _mm256_loadu_pd(y);
    __m256d b = _mm256_loadu_pd(y + 4);
    __m256d sa = _mm256_mul_pd(a, a);
    __m256d sb = _mm256_mul_pd(b, b);
    __m256d sum = _mm256_add_pd(_mm256_setzero_pd(), _mm256_unpacklo_pd(sa, sb));
    sum = _mm256_add_pd(sum, _mm256_unpackhi_pd(sa, sb));
    __m256d f = shrinkFactors4(sum, _mm256_set1_pd(gamma));
    _mm256_storeu_pd(out, _mm256_mul_pd(_mm256_unpacklo_pd(f, f), a));
    _mm256_storeu_pd(out + 4, _mm256_mul_pd(_mm256_unpackhi_pd(f, f), b));
}

/* Four groups of three, twelve elements in three vectors: the blends and the
 * lane swap put elements (0 1 | 6 7), (2 3 | 8 9) and (4 5 | 10 11) side by
 * side, and the shuffles pick from them the first, second and third
 * elements of groups 0 to 3. */
AVX2_TARGET static inline void shrinkFourOf3(double *out, const double *y, int n, double gamma) {
    (void)n;
    __m256d s0 = square4(y);
    __m256d s1 = square4(y + 4);
    __m256d s2 = square4(y + 8);
    __m256d p = _mm256_blend_pd(s0, s1, 0xc);
    __m256d q = _mm256_permute2f128_pd(s0, s2, 0x21);
    __m256d r = _mm256_blend_pd(s1, s2, 0xc);
    __m256d sum = _mm256_add_pd(_mm256_setzero_pd(), _mm256_shuffle_pd(p, q, 0xa));
    sum = _mm256_add_pd(sum, _mm256_shuffle_pd(p, r, 0x5));
    sum = _mm256_add_pd(sum, _mm256_shuffle_pd(q, r, 0xa));
    __m256d f = shrinkFactors4(sum, _mm256_set1_pd(gamma));
    _mm256_storeu_pd(out, _mm256_mul_pd(_mm256_permute4x64_pd(f, 0x40), _mm256_loadu_pd(y)));
    _mm256_storeu_pd(out + 4,
                     _mm256_mul_pd(_mm256_permute4x64_pd(f, 0xa5), _mm256_loadu_pd(y + 4)));
    _mm256_storeu_pd(out + 8,
                     _mm256_mul_pd(_mm256_permute4x64_pd(f, 0xfe), _mm256_loadu_pd(y + 8)));
}

/* One group scaled by the factor in every lane of f; the last n mod 4
 * elements are scaled one by one. */
AVX2_TARGET static inline void scaleGroup4(double *out, const double *y, int n, __m256d f) {
    int j = 0;
    for (; j + 4 <= n; j += 4) {
        _mm256_storeu_pd(out + j, _mm256_mul_pd(f, _mm256_loadu_pd(y + j)));
    }
    double factor = _mm256_cvtsd_f64(f);
    for (; j < n; ++j) {
        out[j] = factor * y[j];
    }
}

/* Four groups of n >= 4 elements (N when it is known at compile time, else
 * n): four elements of each group at a time, transposed so that lane i holds
 * group i, then the last n mod 4 elements of each group gathered one column
 * at a time. */
template <int N>
AVX2_TARGET static inline void shrinkFourOfN(double *out, const double *y, int n, double gamma) {
    const int size = N > 0 ? N : n;
    const double *y1 = y + size;
    const double *y2 = y1 + size;
    const double *y3 = y2 + size;
    __m256d sum = _mm256_setzero_pd();
    int j = 0;
    for (; j + 4 <= size; j += 4) {
        __m256d s0 = square4(y + j);
        __m256d s1 = square4(y1 + j);
        __m256d s2 = square4(y2 + j);
        __m256d s3 = square4(y3 + j);
        __m256d even01 = _mm256_unpacklo_pd(s0, s1);
        __m256d odd01 = _mm256_unpackhi_pd(s0, s1);
        __m256d even23 = _mm256_unpacklo_pd(s2, s3);
        __m256d odd23 = _mm256_unpackhi_pd(s2, s3);
        sum = _mm256_add_pd(sum, _mm256_permute2f128_pd(even01, even23, 0x20));
        sum = _mm256_add_pd(sum, _mm256_permute2f128_pd(odd01, odd23, 0x20));
        sum = _mm256_add_pd(sum, _mm256_permute2f128_pd(even01, even23, 0x31));
        sum = _mm256_add_pd(sum, _mm256_permute2f128_pd(odd01, odd23, 0x31));
    }
    for (; j < size; ++j) {
        __m256d v = _mm256_set_pd(y3[j], y2[j], y1[j], y[j]);
        sum = _mm256_add_pd(sum, _mm256_mul_pd(v, v));
    }
    __m256d f = shrinkFactors4(sum, _mm256_set1_pd(gamma));
    scaleGroup4(out, y, size, _mm256_permute4x64_pd(f, 0x00));
    scaleGroup4(out + size, y1, size, _mm256_permute4x64_pd(f, 0x55));
    scaleGroup4(out + 2 * size, y2, size, _mm256_permute4x64_pd(f, 0xaa));
    scaleGroup4(out + 3 * size, y3, size, _mm256_permute4x64_pd(f, 0xff));
}

/* As many groups of size n as come in batches of width from the start of
 * the run, each batch shrunk by shrinkBatch; returns how many groups that
 * was. Inlined into the worker of each width, for its instruction set. */
typedef int (*SameSize)(const double *degree, int n);
typedef void (*Batch)(double *out, const double *y, int n, double gamma);

template <int width, SameSize sameSize, Batch shrinkBatch>
static inline __attribute__((always_inline)) int
shrinkBatches(double *out, const double *y, const double *degree, int left, int n, double gamma) {
    int done = 0;
    for (; done + width <= left && sameSize(degree + done, n) == width; done += width) {
        shrinkBatch(out, y, n, gamma);
        out += width * n;
        y += width * n;
    }
    return done;
}

AVX2_TARGET static int shrinkFours(double *out, const double *y, const double *degree, int left,
                                   int n, double gamma) {
    switch (n) {
    case 1:
        return shrinkBatches<4, sameSizeFour, shrinkFourOf1>(out, y, degree, left, n, gamma);
    case 2:
        return shrinkBatches<4, sameSizeFour, shrinkFourOf2>(out, y, degree, left, n, gamma);
    case 3:
        return shrinkBatches<4, sameSizeFour, shrinkFourOf3>(out, y, degree, left, n, gamma);
    case 4:
        return shrinkBatches<4, sameSizeFour, shrinkFourOfN<4>>(out, y, degree, left, n, gamma);
    case 8:
        return shrinkBatches<4, sameSizeFour, shrinkFourOfN<8>>(out, y, degree, left, n, gamma);
    default:
        return shrinkBatches<4, sameSizeFour, shrinkFourOfN<0>>(out, y, degree, left, n, gamma);
    }
}

/* Groups of size n shrunk one by one. */
static inline int shrinkAlone(double *out, const double *y, int groups, int n, double gamma) {
    for (int k = 0; n > 0 && k < groups; ++k) {
        shrinkGroup(out + k * n, y + k * n, n, gamma);
    }
    return groups;
}

/* Sizes change at random in some data, so a step never tries a batch the
 * next sizes rule out: it goes on at the first group of another size. */
AVX2_TARGET static int shrinkStepAvx2(double *out, const double *y, const double *degree, int left,
                                      int n, double gamma) {
    int same = left >= 4 ? sameSizeFour(degree, n) : 1;
    if (n > 0 && same == 4) {
        return shrinkFours(out, y, degree, left, n, gamma);
    }
    return shrinkAlone(out, y, same, n, gamma);
}

AVX2_TARGET static void shrinkRunAvx2(const WorkerArgs *run) {
    shrinkRunBy<shrinkStepAvx2>(run);
}
#endif

#ifdef VECTOR_AVX512
/* Eight groups per vector. */
/* As sameSizeFour, over eight groups. */
AVX512_TARGET static inline int sameSizeEight(const double *degree, int n) {
    __m256i sizes = _mm512_cvttpd_epi32(_mm512_loadu_pd(degree));
    __m256i same = _mm256_cmpeq_epi32(sizes, _mm256_set1_epi32(n));
    return __builtin_ctz(~_mm256_movemask_ps(_mm256_castsi256_ps(same)));
}

AVX512_TARGET static inline __m512d shrinkFactors8(__m512d sum, __m512d gamma) {
    const __m512d zero = _mm512_setzero_pd();
    __m512d norm = _mm512_sqrt_pd(sum);
    __m512d t = _mm512_sub_pd(_mm512_set1_pd(1.0), _mm512_div_pd(gamma, norm));
    __mmask8 keep =
        _mm512_cmp_pd_mask(t, zero, _CMP_GT_OQ) & _mm512_cmp_pd_mask(norm, zero, _CMP_NEQ_UQ);
    return _mm512_maskz_mov_pd(keep, t);
}

AVX512_TARGET static inline __m512d square8(const double *y) {
    __m512d v = _mm512_loadu_pd(y);
    return _mm512_mul_pd(v, v);
}

/* Vector k of a block of eight groups of n elements, each element scaled by
 * its group's factor: lane l belongs to group (8k + l) / n. */
AVX512_TARGET static inline void scaleBlock8(double *out, const double *y, int k, __m512i groups,
                                             __m512d f) {
    _mm512_storeu_pd(out + 8 * k,
                     _mm512_mul_pd(_mm512_permutexvar_pd(groups, f), _mm512_loadu_pd(y + 8 * k)));
}

AVX512_TARGET static inline void shrinkEightOf1(double *out, const double *y, int n, double gamma) {
    (void)n;
    __m512d v = _mm512_loadu_pd(y);
    __m512d sum = _mm512_add_pd(_mm512_setzero_pd(), _mm512_mul_pd(v, v));
    _mm512_storeu_pd(out, _mm512_mul_pd(shrinkFactors8(sum, _mm512_set1_pd(gamma)), v));
}

/* As with four groups of two, the lanes hold groups 0, 4, 1, 5, 2, 6, 3, 7. */
AVX512_TARGET static inline void shrinkEightOf2(double *out, const double *y, int n, double gamma) {
    (void)n;
    __m512d a = _mm512_loadu_pd(y);
    __m512d b = _mm512_loadu_pd(y + 8);
    __m512d sa = _mm512_mul_pd(a, a);
    __m512d sb = _mm512_mul_pd(b, b);
    __m512d sum = _mm512_add_pd(_mm512_setzero_pd(), _mm512_unpacklo_pd(sa, sb));
    sum = _mm512_add_pd(sum, _mm512_unpackhi_pd(sa, sb));
    __m512d f = shrinkFactors8(sum, _mm512_set1_pd(gamma));
    _mm512_storeu_pd(out, _mm512_mul_pd(_mm512_unpacklo_pd(f, f), a));
    _mm512_storeu_pd(out + 8, _mm512_mul_pd(_mm512_unpackhi_pd(f, f), b));
}

/* Two groups per vector: the unpacks pair the even and the odd elements of
 * groups 0 to 3 and of groups 4 to 7, and the two-source permutes take one
 * element of all eight groups in group order. */
AVX512_TARGET static inline void shrinkEightOf4(double *out, const double *y, int n, double gamma) {
    (void)n;
    __m512d s0 = square8(y);
    __m512d s1 = square8(y + 8);
    __m512d s2 = square8(y + 16);
    __m512d s3 = square8(y + 24);
    __m512d even01 = _mm512_unpacklo_pd(s0, s1);
    __m512d odd01 = _mm512_unpackhi_pd(s0, s1);
    __m512d even23 = _mm512_unpacklo_pd(s2, s3);
    __m512d odd23 = _mm512_unpackhi_pd(s2, s3);
    const __m512i first = _mm512_setr_epi64(0, 4, 1, 5, 8, 12, 9, 13);
    const __m512i second = _mm512_setr_epi64(2, 6, 3, 7, 10, 14, 11, 15);
    __m512d sum = _mm512_add_pd(_mm512_setzero_pd(), _mm512_permutex2var_pd(even01, first, even23));
    sum = _mm512_add_pd(sum, _mm512_permutex2var_pd(odd01, first, odd23));
    sum = _mm512_add_pd(sum, _mm512_permutex2var_pd(even01, second, even23));
    sum = _mm512_add_pd(sum, _mm512_permutex2var_pd(odd01, second, odd23));
    __m512d f = shrinkFactors8(sum, _mm512_set1_pd(gamma));
    scaleBlock8(out, y, 0, _mm512_setr_epi64(0, 0, 0, 0, 1, 1, 1, 1), f);
    scaleBlock8(out, y, 1, _mm512_setr_epi64(2, 2, 2, 2, 3, 3, 3, 3), f);
    scaleBlock8(out, y, 2, _mm512_setr_epi64(4, 4, 4, 4, 5, 5, 5, 5), f);
    scaleBlock8(out, y, 3, _mm512_setr_epi64(6, 6, 6, 6, 7, 7, 7, 7), f);
}

/* Sizes without an eight-group batch, and what is left of a run after its
 * eights, go four at a time. */
AVX512_TARGET static int shrinkEights(double *out, const double *y, const double *degree, int left,
                                      int n, double gamma) {
    switch (n) {
    case 1:
        return shrinkBatches<8, sameSizeEight, shrinkEightOf1>(out, y, degree, left, n, gamma);
    case 2:
        return shrinkBatches<8, sameSizeEight, shrinkEightOf2>(out, y, degree, left, n, gamma);
    case 4:
        return shrinkBatches<8, sameSizeEight, shrinkEightOf4>(out, y, degree, left, n, gamma);
    default:
        return 0;
    }
}

AVX512_TARGET static int shrinkStepAvx512(double *out, const double *y, const double *degree,
                                          int left, int n, double gamma) {
    if (left < 8) {
        return shrinkStepAvx2(out, y, degree, left, n, gamma);
    }
    int same = sameSizeEight(degree, n);
    int done = n > 0 && same == 8 ? shrinkEights(out, y, degree, left, n, gamma) : 0;
    if (done == 0 && n > 0 && same >= 4) {
        done = shrinkFours(out, y, degree, left, n, gamma);
    }
    return done > 0 ? done : shrinkAlone(out, y, same, n, gamma);
}

AVX512_TARGET static void shrinkRunAvx512(const WorkerArgs *run) {
    shrinkRunBy<shrinkStepAvx512>(run);
}
#endif
