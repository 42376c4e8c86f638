// The RPN evaluator on arbitrary programs: byte 0 gives the program length (0 to 100), byte 1 how
// many of the cells the program needs it gets (all of them or fewer, none at all), byte 2 how many
// evaluations run; the program follows, then per evaluation a time stamp and four inputs. The
// cells are an array of exactly that size, so any access beyond them shows.
#include "calc/awm_upn.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), left_(size) {}
    template <typename T> T take() {
        T v{};
        const size_t n = std::min(sizeof v, left_);
        std::memcpy(&v, p_, n);
        p_ += n;
        left_ -= n;
        return v;
    }
    const uint8_t* take(size_t n, size_t* got) {
        *got = std::min(n, left_);
        const uint8_t* at = p_;
        p_ += *got;
        left_ -= *got;
        return at;
    }

private:
    const uint8_t* p_;
    size_t left_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const size_t wanted = in.take<uint8_t>() % 101;
    const uint8_t cellChoice = in.take<uint8_t>();
    const int evaluations = 1 + in.take<uint8_t>() % 8;
    size_t length = 0;
    const uint8_t* bytes = in.take(wanted, &length);
    // The program in an array of its own length, so a read beyond it shows too.
    std::unique_ptr<uint8_t[]> program(new uint8_t[length ? length : 1]);
    if (length) std::memcpy(program.get(), bytes, length);

    const uint16_t needed = awm_man_upn_memsize(program.get(), uint16_t(length));
    const uint16_t cells = cellChoice == 0xFF ? 0 : uint16_t(needed - cellChoice % (needed + 1));
    std::unique_ptr<awm_man_cell_t[]> array(cells ? new awm_man_cell_t[cells]() : nullptr);
    awm_man_upn_mem mem;
    mem.cells = array.get();
    mem.count = cells;
    awm_man_upn_init(program.get(), uint16_t(length), &mem);

    uint32_t previous = 0;
    for (int i = 0; i < evaluations; ++i) {
        const uint32_t now = in.take<uint32_t>();
        const double a = in.take<double>(), b = in.take<double>(), c = in.take<double>(),
                     d = in.take<double>();
        awm_man_upn_mem* m = (cellChoice & 0x80) && i == evaluations - 1 ? nullptr : &mem;
        mem.last = awm_man_upn_calc(program.get(), uint16_t(length), 0, m, previous, now, a, b, c, d, i == 0);
        previous = now;
    }
    return 0;
}
