// The picture element: a PNG image, optionally framed and titled, shown always or as an alarm
// with its visibility channel. Frame, image and title are composed into one off-screen bitmap
// when the view is made and blitted when it is drawn; an image with alpha is drawn over what lies
// beneath it. Without its image the picture shows a dimmed frame and a red cross.
#pragma once

#include <cstdint>

#include "display/pages/cdataview.h"

class CPicture : public CDataView {
public:
    CPicture(const GuiRect& page, display_elem_s* element, GuiBitmap* image, GuiWindow* parent,
             unsigned int flags);
    ~CPicture() override;

    void Draw() override;
    int updateDisp(int) override;
    int forceUpdate() override;

    const GuiBitmap* composed() const { return mpPicBitmap; }

private:
    GuiWindow* mpParentWin;
    GuiBitmap* mpPicBitmap = nullptr;
    GuiBitmap* mpTitleBitmap = nullptr;
    const char* mpTitle = nullptr;
    GuiBitmap* mpResetMarker = nullptr;
    const GuiFont* mpFont;
    uint32_t mBorderFg = 0, mBorderBg = 0, mTitleFg = 0, mTitleBg = 0;
    int32_t mTitleWidth = 0;
    int32_t mTitleHeight = 0;
    int32_t mInsetX = 0;
    int32_t mInsetY = 0;
    uint32_t mAlpha = 0;
    uint32_t mStyle = 0;
};
