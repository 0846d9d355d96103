// The test side of the stand-in host: load a module, build its inputs, call
// it as the host does and get back either its output or its host error.
#ifndef STANDIN_HARNESS_H
#define STANDIN_HARNESS_H

#include "standin.h"

#include <cstdint>
#include <string>
#include <vector>

namespace standin {

// A module loaded from its .mexa64 file, with the address range of its code,
// so that a test can tell the module's own library calls from anyone else's.
class Module {
  public:
    explicit Module(const std::string &path);
    ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    standinEntry entry() const {
        return entry_;
    }
    bool contains(const void *address) const {
        auto a = reinterpret_cast<std::uintptr_t>(address);
        return a >= begin_ && a < end_;
    }

  private:
    void *handle_ = nullptr;
    standinEntry entry_ = nullptr;
    std::uintptr_t begin_ = 0;
    std::uintptr_t end_ = 0;
};

// Arrays made for one test, destroyed with it.
class Arrays {
  public:
    Arrays() = default;
    ~Arrays();
    Arrays(const Arrays &) = delete;
    Arrays &operator=(const Arrays &) = delete;

    // A real double array with the column-major values given (zeros if none).
    mxArray *real(size_t m, size_t n, const std::vector<double> &values = {});
    mxArray *scalar(double value);
    mxArray *row(const std::vector<double> &values);
    mxArray *column(const std::vector<double> &values);
    // A real double array of any number of dimensions, column-major values (zeros if none).
    mxArray *nd(const std::vector<size_t> &dims, const std::vector<double> &values = {});
    mxArray *complex(size_t m, size_t n, const std::vector<double> &re,
                     const std::vector<double> &im);
    // A full array of any supported class, zero-filled.
    mxArray *ofClass(mxClassID classId, size_t m, size_t n);
    mxArray *sparse(size_t m, size_t n, const std::vector<double> &dense);
    mxArray *shapeOnly(size_t m, size_t n);

    // Destroys every array made so far.
    void clear();

  private:
    mxArray *keep(mxArray *a);
    std::vector<mxArray *> owned_;
};

// What a call gave back. Outputs belong to the outcome and die with it.
class Outcome {
  public:
    Outcome() = default;
    ~Outcome();
    Outcome(Outcome &&other) noexcept;
    Outcome &operator=(Outcome &&) = delete;
    Outcome(const Outcome &) = delete;

    bool ok = false;
    std::string id;
    std::string message;
    std::vector<mxArray *> outputs;

    const mxArray *out() const {
        return outputs.empty() ? nullptr : outputs[0];
    }
};

Outcome call(const Module &module, int nlhs, const std::vector<const mxArray *> &inputs);

// The real part of a double array, in storage order.
std::vector<double> values(const mxArray *a);

} // namespace standin

#endif
