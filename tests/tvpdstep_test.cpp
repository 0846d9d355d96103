#include "module_test.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <utility>

namespace {

using Vec = std::vector<double>;
using Dims = std::vector<size_t>;
const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

enum { XT, X, P, DX, DTP, HTQT, HTQ, QT, Q, HXT, HX, STEPS, SPACING, NEED };
const char *const kNames[STEPS] = {"xt",  "x",  "p", "Dx",  "DtP", "HtQt",
                                   "HtQ", "qt", "q", "Hxt", "Hx"};
// The input each output updates, in output order; norms follows them.
const int kUpdated[7] = {X, P, DX, DTP, HTQ, Q, HX};

struct Problem {
    const char *name;
    Dims dims;   // xt's
    Vec spacing; // one per differenced dimension
    Dims data;   // qt's, q's, Hxt's and Hx's; none without a blur
    std::array<double, 2> need;
    std::array<double, 4> steps = {0.4, 0.6, 1.2, 1.7}; // tau sigma lambda rho
    bool flat = false;     // x, DtP, p and Dx as columns, whatever xt's shape
    bool specials = false; // NaN and Inf among the values
};

size_t product(const Dims &d) {
    return std::accumulate(d.begin(), d.end(), size_t{1}, std::multiplies<size_t>());
}

Dims shapeOf(const Problem &c, int k) {
    size_t n = product(c.dims), nd = c.spacing.size();
    bool blurred = !c.data.empty();
    Dims none = {0, 0};
    if (k == X || k == DTP || k == P || k == DX) {
        size_t rows = k == P || k == DX ? nd : 1;
        return c.flat ? Dims{rows * n, 1} : rows > 1 ? Dims{nd, n} : c.dims;
    }
    return k == XT                 ? c.dims
           : k == HTQT || k == HTQ ? (blurred ? c.dims : none)
           : blurred               ? c.data
                                   : none;
}

template <typename F> Vec each(size_t n, F f) {
    Vec r(n);
    for (size_t i = 0; i < n; ++i) {
        r[i] = f(i);
    }
    return r;
}

class TvpdStep : public ModuleTest {
  protected:
    explicit TvpdStep(const std::string &module = "tvpdstep") : ModuleTest(module) {}

    std::vector<const mxArray *> inputs(const std::array<Vec, STEPS> &values, const Problem &c) {
        std::vector<const mxArray *> in;
        for (int k = XT; k < STEPS; ++k) {
            in.push_back(arrays.nd(shapeOf(c, k), values[k]));
        }
        in.push_back(arrays.row({c.steps.begin(), c.steps.end()}));
        in.push_back(arrays.row(c.spacing));
        in.push_back(arrays.row({c.need.begin(), c.need.end()}));
        return in;
    }

    standin::Outcome step(const std::array<Vec, STEPS> &values, const Problem &c) {
        return call(8, inputs(values, c));
    }

    std::array<Vec, STEPS> randomArrays(const Problem &c) {
        std::normal_distribution<double> normal;
        std::array<Vec, STEPS> a;
        for (int k = XT; k < STEPS; ++k) {
            a[k] = each(product(shapeOf(c, k)), [&](size_t) { return normal(rng_); });
        }
        return a;
    }

    std::mt19937_64 rng_{20261209};
};

const char *kInputsText =
    "Fourteen inputs required: xt, x, p, Dx, DtP, HtQt, HtQ, qt, q, Hxt, Hx - arrays; steps - "
    "[tau sigma lambda rho]; spacing - one per differenced dimension; need - [residuals tv].";
const char *kStepsText = "Input steps must be a real double vector of four elements.";
const char *kPositiveText =
    "Input steps must be finite, tau, sigma and rho positive and lambda nonnegative.";
const char *kSpacingText = "Input spacing must be a real double vector of one to three elements.";
const char *kNeedText = "Input need must be a real double vector of two elements.";
const char *kTooLongText = "Input xt must have at most 2147483647 elements, in all, along any "
                           "dimension and in its differences.";

// Each case breaks one input and, where it can, a later one: the first is named.
TEST_F(TvpdStep, GatewayErrorsInCheckingOrder) {
    using Changes = std::vector<std::pair<int, const mxArray *>>;
    standin::Arrays &a = arrays;
    const mxArray *e = a.real(0, 0);
    const mxArray *grid = a.real(3, 4);
    const mxArray *pairs = a.real(2, 12);
    const mxArray *crop = a.real(2, 3);
    const std::vector<const mxArray *> base = {
        grid,          grid,         pairs, pairs, grid, grid,
        grid,          crop,         crop,  crop,  crop, a.row({0.5, 0.5, 0.2, 1.5}),
        a.row({1, 1}), a.row({1, 1})};
    auto with = [&](const Changes &changes) {
        std::vector<const mxArray *> in = base;
        for (const auto &[k, array] : changes) {
            (k < static_cast<int>(in.size()) ? in[k] : in.emplace_back()) = array;
        }
        return in;
    };
    std::deque<std::string> text; // the generated names, identifiers and messages
    auto keep = [&](const std::string &s) { return text.emplace_back(s).c_str(); };
    std::vector<ErrorCase> cases;
    auto add = [&](const std::string &name, const std::vector<const mxArray *> &in,
                   const std::string &id, const std::string &message, int nlhs = 8) {
        cases.push_back({keep(name), nlhs, in, keep("pgmex:tvpdstep:" + id), keep(message)});
    };
    std::vector<const mxArray *> thirteen(base.begin(), base.end() - 1);
    add("no inputs", {}, "invalidNumInputs", kInputsText);
    add("thirteen inputs", thirteen, "invalidNumInputs", kInputsText);
    add("fifteen inputs", with({{NEED + 1, e}}), "invalidNumInputs", kInputsText);
    add("inputs before outputs", thirteen, "invalidNumInputs", kInputsText, 9);
    add("nine outputs", base, "invalidNumOutputs",
        "Eight outputs at most: x, p, Dx, DtP, HtQ, q, Hx, norms.", 9);
    for (int k = XT; k < STEPS; ++k) {
        size_t m = mxGetM(base[k]), n = mxGetN(base[k]);
        Vec zeros(m * n, 0.0);
        // The next array single, or steps of one element after Hx.
        std::pair<int, const mxArray *> next = {
            k + 1, k + 1 < STEPS ? a.ofClass(mxSINGLE_CLASS, 1, 1) : a.row({1})};
        std::string name = kNames[k];
        std::string notDouble = "Input " + name + " must be a full real double array.";
        add(name + " sparse", with({{k, a.sparse(m, n, zeros)}}), name + "NotDouble", notDouble);
        add(name + " single", with({{k, a.ofClass(mxSINGLE_CLASS, m, n)}, next}),
            name + "NotDouble", notDouble);
        add(name + " complex", with({{k, a.complex(m, n, zeros, zeros)}, next}), name + "Complex",
            "Input " + name + " must be real.");
    }
    add("steps of three", with({{STEPS, a.row({1, 1, 1})}, {SPACING, e}}), "stepsNotVector",
        kStepsText);
    add("steps single", with({{STEPS, a.ofClass(mxSINGLE_CLASS, 1, 4)}}), "stepsNotVector",
        kStepsText);
    const std::vector<Vec> badSteps = {{0, 1, 0.2, 1}, {1, -1, 0.2, 1},  {1, 1, -1e-300, 1},
                                       {1, 1, 0.2, 0}, {inf, 1, 0.2, 1}, {1, nan, 0.2, 1},
                                       {1, 1, inf, 1}, {1, 1, 0.2, -inf}};
    for (const Vec &steps : badSteps) {
        add("steps " + ::testing::PrintToString(steps), with({{STEPS, a.row(steps)}, {SPACING, e}}),
            "stepsNotPositive", kPositiveText);
    }
    for (const Vec &spacing :
         std::vector<Vec>{{}, {1, 1, 1, 1}, {1, 0}, {-2, 1}, {1, 1, inf}, {nan}}) {
        bool vector = spacing.empty() || spacing.size() > 3;
        add("spacing " + ::testing::PrintToString(spacing),
            with({{SPACING, a.row(spacing)}, {NEED, e}}),
            vector ? "spacingNotVector" : "spacingNotPositive",
            vector ? kSpacingText : "Input spacing must be positive and finite.");
    }
    add("spacing complex", with({{SPACING, a.complex(1, 2, {1, 1}, {0, 0})}}), "spacingNotVector",
        kSpacingText);
    add("need of one", with({{NEED, a.row({1})}, {X, e}}), "needNotPair", kNeedText);
    add("need of three", with({{NEED, a.row({1, 1, 1})}}), "needNotPair", kNeedText);
    add("xt of 2^31", with({{XT, a.shapeOnly(65536, 32768)}, {X, e}}), "xtTooLong", kTooLongText);
    add("differences 2^31", with({{XT, a.shapeOnly(1u << 30, 1)}}), "xtTooLong", kTooLongText);
    add("xt of 2^31 - 1", with({{XT, a.shapeOnly(2147483647u, 1)}, {SPACING, a.row({1})}}), "xSize",
        "Input x must have as many elements as xt.");
    // Each count wrong with the next one wrong too.
    const std::vector<std::array<size_t, 3>> sizes = {
        {X, 3, 3},   {DTP, 12, 2}, {P, 1, 12}, {DX, 3, 12}, {HTQT, 1, 3},
        {HTQ, 4, 4}, {QT, 0, 0},   {Q, 1, 5},  {HXT, 7, 1}, {HX, 3, 3}};
    for (size_t i = 0; i < sizes.size(); ++i) {
        Changes changes;
        for (size_t j = i; j < std::min(i + 2, sizes.size()); ++j) {
            changes.emplace_back(sizes[j][0], a.real(sizes[j][1], sizes[j][2]));
        }
        size_t k = sizes[i][0];
        std::string name = kNames[k];
        std::string what = k == P || k == DX ? "numel(spacing) times as many elements as xt"
                           : k == QT         ? "elements exactly when HtQt has"
                           : k > QT          ? "as many elements as qt"
                                             : "as many elements as xt";
        add(name + " count", with(changes), name + "Size",
            "Input " + name + " must have " + what + ".");
    }
    add("HtQ without HtQt", with({{HTQT, e}}), "HtQSize",
        "Input HtQ must have no elements, as HtQt.");
    add("qt without HtQt", with({{HTQT, e}, {HTQ, e}}), "qtSize",
        "Input qt must have elements exactly when HtQt has.");
    // What the counts do not bound: an empty array's dimensions, and the data arrays' length,
    // which only each other's bounds. Each with the next one too long as well.
    const mxArray *wide = a.shapeOnly(0, 2147483648u);
    const mxArray *tall = a.shapeOnly(2147483648u, 0);
    const mxArray *longData = a.shapeOnly(1, 4294967297u);
    const Changes empties = {{XT, e},  {X, e},  {P, e}, {DX, e},  {DTP, e}, {HTQT, e},
                             {HTQ, e}, {QT, e}, {Q, e}, {HXT, e}, {HX, e}};
    const std::string tooLong =
        " must have at most 2147483647 elements, in all and along any dimension.";
    for (int k = X; k <= HX; ++k) {
        Changes changes = empties;
        changes.emplace_back(k, k % 2 ? wide : tall);
        if (k < HX) {
            changes.emplace_back(k + 1, wide);
        }
        std::string name = kNames[k];
        add(name + " empty, a dimension of 2^31", with(changes), name + "TooLong",
            "Input " + name + tooLong);
    }
    Changes one = {{SPACING, a.row({1})}};
    for (int k = XT; k <= HX; ++k) {
        one.emplace_back(k, k < QT ? a.real(1, 1) : longData);
    }
    add("data of 2^32 + 1", with(one), "qtTooLong", "Input qt" + tooLong);
    add("xt empty, a dimension of 2^31", with({{XT, wide}, {X, wide}}), "xtTooLong", kTooLongText);
    expectErrors(cases);
}

// The values are the whole-array formulas' on the widest path (the Octave suite holds them to
// Octave's own); every narrower build must give the scalar build's bits, chunk tails, pages,
// NaN and Inf included. Small cubes keep each sum short, so that one element's last bit shows.
TEST_F(TvpdStep, EveryLaneWidthGivesTheScalarBits) {
    std::vector<Problem> cases = {
        {"nd 1: a column", {9, 1}, {1}, {}, {1, 1}},
        {"nd 1: columns as pages, blurred", {7, 3}, {2.5}, {4, 2}, {1, 0}},
        {"nd 2, blurred", {6, 5}, {1, 1}, {3, 4}, {1, 1}, {0.3, 0.9, 0.7, 1}},
        {"nd 2: one row", {1, 9}, {1, 1}, {}, {0, 1}},
        {"nd 3, blurred", {4, 3, 5}, {1, 1, 2.5}, {2, 3, 4}, {1, 1}},
        {"nd 3: pages, blurred", {3, 4, 2, 3}, {0.5, 1, 2.5}, {2, 2, 2, 3}, {0, 0}},
        {"nd 3: a middle dimension of 1", {8, 1, 4}, {1, 2, 1}, {3, 5}, {1, 1}},
        {"nd 2: rows over two chunks, pages", {137, 7, 2}, {1, 1}, {30, 5}, {1, 1}},
        {"nd 3: long rows and pages", {17, 6, 5, 2}, {1, 1, 1}, {}, {1, 1}, {1, 0.2, 0.3, 1.9}},
        {"lambda 0", {6, 4}, {1, 1}, {}, {1, 1}, {0.5, 0.5, 0, 1}},
        {"NaN and Inf, blurred", {6, 5}, {1, 1}, {4, 4}, {1, 1}, {0.4, 0.6, 1.2, 1.7}, false, true},
        {"x, p, Dx and DtP flat", {4, 3, 2}, {1, 2}, {}, {1, 1}, {0.4, 0.6, 1.2, 1.7}, true},
    };
    cases.insert(cases.end(), 8, {"2 by 2 by 2", {2, 2, 2}, {1, 1, 1}, {}, {0, 1}});
    const char *outputs[8] = {"x", "p", "Dx", "DtP", "HtQ", "q", "Hx", "norms"};
    const standin::Module &scalar = loadModule("tvpdstep_scalar");
    for (const WorkerPath &path : workerPaths()) {
        if (std::string(path.suffix) == "_scalar" || !processorRuns(path)) {
            continue;
        }
        const standin::Module &wide = loadModule(std::string("tvpdstep") + path.suffix);
        for (const Problem &c : cases) {
            SCOPED_TRACE(std::string(path.name) + ", " + c.name);
            std::array<Vec, STEPS> a = randomArrays(c);
            if (c.specials) {
                a[XT][3] = a[DX][21] = nan;
                a[XT][17] = a[P][8] = inf;
                a[XT][29] = a[QT][5] = -inf;
            }
            std::vector<const mxArray *> in = inputs(a, c);
            standin::Outcome want = standin::call(scalar, 8, in);
            standin::Outcome got = standin::call(wide, 8, in);
            ASSERT_TRUE(want.ok && got.ok) << want.id << " " << got.id;
            for (int o = 0; o < 8; ++o) {
                EXPECT_TRUE(
                    sameBits(standin::values(got.outputs[o]), standin::values(want.outputs[o])))
                    << outputs[o];
                Dims shape = o < 7 ? shapeOf(c, kUpdated[o]) : Dims{1, 3};
                const mwSize *dims = mxGetDimensions(got.outputs[o]);
                EXPECT_EQ(Dims(dims, dims + mxGetNumberOfDimensions(got.outputs[o])), shape)
                    << outputs[o];
            }
        }
    }
}

// The help's ramp: xt(i, j) = j on 3 by 4, x = xt, p, Dx and DtP zero, steps [0.5 0.5 0.2 1].
// D xt is (0, 1) on the first three columns and (0, 0) on the last; v = 0.5 (2 D xt) is the same,
// of norm 1 > 0.2, so the factor is 1 - 0.2, which rounds to 0.8, and pt(2) = 1 - 0.8: exact,
// 2^-54 under 0.2. D' pt is -pt(2) on the first column, pt(2) on the last, 0 between. With rho 1
// every output is its target. PRIMAL adds |D' pt| = pt(2) six times, DUAL |1 - pt(2)/0.5| nine
// times after each 0 of the first components, TV nine norms of 1.
TEST_F(TvpdStep, RampOfTheHelp) {
    const double q = 1.0 - 0.8;
    Vec xt(12), p(24, 0.0), dx(24, 0.0), dtp(12, 0.0);
    for (size_t i = 0; i < 12; ++i) {
        xt[i] = static_cast<double>(i / 3 + 1);
        p[2 * i + 1] = i < 9 ? q : 0.0;
        dx[2 * i + 1] = i < 9 ? 1.0 : 0.0;
        dtp[i] = i < 3 ? -q : i >= 9 ? q : 0.0;
    }
    double primal = 0.0, dual = 0.0;
    for (int k = 0; k < 9; ++k) {
        primal += k < 6 ? q : 0.0;
        dual += 1.0 - q / 0.5;
    }
    const Problem c = {"ramp", {3, 4}, {1, 1}, {}, {1, 1}, {0.5, 0.5, 0.2, 1}};
    std::array<Vec, STEPS> a = {xt, xt, Vec(24, 0.0), Vec(24, 0.0), Vec(12, 0.0)};
    standin::Outcome r = step(a, c);
    ASSERT_TRUE(r.ok) << r.id << ": " << r.message;
    EXPECT_TRUE(sameBits(standin::values(r.outputs[0]), xt));
    EXPECT_TRUE(sameBits(standin::values(r.outputs[1]), p));
    EXPECT_TRUE(sameBits(standin::values(r.outputs[2]), dx));
    EXPECT_TRUE(sameBits(standin::values(r.outputs[3]), dtp));
    EXPECT_TRUE(sameBits(standin::values(r.outputs[7]), {primal, dual, 9.0}));
}

} // namespace
