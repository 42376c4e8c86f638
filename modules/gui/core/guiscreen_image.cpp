// The device-independent operations on bitmaps, fonts and captured areas: text measuring and
// drawing, bitmap drawing and tiling, block moves, capture and restore, bitmap creation,
// resizing, and the Windows bitmap (BMP) image of a screen area.
#include <algorithm>
#include <cstring>
#include <new>

#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"

bool GuiFindGlyph(const GuiFont* font, unsigned char c, GuiGlyph* glyph) {
    for (const GuiFont* f = font; f; f = f->next) {
        if (c < f->firstChar || c > f->lastChar) continue;
        const int i = c - f->firstChar;
        if (f->type & (GUI_FONT_VARIABLE | GUI_FONT_ALIASED)) {
            if (!f->offsets) return false;
            glyph->offset = f->offsets[i];
            glyph->width = f->offsets[i + 1] - f->offsets[i];
        } else {
            glyph->width = static_cast<int>(f->charWidth);
            glyph->offset = i * glyph->width;
        }
        glyph->record = f;
        if (glyph->width < 0) glyph->width = 0;
        return true;
    }
    return false;
}

GuiCapture::~GuiCapture() {
    Free();
}

bool GuiCapture::Realloc(long n) {
    if (n <= bufferSize) return true;
    auto* fresh = new (std::nothrow) uint8_t[static_cast<size_t>(n)];
    if (!fresh) return false;
    delete[] bitmap.data;
    bitmap.data = fresh;
    bufferSize = n;
    return true;
}

void GuiCapture::Free() {
    delete[] bitmap.data;
    bitmap.data = nullptr;
    bufferSize = 0;
    valid = 0;
}

int GuiScreen::TextHeight(const char*, const GuiFont* font) {
    int h = 0;
    for (const GuiFont* f = font; f; f = f->next) h = std::max<int>(h, f->height);
    return h;
}

int GuiScreen::TextWidth(const char* text, const GuiFont* font, int count) {
    if (!text || !font) return 0;
    int w = 0;
    for (int i = 0; text[i] && (count < 0 || i < count); ++i) {
        GuiGlyph g;
        if (GuiFindGlyph(font, static_cast<unsigned char>(text[i]), &g)) w += g.width;
    }
    return w;
}

void GuiScreen::DrawText(GuiThing* thing, GuiPoint where, const char* text, GuiColor& colour,
                         const GuiFont* font, int count, int doubled) {
    if (!text || !font) return;
    // The whole string is measured whatever the count.
    const int k = doubled ? 2 : 1;
    const int w = TextWidth(text, font, -1), h = TextHeight(text, font);
    GuiRect b = MakeGuiRect(where.x, where.y, where.x + k * w - 1, where.y + k * h - 1);
    ForEachView(
        thing, b,
        [&](GuiRect& piece) {
            if (doubled)
                DrawTextViewDouble(where, text, colour, font, count, piece);
            else
                DrawTextView(where, text, colour, font, count, piece);
        },
        GUI_GATE_NO_THING);
}

void GuiScreen::Bitmap(GuiThing* thing, GuiPoint where, GuiBitmap* bitmap, int onTop) {
    if (!bitmap || !bitmap->data || !bitmap->width || !bitmap->height) return;
    GuiRect b = MakeGuiRect(where.x, where.y, where.x + bitmap->width - 1, where.y + bitmap->height - 1);
    if (onTop && !mbDrawToBitmap) {
        // Straight onto the screen, over whatever is in front: no frame, no viewports.
        if (!thing) return;
        b &= thing->mClipRect;
        b &= thing->mClientRect;
        b &= MakeGuiRect(0, 0, mwHRes - 1, mwVRes - 1);
        if (!b.IsEmpty()) BitmapView(where, bitmap, b);
        return;
    }
    ForEachView(thing, b, [&](GuiRect& piece) { BitmapView(where, bitmap, piece); });
}

void GuiScreen::BitmapFill(GuiThing* thing, GuiRect rect, GuiBitmap* bitmap) {
    if (!thing || !bitmap || !bitmap->width || !bitmap->height) return;
    const GuiRect saved = thing->mClipRect;
    thing->mClipRect &= rect;
    if (thing->IsVisible() || mbDrawToBitmap) {
        for (int y = rect.top; y <= rect.bottom; y += bitmap->height)
            for (int x = rect.left; x <= rect.right; x += bitmap->width)
                Bitmap(thing, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, bitmap, 0);
    }
    thing->mClipRect = saved;
}

void GuiScreen::Restore(GuiThing* thing, GuiCapture* capture, int onTop) {
    if (capture && capture->valid) Bitmap(thing, capture->Point(), &capture->bitmap, onTop);
}

int GuiScreen::CheckNoOverlap(GuiThing* target, GuiThing* parent, const GuiRect& r) {
    if (!parent) return 0;
    for (GuiThing* c = parent->mpFirstChild; c; c = c->mpNextSibling) {
        if (c == target) return 1;
        if (c->mRealRect.Overlap(r)) return CheckNoOverlap(target, c, r);
    }
    return 0;
}

int GuiScreen::RectMove(GuiThing* thing, GuiRect source, GuiRect within, int dx, int dy) {
    if (!thing || (!mbDrawToBitmap && !thing->IsVisible())) return 1;
    GuiRect u = source;
    u |= source + GuiPoint{static_cast<int16_t>(dx), static_cast<int16_t>(dy)};
    GuiRect c = u & within;
    if (mbDrawToBitmap) {
        c &= mBitmapRect;
        if (!c.IsEmpty()) RectMoveView(thing, source, dx, dy);
        return 1;
    }
    if (miInvalidCount <= 0 || miDrawNesting <= 0) return 1;
    c &= mInvalid;
    c &= thing->mClipRect;
    if (c.IsEmpty()) return 1;
    source.top = static_cast<int16_t>(source.top + (c.top - u.top));
    source.left = static_cast<int16_t>(source.left + (c.left - u.left));
    source.right = static_cast<int16_t>(source.right - (u.right - c.right));
    source.bottom = static_cast<int16_t>(source.bottom - (u.bottom - c.bottom));
    if (source.IsEmpty()) return 1;
    if (CheckNoOverlap(thing, GuiThing::mpPresentation, c)) {
        RectMoveView(thing, source, dx, dy);
        return 1;
    }
    return 0; // something in front: the caller redraws
}

GuiBitmap* GuiScreen::CreateBitmap(int width, int height, int transparent) {
    if (width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF) return nullptr;
    auto* b = new (std::nothrow) GuiBitmap{};
    if (!b) return nullptr;
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    b->data = new (std::nothrow) uint8_t[n];
    if (!b->data) {
        delete b;
        return nullptr;
    }
    b->flags = transparent ? GUI_BMP_TRANSPARENT : 0;
    b->bitsPerPixel = 8;
    b->width = static_cast<uint16_t>(width);
    b->height = static_cast<uint16_t>(height);
    b->transparentColor = 1;
    std::memset(b->data, transparent ? 1 : 0, n);
    return b;
}

void GuiScreen::DestroyBitmap(GuiBitmap* bitmap) {
    if (!bitmap) return;
    delete[] bitmap->data;
    delete bitmap;
}

GuiBitmap* GuiScreen::ResizeImage(GuiBitmap* src, int width, int height) {
    if (!src || !src->data || width <= 0 || height <= 0 || !src->width || !src->height) return nullptr;
    // Pixels are read by their depth; RLE data and depths the screen does not draw are refused.
    if ((src->flags & GUI_BMP_RLE) ||
        !(src->bitsPerPixel == 8 || src->bitsPerPixel == 24 || src->bitsPerPixel == 32))
        return nullptr;
    GuiBitmap* dst = CreateBitmap(width, height, 1);
    if (!dst) return nullptr;
    const int sw = src->width, sh = src->height;
    int e = 2 * (sh - 1) - (height - 1);
    int ys = 0;
    for (int yd = 0; yd < height; ++yd) {
        const int row = std::min(ys, sh - 1);
        int ex = 2 * (sw - 1) - (width - 1);
        int xs = 0;
        for (int xd = 0; xd < width; ++xd) {
            PutBitmapPixel(xd, yd, dst, GetBitmapPixel(std::min(xs, sw - 1), row, src));
            if (width - 1 != 0) {
                while (ex >= 0) {
                    ex -= 2 * (width - 1);
                    ++xs;
                }
            }
            ex += 2 * (sw - 1);
        }
        if (height - 1 != 0) {
            while (e >= 0) {
                e -= 2 * (height - 1);
                ++ys;
            }
        }
        e += 2 * (sh - 1);
    }
    return dst;
}

namespace {
void Put16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
} // namespace

unsigned char* GuiScreen::DumpWindowsBitmap(unsigned long* size, GuiRect& area) {
    if (size) *size = 0;
    GuiCapture cap;
    if (!Capture(&cap, area) || !cap.valid) return nullptr;
    // The device screen captures 32-bit pixels only; other depths are not written.
    if (cap.bitmap.bitsPerPixel != 32) return nullptr;
    const uint32_t w = cap.bitmap.width, h = cap.bitmap.height;
    const uint32_t rowBytes = 4 * w; // already a multiple of 4
    const uint32_t offset = 54;
    const uint64_t total = offset + static_cast<uint64_t>(rowBytes) * h;
    if (total > 0x7FFFFFFF) return nullptr;
    auto* img = new (std::nothrow) unsigned char[total];
    if (!img) return nullptr;
    std::memset(img, 0, offset);
    img[0] = 'B';
    img[1] = 'M';
    Put32(img + 2, static_cast<uint32_t>(total));
    Put32(img + 10, offset);
    Put32(img + 14, 40);
    Put32(img + 18, w);
    Put32(img + 22, h); // positive: rows bottom-up
    Put16(img + 26, 1);
    Put16(img + 28, 32);
    Put32(img + 34, static_cast<uint32_t>(total - offset));
    // Frame-buffer words in memory are blue, green, red, 0: the BMP byte order.
    unsigned char* out = img + offset;
    for (uint32_t r = 0; r < h; ++r) {
        const uint32_t* src =
            reinterpret_cast<const uint32_t*>(cap.bitmap.data) + static_cast<size_t>(h - 1 - r) * w;
        for (uint32_t x = 0; x < w; ++x) Put32(out + 4 * x, src[x]);
        out += rowBytes;
    }
    if (size) *size = static_cast<unsigned long>(total);
    return img;
}
