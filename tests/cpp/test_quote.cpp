// The quoted form of paths in diagnostic messages.
#include <gtest/gtest.h>

#include <string>

#include "support/quote.hpp"

namespace {

using olvex::support::quote_text;

struct Case {
  std::u32string in;
  std::u32string out;
};

class QuoteText : public ::testing::TestWithParam<Case> {};

TEST_P(QuoteText, Escapes) { EXPECT_EQ(quote_text(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Table, QuoteText,
    ::testing::Values(
        Case{U"", U"\"\""},
        Case{U"domain.items[0]", U"\"domain.items[0]\""},
        Case{U"a\"b", U"\"a\\\"b\""},
        Case{U"a\\b", U"\"a\\\\b\""},
        Case{U"'single'", U"\"'single'\""},
        Case{U"t\tr\rn\n", U"\"t\\tr\\rn\\n\""},
        Case{std::u32string(U"a\0b", 3), U"\"a\\0b\""},
        // other C0 controls, DEL and C1 controls: lower-case hex, no leading zeros
        Case{U"\x01\x1b\x1f", U"\"\\u{1}\\u{1b}\\u{1f}\""},
        Case{U"\x7f\x80\x9f", U"\"\\u{7f}\\u{80}\\u{9f}\""},
        // not category Cc: kept as they are
        Case{U" ~\xa0\x200b\x2028", U"\" ~\xa0\x200b\x2028\""},
        Case{U"\xe9t\xe9 \x1f600", U"\"\xe9t\xe9 \x1f600\""},
        // lone surrogates are code points like any other
        Case{std::u32string(1, char32_t{0xd800}) + U"x" + std::u32string(1, char32_t{0xdfff}),
             U"\"" + std::u32string(1, char32_t{0xd800}) + U"x" + std::u32string(1, char32_t{0xdfff}) + U"\""}));

}  // namespace
