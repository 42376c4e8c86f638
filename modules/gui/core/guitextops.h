// Measuring and splicing texts for the editing widgets: widths of characters and runs in a font
// (no screen needed), and a new text made of a head, an insertion and a tail.
#pragma once

#include <string>

#include "gui/core/guibitmap.h"

// Width of one character; 0 when the font has no glyph for it.
inline int GuiCharW(const GuiFont* font, int ch) {
    GuiGlyph g;
    return font && GuiFindGlyph(font, static_cast<unsigned char>(ch), &g) ? g.width : 0;
}

// Width of the first n characters (fewer at the terminating zero); 0 for n <= 0.
inline int GuiSpanW(const GuiFont* font, const char* text, int n) {
    int w = 0;
    for (int i = 0; text && i < n && text[i]; ++i) w += GuiCharW(font, text[i]);
    return w;
}

// text[0, at) + insert + text[from, length): the text with [at, from) replaced.
inline std::string GuiSplice(const char* text, int length, int at, const std::string& insert, int from) {
    std::string s;
    if (text) s.assign(text, static_cast<size_t>(at));
    s += insert;
    if (text && from < length) s.append(text + from, static_cast<size_t>(length - from));
    return s;
}
