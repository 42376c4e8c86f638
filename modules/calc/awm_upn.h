// The RPN evaluator of the formula (0x10) and condition-function (0x11) channels.
//
// A program is a byte area of 5-byte instructions: an opcode and a little-endian 4-byte operand
// (read by the constant opcodes 0x00-0x03 only). The walk ends at opcode 0xFF or when fewer than
// 5 bytes of the length remain; opcodes it does not know are skipped. Values live on one value
// stack of 21 doubles shared by the whole process: evaluations run one at a time, in the
// calculation task (and in tests). The stateful opcodes 0xA0-0xAB keep their state in 8-byte
// cells that the channel owns, one or three per instruction in program order.
//
// Arithmetic is plain IEEE double with the C library's functions (the module is built without
// contraction of multiply-add and without fast-math, so results are the same everywhere).
#pragma once

#include <cstdint>
#include <vector>

// One 8-byte state cell: a double, a u32 time stamp or counter, or a u8 state, as its opcode
// uses it (stored in the cell's first bytes).
using awm_man_cell_t = uint64_t;

// The evaluator memory of one program, owned by its channel.
struct awm_man_upn_mem {
    double last = 0.0;               // the channel's previous result (opcode 0xA3)
    awm_man_cell_t* cells = nullptr; // state cells in program order
    uint32_t count = 0;              // cells in the array
};

inline constexpr uint32_t AWM_UPN_INSTR = 5;
inline constexpr uint32_t AWM_UPN_STACK = 21;
inline constexpr uint8_t AWM_UPN_END = 0xFF;

// Evaluates the program once. `first` is 1 on the first evaluation after set-up; `previous` is
// the time stamp (100 us) of the channel's previous evaluation, 0 before the first. A null
// program or a length below 5 gives 0.0; a null memory means no cells (every stateful opcode
// then gives 0).
double awm_man_upn_calc(const uint8_t* program, uint16_t length, uint16_t ignored, awm_man_upn_mem* memory,
                        uint32_t previous, uint32_t now, double in1, double in2, double in3, double in4,
                        uint8_t first);
// One operation of a decoded program. Its operands and its result are places of the program's
// frame: the stack slots, the inputs and the constants.
struct awm_man_upn_op {
    uint8_t code = 0;     // the opcode; 0x00 copies a constant or an input into stack slot 0
    uint16_t dst = 0;     // where the result goes
    uint16_t src[4] = {}; // where the operands come from, in the order they are popped
};

// A program decoded once, when its channel is set up. The walk of a program has no branches, so
// what every stack slot holds at every instruction follows from the program alone: constants and
// inputs are read where they are instead of being pushed, and each operation reads and writes
// fixed places. Evaluating it gives bit for bit what awm_man_upn_calc gives for the program's
// bytes, the shared stack's slot 0 and the cells included.
struct awm_man_upn_prog {
    std::vector<awm_man_upn_op> ops;
    std::vector<double> frame; // stack slots, a slot for dropped pushes, the inputs, the constants
    uint16_t result = 0;       // the place of the final pop
    bool none = true;          // a null program or a length below 5: evaluates to 0.0
};

// Decodes the program's bytes (what awm_man_upn_calc walks) into `out`.
void awm_man_upn_decode(const uint8_t* program, uint16_t length, awm_man_upn_prog* out);
// awm_man_upn_calc on the decoded program. Uses the program's frame: evaluations of one program
// run one at a time, as all evaluations do.
double awm_man_upn_run(awm_man_upn_prog& program, awm_man_upn_mem* memory, uint32_t previous, uint32_t now,
                       double in1, double in2, double in3, double in4, uint8_t first);

// Cells the program needs: 1 per 0xA0-0xAA (0xA3 and 0xA4 excepted), 3 per 0xAB.
uint16_t awm_man_upn_memsize(const uint8_t* program, uint16_t length);
// Initial state of the cells in program order, then last result 0.0.
void awm_man_upn_init(const uint8_t* program, uint16_t length, awm_man_upn_mem* memory);
// Last result 0.0.
void awm_man_mem_init(awm_man_upn_mem* memory);
// A raw value by its raw data type code (0 s8, 1 u8, 2 s16, 3 u16, 4 s32, 5 u32, 6 f32, 7 flag);
// any other code gives 0.0.
double awm_man_conv2double(uint32_t raw, uint16_t type);
// 1 for an infinity or NaN, else 0.
int checkNaN(double x);

// The process's time base (time stamp of the first initialisation that needed it; 0 before).
uint32_t awm_man_upn_timebase();
