#include "support/path.hpp"

#include <gtest/gtest.h>

#include <ostream>

namespace olvex::support {

// Readable failure output for segment vectors.
void PrintTo(const PathSegment& s, std::ostream* os) {
    if (s.is_index()) {
        *os << "index " << s.index_value();
    } else {
        *os << "key \"" << s.key_name() << '"';
    }
}

namespace {

PathSegment K(std::string name) { return PathSegment::key(std::move(name)); }
PathSegment I(std::uint64_t n) { return PathSegment::index(n); }

struct GrammarCase {
    const char* path;
    std::vector<PathSegment> expected;
};

void PrintTo(const GrammarCase& c, std::ostream* os) { *os << '"' << c.path << '"'; }

class PathGrammar : public ::testing::TestWithParam<GrammarCase> {};

TEST_P(PathGrammar, Segments) {
    const auto& c = GetParam();
    EXPECT_EQ(parse_path_segments(c.path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PathGrammar,
    ::testing::Values(
        GrammarCase{"", {}},
        GrammarCase{".", {}},
        GrammarCase{"..", {}},
        GrammarCase{"a.b", {K("a"), K("b")}},
        GrammarCase{".a..b.", {K("a"), K("b")}},
        GrammarCase{"a[0]", {K("a"), I(0)}},
        GrammarCase{"a[+7]", {K("a"), I(7)}},
        GrammarCase{"a[007]", {K("a"), I(7)}},
        GrammarCase{"a[-1]", {K("a"), K("-1")}},
        GrammarCase{"a.0", {K("a"), K("0")}},
        GrammarCase{"a['k.x']", {K("a"), K("k.x")}},
        GrammarCase{"a['0']", {K("a"), K("0")}},
        GrammarCase{"a[\"k']", {K("a"), K("k")}},
        GrammarCase{"a[]", {K("a"), K("")}},
        GrammarCase{"a[", {K("a"), K("")}},
        GrammarCase{"a[0]b", {K("a"), I(0), K("b")}},
        GrammarCase{"a[1", {K("a"), I(1)}},
        GrammarCase{"a[x.y", {K("a"), K("x.y")}},
        GrammarCase{"[3]", {I(3)}},
        GrammarCase{"a[b[c]]", {K("a"), K("b[c"), K("]")}},
        // Index range: exactly 2**64-1 is an index, one more is a key.
        GrammarCase{"a[18446744073709551615]", {K("a"), I(18446744073709551615ULL)}},
        GrammarCase{"a[18446744073709551616]", {K("a"), K("18446744073709551616")}},
        GrammarCase{"a[000000000000000000000018446744073709551615]", {K("a"), I(18446744073709551615ULL)}},
        GrammarCase{"a[99999999999999999999]", {K("a"), K("99999999999999999999")}},
        // Only a bare unsigned decimal is an index.
        GrammarCase{"a[+]", {K("a"), K("+")}},
        GrammarCase{"a[-]", {K("a"), K("-")}},
        GrammarCase{"a[++1]", {K("a"), K("++1")}},
        GrammarCase{"a[1.5]", {K("a"), K("1.5")}},
        GrammarCase{"a[ 1]", {K("a"), K(" 1")}},
        GrammarCase{"a[1_000]", {K("a"), K("1_000")}},
        // Quotes: any run of either kind is stripped from both ends only.
        GrammarCase{"a['\"x'\"']", {K("a"), K("x")}},
        GrammarCase{"a['it's']", {K("a"), K("it's")}},
        GrammarCase{"a['']", {K("a"), K("")}},
        GrammarCase{"a[''']", {K("a"), K("")}},
        // Outside brackets nothing is stripped or special but "." and "[".
        GrammarCase{"'a' .b]", {K("'a' "), K("b]")}},
        GrammarCase{"a[0][1]", {K("a"), I(0), I(1)}},
        GrammarCase{"a[0].[1]", {K("a"), I(0), I(1)}},
        // Multi-byte characters pass through whole.
        GrammarCase{"d\xc3\xa9j\xc3\xa0['\xe2\x82\xac.x']", {K("d\xc3\xa9j\xc3\xa0"), K("\xe2\x82\xac.x")}}));

struct ErrorCase {
    const char* name;
    PathError error;
    PathErrorKind kind;
    const char* message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class PathErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PathErrors, KindAndText) {
    const auto& c = GetParam();
    EXPECT_EQ(c.error.kind, c.kind);
    EXPECT_EQ(c.error.message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, PathErrors,
    ::testing::Values(
        ErrorCase{"set_index", cannot_set_index(3), PathErrorKind::TypeError, "Cannot set index [3] on non-list/dict"},
        ErrorCase{"navigate_index", cannot_navigate_index(18446744073709551615ULL), PathErrorKind::TypeError,
                  "Cannot navigate index [18446744073709551615] in non-list"},
        ErrorCase{"out_of_range", index_out_of_range(2), PathErrorKind::IndexError, "Index [2] out of range"},
        ErrorCase{"set_key", cannot_set_key("0", "list"), PathErrorKind::TypeError,
                  "Cannot set key '0' on non-dict type 'list'"},
        ErrorCase{"navigate_key", cannot_navigate_key("x", "NoneType"), PathErrorKind::TypeError,
                  "Cannot navigate key 'x' in non-dict type 'NoneType'"},
        ErrorCase{"index_on_non_list", index_on_non_list(0), PathErrorKind::TypeError, "Index [0] on non-list"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ListPadding, CapsHowFarAWriteMayReach) {
    EXPECT_FALSE(check_list_padding(1, 0));  // in range: no padding
    EXPECT_FALSE(check_list_padding(1, 3));
    EXPECT_FALSE(check_list_padding(0, MAX_LIST_PADDING));
    EXPECT_FALSE(check_list_padding(10, 10 + MAX_LIST_PADDING));

    EXPECT_EQ(MAX_LIST_PADDING, 65'536u);
    const auto err = check_list_padding(10, 11 + MAX_LIST_PADDING);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->kind, PathErrorKind::IndexError);
    EXPECT_EQ(err->message, "Index [65547] is too far beyond the end of a list of length 10");

    // No wrap-around at the top of the index range.
    EXPECT_TRUE(check_list_padding(0, 18446744073709551615ULL));
    EXPECT_TRUE(check_list_padding(5, 18446744073709551615ULL));
}

}  // namespace
}  // namespace olvex::support
