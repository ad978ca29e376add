// Context zones and the process-wide table of per-path capability overrides.
//
// Zones are read from the names of a path's segments. Both zone resolution and
// the override prefix search split a path by a coarse rule: "[" counts as ".",
// "]" is dropped and quotes stay (a['heavy'] is the pieces a and 'heavy').
// This is deliberately not the grammar of path.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace olvex::support {

enum class ContextZone : std::uint8_t {
    Data = 0,
    Signal = 1,
    Meta = 2,
    Heavy = 3,
    Log = 4,
    Constant = 5,
    Private = 6,
};

// "Data", "Signal", ... as messages print them.
std::string_view zone_name(ContextZone zone) noexcept;

// The earliest segment that names a zone decides; Data when none does.
ContextZone resolve_zone(std::string_view path) noexcept;

// The coarse normalised form: "[" -> ".", "]" removed.
std::string normalize_path(std::string_view path);

// Path text (exactly as registered) -> capability byte. Lookups try the text
// as given, then the whole-segment prefixes of its normalised form, longest
// first. Every operation holds the table's mutex for its whole length.
//
// A poisoned table (its lock was broken by a fatal failure of a holder)
// behaves as empty: lookups find nothing, insert and clear do nothing.
class PhysicsOverrides {
public:
    std::optional<std::uint8_t> lookup(std::string_view path) const;
    // Replaces an earlier entry for the same text.
    void insert(std::string_view path, std::uint8_t caps);
    void clear();

    // Marks the lock broken; there is no way back.
    void mark_poisoned();
    bool poisoned() const;

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    mutable std::mutex mutex_;
    bool poisoned_ = false;
    std::unordered_map<std::string, std::uint8_t, Hash, std::equal_to<>> entries_;
};

// The process-wide table: created on first use, never freed (it may be
// reached from code that runs during interpreter teardown).
PhysicsOverrides& PHYSICS_OVERRIDES();

// The process-wide table's operations.
std::optional<std::uint8_t> get_physics_override(std::string_view path);
void register_physics_override(std::string_view path, std::uint8_t caps);
void clear_physics_overrides();

}  // namespace olvex::support
