#include "support/zone_path.hpp"

#include <array>
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
    mutable PathMemo memo;
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

ContextZone ZonePath::child_zone(std::string_view piece) const noexcept {
    // The earliest zone-named piece decides: the parent's, when it has one.
    return node_ && node_->zone != ContextZone::Data ? node_->zone : resolve_zone(piece);
}

ChildPath ZonePath::item(std::string_view key) const { return ChildPath(*this, '[', key); }

ChildPath ZonePath::attr(std::string_view name) const { return ChildPath(*this, '.', name); }

bool ZonePath::made_from(const ChildPath& child) const noexcept {
    return node_ && node_->parent.get() == child.parent_ && node_->piece == child.piece_;
}

bool ZonePath::made_from(std::string_view text) const noexcept {
    return node_ && !node_->parent && node_->piece == text;
}

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
    zone_ = parent.child_zone(piece_);
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
        f.raw = parent->memo.raw;
        f.norm = parent->memo.norm;
        f.norm_size = parent->memo.norm_size;
        f.open = false;
    }
    return f;
}

void keep_facts(PathMemo& memo, const Facts& f) {
    memo.raw = f.raw;
    memo.norm = f.norm;
    memo.norm_size = f.norm_size;
    memo.scanned = true;
}

}  // namespace

ZonePath ChildPath::make() const {
    if (size() == 0) return ZonePath();
    auto node = std::make_shared<ZonePath::Node>();
    node->parent = parent_path_->node_;
    node->piece = piece_;
    node->size = size();
    node->zone = zone_;
    node->memo = memo_;
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

// The nodes from one up to (not including) the first that is `ready`,
// visited from the top down. Usually only one or two are not ready: they
// are kept without an allocation.
class Chain {
public:
    template <class Ready>
    Chain(const ZonePath::Node* from, Ready&& ready) {
        for (const ZonePath::Node* n = from; n && !ready(n); n = n->parent.get()) {
            if (count_ < small_.size()) {
                small_[count_++] = n;
            } else {
                more_.push_back(n);
            }
        }
    }
    template <class F>
    void top_down(F&& f) const {
        for (auto it = more_.rbegin(); it != more_.rend(); ++it) f(*it);
        for (std::size_t i = count_; i-- > 0;) f(small_[i]);
    }

private:
    std::array<const ZonePath::Node*, 8> small_{};
    std::size_t count_ = 0;
    std::vector<const ZonePath::Node*> more_;
};

// Works out what `node` and the nodes above it carry forward, from the
// nearest one that has it.
void ensure_scanned(const ZonePath::Node* node) {
    if (!node || node->memo.scanned) return;
    Chain(node, [](const ZonePath::Node* n) { return n->memo.scanned; }).top_down([](const ZonePath::Node* n) {
        Facts f = facts_after(n->parent.get());
        scan(f, n->piece, [](std::size_t) {});
        keep_facts(n->memo, f);
    });
}

}  // namespace

// The lookup of a path made of `parent` and one more `piece`, whose
// memo (the path's own, or the one a child hands on) is brought up to date.
template <class Node, class Memo>
std::optional<std::uint8_t> PhysicsOverrides::lookup_steps(const Node* parent, std::string_view piece,
                                                           Memo& memo) const {
    if (!active_.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (poisoned_ || entries_.empty()) return std::nullopt;
    ensure_scanned(parent);

    // The whole-piece prefixes that end in `piece`, longest last; the scan
    // leaves what the path carries forward in `f`.
    auto probe_piece = [&](const ZonePath::Node* up, std::string_view text, Facts& f) {
        const Entry* longest = nullptr;
        f = facts_after(up);
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
    // The prefixes' answer for a path, from what its parent remembers,
    // bringing the parent (and those above it that need it) up to date.
    auto remember = [&](const ZonePath::Node* up, std::string_view text, PathMemo& m) {
        if (m.generation == generation_) return;
        Facts f;
        std::optional<std::uint8_t> best = probe_piece(up, text, f);
        if (!m.scanned) keep_facts(m, f);
        if (!best && up) best = up->memo.best_prefix;
        m.best_prefix = best;
        m.generation = generation_;
    };
    Chain(parent, [&](const ZonePath::Node* n) { return n->memo.generation == generation_; })
        .top_down([&](const ZonePath::Node* n) { remember(n->parent.get(), n->piece, n->memo); });
    remember(parent, piece, memo);

    // The text as given comes first.
    const std::size_t size = (parent ? parent->size : 0) + piece.size();
    if (has_length(size)) {
        PieceHash raw = memo.raw;
        raw.end_piece();
        const Entry* e = find_if(raw.value(), [&](const std::string& t) {
            return t.size() == size && ends_path(parent, piece, piece.size(), t, false);
        });
        if (e) return e->caps;
    }
    return memo.best_prefix;
}

std::optional<std::uint8_t> PhysicsOverrides::lookup(const ZonePath& path) const {
    const ZonePath::Node* n = path.node_.get();
    if (!n) return lookup(std::string_view());
    return lookup_steps(n->parent.get(), n->piece, n->memo);
}

std::optional<std::uint8_t> PhysicsOverrides::lookup(const ChildPath& path) const {
    if (path.size() == 0) return lookup(std::string_view());
    return lookup_steps(path.parent_, path.piece_, path.memo_);
}

}  // namespace olvex::support
