#include "module_test.h"
#include "pglikmt_reference.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// WorkerArgs as the module lays it out, seen through the thread-start hook.
// The layout must match, read or not.
struct WorkerArgsView {
    // cppcheck-suppress unusedStructMember
    double *grad;
    const double *x;
    // cppcheck-suppress unusedStructMember
    const double *y;
    double *blockSums;
    int sums;
    // cppcheck-suppress unusedStructMember
    const void *noise;
    int len;
    // cppcheck-suppress unusedStructMember
    void (*path)();
    int lanes; // the path's lanes: 1, 8 or 16
};

// A slice must repay its thread: the module's minimum slice.
const int kMinSlice = 16384;

using Started = StartedRecords<WorkerArgsView>;

struct Result {
    std::vector<double> grad;
    double nll;
    std::vector<double> dnll;
};

class PgLik : public ModuleTest {
  public:
    PgLik() : ModuleTest("pglikmt") {}

    // grad, nll and dnll of column vectors; an empty input is 0x0.
    Result likelihood(const std::vector<double> &x, const std::vector<double> &y, double var,
                      double mean, double alpha) {
        const mxArray *xIn = x.empty() ? arrays.real(0, 0) : arrays.column(x);
        const mxArray *yIn = y.empty() ? arrays.real(0, 0) : arrays.column(y);
        standin::Outcome r =
            call(3, {xIn, yIn, arrays.scalar(var), arrays.scalar(mean), arrays.scalar(alpha)});
        EXPECT_TRUE(r.ok) << r.id << ": " << r.message;
        if (!r.ok) {
            return {};
        }
        EXPECT_EQ(mxGetM(r.outputs[1]), 1u);
        EXPECT_EQ(mxGetN(r.outputs[1]), 1u);
        EXPECT_EQ(mxGetM(r.outputs[2]), 3u);
        EXPECT_EQ(mxGetN(r.outputs[2]), 1u);
        return {standin::values(r.outputs[0]), standin::values(r.outputs[1])[0],
                standin::values(r.outputs[2])};
    }
};

TEST_F(PgLik, GatewayErrorsInCheckingOrder) {
    standin::Arrays &a = arrays;
    const mxArray *x = a.row({1, 2, 3});
    const mxArray *y = a.column({0, 1, 2});
    const mxArray *s = a.scalar(1);
    const mxArray *e = a.real(0, 0);
    const mxArray *pair = a.row({1, 2});
    const mxArray *cplx = a.complex(1, 1, {1}, {0});
    const mxArray *single = a.ofClass(mxSINGLE_CLASS, 1, 1);
    const mxArray *zero = a.scalar(0);
    const mxArray *minusOne = a.scalar(-1);
    const mxArray *nanIn = a.scalar(nan);
    const mxArray *infIn = a.scalar(inf);
    const char *inputsMsg = "Five inputs required: x, y - arrays of the same number of elements; "
                            "var, mean, alpha - scalars (Gaussian noise variance and mean, scaling "
                            "parameter of Poisson noise).";
    const char *outputsMsg = "At most three outputs: grad, nll and dnll.";
    const char *varScalar = "Input var must be a real double scalar.";
    const char *varPositive = "Input var must be positive and finite.";
    const char *meanScalar = "Input mean must be a real double scalar.";
    const char *meanFinite = "Input mean must be finite.";
    const char *alphaScalar = "Input alpha must be a real double scalar.";
    const char *alphaPositive = "Input alpha must be positive and finite.";
    const char *xClass = "Input x must be a full real double array.";
    const char *yClass = "Input y must be a full real double array.";
    const char *lengths = "Inputs x and y must have the same number of elements.";
    const char *tooLong = "Input x must have at most 2147483647 elements, in all and along any "
                          "dimension.";
    auto id = [](const char *mnemonic) { return std::string("pgmex:pglikmt:") + mnemonic; };
    std::vector<std::string> ids = {
        id("invalidNumInputs"), id("invalidNumOutputs"), id("varNotScalar"),
        id("varNotPositive"),   id("meanNotScalar"),     id("meanNotFinite"),
        id("alphaNotScalar"),   id("alphaNotPositive"),  id("xNotDouble"),
        id("xComplex"),         id("yNotDouble"),        id("yComplex"),
        id("lengthMismatch"),   id("xTooLong")};
    auto in = [&](const mxArray *xIn, const mxArray *yIn, const mxArray *var, const mxArray *mean,
                  const mxArray *alpha) {
        return std::vector<const mxArray *>{xIn, yIn, var, mean, alpha};
    };
    const mxArray *long31 = a.shapeOnly(1, 2147483648u);
    std::vector<ErrorCase> cases = {
        {"no inputs", 1, {}, ids[0].c_str(), inputsMsg},
        {"four inputs", 1, {x, y, s, s}, ids[0].c_str(), inputsMsg},
        {"six inputs", 1, {x, y, s, s, s, s}, ids[0].c_str(), inputsMsg},
        {"input count before output count", 4, {x, y, s, s}, ids[0].c_str(), inputsMsg},
        {"four outputs", 4, in(x, y, s, s, s), ids[1].c_str(), outputsMsg},
        {"output count before var", 4, in(x, y, e, s, s), ids[1].c_str(), outputsMsg},
        {"var 1x2", 1, in(x, y, pair, s, s), ids[2].c_str(), varScalar},
        {"var complex", 1, in(x, y, cplx, s, s), ids[2].c_str(), varScalar},
        {"var single", 1, in(x, y, single, s, s), ids[2].c_str(), varScalar},
        {"var empty", 1, in(x, y, e, s, s), ids[2].c_str(), varScalar},
        {"var 0", 1, in(x, y, zero, s, s), ids[3].c_str(), varPositive},
        {"var -1", 1, in(x, y, minusOne, s, s), ids[3].c_str(), varPositive},
        {"var NaN", 1, in(x, y, nanIn, s, s), ids[3].c_str(), varPositive},
        {"var Inf", 1, in(x, y, infIn, s, s), ids[3].c_str(), varPositive},
        {"var value before mean", 1, in(x, y, zero, e, s), ids[3].c_str(), varPositive},
        {"mean 1x2", 1, in(x, y, s, pair, s), ids[4].c_str(), meanScalar},
        {"mean int32", 1, in(x, y, s, a.ofClass(mxINT32_CLASS, 1, 1), s), ids[4].c_str(),
         meanScalar},
        {"mean NaN", 1, in(x, y, s, nanIn, s), ids[5].c_str(), meanFinite},
        {"mean -Inf", 1, in(x, y, s, a.scalar(-inf), s), ids[5].c_str(), meanFinite},
        {"mean value before alpha", 1, in(x, y, s, infIn, e), ids[5].c_str(), meanFinite},
        {"alpha logical", 1, in(x, y, s, zero, a.ofClass(mxLOGICAL_CLASS, 1, 1)), ids[6].c_str(),
         alphaScalar},
        {"alpha empty", 1, in(x, y, s, zero, e), ids[6].c_str(), alphaScalar},
        {"alpha 0", 1, in(x, y, s, zero, zero), ids[7].c_str(), alphaPositive},
        {"alpha NaN", 1, in(x, y, s, zero, nanIn), ids[7].c_str(), alphaPositive},
        {"alpha Inf", 1, in(x, y, s, zero, infIn), ids[7].c_str(), alphaPositive},
        {"alpha value before x", 1, in(single, y, s, zero, minusOne), ids[7].c_str(),
         alphaPositive},
        {"x single", 1, in(a.ofClass(mxSINGLE_CLASS, 1, 3), y, s, s, s), ids[8].c_str(), xClass},
        {"x char", 1, in(a.ofClass(mxCHAR_CLASS, 1, 3), y, s, s, s), ids[8].c_str(), xClass},
        {"x sparse", 1, in(a.sparse(1, 3, {1, 0, 3}), y, s, s, s), ids[8].c_str(), xClass},
        {"x cell", 1, in(a.ofClass(mxCELL_CLASS, 1, 3), y, s, s, s), ids[8].c_str(), xClass},
        {"x class before complex y", 1, in(single, cplx, s, s, s), ids[8].c_str(), xClass},
        {"x complex", 1, in(a.complex(1, 3, {1, 2, 3}, {0, 0, 0}), y, s, s, s), ids[9].c_str(),
         "Input x must be real."},
        {"x complex before y class", 1, in(cplx, single, s, s, s), ids[9].c_str(),
         "Input x must be real."},
        {"y int32", 1, in(x, a.ofClass(mxINT32_CLASS, 3, 1), s, s, s), ids[10].c_str(), yClass},
        {"y sparse", 1, in(x, a.sparse(3, 1, {1, 0, 3}), s, s, s), ids[10].c_str(), yClass},
        {"y class before lengths", 1, in(x, single, s, s, s), ids[10].c_str(), yClass},
        {"y complex", 1, in(x, a.complex(3, 1, {1, 2, 3}, {0, 1, 0}), s, s, s), ids[11].c_str(),
         "Input y must be real."},
        {"y one short", 1, in(x, pair, s, s, s), ids[12].c_str(), lengths},
        {"y empty", 1, in(x, e, s, s, s), ids[12].c_str(), lengths},
        {"x empty, y not", 1, in(e, s, s, s, s), ids[12].c_str(), lengths},
        {"2^40 squared twice, counted without wrapping", 1,
         in(a.shapeOnly(size_t{1} << 40, size_t{1} << 40),
            a.shapeOnly(size_t{1} << 40, size_t{1} << 40), s, s, s),
         ids[13].c_str(), tooLong},
        {"3x4 against 13", 1, in(a.real(3, 4), a.real(13, 1), s, s, s), ids[12].c_str(), lengths},
        {"lengths before x length", 1, in(long31, x, s, s, s), ids[12].c_str(), lengths},
        {"2^31 elements", 1, in(long31, long31, s, s, s), ids[13].c_str(), tooLong},
        {"2^16 squared elements", 1,
         in(a.shapeOnly(65536, 65536), a.shapeOnly(65536, 65536), s, s, s), ids[13].c_str(),
         tooLong},
        {"empty, but 2^31 columns", 1, in(a.shapeOnly(0, 2147483648u), e, s, s, s), ids[13].c_str(),
         tooLong},
    };
    expectErrors(cases);
}

// grad takes x's shape, N-d and empty ones included; nll is 1x1 and 0 when empty; with no
// output asked for, grad still comes back (as ans).
TEST_F(PgLik, GradHasTheShapeOfX) {
    standin::Arrays &a = arrays;
    struct Case {
        const char *name;
        std::vector<size_t> xDims;
        std::vector<size_t> yDims;
    };
    std::vector<Case> cases = {
        {"scalar", {1, 1}, {1, 1}},
        {"row, column y", {1, 5}, {5, 1}},
        {"column, row y", {5, 1}, {1, 5}},
        {"3x4, 2x6 y", {3, 4}, {2, 6}},
        {"2x3x2, 12x1 y", {2, 3, 2}, {12, 1}},
        {"2x1x3x1x2", {2, 1, 3, 1, 2}, {1, 12}},
        {"0x0", {0, 0}, {0, 0}},
        {"0x3, 1x0 y", {0, 3}, {1, 0}},
        {"2x0x4", {2, 0, 4}, {0, 0}},
    };
    for (const Case &c : cases) {
        const mxArray *x = a.nd(c.xDims);
        size_t count = mxGetNumberOfElements(x);
        std::vector<double> xs(count);
        std::vector<double> ys(count);
        for (size_t i = 0; i < count; ++i) {
            xs[i] = 0.5 + i;
            ys[i] = 1.5 * i - 1;
        }
        if (count > 0) {
            x = a.nd(c.xDims, xs);
        }
        const mxArray *y = count > 0 ? a.nd(c.yDims, ys) : a.nd(c.yDims);
        std::vector<const mxArray *> in = {x, y, a.scalar(2), a.scalar(1), a.scalar(1.5)};
        for (int nlhs = 0; nlhs <= 2; ++nlhs) {
            standin::Outcome r = call(nlhs, in);
            ASSERT_TRUE(r.ok) << c.name << ": " << r.message;
            const mxArray *g = r.out();
            ASSERT_EQ(mxGetNumberOfDimensions(g), mxGetNumberOfDimensions(x)) << c.name;
            for (int k = 0; k < mxGetNumberOfDimensions(x); ++k) {
                EXPECT_EQ(mxGetDimensions(g)[k], mxGetDimensions(x)[k]) << c.name << " dim " << k;
            }
            EXPECT_TRUE(mxIsDouble(g) && !mxIsComplex(g)) << c.name;
            EXPECT_EQ(r.outputs.size(), nlhs == 2 ? 2u : 1u) << c.name;
            if (nlhs == 2) {
                const mxArray *n = r.outputs[1];
                EXPECT_EQ(mxGetM(n) * mxGetN(n), 1u) << c.name;
                if (count == 0) {
                    EXPECT_TRUE(sameBits(standin::values(n), {0.0})) << c.name;
                }
            }
            // The column-vector call on the same elements gives the same bits.
            if (count > 0) {
                Result column = likelihood(xs, ys, 2, 1, 1.5);
                EXPECT_TRUE(sameBits(standin::values(g), column.grad)) << c.name;
            }
        }
    }
}

// Identities worked by hand, and the elements outside the model.
TEST_F(PgLik, ValueCases) {
    const double halfLog2Pi = 0.5 * std::log(2 * M_PI);
    struct Case {
        const char *name;
        std::vector<double> x;
        std::vector<double> y;
        double var, mean, alpha;
        std::vector<double> grad;
        double nll;
        double tolerance; // relative; 0 asks for the same bits
    };
    const double v = 1e-8; // neighbouring counts weigh exp(-1/(2 v)): nothing
    auto poissonNll = [&](double x, double k) {
        return (x - k * std::log(x) + std::lgamma(k + 1)) + 0.5 * std::log(2 * M_PI * v);
    };
    std::vector<Case> cases = {
        {"x = 0", {0}, {1}, 1, 0, 1, {1 - std::exp(0.5)}, 0.5 + halfLog2Pi, 1e-15},
        {"x = 0, y below mean",
         {0},
         {-3},
         4,
         1,
         2,
         {1 - std::exp(-2.5)},
         2 + 0.5 * std::log(8 * M_PI),
         1e-15},
        {"x = 0 twice",
         {0, 0},
         {1, 1},
         1,
         0,
         1,
         {1 - std::exp(0.5), 1 - std::exp(0.5)},
         1 + std::log(2 * M_PI),
         1e-15},
        {"x = -0", {-0.0}, {1}, 1, 0, 1, {1 - std::exp(0.5)}, 0.5 + halfLog2Pi, 1e-15},
        {"Poisson only, k = 0", {2.5}, {3}, v, 3, 1.5, {1.0}, poissonNll(2.5, 0), 1e-12},
        {"Poisson only, k = 4", {2.5}, {9}, v, 3, 1.5, {1 - 4 / 2.5}, poissonNll(2.5, 4), 1e-12},
        {"Poisson only, k = 40", {30}, {63}, v, 3, 1.5, {1 - 40 / 30.0}, poissonNll(30, 40), 1e-12},
        {"Poisson only, k = 1000 at x = 1e3",
         {1e3},
         {1503},
         v,
         3,
         1.5,
         {0.0},
         poissonNll(1e3, 1e3),
         1e-12},
        {"x < 0, NaN x, Inf and NaN y",
         {-1, nan, 1, 1, 1},
         {1, 1, inf, -inf, nan},
         1,
         0,
         1,
         {nan, nan, nan, nan, nan},
         nan,
         0},
        {"x = Inf", {inf}, {5}, 1, 0, 1, {1.0}, inf, 0},
        // Fuzzers' finds, once endless walks: limits past the double range at x = 0.
        {"x = 0, u / var past the double range",
         {0},
         {1},
         9,
         -1.7976931348623157e308,
         1e6,
         {-inf},
         inf,
         0},
        {"x = 0, var the smallest double",
         {-0.0},
         {1},
         4.9406564584124654e-324,
         -0.0,
         2,
         {0.0},
         inf,
         0},
        {"x = 0, alpha the largest double",
         {0},
         {1.7976931348623157e308},
         0.5,
         -1,
         1.7976931348623157e308,
         {-inf},
         inf,
         0},
        // Counts past 2^52 with alpha / var so small that nll is all Gaussian: (u - alpha x)^2 / 2.
        {"counts past 2^52 the Gaussian cannot tell apart",
         {1e16, 1e300},
         {-4, -4},
         1,
         0,
         1e-300,
         {0, 0},
         (8 + halfLog2Pi) + (12.5 + halfLog2Pi),
         1e-14},
        {"as above, alpha / var underflowing to 0",
         {1e16},
         {-4},
         1,
         0,
         4.9406564584124654e-324,
         {0},
         8 + halfLog2Pi,
         1e-14},
        {"counts past every double, walked from below",
         {1, 10},
         {1e308, 1e308},
         1,
         0,
         1e-3,
         {-inf, -inf},
         inf,
         0},
        {"empty", {}, {}, 1, 0, 1, {}, 0.0, 0},
    };
    for (const Case &c : cases) {
        Result r = likelihood(c.x, c.y, c.var, c.mean, c.alpha);
        if (c.tolerance == 0) {
            EXPECT_TRUE(sameBits(r.grad, c.grad)) << c.name;
            EXPECT_TRUE(sameBits({r.nll}, {c.nll})) << c.name;
            continue;
        }
        ASSERT_EQ(r.grad.size(), c.grad.size()) << c.name;
        for (size_t i = 0; i < c.grad.size(); ++i) {
            EXPECT_NEAR(r.grad[i], c.grad[i], c.tolerance * std::fmax(1, std::fabs(c.grad[i])))
                << c.name << " element " << i;
        }
        EXPECT_NEAR(r.nll, c.nll, c.tolerance * std::fmax(1, std::fabs(c.nll))) << c.name;
    }
    // Counts past 2^52 (the first, a fuzzer's find, once gave NaN; the last two, where one
    // rounding of u - alpha n overflows log r_n, once gave -Inf): the count is continuous,
    // E[n] is the Gaussian's count to double precision, and nll is that of x^n e^-x / n!.
    const std::vector<std::vector<double>> far = {
        {1000, 1.7391971803444893e+80, 9, 2, 1.5},
        {10, 1e300, 1e-6, 0, 1},
        {1, 1e17, 1, 0, 1},
        {1, 1e308, 1e-300, 0, 1},
        {0.0068023242056369781, 3.1308993697166445e+298, 1.4703983068466187e-100, 0,
         5.8495887368917462e-4},
        {0.071081988513469696, 4.5149320363998414e+307, 13.175321221351624, 6.6778916120529169e+306,
         1.1817770600318909e+20}};
    for (const std::vector<double> &f : far) {
        Result r = likelihood({f[0]}, {f[1]}, f[2], f[3], f[4]);
        double s = (f[1] - f[3]) / f[4];
        EXPECT_NEAR(r.grad[0], 1 - s / f[0], 1e-12 * s / f[0]) << "y = " << f[1];
        double poisson = s * std::log(s / f[0]) - s + f[0];
        if (std::isinf(poisson)) {
            EXPECT_EQ(r.nll, poisson) << "y = " << f[1];
        } else {
            EXPECT_NEAR(r.nll, poisson, 1e-6 * poisson) << "y = " << f[1];
        }
    }
    // A fuzzer's find: x near the largest double, var and alpha the smallest, where m s once
    // overflowed into a NaN E[n]. Then c is nil and E[n] / x = exp(alpha (y - mean) / var).
    const double tiny = 4.9406564584124654e-324;
    Result edge = likelihood({1e308}, {0.5}, tiny, tiny, tiny);
    EXPECT_NEAR(edge.grad[0], 1 - std::exp(0.5), 1e-12);
    EXPECT_FALSE(std::isnan(edge.nll));
    Result good = likelihood({1}, {1}, 1, 0, 1);
    Result mixed = likelihood({1, -1e-300}, {1, 1}, 1, 0, 1);
    EXPECT_TRUE(sameBits(mixed.grad, {good.grad[0], nan})) << "a bad element beside a good one";
    EXPECT_TRUE(std::isnan(mixed.nll));
}

// Worst error against the quad-precision reference over a grid of one regime: x values, and
// y at alpha x + mean plus offsets in units of the observation's deviation.
struct Regime {
    const char *name;
    double alpha;
    double var;
    std::vector<double> xs;
    std::vector<double> offsets;
};

struct Worst {
    double grad = 0;
    double nll = 0;       // over x <= 1e3
    double nllBeyond = 0; // over x > 1e3
};

Worst measure(PgLik *t, const Regime &g) {
    const double mean = 2;
    std::vector<double> x;
    std::vector<double> y;
    for (double xi : g.xs) {
        for (double o : g.offsets) {
            x.push_back(xi);
            y.push_back(g.alpha * xi + mean + o * std::sqrt(g.var + g.alpha * g.alpha * xi));
        }
    }
    Result r = t->likelihood(x, y, g.var, mean, g.alpha);
    Worst w;
    for (size_t i = 0; i < x.size() && i < r.grad.size(); ++i) {
        pglikReference::Likelihood ref =
            pglikReference::likelihood(x[i], y[i], g.var, mean, g.alpha);
        double scale = std::fmax(1, static_cast<double>(fabsq(ref.meanOverX)));
        // A true gradient past the double range must come back as that infinity.
        double eg = r.grad[i] == static_cast<double>(1 - ref.meanOverX)
                        ? 0.0
                        : static_cast<double>(fabsq(r.grad[i] - (1 - ref.meanOverX))) / scale;
        w.grad = std::fmax(w.grad, std::isnan(eg) ? inf : eg);
        // Each element's own nll, from a call of its own.
        Result one = t->likelihood({x[i]}, {y[i]}, g.var, mean, g.alpha);
        double en = one.nll == static_cast<double>(ref.nll)
                        ? 0.0
                        : static_cast<double>(fabsq(one.nll - ref.nll) /
                                              std::fmax(1, static_cast<double>(fabsq(ref.nll))));
        en = std::isnan(en) ? inf : en;
        (x[i] <= 1e3 ? w.nll : w.nllBeyond) = std::fmax(x[i] <= 1e3 ? w.nll : w.nllBeyond, en);
    }
    return w;
}

const std::vector<double> kNear = {-6, -2, -0.5, 0, 0.3, 1, 3, 6};

// One regime per corner of the ranges and per way of summing; the bounds are the targets.
TEST_F(PgLik, AccurateAgainstQuadPrecision) {
    std::vector<Regime> regimes = {
        {"demo noise, x 0 to 30", 1.5, 9, {0, 1e-3, 0.4, 3, 12, 30}, kNear},
        {"var 1e-6: counts pinned", 1, 1e-6, {0.2, 7, 300}, {-3, -0.4, 0, 0.2, 0.5, 2}},
        {"var 1e6, alpha 1e-3: counts swamped", 1e-3, 1e6, {0.5, 50, 1e3}, kNear},
        {"alpha 1e3, var 1", 1e3, 1, {0.5, 5, 80}, kNear},
        {"x 1e4", 0.01, 1, {4e3, 1e4}, kNear},
        {"spread past the walk: trapezoid", 1e-3, 1e6, {3e4, 1e5}, {-6, 0, 2, 300}},
        {"y far outside", 1, 1, {0.3, 20}, {-1e3, -40, 40, 1e3}},
        {"tiny x", 1, 0.5, {1e-300, 1e-30, 1e-9}, {-3, 0, 3, 50}},
    };
    for (const Regime &g : regimes) {
        Worst w = measure(this, g);
        EXPECT_LE(w.grad, 1e-12) << g.name;
        EXPECT_LE(w.nll, 1e-11) << g.name;
    }
}

// The measured table of docs/accuracy.md:
//   module_tests --gtest_also_run_disabled_tests --gtest_filter='*AccuracyTable*'
TEST_F(PgLik, DISABLED_AccuracyTable) {
    const std::vector<double> xs = {0,  1e-300, 1e-8, 0.01, 0.3, 1,   2.5, 7,
                                    30, 100,    300,  1e3,  2e3, 5e3, 1e4};
    const std::vector<double> offsets = {-1e3, -30, -6, -3, -1, -0.3, 0, 0.5, 1, 3, 6, 30, 1e3};
    std::printf("| alpha | var | worst grad error | worst nll error (x <= 1e3) | "
                "worst nll error (x > 1e3) |\n|---|---|---|---|---|\n");
    for (double alpha : {1e-3, 0.1, 1.0, 1.5, 30.0, 1e3}) {
        for (double var : {1e-6, 1e-2, 1.0, 9.0, 1e3, 1e6}) {
            Worst w = measure(this, {"", alpha, var, xs, offsets});
            std::printf("| %g | %g | %.1e | %.1e | %.1e |\n", alpha, var, w.grad, w.nll,
                        w.nllBeyond);
            std::fflush(stdout);
        }
    }
}

// nll is the sum of the elements' own, added in blocks of 256 in index order.
TEST_F(PgLik, NllIsAddedInBlocksOf256) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const int len = 1100;
    std::vector<double> x(len);
    std::vector<double> y(len);
    for (int i = 0; i < len; ++i) {
        x[i] = i % 9 == 0 ? 0.0 : std::pow(10.0, 6 * unit(rng) - 3);
        y[i] = 1.5 * x[i] + 2 + 3 * std::sqrt(9 + 2.25 * x[i]) * (4 * unit(rng) - 2);
    }
    double total = 0.0;
    for (int first = 0; first < len; first += 256) {
        double block = 0.0;
        for (int i = first; i < len && i < first + 256; ++i) {
            block += likelihood({x[i]}, {y[i]}, 9, 2, 1.5).nll;
        }
        total += block;
    }
    EXPECT_TRUE(sameBits({likelihood(x, y, 9, 2, 1.5).nll}, {total}));
}

// Long enough for five workers, each element of its own regime.
struct Elements {
    std::vector<double> x;
    std::vector<double> y;
};

Elements manyRegimes(int len) {
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Elements e{std::vector<double>(len), std::vector<double>(len)};
    for (int i = 0; i < len; ++i) {
        e.x[i] = i % 9 == 0 ? 0.0 : std::pow(10.0, 6 * unit(rng) - 3);
        e.y[i] = 1.5 * e.x[i] + 2 + 3 * std::sqrt(9 + 2.25 * e.x[i]) * (4 * unit(rng) - 2);
    }
    return e;
}

// Every processor count gives the same bits, nll included: the workers are every processor
// but no more than the slices of kMinSlice the data fill, the calling thread takes the last
// slice, and with nll every slice but the last is a whole number of blocks.
TEST_F(PgLik, SameBitsOnEveryWorkerCount) {
    const int len = 5 * kMinSlice + 300;
    Elements e = manyRegimes(len);
    interpose::setProcessors(1);
    Started::watch();
    Result reference = likelihood(e.x, e.y, 9, 2, 1.5);
    EXPECT_TRUE(Started::all().empty()) << "one worker starts no thread";
    for (long processors : {2L, 3L, 4L, 8L, -1L}) {
        int workers = processors < 1 ? 1 : processors < 5 ? static_cast<int>(processors) : 5;
        for (int nlhs = 1; nlhs <= 3; ++nlhs) {
            interpose::reset();
            interpose::setProcessors(processors);
            Started::watch();
            standin::Outcome r =
                call(nlhs, {arrays.column(e.x), arrays.column(e.y), arrays.scalar(9),
                            arrays.scalar(2), arrays.scalar(1.5)});
            ASSERT_TRUE(r.ok) << r.message;
            std::string what =
                "P = " + std::to_string(processors) + ", nlhs " + std::to_string(nlhs);
            EXPECT_TRUE(sameBits(standin::values(r.outputs[0]), reference.grad)) << what;
            if (nlhs >= 2) {
                EXPECT_TRUE(sameBits(standin::values(r.outputs[1]), {reference.nll})) << what;
            }
            if (nlhs == 3) {
                EXPECT_TRUE(sameBits(standin::values(r.outputs[2]), reference.dnll)) << what;
            }
            const std::vector<WorkerArgsView> &started = Started::all();
            ASSERT_EQ(static_cast<int>(started.size()), workers - 1) << what;
            int per = len / workers;
            per -= nlhs >= 2 ? per % 256 : 0;
            for (size_t i = 0; i < started.size(); ++i) {
                const WorkerArgsView &w = started[i];
                EXPECT_EQ(w.x - started[0].x, static_cast<long>(i) * per) << what;
                EXPECT_EQ(w.len, per) << what << " worker " << i;
                EXPECT_EQ(w.lanes, lanesOf("pglikmt", "pglikmt")) << what;
                if (nlhs >= 2) {
                    // nll, and with dnll its three derivatives, per block.
                    long sums = nlhs == 3 ? 4 : 1;
                    EXPECT_EQ(w.blockSums - started[0].blockSums,
                              static_cast<long>(i) * per / 256 * sums);
                    EXPECT_EQ(w.sums, sums) << what;
                } else {
                    EXPECT_EQ(w.blockSums, nullptr) << what;
                }
            }
        }
    }
}

// PGMEX_NUM_THREADS caps the workers when it is a positive whole number, and is read at each
// call; anything else leaves every processor to the call.
TEST_F(PgLik, WorkerCapFromTheEnvironment) {
    const int len = 5 * kMinSlice;
    Elements e = manyRegimes(len);
    struct Case {
        const char *value; // null: unset
        int workers;
    };
    const std::vector<Case> cases = {{nullptr, 5}, {"2", 2},  {"1", 1}, {"4", 4},  {"64", 5},
                                     {"0", 5},     {"-3", 5}, {"", 5},  {"2x", 5}, {"two", 5}};
    for (const Case &c : cases) {
        if (c.value == nullptr) {
            unsetenv("PGMEX_NUM_THREADS");
        } else {
            setenv("PGMEX_NUM_THREADS", c.value, 1);
        }
        interpose::reset();
        interpose::setProcessors(8);
        Started::watch();
        standin::Outcome r = call(1, {arrays.column(e.x), arrays.column(e.y), arrays.scalar(9),
                                      arrays.scalar(2), arrays.scalar(1.5)});
        ASSERT_TRUE(r.ok) << r.message;
        EXPECT_EQ(static_cast<int>(Started::all().size()), c.workers - 1)
            << "PGMEX_NUM_THREADS=" << (c.value == nullptr ? "(unset)" : c.value);
    }
    unsetenv("PGMEX_NUM_THREADS");
}

// dnll: its shape, its closed forms at x = 0 (only n = 0 counts, so E[d] = u and E[n d] = 0),
// and NaN wherever nll is; grad and nll keep their bits when dnll is asked for too.
TEST_F(PgLik, DnllAtZeroAndOutsideTheModel) {
    Result empty = likelihood({}, {}, 1, 0, 1);
    EXPECT_TRUE(sameBits(empty.dnll, {0, 0, 0}));
    const double var = 4;
    const std::vector<double> u = {1, -3, 0.5};
    Result zero = likelihood({0, 0, 0}, {u[0] + 2, u[1] + 2, u[2] + 2}, var, 2, 1.5);
    double dVar = 0;
    double dMean = 0;
    for (double ui : u) {
        dVar += (var - ui * ui) / (2 * var * var);
        dMean += -ui / var;
    }
    EXPECT_NEAR(zero.dnll[0], dVar, 1e-15);
    EXPECT_NEAR(zero.dnll[1], dMean, 1e-15);
    EXPECT_TRUE(sameBits({zero.dnll[2]}, {0.0}));
    Result bad = likelihood({1, -1}, {1, 1}, 1, 0, 1);
    EXPECT_TRUE(sameBits(bad.dnll, {nan, nan, nan}));
    Elements e = manyRegimes(3000);
    standin::Outcome two = call(2, {arrays.column(e.x), arrays.column(e.y), arrays.scalar(9),
                                    arrays.scalar(2), arrays.scalar(1.5)});
    Result three = likelihood(e.x, e.y, 9, 2, 1.5);
    ASSERT_TRUE(two.ok);
    EXPECT_TRUE(sameBits(standin::values(two.outputs[0]), three.grad));
    EXPECT_TRUE(sameBits(standin::values(two.outputs[1]), {three.nll}));
}

// dnll against sums in quad precision of each element's derivatives, relative to the sum of
// their magnitudes, and against central differences of nll.
TEST_F(PgLik, DnllAgainstQuadPrecisionAndDifferences) {
    std::mt19937_64 rng(20);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    struct Setting {
        double var, mean, alpha;
    };
    const std::vector<Setting> settings = {{9, 2, 1.5}, {1e-2, 0, 1},  {1e4, 3, 0.05},
                                           {1, -1, 30}, {16, 50, 2.5}, {1e-4, 2, 1e-3}};
    for (const Setting &st : settings) {
        std::vector<double> x(150);
        std::vector<double> y(150);
        __float128 ref[3] = {0, 0, 0};
        __float128 size[3] = {0, 0, 0};
        for (size_t i = 0; i < x.size(); ++i) {
            x[i] = i % 15 == 0 ? 0.0 : std::pow(10.0, 4 * unit(rng) - 2);
            double sd = std::sqrt(st.var + st.alpha * st.alpha * x[i]);
            y[i] = st.alpha * x[i] + st.mean + sd * (6 * unit(rng) - 3);
            pglikReference::Likelihood r =
                pglikReference::likelihood(x[i], y[i], st.var, st.mean, st.alpha);
            const __float128 terms[3] = {r.dVar, r.dMean, r.dAlpha};
            for (int k = 0; k < 3; ++k) {
                ref[k] += terms[k];
                size[k] += fabsq(terms[k]);
            }
        }
        Result r = likelihood(x, y, st.var, st.mean, st.alpha);
        for (int k = 0; k < 3; ++k) {
            double e = static_cast<double>(fabsq(r.dnll[k] - ref[k]) / size[k]);
            EXPECT_LE(e, 1e-10) << "alpha " << st.alpha << ", var " << st.var << ", dnll " << k;
        }
        // Central differences of nll, steps of 1e-5 of each parameter's own scale: var, the
        // deviation sqrt(var), and for alpha what moves the largest count's mean by as much.
        double most = 1;
        for (double xi : x) {
            most = std::fmax(most, xi);
        }
        const double scales[3] = {st.var, std::sqrt(st.var), std::sqrt(st.var) / most};
        for (int k = 0; k < 3; ++k) {
            double step = 1e-5 * scales[k];
            double p[2][3] = {{st.var, st.mean, st.alpha}, {st.var, st.mean, st.alpha}};
            p[0][k] += step;
            p[1][k] -= step;
            double slope = (likelihood(x, y, p[0][0], p[0][1], p[0][2]).nll -
                            likelihood(x, y, p[1][0], p[1][1], p[1][2]).nll) /
                           (2 * step);
            EXPECT_NEAR(r.dnll[k], slope, 1e-6 * static_cast<double>(size[k]))
                << "alpha " << st.alpha << ", var " << st.var << ", dnll " << k;
        }
    }
}

// Every lane width against the scalar lanes of the same source, bit for bit: regimes from tiny
// x to counts past 2^52, the elements outside the model, lengths off the lane count and across
// nll blocks, with and without nll; and each build's path, where it runs threads, has the lanes
// of its width.
TEST_F(PgLik, LanesGiveTheScalarBits) {
    standin::Module &scalar = loadModule("pglikmt_scalar");
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    struct Case {
        const char *name;
        int len;
        double var, mean, alpha;
        double far; // one element in 50 lies this many deviations off
    };
    std::vector<Case> cases = {
        {"demo noise", 1000, 9, 2, 1.5, 1e4},
        {"var tiny", 77, 1e-6, 0, 1, 1e4},
        {"var huge", 300, 1e6, 3, 1e-3, 1e4},
        {"alpha large", 13, 1, 0, 1e3, 1e4},
        {"one element", 1, 9, 2, 1.5, 1e4},
        {"seven", 7, 0.5, -1, 2, 1e4},
        {"c = 30: start with c divided out", 400, 0.3, 1, 3, 1e4},
        {"far below: r_1 too small to walk", 300, 9, 2, 1.5, -1e3},
        {"two workers", 2 * kMinSlice + 5, 9, 2, 1.5, 1e4},
    };
    for (const char *build : {"pglikmt", "pglikmt_avx2"}) {
        standin::Module &lanes = loadModule(build);
        for (const Case &c : cases) {
            std::vector<double> x(c.len);
            std::vector<double> y(c.len);
            for (int i = 0; i < c.len; ++i) {
                double kind = unit(rng);
                x[i] = kind < 0.05 ? 0.0 : kind < 0.08 ? -1.0 : std::pow(10.0, 8 * unit(rng) - 4);
                double sd = std::sqrt(c.var + c.alpha * c.alpha * x[i]);
                y[i] = c.alpha * x[i] + c.mean + sd * (i % 50 == 3 ? c.far : 8 * unit(rng) - 4);
                y[i] = i % 97 == 5 ? inf : y[i];
            }
            std::vector<const mxArray *> in = {arrays.column(x), arrays.row(y),
                                               arrays.scalar(c.var), arrays.scalar(c.mean),
                                               arrays.scalar(c.alpha)};
            for (int nlhs = 1; nlhs <= 3; ++nlhs) {
                interpose::setProcessors(2);
                interpose::watch(&lanes);
                Started::watch();
                standin::Outcome wide = standin::call(lanes, nlhs, in);
                ASSERT_TRUE(wide.ok) << c.name;
                for (const WorkerArgsView &w : Started::all()) {
                    EXPECT_EQ(w.lanes, lanesOf(build, "pglikmt")) << build << ", " << c.name;
                }
                interpose::watch(&scalar);
                standin::Outcome plain = standin::call(scalar, nlhs, in);
                interpose::watch(&module_);
                ASSERT_TRUE(plain.ok) << c.name;
                for (int k = 0; k < nlhs; ++k) {
                    EXPECT_TRUE(sameBits(standin::values(wide.outputs[k]),
                                         standin::values(plain.outputs[k])))
                        << build << ", " << c.name << ", output " << k;
                }
            }
        }
    }
}

} // namespace
