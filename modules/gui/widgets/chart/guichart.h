// Charts: integer data plotted against integer axes. GuiChart holds the value ranges, lays out the
// data area inside the widget, draws axes with major and minor ticks, grid lines and numeric labels
// and maps between data values and pixels; GuiLineChart draws one polyline, GuiMultiLineChart any
// number of lines known by small ids.
#pragma once

#include <cstdint>

#include "gui/core/guibitmap.h"
#include "gui/core/guithing.h"

enum : uint8_t { GUI_TYPE_LINE_CHART = 40, GUI_TYPE_STRIP_CHART = 41, GUI_TYPE_MULTI_LINE_CHART = 42 };

// Chart style bits.
enum : uint16_t {
    GUI_CHART_X_GRID = 0x0001,
    GUI_CHART_Y_GRID = 0x0002,
    GUI_CHART_X_TICKS = 0x0004,
    GUI_CHART_Y_TICKS = 0x0008,
    GUI_CHART_FIT_PARENT = 0x0010,
    GUI_CHART_SCROLL = 0x0020, // strip charts
    GUI_CHART_SWEEP = 0x0040,
    GUI_CHART_HISTORY = 0x0100,
    GUI_CHART_LEADER = 0x0200,
    GUI_CHART_RIGHT_TICKS = 0x0400,
    GUI_CHART_RIGHT_LABELS = 0x0800,
    GUI_CHART_X_AXIS_AT_ZERO = 0x1000,
    GUI_CHART_FILL = 0x2000,
    GUI_CHART_X_LABELS = 0x4000,
    GUI_CHART_Y_LABELS = 0x8000,
};

class GuiChart;

struct GuiChartPoint {
    GuiPoint pixel{}; // where the value lies on the screen; valid once mapped
    int32_t x = 0;    // data
    int32_t y = 0;
    GuiChartPoint* next = nullptr;
};

class GuiChart : public GuiThing {
public:
    GuiChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY, unsigned int xMajor,
             unsigned int yMajor, unsigned short chartStyle = 0);
    ~GuiChart() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void ParentShift(int dx, int dy) override;

    virtual void RecalcLayout(int redraw);
    virtual void RecalcSize(const GuiRect& rect, int redraw);
    virtual void MapDataToPoint(GuiChartPoint* point);
    virtual void MapPointToData(GuiChartPoint* point);
    virtual void DrawXTics();
    virtual void DrawYTics();
    virtual void DrawXGrid();
    virtual void DrawYGrid();
    virtual void DrawXLabels();
    virtual void DrawYLabels();

    // The pixel of a data value (x, y).
    GuiPoint PixelOf(int64_t x, int64_t y);

    int32_t miMinX, miMaxX, miMinY, miMaxY;
    uint32_t muXMajor, muXMinor = 0, muYMajor, muYMinor = 0;
    int32_t miMajorTickLength = 12;
    int32_t miMinorTickLength = 8;
    uint32_t muXLabelInterval, muYLabelInterval;
    int32_t miXLabelHeight = 0; // 0: the font height
    int32_t miYLabelWidth = 0;  // 0: measured from the texts of the y range
    uint16_t mwChartStyle;
    const GuiFont* mpLabelFont;
    GuiRect mDataArea;

protected:
    // The row of the x axis: the data bottom, or the row of y = 0.
    int axisRow();
    void parentFit(); // resize to the parent's client area
    int fontHeight() const;
    int textWidth(const char* text) const;
};

class GuiLineChart : public GuiChart {
public:
    GuiLineChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY, unsigned int xMajor,
                 unsigned int yMajor, unsigned short chartStyle = 0);
    ~GuiLineChart() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void RecalcSize(const GuiRect& rect, int redraw) override;
    void ParentShift(int dx, int dy) override;

    GuiChartPoint* AddPoint(long x, long y);
    GuiChartPoint* InsertPoint(GuiChartPoint* after, long x, long y);
    void RemovePoint(GuiChartPoint* point);
    void RecalcLine();
    void ResetLine();

    GuiChartPoint* mpFirstPoint = nullptr;
    uint32_t mLineColor = 0x00FF00;
};

// One line of a multi-line chart; owns its points.
class GuiChartLine {
public:
    GuiChartLine(GuiChart* chart, unsigned char id, unsigned long colour);
    virtual ~GuiChartLine();
    GuiChartLine(const GuiChartLine&) = delete;
    GuiChartLine& operator=(const GuiChartLine&) = delete;

    GuiChartPoint* AddPoint(long x, long y);
    GuiChartPoint* InsertPoint(GuiChartPoint* after, long x, long y);
    void RemovePoint(GuiChartPoint* point);
    void RecalcLine();
    void ResetLine();
    virtual void Draw();

    GuiChartPoint* mpFirstPoint = nullptr;
    GuiChart* mpChart;
    uint8_t mId;
    GuiColor mLineColor;
    GuiColor mFillColor;
    GuiChartLine* mpNext = nullptr;
};

class GuiMultiLineChart : public GuiChart {
public:
    GuiMultiLineChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY, unsigned int xMajor,
                      unsigned int yMajor, unsigned short chartStyle = 0);
    ~GuiMultiLineChart() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void RecalcSize(const GuiRect& rect, int redraw) override;
    void ParentShift(int dx, int dy) override;
    // The new line's id, 0 when all 255 are taken.
    virtual unsigned char AddLine(unsigned long colour);

    int RemoveLine(unsigned char id);
    GuiChartPoint* AddPoint(unsigned char id, long x, long y, int redraw);
    GuiChartPoint* InsertPoint(unsigned char id, GuiChartPoint* after, long x, long y, int redraw);
    void RecalcLine(unsigned char id, int redraw);
    void ResetLine(unsigned char id, int redraw);
    void ResetAllLines(int redraw);
    GuiChartLine* GetLineFromID(unsigned char id);
    void DrawNewLineData(GuiChartLine* line, GuiChartPoint* point, GuiChartPoint* previous);

    GuiChartLine* mpFirstLine = nullptr;
    uint32_t mIdMap[8] = {1, 0, 0, 0, 0, 0, 0, 0}; // id 0 is never handed out

private:
    void recalcAll();
    void redrawDataArea();
};

// The lowest clear bit of a 256-bit id map, set; 0 when every id is taken.
unsigned char GuiTakeChartId(uint32_t (&map)[8]);
void GuiFreeChartId(uint32_t (&map)[8], unsigned char id);

// The lines of a chart: a list linked by mpNext, each known by its id from the chart's id map.
template <class Line> Line* GuiFindChartLine(Line* first, unsigned char id) {
    for (Line* l = first; l; l = l->mpNext)
        if (l->mId == id) return l;
    return nullptr;
}

template <class Line> void GuiAppendChartLine(Line*& first, Line* line) {
    Line** link = &first;
    while (*link) link = &(*link)->mpNext;
    *link = line;
}

// 1 when a line had the id: it is unlinked, deleted and its id freed; 0 otherwise.
template <class Line> int GuiRemoveChartLine(Line*& first, uint32_t (&map)[8], unsigned char id) {
    if (!id) return 0;
    for (Line** link = &first; *link; link = &(*link)->mpNext) {
        Line* l = *link;
        if (l->mId != id) continue;
        *link = l->mpNext;
        delete l;
        GuiFreeChartId(map, id);
        return 1;
    }
    return 0;
}
