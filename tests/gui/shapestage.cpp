#include "shapestage.h"

#include <algorithm>
#include <gtest/gtest.h>

#include "platform/board/display_hw.h"

namespace shapetest {

using guitest::Frame;
using guitest::Harness;
using guitest::Panel;

Stage::Stage(GuiRect c) : coverRel(c) {
    open = new Panel(MakeGuiRect(0, 0, kW - 1, kH - 1), 1, 0);
    covered = new Panel(MakeGuiRect(kCoveredLeft, 0, kCoveredLeft + kW - 1, kH - 1), 2, 0);
    cover = new Panel(c + GuiPoint{kCoveredLeft + kOx, kOy}, 3, 0);
    h.root().Add(open, 0);
    h.root().Add(covered, 0);
    h.root().Add(cover, 0);
    int views = 0;
    for (Viewport* v = covered->mpViewports; v; v = v->next) ++views;
    EXPECT_EQ(views, 4);
}

Stage::~Stage() = default;

PixelMap Stage::Open(const Figure& f) {
    Harness::fill(0);
    {
        Frame frame(open, open->mRealRect);
        f(open, kOx, kOy);
    }
    return ScreenPixels(MakeGuiRect(0, 0, 1023, 479), kOx, kOy);
}

PixelMap Stage::Covered(const Figure& f) {
    Harness::fill(0);
    {
        Frame frame(covered, covered->mRealRect);
        f(covered, kCoveredLeft + kOx, kOy);
    }
    return ScreenPixels(MakeGuiRect(0, 0, 1023, 479), kCoveredLeft + kOx, kOy);
}

PixelMap Stage::Bitmap(const Figure& f) {
    const BitmapPtr b = ClearBitmap(kW, kH);
    GuiScreen& s = *GuiThing::mpScreen;
    s.BeginDraw(open, b.get());
    f(open, kOx, kOy);
    s.EndDraw(b.get());
    return BitmapPixels(*b, kOx, kOy);
}

PixelMap Stage::Everywhere(const Figure& f) {
    const PixelMap want = Open(f);
    PixelMap outside = want;
    for (auto it = outside.begin(); it != outside.end();) {
        const auto [x, y] = it->first;
        if (coverRel.Contains(x, y))
            it = outside.erase(it);
        else
            ++it;
    }
    EXPECT_EQ(Covered(f), outside) << "window covered in its middle";
    EXPECT_EQ(Bitmap(f), want) << "into a bitmap";
    return want;
}

PixelMap OfColour(const PixelMap& m, uint32_t colour) {
    PixelMap out;
    for (const auto& [k, v] : m)
        if (v == colour) out.emplace(k, v);
    return out;
}

guitest::PixelSet Keys(const PixelMap& m) {
    guitest::PixelSet s;
    for (const auto& kv : m) s.insert(kv.first);
    return s;
}

PixelMap ScreenPixels(const GuiRect& area, int ox, int oy) {
    PixelMap m;
    for (int y = area.top; y <= area.bottom; ++y)
        for (int x = area.left; x <= area.right; ++x)
            if (const uint32_t c = Harness::px(x, y)) m.emplace(std::make_pair(x - ox, y - oy), c);
    return m;
}

PixelMap BitmapPixels(const GuiBitmap& b, int ox, int oy) {
    PixelMap m;
    const auto* w = reinterpret_cast<const uint32_t*>(b.data);
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x)
            if (const uint32_t c = w[y * b.width + x]) m.emplace(std::make_pair(x - ox, y - oy), c);
    return m;
}

BitmapPtr ClearBitmap(int w, int h) {
    BitmapPtr b(GuiThing::mpScreen->CreateBitmap(w, h, 0), &FreeBitmap);
    if (b) std::fill_n(reinterpret_cast<uint32_t*>(b->data), static_cast<size_t>(w) * h, 0u);
    return b;
}

void FreeBitmap(GuiBitmap* b) {
    GuiThing::mpScreen->DestroyBitmap(b);
}

} // namespace shapetest
