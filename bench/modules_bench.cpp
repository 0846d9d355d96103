// Wall time of each module called through the stand-in host, each beside its floor measured in
// the same run:
//   slopemapmt, obsexpscale, termdecay: one thread calling the C library's exp on exactly the
//     arguments the module passes to it, written to memory that is already mapped;
//   groupshrinkmt: the largest of a plain copy of y's bytes (memory), the sequential
//     sum-of-squares chain over y (the additions depend on one another, so they cannot overlap)
//     and, for small groups, the one square root and one division each group needs.
// A module call includes what the host does for it: output creation (fresh, zero-filled pages),
// thread start and join, and the output's release. Every benchmark runs three times and the
// summary after the usual output uses the median, with the ratio to the floor per element and
// worker, and the fixed cost of one call at N = 1.

#include "harness.h"
#include "standin.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <pthread.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const int kSizes[] = {100, 10000, 1000000, 10000000};
const int kGroupSizes[] = {1, 2, 16, 1024};

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
long long callModule(standinEntry entry, std::vector<const mxArray *> &inputs) {
    mxArray *plhs[1];
    char id[128];
    char message[1024];
    if (!standinCall(entry, 1, plhs, static_cast<int>(inputs.size()), inputs.data(), id, sizeof id,
                     message, sizeof message)) {
        std::fprintf(stderr, "host error %s: %s\n", id, message);
        return -1;
    }
    long long count = static_cast<long long>(mxGetNumberOfElements(plhs[0]));
    mxDestroyArray(plhs[0]);
    return count;
}

void timeModule(benchmark::State &state, standinEntry entry, std::vector<const mxArray *> inputs,
                long long expected) {
    if (callModule(entry, inputs) != expected) {
        state.SkipWithError("the module refused the input or gave another length");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(callModule(entry, inputs));
    }
    state.SetItemsProcessed(state.iterations() * expected);
}

void expFloor(benchmark::State &state, const std::vector<double> &args) {
    std::vector<double> out(args.size());
    for (auto _ : state) {
        for (size_t i = 0; i < args.size(); ++i) {
            out[i] = exp(args[i]);
        }
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(args.size()));
}

// The same exp loop into a fresh host output each time, created, written and released as a
// module's is: the floor with the host's share of a call included, so that a module's time is
// compared with it directly instead of through a difference of two noisy times.
void expIntoHostOutput(benchmark::State &state, const std::vector<double> &args) {
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

void slopemapmtCall(benchmark::State &state, standinEntry entry) {
    const int n = static_cast<int>(state.range(0));
    SlopeInputs in(n);
    HostArrays arrays;
    const mxArray *unused = arrays.scalar(0.0);
    timeModule(state, entry,
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

void groupshrinkmtCall(benchmark::State &state, standinEntry entry) {
    const int n = static_cast<int>(state.range(0));
    const int group = static_cast<int>(state.range(1));
    HostArrays arrays;
    const mxArray *unused = arrays.scalar(0.0);
    timeModule(state, entry,
               {arrays.column(uniform(n, -1.0, 1.0, 4)), arrays.column(degrees(n, group)),
                arrays.scalar(0.5), unused, unused},
               n);
}

void copyFloor(benchmark::State &state) {
    const std::vector<double> y = uniform(static_cast<int>(state.range(0)), -1.0, 1.0, 4);
    std::vector<double> out(y.size());
    for (auto _ : state) {
        std::memcpy(out.data(), y.data(), y.size() * sizeof(double));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(y.size()));
}

void chainFloor(benchmark::State &state) {
    const std::vector<double> y = uniform(static_cast<int>(state.range(0)), -1.0, 1.0, 4);
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
// zero-filled, one write to every element (a fresh array's pages are mapped on first touch) and
// releasing it. It is part of every module time above, and no module can avoid it.
void hostOutput(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
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
void threadStartJoin(benchmark::State &state) {
    for (auto _ : state) {
        pthread_t t;
        if (pthread_create(&t, nullptr, idle, nullptr) != 0) {
            state.SkipWithError("pthread_create failed");
            return;
        }
        pthread_join(t, nullptr);
    }
}

// Median real time per iteration in ns, by benchmark name without the aggregate suffix.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const double ns =
                run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            // The name as registered, without the min_time and repetitions suffixes.
            const std::string &args = run.run_name.args;
            const std::string name = run.run_name.function_name + (args.empty() ? "" : "/" + args);
            if (run.run_type == Run::RT_Iteration && nsPerCall.count(name) == 0) {
                nsPerCall[name] = ns;
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                nsPerCall[name] = ns;
            }
        }
    }
    double find(const std::string &name) const {
        auto it = nsPerCall.find(name);
        return it == nsPerCall.end() ? NAN : it->second;
    }
    std::map<std::string, double> nsPerCall;
};

benchmark::internal::Benchmark *timed(benchmark::internal::Benchmark *b) {
    return b->UseRealTime()
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(0.2)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
}

std::string sized(const char *name, long long n) {
    return std::string(name) + "/" + std::to_string(n);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    const standin::Module slopemapmtModule(modulePath("slopemapmt"));
    const standin::Module obsexpscaleModule(modulePath("obsexpscale"));
    const standin::Module termdecayModule(modulePath("termdecay"));
    const standin::Module groupshrinkmtModule(modulePath("groupshrinkmt"));
    standinEntry slopemapmt = slopemapmtModule.entry();
    standinEntry obsexpscale = obsexpscaleModule.entry();
    standinEntry termdecay = termdecayModule.entry();
    standinEntry groupshrinkmt = groupshrinkmtModule.entry();

    // Each module first, then its floor on the same arguments, size by size.
    for (int n : kSizes) {
        timed(benchmark::RegisterBenchmark("slopemapmt", slopemapmtCall, slopemapmt)->Arg(n));
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
            timed(benchmark::RegisterBenchmark("groupshrinkmt", groupshrinkmtCall, groupshrinkmt)
                      ->Args({n, g}));
            timed(benchmark::RegisterBenchmark("groupshrinkmt_sqrtdiv", groupFloor)->Args({n, g}));
        }
        timed(benchmark::RegisterBenchmark("groupshrinkmt_copy", copyFloor)->Arg(n));
        timed(benchmark::RegisterBenchmark("host_output", hostOutput)->Arg(n));
        timed(benchmark::RegisterBenchmark("groupshrinkmt_chain", chainFloor)->Arg(n));
    }
    timed(benchmark::RegisterBenchmark("slopemapmt", slopemapmtCall, slopemapmt)->Arg(1));
    timed(benchmark::RegisterBenchmark("obsexpscale", obsexpscaleCall, obsexpscale)->Arg(1));
    timed(benchmark::RegisterBenchmark("termdecay", termdecayCall, termdecay)->Arg(1));
    timed(benchmark::RegisterBenchmark("groupshrinkmt", groupshrinkmtCall, groupshrinkmt)
              ->Args({1, 1}));
    timed(benchmark::RegisterBenchmark("thread_start_join", threadStartJoin));

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    const int shrinkWorkers = processors < 2 ? 1 : static_cast<int>(processors / 2);
    const int slopeWorkers = 3 * processors <= 3 ? 1 : static_cast<int>(3 * processors / 4);
    std::printf("\n%ld online processors: groupshrinkmt %d worker(s), slopemapmt %d.\n"
                "host = what the stand-in host spends on the output alone (create, first write, "
                "release).\n"
                "call ratio = module time x workers / floor time; kernel ratio = (module time - "
                "host) x workers / floor time.\n1.00 = at the floor, per element and worker.\n\n",
                processors, shrinkWorkers, slopeWorkers);
    std::printf("| module | N | group | module ns/element | host ns/element | floor | floor "
                "ns/element | call ratio | kernel ratio |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    const auto row = [&reporter](const char *name, int n, const std::string &group, double module,
                                 const char *floorName, double floor, int workers) {
        const double host = reporter.find(sized("host_output", n));
        std::printf("| %s | %d | %s | %.3f | %.3f | %s | %.3f | %.2f | %.2f |\n", name, n,
                    group.c_str(), module / n, host / n, floorName, floor / n,
                    module * workers / floor, (module - host) * workers / floor);
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
            row(m.module, n, "", reporter.find(sized(m.module, n)), "exp",
                reporter.find(sized(m.floor, n)), m.workers);
        }
    }
    for (int n : kSizes) {
        const double loop = reporter.find(sized("slopemapmt_loop", n));
        row("slopemapmt plain loop", n, "", loop, "exp", reporter.find(sized("slopemapmt_exp", n)),
            1);
    }
    for (int n : kSizes) {
        const double copy = reporter.find(sized("groupshrinkmt_copy", n));
        const double chain = reporter.find(sized("groupshrinkmt_chain", n));
        const bool chainBound = chain > copy;
        for (int g : kGroupSizes) {
            const std::string suffix = "/" + std::to_string(g);
            const double sqrtDiv = reporter.find(sized("groupshrinkmt_sqrtdiv", n) + suffix);
            const char *floorName = chainBound ? "chain" : "copy";
            double floor = chainBound ? chain : copy;
            if (sqrtDiv > floor) {
                floorName = "sqrt+div";
                floor = sqrtDiv;
            }
            row("groupshrinkmt", n, std::to_string(g),
                reporter.find(sized("groupshrinkmt", n) + suffix), floorName, floor, shrinkWorkers);
        }
    }
    std::printf("\nThe exp-bound modules against the same exp loop into a fresh host output "
                "(created, written, released as a module's is), per element and worker:\n\n"
                "| module | N | module ns/element | exp into host output ns/element | ratio |\n"
                "|---|---|---|---|---|\n");
    for (const auto &m : expBound) {
        const std::string hostFloor = std::string(m.module) + "_exphost";
        for (int n : kSizes) {
            const double module = reporter.find(sized(m.module, n));
            const double floor = reporter.find(sized(hostFloor.c_str(), n));
            std::printf("| %s | %d | %.3f | %.3f | %.2f |\n", m.module, n, module / n, floor / n,
                        module * m.workers / floor);
        }
    }
    std::printf("\nFixed cost of one call at N = 1 (thread start and join included where the "
                "module starts threads):\n\n| module | us per call |\n|---|---|\n");
    const char *fixed[] = {"slopemapmt/1", "obsexpscale/1", "termdecay/1", "groupshrinkmt/1/1",
                           "thread_start_join"};
    for (const char *name : fixed) {
        std::printf("| %s | %.2f |\n", name, reporter.find(name) / 1e3);
    }
    benchmark::Shutdown();
    return 0;
}
