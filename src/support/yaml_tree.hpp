// The module's one YAML reader: libyaml's event stream feeding a small,
// immutable tree of our own. Exactly one document is read. Mapping entries
// stay in document order with repeated keys kept (each reader decides what a
// repeat means to it), aliases share their anchored node instead of copying
// it, and three bounds keep hostile texts cheap: a nesting depth, an alias
// budget, and refusing aliases that are unknown or point into a node still
// being read, and a bound on the %TAG directives of a document. Nothing here
// knows what a workflow or a schema is.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

namespace olvex::support::yaml {

// Collections may nest this deep; an alias counts as deep as the collection
// it stands for (written at depth d, a target h collections high reaches
// d + h).
inline constexpr std::size_t kMaxDepth = 128;

// At most this many nodes may be reachable through aliases: every alias adds
// the size of its target as if it were written out in full (aliases inside
// the target included). Sizes are computed as the tree is built, saturating,
// so nothing is ever expanded. Text without aliases is not limited by it.
inline constexpr std::uint64_t kMaxAliasedNodes = 1'000'000;

// A document may declare this many %TAG directives. A document needs one
// per tag vocabulary it uses, a handful at most; libyaml compares each
// directive with every earlier one of its document (and looks a tag's handle
// up among them all), so thousands would cost seconds. Counted before
// libyaml reads them.
inline constexpr std::size_t kMaxTagDirectives = 64;

enum class Kind : std::uint8_t { Null, Bool, Int, Float, String, Sequence, Mapping };

// How the node was written.
enum class Style : std::uint8_t { Plain, SingleQuoted, DoubleQuoted, Literal, Folded, Block, Flow };

// 1-based position of the first character of a node (its tag or anchor, when
// it has one) or of an alias.
struct Mark {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  bool operator==(const Mark&) const = default;
};

class Node;

// One use of a node inside a collection: the node, and where this use is
// written. For an alias that is the alias's own position, not its target's.
struct Item {
  const Node* node;
  Mark at;
  bool alias;
};

struct Entry {
  Item key;
  Item value;
};

class Node {
 public:
  Kind kind() const noexcept { return kind_; }
  Style style() const noexcept { return style_; }
  Mark mark() const noexcept { return mark_; }
  bool is_scalar() const noexcept { return kind_ != Kind::Sequence && kind_ != Kind::Mapping; }

  // The tag as libyaml resolved it ("!t", "tag:yaml.org,2002:binary"),
  // empty when untagged. The core schema's own tags (!!str, !!int, !!float,
  // !!bool, !!null, !!seq, !!map) and the non-specific "!" only choose the
  // kind and are not kept.
  std::string_view tag() const noexcept { return tag_ ? std::string_view(*tag_) : std::string_view(); }
  bool tagged() const noexcept { return tag_ != nullptr; }

  // A scalar's text after YAML's own unescaping and folding, as written
  // otherwise: an Int keeps its digits ("0x1F", "+007", any length), a
  // Float its notation, a Bool its word. Empty for collections.
  std::string_view text() const noexcept { return text_; }

  // Bool: the value.
  bool boolean() const noexcept;
  // Int: the value when it fits a signed 64-bit integer.
  std::optional<std::int64_t> int64() const noexcept;
  // Float: the nearest double; +-inf beyond the range, NaN for .nan.
  double real() const noexcept;

  // A sequence's items, or a mapping's entries, in document order. Empty
  // for the other kind and for scalars.
  std::span<const Item> items() const noexcept { return {items_, kind_ == Kind::Sequence ? count_ : 0}; }
  std::span<const Entry> entries() const noexcept { return {entries_, kind_ == Kind::Mapping ? count_ : 0}; }

  // A mapping's first value whose key is an untagged String equal to `key`;
  // null when there is none or this is not a mapping.
  const Item* find(std::string_view key) const noexcept;

  // Collections nested inside, this one included (0 for a scalar).
  std::uint32_t height() const noexcept { return height_; }
  // Nodes in this subtree as if every alias in it were written out, this
  // node included; saturates at UINT64_MAX.
  std::uint64_t expanded_size() const noexcept { return expanded_; }

 private:
  friend class Builder;
  Kind kind_ = Kind::Null;
  Style style_ = Style::Plain;
  Mark mark_;
  std::uint32_t height_ = 0;
  std::size_t count_ = 0;
  std::uint64_t expanded_ = 1;
  const std::string* tag_ = nullptr;
  union {
    const Item* items_ = nullptr;
    const Entry* entries_;
  };
  std::string_view text_;  // into the tree's text storage
};

// Storage that hands out runs of T whose addresses never move; one block
// serves many runs, so a tree costs a few allocations, not one per node.
// Only the runs handed out are constructed, and T is never destroyed, so it
// must be trivially destructible.
template <class T>
class Arena {
  static_assert(std::is_trivially_destructible_v<T>);

 public:
  T* take(std::size_t n) {
    if (blocks_.empty() || blocks_.back().size - blocks_.back().used < n) {
      // Blocks stay well below the allocator's mmap threshold, so building
      // and dropping large trees reuses heap memory instead of faulting in
      // fresh pages every time.
      constexpr std::size_t kFirst = 4096 / sizeof(T);
      constexpr std::size_t kLargest = 65536 / sizeof(T);
      std::size_t grown = blocks_.empty() ? kFirst : std::min(blocks_.back().size * 2, kLargest);
      std::size_t size = std::max(n, grown);
      blocks_.push_back({std::unique_ptr<Raw[]>(new Raw[size]), 0, size});
    }
    Block& b = blocks_.back();
    T* run = reinterpret_cast<T*>(b.data.get() + b.used);
    for (std::size_t i = 0; i < n; ++i) new (run + i) T();
    b.used += n;
    return run;
  }
  template <class F>
  void for_each(F&& f) const {
    for (const Block& b : blocks_) {
      const T* items = std::launder(reinterpret_cast<const T*>(b.data.get()));
      for (std::size_t i = 0; i < b.used; ++i) f(items[i]);
    }
  }

 private:
  struct Raw {
    alignas(T) unsigned char bytes[sizeof(T)];
  };
  struct Block {
    std::unique_ptr<Raw[]> data;
    std::size_t used;
    std::size_t size;
  };
  std::vector<Block> blocks_;
};

class Tree {
 public:
  Tree(Tree&&) noexcept = default;
  Tree& operator=(Tree&&) noexcept = default;

  const Node& root() const noexcept { return *root_; }
  // Every node once, in the order their texts begin (the root first).
  template <class F>
  void for_each_node(F&& f) const {
    nodes_.for_each(f);
  }

 private:
  friend class Builder;
  Tree() = default;
  Arena<Node> nodes_;
  Arena<Item> items_;
  Arena<Entry> entries_;
  Arena<char> text_;
  std::unordered_set<std::string> tags_;  // element addresses are stable
  const Node* root_ = nullptr;
};

// What reading one text gave: the tree, or the text of the first problem
// met in text order (libyaml's syntax error, a bound, an alias, a second
// document starting), with its position where it has one.
struct ReadResult {
  std::optional<Tree> tree;
  std::string error;
  explicit operator bool() const noexcept { return tree.has_value(); }
};

inline constexpr std::string_view kNoDocument = "EOF while parsing a value";
inline constexpr std::string_view kSeveralDocuments =
    "deserializing from YAML containing more than one document is not supported";

// Reads `text` (UTF-8) as exactly one YAML document. Throws std::bad_alloc
// when memory runs out; every other problem is a ReadResult error.
ReadResult read(std::string_view text);

// The kind a plain scalar of this text takes under the YAML 1.2 core
// schema: Null, Bool, Int, Float, or String.
Kind resolve_plain(std::string_view text) noexcept;

// The first entry of a mapping whose scalar key repeats an earlier one, by
// index; keys are the same when kind, tag and value are (1 and 01 are, 1 and
// "1" are not). Keys that are collections never count. Found by hashing.
std::optional<std::size_t> repeated_key(const Node& mapping);

// One line for messages: `5`, `!t 5`, `{name: a}`, `[a, "b c", null]`.
// Strings that would read back differently plain are double-quoted with
// escapes, so the line never breaks; long renderings end in "...".
std::string render(const Node& node);

// Where the text of a mark goes in messages: " at line {} column {}".
std::string at(Mark m);

}  // namespace olvex::support::yaml
