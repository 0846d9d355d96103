// Speed and accuracy of LambertW and LambertWApproximation beside Boost.Math's lambert_w0 and
// lambert_wm1, interval by interval, on the same points.
//
// Each benchmark evaluates one function over 4096 arguments drawn at random (fixed seed) from one
// interval, independent of each other, so the time is throughput per evaluation. The largest
// error over those arguments, in ulps of a quad-precision W(x), is attached as the counter
// max_ulp. Each runs five times; the summary table that follows the usual output gives the
// median CPU time per evaluation and its range over the five.

#include "LambertW.h"
#include "lambertw_reference.h"
#include "repetitions.h"

#include <benchmark/benchmark.h>
#include <boost/math/special_functions/lambert_w.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kPoints = 4096;
constexpr double kInvE = LambertWDetail::kInvE;

struct Interval {
    int branch;
    const char *name;
    double lo;
    double hi;
    bool logSpaced;
};

// Boost rejects arguments below the true -1/e, so the branch-point intervals start there.
const double kTrueBranchPoint = lambertwReference::branchPoint();

const Interval kIntervals[] = {
    {0, "[-1/e, -kInvE+1e-5) short series", kTrueBranchPoint, -kInvE + 1e-5, false},
    {0, "[-kInvE+1e-5, -0.3236) long series", -kInvE + 1e-5, -0.32358170806015724, false},
    {0, "[-0.3236, 0.1455) rational 1", -0.32358170806015724, 0.14546954290661823, false},
    {0, "[0.1455, 1-kInvE] rational 2", 0.14546954290661823, 1 - kInvE, false},
    {0, "(1-kInvE, 8.707) rational 2", std::nextafter(1 - kInvE, 2.0), 8.706658967856612, false},
    {0, "[8.707, 1e300] expansion", 8.706658967856612, 1e300, true},
    {-1, "[-1/e, -kInvE+1e-5] short series", kTrueBranchPoint, std::nextafter(-kInvE + 1e-5, 0.0),
     false},
    {-1, "(-kInvE+1e-5, -0.303) long series", std::nextafter(-kInvE + 1e-5, 0.0), -0.30298541769,
     false},
    {-1, "[-0.303, -0.0510) rational", -0.30298541769, -0.051012917658221676, false},
    {-1, "[-0.0510, -1e-300] iterated log", -0.051012917658221676, -1e-300, true},
};

std::vector<double> drawPoints(const Interval &in, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> xs;
    for (int k = 0; k < kPoints; ++k) {
        double x = 0;
        if (in.logSpaced) {
            const double a = std::log(std::fabs(in.lo));
            const double b = std::log(std::fabs(in.hi));
            const double m = std::exp(a + (b - a) * unit(gen));
            x = in.lo < 0 ? -m : m;
        } else {
            x = in.lo + (in.hi - in.lo) * unit(gen);
        }
        // Half-open intervals: keep the upper end out.
        xs.push_back(x < in.hi ? x : std::nextafter(in.hi, in.lo));
    }
    return xs;
}

using Fn = double (*)(double);

double boostW0(double x) {
    return boost::math::lambert_w0(x);
}

double boostWm1(double x) {
    return boost::math::lambert_wm1(x);
}

struct Contender {
    const char *name;
    Fn branch0;
    Fn branchM1;
};

const Contender kContenders[] = {
    {"LambertWApproximation", &LambertWApproximation<0>, &LambertWApproximation<-1>},
    {"LambertW", &LambertW<0>, &LambertW<-1>},
    {"boost", &boostW0, &boostWm1},
};

double maxUlps(Fn f, int branch, const std::vector<double> &xs) {
    double worst = 0;
    for (double x : xs) {
        const double e = lambertwReference::ulpError(f(x), lambertwReference::lambertW(branch, x));
        worst = e > worst ? e : worst;
    }
    return worst;
}

void evaluate(benchmark::State &state, Fn f, const std::vector<double> *xs, double ulps) {
    repetitions::FaultCount faults(state, 1);
    for (auto _ : state) {
        for (double x : *xs) {
            benchmark::DoNotOptimize(f(x));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(xs->size()));
    state.counters["max_ulp"] = ulps;
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    keepFreedMemory();
    std::vector<std::vector<double>> points;
    points.reserve(std::size(kIntervals));
    std::vector<std::vector<double>> ulps;
    std::vector<std::vector<std::string>> names;
    unsigned seed = 1;
    for (const Interval &in : kIntervals) {
        points.push_back(drawPoints(in, seed++));
        ulps.emplace_back();
        names.emplace_back();
        for (const Contender &c : kContenders) {
            const Fn f = in.branch == 0 ? c.branch0 : c.branchM1;
            const double u = maxUlps(f, in.branch, points.back());
            const std::string name =
                std::string("branch ") + std::to_string(in.branch) + " " + in.name + " " + c.name;
            repetitions::repeated(
                benchmark::RegisterBenchmark(name.c_str(), evaluate, f, &points.back(), u))
                ->Unit(benchmark::kNanosecond)
                ->MinTime(0.1);
            ulps.back().push_back(u);
            names.back().push_back(name);
        }
    }
    repetitions::RepetitionReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nCPU ns per evaluation, median (min–max) over %d repetitions:\n\n"
                "| branch | interval | approximation ns | ulps | LambertW ns | ulps | Boost ns | "
                "ulps |\n|---|---|---|---|---|---|---|---|\n",
                repetitions::kRepetitions);
    for (std::size_t i = 0; i < std::size(kIntervals); ++i) {
        std::printf("| %d | %s |", kIntervals[i].branch, kIntervals[i].name);
        for (std::size_t c = 0; c < std::size(kContenders); ++c) {
            const repetitions::Series ns = reporter.cpuNs(names[i][c]);
            if (ns.empty()) {
                std::printf(" - | - |");
                continue;
            }
            std::printf(" %s | %.3g |", repetitions::spread(ns, "%.2f", 1.0 / kPoints).c_str(),
                        ulps[i][c]);
        }
        std::printf("\n");
    }
    benchmark::Shutdown();
    return 0;
}
