#include "msdcom/network/dk_frame.h"

#include "msdcom/network/bc2_record.h"

void dk_encodeHeader(const DkHeader& h, uint8_t out[DK_HEADER_SIZE]) {
    putBe16(out, h.pid);
    putBe16(out + 2, h.length);
    putBe32(out + 4, h.handle);
}

DkHeader dk_decodeHeader(const uint8_t in[DK_HEADER_SIZE]) {
    return DkHeader{be16(in), be16(in + 2), be32(in + 4)};
}
