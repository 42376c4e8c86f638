// The abstract screen: the drawing frame (BeginDraw/EndDraw), the invalid rectangle, the clipping
// of every primitive to what may be drawn, the viewport lists that tell which parts of which
// windows are visible, and the device-independent half of the primitives. The device screen
// (l24logi.h) supplies the per-view primitives that touch pixels.
//
// Every primitive runs through one gate: nothing without a visible thing; into a bitmap, clipped
// to the bitmap; on the screen, only inside a drawing frame with something invalidated, clipped to
// the invalid rectangle, the thing's clip, the screen, and then each viewport of the thing's
// viewport owner in turn.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "gui/core/guibitmap.h"
#include "gui/core/guirect.h"
#include "gui/core/guithing.h"

// One row of a span table: the leftmost and rightmost x of a filled area on that row. An empty row
// holds left > right (GUI_SPAN_EMPTY), so that no coordinate, negative or beyond the surface, is
// ever taken for the mark of an empty row.
struct GuiSpan {
    int32_t left;
    int32_t right;
};
inline constexpr GuiSpan GUI_SPAN_EMPTY = {INT32_MAX, INT32_MIN};

// First and last row touched by the arc fill; valid only during one fill.
extern int minrow;
extern int maxrow;

// Options of the drawing gate.
enum : unsigned {
    GUI_GATE_NO_THING = 0x01, // while drawing into a bitmap, a null thing draws
    GUI_GATE_HIDDEN = 0x02,   // an invisible thing draws too
};

// One visible piece of a window.
struct Viewport {
    GuiRect view;
    Viewport* next;
    int blockStart; // non-zero on the first record of each allocated block
};

class GuiScreen {
public:
    static constexpr int VIEWPORT_BLOCK = 32;
    static constexpr int POINTER_TYPES = 12;
    static constexpr int FIRST_FREE_POINTER = 7;

    explicit GuiScreen(const GuiRect& rect);
    virtual ~GuiScreen();
    GuiScreen(const GuiScreen&) = delete;
    GuiScreen& operator=(const GuiScreen&) = delete;

    // Drawing frame.
    virtual void BeginDraw(GuiThing* thing) = 0;
    virtual void EndDraw() = 0;
    virtual void BeginDraw(GuiThing* thing, GuiBitmap* bitmap) = 0;
    virtual void EndDraw(GuiBitmap* bitmap) = 0;

    virtual void SetPointerType(unsigned char type) = 0;
    virtual void SetPointer(GuiPoint where) = 0;
    virtual int Capture(GuiCapture* capture, GuiRect& area) = 0;
    virtual void SetPalette(int first, int count, const unsigned char* rgb) = 0;
    virtual unsigned char* GetPalette(unsigned long* count) = 0;
    virtual void ResetPalette() = 0;
    virtual unsigned long GetBitmapPixel(int x, int y, GuiBitmap* bitmap) = 0;
    virtual void PutBitmapPixel(int x, int y, GuiBitmap* bitmap, unsigned long colour) = 0;

    virtual unsigned long GetPixel(int x, int y);
    virtual void PutPixel(GuiThing* thing, int x, int y, unsigned long colour);
    virtual GuiBitmap* CreateBitmap(int width, int height, int transparent);
    virtual void DestroyBitmap(GuiBitmap* bitmap);
    virtual void Line(GuiThing* thing, int x1, int y1, int x2, int y2, const GuiColor& colour, int width);
    virtual void FlushScreen() {}
    virtual void WaitFlushFinish() {}
    virtual void PolyLine(GuiThing* thing, GuiPoint* points, unsigned int count, const GuiColor& colour,
                          int width);
    virtual void Rectangle(GuiThing* thing, const GuiRect& rect, const GuiColor& colour, int width);
    virtual void Bitmap(GuiThing* thing, GuiPoint where, GuiBitmap* bitmap, int onTop);
    virtual void BitmapFill(GuiThing* thing, GuiRect rect, GuiBitmap* bitmap);
    virtual void SetFillPattern(GuiBitmap* pattern) { mpFillPattern = pattern; }
    virtual void Restore(GuiThing* thing, GuiCapture* capture, int onTop);
    virtual int RectMove(GuiThing* thing, GuiRect source, GuiRect within, int dx, int dy);
    virtual void DrawText(GuiThing* thing, GuiPoint where, const char* text, GuiColor& colour,
                          const GuiFont* font, int count, int doubled);
    virtual int TextHeight(const char* text, const GuiFont* font);
    virtual int TextWidth(const char* text, const GuiFont* font, int count);
    virtual void ShowPointer(int show);
    // Shapes: the entry routines gate and clip, then draw each visible piece.
    virtual void Polygon(GuiThing* thing, GuiPoint* points, int count, const GuiColor& colour, int width);
    virtual void Circle(GuiThing* thing, int cx, int cy, int radius, GuiColor& colour, int width);
    virtual void Ellipse(GuiThing* thing, const GuiRect& rect, GuiColor colour, int width);
    virtual void PatternLine(GuiThing* thing, int x1, int y1, int x2, int y2, GuiColor& colour, int width,
                             unsigned long pattern, int restart);
    virtual void Arc(GuiThing* thing, int cx, int cy, int radius, int start, int end, GuiColor colour,
                     int width);
    virtual void Chord(GuiThing* thing, GuiRect& rect, GuiPoint p1, GuiPoint p2, GuiColor colour, int width);
    virtual void Pie(GuiThing* thing, GuiRect& rect, GuiPoint p1, GuiPoint p2, GuiColor colour, int width);
    virtual GuiBitmap* ResizeImage(GuiBitmap* source, int width, int height);

    // Per-view primitives of the device screen: view is already clipped.
    virtual void DrawTextView(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                              int count, GuiRect& view) = 0;
    virtual void DrawTextViewDouble(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                                    int count, GuiRect& view) = 0;
    virtual void LineView(int x1, int y1, int x2, int y2, GuiRect& view, GuiColor colour, int width) = 0;
    virtual void BitmapView(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view) = 0;
    virtual void RectMoveView(GuiThing* thing, const GuiRect& source, int dx, int dy) = 0;
    virtual void HorizontalLine(int x1, int x2, int y, unsigned long colour, int width) = 0;
    virtual void VerticalLine(int y1, int y2, int x, unsigned long colour, int width) = 0;
    virtual void HorizontalLineXOR(int x1, int x2, int y) = 0;
    virtual void VerticalLineXOR(int y1, int y2, int x) = 0;
    virtual unsigned long GetPixelView(int x, int y) = 0;
    virtual void HidePointer() = 0;

    // The per-view halves of the shapes: view lies inside the surface. The Fast forms draw
    // without any clip test and are used only when the whole figure lies inside the clip.
    virtual void FillPolygon(GuiThing* thing, GuiRect& bounds, GuiPoint* points, int count,
                             unsigned long colour);
    virtual void Circle(const GuiRect& view, int cx, int cy, int radius, GuiColor& colour, int width);
    virtual void CircleFast(int cx, int cy, int radius, GuiColor& colour, int width);
    virtual void FillCircle(const GuiRect& view, int cx, int cy, int radius, unsigned long colour);
    virtual void FillCircleFast(int cx, int cy, int radius, unsigned long colour);
    virtual void OutlineCircle(const GuiRect& view, int cx, int cy, int radius, unsigned long colour,
                               int width);
    virtual void OutlineCircleFast(int cx, int cy, int radius, unsigned long colour, int width);
    virtual void FillPolygonView(const GuiRect& view, GuiPoint* points, int count, unsigned long colour);
    virtual void PatternFillPolygon(GuiThing* thing, GuiRect& bounds, GuiPoint* points, int count,
                                    unsigned long colour);
    virtual void PatternFillPolygonView(const GuiRect& view, GuiPoint* points, int count);
    virtual void PatternLine(int x1, int y1, int x2, int y2, GuiRect& view, const GuiColor& colour, int width,
                             unsigned long pattern);
    virtual void EllipseToView(const GuiRect& rect, GuiColor& colour, int width, GuiRect view);
    virtual void EllipseFast(const GuiRect& rect, GuiColor& colour, int width);
    virtual void PlotEllipsePoints(GuiRect& rect);
    virtual void ArcToView(int cx, int cy, int radius, int start, int end, GuiColor colour, int width,
                           GuiRect& view);
    virtual void CheckArcPoint(int x, int y, int value, int state, int lower, int upper, GuiRect& view);
    virtual void ArcLine(int x1, int y1, int x2, int y2, GuiRect& view);
    virtual void ArcPlot(int x, int y, int value, int state, unsigned long colour, int lower, int upper,
                         GuiRect& view);
    virtual void ArcFill(int cx, int cy, int radius, int start, int end, GuiColor colour, GuiRect& view);

    // A thick horizontal or vertical line as a filled rectangle; 1 when it drew, 0 otherwise.
    virtual int WideLine(GuiThing* thing, int x1, int y1, int x2, int y2, const GuiColor& colour, int width);
    // The per-view half of Rectangle: piece is the clipped part of rect.
    virtual void Rectangle(const GuiRect& rect, GuiRect& piece, const GuiColor& colour, int width);

    // Parts of arcs, chords and pies.
    void ArcFixup(int cx, int cy, int radius, int& x, int& y);
    int ChordLine(int x1, int y1, int x2, int y2, GuiRect& rect, int side, GuiPoint* first, GuiPoint* last);
    void DrawChordBorder(GuiThing* thing, GuiRect& rect, GuiPoint first, GuiPoint last, int side,
                         GuiColor colour, int width);
    GuiPoint* PieLine(int x1, int y1, int x2, int y2, GuiRect& rect, int* count, GuiPoint* first,
                      GuiPoint* last);
    void DrawPieBorder(GuiThing* thing, GuiRect& rect, GuiPoint first, GuiPoint last, GuiColor colour,
                       int width);
    // The same with the sector's directions taken from the centre towards dir1 and dir2.
    void DrawPieBorder(GuiThing* thing, GuiRect& rect, GuiPoint first, GuiPoint last, GuiPoint dir1,
                       GuiPoint dir2, GuiColor colour, int width);

    void Invalidate(const GuiRect& r);
    void RectangleXOR(GuiThing* thing, const GuiRect& rect);

    // Viewports.
    void GenerateViewportList(GuiThing* thing);
    void FreeViewports(GuiThing* thing);
    void AddViewport(GuiThing* thing, GuiRect view);
    void SplitView(GuiThing* thing, GuiRect cover, GuiRect view);
    void SplitView(GuiThing* thing, GuiThing* child, GuiRect view);
    Viewport* GetFreeViewport();
    void AllocateViewportBlock();

    // Pointer shapes.
    int AddPointerType(GuiBitmap* bitmap, int hotX, int hotY);
    int GetPointerType() const;

    // 1 when nothing in front of target covers any of r, except target's own ancestors.
    int CheckNoOverlap(GuiThing* target, GuiThing* parent, const GuiRect& r);
    // A newly allocated BMP image of the area (free it with delete[]); its size through *size.
    unsigned char* DumpWindowsBitmap(unsigned long* size, GuiRect& area);

    // State of the frame.
    bool IsDrawingToBitmap() const { return mbDrawToBitmap != 0; }
    bool HasInvalid() const { return miInvalidCount > 0; }
    const GuiRect& InvalidRect() const { return mInvalid; }
    int DrawNesting() const { return miDrawNesting; }
    int InvalidCount() const { return miInvalidCount; }
    int HRes() const { return mwHRes; }
    int VRes() const { return mwVRes; }
    int NumColors() const { return miNumColors; }
    int TotalViewports() const { return miTotalViewports; }

protected:
    // The gate, clip and viewport walk shared by every primitive: calls draw(piece) per piece.
    // gate holds GUI_GATE_* options.
    template <class F> void ForEachView(GuiThing* thing, GuiRect bounds, F&& draw, unsigned gate = 0);
    // The viewport walk alone, over an already clipped rectangle.
    template <class F> void ForEachPiece(GuiThing* thing, const GuiRect& clip, F&& draw);
    // The gate and clip without the viewport walk; false when nothing may be drawn.
    bool GateAndClip(GuiThing* thing, GuiRect& clip, unsigned gate = 0);
    static GuiThing* ViewportOwner(GuiThing* thing);
    // Rows of the surface being drawn (the screen, or the bitmap).
    int SurfaceRows() const { return mbDrawToBitmap ? std::max(0, mBitmapRect.bottom + 1) : mwVRes; }
    // The scan of a polygon by the even-odd rule: span(x0, x1, y) for every span inside view.
    template <class F> void ScanPolygon(const GuiRect& view, const GuiPoint* points, int count, F&& span);
    void ArcFillPass(int cx, int cy, int radius, int start, int end, unsigned long colour, GuiRect& view);

    struct PointerType {
        GuiBitmap* bitmap;
        uint32_t hotX;
        uint32_t hotY;
    };

    Viewport* mpFreeListStart = nullptr;
    Viewport* mpFreeListEnd = nullptr;
    GuiRect mInvalid{};
    GuiRect mBitmapRect{};
    int mwHRes = 0;
    int mwVRes = 0;
    int miNumColors = 0;
    int miTotalViewports = 0;
    int miDrawNesting = 0;
    int miInvalidCount = 0;
    int mbDrawToBitmap = 0;
    int mbPointerShown = 0;
    GuiPoint mLastPointerPos{};
    PointerType mPointerTypes[POINTER_TYPES]{};
    GuiBitmap* mpCurPointer = nullptr;
    GuiBitmap* mpFillPattern = nullptr;
    uint32_t** mpRowPointers = nullptr;
    uint32_t** mpSavedRowPointers = nullptr;
    uint32_t mPatternMask = 1;      // dash position: exactly one bit set, rotating right per step
    GuiSpan* mpSpanTable = nullptr; // span table of the fill in progress
    int miSpanRows = 0;             // its number of rows

private:
    std::vector<Viewport*> mBlocks; // every allocated block, for the destructor
};

// The built-in arrow pointer.
extern GuiBitmap gbMouse;

template <class F> void GuiScreen::ForEachView(GuiThing* thing, GuiRect bounds, F&& draw, unsigned gate) {
    if (GateAndClip(thing, bounds, gate)) ForEachPiece(thing, bounds, draw);
}

template <class F> void GuiScreen::ForEachPiece(GuiThing* thing, const GuiRect& clip, F&& draw) {
    GuiRect bounds = clip;
    if (mbDrawToBitmap) {
        draw(bounds);
        return;
    }
    GuiThing* owner = ViewportOwner(thing);
    if (!owner) return;
    for (Viewport* v = owner->mpViewports; v; v = v->next) {
        if (v->view.Contains(bounds)) {
            draw(bounds);
            return;
        }
        if (v->view.Overlap(bounds)) {
            GuiRect piece = v->view & bounds;
            draw(piece);
        }
    }
}
