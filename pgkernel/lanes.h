/* Lane types: one double (Lanes1), four in an AVX2 register (Lanes4), eight in an AVX-512 one
 * (Lanes8), and two registers of either side by side (Lanes4x2, Lanes8x2), each with a mask type
 * and the same operations, so that an algorithm written once as a template over the lane type
 * compiles to every width and gives the same bits in every lane.
 *
 * The arithmetic is packed IEEE add, subtract, multiply and divide, which round each lane as the
 * scalar operation does; nothing is fused or reassociated. Comparisons are ordered (false on
 * NaN) except unordered(). The C library's functions are called lane by lane (apply), on the
 * lanes of a mask only. Templates over these types are inlined into one entry point per width,
 * which carries that width's target attribute (vectorpaths.h): the wide operations below are
 * plain inline functions, inlined once the template's body lands in such an entry point.
 */
#ifndef PGKERNEL_LANES_H
#define PGKERNEL_LANES_H

#include "vectorpaths.h"

#include <math.h>
#include <stdint.h>

/* Lane values are passed by value only between functions that are all inlined into one entry
 * point, so GCC's note that passing 32-byte vectors changed ABI long ago concerns no call. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

/* Kernel templates: inlined into each width's entry point, for its instruction set. */
#define LANE_INLINE static inline __attribute__((always_inline))

/* ---- One lane: the scalar reference ------------------------------------------------------- */
struct Mask1 {
    bool on;
};

struct Lanes1 {
    enum { kWidth = 1 };
    typedef Mask1 Mask;
    double v;
    // cppcheck-suppress uninitMemberVar ; as uninitialised as a double, to be assigned
    Lanes1() = default;
    /* Implicit, so that constants and scalars broadcast to every lane. */
    // cppcheck-suppress noExplicitConstructor
    Lanes1(double d) : v(d) {}
    /* Lanes first to first + count of p (count at least 1), the rest 0. */
    static Lanes1 load(const double *p, int count) {
        (void)count;
        return *p;
    }
    /* Every lane on, or those of bits (bit l for lane l). */
    static Mask1 all() {
        return {true};
    }
    static Mask1 fromBits(unsigned bits) {
        return {(bits & 1u) != 0};
    }
    /* Lanes from kWidth doubles just written one by one, as apply writes them. */
    static Lanes1 fromLanes(const double *p) {
        return *p;
    }
};

static inline Lanes1 operator+(Lanes1 a, Lanes1 b) {
    return a.v + b.v;
}
static inline Lanes1 operator-(Lanes1 a, Lanes1 b) {
    return a.v - b.v;
}
static inline Lanes1 operator*(Lanes1 a, Lanes1 b) {
    return a.v * b.v;
}
static inline Lanes1 operator/(Lanes1 a, Lanes1 b) {
    return a.v / b.v;
}
static inline Lanes1 operator-(Lanes1 a) {
    return -a.v;
}
static inline Mask1 operator<(Lanes1 a, Lanes1 b) {
    return {a.v < b.v};
}
static inline Mask1 operator<=(Lanes1 a, Lanes1 b) {
    return {a.v <= b.v};
}
static inline Mask1 operator>(Lanes1 a, Lanes1 b) {
    return {a.v > b.v};
}
static inline Mask1 operator>=(Lanes1 a, Lanes1 b) {
    return {a.v >= b.v};
}
static inline Mask1 operator==(Lanes1 a, Lanes1 b) {
    return {a.v == b.v};
}
static inline Mask1 unordered(Lanes1 a, Lanes1 b) {
    return {a.v != a.v || b.v != b.v};
}
static inline Mask1 operator&(Mask1 a, Mask1 b) {
    return {a.on && b.on};
}
static inline Mask1 operator|(Mask1 a, Mask1 b) {
    return {a.on || b.on};
}
static inline Mask1 operator~(Mask1 a) {
    return {!a.on};
}
static inline bool any(Mask1 m) {
    return m.on;
}
static inline unsigned bitsOf(Mask1 m) {
    return m.on ? 1u : 0u;
}
/* a where m is on, else b. */
static inline Lanes1 select(Mask1 m, Lanes1 a, Lanes1 b) {
    return m.on ? a : b;
}
static inline Lanes1 absolute(Lanes1 a) {
    return fabs(a.v);
}
/* Correctly rounded, as the packed square roots are. */
static inline Lanes1 squareRoot(Lanes1 a) {
    return sqrt(a.v);
}
/* Toward zero: exact below 2^52, and every double from there on is whole already. */
static inline Lanes1 truncated(Lanes1 a) {
    return fabs(a.v) < 0x1p52 ? (double)(int64_t)a.v : a.v;
}
static inline double lane(Lanes1 a, int l) {
    (void)l;
    return a.v;
}
/* The lanes of m stored to p, the others left as they are. */
static inline void storeLanes(double *p, Lanes1 a, Mask1 m) {
    if (m.on) {
        *p = a.v;
    }
}
/* f of each lane of m, 0 in the others. */
template <double (*f)(double)> static inline Lanes1 apply(Lanes1 a, Mask1 m) {
    return m.on ? f(a.v) : 0.0;
}

#ifdef VECTOR_AVX2
/* ---- Four lanes, AVX2 ---------------------------------------------------------------------
 * A mask is a vector of all-ones or all-zeros lanes, as the packed comparisons give them. */
struct Mask4 {
    __m256d on;
};

struct Lanes4 {
    enum { kWidth = 4 };
    typedef Mask4 Mask;
    __m256d v;
    Lanes4() = default;
    // cppcheck-suppress noExplicitConstructor
    AVX2_TARGET Lanes4(__m256d a) : v(a) {}
    // cppcheck-suppress noExplicitConstructor
    AVX2_TARGET Lanes4(double d) : v(_mm256_set1_pd(d)) {}
    AVX2_TARGET static Mask4 fromBits(unsigned bits) {
        const __m256i lanes = _mm256_setr_epi64x(1, 2, 4, 8);
        __m256i b = _mm256_and_si256(_mm256_set1_epi64x((long long)bits), lanes);
        return {_mm256_castsi256_pd(_mm256_cmpeq_epi64(b, lanes))};
    }
    AVX2_TARGET static Mask4 all() {
        return {_mm256_castsi256_pd(_mm256_set1_epi64x(-1))};
    }
    AVX2_TARGET static Lanes4 load(const double *p, int count) {
        if (count >= 4) {
            return _mm256_loadu_pd(p);
        }
        return _mm256_maskload_pd(p, _mm256_castpd_si256(fromBits((1u << count) - 1).on));
    }
    /* Loaded lane by lane: one load of four doubles just stored one by one would wait for
     * every store to land. */
    AVX2_TARGET static Lanes4 fromLanes(const double *p) {
        return _mm256_setr_pd(p[0], p[1], p[2], p[3]);
    }
};

AVX2_TARGET static inline Lanes4 operator+(Lanes4 a, Lanes4 b) {
    return _mm256_add_pd(a.v, b.v);
}
AVX2_TARGET static inline Lanes4 operator-(Lanes4 a, Lanes4 b) {
    return _mm256_sub_pd(a.v, b.v);
}
AVX2_TARGET static inline Lanes4 operator*(Lanes4 a, Lanes4 b) {
    return _mm256_mul_pd(a.v, b.v);
}
AVX2_TARGET static inline Lanes4 operator/(Lanes4 a, Lanes4 b) {
    return _mm256_div_pd(a.v, b.v);
}
/* The sign bit flipped, as the scalar negation does. */
AVX2_TARGET static inline Lanes4 operator-(Lanes4 a) {
    return _mm256_xor_pd(a.v, _mm256_set1_pd(-0.0));
}
AVX2_TARGET static inline Mask4 operator<(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)};
}
AVX2_TARGET static inline Mask4 operator<=(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)};
}
AVX2_TARGET static inline Mask4 operator>(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)};
}
AVX2_TARGET static inline Mask4 operator>=(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)};
}
AVX2_TARGET static inline Mask4 operator==(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)};
}
AVX2_TARGET static inline Mask4 unordered(Lanes4 a, Lanes4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_UNORD_Q)};
}
AVX2_TARGET static inline Mask4 operator&(Mask4 a, Mask4 b) {
    return {_mm256_and_pd(a.on, b.on)};
}
AVX2_TARGET static inline Mask4 operator|(Mask4 a, Mask4 b) {
    return {_mm256_or_pd(a.on, b.on)};
}
AVX2_TARGET static inline Mask4 operator~(Mask4 a) {
    return {_mm256_xor_pd(a.on, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))};
}
AVX2_TARGET static inline bool any(Mask4 m) {
    return _mm256_movemask_pd(m.on) != 0;
}
AVX2_TARGET static inline unsigned bitsOf(Mask4 m) {
    return (unsigned)_mm256_movemask_pd(m.on);
}
AVX2_TARGET static inline Lanes4 select(Mask4 m, Lanes4 a, Lanes4 b) {
    return _mm256_blendv_pd(b.v, a.v, m.on);
}
AVX2_TARGET static inline Lanes4 absolute(Lanes4 a) {
    return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v);
}
AVX2_TARGET static inline Lanes4 squareRoot(Lanes4 a) {
    return _mm256_sqrt_pd(a.v);
}
AVX2_TARGET static inline Lanes4 truncated(Lanes4 a) {
    return _mm256_round_pd(a.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}
AVX2_TARGET static inline double lane(Lanes4 a, int l) {
    double each[4];
    _mm256_storeu_pd(each, a.v);
    return each[l];
}
AVX2_TARGET static inline void storeLanes(double *p, Lanes4 a, Mask4 m) {
    _mm256_maskstore_pd(p, _mm256_castpd_si256(m.on), a.v);
}
template <double (*f)(double)> AVX2_TARGET static inline Lanes4 apply(Lanes4 a, Mask4 m) {
    double each[4];
    _mm256_storeu_pd(each, a.v);
    unsigned on = bitsOf(m);
    for (int l = 0; l < 4; ++l) {
        each[l] = on >> l & 1u ? f(each[l]) : 0.0;
    }
    return Lanes4::fromLanes(each);
}
#endif

#ifdef VECTOR_AVX512
/* ---- Eight lanes, AVX-512 ----------------------------------------------------------------- */
struct Mask8 {
    __mmask8 on;
};

struct Lanes8 {
    enum { kWidth = 8 };
    typedef Mask8 Mask;
    __m512d v;
    Lanes8() = default;
    // cppcheck-suppress noExplicitConstructor
    AVX512_TARGET Lanes8(__m512d a) : v(a) {}
    // cppcheck-suppress noExplicitConstructor
    AVX512_TARGET Lanes8(double d) : v(_mm512_set1_pd(d)) {}
    AVX512_TARGET static Mask8 fromBits(unsigned bits) {
        return {(__mmask8)bits};
    }
    AVX512_TARGET static Mask8 all() {
        return {(__mmask8)0xff};
    }
    AVX512_TARGET static Lanes8 load(const double *p, int count) {
        if (count >= 8) {
            return _mm512_loadu_pd(p);
        }
        return _mm512_maskz_loadu_pd((__mmask8)((1u << count) - 1), p);
    }
    /* In two halves, each loaded lane by lane (see Lanes4). */
    AVX512_TARGET static Lanes8 fromLanes(const double *p) {
        __m256d low = _mm256_setr_pd(p[0], p[1], p[2], p[3]);
        __m256d high = _mm256_setr_pd(p[4], p[5], p[6], p[7]);
        return _mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1);
    }
};

AVX512_TARGET static inline Lanes8 operator+(Lanes8 a, Lanes8 b) {
    return _mm512_add_pd(a.v, b.v);
}
AVX512_TARGET static inline Lanes8 operator-(Lanes8 a, Lanes8 b) {
    return _mm512_sub_pd(a.v, b.v);
}
AVX512_TARGET static inline Lanes8 operator*(Lanes8 a, Lanes8 b) {
    return _mm512_mul_pd(a.v, b.v);
}
AVX512_TARGET static inline Lanes8 operator/(Lanes8 a, Lanes8 b) {
    return _mm512_div_pd(a.v, b.v);
}
AVX512_TARGET static inline Lanes8 operator-(Lanes8 a) {
    return _mm512_castsi512_pd(_mm512_xor_si512(
        _mm512_castpd_si512(a.v), _mm512_set1_epi64((long long)0x8000000000000000ull)));
}
AVX512_TARGET static inline Mask8 operator<(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)};
}
AVX512_TARGET static inline Mask8 operator<=(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)};
}
AVX512_TARGET static inline Mask8 operator>(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)};
}
AVX512_TARGET static inline Mask8 operator>=(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)};
}
AVX512_TARGET static inline Mask8 operator==(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ)};
}
AVX512_TARGET static inline Mask8 unordered(Lanes8 a, Lanes8 b) {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_UNORD_Q)};
}
AVX512_TARGET static inline Mask8 operator&(Mask8 a, Mask8 b) {
    return {(__mmask8)(a.on & b.on)};
}
AVX512_TARGET static inline Mask8 operator|(Mask8 a, Mask8 b) {
    return {(__mmask8)(a.on | b.on)};
}
AVX512_TARGET static inline Mask8 operator~(Mask8 a) {
    return {(__mmask8)~a.on};
}
AVX512_TARGET static inline bool any(Mask8 m) {
    return m.on != 0;
}
AVX512_TARGET static inline unsigned bitsOf(Mask8 m) {
    return m.on;
}
AVX512_TARGET static inline Lanes8 select(Mask8 m, Lanes8 a, Lanes8 b) {
    return _mm512_mask_mov_pd(b.v, m.on, a.v);
}
AVX512_TARGET static inline Lanes8 absolute(Lanes8 a) {
    return _mm512_abs_pd(a.v);
}
AVX512_TARGET static inline Lanes8 squareRoot(Lanes8 a) {
    return _mm512_sqrt_pd(a.v);
}
AVX512_TARGET static inline Lanes8 truncated(Lanes8 a) {
    return _mm512_roundscale_pd(a.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}
AVX512_TARGET static inline double lane(Lanes8 a, int l) {
    double each[8];
    _mm512_storeu_pd(each, a.v);
    return each[l];
}
AVX512_TARGET static inline void storeLanes(double *p, Lanes8 a, Mask8 m) {
    _mm512_mask_storeu_pd(p, m.on, a.v);
}
template <double (*f)(double)> AVX512_TARGET static inline Lanes8 apply(Lanes8 a, Mask8 m) {
    double each[8];
    _mm512_storeu_pd(each, a.v);
    unsigned on = m.on;
    for (int l = 0; l < 8; ++l) {
        each[l] = on >> l & 1u ? f(each[l]) : 0.0;
    }
    return Lanes8::fromLanes(each);
}
#endif

/* ---- Two registers of lanes --------------------------------------------------------------
 * A walk is bound by the latency of its multiplications, each step waiting on the last; two
 * registers of lanes side by side give the processor two chains to interleave. lanestwice.h
 * makes such a type, every operation acting on both registers, with the target of its half. */
#ifdef VECTOR_AVX2
#define TWICE Lanes4x2
#define TWICE_MASK Mask4x2
#define HALF Lanes4
#define HALF_TARGET AVX2_TARGET
#include "lanestwice.h"
#endif
#ifdef VECTOR_AVX512
#define TWICE Lanes8x2
#define TWICE_MASK Mask8x2
#define HALF Lanes8
#define HALF_TARGET AVX512_TARGET
#include "lanestwice.h"
#endif

#endif
