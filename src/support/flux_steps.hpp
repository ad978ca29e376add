// The flux step language read from a YAML tree: the four step variants, the
// parser that builds them with its error texts and warnings, and the debug
// rendering the workflow's diagnostic lines use. No Python here; the
// workflow engine runs what this builds.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/yaml_tree.hpp"

namespace olvex::support::flux {

struct FluxStep;
using Block = std::vector<FluxStep>;

struct Process {
  std::string name;
  std::uint32_t id;  // 0, 1, 2... over the workflow's process steps in document order
};
struct While {
  std::string condition;
  Block do_steps;
};
struct If {
  std::string condition;
  Block then_steps;
  Block else_steps;
};
struct Run {
  Block steps;
};

struct FluxStep {
  std::variant<Process, While, If, Run> step;
};

struct Workflow {
  Block steps;
  std::uint32_t processes = 0;  // how many Process steps, at any depth
};

// Called with each warning line (no line break) as soon as its block has
// parsed.
using WarningSink = std::function<void(std::string_view)>;

struct ParseOutcome {
  Workflow workflow;
  std::string error;  // the parser's text (without the "Parse error: " prefix); empty on success
  bool ok() const noexcept { return error.empty(); }
};

// The workflow of a document's root: the items of its `steps` sequence when
// the root is a mapping holding one, else no steps at all.
ParseOutcome parse_workflow(const yaml::Node& root, const WarningSink& warn);

// The debug rendering: `Process { name: "a" }`, with texts escaped so that
// the rendering stays on one line.
std::string debug_render(const FluxStep& step);

// The first key, in text order, that repeats an earlier key of the same
// mapping anywhere in the tree, as a message naming it and its position.
std::optional<std::string> repeated_key_message(const yaml::Tree& tree);

// Every Process step at any depth, depth first in document order.
template <class F>
void for_each_process(const Block& block, F&& f) {
  for (const FluxStep& s : block) {
    if (const auto* p = std::get_if<Process>(&s.step)) {
      f(*p);
    } else if (const auto* w = std::get_if<While>(&s.step)) {
      for_each_process(w->do_steps, f);
    } else if (const auto* i = std::get_if<If>(&s.step)) {
      for_each_process(i->then_steps, f);
      for_each_process(i->else_steps, f);
    } else {
      for_each_process(std::get<Run>(s.step).steps, f);
    }
  }
}

// The Process steps a straight run would reach without testing any
// condition: `run` blocks expanded in place, `while` and `if` steps left
// out with everything inside them. Walks with an explicit stack.
std::vector<const Process*> linear_processes(const Block& block);

}  // namespace olvex::support::flux
