#include "support/capabilities.hpp"

#include <fmt/format.h>

namespace olvex::support {

PathPhysics path_physics(std::string_view path, const PhysicsOverrides& table) {
    return path_physics(resolve_zone(path), table.lookup(path));
}

PathPhysics path_physics(const ChildPath& path, const PhysicsOverrides& table) {
    return path_physics(path.zone(), table.lookup(path));
}

std::string format_capabilities(std::uint8_t caps) { return fmt::format("{:04b}", caps); }

}  // namespace olvex::support
