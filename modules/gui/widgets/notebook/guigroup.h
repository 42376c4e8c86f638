// The group: a titled, etched frame around a set of controls that are enabled and disabled
// together.
#pragma once

#include <cstdint>

#include "gui/core/guitextthing.h"

enum : uint8_t { GUI_TYPE_GROUP = 25 };

class GuiGroup : public GuiTextThing {
public:
    GuiGroup(const GuiRect& rect, const char* title, unsigned short style);
    ~GuiGroup() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Add(GuiThing* thing, int show) override;
    GuiThing* Remove(GuiThing* thing, int redraw) override;
    void Enable(int on);

    bool Enabled() const { return mwStyleFlags & GUI_STYLE_SELECTABLE; }
};
