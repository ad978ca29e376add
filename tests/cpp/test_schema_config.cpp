#include "support/schema_config.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

using olvex::support::check_schema_config;

namespace {

// A document, and what the check says: "" when it fits, else the message.
struct ConfigCase {
  std::string text;
  std::string expected;
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << testing::PrintToString(c.text.substr(0, 60)); }

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Nine levels of ten aliases each under `context`.
std::string laughs() {
  std::string doc = "x0: &l0 [a, a, a, a, a, a, a, a, a, a]\n";
  for (int i = 1; i < 9; ++i) {
    doc += "x" + std::to_string(i) + ": &l" + std::to_string(i) + " [";
    for (int j = 0; j < 10; ++j) doc += (j ? ", *l" : "*l") + std::to_string(i - 1);
    doc += "]\n";
  }
  return doc;
}

const std::string kSpecFields = "expected one of `type`, `required`, `default`";

std::vector<ConfigCase> cases() {
  return {
      // accepted shapes
      {"{}", ""},
      {"---", ""},
      {"context:", ""},
      {"context: ~", ""},
      {"context: NULL", ""},
      {"context: {}", ""},
      {"context:\n  global:\n  domain: {}\n", ""},
      {"context:\n"
       "  global:\n"
       "    x:\n"
       "      type: string\n"
       "      required: false\n"
       "      default: \"3\"\n"
       "  domain:\n"
       "    y: {type: string}\n"
       "    z:\n",
       ""},
      {"context: {global: {x: {type: 5, default: ~}, y: {default: 0}, z: {}}}", ""},
      {"context: {global: {x: {type: ~, required: TRUE}, '': {type: 2.5e3}, ~: {type: ''}}}", ""},
      {"context: {global: {x: {required: False}, 5: {}, true: {}}}", ""},
      {"context: !cfg {global: !t {x: !s {type: !n 7}}}", ""},
      {"context:\n  global:\n    x: {type: a}\n    x: {type: b}\n", ""},
      {"base: &spec {type: int}\n", "unknown field `base`, expected `context` at line 1 column 1"},
      {"context:\n  global:\n    a: &s {type: int, required: false}\n    b: *s\n", ""},
      {"# a comment\ncontext:  # trailing\n", ""},
      // document count
      {"", "EOF while parsing a value"},
      {"# only a comment\n", "EOF while parsing a value"},
      {"context:\n---\ncontext:\n", "deserializing from YAML containing more than one document is not supported"},
      {"---\n---\n", "deserializing from YAML containing more than one document is not supported"},
      // unknown and repeated keys, with the path up to their mapping
      {"contexts: {}", "unknown field `contexts`, expected `context` at line 1 column 1"},
      {"<<: {context: {}}", "unknown field `<<`, expected `context` at line 1 column 1"},
      {"context: {global: {}, local: {}}", "context: unknown field `local`, expected `global` or `domain` at line 1 column 23"},
      {"context:\n  global:\n    x: {type: a, nullable: true}\n",
       "context.global.x: unknown field `nullable`, " + kSpecFields + " at line 3 column 18"},
      {"context:\ncontext:\n", "duplicate field `context` at line 2 column 1"},
      {"context: {global: {}, 'global': {}}", "context: duplicate field `global` at line 1 column 23"},
      {"context: {domain: {x: {type: a, \"type\": b}}}", "context.domain.x: duplicate field `type` at line 1 column 33"},
      // kinds of node
      {"[context]", "invalid type: sequence, expected struct RootConfig at line 1 column 1"},
      {"context", "invalid type: string \"context\", expected struct RootConfig at line 1 column 1"},
      {"~", "invalid type: unit value, expected struct RootConfig at line 1 column 1"},
      {"context: [a]", "context: invalid type: sequence, expected struct ContextConfig at line 1 column 10"},
      {"context: ''", "context: invalid type: string \"\", expected struct ContextConfig at line 1 column 10"},
      {"context: 5", "context: invalid type: integer `5`, expected struct ContextConfig at line 1 column 10"},
      {"context:\n  global: ~\n", "context.global: invalid type: unit value, expected a map at line 2 column 11"},
      {"context:\n  domain: null\n", "context.domain: invalid type: unit value, expected a map at line 2 column 11"},
      {"context: {global: [x]}", "context.global: invalid type: sequence, expected a map at line 1 column 19"},
      {"context:\n  global:\n    x: string\n",
       "context.global.x: invalid type: string \"string\", expected struct FieldSpec at line 3 column 8"},
      {"context: {global: {x: ~}}", "context.global.x: invalid type: unit value, expected struct FieldSpec at line 1 column 23"},
      {"context: {global: {x: [type]}}",
       "context.global.x: invalid type: sequence, expected struct FieldSpec at line 1 column 23"},
      {"context: {global: {[x]: {}}}", "context.global: invalid type: sequence, expected a string at line 1 column 20"},
      {"context: {global: {{x: 1}: {}}}", "context.global: invalid type: map, expected a string at line 1 column 20"},
      {"context: {[global]: {}}", "context: invalid type: sequence, expected field identifier at line 1 column 11"},
      {"{{context: 1}: 1}", "invalid type: map, expected field identifier at line 1 column 2"},
      {"context: {global: {x: {type: {a: 1}}}}",
       "context.global.x.type: invalid type: map, expected a string at line 1 column 30"},
      {"context: {global: {x: {default: [0]}}}",
       "context.global.x.default: invalid type: sequence, expected a string at line 1 column 33"},
      // required: the six words, unquoted
      {"context: {global: {x: {required: \"true\"}}}",
       "context.global.x.required: invalid type: string \"true\", expected a boolean at line 1 column 34"},
      {"context: {global: {x: {required: maybe}}}",
       "context.global.x.required: invalid type: string \"maybe\", expected a boolean at line 1 column 34"},
      {"context: {global: {x: {required: yes}}}",
       "context.global.x.required: invalid type: string \"yes\", expected a boolean at line 1 column 34"},
      {"context: {global: {x: {required: 1}}}",
       "context.global.x.required: invalid type: integer `1`, expected a boolean at line 1 column 34"},
      {"context: {global: {x: {required: 0x1F}}}",
       "context.global.x.required: invalid type: integer `0x1F`, expected a boolean at line 1 column 34"},
      {"context: {global: {x: {required: 2.50}}}",
       "context.global.x.required: invalid type: floating point `2.50`, expected a boolean at line 1 column 34"},
      {"context: {global: {x: {required: ~}}}",
       "context.global.x.required: invalid type: unit value, expected a boolean at line 1 column 34"},
      {"context: {global: {x: {required: \"a\\\"\\\\\\t\\x01\"}}}",
       "context.global.x.required: invalid type: string \"a\\\"\\\\\\t\\u{1}\", expected a boolean at line 1 column 34"},
      // a name given twice is checked both times
      {"context:\n  global:\n    x: {type: a}\n    x: {type: [b]}\n",
       "context.global.x.type: invalid type: sequence, expected a string at line 4 column 15"},
      // the first misfit in document order wins
      {"context: {global: {x: {required: maybe}}, local: {}}",
       "context.global.x.required: invalid type: string \"maybe\", expected a boolean at line 1 column 34"},
      // aliases: followed, or refused by the reader
      {"context: {global: {a: &s {required: no}, b: *s}}",
       "context.global.a.required: invalid type: string \"no\", expected a boolean at line 1 column 37"},
      {"context: *x", "alias *x refers to an unknown anchor at line 1 column 10"},
      {"context: &c {global: *c}", "alias *c refers to a node that is not complete yet (a recursive alias) at line 1 column 22"},
      {laughs(), "more than 1000000 nodes are reachable through aliases at line 6 column 45"},
      // reading problems
      {repeat("[", 100000), "collections nest more than 128 deep at line 1 column 129"},
      {"context:\n\tglobal:\n",
       "found character that cannot start any token at line 2 column 1, "
       "while scanning for the next token at line 2 column 1"},
      {"context: \x01", "control characters are not allowed at line 1 column 10"},
      {"context: {global: {x: [}}",
       "did not find expected node content at line 1 column 24, while parsing a flow node at line 1 column 24"},
  };
}

class SchemaConfig : public testing::TestWithParam<ConfigCase> {};

TEST_P(SchemaConfig, AcceptsOrGivesTheFirstProblem) {
  std::optional<std::string> problem = check_schema_config(GetParam().text);
  EXPECT_EQ(problem.value_or(""), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Documents, SchemaConfig, testing::ValuesIn(cases()));

// Hostile texts are refused without building anything large.
TEST(SchemaConfig, RefusesAliasBombsAndDeepNestingQuickly) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(check_schema_config(laughs()).has_value());
    EXPECT_TRUE(check_schema_config(repeat("[", 100000)).has_value());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Every cut and every flipped byte of the case documents gives an answer:
// accepted or a message, never a crash (the sanitizer run sees leaks).
TEST(SchemaConfig, MutatedDocumentsAlwaysGetAnAnswer) {
  for (const ConfigCase& c : cases()) {
    if (c.text.size() > 200) continue;
    for (std::size_t cut = 0; cut < c.text.size(); ++cut) {
      auto r = check_schema_config(std::string_view(c.text).substr(0, cut));
      EXPECT_TRUE(!r || !r->empty());
    }
    for (std::size_t i = 0; i < c.text.size(); ++i) {
      for (unsigned char flip : {0x01, 0x20, 0x80, 0xff}) {
        std::string m = c.text;
        m[i] = static_cast<char>(static_cast<unsigned char>(m[i]) ^ flip);
        auto r = check_schema_config(m);
        EXPECT_TRUE(!r || !r->empty());
      }
    }
  }
}

}  // namespace
