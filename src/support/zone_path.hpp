// Context paths built one step at a time, as proxies build their children's:
// "{path}[{key}]" for an item, "{path}.{name}" for an attribute, the bare key
// or name below the empty path.
//
// A step costs what its own piece costs, whatever the depth: a path shares
// its parent's text (the whole text is put together only when asked for) and
// carries forward what zone resolution and the override lookup need, so that
// neither looks at the parent's pieces again. The results are those of
// resolve_zone and PhysicsOverrides::lookup on the whole text, byte for byte.
//
// Paths are values: copies share their text. They are not safe to use from
// two threads at once (the override lookup updates what a path remembers,
// under the table's lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/piece_hash.hpp"
#include "support/zones.hpp"

namespace olvex::support {

// What the override lookup carries forward along a path and remembers of
// the table: worked out by the first lookup that needs it (most paths never
// meet a table with entries), kept under the table's lock.
struct PathMemo {
    bool scanned = false;
    PieceHash raw;   // the text split at '.', its last piece still open
    PieceHash norm;  // the normalised pieces, all ended
    std::size_t norm_size = 0;
    // The table's answer for the whole-piece prefixes, as of `generation`.
    std::uint64_t generation = 0;
    std::optional<std::uint8_t> best_prefix;
};

class ZonePath {
public:
    ZonePath() = default;  // the empty path
    // A path given whole: classified once, in one pass.
    explicit ZonePath(std::string_view text);

    bool empty() const noexcept { return node_ == nullptr; }
    std::size_t size() const noexcept;
    ContextZone zone() const noexcept;

    // The whole text, put together afresh.
    std::string text() const;
    // Writes the whole text to out[0, size()).
    void write(char* out) const noexcept;

    // The one-step children.
    ChildPath item(std::string_view key) const;
    ChildPath attr(std::string_view name) const;
    // The zone of the one-step child whose step adds `piece` (separator and
    // brackets included; the bare key below the empty path), as that
    // ChildPath has it: for a caller that writes the child's text itself.
    ContextZone child_zone(std::string_view piece) const noexcept;

    // Whether this path is the one `child` makes: the same parent path and
    // the same step (a text given whole is the empty path's attribute step).
    bool made_from(const ChildPath& child) const noexcept;
    // Whether this path is the one ZonePath(text) makes.
    bool made_from(std::string_view text) const noexcept;

    struct Node;  // opaque outside zone_path.cpp

private:
    friend class ChildPath;
    friend class PhysicsOverrides;
    explicit ZonePath(std::shared_ptr<const Node> node) : node_(std::move(node)) {}

    std::shared_ptr<const Node> node_;  // null for the empty path
};

// A path one step below a ZonePath, not yet made into one: reads ask its zone
// and override first, and most never need the path itself.
class ChildPath {
public:
    ContextZone zone() const noexcept { return zone_; }
    std::size_t size() const noexcept;
    std::string text() const;
    void write(char* out) const noexcept;
    // The path itself (the step's piece is copied, the parent's shared).
    ZonePath make() const;

private:
    friend class ZonePath;
    friend class PhysicsOverrides;
    ChildPath(const ZonePath& parent, char open, std::string_view key);

    const ZonePath::Node* parent_;  // null below the empty path
    const ZonePath* parent_path_;
    std::string piece_;  // what the step adds, separator and brackets included
    ContextZone zone_;
    mutable PathMemo memo_;  // handed on to the path made of it
};

}  // namespace olvex::support
