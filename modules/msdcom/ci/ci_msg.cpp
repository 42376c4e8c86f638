#include "msdcom/ci/ci_msg.h"

#include <cstring>

ci_header ci_get_header(const comint_msg* m) {
    ci_header h;
    h.len = ci_len(m);
    h.src = ci_src(m);
    h.dst = ci_dst(m);
    h.ctx = ci_ctx(m);
    h.rctx = ci_rctx(m);
    h.cmd = ci_cmd(m);
    return h;
}

void ci_set_header(comint_msg* m, const ci_header& h) {
    m->reserved0 = 0;
    m->reserved1 = 0;
    ci_set_len(m, h.len);
    ci_set_src(m, h.src);
    ci_set_dst(m, h.dst);
    ci_set_ctx(m, h.ctx);
    ci_set_rctx(m, h.rctx);
    ci_set_cmd(m, h.cmd);
}

void ci_init(comint_msg* m, uint16_t cmd, uint16_t src, uint16_t dst, uint32_t ctx, uint32_t rctx,
             uint16_t len) {
    ci_header h;
    h.cmd = cmd;
    h.src = src;
    h.dst = dst;
    h.ctx = ctx;
    h.rctx = rctx;
    h.len = len;
    ci_set_header(m, h);
}

bool ci_from_bytes(const void* bytes, size_t n, comint_msg* out) {
    if (!bytes || !out || n < CI_HDR_LEN) return false;
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    const uint16_t len = ci_get16(b + 2);
    if (len > CI_PAYLOAD_MAX_LINK || n < CI_HDR_LEN + len) return false;
    std::memcpy(out, b, CI_HDR_LEN + len);
    return true;
}
