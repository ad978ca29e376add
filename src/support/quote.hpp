// The quoted form of a text inside a diagnostic message: between double
// quotes, with `"` and `\` escaped by a backslash, tab, CR, LF and NUL as
// \t \r \n \0, and every other control character (Unicode category Cc) as
// \u{hex} in lower case without leading zeros. Everything else, lone
// surrogates included, is kept as it is.
//
// The text is a sequence of code points, not bytes: the binding layer
// feeds it the code points of a str object, so no text can fail to quote.
#pragma once

#include <string>
#include <string_view>

namespace olvex::support {

std::u32string quote_text(std::u32string_view text);

}  // namespace olvex::support
