#include "fixed6_format.h"

#include <cstdint>
#include <cstring>

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::uint32_t micro_per_unit = 1000000;

constexpr char digit_pairs[] =
    "00010203040506070809"
    "10111213141516171819"
    "20212223242526272829"
    "30313233343536373839"
    "40414243444546474849"
    "50515253545556575859"
    "60616263646566676869"
    "70717273747576777879"
    "80818283848586878889"
    "90919293949596979899";

unsigned decimal_digit_count(std::uint64_t n) {
    unsigned count = 1;
    while (n >= 10000) {
        n /= 10000;
        count += 4;
    }
    if (n >= 10) ++count;
    if (n >= 100) ++count;
    if (n >= 1000) ++count;
    return count;
}

// Writes the `width` low digits of n, most significant first, ending at end.
void write_digits_backward(char* end, std::uint64_t n, unsigned width) {
    char* p = end;
    while (width >= 2) {
        p -= 2;
        std::memcpy(p, digit_pairs + 2 * (n % 100), 2);
        n /= 100;
        width -= 2;
    }
    if (width == 1) *--p = static_cast<char>('0' + n % 10);
}

char* write_unsigned(char* out, std::uint64_t n) {
    unsigned count = decimal_digit_count(n);
    write_digits_backward(out + count, n, count);
    return out + count;
}

// Integer part then fraction. Below 100, as for every sensor value, without
// branches: the digit counts and signs of a row are unpredictable. A lone
// digit leaves a stray byte that the point then overwrites.
char* write_integer_part(char* out, std::uint64_t n) {
    if (n >= 100) return write_unsigned(out, n);
    const unsigned two_digits = n >= 10 ? 1 : 0;
    out[0] = digit_pairs[2 * n + 1 - two_digits];
    out[1] = digit_pairs[2 * n + 1];
    return out + 1 + two_digits;
}

char* write_point_and_micro(char* out, std::uint32_t micro) {
    out[0] = '.';
    std::memcpy(out + 1, digit_pairs + 2 * std::size_t{micro / 10000}, 2);
    std::memcpy(out + 3, digit_pairs + 2 * std::size_t{micro / 100 % 100}, 2);
    std::memcpy(out + 5, digit_pairs + 2 * std::size_t{micro % 100}, 2);
    return out + 7;
}

// mantissa * 2^shift for shifts that leave 64 bits; the value is an integer
// of up to 1024 bits, printed in full by schoolbook division by 10^9.
char* write_big_integer(char* out, std::uint64_t mantissa, unsigned shift) {
    constexpr std::uint32_t chunk_base = 1000000000;
    constexpr unsigned chunk_digits = 9;
    std::uint32_t limbs[34] = {};
    const unsigned word = shift / 32;
    const u128 placed = static_cast<u128>(mantissa) << (shift % 32);
    limbs[word] = static_cast<std::uint32_t>(placed);
    limbs[word + 1] = static_cast<std::uint32_t>(placed >> 32);
    limbs[word + 2] = static_cast<std::uint32_t>(placed >> 64);
    unsigned used = word + 3;
    while (used > 0 && limbs[used - 1] == 0) --used;

    std::uint32_t chunks[36];  // 309 digits need 35 chunks of nine
    unsigned chunk_count = 0;
    while (used > 0) {
        std::uint64_t remainder = 0;
        for (unsigned i = used; i-- > 0;) {
            const std::uint64_t current = (remainder << 32) | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(current / chunk_base);
            remainder = current % chunk_base;
        }
        chunks[chunk_count++] = static_cast<std::uint32_t>(remainder);
        while (used > 0 && limbs[used - 1] == 0) --used;
    }
    out = write_unsigned(out, chunks[chunk_count - 1]);
    for (unsigned i = chunk_count - 1; i-- > 0;) {
        write_digits_backward(out + chunk_digits, chunks[i], chunk_digits);
        out += chunk_digits;
    }
    return out;
}

}  // namespace

char* format_fixed6(char* out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const unsigned biased_exponent = static_cast<unsigned>(bits >> 52) & 0x7ff;
    const std::uint64_t fraction_field = bits & ((std::uint64_t{1} << 52) - 1);

    // Signs of sensor values are random; a branch here would mispredict.
    // When positive the next byte written overwrites this one.
    *out = '-';
    out += negative ? 1 : 0;
    if (biased_exponent == 0x7ff) {
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): fields are not C strings
        std::memcpy(out, fraction_field != 0 ? "nan" : "inf", 3);
        return out + 3;
    }

    // |v| = mantissa * 2^exponent exactly.
    std::uint64_t mantissa = fraction_field;
    int exponent = -1074;
    if (biased_exponent != 0) {
        mantissa |= std::uint64_t{1} << 52;
        exponent = static_cast<int>(biased_exponent) - 1075;
    }

    if (exponent >= 0) {
        // An integer. mantissa < 2^53, so shifts up to 11 stay below 2^64;
        // from 2^64 on it takes the slow exact path.
        if (exponent <= 11) {
            out = write_unsigned(out, mantissa << exponent);
        } else {
            out = write_big_integer(out, mantissa, static_cast<unsigned>(exponent));
        }
        return write_point_and_micro(out, 0);
    }

    // |v| < 2^53 here. The bits below the binary point times 10^6 are
    // below 2^53 * 10^6 < 2^73, so the exact product, its quotient and its
    // remainder by 2^shift fit in 128 bits and the rounding is decided on
    // the exact value. From shift 74 on, that product is below half of
    // 2^shift: everything rounds to zero.
    const unsigned shift = static_cast<unsigned>(-exponent);
    std::uint64_t integer_part = 0;
    std::uint32_t micro = 0;
    if (shift < 74) {
        std::uint64_t below_point = mantissa;
        if (shift < 64) {
            integer_part = mantissa >> shift;
            below_point = mantissa & ((std::uint64_t{1} << shift) - 1);
        }
        const u128 scaled = static_cast<u128>(below_point) * micro_per_unit;
        // Half to even without branches: adding half - 1, plus one more when
        // the truncated quotient is odd, carries into the quotient exactly
        // when the remainder is above half, or at half with an odd quotient.
        // 10^6 is even, so micro's parity is that of the last printed digit.
        const u128 odd = (scaled >> shift) & 1;
        const u128 half = static_cast<u128>(1) << (shift - 1);
        micro = static_cast<std::uint32_t>((scaled + (half - 1) + odd) >> shift);
        if (micro == micro_per_unit) {
            micro = 0;
            ++integer_part;
        }
    }
    out = write_integer_part(out, integer_part);
    return write_point_and_micro(out, micro);
}
