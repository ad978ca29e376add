// Plain decimal text for doubles: the shortest digits that read back as the
// same value, written out in full (never with an exponent).
#pragma once

#include <string>

namespace olvex::support {

// 3.0 -> "3", 2.25 -> "2.25", 0.0 -> "0", 1e22 -> "1" and 22 zeros,
// 5e-324 -> "0.000...5". A whole value has no fractional part. The digits are
// the shortest round-trip ones, so zeros stand in for the rest of a large
// value's integer part. Non-finite values give "NaN", "inf" and "-inf".
std::string plain_decimal(double value);

}  // namespace olvex::support
