#include "support/flux_steps.hpp"

#include <fmt/format.h>

#include <tuple>
#include <utility>

namespace olvex::support::flux {

namespace {

using yaml::Item;
using yaml::Kind;
using yaml::Node;

// The first failure ends the whole parse; its text travels up unchanged.
struct Failure {
  std::string text;
};

class Parser {
 public:
  explicit Parser(const WarningSink& warn) : warn_(warn) {}

  Block parse(std::span<const Item> items) {
    Block out;
    out.reserve(items.size());
    for (const Item& it : items) out.push_back(step(*it.node));
    return out;
  }

  std::uint32_t processes() const noexcept { return next_id_; }

 private:
  static bool is_string(const Item* v) { return v && v->node->kind() == Kind::String; }
  static bool is_sequence(const Item* v) { return v && v->node->kind() == Kind::Sequence; }

  FluxStep process(std::string_view name) { return FluxStep{Process{std::string(name), next_id_++}}; }

  Block block(const Item& v) { return parse(v.node->items()); }

  void warn(std::string_view line) {
    if (warn_) warn_(line);
  }

  FluxStep step(const Node& n) {
    if (n.kind() == Kind::String) return process(n.text());
    if (n.kind() != Kind::Mapping) {
      throw Failure{"Invalid step type: expected string or mapping, got " + yaml::render(n)};
    }
    if (const Item* p = n.find("process")) {
      if (!is_string(p)) throw Failure{"'process' value must be a string"};
      return process(p->node->text());
    }
    const Item* flux = n.find("flux");
    if (!flux) throw Failure{"Unknown step format: " + yaml::render(n)};
    if (!is_string(flux)) throw Failure{"'flux' value must be a string"};
    std::string_view type = flux->node->text();
    if (type == "while") {
      const Item* cond = n.find("condition");
      if (!is_string(cond)) throw Failure{"'flux: while' requires 'condition' field"};
      const Item* body = n.find("do");
      if (!is_sequence(body)) throw Failure{"'flux: while' requires 'do' block"};
      While w{std::string(cond->node->text()), block(*body)};
      if (w.do_steps.empty()) warn("[FLUX-WARN] 'flux: while' has empty 'do' block. This may cause unexpected behavior.");
      return FluxStep{std::move(w)};
    }
    if (type == "if") {
      const Item* cond = n.find("condition");
      if (!is_string(cond)) throw Failure{"'flux: if' requires 'condition' field"};
      If i{std::string(cond->node->text()), {}, {}};
      if (const Item* then = n.find("then"); is_sequence(then)) i.then_steps = block(*then);
      if (const Item* other = n.find("else"); is_sequence(other)) i.else_steps = block(*other);
      if (i.then_steps.empty() && i.else_steps.empty()) warn("[FLUX-WARN] 'flux: if' has empty 'then' and 'else' blocks.");
      return FluxStep{std::move(i)};
    }
    if (type == "run") {
      const Item* steps = n.find("steps");
      if (!is_sequence(steps)) throw Failure{"'flux: run' requires 'steps' block"};
      Run r{block(*steps)};
      if (r.steps.empty()) warn("[FLUX-WARN] 'flux: run' has empty 'steps' block.");
      return FluxStep{std::move(r)};
    }
    throw Failure{fmt::format("Unknown flux type: '{}'", type)};
  }

  const WarningSink& warn_;
  std::uint32_t next_id_ = 0;
};

// A text in double quotes; escapes keep every line break and control
// character out of the rendering.
void put_text(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\u{{{:x}}}", c);
    } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) < 0xA0) {  // C1 controls, NEL among them
      out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(s[i + 1]));
      ++i;
    } else if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(s[i + 2]) == 0xA8 || static_cast<unsigned char>(s[i + 2]) == 0xA9)) {
      out += fmt::format("\\u{{{:x}}}", 0x2000 + static_cast<unsigned char>(s[i + 2]) - 0x80);
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void put_step(std::string& out, const FluxStep& s);

void put_block(std::string& out, const Block& b) {
  out += '[';
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i) out += ", ";
    put_step(out, b[i]);
  }
  out += ']';
}

void put_step(std::string& out, const FluxStep& s) {
  if (const auto* p = std::get_if<Process>(&s.step)) {
    out += "Process { name: ";
    put_text(out, p->name);
  } else if (const auto* w = std::get_if<While>(&s.step)) {
    out += "While { condition: ";
    put_text(out, w->condition);
    out += ", do_steps: ";
    put_block(out, w->do_steps);
  } else if (const auto* i = std::get_if<If>(&s.step)) {
    out += "If { condition: ";
    put_text(out, i->condition);
    out += ", then_steps: ";
    put_block(out, i->then_steps);
    out += ", else_steps: ";
    put_block(out, i->else_steps);
  } else {
    out += "Run { steps: ";
    put_block(out, std::get<Run>(s.step).steps);
  }
  out += " }";
}

}  // namespace

ParseOutcome parse_workflow(const yaml::Node& root, const WarningSink& warn) {
  ParseOutcome out;
  const Item* steps = root.find("steps");
  if (!steps || steps->node->kind() != Kind::Sequence) return out;
  Parser p(warn);
  try {
    out.workflow.steps = p.parse(steps->node->items());
    out.workflow.processes = p.processes();
  } catch (Failure& f) {
    out.workflow = {};
    out.error = std::move(f.text);
  }
  return out;
}

std::string debug_render(const FluxStep& step) {
  std::string out;
  put_step(out, step);
  return out;
}

std::optional<std::string> repeated_key_message(const yaml::Tree& tree) {
  const Item* first = nullptr;
  tree.for_each_node([&](const Node& n) {
    if (n.kind() != Kind::Mapping) return;
    std::optional<std::size_t> i = yaml::repeated_key(n);
    if (!i) return;
    const Item& key = n.entries()[*i].key;
    if (!first || std::tie(key.at.line, key.at.column) < std::tie(first->at.line, first->at.column)) first = &key;
  });
  if (!first) return std::nullopt;
  return fmt::format("duplicate key `{}`{}", yaml::render(*first->node), yaml::at(first->at));
}

std::vector<const Process*> linear_processes(const Block& block) {
  std::vector<const Process*> out;
  std::vector<std::pair<const Block*, std::size_t>> stack{{&block, 0}};
  while (!stack.empty()) {
    auto& [b, i] = stack.back();
    if (i == b->size()) {
      stack.pop_back();
      continue;
    }
    const FluxStep& s = (*b)[i++];
    if (const auto* p = std::get_if<Process>(&s.step)) {
      out.push_back(p);
    } else if (const auto* r = std::get_if<Run>(&s.step)) {
      stack.emplace_back(&r->steps, 0);
    }
  }
  return out;
}

}  // namespace olvex::support::flux
