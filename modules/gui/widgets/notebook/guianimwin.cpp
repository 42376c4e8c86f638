#include "gui/widgets/notebook/guianimwin.h"

#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"

GuiAnimationWindow::GuiAnimationWindow(const GuiRect& rect, GuiBitmap* background, GuiBitmap** frames,
                                       unsigned char count, int offsetX, int offsetY,
                                       const unsigned char* palette, unsigned int style)
    : GuiWindow(rect, style), muFrameCount(count), mpPalette(palette),
      miOffsetX(static_cast<int16_t>(offsetX)), miOffsetY(static_cast<int16_t>(offsetY)),
      mpBackground(background), mppFrames(frames) {
    muThingType = GUI_TYPE_ANIMATION_WINDOW;
}

void GuiAnimationWindow::SetFrameOffset(int x, int y) {
    miOffsetX = static_cast<int16_t>(x);
    miOffsetY = static_cast<int16_t>(y);
}

void GuiAnimationWindow::Run(unsigned int period, unsigned char start) {
    // A frame that the list does not have is no start.
    if (start >= muFrameCount) return;
    const auto p = static_cast<int32_t>(period > 0x7FFFFFFF ? 0x7FFFFFFF : period);
    if (mpMessageQueue) mpMessageQueue->SetTimer(this, GUI_ANIMWIN_TIMER, p, p);
    muCurrentFrame = start;
}

void GuiAnimationWindow::Stop() {
    if (mpMessageQueue) mpMessageQueue->KillTimer(this, GUI_ANIMWIN_TIMER);
}

void GuiAnimationWindow::SetFrame(unsigned char n) {
    if (n >= muFrameCount) return;
    muCurrentFrame = n;
    DrawAnimationFrame();
}

int GuiAnimationWindow::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_HIDE:
        GuiWindow::Message(msg);
        Stop();
        return 0;
    case GM_SHOW:
        GuiWindow::Message(msg);
        if (mpPalette && mpScreen) mpScreen->SetPalette(0, 256, mpPalette);
        return 0;
    case GM_TIMER:
        if (muFrameCount == 0) return 0;
        muCurrentFrame = static_cast<uint8_t>((muCurrentFrame + 1) % muFrameCount);
        DrawAnimationFrame();
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}

void GuiAnimationWindow::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if (mpBackground) mpScreen->Bitmap(this, GuiPoint{mClientRect.left, mClientRect.top}, mpBackground, 0);
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiAnimationWindow::DrawAnimationFrame() {
    if (!mppFrames || muFrameCount == 0 || muCurrentFrame >= muFrameCount || !mpScreen || !IsVisible())
        return;
    GuiBitmap* b = mppFrames[muCurrentFrame];
    if (!b) return;
    const int x = mClientRect.left + miOffsetX, y = mClientRect.top + miOffsetY;
    mpScreen->Invalidate(MakeGuiRect(x, y, x + b->width - 1, y + b->height - 1));
    mpScreen->BeginDraw(this);
    mpScreen->Bitmap(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, b, 0);
    mpScreen->EndDraw();
}
