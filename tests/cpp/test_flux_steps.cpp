#include "support/flux_steps.hpp"

#include <gtest/gtest.h>

#include <ostream>

namespace olvex::support::flux {
namespace {

struct Parsed {
  std::string steps;  // debug renderings joined by "; ", or "!" and the error text
  std::vector<std::string> warnings;
};

Parsed parse(std::string_view doc) {
  yaml::ReadResult r = yaml::read(doc);
  if (!r) return {"!yaml: " + r.error, {}};
  Parsed out;
  ParseOutcome p = parse_workflow(r.tree->root(), [&](std::string_view w) { out.warnings.emplace_back(w); });
  if (!p.ok()) {
    out.steps = "!" + p.error;
    return out;
  }
  for (const FluxStep& s : p.workflow.steps) out.steps += (out.steps.empty() ? "" : "; ") + debug_render(s);
  return out;
}

const std::string kWarnWhile = "[FLUX-WARN] 'flux: while' has empty 'do' block. This may cause unexpected behavior.";
const std::string kWarnIf = "[FLUX-WARN] 'flux: if' has empty 'then' and 'else' blocks.";
const std::string kWarnRun = "[FLUX-WARN] 'flux: run' has empty 'steps' block.";

struct ParseCase {
  const char* doc;
  std::string steps;
  std::vector<std::string> warnings = {};
};
void PrintTo(const ParseCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.doc)); }

class StepParsing : public testing::TestWithParam<ParseCase> {};

TEST_P(StepParsing, BuildsTheStepsOrTheFirstError) {
  Parsed p = parse(GetParam().doc);
  EXPECT_EQ(p.steps, GetParam().steps);
  EXPECT_EQ(p.warnings, GetParam().warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, StepParsing,
    testing::Values(
        // no steps, no error
        ParseCase{"other: 1", ""}, ParseCase{"steps: null", ""}, ParseCase{"steps: 5", ""},
        ParseCase{"steps: {a: b}", ""}, ParseCase{"[a, b]", ""}, ParseCase{"just text", ""},
        ParseCase{"{!t steps: [a]}", ""},
        // the five forms
        ParseCase{"steps: [a, {process: b}, '']",
                  "Process { name: \"a\" }; Process { name: \"b\" }; Process { name: \"\" }"},
        ParseCase{"steps: [{process: a, flux: run}]", "Process { name: \"a\" }"},
        ParseCase{"steps: [{flux: while, condition: \"n < 3\", do: [step]}]",
                  "While { condition: \"n < 3\", do_steps: [Process { name: \"step\" }] }"},
        ParseCase{"steps: [{flux: if, condition: ok, then: [a], else: [b], x: 1}]",
                  "If { condition: \"ok\", then_steps: [Process { name: \"a\" }], else_steps: [Process { name: "
                  "\"b\" }] }"},
        ParseCase{"steps: [{flux: run, steps: [a, [b]]}]",
                  "!Invalid step type: expected string or mapping, got [b]"},
        ParseCase{"steps: [{flux: run, steps: [a]}]", "Run { steps: [Process { name: \"a\" }] }"},
        // tags looked through on values, not on keys
        ParseCase{"!wf {steps: !list [!proc load, {process: !n fit}, {flux: !k run, steps: !s [x]}]}",
                  "Process { name: \"load\" }; Process { name: \"fit\" }; Run { steps: [Process { name: \"x\" }] }"},
        ParseCase{"steps: [{!t process: a}]", "!Unknown step format: {!t process: a}"},
        ParseCase{"steps: [{'process': a, \"flux\": run}]", "Process { name: \"a\" }"},
        // warnings, written as their blocks parse; accepted odd blocks
        ParseCase{"steps: [{flux: while, condition: x, do: []}]", "While { condition: \"x\", do_steps: [] }",
                  {kWarnWhile}},
        ParseCase{"steps: [{flux: if, condition: x}, {flux: if, condition: x, then: 5, else: {a: b}}]",
                  "If { condition: \"x\", then_steps: [], else_steps: [] }; If { condition: \"x\", then_steps: [], "
                  "else_steps: [] }",
                  {kWarnIf, kWarnIf}},
        ParseCase{"steps: [{flux: run, steps: []}]", "Run { steps: [] }", {kWarnRun}},
        ParseCase{"steps: [{flux: run, steps: [{flux: run, steps: []}]}, {flux: while, condition: c, do: []}, 7]",
                  "!Invalid step type: expected string or mapping, got 7",
                  {kWarnRun, kWarnWhile}},
        // the nine texts, in the check order
        ParseCase{"steps: [5]", "!Invalid step type: expected string or mapping, got 5"},
        ParseCase{"steps: [!t 5, ~, true]", "!Invalid step type: expected string or mapping, got !t 5"},
        ParseCase{"steps: [yes, true]", "!Invalid step type: expected string or mapping, got true"},
        ParseCase{"steps: [{process: 5}]", "!'process' value must be a string"},
        ParseCase{"steps: [{name: a}]", "!Unknown step format: {name: a}"},
        ParseCase{"steps: [{flux: [while]}]", "!'flux' value must be a string"},
        ParseCase{"steps: [{flux: While, condition: x, do: [a]}]", "!Unknown flux type: 'While'"},
        ParseCase{"steps: [{flux: while, do: [a]}]", "!'flux: while' requires 'condition' field"},
        ParseCase{"steps: [{flux: while, condition: 5, do: 5}]", "!'flux: while' requires 'condition' field"},
        ParseCase{"steps: [{flux: while, condition: x}]", "!'flux: while' requires 'do' block"},
        ParseCase{"steps: [{flux: while, condition: x, do: {a: b}}]", "!'flux: while' requires 'do' block"},
        ParseCase{"steps: [{flux: if, then: [5]}]", "!'flux: if' requires 'condition' field"},
        ParseCase{"steps: [{flux: if, condition: x, then: [a], else: [5]}]",
                  "!Invalid step type: expected string or mapping, got 5"},
        ParseCase{"steps: [{flux: run}]", "!'flux: run' requires 'steps' block"},
        ParseCase{"steps: [{flux: run, steps: a}]", "!'flux: run' requires 'steps' block"},
        // a nested failure ends the whole parse with its own text
        ParseCase{"steps: [a, {flux: if, condition: c, then: [{flux: run, steps: [{flux: loop}]}]}]",
                  "!Unknown flux type: 'loop'"}));

TEST(FluxSteps, ProcessIdsFollowDocumentOrderAtAnyDepth) {
  yaml::ReadResult r =
      yaml::read("steps: [a, {flux: while, condition: c, do: [b, {flux: run, steps: [c]}]}, {flux: if, condition: "
                 "c, then: [d], else: [e]}, f]");
  ASSERT_TRUE(r) << r.error;
  ParseOutcome p = parse_workflow(r.tree->root(), nullptr);
  ASSERT_TRUE(p.ok()) << p.error;
  EXPECT_EQ(p.workflow.processes, 6u);
  std::string seen;
  for_each_process(p.workflow.steps, [&](const Process& s) { seen += s.name + std::to_string(s.id); });
  EXPECT_EQ(seen, "a0b1c2d3e4f5");
  std::string linear;
  for (const Process* s : linear_processes(p.workflow.steps)) linear += s->name;
  EXPECT_EQ(linear, "af");
}

TEST(FluxSteps, LinearListingExpandsRunBlocksInPlace) {
  yaml::ReadResult r = yaml::read(
      "steps: [a, {flux: run, steps: [b, {flux: run, steps: [c, {flux: while, condition: x, do: [z]}]}, d]}, e]");
  ASSERT_TRUE(r) << r.error;
  ParseOutcome p = parse_workflow(r.tree->root(), nullptr);
  std::string linear;
  for (const Process* s : linear_processes(p.workflow.steps)) linear += s->name;
  EXPECT_EQ(linear, "abcde");
}

TEST(FluxSteps, DebugRenderingEscapesToOneLine) {
  FluxStep s{Process{std::string("q\"b\\n\nt\tz\0e\x1b\x7f \xc2\x85 \xe2\x80\xa8 \xe2\x80\xa9 \xc3\xa9", 27), 0}};
  EXPECT_EQ(debug_render(s), "Process { name: \"q\\\"b\\\\n\\nt\\tz\\0e\\u{1b}\\u{7f} \\u{85} \\u{2028} \\u{2029} é\" }");
}

struct RepeatCase {
  const char* doc;
  std::optional<std::string> message;
};
void PrintTo(const RepeatCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.doc)); }
class RepeatedKeys : public testing::TestWithParam<RepeatCase> {};
TEST_P(RepeatedKeys, EarliestRepeatAnywhere) {
  yaml::ReadResult r = yaml::read(GetParam().doc);
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(repeated_key_message(*r.tree), GetParam().message);
}
INSTANTIATE_TEST_SUITE_P(
    Documents, RepeatedKeys,
    testing::Values(RepeatCase{"steps: [a]\nnodes: {start: a}", std::nullopt},
                    RepeatCase{"steps: [a]\nsteps: [b]", "duplicate key `steps` at line 2 column 1"},
                    RepeatCase{"a: {x: 1, y: 2, x: 3}\na: 2", "duplicate key `x` at line 1 column 17"},
                    RepeatCase{"a: 1\nb: {x: 1, x: 2}\na: 2", "duplicate key `x` at line 2 column 11"},
                    RepeatCase{"ignored: {1: a, 01: b}", "duplicate key `01` at line 1 column 17"},
                    RepeatCase{"{'1': a, 1: b, !t 1: c}", std::nullopt}));

}  // namespace
}  // namespace olvex::support::flux
