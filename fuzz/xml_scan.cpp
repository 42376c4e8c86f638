// Arbitrary text through the scanner, the attribute parser and the content walk, the way the
// configuration loaders drive them. Every fault must come out as a raised text; nothing may hang.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xml/xmlerror.h"
#include "xml/xmlhelper.h"
#include "xml/xmltagparser.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void checkText(const char* text) {
    check(text != nullptr);
    check(std::strlen(text) < 254);
}

struct Slots {
    char name[21];
    char text[61];
    int16_t idx;
    uint32_t adr;
    uint64_t mask;
    uint8_t num;
    int64_t wide;
    float a;
    double b;
    uint8_t raster;
    uint16_t mode;
};

class Reader {
public:
    Reader() : rasters_(3), modes_(3), all_(11), few_(2) {
        rasters_.addPair("R10ms", 3);
        rasters_.addPair("R10us", 15);
        rasters_.addPair("RNone", 19);
        modes_.addPair("VX40", 0);
        modes_.addPair("GSM", 1);
        modes_.addPair("ETHERNET", 2);
        all_.addAttribute("name", s_.name, sizeof s_.name, XMLTYPE_TEXT, true);
        all_.addAttribute("text", s_.text, sizeof s_.text, XMLTYPE_TEXT, true);
        all_.addAttribute("idx", &s_.idx, sizeof s_.idx, XMLTYPE_SIGNED, true);
        all_.addAttribute("adr", &s_.adr, sizeof s_.adr, XMLTYPE_HEX, true);
        all_.addAttribute("mask", &s_.mask, sizeof s_.mask, XMLTYPE_HEX64, true);
        all_.addAttribute("num", &s_.num, sizeof s_.num, XMLTYPE_UNSIGNED, true);
        all_.addAttribute("pid", &s_.wide, sizeof s_.wide, XMLTYPE_SIGNED, true);
        all_.addAttribute("a", &s_.a, sizeof s_.a, XMLTYPE_FLOAT, true);
        all_.addAttribute("b", &s_.b, sizeof s_.b, XMLTYPE_FLOAT, true);
        all_.addAttributeVTab("Raster", &rasters_, &s_.raster, sizeof s_.raster, true);
        all_.addAttributeVTab("TelemetrieMode", &modes_, &s_.mode, sizeof s_.mode, true);
        few_.addAttribute("name", s_.name, sizeof s_.name, XMLTYPE_TEXT);
        few_.addAttribute("idx", &s_.idx, sizeof s_.idx, XMLTYPE_SIGNED);
    }

    // One element: parse it one way or another, and walk its content when it has one.
    void element(XmlScan& scan, XmlTok_t& tok, int level) {
        const size_t choice = tok.name.size() % 4;
        if (choice == 3 || level > 64) {
            scan.scanOverTag(tok);
            return;
        }
        int result = XMLTOK_TAG_END;
        if (choice == 0) result = all_.parse(&scan);
        if (choice == 1) result = few_.parse(&scan);
        check(result == XMLTOK_TAG_END || result == XMLTOK_EMPTY_END);
        if (result == XMLTOK_EMPTY_END) return;
        content(scan, tok, level + 1);
    }

    void content(XmlScan& scan, XmlTok_t& tok, int level) {
        XmlHelper walk(&scan);
        const int depth = scan.getDepth();
        while (walk.next(tok)) {
            check(scan.getDepth() >= depth);
            if (tok.type == XMLTOK_START || tok.type == XMLTOK_START_ATTR) element(scan, tok, level);
        }
    }

private:
    Slots s_{};
    XmlVTabParser rasters_;
    XmlVTabParser modes_;
    XmlTagParser all_;
    XmlTagParser few_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The token stream alone.
    {
        XmlScan scan(text.c_str());
        XmlTok_t tok;
        try {
            while (scan.getTok(tok) != XMLTOK_EOF) check(scan.getDepth() >= 0 && scan.getLine() >= 1);
            check(scan.isEof() && scan.getDepth() == 0);
        } catch (const char* e) {
            checkText(e);
            check(tok.type == XMLTOK_ERROR && scan.isEof());
        }
    }
    // A loader over the same text.
    {
        XmlScan scan(text.c_str());
        XmlTok_t tok;
        Reader reader;
        try {
            reader.content(scan, tok, 0);
            check(scan.isEof());
        } catch (const char* e) {
            checkText(e);
            checkText(XmlError(e, &scan));
        }
    }
    return 0;
}
