/* The Poisson-Gaussian element kernel: for each element, from x, y and the noise, the
 * posterior of the count n given y, as the walk over the likelihood series gives it.
 *
 *   Posterior<L> r = posteriorOf<L, wants>(x, y, &noise, live);
 *
 * On the lanes of live: r.meanOverX = E[n | y, x] / x (its limit at x = 0), and on request
 * (wants, a sum of Wants) r.variance = Var[n | y, x], r.third = E[(n - E[n])^3 | y, x],
 * r.offset = E[y - mean - alpha n | y, x] and r.nll = -log p(y | x), constants included. x < 0 or
 * NaN, or y not finite, give NaN; x = Inf gives E[n] / x = 0 and nll = Inf; counts past every
 * double give E[n] / x = Inf and nll = Inf. Every lane width gives the bits of the scalar lanes
 * (Lanes1).
 *
 * The series is summed around its largest term, walking both ways with the exact ratio of
 * consecutive terms until what is left cannot change the double result; sums and moments are
 * kept relative to the term and the count the walk starts from, so that nothing cancels. Most
 * elements find their largest term in one exp (quickStart), all lanes at once; the rest take
 * the slow path one by one (pgsearch.h) and then walk in their lanes again.
 */
#ifndef PGKERNEL_PGPOSTERIOR_H
#define PGKERNEL_PGPOSTERIOR_H

#include "pgsearch.h"

#include <math.h>

/* Counts a quick start may climb to reach the largest term (start lies below it, most often
 * within a count); further off, the search finds it in fewer steps. */
static const int kSettleSteps = 16;

/* The root of phi(s) = log r_s with log(x / s) replaced by its tangent at x, 1 - s / x, which
 * lies below it: a start on the left of the root, and most often within a count of it. For
 * c > 1 the same start is written with c divided out, as alpha u / var alone can pass the
 * largest double long before the root does. */
template <class L> LANE_INLINE L startBelowRoot(const L &x, const L &hi, const Noise *p) {
    if (p->c > 1.0) {
        double spreadOfY = 1.0 / p->c;
        return x * ((L(spreadOfY) + hi / p->alpha) + 0.5) / (L(spreadOfY) + x);
    }
    return x * ((L(1.0) + L(p->alphaOverVar) * hi) + 0.5 * p->c) / (L(1.0) + L(p->c) * x);
}

/* The common case, with one exp and no log, on the lanes of in: r_k at the count k just above
 * start, then the largest term's count m (r_m >= 1 > r_(m+1)) reached from k with the walk's
 * own recurrence. From m both sides of the walk fall from their first step, and
 * E[n] = m + moment / s adds a moment of under a spread to m, with no cancellation to fear.
 * Gives the lanes it takes, with their walks (m, up = r_(m+1), down = 1 / r_m); the others get
 * m = 0 and ratios 0, a walk with nothing to walk. m = 0 is left to the slow path where r_1 is
 * so small that E[n] / x needs forming without x. */
template <class L>
LANE_INLINE typename L::Mask quickStart(const L &x, const L &hi, const L &lo, const L &start,
                                        const Noise *p, const typename L::Mask &in, L *m, L *up,
                                        L *down) {
    typedef typename L::Mask Mask;
    const L one = 1.0;
    if (!(p->c < kExpRange)) {
        *m = 0.0;
        *up = 0.0;
        *down = 0.0;
        return L::fromBits(0);
    }
    L k = select(start >= one, truncated(start) + one, one);
    L q = x / k;
    Mask ok = in & (k < kLargestWalkedCount) &
              (k <= L(kWidestWalk * kWidestWalk) * (one + L(p->c) * k)) & (q >= kSmallestQuotient);
    L r = q * apply<exp>(L(p->alphaOverVar) * offsetAt(hi, lo, p->alpha, k - 0.5), ok);
    /* Up to the largest term, where r_k >= 1. */
    Mask rising = ok & (r >= one);
    L mUp = k;
    L upUp = r * ((k / (k + one)) * p->decay);
    Mask goes = rising & (upUp >= one);
    for (int i = 0; any(goes); ++i) {
        Mask off = i == kSettleSteps ? goes : goes & ~(upUp < HUGE_VAL);
        ok = ok & ~off;
        goes = goes & ~off;
        mUp = select(goes, mUp + one, mUp);
        r = select(goes, upUp, r);
        upUp = select(goes, r * ((mUp / (mUp + one)) * p->decay), upUp);
        goes = goes & (upUp >= one);
    }
    /* Down to k - 1, where r_k < 1 with k - 1 at or below the root of log r_s, where start is:
     * the largest term is at k - 1, unless rounding put start past an integer root. */
    Mask falling = ok & ~rising;
    L mDown = k - one;
    Mask counted = mDown > 0.0;
    L downDown = select(counted, ((mDown / k) * p->decay) / r, 0.0);
    Mask kept = (counted & (downDown <= one)) | (~counted & (r >= kNegligibleFirstRatio));
    ok = ok & (~falling | kept);
    *m = select(ok, select(falling, mDown, mUp), 0.0);
    *up = select(ok, select(falling, r, upUp), 0.0);
    *down = select(ok, select(falling, downDown, one / r), 0.0);
    return ok;
}

/* Whether what is left after a term cannot change the sums: the terms left fall at least as
 * fast as ratio < 1, so they add at most term ratio / (1 - ratio) to the side's sum and at
 * most (steps + 1 / (1 - ratio)) times that to the moment, steps being the count's distance
 * from m. total and first are lower bounds on the whole sum and on the first moment about
 * zero (m s + moment), which E[n] needs to within its last bit. Written without division. A
 * NaN ratio ends the walk: nothing more is to be learnt, and it would never end. */
template <class L>
LANE_INLINE typename L::Mask restIsNegligible(const L &term, const L &ratio, const L &steps,
                                              const L &total, const L &first) {
    const L one = 1.0;
    L rest = term * ratio;
    L room = one - ratio;
    return unordered(ratio, ratio) |
           ((ratio < one) & (rest <= (L(kNegligible) * total) * room) &
            (rest * (steps * room + one) <= ((L(kNegligible) * first) * room) * room));
}

/* One side of a walk, relative to t_m. Every lane steps on, whether its walk has ended or
 * not, so that no step waits on a stop test: the sums are copied out of a lane at its first
 * negligible rest, where a walk of its own would stop, and the lane's later steps are never
 * read. moment2 and moment3, the moments about m of (n - m)^2 and (n - m)^3, are summed only
 * where the variance or the third central moment is asked for. */
template <class L> struct WalkSide {
    L term;
    L ratio;
    L n;
    L sum;
    L moment;
    L moment2;
    L moment3;
    typename L::Mask on; /* lanes whose walk goes on */
    L sumAt;             /* the sums where each lane's walk ended */
    L momentAt;
    L moment2At;
    L moment3At;
};

/* Ends the walks whose rest is negligible, and, going down, those at count 0. Up, every term
 * from m on adds at least m times itself to the first moment about zero (from 0 up, that
 * moment is the side's own); down, the first moment is at least m t_m, a bound that leaves the
 * two sides independent. */
template <class L, int moments>
LANE_INLINE void sideGoesOn(WalkSide<L> *side, const L &m, bool up) {
    L total = L(1.0) + side->sum;
    L steps = up ? side->n - m : m - side->n;
    L first = up ? select(m > 0.0, m * total, side->moment) : m;
    typename L::Mask stop = restIsNegligible(side->term, side->ratio, steps, total, first);
    if (!up) {
        stop = stop | (side->n <= 0.0);
    }
    typename L::Mask ending = side->on & stop;
    side->sumAt = select(ending, side->sum, side->sumAt);
    side->momentAt = select(ending, side->moment, side->momentAt);
    if (moments >= 2) {
        side->moment2At = select(ending, side->moment2, side->moment2At);
    }
    if (moments >= 3) {
        side->moment3At = select(ending, side->moment3, side->moment3At);
    }
    side->on = side->on & ~stop;
}

/* Two counts between tests (a count past the stop only adds what cannot be seen); going down,
 * none below count 0. */
template <class L, int moments>
LANE_INLINE void sideSteps(WalkSide<L> *side, const L &m, bool up, double decay) {
    const L one = 1.0;
    typename L::Mask on = L::all();
    for (int twice = 0; twice < 2; ++twice) {
        L t = side->term * side->ratio;
        L k = up ? side->n + one : side->n - one;
        L away = up ? k - m : m - k;
        L next = (k / (k + one)) * decay;
        if (up) {
            side->term = t;
            side->sum = side->sum + t;
            side->moment = side->moment + away * t;
            if (moments >= 2) {
                side->moment2 = side->moment2 + (away * away) * t;
            }
            if (moments >= 3) {
                side->moment3 = side->moment3 + ((away * away) * away) * t;
            }
            side->ratio = side->ratio * next;
        } else {
            side->term = select(on, t, side->term);
            side->sum = select(on, side->sum + t, side->sum);
            side->moment = select(on, side->moment + away * t, side->moment);
            if (moments >= 2) {
                side->moment2 = select(on, side->moment2 + (away * away) * t, side->moment2);
            }
            if (moments >= 3) {
                side->moment3 =
                    select(on, side->moment3 + ((away * away) * away) * t, side->moment3);
            }
            side->ratio = select(on, side->ratio * next, side->ratio);
            on = on & (k > 0.0);
        }
        side->n = k;
    }
}

/* The sums relative to t_m (see Sums) of walks from m with up = r_(m+1) and down = 1 / r_m,
 * both sides at once. The walk may start a count or so away from the largest term: a ratio
 * of 1 or more only defers the stop. */
template <class L> struct LaneSums {
    L s;
    L moment;
    L moment2;
    L moment3;
};

template <class L, int moments>
LANE_INLINE LaneSums<L> walk(const L &m, const L &up, const L &down, double decay) {
    const L zero = 0.0;
    const L one = 1.0;
    WalkSide<L> hi = {one, up, m, zero, zero, zero, zero, L::all(), zero, zero, zero, zero};
    WalkSide<L> lo = {one, down, m, zero, zero, zero, zero, L::all(), zero, zero, zero, zero};
    /* A side whose every walk has ended is left alone: going down, walks end at count 0, most
     * often long before the walks up. */
    while (any(hi.on) || any(lo.on)) {
        if (any(hi.on)) {
            sideGoesOn<L, moments>(&hi, m, true);
            sideSteps<L, moments>(&hi, m, true, decay);
        }
        if (any(lo.on)) {
            sideGoesOn<L, moments>(&lo, m, false);
            sideSteps<L, moments>(&lo, m, false, decay);
        }
    }
    /* Going down, the distances are counted as m - n: the odd moments change sign. */
    LaneSums<L> sums = {(one + hi.sumAt) + lo.sumAt, hi.momentAt - lo.momentAt,
                        hi.moment2At + lo.moment2At, hi.moment3At - lo.moment3At};
    return sums;
}

/* The posterior on the lanes of live (see the top of this file). */
template <class L, int wants>
LANE_INLINE Posterior<L> posteriorOf(const L &x, const L &y, const Noise *p,
                                     const typename L::Mask &live) {
    typedef typename L::Mask Mask;
    enum { W = L::kWidth };
    L hi;
    L lo;
    difference(y, p->mean, &hi, &lo);
    Mask inModel = live & (x > 0.0) & (x < HUGE_VAL) & (absolute(y) < HUGE_VAL);
    L start = startBelowRoot(x, hi, p);
    L m;
    L up;
    L down;
    Mask walked = quickStart(x, hi, lo, start, p, inModel, &m, &up, &down);
    /* The lanes without a quick start, one by one: each either joins the walks or is done,
     * with its results in these lanes. */
    unsigned slow = bitsOf(live & ~walked);
    unsigned done = 0;
    Posterior<L> finished = {0.0, 0.0, 0.0, 0.0, 0.0};
    if (slow != 0) {
        double in[5][W];
        const L each[5] = {x, y, hi, lo, start};
        for (int k = 0; k < 5; ++k) {
            storeLanes(in[k], each[k], L::all());
        }
        double walks[3][W];
        storeLanes(walks[0], m, L::all());
        storeLanes(walks[1], up, L::all());
        storeLanes(walks[2], down, L::all());
        double results[5][W] = {};
        for (int l = 0; l < W; ++l) {
            if (!(slow >> l & 1u)) {
                continue;
            }
            Walk w;
            Posterior<Lanes1> r;
            if (slowStart(in[0][l], in[1][l], in[2][l], in[3][l], p, in[4][l], wants, &w, &r)) {
                walks[0][l] = w.m;
                walks[1][l] = w.up;
                walks[2][l] = w.down;
            } else {
                results[0][l] = r.meanOverX.v;
                results[1][l] = r.variance.v;
                results[2][l] = r.offset.v;
                results[3][l] = r.nll.v;
                results[4][l] = r.third.v;
                done |= 1u << l;
            }
        }
        m = L::fromLanes(walks[0]);
        up = L::fromLanes(walks[1]);
        down = L::fromLanes(walks[2]);
        walked = live & ~L::fromBits(done);
        finished = {L::fromLanes(results[0]), L::fromLanes(results[1]), L::fromLanes(results[2]),
                    L::fromLanes(results[3]), L::fromLanes(results[4])};
    }
    enum { MOMENTS = (wants & WANT_THIRD) ? 3 : (wants & WANT_VARIANCE) ? 2 : 1 };
    LaneSums<L> sums = walk<L, MOMENTS>(m, up, down, p->decay);
    Posterior<L> r = {(m * sums.s + sums.moment) / (sums.s * x), 0.0, 0.0, 0.0, 0.0};
    L away = sums.moment / sums.s;
    if (wants & (WANT_VARIANCE | WANT_THIRD)) {
        L second = sums.moment2 / sums.s;
        r.variance = second - away * away;
        if (wants & WANT_THIRD) {
            r.third =
                (sums.moment3 / sums.s - L(3.0) * second * away) + L(2.0) * (away * away) * away;
        }
    }
    if (wants & (WANT_OFFSET | WANT_NLL)) {
        L d = offsetAt(hi, lo, p->alpha, m);
        if (wants & WANT_OFFSET) {
            r.offset = d - L(p->alpha) * away;
        }
        if (wants & WANT_NLL) {
            r.nll = negLogLikelihood(x, p, m, d, sums.s, walked);
        }
    }
    if (done != 0) {
        Mask over = L::fromBits(done);
        r.meanOverX = select(over, finished.meanOverX, r.meanOverX);
        r.variance = select(over, finished.variance, r.variance);
        r.offset = select(over, finished.offset, r.offset);
        r.nll = select(over, finished.nll, r.nll);
        r.third = select(over, finished.third, r.third);
    }
    return r;
}

#endif
