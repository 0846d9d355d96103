#include "module_test.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <limits>
#include <random>
#include <string>

namespace {

using Vec = std::vector<double>;
const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// WorkerArgs as the module lays it out, seen through the thread-start hook.
struct WorkerArgsView {
    double *qt;
    // cppcheck-suppress unusedStructMember ; hxt and hx
    const double *q, *hxt, *hx, *data;
    double sigma;
    const void *noise;
    double s;
    int len;
    // cppcheck-suppress unusedStructMember
    void (*path)();
};

using Started = StartedRecords<WorkerArgsView>;

struct Noise {
    double var, mean, alpha;
};

// One problem for both likelihoods: the exact one under noise, the shifted one with s.
struct Step {
    Vec q, hxt, hx, data;
    double sigma;
    Noise noise;
    double s;
};

// The module's minimum slices, per likelihood.
const int kMinSliceExact = 4096;
const int kMinSliceShifted = 32768;

class DataPdStep : public ModuleTest {
  protected:
    DataPdStep() : ModuleTest("datapdstep") {}

    std::vector<const mxArray *> inputs(const Step &p, bool exact) {
        std::vector<const mxArray *> in = {arrays.column(p.q), arrays.column(p.hxt),
                                           arrays.column(p.hx), arrays.scalar(p.sigma),
                                           arrays.column(p.data)};
        for (double x : exact ? Vec{p.noise.var, p.noise.mean, p.noise.alpha} : Vec{p.s}) {
            in.push_back(arrays.scalar(x));
        }
        return in;
    }

    // qt as array operations over the proximity operator's own module would give it: w, w /
    // sigma, the operator with step 1 / sigma, w - sigma t. A step that overflows to Inf is
    // refused as a scalar, and taken as one per element.
    Vec stepOf(const Step &p, bool exact) {
        size_t count = p.q.size();
        Vec w(count), v(count);
        for (size_t i = 0; i < count; ++i) {
            w[i] = p.q[i] + p.sigma * (2.0 * p.hxt[i] - p.hx[i]);
            v[i] = w[i] / p.sigma;
        }
        double gamma = 1.0 / p.sigma;
        const mxArray *g =
            std::isinf(gamma) ? arrays.column(Vec(count, gamma)) : arrays.scalar(gamma);
        std::vector<const mxArray *> in = {arrays.column(v), arrays.column(p.data), g};
        for (double x : exact ? Vec{p.noise.var, p.noise.mean, p.noise.alpha} : Vec{p.s}) {
            in.push_back(arrays.scalar(x));
        }
        standin::Outcome r = standin::call(loadModule(exact ? "pgproxmt" : "shiftproxmt"), 1, in);
        EXPECT_TRUE(r.ok) << r.id << ": " << r.message;
        Vec qt = r.ok ? standin::values(r.out()) : Vec(count, 0.0);
        for (size_t i = 0; i < count; ++i) {
            qt[i] = w[i] - p.sigma * qt[i];
        }
        return qt;
    }

    // Differences far from 0 and Hxt apart from Hx, so that a mixed-up term shows.
    Step drawn(int len, double sigma, Noise noise, double s) {
        std::normal_distribution<double> normal;
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        Step p{Vec(len), Vec(len), Vec(len), Vec(len), sigma, noise, s};
        for (int i = 0; i < len; ++i) {
            p.q[i] = 3.0 * normal(rng_);
            p.hxt[i] = 2.0 + std::fabs(normal(rng_));
            p.hx[i] = p.hxt[i] + normal(rng_);
            p.data[i] = std::fabs(1.5 * std::floor(10.0 * unit(rng_)) + 2.0 + 3.0 * normal(rng_));
        }
        return p;
    }

    std::mt19937_64 rng_{20261210};
};

// Each case breaks one input and, where it can, a later one: the first is named.
TEST_F(DataPdStep, GatewayErrorsInCheckingOrder) {
    standin::Arrays &a = arrays;
    const mxArray *v = a.row({1, 2, 3});
    const mxArray *one = a.scalar(1);
    const mxArray *single = a.ofClass(mxSINGLE_CLASS, 1, 1);
    const std::vector<const mxArray *> exact = {v, v, v, one, v, one, one, one};
    const std::vector<const mxArray *> shifted = {v, v, v, one, v, one};
    std::deque<std::string> text;
    auto keep = [&](const std::string &s) { return text.emplace_back(s).c_str(); };
    std::vector<ErrorCase> cases;
    auto add = [&](const std::string &name, std::vector<const mxArray *> in,
                   std::vector<std::pair<int, const mxArray *>> changes, const std::string &id,
                   const std::string &message, int nlhs = 1) {
        for (const auto &[k, array] : changes) {
            in[k] = array;
        }
        cases.push_back({keep(name), nlhs, in, keep("pgmex:datapdstep:" + id), keep(message)});
    };
    const std::string inputs =
        "Six or eight inputs required: q, Hxt, Hx - arrays of the same number of elements; sigma "
        "- a positive scalar; then u, s (shifted Poisson likelihood) or y, var, mean, alpha "
        "(exact likelihood).";
    for (size_t count : {0, 5, 7, 9}) {
        std::vector<const mxArray *> in = exact;
        in.resize(count, one);
        add(std::to_string(count) + " inputs", in, {}, "invalidNumInputs", inputs);
    }
    add("inputs before outputs", {v}, {}, "invalidNumInputs", inputs, 2);
    add("two outputs", shifted, {{3, single}}, "invalidNumOutputs", "One output at most: qt.", 2);
    const std::array<const char *, 3> noise = {"var", "mean", "alpha"};
    for (int k = 0; k < 3; ++k) {
        std::string n = noise[k];
        add(n + " 1x3, sigma single", exact, {{5 + k, v}, {3, single}}, n + "NotScalar",
            "Input " + n + " must be a real double scalar.");
        add(n + " Inf", exact, {{5 + k, a.scalar(inf)}, {3, a.scalar(0)}},
            n + (k == 1 ? "NotFinite" : "NotPositive"),
            "Input " + n + " must be " + (k == 1 ? "finite." : "positive and finite."));
    }
    add("var 0 before mean", exact, {{5, a.scalar(0)}, {6, single}}, "varNotPositive",
        "Input var must be positive and finite.");
    add("alpha -1", exact, {{7, a.scalar(-1)}}, "alphaNotPositive",
        "Input alpha must be positive and finite.");
    add("s complex, sigma NaN", shifted, {{5, a.complex(1, 1, {0}, {0})}, {3, a.scalar(nan)}},
        "sNotScalar", "Input s must be a real double scalar.");
    for (const auto &[name, s] : std::vector<std::pair<const char *, double>>{
             {"s -1e-300", -1e-300}, {"s NaN", nan}, {"s Inf", inf}}) {
        add(name, shifted, {{5, a.scalar(s)}, {3, single}}, "sNotNonnegative",
            "Input s must be nonnegative and finite.");
    }
    for (const auto *base : {&exact, &shifted}) {
        for (const mxArray *bad :
             std::vector<const mxArray *>{single, a.row({1, 1}), a.real(0, 0)}) {
            add("sigma not scalar", *base, {{3, bad}, {0, single}}, "sigmaNotScalar",
                "Input sigma must be a real double scalar.");
        }
        for (double sigma : {0.0, -1.0, nan, inf}) {
            add("sigma not positive", *base, {{3, a.scalar(sigma)}, {0, single}},
                "sigmaNotPositive", "Input sigma must be positive and finite.");
        }
        std::string data = base == &exact ? "y" : "u";
        const std::array<std::string, 4> names = {"q", "Hxt", "Hx", data};
        for (int k = 0; k < 4; ++k) {
            int at = k < 3 ? k : 4;
            // A later fault: the next array's class, or, after the data, q's length.
            int next = k < 2 ? k + 1 : k == 2 ? 4 : 0;
            const mxArray *later = k < 3 ? a.sparse(1, 1, {1}) : one;
            std::string notDouble = "Input " + names[k] + " must be a full real double array.";
            add(names[k] + " sparse", *base, {{at, a.sparse(1, 3, {1, 0, 3})}},
                names[k] + "NotDouble", notDouble);
            add(names[k] + " single", *base, {{at, a.ofClass(mxSINGLE_CLASS, 1, 3)}, {next, one}},
                names[k] + "NotDouble", notDouble);
            add(names[k] + " complex", *base,
                {{at, a.complex(1, 3, {1, 2, 3}, {0, 0, 0})}, {next, later}}, names[k] + "Complex",
                "Input " + names[k] + " must be real.");
            add(names[k] + " one short", *base, {{at, a.row({1, 2})}}, "lengthMismatch",
                "Inputs q, Hxt, Hx and " + data + " must have the same number of elements.");
        }
        const mxArray *long31 = a.shapeOnly(1, 2147483648u);
        const std::string tooLong =
            "Input q must have at most 2147483647 elements, in all and along any dimension.";
        add("2^31 elements", *base, {{0, long31}, {1, long31}, {2, long31}, {4, long31}},
            "qTooLong", tooLong);
        add("lengths before q's length", *base, {{0, long31}}, "lengthMismatch",
            "Inputs q, Hxt, Hx and " + data + " must have the same number of elements.");
        std::vector<std::pair<int, const mxArray *>> empty = {
            {1, a.real(0, 0)}, {2, a.real(0, 0)}, {4, a.real(0, 0)}};
        for (const mxArray *q : {a.shapeOnly(0, 2147483648u), a.shapeOnly(2147483648u, 0)}) {
            empty.push_back({0, q});
            add("empty q, a dimension of 2^31", *base, empty, "qTooLong", tooLong);
            empty.pop_back();
        }
    }
    expectErrors(cases);
}

// qt against w, the proximity operator's module on w / sigma with step 1 / sigma, and w minus
// sigma times that, bit for bit: lengths that leave every lane width a tail, NaN and Inf in
// each array, steps whose products and reciprocals overflow, and data outside the model.
TEST_F(DataPdStep, BitsOfTheProximityOperatorsModules) {
    using Set = std::vector<std::array<double, 5>>; // index, q, Hxt, Hx, data over drawn values
    const Set dark = {{3, 1, 0, 0, 0}, {18, 2, 0.5, 1, 0}};
    const Set badUpdates = {{0, nan, 1, 1, 2},    {5, inf, 1, 1, 2},   {9, -inf, 1, 1, 2},
                            {12, 1, nan, 1, 2},   {13, 1, inf, 1, 2},  {14, 1, -inf, 1, 2},
                            {17, 1, 1, nan, 2},   {18, 1, 1, -inf, 2}, {19, 1, inf, inf, 2},
                            {20, -inf, 1, inf, 2}};
    const Set badData = {
        {2, 1, 1, 1, nan}, {7, 1, 1, 1, inf}, {11, 1, 1, 1, -inf}, {18, -1, 0, 0, inf}};
    const Set noUpdate = {{0, 3, 0, 0, 2}, {8, -1, 0, 0, 2}, {16, 0.5, 1, 2, 7}};
    const Set farData = {{0, 1, 1, 1, -1e6},  {1, 1, 1, 1, -3},   {2, 1, 1, 1, -1e-300},
                         {3, 1, 1, 1, 1e6},   {4, 1, 1, 1, 1e15}, {5, 1, 1, 1, 1e300},
                         {28, 2, 1, 0.5, -50}};
    const Noise noise = {9, 2, 1.5};
    struct Case {
        const char *name;
        int len;
        double sigma;
        Noise noise;
        double s;
        Set set;
    };
    const std::vector<Case> cases = {
        {"one element", 1, 0.7, noise, 0.25, {}},
        {"7: less than a register", 7, 0.7, noise, 0.25, {}},
        {"8 + 3", 11, 1.3, noise, 0.25, {}},
        {"16 + 5", 21, 0.4, {0.01, 0, 1}, 3, {}},
        {"3 x 16 + 13", 61, 2.5, {1e4, -3, 20}, 0.01, {}},
        {"no photons, s = 0", 19, 0.9, {1, 0, 1}, 0, dark},
        {"NaN and Inf in q, Hxt, Hx", 21, 0.6, noise, 0.25, badUpdates},
        {"NaN and Inf in the data", 19, 0.8, noise, 0.25, badData},
        {"sigma tiny", 37, 1e-300, noise, 0.25, {}},
        {"sigma subnormal: the step overflows", 37, 5e-324, noise, 0.25, {}},
        {"sigma huge", 37, 1e300, noise, 0.25, {}},
        {"sigma huge: some updates overflow", 37, 1e308, noise, 0.25, {}},
        {"sigma the largest: the step subnormal", 17, DBL_MAX, noise, 0, noUpdate},
        {"y negative and large", 29, 1.1, {1, 0, 1}, 0.25, farData},
    };
    for (const Case &c : cases) {
        Step p = drawn(c.len, c.sigma, c.noise, c.s);
        for (const std::array<double, 5> &e : c.set) {
            size_t i = static_cast<size_t>(e[0]);
            p.q[i] = e[1];
            p.hxt[i] = e[2];
            p.hx[i] = e[3];
            p.data[i] = e[4];
        }
        for (bool exact : {true, false}) {
            standin::Outcome r = call(1, inputs(p, exact));
            Vec qt = realOutput(r, c.len, 1);
            EXPECT_TRUE(sameBits(qt, stepOf(p, exact)))
                << c.name << (exact ? ", exact" : ", shifted");
        }
    }
}

// Every processor count, cap and lane width give the bits of the building blocks; the workers
// are every processor allowed but no more than the slices the data fill, the calling thread
// taking the last, and each record points at its own slice.
TEST_F(DataPdStep, SameBitsOnEveryWorkerCountAndPath) {
    struct Run {
        long processors;
        const char *cap; // PGMEX_NUM_THREADS; null: unset
        int workers;
    };
    const std::vector<Run> runs = {{1, nullptr, 1}, {2, nullptr, 2}, {3, nullptr, 3},
                                   {8, nullptr, 3}, {8, "2", 2},     {8, "1", 1}};
    for (bool exact : {true, false}) {
        const int len = 3 * (exact ? kMinSliceExact : kMinSliceShifted) + 77;
        Step p = drawn(len, 0.45, {4, 1, 0.8}, 0.3);
        std::vector<const mxArray *> in = inputs(p, exact);
        Vec reference = stepOf(p, exact);
        for (const char *build : {"datapdstep", "datapdstep_avx2", "datapdstep_scalar"}) {
            standin::Module &m = loadModule(build);
            for (const Run &run : runs) {
                std::string what = std::string(build) + (exact ? ", exact" : ", shifted") +
                                   ", P = " + std::to_string(run.processors) +
                                   ", cap = " + (run.cap ? run.cap : "none");
                if (run.cap != nullptr) {
                    setenv("PGMEX_NUM_THREADS", run.cap, 1);
                }
                standin::Outcome r = callBuild<Started>(m, run.processors, in);
                unsetenv("PGMEX_NUM_THREADS");
                ASSERT_TRUE(r.ok) << what << ": " << r.message;
                EXPECT_TRUE(sameBits(standin::values(r.out()), reference)) << what;
                const std::vector<WorkerArgsView> &started = Started::all();
                ASSERT_EQ(static_cast<int>(started.size()), run.workers - 1) << what;
                const long per = len / run.workers;
                for (size_t i = 0; i < started.size(); ++i) {
                    const WorkerArgsView &w = started[i];
                    EXPECT_EQ(w.len, per) << what;
                    EXPECT_EQ(w.q - mxGetPr(in[0]), static_cast<long>(i) * per) << what;
                    EXPECT_EQ(w.data - mxGetPr(in[4]), static_cast<long>(i) * per) << what;
                    EXPECT_EQ(w.qt - started[0].qt, static_cast<long>(i) * per) << what;
                    EXPECT_EQ(w.sigma, p.sigma) << what;
                    EXPECT_EQ(w.noise != nullptr, exact) << what;
                    EXPECT_EQ(w.s, exact ? 0.0 : p.s) << what;
                }
            }
        }
    }
}

// A worker takes a slice of at least the likelihood's minimum, on any number of processors.
TEST_F(DataPdStep, SlicesRepayTheirThreads) {
    for (bool exact : {true, false}) {
        const int minSlice = exact ? kMinSliceExact : kMinSliceShifted;
        for (const auto &[len, workers] : std::vector<std::pair<int, int>>{
                 {2 * minSlice - 1, 1}, {2 * minSlice, 2}, {5 * minSlice - 1, 4}}) {
            Step p = drawn(len, 1.0, {4, 1, 0.8}, 0.3);
            interpose::reset();
            interpose::setProcessors(8);
            Started::watch();
            standin::Outcome r = call(1, inputs(p, exact));
            ASSERT_TRUE(r.ok) << r.message;
            EXPECT_EQ(static_cast<int>(Started::all().size()), workers - 1)
                << (exact ? "exact, " : "shifted, ") << len << " elements";
        }
    }
}

// qt takes q's shape, N-d and empty ones included, whatever shapes Hxt, Hx and the data have.
TEST_F(DataPdStep, QtHasTheShapeOfQ) {
    struct Case {
        std::vector<size_t> qDims, otherDims;
    };
    const std::vector<Case> cases = {{{3, 4}, {12, 1}}, {{1, 6}, {2, 3}}, {{2, 3, 2}, {1, 12}},
                                     {{0, 0}, {0, 1}},  {{0, 3}, {1, 0}}, {{2, 0, 4}, {0, 0}}};
    for (const Case &c : cases) {
        size_t count = 1;
        for (size_t d : c.qDims) {
            count *= d;
        }
        Step p = drawn(static_cast<int>(count), 0.8, {2, 1, 1.5}, 0.5);
        for (bool exact : {true, false}) {
            std::vector<const mxArray *> in = inputs(p, exact);
            in[0] = arrays.nd(c.qDims, p.q);
            for (int k : {1, 2, 4}) {
                in[k] = arrays.nd(c.otherDims, standin::values(in[k]));
            }
            for (int nlhs = 0; nlhs <= 1; ++nlhs) {
                standin::Outcome r = call(nlhs, in);
                ASSERT_TRUE(r.ok) << r.message;
                ASSERT_EQ(mxGetNumberOfDimensions(r.out()), c.qDims.size());
                for (size_t k = 0; k < c.qDims.size(); ++k) {
                    EXPECT_EQ(mxGetDimensions(r.out())[k], c.qDims[k]);
                }
                EXPECT_TRUE(sameBits(standin::values(r.out()), stepOf(p, exact)));
            }
        }
    }
}

} // namespace
