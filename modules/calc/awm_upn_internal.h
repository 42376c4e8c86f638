// Inside the RPN evaluator: the shared value stack, the rounding rule and the stateful opcodes.
#pragma once

#include "calc/awm_upn.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace awm_upn {

// The process's one value stack: its slots keep their values from one evaluation to the next.
double* stackSlots();

// The stack as one evaluation works on it: the shared slots and a depth that starts at 0.
struct Stack {
    double* v;
    uint32_t sp = 0;

    // A push onto a full stack is dropped.
    void push(double x) {
        if (sp < AWM_UPN_STACK) v[sp++] = x;
    }
    // A pop from an empty stack gives what slot 0 last held.
    double pop() { return sp == 0 ? v[0] : v[--sp]; }
};

// R(x): rounded half away from zero to a signed 32-bit integer, saturating; NaN gives 0.
inline int32_t R(double x) {
    if (std::isnan(x)) return 0;
    const double r = x > 0 ? x + 0.5 : x - 0.5;
    // Truncation of a value outside int32 is undefined in C++: saturate first.
    if (r >= 2147483648.0) return INT32_MAX;
    if (r <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(r);
}
// Cells an opcode uses (0 for every other opcode).
uint32_t cellsOf(uint8_t opcode);

// What the stateful opcodes of one evaluation share.
struct StateCtx {
    awm_man_upn_mem* memory = nullptr;
    awm_man_cell_t* cells = nullptr; // the next unused cell
    uint32_t left = 0;               // cells left
    uint32_t now = 0;
    uint8_t first = 0;
    bool dtValid = false;
    double dt = 0.0; // seconds since the previous evaluation
};

// Operands a stateful opcode pops (0xA0-0xAB).
inline int operandsOf(uint8_t op) {
    switch (op) {
    case 0xA3:
    case 0xA4:
        return 0;
    case 0xA0:
    case 0xA1:
    case 0xA5:
    case 0xA8:
        return 1;
    case 0xAB:
        return 4;
    default: // 0xA2, 0xA6, 0xA7, 0xA9, 0xAA
        return 2;
    }
}

// The result of a stateful opcode (0xA0-0xAB) on its popped operands, v[0] the former top.
double stateful(uint8_t op, const double* v, StateCtx& st);

// A cell's value as its opcode keeps it (double, u32 or u8), in the cell's first bytes.
template <typename T> T get(const awm_man_cell_t* c) {
    T v;
    std::memcpy(&v, c, sizeof v);
    return v;
}
template <typename T> void set(awm_man_cell_t* c, T v) {
    std::memcpy(c, &v, sizeof v);
}

} // namespace awm_upn
