#include "support/capabilities.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace olvex::support {
namespace {

struct RuleCase {
    const char* name;
    std::uint8_t caps;
    const char* path;
    std::vector<std::pair<const char*, std::uint8_t>> overrides;
    bool read;
    std::uint8_t child;
    std::uint8_t lens;
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class CapabilityRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(CapabilityRules, ReadChildAndLens) {
    const auto& c = GetParam();
    PhysicsOverrides table;
    for (const auto& [path, caps] : c.overrides) table.insert(path, caps);
    const PathPhysics p = path_physics(c.path, table);

    EXPECT_EQ(can_read(c.caps, p), c.read);
    EXPECT_EQ(int(child_capabilities(c.caps, p)), int(c.child));
    EXPECT_EQ(int(write_lens(c.caps, p)), int(c.lens));
    EXPECT_EQ(can_assign(c.caps, p), (c.lens & UPDATE) != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CapabilityRules,
    ::testing::Values(
        // The zone masks, seen through the default byte.
        RuleCase{"default_data", 15, "domain.counter", {}, true, 15, 15},
        RuleCase{"default_signal", 15, "domain.sig_x", {}, true, 3, 3},
        RuleCase{"default_meta", 15, "domain.meta_x", {}, true, 5, 5},
        RuleCase{"default_heavy", 15, "domain.heavy_x", {}, true, 5, 5},
        RuleCase{"default_log", 15, "domain.log_x", {}, true, 3, 3},
        RuleCase{"default_constant", 15, "domain.const_limit", {}, true, 1, 1},
        RuleCase{"default_private", 15, "domain.internal_x", {}, false, 0, 0},
        RuleCase{"read_only_data", 1, "domain.x", {}, true, 1, 1},
        // Byte 0 closes everything.
        RuleCase{"zero_data", 0, "domain.x", {}, false, 0, 0},
        RuleCase{"zero_with_override", 0, "domain.x", {{"domain.x", 31}}, false, 0, 0},
        // ADMIN alone: masks are lifted outside Constant; children always get 31.
        RuleCase{"admin_data", 16, "domain.x", {}, true, 31, 31},
        RuleCase{"admin_private", 16, "domain.internal_x", {}, true, 31, 31},
        RuleCase{"admin_ignores_closing_override", 16, "domain.x", {{"domain.x", 0}}, true, 31, 31},
        RuleCase{"admin_constant", 16, "domain.const_x", {}, false, 31, 0},
        RuleCase{"admin_full_constant", 31, "domain.const_x", {}, true, 31, 1},
        RuleCase{"byte_255_data", 255, "domain.x", {}, true, 31, 31},
        RuleCase{"byte_255_constant", 255, "domain.const_x", {}, true, 31, 1},
        // Overrides replace the zone mask whole, granting or withholding.
        RuleCase{"override_opens_private", 15, "domain.internal_x", {{"domain.internal_x", 1}}, true, 1, 1},
        RuleCase{"override_closes_data", 15, "domain.x", {{"domain.x", 0}}, false, 0, 0},
        RuleCase{"override_prefix_closes_data", 15, "domain.x[0]", {{"domain.x", 0}}, false, 0, 0},
        RuleCase{"override_opens_constant", 15, "domain.const_x", {{"domain.const_x", 15}}, true, 15, 15},
        // The zone still comes from the path: ADMIN stays bound in Constant
        // even when an override would give the path everything.
        RuleCase{"admin_constant_with_override", 21, "domain.const_x.y", {{"domain.const_x", 255}}, true, 31, 21},
        RuleCase{"override_high_bits", 15, "domain.x", {{"domain.x", 0xF5}}, true, 5, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Capabilities, BinaryText) {
    const std::vector<std::pair<int, const char*>> cases = {
        {0, "0000"}, {1, "0001"}, {5, "0101"}, {15, "1111"}, {16, "10000"}, {31, "11111"}, {255, "11111111"}};
    for (const auto& [caps, text] : cases) EXPECT_EQ(format_capabilities(static_cast<std::uint8_t>(caps)), text);
}

TEST(Capabilities, ProcessWideTableByDefault) {
    clear_physics_overrides();
    register_physics_override("domain.internal_x", 1);
    EXPECT_TRUE(can_read(15, path_physics("domain.internal_x.y")));
    clear_physics_overrides();
    EXPECT_FALSE(can_read(15, path_physics("domain.internal_x.y")));
}

}  // namespace
}  // namespace olvex::support
