#include "gui/core/guiscreen.h"

#include <algorithm>
#include <cstdlib>

#include "gui/core/guilock.h"
#include "gui/core/guithing.h"

namespace {

// The arrow pointer: 8-bit palette indices, 0 black outline, 15 white inside, 255 transparent.
constexpr int kArrowW = 8;
constexpr int kArrowH = 12;
uint8_t kArrowData[kArrowW * kArrowH] = {
    0, 255, 255, 255, 255, 255, 255, 255, //
    0, 0,   255, 255, 255, 255, 255, 255, //
    0, 15,  0,   255, 255, 255, 255, 255, //
    0, 15,  15,  0,   255, 255, 255, 255, //
    0, 15,  15,  15,  0,   255, 255, 255, //
    0, 15,  15,  15,  15,  0,   255, 255, //
    0, 15,  15,  15,  15,  15,  0,   255, //
    0, 15,  15,  15,  15,  15,  15,  0,   //
    0, 15,  15,  0,   0,   0,   0,   0,   //
    0, 15,  0,   255, 255, 255, 255, 255, //
    0, 0,   255, 255, 255, 255, 255, 255, //
    0, 255, 255, 255, 255, 255, 255, 255, //
};

} // namespace

GuiBitmap gbMouse = {GUI_BMP_TRANSPARENT, 8, kArrowW, kArrowH, 255, kArrowData};

GuiScreen::GuiScreen(const GuiRect& rect) : mwHRes(rect.Width()), mwVRes(rect.Height()) {
    mPointerTypes[0] = PointerType{&gbMouse, 0, 0};
    mpCurPointer = &gbMouse;
    AllocateViewportBlock();
}

GuiScreen::~GuiScreen() {
    for (Viewport* block : mBlocks) delete[] block;
}

void GuiScreen::Invalidate(const GuiRect& r) {
    EnterCriticalSection(); // kept until the outermost EndDraw
    if (miInvalidCount == 0)
        mInvalid = r;
    else
        mInvalid |= r;
    ++miInvalidCount;
}

GuiThing* GuiScreen::ViewportOwner(GuiThing* thing) {
    while (thing && !(thing->mwStatusFlags & GUI_ST_VIEWPORTS)) thing = thing->mpParentThing;
    return thing;
}

bool GuiScreen::GateAndClip(GuiThing* thing, GuiRect& clip, unsigned gate) {
    if (!thing) {
        if (!((gate & GUI_GATE_NO_THING) && mbDrawToBitmap)) return false;
    } else if (!mbDrawToBitmap && !thing->IsVisible() && !(gate & GUI_GATE_HIDDEN)) {
        return false;
    }
    if (mbDrawToBitmap) {
        clip &= mBitmapRect;
    } else {
        if (miInvalidCount <= 0 || miDrawNesting <= 0) return false;
        clip &= mInvalid;
        clip &= thing->mClipRect;
        // The screen is the outermost clip: nothing is ever written outside the frame buffer.
        clip &= MakeGuiRect(0, 0, mwHRes - 1, mwVRes - 1);
    }
    return !clip.IsEmpty();
}

unsigned long GuiScreen::GetPixel(int x, int y) {
    if (x < 0 || y < 0 || x >= mwHRes || y >= mwVRes) return 0;
    // While drawing into a bitmap the row table is the bitmap's: its own size is the limit.
    if (mbDrawToBitmap && !mBitmapRect.Contains(x, y)) return 0;
    return GetPixelView(x, y);
}

void GuiScreen::PutPixel(GuiThing* thing, int x, int y, unsigned long colour) {
    GuiRect b = MakeGuiRect(x, y, x, y);
    if (!GateAndClip(thing, b)) return;
    if (!mbDrawToBitmap) {
        GuiThing* owner = ViewportOwner(thing);
        Viewport* v = owner ? owner->mpViewports : nullptr;
        while (v && !v->view.Contains(x, y)) v = v->next;
        if (!v) return;
    }
    mpRowPointers[y][x] = static_cast<uint32_t>(colour);
}

int GuiScreen::WideLine(GuiThing* thing, int x1, int y1, int x2, int y2, const GuiColor& colour, int width) {
    const GuiColor c{colour.foreground, colour.foreground, GUI_COLOR_FILL};
    GuiRect r;
    if (y1 == y2)
        r.Set(std::min(x1, x2), y1, std::max(x1, x2), y1 + width - 1);
    else if (x1 == x2)
        r.Set(x1, std::min(y1, y2), x1 + width - 1, std::max(y1, y2));
    else
        return 0;
    Rectangle(thing, r, c, 0);
    return 1;
}

void GuiScreen::Line(GuiThing* thing, int x1, int y1, int x2, int y2, const GuiColor& colour, int width) {
    if (width < 1) return;
    if (width > 1 && WideLine(thing, x1, y1, x2, y2, colour, width)) return;
    GuiRect b = MakeGuiRect(std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2));
    if (width > 1) b += width;
    ForEachView(thing, b, [&](GuiRect& piece) { LineView(x1, y1, x2, y2, piece, colour, width); });
}

void GuiScreen::PolyLine(GuiThing* thing, GuiPoint* points, unsigned int count, const GuiColor& colour,
                         int width) {
    if (width < 1 || count < 2 || !points) return;
    for (unsigned int i = 0; i + 1 < count; ++i) {
        const GuiPoint a = points[i], b = points[i + 1];
        GuiRect box =
            MakeGuiRect(std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y));
        ForEachView(thing, box, [&](GuiRect& piece) { LineView(a.x, a.y, b.x, b.y, piece, colour, width); });
    }
}

void GuiScreen::Rectangle(GuiThing* thing, const GuiRect& rect, const GuiColor& colour, int width) {
    GuiRect r = rect;
    if (width > 1) {
        const int w = width;
        WideLine(thing, r.left, r.top, r.right, r.top, colour, w);
        WideLine(thing, r.left, r.bottom - w + 1, r.right, r.bottom - w + 1, colour, w);
        WideLine(thing, r.left, r.top, r.left, r.bottom, colour, w);
        WideLine(thing, r.right - w + 1, r.top, r.right - w + 1, r.bottom, colour, w);
        if (!(colour.flags & GUI_COLOR_FILL)) return;
        // The inside only; a rectangle narrower than its sides has none.
        r.Set(r.left + w, r.top + w, r.right - w, r.bottom - w);
        width = 0;
    }
    const GuiRect outline = r;
    ForEachView(thing, r, [&](GuiRect& piece) { Rectangle(outline, piece, colour, width); });
}

void GuiScreen::Rectangle(const GuiRect& rect, GuiRect& piece, const GuiColor& colour, int width) {
    if (width == 1) {
        const uint32_t fg = colour.foreground;
        if (rect.top == piece.top) {
            HorizontalLine(piece.left, piece.right, piece.top, fg, 1);
            ++piece.top;
        }
        if (rect.bottom == piece.bottom) {
            HorizontalLine(piece.left, piece.right, piece.bottom, fg, 1);
            --piece.bottom;
        }
        if (rect.left == piece.left) {
            VerticalLine(piece.top, piece.bottom, piece.left, fg, 1);
            ++piece.left;
        }
        if (rect.right == piece.right) {
            VerticalLine(piece.top, piece.bottom, piece.right, fg, 1);
            --piece.right;
        }
    }
    if ((colour.flags & GUI_COLOR_FILL) && !piece.IsEmpty())
        HorizontalLine(piece.left, piece.right, piece.top, colour.background, piece.bottom - piece.top + 1);
}

void GuiScreen::RectangleXOR(GuiThing* thing, const GuiRect& rect) {
    GuiRect c = rect;
    if (!GateAndClip(thing, c)) return;
    if (rect.top == c.top) HorizontalLineXOR(c.left, c.right, c.top);
    if (rect.bottom == c.bottom) HorizontalLineXOR(c.left, c.right, c.bottom);
    if (rect.left == c.left) VerticalLineXOR(c.top, c.bottom, c.left);
    if (rect.right == c.right) VerticalLineXOR(c.top, c.bottom, c.right);
}

int GuiScreen::AddPointerType(GuiBitmap* bitmap, int hotX, int hotY) {
    for (int i = FIRST_FREE_POINTER; i < POINTER_TYPES; ++i) {
        if (!mPointerTypes[i].bitmap) {
            mPointerTypes[i] = PointerType{bitmap, static_cast<uint32_t>(hotX), static_cast<uint32_t>(hotY)};
            return i;
        }
    }
    return 0;
}

int GuiScreen::GetPointerType() const {
    for (int i = 0; i < POINTER_TYPES; ++i)
        if (mPointerTypes[i].bitmap && mPointerTypes[i].bitmap == mpCurPointer) return i;
    return 0;
}

void GuiScreen::ShowPointer(int show) {
    if (show && !mbPointerShown) {
        mbPointerShown = 1;
        SetPointer(mLastPointerPos);
    } else if (!show && mbPointerShown) {
        HidePointer();
        mbPointerShown = 0;
    }
}
