#include "support/flux_graph.hpp"

#include <fmt/format.h>

namespace olvex::support::flux {

namespace {

using yaml::Item;
using yaml::Kind;
using yaml::Node;

bool white_space(std::uint32_t cp) noexcept {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

// The code point of a well-formed UTF-8 sequence (the text came through
// the YAML reader, which refuses anything else).
std::uint32_t code_point(std::string_view seq) noexcept {
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(seq[i]); };
  switch (seq.size()) {
    case 1: return b(0);
    case 2: return ((b(0) & 0x1Fu) << 6) | (b(1) & 0x3Fu);
    case 3: return ((b(0) & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
    default: return ((b(0) & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) | (b(3) & 0x3Fu);
  }
}

std::size_t first_len(std::string_view s) noexcept {
  unsigned char c = static_cast<unsigned char>(s[0]);
  std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
  return std::min(n, s.size());
}

std::size_t last_len(std::string_view s) noexcept {
  std::size_t n = 1;
  while (n < s.size() && n < 4 && (static_cast<unsigned char>(s[s.size() - n]) & 0xC0) == 0x80) ++n;
  return n;
}

// n + extra, capped; n counts entries of a document in memory, so the
// products cannot overflow.
std::uint64_t walk_bound(std::uint64_t entries, std::uint64_t extra) noexcept {
  const std::uint64_t cap = kVisitsPerEntry * entries + kWalkAllowance;
  return extra < cap - entries ? entries + extra : cap;
}

}  // namespace

NodeIndex::NodeIndex(const Node& nodes) {
  by_name_.reserve(nodes.entries().size());
  for (const yaml::Entry& e : nodes.entries()) {
    const Node& k = *e.key.node;
    if (k.kind() == Kind::String && !k.tagged()) by_name_.emplace(k.text(), e.value.node);
  }
}

const Node* NodeIndex::find(std::string_view name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

std::string_view condition_text(std::string_view s) noexcept {
  while (!s.empty()) {
    std::size_t n = first_len(s);
    if (!white_space(code_point(s.substr(0, n)))) break;
    s.remove_prefix(n);
  }
  while (!s.empty()) {
    std::size_t n = last_len(s);
    if (!white_space(code_point(s.substr(s.size() - n)))) break;
    s.remove_suffix(n);
  }
  while (!s.empty() && (s.front() == '\'' || s.front() == '"')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == '\'' || s.back() == '"')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> walk_graph(const Node& nodes, const NodeIndex& index, std::uint64_t extra,
                                         const Condition& condition) {
  const Item* start = nodes.find("start");
  if (!start) throw GraphError{GraphError::Kind::Value, "Missing 'start' node"};
  if (start->node->kind() != Kind::String) throw GraphError{GraphError::Kind::Value, "Start node must be string"};
  const std::uint64_t bound = walk_bound(nodes.entries().size(), extra);
  std::vector<std::string_view> path;
  std::string_view current = start->node->text();
  for (;;) {
    if (path.size() >= bound) {
      throw GraphError{GraphError::Kind::Cycle,
                       fmt::format("Flux Safety Trip: simulation exceeded {} nodes. Check for cycles in 'nodes'.", bound)};
    }
    path.push_back(current);
    const Node* node = index.find(current);
    if (!node) break;
    const Item* next = node->find("next");
    if (!next) break;
    const Node& n = *next->node;
    if (n.kind() == Kind::String) {
      current = n.text();
      continue;
    }
    if (n.kind() != Kind::Mapping) break;
    const Node* target = nullptr;
    for (const yaml::Entry& e : n.entries()) {
      if (e.key.node->kind() != Kind::String) throw GraphError{GraphError::Kind::Value, "Condition key must be string"};
      if (e.value.node->kind() != Kind::String) throw GraphError{GraphError::Kind::Value, "Target must be string"};
      std::string_view key = e.key.node->text();
      if (key == "else" || (key.starts_with("if ") && condition(condition_text(key.substr(3))))) {
        target = e.value.node;
        break;
      }
    }
    if (!target) break;
    current = target->text();
  }
  return path;
}

}  // namespace olvex::support::flux
