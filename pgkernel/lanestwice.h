/* A lane type of two HALF registers side by side, TWICE, with its mask TWICE_MASK, every
 * operation acting on both halves and compiled for HALF_TARGET. Included by lanes.h once per
 * width, with these four names defined; it undefines them. */
struct TWICE_MASK {
    HALF::Mask a;
    HALF::Mask b;
};

struct TWICE {
    enum { kWidth = 2 * HALF::kWidth };
    typedef TWICE_MASK Mask;
    HALF a;
    HALF b;
    // cppcheck-suppress uninitMemberVar ; as uninitialised as its halves
    TWICE() = default;
    HALF_TARGET TWICE(const HALF &x, const HALF &y) : a(x), b(y) {}
    // cppcheck-suppress noExplicitConstructor
    HALF_TARGET TWICE(double d) : a(d), b(d) {}
    HALF_TARGET static TWICE load(const double *p, int count) {
        return TWICE(HALF::load(p, count), count > HALF::kWidth
                                               ? HALF::load(p + HALF::kWidth, count - HALF::kWidth)
                                               : HALF(0.0));
    }
    HALF_TARGET static Mask all() {
        return {HALF::all(), HALF::all()};
    }
    HALF_TARGET static Mask fromBits(unsigned bits) {
        return {HALF::fromBits(bits), HALF::fromBits(bits >> HALF::kWidth)};
    }
    HALF_TARGET static TWICE fromLanes(const double *p) {
        return TWICE(HALF::fromLanes(p), HALF::fromLanes(p + HALF::kWidth));
    }
};

HALF_TARGET static inline TWICE operator+(TWICE x, TWICE y) {
    return TWICE(x.a + y.a, x.b + y.b);
}
HALF_TARGET static inline TWICE operator-(TWICE x, TWICE y) {
    return TWICE(x.a - y.a, x.b - y.b);
}
HALF_TARGET static inline TWICE operator*(TWICE x, TWICE y) {
    return TWICE(x.a * y.a, x.b * y.b);
}
HALF_TARGET static inline TWICE operator/(TWICE x, TWICE y) {
    return TWICE(x.a / y.a, x.b / y.b);
}
HALF_TARGET static inline TWICE operator-(TWICE x) {
    return TWICE(-x.a, -x.b);
}
HALF_TARGET static inline TWICE_MASK operator<(TWICE x, TWICE y) {
    return {x.a < y.a, x.b < y.b};
}
HALF_TARGET static inline TWICE_MASK operator<=(TWICE x, TWICE y) {
    return {x.a <= y.a, x.b <= y.b};
}
HALF_TARGET static inline TWICE_MASK operator>(TWICE x, TWICE y) {
    return {x.a > y.a, x.b > y.b};
}
HALF_TARGET static inline TWICE_MASK operator>=(TWICE x, TWICE y) {
    return {x.a >= y.a, x.b >= y.b};
}
HALF_TARGET static inline TWICE_MASK operator==(TWICE x, TWICE y) {
    return {x.a == y.a, x.b == y.b};
}
HALF_TARGET static inline TWICE_MASK unordered(TWICE x, TWICE y) {
    return {unordered(x.a, y.a), unordered(x.b, y.b)};
}
HALF_TARGET static inline TWICE_MASK operator&(TWICE_MASK x, TWICE_MASK y) {
    return {x.a & y.a, x.b & y.b};
}
HALF_TARGET static inline TWICE_MASK operator|(TWICE_MASK x, TWICE_MASK y) {
    return {x.a | y.a, x.b | y.b};
}
HALF_TARGET static inline TWICE_MASK operator~(TWICE_MASK x) {
    return {~x.a, ~x.b};
}
HALF_TARGET static inline bool any(TWICE_MASK m) {
    return any(m.a | m.b);
}
HALF_TARGET static inline unsigned bitsOf(TWICE_MASK m) {
    return bitsOf(m.a) | bitsOf(m.b) << HALF::kWidth;
}
HALF_TARGET static inline TWICE select(TWICE_MASK m, TWICE x, TWICE y) {
    return TWICE(select(m.a, x.a, y.a), select(m.b, x.b, y.b));
}
HALF_TARGET static inline TWICE absolute(TWICE x) {
    return TWICE(absolute(x.a), absolute(x.b));
}
HALF_TARGET static inline TWICE squareRoot(TWICE x) {
    return TWICE(squareRoot(x.a), squareRoot(x.b));
}
HALF_TARGET static inline TWICE truncated(TWICE x) {
    return TWICE(truncated(x.a), truncated(x.b));
}
HALF_TARGET static inline double lane(TWICE x, int l) {
    return l < HALF::kWidth ? lane(x.a, l) : lane(x.b, l - HALF::kWidth);
}
HALF_TARGET static inline void storeLanes(double *p, TWICE x, TWICE_MASK m) {
    storeLanes(p, x.a, m.a);
    storeLanes(p + HALF::kWidth, x.b, m.b);
}
template <double (*f)(double)> HALF_TARGET static inline TWICE apply(TWICE x, TWICE_MASK m) {
    return TWICE(apply<f>(x.a, m.a), apply<f>(x.b, m.b));
}

#undef TWICE
#undef TWICE_MASK
#undef HALF
#undef HALF_TARGET
