// Geometry of the GUI: points, rectangles with inclusive edges, and the whole-degree sine table.
//
// Every coordinate is a signed 16-bit value and every result is stored back into 16 bits, so
// arithmetic wraps exactly as it does on the device.
#pragma once

#include <cstdint>

struct GuiPoint {
    int16_t x;
    int16_t y;
};

// Covers the pixels from left to right and from top to bottom, both ends included. A rectangle
// with left > right or top > bottom is empty.
struct GuiRect {
    int16_t left;
    int16_t top;
    int16_t right;
    int16_t bottom;

    void Set(int l, int t, int r, int b);

    int Width() const { return right - left + 1; }
    int Height() const { return bottom - top + 1; }
    bool IsEmpty() const { return left > right || top > bottom; }

    bool Contains(GuiPoint p) const { return Contains(p.x, p.y); }
    bool Contains(int x, int y) const { return left <= x && x <= right && top <= y && y <= bottom; }
    bool Contains(const GuiRect& o) const {
        return o.left >= left && o.right <= right && o.top >= top && o.bottom <= bottom;
    }
    bool Overlap(const GuiRect& o) const {
        return o.left <= right && o.top <= bottom && o.bottom >= top && o.right >= left;
    }

    void MoveTo(int x, int y);
    void Shift(int dx, int dy);

    GuiRect& operator&=(const GuiRect& o); // intersection; may become empty, not corrected
    GuiRect operator&(const GuiRect& o) const;
    GuiRect& operator|=(const GuiRect& o); // bounding box
    GuiRect& operator^=(const GuiRect& o); // removes o as far as the rest stays one rectangle
    GuiRect operator+(GuiPoint p) const;
    GuiRect& operator++();      // grows by 1 on every side
    GuiRect& operator+=(int n); // grows by n on every side
    GuiRect& operator--();      // shrinks by 1; never inverts
    GuiRect& operator-=(int n); // shrinks by n; never inverts

    bool operator==(const GuiRect& o) const = default;
};

inline GuiRect MakeGuiRect(int l, int t, int r, int b) {
    GuiRect rc;
    rc.Set(l, t, r, b);
    return rc;
}

// sin(i degrees) x 1024 for i = 0..90.
extern const int32_t GuiSinCosTable[91];

// Sine and cosine of a whole-degree angle (any value), scaled by 1024. A null output is not
// written.
void GuiLookupSinCos(int angle, int* sinOut, int* cosOut);
