/* The proximity operator of the shifted Poisson likelihood, one element per lane:
 *
 *   L t = shiftedProx(v, u, gamma, s);
 *
 * argmin over t >= 0 of (t + s) - u log(t + s) + (t - v)^2 / (2 gamma): in z = t + s, the
 * positive root of z^2 + b z - gamma u = 0 with b = (gamma - s) - v, taken without cancellation
 * ((2 gamma) u / (b + d) where b > 0, else (d - b) / 2, d = sqrt(b^2 + (4 gamma) u)), and
 * t = z - s where that is not negative, else 0, operation by operation in that order. A NaN v
 * or u, or gamma <= 0 or NaN, give NaN (an infinite u too, through z); gamma = Inf gives
 * max(u - s, 0). Every lane width gives the bits of the scalar lanes.
 */
#ifndef PGKERNEL_SHIFTEDPROX_H
#define PGKERNEL_SHIFTEDPROX_H

#include "lanes.h"

#include <math.h>

/* A NaN among the inputs, or a step that is not positive, is no problem to solve: NaN, where
 * clipping at 0 would pass it off as a dark pixel (so the clip lets a NaN z through). An infinite
 * step leaves the likelihood alone, whose minimum is at z = u. */
template <class L> LANE_INLINE L shiftedProx(const L &v, const L &u, const L &gamma, const L &s) {
    L b = (gamma - s) - v;
    L d = squareRoot(b * b + (L(4.0) * gamma) * u);
    L z = select(b > 0.0, ((L(2.0) * gamma) * u) / (b + d), (d - b) / L(2.0));
    z = select(gamma == HUGE_VAL, u, z);
    L t = z - s;
    t = select(t < 0.0, 0.0, t);
    return select(unordered(v, u) | ~(gamma > 0.0), NAN, t);
}

#endif
