// Parts shared by the message windows: the row of standard buttons, the title, the frame inset and
// the answer to the owner.
#pragma once

#include <cstdint>

#include "gui/widgets/dialog/guidialog.h"

namespace guidialog {

// Width of one standard button: "Cancel" in font entry 3, plus 8.
int ButtonWidth();
// Height of font entry 3.
int ButtonFontHeight();
// Width of the row of the buttons the style asks for, 8 pixels between neighbours.
int RowWidth(unsigned style, int buttonWidth);
// The buttons of the style, left to right from (left, top), at the end of the window's children.
void AddRow(GuiWindow* w, unsigned style, int left, int top, int bottom, int buttonWidth);
// A title without buttons, added; the client area starts below it. Null without a text.
GuiTitle* AddTitle(GuiWindow* w, const char* text);
// Pixels between the window's rectangle and its client area by the frame style.
int FrameInset(unsigned style);
// Right and bottom of the client area following the window's rectangle.
void FitClient(GuiWindow* w);
// A window grows downwards by n pixels.
void Grow(GuiWindow* w, int n);
// The centre of the owner, or of the presentation manager without one.
void Centre(GuiWindow* w, GuiThing* owner);
// The handling of a standard button's click by a window that is not modal: the owner gets
// `type` with Param `param` from the window, which then goes unless `stay`.
void Answer(GuiWindow* w, GuiThing* owner, uint16_t type, int16_t param, bool stay);
// The messages of a message window (one- or multi-line): the title follows a show and a change of
// the current window, the owner defaults to the parent, and a standard button's click answers it.
int MessageWindowMessage(GuiWindow* w, GuiTitle* title, GuiThing*& owner, const GuiMessage& msg);

} // namespace guidialog
