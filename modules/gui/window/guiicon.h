// The icon that stands for a minimised window (its proxy) and restores it when clicked.
#pragma once

#include "gui/core/guibitmap.h"
#include "gui/core/guithing.h"

enum : uint8_t { GUI_TYPE_ICON = 8 };

// The window icon used when a window has none: 16 x 16, 8 bits, palette index 255 transparent.
extern GuiBitmap gbWindowIconBitmap;

class GuiIcon : public GuiThing {
public:
    GuiIcon(GuiThing* proxy, GuiBitmap* bitmap, unsigned short id, unsigned short style);
    GuiIcon(const GuiRect& rect, GuiBitmap* bitmap, unsigned short id, unsigned short style);
    GuiIcon(GuiBitmap* bitmap, unsigned short id, unsigned short style);
    ~GuiIcon() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    virtual void SetIcon(GuiBitmap* bitmap) { mpIconBitmap = bitmap; }
    virtual GuiBitmap* GetIcon() { return mpIconBitmap; }
    virtual GuiThing* GetProxy() { return mpProxy; }
    virtual void SetProxy(GuiThing* proxy) { mpProxy = proxy; }

    GuiBitmap* mpIconBitmap;
    GuiThing* mpProxy = nullptr;
};
