#include "support/zones.hpp"

#include <array>
#include <memory>

namespace olvex::support {
namespace {

// Zone of one normalised piece. `piece` is a raw slice of the path between
// separators; any "]" in it is not part of the piece and is skipped here, so
// nothing has to be copied. Only the first few characters and the length
// matter, since every rule is a prefix test or an exact match.
ContextZone piece_zone(std::string_view piece) noexcept {
    constexpr std::size_t kHead = 9;  // longest prefix, "internal_"
    std::array<char, kHead> head{};
    std::size_t len = 0;
    for (char c : piece) {
        if (c == ']') continue;
        if (len < kHead) head[len] = c;
        ++len;
    }
    const std::string_view h(head.data(), len < kHead ? len : kHead);
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

ContextZone resolve_zone(std::string_view path) noexcept {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '.' || path[i] == '[') {
            const ContextZone z = piece_zone(path.substr(start, i - start));
            if (z != ContextZone::Data) return z;
            start = i + 1;
        }
    }
    return ContextZone::Data;
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

std::optional<std::uint8_t> PhysicsOverrides::lookup(std::string_view path) const {
    // Normalise into a stack buffer for ordinary path lengths so a lookup
    // does not allocate.
    constexpr std::size_t kInline = 256;
    std::array<char, kInline> inline_buf;
    std::string heap_buf;

    std::lock_guard lock(mutex_);
    if (poisoned_ || entries_.empty()) return std::nullopt;

    if (auto it = entries_.find(path); it != entries_.end()) return it->second;

    bool has_brackets = false;
    for (char c : path) has_brackets |= (c == '[') | (c == ']');

    std::string_view norm = path;
    if (has_brackets) {
        char* dst;
        if (path.size() <= kInline) {
            dst = inline_buf.data();
        } else {
            heap_buf.resize(path.size());
            dst = heap_buf.data();
        }
        std::size_t n = 0;
        for (char c : path) {
            if (c == ']') continue;
            dst[n++] = c == '[' ? '.' : c;
        }
        norm = std::string_view(dst, n);
    }

    // Prefixes of whole pieces, the whole normalised path first (without
    // brackets that one is the text already tried). Pieces may be empty, so
    // "a..b" tries "a..b", "a." and "a", and ".x" ends with "".
    for (std::size_t end = norm.size();;) {
        if (has_brackets || end != norm.size()) {
            if (auto it = entries_.find(norm.substr(0, end)); it != entries_.end()) return it->second;
        }
        if (end == 0) break;
        const std::size_t dot = norm.rfind('.', end - 1);
        if (dot == std::string_view::npos) break;
        end = dot;
    }
    return std::nullopt;
}

void PhysicsOverrides::insert(std::string_view path, std::uint8_t caps) {
    std::lock_guard lock(mutex_);
    if (poisoned_) return;
    if (auto it = entries_.find(path); it != entries_.end()) {
        it->second = caps;
    } else {
        entries_.emplace(std::string(path), caps);
    }
}

void PhysicsOverrides::clear() {
    std::lock_guard lock(mutex_);
    if (poisoned_) return;
    entries_.clear();
}

void PhysicsOverrides::mark_poisoned() {
    std::lock_guard lock(mutex_);
    poisoned_ = true;
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
