// Independent image readers for the tests: BMP (and any image) through Debian's python3 with PIL,
// PNG through netpbm's pngtopam. Each is found when the build is configured; a missing one gives an
// empty path, and its test skips.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

std::string pilPython();
std::string pngtopamPath();

// The image's pixels as 0x00RRGGBB words, row by row, as PIL reads them. False when it cannot.
bool pilReadRgb(const std::string& file, int* width, int* height, std::vector<uint32_t>* rgb);
// netpbm's decoding of a PNG file: 0xRRGGBBAA per pixel (alpha 0xFF without an alpha channel),
// samples scaled to 8 bits, 16-bit samples as their high byte. False when it cannot.
bool netpbmDecode(const std::string& file, int* width, int* height, std::vector<uint32_t>* rgba);

} // namespace testsupport
