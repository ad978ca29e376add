#include "support/path.hpp"

#include <fmt/format.h>

#include <limits>

namespace olvex::support {
namespace {

bool is_quote(char c) noexcept { return c == '\'' || c == '"'; }

// "+"? digits+ with a value that fits in 64 bits; leading zeros are fine.
std::optional<std::uint64_t> parse_index(std::string_view s) noexcept {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

SegmentView bracket_segment_view(std::string_view content) noexcept {
    if (auto n = parse_index(content)) return {true, *n, {}};
    while (!content.empty() && is_quote(content.front())) content.remove_prefix(1);
    while (!content.empty() && is_quote(content.back())) content.remove_suffix(1);
    return {false, 0, content};
}

std::vector<PathSegment> parse_path_segments(std::string_view path) {
    std::vector<PathSegment> out;
    for_each_segment(path, [&](const SegmentView& seg) {
        out.push_back(seg.is_index ? PathSegment::index(seg.index) : PathSegment::key(std::string(seg.key)));
    });
    return out;
}

PathError cannot_set_index(std::uint64_t index) {
    return {PathErrorKind::TypeError, fmt::format("Cannot set index [{}] on non-list/dict", index)};
}

PathError cannot_navigate_index(std::uint64_t index) {
    return {PathErrorKind::TypeError, fmt::format("Cannot navigate index [{}] in non-list", index)};
}

PathError index_out_of_range(std::uint64_t index) {
    return {PathErrorKind::IndexError, fmt::format("Index [{}] out of range", index)};
}

PathError cannot_set_key(std::string_view key, std::string_view type_name) {
    return {PathErrorKind::TypeError, fmt::format("Cannot set key '{}' on non-dict type '{}'", key, type_name)};
}

PathError cannot_navigate_key(std::string_view key, std::string_view type_name) {
    return {PathErrorKind::TypeError, fmt::format("Cannot navigate key '{}' in non-dict type '{}'", key, type_name)};
}

PathError index_on_non_list(std::uint64_t index) {
    return {PathErrorKind::TypeError, fmt::format("Index [{}] on non-list", index)};
}

std::optional<PathError> check_list_padding(std::size_t length, std::uint64_t index) {
    if (index < length || index - length <= MAX_LIST_PADDING) return std::nullopt;
    return PathError{PathErrorKind::IndexError,
                     fmt::format("Index [{}] is too far beyond the end of a list of length {}", index, length)};
}

}  // namespace olvex::support
