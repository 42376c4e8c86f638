// The artwork: a dark grey ramp from the top, five start lights, a chequered band and a red stripe.
// It is coded row by row at start-up, so that only the picture's description lives in the source.
#include "display/pages/bootlogo.h"

#include <cstdint>
#include <vector>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
// Device palette indices.
constexpr uint8_t kBlack = 0;
constexpr uint8_t kRed = 9;
constexpr uint8_t kWhite = 15;
constexpr uint8_t kGreyRamp = 232; // 16 steps, black to white

uint8_t Pixel(int x, int y) {
    for (int light = 0; light < 5; ++light) {
        const int dx = x - (160 + 80 * light), dy = y - 120;
        const int d2 = dx * dx + dy * dy;
        if (d2 <= 22 * 22) return kRed;
        if (d2 <= 26 * 26) return kBlack;
    }
    if (y >= 208 && y < 240) return ((x / 16 + (y - 208) / 16) % 2) ? kWhite : kBlack;
    if (y >= 244 && y < 252) return kRed;
    return static_cast<uint8_t>(kGreyRamp + y * 6 / kHeight);
}

// Runs of three or more equal pixels as (count - 1, index), other pixels in literal groups
// ((count - 1) | 0x80, indices...), at most 128 pixels per control byte.
void EncodeRow(const uint8_t* row, std::vector<uint8_t>& out) {
    for (int x = 0; x < kWidth;) {
        int run = 1;
        while (x + run < kWidth && run < 128 && row[x + run] == row[x]) ++run;
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(run - 1));
            out.push_back(row[x]);
            x += run;
            continue;
        }
        int end = x;
        while (end < kWidth && end - x < 128 &&
               !(end + 2 < kWidth && row[end] == row[end + 1] && row[end] == row[end + 2]))
            ++end;
        if (end == x) end = x + 1;
        out.push_back(static_cast<uint8_t>((end - x - 1) | 0x80));
        out.insert(out.end(), row + x, row + end);
        x = end;
    }
}

GuiBitmap MakeBootLogo() {
    static std::vector<uint8_t> data;
    uint8_t row[kWidth];
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) row[x] = Pixel(x, y);
        EncodeRow(row, data);
    }
    return GuiBitmap{GUI_BMP_RLE, 8, kWidth, kHeight, 0, data.data()};
}

} // namespace

GuiBitmap gbBootLogoBitmap = MakeBootLogo();
