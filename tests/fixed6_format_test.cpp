#include "fixed6_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string fixed6(double v) {
    char buf[fixed6_max_size];
    const char* end = format_fixed6(buf, v);
    return std::string(buf, static_cast<std::size_t>(end - buf));
}

std::string hex_of(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

double from_bits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

double ulps_away(double v, int ulps) {
    for (; ulps > 0; --ulps) v = std::nextafter(v, INFINITY);
    for (; ulps < 0; ++ulps) v = std::nextafter(v, -INFINITY);
    return v;
}

struct expected_text {
    double value;
    const char* text;
};

// The expected texts are the correctly rounded decimal expansions of the
// exact binary values, worked out independently of the C library.
TEST(Fixed6Format, PrintsTheCorrectlyRoundedExpansion) {
    const expected_text cases[] = {
        // Only odd multiples of 2^-7 sit exactly half-way between two
        // six-decimal numbers.
        {0.0078125, "0.007812"},
        {0.0234375, "0.023438"},
        {-0.0078125, "-0.007812"},
        {2.5078125, "2.507812"},
        {1000.9921875, "1000.992188"},
        {0.00390625, "0.003906"},
        {std::nextafter(0.0078125, 1.0), "0.007813"},
        {std::nextafter(0.0078125, 0.0), "0.007812"},
        {std::nextafter(0.0234375, 0.0), "0.023437"},
        // The doubles nearest to x.5e-6 are not ties; each side of them too.
        {0.5e-6, "0.000000"},
        {std::nextafter(0.5e-6, 1.0), "0.000001"},
        {std::nextafter(0.5e-6, 0.0), "0.000000"},
        {1.5e-6, "0.000002"},
        {std::nextafter(1.5e-6, 0.0), "0.000001"},
        {2.5e-6, "0.000003"},
        {std::nextafter(2.5e-6, 0.0), "0.000002"},
        {0x1.8p-20, "0.000001"},
        {0x1p-20, "0.000001"},
        {123456.7890125, "123456.789012"},
        // Tiny values round to zero and keep the sign.
        {0.0, "0.000000"},
        {-0.0, "-0.000000"},
        {-1e-300, "-0.000000"},
        {-4.9e-7, "-0.000000"},
        {-5e-324, "-0.000000"},
        {-0.5e-6, "-0.000000"},
        {-1.5e-6, "-0.000002"},
        // Carries, and large values with every integer digit.
        {0.9999995, "1.000000"},
        {std::nextafter(0.9999995, 0.0), "0.999999"},
        {-0.9999995, "-1.000000"},
        // The double nearest 9.9999995 lies below it; the next one up does not.
        {9.9999995, "9.999999"},
        {std::nextafter(9.9999995, 100.0), "10.000000"},
        {999999.9999995, "999999.999999"},
        {std::nextafter(999999.9999995, 1e7), "1000000.000000"},
        {4503599627370495.5, "4503599627370495.500000"},
        {4503599627370496.0, "4503599627370496.000000"},
        {0x1p63, "9223372036854775808.000000"},
        {std::nextafter(0x1p64, 0.0), "18446744073709549568.000000"},
        {0x1p64, "18446744073709551616.000000"},
        {0x1p53 + 2, "9007199254740994.000000"},
        {1e22, "10000000000000000000000.000000"},
        {1e23, "99999999999999991611392.000000"},
        {1e300,
         "1000000000000000052504760255204420248704468581108159154915854115511802457988908195"
         "7863713750804478640437044438328838781769425232353604305756447921847867069828483872"
         "0092657580373783023379478809005936895323497079994508111903896764088007465274278014"
         "2494579258788820056842838115669472196386865459400540160.000000"},
        {DBL_MAX,
         "1797693134862315708145274237317043567980705675258449965989174768031572607800285387"
         "6058955863276687817154045895351438246423432132688946418276846754670353751698604991"
         "0576551282076245490090389328944075868508455133942304583236903222948165808559332123"
         "348274797826204144723168738177180919299881250404026184124858368.000000"},
        {HUGE_VAL, "inf"},
        {-HUGE_VAL, "-inf"},
        {from_bits(0x7ff8000000000000), "nan"},
        {from_bits(0xfff8000000000000), "-nan"},
        {from_bits(0x7ff0000000000001), "nan"},
        {from_bits(0xffffffffffffffff), "-nan"},
    };
    for (const expected_text& c : cases) EXPECT_EQ(fixed6(c.value), c.text) << hex_of(c.value);
}

TEST(Fixed6Format, WritesOnlyUpToTheReturnedEnd) {
    constexpr unsigned char guard = 0xa5;
    const double values[] = {-DBL_MAX, 1e300, -0.0, 9.9999995, 3599.9999, -2.5, NAN};
    for (double v : values) {
        unsigned char buf[fixed6_max_size + 32];
        std::memset(buf, guard, sizeof buf);
        char* start = reinterpret_cast<char*>(buf);
        const char* end = format_fixed6(start, v);
        const std::size_t used = static_cast<std::size_t>(end - start);
        ASSERT_LE(used, fixed6_max_size) << hex_of(v);
        for (std::size_t i = used; i < sizeof buf; ++i) {
            ASSERT_EQ(buf[i], guard) << "byte " << i << " written for " << hex_of(v);
        }
    }
    EXPECT_EQ(fixed6(-DBL_MAX), "-" + fixed6(DBL_MAX));
    EXPECT_EQ(fixed6(-DBL_MAX).size(), fixed6_max_size);
}

// --- Differential check against the C library ------------------------------

std::uint64_t total_diff_count() {
    constexpr std::uint64_t default_count = 10000000;
    const char* text = std::getenv("ACC_FORMAT_DIFF_COUNT");
    if (text == nullptr || *text == '\0') return default_count;
    char* end = nullptr;
    const unsigned long long count = std::strtoull(text, &end, 10);
    if (*end != '\0' || count == 0) return default_count;
    return count;
}

// This generator's part of the total, in per mille. The C library needs
// microseconds for each of the huge values that random bit patterns are half
// made of, so those get a small part.
std::uint64_t share_of_total(unsigned per_mille) {
    const std::uint64_t count = total_diff_count() * per_mille / 1000;
    return count > 0 ? count : 1;
}

// Compares `count` values drawn by `next(rng, i)` with snprintf, under the
// C numeric locale, and reports only the first mismatch, with its bits.
template <typename generator>
void expect_same_as_snprintf(std::uint64_t seed, std::uint64_t count, generator next) {
    ASSERT_STREQ(std::localeconv()->decimal_point, ".");
    std::mt19937_64 rng(seed);
    for (std::uint64_t i = 0; i < count; ++i) {
        const double v = next(rng, i);
        char mine[fixed6_max_size];
        const std::size_t mine_size = static_cast<std::size_t>(format_fixed6(mine, v) - mine);
        char theirs[fixed6_max_size + 1];
        const int theirs_size = std::snprintf(theirs, sizeof theirs, "%.6f", v);
        if (theirs_size < 0 || static_cast<std::size_t>(theirs_size) != mine_size ||
            std::memcmp(mine, theirs, mine_size) != 0) {
            ADD_FAILURE() << "mismatch at value " << i << ": " << hex_of(v)
                          << "\n  snprintf:      \"" << theirs << "\"\n  format_fixed6: \""
                          << std::string(mine, mine_size) << "\"";
            return;
        }
    }
}

double random_sign(std::mt19937_64& rng, double v) { return (rng() & 1) != 0 ? -v : v; }

// A 53-bit mantissa, random below its leading bit.
double random_mantissa(std::mt19937_64& rng) {
    return static_cast<double>((rng() >> 11) | (std::uint64_t{1} << 52));
}

// Log-uniform magnitudes of either sign, subnormals, nan and inf.
TEST(Fixed6Differential, RandomBitPatterns) {
    expect_same_as_snprintf(0x5eed0001, share_of_total(60),
                            [](std::mt19937_64& rng, std::uint64_t) { return from_bits(rng()); });
}

TEST(Fixed6Differential, DyadicFractionsAndExactTies) {
    expect_same_as_snprintf(
        0x5eed0003, share_of_total(150), [](std::mt19937_64& rng, std::uint64_t) {
            // Half of them k / 2^7: every odd k gives an exact tie.
            const int denominator_bits = (rng() & 1) != 0 ? 7 : static_cast<int>(rng() % 61);
            const unsigned dropped_bits = 11 + static_cast<unsigned>(rng() % 53);
            const std::uint64_t k = rng() >> dropped_bits;
            return random_sign(rng, std::ldexp(static_cast<double>(k), -denominator_bits));
        });
}

TEST(Fixed6Differential, DecimalHalfwayPointsAndNeighbours) {
    // Each centre, then 4 ulps either side of it.
    double centre = 0;
    expect_same_as_snprintf(
        0x5eed0004, share_of_total(300), [&](std::mt19937_64& rng, std::uint64_t i) {
            if (i % 9 == 0) {
                // 2k + 1 stays below 2^53, so the division yields the double nearest
                // to (k + 0.5) * 1e-6; every other draw uses the product as written.
                const unsigned dropped_bits = 12 + static_cast<unsigned>(rng() % 52);
                const std::uint64_t k = rng() >> dropped_bits;
                centre = random_sign(rng, (i / 9 & 1) != 0 ? static_cast<double>(2 * k + 1) / 2e6
                                                           : (static_cast<double>(k) + 0.5) * 1e-6);
            }
            return ulps_away(centre, static_cast<int>(i % 9) - 4);
        });
}

TEST(Fixed6Differential, AroundPowersOfTwo) {
    // Covers where the formatter changes method: 2^52..2^53, 2^63..2^65 and
    // the shifts of 63..75 bits below the binary point.
    expect_same_as_snprintf(
        0x5eed0005, share_of_total(190), [](std::mt19937_64& rng, std::uint64_t) {
            const int exponent = static_cast<int>(rng() % 161) - 80;
            double v = 0;
            switch (rng() % 3) {
                case 0:
                    v = ulps_away(std::ldexp(1.0, exponent), static_cast<int>(rng() % 17) - 8);
                    break;
                case 1:
                    v = std::ldexp(random_mantissa(rng), exponent - 52);
                    break;
                default:
                    // Just below the next power of two.
                    v = std::ldexp(static_cast<double>((std::uint64_t{1} << 53) - 1 - rng() % 64),
                                   exponent - 53);
                    break;
            }
            return random_sign(rng, v);
        });
}

TEST(Fixed6Differential, SensorValues) {
    // Rows of time, volt, g and m/s^2; the first rows in order from zero, then
    // anywhere in the hour; alternately a 16-bit converter code and any double
    // in range.
    const std::uint64_t count = share_of_total(300);
    double row[4] = {};
    expect_same_as_snprintf(0x5eed0006, count, [&](std::mt19937_64& rng, std::uint64_t i) {
        const std::uint64_t n = i / 4;
        if (i % 4 == 0) {
            const std::uint64_t step = n < count / 16 ? n : rng() % 36000001;
            row[0] = static_cast<double>(step) * 1e-4;
            row[1] = (n & 1) != 0 ? static_cast<double>(rng() % 65536) * (5.0 / 65536) - 2.5
                                  : static_cast<double>(rng() >> 11) * 0x1p-53 * 5.0 - 2.5;
            row[2] = row[1] / 0.5;
            row[3] = row[2] * 9.80665;
        }
        return row[i % 4];
    });
}

// --- Locale ----------------------------------------------------------------

TEST(Fixed6Locale, DecimalPointUnderADecimalCommaLocale) {
    const char* current = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = current != nullptr ? current : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "locale de_DE.UTF-8 is not available";
    }
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    // The formatter consults no locale: one value shows whether one reached it.
    const std::string under_locale = fixed6(-1234.5);
    std::setlocale(LC_NUMERIC, saved.c_str());

    EXPECT_STREQ(probe, "0,5") << "the locale did not switch to a decimal comma";
    EXPECT_EQ(under_locale, "-1234.500000");
}

}  // namespace
