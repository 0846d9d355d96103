#include "module_test.h"

#include <cmath>
#include <limits>
#include <random>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

const char *kInputsMessage = "Five inputs required: y - image(vector); degree - vector; gamma - "
                             "scalar ; size(degree)<= size(y)); (nx, ny)-not used";
const char *kSumMessage = "The sum of degrees is too large";

// Group soft-thresholding written from its definition, in the same rounding
// order as the module: squares rounded, summed left to right, one division
// and one subtraction for the factor, then factor times element.
std::vector<double> referenceShrink(const std::vector<double> &y, const std::vector<double> &degree,
                                    double gamma) {
    std::vector<double> out(y.size(), 0.0);
    size_t start = 0;
    for (double d : degree) {
        int n = static_cast<int>(d);
        if (n <= 0) {
            continue;
        }
        double sum = 0.0;
        for (int j = 0; j < n; ++j) {
            double square = y[start + j] * y[start + j];
            sum = sum + square;
        }
        double norm = std::sqrt(sum);
        double factor = 0.0;
        if (norm != 0.0) {
            double ratio = gamma / norm;
            double t = 1.0 - ratio;
            factor = t > 0.0 ? t : 0.0;
        }
        for (int j = 0; j < n; ++j) {
            out[start + j] = factor * y[start + j];
        }
        start += n;
    }
    return out;
}

// WorkerArgs as the module lays it out, seen through the thread-start hook.
struct WorkerArgsView {
    double *out;
    const double *y;
    const double *degree;
    double gamma;
    int groupCount;
};

using Started = StartedRecords<WorkerArgsView>;

class GroupShrink : public ModuleTest {
  protected:
    explicit GroupShrink(const std::string &module = "groupshrinkmt") : ModuleTest(module) {}

    standin::Outcome shrink(const mxArray *y, const mxArray *degree, double gamma) {
        return call(1, {y, degree, arrays.scalar(gamma), arrays.real(0, 0), arrays.real(0, 0)});
    }

    // Runs a column y through the module and returns the output, which must
    // be a real column as long as y.
    std::vector<double> shrinkColumn(const std::vector<double> &y,
                                     const std::vector<double> &degree, double gamma) {
        standin::Outcome r = shrink(arrays.column(y), arrays.row(degree), gamma);
        return realOutput(r, y.size(), 1);
    }
};

TEST_F(GroupShrink, GatewayErrorsInCheckingOrder) {
    standin::Arrays &a = arrays;
    const mxArray *y3 = a.row({1, 2, 3});
    const mxArray *d3 = a.row({1, 1, 1});
    const mxArray *g = a.scalar(0.5);
    const mxArray *e = a.real(0, 0);
    const mxArray *matrix = a.real(2, 3);
    const char *badGamma = "MATLAB:groupshrink:xNotScalar";
    const char *badShape = "MATLAB:groupshrink:xNotVector";
    const char *shapeMessage = "Input y, degree must be vectors.";
    const char *sumId = "MATLAB:groupshrink:invalidNumInputs";
    const double big = 2147483647.0;
    std::vector<ErrorCase> cases = {
        {"no inputs", 1, {}, "MATLAB:groupshrink:invalidNumInputs", kInputsMessage},
        {"four inputs", 1, {y3, d3, g, e}, "MATLAB:groupshrink:invalidNumInputs", kInputsMessage},
        {"six inputs",
         1,
         {y3, d3, g, e, e, e},
         "MATLAB:groupshrink:invalidNumInputs",
         kInputsMessage},
        {"input count before output count",
         2,
         {y3, d3, g, e},
         "MATLAB:groupshrink:invalidNumInputs",
         kInputsMessage},
        {"no output",
         0,
         {y3, d3, g, e, e},
         "MATLAB:groupshrink:invalidNumOutputs",
         "One output required."},
        {"two outputs",
         2,
         {y3, d3, g, e, e},
         "MATLAB:groupshrink:invalidNumOutputs",
         "One output required."},
        {"gamma 1x2", 1, {y3, d3, a.row({1, 2}), e, e}, badGamma, "Input gamma must be a scalar."},
        {"gamma empty", 1, {y3, d3, e, e, e}, badGamma, "Input gamma must be a scalar."},
        // (2^63 - 1) squared is 1 modulo 2^64: a wrapping element count passes it.
        {"gamma with huge odd dimensions",
         1,
         {y3, d3, a.shapeOnly(SIZE_MAX >> 1, SIZE_MAX >> 1), e, e},
         badGamma,
         "Input gamma must be a scalar."},
        {"gamma complex",
         1,
         {y3, d3, a.complex(1, 1, {1}, {0}), e, e},
         badGamma,
         "Input gamma must be a scalar."},
        {"gamma single",
         1,
         {y3, d3, a.ofClass(mxSINGLE_CLASS, 1, 1), e, e},
         badGamma,
         "Input gamma must be a scalar."},
        {"gamma int32",
         1,
         {y3, d3, a.ofClass(mxINT32_CLASS, 1, 1), e, e},
         badGamma,
         "Input gamma must be a scalar."},
        {"gamma logical",
         1,
         {y3, d3, a.ofClass(mxLOGICAL_CLASS, 1, 1), e, e},
         badGamma,
         "Input gamma must be a scalar."},
        {"gamma char",
         1,
         {y3, d3, a.ofClass(mxCHAR_CLASS, 1, 1), e, e},
         badGamma,
         "Input gamma must be a scalar."},
        {"gamma before y",
         1,
         {matrix, d3, a.row({1, 2}), e, e},
         badGamma,
         "Input gamma must be a scalar."},
        {"y 0x0", 1, {e, d3, g, e, e}, badShape, shapeMessage},
        {"y 1x0", 1, {a.real(1, 0), d3, g, e, e}, badShape, shapeMessage},
        {"y 0x1", 1, {a.real(0, 1), d3, g, e, e}, badShape, shapeMessage},
        {"y 2x3", 1, {matrix, d3, g, e, e}, badShape, shapeMessage},
        {"degree 0x0", 1, {y3, e, g, e, e}, badShape, shapeMessage},
        {"degree 2x3", 1, {a.row({1, 2, 3, 4, 5, 6}), matrix, g, e, e}, badShape, shapeMessage},
        {"degree longer than y",
         1,
         {y3, a.row({1, 1, 1, 0}), g, e, e},
         "MATLAB:groupshrink:incorrectSize",
         "Size of image y must be greater or equal than size of vector degree"},
        {"sum L + 1", 1, {y3, a.row({2, 2}), g, e, e}, sumId, kSumMessage},
        {"sum L - 1", 1, {y3, a.row({1, 1}), g, e, e}, sumId, kSumMessage},
        {"fractional parts do not add",
         1,
         {a.row({1, 2, 3, 4, 5}), a.row({2.5, 2.5}), g, e, e},
         sumId,
         kSumMessage},
        // Refusals of input that would otherwise be read past its data.
        {"2x3 int32 y keeps the shape error",
         1,
         {a.ofClass(mxINT32_CLASS, 2, 3), d3, g, e, e},
         badShape,
         shapeMessage},
        {"y single",
         1,
         {a.ofClass(mxSINGLE_CLASS, 1, 3), d3, g, e, e},
         "MATLAB:groupshrink:yNotDouble",
         "Input y must be a full double array."},
        {"y int32",
         1,
         {a.ofClass(mxINT32_CLASS, 3, 1), d3, g, e, e},
         "MATLAB:groupshrink:yNotDouble",
         "Input y must be a full double array."},
        {"y logical",
         1,
         {a.ofClass(mxLOGICAL_CLASS, 1, 3), d3, g, e, e},
         "MATLAB:groupshrink:yNotDouble",
         "Input y must be a full double array."},
        {"y char",
         1,
         {a.ofClass(mxCHAR_CLASS, 1, 3), d3, g, e, e},
         "MATLAB:groupshrink:yNotDouble",
         "Input y must be a full double array."},
        {"y sparse",
         1,
         {a.sparse(1, 3, {1, 0, 3}), d3, g, e, e},
         "MATLAB:groupshrink:yNotDouble",
         "Input y must be a full double array."},
        {"degree single",
         1,
         {y3, a.ofClass(mxSINGLE_CLASS, 1, 3), g, e, e},
         "MATLAB:groupshrink:degreeNotDouble",
         "Input degree must be a full double array."},
        {"degree sparse",
         1,
         {y3, a.sparse(3, 1, {1, 1, 1}), g, e, e},
         "MATLAB:groupshrink:degreeNotDouble",
         "Input degree must be a full double array."},
        {"y of 2^31 elements",
         1,
         {a.shapeOnly(1, 2147483648u), a.row({1}), g, e, e},
         "MATLAB:groupshrink:yTooLong",
         "Input y must have at most 2147483647 elements."},
        {"y of 2^31 rows",
         1,
         {a.shapeOnly(2147483648u, 1), a.row({1}), g, e, e},
         "MATLAB:groupshrink:yTooLong",
         "Input y must have at most 2147483647 elements."},
        {"negative degree adding up", 1, {y3, a.row({3, -1, 1}), g, e, e}, sumId, kSumMessage},
        {"NaN degree", 1, {y3, a.row({3, nan}), g, e, e}, sumId, kSumMessage},
        {"infinite degree", 1, {y3, a.row({inf, 3}), g, e, e}, sumId, kSumMessage},
        {"degree 2^31", 1, {y3, a.row({2147483648.0, 3}), g, e, e}, sumId, kSumMessage},
        {"32-bit total wrapping onto L",
         1,
         {y3, a.row({big, big, 5}), g, e, e},
         sumId,
         kSumMessage},
    };
    expectErrors(cases);
}

TEST_F(GroupShrink, AcceptedShapesGiveARealColumn) {
    struct Case {
        const char *name;
        const mxArray *y;
        const mxArray *degree;
        std::vector<double> expected;
    };
    std::vector<Case> cases = {
        {"1x1 y and degree", arrays.scalar(4), arrays.scalar(1), {3}},
        {"row y", arrays.row({3, 4, 0}), arrays.column({2, 1}), {2.4, 3.2, 0}},
        {"column y", arrays.column({3, 4, 0}), arrays.row({2, 1}), {2.4, 3.2, 0}},
        {"complex y and degree read as real parts",
         arrays.complex(1, 3, {3, 4, 0}, {100, 100, 100}),
         arrays.complex(2, 1, {2, 1}, {9, 9}),
         {2.4, 3.2, 0}},
    };
    for (const Case &c : cases) {
        standin::Outcome r =
            call(1, {c.y, c.degree, arrays.scalar(1), arrays.real(0, 0), arrays.real(0, 0)});
        ASSERT_TRUE(r.ok) << c.name << ": " << r.message;
        EXPECT_EQ(mxGetM(r.out()), c.expected.size()) << c.name;
        EXPECT_EQ(mxGetN(r.out()), 1u) << c.name;
        EXPECT_FALSE(mxIsComplex(r.out())) << c.name;
        std::vector<double> got = standin::values(r.out());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_DOUBLE_EQ(got[i], c.expected[i]) << c.name << " element " << i;
        }
    }
}

TEST_F(GroupShrink, IgnoredInputsMayBeAnything) {
    const mxArray *y = arrays.row({3, 4});
    const mxArray *d = arrays.row({2});
    const mxArray *g = arrays.scalar(2.5);
    std::vector<std::vector<const mxArray *>> ignored = {
        {arrays.real(0, 0), arrays.real(1, 0)},
        {arrays.ofClass(mxCHAR_CLASS, 1, 5), arrays.ofClass(mxINT32_CLASS, 4, 4)},
        {arrays.sparse(2, 2, {0, 1, 0, 0}), arrays.complex(1, 1, {1}, {1})},
        {arrays.shapeOnly(100, 100), arrays.ofClass(mxLOGICAL_CLASS, 0, 3)},
    };
    for (const auto &pair : ignored) {
        standin::Outcome r = call(1, {y, d, g, pair[0], pair[1]});
        ASSERT_TRUE(r.ok) << r.message;
        EXPECT_TRUE(sameBits(standin::values(r.out()), {1.5, 2.0}));
    }
}

// Hand-checked outputs for the rules of the factor: signed zeros, NaN and
// infinity, truncated group sizes, and the gamma extremes.
TEST_F(GroupShrink, ValueRules) {
    struct Case {
        const char *name;
        std::vector<double> y;
        std::vector<double> degree;
        double gamma;
        std::vector<double> expected;
    };
    std::vector<Case> cases = {
        {"worked example",
         {3, 4, 0, 0, 1, -1, -5},
         {2, 2, 2, 1},
         2.5,
         {1.5, 2, 0, 0, 0, -0.0, -2.5}},
        {"single positive", {4}, {1}, 1, {3}},
        {"single negative", {-4}, {1}, 1, {-3}},
        {"zero keeps its sign", {-0.0, 0.0}, {1, 1}, 1, {-0.0, 0.0}},
        {"shrunk to signed zeros", {0.5, -0.5}, {1, 1}, 1, {0.0, -0.0}},
        {"norm equal to gamma", {3, -4}, {2}, 5, {0.0, -0.0}},
        {"squares underflow to norm 0", {1e-200, -1e-200}, {2}, 0, {0.0, -0.0}},
        {"norm 0 under negative gamma", {0.0, -0.0}, {2}, -1, {0.0, -0.0}},
        {"NaN zeroes its group", {nan, 1, -1, 2}, {3, 1}, 0.1, {nan, 0.0, -0.0, 1.9}},
        {"infinite element copies its group", {inf, -2}, {2}, 1, {inf, -2}},
        {"overflowing sum copies its group", {1e200, -1e200}, {2}, 1, {1e200, -1e200}},
        {"gamma 0 copies", {3, -4, 7}, {2, 1}, 0, {3, -4, 7}},
        {"negative gamma grows", {3, 4}, {2}, -5, {6, 8}},
        {"infinite gamma zeroes", {3, -4, inf}, {3}, inf, {0.0, -0.0, nan}},
        {"NaN gamma zeroes", {3, -4, inf}, {2, 1}, nan, {0.0, -0.0, nan}},
        {"0.7 is an empty group", {3, 4, 12}, {0.7, 3}, 0, {3, 4, 12}},
        {"2.9 and 1.5 give 2 and 1", {3, 4, -2}, {2.9, 1.5}, 2.5, {1.5, 2, -0.0}},
        {"1.9 and 2.9 give 1 and 2", {-4, 3, 4}, {1.9, 2.9}, 2.5, {-1.5, 1.5, 2}},
        {"-0.5 is an empty group", {3, 4, 12}, {2, -0.5, 1}, 6, {0.0, 0.0, 6}},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(sameBits(shrinkColumn(c.y, c.degree, c.gamma), c.expected)) << c.name;
    }
}

TEST_F(GroupShrink, HalfTheProcessorsWork) {
    const std::vector<std::pair<long, int>> table = {
        {-1, 1}, {0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 2}, {5, 2}, {6, 3}, {8, 4}, {16, 8}, {64, 32},
    };
    for (const auto &[processors, workers] : table) {
        interpose::reset();
        interpose::setProcessors(processors);
        // One group still gets every worker: the count ignores the data.
        EXPECT_TRUE(sameBits(shrinkColumn({3, 4}, {2}, 2.5), {1.5, 2.0}));
        interpose::Counts c = interpose::counts();
        EXPECT_EQ(c.processorQueries, 1) << "P = " << processors;
        EXPECT_EQ(c.threadStarts, workers) << "P = " << processors;
        EXPECT_EQ(c.allocations, workers + 1) << "P = " << processors;
    }
}

TEST_F(GroupShrink, RunsSplitGroupsEvenlyWithTheRemainderLast) {
    struct Run {
        int firstElement;
        int firstGroup;
        int groupCount;
    };
    struct Case {
        const char *name;
        long processors;
        std::vector<double> degree;
        std::vector<Run> runs;
    };
    std::vector<Case> cases = {
        {"10 groups on 4 workers",
         8,
         {1, 2, 3, 1, 1, 1, 2, 1, 1, 1},
         {{0, 0, 2}, {3, 2, 2}, {7, 4, 2}, {9, 6, 4}}},
        {"fewer groups than workers",
         16,
         {2, 1, 1},
         {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 3}}},
        {"one worker", 1, {2, 1, 1}, {{0, 0, 3}}},
        {"empty groups move no offset",
         6,
         {2, 0.7, 1.5, 3, 0, 1},
         {{0, 0, 2}, {2, 2, 2}, {6, 4, 2}}},
        {"-0.5 moves no offset", 6, {2, -0.5, 1}, {{0, 0, 1}, {2, 1, 1}, {2, 2, 1}}},
    };
    for (const Case &c : cases) {
        interpose::reset();
        interpose::setProcessors(c.processors);
        Started::watch();
        int length = 0;
        for (double d : c.degree) {
            length += static_cast<int>(d);
        }
        std::vector<double> y(length);
        for (int i = 0; i < length; ++i) {
            y[i] = 1.0 + i;
        }
        const mxArray *yIn = arrays.column(y);
        const mxArray *dIn = arrays.column(c.degree);
        standin::Outcome r = shrink(yIn, dIn, 0.5);
        ASSERT_TRUE(r.ok) << c.name << ": " << r.message;
        ASSERT_EQ(Started::all().size(), c.runs.size()) << c.name;
        const double *out = mxGetPr(r.out());
        for (size_t i = 0; i < c.runs.size(); ++i) {
            const WorkerArgsView &w = Started::all()[i];
            EXPECT_EQ(w.out - out, c.runs[i].firstElement) << c.name << " worker " << i;
            EXPECT_EQ(w.y - mxGetPr(yIn), c.runs[i].firstElement) << c.name << " worker " << i;
            EXPECT_EQ(w.degree - mxGetPr(dIn), c.runs[i].firstGroup) << c.name << " worker " << i;
            EXPECT_EQ(w.groupCount, c.runs[i].groupCount) << c.name << " worker " << i;
            EXPECT_EQ(w.gamma, 0.5);
        }
        EXPECT_TRUE(sameBits(standin::values(r.out()), referenceShrink(y, c.degree, 0.5)))
            << c.name;
    }
}

// Random groups, including empty, fractional and tiny-norm ones, against the
// reference, on every worker count from one to more workers than groups.
TEST_F(GroupShrink, MatchesReferenceBitForBitOnEveryWorkerCount) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    std::uniform_int_distribution<int> size(0, 6);
    std::uniform_real_distribution<double> fraction(0.0, 0.99);
    for (int trial = 0; trial < 60; ++trial) {
        int groups = 1 + trial % 23;
        std::vector<double> degree;
        int length = 0;
        for (int g = 0; g < groups; ++g) {
            int n = size(rng);
            degree.push_back(n + fraction(rng));
            length += n;
        }
        if (length == 0) {
            degree.back() += 1.0;
            length = 1;
        }
        if (length < groups) {
            continue;
        }
        std::vector<double> y(length);
        for (double &v : y) {
            v = value(rng) * std::pow(10.0, static_cast<int>(rng() % 7) - 3);
        }
        double gamma = std::abs(value(rng));
        std::vector<double> expected = referenceShrink(y, degree, gamma);
        for (long processors : {1L, 3L, 4L, 7L, 16L, 64L}) {
            interpose::setProcessors(processors);
            EXPECT_TRUE(sameBits(shrinkColumn(y, degree, gamma), expected))
                << "trial " << trial << ", P = " << processors;
        }
    }
}

// Whatever allocation or thread start fails, the output is complete and
// exact, every started thread is joined and every block freed (checked
// after each test by the fixture).
TEST_F(GroupShrink, FailedAllocationsAndThreadStartsStillFillTheOutput) {
    std::vector<double> y = {3, 4, 0, 0, 1, -1, -5, 2, 2, 1, 8};
    std::vector<double> degree = {2, 2, 2, 1, 2, 1, 1};
    std::vector<double> expected = referenceShrink(y, degree, 2.5);
    const int workers = 4;
    for (int k = 1; k <= workers + 1; ++k) {
        interpose::reset();
        interpose::setProcessors(2 * workers);
        interpose::failAllocation(k);
        EXPECT_TRUE(sameBits(shrinkColumn(y, degree, 2.5), expected)) << "allocation " << k;
        interpose::Counts c = interpose::counts();
        EXPECT_EQ(c.threadStarts, k == 1 ? 0 : workers - 1) << "allocation " << k;
        EXPECT_EQ(c.liveAllocations, 0) << "allocation " << k;
        EXPECT_EQ(c.unjoinedThreads, 0) << "allocation " << k;
    }
    for (int k = 1; k <= workers; ++k) {
        interpose::reset();
        interpose::setProcessors(2 * workers);
        interpose::failThreadStart(k);
        EXPECT_TRUE(sameBits(shrinkColumn(y, degree, 2.5), expected)) << "thread " << k;
        interpose::Counts c = interpose::counts();
        EXPECT_EQ(c.threadStarts, workers - 1) << "thread " << k;
        EXPECT_EQ(c.liveAllocations, 0) << "thread " << k;
        EXPECT_EQ(c.unjoinedThreads, 0) << "thread " << k;
    }
}

TEST_F(GroupShrink, FailedOutputCreationEndsTheCallCleanly) {
    std::vector<const mxArray *> inputs = {arrays.row({3, 4}), arrays.row({2}), arrays.scalar(1),
                                           arrays.real(0, 0), arrays.real(0, 0)};
    standinFailCreation(1);
    standin::Outcome r = call(1, inputs);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.id, "MATLAB:nomem");
    EXPECT_EQ(interpose::counts().threadStarts, 0);
}

// The suites below run once per worker path, each on the build capped at it.
class GroupShrinkPath : public PathSuite<GroupShrink> {
  protected:
    GroupShrinkPath() : PathSuite("groupshrinkmt") {}

    void expectReference(const std::vector<double> &y, const std::vector<double> &degree,
                         double gamma, long processors, const std::string &what) {
        interpose::setProcessors(processors);
        EXPECT_TRUE(sameBits(shrinkColumn(y, degree, gamma), referenceShrink(y, degree, gamma)))
            << what << ", gamma " << gamma << ", P = " << processors;
    }

    // Ordinary values, except that a group may hold a NaN, an infinity, a
    // signed zero or a tiny or huge element, or be signed zeros, or have
    // squares that underflow or overflow: every lane meets every rule.
    std::vector<double> laneValues(const std::vector<double> &degree) {
        const double specials[] = {nan, -nan, inf, -inf, 0.0, -0.0, 1e-200, 1e200};
        const double scales[] = {1e-170, 1e-160, 1e160};
        std::vector<double> y;
        for (double d : degree) {
            int n = static_cast<int>(d);
            unsigned kind = rng_() % 7;
            size_t start = y.size();
            for (int j = 0; j < n; ++j) {
                double v = kind < 3 ? scales[kind] * value_(rng_) : value_(rng_);
                y.push_back(kind == 3 ? std::copysign(0.0, v) : v);
            }
            if (kind == 4 && n > 0) {
                y[start + rng_() % n] = specials[rng_() % 8];
            }
        }
        return y;
    }

    double gammaFor(int n, int k) {
        const double specials[] = {0.0, -1.0, inf, nan};
        return k % 5 == 4 ? specials[k / 5 % 4]
                          : std::sqrt(static_cast<double>(n)) * 3.0 * unit_(rng_);
    }

    std::mt19937_64 rng_{20261210};
    std::uniform_real_distribution<double> value_{-3.0, 3.0};
    std::uniform_real_distribution<double> unit_{0.0, 1.0};
};

// Runs of each size, of every length up to two vectors and a tail and past
// them, behind and before a group of another size, so that they start at odd
// elements, split over 1 to 8 workers whose boundaries fall inside the runs.
TEST_P(GroupShrinkPath, RunsOfEachSizeAndLengthMatchTheReference) {
    const long processors[] = {1, 4, 6, 16};
    int k = 0;
    for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17}) {
        std::vector<int> lengths = {40, 101};
        for (int groups = 1; groups <= 17; ++groups) {
            lengths.push_back(groups);
        }
        for (int groups : lengths) {
            std::vector<double> degree = {n == 1 ? 2.0 : 1.0};
            // The whole parts are the sizes, whatever the fraction.
            degree.insert(degree.end(), groups, n + 0.45 * (k % 3));
            degree.push_back(n == 3 ? 2.0 : 3.0);
            expectReference(laneValues(degree), degree, gammaFor(n, k), processors[k % 4],
                            std::to_string(groups) + " groups of " + std::to_string(n));
            ++k;
        }
    }
}

// Runs of random sizes, empty ones among them, of one to three groups (a
// path switch at almost every group) or of up to twelve.
TEST_P(GroupShrinkPath, MixedSizesMatchTheReference) {
    const int sizes[] = {0, 1, 2, 3, 4, 5, 8, 9, 16};
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<double> degree;
        int length = 0;
        while (degree.size() < 30u + 5u * trial) {
            int n = sizes[rng_() % 9];
            int run = 1 + static_cast<int>(rng_() % (trial % 2 == 0 ? 3 : 12));
            degree.insert(degree.end(), run, n);
            length += run * n;
        }
        if (length < static_cast<int>(degree.size())) {
            degree.push_back(static_cast<double>(degree.size() + 1));
        }
        std::vector<double> y = laneValues(degree);
        double gamma = gammaFor(4, trial);
        for (long processors : {1L, 6L, 16L}) {
            expectReference(y, degree, gamma, processors, "trial " + std::to_string(trial));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, GroupShrinkPath, ::testing::ValuesIn(workerPaths()),
                         workerPathName);

} // namespace
