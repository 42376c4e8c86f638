// The strip chart: the most recent samples of one or more value streams over a fixed number of
// sample positions, like a chart recorder. New samples either sweep from left to right over the
// older ones (shown in an aged colour behind a leader line) or scroll the whole trace left. Adding
// a sample redraws only the columns it changes.
#pragma once

#include <cstdint>
#include <memory>

#include "gui/widgets/chart/guichart.h"

class GuiStripChart;

class GuiStripChartLine {
public:
    GuiStripChartLine(GuiStripChart* chart, unsigned char id, unsigned long colour, unsigned long aged,
                      unsigned long fill);
    virtual ~GuiStripChartLine() = default;
    GuiStripChartLine(const GuiStripChartLine&) = delete;
    GuiStripChartLine& operator=(const GuiStripChartLine&) = delete;

    int AddData(long value);
    // The ring value at index; 0 outside the ring.
    long GetData(unsigned int index) const;
    bool Valid() const { return mpRing != nullptr; }

    uint8_t mId;
    uint32_t muHead = 0;        // newest sample
    uint32_t muTail = 1;        // behind the newest: the oldest once the ring has wrapped
    uint32_t muSampleCount = 1; // ring size
    std::unique_ptr<int32_t[]> mpRing;
    uint32_t mLineColor;
    uint32_t mAgedColor;
    uint32_t mFillColor;
    uint32_t mLeaderColor = 0; // 0: the line colour
    int32_t mbWrapped = 0;
    GuiStripChartLine* mpNext = nullptr;
    GuiStripChart* mpChart;
};

class GuiStripChart : public GuiChart {
public:
    GuiStripChart(const GuiRect& rect, unsigned int samples, long minY, long maxY, unsigned int xTicks,
                  unsigned int yTicks);
    ~GuiStripChart() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void RecalcSize(const GuiRect& rect, int redraw) override;
    virtual void DrawLine(GuiStripChartLine* line);
    virtual void DrawLineHistory(GuiStripChartLine* line);
    virtual void DrawNewLineData(GuiStripChartLine* line);
    virtual void DrawInvalidChartRegion();

    // The new line's id, 0 when all 255 are taken or its ring cannot be had.
    unsigned char AddLine(unsigned long colour, unsigned long aged, unsigned long fill);
    int RemoveLine(unsigned char id);
    int AddData(unsigned char id, long value, int redraw);
    GuiStripChartLine* GetLineByID(unsigned char id);
    unsigned long GetLineColor(unsigned char id);
    unsigned long GetLineAgedColor(unsigned char id);
    unsigned long GetLineFillColor(unsigned char id);
    unsigned long GetLineLeaderColor(unsigned char id);
    void SetLineColor(unsigned char id, unsigned long colour);
    void SetLineAgedColor(unsigned char id, unsigned long colour);
    void SetLineFillColor(unsigned char id, unsigned long colour);
    void SetLineLeaderColor(unsigned char id, unsigned long colour);
    int ValToPointY(long value);
    int IndexToPointX(unsigned int index);

    GuiStripChartLine* mpFirstLine = nullptr;
    uint32_t mIdMap[8] = {1, 0, 0, 0, 0, 0, 0, 0};

private:
    bool sweep() const { return mwChartStyle & GUI_CHART_SWEEP; }
    // One segment of a line from sample a at position pa to sample b at pa + 1, in the aged or the
    // line colour; nothing when it lies wholly left or right of the columns xl..xr.
    void segment(const GuiStripChartLine& line, int32_t a, int32_t b, int64_t pa, bool aged, int xl, int xr);
    void invalidateColumns(int64_t from, int64_t to);
};
