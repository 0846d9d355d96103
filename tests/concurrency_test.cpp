// Host threads of a worker pool calling every gateway at the same time: each
// call must give the bits of a lone call, whether released array data is
// unmapped or kept and handed to the next array. The interposer watches no
// module here: its counters are per call and would mix the threads' calls.
#include "module_test.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>

namespace {

// Every output has this length, so with released data kept an output can
// land in the mapping of another module's output; termdecay never writes its
// element 0, so a reused mapping not zeroed again shows there.
constexpr int kLength = 3000;
constexpr int kThreads = 4;
constexpr int kRounds = 4; // released data is kept in the odd rounds
constexpr int kCallsPerRound = 60;

std::vector<double> draw(double lo, double hi, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(lo, hi);
    std::vector<double> v(kLength);
    for (double &e : v) {
        e = u(gen);
    }
    return v;
}

// Groups of 1 to 7 elements, the last taking what is left.
std::vector<double> mixedDegrees() {
    std::vector<double> d;
    int left = kLength;
    for (int g = 1; left > 0; g = g % 7 + 1) {
        d.push_back(g < left ? g : left);
        left -= g;
    }
    return d;
}

using Inputs = std::vector<const mxArray *> (*)(standin::Arrays &);

struct ConcurrentCase {
    const char *module;
    Inputs inputs;
};

const ConcurrentCase kCases[] = {
    {"groupshrinkmt",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         return {a.column(draw(-2, 2, 1)), a.column(mixedDegrees()), a.scalar(0.7), a.real(0, 0),
                 a.real(0, 0)};
     }},
    {"obsexpscale",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         return {a.row(draw(0, 10, 2)), a.scalar(3), a.scalar(1), a.scalar(1.7)};
     }},
    // No observation above 0 and a margin half an element below kLength.
    {"termdecay",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         const double alpha = std::sqrt(50.0 / kLength);
         return {a.scalar(0), a.scalar(1), a.scalar(0), a.scalar(alpha),
                 a.scalar((kLength - 1.5) / std::ceil(1 / alpha))};
     }},
    {"slopemapmt",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         const mxArray *e = a.real(0, 0);
         return {a.column(draw(0.5, 10, 3)),
                 a.column(draw(0, 10, 4)),
                 e,
                 e,
                 a.scalar(2),
                 a.scalar(0.5),
                 a.scalar(1.5),
                 e};
     }},
    {"pglikmt",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         return {a.column(draw(0, 30, 5)), a.column(draw(-5, 50, 6)), a.scalar(9), a.scalar(2),
                 a.scalar(1.5)};
     }},
    {"pgproxmt",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         return {a.column(draw(-5, 30, 7)),
                 a.column(draw(-5, 50, 8)),
                 a.column(draw(0.1, 10, 9)),
                 a.scalar(9),
                 a.scalar(2),
                 a.scalar(1.5)};
     }},
    {"shiftproxmt",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         return {a.column(draw(-5, 30, 10)), a.column(draw(0, 50, 11)), a.column(draw(0.1, 10, 12)),
                 a.scalar(0.25)};
     }},
    // Both likelihoods on the same arrays: exact, then shifted.
    {"datapdstep",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         return {a.column(draw(-5, 5, 18)),
                 a.column(draw(0, 3, 19)),
                 a.column(draw(0, 3, 20)),
                 a.scalar(0.6),
                 a.column(draw(0, 50, 21)),
                 a.scalar(9),
                 a.scalar(2),
                 a.scalar(1.5)};
     }},
    {"datapdstep",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         return {a.column(draw(-5, 5, 18)), a.column(draw(0, 3, 19)),
                 a.column(draw(0, 3, 20)),  a.scalar(0.6),
                 a.column(draw(0, 50, 21)), a.scalar(0.25)};
     }},
    // One output asked for: the others go to the call's own scratch block.
    {"tvpdstep",
     [](standin::Arrays &a) -> std::vector<const mxArray *> {
         const mxArray *e = a.real(0, 0);
         return {a.column(draw(0, 5, 13)),
                 a.column(draw(0, 5, 14)),
                 a.column(draw(-1, 1, 15)),
                 a.column(draw(-1, 1, 16)),
                 a.column(draw(-1, 1, 17)),
                 e,
                 e,
                 e,
                 e,
                 e,
                 e,
                 a.row({0.5, 0.5, 0.3, 1.9}),
                 a.row({1}),
                 a.row({1, 1})};
     }},
};
constexpr int kCaseCount = sizeof kCases / sizeof kCases[0];

TEST(ConcurrentCallers, EveryGatewayFromFourThreadsGivesTheBitsOfALoneCall) {
    interpose::reset();
    interpose::watch(nullptr);
    const long liveBefore = standinLiveArrays();
    standin::Arrays arrays;
    std::vector<const standin::Module *> modules;
    std::vector<std::vector<const mxArray *>> inputs;
    std::vector<std::vector<double>> expected;
    for (const ConcurrentCase &c : kCases) {
        modules.push_back(&loadModule(c.module));
        inputs.push_back(c.inputs(arrays));
        standin::Outcome r = standin::call(*modules.back(), 1, inputs.back());
        ASSERT_TRUE(r.ok) << c.module << ": " << r.id << ": " << r.message;
        ASSERT_EQ(mxGetNumberOfElements(r.out()), static_cast<size_t>(kLength)) << c.module;
        expected.push_back(standin::values(r.out()));
    }

    std::atomic<int> calls{0};
    std::atomic<int> mismatches[kCaseCount] = {};
    std::atomic<int> hostErrors[kCaseCount] = {};
    for (int round = 0; round < kRounds; ++round) {
        standinKeepReleasedData(round % 2);
        std::vector<std::thread> pool;
        for (int t = 0; t < kThreads; ++t) {
            // Each thread walks the table from its own row, so different gateways overlap.
            pool.emplace_back([&, t] {
                for (int k = 0; k < kCallsPerRound * kCaseCount; ++k) {
                    const int i = (t + k) % kCaseCount;
                    standin::Outcome r = standin::call(*modules[i], 1, inputs[i]);
                    ++calls;
                    if (!r.ok) {
                        ++hostErrors[i];
                    } else if (!sameBits(standin::values(r.out()), expected[i])) {
                        ++mismatches[i];
                    }
                }
            });
        }
        for (std::thread &t : pool) {
            t.join();
        }
    }
    standinKeepReleasedData(0);

    for (int i = 0; i < kCaseCount; ++i) {
        EXPECT_EQ(hostErrors[i].load(), 0) << kCases[i].module;
        EXPECT_EQ(mismatches[i].load(), 0) << kCases[i].module;
    }
    EXPECT_EQ(calls.load(), kRounds * kThreads * kCallsPerRound * kCaseCount);
    arrays.clear();
    EXPECT_EQ(standinLiveArrays(), liveBefore) << "host arrays leaked";
    std::printf("%d threads made %d calls of %d gateways, half of them with released data kept\n",
                kThreads, calls.load(), kCaseCount);
    RecordProperty("calls", calls.load());
}

} // namespace
