#include "module_test.h"

#include "LambertW.h"

#include <cmath>
#include <limits>
#include <random>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

const char *kInputsMessage = "Four inputs required: y - vector (observations); var - scalar; "
                             "mean - scalar; alpha - scalar";
const char *kMarginMessage = "The fifth input (margin) must hold at least one number.";
const char *kLengthMessage =
    "The table length is not a whole number from 0 to 2147483647: var must be positive, alpha "
    "nonzero, y finite, the exponent from y, mean, alpha and var not overflow, and the fifth "
    "input (margin) not so negative that the length falls below 0.";

// The length bound and the table, each operation in the module's order.
struct Reference {
    double length;
    std::vector<double> table;
};

Reference reference(const std::vector<double> &y, double var, double mean, double alpha,
                    double margin) {
    double m = 0.0;
    for (double v : y) {
        m = v > m ? v : m;
    }
    double c = (alpha * alpha) / var;
    double shifted = (m - mean) * alpha;
    double z = std::exp(shifted / var) * m;
    z = z * c;
    double w = LambertW<0>(z);
    double a = std::ceil(std::sqrt(var) / alpha);
    double scaled = a * margin;
    double length = std::ceil((scaled + 1.0) + (w / c));
    Reference r{length, {}};
    // Only a length the module accepts has a table; turning any other into an int is undefined.
    if (!(length >= 0.0 && length <= 2147483647.0)) {
        return r;
    }
    for (int n = 0; n < static_cast<int>(length); ++n) {
        double e = static_cast<double>(n) * c;
        r.table.push_back(n == 0 ? 0.0 : std::exp(-e));
    }
    return r;
}

class TermDecay : public ModuleTest {
  protected:
    TermDecay() : ModuleTest("termdecay") {}

    // The table for a margin given as any array; the output must be a real
    // 1-by-L row.
    std::vector<double> table(const mxArray *y, double var, double mean, double alpha,
                              const mxArray *margin) {
        standin::Outcome r =
            call(1, {y, arrays.scalar(var), arrays.scalar(mean), arrays.scalar(alpha), margin});
        return realOutput(r, 1, kAnyCount);
    }

    std::vector<double> table(const std::vector<double> &y, double var, double mean, double alpha,
                              double margin) {
        return table(arrays.row(y), var, mean, alpha, arrays.scalar(margin));
    }
};

TEST_F(TermDecay, GatewayErrorsInCheckingOrder) {
    standin::Arrays &a = arrays;
    const mxArray *y = a.row({0.5, 2});
    const mxArray *s = a.scalar(1);
    const mxArray *pair = a.row({1, 2});
    const mxArray *matrix = a.real(2, 3);
    const char *vectorId = "MATLAB:termdecay:xNotScalar";
    const char *notDoubleId = "MATLAB:termdecay:yNotDouble";
    const char *lengthId = "MATLAB:termdecay:invalidLength";
    const char *marginId = "MATLAB:termdecay:marginNotNumeric";
    std::vector<ErrorCase> cases = {
        {"the four inputs the message names",
         1,
         {y, s, s, s},
         "MATLAB:termdecay:invalidNumInputs",
         kInputsMessage},
        {"six inputs", 1, {y, s, s, s, s, s}, "MATLAB:termdecay:invalidNumInputs", kInputsMessage},
        {"input count first", 2, {}, "MATLAB:termdecay:invalidNumInputs", kInputsMessage},
        {"no output",
         0,
         {y, s, s, s, s},
         "MATLAB:termdecay:invalidNumOutputs",
         "One output required."},
        {"two outputs",
         2,
         {y, s, s, s, s},
         "MATLAB:termdecay:invalidNumOutputs",
         "One output required."},
        {"var 1x2",
         1,
         {y, pair, s, s, s},
         "MATLAB:termdecay:varNotScalar",
         "Input var must be a scalar."},
        {"var complex",
         1,
         {y, a.complex(1, 1, {1}, {1}), s, s, s},
         "MATLAB:termdecay:varNotScalar",
         "Input var must be a scalar."},
        {"var int32",
         1,
         {y, a.ofClass(mxINT32_CLASS, 1, 1), s, s, s},
         "MATLAB:termdecay:varNotScalar",
         "Input var must be a scalar."},
        {"var, alpha and y bad",
         1,
         {matrix, pair, s, pair, s},
         "MATLAB:termdecay:varNotScalar",
         "Input var must be a scalar."},
        {"mean 1x2",
         1,
         {y, s, pair, s, s},
         "MATLAB:termdecay:alphaNotScalar",
         "Input mean must be a scalar."},
        {"mean and alpha bad",
         1,
         {y, s, a.real(0, 0), pair, s},
         "MATLAB:termdecay:alphaNotScalar",
         "Input mean must be a scalar."},
        {"alpha 1x2",
         1,
         {y, s, s, pair, s},
         "MATLAB:termdecay:meanNotScalar",
         "Input alpha must be a scalar."},
        {"alpha single",
         1,
         {y, s, s, a.ofClass(mxSINGLE_CLASS, 1, 1), s},
         "MATLAB:termdecay:meanNotScalar",
         "Input alpha must be a scalar."},
        {"alpha before y",
         1,
         {matrix, s, s, pair, s},
         "MATLAB:termdecay:meanNotScalar",
         "Input alpha must be a scalar."},
        {"y 2x3", 1, {matrix, s, s, s, s}, vectorId, "Input y must be a vector."},
        {"y 0x0", 1, {a.real(0, 0), s, s, s, s}, vectorId, "Input y must be a vector."},
        {"y 1x0", 1, {a.real(1, 0), s, s, s, s}, vectorId, "Input y must be a vector."},
        {"y 0x1", 1, {a.real(0, 1), s, s, s, s}, vectorId, "Input y must be a vector."},
        {"2x3 int32 y keeps the shape error",
         1,
         {a.ofClass(mxINT32_CLASS, 2, 3), s, s, s, s},
         vectorId,
         "Input y must be a vector."},
        {"y single",
         1,
         {a.ofClass(mxSINGLE_CLASS, 1, 2), s, s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y int32",
         1,
         {a.ofClass(mxINT32_CLASS, 2, 1), s, s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y logical",
         1,
         {a.ofClass(mxLOGICAL_CLASS, 1, 2), s, s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y char",
         1,
         {a.ofClass(mxCHAR_CLASS, 1, 2), s, s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"y sparse",
         1,
         {a.sparse(1, 3, {0, 4, 0}), s, s, s, s},
         notDoubleId,
         "Input y must be a full double array."},
        {"var 0", 1, {y, a.scalar(0), s, s, s}, lengthId, kLengthMessage},
        {"var negative", 1, {y, a.scalar(-1), s, s, s}, lengthId, kLengthMessage},
        {"var NaN", 1, {y, a.scalar(nan), s, s, s}, lengthId, kLengthMessage},
        {"alpha 0", 1, {y, s, s, a.scalar(0), s}, lengthId, kLengthMessage},
        {"infinite observation", 1, {a.row({1, inf}), s, s, s, s}, lengthId, kLengthMessage},
        {"exponent overflows",
         1,
         {a.row({1000}), a.scalar(1e-3), s, s, s},
         lengthId,
         kLengthMessage},
        {"negative length", 1, {y, s, s, s, a.scalar(-10)}, lengthId, kLengthMessage},
        {"length beyond an int count", 1, {y, s, s, s, a.scalar(1e10)}, lengthId, kLengthMessage},
        {"NaN margin", 1, {y, s, s, s, a.scalar(nan)}, lengthId, kLengthMessage},
        {"margin 0x0", 1, {y, s, s, s, a.real(0, 0)}, marginId, kMarginMessage},
        {"margin 1x0", 1, {y, s, s, s, a.real(1, 0)}, marginId, kMarginMessage},
        {"margin 0x1 int32",
         1,
         {y, s, s, s, a.ofClass(mxINT32_CLASS, 0, 1)},
         marginId,
         kMarginMessage},
        {"margin sparse 0x0", 1, {y, s, s, s, a.sparse(0, 0, {})}, marginId, kMarginMessage},
        {"margin cell", 1, {y, s, s, s, a.ofClass(mxCELL_CLASS, 1, 1)}, marginId, kMarginMessage},
        {"margin struct",
         1,
         {y, s, s, s, a.ofClass(mxSTRUCT_CLASS, 1, 1)},
         marginId,
         kMarginMessage},
        {"margin function handle",
         1,
         {y, s, s, s, a.ofClass(mxFUNCTION_CLASS, 1, 1)},
         marginId,
         kMarginMessage},
        {"y before margin",
         1,
         {matrix, s, s, s, a.real(0, 0)},
         vectorId,
         "Input y must be a vector."},
    };
    expectErrors(cases);
}

TEST_F(TermDecay, WorkedExamples) {
    const double e1 = std::exp(-1.0);
    struct Case {
        const char *name;
        std::vector<double> y;
        double var, mean, alpha, margin;
        std::vector<double> expected;
    };
    std::vector<Case> cases = {
        {"NaN skipped, L = 6",
         {0.5, 2, nan, -1},
         1,
         0,
         1,
         2.5,
         {0, e1, std::exp(-2.0), std::exp(-3.0), std::exp(-4.0), std::exp(-5.0)}},
        {"nothing above 0, L = 7",
         {-1, -3},
         2,
         0,
         1,
         3,
         {0, std::exp(-0.5), std::exp(-1.0), std::exp(-1.5), std::exp(-2.0), std::exp(-2.5),
          std::exp(-3.0)}},
        {"margin 0 and nothing above 0, L = 1", {-1}, 1, 0, 1, 0, {0}},
        {"length 0 gives a 1x0 row", {0}, 1, 0, 1, -1, {}},
        {"a length of -0 is 0 too", {0}, 1, 0, 1, -1.5, {}},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(sameBits(table(c.y, c.var, c.mean, c.alpha, c.margin), c.expected)) << c.name;
    }
    EXPECT_EQ(table({3}, 4, 1, 0.5, 3).size(), 17u);
}

// Of the fifth input only the first element counts, whatever its class,
// and the table is a row whatever the orientation of y.
TEST_F(TermDecay, MarginAndShapes) {
    std::vector<double> expected = table({0.5, 2}, 1, 0.5, 1, 3);
    ASSERT_EQ(expected.size(), 6u);
    mxArray *int32Margin = arrays.ofClass(mxINT32_CLASS, 1, 2);
    static_cast<int32_t *>(standinRealData(int32Margin))[0] = 3;
    mxArray *singleMargin = arrays.ofClass(mxSINGLE_CLASS, 2, 2);
    static_cast<float *>(standinRealData(singleMargin))[0] = 3.0f;
    mxArray *charMargin = arrays.ofClass(mxCHAR_CLASS, 1, 1);
    static_cast<uint16_t *>(standinRealData(charMargin))[0] = 3;
    struct Case {
        const char *name;
        const mxArray *y;
        const mxArray *margin;
    };
    std::vector<Case> cases = {
        {"row vector margin", arrays.row({0.5, 2}), arrays.row({3, 100})},
        {"column vector margin", arrays.row({0.5, 2}), arrays.column({3, -100})},
        {"int32 margin", arrays.row({0.5, 2}), int32Margin},
        {"single margin", arrays.row({0.5, 2}), singleMargin},
        {"char margin, by its code", arrays.row({0.5, 2}), charMargin},
        {"column y", arrays.column({0.5, 2}), arrays.scalar(3)},
        {"1x1 y", arrays.scalar(2), arrays.scalar(3)},
        {"complex y read by its real part", arrays.complex(1, 2, {0.5, 2}, {9, 9}),
         arrays.scalar(3)},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(sameBits(table(c.y, 1, 0.5, 1, c.margin), expected)) << c.name;
    }
    mxArray *logicalMargin = arrays.ofClass(mxLOGICAL_CLASS, 1, 1);
    static_cast<bool *>(standinRealData(logicalMargin))[0] = true;
    EXPECT_TRUE(sameBits(table(arrays.row({0.5, 2}), 1, 0.5, 1, logicalMargin),
                         table({0.5, 2}, 1, 0.5, 1, 1)))
        << "a true logical margin is 1";
}

// Random parameters with finite lengths: the length and every entry agree
// with the reference bit for bit.
TEST_F(TermDecay, MatchesReferenceBitForBit) {
    std::mt19937_64 rng(5150);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int compared = 0;
    for (int trial = 0; trial < 300; ++trial) {
        double var = 0.01 + 10.0 * unit(rng);
        double alpha = (0.05 + 3.0 * unit(rng)) * (trial % 7 == 0 ? -1.0 : 1.0);
        double mean = 4.0 * unit(rng) - 2.0;
        double margin = 5.0 * unit(rng);
        std::vector<double> y(1 + trial % 13);
        for (double &v : y) {
            v = 12.0 * unit(rng) - 4.0;
        }
        Reference r = reference(y, var, mean, alpha, margin);
        if (!(r.length >= 0.0 && r.length < 100000.0)) {
            continue;
        }
        std::vector<double> got = table(y, var, mean, alpha, margin);
        EXPECT_EQ(static_cast<double>(got.size()), r.length) << "trial " << trial;
        EXPECT_TRUE(sameBits(got, r.table)) << "trial " << trial;
        ++compared;
    }
    EXPECT_GT(compared, 250);
}

// With a small c, w / c magnifies the difference between the refined and the
// unrefined W enough to move the length; on such inputs the module must
// follow the refined value.
TEST_F(TermDecay, LengthFollowsTheRefinedLambertW) {
    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int found = 0;
    for (int trial = 0; trial < 20000 && found < 5; ++trial) {
        double var = 1.0 + 9.0 * unit(rng);
        double alpha = 0.01 + 0.09 * unit(rng);
        double y = 200.0 * unit(rng);
        double c = (alpha * alpha) / var;
        double z = (std::exp(((y - 0.0) * alpha) / var) * y) * c;
        double a = std::ceil(std::sqrt(var) / alpha);
        double refined = std::ceil(((a * 1.0) + 1.0) + (LambertW<0>(z) / c));
        double unrefined = std::ceil(((a * 1.0) + 1.0) + (LambertWApproximation<0>(z) / c));
        if (refined == unrefined || refined > 200000.0) {
            continue;
        }
        ++found;
        EXPECT_EQ(static_cast<double>(table({y}, var, 0.0, alpha, 1.0).size()), refined)
            << "y = " << y << ", var = " << var << ", alpha = " << alpha;
    }
    EXPECT_GT(found, 0);
}

} // namespace
