// One process, one module, one input size: the module called `repeats` times through the
// stand-in host on inputs of n elements. Prints the first call's wall time and minor page faults
// apart, the median, least and greatest wall time of the later calls and their minor faults per
// call, the bytes of the inputs and the output, and the process's peak resident size;
// bench/memory.sh also reads the peak from outside with /usr/bin/time -v.
//   memory_probe MODULE N [repeats]
// The allocator keeps freed memory and the stand-in host keeps released array data, so the later
// calls reuse the first one's pages. The peak still holds every page a call touched: a copy
// that a call makes and frees raises it as much as one it keeps.

#include "standin.h"
#include "warm_allocator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

// Values repeat every 1000 elements: cheap to make, and they keep every exp argument ordinary.
mxArray *column(size_t n, double first, double step) {
    mxArray *a = standinCreateFull(mxDOUBLE_CLASS, n, n > 0 ? 1 : 0, mxREAL);
    double *d = static_cast<double *>(standinRealData(a));
    for (size_t i = 0; i < n; ++i) {
        d[i] = first + step * static_cast<double>(i % 1000);
    }
    return a;
}

mxArray *scalar(double v) {
    mxArray *a = standinCreateFull(mxDOUBLE_CLASS, 1, 1, mxREAL);
    *static_cast<double *>(standinRealData(a)) = v;
    return a;
}

struct Call {
    std::vector<const mxArray *> inputs;
    size_t inputBytes;
    int nlhs = 1;
};

// Inputs of n elements for each module; termdecay's table length is n (no observation above 0,
// margin half an element below n).
bool makeCall(const std::string &module, size_t n, Call &call) {
    mxArray *unused = scalar(0.0);
    if (module == "slopemapmt") {
        call.inputs = {column(n, 0.5, 0.01), column(n, 0.0, 0.013), unused,      unused,
                       scalar(2.0),          scalar(1.0),           scalar(1.5), unused};
        call.inputBytes = 2 * n * sizeof(double);
    } else if (module == "obsexpscale") {
        call.inputs = {column(n, 0.0, 0.01), scalar(2.0), scalar(1.0), scalar(1.5)};
        call.inputBytes = n * sizeof(double);
    } else if (module == "termdecay") {
        const double alpha = std::sqrt(50.0 / static_cast<double>(n));
        const double margin = (static_cast<double>(n) - 1.5) / std::ceil(1.0 / alpha);
        call.inputs = {scalar(0.0), scalar(1.0), scalar(0.0), scalar(alpha), scalar(margin)};
        call.inputBytes = 0;
    } else if (module == "groupshrinkmt") {
        // Groups of two, the last of one when n is odd.
        const size_t groups = (n + 1) / 2;
        mxArray *degree = column(groups, 2.0, 0.0);
        if (n % 2 == 1) {
            static_cast<double *>(standinRealData(degree))[groups - 1] = 1.0;
        }
        call.inputs = {column(n, -1.0, 0.002), degree, scalar(0.5), unused, unused};
        call.inputBytes = (n + groups) * sizeof(double);
    } else if (module == "pglikmt") {
        // Growing counts, with nll and dnll, so that their block sums are counted too.
        call.inputs = {column(n, 0.0, 0.03), column(n, 2.0, 0.045), scalar(9.0), scalar(2.0),
                       scalar(1.5)};
        call.inputBytes = 2 * n * sizeof(double);
        call.nlhs = 3;
    } else if (module == "pgproxmt") {
        // A step per element, so that every input is an array.
        call.inputs = {column(n, -1.0, 0.03), column(n, 2.0, 0.045), column(n, 0.5, 1e-7),
                       scalar(9.0), scalar(2.0), scalar(1.5)};
        call.inputBytes = 3 * n * sizeof(double);
    } else {
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MODULE N [repeats]\n", argv[0]);
        return 2;
    }
    keepFreedMemory();
    standinKeepReleasedData(1);
    const std::string module = argv[1];
    const size_t n = std::strtoull(argv[2], nullptr, 10);
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    const std::string path = std::string(MEXA64_DIR) + "/" + module + ".mexa64";
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
        return 1;
    }
    auto entry = reinterpret_cast<standinEntry>(dlsym(handle, "mexFunction"));
    Call call;
    if (entry == nullptr || n == 0 || !makeCall(module, n, call)) {
        std::fprintf(stderr, "no entry point, or no inputs for module %s with n = %zu\n",
                     module.c_str(), n);
        dlclose(handle);
        return 2;
    }

    std::vector<double> ns;
    long faults[2] = {0, 0}; // the first call, the later ones
    for (int r = 0; r < repeats; ++r) {
        const long faultsBefore = minorFaults();
        mxArray *plhs[3];
        char id[128];
        char message[1024];
        auto start = std::chrono::steady_clock::now();
        int ok = standinCall(entry, call.nlhs, plhs, static_cast<int>(call.inputs.size()),
                             call.inputs.data(), id, sizeof id, message, sizeof message);
        auto stop = std::chrono::steady_clock::now();
        faults[r == 0 ? 0 : 1] += minorFaults() - faultsBefore;
        if (!ok) {
            std::fprintf(stderr, "host error %s: %s\n", id, message);
            dlclose(handle);
            return 1;
        }
        if (mxGetNumberOfElements(plhs[0]) != n) {
            std::fprintf(stderr, "output of %zu elements, expected %zu\n",
                         mxGetNumberOfElements(plhs[0]), n);
            dlclose(handle);
            return 1;
        }
        for (int k = 0; k < call.nlhs; ++k) {
            mxDestroyArray(plhs[k]);
        }
        ns.push_back(std::chrono::duration<double, std::nano>(stop - start).count());
    }
    const double first = ns[0];
    if (ns.size() > 1) {
        ns.erase(ns.begin());
    }
    std::sort(ns.begin(), ns.end());
    const double median = ns[ns.size() / 2];
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("n %zu repeats %d first_ns %.0f first_minflt %ld median_ns %.0f min_ns %.0f "
                "max_ns %.0f minflt_per_call %.1f ns_per_element %.3f io_bytes %zu peak_kib %ld\n",
                n, repeats, first, faults[0], median, ns.front(), ns.back(),
                repeats > 1 ? static_cast<double>(faults[1]) / (repeats - 1) : 0.0,
                median / static_cast<double>(n), call.inputBytes + n * sizeof(double),
                usage.ru_maxrss);
    dlclose(handle);
    return 0;
}
