#include "module_test.h"

#include <cmath>
#include <limits>
#include <random>

namespace {

using Vec = std::vector<double>;

// WorkerArgs as the module lays it out, seen through the thread-start hook.
struct WorkerArgsView {
    // cppcheck-suppress unusedStructMember
    double *t;
    // cppcheck-suppress unusedStructMember ; read through Started::all()
    const double *v;
    // cppcheck-suppress unusedStructMember
    const double *u;
    // cppcheck-suppress unusedStructMember
    const double *gamma;
    // cppcheck-suppress unusedStructMember
    bool gammaPerElement;
    // cppcheck-suppress unusedStructMember
    double s;
    // cppcheck-suppress unusedStructMember ; read through Started::all()
    int len;
    // cppcheck-suppress unusedStructMember
    void (*path)();
};

using Started = StartedRecords<WorkerArgsView>;

const int kMinSlice = 32768;

class ShiftProx : public ModuleTest {
  protected:
    ShiftProx() : ModuleTest("shiftproxmt") {}
};

TEST_F(ShiftProx, GatewayErrorsInCheckingOrder) {
    standin::Arrays &a = arrays;
    const mxArray *v = a.row({1, 2, 3});
    const mxArray *one = a.scalar(1);
    const char *gammaClass = "Input gamma must be a full real double scalar or array.";
    const char *gammaValue = "Input gamma must be positive and finite.";
    const char *sValue = "Input s must be nonnegative and finite.";
    std::vector<ErrorCase> cases = {
        {"three inputs",
         1,
         {v, v, one},
         "pgmex:shiftproxmt:invalidNumInputs",
         "Four inputs required: v, u - arrays of the same number of elements; gamma - a "
         "positive scalar, or an array like v; s - a nonnegative scalar."},
        {"two outputs",
         2,
         {v, v, one, one},
         "pgmex:shiftproxmt:invalidNumOutputs",
         "One output at most: t."},
        {"v single",
         1,
         {a.ofClass(mxSINGLE_CLASS, 1, 3), a.real(0, 0), one, one},
         "pgmex:shiftproxmt:vNotDouble",
         "Input v must be a full real double array."},
        {"v complex",
         1,
         {a.complex(1, 1, {1}, {1}), a.real(0, 0), one, one},
         "pgmex:shiftproxmt:vComplex",
         "Input v must be real."},
        {"u sparse",
         1,
         {v, a.sparse(1, 3, {0, 0, 0}), one, one},
         "pgmex:shiftproxmt:uNotDouble",
         "Input u must be a full real double array."},
        {"u complex",
         1,
         {v, a.complex(1, 3, {1, 1, 1}, {0, 0, 0}), one, one},
         "pgmex:shiftproxmt:uComplex",
         "Input u must be real."},
        {"u shorter",
         1,
         {v, a.row({1, 2}), a.real(0, 0), one},
         "pgmex:shiftproxmt:lengthMismatch",
         "Inputs v and u must have the same number of elements."},
        {"v of 2^31",
         1,
         {a.shapeOnly(65536, 32768), a.shapeOnly(65536, 32768), one, one},
         "pgmex:shiftproxmt:vTooLong",
         "Input v must have at most 2147483647 elements, in all and along any dimension."},
        {"gamma single",
         1,
         {v, v, a.ofClass(mxSINGLE_CLASS, 1, 1), a.real(0, 0)},
         "pgmex:shiftproxmt:gammaNotDouble",
         gammaClass},
        {"gamma complex",
         1,
         {v, v, a.complex(1, 1, {1}, {0}), one},
         "pgmex:shiftproxmt:gammaNotDouble",
         gammaClass},
        {"gamma of two",
         1,
         {v, v, a.row({1, 1}), a.real(0, 0)},
         "pgmex:shiftproxmt:gammaSize",
         "Input gamma must be a scalar or have as many elements as v."},
        {"gamma 0",
         1,
         {v, v, a.scalar(0), a.real(0, 0)},
         "pgmex:shiftproxmt:gammaNotPositive",
         gammaValue},
        {"gamma Inf",
         1,
         {v, v, a.scalar(HUGE_VAL), one},
         "pgmex:shiftproxmt:gammaNotPositive",
         gammaValue},
        {"s empty",
         1,
         {v, v, a.row({1, 1, 1}), a.real(0, 0)},
         "pgmex:shiftproxmt:sNotScalar",
         "Input s must be a real double scalar."},
        {"s negative",
         1,
         {v, v, one, a.scalar(-1e-300)},
         "pgmex:shiftproxmt:sNotNonnegative",
         sValue},
        {"s NaN", 1, {v, v, one, a.scalar(NAN)}, "pgmex:shiftproxmt:sNotNonnegative", sValue},
    };
    expectErrors(cases);
}

// The root must be the minimiser: where t > 0 the gradient (1 - u/(t + s)) + (t - v)/gamma
// vanishes, to rounding relative to its terms and to t's own rounding; where t = 0 it is not
// negative at 0.
TEST_F(ShiftProx, RootsSatisfyTheOptimalityCondition) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (double s : {0.0, 1e-4, 0.25, 9.0, 1e4}) {
        for (double gamma : {1e-6, 0.05, 1.0, 40.0, 1e6}) {
            Vec v(200), u(200);
            for (size_t i = 0; i < v.size(); ++i) {
                double scale = std::pow(10.0, 6.0 * unit(rng) - 2.0);
                v[i] = (2.0 * unit(rng) - 1.0) * scale;
                u[i] = i % 5 == 0 ? 0.0 : std::floor(scale * unit(rng)) + s;
            }
            standin::Outcome r = call(
                1, {arrays.column(v), arrays.column(u), arrays.scalar(gamma), arrays.scalar(s)});
            ASSERT_TRUE(r.ok) << r.id;
            Vec t = standin::values(r.out());
            for (size_t i = 0; i < t.size(); ++i) {
                double z = t[i] + s;
                double ratio = u[i] == 0.0 ? 0.0 : u[i] / z; // no photons: the term is z alone
                double size = 1.0 + ratio + (std::fabs(t[i]) + std::fabs(v[i])) / gamma;
                // t = z - s is known to an ulp of z, which the gradient's slope magnifies.
                double slope = 1.0 / gamma + (ratio == 0.0 ? 0.0 : ratio / z);
                double tolerance =
                    1e-12 * size + 4.0 * std::numeric_limits<double>::epsilon() * z * slope;
                double gradient = (1.0 - ratio) + (t[i] - v[i]) / gamma;
                if (t[i] > 0.0) {
                    EXPECT_LE(std::fabs(gradient), tolerance)
                        << "s " << s << ", gamma " << gamma << ", v " << v[i] << ", u " << u[i];
                } else {
                    EXPECT_EQ(t[i], 0.0);
                    EXPECT_GE(gradient, -tolerance)
                        << "s " << s << ", gamma " << gamma << ", v " << v[i] << ", u " << u[i];
                }
            }
        }
    }
}

// Every processor count and every lane width give the same bits; the workers are every
// processor but no more than the slices the data fill, and the calling thread takes the last.
TEST_F(ShiftProx, SameBitsOnEveryWorkerCountAndPath) {
    std::mt19937_64 rng(22);
    std::normal_distribution<double> normal;
    const int len = 3 * kMinSlice + 77;
    Vec v(len), u(len), gamma(len);
    for (int i = 0; i < len; ++i) {
        v[i] = 4.0 * normal(rng);
        u[i] = std::fabs(3.0 + 2.0 * normal(rng));
        gamma[i] = i % 97 == 0 ? HUGE_VAL : std::exp(normal(rng));
    }
    std::vector<const mxArray *> in = {arrays.column(v), arrays.column(u), arrays.column(gamma),
                                       arrays.scalar(0.3)};
    interpose::setProcessors(1);
    standin::Outcome one = call(1, in);
    ASSERT_TRUE(one.ok);
    Vec reference = standin::values(one.out());
    for (const char *build : {"shiftproxmt", "shiftproxmt_avx2", "shiftproxmt_scalar"}) {
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
                EXPECT_EQ(Started::all()[i].v - Started::all()[0].v,
                          static_cast<long>(i) * (len / workers));
            }
        }
    }
}

} // namespace
