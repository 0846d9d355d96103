/* The proximity operator of the exact Poisson-Gaussian likelihood, one element per lane:
 *
 *   L x = proxOf(v, y, gamma, &noise, live);
 *
 * On the lanes of live, argmin over x >= 0 of -log p(y | x) + (x - v)^2 / (2 gamma): the x where
 * F(x) = (x - v) / gamma + 1 - E[n | y, x] / x changes sign, or 0 where F(0) >= 0 (with the
 * limit of E[n] / x at 0). A NaN v, y or gamma, an infinite y, or gamma <= 0 give NaN;
 * gamma = Inf gives the maximum-likelihood x; v = Inf gives Inf and v = -Inf gives 0.
 *
 * F rises with x (its slope 1 / gamma + (E[n] - Var[n]) / x^2 is positive, as the posterior of
 * n has Var <= E), and since E[n] / x falls with x, F(x) >= (x - v) / gamma + 1 - E/x at 0:
 * the root lies in [0, -gamma F(0)]. Halley's method with the element kernel's E[n], Var[n]
 * and third central moment runs inside that bracket, from the proximity operator of the
 * shifted Poisson model, and bisects wherever a step would leave it. Each lane's iterations
 * depend on its own inputs alone, so every lane width gives the bits of the scalar lanes.
 */
#ifndef PGKERNEL_PGPROX_H
#define PGKERNEL_PGPROX_H

#include "pgposterior.h"

#include <math.h>
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

#endif
