// Wall time of each module called through the stand-in host, each beside its floor measured in
// the same run:
//   slopemapmt, obsexpscale, termdecay: one thread calling the C library's exp on exactly the
//     arguments the module passes to it, written to memory that is already mapped;
//   groupshrinkmt: the largest of a plain copy of y's bytes (memory), the sequential
//     sum-of-squares chain over y (the additions depend on one another, so they cannot overlap)
//     and, for small groups, the one square root and one division each group needs.
// A module call includes what the host does for it: output creation (zero-filled), thread start
// and join, and the output's release. The allocator keeps what is freed and the stand-in host
// keeps released array data, so a call reuses the pages of the last one instead of faulting in
// fresh ones; what is still touched for the first time is counted apart, as minor faults per
// call (the counter minflt). The default build of groupshrinkmt, slopemapmt, pglikmt and pgproxmt
// also runs beside its narrower builds (_avx2, _scalar), all three in turn within each iteration.
// Every benchmark runs five times; the summary after the usual output gives the median and the
// range (min-max) over the five, the ratios paired repetition by repetition.

#include "harness.h"
#include "standin.h"
#include "repetitions.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace repetitions;

const int kSizes[] = {100, 10000, 1000000, 10000000};
const int kGroupSizes[] = {1, 2, 16, 1024};
const int kBuildGroupSizes[] = {1, 2, 3, 4, 8, 16, 1024};

std::string modulePath(const char *name) {
    return std::string(MEXA64_DIR) + "/" + name + ".mexa64";
}

// Host arrays owned by one benchmark for its whole run.
class HostArrays {
  public:
    HostArrays() = default;
    ~HostArrays() {
        for (mxArray *a : owned_) {
            mxDestroyArray(a);
        }
    }
    HostArrays(const HostArrays &) = delete;
    HostArrays &operator=(const HostArrays &) = delete;

    mxArray *make(size_t m, size_t n, const double *values) {
        mxArray *a = standinCreateFull(mxDOUBLE_CLASS, m, n, mxREAL);
        owned_.push_back(a);
        if (m * n > 0) {
            std::memcpy(standinRealData(a), values, m * n * sizeof(double));
        }
        return a;
    }
    mxArray *column(const std::vector<double> &v) {
        return make(v.size(), 1, v.data());
    }
    mxArray *scalar(double v) {
        return make(1, 1, &v);
    }

  private:
    std::vector<mxArray *> owned_;
};

std::vector<double> uniform(int n, double lo, double hi, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> draw(lo, hi);
    std::vector<double> v(static_cast<size_t>(n));
    for (double &e : v) {
        e = draw(gen);
    }
    return v;
}

// One call as the host makes it, output released afterwards as the host would. Returns the
// output's element count, or -1 on a host error.
long long callModule(standinEntry entry, std::vector<const mxArray *> &inputs, int nlhs = 1) {
    mxArray *plhs[3];
    char id[128];
    char message[1024];
    if (!standinCall(entry, nlhs, plhs, static_cast<int>(inputs.size()), inputs.data(), id,
                     sizeof id, message, sizeof message)) {
        std::fprintf(stderr, "host error %s: %s\n", id, message);
        return -1;
    }
    long long count = static_cast<long long>(mxGetNumberOfElements(plhs[0]));
    for (int k = 0; k < (nlhs > 1 ? nlhs : 1); ++k) {
        mxDestroyArray(plhs[k]);
    }
    return count;
}

void timeModule(benchmark::State &state, standinEntry entry, std::vector<const mxArray *> inputs,
                long long expected) {
    if (callModule(entry, inputs) != expected) {
        state.SkipWithError("the module refused the input or gave another length");
        return;
    }
    FaultCount faults(state, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(callModule(entry, inputs));
    }
    state.SetItemsProcessed(state.iterations() * expected);
}

// One module's default build and its narrower ones, in the order of kBuildNames.
const char *const kBuildNames[] = {"default", "avx2", "scalar"};
constexpr int kBuilds = 3;
struct Builds {
    standinEntry entry[kBuilds];
};

// Each iteration calls every build three times on the same inputs, in three orders that put each
// build first, second and last once, so that no build gains from its place however few the
// iterations. A repetition gives each build's median call, which a call slowed by another
// process on the machine moves less than the mean. Counters: us per call of each build, and the
// scalar build's time over each of the others'.
void timeModule(benchmark::State &state, const Builds &builds, std::vector<const mxArray *> inputs,
                long long expected, int nlhs = 1) {
    for (standinEntry entry : builds.entry) {
        if (callModule(entry, inputs, nlhs) != expected) {
            state.SkipWithError("a build refused the input or gave another length");
            return;
        }
    }
    Series ns[kBuilds];
    {
        FaultCount faults(state, kBuilds * kBuilds);
        for (auto _ : state) {
            for (int order = 0; order < kBuilds; ++order) {
                for (int k = 0; k < kBuilds; ++k) {
                    const int b = (order + k) % kBuilds;
                    const auto start = std::chrono::steady_clock::now();
                    benchmark::DoNotOptimize(callModule(builds.entry[b], inputs, nlhs));
                    ns[b].push_back(std::chrono::duration<double, std::nano>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
                }
            }
        }
    }
    double call[kBuilds];
    for (int b = 0; b < kBuilds; ++b) {
        call[b] = median(ns[b]);
        state.counters[std::string(kBuildNames[b]) + "_us"] = call[b] / 1e3;
    }
    state.counters["scalar/default"] = call[2] / call[0];
    state.counters["scalar/avx2"] = call[2] / call[1];
    state.SetItemsProcessed(state.iterations() * expected * kBuilds * kBuilds);
}

void expFloor(benchmark::State &state, const std::vector<double> &args) {
    std::vector<double> out(args.size());
    FaultCount faults(state, 1);
    for (auto _ : state) {
        for (size_t i = 0; i < args.size(); ++i) {
            out[i] = exp(args[i]);
        }
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(args.size()));
}

// The same exp loop into a new host output each time, created, written and released as a
// module's is: the floor with the host's share of a call included, so that a module's time is
// compared with it directly instead of through a difference of two noisy times.
void expIntoHostOutput(benchmark::State &state, const std::vector<double> &args) {
    FaultCount faults(state, 1);
    for (auto _ : state) {
        mxArray *out = mxCreateDoubleMatrix_700(static_cast<int>(args.size()), 1, mxREAL);
        double *d = mxGetPr(out);
        for (size_t i = 0; i < args.size(); ++i) {
            d[i] = exp(args[i]);
        }
        benchmark::ClobberMemory();
        mxDestroyArray(out);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(args.size()));
}

using ExpFloor = void (*)(benchmark::State &, const std::vector<double> &);

// Inputs of slopemapmt: a data term near where a restoration runs, x positive, var 2.
struct SlopeInputs {
    std::vector<double> x;
    std::vector<double> y;
    double var = 2.0;
    explicit SlopeInputs(int n) : x(uniform(n, 0.5, 10.0, 1)), y(uniform(n, 0.0, 10.0, 2)) {}
};

template <typename Callee> void slopemapmtCall(benchmark::State &state, const Callee &callee) {
    const int n = static_cast<int>(state.range(0));
    SlopeInputs in(n);
    HostArrays arrays;
    const mxArray *unused = arrays.scalar(0.0);
    timeModule(state, callee,
               {arrays.column(in.x), arrays.column(in.y), unused, unused, arrays.scalar(in.var),
                arrays.scalar(1.0), arrays.scalar(1.5), unused},
               n);
}

void slopemapmtFloor(benchmark::State &state, ExpFloor floor) {
    SlopeInputs in(static_cast<int>(state.range(0)));
    std::vector<double> args(in.x.size());
    for (size_t i = 0; i < args.size(); ++i) {
        double d = in.x[i] - in.y[i];
        double shifted = in.x[i] + in.var;
        args[i] = -((d + d) + 1.0) / (shifted + shifted);
    }
    floor(state, args);
}

// The whole map in a plain loop on one thread, into memory that is already mapped: what the
// arithmetic around exp adds to the exp floor, without threads or the host.
void slopemapmtLoop(benchmark::State &state) {
    SlopeInputs in(static_cast<int>(state.range(0)));
    std::vector<double> out(in.x.size());
    FaultCount faults(state, 1);
    for (auto _ : state) {
        for (size_t i = 0; i < out.size(); ++i) {
            double d = in.x[i] - in.y[i];
            double shifted = in.x[i] + in.var;
            out[i] = 1.0 - exp(-((d + d) + 1.0) / (shifted + shifted));
        }
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(out.size()));
}

struct ObsInputs {
    std::vector<double> y;
    double var = 2.0;
    double mean = 1.0;
    double alpha = 1.5;
    explicit ObsInputs(int n) : y(uniform(n, 0.0, 10.0, 3)) {}
};

void obsexpscaleCall(benchmark::State &state, standinEntry entry) {
    const int n = static_cast<int>(state.range(0));
    ObsInputs in(n);
    HostArrays arrays;
    timeModule(state, entry,
               {arrays.column(in.y), arrays.scalar(in.var), arrays.scalar(in.mean),
                arrays.scalar(in.alpha)},
               n);
}

void obsexpscaleFloor(benchmark::State &state, ExpFloor floor) {
    ObsInputs in(static_cast<int>(state.range(0)));
    const double q = in.alpha / in.var;
    std::vector<double> args(in.y.size());
    for (size_t i = 0; i < args.size(); ++i) {
        args[i] = (in.y[i] - in.mean) * q;
    }
    floor(state, args);
}

// termdecay's length follows from its inputs: with no observation above 0 it is
// ceil(ceil(sqrt(var) / alpha) * margin + 1). The margin aims half an element below n, so the
// ceiling lands on n whatever the rounding. alpha is chosen so that the last exponent is about
// -50: the table decays over its whole length instead of underflowing to 0 after a few hundred
// entries, where exp would take its shortcut.
struct DecayInputs {
    double var = 1.0;
    double alpha;
    double margin;
    explicit DecayInputs(int n) : alpha(std::sqrt(50.0 / n)) {
        margin = (n - 1.5) / std::ceil(std::sqrt(var) / alpha);
    }
};

void termdecayCall(benchmark::State &state, standinEntry entry) {
    const int n = static_cast<int>(state.range(0));
    DecayInputs in(n);
    HostArrays arrays;
    timeModule(state, entry,
               {arrays.scalar(0.0), arrays.scalar(in.var), arrays.scalar(0.0),
                arrays.scalar(in.alpha), arrays.scalar(in.margin)},
               n);
}

void termdecayFloor(benchmark::State &state, ExpFloor floor) {
    const int n = static_cast<int>(state.range(0));
    DecayInputs in(n);
    const double c = (in.alpha * in.alpha) / in.var;
    std::vector<double> args(static_cast<size_t>(n - 1));
    for (int k = 1; k < n; ++k) {
        args[static_cast<size_t>(k - 1)] = -(k * c);
    }
    floor(state, args);
}

// Groups of one size; the last takes what is left when the size does not divide n.
std::vector<double> degrees(int n, int group) {
    std::vector<double> d(static_cast<size_t>((n + group - 1) / group), group);
    d.back() = n - group * static_cast<int>(d.size() - 1);
    return d;
}

template <typename Callee> void groupshrinkmtCall(benchmark::State &state, const Callee &callee) {
    const int n = static_cast<int>(state.range(0));
    const int group = static_cast<int>(state.range(1));
    HostArrays arrays;
    const mxArray *unused = arrays.scalar(0.0);
    timeModule(state, callee,
               {arrays.column(uniform(n, -1.0, 1.0, 4)), arrays.column(degrees(n, group)),
                arrays.scalar(0.5), unused, unused},
               n);
}

// The gateway's own share of a groupshrinkmt call: every check, the degree sum over all the
// groups and the output's creation and release, on degrees that add up to one element too many
// and so fail the last check before any worker starts.
void groupshrinkmtRefused(benchmark::State &state, standinEntry entry) {
    const int n = static_cast<int>(state.range(0));
    std::vector<double> d = degrees(n, static_cast<int>(state.range(1)));
    d.back() += 1.0;
    HostArrays arrays;
    const mxArray *unused = arrays.scalar(0.0);
    std::vector<const mxArray *> inputs = {arrays.column(uniform(n, -1.0, 1.0, 4)),
                                           arrays.column(d), arrays.scalar(0.5), unused, unused};
    mxArray *plhs[1];
    char id[128];
    char message[1024];
    FaultCount faults(state, 1);
    for (auto _ : state) {
        if (standinCall(entry, 1, plhs, static_cast<int>(inputs.size()), inputs.data(), id,
                        sizeof id, message, sizeof message)) {
            mxDestroyArray(plhs[0]);
            state.SkipWithError("the degrees were not refused");
            return;
        }
    }
}

void copyFloor(benchmark::State &state) {
    const std::vector<double> y = uniform(static_cast<int>(state.range(0)), -1.0, 1.0, 4);
    std::vector<double> out(y.size());
    FaultCount faults(state, 1);
    for (auto _ : state) {
        std::memcpy(out.data(), y.data(), y.size() * sizeof(double));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(y.size()));
}

void chainFloor(benchmark::State &state) {
    const std::vector<double> y = uniform(static_cast<int>(state.range(0)), -1.0, 1.0, 4);
    FaultCount faults(state, 1);
    for (auto _ : state) {
        double sum = 0.0;
        for (double v : y) {
            sum += v * v;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(y.size()));
}

// What small groups cannot go below: one square root and one division per group, which the
// factor needs whatever else is done, on the group sums of y. Groups are independent, so this
// is a throughput bound, not a latency chain.
void groupFloor(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const int group = static_cast<int>(state.range(1));
    const std::vector<double> y = uniform(n, -1.0, 1.0, 4);
    std::vector<double> sums(static_cast<size_t>((n + group - 1) / group), 0.0);
    for (int i = 0; i < n; ++i) {
        sums[static_cast<size_t>(i / group)] +=
            y[static_cast<size_t>(i)] * y[static_cast<size_t>(i)];
    }
    std::vector<double> quotients(sums.size());
    FaultCount faults(state, 1);
    for (auto _ : state) {
        for (size_t g = 0; g < sums.size(); ++g) {
            quotients[g] = 0.5 / std::sqrt(sums[g]);
        }
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(quotients.data());
    state.SetItemsProcessed(state.iterations() * n);
}

// What the host spends on an output of n elements whatever the module does: creating it
// zero-filled, one write to every element (pages that are not reused are mapped on first touch)
// and releasing it. It is part of every module time above, and no module can avoid it.
void hostOutput(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    FaultCount faults(state, 1);
    for (auto _ : state) {
        mxArray *out = mxCreateDoubleMatrix_700(static_cast<int>(n), 1, mxREAL);
        double *d = mxGetPr(out);
        for (size_t i = 0; i < n; ++i) {
            d[i] = 1.0;
        }
        benchmark::ClobberMemory();
        mxDestroyArray(out);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(n));
}

void *idle(void *) {
    return nullptr;
}

// What starting and joining one thread costs by itself, beside the fixed cost of the calls.
// Inputs of pglikmt and pgproxmt: counts 0 to 30 drawn from the model with alpha 1.5, mean 2
// and var 9, the data of the element kernel's own measurements.
struct LikelihoodInputs {
    std::vector<double> x;
    std::vector<double> y;
    explicit LikelihoodInputs(int n) : x(uniform(n, 0.0, 30.0, 5)), y(x.size()) {
        std::mt19937_64 gen(6);
        std::normal_distribution<double> noise(0.0, 3.0);
        for (size_t i = 0; i < x.size(); ++i) {
            std::poisson_distribution<int> counts(x[i]);
            y[i] = 1.5 * counts(gen) + 2.0 + noise(gen);
        }
    }
};

// pglikmt's builds with range(1) outputs: grad, [grad, nll] or [grad, nll, dnll].
void pglikmtCall(benchmark::State &state, const Builds &builds) {
    const int n = static_cast<int>(state.range(0));
    LikelihoodInputs in(n);
    HostArrays arrays;
    timeModule(state, builds,
               {arrays.column(in.x), arrays.column(in.y), arrays.scalar(9.0), arrays.scalar(2.0),
                arrays.scalar(1.5)},
               n, static_cast<int>(state.range(1)));
}

// pgproxmt's builds at the centre v = x with the step range(1) / 10.
void pgproxmtCall(benchmark::State &state, const Builds &builds) {
    const int n = static_cast<int>(state.range(0));
    LikelihoodInputs in(n);
    HostArrays arrays;
    timeModule(state, builds,
               {arrays.column(in.x), arrays.column(in.y), arrays.scalar(state.range(1) / 10.0),
                arrays.scalar(9.0), arrays.scalar(2.0), arrays.scalar(1.5)},
               n);
}

void threadStartJoin(benchmark::State &state) {
    FaultCount faults(state, 1);
    for (auto _ : state) {
        pthread_t t;
        if (pthread_create(&t, nullptr, idle, nullptr) != 0) {
            state.SkipWithError("pthread_create failed");
            return;
        }
        pthread_join(t, nullptr);
    }
}

// a[k] * scale / b[k] for each repetition k: the two ran at the same point of the run.
Series ratio(const Series &a, const Series &b, double scale) {
    Series r;
    for (size_t k = 0; k < a.size() && k < b.size(); ++k) {
        r.push_back(a[k] * scale / b[k]);
    }
    return r;
}

Series minus(const Series &a, const Series &b) {
    Series r;
    for (size_t k = 0; k < a.size() && k < b.size(); ++k) {
        r.push_back(a[k] - b[k]);
    }
    return r;
}

// Rows of one Markdown table, printed under its title and header only when a row was added:
// a filtered run prints only the tables of what it ran.
class Table {
  public:
    Table(const char *title, const char *header) : title_(title), header_(header) {}
    void add(const std::string &row) {
        rows_ += row + "\n";
    }
    void print() const {
        if (!rows_.empty()) {
            std::printf("\n%s\n\n%s\n%s", title_, header_, rows_.c_str());
        }
    }

  private:
    const char *title_;
    const char *header_;
    std::string rows_;
};

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

benchmark::internal::Benchmark *timed(benchmark::internal::Benchmark *b) {
    return repeated(b)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(0.2);
}

std::string sized(const char *name, long long n) {
    return std::string(name) + "/" + std::to_string(n);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    keepFreedMemory();
    standinKeepReleasedData(1);
    const standin::Module slopemapmtModule(modulePath("slopemapmt"));
    const standin::Module slopemapmtAvx2(modulePath("slopemapmt_avx2"));
    const standin::Module slopemapmtScalar(modulePath("slopemapmt_scalar"));
    const standin::Module obsexpscaleModule(modulePath("obsexpscale"));
    const standin::Module termdecayModule(modulePath("termdecay"));
    const standin::Module groupshrinkmtModule(modulePath("groupshrinkmt"));
    const standin::Module groupshrinkmtAvx2(modulePath("groupshrinkmt_avx2"));
    const standin::Module groupshrinkmtScalar(modulePath("groupshrinkmt_scalar"));
    standinEntry slopemapmt = slopemapmtModule.entry();
    standinEntry obsexpscale = obsexpscaleModule.entry();
    standinEntry termdecay = termdecayModule.entry();
    standinEntry groupshrinkmt = groupshrinkmtModule.entry();
    const Builds slopemapmtBuilds = {
        {slopemapmt, slopemapmtAvx2.entry(), slopemapmtScalar.entry()}};
    const Builds groupshrinkmtBuilds = {
        {groupshrinkmt, groupshrinkmtAvx2.entry(), groupshrinkmtScalar.entry()}};
    const standin::Module pglikmtModule(modulePath("pglikmt"));
    const standin::Module pglikmtAvx2(modulePath("pglikmt_avx2"));
    const standin::Module pglikmtScalar(modulePath("pglikmt_scalar"));
    const Builds pglikmtBuilds = {
        {pglikmtModule.entry(), pglikmtAvx2.entry(), pglikmtScalar.entry()}};
    const standin::Module pgproxmtModule(modulePath("pgproxmt"));
    const standin::Module pgproxmtAvx2(modulePath("pgproxmt_avx2"));
    const standin::Module pgproxmtScalar(modulePath("pgproxmt_scalar"));
    const Builds pgproxmtBuilds = {
        {pgproxmtModule.entry(), pgproxmtAvx2.entry(), pgproxmtScalar.entry()}};

    // Each module first, then its floor on the same arguments, size by size.
    for (int n : kSizes) {
        timed(benchmark::RegisterBenchmark("slopemapmt", slopemapmtCall<standinEntry>, slopemapmt)
                  ->Arg(n));
        timed(benchmark::RegisterBenchmark("slopemapmt_exp", slopemapmtFloor, expFloor)->Arg(n));
        timed(benchmark::RegisterBenchmark("slopemapmt_exphost", slopemapmtFloor, expIntoHostOutput)
                  ->Arg(n));
        timed(benchmark::RegisterBenchmark("slopemapmt_loop", slopemapmtLoop)->Arg(n));
        timed(benchmark::RegisterBenchmark("obsexpscale", obsexpscaleCall, obsexpscale)->Arg(n));
        timed(benchmark::RegisterBenchmark("obsexpscale_exp", obsexpscaleFloor, expFloor)->Arg(n));
        timed(
            benchmark::RegisterBenchmark("obsexpscale_exphost", obsexpscaleFloor, expIntoHostOutput)
                ->Arg(n));
        timed(benchmark::RegisterBenchmark("termdecay", termdecayCall, termdecay)->Arg(n));
        timed(benchmark::RegisterBenchmark("termdecay_exp", termdecayFloor, expFloor)->Arg(n));
        timed(benchmark::RegisterBenchmark("termdecay_exphost", termdecayFloor, expIntoHostOutput)
                  ->Arg(n));
        for (int g : kGroupSizes) {
            timed(benchmark::RegisterBenchmark("groupshrinkmt", groupshrinkmtCall<standinEntry>,
                                               groupshrinkmt)
                      ->Args({n, g}));
            timed(benchmark::RegisterBenchmark("groupshrinkmt_sqrtdiv", groupFloor)->Args({n, g}));
        }
        timed(benchmark::RegisterBenchmark("groupshrinkmt_copy", copyFloor)->Arg(n));
        timed(benchmark::RegisterBenchmark("host_output", hostOutput)->Arg(n));
        timed(benchmark::RegisterBenchmark("groupshrinkmt_chain", chainFloor)->Arg(n));
    }
    timed(benchmark::RegisterBenchmark("slopemapmt", slopemapmtCall<standinEntry>, slopemapmt)
              ->Arg(1));
    timed(benchmark::RegisterBenchmark("obsexpscale", obsexpscaleCall, obsexpscale)->Arg(1));
    timed(benchmark::RegisterBenchmark("termdecay", termdecayCall, termdecay)->Arg(1));
    timed(benchmark::RegisterBenchmark("groupshrinkmt", groupshrinkmtCall<standinEntry>,
                                       groupshrinkmt)
              ->Args({1, 1}));
    timed(benchmark::RegisterBenchmark("thread_start_join", threadStartJoin));
    // The default build beside its narrower ones (make paths runs these alone).
    for (int n : kSizes) {
        for (int g : kBuildGroupSizes) {
            timed(benchmark::RegisterBenchmark("groupshrinkmt_builds", groupshrinkmtCall<Builds>,
                                               groupshrinkmtBuilds)
                      ->Args({n, g}));
            timed(benchmark::RegisterBenchmark("groupshrinkmt_refused", groupshrinkmtRefused,
                                               groupshrinkmt)
                      ->Args({n, g}));
        }
        timed(benchmark::RegisterBenchmark("slopemapmt_builds", slopemapmtCall<Builds>,
                                           slopemapmtBuilds)
                  ->Arg(n));
    }
    for (int n : {10000, 1000000}) {
        for (int outputs = 1; outputs <= 3; ++outputs) {
            timed(benchmark::RegisterBenchmark("pglikmt_builds", pglikmtCall, pglikmtBuilds)
                      ->Args({n, outputs}));
        }
        for (int tenths : {1, 10, 100}) {
            timed(benchmark::RegisterBenchmark("pgproxmt_builds", pgproxmtCall, pgproxmtBuilds)
                      ->Args({n, tenths}));
        }
    }

    RepetitionReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    const int shrinkWorkers = processors < 2 ? 1 : static_cast<int>(processors / 2);
    const int slopeWorkers = 3 * processors <= 3 ? 1 : static_cast<int>(3 * processors / 4);
    std::printf("\n%ld online processors: groupshrinkmt %d worker(s), slopemapmt %d. Each figure: "
                "median (min–max) over %d repetitions; ratios are taken repetition by repetition.\n"
                "minflt = minor page faults per call of the timed loop, the pages it touched for "
                "the first time: the allocator and the stand-in host keep freed memory, so a warm "
                "call should touch none.\n",
                processors, shrinkWorkers, slopeWorkers, kRepetitions);

    Table floors("host = what the stand-in host spends on the output alone (create, write, "
                 "release). call ratio = module time x workers / floor time; kernel ratio = "
                 "(module time - host) x workers / floor time. 1.00 = at the floor, per element "
                 "and worker.",
                 "| module | N | group | module ns/element | host ns/element | floor | floor "
                 "ns/element | call ratio | kernel ratio | minflt |\n"
                 "|---|---|---|---|---|---|---|---|---|---|");
    const auto row = [&reporter, &floors](const std::string &name, int n, const std::string &group,
                                          const Series &module, const char *floorName,
                                          const Series &floor, int workers, const Series &faults) {
        if (module.empty() || floor.empty()) {
            return;
        }
        const Series host = reporter.ns(sized("host_output", n));
        floors.add(format(
            "| %s | %d | %s | %s | %.3f | %s | %.3f | %s | %s | %.2f |", name.c_str(), n,
            group.c_str(), spread(module, "%.3f", 1.0 / n).c_str(), median(host) / n, floorName,
            median(floor) / n, spread(ratio(module, floor, workers), "%.2f").c_str(),
            spread(ratio(minus(module, host), floor, workers), "%.2f").c_str(), median(faults)));
    };
    const struct {
        const char *module;
        const char *floor;
        int workers;
    } expBound[] = {{"slopemapmt", "slopemapmt_exp", slopeWorkers},
                    {"obsexpscale", "obsexpscale_exp", 1},
                    {"termdecay", "termdecay_exp", 1}};
    for (const auto &m : expBound) {
        for (int n : kSizes) {
            const std::string name = sized(m.module, n);
            row(m.module, n, "", reporter.ns(name), "exp", reporter.ns(sized(m.floor, n)),
                m.workers, reporter.counter(name, "minflt"));
        }
    }
    for (int n : kSizes) {
        const std::string name = sized("slopemapmt_loop", n);
        row("slopemapmt plain loop", n, "", reporter.ns(name), "exp",
            reporter.ns(sized("slopemapmt_exp", n)), 1, reporter.counter(name, "minflt"));
    }
    for (int n : kSizes) {
        const Series copy = reporter.ns(sized("groupshrinkmt_copy", n));
        const Series chain = reporter.ns(sized("groupshrinkmt_chain", n));
        const bool chainBound = median(chain) > median(copy);
        for (int g : kGroupSizes) {
            const std::string suffix = "/" + std::to_string(g);
            const Series sqrtDiv = reporter.ns(sized("groupshrinkmt_sqrtdiv", n) + suffix);
            const char *floorName = chainBound ? "chain" : "copy";
            Series floor = chainBound ? chain : copy;
            if (median(sqrtDiv) > median(floor)) {
                floorName = "sqrt+div";
                floor = sqrtDiv;
            }
            const std::string name = sized("groupshrinkmt", n) + suffix;
            row("groupshrinkmt", n, std::to_string(g), reporter.ns(name), floorName, floor,
                shrinkWorkers, reporter.counter(name, "minflt"));
        }
    }
    floors.print();

    Table hostFloors("The exp-bound modules against the same exp loop into a new host output "
                     "(created, written, released as a module's is), per element and worker:",
                     "| module | N | module ns/element | exp into host output ns/element | ratio | "
                     "minflt module | minflt exp |\n|---|---|---|---|---|---|---|");
    for (const auto &m : expBound) {
        const std::string hostFloor = std::string(m.module) + "_exphost";
        for (int n : kSizes) {
            const std::string name = sized(m.module, n);
            const std::string floorName = sized(hostFloor.c_str(), n);
            const Series module = reporter.ns(name);
            const Series floor = reporter.ns(floorName);
            if (module.empty() || floor.empty()) {
                continue;
            }
            hostFloors.add(format("| %s | %d | %s | %s | %s | %.2f | %.2f |", m.module, n,
                                  spread(module, "%.3f", 1.0 / n).c_str(),
                                  spread(floor, "%.3f", 1.0 / n).c_str(),
                                  spread(ratio(module, floor, m.workers), "%.2f").c_str(),
                                  median(reporter.counter(name, "minflt")),
                                  median(reporter.counter(floorName, "minflt"))));
        }
    }
    hostFloors.print();

    Table builds("Each build of the same source through the stand-in host, called in turn in "
                 "every iteration: the default (widest vector worker the processor has), avx2 "
                 "and scalar. Above 1, the scalar build is slower:",
                 "| module | N | group | default us | avx2 us | scalar us | scalar / default | "
                 "scalar / avx2 | minflt | gateway alone us | workers' scalar / default |\n"
                 "|---|---|---|---|---|---|---|---|---|---|---|");
    const auto buildRow = [&reporter, &builds](const char *module, int n, int group) {
        const std::string name = sized((std::string(module) + "_builds").c_str(), n) +
                                 (group > 0 ? "/" + std::to_string(group) : std::string());
        if (reporter.ns(name).empty()) {
            return;
        }
        std::string times;
        for (const char *build : kBuildNames) {
            times += spread(reporter.counter(name, std::string(build) + "_us"), "%.1f") + " | ";
        }
        // What the workers take beyond the gateway's share, where that was measured: each
        // build's call less the gateway alone, repetition by repetition, in us.
        std::string gateway = "–";
        std::string workers = "–";
        const Series alone = reporter.ns(sized((std::string(module) + "_refused").c_str(), n) +
                                         "/" + std::to_string(group));
        if (!alone.empty()) {
            Series aloneUs;
            for (double ns : alone) {
                aloneUs.push_back(ns / 1e3);
            }
            gateway = spread(aloneUs, "%.1f");
            workers = spread(ratio(minus(reporter.counter(name, "scalar_us"), aloneUs),
                                   minus(reporter.counter(name, "default_us"), aloneUs), 1.0),
                             "%.2f");
        }
        builds.add(format("| %s | %d | %s | %s%s | %s | %.2f | %s | %s |", module, n,
                          group > 0 ? std::to_string(group).c_str() : "", times.c_str(),
                          spread(reporter.counter(name, "scalar/default"), "%.2f").c_str(),
                          spread(reporter.counter(name, "scalar/avx2"), "%.2f").c_str(),
                          median(reporter.counter(name, "minflt")), gateway.c_str(),
                          workers.c_str()));
    };
    for (int n : kSizes) {
        for (int g : kBuildGroupSizes) {
            buildRow("groupshrinkmt", n, g);
        }
    }
    for (int n : kSizes) {
        buildRow("slopemapmt", n, 0);
    }
    // The group column holds pglikmt's outputs (1 grad, 2 with nll, 3 with dnll) and pgproxmt's
    // step in tenths.
    for (int n : {10000, 1000000}) {
        for (int outputs = 1; outputs <= 3; ++outputs) {
            buildRow("pglikmt", n, outputs);
        }
        for (int tenths : {1, 10, 100}) {
            buildRow("pgproxmt", n, tenths);
        }
    }
    builds.print();

    Table fixed("Fixed cost of one call at N = 1 (thread start and join included where the "
                "module starts threads):",
                "| module | us per call | minflt |\n|---|---|---|");
    const char *fixedNames[] = {"slopemapmt/1", "obsexpscale/1", "termdecay/1", "groupshrinkmt/1/1",
                                "thread_start_join"};
    for (const char *name : fixedNames) {
        if (!reporter.ns(name).empty()) {
            fixed.add(format("| %s | %s | %.2f |", name,
                             spread(reporter.ns(name), "%.2f", 1e-3).c_str(),
                             median(reporter.counter(name, "minflt"))));
        }
    }
    fixed.print();
    benchmark::Shutdown();
    return 0;
}
