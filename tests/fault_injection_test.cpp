// Every failure point of one call, one at a time: the k-th allocation, the
// k-th thread start or the k-th array creation is made to fail, for
// k = 1, 2, ... until the call no longer meets the failure. Each call must end
// either with the output of an undisturbed call, bit for bit, or with a host
// error, and must leave no array, allocation or thread behind.
#include "module_test.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

enum class Fault { allocation, threadStart, arrayCreation };

const char *faultName(Fault fault) {
    switch (fault) {
    case Fault::allocation:
        return "allocation";
    case Fault::threadStart:
        return "thread start";
    case Fault::arrayCreation:
        return "array creation";
    }
    return "?";
}

// Threads of this process as the kernel counts them, so that a worker still
// running is seen whether or not anyone recorded its start.
int processThreads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 8, "Threads:") == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

// A joined thread may stay in the kernel's count for a moment after its join
// returns, so the count gets a short while to come back.
bool threadsSettleTo(int expected) {
    for (int i = 0; i < 400; ++i) {
        if (processThreads() == expected) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

using Inputs = std::vector<const mxArray *> (*)(standin::Arrays &);

struct FaultCase {
    const char *name;
    const char *module;
    long processors;
    // The failure points the call must meet: a dispatcher allocates its
    // handle array and one record per worker and starts one thread per
    // worker; every gateway creates one output array.
    int allocations;
    int threadStarts;
    int arrayCreations;
    // cppcheck-suppress unusedStructMember ; called through GetParam(), which it does not follow
    Inputs inputs;
    int nlhs = 1;
};

std::vector<const mxArray *> groupShrinkInputs(standin::Arrays &a) {
    return {a.column({3, 4, 0, 0, 1, -1, -5, 2, 2, 1, 8}), a.row({2, 2, 2, 1, 2, 1, 1}),
            a.scalar(2.5), a.real(0, 0), a.real(0, 0)};
}

std::vector<const mxArray *> slopeMapInputs(standin::Arrays &a) {
    const mxArray *e = a.real(0, 0);
    return {a.column({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}),
            a.column({0.5, 3, 2, 8, 1, 0, 7, 9, 2, 14, 1, 3, 12}),
            e,
            e,
            a.scalar(2),
            a.scalar(0.5),
            a.scalar(1.5),
            e};
}

std::vector<const mxArray *> obsExpScaleInputs(standin::Arrays &a) {
    return {a.row({0.5, 2, -1, 3}), a.scalar(2), a.scalar(0.5), a.scalar(1.5)};
}

std::vector<const mxArray *> termDecayInputs(standin::Arrays &a) {
    return {a.row({0.5, 2, -1}), a.scalar(1), a.scalar(0), a.scalar(1), a.scalar(2.5)};
}

std::vector<const mxArray *> pgLikInputs(standin::Arrays &a) {
    std::vector<double> x(700);
    std::vector<double> y(700);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = 0.05 * i;
        y[i] = 1.5 * x[i] + 2 + (i % 7) - 3.0;
    }
    return {a.column(x), a.row(y), a.scalar(9), a.scalar(2), a.scalar(1.5)};
}

// Long enough for three workers of pglikmt's minimum slice.
std::vector<const mxArray *> pgLikManyInputs(standin::Arrays &a) {
    std::vector<double> x(3 * 16384 + 100);
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = 0.001 * (i % 30000);
        y[i] = 1.5 * x[i] + 2 + (i % 7) - 3.0;
    }
    return {a.column(x), a.row(y), a.scalar(9), a.scalar(2), a.scalar(1.5)};
}

std::vector<const mxArray *> pgProxInputs(standin::Arrays &a, size_t count) {
    std::vector<double> v(count);
    std::vector<double> y(count);
    for (size_t i = 0; i < count; ++i) {
        v[i] = 0.001 * (i % 30000) - 3.0;
        y[i] = 1.5 * v[i] + 2 + (i % 7) - 3.0;
    }
    return {a.column(v), a.row(y), a.scalar(0.8), a.scalar(9), a.scalar(2), a.scalar(1.5)};
}

std::vector<const mxArray *> shiftProxInputs(standin::Arrays &a, size_t count) {
    std::vector<double> v(count);
    std::vector<double> u(count);
    for (size_t i = 0; i < count; ++i) {
        v[i] = 0.001 * (i % 30000) - 3.0;
        u[i] = static_cast<double>(i % 7);
    }
    return {a.column(v), a.row(u), a.scalar(0.8), a.scalar(0.25)};
}

// q, Hxt, Hx, sigma and the data, then the exact likelihood's noise or the shifted one's s.
std::vector<const mxArray *> dataPdStepInputs(standin::Arrays &a, size_t count, bool exact) {
    std::vector<double> q(count);
    std::vector<double> hxt(count);
    std::vector<double> hx(count);
    std::vector<double> data(count);
    for (size_t i = 0; i < count; ++i) {
        q[i] = 0.001 * (i % 30000) - 3.0;
        hxt[i] = 0.5 * (i % 5);
        hx[i] = 0.25 * (i % 9);
        data[i] = 1.5 * hxt[i] + 2 + (i % 7) - 3.0;
    }
    std::vector<const mxArray *> in = {a.column(q), a.row(hxt), a.column(hx), a.scalar(0.8),
                                       a.row(data)};
    for (double x : exact ? std::vector<double>{9, 2, 1.5} : std::vector<double>{0.25}) {
        in.push_back(a.scalar(x));
    }
    return in;
}

// A blurred 2-D step: the domain 6 by 5, its observed 4 by 3.
std::vector<const mxArray *> tvpdStepInputs(standin::Arrays &a) {
    auto ramp = [](size_t n, double scale) {
        std::vector<double> r(n);
        for (size_t i = 0; i < n; ++i) {
            r[i] = scale * static_cast<double>(i % 5) - 1.0;
        }
        return r;
    };
    const mxArray *domain = a.real(6, 5, ramp(30, 0.5));
    const mxArray *pairs = a.real(2, 30, ramp(60, 0.3));
    const mxArray *observed = a.real(4, 3, ramp(12, 0.7));
    return {domain,        domain,       pairs,    pairs,    domain,   domain,
            domain,        observed,     observed, observed, observed, a.row({0.5, 0.5, 0.2, 1.9}),
            a.row({1, 1}), a.row({1, 1})};
}

const std::vector<FaultCase> kCases = {
    {"groupshrinkmt_4_workers", "groupshrinkmt", 8, 5, 4, 1, groupShrinkInputs},
    {"groupshrinkmt_1_worker", "groupshrinkmt", 2, 2, 1, 1, groupShrinkInputs},
    {"slopemapmt_6_workers", "slopemapmt", 8, 7, 6, 1, slopeMapInputs},
    {"slopemapmt_1_worker", "slopemapmt", 1, 2, 1, 1, slopeMapInputs},
    {"obsexpscale", "obsexpscale", 8, 0, 0, 1, obsExpScaleInputs},
    {"termdecay", "termdecay", 8, 0, 0, 1, termDecayInputs},
    // With nll: the block sums, the handle array and one record per thread, the calling thread
    // taking the last slice; grad and nll. One worker starts no thread.
    {"pglikmt_3_workers", "pglikmt", 8, 4, 2, 2, pgLikManyInputs, 2},
    {"pglikmt_1_worker", "pglikmt", 2, 1, 0, 2, pgLikInputs, 2},
    {"pglikmt_grad_only", "pglikmt", 4, 3, 2, 1, pgLikManyInputs},
    {"pglikmt_dnll", "pglikmt", 8, 4, 2, 3, pgLikManyInputs, 3},
    // The handle array and a record per thread; one worker allocates nothing.
    {"pgproxmt_3_workers", "pgproxmt", 8, 3, 2, 1,
     [](standin::Arrays &a) { return pgProxInputs(a, 3 * 4096 + 10); }},
    {"pgproxmt_1_worker", "pgproxmt", 8, 0, 0, 1,
     [](standin::Arrays &a) { return pgProxInputs(a, 500); }},
    {"shiftproxmt_3_workers", "shiftproxmt", 8, 3, 2, 1,
     [](standin::Arrays &a) { return shiftProxInputs(a, 3 * 32768 + 10); }},
    {"shiftproxmt_1_worker", "shiftproxmt", 8, 0, 0, 1,
     [](standin::Arrays &a) { return shiftProxInputs(a, 500); }},
    // The handle array and a record per thread, either likelihood; one worker allocates nothing.
    {"datapdstep_exact_3_workers", "datapdstep", 8, 3, 2, 1,
     [](standin::Arrays &a) { return dataPdStepInputs(a, 3 * 4096 + 10, true); }},
    {"datapdstep_exact_1_worker", "datapdstep", 8, 0, 0, 1,
     [](standin::Arrays &a) { return dataPdStepInputs(a, 500, true); }},
    {"datapdstep_shifted_3_workers", "datapdstep", 8, 3, 2, 1,
     [](standin::Arrays &a) { return dataPdStepInputs(a, 3 * 32768 + 10, false); }},
    {"datapdstep_shifted_1_worker", "datapdstep", 8, 0, 0, 1,
     [](standin::Arrays &a) { return dataPdStepInputs(a, 500, false); }},
    // Only the outputs asked for are arrays; the rest share one scratch block.
    {"tvpdstep_all_outputs", "tvpdstep", 8, 0, 0, 8, tvpdStepInputs, 8},
    {"tvpdstep_one_output", "tvpdstep", 8, 1, 0, 1, tvpdStepInputs, 1},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FaultCase &c, std::ostream *os) {
    *os << c.name;
}

class FaultInjection : public ModuleTest, public ::testing::WithParamInterface<FaultCase> {
  protected:
    FaultInjection() : ModuleTest(GetParam().module) {}

    void SetUp() override {
        ModuleTest::SetUp();
        inputs_ = GetParam().inputs(arrays);
        interpose::setProcessors(GetParam().processors);
        standin::Outcome clean = call(GetParam().nlhs, inputs_);
        ASSERT_TRUE(clean.ok) << clean.id << ": " << clean.message;
        rows_ = mxGetM(clean.out());
        columns_ = mxGetN(clean.out());
        for (const mxArray *out : clean.outputs) {
            reference_.push_back(standin::values(out));
        }
    }

    // Fails the k-th point of one kind for k = 1, 2, ... and returns the
    // number of points the call met.
    int failEachPoint(Fault fault) {
        const int limit = 1000;
        for (int k = 1; k <= limit; ++k) {
            std::string where = std::string(faultName(fault)) + " " + std::to_string(k);
            long arraysBefore = standinLiveArrays();
            int threadsBefore = processThreads();
            interpose::reset();
            interpose::setProcessors(GetParam().processors);
            arm(fault, k);
            bool met = false;
            {
                standin::Outcome r = call(GetParam().nlhs, inputs_);
                met = wasMet(fault);
                arm(fault, 0);
                expectCompleteOrHostError(r, where);
                if (!met) {
                    EXPECT_TRUE(r.ok) << where << ": a call that met no failure failed";
                }
                if (met && !r.ok) {
                    ++hostErrors_;
                }
            }
            interpose::Counts c = interpose::counts();
            EXPECT_EQ(standinLiveArrays(), arraysBefore) << where << ": host arrays leaked";
            EXPECT_EQ(c.liveAllocations, 0) << where << ": module allocations leaked";
            EXPECT_EQ(c.unjoinedThreads, 0) << where << ": module threads never joined";
            EXPECT_EQ(c.joinsOfUnstarted, 0) << where;
            EXPECT_TRUE(threadsSettleTo(threadsBefore)) << where << ": a thread is still running";
            if (!met) {
                return k - 1;
            }
        }
        ADD_FAILURE() << faultName(fault) << " failures still met at k = " << limit;
        return limit;
    }

    int hostErrors_ = 0;

  private:
    static void arm(Fault fault, int k) {
        switch (fault) {
        case Fault::allocation:
            interpose::failAllocation(k);
            break;
        case Fault::threadStart:
            interpose::failThreadStart(k);
            break;
        case Fault::arrayCreation:
            standinFailCreation(k);
            break;
        }
    }

    static bool wasMet(Fault fault) {
        if (fault == Fault::arrayCreation) {
            return standinCreationFailurePending() == 0;
        }
        return interpose::counts().injectedFaults > 0;
    }

    void expectCompleteOrHostError(const standin::Outcome &r, const std::string &where) {
        if (!r.ok) {
            EXPECT_FALSE(r.id.empty()) << where;
            EXPECT_FALSE(r.message.empty()) << where;
            EXPECT_TRUE(r.outputs.empty()) << where;
            return;
        }
        ASSERT_EQ(r.outputs.size(), reference_.size()) << where;
        EXPECT_EQ(mxGetM(r.out()), rows_) << where;
        EXPECT_EQ(mxGetN(r.out()), columns_) << where;
        for (size_t k = 0; k < reference_.size(); ++k) {
            EXPECT_FALSE(mxIsComplex(r.outputs[k])) << where;
            EXPECT_TRUE(sameBits(standin::values(r.outputs[k]), reference_[k])) << where;
        }
    }

    std::vector<const mxArray *> inputs_;
    size_t rows_ = 0;
    size_t columns_ = 0;
    std::vector<std::vector<double>> reference_;
};

TEST_P(FaultInjection, EveryFailurePointEndsCompleteOrInAHostError) {
    const FaultCase &c = GetParam();
    int allocations = failEachPoint(Fault::allocation);
    int threadStarts = failEachPoint(Fault::threadStart);
    int arrayCreations = failEachPoint(Fault::arrayCreation);
    EXPECT_EQ(allocations, c.allocations);
    EXPECT_EQ(threadStarts, c.threadStarts);
    EXPECT_EQ(arrayCreations, c.arrayCreations);
    std::printf("%s (%ld processors): %d malloc points, %d thread starts, %d array creations; "
                "%d of these runs ended in a host error\n",
                c.module, c.processors, allocations, threadStarts, arrayCreations, hostErrors_);
    RecordProperty("mallocPoints", allocations);
    RecordProperty("threadStarts", threadStarts);
    RecordProperty("arrayCreations", arrayCreations);
}

INSTANTIATE_TEST_SUITE_P(Modules, FaultInjection, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
