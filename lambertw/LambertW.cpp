// Lambert W, branches 0 and -1, in double precision.
//
// Every expression below is evaluated in the order it is written, one rounding per operation,
// so that results are reproducible bit for bit on any IEEE 754 machine with the same libm. The
// build therefore forbids fused multiply-add contraction, and nothing here may be reassociated
// or "simplified": r / 60 stays a division, Horner runs from the highest power down, and
// negative coefficients are added (which rounds exactly like subtracting their magnitude).

#include "LambertW.h"

#include <cmath>
#include <limits>

namespace {

using LambertWDetail::kInvE;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The branch point as the evaluation sees it. Everything near it is measured from -kInvE, not
// from the true -1/e, so that x = -kInvE maps exactly onto p = 0 and W = -1.
constexpr double kBranchPoint = -kInvE;
// Below this the truncated series is accurate enough and the long one only adds rounding; it is
// also the lower edge of the window where the refinement of branch -1 would divide by 1 + w ~ 0.
constexpr double kShortSeriesEnd = -kInvE + 1e-5;
// Refining branch 0 near 0 forms 0/0 and near the branch point diverges, so only arguments above
// this are refined.
constexpr double kRefineStart0 = 1 - kInvE;

static_assert(kBranchPoint == -0.36787968862663156, "branch point drifted");
static_assert(kShortSeriesEnd == -0.36786968862663155, "short-series bound drifted");
static_assert(kRefineStart0 == 0.6321203113733684, "refinement bound drifted");

constexpr double kSeriesEnd0 = -0.32358170806015724;
constexpr double kRational1End0 = 0.14546954290661823;
constexpr double kRational2End0 = 8.706658967856612;

constexpr double kSeriesEndM1 = -0.30298541769;
constexpr double kRationalEndM1 = -0.051012917658221676;

// p = sqrt(2 (1 + e x)) with e cut to 2.71828: the product is rounded before 1 is added, and
// x * 2.71828 is exactly -1 at x = -kInvE, so p is exactly +0 there.
double branchPointVariable(double x) {
    const double t = x * 2.71828 + 1;
    return std::sqrt(t + t);
}

// Expansion of W about the branch point in powers of s (s = p on branch 0, -p on branch -1);
// stored coefficients are the doubles nearest -1/3, 11/72, -43/540, 769/17280, -221/8505,
// 680863/43545600, -1963/204120 and 226287557/37623398400.
double seriesShort(double s) {
    return ((((0.044502314814814814 * s + -0.07962962962962963) * s + 0.1527777777777778) * s +
             -0.3333333333333333) *
                s +
            1) *
               s -
           1;
}

double seriesLong(double s) {
    return ((((((((0.006014543252956118 * s + -0.009616892024299432) * s + 0.01563563253233392) *
                     s +
                 -0.02598471487360376) *
                    s +
                0.044502314814814814) *
                   s +
               -0.07962962962962963) *
                  s +
              0.1527777777777778) *
                 s +
             -0.3333333333333333) *
                s +
            1) *
               s -
           1;
}

// x (1 + a1 x + ... + a4 x^4) / (1 + b1 x + ... + b4 x^4). The numerator keeps the factor x
// outermost so that W(+-0) = +-0 with the sign of the argument.
double rational0(double x, double a1, double a2, double a3, double a4, double b1, double b2,
                 double b3, double b4) {
    const double n = ((((a4 * x + a3) * x + a2) * x + a1) * x + 1) * x;
    const double d = 1 + x * (((b4 * x + b3) * x + b2) * x + b1);
    return n / d;
}

double rationalFirst0(double x) {
    return rational0(x, 5.931375839364438, 11.392205505329132, 7.338883399111118,
                     0.6534490169919599, 6.931373689597704, 16.82349461388016, 16.43072324143226,
                     5.115235195211697);
}

double rationalSecond0(double x) {
    return rational0(x, 2.4450530707265568, 1.3436642259582265, 0.14844005539759195,
                     0.0008047501729129999, 3.4447089864860025, 3.2924898573719523,
                     0.9164600188031222, 0.05306864044833221);
}

// W(x) ~ L1 - L2 + (L2 / L1) (1 + c1/L1 + c2/L1^2 + c3/L1^3 + c4/L1^4), L1 = log x,
// L2 = log log x. At +infinity L1 - L2 is inf - inf, so the result is NaN, as is P * (r / 60).
double asymptotic0(double x) {
    const double l1 = std::log(x);
    const double l2 = std::log(l1);
    const double r = 1 / l1;
    const double c1 = (l2 - 2) * 0.5;
    const double c2 = (((l2 + l2) - 9) * l2 + 6) * 0.16666666666666666;
    const double c3 = (((l2 * 3 - 22) * l2 + 36) * l2 - 12) * 0.08333333333333333;
    const double p = 60 + l2 * (((12 * l2 - 125) * l2 + 350) * l2 - 300);
    double t = (p * (r / 60) + c3) * r;
    t = (c2 + t) * r;
    t = r * (c1 + t);
    return (l1 - l2) + (1 + t) * (l2 / l1);
}

double rationalM1(double x) {
    const double n = (657.9493176902304 * x + 253.88810188892484) * x - 7.814176723907436;
    const double d =
        x * ((((1477.9341280760887 * x + 962.1784396969866) * x + 682.6073999909428) * x +
              99.98567083107612) *
                 x -
             60.43958713690808) +
        1;
    return n / d;
}

// Fixed point of w = log(-x) - log(-w), a contraction for w < -1 that converges slowly near
// -1 (hence the rational function below -0.051...). A fixed nine steps keep the cost constant.
double iteratedLogM1(double x) {
    const double l = std::log(-x);
    double w = l;
    for (int i = 0; i < 9; ++i) {
        w = l - std::log(-w);
    }
    return w;
}

// One high-order correction step for w ~ W(x). It divides by 1 + w, so callers keep it away
// from the branch point; at x = 0 it forms 0/0 (branch 0) or -inf - -inf (branch -1).
double refine(double x, double w) {
    const double z = std::log(x / w) - w;
    const double a = w + 1;
    const double q = (z * 0.6666666666666666 + a) * (a + a);
    return ((q - z) * (z / a) / (q - (z + z)) + 1) * w;
}

// Within about 1.6e-305 of zero on branch -1, x / w leaves the normal range: rounded to a
// subnormal it loses bits that no later step recovers (up to ln 2 in W), and from
// -372 * 2^-1074 up it is zero and the step gives NaN for an argument that has a W. The
// approximation is within an ulp there, so it is kept. x = 0 itself is not tiny: it still goes
// through the step, which makes it NaN.
bool xOverWUnderflows(double x, double w) {
    return x != 0 && std::fabs(x / w) < std::numeric_limits<double>::min();
}

} // namespace

template <> double LambertWApproximation<0>(double x) {
    if (x < kSeriesEnd0) {
        if (x < kBranchPoint) {
            return kNaN;
        }
        if (x < kShortSeriesEnd) {
            return seriesShort(branchPointVariable(x));
        }
        return seriesLong(branchPointVariable(x));
    }
    if (x < kRational1End0) {
        return rationalFirst0(x);
    }
    if (x < kRational2End0) {
        return rationalSecond0(x);
    }
    // NaN fails every comparison above and comes out of the expansion as NaN.
    return asymptotic0(x);
}

template <> double LambertWApproximation<-1>(double x) {
    if (x < kRationalEndM1) {
        if (x < kShortSeriesEnd) {
            if (x < kBranchPoint) {
                return kNaN;
            }
            return seriesShort(-branchPointVariable(x));
        }
        if (x < kSeriesEndM1) {
            return seriesLong(-branchPointVariable(x));
        }
        return rationalM1(x);
    }
    if (x < 0) {
        return iteratedLogM1(x);
    }
    if (x == 0) {
        return -kInf;
    }
    return kNaN;
}

template <> double LambertW<0>(double x) {
    const double w = LambertWApproximation<0>(x);
    if (x > kRefineStart0) {
        return refine(x, w);
    }
    return w;
}

template <> double LambertW<-1>(double x) {
    const double w = LambertWApproximation<-1>(x);
    if (x > kShortSeriesEnd && !xOverWUnderflows(x, w)) {
        return refine(x, w);
    }
    return w;
}
