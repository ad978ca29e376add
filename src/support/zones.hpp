// Context zones and the process-wide table of per-path capability overrides.
//
// Zones are read from the names of a path's segments. Both zone resolution and
// the override prefix search split a path by a coarse rule: "[" counts as ".",
// "]" is dropped and quotes stay (a['heavy'] is the pieces a and 'heavy').
// This is deliberately not the grammar of path.hpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace olvex::support {

class ZonePath;
class ChildPath;

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

// False only when resolve_zone(path) cannot be Heavy: a Heavy piece spells
// "heavy", with at most some "]" in between. A scan of the text, for callers
// that need to know no more than that.
inline bool may_be_heavy(std::string_view path) noexcept {
    constexpr std::string_view kWord = "heavy";
    for (std::size_t at = path.find('h'); at != std::string_view::npos; at = path.find('h', at + 1)) {
        std::size_t matched = 1;
        for (std::size_t i = at + 1; i < path.size() && matched < kWord.size(); ++i) {
            if (path[i] == ']') continue;
            if (path[i] != kWord[matched]) break;
            ++matched;
        }
        if (matched == kWord.size()) return true;
    }
    return false;
}

// The coarse normalised form: "[" -> ".", "]" removed.
std::string normalize_path(std::string_view path);

// Path text (exactly as registered) -> capability byte. Lookups try the text
// as given, then the whole-segment prefixes of its normalised form, longest
// first. Every operation holds the table's mutex for its whole length.
//
// A lookup costs at most one pass over the path whatever the table holds:
// only the prefixes as long as some entry are probed, entries are kept by a
// hash built piece by piece (carried forward along the path, it gives each
// prefix's hash in turn), and texts are compared only on a hash hit.
//
// A poisoned table (its lock was broken by a fatal failure of a holder)
// behaves as empty: lookups find nothing, insert and clear do nothing.
class PhysicsOverrides {
public:
    std::optional<std::uint8_t> lookup(std::string_view path) const;
    // The same lookups for a path built step by step (zone_path.hpp): only
    // the step's own piece is hashed, the prefixes before it are answered by
    // what the parent remembers of the table as it is now.
    std::optional<std::uint8_t> lookup(const ZonePath& path) const;
    std::optional<std::uint8_t> lookup(const ChildPath& path) const;
    // Replaces an earlier entry for the same text.
    void insert(std::string_view path, std::uint8_t caps);
    void clear();
    // False when every lookup finds nothing, as long as the table stays
    // unchanged: a caller may then take each zone's own mask.
    bool may_answer() const noexcept { return active_.load(std::memory_order_acquire); }

    // Marks the lock broken; there is no way back.
    void mark_poisoned();
    bool poisoned() const;

    // The hash under which a text is kept (exposed for the unit tests).
    static std::uint64_t hash_text(std::string_view text) noexcept;

private:
    struct Entry {
        std::string text;
        std::uint8_t caps;
        std::uint64_t hash;
    };
    static constexpr std::uint32_t kEmpty = 0xffffffff;

    const Entry* find(std::uint64_t hash, std::string_view text) const;
    template <class Node, class Memo>
    std::optional<std::uint8_t> lookup_steps(const Node* parent, std::string_view piece, Memo& memo) const;
    // The entry of that hash for which equal(text) holds, or null. Every
    // candidate prefix of a lookup is one probe of `slots_`, so a probe must
    // be cheap: open addressing over a power-of-two table, no division.
    template <class Equal>
    const Entry* find_if(std::uint64_t hash, Equal&& equal) const;
    void place(std::uint32_t index);

    mutable std::mutex mutex_;
    bool poisoned_ = false;
    // Whether a lookup can find anything (entries and no poison), written
    // under the lock: most processes never register an override, and their
    // lookups then answer without taking the lock.
    std::atomic<bool> active_{false};
    void update_active() noexcept { active_.store(!poisoned_ && !entries_.empty(), std::memory_order_release); }
    // Moves on with every change of the entries, so that what a path
    // remembers of an earlier table is never taken for the current one.
    std::uint64_t generation_ = 1;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;  // indices into entries_, kEmpty where free; at most half full
    // The lengths of the entries' texts: a bit for each, and each once in
    // increasing order.
    std::vector<std::uint64_t> length_bits_;
    std::vector<std::size_t> lengths_;
    bool has_length(std::size_t n) const noexcept {
        return n / 64 < length_bits_.size() && (length_bits_[n / 64] >> (n % 64) & 1) != 0;
    }
};

template <class Equal>
inline const PhysicsOverrides::Entry* PhysicsOverrides::find_if(std::uint64_t hash, Equal&& equal) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
        const std::uint32_t at = slots_[i];
        if (at == kEmpty) return nullptr;
        const Entry& e = entries_[at];
        if (e.hash == hash && equal(e.text)) return &e;
    }
}

// The process-wide table: created on first use, never freed (it may be
// reached from code that runs during interpreter teardown).
PhysicsOverrides& PHYSICS_OVERRIDES();

// The process-wide table's operations.
std::optional<std::uint8_t> get_physics_override(std::string_view path);
void register_physics_override(std::string_view path, std::uint8_t caps);
void clear_physics_overrides();

}  // namespace olvex::support
