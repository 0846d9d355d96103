#include "harness.h"

#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <stdexcept>

namespace standin {

namespace {

struct RangeQuery {
    const void *base;
    std::uintptr_t begin;
    std::uintptr_t end;
};

int findRange(dl_phdr_info *info, size_t, void *data) {
    auto *query = static_cast<RangeQuery *>(data);
    if (reinterpret_cast<const void *>(info->dlpi_addr) != query->base) {
        return 0;
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) {
            continue;
        }
        std::uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        std::uintptr_t hi = lo + ph.p_memsz;
        query->begin = query->begin == 0 || lo < query->begin ? lo : query->begin;
        query->end = hi > query->end ? hi : query->end;
    }
    return 1;
}

} // namespace

Module::Module(const std::string &path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw std::runtime_error(std::string("cannot load module: ") + dlerror());
    }
    entry_ = reinterpret_cast<standinEntry>(dlsym(handle_, "mexFunction"));
    Dl_info info;
    if (entry_ == nullptr || dladdr(reinterpret_cast<void *>(entry_), &info) == 0) {
        throw std::runtime_error("module has no mexFunction: " + path);
    }
    RangeQuery query{info.dli_fbase, 0, 0};
    dl_iterate_phdr(findRange, &query);
    begin_ = query.begin;
    end_ = query.end;
}

Module::~Module() {
    dlclose(handle_);
}

Arrays::~Arrays() {
    clear();
}

void Arrays::clear() {
    for (mxArray *a : owned_) {
        mxDestroyArray(a);
    }
    owned_.clear();
}

mxArray *Arrays::shapeOnly(size_t m, size_t n) {
    return keep(standinCreateShapeOnly(m, n));
}

mxArray *Arrays::keep(mxArray *a) {
    owned_.push_back(a);
    return a;
}

mxArray *Arrays::real(size_t m, size_t n, const std::vector<double> &values) {
    return nd({m, n}, values);
}

mxArray *Arrays::scalar(double value) {
    return real(1, 1, {value});
}

mxArray *Arrays::row(const std::vector<double> &values) {
    return real(1, values.size(), values);
}

mxArray *Arrays::column(const std::vector<double> &values) {
    return real(values.size(), 1, values);
}

mxArray *Arrays::nd(const std::vector<size_t> &dims, const std::vector<double> &values) {
    mxArray *a = keep(standinCreateFullDims(mxDOUBLE_CLASS, dims.size(), dims.data(), mxREAL));
    if (!values.empty()) {
        if (values.size() != mxGetNumberOfElements(a)) {
            throw std::invalid_argument("values do not match the shape");
        }
        std::memcpy(standinRealData(a), values.data(), values.size() * sizeof(double));
    }
    return a;
}

mxArray *Arrays::complex(size_t m, size_t n, const std::vector<double> &re,
                         const std::vector<double> &im) {
    if (re.size() != m * n || im.size() != m * n) {
        throw std::invalid_argument("values do not match the shape");
    }
    mxArray *a = keep(standinCreateFull(mxDOUBLE_CLASS, m, n, mxCOMPLEX));
    std::memcpy(standinRealData(a), re.data(), re.size() * sizeof(double));
    std::memcpy(standinImagData(a), im.data(), im.size() * sizeof(double));
    return a;
}

mxArray *Arrays::ofClass(mxClassID classId, size_t m, size_t n) {
    return keep(standinCreateFull(classId, m, n, mxREAL));
}

mxArray *Arrays::sparse(size_t m, size_t n, const std::vector<double> &dense) {
    if (dense.size() != m * n) {
        throw std::invalid_argument("values do not match the shape");
    }
    return keep(standinCreateSparse(mxDOUBLE_CLASS, m, n, dense.data()));
}

Outcome::~Outcome() {
    for (mxArray *a : outputs) {
        mxDestroyArray(a);
    }
}

Outcome::Outcome(Outcome &&other) noexcept
    : ok(other.ok), id(std::move(other.id)), message(std::move(other.message)),
      outputs(std::move(other.outputs)) {
    other.outputs.clear();
}

Outcome call(const Module &module, int nlhs, const std::vector<const mxArray *> &inputs) {
    std::vector<mxArray *> plhs(nlhs > 1 ? nlhs : 1, nullptr);
    char id[128];
    char message[1024];
    Outcome outcome;
    outcome.ok = standinCall(module.entry(), nlhs, plhs.data(), static_cast<int>(inputs.size()),
                             const_cast<const mxArray **>(inputs.data()), id, sizeof id, message,
                             sizeof message) == 1;
    if (outcome.ok) {
        outcome.outputs = plhs;
    } else {
        outcome.id = id;
        outcome.message = message;
    }
    return outcome;
}

std::vector<double> values(const mxArray *a) {
    const double *p = mxGetPr(a);
    return std::vector<double>(p, p + mxGetNumberOfElements(a));
}

} // namespace standin
