// Decorated buttons (a text and a bitmap beside, above or below it, optionally flat until the
// pointer rolls over them) and multi-line text buttons (the text split into lines at a separator).
#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/window/guibutton.h"

// ---------------------------------------------------------------------------------------------
// GuiDecoratedButton

GuiDecoratedButton::GuiDecoratedButton(const GuiRect& rect, const char* text, GuiBitmap* bitmap,
                                       unsigned short id, unsigned short style, int rollOver)
    : GuiButton(rect, id, style, text, 3), mpBitmap(bitmap), mbRollOver(rollOver) {
    init();
}

GuiDecoratedButton::GuiDecoratedButton(int x, int y, int width, const char* text, GuiBitmap* bitmap,
                                       unsigned short id, unsigned short style, int rollOver)
    : GuiButton(id, style, text, 3), mpBitmap(bitmap), mbRollOver(rollOver) {
    init();
    size(x, y, width, true);
}

GuiDecoratedButton::GuiDecoratedButton(int x, int y, const char* text, GuiBitmap* bitmap, unsigned short id,
                                       unsigned short style, int rollOver)
    : GuiButton(id, style, text, 3), mpBitmap(bitmap), mbRollOver(rollOver) {
    init();
    size(x, y, 0, false);
}

void GuiDecoratedButton::init() {
    muThingType = GUI_TYPE_DECORATED_BUTTON;
    mColors[0] = GUI_LIGHT_GREY;
    mColors[2] = GUI_BLACK;
}

void GuiDecoratedButton::size(int x, int y, int width, bool withWidth) {
    const bool text = mpTextData != nullptr;
    const int th = text ? LineH() + 3 : 0, tw = text ? TextW(mpTextData) + 3 : 0;
    const int bw = mpBitmap ? mpBitmap->width : 0, bh = mpBitmap ? mpBitmap->height : 0;
    const uint16_t where = mwStyleFlags & GUI_BTN_BMP_MASK;
    const bool stacked = where == GUI_BTN_BMP_ABOVE || where == GUI_BTN_BMP_BELOW;
    int right, bottom;
    if (withWidth) {
        right = x + width - 1;
        if (!mpBitmap)
            bottom = y + th;
        else if (stacked)
            bottom = y + th + 2 + bh;
        else
            bottom = y + 2 + std::max(bh + 3, th);
    } else if (!mpBitmap) {
        right = x + tw;
        bottom = y + th;
    } else if (stacked) {
        right = x + 2 + std::max(bw + 3, tw);
        bottom = y + th + 5 + bh;
    } else {
        bottom = y + 2 + std::max(bh + 3, th);
        right = x + tw + bw + 3 + (text ? 5 : 3);
    }
    Place(MakeGuiRect(x, y, right, bottom));
}

int GuiDecoratedButton::Message(const GuiMessage& msg) {
    if (msg.Type != GM_POINTER_ENTER && msg.Type != GM_POINTER_EXIT && msg.Type != GM_NOT_CURRENT)
        return GuiButton::Message(msg);
    const int result = GuiButton::Message(msg);
    if (!mbRollOver) return result;
    mbPointerOver = msg.Type == GM_POINTER_ENTER ? 1 : 0;
    if (msg.Type != GM_NOT_CURRENT && IsVisible() && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
    return result;
}

void GuiDecoratedButton::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    if (mbRollOver && !mbPointerOver) {
        // Flat until the pointer is over it.
        s.Rectangle(this, mRealRect, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 1);
        mClientRect = mRealRect;
    } else {
        GuiButton::Draw();
    }
    const GuiRect& c = mClientRect;
    const int tw = TextW(mpTextData), th = mpTextData ? LineH() : 0;
    int tx = c.left + ((c.Width() - tw) >> 1), ty = c.top + ((c.Height() - th) >> 1);
    if (mpBitmap) {
        const int bw = mpBitmap->width, bh = mpBitmap->height;
        int bx = c.left + ((c.Width() - bw) >> 1), by = c.top + ((c.Height() - bh) >> 1);
        switch (mwStyleFlags & GUI_BTN_BMP_MASK) {
        case GUI_BTN_BMP_RIGHT:
            bx = c.right - (bw + 3);
            tx = bx - tw - 2;
            break;
        case GUI_BTN_BMP_BELOW:
            by = c.bottom - (bh + 2);
            ty = by - th - 2;
            break;
        case GUI_BTN_BMP_ABOVE:
            by = c.top + 3;
            ty = by + bh + 2;
            break;
        default:
            bx = c.left + 3;
            tx = bx + bw + 2;
            break;
        }
        s.Bitmap(this, GuiPoint{static_cast<int16_t>(bx), static_cast<int16_t>(by)}, mpBitmap, 0);
    }
    DrawLabel(tx, ty, mpTextData, mColors[2]);
    s.EndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiMLTextButton

GuiMLTextButton::GuiMLTextButton(const GuiRect& rect, const char* text, char separator, unsigned short id,
                                 unsigned short style)
    : GuiButton(rect, id, style, nullptr, 3) {
    init(separator);
    ParseButtonText(text);
}

GuiMLTextButton::GuiMLTextButton(int x, int y, int width, const char* text, char separator, unsigned short id,
                                 unsigned short style)
    : GuiButton(id, style, nullptr, 3) {
    init(separator);
    ParseButtonText(text);
    Place(MakeGuiRect(x, y, x + width - 1, y + miLineCount * LineH() + 3));
}

GuiMLTextButton::GuiMLTextButton(int x, int y, const char* text, char separator, unsigned short id,
                                 unsigned short style)
    : GuiButton(id, style, nullptr, 3) {
    init(separator);
    const int widest = ParseButtonText(text);
    if (miLineCount)
        Place(MakeGuiRect(x, y, x + widest + 6, y + miLineCount * LineH() + 3));
    else
        Place(MakeGuiRect(x, y, x + 3, y + 3));
}

void GuiMLTextButton::init(char separator) {
    muThingType = GUI_TYPE_ML_TEXT_BUTTON;
    mSeparator = separator;
}

const char* GuiMLTextButton::Line(int i) const {
    const std::string& l = mLines[static_cast<size_t>(i)];
    return l.empty() ? nullptr : l.c_str();
}

int GuiMLTextButton::ParseButtonText(const char* text) {
    mLines.clear();
    mLineWidths.clear();
    miLineCount = 0;
    if (!text || !*text) return 0;
    int widest = 0;
    const char* start = text;
    for (const char* p = text;; ++p) {
        if (*p && *p != mSeparator) continue;
        mLines.emplace_back(start, static_cast<size_t>(p - start));
        const int w = mLines.back().empty() ? 0 : TextW(mLines.back().c_str());
        mLineWidths.push_back(w);
        widest = std::max(widest, w);
        if (!*p) break;
        start = p + 1;
    }
    miLineCount = static_cast<int32_t>(mLines.size());
    return widest;
}

void GuiMLTextButton::DataSet(const char* text) {
    GuiTextThing::DataSet(text);
    ParseButtonText(mpTextData);
}

void GuiMLTextButton::SetFont(const GuiFont* font) {
    GuiTextThing::SetFont(font);
    for (size_t i = 0; i < mLines.size(); ++i)
        if (!mLines[i].empty()) mLineWidths[i] = TextW(mLines[i].c_str());
}

void GuiMLTextButton::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    GuiButton::Draw();
    if (miLineCount) {
        const uint32_t colour = Style() < GUI_BTN_ENABLED ? GUI_DISABLED_TEXT : mColors[2];
        const GuiRect& c = mClientRect;
        const int lh = LineH();
        const long block = static_cast<long>(miLineCount) * lh;
        long y = block <= c.Height() ? c.top + (c.Height() - block) / 2 : c.top;
        // Lines below the outer rectangle cannot show.
        for (int i = 0; i < miLineCount && y <= mRealRect.bottom; ++i, y += lh) {
            const char* line = Line(i);
            if (!line) continue;
            const int w = mLineWidths[static_cast<size_t>(i)];
            int x;
            if (mwStyleFlags & GUI_STYLE_LEFT)
                x = c.left + 1;
            else if (mwStyleFlags & GUI_STYLE_RIGHT)
                x = c.right - w - 1;
            else
                x = c.left + (c.Width() - w) / 2;
            DrawLabel(x, static_cast<int>(y), line, colour);
        }
    }
    DrawChildren();
    s.EndDraw();
}
