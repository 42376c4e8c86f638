// The terminal window: an edit box whose Enter hands the text typed after the prompt to the
// parent at once, as signal 8 carrying the command text.
#include <cstring>
#include <new>
#include <string>

#include "gui/widgets/edit/guiedit.h"
#include "gui/widgets/editbox/guieditbox.h"

namespace {

char* Copy(const char* text) {
    if (!text || !*text) return nullptr;
    const size_t n = std::strlen(text);
    auto* c = new (std::nothrow) char[n + 1];
    if (c) std::memcpy(c, text, n + 1);
    return c;
}

} // namespace

GuiTerminalWin::GuiTerminalWin(const GuiRect& rect, unsigned short id, unsigned short style, const char* text,
                               int maxLength)
    : GuiEditBox(rect, id, style, text, maxLength) {
    muThingType = GUI_TYPE_TERMINAL;
}

GuiTerminalWin::~GuiTerminalWin() {
    delete[] mpPrompt;
    delete[] mpLastCommand;
}

int GuiTerminalWin::Message(const GuiMessage& msg) {
    if (msg.Type == GM_KEY && msg.Param == GUI_KEY_ENTER && mwThingId && mpParentThing) {
        SendCommandToParent();
        return 0;
    }
    return GuiEditBox::Message(msg);
}

void GuiTerminalWin::SendCommandToParent() {
    const int cursor = CursorIndex();
    const size_t plen = mpPrompt ? std::strlen(mpPrompt) : 0;
    int commandRow = 0;
    for (int row = mCursor.row; row >= 0 && mpPrompt; --row) {
        int n = 0;
        const char* p = GetLineStart(row, &n);
        if (p && static_cast<size_t>(n) >= plen && std::strncmp(p, mpPrompt, plen) == 0) {
            commandRow = row;
            break;
        }
    }
    const int rowStart = GetLineIndex(commandRow);
    const int start = (rowStart < 0 ? 0 : rowStart) + static_cast<int>(plen);
    delete[] mpLastCommand;
    mpLastCommand = nullptr;
    // Nothing typed behind a prompt, or no prompt before the cursor: no text.
    if (mpTextData && start < cursor)
        mpLastCommand = Copy(std::string(mpTextData + start, static_cast<size_t>(cursor - start)).c_str());
    if (!mpParentThing) return;
    GuiMessage m = GuiMakeMessage(GuiSignalType(mwThingId, GUI_SIGNAL_COMMAND), mpParentThing, this, 0);
    m.SetDataPtr(0, mpLastCommand);
    mpParentThing->Message(m);
}

void GuiTerminalWin::SetPrompt(const char* prompt) {
    delete[] mpPrompt;
    mpPrompt = Copy(prompt);
    if (!mpTextData && mpPrompt) {
        DataSet(mpPrompt);
        // Typing starts behind the prompt.
        SetCursorRowColFromIndex(Length());
        GetCursorPointFromRowCol();
    }
}

void GuiTerminalWin::Prompt() {
    if (mpPrompt) Append(mpPrompt, 1);
}
