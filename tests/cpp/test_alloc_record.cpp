#include "support/alloc_record.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace olvex::support {

void PrintTo(const AllocRecord& r, std::ostream* os) {
  *os << "{" << r.name << ", " << r.pid << ", " << r.session << ", " << r.size << ", " << r.ts << "}";
}

namespace {

AllocRecord rec(std::string name, std::uint32_t pid, std::string session, std::uint64_t size, double ts = 0.0) {
  return {std::move(name), pid, std::move(session), size, ts};
}

struct LineCase {
  const char* label;
  std::string line;
  std::optional<AllocRecord> expected;  // nullopt: the line is invalid
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.label; }

const AllocRecord kSeg = rec("seg", 42, "s1", 64);

std::string with(const std::string& pid, const std::string& size = "64", const std::string& ts = "0.0") {
  return R"({"name":"seg","pid":)" + pid + R"(,"session":"s1","size":)" + size + R"(,"ts":)" + ts + "}";
}

std::string deep(std::size_t n) { return std::string(n, '[') + std::string(n, ']'); }

// The written form after `n` other keys k0, k1, ...; `repeat` adds one of them again at the end.
std::string many_keys(std::size_t n, bool repeat = false) {
  std::string line = "{";
  for (std::size_t i = 0; i < n; ++i) line += "\"k" + std::to_string(i) + "\":0,";
  if (repeat) line += "\"k" + std::to_string(n / 2) + "\":0,";
  return line + with("42").substr(1);
}

class RecordLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(RecordLine, Reads) {
  const LineCase& c = GetParam();
  EXPECT_EQ(parse_record(c.line), c.expected) << c.line.substr(0, 120);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecordLine,
    ::testing::Values(
        LineCase{"written form", with("42"), kSeg},
        LineCase{"any key order", R"({"ts":1.5,"size":64,"session":"s1","pid":42,"name":"seg"})", rec("seg", 42, "s1", 64, 1.5)},
        LineCase{"whitespace around and inside", " \t{ \"name\" : \"seg\" ,\"pid\":42,\"session\":\"s1\",\"size\":64,\"ts\":0 }\r ", kSeg},
        LineCase{"extra keys ignored, any depth", R"({"x":{"a":1,"a":[{"b":null}]},"name":"seg","pid":42,"session":"s1","size":64,"ts":0.0,"y":true})", kSeg},
        LineCase{"deep extra value", R"({"x":)" + deep(100000) + R"(,"name":"seg","pid":42,"session":"s1","size":64,"ts":0.0})", kSeg},
        LineCase{"array form", R"(["seg",42,"s1",64,0.0])", kSeg},
        LineCase{"escapes read back", R"({"name":"a\nb\"c\\\u00e9\u0000","pid":1,"session":"","size":0,"ts":0})", rec(std::string("a\nb\"c\\\xC3\xA9\0", 9), 1, "", 0)},
        LineCase{"pid 0", with("0"), rec("seg", 0, "s1", 64)},
        LineCase{"pid 2**32-1", with("4294967295"), rec("seg", 4294967295u, "s1", 64)},
        LineCase{"size 2**64-1", with("42", "18446744073709551615"), rec("seg", 42, "s1", 18446744073709551615ull)},
        LineCase{"ts integer", with("42", "64", "-7"), rec("seg", 42, "s1", 64, -7.0)},
        LineCase{"ts near the float limit", with("42", "64", "1.7e308"), rec("seg", 42, "s1", 64, 1.7e308)},
        LineCase{"ts beyond 2**64", with("42", "64", "18446744073709551616"), rec("seg", 42, "s1", 64, 18446744073709551616.0)},
        LineCase{"pid 2**32", with("4294967296"), std::nullopt},
        LineCase{"pid -1", with("-1"), std::nullopt},
        LineCase{"pid 42.0", with("42.0"), std::nullopt},
        LineCase{"pid 4.2e1", with("4.2e1"), std::nullopt},
        LineCase{"pid as text", with("\"42\""), std::nullopt},
        LineCase{"pid true", with("true"), std::nullopt},
        LineCase{"size 2**64", with("42", "18446744073709551616"), std::nullopt},
        LineCase{"size -1", with("42", "-1"), std::nullopt},
        LineCase{"size 1e3", with("42", "1e3"), std::nullopt},
        LineCase{"ts 1e400", with("42", "64", "1e400"), std::nullopt},
        LineCase{"ts null", with("42", "64", "null"), std::nullopt},
        LineCase{"ts as text", with("42", "64", "\"0\""), std::nullopt},
        LineCase{"name a number", R"({"name":7,"pid":42,"session":"s1","size":64,"ts":0.0})", std::nullopt},
        LineCase{"session null", R"({"name":"seg","pid":42,"session":null,"size":64,"ts":0.0})", std::nullopt},
        LineCase{"name an object", R"({"name":{},"pid":42,"session":"s1","size":64,"ts":0.0})", std::nullopt},
        LineCase{"lone surrogate", R"({"name":"\ud800","pid":42,"session":"s1","size":64,"ts":0.0})", std::nullopt},
        LineCase{"raw control character", "{\"name\":\"a\tb\",\"pid\":42,\"session\":\"s1\",\"size\":64,\"ts\":0.0}", std::nullopt},
        LineCase{"a key missing", R"({"name":"seg","pid":42,"session":"s1","size":64})", std::nullopt},
        LineCase{"field key twice", R"({"name":"seg","pid":42,"pid":42,"session":"s1","size":64,"ts":0.0})", std::nullopt},
        LineCase{"other key twice", R"({"x":1,"name":"seg","pid":42,"session":"s1","size":64,"ts":0.0,"x":1})", std::nullopt},
        LineCase{"150,000 other keys", many_keys(150000), kSeg},
        LineCase{"150,000 other keys, one twice", many_keys(150000, true), std::nullopt},
        LineCase{"trailing value", with("42") + " {}", std::nullopt},
        LineCase{"trailing text", with("42") + "x", std::nullopt},
        LineCase{"line comment", with("42") + " // note", std::nullopt},
        LineCase{"block comment", "/* note */" + with("42"), std::nullopt},
        LineCase{"byte-order mark", "\xEF\xBB\xBF" + with("42"), std::nullopt},
        LineCase{"array of four", R"(["seg",42,"s1",64])", std::nullopt},
        LineCase{"array of six", R"(["seg",42,"s1",64,0.0,1])", std::nullopt},
        LineCase{"array with a nested sixth", R"(["seg",42,"s1",64,0.0,[]])", std::nullopt},
        LineCase{"array out of order", R"([42,"seg","s1",64,0.0])", std::nullopt},
        LineCase{"array nested value", R"(["seg",[42],"s1",64,0.0])", std::nullopt},
        LineCase{"empty", "", std::nullopt},
        LineCase{"blank", " \t\r", std::nullopt},
        LineCase{"bare number", "42", std::nullopt},
        LineCase{"bare string", "\"seg\"", std::nullopt},
        LineCase{"empty object", "{}", std::nullopt},
        LineCase{"unterminated", with("42").substr(0, 30), std::nullopt},
        LineCase{"a million open brackets", std::string(1000000, '['), std::nullopt},
        LineCase{"binary garbage", std::string("\x00\x01{\xff\"", 5), std::nullopt}));

TEST(RecordWriter, WritesTheCompactForm) {
  EXPECT_EQ(record_line(rec("seg_a", 42, "s1", 64)), "{\"name\":\"seg_a\",\"pid\":42,\"session\":\"s1\",\"size\":64,\"ts\":0.0}\n");
  EXPECT_EQ(record_line(rec("a\"b\n\x01\xC3\xA9", 4294967295u, "\\", 18446744073709551615ull, 2.5)),
            "{\"name\":\"a\\\"b\\n\\u0001\xC3\xA9\",\"pid\":4294967295,\"session\":\"\\\\\","
            "\"size\":18446744073709551615,\"ts\":2.5}\n");
}

TEST(RecordWriter, WhatItWritesReadsBack) {
  for (const AllocRecord& r : {rec("seg", 1, "s", 2), rec(std::string("q\"\\\n\r\t\b\f\x1f\0z", 12), 7, "\xF0\x9F\x98\x80", 9, -0.125),
                               rec("", 0, "", 0, 1e300)}) {
    std::string line = record_line(r);
    ASSERT_EQ(line.find('\n'), line.size() - 1) << "one line per record";
    line.pop_back();
    EXPECT_EQ(parse_record(line), r) << line;
  }
}

struct Utf8Case {
  const char* bytes;
  bool valid;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, Validates) { EXPECT_EQ(valid_utf8(GetParam().bytes), GetParam().valid) << GetParam().bytes; }

INSTANTIATE_TEST_SUITE_P(Table, Utf8,
                         ::testing::Values(Utf8Case{"plain", true}, Utf8Case{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
                                           Utf8Case{"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", true},
                                           Utf8Case{"\xC0\x80", false}, Utf8Case{"\xE0\x9F\xBF", false},
                                           Utf8Case{"\xF0\x8F\xBF\xBF", false}, Utf8Case{"\xED\xA0\x80", false},
                                           Utf8Case{"\xF4\x90\x80\x80", false}, Utf8Case{"\xF5\x80\x80\x80", false},
                                           Utf8Case{"\x80", false}, Utf8Case{"ab\xC3", false},
                                           Utf8Case{"\xE2\x82", false}, Utf8Case{"\xE2\x28\xA1", false}));

}  // namespace
}  // namespace olvex::support
