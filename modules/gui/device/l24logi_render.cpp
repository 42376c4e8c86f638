// Per-view rendering of the device screen: lines, bitmaps (raw and RLE, 8, 24 and 32 bits,
// transparency and alpha) and text (1 bit and anti-aliased). Every routine writes only inside the
// view it is given, which the screen has clipped to the surface.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gui/device/l24logi.h"

namespace {

inline uint32_t Load32(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

inline uint32_t Blend(uint32_t old, uint32_t src, uint32_t a) {
    uint32_t out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const uint32_t o = (old >> shift) & 0xFF, s = (src >> shift) & 0xFF;
        out |= ((((256 - a) * o + a * s) >> 8) & 0xFF) << shift;
    }
    return out;
}

} // namespace

void L24logi::LineView(int x1, int y1, int x2, int y2, GuiRect& view, GuiColor colour, int width) {
    const uint32_t fg = colour.foreground;
    if (width < 1 || view.IsEmpty()) return;
    // Straight lines fill the view; their thickness never reaches past it.
    if (y1 == y2) {
        HorizontalLine(view.left, view.right, view.top, fg, std::min(width, view.Height()));
        return;
    }
    if (x1 == x2) {
        VerticalLine(view.top, view.bottom, view.left, fg, std::min(width, view.Width()));
        return;
    }
    const int h = width / 2;
    // No per-pixel test only when every span around both ends stays inside the view.
    GuiRect inner = view;
    inner.Set(view.left + h, view.top + h, view.right - h, view.bottom - h);
    const bool test = !(inner.Contains(x1, y1) && inner.Contains(x2, y2));
    auto plot = [&](int x, int y) {
        if (!test || view.Contains(x, y)) mpRowPointers[y][x] = fg;
    };
    const int dx = std::abs(x2 - x1), dy = std::abs(y2 - y1);
    if (dx >= dy) {
        if (x1 > x2) std::swap(x1, x2), std::swap(y1, y2);
        const int s = y2 > y1 ? 1 : -1;
        int e = dx / 2;
        while (x1 <= x2) {
            if (e >= dx) {
                e -= dx;
                y1 += s;
                y2 -= s;
            }
            for (int y = y1 - h; y <= y1 + h; ++y) plot(x1, y);
            for (int y = y2 - h; y <= y2 + h; ++y) plot(x2, y);
            ++x1;
            --x2;
            e += dy;
        }
    } else {
        if (y1 > y2) std::swap(x1, x2), std::swap(y1, y2);
        const int s = x2 > x1 ? 1 : -1;
        int e = dy / 2;
        while (y1 <= y2) {
            if (e >= dy) {
                e -= dy;
                x1 += s;
                x2 -= s;
            }
            for (int x = x1 - h; x <= x1 + h; ++x) plot(x, y1);
            for (int x = x2 - h; x <= x2 + h; ++x) plot(x, y2);
            ++y1;
            --y2;
            e += dx;
        }
    }
}

void L24logi::BitmapView(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view) {
    if (!bitmap || !bitmap->data || !bitmap->width || !bitmap->height) return;
    const GuiRect v =
        view & MakeGuiRect(where.x, where.y, where.x + bitmap->width - 1, where.y + bitmap->height - 1);
    if (v.IsEmpty()) return;
    const uint8_t bits = bitmap->bitsPerPixel;
    if (bitmap->flags & GUI_BMP_RLE)
        DrawRleBitmap(where, bitmap, v);
    else if ((bits == 24 || bits == 32) && (bitmap->flags & GUI_BMP_ALPHA))
        DrawTrueColorAlphaBitmap(where, bitmap, v); // one 0xRRGGBBAA word per pixel
    else if (bits == 24 || bits == 32)
        DrawTrueColorBitmap(where, bitmap, v);
    else if (bits == 8)
        DrawPaletteBitmap(where, bitmap, v);
    else if (bits == 1 || bits == 2 || bits == 4 || bits == 16)
        DrawPackedBitmap(where, bitmap, v);
}

void L24logi::DrawPackedBitmap(GuiPoint where, const GuiBitmap* b, const GuiRect& v) {
    // Rows of packed palette indices (leftmost pixel in the high bits) or of 5-6-5 words.
    const unsigned bits = b->bitsPerPixel;
    const bool transparent = b->flags & GUI_BMP_TRANSPARENT;
    const size_t stride = bits == 16 ? 2u * b->width : (static_cast<size_t>(b->width) * bits + 7) / 8;
    const unsigned perByte = bits == 16 ? 1 : 8 / bits;
    for (int y = v.top; y <= v.bottom; ++y) {
        const uint8_t* row = b->data + static_cast<size_t>(y - where.y) * stride;
        uint32_t* dst = mpRowPointers[y];
        for (int x = v.left; x <= v.right; ++x) {
            const unsigned col = static_cast<unsigned>(x - where.x);
            uint32_t value, word;
            if (bits == 16) {
                value = row[2 * col] | (row[2 * col + 1] << 8);
                word = ((value & 0xF800) << 8) | ((value & 0x07E0) << 5) | ((value & 0x001F) << 3);
            } else {
                const unsigned shift = 8 - bits * (col % perByte + 1);
                value = (row[col / perByte] >> shift) & ((1u << bits) - 1);
                word = PaletteWord(static_cast<int>(value));
            }
            if (!transparent || value != b->transparentColor) dst[x] = word;
        }
    }
}

void L24logi::DrawTrueColorAlphaBitmap(GuiPoint where, const GuiBitmap* b, const GuiRect& v) {
    for (int y = v.top; y <= v.bottom; ++y) {
        const uint8_t* src = b->data + 4 * (static_cast<size_t>(y - where.y) * b->width + (v.left - where.x));
        uint32_t* dst = mpRowPointers[y];
        for (int x = v.left; x <= v.right; ++x, src += 4) {
            const uint32_t w = Load32(src);
            if ((w & 0xFF) > 127) dst[x] = w >> 8;
        }
    }
}

void L24logi::DrawTrueColorBitmap(GuiPoint where, const GuiBitmap* b, const GuiRect& v) {
    const bool transparent = b->flags & GUI_BMP_TRANSPARENT;
    const int n = v.Width();
    for (int y = v.top; y <= v.bottom; ++y) {
        const size_t first = static_cast<size_t>(y - where.y) * b->width + (v.left - where.x);
        uint32_t* dst = mpRowPointers[y] + v.left;
        if (b->bitsPerPixel == 32) {
            const uint8_t* src = b->data + 4 * first;
            if (!transparent) {
                std::memcpy(dst, src, static_cast<size_t>(n) * 4);
                continue;
            }
            for (int i = 0; i < n; ++i) {
                const uint32_t w = Load32(src + 4 * i);
                if (w != 1) dst[i] = w;
            }
        } else {
            const uint8_t* src = b->data + 3 * first;
            auto word = [src](int i) {
                const uint8_t* p = src + 3 * i;
                return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
            };
            if (!transparent) {
                for (int i = 0; i < n; ++i) dst[i] = word(i);
                continue;
            }
            for (int i = 0; i < n; ++i)
                if (const uint32_t w = word(i); w != 1) dst[i] = w;
        }
    }
}

void L24logi::DrawPaletteBitmap(GuiPoint where, const GuiBitmap* b, const GuiRect& v) {
    const bool transparent = b->flags & GUI_BMP_TRANSPARENT;
    for (int y = v.top; y <= v.bottom; ++y) {
        const uint8_t* src = b->data + static_cast<size_t>(y - where.y) * b->width + (v.left - where.x);
        uint32_t* dst = mpRowPointers[y];
        for (int x = v.left; x <= v.right; ++x, ++src)
            if (!transparent || *src != b->transparentColor) dst[x] = PaletteWord(*src);
    }
}

void L24logi::DrawRleBitmap(GuiPoint where, const GuiBitmap* b, const GuiRect& v) {
    const bool palette = b->bitsPerPixel == 8;
    const size_t pixelBytes = palette ? 1 : 4;
    const bool transparent = b->flags & GUI_BMP_TRANSPARENT;
    const bool alpha = b->flags & GUI_BMP_ALPHA;
    const int firstCol = v.left - where.x, lastCol = v.right - where.x;
    const uint8_t* p = b->data;
    for (int row = 0; row <= v.bottom - where.y; ++row) {
        const bool shown = row >= v.top - where.y;
        uint32_t* dst = shown ? mpRowPointers[where.y + row] + where.x : nullptr;
        auto put = [&](int col, const uint8_t* px) {
            if (!shown || col < firstCol || col > lastCol) return;
            if (palette) {
                if (!(transparent && *px == 255)) dst[col] = PaletteWord(*px);
            } else {
                const uint32_t w = Load32(px);
                dst[col] = alpha ? Blend(dst[col], w >> 8, w & 0xFF) : (w >> 8);
            }
        };
        // A run that reaches past the row end is cut there; its data is still consumed.
        for (int x = 0; x < b->width;) {
            const uint8_t c = *p++;
            const int n = (c & 0x7F) + 1;
            if (c & 0x80) {
                for (int i = 0; i < n; ++i) put(x + i, p + i * pixelBytes);
                p += n * pixelBytes;
            } else {
                for (int i = 0; i < n; ++i) put(x + i, p);
                p += pixelBytes;
            }
            x += n;
        }
    }
}

void L24logi::RenderText(GuiPoint where, const char* text, const GuiColor& colour, const GuiFont* font,
                         int count, const GuiRect& view, int scale) {
    if (!text || !font || view.IsEmpty()) return;
    const bool fill = colour.flags & GUI_COLOR_FILL;
    const uint32_t fg = colour.foreground, bg = colour.background;
    int pen = where.x;
    for (int i = 0; text[i] && (count < 0 || i < count); ++i) {
        if (pen > view.right) break;
        GuiGlyph g;
        if (!GuiFindGlyph(font, static_cast<unsigned char>(text[i]), &g)) continue;
        const GuiFont& f = *g.record;
        const int x0 = std::max<int>(pen, view.left);
        int x1 = std::min<int>(pen + scale * g.width - 1, view.right);
        // Columns past the end of the strip (a damaged offset table) are not read.
        const int stripPixels = f.bytesPerLine * ((f.type & GUI_FONT_ALIASED) ? 2 : 8);
        x1 = std::min(x1, pen + scale * (stripPixels - g.offset) - 1);
        if (x0 <= x1 && f.data) {
            const bool aliased = f.type & GUI_FONT_ALIASED;
            uint32_t table[16];
            if (aliased) {
                // Entry k = foreground + k/16 of the way to the background; 15 is the background.
                for (int k = 0; k < 15; ++k) {
                    uint32_t c = 0;
                    for (int shift = 0; shift <= 16; shift += 8) {
                        const int a = (fg >> shift) & 0xFF, b = (bg >> shift) & 0xFF;
                        c |= static_cast<uint32_t>((a + (((b - a) * k) >> 4)) & 0xFF) << shift;
                    }
                    table[k] = c;
                }
                table[15] = bg;
            }
            for (int y = view.top; y <= view.bottom; ++y) {
                const int gy = (y - where.y) / scale;
                if (gy < 0 || gy >= f.height) continue;
                const uint8_t* strip = f.data + static_cast<size_t>(gy) * f.bytesPerLine;
                uint32_t* dst = mpRowPointers[y];
                if (aliased) {
                    for (int x = x0; x <= x1; ++x) {
                        const int p = g.offset + (x - pen) / scale;
                        const uint8_t byte = strip[p / 2];
                        dst[x] = table[15 - ((p & 1) ? (byte & 0x0F) : (byte >> 4))];
                    }
                } else if (scale == 1) {
                    int bit = g.offset + (x0 - pen);
                    for (int x = x0; x <= x1; ++x, ++bit) {
                        if (strip[bit >> 3] & (0x80 >> (bit & 7)))
                            dst[x] = fg;
                        else if (fill)
                            dst[x] = bg;
                    }
                } else {
                    for (int x = x0; x <= x1; ++x) {
                        const int bit = g.offset + (x - pen) / scale;
                        if (strip[bit >> 3] & (0x80 >> (bit & 7)))
                            dst[x] = fg;
                        else if (fill)
                            dst[x] = bg;
                    }
                }
            }
        }
        pen += scale * g.width;
    }
}

void L24logi::DrawTextView(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font, int count,
                           GuiRect& view) {
    RenderText(where, text, colour, font, count, view, 1);
}

void L24logi::DrawTextViewDouble(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                                 int count, GuiRect& view) {
    RenderText(where, text, colour, font, count, view, 2);
}
