#include "gui/core/guiltoa.h"

#include <algorithm>

char* _ltoa(int32_t value, char* buffer, int radix) {
    // A radix without digits to write gives an empty text rather than a guess.
    if (radix < 2 || radix > 36) {
        *buffer = 0;
        return buffer;
    }
    const bool negative = radix == 10 && value < 0;
    // Negated in unsigned arithmetic: the most negative value has no positive counterpart.
    uint32_t u = negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    char* p = buffer;
    do {
        const uint32_t d = u % static_cast<uint32_t>(radix);
        *p++ = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        u /= static_cast<uint32_t>(radix);
    } while (u);
    if (negative) *p++ = '-';
    *p = 0;
    std::reverse(buffer, p);
    return buffer;
}
