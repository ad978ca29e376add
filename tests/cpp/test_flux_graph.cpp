#include "support/flux_graph.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>

#include <map>
#include <ostream>

namespace olvex::support::flux {
namespace {

// A walk over the `nodes` of `doc`; conditions are looked up in `truth`
// (unknown ones are false) and recorded as asked.
struct Walked {
  std::string path;  // names joined by ",", or "!" and the error
  std::vector<std::string> asked;
};

Walked walk(std::string_view doc, const std::map<std::string, bool>& truth, std::uint64_t extra = 10) {
  yaml::ReadResult r = yaml::read(doc);
  if (!r) return {"!yaml: " + r.error, {}};
  const yaml::Node& nodes = *r.tree->root().find("nodes")->node;
  NodeIndex index(nodes);
  Walked out;
  try {
    auto path = walk_graph(nodes, index, extra, [&](std::string_view c) {
      out.asked.emplace_back(c);
      auto it = truth.find(std::string(c));
      return it != truth.end() && it->second;
    });
    for (std::string_view n : path) out.path += (out.path.empty() ? "" : ",") + std::string(n);
  } catch (const GraphError& e) {
    out.path = (e.kind == GraphError::Kind::Cycle ? "!cycle: " : "!") + e.message;
  }
  return out;
}

struct WalkCase {
  const char* doc;
  std::map<std::string, bool> truth;
  std::string path;
  std::vector<std::string> asked = {};
};
void PrintTo(const WalkCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.doc)); }
class GraphWalk : public testing::TestWithParam<WalkCase> {};
TEST_P(GraphWalk, FollowsNextLinks) {
  Walked w = walk(GetParam().doc, GetParam().truth);
  EXPECT_EQ(w.path, GetParam().path);
  EXPECT_EQ(w.asked, GetParam().asked);
}

const char* kBranch = "nodes: {start: load, load: {next: check}, check: {next: {if n > 3: big, else: small}}, big: {}, "
                      "small: {}}";

INSTANTIATE_TEST_SUITE_P(
    Graphs, GraphWalk,
    testing::Values(
        WalkCase{kBranch, {{"n > 3", true}}, "load,check,big", {"n > 3"}},
        WalkCase{kBranch, {}, "load,check,small", {"n > 3"}},
        WalkCase{"nodes: {start: a}", {}, "a"},
        WalkCase{"nodes: {start: a, a: {next: b}, b: {}}", {}, "a,b"},
        WalkCase{"nodes: {start: a, a: {next: start}}", {}, "a,start"},  // the start entry has no next
        WalkCase{"nodes: {start: a, a: 5}", {}, "a"},
        WalkCase{"nodes: {start: a, a: {next: [b]}}", {}, "a"},
        WalkCase{"nodes: {start: !n a, !t a: {next: b}}", {}, "a"},  // names are untagged keys
        WalkCase{"nodes: {start: a, a: {next: !t b}, b: {next: {!k else: !v c}}}", {}, "a,b,c"},
        WalkCase{"nodes: {start: a, a: {next: {when x: b}}}", {}, "a"},
        WalkCase{"nodes: {start: a, a: {next: {}}}", {}, "a"},
        WalkCase{"nodes: {start: a, a: {next: {if x: b, if y: c, else: d}}}", {{"y", true}}, "a,c", {"x", "y"}},
        WalkCase{"nodes: {start: a, a: {next: {else: b, 5: c}}}", {}, "a,b"},  // later entries unchecked
        WalkCase{"nodes: {start: a, a: {next: {if 'x > 1': b}}}", {{"x > 1", true}}, "a,b", {"x > 1"}},
        WalkCase{"nodes: {start: a, a: {next: {\"if  \\t'\\\"x == 'a'\\u3000\": b}}}", {}, "a", {"x == 'a"}},
        WalkCase{"nodes: {a: {}}", {}, "!Missing 'start' node"},
        WalkCase{"nodes: {start: 5}", {}, "!Start node must be string"},
        WalkCase{"nodes: {start: a, a: {next: {5: b}}}", {}, "!Condition key must be string"},
        WalkCase{"nodes: {start: a, a: {next: {else: [b]}}}", {}, "!Target must be string"},
        WalkCase{"nodes: {start: a, a: {next: {when x: 5}}}", {}, "!Target must be string"},
        // cycles: the path may hold the node count plus the extra (10 here)
        WalkCase{"nodes: {start: a, a: {next: a}}", {}, "!cycle: Flux Safety Trip: simulation exceeded 12 nodes. "
                                                        "Check for cycles in 'nodes'."},
        WalkCase{"nodes: {start: a, a: {next: {if go: b}}, b: {next: a}}", {{"go", true}},
                 "!cycle: Flux Safety Trip: simulation exceeded 13 nodes. Check for cycles in 'nodes'.",
                 {"go", "go", "go", "go", "go", "go", "go"}}));

TEST(GraphWalk, NoAcyclicWalkReachesTheBound) {
  // a chain through every node, with no extra allowance at all
  std::string doc = "nodes: {start: n0";
  for (int i = 0; i < 50; ++i) doc += ", n" + std::to_string(i) + ": {next: n" + std::to_string(i + 1) + "}";
  doc += "}";
  Walked w = walk(doc, {}, 0);
  EXPECT_FALSE(w.path.starts_with("!")) << w.path;
  EXPECT_TRUE(w.path.ends_with("n49,n50"));
}

struct BoundCase {
  std::uint64_t extra;
  std::uint64_t bound;
};
void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.extra; }
class WalkBound : public testing::TestWithParam<BoundCase> {};
TEST_P(WalkBound, StopsACycleAtTheBoundWhateverTheExtra) {
  // three entries; `a` is every other name of the path and asks once each time
  Walked w = walk("nodes: {start: a, a: {next: {if go: b}}, b: {next: a}}", {{"go", true}}, GetParam().extra);
  EXPECT_EQ(w.path, fmt::format("!cycle: Flux Safety Trip: simulation exceeded {} nodes. Check for cycles in 'nodes'.",
                                GetParam().bound));
  EXPECT_EQ(w.asked.size(), (GetParam().bound + 1) / 2);
}
// 16 visits per entry plus 10,000 at most, however large the extra
INSTANTIATE_TEST_SUITE_P(Extras, WalkBound,
                         testing::Values(BoundCase{0, 3}, BoundCase{10'044, 10'047}, BoundCase{10'045, 10'048},
                                         BoundCase{10'046, 10'048}, BoundCase{UINT32_MAX, 10'048},
                                         BoundCase{UINT64_MAX, 10'048}));

TEST(GraphWalk, ConditionErrorsPassThrough) {
  yaml::ReadResult r = yaml::read("nodes: {start: a, a: {next: {if boom: b}}}");
  const yaml::Node& nodes = *r.tree->root().find("nodes")->node;
  EXPECT_THROW(walk_graph(nodes, NodeIndex(nodes), 10, [](std::string_view) -> bool { throw 42; }), int);
}

struct TrimCase {
  const char* rest;
  const char* condition;
};
void PrintTo(const TrimCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.rest)); }
class ConditionText : public testing::TestWithParam<TrimCase> {};
TEST_P(ConditionText, TrimsWhiteSpaceThenQuotes) { EXPECT_EQ(condition_text(GetParam().rest), GetParam().condition); }
INSTANTIATE_TEST_SUITE_P(
    Keys, ConditionText,
    testing::Values(TrimCase{"x > 1", "x > 1"}, TrimCase{"  x > 1 \t", "x > 1"}, TrimCase{"'x > 1'", "x > 1"},
                    TrimCase{"\"'x'\"", "x"}, TrimCase{"x == 'a'", "x == 'a"}, TrimCase{"(x == 'a')", "(x == 'a')"},
                    TrimCase{"\xe3\x80\x80x\xc2\xa0", "x"}, TrimCase{"\xe2\x80\xa8x\xc2\x85", "x"},
                    TrimCase{"' x '", " x "}, TrimCase{"\xc3\xa9", "\xc3\xa9"}, TrimCase{"", ""},
                    TrimCase{"''", ""}));

}  // namespace
}  // namespace olvex::support::flux
