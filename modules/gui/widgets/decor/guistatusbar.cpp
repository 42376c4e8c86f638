// The status bar: text fields side by side along the bottom of a window, and the sizing grip in
// its bottom-right corner when the window can be moved.
#include "gui/core/guiart.h"
#include "gui/core/guiscreen.h"
#include "gui/widgets/decor/guidecor.h"

namespace {

constexpr char kGrip[12][13] = {
    "...........W", "..........WG", ".........WGG", "........WGG.", ".......WGG.W", "......WGG.WG",
    ".....WGG.WGG", "....WGG.WGG.", "...WGG.WGG.W", "..WGG.WGG.WG", ".WGG.WGG.WGG", "WGG.WGG.WGG.",
};
constinit std::array<uint8_t, 144> gGrip = guiart::Art<12, 12>(kGrip);

constexpr uint16_t kFieldStyle = 0x6048; // transparent, copied text, left-aligned, recessed
constexpr int kGripSize = 16;

} // namespace

GuiBitmap gbGripBitmap = {GUI_BMP_TRANSPARENT, 8, 12, 12, 255, gGrip.data()};

GuiStatusBar::GuiStatusBar() : GuiTextThing(0, GUI_BORDER_NONE, nullptr, GUI_FONT_CLASS_PROMPT) {
    mRealRect = mClientRect = mClipRect = MakeGuiRect(0, 0, 100, GuiFontHeight(mpTextFont) + 6);
    mColors[0] = GUI_LIGHT_GREY;
    AddStatus(GUI_ST_NONCLIENT | GUI_ST_MOVABLE);
    muThingType = GUI_TYPE_STATUS_BAR;
}

bool GuiStatusBar::parentMovable() const {
    return mpParentThing && (mpParentThing->mwStatusFlags & GUI_ST_MOVABLE);
}

GuiRect GuiStatusBar::grip() const {
    const GuiRect& r = mRealRect;
    return MakeGuiRect(r.right - kGripSize + 1, r.bottom - kGripSize + 1, r.right, r.bottom);
}

void GuiStatusBar::SizeToParent() {
    GuiThing* p = mpParentThing;
    if (!p) return;
    GuiRect r = p->mRealRect;
    const uint16_t ps = p->mwStyleFlags;
    const int inset = (ps & GUI_BORDER_THICK) ? 3 : !(ps & GUI_BORDER_NONE) ? 2 : 0;
    r.left = static_cast<int16_t>(r.left + inset);
    r.right = static_cast<int16_t>(r.right - inset);
    r.bottom = static_cast<int16_t>(r.bottom - inset);
    r.top = static_cast<int16_t>(r.bottom - (GuiFontHeight(mpTextFont) + 6));
    GuiSendResize(this, r);
    if (parentMovable()) mClientRect.right = static_cast<int16_t>(mRealRect.right - kGripSize);
    if (mpLastField && mpLastField->Parent() == this) {
        GuiRect f = mpLastField->mRealRect;
        f.right = mRealRect.right;
        mpLastField->Resize(f);
    }
}

void GuiStatusBar::SetFont(const GuiFont* font) {
    if (!font) return;
    GuiTextThing::SetFont(font);
    const int before = mRealRect.Height();
    GuiRect r = mRealRect;
    r.top = static_cast<int16_t>(r.bottom - (GuiFontHeight(font) + 6));
    GuiThing::Resize(r);
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling()) {
        if (c->muThingType != GUI_TYPE_PROMPT) continue;
        if (auto* t = dynamic_cast<GuiTextThing*>(c)) t->SetFont(font);
        c->Resize(
            MakeGuiRect(c->mRealRect.left, mRealRect.top + 2, c->mRealRect.right, mRealRect.bottom - 1));
    }
    GuiThing* p = mpParentThing;
    if (!IsVisible() || !p || !mpScreen) return;
    p->mClientRect.bottom = static_cast<int16_t>(p->mClientRect.bottom - (mRealRect.Height() - before));
    p->Resize(p->mRealRect);
    mpScreen->Invalidate(p->mRealRect);
    p->Draw();
}

GuiPrompt* GuiStatusBar::AddTextField(int width, unsigned short id, const char* text) {
    int left = mRealRect.left;
    bool any = false;
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling())
        if (!any || c->mRealRect.right + 4 > left) {
            left = c->mRealRect.right + 4; // a gap of 3 pixels
            any = true;
        }
    auto* field = new GuiPrompt(MakeGuiRect(left, mRealRect.top + 2, left + width - 1, mRealRect.bottom - 1),
                                text, id, kFieldStyle, 0);
    field->SetFont(mpTextFont);
    GuiThing::AddToEnd(field, 1);
    mpLastField = field;
    return field;
}

GuiPrompt* GuiStatusBar::GetPrompt(unsigned int id) {
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling())
        if (c->muThingType == GUI_TYPE_PROMPT && c->mwThingId == id) return dynamic_cast<GuiPrompt*>(c);
    return nullptr;
}

void GuiStatusBar::SetTextField(unsigned short id, const char* text) {
    GuiPrompt* field = GetPrompt(id);
    if (!field) return;
    field->DataSet(text);
    if (!IsVisible() || !mpScreen) return;
    mpScreen->Invalidate(field->mClipRect);
    mpScreen->BeginDraw(this);
    field->Draw();
    CheckDrawDragMap(field);
    mpScreen->EndDraw();
}

void GuiStatusBar::CheckDrawDragMap(GuiThing* thing) {
    if (!thing || !mpScreen || !parentMovable()) return;
    if (thing->mRealRect.right < mRealRect.right - gbGripBitmap.width) return;
    const GuiPoint at{static_cast<int16_t>(mRealRect.right - gbGripBitmap.width + 1),
                      static_cast<int16_t>(mRealRect.bottom - gbGripBitmap.height + 1)};
    mpScreen->Bitmap(this, at, &gbGripBitmap, 0);
}

void GuiStatusBar::Draw() {
    if (!mpParentThing || !mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    const GuiRect r = mRealRect;
    s.BeginDraw(this);
    s.Rectangle(this, r, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    s.Line(this, r.left + 1, r.top + 1, r.right, r.top + 1, GuiColor{GUI_WHITE, GUI_WHITE, 0}, 1);
    if (mpParentThing->mwStyleFlags & GUI_BORDER_THICK) s.PutPixel(this, r.right, r.top, GUI_WHITE);
    DrawChildren();
    CheckDrawDragMap(this);
    s.EndDraw();
}

int GuiStatusBar::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW:
    case GM_PARENT_RESIZED:
        SizeToParent();
        GuiThing::Message(msg);
        return 0;
    case GM_POINTER_MOVE: {
        if (!parentMovable()) return 0;
        const bool in = grip().Contains(msg.DataPoint());
        if (in != (mbGrip != 0)) {
            mbGrip = in;
            if (mpScreen) mpScreen->SetPointerType(in ? 3 : 0);
        }
        return 0;
    }
    case GM_BUTTON_DOWN: {
        if (!mpParentThing) return 0;
        if (!mbGrip) {
            mpParentThing->Message(msg);
            return 0;
        }
        // Resize the window from its bottom-right corner.
        mbGrip = 0;
        GuiMessage m = GuiMakeMessage(GM_MOVE_RESIZE, mpParentThing, this, GUI_BORDER_BOTTOM_RIGHT);
        m.SetDataPoint(msg.DataPoint());
        mpParentThing->Message(m);
        return 0;
    }
    case GM_POINTER_EXIT:
        if (mbGrip) {
            if (mpScreen) mpScreen->SetPointerType(0);
            mbGrip = 0;
        }
        return 0;
    default:
        GuiThing::Message(msg);
        return 0;
    }
}
