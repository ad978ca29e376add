#include "support/float_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace olvex::support {

std::string plain_decimal(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // Scientific form gives the shortest round-trip digits: "d.ddde[+-]x".
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

    std::string out;
    std::size_t i = 0;
    if (sci[0] == '-') {
        out.push_back('-');
        i = 1;
    }
    const std::size_t e = sci.find('e');
    std::string digits;
    for (std::size_t j = i; j < e; ++j) {
        if (sci[j] != '.') digits.push_back(sci[j]);
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    // The exponent ends where the digits do: the buffer holds no terminator.
    int exponent = 0;
    const char* exp_begin = sci.data() + e + 1;
    if (*exp_begin == '+') ++exp_begin;
    std::from_chars(exp_begin, sci.data() + sci.size(), exponent);

    if (digits == "0") {
        out.push_back('0');
        return out;
    }
    // The decimal point sits after `point` digits (may be <= 0 or beyond them).
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

}  // namespace olvex::support
