#include <algorithm>

#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/widgets/polygon/guipolygon.h"

GuiAnimation::GuiAnimation(const GuiRect& rect, GuiAnimationFrame* frames, unsigned short id,
                           unsigned short style)
    : GuiThing(rect, id, style) {
    muThingType = GUI_TYPE_ANIMATION;
    InitializeFrameList(frames);
}

GuiAnimation::GuiAnimation(const GuiRect& rect, unsigned short id, unsigned short style)
    : GuiThing(rect, id, style) {
    muThingType = GUI_TYPE_ANIMATION;
}

namespace {

// A corner plus a frame's offset, within the coordinate range.
GuiPoint At(int x, int y, const GuiAnimationFrame& f) {
    auto c = [](int64_t v) { return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX)); };
    return GuiPoint{c(int64_t{x} + f.x), c(int64_t{y} + f.y)};
}

} // namespace

void GuiAnimation::InitializeFrameList(const GuiAnimationFrame* frames) {
    mFrames.clear();
    if (frames)
        for (const GuiAnimationFrame* f = frames; f->bitmap; ++f) mFrames.push_back(*f);
    if (muIndex >= mFrames.size()) muIndex = 0;
}

const GuiAnimationFrame* GuiAnimation::CurrentFrame() const {
    return muIndex < mFrames.size() ? &mFrames[muIndex] : nullptr;
}

void GuiAnimation::AssignFrameList(GuiAnimationFrame* frames) {
    InitializeFrameList(frames);
    muIndex = 0;
    if (mFrames.empty()) {
        // No frame left to show: a running animation stops, and no tick may reach it.
        if (mbRunning && mpMessageQueue) mpMessageQueue->KillTimer(this, GUI_ANIM_TIMER);
        mbRunning = 0;
        return;
    }
    if (mbRunning) SetCurrentFrame(0);
}

void GuiAnimation::Start(int frame) {
    if (mFrames.empty()) return;
    const int index = frame < 0 ? static_cast<int>(muIndex) : frame;
    if (static_cast<size_t>(index) >= mFrames.size()) return;
    mbRunning = 1;
    SetCurrentFrame(index);
}

void GuiAnimation::Stop() {
    mbRunning = 0;
    if (!mFrames.empty() && !(muMode & GUI_ANIM_KEEP)) redrawParent();
}

void GuiAnimation::SetCurrentFrame(int index) {
    if (index < 0 || static_cast<size_t>(index) >= mFrames.size()) return;
    muIndex = static_cast<uint32_t>(index);
    if (!mbRunning) return;
    redrawSelf();
    if (mpMessageQueue) mpMessageQueue->SetTimer(this, GUI_ANIM_TIMER, mFrames[muIndex].delay, 0);
}

void GuiAnimation::redrawSelf() {
    if (!mpScreen || !IsVisible()) return;
    mpScreen->Invalidate(mClientRect);
    Draw();
}

void GuiAnimation::redrawParent() {
    if (!mpScreen || !IsVisible()) return;
    mpScreen->Invalidate(mClientRect);
    mpScreen->BeginDraw(this);
    if (mpParentThing) mpParentThing->Draw();
    mpScreen->EndDraw();
}

int GuiAnimation::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_HIDE:
        if (mpMessageQueue) mpMessageQueue->KillTimer(this, 0);
        mbRunning = 0;
        return GuiThing::Message(msg);
    case GM_SHOW:
        if ((muMode & GUI_ANIM_AUTOSTART) && !mFrames.empty()) {
            mbRunning = 1;
            SetCurrentFrame(static_cast<int>(muIndex));
        }
        return GuiThing::Message(msg);
    case GM_TIMER: {
        if (!mbRunning) return 0;
        if (++muIndex >= mFrames.size()) {
            muIndex = 0;
            if (!(muMode & GUI_ANIM_LOOP)) mbRunning = 0;
        }
        if (mbRunning && muIndex < mFrames.size()) {
            if (mpMessageQueue) mpMessageQueue->SetTimer(this, GUI_ANIM_TIMER, mFrames[muIndex].delay, 0);
            redrawSelf();
        } else if (!(muMode & GUI_ANIM_KEEP)) {
            redrawParent();
        }
        return 0;
    }
    default:
        return GuiThing::Message(msg);
    }
}

void GuiAnimation::Draw() {
    if (mFrames.empty() || !(mbRunning || (muMode & GUI_ANIM_KEEP))) return;
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    const GuiAnimationFrame& f = mFrames[muIndex];
    const GuiRect& c = mClientRect;
    if (f.clear == 0 || f.clear == 2) {
        s.Rectangle(this, c, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    } else if (f.clear == 4 && muIndex != 0) {
        const GuiAnimationFrame& p = mFrames[muIndex - 1];
        s.Bitmap(this, At(c.left, c.top, p), p.bitmap, 0);
    }
    s.Bitmap(this, At(mRealRect.left, mRealRect.top, f), f.bitmap, 0);
    s.EndDraw();
}
