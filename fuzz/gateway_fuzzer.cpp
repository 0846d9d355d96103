// libFuzzer target over every gateway, called through the stand-in host.
//
// Every input decodes into one call of one module: a processor count for the
// module to see, nlhs, nrhs and that many input arrays of any class, shape,
// complexity and storage. An independent model of each gateway predicts the
// call's outcome; the call must end exactly so:
//   - no crash and no sanitizer report (the build adds address and undefined
//     behaviour checks to the modules, the host and this file);
//   - an error has an identifier component:NAME:mnemonic, the one the model
//     predicts, a non-empty message and no output left behind;
//   - a success gives real full double outputs of the predicted shapes
//     whose elements equal, bit for bit, a sequential reference computed in
//     the module's order of operations (for shiftproxmt, datapdstep and
//     tvpdstep any NaN stands for a NaN); pglikmt's series and pgproxmt's
//     roots have no short reference, so pglikmt's grad must be NaN exactly
//     where an element is outside the model and 1 where x is Inf, its nll and
//     dnll (up to three outputs) NaN beside such an element, pgproxmt's x NaN
//     exactly at the elements it leaves out, Inf or 0 where v is Inf or -Inf
//     and at least 0 elsewhere, and both the same bits, every output, from
//     the module's scalar build on a single worker;
//   - shiftproxmt's t is its closed form (pgkernel/shiftedprox.h); datapdstep's
//     qt is w - sigma t with w = q + sigma (2 Hxt - Hx) and t that closed form
//     at w / sigma, step 1 / sigma (shifted form), or pgproxmt's x there, as
//     built (exact form); tvpdstep's eight outputs are its help's formulas
//     taken element by element (D and D' from each element's coordinates,
//     the projection, the relaxations, the sums in element order); all three
//     also give the bits of their scalar builds on one worker;
//   - afterwards no array is alive.
// groupshrinkmt, slopemapmt, pglikmt, pgproxmt, shiftproxmt, datapdstep and
// tvpdstep are called twice, as built and as capped at AVX2, so that each
// vector path the processor has meets the same checks.
//
// Input layout. Bytes are read from the front; a read past the end gives 0,
// so every byte string decodes to some call.
//   byte 0    module: b % 9 picks groupshrinkmt, obsexpscale, termdecay,
//             slopemapmt, pglikmt, pgproxmt, shiftproxmt, datapdstep,
//             tvpdstep
//   byte 1    online processors the module is told: kProcessors[b % 10],
//             where 0 leaves the query to the C library
//   byte 2    nlhs: below 180, b % 9 in 0..4 gives 1, 5 gives 0, 6 gives 2,
//             7 gives 3, 8 gives 4; from 180 on, (b - 180) % 10
//   byte 3    nrhs: below 200 the module's own count (for datapdstep 6, or 8
//             when b is odd), else b % 11
//   then, for each of the nrhs inputs in position order:
//     kind    bits 0-2: 0-3 double, 4 single, 5 int32, 6 logical (char
//             when bit 3 is set), 7 sparse (double, or logical when bit 3
//             is set); a full double is complex when bits 3 and 4 are set
//     rows, columns: one byte each, see dimension()
//     values: one per stored element, real parts first, then imaginary
//             parts; see value(). Sparse arrays take their values densely
//             and keep the nonzeros.
// An array of more than kMaxElements elements cannot be built with data. It
// becomes a shape-only array (a claimed shape with no data) where the module
// must refuse it unread, and otherwise its dimensions are cut to below 33.
#include "LambertW.h"
#include "harness.h"
#include "standin.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" long __sysconf(int name);

namespace {

constexpr size_t kMaxElements = 4096;
// termdecay tables longer than this are not built: the output creation is
// made to fail instead, which the module must pass on as the host's error.
constexpr double kMaxTable = 65536;
constexpr uint64_t kIntMax = 2147483647;

const long kProcessors[] = {-1, 0, 1, 2, 3, 4, 5, 6, 8, 16};

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Values that sit on the modules' edges: signed zeros, NaN and infinities,
// subnormals, overflow bounds of exp and of int conversion, fractional
// degrees, the Lambert W interval bounds.
const double kSpecial[] = {0.0,
                           -0.0,
                           1.0,
                           -1.0,
                           0.5,
                           -0.5,
                           2.0,
                           3.0,
                           0.7,
                           1.9,
                           2.5,
                           2.9,
                           -0.9,
                           kNaN,
                           -kNaN,
                           kInf,
                           -kInf,
                           std::numeric_limits<double>::min(),
                           -std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::denorm_min(),
                           -std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::min() / 3,
                           std::numeric_limits<double>::max(),
                           -std::numeric_limits<double>::max(),
                           1e308,
                           1e300,
                           1e-300,
                           1e154,
                           1e10,
                           -1e10,
                           1e-10,
                           2147483647.0,
                           2147483648.0,
                           -2147483648.0,
                           -2147483649.0,
                           2147483647.5,
                           4294967296.0,
                           4294967297.0,
                           1073741824.0,
                           9007199254740992.0,
                           709.782712893384,
                           710.0,
                           -745.1332191019412,
                           0.36787944117144233,
                           -0.36787944117144233,
                           -0.36787968862663156,
                           0.6321203113733684,
                           8.706658967856612,
                           1e-5,
                           0.1,
                           0.25,
                           4.0,
                           5.0,
                           10.0,
                           16.0,
                           100.0,
                           1000.0,
                           1e6,
                           -2.0,
                           -10.0,
                           -1e-300,
                           1.5,
                           6.0,
                           7.0};
static_assert(sizeof kSpecial / sizeof kSpecial[0] == 64, "value() indexes 64 specials");

// Dimensions past any int count, and the ones whose products wrap in 32 or
// 64 bits.
const size_t kHuge[] = {0x7fffffffu,
                        0x80000000u,
                        0x80000001u,
                        0xfffffffeu,
                        0xffffffffu,
                        0x100000000u,
                        0x100000001u,
                        46340,
                        46341,
                        65535,
                        65536,
                        65537,
                        1000000000,
                        3000000000u,
                        size_t{1} << 33,
                        size_t{1} << 40,
                        size_t{1} << 53,
                        size_t{1} << 62,
                        (size_t{1} << 63) - 1,
                        size_t{1} << 63,
                        (size_t{1} << 63) + 1,
                        SIZE_MAX,
                        SIZE_MAX - 1,
                        SIZE_MAX / 2,
                        0x1ffffffffu,
                        0x7ffffffeu,
                        4097,
                        8192,
                        100000,
                        1u << 24,
                        (size_t{1} << 32) * 3,
                        size_t{1} << 31 << 31};
static_assert(sizeof kHuge / sizeof kHuge[0] == 32, "dimension() indexes 32 huge sizes");

enum Gateway {
    GROUPSHRINK,
    OBSEXPSCALE,
    TERMDECAY,
    SLOPEMAP,
    PGLIK,
    PGPROX,
    SHIFTPROX,
    DATAPD,
    TVPD,
    GATEWAYS
};
const char *const kModuleNames[] = {"groupshrinkmt", "obsexpscale", "termdecay",
                                    "slopemapmt",    "pglikmt",     "pgproxmt",
                                    "shiftproxmt",   "datapdstep",  "tvpdstep"};
// datapdstep's count is that of its shifted form; its exact form takes 8.
const int kInputCounts[] = {5, 4, 5, 8, 5, 6, 4, 6, 14};

// Output counts a gateway takes: one, for pglikmt none to three, for pgproxmt, shiftproxmt and
// datapdstep none or one, for tvpdstep none to eight.
bool outputsAccepted(Gateway g, int nlhs) {
    switch (g) {
    case PGLIK:
        return nlhs <= 3;
    case PGPROX:
    case SHIFTPROX:
    case DATAPD:
        return nlhs <= 1;
    case TVPD:
        return nlhs <= 8;
    default:
        return nlhs == 1;
    }
}

bool inputsAccepted(Gateway g, int nrhs) {
    return nrhs == kInputCounts[g] || (g == DATAPD && nrhs == 8);
}

[[noreturn]] void fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "gateway_fuzzer: %s: %s\n", what, detail.c_str());
    std::abort();
}

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;

    uint8_t byte() {
        return at < size ? data[at++] : 0;
    }
};

// Mostly 1, so that scalars and vectors are common; else 0 to 1024, or a
// huge size.
size_t dimension(uint8_t b) {
    if (b < 96) {
        return 1;
    }
    if (b < 192) {
        return (b - 96u) & 31;
    }
    if (b < 224) {
        return 32 + size_t{b - 192u} * 32;
    }
    return kHuge[b - 224];
}

// Below 64 a special value; up to 254 a multiple of 1/8 from -8 to 15.75,
// which keeps small whole and fractional degrees common; 255 takes the next
// eight bytes as the double's own bits.
double value(Reader &r) {
    uint8_t b = r.byte();
    if (b < 64) {
        return kSpecial[b];
    }
    if (b < 255) {
        return (b - 128) * 0.125;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits |= uint64_t{r.byte()} << (8 * i);
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// Element count, saturated: only "above some bound" is ever asked.
uint64_t elementCount(size_t m, size_t n) {
    if (m != 0 && n > UINT64_MAX / m) {
        return UINT64_MAX;
    }
    return uint64_t{m} * n;
}

bool isVectorShape(size_t m, size_t n) {
    return m < n ? m == 1 : n == 1;
}

// Whether the gateway must refuse, unread, an input of this shape at this
// position (only then may it be shape-only). Inputs never read, and scalar
// inputs, whose huge shape fails the scalar test, always qualify.
bool refusedUnread(Gateway g, int position, size_t m, size_t n) {
    switch (g) {
    case GROUPSHRINK:
        return position > 1 || elementCount(m, n) > kIntMax;
    case OBSEXPSCALE:
        return position > 0 || elementCount(m, n) > kIntMax;
    case TERMDECAY:
        // y is read whatever its length once it is a vector.
        return position > 0 || !isVectorShape(m, n);
    case SLOPEMAP:
        // y is read over x's length, however long y claims to be.
        return position == 1 ? false : position > 1 || (m > n ? m : n) > kIntMax;
    case PGLIK:
        // Past 2^31 - 1 elements x and y are refused as too long or of mismatched lengths.
        return position > 1 || elementCount(m, n) > kIntMax;
    case PGPROX:
        // A gamma too long to build has more elements than any v that is read.
        return position > 1 || elementCount(m, n) > kIntMax;
    case SHIFTPROX:
        // So has a gamma here; s is a scalar.
        return position > 1 || elementCount(m, n) > kIntMax;
    case DATAPD:
        // sigma and the noise (or s) are scalars; q, Hxt, Hx and the data have one count,
        // which must fit an int.
        return position == 3 || position > 4 || elementCount(m, n) > kIntMax;
    case TVPD:
        // steps, spacing and need hold 4, 1 to 3 and 2 elements. xt's count and its
        // differences' must fit an int, and x, p, Dx, DtP, HtQt and HtQ match them (or are
        // empty); qt, q, Hxt and Hx are bounded by nothing but each other.
        return position > 10 || (position < 7 && elementCount(m, n) > kIntMax);
    case GATEWAYS:
        break;
    }
    return false;
}

mxArray *decodeArray(Reader &r, Gateway g, int position, bool callRefused) {
    uint8_t kind = r.byte();
    size_t m = dimension(r.byte());
    size_t n = dimension(r.byte());
    if (elementCount(m, n) > kMaxElements) {
        if (callRefused || refusedUnread(g, position, m, n)) {
            return standinCreateShapeOnly(m, n);
        }
        m %= 33;
        n %= 33;
    }
    size_t count = m * n;
    int classSel = kind & 7;
    bool flag = (kind & 8) != 0;
    bool complex = classSel < 4 && (kind & 0x18) == 0x18;
    if (classSel == 7) {
        std::vector<double> dense(count);
        for (double &v : dense) {
            v = value(r);
        }
        return standinCreateSparse(flag ? mxLOGICAL_CLASS : mxDOUBLE_CLASS, m, n, dense.data());
    }
    static const mxClassID classes[] = {mxDOUBLE_CLASS, mxDOUBLE_CLASS, mxDOUBLE_CLASS,
                                        mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT32_CLASS};
    mxClassID classId = classSel < 6 ? classes[classSel] : flag ? mxCHAR_CLASS : mxLOGICAL_CLASS;
    mxArray *a = standinCreateFull(classId, m, n, complex ? mxCOMPLEX : mxREAL);
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
        void *data = part == 0 ? standinRealData(a) : standinImagData(a);
        for (size_t i = 0; i < count; ++i) {
            double v = value(r);
            switch (classId) {
            case mxDOUBLE_CLASS:
                static_cast<double *>(data)[i] = v;
                break;
            case mxSINGLE_CLASS:
                static_cast<float *>(data)[i] = static_cast<float>(v);
                break;
            case mxINT32_CLASS:
                static_cast<int32_t *>(data)[i] =
                    v >= -2147483648.0 && v < 2147483648.0 ? static_cast<int32_t>(v) : 0;
                break;
            case mxLOGICAL_CLASS:
                static_cast<bool *>(data)[i] = v != 0.0;
                break;
            default:
                static_cast<uint16_t *>(data)[i] =
                    v >= 0.0 && v < 128.0 ? static_cast<uint16_t>(v) : 0;
                break;
            }
        }
    }
    return a;
}

// The model's view of the arrays, through the host's accessors only.

bool realDoubleScalar(const mxArray *a) {
    return mxIsDouble(a) && !mxIsComplex(a) && mxGetM(a) == 1 && mxGetN(a) == 1;
}

bool vector(const mxArray *a) {
    return isVectorShape(mxGetM(a), mxGetN(a));
}

uint64_t length(const mxArray *a) {
    return mxGetM(a) > mxGetN(a) ? mxGetM(a) : mxGetN(a);
}

bool fullDouble(const mxArray *a) {
    return mxIsDouble(a) && !mxIsSparse(a);
}

const double *realPart(const mxArray *a) {
    return static_cast<const double *>(standinRealData(a));
}

// One output of rows by columns; values, when given, are what it must hold.
struct Output {
    size_t rows = 0;
    size_t columns = 0;
    std::vector<double> values;
};

// What the call must give: an error identifier, or an output of rows by
// columns holding values, and for tvpdstep the outputs after the first.
// nanAware lets any NaN stand for an expected NaN: which of two NaNs a sum
// or product gives follows the operand order the compiler picks, which
// neither the newer modules' lanes nor their references pin down.
struct Expected {
    std::string id;
    size_t rows = 0;
    size_t columns = 0;
    std::vector<double> values;
    bool failCreation = false;
    bool nanAware = false;
    std::vector<Output> later;
};

Expected error(const std::string &id) {
    Expected e;
    e.id = id;
    return e;
}

// Group soft-thresholding over the whole vector on one thread.
Expected groupshrink(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 5) {
        return error("MATLAB:groupshrink:invalidNumInputs");
    }
    if (nlhs != 1) {
        return error("MATLAB:groupshrink:invalidNumOutputs");
    }
    if (!realDoubleScalar(in[2])) {
        return error("MATLAB:groupshrink:xNotScalar");
    }
    if (!vector(in[0]) || !vector(in[1])) {
        return error("MATLAB:groupshrink:xNotVector");
    }
    uint64_t len = length(in[0]);
    uint64_t groups = length(in[1]);
    if (len < groups) {
        return error("MATLAB:groupshrink:incorrectSize");
    }
    if (!fullDouble(in[0])) {
        return error("MATLAB:groupshrink:yNotDouble");
    }
    if (!fullDouble(in[1])) {
        return error("MATLAB:groupshrink:degreeNotDouble");
    }
    if (len > kIntMax) {
        return error("MATLAB:groupshrink:yTooLong");
    }
    const double *y = realPart(in[0]);
    const double *degree = realPart(in[1]);
    long double covered = 0;
    for (uint64_t g = 0; g < groups; ++g) {
        if (!(degree[g] > -1.0 && degree[g] < 2147483648.0)) {
            return error("MATLAB:groupshrink:invalidNumInputs");
        }
        covered += std::trunc(degree[g]);
    }
    if (covered != static_cast<long double>(len)) {
        return error("MATLAB:groupshrink:invalidNumInputs");
    }
    double gamma = mxGetScalar(in[2]);
    Expected e;
    e.rows = len;
    e.columns = 1;
    e.values.resize(len);
    size_t base = 0;
    for (uint64_t g = 0; g < groups; ++g) {
        size_t size = degree[g] >= 1.0 ? static_cast<size_t>(degree[g]) : 0;
        double sum = 0.0;
        for (size_t j = 0; j < size; ++j) {
            double square = y[base + j] * y[base + j];
            sum += square;
        }
        double norm = std::sqrt(sum);
        double factor = 0.0;
        if (norm != 0.0) {
            double t = 1.0 - gamma / norm;
            factor = t > 0.0 ? t : 0.0;
        }
        for (size_t j = 0; j < size; ++j) {
            e.values[base + j] = factor * y[base + j];
        }
        base += size;
    }
    return e;
}

Expected obsexpscale(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 4) {
        return error("MATLAB:obsexpscale:invalidNumInputs");
    }
    if (nlhs != 1) {
        return error("MATLAB:obsexpscale:invalidNumOutputs");
    }
    if (!realDoubleScalar(in[1])) {
        return error("MATLAB:obsexpscale:xNotScalar");
    }
    if (!realDoubleScalar(in[2])) {
        return error("MATLAB:mixlikelihood:xNotScalar");
    }
    if (!realDoubleScalar(in[3])) {
        return error("MATLAB:obsexpscale:xNotScalar");
    }
    if (!vector(in[0])) {
        return error("MATLAB:xtimesy:xNotScalar");
    }
    if (!fullDouble(in[0])) {
        return error("MATLAB:obsexpscale:yNotDouble");
    }
    uint64_t len = length(in[0]);
    if (len > kIntMax) {
        return error("MATLAB:obsexpscale:yTooLong");
    }
    double var = mxGetScalar(in[1]);
    double mean = mxGetScalar(in[2]);
    double alpha = mxGetScalar(in[3]);
    double q = alpha / var;
    const double *y = realPart(in[0]);
    Expected e;
    e.rows = 1;
    e.columns = len;
    for (uint64_t i = 0; i < len; ++i) {
        e.values.push_back(std::exp((y[i] - mean) * q));
    }
    return e;
}

Expected termdecay(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 5) {
        return error("MATLAB:termdecay:invalidNumInputs");
    }
    if (nlhs != 1) {
        return error("MATLAB:termdecay:invalidNumOutputs");
    }
    if (!realDoubleScalar(in[1])) {
        return error("MATLAB:termdecay:varNotScalar");
    }
    if (!realDoubleScalar(in[2])) {
        return error("MATLAB:termdecay:alphaNotScalar");
    }
    if (!realDoubleScalar(in[3])) {
        return error("MATLAB:termdecay:meanNotScalar");
    }
    if (!vector(in[0])) {
        return error("MATLAB:termdecay:xNotScalar");
    }
    if (!fullDouble(in[0])) {
        return error("MATLAB:termdecay:yNotDouble");
    }
    // Every class the stand-in makes is numeric, logical or char.
    if (mxGetM(in[4]) == 0 || mxGetN(in[4]) == 0) {
        return error("MATLAB:termdecay:marginNotNumeric");
    }
    double var = mxGetScalar(in[1]);
    double mean = mxGetScalar(in[2]);
    double alpha = mxGetScalar(in[3]);
    double margin = mxGetScalar(in[4]);
    const double *y = realPart(in[0]);
    double m = 0.0;
    for (uint64_t i = 0; i < length(in[0]); ++i) {
        if (y[i] > m) {
            m = y[i];
        }
    }
    double c = (alpha * alpha) / var;
    double z = (std::exp(((m - mean) * alpha) / var) * m) * c;
    double w = LambertW<0>(z);
    double a = std::ceil(std::sqrt(var) / alpha);
    double len = std::ceil(((a * margin) + 1.0) + (w / c));
    if (!(len >= 0.0 && len <= 2147483647.0)) {
        return error("MATLAB:termdecay:invalidLength");
    }
    if (len > kMaxTable) {
        Expected e = error("MATLAB:nomem");
        e.failCreation = true;
        return e;
    }
    Expected e;
    e.rows = 1;
    e.columns = static_cast<size_t>(len);
    e.values.assign(e.columns, 0.0);
    for (size_t n = 1; n < e.columns; ++n) {
        e.values[n] = std::exp(-(static_cast<double>(n) * c));
    }
    return e;
}

bool holds(const mxArray *a, uint64_t count) {
    return elementCount(mxGetM(a), mxGetN(a)) >= count;
}

Expected slopemap(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 8) {
        return error("MATLAB:xtimesy:invalidNumInputs");
    }
    if (nlhs != 1) {
        return error("MATLAB:xtimesy:invalidNumOutputs");
    }
    if (!realDoubleScalar(in[4])) {
        return error("MATLAB:noiseslope:varNotScalar");
    }
    if (!realDoubleScalar(in[5])) {
        return error("MATLAB:noiseslope:meanNotScalar");
    }
    if (!realDoubleScalar(in[6])) {
        return error("MATLAB:noiseslope:alphaNotScalar");
    }
    if (!fullDouble(in[0])) {
        return error("MATLAB:slopemapmt:xNotDouble");
    }
    if (!fullDouble(in[1])) {
        return error("MATLAB:slopemapmt:yNotDouble");
    }
    uint64_t len = length(in[0]);
    if (len > kIntMax) {
        return error("MATLAB:slopemapmt:xTooLong");
    }
    if (!holds(in[0], len)) {
        return error("MATLAB:slopemapmt:xNoElements");
    }
    if (!holds(in[1], len)) {
        return error("MATLAB:slopemapmt:yTooShort");
    }
    double var = mxGetScalar(in[4]);
    const double *x = realPart(in[0]);
    const double *y = realPart(in[1]);
    Expected e;
    e.rows = len;
    e.columns = 1;
    for (uint64_t i = 0; i < len; ++i) {
        double d = x[i] - y[i];
        double num = -((d + d) + 1.0);
        double shifted = x[i] + var;
        double den = shifted + shifted;
        e.values.push_back(1.0 - std::exp(num / den));
    }
    return e;
}

bool wellFormedId(const std::string &id) {
    // MATLAB:component:mnemonic for the older modules, pgmex:NAME:mnemonic for our own, each
    // field of word characters.
    size_t prefix = id.compare(0, 7, "MATLAB:") == 0 ? 7 : id.compare(0, 6, "pgmex:") == 0 ? 6 : 0;
    size_t second = prefix == 0 ? std::string::npos : id.find(':', prefix);
    if (second == std::string::npos || second == prefix || second + 1 == id.size()) {
        return false;
    }
    for (size_t i = prefix; i < id.size(); ++i) {
        char c = id[i];
        bool word =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!word && i != second) {
            return false;
        }
    }
    return true;
}

std::string bitsOf(double d) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", d);
    return text;
}

std::atomic<long> fakeProcessors{0};

Expected pglik(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 5) {
        return error("pgmex:pglikmt:invalidNumInputs");
    }
    if (nlhs > 3) {
        return error("pgmex:pglikmt:invalidNumOutputs");
    }
    if (!realDoubleScalar(in[2])) {
        return error("pgmex:pglikmt:varNotScalar");
    }
    if (!(mxGetScalar(in[2]) > 0.0 && std::isfinite(mxGetScalar(in[2])))) {
        return error("pgmex:pglikmt:varNotPositive");
    }
    if (!realDoubleScalar(in[3])) {
        return error("pgmex:pglikmt:meanNotScalar");
    }
    if (!std::isfinite(mxGetScalar(in[3]))) {
        return error("pgmex:pglikmt:meanNotFinite");
    }
    if (!realDoubleScalar(in[4])) {
        return error("pgmex:pglikmt:alphaNotScalar");
    }
    if (!(mxGetScalar(in[4]) > 0.0 && std::isfinite(mxGetScalar(in[4])))) {
        return error("pgmex:pglikmt:alphaNotPositive");
    }
    for (int k = 0; k < 2; ++k) {
        if (!fullDouble(in[k])) {
            return error(k == 0 ? "pgmex:pglikmt:xNotDouble" : "pgmex:pglikmt:yNotDouble");
        }
        if (mxIsComplex(in[k])) {
            return error(k == 0 ? "pgmex:pglikmt:xComplex" : "pgmex:pglikmt:yComplex");
        }
    }
    uint64_t count = elementCount(mxGetM(in[0]), mxGetN(in[0]));
    if (count != elementCount(mxGetM(in[1]), mxGetN(in[1]))) {
        return error("pgmex:pglikmt:lengthMismatch");
    }
    if (count > kIntMax || mxGetM(in[0]) > kIntMax || mxGetN(in[0]) > kIntMax) {
        return error("pgmex:pglikmt:xTooLong");
    }
    Expected e;
    e.rows = mxGetM(in[0]);
    e.columns = mxGetN(in[0]);
    return e;
}

// What a pglikmt output must show without a reference series: NaN exactly at the elements
// outside the model (and then in nll), 1 where x is Inf, and the same bits from the scalar
// build on one worker.
void checkPglik(int nlhs, mxArray *const *plhs, const mxArray **prhs, const std::string &what) {
    static standin::Module *scalar =
        new standin::Module(std::string(MEXA64_DIR) + "/pglikmt_scalar.mexa64");
    const double *x = realPart(prhs[0]);
    const double *y = realPart(prhs[1]);
    const double *grad = mxGetPr(plhs[0]);
    size_t count = mxGetM(plhs[0]) * mxGetN(plhs[0]);
    bool anyOutside = false;
    for (size_t i = 0; i < count; ++i) {
        bool outside = !(x[i] >= 0.0) || !std::isfinite(y[i]);
        anyOutside = anyOutside || outside;
        if (std::isnan(grad[i]) != outside || (x[i] == kInf && !outside && grad[i] != 1.0)) {
            fail("pglikmt element", what + ": element " + std::to_string(i) + " is " +
                                        bitsOf(grad[i]) + " for x " + bitsOf(x[i]) + ", y " +
                                        bitsOf(y[i]) + ", var " + bitsOf(mxGetScalar(prhs[2])) +
                                        ", mean " + bitsOf(mxGetScalar(prhs[3])) + ", alpha " +
                                        bitsOf(mxGetScalar(prhs[4])));
        }
    }
    if (nlhs >= 2 && std::isnan(mxGetPr(plhs[1])[0]) != anyOutside) {
        fail("pglikmt nll", what + ": " + bitsOf(mxGetPr(plhs[1])[0]));
    }
    if (nlhs == 3) {
        const double *dnll = mxGetPr(plhs[2]);
        if (mxGetM(plhs[2]) != 3 || mxGetN(plhs[2]) != 1) {
            fail("pglikmt dnll shape", what);
        }
        for (int k = 0; k < 3; ++k) {
            if (anyOutside && !std::isnan(dnll[k])) {
                fail("pglikmt dnll", what + ": " + bitsOf(dnll[k]) + " beside a NaN nll");
            }
        }
    }
    mxArray *again[3];
    char id[128];
    char message[1024];
    fakeProcessors.store(1);
    int ok =
        standinCall(scalar->entry(), nlhs, again, 5, prhs, id, sizeof id, message, sizeof message);
    fakeProcessors.store(0);
    if (!ok) {
        fail("pglikmt on one worker", what + ": " + id);
    }
    for (int k = 0; k < (nlhs > 1 ? nlhs : 1); ++k) {
        size_t n = mxGetM(again[k]) * mxGetN(again[k]);
        if (n > 0 && std::memcmp(mxGetPr(again[k]), mxGetPr(plhs[k]), n * sizeof(double)) != 0) {
            fail("pglikmt on one worker", what + ": output " + std::to_string(k) + " differs");
        }
        mxDestroyArray(again[k]);
    }
}

Expected pgprox(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 6) {
        return error("pgmex:pgproxmt:invalidNumInputs");
    }
    if (nlhs > 1) {
        return error("pgmex:pgproxmt:invalidNumOutputs");
    }
    const char *scalars[3][2] = {
        {"pgmex:pgproxmt:varNotScalar", "pgmex:pgproxmt:varNotPositive"},
        {"pgmex:pgproxmt:meanNotScalar", "pgmex:pgproxmt:meanNotFinite"},
        {"pgmex:pgproxmt:alphaNotScalar", "pgmex:pgproxmt:alphaNotPositive"}};
    for (int k = 0; k < 3; ++k) {
        if (!realDoubleScalar(in[3 + k])) {
            return error(scalars[k][0]);
        }
        double s = mxGetScalar(in[3 + k]);
        if (!(k == 1 ? std::isfinite(s) : s > 0.0 && std::isfinite(s))) {
            return error(scalars[k][1]);
        }
    }
    for (int k = 0; k < 2; ++k) {
        if (!fullDouble(in[k])) {
            return error(k == 0 ? "pgmex:pgproxmt:vNotDouble" : "pgmex:pgproxmt:yNotDouble");
        }
        if (mxIsComplex(in[k])) {
            return error(k == 0 ? "pgmex:pgproxmt:vComplex" : "pgmex:pgproxmt:yComplex");
        }
    }
    uint64_t count = elementCount(mxGetM(in[0]), mxGetN(in[0]));
    if (count != elementCount(mxGetM(in[1]), mxGetN(in[1]))) {
        return error("pgmex:pgproxmt:lengthMismatch");
    }
    if (count > kIntMax || mxGetM(in[0]) > kIntMax || mxGetN(in[0]) > kIntMax) {
        return error("pgmex:pgproxmt:vTooLong");
    }
    if (!fullDouble(in[2])) {
        return error("pgmex:pgproxmt:gammaNotDouble");
    }
    if (mxIsComplex(in[2])) {
        return error("pgmex:pgproxmt:gammaComplex");
    }
    uint64_t steps = elementCount(mxGetM(in[2]), mxGetN(in[2]));
    if (steps != 1 && steps != count) {
        return error("pgmex:pgproxmt:gammaSize");
    }
    if (steps == 1 && !(realPart(in[2])[0] > 0.0 && std::isfinite(realPart(in[2])[0]))) {
        return error("pgmex:pgproxmt:gammaNotPositive");
    }
    Expected e;
    e.rows = mxGetM(in[0]);
    e.columns = mxGetN(in[0]);
    return e;
}

// What a pgproxmt output must show without a reference root: NaN exactly at the elements
// handled apart as NaN, Inf where v is Inf, 0 where v is -Inf, x >= 0 elsewhere, and the same
// bits from the scalar build on one worker.
void checkPgprox(mxArray *const *plhs, const mxArray **prhs, const std::string &what) {
    static standin::Module *scalar =
        new standin::Module(std::string(MEXA64_DIR) + "/pgproxmt_scalar.mexa64");
    const double *v = realPart(prhs[0]);
    const double *y = realPart(prhs[1]);
    const double *gamma = realPart(prhs[2]);
    bool perElement = mxGetM(prhs[2]) * mxGetN(prhs[2]) != 1;
    const double *x = mxGetPr(plhs[0]);
    size_t count = mxGetM(plhs[0]) * mxGetN(plhs[0]);
    for (size_t i = 0; i < count; ++i) {
        double g = gamma[perElement ? i : 0];
        bool bad = std::isnan(v[i]) || !std::isfinite(y[i]) || !(g > 0.0);
        bool right = bad             ? std::isnan(x[i])
                     : v[i] == kInf  ? x[i] == kInf
                     : v[i] == -kInf ? x[i] == 0.0
                                     : x[i] >= 0.0;
        if (!right) {
            fail("pgproxmt element", what + ": element " + std::to_string(i) + " is " +
                                         bitsOf(x[i]) + " for v " + bitsOf(v[i]) + ", y " +
                                         bitsOf(y[i]) + ", gamma " + bitsOf(g));
        }
    }
    mxArray *again[1];
    char id[128];
    char message[1024];
    fakeProcessors.store(1);
    int ok =
        standinCall(scalar->entry(), 1, again, 6, prhs, id, sizeof id, message, sizeof message);
    fakeProcessors.store(0);
    if (!ok) {
        fail("pgproxmt on one worker", what + ": " + id);
    }
    if (count > 0 && std::memcmp(mxGetPr(again[0]), x, count * sizeof(double)) != 0) {
        fail("pgproxmt on one worker", what + ": output differs");
    }
    mxDestroyArray(again[0]);
}

bool sameBits(double got, double want, bool nanAware) {
    return (nanAware && std::isnan(got) && std::isnan(want)) ||
           std::memcmp(&got, &want, sizeof got) == 0;
}

// Calls a module's scalar build on one worker with the same inputs and holds every output to
// the bits of the call checked (any NaN for a NaN, as above).
void sameAsScalarBuild(Gateway g, int nlhs, mxArray *const *plhs, int nrhs, const mxArray **prhs,
                       const std::string &what) {
    static standin::Module *scalar[GATEWAYS] = {};
    if (scalar[g] == nullptr) {
        scalar[g] =
            new standin::Module(std::string(MEXA64_DIR) + "/" + kModuleNames[g] + "_scalar.mexa64");
    }
    mxArray *again[8];
    char id[128];
    char message[1024];
    fakeProcessors.store(1);
    int ok = standinCall(scalar[g]->entry(), nlhs, again, nrhs, prhs, id, sizeof id, message,
                         sizeof message);
    fakeProcessors.store(0);
    if (!ok) {
        fail("scalar build on one worker", what + ": " + id);
    }
    for (int k = 0; k < (nlhs > 1 ? nlhs : 1); ++k) {
        size_t n = mxGetM(again[k]) * mxGetN(again[k]);
        if (mxGetM(again[k]) != mxGetM(plhs[k]) || mxGetN(again[k]) != mxGetN(plhs[k])) {
            fail("scalar build on one worker", what + ": output " + std::to_string(k) + " shape");
        }
        for (size_t i = 0; i < n; ++i) {
            if (!sameBits(mxGetPr(again[k])[i], mxGetPr(plhs[k])[i], true)) {
                fail("scalar build on one worker", what + ": output " + std::to_string(k) +
                                                       " element " + std::to_string(i) + " is " +
                                                       bitsOf(mxGetPr(plhs[k])[i]) + ", there " +
                                                       bitsOf(mxGetPr(again[k])[i]));
            }
        }
        mxDestroyArray(again[k]);
    }
}

// shiftproxmt's closed form on one element, each operation in the module's order and the
// elements handled apart last.
double shiftedProxOf(double v, double u, double gamma, double s) {
    double b = (gamma - s) - v;
    double d = std::sqrt(b * b + (4.0 * gamma) * u);
    double z = b > 0.0 ? ((2.0 * gamma) * u) / (b + d) : (d - b) / 2.0;
    if (gamma == kInf) {
        z = u;
    }
    double t = z - s;
    if (t < 0.0) {
        t = 0.0;
    }
    if (std::isnan(v) || std::isnan(u) || !(gamma > 0.0)) {
        t = kNaN;
    }
    return t;
}

// The two identifiers of a real array input, NotDouble then Complex, or "" when it passes.
std::string realArrayError(const mxArray *a, const std::string &prefix) {
    if (!fullDouble(a)) {
        return prefix + "NotDouble";
    }
    if (mxIsComplex(a)) {
        return prefix + "Complex";
    }
    return "";
}

bool tooLongForInt(const mxArray *a) {
    return elementCount(mxGetM(a), mxGetN(a)) > kIntMax || mxGetM(a) > kIntMax ||
           mxGetN(a) > kIntMax;
}

uint64_t countOf(const mxArray *a) {
    return elementCount(mxGetM(a), mxGetN(a));
}

Expected shiftprox(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 4) {
        return error("pgmex:shiftproxmt:invalidNumInputs");
    }
    if (nlhs > 1) {
        return error("pgmex:shiftproxmt:invalidNumOutputs");
    }
    for (int k = 0; k < 2; ++k) {
        std::string id =
            realArrayError(in[k], k == 0 ? "pgmex:shiftproxmt:v" : "pgmex:shiftproxmt:u");
        if (!id.empty()) {
            return error(id);
        }
    }
    uint64_t count = countOf(in[0]);
    if (count != countOf(in[1])) {
        return error("pgmex:shiftproxmt:lengthMismatch");
    }
    if (tooLongForInt(in[0])) {
        return error("pgmex:shiftproxmt:vTooLong");
    }
    if (!realArrayError(in[2], "").empty()) {
        return error("pgmex:shiftproxmt:gammaNotDouble");
    }
    uint64_t steps = countOf(in[2]);
    if (steps != 1 && steps != count) {
        return error("pgmex:shiftproxmt:gammaSize");
    }
    const double *gamma = realPart(in[2]);
    if (steps == 1 && !(gamma[0] > 0.0 && std::isfinite(gamma[0]))) {
        return error("pgmex:shiftproxmt:gammaNotPositive");
    }
    if (!realDoubleScalar(in[3])) {
        return error("pgmex:shiftproxmt:sNotScalar");
    }
    double s = mxGetScalar(in[3]);
    if (!(s >= 0.0 && std::isfinite(s))) {
        return error("pgmex:shiftproxmt:sNotNonnegative");
    }
    const double *v = realPart(in[0]);
    const double *u = realPart(in[1]);
    Expected e;
    e.rows = mxGetM(in[0]);
    e.columns = mxGetN(in[0]);
    e.nanAware = true;
    for (uint64_t i = 0; i < count; ++i) {
        e.values.push_back(shiftedProxOf(v[i], u[i], gamma[steps == 1 ? 0 : i], s));
    }
    return e;
}

// w = q + sigma (2 Hxt - Hx), the point whose proximity step datapdstep takes.
double dualPoint(const mxArray *const *in, double sigma, uint64_t i) {
    return realPart(in[0])[i] + sigma * (2.0 * realPart(in[1])[i] - realPart(in[2])[i]);
}

Expected datapd(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 6 && in.size() != 8) {
        return error("pgmex:datapdstep:invalidNumInputs");
    }
    if (nlhs > 1) {
        return error("pgmex:datapdstep:invalidNumOutputs");
    }
    bool exact = in.size() == 8;
    double s = 0.0;
    if (exact) {
        const char *names[3] = {"var", "mean", "alpha"};
        const char *faults[3] = {"NotPositive", "NotFinite", "NotPositive"};
        for (int k = 0; k < 3; ++k) {
            std::string prefix = std::string("pgmex:datapdstep:") + names[k];
            if (!realDoubleScalar(in[5 + k])) {
                return error(prefix + "NotScalar");
            }
            double x = mxGetScalar(in[5 + k]);
            if (!(k == 1 ? std::isfinite(x) : x > 0.0 && std::isfinite(x))) {
                return error(prefix + faults[k]);
            }
        }
    } else {
        if (!realDoubleScalar(in[5])) {
            return error("pgmex:datapdstep:sNotScalar");
        }
        s = mxGetScalar(in[5]);
        if (!(s >= 0.0 && std::isfinite(s))) {
            return error("pgmex:datapdstep:sNotNonnegative");
        }
    }
    if (!realDoubleScalar(in[3])) {
        return error("pgmex:datapdstep:sigmaNotScalar");
    }
    double sigma = mxGetScalar(in[3]);
    if (!(sigma > 0.0 && std::isfinite(sigma))) {
        return error("pgmex:datapdstep:sigmaNotPositive");
    }
    const char *arrays[4] = {"q", "Hxt", "Hx", exact ? "y" : "u"};
    for (int k = 0; k < 4; ++k) {
        std::string id =
            realArrayError(in[k == 3 ? 4 : k], std::string("pgmex:datapdstep:") + arrays[k]);
        if (!id.empty()) {
            return error(id);
        }
    }
    uint64_t count = countOf(in[0]);
    if (count != countOf(in[1]) || count != countOf(in[2]) || count != countOf(in[4])) {
        return error("pgmex:datapdstep:lengthMismatch");
    }
    if (tooLongForInt(in[0])) {
        return error("pgmex:datapdstep:qTooLong");
    }
    Expected e;
    e.rows = mxGetM(in[0]);
    e.columns = mxGetN(in[0]);
    e.nanAware = true;
    if (!exact) {
        // Moreau's identity with shiftproxmt's closed form at step 1 / sigma.
        double gamma = 1.0 / sigma;
        const double *u = realPart(in[4]);
        for (uint64_t i = 0; i < count; ++i) {
            double w = dualPoint(in.data(), sigma, i);
            double t = shiftedProxOf(w / sigma, u[i], gamma, s);
            e.values.push_back(w - sigma * t);
        }
    }
    return e;
}

// The exact form against pgproxmt as built, through Moreau's identity: qt = w - sigma
// pgproxmt(w / sigma, y, 1 / sigma, var, mean, alpha). A step 1 / sigma that overflows goes
// element by element, as pgproxmt refuses an infinite scalar step; with one element it has no
// such form and only the scalar build checks it.
void checkDatapdExact(const mxArray *qt, const mxArray **prhs, const std::string &what) {
    static standin::Module *prox =
        new standin::Module(std::string(MEXA64_DIR) + "/pgproxmt.mexa64");
    size_t count = countOf(prhs[0]);
    double sigma = mxGetScalar(prhs[3]);
    double gamma = 1.0 / sigma;
    bool perElement = !std::isfinite(gamma);
    if (count == 0 || (perElement && count == 1)) {
        return;
    }
    mxArray *v = standinCreateFull(mxDOUBLE_CLASS, 1, count, mxREAL);
    mxArray *steps = standinCreateFull(mxDOUBLE_CLASS, 1, perElement ? count : 1, mxREAL);
    std::vector<double> w(count);
    for (size_t i = 0; i < count; ++i) {
        w[i] = dualPoint(prhs, sigma, i);
        static_cast<double *>(standinRealData(v))[i] = w[i] / sigma;
    }
    for (size_t i = 0; i < (perElement ? count : 1); ++i) {
        static_cast<double *>(standinRealData(steps))[i] = gamma;
    }
    const mxArray *args[6] = {v, prhs[4], steps, prhs[5], prhs[6], prhs[7]};
    mxArray *t[1];
    char id[128];
    char message[1024];
    if (!standinCall(prox->entry(), 1, t, 6, args, id, sizeof id, message, sizeof message)) {
        fail("datapdstep against pgproxmt", what + ": " + id);
    }
    for (size_t i = 0; i < count; ++i) {
        double want = w[i] - sigma * mxGetPr(t[0])[i];
        if (!sameBits(mxGetPr(qt)[i], want, true)) {
            fail("datapdstep against pgproxmt", what + ": element " + std::to_string(i) + " is " +
                                                    bitsOf(mxGetPr(qt)[i]) + ", expected " +
                                                    bitsOf(want));
        }
    }
    mxDestroyArray(t[0]);
    mxDestroyArray(steps);
    mxDestroyArray(v);
}

const char *const kTvpdArrays[11] = {"xt",  "x",  "p", "Dx",  "DtP", "HtQt",
                                     "HtQ", "qt", "q", "Hxt", "Hx"};

// A real double array input of exactly count elements, as steps, spacing and need are checked.
bool realDoubles(const mxArray *a) {
    return fullDouble(a) && !mxIsComplex(a);
}

// tvpdstep's step written as whole-array operations over xt's domain, one element after
// another: D and D' from the coordinates, the projection, the relaxations and the sums in
// element order.
void tvpdReference(const std::vector<mxArray *> &in, int nd, Expected &e) {
    const double *xt = realPart(in[0]), *x = realPart(in[1]), *p = realPart(in[2]),
                 *dx = realPart(in[3]), *dtp = realPart(in[4]), *htqt = realPart(in[5]),
                 *htq = realPart(in[6]), *qt = realPart(in[7]), *q = realPart(in[8]),
                 *hxt = realPart(in[9]), *hx = realPart(in[10]);
    const double *st = realPart(in[11]);
    const double *h = realPart(in[12]);
    const double tau = st[0], sigma = st[1], lambda = st[2], rho = st[3];
    bool residuals = realPart(in[13])[0] != 0.0;
    bool tv = realPart(in[13])[1] != 0.0;
    size_t count = countOf(in[0]);
    size_t dataCount = countOf(in[7]);
    bool blurred = countOf(in[5]) != 0;
    // The differenced dimensions (1 past nd, and past xt's two), then pages.
    size_t size[3] = {mxGetM(in[0]), nd > 1 ? mxGetN(in[0]) : 1, 1};
    size_t stride[3] = {1, size[0], size[0] * size[1]};
    std::vector<double> d(nd * count), pt(nd * count);
    std::vector<double> &xOut = e.values;
    std::vector<double> &pOut = e.later[0].values, &dxOut = e.later[1].values,
                        &dtpOut = e.later[2].values, &htqOut = e.later[3].values,
                        &qOut = e.later[4].values, &hxOut = e.later[5].values,
                        &norms = e.later[6].values;
    double dual = 0.0, total = 0.0, primal = 0.0;
    auto last = [&](size_t i, int k) { return (i / stride[k]) % size[k] == size[k] - 1; };
    for (size_t i = 0; i < count; ++i) {
        double squares = 0.0, sum = 0.0;
        double v[3];
        for (int k = 0; k < nd; ++k) {
            double diff = (last(i, k) ? xt[i] : xt[i + stride[k]]) - xt[i];
            d[nd * i + k] = h[k] != 1.0 ? diff / h[k] : diff;
            v[k] = p[nd * i + k] + sigma * (2.0 * d[nd * i + k] - dx[nd * i + k]);
            sum = sum + v[k] * v[k];
        }
        double norm = std::sqrt(sum);
        double t = 1.0 - lambda / norm;
        double factor = t > 0.0 && norm != 0.0 ? t : 0.0;
        for (int k = 0; k < nd; ++k) {
            size_t j = nd * i + k;
            pt[j] = v[k] - factor * v[k];
            pOut.push_back(p[j] + rho * (pt[j] - p[j]));
            dxOut.push_back(dx[j] + rho * (d[j] - dx[j]));
            if (residuals) {
                dual += std::fabs((d[j] - dx[j]) - (pt[j] - p[j]) / sigma);
            }
            squares = squares + d[j] * d[j];
        }
        if (tv) {
            total += std::sqrt(squares);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        double dtpt = 0.0;
        for (int k = 0; k < nd; ++k) {
            bool first = (i / stride[k]) % size[k] == 0;
            double entering = first ? 0.0 : pt[nd * (i - stride[k]) + k];
            double leaving = last(i, k) ? 0.0 : pt[nd * i + k];
            if (h[k] != 1.0) {
                entering = first ? entering : entering / h[k];
                leaving = last(i, k) ? leaving : leaving / h[k];
            }
            dtpt = (dtpt + entering) - leaving;
        }
        xOut.push_back(x[i] + rho * (xt[i] - x[i]));
        dtpOut.push_back(dtp[i] + rho * (dtpt - dtp[i]));
        double residual = -(xt[i] - x[i]) / tau + (dtpt - dtp[i]);
        if (blurred) {
            residual = residual + (htqt[i] - htq[i]);
            htqOut.push_back(htq[i] + rho * (htqt[i] - htq[i]));
        }
        primal += std::fabs(residual);
    }
    double dualData = 0.0;
    for (size_t i = 0; i < dataCount; ++i) {
        qOut.push_back(q[i] + rho * (qt[i] - q[i]));
        hxOut.push_back(hx[i] + rho * (hxt[i] - hx[i]));
        dualData += std::fabs((hxt[i] - hx[i]) - (qt[i] - q[i]) / sigma);
    }
    norms = {residuals ? primal : kNaN, residuals ? (blurred ? dual + dualData : dual) : kNaN,
             tv ? total : kNaN};
}

Expected tvpd(int nlhs, const std::vector<mxArray *> &in) {
    if (in.size() != 14) {
        return error("pgmex:tvpdstep:invalidNumInputs");
    }
    if (nlhs > 8) {
        return error("pgmex:tvpdstep:invalidNumOutputs");
    }
    for (int k = 0; k < 11; ++k) {
        std::string id = realArrayError(in[k], std::string("pgmex:tvpdstep:") + kTvpdArrays[k]);
        if (!id.empty()) {
            return error(id);
        }
    }
    if (!realDoubles(in[11]) || countOf(in[11]) != 4) {
        return error("pgmex:tvpdstep:stepsNotVector");
    }
    for (int k = 0; k < 4; ++k) {
        double step = realPart(in[11])[k];
        if (!(std::isfinite(step) && (k == 2 ? step >= 0.0 : step > 0.0))) {
            return error("pgmex:tvpdstep:stepsNotPositive");
        }
    }
    uint64_t nd = countOf(in[12]);
    if (!realDoubles(in[12]) || nd < 1 || nd > 3) {
        return error("pgmex:tvpdstep:spacingNotVector");
    }
    for (uint64_t k = 0; k < nd; ++k) {
        double h = realPart(in[12])[k];
        if (!(h > 0.0 && std::isfinite(h))) {
            return error("pgmex:tvpdstep:spacingNotPositive");
        }
    }
    if (!realDoubles(in[13]) || countOf(in[13]) != 2) {
        return error("pgmex:tvpdstep:needNotPair");
    }
    uint64_t count = countOf(in[0]);
    if (tooLongForInt(in[0]) || nd * count > kIntMax) {
        return error("pgmex:tvpdstep:xtTooLong");
    }
    // Element counts, in the module's order: x and DtP as xt, p and Dx nd times as many,
    // HtQt and HtQ as xt or both empty, qt empty exactly when they are, q, Hxt, Hx as qt.
    bool blurred = countOf(in[5]) != 0;
    uint64_t dataCount = countOf(in[7]);
    const struct {
        int input;
        uint64_t elements;
    } sizes[] = {{1, count},
                 {4, count},
                 {2, nd * count},
                 {3, nd * count},
                 {5, blurred ? count : 0},
                 {6, blurred ? count : 0}};
    for (const auto &size : sizes) {
        if (countOf(in[size.input]) != size.elements) {
            return error(std::string("pgmex:tvpdstep:") + kTvpdArrays[size.input] + "Size");
        }
    }
    if (blurred != (dataCount != 0)) {
        return error("pgmex:tvpdstep:qtSize");
    }
    for (int k = 8; k <= 10; ++k) {
        if (countOf(in[k]) != dataCount) {
            return error(std::string("pgmex:tvpdstep:") + kTvpdArrays[k] + "Size");
        }
    }
    // What the counts leave unbounded: qt's group, and every empty array's dimensions.
    for (int k = 1; k <= 10; ++k) {
        if (tooLongForInt(in[k])) {
            return error(std::string("pgmex:tvpdstep:") + kTvpdArrays[k] + "TooLong");
        }
    }
    // Each output has the shape of the input it updates; norms is 1 by 3.
    static const int source[7] = {1, 2, 3, 4, 6, 8, 10};
    Expected e;
    e.rows = mxGetM(in[1]);
    e.columns = mxGetN(in[1]);
    e.nanAware = true;
    for (int k = 1; k < 8; ++k) {
        Output out;
        out.rows = k < 7 ? mxGetM(in[source[k]]) : 1;
        out.columns = k < 7 ? mxGetN(in[source[k]]) : 3;
        e.later.push_back(out);
    }
    tvpdReference(in, static_cast<int>(nd), e);
    (void)nlhs;
    return e;
}

// Calls and outputs per gateway, printed at exit: how the run's time was
// shared among the gateways.
long calls[GATEWAYS];
long outputs[GATEWAYS];

void printTally() {
    std::fprintf(stderr, "gateway_fuzzer: calls (outputs):");
    for (int g = 0; g < GATEWAYS; ++g) {
        std::fprintf(stderr, " %s %ld (%ld)", kModuleNames[g], calls[g], outputs[g]);
    }
    std::fprintf(stderr, "\n");
}

} // namespace

// Modules are loaded after this executable, so their processor queries bind
// here; every other query, and any made outside a call, goes to the C library.
extern "C" long sysconf(int name) {
    long fake = fakeProcessors.load();
    if (name == _SC_NPROCESSORS_ONLN && fake != 0) {
        return fake;
    }
    return __sysconf(name);
}

namespace {

// Calls one build of a gateway and holds the outcome to what the model
// expects; returns whether the call succeeded.
bool checkCall(const standin::Module &module, const std::string &what, Gateway g, int nlhs,
               const std::vector<mxArray *> &inputs, const Expected &expected, long processors) {
    mxArray *plhs[10];
    char id[128];
    char message[1024];
    std::vector<const mxArray *> prhs(inputs.begin(), inputs.end());
    fakeProcessors.store(processors);
    standinFailCreation(expected.failCreation ? 1 : 0);
    int ok = standinCall(module.entry(), nlhs, plhs, static_cast<int>(prhs.size()), prhs.data(), id,
                         sizeof id, message, sizeof message);
    standinFailCreation(0);
    fakeProcessors.store(0);

    if (!ok) {
        // The host's own out-of-memory error keeps the host's identifier.
        bool hostError = expected.failCreation && std::strcmp(id, "MATLAB:nomem") == 0;
        if (!hostError && !wellFormedId(id)) {
            fail("malformed identifier", what + ": '" + id + "'");
        }
        if (message[0] == '\0') {
            fail("empty message", what + ": " + id);
        }
        if (expected.id != id) {
            fail("unexpected error", what + ": got " + id + " (" + message + "), expected " +
                                         (expected.id.empty() ? "success" : expected.id));
        }
        return false;
    }
    if (!expected.id.empty()) {
        fail("unexpected success", what + ": expected " + expected.id);
    }
    const mxArray *out = plhs[0];
    if (out == nullptr || !mxIsDouble(out) || mxIsComplex(out) || mxIsSparse(out)) {
        fail("output is not a real full double array", what);
    }
    if (mxGetM(out) != expected.rows || mxGetN(out) != expected.columns) {
        fail("output shape", what + ": " + std::to_string(mxGetM(out)) + "x" +
                                 std::to_string(mxGetN(out)) + ", expected " +
                                 std::to_string(expected.rows) + "x" +
                                 std::to_string(expected.columns));
    }
    const double *got = mxGetPr(out);
    for (size_t i = 0; i < expected.values.size(); ++i) {
        if (!sameBits(got[i], expected.values[i], expected.nanAware)) {
            fail("output value", what + ": element " + std::to_string(i) + " is " + bitsOf(got[i]) +
                                     ", expected " + bitsOf(expected.values[i]));
        }
    }
    for (int k = 1; k < nlhs && static_cast<size_t>(k) <= expected.later.size(); ++k) {
        const Output &want = expected.later[k - 1];
        const mxArray *later = plhs[k];
        std::string which = what + ": output " + std::to_string(k);
        if (later == nullptr || !mxIsDouble(later) || mxIsComplex(later) || mxIsSparse(later)) {
            fail("output is not a real full double array", which);
        }
        if (mxGetM(later) != want.rows || mxGetN(later) != want.columns) {
            fail("output shape", which + ": " + std::to_string(mxGetM(later)) + "x" +
                                     std::to_string(mxGetN(later)) + ", expected " +
                                     std::to_string(want.rows) + "x" +
                                     std::to_string(want.columns));
        }
        for (size_t i = 0; i < want.values.size(); ++i) {
            if (!sameBits(mxGetPr(later)[i], want.values[i], expected.nanAware)) {
                fail("output value", which + ": element " + std::to_string(i) + " is " +
                                         bitsOf(mxGetPr(later)[i]) + ", expected " +
                                         bitsOf(want.values[i]));
            }
        }
    }
    if (g == SHIFTPROX || g == DATAPD || g == TVPD) {
        sameAsScalarBuild(g, nlhs, plhs, static_cast<int>(prhs.size()), prhs.data(), what);
    }
    if (g == DATAPD && prhs.size() == 8) {
        checkDatapdExact(out, prhs.data(), what);
    }
    if (g == TVPD) {
        for (int k = 1; k < nlhs; ++k) {
            mxDestroyArray(plhs[k]);
        }
    }
    if (g == PGPROX) {
        checkPgprox(plhs, prhs.data(), what);
    }
    if (g == PGLIK) {
        checkPglik(nlhs, plhs, prhs.data(), what);
        for (int k = 1; k < nlhs; ++k) {
            mxDestroyArray(plhs[k]);
        }
    }
    mxDestroyArray(plhs[0]);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Each module as built, and for the modules with vector workers also the
    // build capped at AVX2, so that both vector widths meet every input.
    static standin::Module *modules[GATEWAYS][2] = {};
    static const bool capped[GATEWAYS] = {true, false, false, true, true, true, true, true, true};
    // Set to print each call's outcome, for instance when replaying a corpus.
    static const bool verbose = std::getenv("GATEWAY_FUZZER_VERBOSE") != nullptr;
    Reader r{data, size};
    Gateway g = static_cast<Gateway>(r.byte() % GATEWAYS);
    if (modules[g][0] == nullptr) {
        static const int registered = std::atexit(printTally);
        (void)registered;
        std::string path = std::string(MEXA64_DIR) + "/" + kModuleNames[g];
        modules[g][0] = new standin::Module(path + ".mexa64");
        if (capped[g]) {
            modules[g][1] = new standin::Module(path + "_avx2.mexa64");
        }
    }
    long processors = kProcessors[r.byte() % 10];
    static const int nlhsOf[] = {1, 1, 1, 1, 1, 0, 2, 3, 4};
    uint8_t nlhsByte = r.byte();
    int nlhs = nlhsByte < 180 ? nlhsOf[nlhsByte % 9] : (nlhsByte - 180) % 10;
    uint8_t countByte = r.byte();
    int own = g == DATAPD && (countByte & 1) != 0 ? 8 : kInputCounts[g];
    int nrhs = countByte < 200 ? own : countByte % 11;
    bool callRefused = !inputsAccepted(g, nrhs) || !outputsAccepted(g, nlhs);
    std::vector<mxArray *> inputs;
    for (int i = 0; i < nrhs; ++i) {
        inputs.push_back(decodeArray(r, g, i, callRefused));
    }

    Expected expected;
    switch (g) {
    case GROUPSHRINK:
        expected = groupshrink(nlhs, inputs);
        break;
    case OBSEXPSCALE:
        expected = obsexpscale(nlhs, inputs);
        break;
    case TERMDECAY:
        expected = termdecay(nlhs, inputs);
        break;
    case SLOPEMAP:
        expected = slopemap(nlhs, inputs);
        break;
    case PGLIK:
        expected = pglik(nlhs, inputs);
        break;
    case PGPROX:
        expected = pgprox(nlhs, inputs);
        break;
    case SHIFTPROX:
        expected = shiftprox(nlhs, inputs);
        break;
    case DATAPD:
        expected = datapd(nlhs, inputs);
        break;
    case TVPD:
        expected = tvpd(nlhs, inputs);
        break;
    case GATEWAYS:
        break;
    }

    std::string what = std::string(kModuleNames[g]) + " with nlhs " + std::to_string(nlhs) +
                       ", nrhs " + std::to_string(nrhs);
    bool ok = checkCall(*modules[g][0], what, g, nlhs, inputs, expected, processors);
    if (modules[g][1] != nullptr) {
        checkCall(*modules[g][1], what + " (AVX2 build)", g, nlhs, inputs, expected, processors);
    }
    ++calls[g];
    outputs[g] += ok;
    if (verbose) {
        std::fprintf(stderr, "%s: %s\n", what.c_str(),
                     ok ? ("output " + std::to_string(expected.rows) + "x" +
                           std::to_string(expected.columns))
                              .c_str()
                        : expected.id.c_str());
    }
    for (mxArray *a : inputs) {
        mxDestroyArray(a);
    }
    if (standinLiveArrays() != 0) {
        fail("arrays left alive", what + ": " + std::to_string(standinLiveArrays()));
    }
    return 0;
}
