#include "support/zones.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace olvex::support {
namespace {

struct ZoneCase {
    const char* path;
    ContextZone zone;
};

void PrintTo(const ZoneCase& c, std::ostream* os) { *os << '"' << c.path << '"'; }

class Zones : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(Zones, Resolve) {
    const auto& c = GetParam();
    EXPECT_EQ(zone_name(resolve_zone(c.path)), zone_name(c.zone));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Zones,
    ::testing::Values(
        ZoneCase{"", ContextZone::Data}, ZoneCase{"domain.counter", ContextZone::Data},
        ZoneCase{"domain.const_limit", ContextZone::Constant},
        ZoneCase{"domain.items[0].sig_flag", ContextZone::Signal}, ZoneCase{"heavy[0]", ContextZone::Heavy},
        ZoneCase{"a[heavy]", ContextZone::Heavy},
        ZoneCase{"a['heavy']", ContextZone::Data},  // quotes stay part of the piece
        ZoneCase{"signal.x", ContextZone::Data}, ZoneCase{"sig", ContextZone::Signal},
        ZoneCase{"sig_x", ContextZone::Signal}, ZoneCase{"sigx", ContextZone::Data},
        ZoneCase{"cmd_run", ContextZone::Signal}, ZoneCase{"cmd", ContextZone::Data},
        ZoneCase{"meta", ContextZone::Meta}, ZoneCase{"meta_x", ContextZone::Meta},
        ZoneCase{"metadata", ContextZone::Data}, ZoneCase{"heavy_blob", ContextZone::Heavy},
        ZoneCase{"log", ContextZone::Log}, ZoneCase{"log_x", ContextZone::Log}, ZoneCase{"audit_x", ContextZone::Log},
        ZoneCase{"logs", ContextZone::Data}, ZoneCase{"audit", ContextZone::Data},
        ZoneCase{"const", ContextZone::Data}, ZoneCase{"internal", ContextZone::Data},
        ZoneCase{"internal_key", ContextZone::Private}, ZoneCase{"Heavy", ContextZone::Data},
        // The earliest zone-named piece wins.
        ZoneCase{"a.heavy_b.const_c", ContextZone::Heavy}, ZoneCase{"const_a.heavy_b", ContextZone::Constant},
        // "]" is removed, not a separator: it can join or complete a name.
        ZoneCase{"a.hea]vy", ContextZone::Heavy}, ZoneCase{"a[me]ta].x", ContextZone::Meta},
        ZoneCase{"a[0]heavy", ContextZone::Data},  // pieces a, 0heavy
        ZoneCase{"a[0].heavy", ContextZone::Heavy}, ZoneCase{"..[].log", ContextZone::Log}));

// The rule read off the normalised form, piece by piece, for paths made of
// the bytes that matter: separators, "]" and the zone names' own letters.
ContextZone direct_zone(const std::string& path) {
    const std::string norm = normalize_path(path);
    const std::pair<const char*, ContextZone> prefixes[] = {
        {"sig_", ContextZone::Signal}, {"cmd_", ContextZone::Signal},  {"const_", ContextZone::Constant},
        {"meta_", ContextZone::Meta},  {"heavy_", ContextZone::Heavy}, {"log_", ContextZone::Log},
        {"audit_", ContextZone::Log},  {"internal_", ContextZone::Private}};
    const std::pair<const char*, ContextZone> names[] = {
        {"sig", ContextZone::Signal}, {"meta", ContextZone::Meta}, {"heavy", ContextZone::Heavy}, {"log", ContextZone::Log}};
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = std::min(norm.find('.', start), norm.size());
        const std::string piece = norm.substr(start, dot - start);
        for (const auto& [p, z] : prefixes) if (piece.starts_with(p)) return z;
        for (const auto& [n, z] : names) if (piece == n) return z;
        if (dot == norm.size()) return ContextZone::Data;
        start = dot + 1;
    }
}

TEST(Zones, MatchesTheDirectRuleOnRandomPaths) {
    std::mt19937 rng(77);
    const std::vector<std::string> words = {"sig", "sig_", "cmd_", "const_", "meta", "meta_", "heavy", "heavy_",
                                            "log", "log_", "audit_", "internal_", "x", "s", "l", "]", ".", "["};
    for (int round = 0; round < 3000; ++round) {
        std::string path;
        for (int n = static_cast<int>(rng() % 6); n >= 0; --n) path += words[rng() % words.size()];
        EXPECT_EQ(zone_name(resolve_zone(path)), zone_name(direct_zone(path))) << path;
    }
}

TEST_P(Zones, MayBeHeavyWheneverHeavy) {
    const auto& c = GetParam();
    if (c.zone == ContextZone::Heavy) {
        EXPECT_TRUE(may_be_heavy(c.path));
    }
}

// Seeded paths over the letters of the Heavy rules and every separator:
// the scan never rules out a path that resolves to Heavy, and rules out
// most of the others.
TEST(Zones, MayBeHeavyOnGeneratedPaths) {
    std::mt19937 rng(7);
    const std::string letters = "heavy_.[]x";
    int heavy = 0, ruled_out = 0;
    for (int n = 0; n < 200000; ++n) {
        std::string path;
        const int len = std::uniform_int_distribution<int>(0, 12)(rng);
        for (int i = 0; i < len; ++i) path += letters[std::uniform_int_distribution<std::size_t>(0, letters.size() - 1)(rng)];
        if (n % 3 != 2) {
            std::string word = "heavy";
            if (n % 3 == 1) word.insert(std::uniform_int_distribution<std::size_t>(1, 4)(rng), "]");
            path.insert(std::uniform_int_distribution<std::size_t>(0, path.size())(rng), word);
        }
        const bool is_heavy = resolve_zone(path) == ContextZone::Heavy;
        heavy += is_heavy;
        if (is_heavy) {
            ASSERT_TRUE(may_be_heavy(path)) << path;
        }
        ruled_out += !may_be_heavy(path);
    }
    EXPECT_GT(heavy, 1000);
    EXPECT_GT(ruled_out, 1000);
}

TEST(Zones, ValuesAndNames) {
    const char* names[] = {"Data", "Signal", "Meta", "Heavy", "Log", "Constant", "Private"};
    for (int v = 0; v < 7; ++v) EXPECT_EQ(zone_name(static_cast<ContextZone>(v)), names[v]);
}

TEST(Zones, NormalizedForm) {
    EXPECT_EQ(normalize_path("a['heavy'][0].b"), "a.'heavy'.0.b");
    EXPECT_EQ(normalize_path("a]b[[c"), "ab..c");
}

// One lookup expectation against a table: nullopt means "no override".
struct Lookup {
    const char* path;
    std::optional<std::uint8_t> caps;
};

void ExpectLookups(const PhysicsOverrides& table, const std::vector<Lookup>& lookups) {
    for (const auto& l : lookups) {
        const auto got = table.lookup(l.path);
        if (l.caps) {
            EXPECT_EQ(got, l.caps) << l.path;
        } else {
            EXPECT_FALSE(got) << l.path << " gave " << int(*got);
        }
    }
}

TEST(PhysicsOverrides, ExactAndWholeSegmentPrefix) {
    PhysicsOverrides t;
    ExpectLookups(t, {{"domain.x", std::nullopt}});
    t.insert("domain.x", 3);
    ExpectLookups(t, {{"domain.x", 3},
                      {"domain.x.y", 3},
                      {"domain.x[0]", 3},
                      {"domain.x['k']", 3},
                      {"domain.xy", std::nullopt},
                      {"domain", std::nullopt},
                      {"domain.", std::nullopt},
                      {"x", std::nullopt}});
}

TEST(PhysicsOverrides, LongestPrefixWins) {
    PhysicsOverrides t;
    t.insert("a", 1);
    t.insert("a.b", 2);
    ExpectLookups(t, {{"a.b.c", 2}, {"a.b", 2}, {"a[b].c", 2}, {"a.c", 1}, {"a", 1}, {"ab", std::nullopt}});
}

TEST(PhysicsOverrides, BracketEntriesMatchOnlyTheirExactText) {
    PhysicsOverrides t;
    t.insert("a[0]", 5);
    ExpectLookups(t, {{"a[0]", 5}, {"a[0].b", std::nullopt}, {"a.0", std::nullopt}});
    t.insert("a.0", 7);
    ExpectLookups(t, {{"a[0]", 5}, {"a[0].b", 7}, {"a.0.c", 7}});
}

TEST(PhysicsOverrides, EmptyPiecesTakePart) {
    PhysicsOverrides t;
    t.insert("a.", 4);
    t.insert("", 9);
    ExpectLookups(t, {{"a..b", 4}, {"a[].b", 4}, {"a[]b", std::nullopt}, {"a.b", std::nullopt}, {".x", 9}, {"[0]", 9}, {"", 9}, {"x", std::nullopt}});
}

TEST(PhysicsOverrides, ReplaceClearAndAnyByte) {
    PhysicsOverrides t;
    t.insert("p", 1);
    t.insert("p", 200);  // the second byte wins; bytes above 31 are kept as given
    t.insert("closed", 0);
    ExpectLookups(t, {{"p", 200}, {"closed", 0}, {"closed.x", 0}});
    t.clear();
    ExpectLookups(t, {{"p", std::nullopt}, {"closed", std::nullopt}, {"closed.x", std::nullopt}});
    t.insert("p", 255);
    ExpectLookups(t, {{"p.q", 255}});
}

TEST(PhysicsOverrides, LongPathsAndMultiByteText) {
    PhysicsOverrides t;
    const std::string base(300, 'x');  // longer than the inline normalisation buffer
    t.insert(base + ".y", 6);
    t.insert("d\xc3\xa9j\xc3\xa0", 2);
    ExpectLookups(t, {{(base + "[y][0]").c_str(), 6}, {(base + ".y.z").c_str(), 6}, {"d\xc3\xa9j\xc3\xa0[1]", 2}});
}

// Prefix hashes come out of one pass over the path: pieces of every length
// around the eight-byte words they are folded in, more prefixes than fit on
// the stack, and "]" anywhere in a piece.
TEST(PhysicsOverrides, EveryWholePiecePrefixOfALongPathIsFound) {
    std::string path;
    std::vector<std::size_t> cuts;  // where each piece ends
    for (int i = 0; i < 150; ++i) {
        if (i) path += i % 7 == 0 ? "[" : ".";
        path += std::string(static_cast<std::size_t>(i % 19), static_cast<char>('a' + i % 26));
        if (i % 7 == 0 && i) path += "]";
        cuts.push_back(path.size());
    }
    const std::string norm = normalize_path(path);
    for (std::size_t at : {std::size_t{0}, std::size_t{5}, std::size_t{63}, std::size_t{64}, std::size_t{65},
                           std::size_t{120}, cuts.size() - 1}) {
        PhysicsOverrides t;
        const std::string prefix = normalize_path(std::string_view(path).substr(0, cuts[at]));
        t.insert(prefix, 3);
        EXPECT_EQ(t.lookup(path), 3) << "prefix of " << at + 1 << " pieces";
        // One character less in the last piece is no whole-piece prefix.
        PhysicsOverrides u;
        u.insert(prefix + "#", 3);
        EXPECT_FALSE(u.lookup(path)) << "near miss at " << at + 1 << " pieces";
    }
}

// The rule written out directly: the text as given, then the whole-piece
// prefixes of the normalised form, longest first.
std::optional<std::uint8_t> direct_rule(const std::map<std::string, std::uint8_t>& table, const std::string& path) {
    if (auto it = table.find(path); it != table.end()) return it->second;
    const std::string norm = normalize_path(path);
    for (std::size_t end = norm.size();;) {
        if (auto it = table.find(norm.substr(0, end)); it != table.end()) return it->second;
        if (end == 0) return std::nullopt;
        const std::size_t dot = norm.rfind('.', end - 1);
        if (dot == std::string::npos) return std::nullopt;
        end = dot;
    }
}

TEST(PhysicsOverrides, MatchesTheDirectRuleOnRandomPaths) {
    std::mt19937 rng(12345);
    const std::string alphabet = "ab..[]]'x";
    auto random_text = [&](std::size_t max) {
        std::string s(rng() % (max + 1), ' ');
        for (char& c : s) c = alphabet[rng() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 300; ++round) {
        PhysicsOverrides t;
        std::map<std::string, std::uint8_t> table;
        std::vector<std::string> paths;
        for (int i = 0; i < 20; ++i) paths.push_back(random_text(40));
        // Entries: random texts, and prefixes (raw and normalised) of the paths.
        for (int i = 0; i < 1 + round % 12; ++i) {
            std::string e = random_text(6);
            const std::string& p = paths[rng() % paths.size()];
            if (rng() % 3) e = p.substr(0, rng() % (p.size() + 1));
            if (rng() % 2) e = normalize_path(e);
            const auto caps = static_cast<std::uint8_t>(rng() % 256);
            t.insert(e, caps);
            table[e] = caps;
        }
        for (const std::string& p : paths) EXPECT_EQ(t.lookup(p), direct_rule(table, p)) << "path " << p;
    }
}

TEST(PhysicsOverrides, ClosingBracketsInsideAPieceAreLeftOut) {
    PhysicsOverrides t;
    t.insert("ab.c", 6);
    t.insert(std::string("n\0ul", 4), 2);
    ExpectLookups(t, {{"a]b.c.d", 6}, {"a]b[c]", 6}, {"ab]]]]]]]]]]].c", 6}, {"ab.c]d", std::nullopt}});
    EXPECT_EQ(t.lookup(std::string("n\0ul.x", 6)), 2);
    EXPECT_FALSE(t.lookup("n"));
}

TEST(PhysicsOverrides, PoisonedTableIsEmptyAndInert) {
    PhysicsOverrides t;
    t.insert("a", 3);
    t.mark_poisoned();
    EXPECT_TRUE(t.poisoned());
    ExpectLookups(t, {{"a", std::nullopt}, {"a.b", std::nullopt}});
    t.insert("b", 1);
    t.clear();
    ExpectLookups(t, {{"b", std::nullopt}});
    EXPECT_TRUE(t.poisoned());
}

TEST(PhysicsOverrides, ConcurrentUse) {
    PhysicsOverrides t;
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w) {
        threads.emplace_back([&t, w] {
            for (int i = 0; i < 2000; ++i) {
                const std::string p = "t" + std::to_string(w) + ".k" + std::to_string(i % 50);
                t.insert(p, static_cast<std::uint8_t>(w));
                const auto got = t.lookup(p + "[0].x");
                ASSERT_TRUE(got);
                ASSERT_EQ(*got, w);
            }
        });
    }
    for (auto& th : threads) th.join();
}

TEST(PhysicsOverrides, ProcessWideTable) {
    PhysicsOverrides& t = PHYSICS_OVERRIDES();
    EXPECT_EQ(&t, &PHYSICS_OVERRIDES());
    clear_physics_overrides();
    register_physics_override("domain.x", 3);
    EXPECT_EQ(get_physics_override("domain.x[0]"), 3);
    EXPECT_EQ(t.lookup("domain.x"), 3);
    clear_physics_overrides();
    EXPECT_FALSE(get_physics_override("domain.x"));
}

}  // namespace
}  // namespace olvex::support
