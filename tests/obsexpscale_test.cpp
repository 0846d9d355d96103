#include "module_test.h"

#include <cmath>
#include <limits>
#include <random>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

const char *kInputsMessage =
    "Four inputs required: y - vector(observations); var - scalar; mean - scalar; alpha - scalar";

class ObsExpScale : public ModuleTest {
  protected:
    ObsExpScale() : ModuleTest("obsexpscale") {}

    std::vector<double> table(const mxArray *y, double var, double mean, double alpha) {
        standin::Outcome r =
            call(1, {y, arrays.scalar(var), arrays.scalar(mean), arrays.scalar(alpha)});
        return realOutput(r, 1, mxGetNumberOfElements(y));
    }
};

TEST_F(ObsExpScale, GatewayErrorsInCheckingOrder) {
    standin::Arrays &a = arrays;
    const mxArray *y = a.row({1, 2, 3});
    const mxArray *s = a.scalar(1);
    const mxArray *pair = a.row({1, 2});
    const mxArray *matrix = a.real(2, 3);
    const char *scalarId = "MATLAB:obsexpscale:xNotScalar";
    const char *meanId = "MATLAB:mixlikelihood:xNotScalar";
    const char *vectorId = "MATLAB:xtimesy:xNotScalar";
    const char *notDoubleId = "MATLAB:obsexpscale:yNotDouble";
    std::vector<ErrorCase> cases = {
        {"no inputs", 1, {}, "MATLAB:obsexpscale:invalidNumInputs", kInputsMessage},
        {"three inputs", 1, {y, s, s}, "MATLAB:obsexpscale:invalidNumInputs", kInputsMessage},
        {"five inputs", 1, {y, s, s, s, s}, "MATLAB:obsexpscale:invalidNumInputs", kInputsMessage},
        {"input count first", 2, {y, s, s}, "MATLAB:obsexpscale:invalidNumInputs", kInputsMessage},
        {"no output",
         0,
         {y, s, s, s},
         "MATLAB:obsexpscale:invalidNumOutputs",
         "One output required."},
        {"two outputs",
         2,
         {y, s, s, s},
         "MATLAB:obsexpscale:invalidNumOutputs",
         "One output required."},
        {"var 1x2", 1, {y, pair, s, s}, scalarId, "Input var must be a scalar."},
        {"var complex",
         1,
         {y, a.complex(1, 1, {1}, {1}), s, s},
         scalarId,
         "Input var must be a scalar."},
        {"var single",
         1,
         {y, a.ofClass(mxSINGLE_CLASS, 1, 1), s, s},
         scalarId,
         "Input var must be a scalar."},
        {"var empty", 1, {y, a.real(0, 0), s, s}, scalarId, "Input var must be a scalar."},
        {"var before y", 1, {matrix, pair, s, s}, scalarId, "Input var must be a scalar."},
        {"var before mean", 1, {y, pair, pair, s}, scalarId, "Input var must be a scalar."},
        {"mean 1x2", 1, {y, s, pair, s}, meanId, "Input mean must be a scalar."},
        {"mean int32",
         1,
         {y, s, a.ofClass(mxINT32_CLASS, 1, 1), s},
         meanId,
         "Input mean must be a scalar."},
        {"mean before alpha", 1, {y, s, pair, pair}, meanId, "Input mean must be a scalar."},
        {"alpha 1x2", 1, {y, s, s, pair}, scalarId, "Input alpha must be a scalar."},
        {"alpha logical",
         1,
         {y, s, s, a.ofClass(mxLOGICAL_CLASS, 1, 1)},
         scalarId,
         "Input alpha must be a scalar."},
        {"alpha before y",
         1,
         {matrix, s, s, a.real(0, 0)},
         scalarId,
         "Input alpha must be a scalar."},
        {"y 2x3", 1, {matrix, s, s, s}, vectorId, "Input y must be a vector."},
        {"y 0x0", 1, {a.real(0, 0), s, s, s}, vectorId, "Input y must be a vector."},
        {"y 1x0", 1, {a.real(1, 0), s, s, s}, vectorId, "Input y must be a vector."},
        {"y 0x1", 1, {a.real(0, 1), s, s, s}, vectorId, "Input y must be a vector."},
        {"2x3 int32 y keeps the shape error",
         1,
         {a.ofClass(mxINT32_CLASS, 2, 3), s, s, s},
         vectorId,
         "Input y must be a vector."},
        {"y single",
         1,
         {a.ofClass(mxSINGLE_CLASS, 1, 3), s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y int32",
         1,
         {a.ofClass(mxINT32_CLASS, 3, 1), s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y logical",
         1,
         {a.ofClass(mxLOGICAL_CLASS, 1, 2), s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y char",
         1,
         {a.ofClass(mxCHAR_CLASS, 1, 4), s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y sparse",
         1,
         {a.sparse(3, 1, {0, 2, 0}), s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y of 2^31 elements",
         1,
         {a.shapeOnly(1, 2147483648u), s, s, s},
         "MATLAB:obsexpscale:yTooLong",
         "Input y must have at most 2147483647 elements."},
    };
    expectErrors(cases);
}

TEST_F(ObsExpScale, AlwaysARealRowOnePerObservation) {
    struct Case {
        const char *name;
        const mxArray *y;
        size_t columns;
    };
    std::vector<Case> cases = {
        {"1x1", arrays.scalar(2), 1},
        {"row", arrays.row({1, 2, 3}), 3},
        {"column", arrays.column({1, 2, 3, 4}), 4},
        {"complex column, real part read", arrays.complex(2, 1, {1, 2}, {5, 5}), 2},
    };
    for (const Case &c : cases) {
        standin::Outcome r = call(1, {c.y, arrays.scalar(2), arrays.scalar(1), arrays.scalar(1)});
        ASSERT_TRUE(r.ok) << c.name << ": " << r.message;
        EXPECT_EQ(mxGetM(r.out()), 1u) << c.name;
        EXPECT_EQ(mxGetN(r.out()), c.columns) << c.name;
        EXPECT_FALSE(mxIsComplex(r.out())) << c.name;
        const double *y = static_cast<const double *>(standinRealData(c.y));
        std::vector<double> got = standin::values(r.out());
        for (size_t i = 0; i < c.columns; ++i) {
            EXPECT_EQ(got[i], std::exp((y[i] - 1.0) * 0.5)) << c.name << " element " << i;
        }
    }
}

// Values that follow from IEEE arithmetic alone, none of them an error.
TEST_F(ObsExpScale, ValueRules) {
    struct Case {
        const char *name;
        std::vector<double> y;
        double var, mean, alpha;
        std::vector<double> expected;
    };
    std::vector<Case> cases = {
        {"worked example", {1, 2, 3}, 2, 1, 1, {1.0, std::exp(0.5), std::exp(1.0)}},
        {"observation at the mean gives exactly 1",
         {-7.25, 3.5, 1e300},
         0.3,
         -7.25,
         2.2,
         {1.0, std::exp((3.5 + 7.25) * (2.2 / 0.3)), inf}},
        {"NaN stays in its place", {0, nan, 0}, 1, 0, 1, {1, nan, 1}},
        {"var 0: +inf, NaN at the mean, 0 below", {2, 1, 0}, 0, 1, 1, {inf, nan, 0}},
        {"var -0 flips the signs", {2, 0}, -0.0, 1, 1, {0, inf}},
        {"infinite var gives 1", {2, -5}, inf, 1, 1, {1, 1}},
        {"NaN alpha gives NaN", {2, 1}, 1, 1, nan, {nan, nan}},
        {"infinite mean", {2, 1}, 1, inf, 1, {0, 0}},
        {"alpha 0 gives 1", {2, -3}, 1, 1, 0, {1, 1}},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(sameBits(table(arrays.row(c.y), c.var, c.mean, c.alpha), c.expected)) << c.name;
    }
}

// The quotient alpha / var is formed first; the random draws are checked to
// include inputs where the other grouping rounds differently, so the test
// would notice a change of order.
TEST_F(ObsExpScale, MatchesReferenceBitForBit) {
    std::mt19937_64 rng(4101);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int otherOrderDiffers = 0;
    for (int trial = 0; trial < 200; ++trial) {
        double var = std::ldexp(std::abs(unit(rng)) + 0.01, static_cast<int>(rng() % 10) - 5);
        double mean = 10.0 * unit(rng);
        double alpha = 3.0 * unit(rng);
        std::vector<double> y(1 + trial % 37);
        for (double &v : y) {
            v = mean + 20.0 * unit(rng);
        }
        std::vector<double> expected(y.size());
        double q = alpha / var;
        for (size_t i = 0; i < y.size(); ++i) {
            double d = y[i] - mean;
            double e = d * q;
            expected[i] = std::exp(e);
            otherOrderDiffers += std::exp(alpha * d / var) != expected[i] ? 1 : 0;
        }
        const mxArray *in = trial % 2 == 0 ? arrays.row(y) : arrays.column(y);
        EXPECT_TRUE(sameBits(table(in, var, mean, alpha), expected)) << "trial " << trial;
    }
    EXPECT_GT(otherOrderDiffers, 0);
}

} // namespace
