// Paths built step by step against the whole-text rules: zone, override
// lookup and text, at every depth, with the table changing between reads.
#include "support/zone_path.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/zones.hpp"

namespace olvex::support {
namespace {

// One step: '[' an item, '.' an attribute.
struct Step {
    char kind;
    std::string key;
};

std::string step_text(const std::string& path, const Step& s) {
    if (path.empty()) return s.key;
    return s.kind == '[' ? path + "[" + s.key + "]" : path + "." + s.key;
}

ChildPath step_child(const ZonePath& path, const Step& s) {
    return s.kind == '[' ? path.item(s.key) : path.attr(s.key);
}

// Walks `steps` down from the root `root`, checking every child (before
// and after it is made into a path) and every path against the whole text.
// `between(depth)` may change the table before each step.
template <class Between>
void walk(const PhysicsOverrides& table, const std::string& root, const std::vector<Step>& steps,
          Between&& between) {
    ZonePath path(root);
    std::string text = root;
    std::vector<ZonePath> kept{path};  // earlier paths, to be asked again after changes
    for (std::size_t depth = 0; depth < steps.size(); ++depth) {
        between(depth);
        const ChildPath child = step_child(path, steps[depth]);
        text = step_text(text, steps[depth]);
        ASSERT_EQ(child.text(), text);
        EXPECT_EQ(child.zone(), resolve_zone(text)) << text;
        EXPECT_EQ(table.lookup(child), table.lookup(text)) << text;
        path = child.make();
        kept.push_back(path);
        EXPECT_EQ(path.text(), text);
        EXPECT_EQ(path.size(), text.size());
        EXPECT_EQ(path.zone(), resolve_zone(text)) << text;
        EXPECT_EQ(table.lookup(path), table.lookup(text)) << text;
    }
    for (const ZonePath& p : kept) EXPECT_EQ(table.lookup(p), table.lookup(p.text())) << p.text();
}

struct WalkCase {
    const char* name;
    std::string root;
    std::vector<Step> steps;
    std::vector<std::pair<std::string, std::uint8_t>> entries;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class Walks : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Walks, MatchWholeText) {
    const WalkCase& c = GetParam();
    PhysicsOverrides table;
    walk(table, c.root, c.steps, [](std::size_t) {});
    for (const auto& [text, caps] : c.entries) table.insert(text, caps);
    walk(table, c.root, c.steps, [](std::size_t) {});
}

INSTANTIATE_TEST_SUITE_P(
    Table, Walks,
    ::testing::Values(
        WalkCase{"plain", "domain", {{'[', "a"}, {'.', "b"}, {'[', "0"}}, {{"domain.a", 3}, {"domain.a.b.0", 1}}},
        WalkCase{"from_the_empty_root", "", {{'[', "a"}, {'.', "b"}, {'[', "c"}}, {{"a", 2}, {"", 9}, {"a.b", 4}}},
        WalkCase{"empty_keys", "", {{'[', ""}, {'.', ""}, {'[', ""}, {'.', "x"}}, {{"", 1}, {".", 2}, {"[]", 3}}},
        WalkCase{"brackets_and_dots_in_keys",
                 "d",
                 {{'[', "a.b"}, {'.', "c[0]"}, {'[', "]x["}, {'.', "y]"}},
                 {{"d.a.b", 5}, {"d.a.b.c.0", 6}, {"d[a.b]", 7}, {"d.a.b.c.0..x.", 8}}},
        WalkCase{"quotes_stay", "a", {{'[', "'heavy'"}, {'[', "\"k\""}}, {{"a.'heavy'", 1}, {"a['heavy']", 2}}},
        WalkCase{"zone_at_the_root", "heavy", {{'[', "x"}, {'.', "const_y"}}, {{"heavy.x", 15}}},
        WalkCase{"zone_deep_down",
                 "domain",
                 {{'[', "a"}, {'.', "b"}, {'[', "c"}, {'.', "sig_d"}, {'.', "const_e"}},
                 {{"domain.a.b.c.sig_d", 2}}},
        WalkCase{"zone_split_by_brackets", "a", {{'[', "me]ta"}, {'.', "x"}}, {}},
        WalkCase{"zone_named_by_an_item_key", "a", {{'[', "heavy"}, {'[', "internal_x"}}, {}},
        WalkCase{"zone_prefix_inside_a_key", "a", {{'.', "x.log_y"}, {'.', "z"}}, {{"a.x.log_y", 4}}},
        WalkCase{"exact_bracket_entries",
                 "a",
                 {{'[', "0"}, {'.', "b"}},
                 {{"a[0]", 5}, {"a[0].b", 6}, {"a.0", 7}}},
        WalkCase{"root_given_whole",
                 "domain.items[0]",
                 {{'.', "name"}, {'[', "1"}},
                 {{"domain.items", 1}, {"domain.items.0.name", 2}, {"domain.items[0].name[1]", 3}}},
        WalkCase{"long_pieces",
                 std::string(70, 'r'),
                 {{'[', std::string(17, 'k')}, {'.', std::string(8, 'n')}, {'[', std::string(9, 'm')}},
                 {{std::string(70, 'r') + "." + std::string(17, 'k'), 11},
                  {std::string(70, 'r') + "." + std::string(17, 'k') + "." + std::string(8, 'n') + "." +
                       std::string(9, 'm'),
                   12}}}));

// The table changes between the steps of one walk: a path made earlier
// must see the table as it is at each later read.
TEST(ZonePath, ChangesBetweenReadsAreSeen) {
    PhysicsOverrides table;
    const std::vector<Step> steps = {{'[', "a"}, {'.', "b"}, {'[', "c"}, {'.', "d"}, {'[', "e"}};
    walk(table, "domain", steps, [&](std::size_t depth) {
        switch (depth) {
            case 1: table.insert("domain.a", 3); break;
            case 2: table.insert("domain", 1); break;
            case 3: table.clear(); break;
            case 4: table.insert("domain.a.b", 0); table.insert("domain.a", 7); break;
            default: break;
        }
    });
    ZonePath p("domain");
    ZonePath deep = p.item("a").make().attr("b").make().item("c").make();
    table.clear();
    EXPECT_FALSE(table.lookup(deep));
    table.insert("domain.a.b", 9);
    EXPECT_EQ(table.lookup(deep), 9);
    table.insert("domain.a.b", 4);  // a replaced byte
    EXPECT_EQ(table.lookup(deep), 4);
    table.mark_poisoned();
    EXPECT_FALSE(table.lookup(deep));
}

// A kept path may stand in for a new one only when it is that very step of
// that very parent: same text under another parent, or another step, is not.
TEST(ZonePath, MadeFromTellsTheSameStepOfTheSameParent) {
    const ZonePath root("domain");
    const ZonePath twin("domain");  // equal text, another node
    const ZonePath orders = root.item("orders").make();
    EXPECT_TRUE(orders.made_from(root.item("orders")));
    EXPECT_FALSE(orders.made_from(twin.item("orders")));
    EXPECT_FALSE(orders.made_from(root.attr("orders")));
    EXPECT_FALSE(orders.made_from(root.item("order")));
    EXPECT_FALSE(orders.made_from(orders.item("orders")));
    EXPECT_FALSE(ZonePath().made_from(ZonePath().attr("")));
    EXPECT_TRUE(root.made_from(std::string_view("domain")));
    EXPECT_TRUE(root.made_from(ZonePath().attr("domain")));
    EXPECT_FALSE(root.made_from(std::string_view("domai")));
    EXPECT_FALSE(orders.made_from(std::string_view("[orders]")));
    EXPECT_FALSE(ZonePath().made_from(std::string_view("")));
}

TEST(ZonePath, MatchesWholeTextOnRandomWalks) {
    std::mt19937 rng(2024);
    const std::vector<std::string> words = {"a", "b", "", "heavy", "sig_x", "meta", "log", "const_k",
                                            "internal_p", "x.y", "[0]", "]", "'q'", "aa.bb[c]", "0"};
    for (int round = 0; round < 200; ++round) {
        std::vector<Step> steps;
        const int depth = 1 + static_cast<int>(rng() % 12);
        for (int i = 0; i < depth; ++i) steps.push_back({rng() % 2 ? '[' : '.', words[rng() % words.size()]});
        const std::string root = rng() % 4 ? words[rng() % words.size()] : std::string();
        // Entries: prefixes of the walk's texts, raw or normalised.
        std::vector<std::string> texts{root};
        for (const Step& s : steps) texts.push_back(step_text(texts.back(), s));
        PhysicsOverrides table;
        walk(table, root, steps, [&](std::size_t) {
            const std::string& t = texts[rng() % texts.size()];
            std::string e = t.substr(0, rng() % (t.size() + 1));
            if (rng() % 2) e = normalize_path(e);
            if (rng() % 5 == 0) table.clear();
            table.insert(e, static_cast<std::uint8_t>(rng() % 256));
        });
    }
}

TEST(ZonePath, DeepChainsAreReleasedWithoutDeepRecursion) {
    ZonePath p("root");
    for (int i = 0; i < 200'000; ++i) p = p.item("n").make();
    EXPECT_EQ(p.size(), 4 + 200'000 * 3);
    EXPECT_EQ(p.zone(), ContextZone::Data);
}

}  // namespace
}  // namespace olvex::support
