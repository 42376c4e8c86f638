// Helpers shared by the shape primitives of the screen (polygons, dashed lines, circles, ellipses,
// arcs, chords and pies); not part of the screen's interface.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <new>

#include "gui/core/guirect.h"
#include "gui/core/guiscreen.h"

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

// The largest s with s * s <= v (v >= 0).
inline int64_t ISqrt(int64_t v) {
    int64_t s = static_cast<int64_t>(std::sqrt(static_cast<double>(v)));
    while (s * s > v) --s;
    while ((s + 1) * (s + 1) <= v) ++s;
    return s;
}

// One region of an incremental ellipse on a doubled grid: the step counter S counts up from 0 and
// t = S sC with it; the other coordinate W starts at W0 and steps down whenever the error passes
// 0; the region lasts while W wC >= t. The error is always sC S^2 + wC (W^2 - W0^2), and S never
// passes sMax (W0 times the square root of wC / sC). visit(S, W) for the steps with S in
// [from, to].
//
// The walk keeps W at the largest value whose error is not above 0 (the closed form below) as long
// as each step it has taken began with 2 (W wC - t) >= wC + sC; that holds from the start of the
// region to a few steps before its end. So the walk starts at `from` directly, or where the closed
// form stops being sure, and never takes the steps before.
template <class Visit>
void EllipseRegion(int64_t sC, int64_t wC, int64_t W0, int64_t sMax, int64_t from, int64_t to,
                   Visit&& visit) {
    from = std::max<int64_t>(from, 0);
    if (from > sMax || from > to) return;
    auto closed = [&](int64_t s) { return ISqrt((wC * W0 * W0 - sC * s * s) / wC); };
    auto sure = [&](int64_t s) { return 2 * (wC * closed(s) - sC * s) >= wC + sC; };
    int64_t S = from;
    if (S > 0 && !sure(S - 1)) {
        // The first step that is not sure: the walk is exact up to it.
        int64_t lo = 0, hi = S - 1;
        while (lo < hi) {
            const int64_t mid = lo + (hi - lo) / 2;
            if (sure(mid))
                lo = mid + 1;
            else
                hi = mid;
        }
        S = lo;
    }
    int64_t W = closed(S), t = S * sC, error = sC * S * S - wC * (W0 * W0 - W * W);
    while (W * wC >= t && S <= to) {
        if (S >= from) visit(S, W);
        error += 2 * t + sC;
        t += sC;
        ++S;
        if (error > 0) {
            error -= W * wC;
            --W;
            error -= W * wC;
        }
    }
}

// Up to `width` concentric rings of the ellipse inside rect, each an incremental ellipse on a doubled
// grid in two regions, the next ring one pixel further in; plot(x, y) gets every point that can lie
// in the view, and some others. Returns false when the rings ended because a semi-axis reached 0
// (the inside is then all outline).
//
// Only the work the view can show is done: a ring whose curve passes nowhere near the view is
// skipped, and of the others only the steps whose column (region 1) or row (region 2) offset from
// the centre lies within the view's reach are taken.
template <class Plot> bool EllipseRings(const GuiRect& rect, int width, const GuiRect& view, Plot&& plot) {
    int64_t a = (rect.right - rect.left) >> 1, b = (rect.bottom - rect.top) >> 1;
    const int cx = (rect.left + rect.right) >> 1, cy = (rect.top + rect.bottom) >> 1;
    auto four = [&](int64_t x, int64_t y) {
        const int xi = static_cast<int>(x), yi = static_cast<int>(y);
        plot(cx + xi, cy + yi);
        plot(cx + xi, cy - yi);
        plot(cx - xi, cy - yi);
        plot(cx - xi, cy + yi);
    };
    // The view's nearest and farthest offsets from the centre along each axis.
    const int64_t nx = std::abs(std::max<int64_t>(std::min<int64_t>(cx, view.right), view.left) - cx);
    const int64_t ny = std::abs(std::max<int64_t>(std::min<int64_t>(cy, view.bottom), view.top) - cy);
    const int64_t fx = std::max<int64_t>(std::abs(view.left - cx), std::abs(view.right - cx));
    const int64_t fy = std::max<int64_t>(std::abs(view.top - cy), std::abs(view.bottom - cy));
    // A ring's points lie within a pixel or two of its curve: the curve must meet the view widened
    // by a margin, that is pass between its nearest and its farthest point.
    constexpr int64_t kMargin = 4;
    const double nearX = static_cast<double>(std::max<int64_t>(nx - kMargin, 0));
    const double nearY = static_cast<double>(std::max<int64_t>(ny - kMargin, 0));
    const double farX = static_cast<double>(fx + kMargin), farY = static_cast<double>(fy + kMargin);
    auto misses = [&](double ea, double eb) {
        auto f = [&](double x, double y) { return (x / ea) * (x / ea) + (y / eb) * (y / eb); };
        return f(nearX, nearY) > 1.0 || f(farX, farY) < 1.0;
    };
    const bool blind = view.IsEmpty();
    for (int k = 0; k < width; ++k) {
        if (!blind && !misses(static_cast<double>(a), static_cast<double>(b))) {
            const int64_t a2 = a * a, b2 = b * b;
            // Region 1, from the top: x = S >> 1 steps every time.
            EllipseRegion(b2, a2, 2 * b, 2 * a, 2 * nx, 2 * fx + 1,
                          [&](int64_t S, int64_t W) { four(S >> 1, (W + 1) >> 1); });
            // Region 2, from the side: y = (S + 1) >> 1 steps every time.
            EllipseRegion(a2, b2, 2 * a, 2 * b, 2 * ny - 1, 2 * fy,
                          [&](int64_t S, int64_t W) { four(W >> 1, (S + 1) >> 1); });
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
