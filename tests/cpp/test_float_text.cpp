#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "support/float_text.hpp"
#include "support/meta_log.hpp"

namespace olvex::support {
namespace {

struct TextCase {
    double value;
    const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.text; }

class PlainDecimal : public ::testing::TestWithParam<TextCase> {};

TEST_P(PlainDecimal, Text) { EXPECT_EQ(plain_decimal(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, PlainDecimal,
    ::testing::Values(TextCase{0.0, "0"}, TextCase{-0.0, "-0"}, TextCase{3.0, "3"}, TextCase{2.25, "2.25"},
                      TextCase{2.5, "2.5"}, TextCase{100000.5, "100000.5"}, TextCase{0.1, "0.1"},
                      TextCase{100.0, "100"}, TextCase{1e16, "10000000000000000"},
                      TextCase{1e22, "10000000000000000000000"},
                      // Shortest digits, zero-padded: not the exact binary value 99999999999999991611392.
                      TextCase{1e23, "100000000000000000000000"},
                      TextCase{123456789012345678.0, "123456789012345680"},
                      TextCase{1.5e-7, "0.00000015"}, TextCase{0.001, "0.001"},
                      TextCase{1712345678.123456, "1712345678.123456"}, TextCase{-2.25, "-2.25"},
                      TextCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      TextCase{std::numeric_limits<double>::infinity(), "inf"},
                      TextCase{-std::numeric_limits<double>::infinity(), "-inf"}));

// The extremes: no exponent ever, and the text reads back as the same value.
TEST(PlainDecimal, ExtremesRoundTripWithoutExponent) {
    const double values[] = {std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(), 1e300, 1e-300, 4.35e-100, 6.02214076e23};
    for (double v : values) {
        const std::string t = plain_decimal(v);
        EXPECT_EQ(t.find_first_of("eE"), std::string::npos) << t;
        double back = 0;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), back);
        EXPECT_EQ(r.ec, std::errc{}) << t;
        EXPECT_EQ(back, v) << t;
    }
    EXPECT_EQ(plain_decimal(std::numeric_limits<double>::max()), "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(plain_decimal(std::numeric_limits<double>::denorm_min()), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(plain_decimal(1e300), "1" + std::string(300, '0'));
}

TEST(MetaLogRepr, TimeKeyAndMessageUnquoted) {
    EXPECT_EQ(meta_log_repr({2.5, "state_update", "State updated to version 2"}),
              "MetaLogEntry(time=2.5, key=state_update, msg=State updated to version 2)");
    EXPECT_EQ(meta_log_repr({3.0, "k", "it's \"q\"\n"}), "MetaLogEntry(time=3, key=k, msg=it's \"q\"\n)");
    EXPECT_EQ(meta_log_repr({0.0, "", ""}), "MetaLogEntry(time=0, key=, msg=)");
}

}  // namespace
}  // namespace olvex::support
