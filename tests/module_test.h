// Base fixture of every module suite: loads the module once, watches its
// library calls, and after each test proves that no array, allocation or
// thread outlived the call.
#ifndef TESTS_MODULE_TEST_H
#define TESTS_MODULE_TEST_H

#include "harness.h"
#include "interpose.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

inline standin::Module &loadModule(const std::string &name) {
    static std::map<std::string, std::unique_ptr<standin::Module>> loaded;
    std::unique_ptr<standin::Module> &m = loaded[name];
    if (!m) {
        m = std::make_unique<standin::Module>(std::string(MEXA64_DIR) + "/" + name + ".mexa64");
    }
    return *m;
}

// One expected host error, for tables of gateway cases.
struct ErrorCase {
    const char *name;
    int nlhs;
    std::vector<const mxArray *> inputs;
    const char *id;
    const char *message;
};

// Each worker record a module starts, copied as its thread starts: Record
// mirrors the module's own record layout.
template <typename Record> class StartedRecords {
  public:
    static void watch() {
        all().clear();
        interpose::onThreadStart(copy);
    }
    static std::vector<Record> &all() {
        static std::vector<Record> records;
        return records;
    }

  private:
    static void copy(const void *record) {
        all().push_back(*static_cast<const Record *>(record));
    }
};

// One worker path of a module with vector workers: the build that caps the
// module at that path (the widest build has no suffix), and whether this
// processor can run it. A suite on a path the processor lacks is skipped,
// never passed.
struct WorkerPath {
    const char *name;
    const char *suffix;
};

inline const std::vector<WorkerPath> &workerPaths() {
    static const std::vector<WorkerPath> paths = {
        {"scalar", "_scalar"}, {"avx2", "_avx2"}, {"avx512", ""}};
    return paths;
}

inline bool processorRuns(const WorkerPath &path) {
    std::string name = path.name;
#if defined(__x86_64__) && defined(__GNUC__)
    if (name == "avx2") {
        return __builtin_cpu_supports("avx2");
    }
    if (name == "avx512") {
        return __builtin_cpu_supports("avx512f");
    }
#endif
    return name == "scalar";
}

// The lanes the element kernel's path must have in each build of a module (MODULE, MODULE_avx2,
// MODULE_scalar) on this processor: two registers of AVX-512 or AVX2 lanes, or one double.
inline int lanesOf(const std::string &build, const std::string &module) {
    bool avx512 = processorRuns({"avx512", ""});
    bool avx2 = processorRuns({"avx2", ""});
    if (build == module) {
        return avx512 ? 16 : avx2 ? 8 : 1;
    }
    return build == module + "_avx2" && avx2 ? 8 : 1;
}

inline void PrintTo(const WorkerPath &path, std::ostream *os) {
    *os << path.name;
}

inline std::string workerPathName(const ::testing::TestParamInfo<WorkerPath> &info) {
    return info.param.name;
}

// A module suite run once per worker path, on the module's build capped at
// that path.
template <typename Suite>
class PathSuite : public Suite, public ::testing::WithParamInterface<WorkerPath> {
  protected:
    explicit PathSuite(const char *module) : Suite(std::string(module) + GetParam().suffix) {}

    void SetUp() override {
        Suite::SetUp();
        if (!processorRuns(GetParam())) {
            GTEST_SKIP() << "this processor cannot run the " << GetParam().name << " worker";
        }
    }
};

class ModuleTest : public ::testing::Test {
  protected:
    explicit ModuleTest(const std::string &moduleName) : module_(loadModule(moduleName)) {}

    void SetUp() override {
        liveArrays_ = standinLiveArrays();
        interpose::reset();
        interpose::watch(&module_);
    }

    void TearDown() override {
        interpose::Counts c = interpose::counts();
        interpose::watch(nullptr);
        interpose::reset();
        standinFailCreation(0);
        arrays.clear();
        EXPECT_EQ(standinLiveArrays(), liveArrays_) << "host arrays leaked";
        EXPECT_EQ(c.liveAllocations, 0) << "module allocations leaked";
        EXPECT_EQ(c.unjoinedThreads, 0) << "module threads never joined";
        EXPECT_EQ(c.joinsOfUnstarted, 0) << "module joined a thread it never started";
    }

    standin::Outcome call(int nlhs, const std::vector<const mxArray *> &inputs) {
        return standin::call(module_, nlhs, inputs);
    }

    // One call with one output of another build of the module, seeing that many processors,
    // with the build watched for the call alone and the records of the workers it starts in
    // Started.
    template <typename Started>
    standin::Outcome callBuild(standin::Module &build, long processors,
                               const std::vector<const mxArray *> &inputs) {
        interpose::reset();
        interpose::setProcessors(processors);
        interpose::watch(&build);
        Started::watch();
        standin::Outcome r = standin::call(build, 1, inputs);
        interpose::watch(&module_);
        return r;
    }

    static constexpr size_t kAnyCount = static_cast<size_t>(-1);

    // The values of a call that must succeed with one real rows-by-columns
    // output; kAnyCount leaves a dimension unchecked.
    std::vector<double> realOutput(const standin::Outcome &r, size_t rows, size_t columns) {
        EXPECT_TRUE(r.ok) << r.id << ": " << r.message;
        if (!r.ok) {
            return {};
        }
        if (rows != kAnyCount) {
            EXPECT_EQ(mxGetM(r.out()), rows);
        }
        if (columns != kAnyCount) {
            EXPECT_EQ(mxGetN(r.out()), columns);
        }
        EXPECT_FALSE(mxIsComplex(r.out()));
        return standin::values(r.out());
    }

    // Each case must end in its host error, before the module has started a
    // thread or allocated anything.
    void expectErrors(const std::vector<ErrorCase> &cases) {
        for (const ErrorCase &c : cases) {
            standin::Outcome r = call(c.nlhs, c.inputs);
            EXPECT_FALSE(r.ok) << c.name;
            EXPECT_EQ(r.id, c.id) << c.name;
            EXPECT_EQ(r.message, c.message) << c.name;
            interpose::Counts counts = interpose::counts();
            EXPECT_EQ(counts.threadStarts, 0) << c.name;
            EXPECT_EQ(counts.allocations, 0) << c.name;
        }
    }

    standin::Module &module_;
    standin::Arrays arrays;

  private:
    long liveArrays_ = 0;
};

inline std::uint64_t bitsOf(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Bit-for-bit comparison of two double sequences, naming the first mismatch.
// Zeros must agree in sign; NaNs agree whatever their sign and payload,
// which the arithmetic does not define.
inline ::testing::AssertionResult sameBits(const std::vector<double> &actual,
                                           const std::vector<double> &expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "size " << actual.size() << ", expected " << expected.size();
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        bool bothNaN = actual[i] != actual[i] && expected[i] != expected[i];
        if (!bothNaN && bitsOf(actual[i]) != bitsOf(expected[i])) {
            return ::testing::AssertionFailure()
                   << "element " << i << " is " << actual[i] << ", expected " << expected[i];
        }
    }
    return ::testing::AssertionSuccess();
}

#endif
