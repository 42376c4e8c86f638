#include "display/pages/dispview_draw.h"

#include "gui/core/guiscreen.h"

GuiBitmap* DispRenderTextSized(GuiThing* owner, const char* text, const GuiFont* font, uint32_t fg,
                               uint32_t bg, int width, int height) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s || !text) return nullptr;
    GuiBitmap* b = s->CreateBitmap(width < 1 ? 1 : width, height < 1 ? 1 : height, 0);
    if (!b) return nullptr;
    s->BeginDraw(owner, b);
    GuiColor colour{fg, bg, GUI_COLOR_FILL};
    s->DrawText(owner, GuiPoint{0, 0}, text, colour, font, -1, 0);
    s->EndDraw(b);
    return b;
}

GuiBitmap* DispRenderText(GuiThing* owner, const char* text, const GuiFont* font, uint32_t fg, uint32_t bg,
                          int transparent, int* width, int* height) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s || !text) return nullptr;
    const int w = s->TextWidth(text, font, -1), h = s->TextHeight(text, font);
    if (width) *width = w;
    if (height) *height = h;
    if (w < 1 || h < 1) return nullptr;
    GuiBitmap* b = s->CreateBitmap(w, h, transparent);
    if (!b) return nullptr;
    s->BeginDraw(owner, b);
    GuiColor colour{fg, bg, GUI_COLOR_FILL};
    s->DrawText(owner, GuiPoint{0, 0}, text, colour, font, -1, 0);
    s->EndDraw(b);
    return b;
}

void DispFreeBitmap(GuiBitmap*& bitmap) {
    if (!bitmap) return;
    if (GuiThing::mpScreen) {
        GuiThing::mpScreen->DestroyBitmap(bitmap);
    } else {
        delete[] bitmap->data;
        delete bitmap;
    }
    bitmap = nullptr;
}

void DispDrawFrame(GuiThing* owner, int left, int top, int right, int bottom, uint32_t style, uint32_t fg,
                   uint32_t bg) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s || style == 0) return;
    const GuiColor c{fg, bg, 0};
    s->Rectangle(owner, MakeGuiRect(left + 5, top + 5, right - 5, bottom - 5), c, 2);
    switch (style) {
    case 2:
        s->Rectangle(owner, MakeGuiRect(left + 9, top + 9, right - 9, bottom - 9), c, 2);
        break;
    case 3:
        s->Rectangle(owner, MakeGuiRect(left + 9, top + 5, right - 9, bottom - 5), c, 2);
        break;
    case 4:
        s->Rectangle(owner, MakeGuiRect(left + 5, top + 9, right - 5, bottom - 9), c, 2);
        break;
    default:
        break;
    }
}

void DispDrawCross(GuiThing* owner, int left, int top, int right, int bottom) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s) return;
    const GuiColor red{0xFF0000, 0xC0C0C0, 0};
    s->Line(owner, left, top + 1, right, bottom - 1, red, 2);
    s->Line(owner, left, bottom - 1, right, top + 1, red, 2);
}
