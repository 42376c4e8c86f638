#!/bin/sh
# Regenerates every committed font source from DejaVu Sans (Debian package fonts-dejavu-core).
set -e
cd "$(dirname "$0")/../.."
ttf=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
build=${FONTGEN_BUILD:-/tmp/fontgen}
cmake -S tools/fontgen -B "$build" >/dev/null
cmake --build "$build" >/dev/null
gen="$build/fontgen"
"$gen" "$ttf" SysFont 16 213 modules/gui/core/guifont_sys.cpp
"$gen" "$ttf" MenuFont 13 163 modules/gui/core/guifont_menu.cpp
# The display's built-in fonts: height and bytes per strip line of each.
"$gen" "$ttf" VektaTiny 27 411 modules/display/fonts/vektafont_tiny.cpp packed
"$gen" "$ttf" VektaSmall 49 744 modules/display/fonts/vektafont_small.cpp packed
"$gen" "$ttf" VektaNormal 64 934 modules/display/fonts/vektafont_normal.cpp packed
"$gen" "$ttf" VektaLarge 86 1252 modules/display/fonts/vektafont_large.cpp packed
"$gen" "$ttf" VektaXLarge 167 2426 modules/display/fonts/vektafont_xlarge.cpp packed
"$gen" "$ttf" VektaXXLarge 200 3518 modules/display/fonts/vektafont_xxlarge.cpp packed
clang-format -i modules/gui/core/guifont_sys.cpp modules/gui/core/guifont_menu.cpp modules/display/fonts/vektafont_*.cpp
