// The window: construction, frame and wallpaper, the message handling, adding children and icons.
#include "gui/window/guiwindow.h"

#include <new>

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guiicon.h"
#include "gui/window/guipm.h"
#include "gui/window/guiscroll.h"

namespace {

bool IsCloseId(int id) {
    return id == GUI_ID_CLOSE || (id >= GUI_ID_OK && id <= GUI_ID_RETRY);
}

// Pointer shape of a border code.
uint8_t ShapeOf(uint8_t code) {
    switch (code) {
    case GUI_BORDER_TOP:
    case GUI_BORDER_BOTTOM:
        return 1;
    case GUI_BORDER_LEFT:
    case GUI_BORDER_RIGHT:
        return 2;
    case GUI_BORDER_TOP_LEFT:
    case GUI_BORDER_BOTTOM_RIGHT:
        return 3;
    case GUI_BORDER_BOTTOM_LEFT:
    case GUI_BORDER_TOP_RIGHT:
        return 4;
    default:
        return 0;
    }
}

} // namespace

GuiWindow::GuiWindow(const GuiRect& rect, unsigned int style)
    : GuiTextThing(rect, 0, static_cast<unsigned short>(style & 0xFFFF), nullptr, GUI_FONT_CLASS_WINDOW) {
    construct();
}

GuiWindow::GuiWindow(unsigned int style)
    : GuiTextThing(0, static_cast<unsigned short>(style & 0xFFFF), nullptr, GUI_FONT_CLASS_WINDOW) {
    construct();
}

GuiWindow::~GuiWindow() = default;

void GuiWindow::construct() {
    muThingType = GUI_TYPE_WINDOW;
    mColors[0] = GUI_WHITE;
    AddStatus(GUI_ST_WINDOW | GUI_ST_VIEWPORTS);
    if ((mwStyleFlags & GUI_BORDER_MASK) == GUI_BORDER_THICK) AddStatus(GUI_ST_MOVABLE | GUI_ST_SIZEABLE);
    InitClient();
}

GuiPresentationManager* GuiWindow::PM() {
    return dynamic_cast<GuiPresentationManager*>(mpPresentation);
}

void GuiWindow::InitClient() {
    GuiThing::InitClient();
    if (mpVScrollBar) mClientRect.right = static_cast<int16_t>(mClientRect.right - GUI_SCROLLBAR_SIZE);
    if (mpHScrollBar) mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom - GUI_SCROLLBAR_SIZE);
    if (!IsVisible()) return;
    for (GuiThing* bar : {mpVScrollBar, mpHScrollBar})
        if (bar) bar->Message(GuiMakeMessage(GM_PARENT_RESIZED, bar));
}

void GuiWindow::DrawFrame(int fill) {
    if (!mpScreen) return;
    GuiScreen& s = *mpScreen;
    const GuiRect r = mRealRect;
    const int l = r.left, t = r.top, R = r.right, B = r.bottom;
    const GuiColor face{GUI_LIGHT_GREY, mColors[0], static_cast<uint8_t>(fill ? GUI_COLOR_FILL : 0)};
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s.Line(this, x1, y1, x2, y2, GuiColor{c, c, 0}, 1);
    };
    const int kind = mwStyleFlags & GUI_BORDER_MASK;
    switch (kind) {
    case GUI_BORDER_NONE:
        if (fill) s.Rectangle(this, r, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
        return;
    case GUI_BORDER_THIN:
        s.Rectangle(this, r, GuiColor{GUI_BLACK, mColors[0], face.flags}, 1);
        return;
    case GUI_BORDER_THICK:
        s.Rectangle(this, r, face, 5);
        break;
    default:
        s.Rectangle(this, r, face, 1);
        break;
    }
    if (kind == GUI_BORDER_RAISED || kind == GUI_BORDER_THICK) {
        line(l + 1, t + 1, R - 1, t + 1, GUI_WHITE);
        line(l + 1, t + 1, l + 1, B - 1, GUI_WHITE);
        line(R - 1, t + 1, R - 1, B - 1, GUI_DARK_GREY);
        line(l + 1, B - 1, R - 1, B - 1, GUI_DARK_GREY);
        line(R, t, R, B, GUI_BLACK);
        line(l, B, R, B, GUI_BLACK);
    } else if (kind == GUI_BORDER_RECESSED) {
        line(l, t, R, t, GUI_DARK_GREY);
        line(l, t, l, B, GUI_DARK_GREY);
        line(l, B, R, B, GUI_WHITE);
        line(R, t, R, B, GUI_WHITE);
        line(l + 1, t + 1, R - 1, t + 1, GUI_BLACK);
        line(l + 1, t + 1, l + 1, B - 1, GUI_BLACK);
        line(l + 1, B - 1, R - 1, B - 1, GUI_LIGHT_GREY);
        line(R - 1, t + 2, R - 1, B - 1, GUI_LIGHT_GREY);
    }
    if (kind == GUI_BORDER_THICK) {
        // The sunken inner rim.
        line(R - 3, t + 3, R - 3, B - 3, GUI_WHITE);
        line(l + 3, B - 3, R - 3, B - 3, GUI_WHITE);
        const GuiRect& c = mClientRect;
        line(c.left - 1, c.top - 1, c.right, c.top - 1, GUI_DARK_GREY);
        line(c.left - 1, c.top - 1, c.left - 1, c.bottom, GUI_DARK_GREY);
    }
}

int GuiWindow::scrollPosition(GuiThing* bar) const {
    auto* s = dynamic_cast<GuiScroll*>(bar);
    return s ? s->Info().current : 0;
}

void GuiWindow::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    if (!mpWallpaper) {
        DrawFrame(1);
    } else {
        const bool tiled = mbTileWallpaper != 0;
        DrawFrame(!tiled || (mpWallpaper->flags & GUI_BMP_TRANSPARENT) ? 1 : 0);
        const GuiRect saved = mClipRect;
        mClipRect &= mClientRect;
        const GuiRect& c = mClientRect;
        if (tiled) {
            s.BitmapFill(this,
                         MakeGuiRect(c.left - scrollPosition(mpHScrollBar),
                                     c.top - scrollPosition(mpVScrollBar), c.right, c.bottom),
                         mpWallpaper);
        } else {
            const int x = (c.left + c.right) / 2 - mpWallpaper->width / 2;
            const int y = (c.top + c.bottom) / 2 - mpWallpaper->height / 2;
            s.Bitmap(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, mpWallpaper, 0);
        }
        mClipRect = saved;
    }
    DrawChildren();
    if (mpVScrollBar && mpHScrollBar) FillScrollCorner();
    s.EndDraw();
}

void GuiWindow::FillScrollCorner() {
    if (!mpScreen || !mpVScrollBar || !mpHScrollBar) return;
    const GuiRect r = MakeGuiRect(mpHScrollBar->mRealRect.right + 1, mpVScrollBar->mRealRect.bottom + 1,
                                  mpVScrollBar->mRealRect.right, mpHScrollBar->mRealRect.bottom);
    mpScreen->Rectangle(this, r, GuiColor{GUI_LIGHT_GREY, GUI_LIGHT_GREY, GUI_COLOR_FILL}, 0);
}

void GuiWindow::Add(GuiThing* child, int draw) {
    if (!child || mpFirstChild == child) return;
    const bool wasVisible = child->IsVisible();
    GuiThing::Add(child, draw);
    const uint16_t st = child->mwStatusFlags;
    if (IsVisible() && (mwStatusFlags & GUI_ST_CURRENT) && !wasVisible && (st & GUI_ST_FOCUS) &&
        !(st & GUI_ST_NONCLIENT) && mpPresentationLink)
        mpPresentationLink->MoveFocusTree(child);
}

void GuiWindow::AddIcon(GuiIcon* icon) {
    if (!icon) return;
    GuiLockGuard lock;
    int x = mClientRect.left + 10;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling)
        if (c->muThingType == GUI_TYPE_ICON && c->mRealRect.right - mClientRect.left > x)
            x = c->mRealRect.right + 10;
    const GuiBitmap* b = icon->mpIconBitmap;
    const int w = b ? b->width : icon->mRealRect.Width();
    const int h = b ? b->height : icon->mRealRect.Height();
    const int y = mClientRect.bottom - h - 10;
    GuiMessage resize = GuiMakeMessage(GM_RESIZE, icon);
    resize.SetDataRect(MakeGuiRect(x, y, x + w - 1, y + h - 1));
    icon->Message(resize);
    Add(icon, 1);
}

int GuiWindow::BorderContains(GuiPoint p) {
    if (!(mwStatusFlags & GUI_ST_MOVABLE)) return 0;
    const GuiRect& r = mRealRect;
    if (!r.Contains(p)) return 0;
    const bool top = p.y <= r.top + 5, bottom = p.y >= r.bottom - 5;
    if (p.x <= r.left + 5)
        return top ? GUI_BORDER_TOP_LEFT : bottom ? GUI_BORDER_BOTTOM_LEFT : GUI_BORDER_LEFT;
    if (p.x >= r.right - 5)
        return top ? GUI_BORDER_TOP_RIGHT : bottom ? GUI_BORDER_BOTTOM_RIGHT : GUI_BORDER_RIGHT;
    return top ? GUI_BORDER_TOP : bottom ? GUI_BORDER_BOTTOM : 0;
}

void GuiWindow::setPointerShape(uint8_t shape) {
    if (mpScreen) mpScreen->SetPointerType(shape);
    mbPointerChanged = shape != 0;
}

int GuiWindow::Message(const GuiMessage& msg) {
    const bool movable = (mwStatusFlags & GUI_ST_MOVABLE) && !mbMaximized;
    switch (msg.Type) {
    case GM_CLOSE:
        Destroy(this);
        return 1000;
    case GM_SHOW:
        GuiThing::Message(msg);
        if (mbScrollMode & (GUI_SCROLL_AUTO_V | GUI_SCROLL_AUTO_H)) CheckAutoScroll();
        return 0;
    case GM_POINTER_MOVE: {
        const GuiPoint p = msg.DataPoint();
        if (mbMoveMode) {
            if (p.x != mMovePoint.x || p.y != mMovePoint.y) {
                DrawMoveFrame(1);
                mMovePoint = p;
                DrawMoveFrame(0);
            }
        } else if (movable) {
            const auto code = static_cast<uint8_t>(BorderContains(p));
            if (code != muLastBorder) {
                muLastBorder = code;
                setPointerShape(ShapeOf(code));
            }
        }
        return 0;
    }
    case GM_BUTTON_DOWN:
        if (mbMoveMode) return 0;
        if (movable) {
            const GuiPoint p = msg.DataPoint();
            if (const int code = BorderContains(p)) {
                mbMoveMode = static_cast<uint8_t>(code);
                GuiThing::CapturePointer();
                mMoveAnchor = mMovePoint = p;
                return 0;
            }
        }
        return GuiThing::Message(msg);
    case GM_BUTTON_UP:
        if (mbMoveMode) finishDrag();
        return 0;
    case GM_CURRENT: {
        GuiThing::Message(msg);
        GuiPresentationManager* pm = PM();
        if (pm && pm->InputFocus() == this && !(mwStatusFlags & GUI_ST_FOCUS_STOP))
            MoveFocusToFirstClientChild();
        return 0;
    }
    case GM_POINTER_EXIT:
        if (mbPointerChanged) setPointerShape(0);
        muLastBorder = 0;
        return 0;
    case GM_ADD_ICON:
        AddIcon(static_cast<GuiIcon*>(msg.DataPtr(0)));
        return 0;
    case GM_MOVE_RESIZE:
        if (!mbMoveMode && (mwStatusFlags & GUI_ST_SIZEABLE)) {
            mbMoveMode = static_cast<uint8_t>(msg.Param);
            mMoveAnchor = mMovePoint = msg.DataPoint();
            GuiThing::CapturePointer();
            if (mbMoveMode == GUI_BORDER_BOTTOM_RIGHT) setPointerShape(3);
        }
        return 0;
    case GM_VSCROLL:
        MoveClientObjects(0, msg.Param - msg.DataWord(0), 1);
        return 0;
    case GM_HSCROLL:
        MoveClientObjects(msg.Param - msg.DataWord(0), 0, 1);
        return 0;
    case GM_MAXIMIZE:
        if ((mwStatusFlags & GUI_ST_MOVABLE) && mpParentThing) {
            mRestoreRect = mRealRect;
            mbMaximized = 1;
            GuiMessage m = GuiMakeMessage(GM_RESIZE, this);
            m.SetDataRect(mpParentThing->mClientRect);
            Message(m);
            if (IsVisible()) Draw(); // the resize invalidated the old and the new area
        }
        return 0;
    case GM_MINIMIZE:
        if ((mwStatusFlags & GUI_ST_MOVABLE) && !mbModal && mpParentThing) {
            auto* icon = new (std::nothrow) GuiIcon(this, mpIconBitmap, mwThingId, 0);
            if (!icon) return 0;
            if (mwStatusFlags & GUI_ST_FRONT) icon->AddStatus(GUI_ST_FRONT | GUI_ST_VIEWPORTS);
            GuiThing* parent = mpParentThing;
            GuiMessage m = GuiMakeMessage(GM_ADD_ICON, parent, this);
            m.SetDataPtr(0, icon);
            if (mpMessageQueue) mpMessageQueue->Push(&m);
            parent->Remove(this, 1);
        }
        return 0;
    case GM_RESTORE:
        if ((mwStatusFlags & GUI_ST_MOVABLE) && mbMaximized) {
            mbMaximized = 0;
            GuiMessage m = GuiMakeMessage(GM_RESIZE, this);
            m.SetDataRect(mRestoreRect);
            Message(m);
            if (mpParentThing) mpParentThing->Draw();
        }
        return 0;
    default:
        break;
    }
    if (msg.Type >= GM_SIGNAL && msg.Type < GM_USER && ((msg.Type - GM_SIGNAL) & 15) == GUI_SIGNAL_CLICK) {
        const int id = (msg.Type - GM_SIGNAL) >> 4;
        if (IsCloseId(id)) {
            Destroy(this);
            return id;
        }
    }
    return GuiThing::Message(msg);
}
