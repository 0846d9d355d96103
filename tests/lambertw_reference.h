// Quad-precision Lambert W for measuring the double-precision library, and the ulp distance of
// a double from it. Shares no code or constants with the library: the branch point here is the
// true -1/e and the starting guesses are refined by Halley's method to ~1e-28 relative.
#pragma once

#include <quadmath.h>

#include <cmath>
#include <limits>

namespace lambertwReference {

inline __float128 quadE() {
    return expq(1);
}

// Smallest double whose W is real: -1/e rounded towards zero if rounding to nearest fell below.
inline double branchPoint() {
    double x = static_cast<double>(-1 / quadE());
    if (1 + quadE() * static_cast<__float128>(x) < 0) {
        x = std::nextafter(x, 0.0);
    }
    return x;
}

// W(x) on branch 0 or -1 for the exact double x; NaN where no real W exists on that branch.
inline __float128 lambertW(int branch, double xd) {
    const __float128 x = xd;
    const __float128 d = 1 + quadE() * x; // x is exact, e good to 113 bits
    if (std::isnan(xd) || d < 0 || (branch == -1 && x >= 0)) {
        return nanq("");
    }
    if (x == 0) {
        return x;
    }
    __float128 w;
    if (d < 0.5) {
        // Four terms of the branch-point expansion in the exact p, so that Halley starts inside
        // the right branch even where both branches are a hair apart.
        const __float128 s = branch == 0 ? sqrtq(2 * d) : -sqrtq(2 * d);
        const __float128 c2 = static_cast<__float128>(-1) / 3;
        const __float128 c3 = static_cast<__float128>(11) / 72;
        const __float128 c4 = static_cast<__float128>(-43) / 540;
        w = -1 + s * (1 + s * (c2 + s * (c3 + s * c4)));
    } else if (branch == -1) {
        const __float128 l = logq(-x);
        w = l - logq(-l);
    } else if (x > 3) {
        const __float128 l = logq(x);
        w = l - logq(l);
    } else {
        w = log1pq(x);
    }
    __float128 lastStep = std::numeric_limits<double>::infinity();
    for (int i = 0; i < 60; ++i) {
        const __float128 ew = expq(w);
        const __float128 f = w * ew - x;
        const __float128 wp1 = w + 1;
        if (f == 0 || wp1 == 0) {
            break;
        }
        const __float128 step = f / (ew * wp1 - (w + 2) * f / (wp1 + wp1));
        w -= step;
        const __float128 size = fabsq(step);
        // Near the branch point f is rounded to ~1e-34 and divided by 1 + w, so the step stalls
        // at a noise floor well below double resolution; stop there instead of cycling.
        if (size <= 1e-30 * fabsq(w) || (i > 4 && size >= lastStep)) {
            break;
        }
        lastStep = size;
    }
    if ((branch == 0 && w < -1) || (branch == -1 && w > -1)) {
        return nanq("");
    }
    return w;
}

// |got - ref| in units of the spacing of doubles at |ref| (subnormal spacing at the bottom).
inline double ulpError(double got, __float128 ref) {
    if (std::isnan(got) || std::isinf(got)) {
        return std::numeric_limits<double>::infinity();
    }
    int e = 0;
    frexpq(ref, &e);
    const __float128 ulp = ldexpq(1, e - 53 < -1074 ? -1074 : e - 53);
    return static_cast<double>(fabsq(static_cast<__float128>(got) - ref) / ulp);
}

} // namespace lambertwReference
