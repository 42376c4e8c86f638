#include "gui/window/guiicon.h"

#include "gui/core/guipresentationlink.h"
#include "gui/core/guiscreen.h"

namespace {

// A small window: title bar in index 4 (dark blue), frame 0 (black), face 15 (white), 255 clear.
constexpr int kW = 16;
uint8_t kIcon[kW * kW] = {};

bool FillIcon() {
    for (int y = 0; y < kW; ++y) {
        for (int x = 0; x < kW; ++x) {
            uint8_t c = 15;
            if (y == 0 || y == kW - 1 || x == 0 || x == kW - 1)
                c = 0;
            else if (y <= 3)
                c = 4;
            kIcon[y * kW + x] = (y == 0 && (x == 0 || x == kW - 1)) ? 255 : c;
        }
    }
    return true;
}
const bool kIconFilled = FillIcon();

GuiRect SizeOf(const GuiBitmap* b) {
    return MakeGuiRect(0, 0, (b ? b->width : kW) - 1, (b ? b->height : kW) - 1);
}

} // namespace

GuiBitmap gbWindowIconBitmap = {GUI_BMP_TRANSPARENT, 8, kW, kW, 255, kIcon};

GuiIcon::GuiIcon(GuiThing* proxy, GuiBitmap* bitmap, unsigned short id, unsigned short style)
    : GuiThing(SizeOf(bitmap ? bitmap : &gbWindowIconBitmap), id, style),
      mpIconBitmap(bitmap ? bitmap : &gbWindowIconBitmap), mpProxy(proxy) {
    muThingType = GUI_TYPE_ICON;
    mColors[0] = GUI_LIGHT_GREY;
}

GuiIcon::GuiIcon(const GuiRect& rect, GuiBitmap* bitmap, unsigned short id, unsigned short style)
    : GuiThing(rect, id, style), mpIconBitmap(bitmap ? bitmap : &gbWindowIconBitmap) {
    muThingType = GUI_TYPE_ICON;
    mColors[0] = GUI_LIGHT_GREY;
}

GuiIcon::GuiIcon(GuiBitmap* bitmap, unsigned short id, unsigned short style)
    : GuiIcon(SizeOf(bitmap ? bitmap : &gbWindowIconBitmap), bitmap, id, style) {}

void GuiIcon::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if (mpIconBitmap)
        mpScreen->Bitmap(this, GuiPoint{mRealRect.left, mRealRect.top}, mpIconBitmap, 0);
    else
        mpScreen->Rectangle(this, mRealRect, GuiColor{mColors[0], mColors[0], 0}, 2);
    mpScreen->EndDraw();
}

int GuiIcon::Message(const GuiMessage& msg) {
    if (msg.Type != GM_BUTTON_UP) return GuiThing::Message(msg);
    if (!mpProxy || !mpParentThing) return 0;
    // The window takes the icon's place again, and the icon goes.
    mpParentThing->Add(mpProxy, 1);
    if (mpPresentationLink) mpPresentationLink->NullInput(this);
    Destroy(this);
    return 0;
}
