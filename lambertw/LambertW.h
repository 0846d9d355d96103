// Lambert W: the real branches of the inverse of w -> w e^w, in double precision.
//
// double LambertW<0>(double x), double LambertWApproximation<0>(double x)
//   Branch 0 (principal, W >= -1).
//   Domain: x >= -LambertWDetail::kInvE = -0.36787968862663156, the branch point as evaluated
//   here (e cut to 2.71828; the true -1/e = -0.36787944117144233 lies above it).
//   Outside it: x < -kInvE, -infinity, +infinity and NaN all give a quiet NaN.
//
// double LambertW<-1>(double x), double LambertWApproximation<-1>(double x)
//   Branch -1 (lower, W <= -1).
//   Domain: -kInvE <= x < 0.
//   Outside it: x < -kInvE, x > 0, +-infinity and NaN give a quiet NaN. At x = +-0
//   LambertWApproximation<-1> returns -infinity (the limit); LambertW<-1> returns NaN.
//
// LambertWApproximation<branch> is a piecewise fit (series about the branch point, rational
// functions, an asymptotic expansion or an iterated logarithm). LambertW<branch> applies one
// high-order correction step to it, but only where the step is safe: above 1 - kInvE =
// 0.6321203113733684 on branch 0 and above -kInvE + 1e-5 = -0.36786968862663155 on branch -1.
// Elsewhere it returns the approximation unchanged, bit for bit.
//
// Accuracy: largest error in ulps of the true W(x), over dense sweeps against a quad-precision
// reference (glibc 2.36 log). Only arguments from the true -1/e up are measured; on branch -1,
// +d stands for -kInvE + 1e-5 + d.
//   Branch 0                        LambertW                 LambertWApproximation
//   [-1/e, -kInvE + 1e-5)           = approximation          1.0e13 (1.2e-3 absolute at -1/e)
//   [-kInvE + 1e-5, -0.3236)        = approximation          8.2e11 (9e-5 absolute)
//   [-0.3236, 0.1455)               = approximation          4.8e10 (1e-5 relative)
//   [0.1455, 1 - kInvE]             = approximation          2.7e10
//   (1 - kInvE, 8.707)              1.64                     3.9e11
//   [8.707, max]                    1.51                     3.1e12
//   Branch -1
//   [-1/e, -kInvE + 1e-5]           = approximation          5.2e12 (1.2e-3 absolute at -1/e)
//   (-kInvE + 1e-5, +1e-4]          1.0e5 (2e-11 relative)   4.2e11
//   (+1e-4, +1e-3]                  56                       1.3e11
//   (+1e-3, +1e-2]                  12                       4.3e10
//   (+1e-2, -0.303)                 5.1                      1.4e11
//   [-0.303, -0.0510)               2.5                      1.5e11
//   [-0.0510, -2e-305]              1.5                      3.0e9
//   (-2e-305, 0)                    1.5 (unrefined near 0)   1.0
// So LambertW<0> is accurate only above 1 - kInvE: below it, it is the bare approximation.
// Near the branch point W has an infinite slope and errors there are dominated by measuring
// from -kInvE instead of -1/e.
//
// Results are reproducible bit for bit (one IEEE rounding per operation, in a fixed order, no
// fused multiply-add); only the C library's log can make them differ in the last place.
// The functions are pure and thread-safe, allocate nothing and never report errors: check the
// result for NaN or infinity.
//
// Edge cases:
//   - x = -kInvE gives exactly -1 from all four functions; the next double below gives NaN.
//   - [-kInvE, -1/e) has no real W, yet both branches return finite values there: they move
//     from -1 at -kInvE to about -1 +- 1.2e-3 at -1/e (branch 0 above -1, branch -1 below).
//   - LambertW<0>(+0) = +0 and LambertW<0>(-0) = -0 (W(x) ~ x keeps the sign of zero).
//   - LambertW<-1> leaves the approximation unrefined where x / w would be subnormal or zero
//     (|x| below about 1.6e-305, x != 0): the step would lose up to ln 2 there, or give NaN.
#pragma once

namespace LambertWDetail {
// The double nearest 1/2.71828 (not 1/e): x * 2.71828 is exactly -1 at x = -kInvE.
constexpr double kInvE = 0.36787968862663156;
} // namespace LambertWDetail

template <int branch> double LambertW(double x);
template <int branch> double LambertWApproximation(double x);

template <> double LambertW<0>(double x);
template <> double LambertW<-1>(double x);
template <> double LambertWApproximation<0>(double x);
template <> double LambertWApproximation<-1>(double x);
