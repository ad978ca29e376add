// Capability bytes of proxies, the per-zone masks and the rules that combine
// a proxy's byte with the mask of the path it touches.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/zone_path.hpp"
#include "support/zones.hpp"

namespace olvex::support {

inline constexpr std::uint8_t READ = 1;
inline constexpr std::uint8_t APPEND = 2;
inline constexpr std::uint8_t UPDATE = 4;
inline constexpr std::uint8_t DELETE = 8;
inline constexpr std::uint8_t ADMIN = 16;

// READ | APPEND | UPDATE | DELETE: the default byte of a proxy.
inline constexpr std::uint8_t DEFAULT_CAPABILITIES = 15;
// All five bits: the byte of every child of an ADMIN proxy, and the lens of
// an ADMIN assignment outside the Constant zone.
inline constexpr std::uint8_t ALL_CAPABILITIES = 31;

// Indexed by ContextZone.
inline constexpr std::array<std::uint8_t, 7> ZONE_PHYSICS = {
    15,  // Data
    3,   // Signal
    5,   // Meta
    5,   // Heavy
    3,   // Log
    1,   // Constant
    0,   // Private
};

constexpr std::uint8_t zone_mask(ContextZone zone) noexcept { return ZONE_PHYSICS[static_cast<std::size_t>(zone)]; }

// What the rules need to know about a path: its zone (always from the path
// itself) and its base mask (an override replaces the zone's mask whole).
struct PathPhysics {
    ContextZone zone;
    std::uint8_t base;
};

constexpr PathPhysics path_physics(ContextZone zone, std::optional<std::uint8_t> override_caps) noexcept {
    return {zone, override_caps ? *override_caps : zone_mask(zone)};
}

// Zone and base mask of a full context path, with overrides from `table`.
PathPhysics path_physics(std::string_view path, const PhysicsOverrides& table = PHYSICS_OVERRIDES());
// The same for a path one step below another: only the step is looked at.
PathPhysics path_physics(const ChildPath& path, const PhysicsOverrides& table = PHYSICS_OVERRIDES());

// ADMIN lifts the masks everywhere but in the Constant zone.
constexpr bool admin_outside_constant(std::uint8_t caps, ContextZone zone) noexcept {
    return (caps & ADMIN) != 0 && zone != ContextZone::Constant;
}

// May a proxy with `caps` read the value at a path with physics `p`?
constexpr bool can_read(std::uint8_t caps, PathPhysics p) noexcept {
    return admin_outside_constant(caps, p.zone) || (caps & p.base & READ) != 0;
}

// Byte of a child proxy created at a path with physics `p`. ADMIN is passed
// on in every zone, the Constant zone included.
constexpr std::uint8_t child_capabilities(std::uint8_t caps, PathPhysics p) noexcept {
    return (caps & ADMIN) != 0 ? ALL_CAPABILITIES : static_cast<std::uint8_t>(caps & p.base);
}

// The lens an assignment at a path with physics `p` is tested against; it
// needs UPDATE.
constexpr std::uint8_t write_lens(std::uint8_t caps, PathPhysics p) noexcept {
    return admin_outside_constant(caps, p.zone) ? ALL_CAPABILITIES : static_cast<std::uint8_t>(caps & p.base);
}

constexpr bool can_assign(std::uint8_t caps, PathPhysics p) noexcept { return (write_lens(caps, p) & UPDATE) != 0; }

// Base 2, at least four digits: 5 -> "0101", 31 -> "11111".
std::string format_capabilities(std::uint8_t caps);

}  // namespace olvex::support
