// The window: the container of the system. Every page and view of the display, the presentation
// manager and the catalogue's dialogs derive from it. A window owns viewports (its children never
// draw outside its visible pieces), draws a frame by style, an optional wallpaper and optional
// scroll bars at its right and bottom edges, can be moved, resized, maximised, minimised to an
// icon and restored with the pointer, and can be executed modally in the GUI task or in another
// task.
#pragma once

#include <cstdint>

#include "gui/core/guitextthing.h"

class GuiIcon;
class GuiPresentationManager;

// What a window reports to its scroll bars.
struct GuiScrollInfo {
    int32_t minimum;
    int32_t maximum;
    int32_t current;
    int32_t step;
    int32_t visible;
};

// Border codes of BorderContains and of a move or resize in progress.
enum : uint8_t {
    GUI_BORDER_TOP = 1,
    GUI_BORDER_BOTTOM = 2,
    GUI_BORDER_LEFT = 4,
    GUI_BORDER_RIGHT = 8,
    GUI_BORDER_TOP_LEFT = 5,
    GUI_BORDER_BOTTOM_LEFT = 6,
    GUI_BORDER_TOP_RIGHT = 9,
    GUI_BORDER_BOTTOM_RIGHT = 10,
    GUI_BORDER_MOVE = 128,
};

// Scroll mode bits.
enum : uint8_t {
    GUI_SCROLL_V = 0x01,
    GUI_SCROLL_AUTO_V = 0x02,
    GUI_SCROLL_H = 0x04,
    GUI_SCROLL_AUTO_H = 0x08,
    GUI_SCROLL_LIVE = 0x80, // the content follows a dragged thumb
};

// Standard ids of the library: a click of one of them closes its window (1001 does not).
enum : uint16_t {
    GUI_ID_CLOSE = 1000,
    GUI_ID_SYSTEM = 1001,
    GUI_ID_OK = 1002,
    GUI_ID_CANCEL = 1003,
    GUI_ID_NOTEXT = 1004,
    GUI_ID_ABORT = 1005,
    GUI_ID_YES = 1006,
    GUI_ID_NO = 1007,
    GUI_ID_RETRY = 1008,
    GUI_ID_MINIMIZE = 1009,
    GUI_ID_RESTORE = 1010,
};

inline constexpr int GUI_SCROLLBAR_SIZE = 16;
// The result of a modal loop that GM_EXIT ends.
inline constexpr int GUI_EXIT_RESULT = -19;

class GuiWindow : public GuiTextThing {
public:
    GuiWindow(const GuiRect& rect, unsigned int style);
    explicit GuiWindow(unsigned int style);
    ~GuiWindow() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Add(GuiThing* child, int draw) override;
    void Resize(GuiRect rect) override;
    void InitClient() override;

    virtual int Execute(int add);
    virtual void AddIcon(GuiIcon* icon);
    virtual void SetScrollMode(unsigned int mode);
    virtual unsigned int GetScrollMode() { return mbScrollMode; }
    virtual void GetVScrollInfo(GuiScrollInfo* info);
    virtual void GetHScrollInfo(GuiScrollInfo* info);
    virtual void DrawFrame(int fill);
    virtual GuiBitmap* GetIcon() { return mpIconBitmap; }
    virtual void SetIcon(GuiBitmap* bitmap) { mpIconBitmap = bitmap; }
    virtual void SetWallpaper(GuiBitmap* bitmap, int tile) {
        mpWallpaper = bitmap;
        mbTileWallpaper = tile;
    }
    virtual int CheckAutoScroll();
    virtual GuiThing* CreateVScroll();
    virtual GuiThing* CreateHScroll();
    virtual int BorderContains(GuiPoint point);
    virtual void MoveClientObjects(int dx, int dy, int redraw);

    void FillScrollCorner();
    void CheckResizeRect(GuiRect& rect);
    void DrawMoveFrame(int erase);
    int GlobalModalExecute();

    GuiBitmap* mpIconBitmap = nullptr;
    GuiBitmap* mpWallpaper = nullptr;
    GuiThing* mpVScrollBar = nullptr;
    GuiThing* mpHScrollBar = nullptr;
    int32_t mbModal = 0;
    int32_t mbMaximized = 0;
    int32_t mbMoveFrameShown = 0;
    int32_t mbTileWallpaper = 0;
    uint8_t mbScrollMode = 0;
    uint8_t mbMoveMode = 0;
    uint8_t mbPointerChanged = 0;
    GuiPoint mMoveAnchor{};
    GuiPoint mMovePoint{};
    GuiRect mRestoreRect{};

protected:
    // The presentation manager of the tree, or null when the root is something else.
    static GuiPresentationManager* PM();
    // Removes a scroll bar: without drawing, client area given back, queued messages purged, its
    // arrow buttons' timers killed, deleted.
    void dropBar(GuiThing*& bar, bool vertical);
    // Adds a new scroll bar (16 pixels off the client area); false when none could be made.
    bool makeBar(bool vertical, int draw);

private:
    void construct();
    GuiRect dragRect(GuiPoint last) const;
    void finishDrag();
    void setPointerShape(uint8_t shape);
    int scrollPosition(GuiThing* bar) const;
    bool frontWindowContains(GuiPoint p) const;
    int modalPointer(GuiMessage& msg);

    uint8_t muLastBorder = 0; // border code under the pointer at the last move
};
