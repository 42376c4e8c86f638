// Helpers shared by the shape primitives of the screen (polygons, dashed lines, circles, ellipses,
// arcs, chords and pies); not part of the screen's interface.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>

#include "gui/guirect.h"
#include "gui/guiscreen.h"

namespace guishape {

// A run of n pixels in one colour. The C library's wide-character fill stores whole vectors, as
// memset does, where a pixel and a wide character are both 32 bits wide.
inline void FillPixels(uint32_t* p, size_t n, uint32_t colour) {
    if constexpr (sizeof(wchar_t) == sizeof(uint32_t)) {
        std::wmemset(reinterpret_cast<wchar_t*>(p), static_cast<wchar_t>(colour), n);
    } else {
        std::fill_n(p, n, colour);
    }
}

// Coordinates of figures are 16-bit values (what a GuiPoint or GuiRect holds); radii and widths
// are taken up to 65535. A figure given with values outside these ranges draws nothing: every
// step below is then exact in 32 bits (64 where products of two extents are formed), and no
// loop runs longer than the 16-bit range allows.
inline bool InCoordRange(long v) {
    return v >= INT16_MIN && v <= INT16_MAX;
}
inline bool InExtentRange(long v) {
    return v <= 0xFFFF;
}

// The figure rectangle of exact bounds, saturated into the 16-bit range of a GuiRect instead of
// wrapping, so that a figure reaching past the coordinate range still clips correctly.
inline GuiRect FigureRect(long l, long t, long r, long b) {
    auto sat = [](long v) { return static_cast<int>(std::clamp<long>(v, INT16_MIN, INT16_MAX)); };
    return MakeGuiRect(sat(l), sat(t), sat(r), sat(b));
}

// True when the piece holds every pixel of the exact bounds.
inline bool Covers(const GuiRect& piece, long l, long t, long r, long b) {
    return piece.left <= l && piece.top <= t && piece.right >= r && piece.bottom >= b;
}

// Whole degrees brought into 0..359.
inline int Norm360(int angle) {
    return ((angle % 360) + 360) % 360;
}

// Up to `width` concentric rings of the ellipse inside rect, each an incremental ellipse on a doubled
// grid in two regions, the next ring one pixel further in; plot(x, y) gets every point. Returns
// false when the rings ended because a semi-axis reached 0 (the inside is then all outline).
// skip(a, b) may tell that the ring with these semi-axes cannot reach what is drawn.
template <class Plot, class Skip>
bool EllipseRings(const GuiRect& rect, int width, Plot&& plot, Skip&& skip) {
    int64_t a = (rect.right - rect.left) >> 1, b = (rect.bottom - rect.top) >> 1;
    const int cx = (rect.left + rect.right) >> 1, cy = (rect.top + rect.bottom) >> 1;
    auto four = [&](int64_t x, int64_t y) {
        const int xi = static_cast<int>(x), yi = static_cast<int>(y);
        plot(cx + xi, cy + yi);
        plot(cx + xi, cy - yi);
        plot(cx - xi, cy - yi);
        plot(cx - xi, cy + yi);
    };
    for (int k = 0; k < width; ++k) {
        if (!skip(static_cast<int>(a), static_cast<int>(b))) {
            const int64_t a2 = a * a, b2 = b * b;
            // Region 1, from the top: x steps every time.
            int64_t X = 0, Y = 2 * b, error = 0, t = 0;
            while (Y * a2 >= t) {
                four(X >> 1, (Y + 1) >> 1);
                error += 2 * t + b2;
                t += b2;
                ++X;
                if (error > 0) {
                    error -= Y * a2;
                    --Y;
                    error -= Y * a2;
                }
            }
            // Region 2, from the side: y steps every time.
            X = 2 * a, Y = 0, error = 0, t = 0;
            while (X * b2 >= t) {
                four(X >> 1, (Y + 1) >> 1);
                error += 2 * t + a2;
                t += a2;
                ++Y;
                if (error > 0) {
                    error -= X * b2;
                    --X;
                    error -= X * b2;
                }
            }
        }
        --a;
        --b;
        if (a <= 0 || b <= 0) return false;
    }
    return true;
}

// Directions around a centre, in the mathematical sense (y up), compared exactly: the angle of u
// measured counter-clockwise from the reference ref, in [0, 360).
struct Dir {
    int64_t x;
    int64_t y;
};
inline int64_t Cross(Dir a, Dir b) {
    return a.x * b.y - a.y * b.x;
}
inline int64_t Dot(Dir a, Dir b) {
    return a.x * b.x + a.y * b.y;
}
// 0 for angles in [0, 180), 1 for [180, 360).
inline int HalfTurn(Dir ref, Dir u) {
    const int64_t c = Cross(ref, u);
    return (c > 0 || (c == 0 && Dot(ref, u) > 0)) ? 0 : 1;
}
// The angle of u from ref is smaller than that of w.
inline bool AngleLess(Dir ref, Dir u, Dir w) {
    const int hu = HalfTurn(ref, u), hw = HalfTurn(ref, w);
    if (hu != hw) return hu < hw;
    return Cross(u, w) > 0;
}
// u points exactly along ref.
inline bool AngleZero(Dir ref, Dir u) {
    return Cross(ref, u) == 0 && Dot(ref, u) > 0;
}

// A span table of n rows, set as the screen's table (slot, rows) while one fill runs.
class SpanTable {
public:
    SpanTable(GuiSpan*& slot, int& rows, int n) : slot_(slot), rows_(rows) {
        if (n > 0) table_.reset(new (std::nothrow) GuiSpan[static_cast<size_t>(n)]);
        slot_ = table_.get();
        rows_ = table_ ? n : 0;
    }
    ~SpanTable() {
        slot_ = nullptr;
        rows_ = 0;
    }
    SpanTable(const SpanTable&) = delete;
    SpanTable& operator=(const SpanTable&) = delete;
    explicit operator bool() const { return table_ != nullptr; }
    GuiSpan& operator[](int i) { return table_[i]; }

private:
    std::unique_ptr<GuiSpan[]> table_;
    GuiSpan*& slot_;
    int& rows_;
};

} // namespace guishape
