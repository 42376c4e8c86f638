// Text widgets: GuiTextThing adds a text and a font to GuiThing (the base of windows, prompts and
// the text-bearing widgets), GuiPrompt is the static one-line text field, bordered, aligned left,
// right or centred, optionally at double size.
#pragma once

#include <cstdint>

#include "gui/core/guibitmap.h"
#include "gui/core/guithing.h"

// Style bits of text things and prompts.
inline constexpr uint16_t GUI_STYLE_RIGHT = 0x0020;
inline constexpr uint16_t GUI_STYLE_LEFT = 0x0040;
inline constexpr uint16_t GUI_STYLE_HIGHLIGHT = 0x1000;
inline constexpr uint16_t GUI_STYLE_COPY = 0x2000;
inline constexpr uint16_t GUI_STYLE_TRANSPARENT = 0x4000;
inline constexpr uint16_t GUI_STYLE_SELECTABLE = 0x8000;

// Font classes of the font table that the core classes use.
enum : int { GUI_FONT_CLASS_WINDOW = 0, GUI_FONT_CLASS_PROMPT = 6, GUI_FONT_TABLE_SIZE = 32 };

class GuiTextThing : public GuiThing {
public:
    GuiTextThing(const GuiRect& rect, unsigned short id, unsigned short style, const char* text,
                 int fontClass);
    GuiTextThing(unsigned short id, unsigned short style, const char* text, int fontClass);
    ~GuiTextThing() override;

    virtual void DataSet(const char* text);
    virtual void SetFont(const GuiFont* font);
    void SetCopyMode();
    const char* Text() const { return mpTextData; }
    const GuiFont* Font() const { return mpTextFont; }

    // Sets entry index (0..31) of the font table; 0 for another index. With freeOld the font that
    // the entry held is freed with its chain and arrays, but only the parts made on the heap
    // (GuiMarkHeapFont) that no other entry holds: a static font is never freed.
    static int AssignFontTablePointer(int index, const GuiFont* font, int freeOld);
    // Marks a font record made with new, whose offset table and strip were made with new[], as
    // one the font table may free.
    static void MarkHeapFont(GuiFont* font);

    static const GuiFont* mFontTable[GUI_FONT_TABLE_SIZE];

    const GuiFont* mpTextFont = nullptr;
    char* mpTextData = nullptr;
    int32_t miTextLength = 0; // length + 1, 0 without text
    int32_t miBufferSize = 0; // of the owned buffer
    int32_t mbOwnsText = 0;   // copy mode

private:
    void setText(const char* text);
};

class GuiPrompt : public GuiTextThing {
public:
    GuiPrompt(const GuiRect& rect, const char* text, unsigned short id, unsigned short style, int scale);
    GuiPrompt(int x, int y, int width, const char* text, unsigned short id, unsigned short style,
              const GuiFont* font, int scale);
    GuiPrompt(int x, int y, const char* text, unsigned short id, unsigned short style, const GuiFont* font,
              int scale);
    ~GuiPrompt() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    int32_t miTextScale = 0;

private:
    void init(int scale);
};

// Height of a font chain (its tallest record), and the width of a text in it.
int GuiFontHeight(const GuiFont* font);
int GuiFontTextWidth(const char* text, const GuiFont* font);
