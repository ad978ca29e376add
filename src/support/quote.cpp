#include "support/quote.hpp"

namespace olvex::support {

namespace {

bool is_control(char32_t c) noexcept { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

void append_ascii(std::u32string& out, std::string_view s) {
  for (char c : s) out.push_back(static_cast<char32_t>(c));
}

void append_hex_escape(std::u32string& out, char32_t c) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  char buf[8];
  int n = 0;
  do {
    buf[n++] = kDigits[c & 0xf];
    c >>= 4;
  } while (c != 0);
  append_ascii(out, "\\u{");
  while (n > 0) out.push_back(static_cast<char32_t>(buf[--n]));
  out.push_back(U'}');
}

}  // namespace

std::u32string quote_text(std::u32string_view text) {
  std::u32string out;
  out.reserve(text.size() + 2);
  out.push_back(U'"');
  for (char32_t c : text) {
    switch (c) {
      case U'"':
        append_ascii(out, "\\\"");
        break;
      case U'\\':
        append_ascii(out, "\\\\");
        break;
      case U'\t':
        append_ascii(out, "\\t");
        break;
      case U'\r':
        append_ascii(out, "\\r");
        break;
      case U'\n':
        append_ascii(out, "\\n");
        break;
      case U'\0':
        append_ascii(out, "\\0");
        break;
      default:
        if (is_control(c)) {
          append_hex_escape(out, c);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back(U'"');
  return out;
}

}  // namespace olvex::support
