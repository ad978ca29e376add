#include "support/schema_config.hpp"

#include <fmt/format.h>

#include <array>
#include <span>

#include "support/yaml_tree.hpp"

namespace olvex::support {

namespace {

using yaml::Item;
using yaml::Kind;
using yaml::Node;

// Thrown at the first misfit; the walk stops there.
struct Misfit {
  std::string text;
};

// The dotted keys from the root to where the walk is.
class Path {
 public:
  void push(std::string_view key) { keys_.push_back(key); }
  void pop() noexcept { keys_.pop_back(); }
  // "a.b.c: " or "" at the root.
  std::string prefix() const {
    if (keys_.empty()) return {};
    std::string out;
    for (std::string_view k : keys_) {
      if (!out.empty()) out += '.';
      out += k;
    }
    out += ": ";
    return out;
  }

 private:
  std::vector<std::string_view> keys_;
};

[[noreturn]] void misfit(const Path& path, std::string_view text, yaml::Mark at) {
  throw Misfit{path.prefix() + std::string(text) + yaml::at(at)};
}

// A scalar's text inside "string \"...\"": quotes, backslashes and control
// characters escaped.
std::string escaped(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += fmt::format("\\u{{{:x}}}", c);
        } else {
          out += ch;
        }
    }
  }
  return out;
}

// What was found, for "invalid type" texts.
std::string found(const Node& n) {
  switch (n.kind()) {
    case Kind::Null: return "unit value";
    case Kind::Sequence: return "sequence";
    case Kind::Mapping: return "map";
    case Kind::Bool: return fmt::format("boolean `{}`", n.boolean() ? "true" : "false");
    case Kind::Int: return fmt::format("integer `{}`", n.text());
    case Kind::Float: return fmt::format("floating point `{}`", n.text());
    case Kind::String: break;
  }
  return fmt::format("string \"{}\"", escaped(n.text()));
}

[[noreturn]] void invalid_type(const Path& path, const Item& item, std::string_view expected) {
  misfit(path, fmt::format("invalid type: {}, expected {}", found(*item.node), expected), item.at);
}

// Where a mapping belongs, an empty plain value stands for an empty one.
bool is_empty_value(const Node& n) noexcept {
  return n.kind() == Kind::Null && n.text().empty() && n.style() == yaml::Style::Plain;
}

// A closed mapping: each key named once, from a fixed list. Calls
// `value(index of the field, item)` for each entry in document order.
template <std::size_t N, class F>
void closed_mapping(Path& path, const Node& map, const std::array<std::string_view, N>& fields,
                    std::string_view expected, F&& value) {
  std::array<bool, N> seen{};
  for (const yaml::Entry& e : map.entries()) {
    const Node& key = *e.key.node;
    if (!key.is_scalar()) invalid_type(path, e.key, "field identifier");
    std::size_t i = 0;
    while (i < N && fields[i] != key.text()) ++i;
    if (i == N) misfit(path, fmt::format("unknown field `{}`, expected {}", key.text(), expected), e.key.at);
    if (seen[i]) misfit(path, fmt::format("duplicate field `{}`", fields[i]), e.key.at);
    seen[i] = true;
    path.push(fields[i]);
    value(i, e.value);
    path.pop();
  }
}

// `type`, `default` and field names: any scalar is taken as its text.
void text_value(const Path& path, const Item& item) {
  if (!item.node->is_scalar()) invalid_type(path, item, "a string");
}

void field_spec(Path& path, const Item& item) {
  const Node& n = *item.node;
  if (is_empty_value(n)) return;
  if (n.kind() != Kind::Mapping) invalid_type(path, item, "struct FieldSpec");
  static constexpr std::array<std::string_view, 3> kFields = {"type", "required", "default"};
  closed_mapping(path, n, kFields, "one of `type`, `required`, `default`", [&](std::size_t i, const Item& v) {
    switch (i) {
      case 0:  // type
        text_value(path, v);
        break;
      case 1:  // required: the six boolean words, unquoted
        if (v.node->kind() != Kind::Bool) invalid_type(path, v, "a boolean");
        break;
      default:  // default: a null is no default
        if (v.node->kind() != Kind::Null) text_value(path, v);
    }
  });
}

// `global` or `domain`: field name -> specification. A name given twice is
// checked both times (the later one is the one that counts).
void field_map(Path& path, const Item& item) {
  const Node& n = *item.node;
  if (is_empty_value(n)) return;
  if (n.kind() != Kind::Mapping) invalid_type(path, item, "a map");
  for (const yaml::Entry& e : n.entries()) {
    text_value(path, e.key);
    path.push(e.key.node->text());
    field_spec(path, e.value);
    path.pop();
  }
}

void context(Path& path, const Item& item) {
  const Node& n = *item.node;
  if (n.kind() == Kind::Null) return;  // no context
  if (n.kind() != Kind::Mapping) invalid_type(path, item, "struct ContextConfig");
  static constexpr std::array<std::string_view, 2> kFields = {"global", "domain"};
  closed_mapping(path, n, kFields, "`global` or `domain`", [&](std::size_t, const Item& v) { field_map(path, v); });
}

void root(Path& path, const Item& item) {
  const Node& n = *item.node;
  if (is_empty_value(n)) return;
  if (n.kind() != Kind::Mapping) invalid_type(path, item, "struct RootConfig");
  static constexpr std::array<std::string_view, 1> kFields = {"context"};
  closed_mapping(path, n, kFields, "`context`", [&](std::size_t, const Item& v) { context(path, v); });
}

}  // namespace

std::optional<std::string> check_schema_config(std::string_view text) {
  yaml::ReadResult r = yaml::read(text);
  if (!r) return std::move(r.error);
  const Node& top = r.tree->root();
  Path path;
  try {
    root(path, Item{&top, top.mark(), false});
  } catch (Misfit& m) {
    return std::move(m.text);
  }
  return std::nullopt;
}

}  // namespace olvex::support
