// Context path grammar: "domain.items[0].name", "domain['k.x']".
//
// Pure text handling only; the writers that walk live Python objects along a
// parsed path sit in the binding layer and take their error texts from here,
// so that every message is spelled in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace olvex::support {

// One step of a parsed path: a text key (possibly empty) or a list index.
struct PathSegment {
    struct Key {
        std::string name;
        bool operator==(const Key&) const = default;
    };
    struct Index {
        std::uint64_t value;
        bool operator==(const Index&) const = default;
    };

    std::variant<Key, Index> step;

    static PathSegment key(std::string name) { return {Key{std::move(name)}}; }
    static PathSegment index(std::uint64_t n) { return {Index{n}}; }

    bool is_index() const noexcept { return std::holds_alternative<Index>(step); }
    bool is_key() const noexcept { return std::holds_alternative<Key>(step); }
    // Precondition: is_key() / is_index() respectively.
    const std::string& key_name() const { return std::get<Key>(step).name; }
    std::uint64_t index_value() const { return std::get<Index>(step).value; }

    bool operator==(const PathSegment&) const = default;
};

// Splits a path into segments. Never fails: anything that is not a plain
// unsigned 64-bit number in brackets is a key. The input is UTF-8; every
// character the grammar reacts to is ASCII, so a byte scan is exact.
std::vector<PathSegment> parse_path_segments(std::string_view path);

// One segment as a view into the path text, for walks that need no copy:
// a key (a bracketed key with its quotes trimmed) or an index.
struct SegmentView {
    bool is_index;
    std::uint64_t index;   // when is_index
    std::string_view key;  // otherwise
};

// The segment of a bracket's content: an index when it is a plain unsigned
// 64-bit number ("+" and leading zeros allowed), else a key without the
// quotes at either end.
SegmentView bracket_segment_view(std::string_view content) noexcept;

// Reads the segments of a path one at a time, without allocating, so that a
// walk can tell the last segment from the others as it goes.
class SegmentCursor {
public:
    explicit SegmentCursor(std::string_view path) noexcept : path_(path) {}

    // The next segment into `out`; false when the path has no more. A "."
    // ends a key, a "[" ends it and opens a bracket whose content runs to
    // the next "]" (or the end); empty keys between them are no segments.
    bool next(SegmentView& out) noexcept {
        const std::size_t n = path_.size();
        while (pos_ < n) {
            const char c = path_[pos_];
            if (c == '.') {
                ++pos_;
                continue;
            }
            if (c == '[') {
                const std::size_t open = pos_ + 1;
                const std::size_t close = path_.find(']', open);
                const std::size_t end = close == std::string_view::npos ? n : close;
                out = bracket_segment_view(path_.substr(open, end - open));
                pos_ = close == std::string_view::npos ? n : close + 1;
                return true;
            }
            std::size_t end = pos_ + 1;
            while (end < n && path_[end] != '.' && path_[end] != '[') ++end;
            out = SegmentView{false, 0, path_.substr(pos_, end - pos_)};
            pos_ = end;
            return true;
        }
        return false;
    }

private:
    std::string_view path_;
    std::size_t pos_ = 0;
};

// Calls `f(SegmentView)` for each segment of `path` in order: the segments
// parse_path_segments returns, without allocating.
template <class F>
void for_each_segment(std::string_view path, F&& f) {
    SegmentCursor segments(path);
    SegmentView seg{};
    while (segments.next(seg)) f(seg);
}

// The Python exception class a path failure must be raised as.
enum class PathErrorKind { TypeError, IndexError };

struct PathError {
    PathErrorKind kind;
    std::string message;
    bool operator==(const PathError&) const = default;
};

// Failures of the nested writers, one constructor per message.
PathError cannot_set_index(std::uint64_t index);
PathError cannot_navigate_index(std::uint64_t index);
PathError index_out_of_range(std::uint64_t index);
PathError cannot_set_key(std::string_view key, std::string_view type_name);
PathError cannot_navigate_key(std::string_view key, std::string_view type_name);
PathError index_on_non_list(std::uint64_t index);

// A write at a list index pads the list with None up to that index. An index
// can name any position up to 2**64-1, so the padding is capped: at most this
// many None entries may be appended for one write.
inline constexpr std::uint64_t MAX_LIST_PADDING = 65'536;

// Checks a write at `index` into a list of `length` items against the cap;
// returns the error to raise (before the list is touched) when it is exceeded:
// IndexError "Index [{index}] is too far beyond the end of a list of length {length}".
std::optional<PathError> check_list_padding(std::size_t length, std::uint64_t index);

}  // namespace olvex::support
