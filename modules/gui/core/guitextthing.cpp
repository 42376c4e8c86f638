#include "gui/core/guitextthing.h"

#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "gui/core/guifonts.h"
#include "gui/core/guiscreen.h"

const GuiFont* GuiTextThing::mFontTable[GUI_FONT_TABLE_SIZE] = {
    &SysFont, &SysFont,  &MenuFont, &MenuFont, &MenuFont, &MenuFont, &SysFont,  &SysFont,
    &SysFont, &MenuFont, &MenuFont, &MenuFont, &SysFont,  &MenuFont, &MenuFont, &MenuFont,
    &SysFont, nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,  nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   &SysFont,  &MenuFont,
};

namespace {

std::mutex gHeapFontsMutex;
std::set<const GuiFont*>& HeapFonts() {
    static std::set<const GuiFont*> fonts;
    return fonts;
}

const GuiFont* TableFont(int fontClass) {
    return fontClass >= 0 && fontClass < GUI_FONT_TABLE_SIZE ? GuiTextThing::mFontTable[fontClass] : nullptr;
}

bool Holds(const GuiFont* chain, const GuiFont* record) {
    for (const GuiFont* f = chain; f; f = f->next)
        if (f == record) return true;
    return false;
}

} // namespace

int GuiFontHeight(const GuiFont* font) {
    int h = 0;
    for (const GuiFont* f = font; f; f = f->next)
        if (f->height > h) h = f->height;
    return h;
}

int GuiFontTextWidth(const char* text, const GuiFont* font) {
    if (!text || !font) return 0;
    int w = 0;
    for (const char* p = text; *p; ++p) {
        GuiGlyph g;
        if (GuiFindGlyph(font, static_cast<unsigned char>(*p), &g)) w += g.width;
    }
    return w;
}

GuiTextThing::GuiTextThing(const GuiRect& rect, unsigned short id, unsigned short style, const char* text,
                           int fontClass)
    : GuiThing(rect, id, style), mpTextFont(TableFont(fontClass)), mbOwnsText((style & GUI_STYLE_COPY) != 0) {
    setText(text);
}

GuiTextThing::GuiTextThing(unsigned short id, unsigned short style, const char* text, int fontClass)
    : GuiThing(id, style), mpTextFont(TableFont(fontClass)), mbOwnsText((style & GUI_STYLE_COPY) != 0) {
    setText(text);
}

GuiTextThing::~GuiTextThing() {
    if (mbOwnsText) delete[] mpTextData;
}

void GuiTextThing::setText(const char* text) {
    if (!text || !*text) return;
    const size_t n = std::strlen(text);
    if (!mbOwnsText) {
        mpTextData = const_cast<char*>(text);
        miTextLength = static_cast<int32_t>(n + 1);
        return;
    }
    mpTextData = new (std::nothrow) char[n + 17];
    if (!mpTextData) return;
    std::memcpy(mpTextData, text, n + 1);
    miTextLength = static_cast<int32_t>(n + 1);
    miBufferSize = static_cast<int32_t>(n + 17);
}

void GuiTextThing::DataSet(const char* text) {
    const bool empty = !text || !*text;
    if (!mbOwnsText) {
        mpTextData = empty ? nullptr : const_cast<char*>(text);
        miTextLength = empty ? 0 : static_cast<int32_t>(std::strlen(text) + 1);
    } else if (empty) {
        delete[] mpTextData;
        mpTextData = nullptr;
        miTextLength = miBufferSize = 0;
    } else {
        const size_t n = std::strlen(text);
        if (static_cast<size_t>(miBufferSize) < n + 1) {
            // The new buffer is filled before the old one goes: the text may live in it.
            char* fresh = new (std::nothrow) char[n + 1 + 32];
            if (!fresh) return;
            std::memcpy(fresh, text, n + 1);
            delete[] mpTextData;
            mpTextData = fresh;
            miBufferSize = static_cast<int32_t>(n + 1 + 32);
        } else {
            std::memmove(mpTextData, text, n + 1);
        }
        miTextLength = static_cast<int32_t>(n + 1);
    }
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
}

void GuiTextThing::SetFont(const GuiFont* font) {
    mpTextFont = font;
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
}

void GuiTextThing::SetCopyMode() {
    if (mbOwnsText || !mpTextData) return;
    const char* old = mpTextData;
    mpTextData = nullptr;
    miTextLength = 0;
    mbOwnsText = 1;
    DataSet(old);
}

void GuiTextThing::MarkHeapFont(GuiFont* font) {
    if (!font) return;
    std::lock_guard<std::mutex> lock(gHeapFontsMutex);
    HeapFonts().insert(font);
}

int GuiTextThing::AssignFontTablePointer(int index, const GuiFont* font, int freeOld) {
    if (index < 0 || index >= GUI_FONT_TABLE_SIZE) return 0;
    const GuiFont* old = mFontTable[index];
    mFontTable[index] = font;
    if (!freeOld || !old) return 1;
    std::lock_guard<std::mutex> lock(gHeapFontsMutex);
    for (const GuiFont* f = old; f;) {
        const GuiFont* next = f->next;
        bool held = false;
        for (const GuiFont* entry : mFontTable) held = held || Holds(entry, f);
        if (!held && HeapFonts().erase(f)) {
            if (f->type & (GUI_FONT_VARIABLE | GUI_FONT_ALIASED)) delete[] f->offsets;
            delete[] f->data;
            delete f;
        }
        f = next;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// GuiPrompt

namespace {

int BorderGrowth(uint16_t style) {
    switch (style & GUI_BORDER_MASK) {
    case GUI_BORDER_THIN:
        return 2;
    case GUI_BORDER_RAISED:
    case GUI_BORDER_RECESSED:
        return 4;
    case GUI_BORDER_THICK:
        return 10;
    default:
        return 0;
    }
}

} // namespace

GuiPrompt::GuiPrompt(const GuiRect& rect, const char* text, unsigned short id, unsigned short style,
                     int scale)
    : GuiTextThing(rect, id, style, text, GUI_FONT_CLASS_PROMPT) {
    init(scale);
}

GuiPrompt::GuiPrompt(int x, int y, int width, const char* text, unsigned short id, unsigned short style,
                     const GuiFont* font, int scale)
    : GuiTextThing(id, style, text, GUI_FONT_CLASS_PROMPT) {
    if (font) mpTextFont = font;
    const int bottom = y + GuiFontHeight(mpTextFont) + 2 + BorderGrowth(style);
    mRealRect = mClientRect = mClipRect = MakeGuiRect(x, y, x + width, bottom);
    init(scale);
}

GuiPrompt::GuiPrompt(int x, int y, const char* text, unsigned short id, unsigned short style,
                     const GuiFont* font, int scale)
    : GuiTextThing(id, style, text, GUI_FONT_CLASS_PROMPT) {
    if (font) mpTextFont = font;
    if (text) {
        const int k = scale ? 2 : 1;
        const int right = x + k * GuiFontTextWidth(text, mpTextFont) + 2;
        const int bottom = y + k * GuiFontHeight(mpTextFont) + 2 + BorderGrowth(style);
        mRealRect = mClientRect = mClipRect = MakeGuiRect(x, y, right, bottom);
    } else {
        mRealRect = mClientRect = mClipRect = MakeGuiRect(x, y, 0, 0);
    }
    init(scale);
}

void GuiPrompt::init(int scale) {
    muThingType = GUI_TYPE_PROMPT;
    InitClient();
    miTextScale = scale;
    if (mwStyleFlags & GUI_STYLE_SELECTABLE) {
        AddStatus(GUI_ST_WINDOW);
        mwSignals = 0x0002;
    } else {
        RemoveStatus(GUI_ST_FOCUS | GUI_ST_SELECTABLE); // takes neither focus nor the pointer
    }
    mColors[0] = GUI_WHITE;
    mColors[1] = 0x0000BF;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
}

int GuiPrompt::Message(const GuiMessage& msg) {
    if (msg.Type != GM_CURRENT && msg.Type != GM_NOT_CURRENT) return GuiThing::Message(msg);
    GuiThing::Message(msg);
    if (mwStyleFlags & GUI_STYLE_TRANSPARENT) return 0;
    if (msg.Type == GM_CURRENT)
        mwStyleFlags |= GUI_STYLE_HIGHLIGHT;
    else
        mwStyleFlags &= static_cast<uint16_t>(~GUI_STYLE_HIGHLIGHT);
    if (mpScreen && IsVisible()) {
        mpScreen->Invalidate(mClipRect);
        Draw();
    }
    return 0;
}

void GuiPrompt::Draw() {
    if (!mpParentThing || !mpScreen) return;
    const bool transparent = mwStyleFlags & GUI_STYLE_TRANSPARENT;
    const bool highlighted = mwStyleFlags & GUI_STYLE_HIGHLIGHT;
    const uint32_t fill =
        transparent ? static_cast<uint32_t>(mpParentThing->GetColor(0)) : mColors[highlighted ? 1 : 0];
    mpScreen->BeginDraw(this);
    if (!(transparent && (mwStyleFlags & GUI_BORDER_MASK) == GUI_BORDER_NONE)) StandardBorder(fill);
    if (mpTextData && mpTextFont) {
        const GuiRect savedClip = mClipRect;
        mClipRect &= mClientRect;
        const int k = miTextScale ? 2 : 1;
        const int w = k * mpScreen->TextWidth(mpTextData, mpTextFont, -1);
        const int h = k * mpScreen->TextHeight(mpTextData, mpTextFont);
        const GuiRect& c = mClientRect;
        const int y = c.top + (c.Height() - h) / 2;
        int x;
        if (mwStyleFlags & GUI_STYLE_LEFT)
            x = c.left + 1;
        else if (mwStyleFlags & GUI_STYLE_RIGHT)
            x = c.right - w - 1;
        else
            x = c.left + (c.Width() - w) / 2;
        const uint32_t background = (mpTextFont->type & 0x02) ? mColors[0] : fill;
        GuiColor colour{mColors[highlighted ? 3 : 2], background, 0};
        mpScreen->DrawText(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, mpTextData,
                           colour, mpTextFont, -1, miTextScale ? 1 : 0);
        mClipRect = savedClip;
    }
    if (mpFirstChild) DrawChildren();
    mpScreen->EndDraw();
}
