#include "goldenimage.h"

#include <cstdlib>

#include "guiharness.h"
#include "testsupport.h"

namespace guitest {

std::string GoldenSkipReason() {
    return std::string(MSD_PIL_PYTHON).empty() ? "python3-pil is not installed" : "";
}

int CompareScreenWithGolden(const std::string& name) {
    unsigned long size = 0;
    GuiRect area = MakeGuiRect(0, 0, 639, 479);
    unsigned char* img = GuiThing::mpScreen->DumpWindowsBitmap(&size, area);
    if (!img) return -1;
    testsupport::TempDir dir;
    const std::string bmp = dir.file("screen.bmp"), raw = dir.file("screen.rgb");
    testsupport::writeFile(bmp, std::string(reinterpret_cast<char*>(img), size));
    delete[] img;
    std::string rgb;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            const uint32_t c = Harness::px(x, y);
            rgb += {static_cast<char>(c >> 16), static_cast<char>(c >> 8), static_cast<char>(c)};
        }
    testsupport::writeFile(raw, rgb);
    const std::string golden = std::string(MSD_GUI_GOLDEN_DIR) + "/" + name;
    const bool update = std::getenv("MSD_UPDATE_GOLDEN") != nullptr;
    // A BMP golden image is written with a palette of the screen's own colours (at most 256).
    const std::string script = "import sys\n"
                               "from PIL import Image\n"
                               "im = Image.open(sys.argv[1])\n"
                               "assert im.format == 'BMP' and im.size == (640, 480), (im.format, im.size)\n"
                               "got = im.convert('RGB')\n"
                               "if got.tobytes() != open(sys.argv[2], 'rb').read(): sys.exit(3)\n"
                               "if sys.argv[4] == '1':\n"
                               "    if sys.argv[3].endswith('.bmp'):\n"
                               "        colours = got.getcolors(256)\n"
                               "        if colours is None: sys.exit(6)\n"
                               "        index = {c: i for i, (_, c) in enumerate(colours)}\n"
                               "        out = Image.new('P', got.size)\n"
                               "        out.putpalette([v for _, c in colours for v in c])\n"
                               "        out.putdata([index[c] for c in got.getdata()])\n"
                               "        out.save(sys.argv[3])\n"
                               "    else:\n"
                               "        got.save(sys.argv[3], optimize=True)\n"
                               "    sys.exit(0)\n"
                               "want = Image.open(sys.argv[3]).convert('RGB')\n"
                               "if want.size != got.size: sys.exit(4)\n"
                               "bad = sum(1 for a, b in zip(want.getdata(), got.getdata()) if a != b)\n"
                               "print('pixels differing from the golden image:', bad)\n"
                               "sys.exit(5 if bad else 0)\n";
    testsupport::writeFile(dir.file("check.py"), script);
    const std::string cmd = std::string(MSD_PIL_PYTHON) + " " + dir.file("check.py") + " " + bmp + " " + raw +
                            " " + golden + " " + (update ? "1" : "0");
    return std::system(cmd.c_str());
}

} // namespace guitest
