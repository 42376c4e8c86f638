// The RPN evaluator: the walk of a program's bytes, the value stack and the cells' set-up. The
// operations are in awm_upn_internal.h (stateless) and awm_upn_state.cpp (stateful); decoded
// programs, which the channels run, in awm_upn_prog.cpp.
#include "calc/awm_upn.h"

#include "calc/awm_upn_internal.h"
#include "framework/time_util.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace awm_upn {

double* stackSlots() {
    // One stack for the process: evaluations run one at a time in the calculation task.
    static double slots[AWM_UPN_STACK] = {};
    return slots;
}

uint32_t cellsOf(uint8_t opcode) {
    switch (opcode) {
    case 0xA0:
    case 0xA1:
    case 0xA2:
    case 0xA5:
    case 0xA6:
    case 0xA7:
    case 0xA8:
    case 0xA9:
    case 0xAA:
        return 1;
    case 0xAB:
        return 3;
    default:
        return 0;
    }
}

} // namespace awm_upn

namespace {

using namespace awm_upn;

std::atomic<uint32_t> gTimeBase{0};

// One instruction, one dispatch: the walk of a program that is not decoded (awm_upn_prog.cpp holds
// the decoded form, which the channels run).
inline void execute(uint8_t op, const uint8_t* instr, const double* inputs, Stack& s, StateCtx& st) {
    switch (op) {
    case 0x00:
    case 0x01:
    case 0x02:
    case 0x03:
        return s.push(constantOf(instr));
    case 0x10:
    case 0x11:
    case 0x12:
    case 0x13:
        return s.push(inputs[op - 0x10]);
    default:
        break;
    }
    if (op >= 0xA0 && op <= 0xAB) {
        double v[4] = {}; // operands first, whether or not cells are left
        for (int i = 0, n = operandsOf(op); i < n; ++i) v[i] = s.pop();
        return s.push(stateful(op, v, st));
    }
    switch (stackOperandsOf(op)) {
    case 2: {
        const double b = s.pop();
        const double a = s.pop();
        return s.push(apply(op, a, b));
    }
    case 1:
        return s.push(apply(op, s.pop(), 0.0));
    default:
        return; // any other opcode is skipped
    }
}

} // namespace

double awm_man_upn_calc(const uint8_t* program, uint16_t length, uint16_t /*ignored*/,
                        awm_man_upn_mem* memory, uint32_t previous, uint32_t now, double in1, double in2,
                        double in3, double in4, uint8_t first) {
    if (program == nullptr || length < AWM_UPN_INSTR) return 0.0;
    Stack s{stackSlots()};
    StateCtx st;
    st.memory = memory;
    st.cells = memory ? memory->cells : nullptr;
    st.left = memory && memory->cells ? memory->count : 0;
    st.now = now;
    st.first = first;
    st.dtValid = first == 0 && previous != 0;
    st.dt = double(uint32_t(now - previous)) * 0.0001;
    const double inputs[4] = {in1, in2, in3, in4};
    for (uint32_t at = 0; length - at >= AWM_UPN_INSTR; at += AWM_UPN_INSTR) {
        const uint8_t* instr = program + at;
        const uint8_t op = instr[0];
        if (op == AWM_UPN_END) break;
        execute(op, instr, inputs, s, st);
    }
    return s.pop();
}

uint16_t awm_man_upn_memsize(const uint8_t* program, uint16_t length) {
    if (program == nullptr) return 0;
    uint32_t cells = 0;
    for (uint32_t at = 0; length - at >= AWM_UPN_INSTR && program[at] != AWM_UPN_END; at += AWM_UPN_INSTR)
        cells += cellsOf(program[at]);
    return static_cast<uint16_t>(cells);
}

void awm_man_upn_init(const uint8_t* program, uint16_t length, awm_man_upn_mem* memory) {
    if (program == nullptr || length == 0 || memory == nullptr) return;
    uint32_t base = gTimeBase.load();
    if (base == 0) {
        const uint32_t ts = time_getTimestamp();
        base = gTimeBase.compare_exchange_strong(base, ts) ? ts : base;
    }
    uint32_t next = 0;
    for (uint32_t at = 0; length - at >= AWM_UPN_INSTR && program[at] != AWM_UPN_END; at += AWM_UPN_INSTR) {
        const uint8_t op = program[at];
        const uint32_t need = cellsOf(op);
        // Only the cells that exist: a smaller array leaves the later instructions without state.
        if (need == 0 || memory->cells == nullptr || memory->count - next < need) continue;
        awm_man_cell_t* c = memory->cells + next;
        next += need;
        for (uint32_t i = 0; i < need; ++i) c[i] = 0; // 0.0, 0 and flag 0 alike
        if (op == 0xA5) set<uint32_t>(c, base);
    }
    awm_man_mem_init(memory);
}

void awm_man_mem_init(awm_man_upn_mem* memory) {
    if (memory != nullptr) memory->last = 0.0;
}

double awm_man_conv2double(uint32_t raw, uint16_t type) {
    switch (type) {
    case 0:
        return double(static_cast<int8_t>(raw & 0xFFu));
    case 1:
    case 7:
        return double(raw & 0xFFu);
    case 2:
        return double(static_cast<int16_t>(raw & 0xFFFFu));
    case 3:
        return double(raw & 0xFFFFu);
    case 4:
        return double(static_cast<int32_t>(raw));
    case 5:
        return double(raw);
    case 6: {
        float f;
        std::memcpy(&f, &raw, sizeof f);
        return double(f);
    }
    default:
        return 0.0;
    }
}

int checkNaN(double x) {
    return std::isfinite(x) ? 0 : 1;
}

uint32_t awm_man_upn_timebase() {
    return gTimeBase.load();
}
