// The edit box: the text box as a multi-line editor, with a cursor by row and column, marking with
// the pointer, insertion and deletion that wrap the text again, cursor keys with automatic
// scrolling, cut, copy and paste through the scratch pad, and signals 8 (marked with the pointer),
// 9 (changed by cut or paste) and 10 (edit mode ended) to the parent. GuiTerminalWin is an edit
// box used as a command line: Enter hands the text typed after the prompt to the parent.
#pragma once

#include <cstdint>
#include <string>

#include "gui/widgets/textbox/guitextbox.h"

enum : uint8_t { GUI_TYPE_TERMINAL = 160, GUI_TYPE_EDIT_BOX = 165 };

// Edit flags of the edit box.
enum : uint32_t {
    GUI_EB_EDIT = 0x1,
    GUI_EB_MARKED = 0x2,
    GUI_EB_MARKING = 0x4,
    GUI_EB_POINTER_SHAPE = 0x8,
};

// Signals of the edit box.
inline constexpr unsigned GUI_SIGNAL_MARKED = 8;
inline constexpr unsigned GUI_SIGNAL_TEXT_CHANGED = 9;
// Signal of the terminal window: a command line was entered.
inline constexpr unsigned GUI_SIGNAL_COMMAND = 8;

struct CURSOR_POS {
    int32_t col;
    int32_t row;
    bool operator==(const CURSOR_POS&) const = default;
};

class GuiEditBox : public GuiTextBox {
public:
    GuiEditBox(const GuiRect& rect, unsigned short id, unsigned short style, const char* text, int maxLength);
    ~GuiEditBox() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void DataSet(const char* text) override;
    void Append(const char* text, int redraw) override;
    void DrawTextLine(int line, GuiPoint where, int fill) override;
    virtual void InsertCharAtCursor(unsigned int ch);
    virtual void DrawMarkedText(int line, GuiPoint where);
    virtual void DrawOneLine(int line);
    virtual void DrawCursor();
    virtual void RemoveCursor();
    virtual void DrawCharAtCursor(int ch);
    virtual const char* GetCharAtCursor();
    virtual void GetMarkStartAndEnd(CURSOR_POS* start, CURSOR_POS* end);
    virtual CURSOR_POS GetCursorRowColFromClick(GuiPoint p);
    virtual GuiPoint GetCursorPointFromRowCol();
    virtual void SetCursorRowColFromIndex(int index);
    virtual void RemoveCharAtCursor(int backspace);
    virtual void CheckMarkMove();
    virtual int CheckAutoScrollDown();
    virtual int CheckAutoScrollRight();
    virtual int AutoScrollUp();
    virtual int AutoScrollLeft();
    virtual void ExitEditMode();
    virtual int InsertKey(unsigned int key);
    virtual void ReplaceMarkedText(unsigned int ch);

    void DeleteMarkedText();
    void CopyToScratchPad();
    void PasteFromScratchPad();
    void NewEditDataSet();
    void HomeCursor() { mCursor.col = 0; }
    void SetCursorRowCol(int index);

    // Character offset of the cursor in the text.
    int CursorIndex();

    CURSOR_POS mCursor{0, 0};
    CURSOR_POS mAnchor{-1, -1};
    CURSOR_POS mMarkEnd{-1, -1};
    GuiPoint mCursorPoint{};
    uint32_t mEditFlags = 0;

protected:
    bool editable() const { return mwStyleFlags & 0x0100; }
    void signal(unsigned n);
    void clearMark();
    // Length of a row without its line break, 0 for a row that does not exist.
    int rowLength(int row);
    void setText(const std::string& text);
    // Sends itself a scroll message to value; 1.
    int scrollTo(bool vertical, int value);
    void pointerShape(uint8_t shape);
    // Rows drawn again after the cursor moved from row `from`, with the cursor.
    void redrawRows(int from, int to);
    int keyUp();
    int keyLeft();
    void horizontalCorrection();
};

class GuiTerminalWin : public GuiEditBox {
public:
    GuiTerminalWin(const GuiRect& rect, unsigned short id, unsigned short style, const char* text,
                   int maxLength);
    ~GuiTerminalWin() override;

    int Message(const GuiMessage& msg) override;
    virtual void SendCommandToParent();
    virtual void SetPrompt(const char* prompt);
    virtual void Prompt();

    const char* LastCommand() const { return mpLastCommand; }

    char* mpPrompt = nullptr;
    char* mpLastCommand = nullptr;
};
