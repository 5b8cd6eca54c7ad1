#include "base/numtext.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

std::string dtext(double v) {
    char b[zo::numtextmax];
    return std::string(b, zo::fmtdouble(b, v));
}

// Significant digits of std::to_chars's shortest text: the oracle.
int shortestdigits(double v) {
    char t[64];
    auto r = std::to_chars(t, t + sizeof t, v, std::chars_format::scientific);
    int n = 0;
    for (char* p = t; p < r.ptr && *p != 'e'; ++p) n += (*p >= '0' && *p <= '9');
    return n;
}

// Significant digits of one of our texts (leading zeros and trailing zeros
// of the digit string do not count).
int textdigits(const char* s) {
    int first = -1, last = -1, pos = 0;
    for (; *s && *s != 'e'; ++s) {
        if (*s < '0' || *s > '9') continue;
        if (*s != '0') {
            if (first < 0) first = pos;
            last = pos;
        }
        ++pos;
    }
    return first < 0 ? 1 : last - first + 1;
}

TEST(IntTextTest, MatchesToCharsAtEdgesAndRandom) {
    std::vector<int64_t> vals = {0, INT64_MAX, INT64_MIN};
    for (int64_t p = 1; p <= INT64_MAX / 10; p *= 10) {
        for (int64_t q : {p - 1, p, p + 1}) {
            vals.push_back(q);
            vals.push_back(-q);
        }
    }
    std::mt19937_64 rng(3);
    for (int i = 0; i < 100000; ++i) vals.push_back(static_cast<int64_t>(rng() >> (rng() % 64)));
    for (int64_t v : vals) {
        char ours[zo::numtextmax], ref[32];
        size_t n = zo::fmti64(ours, v);
        auto r = std::to_chars(ref, ref + sizeof ref, v);
        ASSERT_EQ(std::string(ours, n), std::string(ref, r.ptr)) << v;
    }
    char b[zo::numtextmax];
    EXPECT_EQ(std::string(b, zo::fmtu64(b, UINT64_MAX)), "18446744073709551615");
}

// Every layout branch of the shortest text, and where the six-decimal writer
// shares it (outside 1e-6..2^63) or not: between those it cuts the fraction
// after seven digits and rounds at the seventh.
TEST(ShortestTest, SpecialValuesAndLayout) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double v;
        const char* text;
        const char* fixed;  // fmtdouble's text when it differs
    } cases[] = {
        {std::numeric_limits<double>::quiet_NaN(), "NaN", nullptr},
        {inf, "inf", nullptr},
        {-inf, "-inf", "inf"},  // the value text keeps the sign
        {-0.0, "0.0", nullptr},
        {9007199254740994.0, "9007199254740994.0", nullptr},  // past 2^53: no zero to add
        {static_cast<double>(0.1f), "0.10000000149011612", "0.1"},
        {1013.2512345678, "1013.2512345678", "1013.251235"},
        {5.0000004, "5.0000004", "5.0"},          // rounds down to nothing
        {1.23456751, "1.23456751", "1.234568"},   // seventh digit 5: up
        {2.00012345, "2.00012345", "2.000123"},   // leading zeros of the fraction
        {-41.99999951, "-41.99999951", "-42.0"},  // carry across the integer part
        {1.56e-6, "0.00000156", "0.000002"},      // just above the limit
        {9223372036854774784.0, "9223372036854775000.0", "9223372036854774784.0"},  // below 2^63
        {1.5e-6, "0.0000015", "0.000002"},
        {0.0000001, "1e-7", nullptr},
        {5e-324, "5e-324", nullptr},
        {DBL_MAX, "1.7976931348623157e308", nullptr},
        {9223372036854775808.0, "9223372036854776000.0", nullptr},  // 2^63
        {1.2345678e20, "123456780000000000000.0", nullptr},         // 21 digits before the point
        {1e21, "1e21", nullptr},                                    // 22 would be too many
    };
    for (const auto& c : cases) {
        char b[zo::numtextmax];
        EXPECT_EQ(std::string(b, zo::fmtshortest(b, c.v)), c.text) << c.v;
        EXPECT_EQ(dtext(c.v), c.fixed ? c.fixed : c.text) << c.v;
    }
    EXPECT_EQ(dtext(std::nextafter(1e-6, 1.0)), "0.000001");  // just above the lower limit
}

// Powers of two and of ten, and their neighbours.
std::vector<double> edgedoubles() {
    std::vector<double> p = {DBL_MAX, std::nextafter(DBL_MIN, 0.0)};  // the largest subnormal
    for (int e = -1074; e <= 1023; ++e) p.push_back(std::ldexp(1.0, e));
    for (int e = -323; e <= 308; ++e)
        p.push_back(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
    for (double x = 1; x < 1e16; x = x * 3 + 1) p.push_back(x);
    std::vector<double> v;
    for (double x : p) {
        for (double y : {std::nextafter(x, 0.0), x, std::nextafter(x, INFINITY)})
            if (y != 0 && std::isfinite(y)) v.push_back(y);
    }
    return v;
}

// The oracle: over a few million doubles (edges, random bit patterns,
// measured-looking values) and floats widened as type-3 values are, strtod
// reads the text back as the same number (for a float, narrowed back to the
// same float), and the text has no more significant digits than
// std::to_chars's shortest one.
TEST(NumTextOracleTest, ShortestReadsBackExactlyAndSixDecimalsStayWithinTheStep) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int nrandom = 200000;  // the sanitizers make each value ten times dearer
#else
    const int nrandom = 1000000;
#endif
    std::vector<double> dbls = edgedoubles();
    std::vector<float> flts = {FLT_MIN, FLT_MAX, FLT_TRUE_MIN, 0.1f, 16777217.0f, 1e-45f};
    std::mt19937_64 rng(12345);
    for (int i = 0; i < nrandom; ++i) {
        const uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (std::isfinite(d) && d != 0) dbls.push_back(d);
        float f;
        const uint32_t fbits = static_cast<uint32_t>(bits >> 32);
        std::memcpy(&f, &fbits, 4);
        if (std::isfinite(f) && f != 0) flts.push_back(f);
        // A reading: a few significant digits, scaled, with measurement noise.
        const double m =
            static_cast<double>(bits % 100000) * std::pow(10.0, (bits >> 40) % 12 - 6.0);
        dbls.push_back(m * (1.0 + static_cast<double>((bits >> 20) % 1000) * 1e-9));
        flts.push_back(static_cast<float>(m));
    }
    long bad = 0;
    auto check = [&bad](double v, const char* what) {
        char t[zo::numtextmax + 1];
        t[zo::fmtshortest(t, v)] = 0;
        char* end = nullptr;
        const double back = std::strtod(t, &end);
        if (back != v || *end != 0 || textdigits(t) > shortestdigits(v) || std::strchr(t, '+')) {
            if (++bad < 10) ADD_FAILURE() << what << " " << v << " is written as " << t;
        }
        return back;
    };
    // Between 1e-6 and 1e15 the six-decimal text is off by less than 1e-6
    // (plus what the double cannot hold) and has 1 to 6 fraction digits,
    // none a superfluous trailing zero, and no exponent.
    auto checkfixed = [&bad](double v) {
        const std::string s = dtext(v);
        const size_t dot = s.find('.'), frac = s.size() - dot - 1;
        if (std::fabs(std::strtod(s.c_str(), nullptr) - v) > 1e-6 + std::fabs(v) * 4e-16 ||
            dot == std::string::npos || frac < 1 || frac > 6 || (frac > 1 && s.back() == '0') ||
            s.find('e') != std::string::npos || (s[0] == '-') != (v < 0)) {
            if (++bad < 10) ADD_FAILURE() << v << " is written as " << s << " in six decimals";
        }
    };
    for (double d : dbls) {
        check(d, "double");
        if (std::fabs(d) >= 1e-6 && std::fabs(d) < 1e15) checkfixed(d);
    }
    for (float f : flts) {
        if (static_cast<float>(check(static_cast<double>(f), "float")) != f && ++bad < 10) {
            ADD_FAILURE() << "float " << f << " does not narrow back";
        }
    }
    EXPECT_EQ(bad, 0) << "of " << dbls.size() << " doubles and " << flts.size() << " floats";
}

}  // namespace
