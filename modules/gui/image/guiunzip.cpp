#include "gui/image/guiunzip.h"

#include <zlib.h>

int GuiUnzip(void* out, unsigned long* size, const void* packed, unsigned long packedLength) {
    if (!out || !size || !packed) return Z_STREAM_ERROR;
    uLongf n = *size;
    const int rc = uncompress(static_cast<Bytef*>(out), &n, static_cast<const Bytef*>(packed), packedLength);
    *size = n;
    return rc;
}
