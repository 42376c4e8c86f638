// Scroll bars: two arrow buttons, a trough drawn with a grey pattern and a draggable thumb whose
// size shows the visible part of the content. A window makes its own bars at its right and bottom
// edges; a bar can also stand alone and report its value to its parent by signal 8.
#pragma once

#include <cstdint>

#include "gui/core/guithing.h"
#include "gui/window/guibutton.h"
#include "gui/window/guiwindow.h"

enum : uint8_t { GUI_TYPE_HSCROLL = 6, GUI_TYPE_VSCROLL = 7 };
// Signal of a free-standing bar whose value changed.
inline constexpr unsigned GUI_SIGNAL_SCROLLED = 8;

// Arrows (7 x 4 and 4 x 7, palette index 255 transparent, 0 black) and the trough's pattern
// (16 x 4 checkerboard of indices 15 and 7).
extern GuiBitmap gbUpArrowBitmap, gbDownArrowBitmap, gbLeftArrowBitmap, gbMoreBitmap, gbMixPatternBitmap;

class GuiScroll;

// The thumb.
class GuiScrollButton : public GuiThing {
public:
    explicit GuiScrollButton(bool vertical);
    ~GuiScrollButton() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    // Moves the thumb to follow the pointer coordinate pos; 1 when it moved (and was drawn).
    int MoveDraw(int pos);

    int32_t mbVerticalThumb;
    int32_t mbDragging = 0;
    int32_t miLastPos = 0;
    int32_t miAnchorPos = 0;
    GuiRect mPressRect{};

private:
    GuiScroll* bar() const;
};

class GuiScroll : public GuiThing {
public:
    ~GuiScroll() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;

    virtual void Reset();
    virtual void Reset(GuiScrollInfo* info);
    virtual void CheckScrollLimits();
    virtual void SetScrollButtonPos() = 0;
    virtual void ReadParentScrollInfo() = 0;

    const GuiScrollInfo& Info() const { return mInfo; }
    GuiButton* ArrowButton(int n) const { return n == 1 ? mpArrowButton1 : mpArrowButton2; }
    GuiScrollButton* Thumb() const { return mpThumb; }
    bool Vertical() const { return mVertical; }
    // The window message of this orientation (GM_VSCROLL or GM_HSCROLL).
    uint16_t WindowMessage() const;
    // Kills the arrow buttons' repeat timers (before the bar is deleted).
    void StopArrows();

    GuiScrollInfo mInfo{0, 1, 0, 1, 1};

protected:
    // A window's own bar.
    explicit GuiScroll(bool vertical);
    // A free-standing bar with its own rectangle, information and id.
    GuiScroll(bool vertical, const GuiRect& rect, const GuiScrollInfo* info, unsigned int id);

    void placeThumb();
    void readParent();
    // Tells the window or the parent that the value went from old to the current one.
    void notify(int old);
    void redraw();
    int lo(const GuiRect& r) const { return mVertical ? r.top : r.left; }
    int hi(const GuiRect& r) const { return mVertical ? r.bottom : r.right; }
    GuiRect trough() const;

    bool mVertical;
    GuiButton* mpArrowButton1 = nullptr; // up or left
    GuiButton* mpArrowButton2 = nullptr; // down or right
    GuiScrollButton* mpThumb = nullptr;

private:
    void makeParts(const GuiRect& first, const GuiRect& second, uint16_t buttonStyle);
};

class GuiVScroll : public GuiScroll {
public:
    GuiVScroll();
    GuiVScroll(const GuiRect& rect, GuiScrollInfo* info, unsigned int id);
    void SetScrollButtonPos() override { placeThumb(); }
    void ReadParentScrollInfo() override { readParent(); }
};

class GuiHScroll : public GuiScroll {
public:
    GuiHScroll();
    GuiHScroll(const GuiRect& rect, GuiScrollInfo* info, unsigned int id);
    void SetScrollButtonPos() override { placeThumb(); }
    void ReadParentScrollInfo() override { readParent(); }
};
