// The RPN evaluator: golden results by opcode family, the stack's limits, the stateful opcodes
// over sequences of evaluations, and the cell arithmetic when a program has fewer cells than it
// needs.
#include "calc/awm_upn.h"

#include "calc_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

using calctest::prog;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// "01 07000000 FF" -> bytes; spaces anywhere.
double eval(const std::vector<uint8_t>& p, double in1 = 0, double in2 = 0, double in3 = 0, double in4 = 0) {
    return awm_man_upn_calc(p.data(), uint16_t(p.size()), 0, nullptr, 0, 0, in1, in2, in3, in4, 1);
}

// A channel as the manager keeps one: cells from memsize, init, first flag, previous stamp.
class Channel {
public:
    explicit Channel(const std::string& hex, int cells = -1) : p_(prog(hex)) {
        const uint16_t n = cells < 0 ? awm_man_upn_memsize(p_.data(), uint16_t(p_.size())) : uint16_t(cells);
        cells_ = std::make_unique<awm_man_cell_t[]>(n); // exactly n: a cell beyond shows under ASan
        mem_.cells = n ? cells_.get() : nullptr;
        mem_.count = n;
        awm_man_upn_init(p_.data(), uint16_t(p_.size()), &mem_);
    }
    double step(uint32_t now, double in1 = 0, double in2 = 0, double in3 = 0) {
        const double r =
            awm_man_upn_calc(p_.data(), uint16_t(p_.size()), 0, &mem_, prev_, now, in1, in2, in3, 0, first_);
        mem_.last = r;
        prev_ = now;
        first_ = 0;
        return r;
    }

private:
    std::vector<uint8_t> p_;
    std::unique_ptr<awm_man_cell_t[]> cells_;
    awm_man_upn_mem mem_;
    uint32_t prev_ = 0;
    uint8_t first_ = 1;
};

struct Golden {
    const char* program;
    double expect;
    double in1 = 0, in2 = 0;
};

void expectSame(double got, double want, const std::string& what) {
    if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got)) << what << " gives " << got;
    else
        EXPECT_EQ(got, want) << what;
}

} // namespace

TEST(UpnEvaluator, GoldenResultsByOpcodeFamily) {
    const Golden table[] = {
        // constants and inputs
        {"00 0000C03F FF", 1.5},
        {"01 FDFFFFFF FF", -3},
        {"02 FFFFFFFF FF", 4294967295.0},
        {"03 00010000 FF", 1},
        {"03 00000000 FF", 0},
        {"10 00000000 11 00000000 41 00000000 FF", 2.5, 3.0, 0.5},
        // arithmetic
        {"01 05000000 01 03000000 41 00000000 FF", 2},
        {"01 06000000 01 07000000 42 00000000 FF", 42},
        {"01 00000000 01 00000000 43 00000000 FF", 0},
        {"01 01000000 01 00000000 43 00000000 FF", kInf},
        {"01 07000000 01 03000000 44 00000000 FF", 1},
        {"01 F9FFFFFF 01 03000000 44 00000000 FF", 2},
        {"01 07000000 01 FDFFFFFF 44 00000000 FF", -2},
        {"01 07000000 01 00000000 44 00000000 FF", 7},
        {"01 00000000 01 03000000 44 00000000 FF", 0},
        {"01 04000000 45 00000000 FF", -4},
        // logic on R(x): 0.4 counts as 0, 0.5 as 1
        {"00 CDCCCC3E 00 CDCCCC3E 50 00000000 FF", 0},
        {"00 0000003F 01 00000000 50 00000000 FF", 1},
        {"00 0000003F 01 01000000 51 00000000 FF", 1},
        {"01 01000000 01 01000000 52 00000000 FF", 0},
        {"00 CDCCCC3E 53 00000000 FF", 1},
        // bitwise on R(x)
        {"01 05000000 01 02000000 60 00000000 FF", 7},
        {"01 06000000 01 03000000 61 00000000 FF", 2},
        {"01 06000000 01 03000000 8D 00000000 FF", 2},
        {"01 06000000 01 03000000 62 00000000 FF", 5},
        {"01 00000000 63 00000000 FF", -1},
        // R saturates: 10^300 counts as INT32_MAX; NaN counts as 0
        {"01 0A000000 01 2C010000 89 00000000 63 00000000 FF", -2147483648.0},
        {"01 FFFFFFFF 8B 00000000 53 00000000 FF", 1},
        // comparisons, NaN (sqrt of -1) compares unequal and not ordered
        {"01 02000000 01 02000000 70 00000000 FF", 1},
        {"01 02000000 01 03000000 73 00000000 FF", 0},
        {"01 02000000 01 03000000 75 00000000 FF", 1},
        {"01 FFFFFFFF 8B 00000000 01 FFFFFFFF 8B 00000000 70 00000000 FF", 0},
        {"01 FFFFFFFF 8B 00000000 01 00000000 71 00000000 FF", 1},
        {"01 FFFFFFFF 8B 00000000 01 00000000 74 00000000 FF", 0},
        // maximum and minimum: b when either is NaN
        {"01 03000000 01 05000000 87 00000000 FF", 5},
        {"01 03000000 01 05000000 88 00000000 FF", 3},
        {"01 FFFFFFFF 8B 00000000 01 05000000 87 00000000 FF", 5},
        {"01 05000000 01 FFFFFFFF 8B 00000000 88 00000000 FF", kNaN},
        // functions
        {"01 02000000 01 0A000000 89 00000000 FF", 1024},
        {"01 10000000 8B 00000000 FF", 4},
        {"01 F9FFFFFF 80 00000000 FF", 7},
        {"01 00000000 84 00000000 FF", 1},
        {"01 01000000 85 00000000 FF", 0},
        {"01 E8030000 86 00000000 FF", 3},
        {"01 00000000 85 00000000 FF", -kInf},
        // unknown opcodes are skipped; the walk ends at FF
        {"01 02000000 20 00000000 FF 01 09000000", 2},
    };
    for (const Golden& g : table) expectSame(eval(prog(g.program), g.in1, g.in2), g.expect, g.program);

    // A length of 12 runs two instructions; the last 2 bytes are not one.
    const auto twelve = prog("01 02000000 01 03000000 41 00");
    EXPECT_EQ(awm_man_upn_calc(twelve.data(), 12, 0, nullptr, 0, 0, 0, 0, 0, 0, 1), 3);
    EXPECT_EQ(awm_man_upn_calc(nullptr, 100, 0, nullptr, 0, 0, 0, 0, 0, 0, 1), 0);
    EXPECT_EQ(awm_man_upn_calc(twelve.data(), 4, 0, nullptr, 0, 0, 0, 0, 0, 0, 1), 0);
}

TEST(UpnEvaluator, StackDropsThe22ndPushAndAnEmptyStackGivesSlotZero) {
    std::string pushes;
    for (int i = 1; i <= 22; ++i) {
        char instr[16];
        std::snprintf(instr, sizeof instr, "01 %02X000000 ", i);
        pushes += instr;
    }
    // The 22nd value is dropped: the result pops the 21st.
    EXPECT_EQ(eval(prog(pushes + "FF")), 21);
    // 20 additions sum what is held; a 21st pops the sum, then slot 0 (which holds the sum): 2 x 231.
    std::string adds = pushes;
    for (int i = 0; i < 21; ++i) adds += "40 00000000 ";
    EXPECT_EQ(eval(prog(adds + "FF")), 462);
    // An empty program gives what slot 0 of the shared stack holds, not 0.
    EXPECT_EQ(eval(prog("01 2A000000 FF")), 42);
    EXPECT_EQ(eval(prog("FF 00000000")), 42);
}

TEST(UpnEvaluator, StatefulOpcodesOverSequencesOfEvaluations) {
    struct Step {
        uint32_t now;
        double in1, in2, in3, expect;
    };
    struct Case {
        const char* what;
        const char* program;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"A0 derivative: 0 on the first evaluation",
         "10 00000000 A0 00000000 FF",
         {{1000, 5, 0, 0, 0}, {2000, 7, 0, 0, 20}, {12000, 7, 0, 0, 0}}},
        {"A1 difference",
         "10 00000000 A1 00000000 FF",
         {{1000, 5, 0, 0, 0}, {1100, 8, 0, 0, 3}, {1200, 6, 0, 0, -2}}},
        {"A2 integral with reset, non-finite input held",
         "10 00000000 11 00000000 A2 00000000 FF",
         {{1000, 2, 0, 0, 0},
          {11000, 2, 0, 0, 2},
          {21000, kInf, 0, 0, 2},
          {31000, 3, 0, 0, 5},
          {41000, 3, 1, 0, 0}}},
        {"A3 own last output",
         "A3 00000000 01 01000000 40 00000000 FF",
         {{10, 0, 0, 0, 1}, {20, 0, 0, 0, 2}}},
        {"A4 step time", "A4 00000000 FF", {{1000, 0, 0, 0, 0}, {1500, 0, 0, 0, 0.05}}},
        {"A5 time since trigger",
         "10 00000000 A5 00000000 FF",
         {{5000, 1, 0, 0, 0}, {7000, 0, 0, 0, 0.2}, {9000, 1, 0, 0, 0}}},
        {"A6 counter: count and reset both set gives 0",
         "10 00000000 11 00000000 A6 00000000 FF",
         {{1, 1, 0, 0, 1}, {2, 1, 0, 0, 2}, {3, 0, 0, 0, 2}, {4, 1, 1, 0, 0}, {5, 1, 0, 0, 1}}},
        {"A7 sample and hold",
         "10 00000000 11 00000000 A7 00000000 FF",
         {{1, 4, 1, 0, 4}, {2, 9, 0, 0, 4}, {3, kNaN, 1, 0, 4}, {4, 9, 1, 0, 9}}},
        {"A8 toggle", "10 00000000 A8 00000000 FF", {{1, 1, 0, 0, 1}, {2, 0, 0, 0, 1}, {3, 1, 0, 0, 0}}},
        {"A9 rising edge",
         "10 00000000 03 01000000 A9 00000000 FF",
         {{1, 1, 0, 0, 0}, {2, 0, 0, 0, 0}, {3, 1, 0, 0, 1}, {4, 1, 0, 0, 0}}},
        {"A9 falling edge",
         "10 00000000 03 00000000 A9 00000000 FF",
         {{1, 1, 0, 0, 0}, {2, 0, 0, 0, 1}, {3, 0, 0, 0, 0}}},
        {"AA low-pass, cut-off 0 counts as 0.01 Hz",
         "10 00000000 11 00000000 AA 00000000 FF",
         {{1000, 10, 0, 0, 10},
          {2000, 20, 0, 0, 10.062439533909554},
          {3000, kNaN, 0, 0, 10.062439533909554}}},
        {"AA low-pass at 1 Hz",
         "10 00000000 11 00000000 AA 00000000 FF",
         {{1000, kInf, 1, 0, 0}, {2000, 10, 1, 0, 3.858695450942988}}},
        {"AB ratio of peaks above threshold 1",
         "10 00000000 11 00000000 12 00000000 01 01000000 AB 00000000 FF",
         {{1, 5, 5, 0, 0},
          {2, 4, 2, 0, 66.66666666666667},
          {3, 0.5, 0.5, 0, 66.66666666666667},
          {4, 2, 6, 0, 25},
          {5, 9, 9, 1, 25}}},
    };
    for (const Case& c : cases) {
        Channel ch(c.program);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            const double got = ch.step(s.now, s.in1, s.in2, s.in3);
            EXPECT_NEAR(got, s.expect, 1e-12) << c.what << ", evaluation " << i + 1;
        }
    }
}

TEST(UpnEvaluator, CellsAreCountedAndAnInstructionWithoutEnoughCellsGivesZero) {
    struct Size {
        const char* program;
        uint16_t cells;
    };
    const Size sizes[] = {
        {"A0 00000000 A1 00000000 A2 00000000 A3 00000000 A4 00000000 A5 00000000 A6 00000000 A7 00000000 "
         "A8 00000000 A9 00000000 AA 00000000 AB 00000000 FF",
         12},
        {"AB 00000000 FF AB 00000000", 3},
        {"A0 0000", 0},
    };
    for (const Size& s : sizes) {
        const auto p = prog(s.program);
        EXPECT_EQ(awm_man_upn_memsize(p.data(), uint16_t(p.size())), s.cells) << s.program;
    }
    EXPECT_EQ(awm_man_upn_memsize(nullptr, 100), 0);

    // 0xAB needs three cells: with two it gives 0 and leaves them to the counter after it.
    for (int cells : {1, 2}) {
        Channel ch("03 01000000 03 01000000 03 01000000 01 00000000 AB 00000000 "
                   "03 01000000 03 00000000 A6 00000000 40 00000000 FF",
                   cells);
        EXPECT_EQ(ch.step(10), 1) << cells << " cells";
        EXPECT_EQ(ch.step(20), 2) << cells << " cells";
    }
    // No cells at all: every stateful instruction gives 0; the last result needs no cell.
    Channel none("03 01000000 03 00000000 A6 00000000 A3 00000000 40 00000000 01 01000000 40 00000000 FF", 0);
    EXPECT_EQ(none.step(10), 1);
    EXPECT_EQ(none.step(20), 2);
}

TEST(UpnEvaluator, RawValuesConvertByTypeCode) {
    struct Conv {
        uint32_t raw;
        uint16_t type;
        double expect;
    };
    const Conv table[] = {{0x1FF, 0, -1},       {0x1FF, 1, 255},     {0x18000, 2, -32768},
                          {0x1FFFF, 3, 65535},  {0xFFFFFFFF, 4, -1}, {0xFFFFFFFF, 5, 4294967295.0},
                          {0x3FC00000, 6, 1.5}, {0x101, 7, 1},       {5, 8, 0}};
    for (const Conv& c : table) EXPECT_EQ(awm_man_conv2double(c.raw, c.type), c.expect) << c.type;
    EXPECT_EQ(checkNaN(kNaN), 1);
    EXPECT_EQ(checkNaN(-kInf), 1);
    EXPECT_EQ(checkNaN(1e308), 0);
}

// A channel runs its program decoded at set-up. Random programs (every opcode, constants that are
// NaN, infinite or negative, pushes beyond the stack and pops beyond its bottom, lengths that end
// inside an instruction, too few cells or none, repeated time stamps) evaluated both ways from the
// same shared stack give the same bits: result, slot 0 of the stack, cells and last result.
TEST(UpnEvaluator, DecodedProgramsGiveTheWalksBitsExactly) {
    std::mt19937 rng(31);
    const uint8_t ops[] = {0x00, 0x01, 0x02, 0x03, 0x10, 0x11, 0x12, 0x13, 0x40, 0x41, 0x42, 0x43,
                           0x44, 0x45, 0x50, 0x51, 0x52, 0x53, 0x60, 0x61, 0x62, 0x63, 0x70, 0x71,
                           0x72, 0x73, 0x74, 0x75, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
                           0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                           0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0x20, 0xFF};
    const uint32_t operands[] = {0x7FC00000u, 0x7F800000u, 0xFF800000u, 0xC0490FDBu, 0x3F000000u,
                                 0u,          1u,          0xFFFFFFFFu, 0x80000000u, 7u};
    const double inputs[] = {0.0, -0.0, 1.0, -2.5, 0.5, 1e300, kNaN, kInf, -kInf, 3.0};
    auto bits = [](double d) {
        uint64_t b;
        std::memcpy(&b, &d, sizeof b);
        return b;
    };
    // Slot 0 of the shared stack: what an empty program gives; set by a program that pushes in1.
    const auto empty = prog("FF");
    auto slot0 = [&] { return awm_man_upn_calc(empty.data(), 5, 0, nullptr, 0, 0, 0, 0, 0, 0, 1); };
    const auto pushIn1 = prog("10 00000000 FF");
    auto setSlot0 = [&](double v) { awm_man_upn_calc(pushIn1.data(), 10, 0, nullptr, 0, 0, v, 0, 0, 0, 1); };
    for (int n = 0; n < 3000; ++n) {
        std::vector<uint8_t> p;
        // Mostly pushes for deep stacks, mostly operations for pops from an empty one.
        const int pushBias = n % 3 == 0 ? 14 : 0;
        const int instructions = 1 + int(rng() % 40);
        for (int i = 0; i < instructions; ++i) {
            uint8_t op = ops[rng() % sizeof ops];
            if (op == 0xFF && rng() % 4) op = 0x40;
            if (int(rng() % 16) < pushBias) op = uint8_t(rng() % 2 ? 0x00 : 0x10 + rng() % 4);
            const uint32_t v = operands[rng() % (sizeof operands / sizeof operands[0])];
            p.insert(p.end(), {op, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
        }
        const uint16_t length = uint16_t(p.size() - rng() % 5);
        const uint16_t need = awm_man_upn_memsize(p.data(), length);
        const int cells = rng() % 4 == 0 ? 0 : int(need) - int(rng() % 2);
        awm_man_upn_prog decoded;
        awm_man_upn_decode(p.data(), length, &decoded);
        std::vector<awm_man_cell_t> cellsA(std::max(cells, 1)), cellsB(cellsA.size());
        awm_man_upn_mem a, b;
        a.cells = cells > 0 ? cellsA.data() : nullptr;
        b.cells = cells > 0 ? cellsB.data() : nullptr;
        a.count = b.count = uint32_t(std::max(cells, 0));
        awm_man_upn_init(p.data(), length, &a);
        awm_man_upn_init(p.data(), length, &b);
        uint32_t previous = 0;
        for (int e = 0; e < 4; ++e) {
            const uint32_t now = previous + uint32_t(rng() % 3) * 500; // equal stamps: dt 0
            double in[4];
            for (double& x : in) x = inputs[rng() % (sizeof inputs / sizeof inputs[0])];
            const double before = inputs[rng() % (sizeof inputs / sizeof inputs[0])];
            const uint8_t first = e == 0;
            setSlot0(before);
            const double walked =
                awm_man_upn_calc(p.data(), length, 0, &a, previous, now, in[0], in[1], in[2], in[3], first);
            const double walkedSlot0 = slot0();
            setSlot0(before);
            const double run = awm_man_upn_run(decoded, &b, previous, now, in[0], in[1], in[2], in[3], first);
            const std::string what = "program " + std::to_string(n) + ", evaluation " + std::to_string(e);
            ASSERT_EQ(bits(run), bits(walked)) << what;
            ASSERT_EQ(bits(slot0()), bits(walkedSlot0)) << what;
            ASSERT_EQ(cellsA, cellsB) << what;
            a.last = walked;
            b.last = run;
            previous = now;
        }
    }
    awm_man_upn_prog none;
    awm_man_upn_decode(nullptr, 100, &none);
    EXPECT_EQ(awm_man_upn_run(none, nullptr, 0, 0, 1, 1, 1, 1, 1), 0.0);
}
