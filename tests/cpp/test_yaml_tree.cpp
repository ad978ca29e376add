#include "support/yaml_tree.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>

namespace olvex::support::yaml {
namespace {

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}
std::string nested(int depth) { return repeat("[", depth) + repeat("]", depth); }

// A document whose aliases reach `copies` times a 1,000-node sequence.
std::string fan_out(int copies) {
  std::string doc = "a: &a [" + repeat("x, ", 998) + "x]\nb: [";
  for (int i = 0; i < copies; ++i) doc += i ? ", *a" : "*a";
  return doc + "]\n";
}

// Ten levels of ten aliases each: 10^10 nodes if expanded.
std::string laughs() {
  std::string doc = "l0: &l0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int i = 1; i < 10; ++i) {
    doc += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [";
    for (int j = 0; j < 10; ++j) doc += (j ? ", *l" : "*l") + std::to_string(i - 1);
    doc += "]\n";
  }
  return doc;
}

// `n` %TAG directives for the handles !t{first}! on, each ending with `end`.
std::string tags(int n, std::string_view end = "\n", int first = 0) {
  std::string out;
  for (int i = first; i < first + n; ++i) out += fmt::format("%TAG !t{}! tag:t{},{}", i, i, end);
  return out;
}

// A text to read, and what it gives: the one-line rendering of the root, or
// the refusal text after a '!'.
struct ReadCase {
  std::string text;
  std::string expected;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << testing::PrintToString(c.text.substr(0, 60)); }

std::string outcome(std::string_view text) {
  ReadResult r = read(text);
  return r ? render(r.tree->root()) : "!" + r.error;
}

class Reading : public testing::TestWithParam<ReadCase> {};

TEST_P(Reading, GivesTheTreeOrTheFirstProblem) { EXPECT_EQ(outcome(GetParam().text), GetParam().expected); }

const std::string kNone = "!EOF while parsing a value";
const std::string kSeveral = "!deserializing from YAML containing more than one document is not supported";

std::vector<ReadCase> read_cases() {
  return {
        // exactly one document
        ReadCase{"", kNone}, ReadCase{"# only a comment\n\n", kNone}, ReadCase{"---", "null"},
        ReadCase{"--- x\n...\n", "x"}, ReadCase{"a: 1\n---\nb: 2\n", kSeveral}, ReadCase{"---\n---\n", kSeveral},
        // problems are met in text order: the second document starts first
        ReadCase{"a: 1\n--- [\n", kSeveral}, ReadCase{"a: 1\n---\nb: \x01\n", kSeveral},
        ReadCase{"a: \x01\n---\nb\n", "!control characters are not allowed at line 1 column 4"},
        ReadCase{"\xc3\xa9: 'x\x01'", "!control characters are not allowed at line 1 column 6"},
        ReadCase{"[" + nested(200) + ", \x01]", "!collections nest more than 128 deep at line 1 column 129"},
        ReadCase{repeat("[", 200) + " @x", "!collections nest more than 128 deep at line 1 column 129"},
        ReadCase{repeat("[", 200) + "\n @x", "!collections nest more than 128 deep at line 1 column 129"},
        ReadCase{"a: 1\n--- @x", kSeveral},
        ReadCase{"a: [1, 2]\nb: @x", "!found character that cannot start any token at line 2 column 4, while "
                                      "scanning for the next token at line 2 column 4"},
        // libyaml's own texts: problem, then context, with positions
        ReadCase{"[1, 2", "!did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at "
                          "line 1 column 1"},
        ReadCase{"a: b: c", "!mapping values are not allowed in this context at line 1 column 5"},
        ReadCase{"a:\n  - b\n - c\n",
                 "!did not find expected key at line 3 column 2, while parsing a block mapping at line 1 column 1"},
        ReadCase{"a:\n\tb: 1\n", "!found character that cannot start any token at line 2 column 1, while scanning "
                                 "for the next token at line 2 column 1"},
        ReadCase{std::string("x\0y", 3), "!control characters are not allowed at line 1 column 2"},
        ReadCase{"a: 1\n\xff", "!invalid leading UTF-8 octet at line 2 column 1"},
        ReadCase{"'unterminated", "!found unexpected end of stream at line 1 column 14, while scanning a quoted "
                                  "scalar at line 1 column 1"},
        // kinds, tags, styles
        ReadCase{"5", "5"}, ReadCase{"!t 5", "!t 5"}, ReadCase{"{name: a}", "{name: a}"},
        ReadCase{"[a, 'b c', ~, '1', yes, 0x1F, .inf, !!binary x, !<tag:x> y]",
                 "[a, b c, null, \"1\", yes, 0x1F, .inf, !!binary x, !<tag:x> y]"},
        ReadCase{"123456789012345678901234567890", "123456789012345678901234567890"},
        ReadCase{"[!!int '12', !!str 12, !!float 1, ! 5, !!seq [a], !!map {}]", "[12, \"12\", 1, \"5\", [a], {}]"},
        ReadCase{"!!int abc", "!cannot read \"abc\" as !!int at line 1 column 1"},
        ReadCase{"k: !!bool yes", "!cannot read \"yes\" as !!bool at line 1 column 4"},
        ReadCase{"!!str [a]", "!cannot read a sequence as !!str at line 1 column 1"},
        ReadCase{"!!map [a]", "!cannot read a sequence as !!map at line 1 column 1"},
        ReadCase{"!!seq x", "!cannot read \"x\" as !!seq at line 1 column 1"},
        ReadCase{"{a: 1, a: 2, ? [k] : v}", "{a: 1, a: 2, [k]: v}"},  // entries as written
        ReadCase{"<<: {a: 1}", "{<<: {a: 1}}"},  // no merge keys
        // aliases
        ReadCase{"a: &x [1]\nb: *x", "{a: [1], b: [1]}"},
        ReadCase{"*x", "!alias *x refers to an unknown anchor at line 1 column 1"},
        ReadCase{"&a [*a]", "!alias *a refers to a node that is not complete yet (a recursive alias) at line 1 "
                            "column 5"},
        ReadCase{"a: &x 1\nb: &x 2\nc: *x", "{a: 1, b: 2, c: 2}"},  // the latest anchor wins
        // depth: collections only, aliases with their target's height
        ReadCase{nested(128), nested(128).substr(0, 240) + "..."},
        ReadCase{nested(129), "!collections nest more than 128 deep at line 1 column 129"},
        ReadCase{repeat("[", 100000), "!collections nest more than 128 deep at line 1 column 129"},
        ReadCase{"a: &a " + nested(127) + "\nb: *a", "{a: " + nested(127).substr(0, 236) + "..."},
        ReadCase{"a: &a " + nested(127) + "\nb: [*a]", "!collections nest more than 128 deep at line 2 column 5"},
        // alias budget
        ReadCase{fan_out(1000), "{a: [" + repeat("x, ", 78) + "x..."},
        ReadCase{fan_out(1001), "!more than 1000000 nodes are reachable through aliases at line 2 column 4005"},
        ReadCase{laughs(), "!more than 1000000 nodes are reachable through aliases at line 6 column 45"},
        ReadCase{"a: &a " + nested(100) + "\nb: 1", "{a: " + nested(100) + ", b: 1}"},
        // %TAG directives: 64 a document, counted before libyaml reads them
        ReadCase{tags(64) + "--- !t63!x 1", "!<tag:t63,x> 1"},
        ReadCase{tags(65) + "--- !t0!x 1", "!more than 64 %TAG directives in one document at line 65 column 1"},
        ReadCase{tags(32000) + "--- x", "!more than 64 %TAG directives in one document at line 65 column 1"},
        ReadCase{"%YAML 1.1\n# c\n\n  # c\n" + tags(64, "\n\t\n") + "--- x", "x"},
        ReadCase{tags(32, "\n# c\n\xEF\xBB\xBF\n") + tags(33, "\n", 32) + "--- x",
                 "!more than 64 %TAG directives in one document at line 129 column 1"},
        ReadCase{tags(65, " # c\r") + "--- x", "!more than 64 %TAG directives in one document at line 65 column 1"},
        ReadCase{tags(65, "\xC2\x85") + "--- x", "!more than 64 %TAG directives in one document at line 65 column 1"},
        ReadCase{"%TAG\t!a! tag:a,\n" + tags(64) + "--- x",
                 "!more than 64 %TAG directives in one document at line 65 column 1"},
        ReadCase{"%TAGS !a! b\n" + tags(64) + "--- x",
                 "!found unknown directive name at line 1 column 6, while scanning a directive at line 1 column 1"},
        // the next document's directives, after an implicit or an explicit end
        ReadCase{"a: 1\n" + tags(65) + "--- b", "!more than 64 %TAG directives in one document at line 66 column 1"},
        ReadCase{"a: 1\n... # end\n...\n" + tags(65) + "--- b",
                 "!more than 64 %TAG directives in one document at line 68 column 1"},
        ReadCase{"a: |\n  x\n" + tags(65) + "--- b",
                 "!more than 64 %TAG directives in one document at line 67 column 1"},
        ReadCase{tags(40) + "--- a\n...\n" + tags(40) + "--- b", kSeveral},  // each document has its own
        // an earlier problem in the directives comes first
        ReadCase{"%TAG !a! tag:a,\n%TAG !a! tag:b,\n" + tags(70) + "--- x",
                 "!found duplicate %TAG directive at line 2 column 1"},
        ReadCase{tags(3) + "%TAG !x!\n" + tags(70) + "--- x",
                 "!did not find expected whitespace at line 4 column 9, while scanning a %TAG directive at line 4 "
                 "column 1"},
        ReadCase{"...\n" + tags(70) + "--- x",
                 "!did not find expected node content at line 1 column 1, while parsing a block node at line 1 "
                 "column 1"},
        ReadCase{"\xEF\xBB\xBF" + tags(70) + "--- x",
                 "!found character that cannot start any token at line 1 column 2, while scanning for the next "
                 "token at line 1 column 2"},
  };
}

INSTANTIATE_TEST_SUITE_P(Documents, Reading, testing::ValuesIn(read_cases()));

TEST(Directives, TextInsideScalarsIsNotCounted) {
  // lines of %TAG text in the first column, inside scalars that reach there
  const std::string lines = tags(100);
  for (const std::string& doc : {"--- \"a\n" + lines + "\"\n", "--- 'a\n" + lines + "'\n", "--- a\n" + lines,
                                 "[a,\n\"" + lines + "\"]\n"}) {
    ReadResult r = read(doc);
    ASSERT_TRUE(r) << r.error;
    const Node& root = r.tree->root();
    std::string_view text = root.kind() == Kind::Sequence ? root.items()[1].node->text() : root.text();
    EXPECT_TRUE(text.starts_with("%TAG !t0!") || text.starts_with("a %TAG !t0!")) << text.substr(0, 40);
    EXPECT_NE(text.find("%TAG !t99! tag:t99,"), std::string_view::npos);
  }
}

TEST(Tree, NodesKeepKindStyleTagTextAndPosition) {
  ReadResult r = read("steps:\n  - !proc load\n  - \"x y\"\n  - |\n    lit\n  - {a: 01, b: ~}\n");
  ASSERT_TRUE(r) << r.error;
  const Node& root = r.tree->root();
  EXPECT_EQ(root.kind(), Kind::Mapping);
  EXPECT_EQ(root.style(), Style::Block);
  const Item* steps = root.find("steps");
  ASSERT_NE(steps, nullptr);
  auto items = steps->node->items();
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(steps->at, (Mark{2, 3}));

  const Node& load = *items[0].node;
  EXPECT_EQ(load.kind(), Kind::String);
  EXPECT_EQ(load.tag(), "!proc");
  EXPECT_EQ(load.text(), "load");
  EXPECT_EQ(load.mark(), (Mark{2, 5}));

  EXPECT_EQ(items[1].node->style(), Style::DoubleQuoted);
  EXPECT_EQ(items[1].node->text(), "x y");
  EXPECT_EQ(items[2].node->style(), Style::Literal);
  EXPECT_EQ(items[2].node->text(), "lit\n");

  const Node& flow = *items[3].node;
  EXPECT_EQ(flow.style(), Style::Flow);
  EXPECT_EQ(flow.mark(), (Mark{6, 5}));
  ASSERT_EQ(flow.entries().size(), 2u);
  EXPECT_EQ(flow.entries()[0].value.node->kind(), Kind::Int);
  EXPECT_EQ(flow.entries()[0].value.node->text(), "01");
  EXPECT_EQ(flow.entries()[1].value.node->kind(), Kind::Null);
  EXPECT_EQ(flow.entries()[1].value.at, (Mark{6, 16}));
  EXPECT_EQ(flow.find("zz"), nullptr);
  EXPECT_EQ(load.find("steps"), nullptr);
}

TEST(Tree, CoreTagsChooseTheKindAndAreNotKept) {
  ReadResult r = read("[!!str 5, !!int '7', !!null '', !!float 2, !custom 3]");
  ASSERT_TRUE(r) << r.error;
  auto items = r.tree->root().items();
  EXPECT_EQ(items[0].node->kind(), Kind::String);
  EXPECT_EQ(items[1].node->kind(), Kind::Int);
  EXPECT_EQ(items[2].node->kind(), Kind::Null);
  EXPECT_EQ(items[3].node->kind(), Kind::Float);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(items[i].node->tagged());
  EXPECT_EQ(items[4].node->kind(), Kind::Int);
  EXPECT_EQ(items[4].node->tag(), "!custom");
}

TEST(Tree, KeysFoundByFindAreUntaggedStrings) {
  ReadResult r = read("{!t steps: 1, 'steps': 2, steps: 3}");
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(r.tree->root().find("steps")->node->text(), "2");
}

TEST(Tree, AliasesShareTheirAnchoredNodeAndKeepTheirOwnPosition) {
  ReadResult r = read("a: &x {k: [1, 2]}\nb: *x\nc: [*x, *x]\n");
  ASSERT_TRUE(r) << r.error;
  const Node& root = r.tree->root();
  const Item& a = *root.find("a");
  const Item& b = *root.find("b");
  EXPECT_FALSE(a.alias);
  EXPECT_TRUE(b.alias);
  EXPECT_EQ(b.node, a.node);
  EXPECT_EQ(b.at, (Mark{2, 4}));
  EXPECT_EQ(b.node->mark(), (Mark{1, 4}));
  auto c = root.find("c")->node->items();
  EXPECT_EQ(c[0].node, a.node);
  EXPECT_EQ(c[1].node, a.node);
  // sizes as if expanded: {k: [1, 2]} is 5 nodes; the root holds it 4 times
  EXPECT_EQ(a.node->expanded_size(), 5u);
  EXPECT_EQ(a.node->height(), 2u);
  int nodes = 0;
  r.tree->for_each_node([&](const Node&) { ++nodes; });
  EXPECT_EQ(nodes, 1 + 3 + 5 + 1);  // root, three keys, the anchored node, c's sequence
}

struct PlainCase {
  const char* text;
  Kind kind;
};
void PrintTo(const PlainCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
class PlainScalars : public testing::TestWithParam<PlainCase> {};
TEST_P(PlainScalars, ResolveByTheCoreSchema) { EXPECT_EQ(resolve_plain(GetParam().text), GetParam().kind); }
INSTANTIATE_TEST_SUITE_P(
    CoreSchema, PlainScalars,
    testing::Values(PlainCase{"", Kind::Null}, PlainCase{"~", Kind::Null}, PlainCase{"null", Kind::Null},
                    PlainCase{"Null", Kind::Null}, PlainCase{"NULL", Kind::Null}, PlainCase{"nULL", Kind::String},
                    PlainCase{"true", Kind::Bool}, PlainCase{"True", Kind::Bool}, PlainCase{"TRUE", Kind::Bool},
                    PlainCase{"false", Kind::Bool}, PlainCase{"False", Kind::Bool}, PlainCase{"FALSE", Kind::Bool},
                    PlainCase{"yes", Kind::String}, PlainCase{"on", Kind::String}, PlainCase{"0", Kind::Int},
                    PlainCase{"-17", Kind::Int}, PlainCase{"+007", Kind::Int}, PlainCase{"0o17", Kind::Int},
                    PlainCase{"0o8", Kind::String}, PlainCase{"0x1fA", Kind::Int}, PlainCase{"0x", Kind::String},
                    PlainCase{"-0x1", Kind::String}, PlainCase{"99999999999999999999999", Kind::Int},
                    PlainCase{"1.5", Kind::Float}, PlainCase{"1.", Kind::Float}, PlainCase{".5", Kind::Float},
                    PlainCase{"-1e5", Kind::Float}, PlainCase{"2.5E-3", Kind::Float}, PlainCase{"1e", Kind::String},
                    PlainCase{".", Kind::String}, PlainCase{"-.inf", Kind::Float}, PlainCase{".NaN", Kind::Float},
                    PlainCase{"+.nan", Kind::String}, PlainCase{"1_000", Kind::String},
                    PlainCase{"1:20", Kind::String}, PlainCase{"0b1", Kind::String}));

TEST(Tree, NumbersReadBack) {
  ReadResult r = read("[9223372036854775807, -9223372036854775808, 9223372036854775808, 0x10, 0o17, +3, 2.5, 1e999, "
                      "-.inf, .nan, TRUE, false]");
  ASSERT_TRUE(r) << r.error;
  auto n = r.tree->root().items();
  EXPECT_EQ(n[0].node->int64(), INT64_MAX);
  EXPECT_EQ(n[1].node->int64(), INT64_MIN);
  EXPECT_EQ(n[2].node->int64(), std::nullopt);
  EXPECT_EQ(n[2].node->kind(), Kind::Int);
  EXPECT_EQ(n[3].node->int64(), 16);
  EXPECT_EQ(n[4].node->int64(), 15);
  EXPECT_EQ(n[5].node->int64(), 3);
  EXPECT_EQ(n[6].node->real(), 2.5);
  EXPECT_EQ(n[7].node->real(), HUGE_VAL);
  EXPECT_EQ(n[8].node->real(), -HUGE_VAL);
  EXPECT_TRUE(std::isnan(n[9].node->real()));
  EXPECT_TRUE(n[10].node->boolean());
  EXPECT_FALSE(n[11].node->boolean());
}

struct RepeatCase {
  const char* text;
  std::optional<std::size_t> repeated;
};
void PrintTo(const RepeatCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
class RepeatedKeys : public testing::TestWithParam<RepeatCase> {};
TEST_P(RepeatedKeys, SameKindTagAndValue) {
  ReadResult r = read(GetParam().text);
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(repeated_key(r.tree->root()), GetParam().repeated);
}
INSTANTIATE_TEST_SUITE_P(
    Keys, RepeatedKeys,
    testing::Values(RepeatCase{"{a: 1, b: 2}", std::nullopt}, RepeatCase{"{a: 1, b: 2, a: 3}", 2},
                    RepeatCase{"{a: 1, 'a': 2}", 1}, RepeatCase{"{1: a, 01: b}", 1},
                    RepeatCase{"{1: a, '1': b}", std::nullopt}, RepeatCase{"{1: a, 0x1: b, +1: c}", 1},
                    RepeatCase{"{0: a, -0: b}", 1}, RepeatCase{"{-1: a, 1: b}", std::nullopt},
                    RepeatCase{"{99999999999999999999: a, 099999999999999999999: b}", 1},
                    RepeatCase{"{99999999999999999999: a, 99999999999999999998: b}", std::nullopt},
                    RepeatCase{"{1.0: a, 1.00: b}", 1}, RepeatCase{"{1: a, 1.0: b}", std::nullopt},
                    RepeatCase{"{.nan: a, .NaN: b}", 1}, RepeatCase{"{0.0: a, -0.0: b}", 1},
                    RepeatCase{"{true: a, True: b}", 1}, RepeatCase{"{true: a, 'true': b}", std::nullopt},
                    RepeatCase{"{~: a, null: b}", 1}, RepeatCase{"{!t a: 1, a: 2}", std::nullopt},
                    RepeatCase{"{!t a: 1, !u a: 2, !t a: 3}", 2}, RepeatCase{"{!!str a: 1, a: 2}", 1},
                    RepeatCase{"{[a]: 1, [a]: 2}", std::nullopt}, RepeatCase{"{&k a: 1, *k : 2}", 1},
                    RepeatCase{"[a, a]", std::nullopt}));

TEST(Tree, RepeatedKeysAmongManyAreFound) {
  std::string doc = "{";
  for (int i = 0; i < 20000; ++i) doc += "k" + std::to_string(i) + ": 1, ";
  ReadResult r = read(doc + "k19999: 2}");
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(repeated_key(r.tree->root()), 20000u);
}

struct RenderCase {
  std::string text;
  std::string rendered;
};
void PrintTo(const RenderCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }
class Rendering : public testing::TestWithParam<RenderCase> {};
TEST_P(Rendering, StaysOnOneLineAndReadsBack) {
  ReadResult r = read(GetParam().text);
  ASSERT_TRUE(r) << r.error;
  std::string line = render(r.tree->root());
  EXPECT_EQ(line, GetParam().rendered);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  if (!line.ends_with("...")) {  // what was rendered reads back as the same
    ReadResult again = read(line);
    ASSERT_TRUE(again) << again.error;
    EXPECT_EQ(render(again.tree->root()), line);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Lines, Rendering,
    testing::Values(RenderCase{"[\"a\\tb\\n\", 'it''s', \"\\x01\\x7f\", '', ' x', 'a,b', 'a: b', 'a #b', '-a']",
                               "[\"a\\tb\\n\", it's, \"\\x01\\x7F\", \"\", \" x\", \"a,b\", \"a: b\", \"a #b\", \"-a\"]"},
                    RenderCase{"['null', 'TRUE', '0o7', '1.5', 'é', \"\\u0085\\u2028\\u2029\", 'x:', '\"q\\']",
                               "[\"null\", \"TRUE\", \"0o7\", \"1.5\", é, \"\\x85\\L\\P\", \"x:\", \"\\\"q\\\\\"]"},
                    RenderCase{"- |\n  lit\n  two\n- >\n  folded\n  text\n", "[\"lit\\ntwo\\n\", \"folded text\\n\"]"},
                    RenderCase{"{a: !foo%0Ab x, !t [1]: !!set {}}", "{a: !foo%0Ab x, !t [1]: !!set {}}"},
                    RenderCase{"!e {}", "!e {}"}, RenderCase{"[[], {}, '', ~]", "[[], {}, \"\", null]"},
                    RenderCase{"x: " + repeat("é", 300), "{x: " + repeat("é", 118) + "..."}));

// Truncations and byte flips of the case documents: each must give a tree
// or a refusal with its position, never a crash, a hang or a leak (the
// sanitizer run checks the last two).
void check_read(std::string_view text) {
  ReadResult r = read(text);
  if (!r) {
    ASSERT_FALSE(r.error.empty());
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << r.error;
    if ("!" + r.error != kNone && "!" + r.error != kSeveral) {
      EXPECT_NE(r.error.find(" at line "), std::string::npos) << r.error;
    }
    return;
  }
  std::string line = render(r.tree->root());
  EXPECT_FALSE(line.empty());
  r.tree->for_each_node([](const Node& n) {
    EXPECT_LE(n.height(), kMaxDepth);
    if (n.kind() == Kind::Mapping) repeated_key(n);
  });
}

TEST(Tree, MutatedDocumentsAreReadOrRefused) {
  std::vector<std::string> docs = {
      "steps:\n  - load\n  - {process: fit, n: !t 5}\n  - flux: while\n    condition: \"n < 3\"\n    do: [a, *x]\n",
      "a: &x [1, {b: 'c', d: \"e\\n\"}]\nb: *x\n? [k]\n: |\n  lit\n",
  };
  for (const ReadCase& c : read_cases()) {
    if (c.text.size() <= 400) docs.push_back(c.text);
  }
  const unsigned char flips[] = {0x00, 0x01, 0x0A, 0x20, 0x80, 0xFF, '[', '{', ':', '*', '&', '!', '\'', '"', '-'};
  for (const std::string& doc : docs) {
    for (std::size_t n = 0; n < doc.size(); ++n) check_read(std::string_view(doc).substr(0, n));
    for (std::size_t i = 0; i < doc.size(); ++i) {
      for (unsigned char f : flips) {
        std::string m = doc;
        m[i] = static_cast<char>(f);
        check_read(m);
      }
    }
  }
}

}  // namespace
}  // namespace olvex::support::yaml
