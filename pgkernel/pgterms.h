/* The terms of the Poisson-Gaussian likelihood series, over lanes of any width (lanes.h).
 *
 * For y = alpha n + g with n ~ Poisson(x) and g ~ N(mean, var),
 * p(y | x) = sum over n >= 0 of t_n, t_n = e^-x x^n / n! N(y; alpha n + mean, var).
 * Write u = y - mean and r_n = t_n / t_(n-1) = (x / n) exp(alpha (u - alpha (n - 1/2)) / var)
 * for the ratio of consecutive terms. log r_n falls strictly with n, so the terms rise to one
 * largest term and fall after it, and r_(n+1) = r_n (n / (n + 1)) e^-c with c = alpha^2 / var.
 */
#ifndef PGKERNEL_PGTERMS_H
#define PGKERNEL_PGTERMS_H

#include "lanes.h"

#include <math.h>

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

/* log(2 pi). */
static const double kLog2Pi = 1.8378770664093456;

static inline Noise noiseOf(double var, double mean, double alpha) {
    Noise p;
    p.mean = mean;
    p.alpha = alpha;
    p.var = var;
    p.alphaOverVar = alpha / var;
    p.c = alpha * p.alphaOverVar;
    p.decay = exp(-p.c);
    p.halfLog2PiVar = 0.5 * (kLog2Pi + log(var));
    return p;
}

/* Below this relative size the rest of a sum cannot reach the last bit of the double result. */
static const double kNegligible = 0x1p-56;
/* Widest spread, in counts, that is walked one count at a time. */
static const double kWidestWalk = 128.0;
/* Counts from here on are not all doubles apart from one another. */
static const double kLargestWalkedCount = 0x1p52;
/* exp of anything up to this is finite and far from overflow, and e^-c of c up to it is a
 * normal double: the bound under which exponents are taken as they stand. */
static const double kExpRange = 700.0;
/* Quotients x / n from here down are taken in logs, as they may fall below the normal range. */
static const double kSmallestQuotient = 0x1p-1000;
/* A first ratio r_1 below this leaves t_1 and everything after it below the last bit of t_0. */
static const double kNegligibleFirstRatio = 0x1p-500;
/* Dekker's splitter 2^27 + 1, and the factors beyond which splitting would overflow. */
static const double kSplitter = 134217729.0;
static const double kSplitLimit = 0x1p990;
/* From this count on, log n! is taken from the Stirling series. */
static const double kStirlingFrom = 16.0;

/* y - mean as an unevaluated sum hi + lo, exact (two-sum); lo is 0 where hi is not finite. */
template <class L> LANE_INLINE void difference(const L &y, double mean, L *hi, L *lo) {
    L h = y - mean;
    L back = h - y;
    L l = (y - (h - back)) + (L(-mean) - back);
    *hi = h;
    *lo = select(absolute(h) < HUGE_VAL, l, 0.0);
}

/* The rounding error of the product p = a * b of a, b >= 0, exact by Dekker's splitting; no
 * fused multiply-add, so the same bits on every build. Factors so large that a split would
 * overflow keep no correction: their offsets are far beyond any count that matters. */
template <class L> LANE_INLINE L productError(double a, const L &b, const L &p) {
    double sa = kSplitter * a;
    double ah = sa - (sa - a);
    double al = a - ah;
    L sb = L(kSplitter) * b;
    L bh = sb - (sb - b);
    L bl = b - bh;
    L error = ((L(ah) * bh - p) + L(ah) * bl + L(al) * bh) + L(al) * bl;
    typename L::Mask split = (L(a) < kSplitLimit) & (b < kSplitLimit) & (p < kSplitLimit);
    return select(split, error, 0.0);
}

/* u - alpha m, with u and alpha m both kept exact until the last subtraction: near the
 * Gaussian's centre the two agree in most of their bits, and the offset decides the weights
 * of neighbouring counts when var is small. */
template <class L> LANE_INLINE L offsetAt(const L &hi, const L &lo, double alpha, const L &m) {
    L p = L(alpha) * m;
    return (hi - p) + (lo - productError(alpha, m, p));
}

/* log n! - (n log n - n + log(2 pi n) / 2), the Stirling series to the term in n^-9, good to
 * 1e-16 from n = 16 on. */
template <class L> LANE_INLINE L stirlingCorrection(const L &n) {
    L z = L(1.0) / n;
    L z2 = z * z;
    return z * (L(1.0 / 12) -
                z2 * (L(1.0 / 360) - z2 * (L(1.0 / 1260) - z2 * (L(1.0 / 1680) - z2 / 1188))));
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

/* log n! of a whole n below 16, or log n: the one library call that the count n itself needs in
 * -log p(y | x). */
static inline double logOfCount(double n) {
    return n < kStirlingFrom ? kLogFactorial[(int)n] : log(n);
}

/* -log p(y | x) = -log t_n - log s from a count n (whole, or any real n >= 16) and the sum s
 * of the terms relative to t_n, given the offset d = u - alpha n, on the lanes of on. With
 * log(e^-x x^n / n!) from n = 16 on written as (n - x) + n log(x / n) - log(2 pi n) / 2 -
 * stirlingCorrection(n): -x + n log x and -log n! each grow like n log n and cancel down to a
 * few units when x is near n, and this form never forms them. log(x / n) is log1p((x - n) / n)
 * near 1, and log x - log n where x / n would fall below the normal range. The library's logs
 * of each lane are taken in one pass, so that each lane branches once on the kind it needs. */
template <class L>
LANE_INLINE L negLogLikelihood(const L &x, const Noise *p, const L &n, const L &d, const L &s,
                               const typename L::Mask &on) {
    typedef typename L::Mask Mask;
    enum { W = L::kWidth };
    Mask small = n < kStirlingFrom;
    Mask none = n == 0.0;
    L q = x / n;
    Mask near = (q > 0.5) & (q < 2.0);
    Mask tiny = ~(q >= kSmallestQuotient);
    Mask ofX = small | (~near & tiny);
    L arg = select(ofX, x, select(near, (x - n) / n, q));
    double args[W];
    double counts[W];
    double sums[W];
    storeLanes(args, arg, L::all());
    storeLanes(counts, n, L::all());
    storeLanes(sums, s, L::all());
    unsigned live = bitsOf(on);
    unsigned viaLog1p = bitsOf(~small & near);
    unsigned counted = bitsOf(~none);
    double firsts[W] = {};
    double ofCounts[W] = {};
    double logSums[W] = {};
    for (int l = 0; l < W; ++l) {
        if (live >> l & 1u) {
            if (counted >> l & 1u) {
                firsts[l] = viaLog1p >> l & 1u ? log1p(args[l]) : log(args[l]);
            }
            ofCounts[l] = logOfCount(counts[l]);
            logSums[l] = log(sums[l]);
        }
    }
    L first = L::fromLanes(firsts);
    L ofCount = L::fromLanes(ofCounts);
    L logQ = select(ofX & ~small, first - ofCount, first);
    L stirling = (((n - x) + n * logQ) - L(0.5) * (L(kLog2Pi) + ofCount)) -
                 stirlingCorrection(select(small, 1.0, n));
    L poisson = select(small, select(none, -x, (n * first - x) - ofCount), stirling);
    return -((poisson - d * d / L(2.0 * p->var)) - p->halfLog2PiVar) - L::fromLanes(logSums);
}

/* Where only t_0 and t_1 count (r_1 too small to walk, or x = 0): E[n] = r_1 exactly, and
 * E[n] / x = e^(alpha (u - alpha / 2) / var) is formed without x, however small x is; at x = 0
 * it is the limit of E[n] / x. alpha / var itself passes the largest double when var is
 * subnormal, and then the product is formed first. */
template <class L>
LANE_INLINE L firstTermsRatio(const L &hi, const L &lo, const Noise *p,
                              const typename L::Mask &on) {
    L d = offsetAt(hi, lo, p->alpha, L(0.5));
    L exponent = p->alphaOverVar < HUGE_VAL ? L(p->alphaOverVar) * d : (L(p->alpha) * d) / p->var;
    return apply<exp>(exponent, on);
}

#endif
