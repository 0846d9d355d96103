// libmx of the stand-in host: arrays and their accessors.
#include "hosterror.h"
#include "standin.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

struct standinArray {
    mxClassID classId;
    size_t m;
    size_t n; // the product of every dimension after the first
    int ndim;
    mwSize dims[STANDIN_MAX_DIMS]; // as the 32-bit interface reports them, capped at INT_MAX
    bool complex;
    bool sparse;
    size_t stored; // elements held in re (and im): m*n when full, nonzeros when sparse
    void *re;
    void *im;
};

namespace {

std::atomic<long> liveArrays{0};
std::atomic<int> failCountdown{0};

size_t elementSize(mxClassID classId) {
    switch (classId) {
    case mxDOUBLE_CLASS:
        return sizeof(double);
    case mxSINGLE_CLASS:
        return sizeof(float);
    case mxINT32_CLASS:
        return sizeof(int32_t);
    case mxLOGICAL_CLASS:
        return sizeof(bool);
    case mxCHAR_CLASS:
        return sizeof(uint16_t);
    default:
        return 0;
    }
}

// Cells, structs and function handles: a module may test their class and
// shape, never read their elements as numbers, so they get no data.
bool holdsNoNumbers(mxClassID classId) {
    return classId == mxCELL_CLASS || classId == mxSTRUCT_CLASS || classId == mxFUNCTION_CLASS;
}

// Data ends exactly where an inaccessible page begins, so a read one element
// past the end faults at once instead of passing unnoticed. An empty array
// gets no data at all.
size_t pageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

size_t mappedBytes(size_t bytes) {
    return (bytes + pageSize() - 1) / pageSize() * pageSize() + pageSize();
}

// Data mappings released while a benchmark has asked to keep them, for reuse
// by a later array of the same mapped size: what a warm allocator does with
// freed memory, so that a call's time is not mostly the kernel mapping fresh
// pages. Reused data is zero-filled again, as a fresh mapping is.
constexpr int kKeptMax = 32;
struct KeptMapping {
    void *base;
    size_t mapped;
};
std::mutex keptLock;
KeptMapping kept[kKeptMax];
int keptCount = 0;
std::atomic<bool> keepReleased{false};

void *takeKept(size_t mapped) {
    std::lock_guard<std::mutex> guard(keptLock);
    for (int i = 0; i < keptCount; ++i) {
        if (kept[i].mapped == mapped) {
            void *base = kept[i].base;
            kept[i] = kept[--keptCount];
            return base;
        }
    }
    return nullptr;
}

bool keepForReuse(void *base, size_t mapped) {
    std::lock_guard<std::mutex> guard(keptLock);
    if (!keepReleased.load() || keptCount == kKeptMax) {
        return false;
    }
    kept[keptCount++] = KeptMapping{base, mapped};
    return true;
}

void *allocateData(size_t count, size_t size) {
    if (count == 0) {
        return nullptr;
    }
    if (count > SIZE_MAX / size - 2 * pageSize()) {
        return nullptr;
    }
    size_t bytes = count * size;
    size_t mapped = mappedBytes(bytes);
    void *base = keepReleased.load() ? takeKept(mapped) : nullptr;
    bool reused = base != nullptr;
    if (!reused) {
        // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes no descriptor
        base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            return nullptr;
        }
    }
    char *guard = static_cast<char *>(base) + mapped - pageSize();
    if (reused) {
        std::memset(guard - bytes, 0, bytes);
    } else {
        mprotect(guard, pageSize(), PROT_NONE);
    }
    return guard - bytes;
}

void releaseData(void *data, size_t count, size_t size) {
    if (data == nullptr) {
        return;
    }
    size_t bytes = count * size;
    size_t mapped = mappedBytes(bytes);
    char *guard = static_cast<char *>(data) + bytes;
    void *base = guard + pageSize() - mapped;
    if (!keepForReuse(base, mapped)) {
        munmap(base, mapped);
    }
}

// Trailing dimensions of 1 past the second are dropped, as the real host does.
void setShape(mxArray *a, size_t ndim, const size_t *dims) {
    while (ndim > 2 && dims[ndim - 1] == 1) {
        --ndim;
    }
    a->ndim = static_cast<int>(ndim);
    a->m = dims[0];
    a->n = 1;
    for (size_t k = 0; k < ndim; ++k) {
        a->dims[k] = dims[k] > INT_MAX ? INT_MAX : static_cast<mwSize>(dims[k]);
        a->n *= k > 0 ? dims[k] : 1;
    }
}

void setShape(mxArray *a, size_t m, size_t n) {
    const size_t dims[2] = {m, n};
    setShape(a, 2, dims);
}

mxArray *newArray(mxClassID classId, size_t m, size_t n, bool complex, bool sparse, size_t stored) {
    if (failCountdown.load() > 0 && failCountdown.fetch_sub(1) == 1) {
        standin::raiseHostError("MATLAB:nomem", "Out of memory.");
    }
    size_t size = elementSize(classId);
    if (size == 0 && !holdsNoNumbers(classId)) {
        standin::raiseHostError("standin:unsupportedClass", "This class is not supported.");
    }
    mxArray *a = static_cast<mxArray *>(std::calloc(1, sizeof(mxArray)));
    void *re = allocateData(stored, size);
    void *im = complex ? allocateData(stored, size) : nullptr;
    if (a == nullptr || (stored > 0 && (re == nullptr || (complex && im == nullptr)))) {
        std::free(a);
        releaseData(re, stored, size);
        releaseData(im, stored, size);
        standin::raiseHostError("MATLAB:nomem", "Out of memory.");
    }
    a->classId = classId;
    setShape(a, m, n);
    a->complex = complex;
    a->sparse = sparse;
    a->stored = stored;
    a->re = re;
    a->im = im;
    ++liveArrays;
    return a;
}

double elementAsDouble(const mxArray *pa, size_t i) {
    switch (pa->classId) {
    case mxDOUBLE_CLASS:
        return static_cast<const double *>(pa->re)[i];
    case mxSINGLE_CLASS:
        return static_cast<const float *>(pa->re)[i];
    case mxINT32_CLASS:
        return static_cast<const int32_t *>(pa->re)[i];
    case mxLOGICAL_CLASS:
        return static_cast<const bool *>(pa->re)[i] ? 1.0 : 0.0;
    case mxCHAR_CLASS:
        return static_cast<const uint16_t *>(pa->re)[i];
    default:
        return 0.0;
    }
}

} // namespace

namespace standin {

void raiseHostError(const char *id, const char *message) {
    HostError error;
    std::snprintf(error.id, sizeof error.id, "%s", id);
    std::snprintf(error.message, sizeof error.message, "%s", message);
    throw error;
}

} // namespace standin

extern "C" {

bool mxIsDouble(const mxArray *pa) {
    return pa->classId == mxDOUBLE_CLASS;
}

bool mxIsComplex(const mxArray *pa) {
    return pa->complex;
}

bool mxIsSparse(const mxArray *pa) {
    return pa->sparse;
}

mxClassID mxGetClassID(const mxArray *pa) {
    return pa->classId;
}

size_t mxGetM(const mxArray *pa) {
    return pa->m;
}

size_t mxGetN(const mxArray *pa) {
    return pa->n;
}

size_t mxGetNumberOfElements(const mxArray *pa) {
    return pa->m * pa->n;
}

mwSize mxGetNumberOfDimensions_700(const mxArray *pa) {
    return pa->ndim;
}

const mwSize *mxGetDimensions_700(const mxArray *pa) {
    return pa->dims;
}

// The first stored element, which for a sparse array is its first nonzero;
// an array that stores nothing reads as 0 rather than past its data.
double mxGetScalar(const mxArray *pa) {
    return pa->stored == 0 ? 0.0 : elementAsDouble(pa, 0);
}

double *mxGetPr(const mxArray *pa) {
    return static_cast<double *>(pa->re);
}

double *mxGetPi(const mxArray *pa) {
    return static_cast<double *>(pa->im);
}

mxArray *mxCreateDoubleMatrix_700(mwSize m, mwSize n, mxComplexity flag) {
    if (m < 0 || n < 0) {
        standin::raiseHostError("standin:negativeDimension",
                                "A dimension handed to array creation is negative.");
    }
    size_t rows = static_cast<size_t>(m);
    size_t cols = static_cast<size_t>(n);
    return newArray(mxDOUBLE_CLASS, rows, cols, flag == mxCOMPLEX, false, rows * cols);
}

mxArray *mxCreateNumericArray_700(mwSize ndim, const mwSize *dims, mxClassID classId,
                                  mxComplexity flag) {
    size_t shape[STANDIN_MAX_DIMS] = {1, 1};
    size_t count = ndim < 2 ? 2 : static_cast<size_t>(ndim);
    if (count > STANDIN_MAX_DIMS) {
        standin::raiseHostError("standin:tooManyDimensions", "Too many dimensions.");
    }
    for (mwSize k = 0; k < ndim; ++k) {
        if (dims[k] < 0) {
            standin::raiseHostError("standin:negativeDimension",
                                    "A dimension handed to array creation is negative.");
        }
        shape[k] = static_cast<size_t>(dims[k]);
    }
    return standinCreateFullDims(classId, count, shape, flag);
}

void mxDestroyArray(mxArray *pa) {
    if (pa == nullptr) {
        return;
    }
    releaseData(pa->im, pa->stored, elementSize(pa->classId));
    releaseData(pa->re, pa->stored, elementSize(pa->classId));
    std::free(pa);
    --liveArrays;
}

mxArray *standinCreateFull(mxClassID classId, size_t m, size_t n, mxComplexity flag) {
    return newArray(classId, m, n, flag == mxCOMPLEX, false, holdsNoNumbers(classId) ? 0 : m * n);
}

mxArray *standinCreateFullDims(mxClassID classId, size_t ndim, const size_t *dims,
                               mxComplexity flag) {
    size_t count = 1;
    for (size_t k = 0; k < ndim; ++k) {
        count *= dims[k];
    }
    mxArray *a =
        newArray(classId, 1, 1, flag == mxCOMPLEX, false, holdsNoNumbers(classId) ? 0 : count);
    setShape(a, ndim, dims);
    return a;
}

mxArray *standinCreateShapeOnly(size_t m, size_t n) {
    mxArray *a = newArray(mxDOUBLE_CLASS, 1, 1, false, false, 0);
    setShape(a, m, n);
    return a;
}

mxArray *standinCreateSparse(mxClassID classId, size_t m, size_t n, const double *dense) {
    size_t nonzeros = 0;
    for (size_t i = 0; i < m * n; ++i) {
        nonzeros += dense[i] != 0.0 ? 1 : 0;
    }
    mxArray *a = newArray(classId, m, n, false, true, nonzeros);
    size_t k = 0;
    for (size_t i = 0; i < m * n; ++i) {
        if (dense[i] == 0.0) {
            continue;
        }
        if (classId == mxDOUBLE_CLASS) {
            static_cast<double *>(a->re)[k] = dense[i];
        } else {
            static_cast<bool *>(a->re)[k] = true;
        }
        ++k;
    }
    return a;
}

void *standinRealData(const mxArray *pa) {
    return pa->re;
}

void *standinImagData(const mxArray *pa) {
    return pa->im;
}

long standinLiveArrays(void) {
    return liveArrays.load();
}

void standinFailCreation(int k) {
    failCountdown.store(k);
}

void standinKeepReleasedData(int keepData) {
    keepReleased.store(keepData != 0);
    if (keepData != 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(keptLock);
    for (int i = 0; i < keptCount; ++i) {
        munmap(kept[i].base, kept[i].mapped);
    }
    keptCount = 0;
}

int standinCreationFailurePending(void) {
    return failCountdown.load() > 0 ? 1 : 0;
}

} // extern "C"
