#include "module_test.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// WorkerArgs as the module lays it out, seen through the thread-start hook.
struct WorkerArgsView {
    // cppcheck-suppress unusedStructMember
    double *x;
    // cppcheck-suppress unusedStructMember ; read through Started::all(), which it does not follow
    const double *v;
    // cppcheck-suppress unusedStructMember
    const double *y;
    // cppcheck-suppress unusedStructMember
    const double *gamma;
    // cppcheck-suppress unusedStructMember
    bool gammaPerElement;
    // cppcheck-suppress unusedStructMember
    const void *noise;
    // cppcheck-suppress unusedStructMember ; read through Started::all()
    int len;
    // cppcheck-suppress unusedStructMember
    void (*path)();
    // cppcheck-suppress unusedStructMember ; read through Started::all()
    int lanes; // the path's lanes: 1, 8 or 16
};

using Started = StartedRecords<WorkerArgsView>;

// A slice must repay its thread: the module's minimum slice.
const int kMinSlice = 4096;

struct Noise {
    double var, mean, alpha;
};

class PgProx : public ModuleTest {
  public:
    PgProx() : ModuleTest("pgproxmt") {}
    using ModuleTest::arrays;

    // The operator on columns, with one gamma or one per element.
    std::vector<double> prox(const std::vector<double> &v, const std::vector<double> &y,
                             const std::vector<double> &gamma, const Noise &n) {
        standin::Outcome r =
            call(1, {arrays.column(v), arrays.column(y),
                     gamma.size() == 1 ? arrays.scalar(gamma[0]) : arrays.column(gamma),
                     arrays.scalar(n.var), arrays.scalar(n.mean), arrays.scalar(n.alpha)});
        EXPECT_TRUE(r.ok) << r.id << ": " << r.message;
        return r.ok ? standin::values(r.out()) : std::vector<double>();
    }

    // The root of F(x) = (x - v) / gamma + grad(x), with pglikmt's grad, by bisection on the
    // doubles' bit patterns until the bracket holds neighbouring doubles, all elements at once.
    std::vector<double> reference(const std::vector<double> &v, const std::vector<double> &y,
                                  const std::vector<double> &gamma, const Noise &n) {
        const standin::Module &lik = loadModule("pglikmt");
        size_t count = v.size();
        auto f = [&](const std::vector<double> &x) {
            standin::Outcome r =
                standin::call(lik, 1,
                              {arrays.column(x), arrays.column(y), arrays.scalar(n.var),
                               arrays.scalar(n.mean), arrays.scalar(n.alpha)});
            std::vector<double> g = standin::values(r.out());
            for (size_t i = 0; i < count; ++i) {
                g[i] = (x[i] - v[i]) / gamma[i] + g[i];
            }
            return g;
        };
        std::vector<double> zero(count, 0.0);
        std::vector<double> atZero = f(zero);
        std::vector<double> hi(count);
        for (size_t i = 0; i < count; ++i) {
            hi[i] = atZero[i] >= 0 ? 0.0 : -gamma[i] * atZero[i];
        }
        std::vector<uint64_t> lo(count, 0);
        std::vector<uint64_t> up(count);
        for (size_t i = 0; i < count; ++i) {
            std::memcpy(&up[i], &hi[i], sizeof(double));
        }
        for (int step = 0; step < 70; ++step) {
            std::vector<double> mid(count);
            for (size_t i = 0; i < count; ++i) {
                uint64_t m = lo[i] + (up[i] - lo[i]) / 2;
                std::memcpy(&mid[i], &m, sizeof(double));
            }
            std::vector<double> fm = f(mid);
            for (size_t i = 0; i < count; ++i) {
                if (up[i] - lo[i] > 1) {
                    uint64_t m;
                    std::memcpy(&m, &mid[i], sizeof(double));
                    (fm[i] < 0 ? lo[i] : up[i]) = m;
                }
            }
        }
        std::vector<double> x(count);
        for (size_t i = 0; i < count; ++i) {
            double a;
            double b;
            std::memcpy(&a, &lo[i], sizeof(double));
            std::memcpy(&b, &up[i], sizeof(double));
            x[i] = atZero[i] >= 0 ? 0.0 : 0.5 * (a + b);
        }
        return x;
    }
};

TEST_F(PgProx, GatewayErrorsInCheckingOrder) {
    standin::Arrays &a = arrays;
    const mxArray *v = a.row({1, 2, 3});
    const mxArray *y = a.column({0, 1, 2});
    const mxArray *s = a.scalar(1);
    const mxArray *e = a.real(0, 0);
    const mxArray *pair = a.row({1, 2});
    const mxArray *cplx = a.complex(1, 1, {1}, {0});
    const mxArray *single = a.ofClass(mxSINGLE_CLASS, 1, 1);
    const mxArray *zero = a.scalar(0);
    const mxArray *nanIn = a.scalar(nan);
    const mxArray *infIn = a.scalar(inf);
    const char *inputsMsg = "Six inputs required: v, y - arrays of the same number of elements; "
                            "gamma - a positive scalar, or an array like v; var, mean, alpha - "
                            "scalars (Gaussian noise variance and mean, scaling parameter of "
                            "Poisson noise).";
    auto id = [](const char *mnemonic) { return std::string("pgmex:pgproxmt:") + mnemonic; };
    const std::vector<std::string> ids = {
        id("invalidNumInputs"), id("invalidNumOutputs"), id("varNotScalar"),
        id("varNotPositive"),   id("meanNotScalar"),     id("meanNotFinite"),
        id("alphaNotScalar"),   id("alphaNotPositive"),  id("vNotDouble"),
        id("vComplex"),         id("yNotDouble"),        id("yComplex"),
        id("lengthMismatch"),   id("vTooLong"),          id("gammaNotDouble"),
        id("gammaComplex"),     id("gammaSize"),         id("gammaNotPositive")};
    const char *positive = "Input gamma must be positive and finite.";
    auto in = [](const mxArray *vIn, const mxArray *yIn, const mxArray *g, const mxArray *var,
                 const mxArray *mean, const mxArray *alpha) {
        return std::vector<const mxArray *>{vIn, yIn, g, var, mean, alpha};
    };
    const mxArray *long31 = a.shapeOnly(1, 2147483648u);
    std::vector<ErrorCase> cases = {
        {"five inputs", 1, {v, y, s, s, s}, ids[0].c_str(), inputsMsg},
        {"seven inputs", 1, {v, y, s, s, s, s, s}, ids[0].c_str(), inputsMsg},
        {"input count before output count", 2, {v}, ids[0].c_str(), inputsMsg},
        {"two outputs", 2, in(v, y, s, s, s, s), ids[1].c_str(), "One output at most: x."},
        {"var 1x2", 1, in(v, y, s, pair, s, s), ids[2].c_str(),
         "Input var must be a real double scalar."},
        {"var single", 1, in(v, y, s, single, s, s), ids[2].c_str(),
         "Input var must be a real double scalar."},
        {"var 0", 1, in(v, y, s, zero, s, s), ids[3].c_str(),
         "Input var must be positive and finite."},
        {"var Inf before mean", 1, in(v, y, s, infIn, e, s), ids[3].c_str(),
         "Input var must be positive and finite."},
        {"mean complex", 1, in(v, y, s, s, cplx, s), ids[4].c_str(),
         "Input mean must be a real double scalar."},
        {"mean NaN", 1, in(v, y, s, s, nanIn, s), ids[5].c_str(), "Input mean must be finite."},
        {"alpha empty", 1, in(v, y, s, s, s, e), ids[6].c_str(),
         "Input alpha must be a real double scalar."},
        {"alpha -1 before v", 1, in(single, y, s, s, s, a.scalar(-1)), ids[7].c_str(),
         "Input alpha must be positive and finite."},
        {"v single", 1, in(a.ofClass(mxSINGLE_CLASS, 1, 3), y, s, s, s, s), ids[8].c_str(),
         "Input v must be a full real double array."},
        {"v sparse", 1, in(a.sparse(1, 3, {1, 0, 3}), y, s, s, s, s), ids[8].c_str(),
         "Input v must be a full real double array."},
        {"v complex before y class", 1,
         in(a.complex(1, 3, {1, 2, 3}, {0, 0, 0}), single, s, s, s, s), ids[9].c_str(),
         "Input v must be real."},
        {"y int32", 1, in(v, a.ofClass(mxINT32_CLASS, 3, 1), s, s, s, s), ids[10].c_str(),
         "Input y must be a full real double array."},
        {"y complex", 1, in(v, a.complex(3, 1, {1, 2, 3}, {0, 1, 0}), s, s, s, s), ids[11].c_str(),
         "Input y must be real."},
        {"y one short", 1, in(v, pair, s, s, s, s), ids[12].c_str(),
         "Inputs v and y must have the same number of elements."},
        {"lengths before gamma", 1, in(v, pair, single, s, s, s), ids[12].c_str(),
         "Inputs v and y must have the same number of elements."},
        {"2^31 elements", 1, in(long31, long31, s, s, s, s), ids[13].c_str(),
         "Input v must have at most 2147483647 elements, in all and along any dimension."},
        {"gamma single", 1, in(v, y, single, s, s, s), ids[14].c_str(),
         "Input gamma must be a full real double scalar or array."},
        {"gamma sparse", 1, in(v, y, a.sparse(1, 3, {1, 0, 3}), s, s, s), ids[14].c_str(),
         "Input gamma must be a full real double scalar or array."},
        {"gamma complex", 1, in(v, y, cplx, s, s, s), ids[15].c_str(), "Input gamma must be real."},
        {"gamma of two", 1, in(v, y, pair, s, s, s), ids[16].c_str(),
         "Input gamma must be a scalar or have as many elements as v."},
        {"gamma empty", 1, in(v, y, e, s, s, s), ids[16].c_str(),
         "Input gamma must be a scalar or have as many elements as v."},
        {"gamma 0", 1, in(v, y, zero, s, s, s), ids[17].c_str(), positive},
        {"gamma -1", 1, in(v, y, a.scalar(-1), s, s, s), ids[17].c_str(), positive},
        {"gamma NaN", 1, in(v, y, nanIn, s, s, s), ids[17].c_str(), positive},
        {"gamma Inf", 1, in(v, y, infIn, s, s, s), ids[17].c_str(), positive},
        {"one element, gamma 0", 1, in(s, s, zero, s, s, s), ids[17].c_str(), positive},
    };
    expectErrors(cases);
}

// x takes v's shape, N-d and empty ones included, whatever shapes y and gamma have.
TEST_F(PgProx, XHasTheShapeOfV) {
    standin::Arrays &a = arrays;
    struct Case {
        const char *name;
        std::vector<size_t> vDims;
        std::vector<size_t> otherDims;
    };
    const std::vector<Case> cases = {
        {"scalar", {1, 1}, {1, 1}},     {"row, column y", {1, 5}, {5, 1}},
        {"3x4, 2x6 y", {3, 4}, {2, 6}}, {"2x3x2, 12x1 y", {2, 3, 2}, {12, 1}},
        {"0x0", {0, 0}, {0, 0}},        {"0x3, 1x0 y", {0, 3}, {1, 0}},
        {"2x0x4", {2, 0, 4}, {0, 0}},
    };
    for (const Case &c : cases) {
        const mxArray *v = a.nd(c.vDims);
        size_t count = mxGetNumberOfElements(v);
        std::vector<double> vs(count);
        std::vector<double> ys(count);
        for (size_t i = 0; i < count; ++i) {
            vs[i] = 0.5 + i;
            ys[i] = 1.5 * i - 1;
        }
        v = count > 0 ? a.nd(c.vDims, vs) : v;
        const mxArray *y = count > 0 ? a.nd(c.otherDims, ys) : a.nd(c.otherDims);
        std::vector<double> steps(count, 0.7);
        for (const mxArray *gamma :
             {a.scalar(0.7), count > 0 ? a.nd(c.otherDims, steps) : a.nd(c.otherDims)}) {
            for (int nlhs = 0; nlhs <= 1; ++nlhs) {
                standin::Outcome r =
                    call(nlhs, {v, y, gamma, a.scalar(2), a.scalar(1), a.scalar(1.5)});
                ASSERT_TRUE(r.ok) << c.name << ": " << r.message;
                ASSERT_EQ(mxGetNumberOfDimensions(r.out()), mxGetNumberOfDimensions(v)) << c.name;
                for (int k = 0; k < mxGetNumberOfDimensions(v); ++k) {
                    EXPECT_EQ(mxGetDimensions(r.out())[k], mxGetDimensions(v)[k]) << c.name;
                }
                if (count > 0) {
                    EXPECT_TRUE(
                        sameBits(standin::values(r.out()), prox(vs, ys, {0.7}, {2, 1, 1.5})))
                        << c.name;
                }
            }
        }
    }
}

// Identities worked by hand, the limits of gamma, and the elements handled apart.
TEST_F(PgProx, ValueCases) {
    const double tiny = 1e-12; // var: neighbouring counts weigh exp(-1/(2 tiny)), nothing
    auto poissonOnly = [](double v, double k, double g) {
        return 0.5 * (-(g - v) + std::sqrt((g - v) * (g - v) + 4 * g * k));
    };
    struct Case {
        const char *name;
        std::vector<double> v, y, gamma;
        Noise noise;
        std::vector<double> x;
        double tolerance; // relative to max(1, x); 0 asks for the same bits
    };
    const std::vector<Case> cases = {
        {"F(0) >= 0 gives 0", {-1, -0.2, -3}, {0, 0.4, 0.6}, {1}, {1, 0, 1}, {0, 0, 0}, 0},
        {"Poisson only, k = 5", {3}, {5}, {2}, {tiny, 0, 1}, {poissonOnly(3, 5, 2)}, 1e-12},
        {"Poisson only, k = 40, v below 0",
         {-10},
         {83},
         {0.5},
         {tiny, 3, 2},
         {poissonOnly(-10, 40, 0.5)},
         1e-12},
        {"Poisson only, k = 0: the prior's pull", {4}, {1}, {0.5}, {tiny, 1, 3}, {3.5}, 1e-12},
        {"gamma tiny: max(v, 0)",
         {7, -7, 0.25},
         {2.2, 2.2, 40},
         {1e-14},
         {9, 2, 1.5},
         {7, 0, 0.25},
         1e-12},
        {"gamma huge: the ML count", {3, 3}, {5, 11}, {1e15}, {tiny, 0, 1}, {5, 11}, 1e-12},
        {"per-element Inf: the ML count", {3, 0}, {5, 2}, {inf, inf}, {tiny, 0, 1}, {5, 2}, 1e-12},
        {"ML at 0 where y <= mean + alpha / 2",
         {3, 3},
         {0.5, 0.2},
         {inf, inf},
         {1, 0, 1},
         {0, 0},
         0},
        // Dark pixels under small read noise: E[n | y, x] / x stays at its limit, F is linear
        // and its root sits on the first bracket's end. Bisecting towards it left errors of
        // 1e-14 after 40 steps.
        {"dark pixel: v - gamma on the bracket's end",
         {0.3, 0.3, 0.6, 0.51538237118853236, 0.88700305479401487},
         {0.05, -0.05, 0.1, 0.012756686535025877, 0.15282602109237559},
         {0.05},
         {0.01, 0, 1},
         {0.25, 0.25, 0.55, 0.51538237118853236 - 0.05, 0.88700305479401487 - 0.05},
         4e-16},
        // A fuzzer's find: v = -Inf under y = 1e154 once gave 1.08e-19, F(0) being Inf - Inf.
        {"bad elements",
         {nan, 1, 1, 1, 1, 1, 1, inf, -inf, -inf},
         {1, nan, inf, -inf, 1, 1, 1, 1, 1, 1e154},
         {1, 1, 1, 1, nan, 0, -2, 1, 1, 2.9},
         {1, 0, 1},
         {nan, nan, nan, nan, nan, nan, nan, inf, 0, 0},
         0},
        {"empty", {}, {}, {1}, {1, 0, 1}, {}, 0},
    };
    for (const Case &c : cases) {
        std::vector<double> x = prox(c.v, c.y, c.gamma, c.noise);
        ASSERT_EQ(x.size(), c.x.size()) << c.name;
        if (c.tolerance == 0) {
            EXPECT_TRUE(sameBits(x, c.x)) << c.name;
            continue;
        }
        for (size_t i = 0; i < x.size(); ++i) {
            EXPECT_NEAR(x[i], c.x[i], c.tolerance * std::fmax(1, c.x[i])) << c.name << " " << i;
        }
    }
}

// Elements over one regime of the noise: roots x* from 0 to 1e4, centres v on both sides of
// the root (v = x* + gamma grad(x*) has x* as its root) and below 0, steps from 1e-3 to 1e3.
struct Problem {
    std::vector<double> v, y, gamma;
};

Problem problemsOf(const Noise &n, int count, std::mt19937_64 &rng, PgProx *t) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Problem p;
    std::vector<double> roots(count);
    for (int i = 0; i < count; ++i) {
        roots[i] = i % 10 == 0 ? 0.0 : std::pow(10.0, 8 * unit(rng) - 4);
        roots[i] = roots[i] > 1e4 ? 1e4 * unit(rng) : roots[i];
        double sd = std::sqrt(n.var + n.alpha * n.alpha * roots[i]);
        p.y.push_back(n.alpha * roots[i] + n.mean + sd * (4 * unit(rng) - 2));
        p.gamma.push_back(std::pow(10.0, 6 * unit(rng) - 3));
    }
    const standin::Module &lik = loadModule("pglikmt");
    std::vector<double> at(roots);
    for (double &r : at) {
        r = std::fmax(r, 1e-300);
    }
    standin::Outcome g =
        standin::call(lik, 1,
                      {t->arrays.column(at), t->arrays.column(p.y), t->arrays.scalar(n.var),
                       t->arrays.scalar(n.mean), t->arrays.scalar(n.alpha)});
    std::vector<double> grad = standin::values(g.out());
    for (int i = 0; i < count; ++i) {
        double kind = unit(rng);
        p.v.push_back(kind < 0.7   ? roots[i] + p.gamma[i] * grad[i]
                      : kind < 0.9 ? roots[i] * (0.5 + unit(rng))
                                   : -10 * unit(rng) * std::fmax(1, roots[i]));
    }
    return p;
}

double worstError(PgProx *t, const Noise &n, int count, std::mt19937_64 &rng) {
    Problem p = problemsOf(n, count, rng, t);
    std::vector<double> x = t->prox(p.v, p.y, p.gamma, n);
    std::vector<double> ref = t->reference(p.v, p.y, p.gamma, n);
    double worst = 0;
    for (int i = 0; i < count; ++i) {
        double e = std::fabs(x[i] - ref[i]) / std::fmax(1, ref[i]);
        worst = std::fmax(worst, std::isnan(e) ? inf : e);
    }
    return worst;
}

// Against the reference root over the corners of the ranges: the target is 1e-12.
TEST_F(PgProx, AccurateAgainstBisectionOnTheGradient) {
    std::mt19937_64 rng(18);
    const std::vector<Noise> regimes = {{9, 2, 1.5}, {1e-6, 0, 1},    {1e6, 3, 1e-3},
                                        {1, 0, 1e3}, {1e-6, 1, 1e-3}, {1e6, -2, 1e3},
                                        {0.3, 1, 3}};
    for (const Noise &n : regimes) {
        EXPECT_LE(worstError(this, n, 300, rng), 1e-12) << "var " << n.var << ", alpha " << n.alpha;
    }
}

// The measured table of the documentation:
//   module_tests --gtest_also_run_disabled_tests --gtest_filter='*ProxAccuracyTable*'
TEST_F(PgProx, DISABLED_ProxAccuracyTable) {
    std::mt19937_64 rng(2026);
    std::printf("| alpha | var | worst error |\n|---|---|---|\n");
    for (double alpha : {1e-3, 0.1, 1.0, 30.0, 1e3}) {
        for (double var : {1e-6, 1e-2, 1.0, 1e3, 1e6}) {
            std::printf("| %g | %g | %.1e |\n", alpha, var,
                        worstError(this, {var, 2, alpha}, 2000, rng));
            std::fflush(stdout);
        }
    }
}

// A gamma per element gives each element's bits of a call with that element and its gamma.
TEST_F(PgProx, PerElementGammaIsElementByElement) {
    std::mt19937_64 rng(7);
    Noise n{4, 1, 0.8};
    Problem p = problemsOf(n, 200, rng, this);
    p.gamma[3] = inf;
    std::vector<double> together = prox(p.v, p.y, p.gamma, n);
    for (size_t i = 0; i < p.v.size(); ++i) {
        if (std::isinf(p.gamma[i])) {
            continue; // a scalar Inf is refused: the error table has it
        }
        EXPECT_TRUE(sameBits(prox({p.v[i]}, {p.y[i]}, {p.gamma[i]}, n), {together[i]}))
            << "element " << i;
    }
}

// Every processor count and every lane width give the same bits; the workers are every
// processor but no more than the slices the data fill, and the calling thread takes the last.
TEST_F(PgProx, SameBitsOnEveryWorkerCountAndPath) {
    std::mt19937_64 rng(22);
    Noise n{9, 2, 1.5};
    Problem p = problemsOf(n, 3 * kMinSlice + 77, rng, this);
    const int len = static_cast<int>(p.v.size());
    std::vector<const mxArray *> in = {arrays.column(p.v),     arrays.column(p.y),
                                       arrays.column(p.gamma), arrays.scalar(n.var),
                                       arrays.scalar(n.mean),  arrays.scalar(n.alpha)};
    interpose::setProcessors(1);
    standin::Outcome one = call(1, in);
    ASSERT_TRUE(one.ok);
    std::vector<double> reference = standin::values(one.out());
    for (const char *build : {"pgproxmt", "pgproxmt_avx2", "pgproxmt_scalar"}) {
        standin::Module &m = loadModule(build);
        for (long processors : {1L, 2L, 3L, 8L}) {
            int workers = processors < 3 ? static_cast<int>(processors) : 3;
            standin::Outcome r = callBuild<Started>(m, processors, in);
            ASSERT_TRUE(r.ok) << build;
            EXPECT_TRUE(sameBits(standin::values(r.out()), reference))
                << build << ", P = " << processors;
            ASSERT_EQ(static_cast<int>(Started::all().size()), workers - 1) << build;
            for (size_t i = 0; i < Started::all().size(); ++i) {
                EXPECT_EQ(Started::all()[i].len, len / workers);
                EXPECT_EQ(Started::all()[i].lanes, lanesOf(build, "pgproxmt"));
                EXPECT_EQ(Started::all()[i].v - Started::all()[0].v,
                          static_cast<long>(i) * (len / workers));
            }
        }
    }
}

} // namespace
