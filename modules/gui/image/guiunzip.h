// Unpacking of zlib streams (RFC 1950) held in read-only data: the built-in fonts.
#pragma once

#include <cstddef>

// Unpacks `packed` (packedLength bytes) into `out`; *size holds the buffer's size on entry and the
// unpacked size on return. 0 on success, a zlib error code otherwise (a stream that does not fit
// the buffer is an error).
int GuiUnzip(void* out, unsigned long* size, const void* packed, unsigned long packedLength);
