// Exact values at the edges of the domain and at every interval bound, and agreement with the
// written arithmetic over many arguments, all compared bit for bit.

#include "LambertW.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

namespace {

using Fn = double (*)(double);

const Fn approx0 = &LambertWApproximation<0>;
const Fn approxM1 = &LambertWApproximation<-1>;
const Fn refined0 = &LambertW<0>;
const Fn refinedM1 = &LambertW<-1>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Bit equality, except that every NaN matches every NaN: the payload and sign of a NaN made by
// inf - inf or 0/0 is the hardware's business, not part of the result.
bool sameBits(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b);
    }
    std::uint64_t ua = 0;
    std::uint64_t ub = 0;
    std::memcpy(&ua, &a, sizeof a);
    std::memcpy(&ub, &b, sizeof b);
    return ua == ub;
}

double below(double x) {
    return std::nextafter(x, -kInf);
}

double above(double x) {
    return std::nextafter(x, kInf);
}

struct EdgeCase {
    const char *name;
    Fn fn;
    double x;
    double expected;
};

TEST(LambertWValues, EdgeCasesBitForBit) {
    const double branchPoint = -0.36787968862663156;
    const double shortSeriesEnd = -0.36786968862663155;
    const EdgeCase cases[] = {
        {"approx0 at -kInvE", approx0, branchPoint, -1.0},
        {"approxM1 at -kInvE", approxM1, branchPoint, -1.0},
        {"W0 at -kInvE", refined0, branchPoint, -1.0},
        {"Wm1 at -kInvE", refinedM1, branchPoint, -1.0},
        {"approx0 below -kInvE", approx0, -0.3678796886266316, kNaN},
        {"approxM1 below -kInvE", approxM1, -0.3678796886266316, kNaN},
        {"W0 below -kInvE", refined0, -0.3678796886266316, kNaN},
        {"Wm1 below -kInvE", refinedM1, -0.3678796886266316, kNaN},
        {"approx0 long series from -kInvE+1e-5", approx0, shortSeriesEnd, -0.9926447576648271},
        {"approxM1 long series from -kInvE+1e-5", approxM1, shortSeriesEnd, -1.0073914865392242},
        {"Wm1 unrefined at -kInvE+1e-5", refinedM1, shortSeriesEnd, -1.0073914865392242},
        {"approx0 first rational from its bound", approx0, -0.32358170806015724,
         -0.5751080967611365},
        {"approx0 second rational from its bound", approx0, 0.14546954290661823,
         0.12799353401948851},
        {"approx0 expansion from its bound", approx0, 8.706658967856612, 1.6582093073689206},
        {"approx0 rational below the expansion", approx0, below(8.706658967856612),
         1.6583846419044945},
        {"approxM1 rational from its bound", approxM1, -0.30298541769, -1.7586073865899177},
        {"approxM1 series below the rational", approxM1, below(-0.30298541769),
         -1.7585414973045328},
        {"W0 at +0", refined0, 0.0, 0.0},
        {"W0 at -0", refined0, -0.0, -0.0},
        {"approx0 at 0.5", approx0, 0.5, 0.35173366131467526},
        {"W0 unrefined at 0.5", refined0, 0.5, 0.35173366131467526},
        {"approx0 at 1", approx0, 1.0, 0.5671432924128851},
        {"W0 at 1", refined0, 1.0, 0.5671432904097838},
        {"W0 refined just above 1-kInvE", refined0, 0.6321203113733685, 0.4167038836727243},
        {"approx0 at 10", approx0, 10.0, 1.7458922020761507},
        {"W0 at 10", refined0, 10.0, 1.7455280027406994},
        {"W0 at 1e10", refined0, 1e10, 20.028685413304952},
        {"approx0 at +inf", approx0, kInf, kNaN},
        {"W0 at +inf", refined0, kInf, kNaN},
        {"approxM1 at -0.2", approxM1, -0.2, -2.5426411358000585},
        {"Wm1 at -0.2", refinedM1, -0.2, -2.542641357773526},
        {"approxM1 at -0.001", approxM1, -0.001, -9.118006464490454},
        {"Wm1 at -0.001", refinedM1, -0.001, -9.11800647040274},
        {"approxM1 at +0", approxM1, 0.0, -kInf},
        {"approxM1 at -0", approxM1, -0.0, -kInf},
        {"Wm1 at +0", refinedM1, 0.0, kNaN},
        {"Wm1 at -0", refinedM1, -0.0, kNaN},
        {"approxM1 at the smallest positive", approxM1, std::numeric_limits<double>::denorm_min(),
         kNaN},
        {"Wm1 at 1", refinedM1, 1.0, kNaN},
        {"approxM1 at +inf", approxM1, kInf, kNaN},
        {"approx0 at NaN", approx0, kNaN, kNaN},
        {"approxM1 at NaN", approxM1, kNaN, kNaN},
        {"W0 at NaN", refined0, kNaN, kNaN},
        {"Wm1 at NaN", refinedM1, kNaN, kNaN},
        {"approx0 at -inf", approx0, -kInf, kNaN},
        {"approxM1 at -inf", approxM1, -kInf, kNaN},
        {"W0 at -inf", refined0, -kInf, kNaN},
        {"Wm1 at -inf", refinedM1, -kInf, kNaN},
    };
    for (const EdgeCase &c : cases) {
        const double got = c.fn(c.x);
        EXPECT_TRUE(sameBits(got, c.expected))
            << c.name << ": x = " << c.x << " gave " << got << ", expected " << c.expected;
    }
}

// The pieces, transcribed independently so that each bound can be checked against the formula
// that should own it, on the bound and on the doubles either side of it.
double horner(std::initializer_list<double> highestFirst, double x) {
    double r = 0;
    bool first = true;
    for (double c : highestFirst) {
        r = first ? c : r * x + c;
        first = false;
    }
    return r;
}

double pieceP(double x) {
    const double t = x * 2.71828 + 1;
    return std::sqrt(t + t);
}

double pieceS5(double s) {
    return horner({769.0 / 17280, -43.0 / 540, 11.0 / 72, -1.0 / 3, 1, -1}, s);
}

double pieceS9(double s) {
    return horner({226287557.0 / 37623398400, -1963.0 / 204120, 680863.0 / 43545600, -221.0 / 8505,
                   769.0 / 17280, -43.0 / 540, 11.0 / 72, -1.0 / 3, 1, -1},
                  s);
}

double pieceR1(double x) {
    return horner({0.6534490169919599, 7.338883399111118, 11.392205505329132, 5.931375839364438, 1},
                  x) *
           x /
           (1 +
            x * horner({5.115235195211697, 16.43072324143226, 16.82349461388016, 6.931373689597704},
                       x));
}

double pieceR2(double x) {
    return horner({0.0008047501729129999, 0.14844005539759195, 1.3436642259582265,
                   2.4450530707265568, 1},
                  x) *
           x /
           (1 + x * horner({0.05306864044833221, 0.9164600188031222, 3.2924898573719523,
                            3.4447089864860025},
                           x));
}

double pieceExpansion(double x) {
    const double l1 = std::log(x);
    const double l2 = std::log(l1);
    const double r = 1 / l1;
    const double c1 = (l2 - 2) * 0.5;
    const double c2 = horner({2, -9, 6}, l2) * (1.0 / 6);
    const double c3 = horner({3, -22, 36, -12}, l2) * (1.0 / 12);
    const double p = 60 + l2 * horner({12, -125, 350, -300}, l2);
    const double t = r * (c1 + (c2 + (p * (r / 60) + c3) * r) * r);
    return (l1 - l2) + (1 + t) * (l2 / l1);
}

double pieceRm1(double x) {
    return horner({657.9493176902304, 253.88810188892484, -7.814176723907436}, x) /
           (x * horner({1477.9341280760887, 962.1784396969866, 682.6073999909428, 99.98567083107612,
                        -60.43958713690808},
                       x) +
            1);
}

double pieceIteratedLog(double x) {
    const double l = std::log(-x);
    double w = l;
    for (int i = 0; i < 9; ++i) {
        w = l - std::log(-w);
    }
    return w;
}

double pieceStep(double x, double w) {
    const double z = std::log(x / w) - w;
    const double a = w + 1;
    const double q = (z * (2.0 / 3) + a) * (a + a);
    return ((q - z) * (z / a) / (q - (z + z)) + 1) * w;
}

double nanPiece(double) {
    return kNaN;
}

struct Bound {
    const char *name;
    Fn fn;
    double bound;
    Fn pieceBelow;
    Fn pieceAbove;
    // Pieces that agree to the last bit on a double cannot tell which one produced it, so each
    // row says where they differ: below -kInvE the series is NaN anyway (sqrt of a negative),
    // the matched rational functions meet exactly on the double below their common bound, and
    // at zero both ends of branch -1 are -inf.
    bool distinctBelow;
    bool distinctAtBound;
};

void checkBound(const Bound &b, bool boundGoesAbove) {
    const double lo = below(b.bound);
    const double hi = above(b.bound);
    const Fn owner = boundGoesAbove ? b.pieceAbove : b.pieceBelow;
    if (b.distinctBelow) {
        EXPECT_FALSE(sameBits(b.pieceBelow(lo), b.pieceAbove(lo))) << b.name;
    }
    if (b.distinctAtBound) {
        EXPECT_FALSE(sameBits(b.pieceBelow(b.bound), b.pieceAbove(b.bound))) << b.name;
    }
    EXPECT_TRUE(sameBits(b.fn(lo), b.pieceBelow(lo)))
        << b.name << ": below " << b.bound << " gave " << b.fn(lo);
    EXPECT_TRUE(sameBits(b.fn(b.bound), owner(b.bound)))
        << b.name << ": at " << b.bound << " gave " << b.fn(b.bound);
    EXPECT_TRUE(sameBits(b.fn(hi), b.pieceAbove(hi)))
        << b.name << ": above " << b.bound << " gave " << b.fn(hi);
}

// The approximations test x < bound, so a bound starts the interval above it.
TEST(LambertWValues, ApproximationBoundsBelongToTheIntervalAbove) {
    const double kInvE = LambertWDetail::kInvE;
    const Bound bounds[] = {
        {"approx0 NaN | short series", approx0, -kInvE, nanPiece,
         [](double x) { return pieceS5(pieceP(x)); }, false, true},
        {"approx0 short | long series", approx0, -kInvE + 1e-5,
         [](double x) { return pieceS5(pieceP(x)); }, [](double x) { return pieceS9(pieceP(x)); },
         true, true},
        {"approx0 long series | first rational", approx0, -0.32358170806015724,
         [](double x) { return pieceS9(pieceP(x)); }, pieceR1, true, true},
        {"approx0 first | second rational", approx0, 0.14546954290661823, pieceR1, pieceR2, false,
         true},
        {"approx0 second rational | expansion", approx0, 8.706658967856612, pieceR2, pieceExpansion,
         true, true},
        {"approxM1 NaN | short series", approxM1, -kInvE, nanPiece,
         [](double x) { return pieceS5(-pieceP(x)); }, false, true},
        {"approxM1 short | long series", approxM1, -kInvE + 1e-5,
         [](double x) { return pieceS5(-pieceP(x)); }, [](double x) { return pieceS9(-pieceP(x)); },
         true, true},
        {"approxM1 long series | rational", approxM1, -0.30298541769,
         [](double x) { return pieceS9(-pieceP(x)); }, pieceRm1, true, true},
        {"approxM1 rational | iterated log", approxM1, -0.051012917658221676, pieceRm1,
         pieceIteratedLog, false, true},
        {"approxM1 iterated log | -inf at 0, NaN above", approxM1, 0.0, pieceIteratedLog,
         [](double x) { return x == 0 ? -kInf : kNaN; }, true, false},
    };
    for (const Bound &b : bounds) {
        checkBound(b, true);
    }
    // Anchor the transcribed short series to a value the long series must not produce.
    EXPECT_EQ(pieceS5(pieceP(-kInvE + 1e-5)), -0.992644757664823);
}

// The refinement tests x > bound, so its bound is the last unrefined argument.
TEST(LambertWValues, RefinementStartsStrictlyAboveItsBound) {
    const double kInvE = LambertWDetail::kInvE;
    const Bound bounds[] = {
        {"W0 unrefined | refined", refined0, 1 - kInvE, approx0,
         [](double x) { return pieceStep(x, LambertWApproximation<0>(x)); }, true, true},
        {"Wm1 unrefined | refined", refinedM1, -kInvE + 1e-5, approxM1,
         [](double x) { return pieceStep(x, LambertWApproximation<-1>(x)); }, true, true},
    };
    for (const Bound &b : bounds) {
        checkBound(b, false);
    }
}

// The transcribed pieces assembled by their lower bounds, as a second, table-driven statement
// of the arithmetic. Comparing it bit for bit over many points catches what a handful of fixed
// values cannot: a coefficient off in its last digit, an operation reassociated, a constant
// rounded the other way. Each of these moves only some results by an ulp.
struct Piece {
    double from; // first argument the piece applies to
    Fn piece;
};

double assembled(const std::vector<Piece> &pieces, double x) {
    // The piece of the last bound at or below x; NaN before the first.
    std::size_t owner = pieces.size();
    for (std::size_t i = 0; i < pieces.size() && x >= pieces[i].from; ++i) {
        owner = i;
    }
    return owner == pieces.size() ? kNaN : pieces[owner].piece(x);
}

double model0(double x) {
    const double kInvE = LambertWDetail::kInvE;
    static const std::vector<Piece> pieces = {
        {-kInvE, [](double t) { return pieceS5(pieceP(t)); }},
        {-kInvE + 1e-5, [](double t) { return pieceS9(pieceP(t)); }},
        {-0.32358170806015724, pieceR1},
        {0.14546954290661823, pieceR2},
        {8.706658967856612, pieceExpansion},
    };
    return assembled(pieces, x);
}

double modelM1(double x) {
    const double kInvE = LambertWDetail::kInvE;
    static const std::vector<Piece> pieces = {
        {-kInvE, [](double t) { return pieceS5(-pieceP(t)); }},
        {-kInvE + 1e-5, [](double t) { return pieceS9(-pieceP(t)); }},
        {-0.30298541769, pieceRm1},
        {-0.051012917658221676, pieceIteratedLog},
        {0.0, [](double t) { return t == 0 ? -kInf : kNaN; }},
    };
    return assembled(pieces, x);
}

TEST(LambertWValues, AgreesBitForBitWithTheAssembledPieces) {
    const double kInvE = LambertWDetail::kInvE;
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> xs;
    for (int k = 0; k < 40000; ++k) {
        xs.push_back(-kInvE + (10 + kInvE) * unit(gen));         // bounded part, both branches
        xs.push_back(-kInvE + 0.1 * unit(gen));                  // series, finer
        xs.push_back(std::exp(-744 + 1454 * unit(gen)));         // x > 0, all magnitudes
        xs.push_back(-std::exp(-744 + 741 * unit(gen)) * kInvE); // x < 0 down to subnormals
    }
    for (double b :
         {-kInvE, -kInvE + 1e-5, -0.32358170806015724, 0.14546954290661823, 0.6321203113733684,
          8.706658967856612, -0.30298541769, -0.051012917658221676, 0.0}) {
        double lo = b;
        double hi = b;
        for (int k = 0; k < 64; ++k, lo = below(lo), hi = above(hi)) {
            xs.push_back(lo);
            xs.push_back(hi);
        }
    }
    int mismatches = 0;
    for (double x : xs) {
        const double a0 = model0(x);
        const double am1 = modelM1(x);
        const double w0 = x > 1 - kInvE ? pieceStep(x, a0) : a0;
        // Near zero the step is skipped where x / w would leave the normal range.
        const bool tiny = x != 0 && std::fabs(x / am1) < std::numeric_limits<double>::min();
        const double wm1 = x > -kInvE + 1e-5 && !tiny ? pieceStep(x, am1) : am1;
        const double got[] = {approx0(x), refined0(x), approxM1(x), refinedM1(x)};
        const double want[] = {a0, w0, am1, wm1};
        const char *names[] = {"approx0", "W0", "approxM1", "Wm1"};
        for (int i = 0; i < 4; ++i) {
            if (!sameBits(got[i], want[i]) && ++mismatches <= 10) {
                ADD_FAILURE() << names[i] << " at x = " << x << " gave " << got[i]
                              << ", the pieces give " << want[i];
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << "over " << xs.size() << " arguments";
}

} // namespace
