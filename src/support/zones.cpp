#include "support/zones.hpp"

#include "support/piece_hash.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace olvex::support {
namespace {

// Zone of one normalised piece. `piece` is a raw slice of the path between
// separators; any "]" in it (`has_close`) is not part of the piece and is
// skipped here, so nothing has to be copied. Only the first few characters
// and the length matter, since every rule is a prefix test or an exact match.
ContextZone piece_zone(std::string_view piece, bool has_close) noexcept {
    constexpr std::size_t kHead = 9;  // longest prefix, "internal_"
    std::array<char, kHead> head{};
    std::size_t len = 0;
    std::string_view h = piece;
    if (!has_close) {
        len = piece.size();  // the piece is its own normalised form
    } else {
        for (char c : piece) {
            if (c == ']') continue;
            if (len < kHead) head[len] = c;
            ++len;
        }
        h = std::string_view(head.data(), len < kHead ? len : kHead);
    }
    auto is = [&](std::string_view word) { return len == word.size() && h == word; };
    auto starts = [&](std::string_view prefix) { return h.starts_with(prefix); };

    if (len == 0) return ContextZone::Data;
    switch (h[0]) {
        case 's':
            if (starts("sig_") || is("sig")) return ContextZone::Signal;
            break;
        case 'c':
            if (starts("cmd_")) return ContextZone::Signal;
            if (starts("const_")) return ContextZone::Constant;
            break;
        case 'm':
            if (starts("meta_") || is("meta")) return ContextZone::Meta;
            break;
        case 'h':
            if (starts("heavy_") || is("heavy")) return ContextZone::Heavy;
            break;
        case 'l':
            if (starts("log_") || is("log")) return ContextZone::Log;
            break;
        case 'a':
            if (starts("audit_")) return ContextZone::Log;
            break;
        case 'i':
            if (starts("internal_")) return ContextZone::Private;
            break;
        default:
            break;
    }
    return ContextZone::Data;
}

}  // namespace

std::string_view zone_name(ContextZone zone) noexcept {
    switch (zone) {
        case ContextZone::Data: return "Data";
        case ContextZone::Signal: return "Signal";
        case ContextZone::Meta: return "Meta";
        case ContextZone::Heavy: return "Heavy";
        case ContextZone::Log: return "Log";
        case ContextZone::Constant: return "Constant";
        case ContextZone::Private: return "Private";
    }
    return "Data";
}

namespace {

// How the scan below sees a byte: 1 for the separators, 2 for the bytes a
// zone-named piece can start with (its "]" are left out, so a leading one
// hides the real first byte), 0 for the rest.
constexpr std::array<std::uint8_t, 256> kByteClass = [] {
    std::array<std::uint8_t, 256> t{};
    t['.'] = t['['] = 1;
    for (unsigned char c : std::string_view("scmhlai]")) t[c] = 2;
    return t;
}();

}  // namespace

ContextZone resolve_zone(std::string_view path) noexcept {
    const char* const end = path.data() + path.size();
    for (const char* start = path.data();;) {
        const char* stop = start;
        while (stop != end && kByteClass[static_cast<unsigned char>(*stop)] != 1) ++stop;
        // A piece whose first byte is any other names no zone; only the
        // candidates are looked at again.
        if (stop != start && kByteClass[static_cast<unsigned char>(*start)] == 2) {
            const std::string_view piece(start, static_cast<std::size_t>(stop - start));
            const ContextZone z = piece_zone(piece, piece.find(']') != std::string_view::npos);
            if (z != ContextZone::Data) return z;
        }
        if (stop == end) return ContextZone::Data;
        start = stop + 1;
    }
}

std::string normalize_path(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == ']') continue;
        out.push_back(c == '[' ? '.' : c);
    }
    return out;
}

namespace {

// Bytes of a word equal to `c` get their top bit set (exact, no false
// positives across bytes).
constexpr std::uint64_t bytes_equal(std::uint64_t w, unsigned char c) noexcept {
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;
    const std::uint64_t x = w ^ (0x0101010101010101ULL * c);
    return ~(((x & kLow7) + kLow7) | x | kLow7);
}

bool is_special(char c) noexcept { return c == '.' || c == '[' || c == ']'; }

// The top bit of every byte of s[at, at + 8) that is '.', '[' or ']' (bytes
// past the end count as none).
std::uint64_t specials_at(std::string_view s, std::size_t at) noexcept {
    if (at + 8 <= s.size()) {
        const std::uint64_t w = load_word(s.data() + at);
        return bytes_equal(w, '.') | bytes_equal(w, '[') | bytes_equal(w, ']');
    }
    std::uint64_t hit = 0;
    for (std::size_t k = 0; at + k < s.size(); ++k) {
        if (is_special(s[at + k])) hit |= std::uint64_t{0x80} << (8 * k);
    }
    return hit;
}

// The position of the first '.', '[' or ']' at or after `from`, or the size.
std::size_t next_special(std::string_view s, std::size_t from) noexcept {
    for (std::size_t at = from; at < s.size(); at += 8) {
        if (const std::uint64_t hit = specials_at(s, at)) {
            return at + static_cast<std::size_t>(std::countr_zero(hit)) / 8;
        }
    }
    return s.size();
}

// The normalised form of path[0, end) equals `text`.
bool normalised_prefix_is(std::string_view path, std::size_t end, std::string_view text) noexcept {
    std::size_t j = 0;
    for (std::size_t i = 0; i < end; ++i) {
        char c = path[i];
        if (c == ']') continue;
        if (c == '[') c = '.';
        if (j == text.size() || text[j] != c) return false;
        ++j;
    }
    return j == text.size();
}

}  // namespace

std::uint64_t PhysicsOverrides::hash_text(std::string_view text) noexcept {
    PieceHash h;
    for (std::size_t start = 0;;) {
        const std::size_t dot = text.find('.', start);
        const std::size_t end = dot == std::string_view::npos ? text.size() : dot;
        h.bytes(text.data() + start, end - start, text.data() + text.size());
        h.end_piece();
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return h.value();
}

void PhysicsOverrides::place(std::uint32_t index) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(entries_[index].hash) & mask;
    while (slots_[i] != kEmpty) i = (i + 1) & mask;
    slots_[i] = index;
}

const PhysicsOverrides::Entry* PhysicsOverrides::find(std::uint64_t hash, std::string_view text) const {
    return find_if(hash, [&](const std::string& t) { return t == text; });
}

std::optional<std::uint8_t> PhysicsOverrides::lookup(std::string_view path) const {
    // The scans below hand the text's pointer to memchr, which must not get
    // null, not even for an empty range.
    if (path.data() == nullptr) path = std::string_view("", 0);
    if (!active_.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (poisoned_ || entries_.empty()) return std::nullopt;

    // Candidates are the whole-piece prefixes of the normalised form ("["
    // as ".", "]" left out), probed shortest first, so the last hit is the
    // longest. Pieces may be empty: "a..b" has the prefixes "a", "a." and
    // "a..b", and ".x" starts with "". A probe brings the hash forward to its
    // prefix; the hash never moves back, so no byte is hashed twice.
    const char* const text = path.data();
    const char* const readable = text + path.size();
    PieceHash norm;
    std::size_t hashed = 0;  // the hash covers the pieces before this offset
    auto hash_up_to = [&](std::size_t end) {
        for (std::size_t i = hashed;;) {
            const std::size_t j = std::min(next_special(path, i), end);
            norm.bytes(text + i, j - i, readable);
            if (j == end) break;
            if (path[j] != ']') norm.end_piece();
            i = j + 1;
        }
        norm.end_piece();
        hashed = end + 1;
    };
    const Entry* longest = nullptr;
    auto probe = [&](std::size_t end, std::size_t length) {
        hash_up_to(end);
        const Entry* e = find_if(norm.value(), [&](const std::string& t) {
            return t.size() == length && normalised_prefix_is(path, end, t);
        });
        if (e) longest = e;
    };
    // Only a prefix as long as some entry can match: each such length, in
    // increasing order, is a whole-piece prefix when a separator follows it.
    // Normalised offset n sits at raw offset n + (the "]" before it); those
    // are found only as far as the lengths need them.
    auto next_close = [&](const char* from) {
        return static_cast<const char*>(std::memchr(from, ']', static_cast<std::size_t>(readable - from)));
    };
    const char* const first_close = next_close(text);
    const char* close = first_close;
    std::size_t before = 0;        // "]" before the raw offset of the current length
    std::size_t whole_length = 0;  // the normalised path's length, when an entry is as long
    bool whole = false;
    for (std::size_t length : lengths_) {
        while (close && static_cast<std::size_t>(close - text) <= length + before) {
            ++before;
            close = next_close(close + 1);
        }
        const std::size_t j = length + before;
        if (j >= path.size()) {
            // Every "]" is counted by now: this is the first length that
            // reaches the end, and it ends exactly there only if it is the
            // normalised path's.
            whole = j == path.size();
            whole_length = length;
            break;
        }
        if (path[j] == '.' || path[j] == '[') probe(j, length);
    }

    // The text as given comes first; without brackets it is the whole
    // normalised path, the longest prefix, too.
    const bool brackets = (whole || has_length(path.size())) &&
                          (first_close != nullptr || std::memchr(text, '[', path.size()) != nullptr);
    if (has_length(path.size())) {
        if (brackets) {
            if (const Entry* e = find(hash_text(path), path)) return e->caps;
        } else {
            hash_up_to(path.size());
            if (const Entry* e = find(norm.value(), path)) return e->caps;
        }
    }
    if (whole && brackets) probe(path.size(), whole_length);
    if (longest) return longest->caps;
    return std::nullopt;
}

void PhysicsOverrides::insert(std::string_view path, std::uint8_t caps) {
    std::lock_guard lock(mutex_);
    if (poisoned_) return;
    const std::uint64_t hash = hash_text(path);
    if (!slots_.empty()) {
        if (const Entry* e = find(hash, path)) {
            entries_[static_cast<std::size_t>(e - entries_.data())].caps = caps;
            ++generation_;
            return;
        }
    }
    if (entries_.size() >= kEmpty - 1) throw std::length_error("too many physics overrides");
    // Room first, so that a failed allocation leaves the table as it was.
    std::vector<std::uint32_t> grown;
    if ((entries_.size() + 1) * 2 > slots_.size()) grown.assign(std::max<std::size_t>(16, slots_.size() * 2), kEmpty);
    if (path.size() / 64 >= length_bits_.size()) length_bits_.resize(path.size() / 64 + 1, 0);
    const bool new_length = !has_length(path.size());
    if (new_length) lengths_.reserve(lengths_.size() + 1);
    entries_.reserve(entries_.size() + 1);
    entries_.push_back({std::string(path), caps, hash});
    if (!grown.empty()) {
        slots_.swap(grown);
        for (std::uint32_t k = 0; k + 1 < entries_.size(); ++k) place(k);
    }
    place(static_cast<std::uint32_t>(entries_.size() - 1));
    ++generation_;
    update_active();
    if (new_length) {
        length_bits_[path.size() / 64] |= std::uint64_t{1} << (path.size() % 64);
        lengths_.insert(std::lower_bound(lengths_.begin(), lengths_.end(), path.size()), path.size());
    }
}

void PhysicsOverrides::clear() {
    std::lock_guard lock(mutex_);
    if (poisoned_) return;
    entries_.clear();
    ++generation_;
    update_active();
    slots_.clear();
    length_bits_.clear();
    lengths_.clear();
}

void PhysicsOverrides::mark_poisoned() {
    std::lock_guard lock(mutex_);
    poisoned_ = true;
    update_active();
}

bool PhysicsOverrides::poisoned() const {
    std::lock_guard lock(mutex_);
    return poisoned_;
}

PhysicsOverrides& PHYSICS_OVERRIDES() {
    static PhysicsOverrides* const table = new PhysicsOverrides();
    return *table;
}

std::optional<std::uint8_t> get_physics_override(std::string_view path) { return PHYSICS_OVERRIDES().lookup(path); }

void register_physics_override(std::string_view path, std::uint8_t caps) { PHYSICS_OVERRIDES().insert(path, caps); }

void clear_physics_overrides() { PHYSICS_OVERRIDES().clear(); }

}  // namespace olvex::support
