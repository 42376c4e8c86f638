// The spin button: two arrow buttons that step a value up and down and rewrite the decimal text of
// a linked text thing (the slave).
#include <algorithm>
#include <cstring>
#include <new>

#include "gui/core/guiltoa.h"
#include "gui/widgets/slider/guislider.h"
#include "gui/window/guiscroll.h"

namespace {

GuiRect SpinRect(int x, int y, unsigned short style) {
    return (style & GUI_SPIN_VERTICAL) ? MakeGuiRect(x, y, x + 15, y + 31)
                                       : MakeGuiRect(x, y, x + 31, y + 15);
}

// The text as a signed decimal number: optional blanks and sign, then digits up to the first
// other character; saturated to 32 bits.
int64_t ReadDecimal(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) v = std::min<int64_t>(v * 10 + (*p - '0'), int64_t{INT32_MAX} + 1);
    return std::clamp<int64_t>(negative ? -v : v, INT32_MIN, INT32_MAX);
}

} // namespace

GuiSpinButton::GuiSpinButton(int x, int y, unsigned short id, unsigned short style)
    : GuiThing(SpinRect(x, y, style), id, style) {
    AddSpinButtons();
}

GuiSpinButton::GuiSpinButton(int x, int y, GuiTextThing* slave, int32_t min, int32_t max, int step,
                             unsigned short id, unsigned short style)
    : GuiThing(SpinRect(x, y, style), id, style), miMin(min), miMax(max), miStep(step) {
    adopt(slave);
    AddSpinButtons();
}

GuiSpinButton::GuiSpinButton(const GuiRect& rect, unsigned short id, unsigned short style)
    : GuiThing(rect, id, style) {
    AddSpinButtons();
}

GuiSpinButton::GuiSpinButton(const GuiRect& rect, GuiTextThing* slave, int32_t min, int32_t max, int step,
                             unsigned short id, unsigned short style)
    : GuiThing(rect, id, style), miMin(min), miMax(max), miStep(step) {
    adopt(slave);
    AddSpinButtons();
}

void GuiSpinButton::adopt(GuiTextThing* slave) {
    mpSlave = slave;
    // The spin button rewrites the text: the slave keeps its own copy.
    if (slave) slave->SetCopyMode();
}

void GuiSpinButton::SetLimits(int32_t min, int32_t max, int step) {
    miMin = min;
    miMax = max;
    miStep = step;
}

void GuiSpinButton::AddSpinButtons() {
    muThingType = GUI_TYPE_SPIN_BUTTON;
    mClientRect = mRealRect;
    const GuiRect& r = mRealRect;
    const uint16_t style = static_cast<uint16_t>(0x001A | (mwStyleFlags & GUI_BTN_ENABLED));
    GuiBitmapButton *first, *second;
    if (mwStyleFlags & GUI_SPIN_VERTICAL) {
        const int half = r.top + r.Height() / 2;
        first = new (std::nothrow) GuiBitmapButton(MakeGuiRect(r.left, r.top, r.right, half),
                                                   &gbUpArrowBitmap, GUI_ID_SPIN_UP, style);
        second = new (std::nothrow) GuiBitmapButton(MakeGuiRect(r.left, half + 1, r.right, r.bottom),
                                                    &gbDownArrowBitmap, GUI_ID_SPIN_DOWN, style);
    } else {
        const int half = r.left + r.Width() / 2;
        first = new (std::nothrow) GuiBitmapButton(MakeGuiRect(r.left, r.top, half, r.bottom),
                                                   &gbLeftArrowBitmap, GUI_ID_SPIN_LEFT, style);
        second = new (std::nothrow) GuiBitmapButton(MakeGuiRect(half + 1, r.top, r.right, r.bottom),
                                                    &gbMoreBitmap, GUI_ID_SPIN_RIGHT, style);
    }
    if (first) Add(first, 0);
    if (second) Add(second, 0);
    mwSignals = (1u << GUI_SIGNAL_STEP_UP) | (1u << GUI_SIGNAL_STEP_DOWN);
}

int GuiSpinButton::Message(const GuiMessage& msg) {
    unsigned direction;
    if (msg.Type == GuiSignalType(GUI_ID_SPIN_UP, GUI_SIGNAL_CLICK) ||
        msg.Type == GuiSignalType(GUI_ID_SPIN_RIGHT, GUI_SIGNAL_CLICK))
        direction = GUI_SIGNAL_STEP_UP;
    else if (msg.Type == GuiSignalType(GUI_ID_SPIN_DOWN, GUI_SIGNAL_CLICK) ||
             msg.Type == GuiSignalType(GUI_ID_SPIN_LEFT, GUI_SIGNAL_CLICK))
        direction = GUI_SIGNAL_STEP_DOWN;
    else
        return GuiThing::Message(msg);
    if (mpSlave) UpdateSlave(direction);
    if (mpParentThing && mwThingId && (mwSignals & (1u << direction)) && mpParentThing->IsVisible())
        SendSignal(static_cast<unsigned char>(direction));
    return 0;
}

void GuiSpinButton::UpdateSlave(unsigned int direction) {
    if (!mpSlave || !mpSlave->Text()) return;
    const int64_t value = ReadDecimal(mpSlave->Text());
    int64_t fresh = direction == GUI_SIGNAL_STEP_DOWN ? value - miStep : value + miStep;
    if (fresh < miMin) fresh = miMin;
    if (fresh > miMax) fresh = miMax;
    char digits[40];
    _ltoa(static_cast<int32_t>(std::clamp<int64_t>(fresh, INT32_MIN, INT32_MAX)), digits, 10);
    // Zeros go between the sign and the digits, so that the text reads back as the same value.
    char text[40];
    const int want = std::min(miDigits, 15);
    const int len = static_cast<int>(std::strlen(digits));
    if (want > len) {
        const int sign = digits[0] == '-' ? 1 : 0;
        std::memcpy(text, digits, static_cast<size_t>(sign));
        std::memset(text + sign, '0', static_cast<size_t>(want - len));
        std::memcpy(text + sign + (want - len), digits + sign, static_cast<size_t>(len - sign + 1));
    } else {
        std::memcpy(text, digits, static_cast<size_t>(len + 1));
    }
    mpSlave->DataSet(text);
    mpSlave->Draw();
}
