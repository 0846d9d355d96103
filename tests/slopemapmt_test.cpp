#include "module_test.h"

#include <cmath>
#include <limits>
#include <random>
#include <tuple>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

const char *kInputsMessage =
    "Five inputs required: x - vector (orginal signal); y - vector of observations; exp_table_y - "
    "vector defined as: exp_table_y[i] = exp(alpha/var (y[i] - mean) ); exp_table_n - vector "
    "defined as: exp_table_n[i] = exp(-n alpha^2/var); var - scalar (Gaussian noise variance; "
    "mean - scalar (Gaussian noise mean); alpha- scalar (scaling parameter of Poisson noise)";

// The map written from its definition, rounding where the module rounds: at
// the difference, the addition of 1, the shifted sum, the division, exp and
// the final subtraction. The doublings are exact.
std::vector<double> referenceMap(const std::vector<double> &x, const std::vector<double> &y,
                                 double var) {
    std::vector<double> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        double d = x[i] - y[i];
        double twice = d + d;
        double num = -(twice + 1.0);
        double sum = x[i] + var;
        double den = sum + sum;
        double q = num / den;
        out[i] = 1.0 - std::exp(q);
    }
    return out;
}

// WorkerArgs as the module lays it out, seen through the thread-start hook.
struct WorkerArgsView {
    double *out;
    const double *x;
    const double *y;
    double var;
    int len;
};

using Started = StartedRecords<WorkerArgsView>;

class SlopeMap : public ModuleTest {
  protected:
    explicit SlopeMap(const std::string &module = "slopemapmt") : ModuleTest(module) {}

    standin::Outcome slopeMap(const mxArray *x, const mxArray *y, double var, double mean = 0.0,
                              double alpha = 1.0) {
        const mxArray *e = arrays.real(0, 0);
        return call(1,
                    {x, y, e, e, arrays.scalar(var), arrays.scalar(mean), arrays.scalar(alpha), e});
    }

    // Runs column vectors through the module and returns the output, which
    // must be a real column as long as x.
    std::vector<double> mapColumn(const std::vector<double> &x, const std::vector<double> &y,
                                  double var) {
        // An empty column would be 0x1, whose length is 1; empty means 0x0.
        const mxArray *xIn = x.empty() ? arrays.real(0, 0) : arrays.column(x);
        const mxArray *yIn = y.empty() ? arrays.real(0, 0) : arrays.column(y);
        standin::Outcome r = slopeMap(xIn, yIn, var);
        return realOutput(r, x.size(), 1);
    }
};

TEST_F(SlopeMap, GatewayErrorsInCheckingOrder) {
    standin::Arrays &a = arrays;
    const mxArray *x = a.row({1, 2, 3});
    const mxArray *y = a.row({0, 1, 2});
    const mxArray *e = a.real(0, 0);
    const mxArray *s = a.scalar(0.5);
    const mxArray *pair = a.row({1, 2});
    const mxArray *cplx = a.complex(1, 1, {1}, {0});
    const mxArray *single = a.ofClass(mxSINGLE_CLASS, 1, 1);
    const mxArray *long31 = a.shapeOnly(1, 2147483648u);
    const char *inputsId = "MATLAB:xtimesy:invalidNumInputs";
    const char *outputsId = "MATLAB:xtimesy:invalidNumOutputs";
    const char *outputsMsg = "One output required.";
    const char *varId = "MATLAB:noiseslope:varNotScalar";
    const char *varMsg = "Input var must be a scalar.";
    const char *meanId = "MATLAB:noiseslope:meanNotScalar";
    const char *meanMsg = "Input mean must be a scalar.";
    const char *alphaId = "MATLAB:noiseslope:alphaNotScalar";
    const char *alphaMsg = "Input alpha must be a scalar.";
    const char *xClassId = "MATLAB:slopemapmt:xNotDouble";
    const char *xClassMsg = "Input x must be a full double array.";
    const char *yClassId = "MATLAB:slopemapmt:yNotDouble";
    const char *yClassMsg = "Input y must be a full double array.";
    const char *longId = "MATLAB:slopemapmt:xTooLong";
    const char *longMsg = "Input x must have at most 2147483647 elements.";
    const char *hollowId = "MATLAB:slopemapmt:xNoElements";
    const char *hollowMsg = "Input x must hold as many elements as its length.";
    const char *shortId = "MATLAB:slopemapmt:yTooShort";
    const char *shortMsg = "Input y must hold at least as many elements as the length of x.";
    // Eight inputs, with [] in the three places that are never read.
    auto in = [&](const mxArray *xIn, const mxArray *yIn, const mxArray *var, const mxArray *mean,
                  const mxArray *alpha) {
        return std::vector<const mxArray *>{xIn, yIn, e, e, var, mean, alpha, e};
    };
    auto full = [&](mxClassID id, size_t m, size_t n) { return a.ofClass(id, m, n); };
    const mxArray *five = a.row({1, 2, 3, 4, 5});
    std::vector<ErrorCase> cases = {
        {"no inputs", 1, {}, inputsId, kInputsMessage},
        {"five inputs", 1, {x, y, e, e, s}, inputsId, kInputsMessage},
        {"the seven named inputs", 1, {x, y, e, e, s, s, s}, inputsId, kInputsMessage},
        {"nine inputs", 1, {x, y, e, e, s, s, s, e, e}, inputsId, kInputsMessage},
        {"input count before output count", 2, {x, y, e, e, s, s, s}, inputsId, kInputsMessage},
        {"no output", 0, in(x, y, s, s, s), outputsId, outputsMsg},
        {"two outputs", 2, in(x, y, s, s, s), outputsId, outputsMsg},
        {"output count before var", 0, in(x, y, pair, s, s), outputsId, outputsMsg},
        {"var 1x2", 1, in(x, y, pair, s, s), varId, varMsg},
        {"var complex", 1, in(x, y, cplx, s, s), varId, varMsg},
        {"var single", 1, in(x, y, single, s, s), varId, varMsg},
        {"var int32", 1, in(x, y, full(mxINT32_CLASS, 1, 1), s, s), varId, varMsg},
        {"var logical", 1, in(x, y, full(mxLOGICAL_CLASS, 1, 1), s, s), varId, varMsg},
        {"var char", 1, in(x, y, full(mxCHAR_CLASS, 1, 1), s, s), varId, varMsg},
        {"var empty", 1, in(x, y, e, s, s), varId, varMsg},
        {"var before mean", 1, in(x, y, e, pair, s), varId, varMsg},
        {"mean 1x2", 1, in(x, y, s, pair, s), meanId, meanMsg},
        {"mean complex", 1, in(x, y, s, cplx, s), meanId, meanMsg},
        {"mean single", 1, in(x, y, s, single, s), meanId, meanMsg},
        {"mean empty", 1, in(x, y, s, e, s), meanId, meanMsg},
        {"mean before alpha", 1, in(x, y, s, e, e), meanId, meanMsg},
        {"alpha 1x2", 1, in(x, y, s, s, pair), alphaId, alphaMsg},
        {"alpha complex", 1, in(x, y, s, s, cplx), alphaId, alphaMsg},
        {"alpha single", 1, in(x, y, s, s, single), alphaId, alphaMsg},
        {"alpha empty", 1, in(x, y, s, s, e), alphaId, alphaMsg},
        // Checks added so that nothing is read past an array's data; they
        // come after every scalar check.
        {"alpha before x class", 1, in(single, y, s, s, e), alphaId, alphaMsg},
        {"x single", 1, in(full(mxSINGLE_CLASS, 1, 3), y, s, s, s), xClassId, xClassMsg},
        {"x int32", 1, in(full(mxINT32_CLASS, 3, 1), y, s, s, s), xClassId, xClassMsg},
        {"x logical", 1, in(full(mxLOGICAL_CLASS, 1, 3), y, s, s, s), xClassId, xClassMsg},
        {"x char", 1, in(full(mxCHAR_CLASS, 1, 3), y, s, s, s), xClassId, xClassMsg},
        {"x sparse", 1, in(a.sparse(1, 3, {1, 0, 3}), y, s, s, s), xClassId, xClassMsg},
        {"x class before y class", 1, in(full(mxSINGLE_CLASS, 1, 3), single, s, s, s), xClassId,
         xClassMsg},
        {"x class before its missing elements", 1, in(full(mxINT32_CLASS, 0, 5), y, s, s, s),
         xClassId, xClassMsg},
        {"y single", 1, in(x, full(mxSINGLE_CLASS, 1, 3), s, s, s), yClassId, yClassMsg},
        {"y int32", 1, in(x, full(mxINT32_CLASS, 3, 1), s, s, s), yClassId, yClassMsg},
        {"y logical", 1, in(x, full(mxLOGICAL_CLASS, 1, 3), s, s, s), yClassId, yClassMsg},
        {"y char", 1, in(x, full(mxCHAR_CLASS, 1, 3), s, s, s), yClassId, yClassMsg},
        {"y sparse", 1, in(x, a.sparse(3, 1, {1, 0, 3}), s, s, s), yClassId, yClassMsg},
        {"y single with an empty x", 1, in(e, full(mxSINGLE_CLASS, 0, 0), s, s, s), yClassId,
         yClassMsg},
        {"y class before x length", 1, in(long31, single, s, s, s), yClassId, yClassMsg},
        {"x of 2^31 columns", 1, in(long31, long31, s, s, s), longId, longMsg},
        {"x of 2^31 rows", 1, in(a.shapeOnly(2147483648u, 1), long31, s, s, s), longId, longMsg},
        {"x of 2^31 rows and 3 columns", 1, in(a.shapeOnly(2147483648u, 3), y, s, s, s), longId,
         longMsg},
        {"x length before y length", 1, in(long31, e, s, s, s), longId, longMsg},
        {"x 0x5", 1, in(a.real(0, 5), five, s, s, s), hollowId, hollowMsg},
        {"x 5x0", 1, in(a.real(5, 0), five, s, s, s), hollowId, hollowMsg},
        {"x 0x1, of length 1", 1, in(a.real(0, 1), a.row({1}), s, s, s), hollowId, hollowMsg},
        {"x missing elements before y length", 1, in(a.real(1, 0), e, s, s, s), hollowId,
         hollowMsg},
        {"y one short", 1, in(x, pair, s, s, s), shortId, shortMsg},
        {"y empty", 1, in(x, e, s, s, s), shortId, shortMsg},
        {"y 3x0", 1, in(x, a.real(3, 0), s, s, s), shortId, shortMsg},
        {"y 2x2 for a length of 5", 1, in(five, a.real(2, 2), s, s, s), shortId, shortMsg},
        {"y 2x1 for a 3x4 x", 1, in(a.real(3, 4), a.real(2, 1), s, s, s), shortId, shortMsg},
    };
    expectErrors(cases);
}

TEST_F(SlopeMap, AcceptedShapesGiveARealColumn) {
    standin::Arrays &a = arrays;
    const std::vector<double> x4 = {1, 1, 0, -1};
    const std::vector<double> y4 = {0, 1, 0, 0};
    const std::vector<double> expected4 = referenceMap(x4, y4, 0.5);
    struct Case {
        const char *name;
        const mxArray *x;
        const mxArray *y;
        std::vector<double> expected;
    };
    std::vector<Case> cases = {
        {"1x1", a.scalar(1), a.scalar(0), {1.0 - std::exp(-1.0)}},
        {"row x, column y", a.row(x4), a.column(y4), expected4},
        {"column x, row y", a.column(x4), a.row(y4), expected4},
        {"row x, row y", a.row(x4), a.row(y4), expected4},
        {"column x, column y", a.column(x4), a.column(y4), expected4},
        {"y longer than x, the rest ignored", a.row(x4), a.row({0, 1, 0, 0, 5, nan}), expected4},
        {"y a 2x2 matrix of len elements", a.row(x4), a.real(2, 2, y4), expected4},
        {"3x4 uses the first four stored elements",
         a.real(3, 4, {1, 1, 0, -1, 9, 9, 9, 9, 9, 9, 9, 9}),
         a.real(3, 4, {0, 1, 0, 0, 7, 7, 7, 7, 7, 7, 7, 7}), expected4},
        {"4x3 likewise", a.real(4, 3, {1, 1, 0, -1, 9, 9, 9, 9, 9, 9, 9, 9}), a.column(y4),
         expected4},
        {"complex x and y read as real parts", a.complex(1, 4, x4, {5, 5, 5, 5}),
         a.complex(4, 1, y4, {-3, 3, 1, 1}), expected4},
        {"0x0 x, 0x0 y", a.real(0, 0), a.real(0, 0), {}},
        {"0x0 x, any double y", a.real(0, 0), a.row({1, 2, 3}), {}},
        {"0x0 x, 1x0 y", a.real(0, 0), a.real(1, 0), {}},
    };
    for (const Case &c : cases) {
        standin::Outcome r = slopeMap(c.x, c.y, 0.5);
        ASSERT_TRUE(r.ok) << c.name << ": " << r.message;
        EXPECT_EQ(mxGetM(r.out()), c.expected.size()) << c.name;
        EXPECT_EQ(mxGetN(r.out()), 1u) << c.name;
        EXPECT_TRUE(mxIsDouble(r.out())) << c.name;
        EXPECT_FALSE(mxIsComplex(r.out())) << c.name;
        EXPECT_TRUE(sameBits(standin::values(r.out()), c.expected)) << c.name;
    }
}

// Inputs 3, 4 and 8 are never read: arrays that fault on any read of their
// data pass, and so do all classes and sizes. mean and alpha are checked but
// change nothing, whatever their value.
TEST_F(SlopeMap, IgnoredInputsMeanAndAlphaChangeNothing) {
    const std::vector<double> xs = {1, -0.25, 3e5, 0.5, 2};
    const std::vector<double> ys = {0, 2, 1e-3, 0.5, -7};
    const double var = 0.75;
    const std::vector<double> expected = referenceMap(xs, ys, var);
    const mxArray *x = arrays.row(xs);
    const mxArray *y = arrays.column(ys);
    const mxArray *v = arrays.scalar(var);
    std::vector<std::vector<const mxArray *>> ignored = {
        {arrays.real(0, 0), arrays.real(0, 0), arrays.real(0, 0)},
        {arrays.ofClass(mxCHAR_CLASS, 1, 5), arrays.ofClass(mxINT32_CLASS, 4, 4),
         arrays.ofClass(mxLOGICAL_CLASS, 0, 3)},
        {arrays.sparse(2, 2, {0, 1, 0, 0}), arrays.complex(1, 1, {1}, {1}),
         arrays.ofClass(mxSINGLE_CLASS, 7, 1)},
        {arrays.shapeOnly(100, 100), arrays.shapeOnly(1, 2147483648u), arrays.shapeOnly(3, 3)},
    };
    for (size_t k = 0; k < ignored.size(); ++k) {
        const auto &in = ignored[k];
        standin::Outcome r =
            call(1, {x, y, in[0], in[1], v, arrays.scalar(0), arrays.scalar(1), in[2]});
        ASSERT_TRUE(r.ok) << "set " << k << ": " << r.message;
        EXPECT_TRUE(sameBits(standin::values(r.out()), expected)) << "set " << k;
    }
    const std::vector<std::pair<double, double>> meanAlpha = {
        {0, 1}, {-0.0, 0}, {5, -2}, {inf, nan}, {nan, -inf}, {1e308, 1e-308},
    };
    for (const auto &[mean, alpha] : meanAlpha) {
        standin::Outcome r = slopeMap(x, y, var, mean, alpha);
        ASSERT_TRUE(r.ok) << r.message;
        EXPECT_TRUE(sameBits(standin::values(r.out()), expected))
            << "mean " << mean << ", alpha " << alpha;
    }
}

// Hand-checked elements, among them the zero denominators and NaNs that
// follow IEEE arithmetic into the output untested.
TEST_F(SlopeMap, ValueCases) {
    struct Case {
        const char *name;
        std::vector<double> x;
        std::vector<double> y;
        double var;
        std::vector<double> expected;
    };
    std::vector<Case> cases = {
        {"-3 / 3", {1}, {0}, 0.5, {1.0 - std::exp(-1.0)}},
        {"-1 / 2", {1}, {1}, 0, {1.0 - std::exp(-0.5)}},
        {"-1 / +0 gives 1", {0}, {0}, 0, {1.0}},
        {"1 / +0 gives -inf", {-1}, {0}, 1, {-inf}},
        {"-0 / +0 gives NaN", {-1}, {-0.5}, 1, {nan}},
        {"NaN in x spoils only its element",
         {1, nan, 0},
         {0, 0, 0},
         0.5,
         {1.0 - std::exp(-1.0), nan, 1.0 - std::exp(-1.0)}},
        {"NaN in y spoils only its element",
         {1, 1, 1},
         {0, nan, 1},
         0.5,
         {1.0 - std::exp(-1.0), nan, 1.0 - std::exp(-1.0 / 3.0)}},
        {"NaN var spoils every element", {1, 0, -1, 5}, {0, 0, 0, 9}, nan, {nan, nan, nan, nan}},
        {"infinite x", {inf}, {0}, 1, {nan}},
        {"infinite y", {1}, {inf}, 1, {-inf}},
        {"x + var overflowing to inf", {1e308}, {1e308}, 1e308, {0.0}},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(sameBits(mapColumn(c.x, c.y, c.var), c.expected)) << c.name;
    }
}

TEST_F(SlopeMap, ThreeQuartersOfTheProcessorsWork) {
    const std::vector<std::pair<long, int>> table = {
        {-1, 1}, {0, 1}, {1, 1}, {2, 1},  {3, 2},   {4, 3},   {5, 3},
        {6, 4},  {7, 5}, {8, 6}, {12, 9}, {16, 12}, {64, 48},
    };
    const std::vector<double> expected = referenceMap({1, 1}, {0, 1}, 0.5);
    for (const auto &[processors, workers] : table) {
        interpose::reset();
        interpose::setProcessors(processors);
        // Two elements still get every worker: the count ignores the data.
        EXPECT_TRUE(sameBits(mapColumn({1, 1}, {0, 1}, 0.5), expected)) << "P = " << processors;
        interpose::Counts c = interpose::counts();
        EXPECT_EQ(c.processorQueries, 1) << "P = " << processors;
        EXPECT_EQ(c.threadStarts, workers) << "P = " << processors;
        EXPECT_EQ(c.allocations, workers + 1) << "P = " << processors;
    }
}

TEST_F(SlopeMap, SlicesAreEqualWithTheRemainderLast) {
    struct Slice {
        int offset;
        int len;
    };
    struct Case {
        const char *name;
        long processors;
        int len;
        std::vector<Slice> slices;
    };
    std::vector<Case> cases = {
        {"2 elements on 6 workers", 8, 2, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 2}}},
        {"10 on 3", 4, 10, {{0, 3}, {3, 3}, {6, 4}}},
        {"12 on 6", 8, 12, {{0, 2}, {2, 2}, {4, 2}, {6, 2}, {8, 2}, {10, 2}}},
        {"11 on 9",
         12,
         11,
         {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 3}}},
        {"7 on 1", 1, 7, {{0, 7}}},
        {"empty on 2", 3, 0, {{0, 0}, {0, 0}}},
    };
    for (const Case &c : cases) {
        interpose::reset();
        interpose::setProcessors(c.processors);
        Started::watch();
        std::vector<double> x(c.len);
        std::vector<double> y(c.len);
        for (int i = 0; i < c.len; ++i) {
            x[i] = 1.0 + i;
            y[i] = 0.5 * i - 2.0;
        }
        const mxArray *xIn = c.len == 0 ? arrays.real(0, 0) : arrays.column(x);
        const mxArray *yIn = c.len == 0 ? arrays.real(0, 0) : arrays.row(y);
        standin::Outcome r = slopeMap(xIn, yIn, 0.25);
        ASSERT_TRUE(r.ok) << c.name << ": " << r.message;
        ASSERT_EQ(Started::all().size(), c.slices.size()) << c.name;
        const double *out = mxGetPr(r.out());
        for (size_t i = 0; i < c.slices.size(); ++i) {
            const WorkerArgsView &w = Started::all()[i];
            EXPECT_EQ(w.out - out, c.slices[i].offset) << c.name << " worker " << i;
            EXPECT_EQ(w.x - mxGetPr(xIn), c.slices[i].offset) << c.name << " worker " << i;
            EXPECT_EQ(w.y - mxGetPr(yIn), c.slices[i].offset) << c.name << " worker " << i;
            EXPECT_EQ(w.len, c.slices[i].len) << c.name << " worker " << i;
            EXPECT_EQ(w.var, 0.25) << c.name << " worker " << i;
        }
        EXPECT_TRUE(sameBits(standin::values(r.out()), referenceMap(x, y, 0.25))) << c.name;
    }
}

// Random elements over many magnitudes, some with x near -var so that the
// quotient is large, on worker counts from one to more workers than
// elements: every count must give the reference's bits.
TEST_F(SlopeMap, MatchesReferenceBitForBitOnEveryWorkerCount) {
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 40; ++trial) {
        int len = trial < 30 ? trial : 200 + 97 * trial;
        double var = 2.0 * unit(rng);
        std::vector<double> x(len);
        std::vector<double> y(len);
        for (int i = 0; i < len; ++i) {
            double scale = std::pow(10.0, static_cast<int>(rng() % 7) - 3);
            x[i] = i % 11 == 5 ? -var + 1e-9 * value(rng) : value(rng) * scale;
            y[i] = value(rng) * scale;
        }
        std::vector<double> expected = referenceMap(x, y, var);
        for (long processors : {1L, 2L, 3L, 4L, 5L, 8L, 16L, 64L}) {
            interpose::setProcessors(processors);
            EXPECT_TRUE(sameBits(mapColumn(x, y, var), expected))
                << "trial " << trial << ", P = " << processors;
        }
    }
}

// Whatever allocation or thread start fails, the output is complete and
// exact, every started thread is joined and every block freed (checked
// after each test by the fixture as well).
TEST_F(SlopeMap, FailedAllocationsAndThreadStartsStillFillTheOutput) {
    std::vector<double> x = {1, 1, 0, -1, 2, 3, -0.5, 4, 0.25, 8};
    std::vector<double> y = {0, 1, 0, 0, -2, 1, 1, 3, 0.25, -1};
    std::vector<double> expected = referenceMap(x, y, 0.5);
    const int workers = 3;
    for (int k = 1; k <= workers + 1; ++k) {
        interpose::reset();
        interpose::setProcessors(4);
        interpose::failAllocation(k);
        EXPECT_TRUE(sameBits(mapColumn(x, y, 0.5), expected)) << "allocation " << k;
        interpose::Counts c = interpose::counts();
        EXPECT_EQ(c.threadStarts, k == 1 ? 0 : workers - 1) << "allocation " << k;
        EXPECT_EQ(c.liveAllocations, 0) << "allocation " << k;
        EXPECT_EQ(c.unjoinedThreads, 0) << "allocation " << k;
        EXPECT_EQ(c.joinsOfUnstarted, 0) << "allocation " << k;
    }
    for (int k = 1; k <= workers; ++k) {
        interpose::reset();
        interpose::setProcessors(4);
        interpose::failThreadStart(k);
        EXPECT_TRUE(sameBits(mapColumn(x, y, 0.5), expected)) << "thread " << k;
        interpose::Counts c = interpose::counts();
        EXPECT_EQ(c.threadStarts, workers - 1) << "thread " << k;
        EXPECT_EQ(c.liveAllocations, 0) << "thread " << k;
        EXPECT_EQ(c.unjoinedThreads, 0) << "thread " << k;
        EXPECT_EQ(c.joinsOfUnstarted, 0) << "thread " << k;
    }
}

TEST_F(SlopeMap, FailedOutputCreationEndsTheCallCleanly) {
    const mxArray *e = arrays.real(0, 0);
    const mxArray *s = arrays.scalar(1.0);
    std::vector<const mxArray *> inputs = {
        arrays.row({1, 2}), arrays.row({0, 0}), e, e, s, s, s, e};
    standinFailCreation(1);
    standin::Outcome r = call(1, inputs);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.id, "MATLAB:nomem");
    EXPECT_EQ(interpose::counts().threadStarts, 0);
}

// Runs once per worker path, each on the build capped at it.
class SlopeMapPath : public PathSuite<SlopeMap> {
  protected:
    SlopeMapPath() : PathSuite("slopemapmt") {}
};

// Every slice length below a vector and a block of exp arguments and past
// them, on 1 to 12 workers, with the edge elements of ValueCases (zero
// denominators, 0 / 0, NaN, infinities, overflow) in any lane and a NaN or
// infinite var now and then.
TEST_P(SlopeMapPath, EveryLengthAndLaneMatchesTheReference) {
    const std::pair<double, double> edges[] = {{0, 0},    {-1, 0},        {-1, -0.5}, {nan, 0},
                                               {1, nan},  {inf, 0},       {1, inf},   {-inf, 1},
                                               {-0.0, 0}, {1e308, -1e308}};
    const double specialVars[] = {0.0, 1.0, nan, inf};
    const long processors[] = {1, 3, 4, 8, 16};
    std::mt19937_64 rng(20261212);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    std::vector<int> lengths = {63, 64, 65, 127, 128, 129, 200, 1000};
    for (int len = 0; len <= 40; ++len) {
        lengths.push_back(len);
    }
    int k = 0;
    for (int len : lengths) {
        double var = k % 6 == 5 ? specialVars[k / 6 % 4] : 2.0 * std::abs(value(rng)) / 3.0;
        std::vector<double> x(len);
        std::vector<double> y(len);
        for (int i = 0; i < len; ++i) {
            double scale = std::pow(10.0, static_cast<int>(rng() % 7) - 3);
            x[i] = value(rng) * scale;
            y[i] = value(rng) * scale;
            if (rng() % 5 == 0) {
                std::tie(x[i], y[i]) = edges[rng() % 10];
            }
        }
        interpose::setProcessors(processors[k % 5]);
        EXPECT_TRUE(sameBits(mapColumn(x, y, var), referenceMap(x, y, var)))
            << "len " << len << ", var " << var << ", P = " << processors[k % 5];
        ++k;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, SlopeMapPath, ::testing::ValuesIn(workerPaths()), workerPathName);

} // namespace
