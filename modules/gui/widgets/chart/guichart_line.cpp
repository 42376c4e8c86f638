// Line charts: the one line of GuiLineChart and the lines of GuiMultiLineChart, each a list of
// points mapped to pixels.
#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/widgets/chart/guichart.h"

namespace {

GuiChartPoint* NewPoint(GuiChart* chart, long x, long y) {
    auto* p = new GuiChartPoint;
    p->x = static_cast<int32_t>(x);
    p->y = static_cast<int32_t>(y);
    chart->MapDataToPoint(p);
    return p;
}

GuiChartPoint* Append(GuiChartPoint*& first, GuiChart* chart, long x, long y) {
    GuiChartPoint* p = NewPoint(chart, x, y);
    GuiChartPoint** link = &first;
    while (*link) link = &(*link)->next;
    *link = p;
    return p;
}

// Directly after `after`, or at the end when it is not in the list. Into an empty line the point
// is mapped like any other.
GuiChartPoint* InsertAfter(GuiChartPoint*& first, GuiChart* chart, GuiChartPoint* after, long x, long y) {
    for (GuiChartPoint* q = first; q; q = q->next) {
        if (q != after) continue;
        GuiChartPoint* p = NewPoint(chart, x, y);
        p->next = q->next;
        q->next = p;
        return p;
    }
    return Append(first, chart, x, y);
}

void Unlink(GuiChartPoint*& first, GuiChartPoint* point) {
    for (GuiChartPoint** link = &first; *link; link = &(*link)->next) {
        if (*link != point) continue;
        *link = point->next;
        delete point;
        return;
    }
}

void MapAll(GuiChartPoint* first, GuiChart* chart) {
    for (GuiChartPoint* p = first; p; p = p->next) chart->MapDataToPoint(p);
}

void DeleteAll(GuiChartPoint*& first) {
    while (GuiChartPoint* p = first) {
        first = p->next;
        delete p;
    }
}

void Polyline(GuiChart* chart, GuiChartPoint* first, const GuiColor& colour) {
    for (GuiChartPoint* p = first; p && p->next; p = p->next) {
        const GuiPoint a = p->pixel, b = p->next->pixel;
        GuiThing::mpScreen->Line(chart, a.x, a.y, b.x, b.y, colour, 1);
    }
}

void Redraw(GuiThing* t, const GuiRect& r) {
    if (!t->IsVisible() || !GuiThing::mpScreen) return;
    GuiThing::mpScreen->Invalidate(r);
    t->Draw();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// GuiLineChart

GuiLineChart::GuiLineChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY,
                           unsigned int xMajor, unsigned int yMajor, unsigned short chartStyle)
    : GuiChart(rect, minX, maxX, minY, maxY, xMajor, yMajor, chartStyle) {
    muThingType = GUI_TYPE_LINE_CHART;
}

GuiLineChart::~GuiLineChart() {
    ResetLine();
}

GuiChartPoint* GuiLineChart::AddPoint(long x, long y) {
    return Append(mpFirstPoint, this, x, y);
}

GuiChartPoint* GuiLineChart::InsertPoint(GuiChartPoint* after, long x, long y) {
    return InsertAfter(mpFirstPoint, this, after, x, y);
}

void GuiLineChart::RemovePoint(GuiChartPoint* point) {
    Unlink(mpFirstPoint, point);
}

void GuiLineChart::RecalcLine() {
    MapAll(mpFirstPoint, this);
}

void GuiLineChart::ResetLine() {
    DeleteAll(mpFirstPoint);
}

int GuiLineChart::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_RESIZE:
    case 5:
        RecalcLayout(1);
        return 0;
    case GM_SHOW:
    case GM_PARENT_RESIZED:
        GuiChart::Message(msg);
        return 0;
    default:
        GuiChart::Message(msg);
        return 0;
    }
}

void GuiLineChart::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    RecalcLayout(0);
    RecalcLine();
}

void GuiLineChart::RecalcSize(const GuiRect& rect, int redraw) {
    Resize(rect);
    if (redraw) Redraw(this, mRealRect);
}

void GuiLineChart::ParentShift(int dx, int dy) {
    // The points' pixels move with the data area.
    GuiChart::ParentShift(dx, dy);
    RecalcLine();
}

void GuiLineChart::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiChart::Draw();
    Polyline(this, mpFirstPoint, GuiColor{mLineColor, mLineColor, 0});
    mpScreen->EndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiChartLine

GuiChartLine::GuiChartLine(GuiChart* chart, unsigned char id, unsigned long colour)
    : mpChart(chart),
      mId(id), mLineColor{static_cast<uint32_t>(colour), 0, 0}, mFillColor{static_cast<uint32_t>(colour),
                                                                           static_cast<uint32_t>(colour),
                                                                           GUI_COLOR_FILL} {}

GuiChartLine::~GuiChartLine() {
    DeleteAll(mpFirstPoint);
}

GuiChartPoint* GuiChartLine::AddPoint(long x, long y) {
    return Append(mpFirstPoint, mpChart, x, y);
}

GuiChartPoint* GuiChartLine::InsertPoint(GuiChartPoint* after, long x, long y) {
    return InsertAfter(mpFirstPoint, mpChart, after, x, y);
}

void GuiChartLine::RemovePoint(GuiChartPoint* point) {
    Unlink(mpFirstPoint, point);
}

void GuiChartLine::RecalcLine() {
    MapAll(mpFirstPoint, mpChart);
}

void GuiChartLine::ResetLine() {
    DeleteAll(mpFirstPoint);
}

void GuiChartLine::Draw() {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s) return;
    if (mpChart->mwChartStyle & GUI_CHART_FILL) {
        const GuiPoint m = mpChart->PixelOf(mpChart->miMinX, 0);
        for (GuiChartPoint* p = mpFirstPoint; p && p->next; p = p->next) {
            // The area down (or up) to the x axis, under the segment.
            GuiPoint area[5] = {p->pixel, p->next->pixel, m, m, p->pixel};
            area[2].x = p->next->pixel.x;
            area[3].x = p->pixel.x;
            s->Polygon(mpChart, area, 5, mFillColor, 1);
        }
    }
    Polyline(mpChart, mpFirstPoint, mLineColor);
}

// ---------------------------------------------------------------------------------------------
// GuiMultiLineChart

GuiMultiLineChart::GuiMultiLineChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY,
                                     unsigned int xMajor, unsigned int yMajor, unsigned short chartStyle)
    : GuiChart(rect, minX, maxX, minY, maxY, xMajor, yMajor, chartStyle) {
    muThingType = GUI_TYPE_MULTI_LINE_CHART;
}

GuiMultiLineChart::~GuiMultiLineChart() {
    ResetAllLines(0);
    while (GuiChartLine* l = mpFirstLine) {
        mpFirstLine = l->mpNext;
        delete l;
    }
}

unsigned char GuiMultiLineChart::AddLine(unsigned long colour) {
    const unsigned char id = GuiTakeChartId(mIdMap);
    if (!id) return 0;
    GuiAppendChartLine(mpFirstLine, new GuiChartLine(this, id, colour));
    return id;
}

int GuiMultiLineChart::RemoveLine(unsigned char id) {
    return GuiRemoveChartLine(mpFirstLine, mIdMap, id);
}

GuiChartLine* GuiMultiLineChart::GetLineFromID(unsigned char id) {
    return GuiFindChartLine(mpFirstLine, id);
}

GuiChartPoint* GuiMultiLineChart::AddPoint(unsigned char id, long x, long y, int redraw) {
    GuiChartLine* l = GetLineFromID(id);
    if (!l) return nullptr;
    GuiChartPoint* p = l->AddPoint(x, y);
    if (redraw) DrawNewLineData(l, p, nullptr);
    return p;
}

GuiChartPoint* GuiMultiLineChart::InsertPoint(unsigned char id, GuiChartPoint* after, long x, long y,
                                              int redraw) {
    GuiChartLine* l = GetLineFromID(id);
    if (!l) return nullptr;
    GuiChartPoint* p = l->InsertPoint(after, x, y);
    // The point before it is looked up in the line: `after` need not be one of its points.
    if (redraw) DrawNewLineData(l, p, nullptr);
    return p;
}

void GuiMultiLineChart::DrawNewLineData(GuiChartLine* line, GuiChartPoint* point, GuiChartPoint* previous) {
    if (!line || !point || !IsVisible() || !mpScreen) return;
    GuiChartPoint* before = nullptr;
    bool found = false;
    for (GuiChartPoint* q = line->mpFirstPoint; q; q = q->next) {
        if (q == point) {
            found = true;
            break;
        }
        before = q;
    }
    if (!found) return;
    if (!previous) previous = before;
    GuiRect box = MakeGuiRect(point->pixel.x, point->pixel.y, point->pixel.x, point->pixel.y);
    for (GuiChartPoint* q : {previous, point->next}) {
        if (!q) continue;
        box |= MakeGuiRect(q->pixel.x, q->pixel.y, q->pixel.x, q->pixel.y);
    }
    mpScreen->Invalidate(box);
    Draw();
}

void GuiMultiLineChart::redrawDataArea() {
    Redraw(this, mDataArea);
}

void GuiMultiLineChart::RecalcLine(unsigned char id, int redraw) {
    GuiChartLine* l = GetLineFromID(id);
    if (!l) return;
    l->RecalcLine();
    if (redraw) redrawDataArea();
}

void GuiMultiLineChart::ResetLine(unsigned char id, int redraw) {
    GuiChartLine* l = GetLineFromID(id);
    if (!l) return;
    l->ResetLine();
    if (redraw) redrawDataArea();
}

void GuiMultiLineChart::ResetAllLines(int redraw) {
    for (GuiChartLine* l = mpFirstLine; l; l = l->mpNext) l->ResetLine();
    if (redraw) redrawDataArea();
}

void GuiMultiLineChart::recalcAll() {
    for (GuiChartLine* l = mpFirstLine; l; l = l->mpNext) l->RecalcLine();
}

int GuiMultiLineChart::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW:
    case GM_PARENT_RESIZED:
        GuiThing::Message(msg);
        if (mwChartStyle & GUI_CHART_FIT_PARENT)
            parentFit();
        else
            recalcAll();
        return 0;
    case GM_RESIZE:
    case 5:
        RecalcLayout(1);
        return 0;
    case GM_HSCROLL:
        return 0;
    default:
        GuiChart::Message(msg);
        return 0;
    }
}

void GuiMultiLineChart::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    RecalcLayout(0);
    recalcAll();
}

void GuiMultiLineChart::RecalcSize(const GuiRect& rect, int redraw) {
    Resize(rect);
    if (redraw) Redraw(this, mRealRect);
}

void GuiMultiLineChart::ParentShift(int dx, int dy) {
    GuiChart::ParentShift(dx, dy);
    recalcAll();
}

void GuiMultiLineChart::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiChart::Draw();
    for (GuiChartLine* l = mpFirstLine; l; l = l->mpNext) l->Draw();
    mpScreen->EndDraw();
}
