// Free-form display things: a polygon given relative to its own rectangle that moves with the
// thing and turns about the rectangle's centre, and an animation that shows a list of bitmap
// frames one after another on GUI timer ticks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "gui/core/guibitmap.h"
#include "gui/core/guithing.h"

// Style bit: the polygon keeps its own copy of the points.
inline constexpr uint16_t GUI_POLYGON_COPY = 0x2000;

class Gui2DPolygon : public GuiThing {
public:
    // The points are relative to the rectangle's top-left. Without GUI_POLYGON_COPY the caller's
    // array stays in use and receives screen coordinates, now and on every move.
    Gui2DPolygon(const GuiRect& rect, GuiPoint* points, unsigned int count, unsigned int id,
                 unsigned short style);
    ~Gui2DPolygon() override = default;

    void Draw() override;
    void Resize(GuiRect rect) override;
    void ParentShift(int dx, int dy) override;

    // Turns the points counter-clockwise by the angle, always from the untouched points.
    void SetCurAngle(int angle);
    void SetFill(int fill) { miFill = fill; }
    void SetLineWidth(int width) { miLineWidth = width; }
    const GuiPoint* TurnedPoints() const { return mTurned.get(); }
    const GuiPoint* Points() const { return mpPoints; }

    uint32_t muCount;
    GuiPoint* mpPoints;                  // the caller's array, or mOwned
    std::unique_ptr<GuiPoint[]> mTurned; // drawn
    int32_t miFill = 0;                  // 0: outline only; else filled with colour slot 3
    int32_t miAngle = 0;
    int32_t mbOwnsPoints;
    int32_t miLineWidth = 1;

private:
    void move(int dx, int dy);
    std::unique_ptr<GuiPoint[]> mOwned;
};

enum : uint8_t { GUI_TYPE_ANIMATION = 30 };
// Modes of the animation.
inline constexpr uint16_t GUI_ANIM_LOOP = 0x0001;
inline constexpr uint16_t GUI_ANIM_KEEP = 0x0002; // stopped: the last frame stays, the parent is not redrawn
inline constexpr uint16_t GUI_ANIM_AUTOSTART = 0x0004;
inline constexpr uint16_t GUI_ANIM_TIMER = 4096;

struct GuiAnimationFrame {
    GuiBitmap* bitmap; // null ends a list
    int32_t delay;     // GUI timer ticks until the next frame
    int32_t x;         // offsets of the bitmap
    int32_t y;
    int32_t clear; // 0 or 2: clear the client area first; 4: draw the previous frame again first
};

class GuiAnimation : public GuiThing {
public:
    GuiAnimation(const GuiRect& rect, GuiAnimationFrame* frames, unsigned short id, unsigned short style);
    GuiAnimation(const GuiRect& rect, unsigned short id, unsigned short style);
    ~GuiAnimation() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    void AssignFrameList(GuiAnimationFrame* frames);
    void SetMode(unsigned short mode) { muMode = mode; }
    // frame < 0: the current index. An index at or beyond the frame count is ignored.
    void Start(int frame);
    void Stop();
    void SetCurrentFrame(int index);

    unsigned int FrameCount() const { return static_cast<unsigned int>(mFrames.size()); }
    const GuiAnimationFrame* CurrentFrame() const;

    uint32_t muIndex = 0;
    uint16_t muMode = 0;
    int32_t mbRunning = 0;

private:
    void InitializeFrameList(const GuiAnimationFrame* frames);
    void redrawSelf();
    void redrawParent();
    std::vector<GuiAnimationFrame> mFrames; // the copy, without the closing entry
};
