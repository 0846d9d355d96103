// What the benchmarks here share: every benchmark runs kRepetitions times and is summed up as
// the median and the range (least to greatest) over them, never as one figure; pages touched for
// the first time are counted apart from the time, as minor faults per call.
#ifndef BENCH_REPETITIONS_H
#define BENCH_REPETITIONS_H

#include "warm_allocator.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace repetitions {

constexpr int kRepetitions = 5;

using Series = std::vector<double>;

// Minor faults per call of the timing loop that follows it, as the counter minflt; what the
// benchmark set up before it (inputs, the first call) is left out.
class FaultCount {
  public:
    FaultCount(benchmark::State &state, int callsPerIteration)
        : state_(state), calls_(callsPerIteration), start_(minorFaults()) {}
    ~FaultCount() {
        const double perIteration = static_cast<double>(minorFaults() - start_) / calls_;
        state_.counters["minflt"] =
            benchmark::Counter(perIteration, benchmark::Counter::kAvgIterations);
    }
    FaultCount(const FaultCount &) = delete;
    FaultCount &operator=(const FaultCount &) = delete;

  private:
    benchmark::State &state_;
    int calls_;
    long start_;
};

// Runs a benchmark kRepetitions times; the aggregates shown add min and max to Google
// Benchmark's mean, median and deviation.
inline benchmark::internal::Benchmark *repeated(benchmark::internal::Benchmark *b) {
    return b->Repetitions(kRepetitions)
        ->ComputeStatistics("min",
                            [](const Series &v) { return *std::min_element(v.begin(), v.end()); })
        ->ComputeStatistics("max",
                            [](const Series &v) { return *std::max_element(v.begin(), v.end()); });
}

// Every repetition of every benchmark, by name as registered (without the min_time and
// repetitions suffixes); only the aggregates over the repetitions go to the console.
class RepetitionReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        std::vector<Run> shown;
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1) {
                shown.push_back(run);
            }
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const std::string &args = run.run_name.args;
            Repetitions &r = byName_[run.run_name.function_name + (args.empty() ? "" : "/" + args)];
            const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            r.ns.push_back(run.GetAdjustedRealTime() * toNs);
            r.cpuNs.push_back(run.GetAdjustedCPUTime() * toNs);
            for (const auto &c : run.counters) {
                r.counters[c.first].push_back(c.second.value);
            }
        }
        if (!shown.empty()) {
            ConsoleReporter::ReportRuns(shown);
        }
    }

    // Real ns per iteration, one per repetition; empty when the benchmark did not run.
    Series ns(const std::string &name) const {
        auto it = byName_.find(name);
        return it == byName_.end() ? Series() : it->second.ns;
    }
    Series cpuNs(const std::string &name) const {
        auto it = byName_.find(name);
        return it == byName_.end() ? Series() : it->second.cpuNs;
    }
    Series counter(const std::string &name, const std::string &counterName) const {
        auto it = byName_.find(name);
        if (it == byName_.end()) {
            return {};
        }
        auto c = it->second.counters.find(counterName);
        return c == it->second.counters.end() ? Series() : c->second;
    }

  private:
    struct Repetitions {
        Series ns;
        Series cpuNs;
        std::map<std::string, Series> counters;
    };
    std::map<std::string, Repetitions> byName_;
};

inline double median(Series v) {
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    const size_t h = v.size() / 2;
    return v.size() % 2 == 1 ? v[h] : (v[h - 1] + v[h]) / 2;
}

// "median (min–max)" of a series, each with the given printf format.
inline std::string spread(const Series &v, const char *format, double scale = 1.0) {
    if (v.empty()) {
        return "-";
    }
    char text[128];
    const std::string f = std::string(format) + " (" + format + "–" + format + ")";
    std::snprintf(text, sizeof text, f.c_str(), median(v) * scale,
                  *std::min_element(v.begin(), v.end()) * scale,
                  *std::max_element(v.begin(), v.end()) * scale);
    return text;
}

} // namespace repetitions

#endif
