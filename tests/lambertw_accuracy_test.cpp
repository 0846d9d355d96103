// Dense sweep of both branches against a quad-precision reference, interval by interval.
//
// Error is |computed - W(x)| in ulps of W(x), W(x) solved in __float128 for the exact double x.
// Points are stratified random (fixed seed): uniform over the interval, clustered geometrically
// towards each end, plus the end doubles themselves; log-uniform over the unbounded intervals.

#include "LambertW.h"
#include "lambertw_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

namespace {

using lambertwReference::ulpError;

constexpr double kInvE = LambertWDetail::kInvE;
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();
constexpr int kPointsPerInterval = 6000;

// How LambertW treats an interval.
enum class Step {
    none,    // returns the approximation's bits
    applied, // refines it
};

struct Interval {
    const char *name;
    double lo; // first double in the interval
    double hi; // last double in the interval
    bool logSpaced;
    Step step;
    double maxRefined; // ulp bound for LambertW where the step is applied
    double maxApprox;  // ulp bound for LambertWApproximation
};

std::vector<double> samplePoints(const Interval &in, std::mt19937_64 &gen) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> xs = {in.lo, std::nextafter(in.lo, in.hi), std::nextafter(in.hi, in.lo),
                              in.hi};
    const int n = kPointsPerInterval / 4;
    for (int k = 0; k < n; ++k) {
        const double u = (k + unit(gen)) / n;
        if (in.logSpaced) {
            // Both unbounded intervals keep one sign, so spread over the magnitude's exponent.
            const double a = std::log(std::fabs(in.lo));
            const double b = std::log(std::fabs(in.hi));
            for (int j = 0; j < 4; ++j) {
                const double m = std::exp(a + (b - a) * (k + unit(gen)) / n);
                xs.push_back(in.lo < 0 ? -m : m);
            }
            continue;
        }
        const double width = in.hi - in.lo;
        xs.push_back(in.lo + width * u);
        xs.push_back(in.lo + width * (k + unit(gen)) / n);
        // 2^-40 of the narrowest interval is below one ulp of its ends.
        xs.push_back(in.lo + width * std::exp2(-40 * u));
        xs.push_back(in.hi - width * std::exp2(-40 * u));
    }
    for (double &x : xs) {
        x = std::fmin(std::fmax(x, in.lo), in.hi);
    }
    return xs;
}

struct Worst {
    double ulps = 0;
    double x = 0;
};

void record(Worst &w, double ulps, double x) {
    if (!(ulps <= w.ulps)) {
        w.ulps = ulps;
        w.x = x;
    }
}

template <int branch> void sweep(const std::vector<Interval> &intervals) {
    std::mt19937_64 gen(20240517 + branch);
    std::printf("branch %d: largest error in ulps of W(x), quad reference\n", branch);
    std::printf("  %-44s %-9s %10s %-24s %10s %-24s\n", "interval", "LambertW", "ulps", "at x",
                "approx", "at x");
    for (const Interval &in : intervals) {
        Worst refined;
        Worst approx;
        for (double x : samplePoints(in, gen)) {
            const __float128 ref = lambertwReference::lambertW(branch, x);
            ASSERT_FALSE(isnanq(ref)) << "no reference at " << x;
            const double w = LambertW<branch>(x);
            const double a = LambertWApproximation<branch>(x);
            if (in.step == Step::none) {
                // Unrefined means the approximation's bits, not merely its accuracy.
                ASSERT_EQ(w, a) << in.name << " at x = " << x;
            }
            record(refined, ulpError(w, ref), x);
            record(approx, ulpError(a, ref), x);
        }
        const char *kind[] = {"unrefined", "refined"};
        std::printf("  %-44s %-9s %10.4g %-24.17g %10.4g %-24.17g\n", in.name,
                    kind[static_cast<int>(in.step)], refined.ulps, refined.x, approx.ulps,
                    approx.x);
        if (in.step == Step::applied) {
            EXPECT_LE(refined.ulps, in.maxRefined) << in.name << " at x = " << refined.x;
        }
        EXPECT_LE(approx.ulps, in.maxApprox) << in.name << " at x = " << approx.x;
    }
}

const double kTrueBranchPoint = lambertwReference::branchPoint();
const double kShortEnd = -kInvE + 1e-5;

// Bounds on the approximation are its measured maxima plus about a quarter. Its error is a
// property of the fit (and, near the branch point, of measuring from -kInvE instead of -1/e: at
// -1/e the series sees p = 1.16e-3 where the true p is 0), so it is large: up to 1e13 ulps.
//
// Away from the branch point one step leaves a truncation error below rounding (the refined
// maxima sit at ordinary points, not where the approximation is worst, up to 4e-4 relative at
// x = 13.2), so the bound is rounding: the step adds a small correction to 1 and multiplies by
// w, which rounds twice, plus the error of z (log, subtraction) scaled by 1 / |1 + w|. On
// branch 0, 1 + w > 1.4 where the step is applied, hence 2 ulps (measured 1.64).
TEST(LambertWAccuracy, Branch0) {
    sweep<0>({
        {"[-1/e, -kInvE+1e-5) short series", kTrueBranchPoint, std::nextafter(kShortEnd, -1.0),
         false, Step::none, 0, 1.3e13},
        {"[-kInvE+1e-5, -0.3236) long series", kShortEnd,
         std::nextafter(-0.32358170806015724, -1.0), false, Step::none, 0, 1.1e12},
        {"[-0.3236, 0.1455) first rational", -0.32358170806015724,
         std::nextafter(0.14546954290661823, -1.0), false, Step::none, 0, 6.1e10},
        {"[0.1455, 1-kInvE] second rational", 0.14546954290661823, 1 - kInvE, false, Step::none, 0,
         3.4e10},
        {"(1-kInvE, 8.707) second rational", std::nextafter(1 - kInvE, 2.0),
         std::nextafter(8.706658967856612, 0.0), false, Step::applied, 2, 5e11},
        {"[8.707, max] expansion", 8.706658967856612, kMax, true, Step::applied, 2, 4e12},
    });
}

// Branch -1 is refined from -kInvE + 1e-5 on, where 1 + w is only -0.0074, so the long series
// is measured in bands of distance from there. The rounding error of z, scaled by 1 / |1 + w|,
// gives the bounds of the outer bands: 1 / |1 + w| reaches 4 at the band from +1e-2 (6 ulps,
// measured 5.1), 13 at +1e-3 (15, measured 12) and 41 at +1e-4 (70, measured 56), and is below
// 1.4 beyond -0.303 (3 ulps, measured 2.5; 2 for the iterated log, measured 1.5). In the first
// band the step's truncation error, which grows like a power of 1 / (1 + w), dominates: the
// approximation is 9e-5 off there and one step leaves 1e5 ulps (bound 1.3e5, measured 1.01e5).
//
// Near zero x / w leaves the normal range (below about 1.6e-305 in magnitude): rounded to a
// subnormal it would move W by up to ln 2 = 6.1e12 ulps, and from -372 * 2^-1074 up it is zero
// and the step would give NaN. There the approximation, within an ulp, is returned unrefined,
// so the last band holds refined and unrefined points under one bound of 2 ulps.
TEST(LambertWAccuracy, BranchMinus1) {
    sweep<-1>({
        {"[-1/e, -kInvE+1e-5] short series", kTrueBranchPoint, kShortEnd, false, Step::none, 0,
         6.6e12},
        {"(-kInvE+1e-5, +1e-4] long series", std::nextafter(kShortEnd, 0.0), kShortEnd + 1e-4,
         false, Step::applied, 1.3e5, 5.2e11},
        {"(+1e-4, +1e-3] long series", std::nextafter(kShortEnd + 1e-4, 0.0), kShortEnd + 1e-3,
         false, Step::applied, 70, 1.6e11},
        {"(+1e-3, +1e-2] long series", std::nextafter(kShortEnd + 1e-3, 0.0), kShortEnd + 1e-2,
         false, Step::applied, 15, 5.4e10},
        {"(+1e-2, -0.303) long series", std::nextafter(kShortEnd + 1e-2, 0.0),
         std::nextafter(-0.30298541769, -1.0), false, Step::applied, 6, 1.9e11},
        {"[-0.303, -0.0510) rational", -0.30298541769, std::nextafter(-0.051012917658221676, -1.0),
         false, Step::applied, 3, 1.9e11},
        {"[-0.0510, -2e-305] iterated log", -0.051012917658221676, -2e-305, true, Step::applied, 2,
         3.8e9},
        {"(-2e-305, -2^-1074] near zero", std::nextafter(-2e-305, 0.0), -kTiny, true, Step::applied,
         2, 1.25},
    });
}

// Between -kInvE and the true -1/e no real W exists, but the evaluation measures distance from
// -kInvE and returns the series there: finite, within 1.2e-3 of -1, on each branch's side.
TEST(LambertWAccuracy, NoRealWBelowTrueBranchPoint) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double lo = -kInvE;
    const double hi = std::nextafter(kTrueBranchPoint, -1.0);
    for (int k = 0; k < 2000; ++k) {
        const double x = k == 0 ? lo : k == 1 ? hi : lo + (hi - lo) * unit(gen);
        ASSERT_TRUE(isnanq(lambertwReference::lambertW(0, x))) << x;
        const double w0 = LambertWApproximation<0>(x);
        const double wm1 = LambertWApproximation<-1>(x);
        EXPECT_TRUE(w0 >= -1 && w0 < -1 + 1.2e-3) << x << " gave " << w0;
        EXPECT_TRUE(wm1 <= -1 && wm1 > -1 - 1.2e-3) << x << " gave " << wm1;
        EXPECT_EQ(LambertW<0>(x), w0) << x;
        EXPECT_EQ(LambertW<-1>(x), wm1) << x;
    }
}

} // namespace
