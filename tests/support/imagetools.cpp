#include "imagetools.h"

#include <cstdio>
#include <string>

namespace testsupport {

namespace {

bool Run(const std::string& cmd, std::string* out) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
    return pclose(p) == 0;
}

} // namespace

std::string pilPython() {
    return MSD_PIL_PYTHON;
}

std::string pngtopamPath() {
    return MSD_PNGTOPAM;
}

bool pilReadRgb(const std::string& file, int* width, int* height, std::vector<uint32_t>* rgb) {
    if (pilPython().empty()) return false;
    const std::string cmd =
        pilPython() +
        " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]).convert('RGB'); "
        "sys.stdout.write('%d %d\\n' % im.size); sys.stdout.flush(); "
        "sys.stdout.buffer.write(im.tobytes())\" '" +
        file + "' 2>/dev/null";
    std::string out;
    if (!Run(cmd, &out)) return false;
    const size_t nl = out.find('\n');
    if (nl == std::string::npos || std::sscanf(out.c_str(), "%d %d", width, height) != 2) return false;
    const size_t n = size_t(*width) * size_t(*height);
    if (out.size() - nl - 1 != 3 * n) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(out.data() + nl + 1);
    rgb->resize(n);
    for (size_t i = 0; i < n; ++i, p += 3) (*rgb)[i] = (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    return true;
}

bool netpbmDecode(const std::string& file, int* width, int* height, std::vector<uint32_t>* rgba) {
    if (pngtopamPath().empty()) return false;
    std::string pam;
    if (!Run(pngtopamPath() + " -alphapam '" + file + "' 2>/dev/null", &pam)) return false;
    const size_t end = pam.find("ENDHDR\n");
    if (pam.compare(0, 3, "P7\n") != 0 || end == std::string::npos) return false;
    int depth = 0;
    long maxval = 0;
    auto field = [&](const char* name, const char* format, auto* v) {
        const size_t at = pam.find(name);
        return at < end && std::sscanf(pam.c_str() + at, format, v) == 1;
    };
    if (!field("WIDTH", "WIDTH %d", width) || !field("HEIGHT", "HEIGHT %d", height) ||
        !field("DEPTH", "DEPTH %d", &depth) || !field("MAXVAL", "MAXVAL %ld", &maxval) || depth < 1 ||
        depth > 4 || maxval < 1)
        return false;
    const size_t bytes = maxval > 255 ? 2 : 1;
    const size_t n = size_t(*width) * size_t(*height);
    if (pam.size() - (end + 7) < n * size_t(depth) * bytes) return false;
    const auto* s = reinterpret_cast<const uint8_t*>(pam.data() + end + 7);
    rgba->clear();
    for (size_t i = 0; i < n; ++i) {
        uint32_t v[4] = {};
        for (int k = 0; k < depth; ++k, s += bytes)
            v[k] = bytes == 2 ? s[0] : uint32_t(s[0]) * 255 / uint32_t(maxval);
        const bool colour = depth >= 3, alpha = depth == 2 || depth == 4;
        const uint32_t r = v[0], g = colour ? v[1] : v[0], b = colour ? v[2] : v[0];
        rgba->push_back((r << 24) | (g << 16) | (b << 8) | (alpha ? v[depth - 1] : 0xFF));
    }
    return true;
}

} // namespace testsupport
