#include "support/yaml_tree.hpp"

#include <fmt/format.h>
#include <locale.h>
#include <yaml.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

namespace olvex::support::yaml {

namespace {

constexpr std::string_view kCorePrefix = "tag:yaml.org,2002:";
constexpr std::size_t kRenderLimit = 240;

std::uint32_t one_based(std::size_t zero_based) noexcept {
  return zero_based >= std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                                 : static_cast<std::uint32_t>(zero_based + 1);
}

Mark mark_of(const yaml_mark_t& m) noexcept { return {one_based(m.line), one_based(m.column)}; }

std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) noexcept {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// Thrown inside the reading for a refusal of our own; becomes the error text.
struct Refusal {
  std::string text;
};

// ---- text classification --------------------------------------------------

bool all_of(std::string_view s, bool (*pred)(char)) noexcept {
  if (s.empty()) return false;
  for (char c : s) {
    if (!pred(c)) return false;
  }
  return true;
}
bool dec(char c) noexcept { return c >= '0' && c <= '9'; }
bool oct(char c) noexcept { return c >= '0' && c <= '7'; }
bool hex(char c) noexcept { return dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_int(std::string_view s) noexcept {
  if (s.starts_with("0o")) return all_of(s.substr(2), oct);
  if (s.starts_with("0x")) return all_of(s.substr(2), hex);
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  return all_of(s, dec);
}

std::size_t digits_at(std::string_view s, std::size_t i) noexcept {
  std::size_t j = i;
  while (j < s.size() && dec(s[j])) ++j;
  return j - i;
}

bool is_special_float(std::string_view s) noexcept {
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return true;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  return s == ".inf" || s == ".Inf" || s == ".INF";
}

// [-+]? (\.[0-9]+ | [0-9]+ (\.[0-9]*)?) ([eE] [-+]? [0-9]+)?
bool is_float(std::string_view s) noexcept {
  if (is_special_float(s)) return true;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  std::size_t whole = digits_at(s, i);
  i += whole;
  if (i < s.size() && s[i] == '.') {
    ++i;
    std::size_t frac = digits_at(s, i);
    if (whole == 0 && frac == 0) return false;
    i += frac;
  } else if (whole == 0) {
    return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    std::size_t exp = digits_at(s, i);
    if (exp == 0) return false;
    i += exp;
  }
  return i == s.size();
}

// An integer's text taken apart: sign, base and digits (0x and 0o carry
// no sign in the core schema).
struct IntText {
  bool negative = false;
  int base = 10;
  std::string_view digits;
};

IntText split_int(std::string_view s) noexcept {
  IntText t;
  if (s.starts_with("0x")) {
    t.base = 16;
    s.remove_prefix(2);
  } else if (s.starts_with("0o")) {
    t.base = 8;
    s.remove_prefix(2);
  } else if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    t.negative = s[0] == '-';
    s.remove_prefix(1);
  }
  t.digits = s;
  return t;
}

// The magnitude when it fits 64 bits.
std::optional<std::uint64_t> magnitude(const IntText& t) noexcept {
  std::uint64_t v = 0;
  const char* end = t.digits.data() + t.digits.size();
  auto [stop, ec] = std::from_chars(t.digits.data(), end, v, t.base);
  if (ec != std::errc() || stop != end) return std::nullopt;
  return v;
}

// The integer's value as a key: the same text for the same number, whatever
// base, sign or leading zeros it was written with. Values beyond 64 bits
// keep their base, so such keys match only when written in the same base.
std::string int_identity(std::string_view text) {
  IntText t = split_int(text);
  while (t.digits.size() > 1 && t.digits[0] == '0') t.digits.remove_prefix(1);
  if (std::optional<std::uint64_t> v = magnitude(t)) return fmt::format("{}{}", t.negative && *v ? "-" : "", *v);
  std::string out = fmt::format("{}{}:", t.negative ? "-" : "", t.base);
  for (char c : t.digits) out += (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

// Numbers are read in the C locale whatever the process's locale is.
locale_t c_locale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

// ---- UTF-8 ------------------------------------------------------------------

// Decodes one code point at s[i]; returns its length, 0 for an invalid
// sequence.
std::size_t decode(std::string_view s, std::size_t i, std::uint32_t& cp) noexcept {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  std::size_t n;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    cp = c & 0x1F;
    n = 2;
  } else if ((c & 0xF0) == 0xE0) {
    cp = c & 0x0F;
    n = 3;
  } else if ((c & 0xF8) == 0xF0) {
    cp = c & 0x07;
    n = 4;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// Line and column of a byte offset, counted as libyaml counts marks: CR LF,
// CR, LF, NEL, LS and PS end lines, and columns count characters.
Mark position_of(std::string_view s, std::size_t offset) noexcept {
  offset = std::min(offset, s.size());
  std::size_t line = 0;
  std::size_t column = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool brk = c == '\n' || (c == '\r' && !(i + 1 < s.size() && s[i + 1] == '\n'));
    if (!brk && c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) brk = true;
    if (!brk && c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(s[i + 2]) == 0xA8 || static_cast<unsigned char>(s[i + 2]) == 0xA9)) {
      brk = true;
    }
    if (brk) {
      ++line;
      column = 0;
    } else if ((c & 0xC0) != 0x80 && c != '\r') {
      ++column;
    }
  }
  return {one_based(line), one_based(column)};
}

// ---- directive prologues -----------------------------------------------------

// The length of the line break at s[i] (CR LF, CR, LF, NEL, LS, PS), 0 when
// there is none.
std::size_t break_at(std::string_view s, std::size_t i) noexcept {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c == '\n') return 1;
  if (c == '\r') return i + 1 < s.size() && s[i + 1] == '\n' ? 2 : 1;
  if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) return 2;
  if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
      (static_cast<unsigned char>(s[i + 2]) == 0xA8 || static_cast<unsigned char>(s[i + 2]) == 0xA9)) {
    return 3;
  }
  return 0;
}

// Spaces and tabs, then nothing or a comment.
bool blank_or_comment(std::string_view line) noexcept {
  std::size_t i = line.find_first_not_of(" \t");
  return i == std::string_view::npos || line[i] == '#';
}

// The three characters and then nothing, a space or a tab.
bool marker(std::string_view line, std::string_view three) noexcept {
  return line.starts_with(three) && (line.size() == 3 || line[3] == ' ' || line[3] == '\t');
}

// The offset of the first %TAG directive past the bound in the directive
// prologue that starts at `from` (the text's start, or the end of a
// document), if there is one. A prologue is a run of directive lines (a
// '%' in the first column), blank and comment lines (a byte order mark may
// lead them) and "..." lines; any other line (a "---", or content) ends it,
// so nothing inside a document is looked at. Every %TAG line counted here is
// a directive libyaml reads, unless libyaml refuses the text before it.
std::optional<std::size_t> excess_tag_directive(std::string_view s, std::size_t from, bool line_start) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  std::size_t tags = 0;
  for (std::size_t i = from; i < s.size();) {
    std::size_t end = i;
    while (end < s.size() && break_at(s, end) == 0) ++end;
    std::string_view line = s.substr(i, end - i);
    if (line_start && line.starts_with('%')) {
      if (marker(line.substr(1), "TAG") && ++tags > kMaxTagDirectives) return i;
    } else if (!(line_start && marker(line, "...")) &&
               !blank_or_comment(line_start && line.starts_with(kBom) ? line.substr(kBom.size()) : line)) {
      return std::nullopt;
    }
    i = end < s.size() ? end + break_at(s, end) : end;
    line_start = true;
  }
  return std::nullopt;
}

// ---- rendering --------------------------------------------------------------

class Line {
 public:
  bool full() const noexcept { return full_; }
  void put(std::string_view s) {
    if (full_) return;
    if (out_.size() + s.size() > kRenderLimit) {
      std::size_t cut = kRenderLimit - out_.size();
      while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
      out_.append(s.substr(0, cut));
      out_ += "...";
      full_ = true;
      return;
    }
    out_.append(s);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
  bool full_ = false;
};

// Whether a string reads back as itself written plain inside a flow
// collection on one line.
bool plain_safe(std::string_view s) noexcept {
  if (s.empty() || resolve_plain(s) != Kind::String) return false;
  if (std::string_view("-?:,[]{}#&*!|>'\"%@` \t").find(s[0]) != std::string_view::npos) return false;
  if (s.back() == ' ' || s.back() == ':') return false;
  if (s.find(": ") != std::string_view::npos || s.find(" #") != std::string_view::npos) return false;
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F || std::string_view(",[]{}").find(static_cast<char>(c)) != std::string_view::npos) {
        return false;
      }
      ++i;
      continue;
    }
    std::uint32_t cp = 0;
    std::size_t n = decode(s, i, cp);
    if (n == 0 || cp < 0xA0 || cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF) return false;
    i += n;
  }
  return true;
}

void put_quoted(Line& w, std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::uint32_t cp = c;
    std::size_t n = c < 0x80 ? 1 : decode(s, i, cp);
    if (n == 0) {  // not UTF-8: show the byte
      out += fmt::format("\\x{:02X}", c);
      ++i;
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0: out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case 0x2028: out += "\\L"; break;
      case 0x2029: out += "\\P"; break;
      case 0xFEFF: out += "\\uFEFF"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          out += fmt::format("\\x{:02X}", cp);
        } else {
          out.append(s.substr(i, n));
        }
    }
    i += n;
    if (out.size() > kRenderLimit) break;  // the Line cuts it anyway
  }
  if (out.size() <= kRenderLimit) out += '"';
  w.put(out);
}

void put_tag(Line& w, std::string_view tag) {
  std::string out;
  std::string_view body = tag;
  bool verbatim = false;
  if (tag.starts_with(kCorePrefix)) {
    out = "!!";
    body = tag.substr(kCorePrefix.size());
  } else if (!tag.starts_with('!')) {
    out = "!<";
    verbatim = true;
  }
  // libyaml decodes %-escapes in tags, so any byte may appear.
  for (char ch : body) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F) {
      out += fmt::format("%{:02X}", c);
    } else {
      out += ch;
    }
  }
  if (verbatim) out += '>';
  w.put(out);
}

void render_into(Line& w, const Node& n) {
  if (n.tagged()) {
    put_tag(w, n.tag());
    w.put(" ");
  }
  switch (n.kind()) {
    case Kind::Null:
      w.put("null");
      break;
    case Kind::Bool:
    case Kind::Int:
    case Kind::Float:
      w.put(n.text());
      break;
    case Kind::String:
      if (plain_safe(n.text())) {
        w.put(n.text());
      } else {
        put_quoted(w, n.text());
      }
      break;
    case Kind::Sequence: {
      w.put("[");
      bool first = true;
      for (const Item& it : n.items()) {
        if (w.full()) return;
        if (!first) w.put(", ");
        first = false;
        render_into(w, *it.node);
      }
      w.put("]");
      break;
    }
    case Kind::Mapping: {
      w.put("{");
      bool first = true;
      for (const Entry& e : n.entries()) {
        if (w.full()) return;
        if (!first) w.put(", ");
        first = false;
        render_into(w, *e.key.node);
        w.put(": ");
        render_into(w, *e.value.node);
      }
      w.put("}");
      break;
    }
  }
}

std::string describe_for_tag(const Node& n) {
  if (n.kind() == Kind::Sequence) return "a sequence";
  if (n.kind() == Kind::Mapping) return "a mapping";
  Line w;
  put_quoted(w, n.text());
  return w.take();
}

std::string core_tag_name(std::string_view tag) { return fmt::format("!!{}", tag.substr(kCorePrefix.size())); }

// ---- libyaml plumbing --------------------------------------------------------

struct Parser {
  yaml_parser_t p;
  Parser() {
    if (!yaml_parser_initialize(&p)) throw std::bad_alloc();
  }
  ~Parser() { yaml_parser_delete(&p); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
};

struct Event {
  yaml_event_t e;
  bool live = false;
  ~Event() {
    if (live) yaml_event_delete(&e);
  }
};

std::string syntax_error(const yaml_parser_t& p, std::string_view text) {
  std::string out = p.problem ? p.problem : "unknown problem";
  out += at(p.error == YAML_READER_ERROR ? position_of(text, p.problem_offset) : mark_of(p.problem_mark));
  if (p.context) {
    out += ", ";
    out += p.context;
    out += at(mark_of(p.context_mark));
  }
  return out;
}

Style scalar_style(yaml_scalar_style_t s) noexcept {
  switch (s) {
    case YAML_SINGLE_QUOTED_SCALAR_STYLE: return Style::SingleQuoted;
    case YAML_DOUBLE_QUOTED_SCALAR_STYLE: return Style::DoubleQuoted;
    case YAML_LITERAL_SCALAR_STYLE: return Style::Literal;
    case YAML_FOLDED_SCALAR_STYLE: return Style::Folded;
    default: return Style::Plain;
  }
}

std::string_view c_text(const yaml_char_t* s) noexcept {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

}  // namespace

// ---- building ------------------------------------------------------------------

class Builder {
 public:
  void scalar(const yaml_event_t& e) {
    const auto& s = e.data.scalar;
    Node* n = new_node(mark_of(e.start_mark), scalar_style(s.style));
    if (s.length > 0) {
      char* text = tree_.text_.take(s.length);
      std::memcpy(text, s.value, s.length);
      n->text_ = std::string_view(text, s.length);
    }
    Kind as_written = n->style_ == Style::Plain ? resolve_plain(n->text_) : Kind::String;
    n->kind_ = as_written;
    std::string_view tag = c_text(s.tag);
    if (tag == "!") {
      n->kind_ = Kind::String;
    } else if (tag.starts_with(kCorePrefix)) {
      std::string_view name = tag.substr(kCorePrefix.size());
      Kind plain = resolve_plain(n->text_);
      bool fits = true;
      if (name == "str") {
        n->kind_ = Kind::String;
      } else if (name == "int" || name == "bool" || name == "null") {
        n->kind_ = name == "int" ? Kind::Int : name == "bool" ? Kind::Bool : Kind::Null;
        fits = plain == n->kind_;
      } else if (name == "float") {
        n->kind_ = Kind::Float;
        fits = plain == Kind::Float || plain == Kind::Int;
      } else if (name == "seq" || name == "map") {
        fits = false;
      } else {
        n->tag_ = keep_tag(tag);
      }
      if (!fits) refuse_tag(*n, tag);
    } else if (!tag.empty()) {
      n->tag_ = keep_tag(tag);
    }
    anchor(s.anchor, n);
    add(Item{n, n->mark_, false});
  }

  void collection_start(const yaml_event_t& e, bool mapping) {
    Mark m = mark_of(e.start_mark);
    if (open_.size() + 1 > kMaxDepth) too_deep(m);
    bool flow = mapping ? e.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE
                        : e.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
    Node* n = new_node(m, flow ? Style::Flow : Style::Block);
    n->kind_ = mapping ? Kind::Mapping : Kind::Sequence;
    n->expanded_ = 0;  // still open
    std::string_view tag = c_text(mapping ? e.data.mapping_start.tag : e.data.sequence_start.tag);
    if (tag.starts_with(kCorePrefix)) {
      if (tag.substr(kCorePrefix.size()) != (mapping ? "map" : "seq")) {
        std::string_view name = tag.substr(kCorePrefix.size());
        if (name == "str" || name == "int" || name == "float" || name == "bool" || name == "null" ||
            name == "seq" || name == "map") {
          refuse_tag(*n, tag);
        }
        n->tag_ = keep_tag(tag);
      }
    } else if (!tag.empty() && tag != "!") {
      n->tag_ = keep_tag(tag);
    }
    anchor(mapping ? e.data.mapping_start.anchor : e.data.sequence_start.anchor, n);
    add(Item{n, m, false});
    open_.push_back({n, scratch_.size()});
  }

  void collection_end() {
    Open o = open_.back();
    open_.pop_back();
    Node* n = o.node;
    std::span<const Item> kids(scratch_.data() + o.first, scratch_.size() - o.first);
    std::uint32_t height = 0;
    std::uint64_t size = 1;
    for (const Item& it : kids) {
      height = std::max(height, it.node->height_);
      size = add_saturating(size, it.node->expanded_);
    }
    n->height_ = height + 1;
    n->expanded_ = size;
    if (n->kind_ == Kind::Mapping) {
      n->count_ = kids.size() / 2;
      if (n->count_ > 0) {
        Entry* run = tree_.entries_.take(n->count_);
        for (std::size_t i = 0; i < n->count_; ++i) run[i] = Entry{kids[2 * i], kids[2 * i + 1]};
        n->entries_ = run;
      }
    } else {
      n->count_ = kids.size();
      if (n->count_ > 0) {
        Item* run = tree_.items_.take(n->count_);
        std::copy(kids.begin(), kids.end(), run);
        n->items_ = run;
      }
    }
    scratch_.resize(o.first);
  }

  void alias(const yaml_event_t& e) {
    Mark m = mark_of(e.start_mark);
    std::string_view name = c_text(e.data.alias.anchor);
    auto it = anchors_.find(std::string(name));
    if (it == anchors_.end()) {
      throw Refusal{fmt::format("alias *{} refers to an unknown anchor{}", name, at(m))};
    }
    const Node* target = it->second;
    if (target->expanded_ == 0) {
      throw Refusal{fmt::format("alias *{} refers to a node that is not complete yet (a recursive alias){}", name,
                                at(m))};
    }
    if (open_.size() + target->height_ > kMaxDepth) too_deep(m);
    aliased_ = add_saturating(aliased_, target->expanded_);
    if (aliased_ > kMaxAliasedNodes) {
      throw Refusal{fmt::format("more than {} nodes are reachable through aliases{}", kMaxAliasedNodes, at(m))};
    }
    add(Item{target, m, true});
  }

  Tree finish() { return std::move(tree_); }

 private:
  struct Open {
    Node* node;
    std::size_t first;  // its children start here in scratch_
  };

  Node* new_node(Mark m, Style style) {
    Node* n = tree_.nodes_.take(1);
    n->mark_ = m;
    n->style_ = style;
    return n;
  }

  const std::string* keep_tag(std::string_view tag) { return &*tree_.tags_.emplace(tag).first; }

  void anchor(const yaml_char_t* name, const Node* n) {
    if (name) anchors_.insert_or_assign(std::string(c_text(name)), n);
  }

  void add(const Item& it) {
    if (open_.empty()) {
      tree_.root_ = it.node;
    } else {
      scratch_.push_back(it);
    }
  }

  [[noreturn]] static void too_deep(Mark m) {
    throw Refusal{fmt::format("collections nest more than {} deep{}", kMaxDepth, at(m))};
  }

  [[noreturn]] static void refuse_tag(const Node& n, std::string_view tag) {
    throw Refusal{fmt::format("cannot read {} as {}{}", describe_for_tag(n), core_tag_name(tag), at(n.mark()))};
  }

  Tree tree_;
  std::vector<Open> open_;
  std::vector<Item> scratch_;
  std::unordered_map<std::string, const Node*> anchors_;
  std::uint64_t aliased_ = 0;
};

namespace {

// Where libyaml's reader or scanner stopped, for a second look at the text
// before that point.
struct Stop {
  bool ahead = false;        // a reader or scanner error, or too many %TAG directives: found ahead of the events
  std::size_t byte = 0;      // its offset in the text
  std::size_t chars = 0;     // and in characters, as libyaml counts marks
};

std::size_t count_chars(std::string_view s) noexcept {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::size_t byte_of_char(std::string_view s, std::size_t chars) noexcept {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && seen++ == chars) break;
  }
  return i;
}

// One pass of libyaml over `text`. With `chars_before` set, the text was cut
// short there: a libyaml error at or after that many characters may come
// from the cut and is left unreported (`error` stays empty), and so is the
// end of the text.
ReadResult parse(std::string_view text, std::optional<std::size_t> chars_before, Stop* stop) {
  ReadResult result;
  Parser parser;
  yaml_parser_set_encoding(&parser.p, YAML_UTF8_ENCODING);
  yaml_parser_set_input_string(&parser.p, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  Builder builder;
  bool seen_document = false;
  // libyaml reads a document's directives all at once, as it starts the
  // document; they are counted first, at the text's start and after each
  // document's end.
  auto count_directives = [&](std::size_t from, bool line_start) {
    std::optional<std::size_t> over = excess_tag_directive(text, from, line_start);
    if (!over) return;
    if (stop) *stop = {true, *over, count_chars(text.substr(0, *over))};
    throw Refusal{fmt::format("more than {} %TAG directives in one document{}", kMaxTagDirectives,
                              at(position_of(text, *over)))};
  };
  try {
    count_directives(0, true);
    for (;;) {
      Event ev;
      if (!yaml_parser_parse(&parser.p, &ev.e)) {
        const yaml_parser_t& p = parser.p;
        if (p.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
        bool reader = p.error == YAML_READER_ERROR;
        std::size_t chars = reader ? count_chars(text.substr(0, p.problem_offset)) : p.problem_mark.index;
        if (!chars_before || chars < *chars_before) result.error = syntax_error(p, text);
        if (stop && (reader || p.error == YAML_SCANNER_ERROR)) {
          *stop = {true, reader ? p.problem_offset : byte_of_char(text, chars), chars};
        }
        return result;
      }
      ev.live = true;
      switch (ev.e.type) {
        case YAML_STREAM_START_EVENT:
          break;
        case YAML_DOCUMENT_END_EVENT:
          count_directives(byte_of_char(text, ev.e.end_mark.index), ev.e.end_mark.column == 0);
          break;
        case YAML_DOCUMENT_START_EVENT:
          if (seen_document) throw Refusal{std::string(kSeveralDocuments)};
          seen_document = true;
          break;
        case YAML_SCALAR_EVENT:
          builder.scalar(ev.e);
          break;
        case YAML_SEQUENCE_START_EVENT:
          builder.collection_start(ev.e, false);
          break;
        case YAML_MAPPING_START_EVENT:
          builder.collection_start(ev.e, true);
          break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
          builder.collection_end();
          break;
        case YAML_ALIAS_EVENT:
          builder.alias(ev.e);
          break;
        case YAML_STREAM_END_EVENT:
        case YAML_NO_EVENT:
          if (chars_before) return result;
          if (!seen_document) throw Refusal{std::string(kNoDocument)};
          result.tree.emplace(builder.finish());
          return result;
      }
    }
  } catch (Refusal& r) {
    result.error = std::move(r.text);
    return result;
  }
}

}  // namespace

ReadResult read(std::string_view text) {
  Stop stop;
  ReadResult full = parse(text, std::nullopt, &stop);
  // libyaml's reader and scanner run ahead of the events (the reader checks
  // its whole input buffer, the scanner looks ahead for implicit keys), so
  // their error may be reported before an earlier problem that only the
  // events would show. Reading the text before the error again finds that
  // one; only when there is none is libyaml's error the first.
  if (stop.ahead && stop.byte > 0) {
    ReadResult early = parse(text.substr(0, stop.byte), stop.chars, nullptr);
    if (!early.error.empty()) return early;
  }
  return full;
}

// ---- nodes -----------------------------------------------------------------------

bool Node::boolean() const noexcept { return !text_.empty() && (text_[0] == 't' || text_[0] == 'T'); }

std::optional<std::int64_t> Node::int64() const noexcept {
  if (kind_ != Kind::Int) return std::nullopt;
  IntText t = split_int(text_);
  std::optional<std::uint64_t> v = magnitude(t);
  if (!v) return std::nullopt;
  constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (t.negative) {
    if (*v > kMaxPositive + 1) return std::nullopt;
    return *v == kMaxPositive + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(*v);
  }
  if (*v > kMaxPositive) return std::nullopt;
  return static_cast<std::int64_t>(*v);
}

double Node::real() const noexcept {
  std::string_view s = text_;
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return std::numeric_limits<double>::quiet_NaN();
  if (is_special_float(s)) return s[0] == '-' ? -HUGE_VAL : HUGE_VAL;
  std::string copy(text_);  // strtod wants the end marked
  return strtod_l(copy.c_str(), nullptr, c_locale());
}

const Item* Node::find(std::string_view key) const noexcept {
  for (const Entry& e : entries()) {
    const Node& k = *e.key.node;
    if (k.kind_ == Kind::String && !k.tag_ && k.text_ == key) return &e.value;
  }
  return nullptr;
}

// ---- free functions ------------------------------------------------------------

Kind resolve_plain(std::string_view s) noexcept {
  if (s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL") return Kind::Null;
  if (s == "true" || s == "True" || s == "TRUE" || s == "false" || s == "False" || s == "FALSE") return Kind::Bool;
  if (is_int(s)) return Kind::Int;
  if (is_float(s)) return Kind::Float;
  return Kind::String;
}

namespace {

// A scalar key's identity: kind, then the tag (never holds a NUL), a NUL,
// then the value in a form that is the same for equal values.
void key_identity(const Node& k, std::string& id) {
  id.assign(1, static_cast<char>('0' + static_cast<int>(k.kind())));
  id.append(k.tag());
  id.push_back('\0');
  switch (k.kind()) {
    case Kind::Null:
      break;
    case Kind::Bool:
      id.push_back(k.boolean() ? '1' : '0');
      break;
    case Kind::Int:
      id.append(int_identity(k.text()));
      break;
    case Kind::Float: {
      double d = k.real();
      if (std::isnan(d)) {
        id.append("nan");
      } else {
        if (d == 0) d = 0;  // -0.0 and 0.0 are one key
        char buf[sizeof d];
        std::memcpy(buf, &d, sizeof d);
        id.append(buf, sizeof d);
      }
      break;
    }
    default:
      id.append(k.text());
  }
}

}  // namespace

std::optional<std::size_t> repeated_key(const Node& mapping) {
  auto entries = mapping.entries();
  if (entries.size() < 2) return std::nullopt;
  // Most mappings are small: their identities and hashes stay on the stack
  // and only keys whose hashes match are compared.
  constexpr std::size_t kSmall = 8;
  if (entries.size() <= kSmall) {
    std::array<std::string, kSmall> ids;
    std::array<std::size_t, kSmall> hashes{};
    std::array<bool, kSmall> scalar{};
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Node& k = *entries[i].key.node;
      if (!(scalar[i] = k.is_scalar())) continue;
      key_identity(k, ids[i]);
      hashes[i] = std::hash<std::string>{}(ids[i]);
      for (std::size_t j = 0; j < i; ++j) {
        if (scalar[j] && hashes[j] == hashes[i] && ids[j] == ids[i]) return i;
      }
    }
    return std::nullopt;
  }
  std::unordered_set<std::string> seen;
  seen.reserve(entries.size());
  std::string id;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Node& k = *entries[i].key.node;
    if (!k.is_scalar()) continue;
    key_identity(k, id);
    if (!seen.insert(id).second) return i;
  }
  return std::nullopt;
}

std::string render(const Node& node) {
  Line w;
  render_into(w, node);
  return w.take();
}

std::string at(Mark m) { return fmt::format(" at line {} column {}", m.line, m.column); }

}  // namespace olvex::support::yaml
