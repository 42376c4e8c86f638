// The text box: a window showing a text that may hold line breaks, wrapped at word boundaries to
// the client width when asked, with a cache of 100 line starts around the lines in use, vertical
// scrolling by whole lines (moving the pixels already drawn) and horizontal scrolling by pixels,
// and appending with a maximum length after which the oldest characters go. GuiVPrompt is a
// prompt whose characters are stacked vertically.
#pragma once

#include <cstdint>

#include "gui/window/guiwindow.h"

enum : uint8_t { GUI_TYPE_VPROMPT = 18, GUI_TYPE_TEXT_BOX = 154 };

// Style bits of the text box.
inline constexpr uint16_t GUI_TB_WRAP = 0x0400;
inline constexpr uint16_t GUI_TB_ALIGN_MASK = 0x00E0;
inline constexpr uint16_t GUI_TB_CENTRE = 0x0080;

class GuiTextBox : public GuiWindow {
public:
    static constexpr int CACHE = 100;

    GuiTextBox(const GuiRect& rect, unsigned short id, unsigned short style, const char* text, int maxLength);
    ~GuiTextBox() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void DataSet(const char* text) override;
    void SetFont(const GuiFont* font) override;
    void SetScrollMode(unsigned int mode) override;
    void GetVScrollInfo(GuiScrollInfo* info) override;
    void GetHScrollInfo(GuiScrollInfo* info) override;
    virtual void Append(const char* text, int redraw);
    virtual const char* FindNextLine(const char* p, int width, int step);
    virtual void DrawAllText();
    virtual void DrawTextLine(int line, GuiPoint where, int fill);

    const char* FindLinePointer(int line);
    void FillLineStarts(int first, int count);
    void UpdateLineStarts();
    void SetTopLine(int line, int redraw);
    void SetTopLineToEnd(int redraw) { SetTopLine(miTotalLines, redraw); }
    void NewDataSet();
    void RewindDataSet(const char* text);
    const char* GetLineStart(int line, int* length);
    int GetLineIndex(int line);
    void CheckBufLen(int n);
    int LineUp();
    int LineDown();
    void ClipToClient();
    void EndClipToClient();
    void SetBorderWhitespace(int n);
    void SetInterlineSpace(int n);

    int Length() const { return miTextLength > 0 ? miTextLength - 1 : 0; }
    int TotalLines() const { return miTotalLines; }
    int TopLine() const { return miTopLine; }
    int LinesPerPage() const { return miLinesPerPage; }
    int LineHeight() const { return miLineHeight; }

    char* mpLineBuffer = nullptr;
    GuiRect mSavedClip{};
    int32_t miClipDepth = 0;
    int32_t miWidestLine = 0;
    int32_t miHOffset = 0;
    int32_t miTotalLines = 0;
    int32_t miLinesPerPage = 0;
    int32_t miFirstCached = 0;
    int32_t miLastCached = 0;
    int32_t miLineHeight = 0;
    int32_t miInterline = 0;
    int32_t miBorderWhitespace = 2;
    int32_t miLineBufferSize = 0;
    int32_t miMaxLength = -1;
    int32_t* mpLineStarts = nullptr;
    int32_t miTopLine = 0;

protected:
    // The automatic scroll-bar check; 1 when the bars changed.
    int autoScroll();
    // Existing bars take the current scroll information.
    void syncBars();
    void vscroll(int top);
    int wrapWidth() const { return mClientRect.Width() - 2 * miBorderWhitespace; }
    GuiRect textArea() const;
};

class GuiVPrompt : public GuiPrompt {
public:
    GuiVPrompt(const GuiRect& rect, const char* text, unsigned short id, unsigned short style);
    ~GuiVPrompt() override = default;

    void Draw() override;
};
