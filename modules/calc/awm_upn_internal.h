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

inline double truth(bool b) {
    return b ? 1.0 : 0.0;
}

// The value a constant instruction (0x00-0x03) pushes: its little-endian operand as a float, a
// signed or an unsigned 32-bit integer, or as a truth value.
inline double constantOf(const uint8_t* instr) {
    const uint32_t operand =
        uint32_t(instr[1]) | uint32_t(instr[2]) << 8 | uint32_t(instr[3]) << 16 | uint32_t(instr[4]) << 24;
    switch (instr[0]) {
    case 0x00: {
        float f;
        std::memcpy(&f, &operand, sizeof f);
        return double(f);
    }
    case 0x01:
        return double(static_cast<int32_t>(operand));
    case 0x02:
        return double(operand);
    default:
        return truth(operand != 0);
    }
}

// Operands a stateless opcode pops: 2 for the binary operations, 1 for the unary ones, 0 for the
// constants, the inputs and every opcode that is not one of them.
inline int stackOperandsOf(uint8_t op) {
    if ((op >= 0x40 && op <= 0x44) || (op >= 0x50 && op <= 0x52) || (op >= 0x60 && op <= 0x62) ||
        (op >= 0x70 && op <= 0x75) || op == 0x87 || op == 0x88 || op == 0x89 || op == 0x8D)
        return 2;
    if (op == 0x45 || op == 0x53 || op == 0x63 || (op >= 0x80 && op <= 0x8C)) return 1;
    return 0;
}

// The result of a stateless binary or unary opcode: b is the former top of the stack and a the
// value below it; a unary opcode works on a (b unused). Always inlined: called with a constant
// opcode, it folds to the one operation.
[[gnu::always_inline]] inline double apply(uint8_t op, double a, double b) {
    switch (op) {
    case 0x40:
        return a + b;
    case 0x41:
        return a - b;
    case 0x42:
        return a * b;
    case 0x43:
        return (a == 0.0 && b == 0.0) ? 0.0 : a / b;
    case 0x44: // the result takes the sign of b
        return b == 0.0 ? a : (a == 0.0 ? 0.0 : a - std::floor(a / b) * b);
    case 0x45:
        return -a;
    case 0x50:
        return truth(R(a) != 0 || R(b) != 0);
    case 0x51:
        return truth(R(a) != 0 && R(b) != 0);
    case 0x52:
        return truth((R(a) != 0) != (R(b) != 0));
    case 0x53:
        return truth(R(a) == 0);
    case 0x60:
        return double(R(a) | R(b));
    case 0x61:
    case 0x8D:
        return double(R(a) & R(b));
    case 0x62:
        return double(R(a) ^ R(b));
    case 0x63:
        return double(~R(a));
    case 0x70:
        return truth(a == b);
    case 0x71:
        return truth(a != b);
    case 0x72:
        return truth(a > b);
    case 0x73:
        return truth(a >= b);
    case 0x74:
        return truth(a < b);
    case 0x75:
        return truth(a <= b);
    case 0x80:
        return std::fabs(a);
    case 0x81:
        return std::acos(a);
    case 0x82:
        return std::asin(a);
    case 0x83:
        return std::atan(a);
    case 0x84:
        return std::cos(a);
    case 0x85:
        return std::log(a);
    case 0x86:
        return std::log10(a);
    case 0x87: // maximum; b when either is NaN
        return (a < b || std::isnan(a) || std::isnan(b)) ? b : a;
    case 0x88: // minimum; b when either is NaN
        return (a > b || std::isnan(a) || std::isnan(b)) ? b : a;
    case 0x89:
        return std::pow(a, b);
    case 0x8A:
        return std::sin(a);
    case 0x8B:
        return std::sqrt(a);
    case 0x8C:
        return std::tan(a);
    default:
        return 0.0;
    }
}

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
