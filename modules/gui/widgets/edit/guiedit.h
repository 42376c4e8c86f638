// The edit field: a framed one-line text entry with a cursor, a marked range, horizontal scrolling
// of a text wider than the field, a maximum length, cut, copy and paste through the presentation
// manager's scratch pad, and signal 10 to the parent when it loses the current state after a
// change. Owners feed keys through InsertKey and clicks through SetCursorPos.
#pragma once

#include <cstdint>

#include "gui/core/guitextthing.h"

enum : uint8_t { GUI_TYPE_EDIT_FIELD = 22 };

// Key codes of GM_KEY.
enum : int {
    GUI_KEY_BACKSPACE = 8,
    GUI_KEY_ENTER = 13,
    GUI_KEY_FIRST_PRINTABLE = 32,
    GUI_KEY_LAST_PRINTABLE = 599,
    GUI_KEY_DELETE = 600,
    GUI_KEY_HOME = 602,
    GUI_KEY_END = 603,
    GUI_KEY_UP = 606,
    GUI_KEY_DOWN = 607,
    GUI_KEY_LEFT = 608,
    GUI_KEY_RIGHT = 609,
};

// The editable style bit of the edit field, text box and edit box.
inline constexpr uint16_t GUI_STYLE_EDITABLE = 0x0100;
// The edit-done signal of the edit field and edit box.
inline constexpr unsigned GUI_SIGNAL_EDIT_DONE = 10;

// Edit flags of the field.
enum : uint16_t {
    GUI_EF_CURSOR = 0x01,
    GUI_EF_MARKED = 0x02,
    GUI_EF_ALL_MARKED = 0x04, // marked on becoming current: typing replaces it
    GUI_EF_CHANGED = 0x10,
};

// A printable key whose character code is not zero: a key that can stand in a text.
inline bool GuiIsPrintableKey(int key) {
    return key >= GUI_KEY_FIRST_PRINTABLE && key <= GUI_KEY_LAST_PRINTABLE && (key & 0xFF) != 0;
}

class GuiEditField : public GuiTextThing {
public:
    GuiEditField(const GuiRect& rect, const char* text, unsigned short id, unsigned short style,
                 int maxLength);
    GuiEditField(int x, int y, int width, const char* text, unsigned short id, unsigned short style,
                 int maxLength);
    GuiEditField(int x, int y, const char* text, unsigned short id, unsigned short style, int maxLength);
    ~GuiEditField() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    unsigned short Style() override { return mwStyleFlags; }
    void Style(unsigned short style) override;
    void DataSet(const char* text) override;
    virtual void SetMark(int start, int end);
    virtual void SetMark(char* start, char* end);
    virtual int GetMarkStart() { return miMarkStart; }
    virtual int GetMarkEnd() { return miMarkEnd; }
    virtual void Initialize(unsigned short style);
    virtual void RetardCursor(int ch);
    virtual void AdvanceCursor(int ch);
    virtual void DrawMarked();
    virtual int InsertKey(int key);
    virtual void SetCursorPos(GuiPoint p);

    void DeleteMarkedText();
    void ReplaceMarkedText(int ch);
    void CopyToScratchPad();
    void PasteFromScratchPad();

    int Length() const { return miTextLength > 0 ? miTextLength - 1 : 0; }

    int32_t miCursor = 0;
    int32_t miMarkStart = -1;
    int32_t miMarkEnd = -1;
    int32_t miFirstVisible = 0;
    int32_t miMaxLength = -1;
    int16_t miCursorX = 0;
    int16_t miCursorY = 0;
    uint16_t mwEditFlags = 0;

private:
    int width(int from, int count) const;
    int charW(int ch) const;
    void setCursorX(int x) { miCursorX = static_cast<int16_t>(x); }
    bool wholeMarked() const { return miMarkStart < 1 && miMarkEnd >= Length(); }
    void invalidateClient();
    void drawRun(int& x, int from, int to, uint32_t fg, uint32_t bg);
};
