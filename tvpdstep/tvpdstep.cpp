/* tvpdstep: the relaxed step of pgrestore's primal-dual method, everything but the data term's
 * proximity operator and the FFTs, in one pass over the arrays.
 *
 *   [x, p, Dx, DtP, HtQ, q, Hx, norms] =
 *       tvpdstep(xt, x, p, Dx, DtP, HtQt, HtQ, qt, q, Hxt, Hx, steps, spacing, need)
 *
 * With D the forward differences along the first nd = numel(spacing) dimensions of xt (each
 * divided by its spacing; xt - xt across the last slice, so 0 or NaN) and steps =
 * [tau sigma lambda rho]:
 *
 *   pt = v - shrink(v) with v = p + sigma (2 D xt - Dx)   (the projection on each pixel's
 *                                                          ball of radius lambda)
 *   x <- x + rho (xt - x),  p <- p + rho (pt - p),  Dx <- Dx + rho (D xt - Dx),
 *   DtP <- DtP + rho (D'pt - DtP),  HtQ, q, Hx likewise towards HtQt, qt, Hxt.
 *
 * Trailing dimensions of xt past nd are pages, differenced apart. p and Dx hold the nd
 * differences of one element side by side (nd rows). HtQt, HtQ, qt, q, Hxt and Hx are all
 * empty (denoising) or none is. norms = [primal dual tv]: the sums of the optimality residuals'
 * magnitudes, |-(xt - x)/tau + (D'pt - DtP) + (HtQt - HtQ)| and |(D xt - Dx) - (pt - p)/sigma|
 * plus |(Hxt - Hx) - (qt - q)/sigma|, when need(1) is set, and the total variation of xt when
 * need(2) is; NaN where not asked. Every sum runs in element order, so the bits are those of
 * the same formulas written as whole-array operations and summed by the host; that order keeps
 * the step on the calling thread. The projection and the terms of the sums, the square roots
 * and divisions that dominate a step, run in the widest lanes the processor has, a chunk of a
 * row at a time; D' and the sums run after them, element by element.
 */
#include "mex.h"
#include "gatewaychecks.h"
#include "lanes.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <stdio.h>

enum {
    IN_XT,
    IN_X,
    IN_P,
    IN_DX,
    IN_DTP,
    IN_HTQT,
    IN_HTQ,
    IN_QT,
    IN_Q,
    IN_HXT,
    IN_HX,
    IN_STEPS,
    IN_SPACING,
    IN_NEED,
    IN_COUNT
};
enum { OUT_X, OUT_P, OUT_DX, OUT_DTP, OUT_HTQ, OUT_Q, OUT_HX, OUT_NORMS, OUT_COUNT };
enum { MAX_DIMS = 3 };

/* The arrays of one step; the outputs may not alias the inputs. */
struct Step {
    const double *xt, *x, *p, *dx, *dtp, *htqt, *htq, *qt, *q, *hxt, *hx;
    double *xOut, *pOut, *dxOut, *dtpOut, *htqOut, *qOut, *hxOut;
    int size[MAX_DIMS]; /* the differenced dimensions, 1 past nd */
    int nd;
    int pages;
    int dataCount; /* elements of qt, q, Hxt, Hx; 0 when denoising */
    double spacing[MAX_DIMS];
    double tau, sigma, lambda, rho;
    bool residuals, tv;
    void (*path)(struct Chunk *c);
};

static void tvpdstep(Step *s, double norms[3]);

static const char *const kArrayNames[IN_STEPS] = {"xt",  "x",  "p", "Dx",  "DtP", "HtQt",
                                                  "HtQ", "qt", "q", "Hxt", "Hx"};

static void checkArray(const mxArray *a, const char *name) {
    char notDouble[64];
    char complex[64];
    snprintf(notDouble, sizeof notDouble, "pgmex:tvpdstep:%sNotDouble", name);
    snprintf(complex, sizeof complex, "pgmex:tvpdstep:%sComplex", name);
    const char *const ids[2] = {notDouble, complex};
    checkRealArray(a, name, ids);
}

/* The step counts every array in int, in all and along every dimension: fitsIntShape, and each
 * dimension too, as a 64-bit host gives them (the 32-bit interface's are capped, and an output
 * made from capped dimensions would not have its input's shape; fitsIntShape covers that). */
static bool fitsInt(const mxArray *a) {
    bool fits = fitsIntShape(a);
    for (mwSize k = 0; k < mxGetNumberOfDimensions(a); ++k) {
        fits = fits && fitsIntCount((uint64_t)mxGetDimensions(a)[k]);
    }
    return fits;
}

static void sizeError(const char *name, const char *what) {
    char id[64];
    snprintf(id, sizeof id, "pgmex:tvpdstep:%sSize", name);
    mexErrMsgIdAndTxt(id, "Input %s must have %s.", name, what);
}

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != IN_COUNT) {
        mexErrMsgIdAndTxt("pgmex:tvpdstep:invalidNumInputs",
                          "Fourteen inputs required: xt, x, p, Dx, DtP, HtQt, HtQ, qt, q, Hxt, "
                          "Hx - arrays; steps - [tau sigma lambda rho]; spacing - one per "
                          "differenced dimension; need - [residuals tv].");
    }
    if (nlhs > OUT_COUNT) {
        mexErrMsgIdAndTxt("pgmex:tvpdstep:invalidNumOutputs",
                          "Eight outputs at most: x, p, Dx, DtP, HtQ, q, Hx, norms.");
    }
    for (int k = 0; k < IN_STEPS; ++k) {
        checkArray(prhs[k], kArrayNames[k]);
    }

    const mxArray *steps = prhs[IN_STEPS];
    if (!isFullDouble(steps) || mxIsComplex(steps) || elementCount(steps) != 4) {
        mexErrMsgIdAndTxt("pgmex:tvpdstep:stepsNotVector",
                          "Input steps must be a real double vector of four elements.");
    }
    const double *st = mxGetPr(steps);
    for (int k = 0; k < 4; ++k) {
        /* lambda may be 0; the steps and the relaxation must be positive. */
        bool ok = isfinite(st[k]) && (k == 2 ? st[k] >= 0.0 : st[k] > 0.0);
        if (!ok) {
            mexErrMsgIdAndTxt("pgmex:tvpdstep:stepsNotPositive",
                              "Input steps must be finite, tau, sigma and rho positive and "
                              "lambda nonnegative.");
        }
    }
    const mxArray *spacing = prhs[IN_SPACING];
    uint64_t nd = elementCount(spacing);
    if (!isFullDouble(spacing) || mxIsComplex(spacing) || nd < 1 || nd > MAX_DIMS) {
        mexErrMsgIdAndTxt("pgmex:tvpdstep:spacingNotVector",
                          "Input spacing must be a real double vector of one to three elements.");
    }
    const double *h = mxGetPr(spacing);
    for (uint64_t k = 0; k < nd; ++k) {
        if (!(h[k] > 0.0 && isfinite(h[k]))) {
            mexErrMsgIdAndTxt("pgmex:tvpdstep:spacingNotPositive",
                              "Input spacing must be positive and finite.");
        }
    }
    const mxArray *need = prhs[IN_NEED];
    if (!isFullDouble(need) || mxIsComplex(need) || elementCount(need) != 2) {
        mexErrMsgIdAndTxt("pgmex:tvpdstep:needNotPair",
                          "Input need must be a real double vector of two elements.");
    }
    const bool wanted[2] = {mxGetPr(need)[0] != 0.0, mxGetPr(need)[1] != 0.0};

    /* Shapes: xt sets the domain; x, DtP (and HtQt, HtQ when given) have as many elements,
     * p and Dx nd times as many; qt, q, Hxt, Hx as many as each other. */
    const mxArray *xt = prhs[IN_XT];
    uint64_t count = elementCount(xt);
    if (!fitsInt(xt) || nd * count > (uint64_t)INT32_MAX) {
        mexErrMsgIdAndTxt("pgmex:tvpdstep:xtTooLong",
                          "Input xt must have at most 2147483647 elements, in all, along any "
                          "dimension and in its differences.");
    }
    const int domainInputs[2] = {IN_X, IN_DTP};
    for (int k = 0; k < 2; ++k) {
        if (elementCount(prhs[domainInputs[k]]) != count) {
            sizeError(kArrayNames[domainInputs[k]], "as many elements as xt");
        }
    }
    for (int k = IN_P; k <= IN_DX; ++k) {
        if (elementCount(prhs[k]) != nd * count) {
            sizeError(kArrayNames[k], "numel(spacing) times as many elements as xt");
        }
    }
    bool blurred = elementCount(prhs[IN_HTQT]) != 0;
    for (int k = IN_HTQT; k <= IN_HTQ; ++k) {
        if (blurred ? elementCount(prhs[k]) != count : elementCount(prhs[k]) != 0) {
            sizeError(kArrayNames[k], blurred ? "as many elements as xt" : "no elements, as HtQt");
        }
    }
    uint64_t dataCount = elementCount(prhs[IN_QT]);
    if (blurred != (dataCount != 0)) {
        sizeError("qt", "elements exactly when HtQt has");
    }
    for (int k = IN_Q; k <= IN_HX; ++k) {
        if (elementCount(prhs[k]) != dataCount) {
            sizeError(kArrayNames[k], "as many elements as qt");
        }
    }
    /* The counts above bound every array but qt's group by xt; qt, q, Hxt and Hx only by each
     * other, and an empty array's dimensions by nothing. */
    for (int k = IN_X; k < IN_STEPS; ++k) {
        if (!fitsInt(prhs[k])) {
            char id[64];
            snprintf(id, sizeof id, "pgmex:tvpdstep:%sTooLong", kArrayNames[k]);
            mexErrMsgIdAndTxt(id,
                              "Input %s must have at most 2147483647 elements, in all and along "
                              "any dimension.",
                              kArrayNames[k]);
        }
    }

    Step s = {};
    s.nd = (int)nd;
    mwSize dims = mxGetNumberOfDimensions(xt);
    const mwSize *size = mxGetDimensions(xt);
    uint64_t domain = 1;
    for (int k = 0; k < MAX_DIMS; ++k) {
        s.size[k] = k < s.nd && (mwSize)k < dims ? (int)size[k] : 1;
        domain *= (uint64_t)s.size[k];
        s.spacing[k] = k < s.nd ? h[k] : 1.0;
    }
    s.pages = domain == 0 ? 0 : (int)(count / domain);
    s.dataCount = (int)dataCount;
    s.tau = st[0];
    s.sigma = st[1];
    s.lambda = st[2];
    s.rho = st[3];
    s.residuals = wanted[0];
    s.tv = wanted[1];

    const double **in[IN_STEPS] = {&s.xt,  &s.x,  &s.p, &s.dx,  &s.dtp, &s.htqt,
                                   &s.htq, &s.qt, &s.q, &s.hxt, &s.hx};
    for (int k = 0; k < IN_STEPS; ++k) {
        *in[k] = mxGetPr(prhs[k]);
    }
    const int source[OUT_NORMS] = {IN_X, IN_P, IN_DX, IN_DTP, IN_HTQ, IN_Q, IN_HX};
    double **out[OUT_NORMS] = {&s.xOut, &s.pOut, &s.dxOut, &s.dtpOut, &s.htqOut, &s.qOut, &s.hxOut};
    /* The step writes every output, and the host holds room for those asked for alone (one at
     * least). The rest go to one scratch block, taken once no host call is left that could
     * fail: a host error there would leave it behind. */
    int given = nlhs < 1 ? 1 : nlhs;
    size_t scratch = 0;
    for (int k = 0; k < OUT_COUNT; ++k) {
        if (k < given) {
            plhs[k] = k == OUT_NORMS
                          ? mxCreateDoubleMatrix(1, 3, mxREAL)
                          : mxCreateNumericArray(mxGetNumberOfDimensions(prhs[source[k]]),
                                                 mxGetDimensions(prhs[source[k]]), mxDOUBLE_CLASS,
                                                 mxREAL);
        } else {
            scratch += k == OUT_NORMS ? 3 : (size_t)elementCount(prhs[source[k]]);
        }
    }
    double *block = NULL;
    if (scratch > 0) {
        block = static_cast<double *>(malloc(scratch * sizeof(double)));
        if (block == NULL) {
            mexErrMsgIdAndTxt("pgmex:tvpdstep:outOfMemory",
                              "Out of memory for the outputs not asked for.");
        }
    }
    double *next = block;
    for (int k = 0; k < OUT_NORMS; ++k) {
        if (k < given) {
            *out[k] = mxGetPr(plhs[k]);
        } else {
            *out[k] = next;
            next += elementCount(prhs[source[k]]);
        }
    }
    /* norms is the last output: when not asked for, the block's last three doubles. */
    double *norms = OUT_NORMS < given ? mxGetPr(plhs[OUT_NORMS]) : next;
    tvpdstep(&s, norms);
    free(block);
}

/* ---- The step ------------------------------------------------------------------------------ */

/* Elements of a row taken through the lanes at a time: their differences, p and Dx side by
 * side per component, small enough to stay in the first-level cache. */
enum { CHUNK = 64 };

/* One chunk of a row, component by component (k < nd): the inputs d (D xt), p and dx, and
 * the outputs pt, the dual residual's terms and the total variation's. */
struct Chunk {
    double d[MAX_DIMS][CHUNK], p[MAX_DIMS][CHUNK], dx[MAX_DIMS][CHUNK];
    double pt[MAX_DIMS][CHUNK], dual[MAX_DIMS][CHUNK], variation[CHUNK];
    int nd, count;
    double sigma, lambda;
    bool residuals, tv;
};

/* p's projection onto the ball of radius lambda, as v minus its group soft-thresholding:
 * squares rounded before they are added, the factor 1 - lambda/||v|| where it is positive and
 * the norm not 0 (a NaN norm included), else +0; then each term of the sums. Square roots and
 * divisions dominate a step, and packed ones keep each lane's bits. */
template <class L> LANE_INLINE void projectChunk(Chunk *c) {
    const L sigma = c->sigma;
    for (int e = 0; e < c->count; e += L::kWidth) {
        int count = c->count - e;
        typename L::Mask live = count >= L::kWidth ? L::all() : L::fromBits((1u << count) - 1);
        L v[MAX_DIMS];
        L sum = 0.0;
        for (int k = 0; k < c->nd; ++k) {
            L d = L::load(c->d[k] + e, count);
            v[k] =
                L::load(c->p[k] + e, count) + sigma * (L(2.0) * d - L::load(c->dx[k] + e, count));
            sum = sum + v[k] * v[k];
        }
        L norm = squareRoot(sum);
        L t = L(1.0) - L(c->lambda) / norm;
        L factor = select((t > 0.0) & ~(norm == 0.0), t, 0.0);
        L squares = 0.0;
        for (int k = 0; k < c->nd; ++k) {
            L pt = v[k] - factor * v[k];
            storeLanes(c->pt[k] + e, pt, live);
            L d = L::load(c->d[k] + e, count);
            if (c->residuals) {
                L dp = pt - L::load(c->p[k] + e, count);
                L ddx = d - L::load(c->dx[k] + e, count);
                storeLanes(c->dual[k] + e, absolute(ddx - dp / sigma), live);
            }
            squares = squares + d * d;
        }
        if (c->tv) {
            storeLanes(c->variation + e, squareRoot(squares), live);
        }
    }
}

typedef void (*ChunkPath)(Chunk *c);

static void projectScalar(Chunk *c) {
    projectChunk<Lanes1>(c);
}
#ifdef VECTOR_AVX2
AVX2_TARGET static void projectAvx2(Chunk *c) {
    projectChunk<Lanes4>(c);
}
#endif
#ifdef VECTOR_AVX512
AVX512_TARGET static void projectAvx512(Chunk *c) {
    projectChunk<Lanes8>(c);
}
#endif

static ChunkPath chunkPath(void) {
    return widestPath<ChunkPath>(projectScalar, AVX2_PATH(projectAvx2), AVX512_PATH(projectAvx512));
}

/* pOut holds pt until no later element's D'pt reads it (the longest stride on), then p's
 * relaxed value: no scratch array, whose first touch would cost more than the step. */
template <int ND> static inline void relaxP(const Step *s, int i) {
    for (int k = 0; k < ND; ++k) {
        int j = ND * i + k;
        double dp = s->pOut[j] - s->p[j];
        s->pOut[j] = s->p[j] + s->rho * dp;
    }
}

/* The running sums, each in element order. */
struct Sums {
    double primal, dual, tv;
};

/* One row along the first dimension: element i0 on, n0 of them, with last[k] and first[k]
 * telling whether the row lies on dimension k's last or first slice (k >= 1). */
template <int ND>
static inline void stepRow(const Step *s, Chunk *chunk, const int *stride, int i0,
                           const bool *first, const bool *last, Sums *sums) {
    /* Locals, so that the stores through the output pointers cannot be taken to change them. */
    const int n0 = s->size[0];
    const double tau = s->tau;
    const double rho = s->rho;
    const bool blurred = s->dataCount > 0;
    const bool residuals = s->residuals;
    const bool tv = s->tv;
    const double *__restrict xt = s->xt + i0;
    const double *__restrict x = s->x + i0;
    const double *__restrict p = s->p + ND * i0;
    const double *__restrict dx = s->dx + ND * i0;
    const double *__restrict dtp = s->dtp + i0;
    const double *__restrict htqt = s->htqt + (blurred ? i0 : 0);
    const double *__restrict htq = s->htq + (blurred ? i0 : 0);
    double *__restrict pOut = s->pOut + ND * i0;
    double *__restrict dxOut = s->dxOut + ND * i0;
    double *__restrict xOut = s->xOut + i0;
    double *__restrict dtpOut = s->dtpOut + i0;
    double *__restrict htqOut = s->htqOut + (blurred ? i0 : 0);
    double scale[ND];
    bool scaled[ND];
    int step[ND];
    for (int k = 0; k < ND; ++k) {
        scale[k] = s->spacing[k];
        scaled[k] = scale[k] != 1.0;
        step[k] = stride[k];
    }
    double primal = sums->primal;
    double dual = sums->dual;
    double total = sums->tv;
    for (int c = 0; c < n0; c += CHUNK) {
        const int m = n0 - c < CHUNK ? n0 - c : CHUNK;
        for (int e = 0; e < m; ++e) {
            const int c0 = c + e;
            for (int k = 0; k < ND; ++k) {
                bool end = k == 0 ? c0 == n0 - 1 : last[k];
                /* The difference to the next element; x - x, so 0 or NaN, on the last slice. */
                double d = (end ? xt[c0] : xt[c0 + step[k]]) - xt[c0];
                chunk->d[k][e] = scaled[k] ? d / scale[k] : d;
                chunk->p[k][e] = p[ND * c0 + k];
                chunk->dx[k][e] = dx[ND * c0 + k];
            }
        }
        chunk->count = m;
        s->path(chunk);
        for (int e = 0; e < m; ++e) {
            for (int k = 0; k < ND; ++k) {
                int j = ND * (c + e) + k;
                double ddx = chunk->d[k][e] - dx[j];
                dxOut[j] = dx[j] + rho * ddx;
                pOut[j] = chunk->pt[k][e];
                if (residuals) {
                    dual += chunk->dual[k][e];
                }
            }
            if (tv) {
                total += chunk->variation[e];
            }
        }
    }
    /* D'pt reads the previous element's pt: a loop of its own, so that the projections above
     * overlap. */
    for (int c0 = 0; c0 < n0; ++c0) {
        const double *pt = pOut + ND * c0;
        double dtpt = 0.0;
        for (int k = 0; k < ND; ++k) {
            /* D': each difference leaves its first element and enters its second; the last
             * slice's is no difference. */
            bool start = k == 0 ? c0 == 0 : first[k];
            bool end = k == 0 ? c0 == n0 - 1 : last[k];
            double shifted = 0.0;
            if (!start) {
                shifted = pt[k - ND * step[k]];
                shifted = scaled[k] ? shifted / scale[k] : shifted;
            }
            double own = 0.0;
            if (!end) {
                own = scaled[k] ? pt[k] / scale[k] : pt[k];
            }
            dtpt = (dtpt + shifted) - own;
        }

        double dxi = xt[c0] - x[c0];
        double ddtp = dtpt - dtp[c0];
        xOut[c0] = x[c0] + rho * dxi;
        dtpOut[c0] = dtp[c0] + rho * ddtp;
        double residual = -dxi / tau + ddtp;
        if (blurred) {
            double dhtq = htqt[c0] - htq[c0];
            residual = residual + dhtq;
            htqOut[c0] = htq[c0] + rho * dhtq;
        }
        if (residuals) {
            primal += fabs(residual);
        }
    }
    sums->primal = primal;
    sums->dual = dual;
    sums->tv = total;
}

template <int ND> static void stepDomain(const Step *s, Chunk *chunk, Sums *sums) {
    int stride[MAX_DIMS];
    stride[0] = 1;
    for (int k = 1; k < MAX_DIMS; ++k) {
        stride[k] = stride[k - 1] * s->size[k - 1];
    }
    const int lag = stride[ND - 1];
    const int n0 = s->size[0];
    const int rows = s->size[1] * s->size[2] * s->pages;
    int c[MAX_DIMS] = {0, 0, 0};
    int done = 0; /* elements whose p is relaxed */
    for (int r = 0; r < rows; ++r) {
        bool first[MAX_DIMS];
        bool last[MAX_DIMS];
        for (int k = 1; k < MAX_DIMS; ++k) {
            first[k] = c[k] == 0;
            last[k] = c[k] == s->size[k] - 1;
        }
        const int i0 = r * n0;
        stepRow<ND>(s, chunk, stride, i0, first, last, sums);
        for (; done + lag <= i0 + n0 - 1; ++done) {
            relaxP<ND>(s, done);
        }
        for (int k = 1; k < MAX_DIMS && ++c[k] == s->size[k]; ++k) {
            c[k] = 0;
        }
    }
    for (; done < rows * n0; ++done) {
        relaxP<ND>(s, done);
    }
}

static void tvpdstep(Step *s, double norms[3]) {
    Chunk chunk;
    chunk.nd = s->nd;
    chunk.sigma = s->sigma;
    chunk.lambda = s->lambda;
    chunk.residuals = s->residuals;
    chunk.tv = s->tv;
    s->path = chunkPath();
    Sums sums = {0.0, 0.0, 0.0};
    if (s->nd == 1) {
        stepDomain<1>(s, &chunk, &sums);
    } else if (s->nd == 2) {
        stepDomain<2>(s, &chunk, &sums);
    } else {
        stepDomain<3>(s, &chunk, &sums);
    }
    double dualData = 0.0;
    for (int i = 0; i < s->dataCount; ++i) {
        double dhx = s->hxt[i] - s->hx[i];
        double dq = s->qt[i] - s->q[i];
        if (s->residuals) {
            dualData += fabs(dhx - dq / s->sigma);
        }
        s->qOut[i] = s->q[i] + s->rho * dq;
        s->hxOut[i] = s->hx[i] + s->rho * dhx;
    }
    bool blurred = s->dataCount > 0;
    norms[0] = s->residuals ? sums.primal : NAN;
    norms[1] = s->residuals ? (blurred ? sums.dual + dualData : sums.dual) : NAN;
    norms[2] = s->tv ? sums.tv : NAN;
}
