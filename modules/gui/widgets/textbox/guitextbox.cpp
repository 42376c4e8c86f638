#include "gui/widgets/textbox/guitextbox.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "gui/core/guiscreen.h"
#include "gui/core/guitextops.h"
#include "gui/window/guiscroll.h"

namespace {

constexpr int kFontEntry = 8;

bool IsBreak(char c) {
    return c == ' ' || c == ',' || c == '-';
}

} // namespace

GuiTextBox::GuiTextBox(const GuiRect& rect, unsigned short id, unsigned short style, const char* text,
                       int maxLength)
    : GuiWindow(rect, static_cast<unsigned short>(style | GUI_STYLE_COPY | 0x0100)) {
    mwThingId = id;
    muThingType = GUI_TYPE_TEXT_BOX;
    mColors[0] = 0xFFFFFF;
    mColors[1] = 0x0000BF;
    mColors[2] = 0x000000;
    mColors[3] = 0xFFFFFF;
    if (style & 0x0100)
        AddStatus(GUI_ST_WINDOW);
    else
        RemoveStatus(GUI_ST_WINDOW | GUI_ST_FOCUS);
    if (style & GUI_STYLE_TRANSPARENT) RemoveStatus(GUI_ST_VIEWPORTS);
    miMaxLength = maxLength;
    mpLineStarts = new int32_t[CACHE];
    std::fill(mpLineStarts, mpLineStarts + CACHE, -1);
    GuiTextThing::DataSet(text);
    NewDataSet();
    SetFont(mFontTable[kFontEntry]);
}

GuiTextBox::~GuiTextBox() {
    delete[] mpLineStarts;
    delete[] mpLineBuffer;
}

GuiRect GuiTextBox::textArea() const {
    GuiRect r = mClientRect;
    r -= miBorderWhitespace;
    return r;
}

int GuiTextBox::autoScroll() {
    if (!(mbScrollMode & (GUI_SCROLL_AUTO_V | GUI_SCROLL_AUTO_H))) return 0;
    return CheckAutoScroll();
}

void GuiTextBox::syncBars() {
    GuiScrollInfo info{};
    if (auto* v = dynamic_cast<GuiScroll*>(mpVScrollBar)) {
        GetVScrollInfo(&info);
        v->Reset(&info);
        if (IsVisible()) v->Draw();
    }
    if (auto* hb = dynamic_cast<GuiScroll*>(mpHScrollBar)) {
        GetHScrollInfo(&info);
        hb->Reset(&info);
        if (IsVisible()) hb->Draw();
    }
}

const char* GuiTextBox::FindNextLine(const char* p, int width, int step) {
    if (!p || !*p) return nullptr;
    const bool wrap = mwStyleFlags & GUI_TB_WRAP;
    const bool measure = wrap || (mbScrollMode & (GUI_SCROLL_H | GUI_SCROLL_AUTO_H));
    const char* start = mpTextData;
    const char* lastBreak = nullptr;
    int lineWidth = 0;
    for (const char* q = p;; q += step) {
        if (step < 0 && start && q < start) return start;
        const char c = *q;
        if (!c) return nullptr;
        if (c == 13) return q[1] == 10 ? q + 2 : q + 1;
        if (c == 10) return q[1] ? q + 1 : nullptr;
        if (measure) {
            lineWidth += GuiCharW(mpTextFont, c);
            miWidestLine = std::max(miWidestLine, lineWidth);
            if (wrap && lineWidth >= width) {
                if (lastBreak) return lastBreak + step;
                return q != p ? q : p + 1;
            }
        }
        if (IsBreak(c)) lastBreak = q;
    }
}

const char* GuiTextBox::FindLinePointer(int line) {
    const char* p = mpTextData;
    const int w = wrapWidth();
    for (int i = 0; p && i < line; ++i) p = FindNextLine(p, w, 1);
    return p;
}

void GuiTextBox::FillLineStarts(int first, int count) {
    first = std::max(first, 0);
    miFirstCached = miLastCached = first;
    miWidestLine = 0;
    std::fill(mpLineStarts, mpLineStarts + CACHE, -1);
    const int w = wrapWidth();
    const char* p = FindLinePointer(first);
    if (!p) {
        // Fewer lines than first: the count starts again from the text's beginning.
        if (count) {
            miTotalLines = 0;
            for (const char* q = mpTextData; q; q = FindNextLine(q, w, 1)) ++miTotalLines;
        }
        return;
    }
    if (count) miTotalLines = first;
    for (int i = 0; i < CACHE && p; ++i) {
        mpLineStarts[i] = static_cast<int32_t>(p - mpTextData);
        miLastCached = first + i;
        if (count) ++miTotalLines;
        p = FindNextLine(p, w, 1);
    }
    if (count)
        for (; p; p = FindNextLine(p, w, 1)) ++miTotalLines;
}

const char* GuiTextBox::GetLineStart(int line, int* length) {
    if (length) *length = 0;
    if (!mpTextData || line < 0) return nullptr;
    if (line < miFirstCached)
        FillLineStarts(line - 25, 0);
    else if (line >= miLastCached)
        FillLineStarts(line - 50, 0);
    const int i = line - miFirstCached;
    if (i < 0 || i >= CACHE || mpLineStarts[i] < 0) return nullptr;
    const int start = mpLineStarts[i];
    if (length) {
        const int next = (i + 1 < CACHE && mpLineStarts[i + 1] >= 0) ? mpLineStarts[i + 1] : Length();
        int n = next - start;
        if (n > 0 && mpTextData[start + n - 1] == 10) --n;
        if (n > 0 && mpTextData[start + n - 1] == 13) --n;
        *length = n;
    }
    return mpTextData + start;
}

int GuiTextBox::GetLineIndex(int line) {
    const char* p = GetLineStart(line, nullptr);
    return p ? static_cast<int>(p - mpTextData) : -1;
}

void GuiTextBox::CheckBufLen(int n) {
    if (n < 0 || miLineBufferSize >= n + 1) return;
    auto* fresh = new (std::nothrow) char[static_cast<size_t>(n) + 8];
    if (!fresh) return;
    delete[] mpLineBuffer;
    mpLineBuffer = fresh;
    miLineBufferSize = n + 8;
}

void GuiTextBox::UpdateLineStarts() {
    const int h = mClientRect.Height() - 2 * miBorderWhitespace;
    miLinesPerPage = miLineHeight ? h / miLineHeight : 1;
    FillLineStarts(miTopLine - 1, 1);
    GuiScrollInfo info{};
    GetVScrollInfo(&info);
    if (miTopLine + info.visible > miTotalLines) miTopLine = std::max(0, miTotalLines - info.visible);
}

void GuiTextBox::SetTopLine(int line, int redraw) {
    miTopLine = std::max(line, 0);
    if (int64_t{line} + miLinesPerPage >= miTotalLines)
        miTopLine = std::max(0, miTotalLines - miLinesPerPage);
    UpdateLineStarts();
    autoScroll();
    syncBars();
    if (IsVisible() && redraw && mpScreen) {
        mpScreen->Invalidate(mClientRect);
        Draw();
    }
}

void GuiTextBox::NewDataSet() {
    UpdateLineStarts();
    if (miTopLine != 0 && miTopLine + miLinesPerPage >= miTotalLines) SetTopLine(miTotalLines, 1);
    if (mbScrollMode && autoScroll()) {
        UpdateLineStarts();
        autoScroll();
    }
    syncBars();
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void GuiTextBox::DataSet(const char* text) {
    GuiTextThing::DataSet(text);
    NewDataSet();
}

void GuiTextBox::RewindDataSet(const char* text) {
    miTopLine = 0;
    DataSet(text);
}

void GuiTextBox::SetFont(const GuiFont* font) {
    GuiTextThing::SetFont(font);
    miLineHeight = GuiFontHeight(font) + miInterline;
    UpdateLineStarts();
    if (autoScroll()) UpdateLineStarts();
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void GuiTextBox::SetScrollMode(unsigned int mode) {
    GuiWindow::SetScrollMode(mode);
    UpdateLineStarts();
    syncBars();
}

void GuiTextBox::Resize(GuiRect rect) {
    GuiWindow::Resize(rect);
    UpdateLineStarts();
    if (autoScroll()) UpdateLineStarts();
}

void GuiTextBox::SetBorderWhitespace(int n) {
    miBorderWhitespace = n;
    UpdateLineStarts();
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void GuiTextBox::SetInterlineSpace(int n) {
    miLineHeight += n - miInterline;
    miInterline = n;
    UpdateLineStarts();
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void GuiTextBox::GetVScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    info->minimum = 0;
    info->maximum = (mpTextData && miTotalLines > 2) ? miTotalLines - 1 : 1;
    info->current = miTopLine;
    info->step = 1;
    info->visible = miLinesPerPage;
}

void GuiTextBox::GetHScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    const int cw = mClientRect.Width();
    info->minimum = 0;
    info->maximum = miWidestLine + 2;
    info->current = miHOffset;
    info->step = cw / 16 + 1;
    info->visible = cw - 2 * miBorderWhitespace;
    int d = 0;
    const int align = mwStyleFlags & GUI_TB_ALIGN_MASK;
    if (align == GUI_STYLE_RIGHT)
        d = miWidestLine + 7 - cw;
    else if (align == GUI_TB_CENTRE)
        d = (miWidestLine + 4 - cw) / 2;
    info->minimum = -d;
    info->maximum -= d;
}

int GuiTextBox::LineUp() {
    if (!mpVScrollBar || miTopLine == 0) return 0;
    mpVScrollBar->Message(GuiMakeMessage(GuiSignalType(GUI_ID_CLOSE, 4), mpVScrollBar, this));
    return 1;
}

int GuiTextBox::LineDown() {
    auto* bar = dynamic_cast<GuiScroll*>(mpVScrollBar);
    if (!bar) return 0;
    const GuiScrollInfo& i = bar->Info();
    if (int64_t{i.current} + i.visible > i.maximum) return 0;
    bar->Message(GuiMakeMessage(GuiSignalType(GUI_ID_SYSTEM, 4), bar, this));
    return 1;
}

void GuiTextBox::Append(const char* text, int redraw) {
    if (!text || !*text) return;
    if (!mbOwnsText) SetCopyMode();
    const int64_t max = miMaxLength < 0 ? INT_MAX : miMaxLength;
    const int64_t added = static_cast<int64_t>(std::strlen(text));
    const char* tail = added > max ? text + (added - max) : text;
    const int64_t old = Length();
    if (old > 0) {
        std::string joined;
        const int64_t excess = old + added - max;
        if (excess > old)
            joined = tail;
        else
            joined.assign(mpTextData + std::max<int64_t>(excess, 0)).append(text);
        GuiTextThing::DataSet(joined.c_str());
        UpdateLineStarts();
        autoScroll();
        SetTopLine(miTotalLines, 0);
    } else {
        DataSet(tail);
    }
    if (redraw) Draw();
}

void GuiTextBox::ClipToClient() {
    if (miClipDepth++ == 0) {
        mSavedClip = mClipRect;
        mClipRect &= textArea();
    }
}

void GuiTextBox::EndClipToClient() {
    if (miClipDepth > 0 && --miClipDepth == 0) mClipRect = mSavedClip;
}

void GuiTextBox::vscroll(int top) {
    // Only lines of the text can be the top line.
    top = std::clamp(top, 0, std::max(0, miTotalLines - 1));
    const int from = miTopLine;
    if (top == from || !mpScreen) return;
    GuiScreen& s = *mpScreen;
    if (IsVisible()) s.Invalidate(mClientRect);
    const int d = from - top;
    MoveClientObjects(0, d * miLineHeight, 0);
    miTopLine = top;
    if ((mwStyleFlags & GUI_STYLE_TRANSPARENT) && mpParentThing) {
        mpParentThing->Draw();
        return;
    }
    if (std::abs(d) >= miLinesPerPage) {
        Draw();
        return;
    }
    GuiRect r = textArea();
    if (d > 0)
        r.bottom = static_cast<int16_t>(std::min<int>(r.bottom, r.top + miLinesPerPage * miLineHeight - 1));
    ClipToClient();
    s.BeginDraw(this);
    if (s.RectMove(this, r, r, 0, d * miLineHeight)) {
        const int x = mClientRect.left + miBorderWhitespace - miHOffset;
        const int first = d > 0 ? 0 : miLinesPerPage + d;
        const int count = d > 0 ? d : -d;
        for (int i = 0; i < count; ++i) {
            const int y = r.top + (first + i) * miLineHeight;
            DrawTextLine(top + first + i, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, 1);
        }
    } else {
        Draw();
    }
    s.EndDraw();
    EndClipToClient();
}

int GuiTextBox::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_VSCROLL:
        vscroll(msg.DataWord(0));
        // Moved by someone else than the bar: the bar follows.
        if (msg.Source != mpVScrollBar) syncBars();
        return 0;
    case GM_HSCROLL: {
        const int fresh = msg.DataWord(0);
        if (fresh == miHOffset) return 0;
        const int old = miHOffset;
        miHOffset = fresh;
        ClipToClient();
        MoveClientObjects(old - fresh, 0, 1);
        EndClipToClient();
        return 0;
    }
    default:
        return GuiWindow::Message(msg);
    }
}

void GuiTextBox::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    DrawFrame((mwStyleFlags & GUI_STYLE_TRANSPARENT) ? 0 : 1);
    ClipToClient();
    DrawAllText();
    EndClipToClient();
    DrawChildren();
    if (mpVScrollBar && mpHScrollBar) FillScrollCorner();
    s.EndDraw();
}

void GuiTextBox::DrawAllText() {
    if (!mpTextData || !mpScreen || miLineHeight <= 0) return;
    const GuiRect& c = mClientRect;
    const int bw = miBorderWhitespace;
    const int x = c.left + bw - miHOffset;
    int y = c.top + bw;
    for (int line = miTopLine; y <= c.bottom - bw - (miLineHeight - 1); ++line, y += miLineHeight) {
        if (!GetLineStart(line, nullptr)) break;
        const GuiRect row = MakeGuiRect(c.left + bw, y, c.right - bw, y + miLineHeight - 1);
        if (row.Overlap(mpScreen->InvalidRect()))
            DrawTextLine(line, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, 0);
    }
}

void GuiTextBox::DrawTextLine(int line, GuiPoint where, int fill) {
    if (!mpScreen) return;
    GuiScreen& s = *mpScreen;
    const GuiRect& c = mClientRect;
    const int bw = miBorderWhitespace;
    if (fill)
        s.Rectangle(this, MakeGuiRect(c.left + bw, where.y, c.right - bw, where.y + miLineHeight - 1),
                    GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    int n = 0;
    const char* p = GetLineStart(line, &n);
    if (!p || n <= 0) return;
    CheckBufLen(n);
    if (miLineBufferSize < n + 1) return;
    std::memcpy(mpLineBuffer, p, static_cast<size_t>(n));
    mpLineBuffer[n] = 0;
    const int w = GuiSpanW(mpTextFont, mpLineBuffer, n);
    const int align = mwStyleFlags & GUI_TB_ALIGN_MASK;
    if (align == GUI_STYLE_RIGHT)
        where.x = static_cast<int16_t>(c.right - w - bw - miHOffset);
    else if (align == GUI_TB_CENTRE)
        where.x = static_cast<int16_t>(c.left + (c.Width() - w) / 2 - miHOffset);
    GuiColor colour{mColors[2], mColors[0], 0};
    s.DrawText(this, where, mpLineBuffer, colour, mpTextFont, -1, 0);
}

// --- GuiVPrompt ------------------------------------------------------------------------------------

GuiVPrompt::GuiVPrompt(const GuiRect& rect, const char* text, unsigned short id, unsigned short style)
    : GuiPrompt(rect, text, id, style, 0) {
    mpTextFont = mFontTable[0];
    muThingType = GUI_TYPE_VPROMPT;
    InitClient();
    if (style & GUI_STYLE_SELECTABLE) {
        AddStatus(GUI_ST_WINDOW);
        mwSignals = 0x0002;
    } else {
        RemoveStatus(GUI_ST_FOCUS | GUI_ST_SELECTABLE);
    }
    mColors[0] = 0xFFFFFF;
    mColors[1] = 0x0000BF;
    mColors[2] = 0x000000;
    mColors[3] = 0xFFFFFF;
}

void GuiVPrompt::Draw() {
    if (!mpParentThing || !mpScreen) return;
    GuiScreen& s = *mpScreen;
    const bool current = mwStatusFlags & GUI_ST_CURRENT;
    const uint32_t fill = (mwStyleFlags & GUI_STYLE_TRANSPARENT)
                              ? static_cast<uint32_t>(mpParentThing->GetColor(0))
                              : mColors[current ? 1 : 0];
    s.BeginDraw(this);
    StandardBorder(fill);
    if (mpTextData && mpTextFont) {
        const GuiRect& c = mClientRect;
        const int pitch = GuiFontHeight(mpTextFont) - 1;
        const int n = static_cast<int>(std::strlen(mpTextData));
        int y = c.top + (c.Height() - n * pitch) / 2;
        const int mid = (c.left + c.right) / 2;
        GuiColor colour{mColors[current ? 3 : 2], fill, 0};
        for (int i = 0; i < n; ++i, y += pitch) {
            const char one[2] = {mpTextData[i], 0};
            const int x = mid - GuiCharW(mpTextFont, one[0]) / 2;
            s.DrawText(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, one, colour,
                       mpTextFont, 1, 0);
        }
    }
    DrawChildren();
    s.EndDraw();
}
