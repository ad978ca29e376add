#include "support/zone_path.hpp"

#include <cstring>
#include <optional>
#include <vector>

namespace olvex::support {

// One step of a path: the piece it adds, and what the zone rules and the
// override lookup know of the whole path up to its end.
struct ZonePath::Node {
    ~Node();

    // `mutable` only so that a long chain is let go iteratively (below).
    mutable std::shared_ptr<const Node> parent;
    std::string piece;
    std::size_t size;  // of the whole text
    ContextZone zone;
    // What the override lookup carries forward, worked out by the first
    // lookup that needs it (most paths never meet a table with entries);
    // kept under the table's lock, like what follows.
    mutable bool scanned = false;
    mutable PieceHash raw;   // the text split at '.', its last piece still open
    mutable PieceHash norm;  // the normalised pieces, all ended
    mutable std::size_t norm_size = 0;
    // The override table's answer for the whole-piece prefixes of this
    // path, as of `generation`; kept under the table's lock.
    mutable std::uint64_t generation = 0;
    mutable std::optional<std::uint8_t> best_prefix;
};

// A path thousands of steps deep would otherwise be released by as many
// nested destructors.
ZonePath::Node::~Node() {
    std::shared_ptr<const Node> next = std::move(parent);
    while (next && next.use_count() == 1) {
        std::shared_ptr<const Node> up = std::move(next->parent);
        next = std::move(up);
    }
}

namespace {

bool is_separator(char c) noexcept { return c == '.' || c == '['; }

// What a scan of a piece carries: the two hashes and the normalised length.
// `open`: the normalised form has a piece begun and not yet ended (false
// right after a parent's end, where the step's separator comes next).
struct Facts {
    PieceHash raw;
    PieceHash norm;
    std::size_t norm_size = 0;
    bool open = true;
};

// Scans `piece` on from `f`. `at_end(i)` is called wherever a normalised
// piece ends (before the separator at raw offset i of `piece`, and at its
// end with i = piece.size()), after the hash has taken that piece.
template <class AtEnd>
void scan(Facts& f, std::string_view piece, AtEnd&& at_end) {
    const char* const base = piece.data();
    const char* const readable = base + piece.size();
    std::size_t i = 0;
    while (i < piece.size()) {
        const std::size_t j = std::min(piece.find_first_of(".[]", i), piece.size());
        if (j > i) {
            f.raw.bytes(base + i, j - i, readable);
            f.norm.bytes(base + i, j - i, readable);
            f.norm_size += j - i;
        }
        if (j == piece.size()) break;
        const char c = piece[j];
        if (c == '.') {
            f.raw.end_piece();
        } else {
            f.raw.bytes(base + j, 1, readable);
        }
        if (is_separator(c)) {
            if (f.open) {
                f.norm.end_piece();
                at_end(j);
            }
            f.norm_size += 1;  // the joining "."
            f.open = true;
        }
        i = j + 1;
    }
    f.norm.end_piece();
    f.open = false;
    at_end(piece.size());
}

}  // namespace

// ---- ZonePath ---------------------------------------------------------------

ZonePath::ZonePath(std::string_view text) {
    if (text.empty()) return;
    const ZonePath none;
    *this = ChildPath(none, '\0', text).make();
}

std::size_t ZonePath::size() const noexcept { return node_ ? node_->size : 0; }

ContextZone ZonePath::zone() const noexcept { return node_ ? node_->zone : ContextZone::Data; }

void ZonePath::write(char* out) const noexcept {
    std::size_t at = size();
    for (const Node* n = node_.get(); n; n = n->parent.get()) {
        at -= n->piece.size();
        std::memcpy(out + at, n->piece.data(), n->piece.size());
    }
}

std::string ZonePath::text() const {
    std::string out(size(), '\0');
    write(out.data());
    return out;
}

ChildPath ZonePath::item(std::string_view key) const { return ChildPath(*this, '[', key); }

ChildPath ZonePath::attr(std::string_view name) const { return ChildPath(*this, '.', name); }

// ---- ChildPath --------------------------------------------------------------

ChildPath::ChildPath(const ZonePath& parent, char open, std::string_view key) : parent_path_(&parent) {
    parent_ = parent.node_.get();
    if (!parent_ || open == '\0') {
        piece_.assign(key);
    } else {
        piece_.reserve(key.size() + 2);
        piece_.push_back(open);
        piece_.append(key);
        if (open == '[') piece_.push_back(']');
    }
    // The earliest zone-named piece decides: the parent's, when it has one.
    zone_ = parent_ && parent_->zone != ContextZone::Data ? parent_->zone : resolve_zone(piece_);
}

std::size_t ChildPath::size() const noexcept { return (parent_ ? parent_->size : 0) + piece_.size(); }

void ChildPath::write(char* out) const noexcept {
    const std::size_t head = parent_ ? parent_->size : 0;
    if (parent_) parent_path_->write(out);
    std::memcpy(out + head, piece_.data(), piece_.size());
}

std::string ChildPath::text() const {
    std::string out(size(), '\0');
    write(out.data());
    return out;
}

namespace {

// `parent` is scanned (or null).
Facts facts_after(const ZonePath::Node* parent) {
    Facts f;
    if (parent) {
        f.raw = parent->raw;
        f.norm = parent->norm;
        f.norm_size = parent->norm_size;
        f.open = false;
    }
    return f;
}

}  // namespace

ZonePath ChildPath::make() const {
    if (size() == 0) return ZonePath();
    auto node = std::make_shared<ZonePath::Node>();
    node->parent = parent_path_->node_;
    node->piece = piece_;
    node->size = size();
    node->zone = zone_;
    return ZonePath(std::move(node));
}

// ---- the override lookup ----------------------------------------------------

namespace {

// The text of `parent` followed by piece[0, end), in normalised form when
// `normalised`, equals `text`. Compared from the end, piece by piece, so
// nothing is put together.
bool ends_path(const ZonePath::Node* parent, std::string_view piece, std::size_t end, std::string_view text,
               bool normalised) noexcept {
    std::size_t j = text.size();
    auto back_over = [&](std::string_view s) {
        for (std::size_t i = s.size(); i-- > 0;) {
            char c = s[i];
            if (normalised) {
                if (c == ']') continue;
                if (c == '[') c = '.';
            }
            if (j == 0 || text[j - 1] != c) return false;
            --j;
        }
        return true;
    };
    if (!back_over(piece.substr(0, end))) return false;
    for (const ZonePath::Node* n = parent; n; n = n->parent.get()) {
        if (!back_over(n->piece)) return false;
    }
    return j == 0;
}

}  // namespace

namespace {

// Works out what `node` and the nodes above it carry forward, from the
// nearest one that has it.
void ensure_scanned(const ZonePath::Node* node) {
    if (!node || node->scanned) return;
    std::vector<const ZonePath::Node*> todo;
    for (const ZonePath::Node* n = node; n && !n->scanned; n = n->parent.get()) todo.push_back(n);
    for (auto it = todo.rbegin(); it != todo.rend(); ++it) {
        const ZonePath::Node* n = *it;
        Facts f = facts_after(n->parent.get());
        scan(f, n->piece, [](std::size_t) {});
        n->raw = f.raw;
        n->norm = f.norm;
        n->norm_size = f.norm_size;
        n->scanned = true;
    }
}

}  // namespace

// The lookup of a path made of `parent` and one more `piece`.
template <class Path>
std::optional<std::uint8_t> PhysicsOverrides::lookup_steps(const Path& path) const {
    const ZonePath::Node* const parent = path.first;
    const std::string_view piece = path.second;
    std::lock_guard lock(mutex_);
    if (poisoned_ || entries_.empty()) return std::nullopt;
    ensure_scanned(parent);

    // The whole-piece prefixes that end in `piece`, longest last.
    auto probe_piece = [&](const ZonePath::Node* up, std::string_view text) {
        const Entry* longest = nullptr;
        Facts f = facts_after(up);
        scan(f, text, [&](std::size_t end) {
            if (!has_length(f.norm_size)) return;
            const std::size_t length = f.norm_size;
            const Entry* e = find_if(f.norm.value(), [&](const std::string& t) {
                return t.size() == length && ends_path(up, text, end, t, true);
            });
            if (e) longest = e;
        });
        return longest ? std::optional<std::uint8_t>(longest->caps) : std::nullopt;
    };
    // What a node remembers, brought up to date from the nearest ancestor
    // that is (every later lookup below them then costs one step).
    auto best_of = [&](const ZonePath::Node* node) -> std::optional<std::uint8_t> {
        std::vector<const ZonePath::Node*> stale;
        for (const ZonePath::Node* n = node; n && n->generation != generation_; n = n->parent.get()) {
            stale.push_back(n);
        }
        for (auto it = stale.rbegin(); it != stale.rend(); ++it) {
            const ZonePath::Node* n = *it;
            const ZonePath::Node* up = n->parent.get();
            std::optional<std::uint8_t> best = probe_piece(up, n->piece);
            if (!best && up) best = up->best_prefix;
            n->best_prefix = best;
            n->generation = generation_;
        }
        return node ? node->best_prefix : std::nullopt;
    };

    // The text as given comes first.
    const std::size_t size = (parent ? parent->size : 0) + piece.size();
    if (has_length(size)) {
        PieceHash raw = parent ? parent->raw : PieceHash();
        for (std::size_t i = 0;;) {
            const std::size_t dot = std::min(piece.find('.', i), piece.size());
            raw.bytes(piece.data() + i, dot - i, piece.data() + piece.size());
            if (dot == piece.size()) break;
            raw.end_piece();
            i = dot + 1;
        }
        raw.end_piece();
        const Entry* e = find_if(raw.value(), [&](const std::string& t) {
            return t.size() == size && ends_path(parent, piece, piece.size(), t, false);
        });
        if (e) return e->caps;
    }
    if (std::optional<std::uint8_t> hit = probe_piece(parent, piece)) return hit;
    return best_of(parent);
}

std::optional<std::uint8_t> PhysicsOverrides::lookup(const ZonePath& path) const {
    const ZonePath::Node* n = path.node_.get();
    if (!n) return lookup(std::string_view());
    return lookup_steps(std::pair<const ZonePath::Node*, std::string_view>(n->parent.get(), n->piece));
}

std::optional<std::uint8_t> PhysicsOverrides::lookup(const ChildPath& path) const {
    if (path.size() == 0) return lookup(std::string_view());
    return lookup_steps(std::pair<const ZonePath::Node*, std::string_view>(path.parent_, path.piece_));
}

}  // namespace olvex::support
