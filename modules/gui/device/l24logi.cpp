#include "gui/device/l24logi.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "gui/core/guilock.h"
#include "gui/core/guishape.h"
#include "gui/device/scrndrv.h"
#include "platform/board/display_hw.h"

uint32_t* gbVMemory = nullptr;

// Entries 0-15 the base colours, 16-231 the colour cube 16 + r + 6g + 36b (levels 0, 51, ..., 255),
// 232-247 the grey ramp 0, 17, ..., 255.
const unsigned char DefPalette256[248][3] = {
    {0, 0, 0},       {191, 0, 0},     {0, 191, 0},     {191, 191, 0},   {0, 0, 191},     {191, 0, 191},
    {0, 191, 191},   {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},     {255, 255, 0},
    {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}, {0, 0, 0},       {51, 0, 0},
    {102, 0, 0},     {153, 0, 0},     {204, 0, 0},     {255, 0, 0},     {0, 51, 0},      {51, 51, 0},
    {102, 51, 0},    {153, 51, 0},    {204, 51, 0},    {255, 51, 0},    {0, 102, 0},     {51, 102, 0},
    {102, 102, 0},   {153, 102, 0},   {204, 102, 0},   {255, 102, 0},   {0, 153, 0},     {51, 153, 0},
    {102, 153, 0},   {153, 153, 0},   {204, 153, 0},   {255, 153, 0},   {0, 204, 0},     {51, 204, 0},
    {102, 204, 0},   {153, 204, 0},   {204, 204, 0},   {255, 204, 0},   {0, 255, 0},     {51, 255, 0},
    {102, 255, 0},   {153, 255, 0},   {204, 255, 0},   {255, 255, 0},   {0, 0, 51},      {51, 0, 51},
    {102, 0, 51},    {153, 0, 51},    {204, 0, 51},    {255, 0, 51},    {0, 51, 51},     {51, 51, 51},
    {102, 51, 51},   {153, 51, 51},   {204, 51, 51},   {255, 51, 51},   {0, 102, 51},    {51, 102, 51},
    {102, 102, 51},  {153, 102, 51},  {204, 102, 51},  {255, 102, 51},  {0, 153, 51},    {51, 153, 51},
    {102, 153, 51},  {153, 153, 51},  {204, 153, 51},  {255, 153, 51},  {0, 204, 51},    {51, 204, 51},
    {102, 204, 51},  {153, 204, 51},  {204, 204, 51},  {255, 204, 51},  {0, 255, 51},    {51, 255, 51},
    {102, 255, 51},  {153, 255, 51},  {204, 255, 51},  {255, 255, 51},  {0, 0, 102},     {51, 0, 102},
    {102, 0, 102},   {153, 0, 102},   {204, 0, 102},   {255, 0, 102},   {0, 51, 102},    {51, 51, 102},
    {102, 51, 102},  {153, 51, 102},  {204, 51, 102},  {255, 51, 102},  {0, 102, 102},   {51, 102, 102},
    {102, 102, 102}, {153, 102, 102}, {204, 102, 102}, {255, 102, 102}, {0, 153, 102},   {51, 153, 102},
    {102, 153, 102}, {153, 153, 102}, {204, 153, 102}, {255, 153, 102}, {0, 204, 102},   {51, 204, 102},
    {102, 204, 102}, {153, 204, 102}, {204, 204, 102}, {255, 204, 102}, {0, 255, 102},   {51, 255, 102},
    {102, 255, 102}, {153, 255, 102}, {204, 255, 102}, {255, 255, 102}, {0, 0, 153},     {51, 0, 153},
    {102, 0, 153},   {153, 0, 153},   {204, 0, 153},   {255, 0, 153},   {0, 51, 153},    {51, 51, 153},
    {102, 51, 153},  {153, 51, 153},  {204, 51, 153},  {255, 51, 153},  {0, 102, 153},   {51, 102, 153},
    {102, 102, 153}, {153, 102, 153}, {204, 102, 153}, {255, 102, 153}, {0, 153, 153},   {51, 153, 153},
    {102, 153, 153}, {153, 153, 153}, {204, 153, 153}, {255, 153, 153}, {0, 204, 153},   {51, 204, 153},
    {102, 204, 153}, {153, 204, 153}, {204, 204, 153}, {255, 204, 153}, {0, 255, 153},   {51, 255, 153},
    {102, 255, 153}, {153, 255, 153}, {204, 255, 153}, {255, 255, 153}, {0, 0, 204},     {51, 0, 204},
    {102, 0, 204},   {153, 0, 204},   {204, 0, 204},   {255, 0, 204},   {0, 51, 204},    {51, 51, 204},
    {102, 51, 204},  {153, 51, 204},  {204, 51, 204},  {255, 51, 204},  {0, 102, 204},   {51, 102, 204},
    {102, 102, 204}, {153, 102, 204}, {204, 102, 204}, {255, 102, 204}, {0, 153, 204},   {51, 153, 204},
    {102, 153, 204}, {153, 153, 204}, {204, 153, 204}, {255, 153, 204}, {0, 204, 204},   {51, 204, 204},
    {102, 204, 204}, {153, 204, 204}, {204, 204, 204}, {255, 204, 204}, {0, 255, 204},   {51, 255, 204},
    {102, 255, 204}, {153, 255, 204}, {204, 255, 204}, {255, 255, 204}, {0, 0, 255},     {51, 0, 255},
    {102, 0, 255},   {153, 0, 255},   {204, 0, 255},   {255, 0, 255},   {0, 51, 255},    {51, 51, 255},
    {102, 51, 255},  {153, 51, 255},  {204, 51, 255},  {255, 51, 255},  {0, 102, 255},   {51, 102, 255},
    {102, 102, 255}, {153, 102, 255}, {204, 102, 255}, {255, 102, 255}, {0, 153, 255},   {51, 153, 255},
    {102, 153, 255}, {153, 153, 255}, {204, 153, 255}, {255, 153, 255}, {0, 204, 255},   {51, 204, 255},
    {102, 204, 255}, {153, 204, 255}, {204, 204, 255}, {255, 204, 255}, {0, 255, 255},   {51, 255, 255},
    {102, 255, 255}, {153, 255, 255}, {204, 255, 255}, {255, 255, 255}, {0, 0, 0},       {17, 17, 17},
    {34, 34, 34},    {51, 51, 51},    {68, 68, 68},    {85, 85, 85},    {102, 102, 102}, {119, 119, 119},
    {136, 136, 136}, {153, 153, 153}, {170, 170, 170}, {187, 187, 187}, {204, 204, 204}, {221, 221, 221},
    {238, 238, 238}, {255, 255, 255},
};

GuiScreen* CreateGuiScreen() {
    return new (std::nothrow) L24logi(MakeGuiRect(0, 0, 1023, 479));
}

L24logi::L24logi(const GuiRect& rect) : GuiScreen(rect) {
    miNumColors = 256;
    // The frame buffer is the outermost limit of every surface.
    mwHRes = std::clamp(mwHRes, 0, DISPLAY_FB_WIDTH);
    mwVRes = std::clamp(mwVRes, 0, DISPLAY_FB_HEIGHT);
    gbVMemory =
        static_cast<uint32_t*>(displayhw_map(DISPLAY_FB_PHYS, 4u * DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT));
    mpRowPointers = new uint32_t*[std::max(mwVRes, 1)];
    // Rows lie 4096 bytes apart in the frame buffer.
    for (int r = 0; r < mwVRes; ++r) mpRowPointers[r] = gbVMemory + static_cast<size_t>(r) * DISPLAY_FB_WIDTH;
    mLastPointerPos = GuiPoint{static_cast<int16_t>(mwHRes / 2), static_cast<int16_t>(mwVRes / 2)};
    std::memcpy(mPalette, DefPalette256, sizeof DefPalette256);
}

L24logi::~L24logi() {
    if (mpSavedRowPointers) { // destroyed while drawing into a bitmap
        delete[] mpRowPointers;
        mpRowPointers = mpSavedRowPointers;
    }
    delete[] mpRowPointers;
}

void L24logi::BeginDraw(GuiThing*) {
    EnterCriticalSection();
    ++miDrawNesting;
}

void L24logi::EndDraw() {
    if (--miDrawNesting == 0) {
        while (miInvalidCount > 0) {
            --miInvalidCount;
            ExitCriticalSection();
        }
    }
    ExitCriticalSection();
}

void L24logi::BeginDraw(GuiThing*, GuiBitmap* bitmap) {
    EnterCriticalSection();
    // Only a 32-bit bitmap can take frame-buffer words; drawing into bitmaps does not nest.
    if (!bitmap || !bitmap->width || !bitmap->height || !bitmap->data || bitmap->bitsPerPixel != 32 ||
        mbDrawToBitmap)
        return;
    auto** rows = new (std::nothrow) uint32_t*[bitmap->height];
    if (!rows) return;
    for (int r = 0; r < bitmap->height; ++r)
        rows[r] = reinterpret_cast<uint32_t*>(bitmap->data) + static_cast<size_t>(r) * bitmap->width;
    mpSavedRowPointers = mpRowPointers;
    mpRowPointers = rows;
    mBitmapRect = MakeGuiRect(0, 0, bitmap->width - 1, bitmap->height - 1);
    mbDrawToBitmap = 1;
    mpTargetBitmap = bitmap;
    ++miDrawNesting;
}

void L24logi::EndDraw(GuiBitmap* bitmap) {
    if (mbDrawToBitmap && bitmap == mpTargetBitmap) {
        mbDrawToBitmap = 0;
        mpTargetBitmap = nullptr;
        --miDrawNesting;
        delete[] mpRowPointers;
        mpRowPointers = mpSavedRowPointers;
        mpSavedRowPointers = nullptr;
    }
    ExitCriticalSection();
}

GuiRect L24logi::SurfaceRect() const {
    return mbDrawToBitmap ? mBitmapRect : MakeGuiRect(0, 0, mwHRes - 1, mwVRes - 1);
}

int L24logi::Capture(GuiCapture* capture, GuiRect& area) {
    if (!capture) return 0;
    if (area.left < 0) area.left = 0;
    if (area.top < 0) area.top = 0;
    const int w = area.Width(), h = area.Height();
    if (w <= 0 || h <= 0) return 0;
    if (!capture->Realloc(static_cast<long>(w) * h * 4)) return 0;
    capture->rect = area;
    capture->bitmap.flags = GUI_BMP_DRAWABLE;
    capture->bitmap.bitsPerPixel = 32;
    capture->bitmap.width = static_cast<uint16_t>(w);
    capture->bitmap.height = static_cast<uint16_t>(h);
    capture->bitmap.transparentColor = 0;
    // Pixels outside the surface read as 0; the capture keeps the size asked for.
    const GuiRect s = SurfaceRect();
    auto* out = reinterpret_cast<uint32_t*>(capture->bitmap.data);
    for (int y = 0; y < h; ++y) {
        uint32_t* row = out + static_cast<size_t>(y) * w;
        const int sy = area.top + y;
        if (sy > s.bottom) {
            std::fill_n(row, w, 0u);
            continue;
        }
        const int x0 = area.left, x1 = std::min<int>(area.right, s.right);
        const int n = std::max(0, x1 - x0 + 1);
        if (n > 0) std::memcpy(row, mpRowPointers[sy] + x0, static_cast<size_t>(n) * 4);
        std::fill(row + n, row + w, 0u);
    }
    capture->valid = 1;
    return 1;
}

void L24logi::SetPalette(int first, int count, const unsigned char* rgb) {
    if (!rgb) return;
    for (int i = 0; i < count; ++i) {
        const int e = first + i;
        if (e < 0 || e > 255) continue;
        std::memcpy(mPalette[e], rgb + 3 * i, 3);
    }
}

unsigned char* L24logi::GetPalette(unsigned long* count) {
    if (count) *count = 0xFFFFFF;
    return nullptr;
}

uint32_t L24logi::PaletteWord(int index) const {
    const unsigned char* p = mPalette[index & 0xFF];
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

unsigned long L24logi::GetBitmapPixel(int x, int y, GuiBitmap* bitmap) {
    if (!bitmap || !bitmap->data || x < 0 || y < 0 || x >= bitmap->width || y >= bitmap->height) return 0;
    if (bitmap->flags & GUI_BMP_RLE) return 0;
    const size_t i = static_cast<size_t>(y) * bitmap->width + x;
    const uint8_t* d = bitmap->data;
    const bool transparent = bitmap->flags & GUI_BMP_TRANSPARENT;
    // Read by depth; a pixel that is not drawn reads as 1, the transparent value of 32-bit bitmaps.
    switch (bitmap->bitsPerPixel) {
    case 32: {
        uint32_t w;
        std::memcpy(&w, d + 4 * i, 4);
        if (bitmap->flags & GUI_BMP_ALPHA) return (w & 0xFF) > 127 ? (w >> 8) : 1;
        return w;
    }
    case 24:
        return (static_cast<uint32_t>(d[3 * i]) << 16) | (static_cast<uint32_t>(d[3 * i + 1]) << 8) |
               d[3 * i + 2];
    case 8:
        if (transparent && d[i] == bitmap->transparentColor) return 1;
        return PaletteWord(d[i]);
    default:
        return 0;
    }
}

void L24logi::PutBitmapPixel(int x, int y, GuiBitmap* bitmap, unsigned long colour) {
    if (!bitmap || !bitmap->data || bitmap->bitsPerPixel != 32 || (bitmap->flags & GUI_BMP_RLE)) return;
    if (x < 0 || y < 0 || x >= bitmap->width || y >= bitmap->height) return;
    const uint32_t w = static_cast<uint32_t>(colour);
    std::memcpy(bitmap->data + 4 * (static_cast<size_t>(y) * bitmap->width + x), &w, 4);
}

GuiBitmap* L24logi::CreateBitmap(int width, int height, int transparent) {
    if (width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF) return nullptr;
    auto* b = new (std::nothrow) GuiBitmap{};
    if (!b) return nullptr;
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    b->data = new (std::nothrow) uint8_t[n * 4];
    if (!b->data) {
        delete b;
        return nullptr;
    }
    b->flags = GUI_BMP_DRAWABLE | (transparent ? GUI_BMP_TRANSPARENT : 0);
    b->bitsPerPixel = 32;
    b->width = static_cast<uint16_t>(width);
    b->height = static_cast<uint16_t>(height);
    b->transparentColor = transparent ? 1 : 0;
    std::fill_n(reinterpret_cast<uint32_t*>(b->data), n, 1u);
    return b;
}

void L24logi::FlushScreen() {
    scrndrvFlush();
}

void L24logi::WaitFlushFinish() {
    scrndrvWaitFlush();
}

void L24logi::HorizontalLine(int x1, int x2, int y, unsigned long colour, int width) {
    if (x2 < x1 || width < 1) return;
    for (int r = y; r < y + width; ++r)
        guishape::FillPixels(mpRowPointers[r] + x1, static_cast<size_t>(x2 - x1) + 1,
                             static_cast<uint32_t>(colour));
}

void L24logi::VerticalLine(int y1, int y2, int x, unsigned long colour, int width) {
    if (y1 > y2 || width < 1) return;
    for (int r = y1; r <= y2; ++r)
        std::fill(mpRowPointers[r] + x, mpRowPointers[r] + x + width, static_cast<uint32_t>(colour));
}

void L24logi::HorizontalLineXOR(int x1, int x2, int y) {
    for (int x = x1; x <= x2; x += 2) mpRowPointers[y][x] ^= 0x00FFFFFFu;
}

void L24logi::VerticalLineXOR(int y1, int y2, int x) {
    for (int y = y1; y <= y2; y += 2) mpRowPointers[y][x] ^= 0x00FFFFFFu;
}

unsigned long L24logi::GetPixelView(int x, int y) {
    return mpRowPointers[y][x];
}

void L24logi::RectMoveView(GuiThing* thing, const GuiRect& source, int dx, int dy) {
    GuiCapture cap;
    GuiRect area = source;
    if (!Capture(&cap, area)) return;
    cap.MoveTo(cap.rect.left + dx, cap.rect.top + dy);
    Bitmap(thing, cap.Point(), &cap.bitmap, 1);
    cap.Free();
}
