// The boot logo wallpaper of the main container: 640 x 480 pixels, 8-bit indices into the device
// palette, run-length coded.
#pragma once

#include "gui/core/guibitmap.h"

extern GuiBitmap gbBootLogoBitmap;
