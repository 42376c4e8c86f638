// The visible screen against a committed golden image: the screen is dumped as a Windows bitmap,
// read back by an independent reader (Debian's python3 with PIL), checked against the frame
// buffer's own pixels and compared with tests/gui/golden/<name> (PNG or 8-bit BMP).
// MSD_UPDATE_GOLDEN=1 rewrites the golden image instead.
#pragma once

#include <string>

namespace guitest {

// Empty when PIL is there, else the reason to skip.
std::string GoldenSkipReason();
// 0 when the dump reads back as the frame buffer and equals the golden image.
int CompareScreenWithGolden(const std::string& name);

} // namespace guitest
