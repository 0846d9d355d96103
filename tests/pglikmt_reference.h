// Quad-precision Poisson-Gaussian likelihood for measuring pglikmt: every term in logs from
// lgammaq, summed as log-sum-exp over the integers far past both sides of the largest term.
// Shares nothing with the module's method: no ratio recurrence, no Stirling series.
#pragma once

#include <quadmath.h>

#include <cmath>

namespace pglikReference {

struct Likelihood {
    __float128 nll;       // -log p(y | x)
    __float128 meanCount; // E[n | y, x]
    __float128 meanOverX; // E[n | y, x] / x, or its limit at x = 0
    __float128 dVar;      // d/dvar, d/dmean and d/dalpha of -log p(y | x), from the moments of
    __float128 dMean;     // d = u - alpha n over the posterior: (var - E[d^2]) / (2 var^2),
    __float128 dAlpha;    // -E[d] / var and -E[n d] / var
};

// log t_n for the exact double inputs.
inline __float128 logTerm(__float128 x, __float128 u, __float128 alpha, __float128 var,
                          __float128 n) {
    __float128 poisson = n == 0 ? -x : -x + n * logq(x) - lgammaq(n + 1);
    __float128 d = u - alpha * n;
    return poisson - d * d / (2 * var) - logq(2 * acosq(-1) * var) / 2;
}

inline Likelihood likelihood(double xd, double yd, double vard, double meand, double alphad) {
    const __float128 x = xd, alpha = alphad, var = vard;
    const __float128 u = static_cast<__float128>(yd) - meand; // exact: both are doubles
    const __float128 c = alpha * alpha / var;
    Likelihood r;
    if (x == 0) {
        r.meanCount = 0;
        r.meanOverX = expq(alpha * (u - alpha / 2) / var);
        r.nll = -logTerm(x, u, alpha, var, 0);
        r.dVar = (var - u * u) / (2 * var * var);
        r.dMean = -u / var;
        r.dAlpha = 0;
        return r;
    }
    // The largest term: log r_s = log(x/s) + alpha (u - alpha (s - 1/2)) / var falls with s;
    // bisect for its root.
    __float128 lo = 0, hi = 1;
    auto logRatio = [&](__float128 s) {
        return logq(x / s) + alpha * (u - alpha * (s - 0.5)) / var;
    };
    while (logRatio(hi) > 0) {
        hi *= 2;
    }
    for (int i = 0; i < 300; ++i) {
        __float128 mid = (lo + hi) / 2;
        (logRatio(mid) > 0 ? lo : hi) = mid;
    }
    const __float128 mode = floorq(lo);
    const __float128 sigma = 1 / sqrtq(1 / (lo + 1) + c);
    const __float128 reach = floorq(40 * sigma) + 60;
    const __float128 first = mode > reach ? mode - reach : 0;
    const __float128 top = logTerm(x, u, alpha, var, mode);
    __float128 sum = 0, moment = 0, d1 = 0, nd = 0, d2 = 0;
    for (__float128 n = first; n <= mode + reach; n += 1) {
        __float128 w = expq(logTerm(x, u, alpha, var, n) - top);
        __float128 d = u - alpha * n;
        sum += w;
        moment += (n - mode) * w;
        d1 += d * w;
        nd += n * d * w;
        d2 += d * d * w;
    }
    r.meanCount = mode + moment / sum;
    r.meanOverX = r.meanCount / x;
    r.nll = -(top + logq(sum));
    r.dVar = (var - d2 / sum) / (2 * var * var);
    r.dMean = -(d1 / sum) / var;
    r.dAlpha = -(nd / sum) / var;
    return r;
}

} // namespace pglikReference
