// The stateful opcodes of the RPN evaluator: derivative, difference, integral, own last output,
// step time, time since trigger, counter, sample and hold, toggle, edge, low-pass, ratio of
// peaks. Each runs only when as many cells are left as it uses (otherwise it gives 0 and the cells
// stay for later instructions).
#include "calc/awm_upn_internal.h"

#include <cmath>

namespace awm_upn {
namespace {

constexpr double kTwoPi = 6.28318530716;
constexpr double kMinCutOff = 0.01;

double lowPass(double x, double f, awm_man_cell_t* c, const StateCtx& st) {
    double alpha = 1.0;
    if (st.dtValid) {
        const double fc = f < kMinCutOff ? kMinCutOff : f;
        alpha = st.dt / (st.dt + 1.0 / (fc * kTwoPi));
    }
    if (st.first == 1) {
        set<double>(c, std::isfinite(x) ? x : 0.0);
    } else {
        if (alpha < 0.0)
            alpha = 0.0;
        else if (alpha > 1.0)
            alpha = 1.0;
        if (std::isfinite(x)) {
            const double cell = get<double>(c);
            set<double>(c, cell + alpha * (x - cell));
        }
    }
    return get<double>(c);
}

// Cells: peak A, peak B, above-threshold flag.
double ratioOfPeaks(double a, double b, double hold, double threshold, awm_man_cell_t* c,
                    const StateCtx& st) {
    if (st.first == 1) {
        set<double>(&c[0], threshold);
        set<double>(&c[1], threshold);
        set<uint8_t>(&c[2], 0);
        return 0.0;
    }
    const bool above = a > threshold && b > threshold;
    if (R(hold) == 0 && above) {
        if (get<uint8_t>(&c[2]) == 0) { // a new period above the threshold begins
            set<double>(&c[0], threshold);
            set<double>(&c[1], threshold);
        }
        if (get<double>(&c[0]) < a) set<double>(&c[0], a);
        if (get<double>(&c[1]) < b) set<double>(&c[1], b);
        set<uint8_t>(&c[2], 1);
    } else {
        set<uint8_t>(&c[2], above ? 1 : 0);
    }
    const double pa = get<double>(&c[0]);
    return pa == 0.0 ? 0.0 : 100.0 * pa / (pa + get<double>(&c[1]));
}

} // namespace

double stateful(uint8_t op, const double* v, StateCtx& st) {
    if (op == 0xA3) return st.memory ? st.memory->last : 0.0;
    if (op == 0xA4) return st.dtValid ? st.dt : 0.0;
    const uint32_t need = cellsOf(op);
    if (st.cells == nullptr || st.left < need) return 0.0;
    awm_man_cell_t* c = st.cells;
    st.cells += need;
    st.left -= need;

    double r = 0.0;
    switch (op) {
    case 0xA0: // derivative
        r = st.dtValid ? (v[0] - get<double>(c)) / st.dt : 0.0;
        set<double>(c, v[0]);
        break;
    case 0xA1: // difference
        r = st.first == 0 ? v[0] - get<double>(c) : 0.0;
        set<double>(c, v[0]);
        break;
    case 0xA2: // integral of v[1], reset v[0]
        if (std::isfinite(v[1]) && st.dtValid) set<double>(c, get<double>(c) + st.dt * v[1]);
        if (R(v[0]) != 0) set<double>(c, 0.0);
        r = get<double>(c);
        break;
    case 0xA5: // time since trigger
        if (R(v[0]) != 0) set<uint32_t>(c, st.now);
        r = (double(st.now) - double(get<uint32_t>(c))) * 0.0001;
        break;
    case 0xA6: { // counter of v[1], reset v[0]
        uint32_t count = get<uint32_t>(c);
        if (R(v[1]) != 0) ++count;
        if (R(v[0]) != 0) count = 0;
        set<uint32_t>(c, count);
        r = double(count);
        break;
    }
    case 0xA7: // sample v[1] while v[0]
        if (std::isfinite(v[1]) && R(v[0]) != 0) set<double>(c, v[1]);
        r = get<double>(c);
        break;
    case 0xA8: // toggle
        if (R(v[0]) != 0) set<uint8_t>(c, uint8_t(1 - get<uint8_t>(c)));
        r = double(get<uint8_t>(c));
        break;
    case 0xA9: { // edge of v[1], rising when v[0]
        const uint8_t high = R(v[1]) != 0 ? 1 : 0;
        if (st.first == 1) set<uint8_t>(c, high);
        const uint8_t was = get<uint8_t>(c);
        r = R(v[0]) != 0 ? double(high == 1 && was == 0) : double(high == 0 && was == 1);
        set<uint8_t>(c, high);
        break;
    }
    case 0xAA:
        r = lowPass(v[1], v[0], c, st);
        break;
    default: // 0xAB
        r = ratioOfPeaks(v[3], v[2], v[1], v[0], c, st);
        break;
    }
    return r;
}

} // namespace awm_upn
