// Tests of the branch-length conversion: exactly the decimal float grammar (sign, digits with
// an optional point, optional exponent, inf/infinity/nan), correctly rounded, nothing else.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "tree/newick_reader.hpp"

namespace treetally {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

struct AcceptedCase {
    std::string text;
    double value;  // compared bit for bit (so -0.0 differs from 0.0)
};

void PrintTo(const AcceptedCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class BranchLengthAccepted : public testing::TestWithParam<AcceptedCase> {};

TEST_P(BranchLengthAccepted, ConvertsToTheNearestDouble) {
    const AcceptedCase& c = GetParam();
    const std::optional<double> parsed = parse_branch_length(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(std::signbit(*parsed), std::signbit(c.value)) << c.text;
    EXPECT_EQ(*parsed, c.value) << c.text << " gave " << std::hexfloat << *parsed;
}

// The 309-digit integer halfway between the largest double and 2^1024, and one below it.
const std::string overflow_halfway =
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017"
    "977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273"
    "854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704"
    "342711559699508093042880177904174497792";
const std::string below_overflow_halfway = overflow_halfway.substr(0, 308).append("1");

// `prefix`, `count` zeros, then `suffix` (built by appending, which keeps GCC 12's
// -Wrestrict false positive on string concatenation quiet).
std::string with_zeros(const char* prefix, std::size_t count, const char* suffix) {
    return std::string(prefix).append(count, '0').append(suffix);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BranchLengthAccepted,
    testing::Values(
        AcceptedCase{"1", 1.0}, AcceptedCase{"0", 0.0}, AcceptedCase{"-0", -0.0},
        AcceptedCase{"-0.0e5", -0.0}, AcceptedCase{"+2", 2.0}, AcceptedCase{"-2.5", -2.5},
        AcceptedCase{"1.", 1.0}, AcceptedCase{".5", 0.5}, AcceptedCase{"1.e1", 10.0},
        AcceptedCase{".5E+1", 5.0}, AcceptedCase{"1e-3", 0.001}, AcceptedCase{"1E3", 1000.0},
        AcceptedCase{"007.50", 7.5}, AcceptedCase{"0.1", 0x1.999999999999ap-4},
        AcceptedCase{"0.00000097066385340018", 0x1.048f8318799d9p-20},
        AcceptedCase{"1.09771593444e-06", 0x1.26aa76f14d79dp-20},
        AcceptedCase{"7e-04", 0x1.6f0068db8bac7p-11},
        AcceptedCase{"1.512e-06", 0x1.95dfd94c958d8p-20},
        AcceptedCase{"0.999", 0x1.ff7ced916872bp-1},
        AcceptedCase{"0.1000000000000000055511151231257827021181583404541015625",
                     0x1.999999999999ap-4},
        // Ties and near-ties need correct rounding, not a digit-by-digit accumulation.
        AcceptedCase{"9007199254740993", 0x1p+53},
        AcceptedCase{"9007199254740995", 0x1.0000000000002p+53},
        AcceptedCase{"9007199254740993.00000000000000000000000000000000000000001",
                     0x1.0000000000001p+53},
        AcceptedCase{"123456789012345678901234567890", 0x1.8ee90ff6c373ep+96},
        // Digit strings past 2^53 or 2^64: no shortcut through an integer mantissa.
        AcceptedCase{"18446744073709551617", 0x1p+64},
        AcceptedCase{"1844674407370955161.7e1", 0x1p+64},
        AcceptedCase{"1173122633160.899525", 0x1.11238ecdc8e64p+40},
        AcceptedCase{"5605168566771514870e-4", 0x1.fdc98022031f8p+48},
        AcceptedCase{"1.7976931348623157e308", 0x1.fffffffffffffp+1023},
        AcceptedCase{"1.7976931348623158e308", 0x1.fffffffffffffp+1023},
        AcceptedCase{below_overflow_halfway, 0x1.fffffffffffffp+1023},
        AcceptedCase{overflow_halfway, inf},
        AcceptedCase{"2.2250738585072011e-308", 0x0.fffffffffffffp-1022},
        AcceptedCase{"4.9406564584124654e-324", 0x0.0000000000001p-1022},
        AcceptedCase{"2.4703282292062328e-324", 0x0.0000000000001p-1022},
        AcceptedCase{"2.4703282292062327e-324", 0.0},
        // Out-of-range magnitudes are values, not errors.
        AcceptedCase{"1e400", inf}, AcceptedCase{"-1e400", -inf}, AcceptedCase{"1e-400", 0.0},
        AcceptedCase{"-1e-400", -0.0}, AcceptedCase{"1e99999999999999999999", inf},
        AcceptedCase{"1e-99999999999999999999", 0.0}, AcceptedCase{"0e99999999999999999999", 0.0},
        AcceptedCase{"0e400", 0.0}, AcceptedCase{"-0.000e999", -0.0},
        AcceptedCase{with_zeros("0.", 30, "e400"), 0.0},
        AcceptedCase{with_zeros("0.", 30, "1e400"), inf},
        AcceptedCase{with_zeros("0.", 30, "1e330"), 1e299},
        AcceptedCase{with_zeros("0.", 400, "1e401"), 1.0},
        AcceptedCase{with_zeros("1", 400, "e-400"), 1.0},
        // Words, in any case and with a sign.
        AcceptedCase{"inf", inf}, AcceptedCase{"INF", inf}, AcceptedCase{"-inf", -inf},
        AcceptedCase{"+Inf", inf}, AcceptedCase{"Infinity", inf}, AcceptedCase{"-INFINITY", -inf},
        AcceptedCase{"iNfInItY", inf}));

class BranchLengthNan : public testing::TestWithParam<std::string> {};

TEST_P(BranchLengthNan, IsAcceptedAsNan) {
    const std::optional<double> parsed = parse_branch_length(GetParam());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_TRUE(std::isnan(*parsed));
}

INSTANTIATE_TEST_SUITE_P(Texts, BranchLengthNan,
                         testing::Values("nan", "NaN", "NAN", "-nan", "+nan"));

class BranchLengthRejected : public testing::TestWithParam<std::string> {};

TEST_P(BranchLengthRejected, GivesNoValue) {
    EXPECT_EQ(parse_branch_length(GetParam()), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Texts, BranchLengthRejected,
                         testing::Values("", "1e", "1E", ".", "-.", ".e1", "nan(1)", "nan()",
                                         "0x10", "0X1p3", "1_0", "1,0", "1.0 ", " 1.0", "\t1",
                                         "1\n", "+", "-", "e5", "E5", "1e+", "1e-", "1e5.0",
                                         "1.0.0", "--1", "+-1", "1e--5", "1e+-5", "1d5", "1f",
                                         "1.5L", "0b1", "infinit", "infinityy", "inff", "in", "i",
                                         "nana", "na", "snan", "+ 1", "1 e5", "one", "\xD9\xA3",
                                         "\xEF\xBC\x91", "1\xC2\xA0", std::string("1\0", 2),
                                         std::string("1e5\0", 4), std::string("\0", 1)));

// A random decimal text: optional sign, 1 to `max_digits` digits with the point anywhere
// (or nowhere), and in two cases of three an exponent drawn from `exponent`.
std::string random_decimal(std::mt19937_64& rng, int max_digits,
                           std::uniform_int_distribution<int>& exponent) {
    std::uniform_int_distribution<int> digit(0, 9);
    std::string text;
    if (rng() % 4 == 0) text += (rng() % 2 == 0) ? '-' : '+';
    const int length = std::uniform_int_distribution<int>(1, max_digits)(rng);
    const int point = std::uniform_int_distribution<int>(0, length)(rng);
    for (int i = 0; i < length; ++i) {
        if (i == point) text += '.';
        text += static_cast<char>('0' + digit(rng));
    }
    if (rng() % 3 != 0) {
        text += (rng() % 2 == 0) ? 'e' : 'E';
        const int e = exponent(rng);
        if (e >= 0 && rng() % 2 == 0) text += '+';
        text += std::to_string(e);
    }
    return text;
}

TEST(BranchLength, AgreesWithStrtodOnRandomDecimalTexts) {
    // The C library's conversion rounds correctly. Texts with long mantissas and exponents near
    // the ends of the range, and texts of up to 25 digits with small exponents (where a
    // conversion might take shortcuts through a 64-bit mantissa), must convert identically.
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<int> wide(-360, 330);
    std::uniform_int_distribution<int> narrow(-25, 25);
    for (int round = 0; round < 20000; ++round) {
        const std::string text =
            round % 2 == 0 ? random_decimal(rng, 40, wide) : random_decimal(rng, 25, narrow);
        const double expected = std::strtod(text.c_str(), nullptr);
        const std::optional<double> parsed = parse_branch_length(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        ASSERT_EQ(*parsed, expected) << text;
        ASSERT_EQ(std::signbit(*parsed), std::signbit(expected)) << text;
    }
}

// Short decimals take an exact path of their own; it must give from_chars's bits.
TEST(BranchLength, ShortDecimalsConvertLikeFromChars) {
    std::mt19937_64 rng(41);
    const char digits[] = "0123456789";
    for (int round = 0; round < 200000; ++round) {
        std::string text(rng() % 4, '0');
        const std::size_t integer_digits = rng() % 10;
        for (std::size_t k = 0; k < integer_digits; ++k) text += digits[rng() % 10];
        if (rng() % 4 != 0) {
            text += '.';
            const std::size_t fraction_digits = rng() % 22;
            for (std::size_t k = 0; k < fraction_digits; ++k) text += digits[rng() % 10];
        }
        if (rng() % 5 == 0) text.append(rng() % 2 ? "e-" : "E").append(std::to_string(rng() % 30));
        if (text.empty() || text == "." || text.front() == 'e' || text.front() == 'E') continue;
        if (text.find_first_of(digits) == std::string::npos) continue;
        double expected = 0.0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), expected,
                                                  std::chars_format::general);
        if (error != std::errc{} || end != text.data() + text.size()) continue;
        const auto value = parse_branch_length(text);
        ASSERT_TRUE(value.has_value()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*value), std::bit_cast<std::uint64_t>(expected))
            << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*parse_branch_length(std::string("-").append(text))),
                  std::bit_cast<std::uint64_t>(-expected))
            << text;
    }
}

}  // namespace
}  // namespace treetally
