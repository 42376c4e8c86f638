#include "gui/widgets/edit/guiedit.h"

#include <algorithm>
#include <string>

#include "gui/core/guiscreen.h"
#include "gui/core/guitextops.h"
#include "gui/window/guipm.h"

namespace {

constexpr int kFontEntry = 7;
constexpr uint32_t kCursorColour = 0x0000FF;

int FieldHeight(unsigned short style) {
    const int h = GuiFontHeight(GuiTextThing::mFontTable[kFontEntry]);
    if (style & (GUI_BORDER_RAISED | GUI_BORDER_RECESSED)) return h + 4;
    return (style & GUI_BORDER_THIN) ? h + 2 : h;
}

GuiRect AutoRect(int x, int y, const char* text, unsigned short style) {
    const int w = text ? GuiFontTextWidth(text, GuiTextThing::mFontTable[kFontEntry]) : 0;
    return MakeGuiRect(x, y, x + w + 10, y + FieldHeight(style));
}

GuiPresentationManager* ScratchOwner() {
    return dynamic_cast<GuiPresentationManager*>(GuiThing::mpPresentation);
}

} // namespace

GuiEditField::GuiEditField(const GuiRect& rect, const char* text, unsigned short id, unsigned short style,
                           int maxLength)
    : GuiTextThing(rect, id, style | GUI_STYLE_COPY | GUI_STYLE_EDITABLE, nullptr, kFontEntry) {
    miMaxLength = maxLength;
    Initialize(style);
    DataSet(text);
}

GuiEditField::GuiEditField(int x, int y, int width, const char* text, unsigned short id, unsigned short style,
                           int maxLength)
    : GuiEditField(MakeGuiRect(x, y, x + width - 1, y + FieldHeight(style)), text, id, style, maxLength) {}

GuiEditField::GuiEditField(int x, int y, const char* text, unsigned short id, unsigned short style,
                           int maxLength)
    : GuiEditField(AutoRect(x, y, text, style), text, id, style, maxLength) {}

void GuiEditField::Initialize(unsigned short style) {
    muThingType = GUI_TYPE_EDIT_FIELD;
    mColors[0] = 0xFFFFFF;
    mColors[1] = 0x0000BF;
    mColors[2] = 0x000000;
    mColors[3] = 0xFFFFFF;
    miCursor = miFirstVisible = 0;
    mwEditFlags = 0;
    miMarkStart = miMarkEnd = -1;
    if (style & GUI_STYLE_EDITABLE) {
        AddStatus(GUI_ST_WINDOW);
        mwSignals = 0x0400;
    } else {
        RemoveStatus(GUI_ST_SELECTABLE | GUI_ST_FOCUS);
        mwSignals = 0;
    }
    InitClient();
    mClientRect.left = static_cast<int16_t>(mClientRect.left + 1);
    mClientRect.right = static_cast<int16_t>(mClientRect.right - 1);
    setCursorX(mClientRect.left);
    miCursorY = mClientRect.top;
}

void GuiEditField::Style(unsigned short style) {
    mwStyleFlags = style;
    if (style & GUI_STYLE_EDITABLE)
        AddStatus(GUI_ST_WINDOW | GUI_ST_FOCUS | GUI_ST_SELECTABLE);
    else
        RemoveStatus(GUI_ST_WINDOW | GUI_ST_FOCUS | GUI_ST_SELECTABLE);
}

int GuiEditField::charW(int ch) const {
    return GuiCharW(mpTextFont, ch);
}

int GuiEditField::width(int from, int count) const {
    if (!mpTextData || from < 0 || from >= Length()) return 0;
    return GuiSpanW(mpTextFont, mpTextData + from, count);
}

void GuiEditField::invalidateClient() {
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
}

void GuiEditField::DataSet(const char* text) {
    const int n = text ? static_cast<int>(std::char_traits<char>::length(text)) : 0;
    if (miMaxLength >= 0 && n > miMaxLength)
        GuiTextThing::DataSet(std::string(text, static_cast<size_t>(miMaxLength)).c_str());
    else
        GuiTextThing::DataSet(text);
    const int len = Length();
    const GuiRect& c = mClientRect;
    if (len > 0) {
        miFirstVisible = std::min(miFirstVisible, len);
        if (miCursor > len) {
            miCursor = len;
            setCursorX(c.left + width(miFirstVisible, len));
            miCursorY = c.top;
        }
        miFirstVisible = std::min(miFirstVisible, miCursor);
        if (miFirstVisible > 0) {
            int w = width(miFirstVisible, len);
            const int cw = c.Width();
            if (w >= cw && miCursor == len) {
                while (w > cw && miFirstVisible < miCursor) {
                    const int d = charW(mpTextData[miFirstVisible++]);
                    w -= d;
                    setCursorX(miCursorX - d);
                }
            } else if (w < cw) {
                while (miFirstVisible > 0 && w + charW(mpTextData[miFirstVisible - 1]) < cw) {
                    const int d = charW(mpTextData[--miFirstVisible]);
                    w += d;
                    setCursorX(miCursorX + d);
                }
            }
        }
    } else {
        miCursor = miFirstVisible = 0;
        setCursorX(c.left);
        miCursorY = c.top;
    }
    if ((mwEditFlags & GUI_EF_ALL_MARKED) && len > 0) {
        miMarkStart = 0;
        miMarkEnd = len;
        miCursor = miFirstVisible = 0;
        mwEditFlags = static_cast<uint16_t>((mwEditFlags | GUI_EF_MARKED) & ~GUI_EF_CURSOR);
    } else {
        mwEditFlags &= static_cast<uint16_t>(~(GUI_EF_CURSOR | GUI_EF_MARKED | GUI_EF_ALL_MARKED));
        if (mwStatusFlags & GUI_ST_CURRENT) mwEditFlags |= GUI_EF_CURSOR;
    }
    mwEditFlags &= static_cast<uint16_t>(~GUI_EF_CHANGED);
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void GuiEditField::RetardCursor(int ch) {
    setCursorX(miCursorX - charW(ch));
    while (miCursorX < mClientRect.left && miFirstVisible > 0 && mpTextData) {
        --miFirstVisible;
        setCursorX(miCursorX + charW(mpTextData[miFirstVisible]));
    }
}

void GuiEditField::AdvanceCursor(int ch) {
    setCursorX(miCursorX + charW(ch));
    // Scrolled by whole characters, never past the cursor: a field narrower than one character
    // shows the cursor at its left edge.
    while (miCursorX >= mClientRect.right && miFirstVisible < miCursor && mpTextData) {
        setCursorX(miCursorX - charW(mpTextData[miFirstVisible]));
        ++miFirstVisible;
    }
}

int GuiEditField::InsertKey(int key) {
    const int len = Length();
    const GuiRect& c = mClientRect;
    bool force = false; // home after a dropped mark moves even from index 0
    if (mwEditFlags & GUI_EF_MARKED) {
        if (GuiIsPrintableKey(key)) {
            ReplaceMarkedText(key);
            mwEditFlags = static_cast<uint16_t>((mwEditFlags & ~GUI_EF_ALL_MARKED) | GUI_EF_CHANGED);
        } else if (key == GUI_KEY_BACKSPACE || key == GUI_KEY_DELETE) {
            DeleteMarkedText();
            mwEditFlags &= static_cast<uint16_t>(~GUI_EF_ALL_MARKED);
        } else if (key == GUI_KEY_HOME || key == GUI_KEY_LEFT || key == GUI_KEY_END || key == GUI_KEY_RIGHT) {
            mwEditFlags =
                static_cast<uint16_t>((mwEditFlags | GUI_EF_CURSOR) & ~(GUI_EF_MARKED | GUI_EF_ALL_MARKED));
            force = key == GUI_KEY_HOME || key == GUI_KEY_LEFT;
            key = force ? GUI_KEY_HOME : GUI_KEY_END;
        } else {
            return 0;
        }
        if (!force && key != GUI_KEY_END) {
            if (IsVisible()) Draw();
            return 1;
        }
    }
    if (GuiIsPrintableKey(key)) {
        if (miMaxLength >= 0 && len >= miMaxLength) return 0;
        const std::string s =
            GuiSplice(mpTextData, len, miCursor, std::string(1, static_cast<char>(key)), miCursor);
        DataSet(s.c_str());
        ++miCursor;
        AdvanceCursor(key);
    } else if (key == GUI_KEY_BACKSPACE) {
        if (miCursor <= 0 || !mpTextData) return 0;
        RetardCursor(mpTextData[miCursor - 1]);
        const std::string s = GuiSplice(mpTextData, len, miCursor - 1, "", miCursor);
        --miCursor;
        DataSet(s.c_str());
    } else if (key == GUI_KEY_DELETE) {
        if (!mpTextData || miCursor >= len) return 0;
        std::char_traits<char>::move(mpTextData + miCursor, mpTextData + miCursor + 1,
                                     static_cast<size_t>(len - miCursor));
        --miTextLength;
        if (miTextLength <= 1) GuiTextThing::DataSet(nullptr);
        invalidateClient();
    } else if (key == GUI_KEY_HOME) {
        if (miCursor == 0 && !force) return 0;
        miCursor = miFirstVisible = 0;
        setCursorX(c.left);
        invalidateClient();
    } else if (key == GUI_KEY_END) {
        if (!mpTextData) return 0;
        miCursor = len;
        miFirstVisible = 0;
        setCursorX(c.left + width(0, len));
        while (miCursorX >= c.right && miFirstVisible < miCursor) {
            setCursorX(miCursorX - charW(mpTextData[miFirstVisible]));
            ++miFirstVisible;
        }
        invalidateClient();
    } else if (key == GUI_KEY_LEFT) {
        if (miCursor <= 0 || !mpTextData) return 0;
        RetardCursor(mpTextData[miCursor - 1]);
        --miCursor;
        invalidateClient();
    } else if (key == GUI_KEY_RIGHT) {
        if (!mpTextData || miCursor >= len) return 0;
        AdvanceCursor(mpTextData[miCursor]);
        ++miCursor;
        invalidateClient();
    } else {
        return 0;
    }
    mwEditFlags |= GUI_EF_CHANGED;
    if (IsVisible()) Draw();
    return 1;
}

void GuiEditField::SetCursorPos(GuiPoint p) {
    const GuiRect& c = mClientRect;
    miCursorY = c.top;
    if (!mpTextData) {
        miCursor = 0;
        setCursorX(c.left + 1);
        return;
    }
    const int len = Length();
    const int limit = p.x - c.left;
    int off = 1, i = miFirstVisible;
    while (i < len && off + charW(mpTextData[i]) <= limit) off += charW(mpTextData[i++]);
    if (i < len) {
        const int w = charW(mpTextData[i]);
        if (2 * (limit - off) > w) {
            off += w;
            ++i;
        }
    }
    miCursor = i;
    setCursorX(c.left + off);
    invalidateClient();
    if (IsVisible()) Draw();
}

void GuiEditField::SetMark(int start, int end) {
    if (!mpTextData) return;
    const int len = Length();
    if (start >= 0 && start < len && start < end && end <= len) {
        miMarkStart = start;
        miMarkEnd = end;
        mwEditFlags =
            static_cast<uint16_t>((mwEditFlags | GUI_EF_MARKED) & ~(GUI_EF_CURSOR | GUI_EF_ALL_MARKED));
        DrawMarked();
        return;
    }
    mwEditFlags &= static_cast<uint16_t>(~(GUI_EF_MARKED | GUI_EF_CURSOR | GUI_EF_ALL_MARKED));
    invalidateClient();
    if (IsVisible()) Draw();
}

void GuiEditField::SetMark(char* start, char* end) {
    if (!mpTextData || !start || !end) return;
    char* last = mpTextData + Length() - 1;
    if (start < mpTextData || start >= last || end <= start || end > last) return;
    miMarkStart = static_cast<int32_t>(start - mpTextData);
    miMarkEnd = static_cast<int32_t>(end - mpTextData);
    mwEditFlags = static_cast<uint16_t>((mwEditFlags | GUI_EF_MARKED) & ~(GUI_EF_CURSOR | GUI_EF_ALL_MARKED));
    DrawMarked();
}

void GuiEditField::DeleteMarkedText() {
    if (!(mwEditFlags & GUI_EF_MARKED)) return;
    const GuiRect& c = mClientRect;
    const int len = Length();
    miCursorY = c.top;
    mwEditFlags = static_cast<uint16_t>((mwEditFlags & ~GUI_EF_MARKED) | GUI_EF_CURSOR);
    if (wholeMarked() || !mpTextData) {
        miCursor = miFirstVisible = 0;
        setCursorX(c.left);
        DataSet(nullptr);
        return;
    }
    const int start = std::clamp<int>(miMarkStart, 0, len), end = std::clamp<int>(miMarkEnd, start, len);
    const std::string s = GuiSplice(mpTextData, len, start, "", end);
    miFirstVisible = std::min(miFirstVisible, start);
    setCursorX(c.left + width(miFirstVisible, start - miFirstVisible));
    miCursor = start;
    DataSet(s.c_str());
}

void GuiEditField::ReplaceMarkedText(int ch) {
    if (!(mwEditFlags & GUI_EF_MARKED)) return;
    const GuiRect& c = mClientRect;
    const int len = Length();
    miCursorY = c.top;
    std::string s(1, static_cast<char>(ch));
    if (!wholeMarked() && mpTextData) {
        const int start = std::clamp<int>(miMarkStart, 0, len), end = std::clamp<int>(miMarkEnd, start, len);
        s = GuiSplice(mpTextData, len, start, s, end);
        miFirstVisible = std::min(miFirstVisible, start);
        setCursorX(c.left + width(miFirstVisible, start - miFirstVisible) + charW(ch));
        miCursor = start + 1;
    } else {
        miFirstVisible = 0;
        miCursor = 1;
        setCursorX(c.left + charW(ch));
    }
    // The whole-text mark must not come back with the new text.
    mwEditFlags &= static_cast<uint16_t>(~GUI_EF_ALL_MARKED);
    DataSet(s.c_str());
    mwEditFlags = static_cast<uint16_t>((mwEditFlags & ~GUI_EF_MARKED) | GUI_EF_CURSOR);
}

void GuiEditField::CopyToScratchPad() {
    GuiPresentationManager* pm = ScratchOwner();
    if (!pm || !(mwEditFlags & GUI_EF_MARKED) || !mpTextData) return;
    const int len = Length();
    if (wholeMarked()) {
        pm->SetScratchPad(mpTextData);
        return;
    }
    const int start = std::clamp<int>(miMarkStart, 0, len), end = std::clamp<int>(miMarkEnd, start, len);
    pm->SetScratchPad(std::string(mpTextData + start, static_cast<size_t>(end - start)).c_str());
}

void GuiEditField::PasteFromScratchPad() {
    GuiPresentationManager* pm = ScratchOwner();
    const char* pad = pm ? pm->GetScratchPad() : nullptr;
    if (!pad || !*pad) return;
    const std::string copy = pad;
    if (mpTextData) {
        if (mwEditFlags & (GUI_EF_MARKED | GUI_EF_ALL_MARKED)) DeleteMarkedText();
    }
    if (mpTextData) {
        const int len = Length();
        const int at = std::clamp<int>(miCursor, 0, len);
        DataSet(GuiSplice(mpTextData, len, at, copy, at).c_str());
    } else {
        DataSet(copy.c_str());
        miCursor = Length();
        miFirstVisible = std::min(miFirstVisible, miCursor);
        setCursorX(mClientRect.left + width(miFirstVisible, miCursor - miFirstVisible));
    }
    mwEditFlags = static_cast<uint16_t>((mwEditFlags & ~GUI_EF_MARKED) | GUI_EF_CURSOR);
    if (IsVisible()) Draw();
}

int GuiEditField::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_HIDE:
        GuiTextThing::Message(msg);
        mwEditFlags &= 0xFF00;
        return 0;
    case GM_CURRENT: {
        GuiTextThing::Message(msg);
        const GuiRect& c = mClientRect;
        if (mpTextData) {
            miMarkStart = 0;
            miMarkEnd = Length();
            miCursor = 0;
            mwEditFlags = static_cast<uint16_t>((mwEditFlags | GUI_EF_MARKED | GUI_EF_ALL_MARKED) &
                                                ~(GUI_EF_CURSOR | GUI_EF_CHANGED));
            setCursorX(c.left + 1 - width(0, miFirstVisible));
        } else {
            miCursor = 0;
            setCursorX(c.left + 1);
            miCursorY = c.top;
            mwEditFlags = static_cast<uint16_t>(
                (mwEditFlags & ~(GUI_EF_MARKED | GUI_EF_ALL_MARKED | GUI_EF_CHANGED)) | GUI_EF_CURSOR);
        }
        invalidateClient();
        Draw();
        return 0;
    }
    case GM_NOT_CURRENT:
        GuiTextThing::Message(msg);
        if ((mwEditFlags & GUI_EF_CHANGED) && mwThingId && (mwSignals & 0x0400) && mpParentThing &&
            mpParentThing->IsVisible())
            SendSignal(GUI_SIGNAL_EDIT_DONE);
        mwEditFlags &= 0xFF00;
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
        Draw();
        return 0;
    case GM_CUT:
        CopyToScratchPad();
        DeleteMarkedText();
        mwEditFlags |= GUI_EF_CHANGED;
        Draw();
        return 0;
    case GM_COPY:
        CopyToScratchPad();
        return 0;
    case GM_PASTE:
        PasteFromScratchPad();
        mwEditFlags |= GUI_EF_CHANGED;
        return 0;
    default:
        return GuiTextThing::Message(msg);
    }
}

void GuiEditField::drawRun(int& x, int from, int to, uint32_t fg, uint32_t bg) {
    if (to <= from || !mpTextData) return;
    GuiColor colour{fg, bg, GUI_COLOR_FILL};
    mpScreen->DrawText(this, GuiPoint{static_cast<int16_t>(x), mClientRect.top}, mpTextData + from, colour,
                       mpTextFont, to - from, 0);
    x += width(from, to - from);
}

void GuiEditField::Draw() {
    if (!mpParentThing || !mpScreen) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    StandardBorder(mColors[0]);
    const GuiRect saved = mClipRect;
    mClipRect &= mClientRect;
    const int len = Length();
    if (mwEditFlags & GUI_EF_MARKED) {
        DrawMarked();
    } else if (mpTextData && miFirstVisible < len) {
        int x = (mwStyleFlags & GUI_STYLE_RIGHT)
                    ? mClientRect.right - width(miFirstVisible, len - miFirstVisible) - 1
                    : mClientRect.left + 1;
        drawRun(x, miFirstVisible, len, mColors[2], mColors[0]);
    }
    if ((mwEditFlags & GUI_EF_CURSOR) && !(mwStyleFlags & GUI_STYLE_RIGHT))
        s.Line(this, miCursorX, mClientRect.top, miCursorX, mClientRect.bottom,
               GuiColor{kCursorColour, kCursorColour, 0}, 1);
    mClipRect = saved;
    DrawChildren();
    s.EndDraw();
}

void GuiEditField::DrawMarked() {
    if (!mpScreen) return;
    GuiScreen& s = *mpScreen;
    invalidateClient();
    s.BeginDraw(this);
    const GuiRect saved = mClipRect;
    mClipRect &= mClientRect;
    s.Rectangle(this, mClientRect, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    const int len = Length();
    const int end = std::min<int>(miMarkEnd, len), start = std::max<int>(miMarkStart, 0);
    const int fv = miFirstVisible;
    int x = mClientRect.left + 1;
    if (start > fv) drawRun(x, fv, std::min(start, len), mColors[2], mColors[0]);
    if (end > fv) drawRun(x, std::max(fv, start), end, mColors[3], mColors[1]);
    drawRun(x, std::max(end, fv), len, mColors[2], mColors[0]);
    mClipRect = saved;
    s.EndDraw();
}
