// The RPN evaluator on a decoded program.
//
// The decoder replays the walk on the stack's depth and remembers, for every stack position, where
// its value is: a constant or an input stays where it is (the program's frame holds the inputs and
// the constants), a result lies in the stack slot it was pushed to. Only slot 0 of the shared stack
// is seen from outside an evaluation (a pop from an empty stack reads it, in this evaluation or a
// later one, of any program): every push to slot 0 is therefore carried out, and the frame's slot 0
// is taken from the shared stack before the run and given back after it. A value pushed onto a full
// stack is dropped, as the walk drops it; a stateless operation whose result is dropped is left
// out, a stateful one still runs for its cells.
#include "calc/awm_upn.h"

#include "calc/awm_upn_internal.h"

namespace {

using namespace awm_upn;

constexpr uint16_t kDrop = AWM_UPN_STACK; // the frame's place for results pushed onto a full stack
constexpr uint16_t kInputs = kDrop + 1;   // in1 .. in4
constexpr uint16_t kConstants = kInputs + 4;
constexpr uint8_t kCopy = 0x00;

// The stack while the program is decoded: its depth and where the value of each position is.
struct Places {
    uint32_t sp = 0;
    uint16_t at[AWM_UPN_STACK] = {};

    uint16_t pop() { return sp == 0 ? 0 : at[--sp]; }
    // The stack slot a result pushed now goes to.
    uint16_t slot() const { return sp < AWM_UPN_STACK ? uint16_t(sp) : kDrop; }
    // Pushes the value at `place`; false when the stack is full and the push is dropped.
    bool push(uint16_t place) {
        if (sp == AWM_UPN_STACK) return false;
        at[sp++] = place;
        return true;
    }
};

} // namespace

void awm_man_upn_decode(const uint8_t* program, uint16_t length, awm_man_upn_prog* out) {
    out->ops.clear();
    out->frame.assign(kConstants, 0.0);
    out->result = 0;
    out->none = program == nullptr || length < AWM_UPN_INSTR;
    if (out->none) return;
    Places st;
    for (uint32_t at = 0; length - at >= AWM_UPN_INSTR; at += AWM_UPN_INSTR) {
        const uint8_t* instr = program + at;
        const uint8_t op = instr[0];
        if (op == AWM_UPN_END) break;
        uint16_t place;
        if (op <= 0x03 || (op >= 0x10 && op <= 0x13)) {
            if (op <= 0x03) {
                place = uint16_t(out->frame.size());
                out->frame.push_back(constantOf(instr));
            } else {
                place = uint16_t(kInputs + (op - 0x10));
            }
            if (st.sp == 0) { // slot 0 is seen from outside: the value is put there
                awm_man_upn_op o;
                o.code = kCopy;
                o.dst = 0;
                o.src[0] = place;
                out->ops.push_back(o);
                place = 0;
            }
            st.push(place);
            continue;
        }
        awm_man_upn_op o;
        o.code = op;
        const bool isStateful = op >= 0xA0 && op <= 0xAB;
        const int n = isStateful ? operandsOf(op) : stackOperandsOf(op);
        if (!isStateful && n == 0) continue; // skipped by the walk
        for (int i = 0; i < n; ++i) o.src[i] = st.pop();
        if (n == 1) o.src[1] = o.src[0]; // a unary operation works on a, the second operand
        o.dst = st.slot();
        if (st.push(o.dst) || isStateful) out->ops.push_back(o);
    }
    out->result = st.pop();
}

double awm_man_upn_run(awm_man_upn_prog& program, awm_man_upn_mem* memory, uint32_t previous, uint32_t now,
                       double in1, double in2, double in3, double in4, uint8_t first) {
    if (program.none) return 0.0;
    double* const f = program.frame.data();
    double* const shared = stackSlots();
    f[0] = shared[0];
    f[kInputs] = in1;
    f[kInputs + 1] = in2;
    f[kInputs + 2] = in3;
    f[kInputs + 3] = in4;
    StateCtx st;
    st.memory = memory;
    st.cells = memory ? memory->cells : nullptr;
    st.left = memory && memory->cells ? memory->count : 0;
    st.now = now;
    st.first = first;
    st.dtValid = first == 0 && previous != 0;
    st.dt = double(uint32_t(now - previous)) * 0.0001;
    // One dispatch per operation, each case with its operation known: the operands are read before
    // the result is written, as the pops come before the push.
#define MSD_UPN_OP(c)                                                                                        \
    case c:                                                                                                  \
        f[o.dst] = apply(c, f[o.src[1]], f[o.src[0]]);                                                       \
        break;
    for (const awm_man_upn_op& o : program.ops) {
        switch (o.code) {
        case kCopy:
            f[o.dst] = f[o.src[0]];
            break;
            MSD_UPN_OP(0x40)
            MSD_UPN_OP(0x41)
            MSD_UPN_OP(0x42)
            MSD_UPN_OP(0x43)
            MSD_UPN_OP(0x44)
            MSD_UPN_OP(0x45)
            MSD_UPN_OP(0x50)
            MSD_UPN_OP(0x51)
            MSD_UPN_OP(0x52)
            MSD_UPN_OP(0x53)
            MSD_UPN_OP(0x60)
            MSD_UPN_OP(0x61)
            MSD_UPN_OP(0x62)
            MSD_UPN_OP(0x63)
            MSD_UPN_OP(0x70)
            MSD_UPN_OP(0x71)
            MSD_UPN_OP(0x72)
            MSD_UPN_OP(0x73)
            MSD_UPN_OP(0x74)
            MSD_UPN_OP(0x75)
            MSD_UPN_OP(0x80)
            MSD_UPN_OP(0x81)
            MSD_UPN_OP(0x82)
            MSD_UPN_OP(0x83)
            MSD_UPN_OP(0x84)
            MSD_UPN_OP(0x85)
            MSD_UPN_OP(0x86)
            MSD_UPN_OP(0x87)
            MSD_UPN_OP(0x88)
            MSD_UPN_OP(0x89)
            MSD_UPN_OP(0x8A)
            MSD_UPN_OP(0x8B)
            MSD_UPN_OP(0x8C)
            MSD_UPN_OP(0x8D)
        default: { // 0xA0-0xAB
            const double v[4] = {f[o.src[0]], f[o.src[1]], f[o.src[2]], f[o.src[3]]};
            f[o.dst] = stateful(o.code, v, st);
            break;
        }
        }
    }
#undef MSD_UPN_OP
    shared[0] = f[0];
    return f[program.result];
}
