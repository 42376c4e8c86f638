// The widget library's integer-to-text routine, used by the value texts of the catalogue.
#pragma once

#include <cstdint>

// Writes value in the radix (2 to 36) into buffer: digits "0" to "9" then lower-case letters, a
// minus sign only in radix 10 for a negative value; other radixes take the value as unsigned 32
// bits; a radix outside 2 to 36 gives an empty text. The buffer must hold 34 characters. Returns
// buffer.
char* _ltoa(int32_t value, char* buffer, int radix);
