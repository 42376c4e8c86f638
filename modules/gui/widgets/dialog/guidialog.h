// Dialogs and message windows: GuiDialog is a decorated window with a title whose standard
// buttons report to an owner; GuiMessageWindow shows a one-line message, an optional icon and a
// row of standard buttons; GuiMLMessageWindow does the same with a word-wrapped message in a text
// box; GuiProgressWindow adds a progress bar. Run through Execute they end the modal loop with the
// id of the button; left open they answer their owner (message type 36, or 37 for a dialog) and,
// but for id 1004 of a dialog, destroy themselves.
#pragma once

#include <cstdint>

#include "gui/widgets/decor/guidecor.h"
#include "gui/widgets/scale/guiprogress.h"
#include "gui/widgets/textbox/guitextbox.h"

enum : uint8_t {
    GUI_TYPE_DIALOG = 151,
    GUI_TYPE_MESSAGE_WINDOW = 155,
    GUI_TYPE_ML_MESSAGE_WINDOW = 166,
};

// Style bits of the standard buttons.
enum : uint16_t {
    GUI_MW_OK = 0x0020,
    GUI_MW_YES = 0x0040,
    GUI_MW_NO = 0x0080,
    GUI_MW_ABORT = 0x0100,
    GUI_MW_RETRY = 0x0200,
    GUI_MW_CANCEL = 0x0400,
    GUI_MW_BUTTONS = 0x07E0,
};

// True for the click of a standard id that answers (1000, 1002 to 1008).
bool GuiIsAnswerClick(uint16_t type);

class GuiDialog : public GuiDecoratedWindow {
public:
    GuiDialog(const GuiRect& rect, const char* title, GuiThing* owner, unsigned int style);
    GuiDialog(const char* title, GuiThing* owner, unsigned int style);
    ~GuiDialog() override = default;

    int Message(const GuiMessage& msg) override;

    GuiThing* mpOwner = nullptr;

private:
    void init(const char* title);
};

class GuiMessageWindow : public GuiWindow {
public:
    GuiMessageWindow(const GuiRect& rect, const char* title, const char* message, unsigned int style,
                     GuiBitmap* icon, GuiThing* owner);
    GuiMessageWindow(const char* title, const char* message, unsigned int style, GuiBitmap* icon,
                     GuiThing* owner);
    ~GuiMessageWindow() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void CalcButtonWidth();
    void AddButtons();

    GuiTitle* mpTitle = nullptr;
    GuiThing* mpOwner = nullptr;
    GuiBitmap* mpIcon = nullptr;
    int32_t miRowWidth = 0;
    int32_t miButtonWidth = 0;
    int32_t miMessageWidth = 0;
};

class GuiMLMessageWindow : public GuiWindow {
public:
    GuiMLMessageWindow(const GuiRect& rect, const char* title, const char* message, unsigned int style,
                       GuiBitmap* icon, GuiThing* owner);
    GuiMLMessageWindow(const char* title, const char* message, unsigned int style, GuiBitmap* icon,
                       GuiThing* owner);
    ~GuiMLMessageWindow() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void CalcButtonWidth();
    void CalcButtonTop();
    void AddButtons();
    void AddTextBox(const char* text);

    GuiTitle* mpTitle = nullptr;
    GuiThing* mpOwner = nullptr;
    GuiBitmap* mpIcon = nullptr;
    GuiTextBox* mpTextBox = nullptr;
    int32_t miRowWidth = 0;
    int32_t miButtonTop = 0;
    int32_t miButtonWidth = 0;
};

class GuiProgressWindow : public GuiMessageWindow {
public:
    GuiProgressWindow(const GuiRect& rect, const char* title, const char* message, unsigned int style,
                      unsigned short barStyle, GuiBitmap* icon, GuiThing* owner);
    GuiProgressWindow(const char* title, const char* message, unsigned int style, unsigned short barStyle,
                      GuiBitmap* icon, GuiThing* owner);
    ~GuiProgressWindow() override = default;

    void AddProgBar();

    GuiProgressBar* mpProgressBar = nullptr;
    uint16_t mwBarStyle = 0;
};
