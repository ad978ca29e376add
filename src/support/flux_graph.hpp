// The graph a workflow document may describe under `nodes`: an index of its
// nodes by name and the walk that follows their `next` links. Conditions
// are decided by the caller; a walk that would grow past its bound (the
// sign of a cycle) fails instead of running on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/yaml_tree.hpp"

namespace olvex::support::flux {

class NodeIndex {
 public:
  NodeIndex() = default;
  // Indexes the entries of `nodes` (a mapping) whose keys are untagged
  // strings; the first entry of a name wins.
  explicit NodeIndex(const yaml::Node& nodes);
  const yaml::Node* find(std::string_view name) const;

 private:
  std::unordered_map<std::string_view, const yaml::Node*> by_name_;
};

// Why a walk failed; the caller chooses the exception.
struct GraphError {
  enum class Kind { Value, Cycle };
  Kind kind;
  std::string message;
};

// Decides one condition text; may throw whatever the caller's evaluation
// throws, which then ends the walk unchanged.
using Condition = std::function<bool(std::string_view)>;

// However large the caller's `extra`, a walk over n entries visits at most
// kVisitsPerEntry * n + kWalkAllowance names: enough for loops that run a
// while before they leave, and a cycle still fails in time and memory in
// proportion to the document.
inline constexpr std::uint64_t kVisitsPerEntry = 16;
inline constexpr std::uint64_t kWalkAllowance = 10'000;

// The names a walk over `nodes` visits from its `start`: for n entries, at
// most n + `extra` of them, and never more than the cap above. Throws
// GraphError.
std::vector<std::string_view> walk_graph(const yaml::Node& nodes, const NodeIndex& index, std::uint64_t extra,
                                         const Condition& condition);

// The condition of a `next` key after its "if ": Unicode white space
// (the White_Space property) trimmed from both ends, then every ' and "
// trimmed from both ends, quotes not taken in pairs.
std::string_view condition_text(std::string_view rest) noexcept;

}  // namespace olvex::support::flux
