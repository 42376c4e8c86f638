// Drawing pieces shared by the value box, the bar graph and the picture: texts rendered into
// bitmaps, the decoration frames, and the red cross of an element without a value.
#pragma once

#include <cstdint>

#include "gui/core/guibitmap.h"
#include "gui/core/guithing.h"

// The text drawn at (0, 0) into a new bitmap of its size in `font`, in fg filled with bg; with
// transparent the bitmap starts transparent (a bg of 1 then leaves the background transparent).
// Null when the text has no size or the bitmap cannot be made. Width and height through the
// pointers when given.
GuiBitmap* DispRenderText(GuiThing* owner, const char* text, const GuiFont* font, uint32_t fg, uint32_t bg,
                          int transparent = 0, int* width = nullptr, int* height = nullptr);
// The same into a bitmap of the given size (at least 1 x 1).
GuiBitmap* DispRenderTextSized(GuiThing* owner, const char* text, const GuiFont* font, uint32_t fg,
                               uint32_t bg, int width, int height);
void DispFreeBitmap(GuiBitmap*& bitmap);

// The decoration frame of a style (0 none, 1 single line, 2 double line, 3 single top, 4 single
// side) inside the rectangle (left, top, right, bottom): lines of width 2, unfilled.
void DispDrawFrame(GuiThing* owner, int left, int top, int right, int bottom, uint32_t style, uint32_t fg,
                   uint32_t bg);
// The red cross of an element without a value, from (left, top + 1) to (right, bottom - 1) and
// from (left, bottom - 1) to (right, top + 1).
void DispDrawCross(GuiThing* owner, int left, int top, int right, int bottom);
