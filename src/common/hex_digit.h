// Hexadecimal digits, as percent-escapes spell bytes.
#pragma once

namespace hux {

// The value of a hexadecimal digit (either case), or -1.
inline int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace hux
