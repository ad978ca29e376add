// The hash under which the override table keeps a path text, folded piece
// by piece so that one pass over a path yields the hashes of all its
// whole-piece prefixes (zones.cpp, zone_path.cpp).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace olvex::support {

// Eight bytes as a word, the first byte lowest (as the byte-wise filling
// below has it, whatever the machine's byte order).
inline std::uint64_t load_word(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// The hash of a path text, folded piece by piece. Pieces are split at '.';
// each one's bytes are folded eight at a time from its start, and its end
// folds one more word: the bytes left over with their count. The state after
// a piece's end is the hash of the text up to it, so one pass over a path
// yields the hashes of all its whole-piece prefixes.
class PieceHash {
public:
    // Appends bytes to the current piece; the text may be read up to
    // `readable` (a short tail is then loaded as one word).
    void bytes(const char* p, std::size_t n, const char* readable) noexcept {
        if (fill_ == 0) {
            for (; n >= 8; p += 8, n -= 8) fold(load_word(p));
            if (n > 0 && readable - p >= 8) {
                word_ = load_word(p) & (~std::uint64_t{0} >> (64 - 8 * n));
                fill_ = static_cast<unsigned>(n);
                return;
            }
        }
        for (; n > 0; ++p, --n) {
            word_ |= std::uint64_t{static_cast<unsigned char>(*p)} << (8 * fill_);
            if (++fill_ == 8) {
                fold(word_);
                word_ = 0;
                fill_ = 0;
            }
        }
    }
    // Ends the current piece (at a '.' or the end of the text).
    void end_piece() noexcept {
        fold(word_ | (std::uint64_t{fill_ + 1} << 56));  // a tail leaves the top byte free
        word_ = 0;
        fill_ = 0;
    }
    // The hash of the pieces ended so far.
    std::uint64_t value() const noexcept { return state_ ^ (state_ >> 32); }

private:
    void fold(std::uint64_t w) noexcept {
        state_ = (state_ ^ w) * 0x9e3779b97f4a7c15ULL;
        state_ ^= state_ >> 29;
    }

    std::uint64_t state_ = 0x243f6a8885a308d3ULL;
    std::uint64_t word_ = 0;
    unsigned fill_ = 0;
};

}  // namespace olvex::support
