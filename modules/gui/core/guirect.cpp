#include "gui/core/guirect.h"

#include <algorithm>

namespace {
inline int16_t w16(int v) {
    return static_cast<int16_t>(v);
}
} // namespace

void GuiRect::Set(int l, int t, int r, int b) {
    left = w16(l);
    top = w16(t);
    right = w16(r);
    bottom = w16(b);
}

void GuiRect::MoveTo(int x, int y) {
    right = w16(right - left + x);
    bottom = w16(bottom - top + y);
    left = w16(x);
    top = w16(y);
}

void GuiRect::Shift(int dx, int dy) {
    Set(left + dx, top + dy, right + dx, bottom + dy);
}

GuiRect& GuiRect::operator&=(const GuiRect& o) {
    left = std::max(left, o.left);
    top = std::max(top, o.top);
    right = std::min(right, o.right);
    bottom = std::min(bottom, o.bottom);
    return *this;
}

GuiRect GuiRect::operator&(const GuiRect& o) const {
    GuiRect r = *this;
    r &= o;
    return r;
}

GuiRect& GuiRect::operator|=(const GuiRect& o) {
    left = std::min(left, o.left);
    top = std::min(top, o.top);
    right = std::max(right, o.right);
    bottom = std::max(bottom, o.bottom);
    return *this;
}

GuiRect& GuiRect::operator^=(const GuiRect& o) {
    const int l1 = left, t1 = top, r1 = right, b1 = bottom;
    const int l2 = o.left, t2 = o.top, r2 = o.right, b2 = o.bottom;
    if (r1 < l2 || l1 > r2 || t1 > b2 || b1 < t2) return *this;

    if (l1 >= l2 && r1 <= r2) { // within the other's columns
        if (t1 < t2)
            bottom = w16(t2 - 1);
        else if (b1 > b2)
            top = w16(b2 + 1);
        else
            top = w16(b1 + 1); // covered
    } else if (t1 >= t2) {
        if (l1 < l2)
            right = w16(l2 - 1);
        else
            left = w16(r2 + 1);
    } else {
        // Starts above the other and sticks out on one side: keep the larger of the two pieces.
        const long long topPiece = static_cast<long long>(t2 - t1) * (r1 - l1 + 1);
        if (l1 <= l2) {
            const long long leftPiece = static_cast<long long>(l2 - l1) * (b1 - t1 + 1);
            if (topPiece <= leftPiece)
                right = w16(l2 - 1);
            else
                bottom = w16(t2 - 1);
        } else {
            const long long rightPiece = static_cast<long long>(r1 - r2) * (b1 - t1 + 1);
            if (topPiece <= rightPiece)
                left = w16(r2 + 1);
            else
                bottom = w16(t2 - 1);
        }
    }
    return *this;
}

GuiRect GuiRect::operator+(GuiPoint p) const {
    GuiRect r = *this;
    r.Shift(p.x, p.y);
    return r;
}

GuiRect& GuiRect::operator++() {
    return *this += 1;
}

GuiRect& GuiRect::operator+=(int n) {
    Set(left - n, top - n, right + n, bottom + n);
    return *this;
}

GuiRect& GuiRect::operator--() {
    return *this -= 1;
}

GuiRect& GuiRect::operator-=(int n) {
    Set(left + n, top + n, right - n, bottom - n);
    if (left > right) right = left;
    if (bottom < top) bottom = top;
    return *this;
}

const int32_t GuiSinCosTable[91] = {
    0,   18,  36,   54,   71,   89,   107,  125,  143,  160,  178,  195,  213,  230,  248, 265, 282, 299, 316,
    333, 350, 367,  384,  400,  416,  433,  449,  465,  481,  496,  512,  527,  543,  558, 573, 587, 602, 616,
    630, 644, 658,  672,  685,  698,  711,  724,  736,  748,  761,  772,  784,  796,  807, 818, 828, 838, 849,
    859, 868, 878,  887,  896,  904,  912,  920,  928,  935,  942,  949,  956,  962,  968, 974, 979, 984, 989,
    994, 998, 1002, 1005, 1008, 1011, 1014, 1016, 1018, 1020, 1021, 1022, 1023, 1024, 1024};

void GuiLookupSinCos(int angle, int* sinOut, int* cosOut) {
    const int* T = GuiSinCosTable;
    // Reduction by remainder gives the same values as stepping by 360 and 90, for any angle.
    const int a = ((angle % 360) + 360) % 360;
    const int k = ((angle % 90) + 90) % 90;
    int s = 0, c = 0;
    if (a == 0) {
        s = T[0], c = T[90];
    } else if (a == 90) {
        s = T[90], c = T[0];
    } else if (a == 180) {
        s = T[0], c = -T[90];
    } else if (a == 270) {
        s = -T[90], c = T[0];
    } else if (a < 90) {
        s = T[k], c = T[90 - k];
    } else if (a < 180) {
        s = T[90 - k], c = -T[k];
    } else if (a < 270) {
        s = -T[k], c = -T[90 - k];
    } else {
        s = -T[90 - k], c = T[k];
    }
    if (sinOut) *sinOut = s;
    if (cosOut) *cosOut = c;
}
