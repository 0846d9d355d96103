/* The element kernel's slow path, one element at a time: elements outside the model, x = 0 and
 * x = Inf, and the few elements whose largest term no quick start finds (pgposterior.h). It
 * searches for the largest term by Newton's method, and sums terms spread over more counts
 * than are walked, or counts past 2^52, as a trapezoid rule.
 */
#ifndef PGKERNEL_PGSEARCH_H
#define PGKERNEL_PGSEARCH_H

#include "pgterms.h"

#include <math.h>
#include <stdint.h>

/* What the kernel gives for each element, each on request (see Wants). */
template <class L> struct Posterior {
    L meanOverX; /* E[n | y, x] / x, and its limit at x = 0 */
    L variance;  /* Var[n | y, x] */
    L offset;    /* E[y - mean - alpha n | y, x] */
    L nll;       /* -log p(y | x) */
    L third;     /* E[(n - E[n])^3 | y, x], the third central moment (with the variance) */
};
enum Wants { WANT_MEAN = 0, WANT_VARIANCE = 1, WANT_OFFSET = 2, WANT_NLL = 4, WANT_THIRD = 8 };

/* Where a walk starts, with its first ratios: up = r_(m+1) and down = 1 / r_m. */
struct Walk {
    double m;
    double up;
    double down;
};

/* y - mean as an unevaluated sum hi + lo (difference). */
struct Exact {
    double hi;
    double lo;
};

/* Newton steps the search may take, and the continuous ones past 2^52 counts. */
static const int kSearchSteps = 2000;
static const int kContinuousSteps = 64;
/* Nodes on each side of a trapezoid rule, far more than e^(-2 pi^2 sigma^2) ever needs. */
static const int kTrapezoidNodes = 400;

/* The whole part of v >= 0, by conversion: floor is a library call on the plain x86-64
 * target, and whole parts of doubles from 2^52 on are the doubles themselves. */
static inline double wholePart(double v) {
    return v < 0x1p52 ? (double)(int64_t)v : v;
}

static inline double offsetOf(const Exact *u, double alpha, double m) {
    return offsetAt<Lanes1>(u->hi, u->lo, alpha, m).v;
}

/* log(x / n), also where x / n would fall below the normal range. */
static inline double logOver(double x, double n) {
    double q = x / n;
    return q >= kSmallestQuotient ? log(q) : log(x) - log(n);
}

/* alpha d / var, which is the Gaussian's log ratio of neighbouring counts for an offset d;
 * alpha / var itself passes the largest double when var is subnormal, and then the product is
 * formed first. */
static inline double gaussianExponent(const Noise *p, double d) {
    return p->alphaOverVar < HUGE_VAL ? p->alphaOverVar * d : (p->alpha * d) / p->var;
}

/* log r_n for any real n > 0. */
static inline double logRatio(double x, const Exact *u, const Noise *p, double n) {
    return logOver(x, n) + gaussianExponent(p, offsetOf(u, p->alpha, n - 0.5));
}

/* (1 + z) log1p(z) - z, which is z^2 / 2 to first order: by its series for small z, where the
 * difference would lose the digits that matter once multiplied by a large count. */
static inline double growthExcess(double z) {
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
static inline double logTermStep(const Noise *p, double s, double phi, double delta) {
    double z = delta / s;
    return ((delta * (phi - 0.5 * p->c) - 0.5 * p->c * delta * delta) - s * growthExcess(z)) -
           0.5 * log1p(z) -
           (stirlingCorrection<Lanes1>(s + delta).v - stirlingCorrection<Lanes1>(s).v);
}

/* Sums of the terms relative to the one at count m: s = sum t_n / t_m and
 * moment, moment2, moment3 = sum (n - m)^k t_n / t_m for k = 1, 2, 3, so that
 * E[n] = m + moment / s and Var[n] = moment2 / s - (moment / s)^2 without the cancellation of
 * moments taken about zero. */
struct Sums {
    double s;
    double moment;
    double moment2;
    double moment3;
};

/* The sum over a spread of sigma counts or more as a trapezoid rule of step sigma / 4 about s:
 * the terms are smooth in n, so this and the sum over the integers both equal the integral to
 * within e^(-2 pi^2 sigma^2) relative. phi is log r_s. Returns the sums relative to t_s,
 * already times the step. */
static inline Sums trapezoid(const Noise *p, double s, double sigma, double phi) {
    double h = 0.25 * sigma;
    Sums sum = {1.0, 0.0, 0.0, 0.0};
    for (int side = -1; side <= 1; side += 2) {
        for (int k = 1; k < kTrapezoidNodes; ++k) {
            double delta = side * k * h;
            double w = exp(logTermStep(p, s, phi, delta));
            sum.s += w;
            sum.moment += delta * w;
            sum.moment2 += delta * delta * w;
            sum.moment3 += delta * delta * delta * w;
            if (w <= kNegligible * sum.s) {
                break;
            }
        }
    }
    sum.s *= h;
    sum.moment *= h;
    sum.moment2 *= h;
    sum.moment3 *= h;
    return sum;
}

/* The Newton step log r_s / (1 / s + c) with both sides divided by alpha / var, for where
 * log r_s itself overflows: var so small against alpha^2 that one rounding of u - alpha s
 * outweighs every double. Its limit is the Gaussian's own step, u / alpha - s. */
static inline double scaledNewtonStep(double x, const Exact *u, const Noise *p, double s) {
    return (logOver(x, s) / p->alphaOverVar + offsetOf(u, p->alpha, s - 0.5)) /
           (1.0 / (s * p->alphaOverVar) + p->alpha);
}

/* The Newton step at a continuous count s, given a = log r_s. */
static inline double continuousNewtonStep(double x, const Exact *u, const Noise *p, double s,
                                          double a) {
    return a == HUGE_VAL ? scaledNewtonStep(x, u, p, s) : a / (1.0 / s + p->c);
}

/* Finds where r_s = 1, by Newton's method on phi(s) = log r_s, which falls and is convex:
 * every Newton step from the left of the root stays on the left and climbs to it, and start
 * is on the left too (see startBelowRoot). Gives the count k the search ended on with log r_k;
 * counts past kLargestWalkedCount come back continuous. */
static inline void searchMode(double x, const Exact *u, const Noise *p, double start, double *logR,
                              double *k) {
    double n = start >= 1.0 ? wholePart(start) + 1.0 : 1.0;
    for (int i = 0; i < kSearchSteps; ++i) {
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
                for (int j = 0; j < kContinuousSteps && fabs(step) > 1e-3 * sqrt(n); ++j) {
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

/* Only t_0 and t_1 count: x = 0, or r_1 below kNegligibleFirstRatio. Then E[n], Var[n] and the
 * third central moment are all r_1 to double precision (0 at x = 0). */
static inline void firstTermsOnly(double x, const Exact *u, const Noise *p, int wants,
                                  Posterior<Lanes1> *out) {
    double ratio = firstTermsRatio<Lanes1>(u->hi, u->lo, p, Lanes1::all()).v;
    double count = x == 0.0 ? 0.0 : ratio * x;
    double d = offsetOf(u, p->alpha, 0.0);
    out->meanOverX = ratio;
    out->variance = count;
    out->third = count;
    out->offset = d - p->alpha * count;
    if (wants & WANT_NLL) {
        out->nll = negLogLikelihood<Lanes1>(x, p, 0.0, d, 1.0, Lanes1::all()).v;
    }
}

/* Terms spread over more counts than are walked, about the count k of the search, or counts
 * past 2^52. */
static inline void wideSum(double x, const Exact *u, const Noise *p, double k, double spread,
                           double logR, int wants, Posterior<Lanes1> *out) {
    Sums sum = {1.0, 0.0, 0.0, 0.0};
    /* Past 2^52 the count is continuous, and terms spread over less than a count are the one
     * at s. */
    bool continuous = k >= kLargestWalkedCount;
    if (!continuous) {
        sum = trapezoid(p, k, spread, logR);
    } else if (spread >= 1.0) {
        sum = trapezoid(p, k, spread, 0.0);
    }
    /* Doubles past 2^52 are too far apart for u - alpha s to be taken at s once the Gaussian is
     * the narrower factor (c s >= 1): at the root of log r_s it is -log(x / s) var / alpha -
     * alpha / 2 instead. Below c s = 1 a rounding of log(x / s) would cost var / alpha in it,
     * more than a rounding of s costs, and where alpha / var underflows the root tells nothing
     * at all. */
    double offset = continuous && p->c * k >= 1.0
                        ? -logOver(x, k) / p->alphaOverVar - 0.5 * p->alpha
                        : offsetOf(u, p->alpha, k);
    double away = sum.moment / sum.s;
    /* Here k s may pass the largest double: the moment is divided first. */
    out->meanOverX = (k + away) / x;
    double second = sum.moment2 / sum.s;
    out->variance = second - away * away;
    out->third = (sum.moment3 / sum.s - 3.0 * second * away) + 2.0 * (away * away) * away;
    out->offset = offset - p->alpha * away;
    if (wants & WANT_NLL) {
        out->nll = negLogLikelihood<Lanes1>(x, p, k, offset, sum.s, Lanes1::all()).v;
    }
}

/* Either the walk that an element's results come from (true), or its results, computed here
 * and now. start lies below the root of log r_s (startBelowRoot); hi + lo = y - mean. */
static inline bool slowStart(double x, double y, double hi, double lo, const Noise *p, double start,
                             int wants, Walk *walk, Posterior<Lanes1> *out) {
    if (!(x >= 0.0) || !isfinite(y)) {
        out->meanOverX = NAN;
        out->variance = NAN;
        out->offset = NAN;
        out->nll = NAN;
        out->third = NAN;
        return false;
    }
    Exact u = {hi, lo};
    if (x == 0.0) {
        firstTermsOnly(x, &u, p, wants, out);
        return false;
    }
    if (x == HUGE_VAL) {
        /* The largest term's count grows only like log x, so E[n] / x goes to 0. */
        out->meanOverX = 0.0;
        out->variance = HUGE_VAL;
        out->offset = -HUGE_VAL;
        out->nll = HUGE_VAL;
        out->third = HUGE_VAL;
        return false;
    }
    double logR;
    double k;
    searchMode(x, &u, p, start, &logR, &k);
    if (!(k < HUGE_VAL) || (logR == HUGE_VAL && k < kLargestWalkedCount)) {
        /* y so far above the Gaussian's centre that the counts it implies pass any double.
         * Past 2^52 an overflowed log r_k is one rounding of u - alpha k, not a distance. */
        out->meanOverX = HUGE_VAL;
        out->variance = NAN;
        out->offset = NAN;
        out->nll = HUGE_VAL;
        out->third = NAN;
        return false;
    }
    /* The spread of the terms about their largest, from the curvature 1 / n + c of log t_n. */
    double spread = sqrt(k / (1.0 + p->c * k));
    if (k >= kLargestWalkedCount || spread > kWidestWalk) {
        wideSum(x, &u, p, k, spread, logR, wants, out);
        return false;
    }
    if (logR >= 0.0) {
        /* r_k >= 1: the largest term is at k (or a count above, which the walk finds). */
        double e = exp(logR);
        double up = p->c < kExpRange && logR < kExpRange ? e * p->decay : exp(logR - p->c);
        walk->m = k;
        walk->up = up * (k / (k + 1.0));
        walk->down = 1.0 / e;
        return true;
    }
    double m = k - 1.0;
    double up = exp(logR);
    if (m == 0.0 && up < kNegligibleFirstRatio) {
        firstTermsOnly(x, &u, p, wants, out);
        return false;
    }
    double down = 0.0;
    if (m > 0.0) {
        down = p->c < kExpRange && logR > -kExpRange ? (m / k) * p->decay / up
                                                     : exp(-logR - p->c) * (m / k);
    }
    walk->m = m;
    walk->up = up;
    walk->down = down;
    return true;
}

#endif
