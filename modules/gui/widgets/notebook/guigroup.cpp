#include "gui/widgets/notebook/guigroup.h"

#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/window/guibutton.h"
#include "gui/window/guipm.h"

namespace {

constexpr int kFontEntry = 9;

bool IsButton(uint8_t type) {
    switch (type) {
    case GUI_TYPE_BUTTON:
    case GUI_TYPE_TEXT_BUTTON:
    case GUI_TYPE_BITMAP_BUTTON:
    case GUI_TYPE_RADIO_BUTTON:
    case GUI_TYPE_CHECK_BOX:
    case GUI_TYPE_ML_TEXT_BUTTON:
    case GUI_TYPE_DECORATED_BUTTON:
        return true;
    default:
        return false;
    }
}

} // namespace

GuiGroup::GuiGroup(const GuiRect& rect, const char* title, unsigned short style)
    : GuiTextThing(rect, 0, style, title, kFontEntry) {
    muThingType = GUI_TYPE_GROUP;
    AddStatus(GUI_ST_WINDOW);
    mClientRect = mRealRect;
    mClientRect -= 2;
    mClientRect.top = static_cast<int16_t>(mClientRect.top + GuiFontHeight(mpTextFont) / 2);
    mColors[2] = GUI_BLACK;
}

void GuiGroup::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    if (mpParentThing) mColors[0] = static_cast<uint32_t>(mpParentThing->GetColor(0));
    s.BeginDraw(this);
    s.Rectangle(this, mClientRect, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    const int L = mRealRect.left, R = mRealRect.right, B = mRealRect.bottom, y0 = mClientRect.top - 2;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s.Line(this, x1, y1, x2, y2, GuiColor{c, c, 0}, 1);
    };
    const int tw = mpTextData ? GuiFontTextWidth(mpTextData, mpTextFont) : 0;
    // The top lines leave a gap for the title.
    auto top = [&](int y, int from, int to, uint32_t c) {
        if (!mpTextData) {
            line(from, y, to, y, c);
            return;
        }
        line(from, y, std::min(to, L + 7), y, c);
        if (L + 11 + tw <= to) line(L + 11 + tw, y, to, y, c);
    };
    top(y0, L, R, GUI_DARK_GREY);
    line(L, y0 + 1, L, B, GUI_DARK_GREY);
    line(L + 1, B - 1, R - 1, B - 1, GUI_DARK_GREY);
    line(R - 1, y0, R - 1, B - 1, GUI_DARK_GREY);
    top(y0 + 1, L + 1, R - 2, GUI_WHITE);
    line(L + 1, y0 + 2, L + 1, B - 1, GUI_WHITE);
    line(L, B, R, B, GUI_WHITE);
    line(R, y0, R, B, GUI_WHITE);
    if (mpTextData && mpTextFont) {
        GuiColor colour{Enabled() ? mColors[2] : GUI_DARK_GREY, mColors[0], 0};
        s.DrawText(this, GuiPoint{static_cast<int16_t>(L + 9), mRealRect.top}, mpTextData, colour, mpTextFont,
                   -1, 0);
    }
    DrawChildren();
    s.EndDraw();
}

void GuiGroup::Add(GuiThing* thing, int show) {
    if (!thing) return;
    thing->RemoveStatus(GUI_ST_VIEWPORTS);
    GuiTextThing::Add(thing, show);
}

GuiThing* GuiGroup::Remove(GuiThing* thing, int redraw) {
    const bool child = thing && thing->Parent() == this;
    GuiThing* r = GuiTextThing::Remove(thing, 0);
    if (child && redraw && IsVisible() && mpParentThing) mpParentThing->Draw();
    return r;
}

int GuiGroup::Message(const GuiMessage& msg) {
    if (msg.Type == GM_SHOW) {
        const int r = GuiTextThing::Message(msg);
        if (mpParentThing) mColors[0] = static_cast<uint32_t>(mpParentThing->GetColor(0));
        return r;
    }
    if (msg.Type == GM_CURRENT) {
        const auto* pm = dynamic_cast<GuiPresentationManager*>(mpPresentation);
        if (pm && pm->InputFocus() == this) MoveFocusToFirstClientChild();
    }
    return GuiTextThing::Message(msg);
}

void GuiGroup::Enable(int on) {
    if ((on != 0) == Enabled()) return;
    if (on) {
        mwStyleFlags |= GUI_STYLE_SELECTABLE;
        AddStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
    } else {
        mwStyleFlags &= static_cast<uint16_t>(~GUI_STYLE_SELECTABLE);
        RemoveStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
    }
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling()) {
        if (!IsButton(c->muThingType)) continue;
        auto* b = dynamic_cast<GuiButton*>(c);
        if (!b) continue;
        if (on) {
            b->Enable();
            b->AddStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
        } else {
            b->Disable();
            b->RemoveStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
        }
    }
    if (IsVisible() && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
}
