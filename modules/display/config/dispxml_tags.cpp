// The small tags of the display configuration: colours, channel inputs, brightness steps, tick
// lists and the decoration colour sets.
#include "display/config/dispxml_parse.h"
#include "display/config/dispxml_value.h"

#include <cstdio>

namespace {

constexpr const char* kWrongValue = "parse error: wrong value";

// Attributes of a start tag: 0 at `endType`, 1 with an attribute token in *t, -1 on a scan error,
// the end of the text or any other token (formatted with `badToken`).
int nextAttribute(xml_scan_s* scan, xml_token_s* t, int endType, const char* badToken) {
    if (XmlGetTok(scan, t) != 0) return -1;
    if (t->type == endType) return 0;
    if (t->type == XML_TOK_ATTR) return 1;
    return xmlFail(badToken, scan);
}

struct DecoColour {
    const char* tag;
    rgb_s* dst;
};

struct DecoSpec {
    const char* tag;
    const char* openMsg;
    const char* closeMsg;
    uint32_t* style;
    DecoColour colours[8];
    int count;
};

DecoSpec decoSpec(DecoKind kind, deco_ref_u deco) {
    switch (kind) {
    case DECO_ALPHANUM: {
        alphanum_deco_s* d = deco.alphanum;
        return {"AlphaNumDeco",
                "parse error: expecting AlphaNumDeco open tag",
                "parse error: expecting AlphaNumDeco close tag",
                &d->style,
                {{"BGCol", &d->bg_col},
                 {"TitleBGCol", &d->title_bg_col},
                 {"TitleFGCol", &d->title_fg_col},
                 {"BorderBGCol", &d->border_bg_col},
                 {"BorderFGCol", &d->border_fg_col},
                 {"TextBGCol", &d->text_bg_col},
                 {"TextFGCol", &d->text_fg_col}},
                7};
    }
    case DECO_BARGRAPH: {
        bargraph_deco_s* d = deco.bargraph;
        return {"BarGraphDeco",
                "parse error: expecting BarGraphDeco open tag",
                "parse error: expecting BarGraph close tag",
                &d->style,
                {{"BGCol", &d->bg_col},
                 {"TitleBGCol", &d->title_bg_col},
                 {"TitleFGCol", &d->title_fg_col},
                 {"BorderBGCol", &d->border_bg_col},
                 {"BorderFGCol", &d->border_fg_col},
                 {"BarBGCol", &d->bar_bg_col},
                 {"BarFGCol", &d->bar_fg_col},
                 {"TicksCol", &d->ticks_col}},
                8};
    }
    case DECO_PICTURE:
    default: {
        picture_deco_s* d = deco.picture;
        return {"PictureDeco",
                "parse error: expecting PitureDeco open tag",
                "parse error: expecting PictureDeco close tag",
                &d->style,
                {{"BGCol", &d->bg_col},
                 {"TitleBGCol", &d->title_bg_col},
                 {"TitleFGCol", &d->title_fg_col},
                 {"BorderBGCol", &d->border_bg_col},
                 {"BorderFGCol", &d->border_fg_col}},
                5};
    }
    }
}

// One Tab of a TickList: name (first seven characters kept) and value.
int parseTick(xml_scan_s* scan, tick_s* tick) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (!xmlIsTag(t, XML_TOK_TAG_ATTR, "Tab")) return xmlFail("parse error: expecting open tag tab", scan);
    bool haveName = false;
    bool haveValue = false;
    int r;
    while ((r = nextAttribute(scan, &t, XML_TOK_EMPTY_END, "parse error: expecting paramters of tab")) == 1) {
        if (std::strcmp(t.name, "name") == 0) {
            if (haveName) return xmlFail("parse error: name found twice", scan);
            haveName = true;
            xmlCopyText(tick->name, sizeof tick->name, t.value);
        } else if (std::strcmp(t.name, "value") == 0) {
            if (haveValue) return xmlFail("parse error: value found twice", scan);
            haveValue = true;
            if (XmlGetFloat(t.value, &tick->value) != 0) return xmlFail(kWrongValue, scan);
        }
    }
    if (r < 0) return -1;
    if (!haveName || !haveValue) return xmlFail("parse error: missing paramter", scan);
    return 0;
}

} // namespace

void XmlInitRGB(rgb_s* rgb) {
    *rgb = rgb_s{0, 0, 0};
}

void XmlInitChInput(awm_meas_in* in) {
    *in = awm_meas_in{};
    in->mask = 0xFFFFFFFFu;
}

int XmlParseRGB_Tag(xml_scan_s* scan, rgb_s* rgb) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (t.type != XML_TOK_TAG_ATTR) return xmlFail("parse error: expecting open tag for rgb type", scan);

    struct Component {
        const char* name;
        const char* twice;
        uint8_t* dst;
        bool seen;
    } parts[] = {{"red", "parse error: parameter red found twice", &rgb->red, false},
                 {"green", "parse error: parameter green found twice", &rgb->green, false},
                 {"blue", "parse error: parameter bluee found twice", &rgb->blue, false}};
    int r;
    while ((r = nextAttribute(scan, &t, XML_TOK_EMPTY_END, "parse error: expecting paramters of rgb type")) ==
           1) {
        for (Component& c : parts) {
            if (std::strcmp(t.name, c.name) != 0) continue;
            if (c.seen) return xmlFail(c.twice, scan);
            c.seen = true;
            uint32_t v = 0;
            if (XmlGetHex(t.value, &v, 0, 0xFF) != 0) return xmlFail(kWrongValue, scan);
            *c.dst = static_cast<uint8_t>(v);
        }
    }
    if (r < 0) return -1;
    for (const Component& c : parts) {
        if (!c.seen) return xmlFail("parse error: not all paramters found for rgb type", scan);
    }
    return 0;
}

int XmlParseChInput_Tag(xml_scan_s* scan, awm_meas_in* in) {
    XmlInitChInput(in);
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (t.type != XML_TOK_TAG_ATTR) return xmlFail("parse error: expecting open tag for channel input", scan);

    float* quants[] = {&in->quant_a, &in->quant_b, &in->quant_c, &in->quant_d, &in->quant_e, &in->quant_f};
    constexpr uint32_t kAdr = 1u << 0, kType = 1u << 1, kMask = 1u << 2, kQuant0 = 1u << 3;
    constexpr uint32_t kAll = (kQuant0 << 6) - 1;
    uint32_t seen = 0;
    int r;
    while ((r = nextAttribute(scan, &t, XML_TOK_EMPTY_END,
                              "parse error: expecting paramters of ChannelIn type")) == 1) {
        if (std::strcmp(t.name, "adr") == 0) {
            if (seen & kAdr) return xmlFail("parse error: parameter adr found twice", scan);
            seen |= kAdr;
            if (XmlGetHex(t.value, &in->adr, 0, 0xFFFFFFFFu) != 0) return xmlFail(kWrongValue, scan);
        } else if (std::strcmp(t.name, "type") == 0) {
            if (seen & kType) return xmlFail("parse error: parameter typ found twice", scan);
            seen |= kType;
            if (XmlStr2Type(t.value, &in->type) != 0)
                return xmlFail("parse error: wrong data type parameter", scan);
        } else if (std::strcmp(t.name, "mask") == 0) {
            if (seen & kMask) return xmlFail("parse error: mask found twice", scan);
            seen |= kMask;
            if (XmlGetHex(t.value, &in->mask, 0, 0xFFFFFFFFu) != 0) return xmlFail(kWrongValue, scan);
        } else if (std::strncmp(t.name, "quant_", 6) == 0 && t.name[6] >= 'a' && t.name[6] <= 'f' &&
                   t.name[7] == '\0') {
            const int i = t.name[6] - 'a';
            if (seen & (kQuant0 << i)) {
                char msg[48];
                std::snprintf(msg, sizeof msg, "parse error: quant. parameter %c found twice", t.name[6]);
                return xmlFail(msg, scan);
            }
            seen |= kQuant0 << i;
            if (XmlGetFloat(t.value, quants[i]) != 0) return xmlFail(kWrongValue, scan);
        }
    }
    if (r < 0) return -1;
    if (seen != kAll) return xmlFail("parse error: not all paramters found for channel input type", scan);
    return 0;
}

int XmlParseBrightness_Tag(xml_scan_s* scan, display_s* display) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1; // the caller has seen <Brightness>
    display->perc_cnt = 0;
    for (;;) {
        if (XmlGetTok(scan, &t) != 0) return -1;
        if (xmlIsTag(t, XML_TOK_END_TAG, "Brightness")) return 0;
        if (!xmlIsTag(t, XML_TOK_TAG_ATTR, "perc"))
            return xmlFail("parse error: expecting open tag perc", scan);
        if (XmlGetTok(scan, &t) != 0) return -1;
        if (!xmlIsTag(t, XML_TOK_ATTR, "value"))
            return xmlFail("parse error: expecting parameter value", scan);
        if (display->perc_cnt >= DISP_MAX_PERC) return xmlFail("parse error: too many values", scan);
        uint32_t v = 0;
        if (XmlGetUInt(t.value, &v, 0, 100) != 0) return xmlFail(kWrongValue, scan);
        display->perc[display->perc_cnt++] = static_cast<uint16_t>(v);
        if (XmlGetTok(scan, &t) != 0) return -1;
        if (t.type != XML_TOK_EMPTY_END) return xmlFail("parse error: expected direct close tag", scan);
    }
}

int XmlParseTicks(xml_scan_s* scan, bargraph_s* bargraph) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (!xmlIsTag(t, XML_TOK_TAG, "TickList"))
        return xmlFail("parse error: expecting open tag ticklist", scan);
    bargraph->tick_cnt = 0;
    for (;;) {
        xml_scan_s look = *scan;
        const int r = XmlGetTok(&look, &t);
        if (r < 0) return xmlFail("parse error: expecting paramters of ticks type", &look);
        if (r > 0) return -1;
        if (xmlIsTag(t, XML_TOK_END_TAG, "TickList")) {
            *scan = look;
            return 0;
        }
        if (xmlIsNamed(t, "Tab")) {
            if (bargraph->tick_cnt >= DISP_MAX_TICKS) return xmlFail("parse error: too many ticks", &look);
            if (parseTick(scan, &bargraph->ticks[bargraph->tick_cnt]) != 0) return -1;
            ++bargraph->tick_cnt;
        } else if (xmlIsStart(t)) {
            *scan = look;
            if (XmlIgnore_Tag(scan, &t) != 0) return -1;
        } else {
            return xmlFail("parse error: unexpected token", &look);
        }
    }
}

int XmlParseDecoTag(xml_scan_s* scan, DecoKind kind, deco_ref_u deco) {
    const DecoSpec spec = decoSpec(kind, deco);
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (!xmlIsTag(t, XML_TOK_TAG_ATTR, spec.tag)) return xmlFail(spec.openMsg, scan);

    bool haveStyle = false;
    int r;
    while ((r = nextAttribute(scan, &t, XML_TOK_TAG_END, "parse error: expecting attributes of deco type")) ==
           1) {
        if (std::strcmp(t.name, "style") != 0) continue;
        if (haveStyle) return xmlFail("parse error: parameter style found twice", scan);
        haveStyle = true;
        if (XmlStr2Style(t.value, spec.style) != 0)
            return xmlFail("parse error: wrong style parameter", scan);
    }
    if (r < 0) return -1;
    if (!haveStyle) return xmlFail("attribute style not found", scan);

    uint32_t found = 0;
    for (;;) {
        xml_scan_s look = *scan;
        if (XmlGetTok(&look, &t) != 0) return -1;
        if (t.type == XML_TOK_END_TAG) {
            if (std::strcmp(t.name, spec.tag) != 0) return xmlFail(spec.closeMsg, &look);
            *scan = look;
            break;
        }
        int colour = -1;
        for (int i = 0; i < spec.count && colour < 0; ++i) {
            if (xmlIsNamed(t, spec.colours[i].tag)) colour = i;
        }
        if (colour >= 0) {
            if (XmlParseRGB_Tag(scan, spec.colours[colour].dst) != 0) return -1;
            found |= 1u << colour;
        } else if (xmlIsStart(t)) {
            *scan = look;
            if (XmlIgnore_Tag(scan, &t) != 0) return -1;
        } else {
            return xmlFail(spec.closeMsg, &look);
        }
    }
    if (found != (1u << spec.count) - 1) return xmlFail("parse error: not all colours found", scan);
    return 0;
}

int XmlParseDecoLimit(xml_scan_s* scan, bool upper, DecoKind kind, float* limit, float* hyst,
                      deco_ref_u deco) {
    const char* tag = upper ? "DecoUpper" : "DecoLower";
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (!xmlIsTag(t, XML_TOK_TAG_ATTR, tag))
        return xmlFail(upper ? "parse error: expecting deco upper open tag"
                             : "parse error: expecting deco lower open tag",
                       scan);
    bool haveLimit = false;
    bool haveHyst = false;
    int r;
    while ((r = nextAttribute(scan, &t, XML_TOK_TAG_END, "parse error: expecting attributes of deco type")) ==
           1) {
        if (std::strcmp(t.name, "Limit") == 0) {
            if (haveLimit) return xmlFail("parse error: parameter limit found twice", scan);
            haveLimit = true;
            if (XmlGetFloat(t.value, limit) != 0) return xmlFail(kWrongValue, scan);
        } else if (std::strcmp(t.name, "hyst") == 0) {
            if (haveHyst) return xmlFail("parse error: hysteresis found twice", scan);
            haveHyst = true;
            if (XmlGetFloat(t.value, hyst) != 0) return xmlFail(kWrongValue, scan);
        }
    }
    if (r < 0) return -1;
    if (!haveLimit || !haveHyst)
        return xmlFail(kind == DECO_ALPHANUM ? "attribute missing" : "missing attribute", scan);
    if (XmlParseDecoTag(scan, kind, deco) != 0) return -1;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (!xmlIsTag(t, XML_TOK_END_TAG, tag))
        return xmlFail(upper ? "parse error: expecting deco upper close tag"
                             : "parse error: expecting deco lower close tag",
                       scan);
    return 0;
}

int XmlParseDecoMiddle(xml_scan_s* scan, DecoKind kind, deco_ref_u deco) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (xmlIsTag(t, XML_TOK_TAG_ATTR, "DecoMiddle")) {
        // Attributes are allowed here and passed over.
        int r;
        while ((r = nextAttribute(scan, &t, XML_TOK_TAG_END, "parse error: expecting attributes")) == 1) {
        }
        if (r < 0) return -1;
    } else if (!xmlIsTag(t, XML_TOK_TAG, "DecoMiddle")) {
        return xmlFail("parse error: expecting deco middle open tag", scan);
    }
    if (XmlParseDecoTag(scan, kind, deco) != 0) return -1;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (!xmlIsTag(t, XML_TOK_END_TAG, "DecoMiddle"))
        return xmlFail("parse error: expecting deco middle close tag", scan);
    return 0;
}
