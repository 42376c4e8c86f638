// The three display elements: AlphaNumeric (value box), BarGraph and Picture. They share most of
// their attributes and children; one table says which ones a kind has and which it requires.
#include "display/config/dispxml_parse.h"
#include "display/config/dispxml_value.h"
#include "display/config/dispxml_vtab.h"

#include <cstdio>

namespace {

constexpr const char* kWrongValue = "parse error: wrong value";

enum Attr : uint32_t {
    A_VERSION = 1u << 0,
    A_TITLE = 1u << 1,
    A_VIS_MODE = 1u << 2,
    A_ALWAYS_ON_TOP = 1u << 3,
    A_PRIO = 1u << 4,
    A_POS_X = 1u << 5,
    A_POS_Y = 1u << 6,
    A_SIZE_X = 1u << 7,
    A_SIZE_Y = 1u << 8,
    A_FONT_SIZE = 1u << 9,
    A_ALIGN = 1u << 10,
    A_DISPMODE = 1u << 11,
    A_VTAB = 1u << 12,
    A_FORMAT_STR = 1u << 13,
    A_STYLE = 1u << 14,
    A_ORIENTATION = 1u << 15,
    A_TICKS = 1u << 16,
    A_MIN = 1u << 17,
    A_MAX = 1u << 18,
    A_FILENAME = 1u << 19,
    A_OFS = 1u << 20,
    A_LEN = 1u << 21,
    A_BLINK = 1u << 22,
    A_MIN_DISP_TIME = 1u << 23,
    A_AUTO_RESET_TIME = 1u << 24,
    A_RETRIGGER_TIME = 1u << 25,
};

struct AttrDef {
    const char* name;
    Attr bit;
    const char* label; // for "parse error: <label> found twice"
};

constexpr AttrDef kAttrs[] = {
    {"version", A_VERSION, "parameter version"},
    {"title", A_TITLE, "title"},
    {"vis_mode", A_VIS_MODE, "parameter visual mode"},
    {"always_on_top", A_ALWAYS_ON_TOP, "always on top"},
    {"prio", A_PRIO, "prio"},
    {"pos_x", A_POS_X, "pos_x"},
    {"pos_y", A_POS_Y, "pos_y"},
    {"size_x", A_SIZE_X, "size_x"},
    {"size_y", A_SIZE_Y, "size_y"},
    {"font_size", A_FONT_SIZE, "parameter font size"},
    {"align", A_ALIGN, "parameter alignment"},
    {"dispmode", A_DISPMODE, "parameter display mode"},
    {"vtab", A_VTAB, "vtab"},
    {"format_str", A_FORMAT_STR, "format_str"},
    {"style", A_STYLE, "parameter bar graph style"},
    {"orientation", A_ORIENTATION, "parameter bar graph orientation"},
    {"ticks", A_TICKS, "ticks"},
    {"min", A_MIN, "min"},
    {"max", A_MAX, "max"},
    {"filename", A_FILENAME, "filename"},
    {"ofs", A_OFS, "offset"},
    {"len", A_LEN, "length"},
    {"blink", A_BLINK, "blink"},
    {"min_disp_time", A_MIN_DISP_TIME, "min_disp_time"},
    {"auto_reset_time", A_AUTO_RESET_TIME, "auto_reset_time"},
    {"retrigger_time", A_RETRIGGER_TIME, "retrigger_time"},
};

constexpr uint32_t kCommon =
    A_VERSION | A_TITLE | A_VIS_MODE | A_ALWAYS_ON_TOP | A_PRIO | A_POS_X | A_POS_Y | A_SIZE_X | A_SIZE_Y;
constexpr uint32_t kAlarmTimes = A_BLINK | A_MIN_DISP_TIME | A_AUTO_RESET_TIME | A_RETRIGGER_TIME;

enum Child : uint32_t {
    C_CH_INPUT = 1u << 0,
    C_VIS_INPUT = 1u << 1,
    C_DECO_LOWER = 1u << 2,
    C_DECO_MIDDLE = 1u << 3,
    C_DECO_UPPER = 1u << 4,
    C_TICK_LIST = 1u << 5,
    C_TRANSPARENT_COL = 1u << 6,
};

struct ChildDef {
    const char* name;
    Child bit;
};
constexpr ChildDef kChildren[] = {{"ChInput", C_CH_INPUT},
                                  {"VisInput", C_VIS_INPUT},
                                  {"DecoLower", C_DECO_LOWER},
                                  {"DecoMiddle", C_DECO_MIDDLE},
                                  {"DecoUpper", C_DECO_UPPER},
                                  {"TickList", C_TICK_LIST},
                                  {"TransparentCol", C_TRANSPARENT_COL}};

struct KindDef {
    const char* tag;
    DecoKind deco;
    uint32_t attrs;    // attributes the kind has (others are ignored)
    uint32_t required; // of those, the required ones
    uint32_t children;
    uint32_t requiredChildren; // VisInput comes on top unless vis_mode is "always"
    const char* missingMsg;
    const char* badTokenMsg;
    const char* scanErrorMsg; // null: the scanner's own text stands
    void (*init)(display_elem_s*);
};

constexpr uint32_t kAlphaNumOwn = A_FONT_SIZE | A_ALIGN | A_DISPMODE | A_VTAB | A_FORMAT_STR;
constexpr uint32_t kBarGraphOwn = A_STYLE | A_ORIENTATION | A_TICKS | A_MIN | A_MAX;
constexpr uint32_t kPictureOwn = A_FILENAME | A_OFS | A_LEN;

const KindDef kAlphaNum = {"AlphaNumeric",
                           DECO_ALPHANUM,
                           kCommon | kAlphaNumOwn | kAlarmTimes,
                           kCommon | kAlphaNumOwn,
                           C_CH_INPUT | C_VIS_INPUT | C_DECO_LOWER | C_DECO_MIDDLE | C_DECO_UPPER,
                           C_DECO_MIDDLE,
                           "parse error: missing attribute",
                           "parse error: expecting paramters of alphanum type",
                           nullptr,
                           XmlInitAlphaNumeric};
const KindDef kBarGraph = {"BarGraph",
                           DECO_BARGRAPH,
                           kCommon | kBarGraphOwn,
                           kCommon | kBarGraphOwn,
                           C_CH_INPUT | C_VIS_INPUT | C_DECO_LOWER | C_DECO_MIDDLE | C_DECO_UPPER |
                               C_TICK_LIST,
                           C_CH_INPUT | C_DECO_MIDDLE,
                           "parse error: missing paramter",
                           "parse error: expecting paramters of bargraph type",
                           "parse error: expecting paramters of barpraph type",
                           XmlInitBarGraph};
const KindDef kPicture = {"Picture",
                          DECO_PICTURE,
                          kCommon | kPictureOwn | kAlarmTimes,
                          kCommon | kPictureOwn,
                          C_VIS_INPUT | C_DECO_MIDDLE | C_TRANSPARENT_COL,
                          C_DECO_MIDDLE | C_TRANSPARENT_COL,
                          "parse error: missing parameter",
                          "parse error: expecting paramters of picture type",
                          nullptr,
                          XmlInitPictureElement};

// The fields that the kinds share, wherever each kind keeps them.
struct ElemFields {
    char* title;
    uint32_t* vis_mode;
    uint8_t* always_on_top;
    awm_meas_in* vis_input;
    awm_meas_in* ch_input; // null for a picture
    uint32_t* blink;       // null for a bar graph, as are the three times
    uint32_t* min_disp_time;
    uint32_t* auto_reset_time;
    uint32_t* retrigger_time;
    float* lower_limit;
    float* lower_hyst;
    uint8_t* has_lower;
    float* upper_limit;
    float* upper_hyst;
    uint8_t* has_upper;
    deco_ref_u deco_lower;
    deco_ref_u deco_middle;
    deco_ref_u deco_upper;
};

// The kinds use the same field names, so templates bind them.
template <typename T> void bindCommon(T& x, ElemFields* f) {
    f->title = x.title;
    f->vis_mode = &x.vis_mode;
    f->always_on_top = &x.always_on_top;
    f->vis_input = &x.vis_input;
}

template <typename T> void bindAlarmTimes(T& x, ElemFields* f) {
    f->blink = &x.blink;
    f->min_disp_time = &x.min_disp_time;
    f->auto_reset_time = &x.auto_reset_time;
    f->retrigger_time = &x.retrigger_time;
}

template <typename T> void bindLimits(T& x, ElemFields* f) {
    f->ch_input = &x.ch_input;
    f->lower_limit = &x.lower_limit;
    f->lower_hyst = &x.lower_hyst;
    f->has_lower = &x.has_lower;
    f->upper_limit = &x.upper_limit;
    f->upper_hyst = &x.upper_hyst;
    f->has_upper = &x.has_upper;
}

ElemFields fieldsOf(display_elem_s* e) {
    ElemFields f{};
    switch (e->kind) {
    case ELEM_ALPHANUM:
        bindCommon(e->alphanum, &f);
        bindAlarmTimes(e->alphanum, &f);
        bindLimits(e->alphanum, &f);
        f.deco_lower.alphanum = &e->alphanum.deco_lower;
        f.deco_middle.alphanum = &e->alphanum.deco_middle;
        f.deco_upper.alphanum = &e->alphanum.deco_upper;
        break;
    case ELEM_BARGRAPH:
        bindCommon(e->bargraph, &f);
        bindLimits(e->bargraph, &f);
        f.deco_lower.bargraph = &e->bargraph.deco_lower;
        f.deco_middle.bargraph = &e->bargraph.deco_middle;
        f.deco_upper.bargraph = &e->bargraph.deco_upper;
        break;
    default:
        bindCommon(e->picture, &f);
        bindAlarmTimes(e->picture, &f);
        f.deco_middle.picture = &e->picture.deco;
        break;
    }
    return f;
}

int getUInt16(const char* text, uint32_t* out) {
    return XmlGetUInt(text, out, 0, 0xFFFF);
}

// Stores one attribute value; -1 with the error text formatted.
int storeAttribute(Attr bit, const char* v, display_elem_s* e, const ElemFields& f, display_s* display,
                   const xml_scan_s* scan) {
    const char* keywordMsg = nullptr;
    int r = 0;
    switch (bit) {
    case A_VERSION:
        r = XmlGetFloat(v, &e->version);
        break;
    case A_TITLE:
        xmlCopyText(f.title, DISP_TEXT_LEN, v);
        break;
    case A_VIS_MODE:
        r = XmlStr2VisMode(v, f.vis_mode);
        keywordMsg = "parse error: wrong visual mode parameter";
        break;
    case A_ALWAYS_ON_TOP:
        r = XmlGetBool(v, f.always_on_top);
        break;
    case A_PRIO:
        r = getUInt16(v, &e->prio);
        break;
    case A_POS_X:
        r = getUInt16(v, &e->pos_x);
        break;
    case A_POS_Y:
        r = getUInt16(v, &e->pos_y);
        break;
    case A_SIZE_X:
        r = getUInt16(v, &e->size_x);
        break;
    case A_SIZE_Y:
        r = getUInt16(v, &e->size_y);
        break;
    case A_FONT_SIZE:
        r = XmlStr2FontSize(v, &e->alphanum.font_size);
        keywordMsg = "parse error: wrong font size parameter";
        break;
    case A_ALIGN:
        r = XmlStr2Align(v, &e->alphanum.align);
        keywordMsg = "parse error: wrong align parameter";
        break;
    case A_DISPMODE:
        r = XmlStr2DispOpt(v, &e->alphanum.dispmode);
        keywordMsg = "parse error: wrong display mode parameter";
        break;
    case A_VTAB:
        e->alphanum.vtab = nullptr;
        if (*v != '\0') {
            e->alphanum.vtab = XmlSearchVTab(display->vtabs, v);
            if (e->alphanum.vtab == nullptr) r = -1;
        }
        keywordMsg = "parse error: vtab reference not found";
        break;
    case A_FORMAT_STR:
        xmlCopyText(e->alphanum.format_str, sizeof e->alphanum.format_str, v);
        break;
    case A_STYLE:
        r = XmlStr2BargrStyle(v, &e->bargraph.style);
        keywordMsg = "parse error: wrong bar graph style parameter";
        break;
    case A_ORIENTATION:
        r = XmlStr2BargrBargrOrient(v, &e->bargraph.orientation);
        keywordMsg = "parse error: wrong bar graph orientation parameter";
        break;
    case A_TICKS:
        r = XmlGetBool(v, &e->bargraph.show_ticks);
        break;
    case A_MIN:
        r = XmlGetFloat(v, &e->bargraph.min);
        break;
    case A_MAX:
        r = XmlGetFloat(v, &e->bargraph.max);
        break;
    case A_FILENAME:
        xmlCopyText(e->picture.filename, sizeof e->picture.filename, v);
        break;
    case A_OFS:
        r = XmlGetHex(v, &e->picture.ofs, 0, 0xFFFFFFFFu);
        break;
    case A_LEN:
        r = XmlGetHex(v, &e->picture.len, 0, 0xFFFFFFFFu);
        break;
    case A_BLINK:
        r = XmlStr2BlinkType(v, f.blink);
        keywordMsg = "parse error: wrong blink type";
        break;
    case A_MIN_DISP_TIME:
        r = XmlGetUInt(v, f.min_disp_time, 0, 0xFFFFFFFFu);
        break;
    case A_AUTO_RESET_TIME:
        r = XmlGetUInt(v, f.auto_reset_time, 0, 0xFFFFFFFFu);
        break;
    case A_RETRIGGER_TIME:
        r = XmlGetUInt(v, f.retrigger_time, 0, 0xFFFFFFFFu);
        break;
    }
    if (r == 0) return 0;
    return xmlFail(keywordMsg != nullptr ? keywordMsg : kWrongValue, scan);
}

// Attributes of the start tag up to ">"; `seen` receives the attributes found.
int parseAttributes(xml_scan_s* scan, const KindDef& k, display_elem_s* e, display_s* display,
                    uint32_t* seen) {
    const ElemFields f = fieldsOf(e);
    xml_token_s t;
    for (;;) {
        const int r = XmlGetTok(scan, &t);
        if (r < 0) return k.scanErrorMsg != nullptr ? xmlFail(k.scanErrorMsg, scan) : -1;
        if (r > 0) return -1;
        if (t.type == XML_TOK_TAG_END) return 0;
        if (t.type != XML_TOK_ATTR) return xmlFail(k.badTokenMsg, scan);
        for (const AttrDef& a : kAttrs) {
            if ((k.attrs & a.bit) == 0 || std::strcmp(a.name, t.name) != 0) continue;
            if (*seen & a.bit) {
                char msg[80];
                std::snprintf(msg, sizeof msg, "parse error: %s found twice", a.label);
                return xmlFail(msg, scan);
            }
            *seen |= a.bit;
            if (storeAttribute(a.bit, t.value, e, f, display, scan) != 0) return -1;
            break;
        }
    }
}

int parseChild(xml_scan_s* scan, Child child, const KindDef& k, display_elem_s* e) {
    const ElemFields f = fieldsOf(e);
    switch (child) {
    case C_CH_INPUT:
        return XmlParseChInput_Tag(scan, f.ch_input);
    case C_VIS_INPUT:
        return XmlParseChInput_Tag(scan, f.vis_input);
    case C_DECO_LOWER:
        if (XmlParseDecoLimit(scan, false, k.deco, f.lower_limit, f.lower_hyst, f.deco_lower) != 0) return -1;
        *f.has_lower = 1;
        return 0;
    case C_DECO_UPPER:
        if (XmlParseDecoLimit(scan, true, k.deco, f.upper_limit, f.upper_hyst, f.deco_upper) != 0) return -1;
        *f.has_upper = 1;
        return 0;
    case C_DECO_MIDDLE:
        return XmlParseDecoMiddle(scan, k.deco, f.deco_middle);
    case C_TICK_LIST:
        return XmlParseTicks(scan, &e->bargraph);
    case C_TRANSPARENT_COL:
        return XmlParseRGB_Tag(scan, &e->picture.transparent_col);
    }
    return -1;
}

int parseElement(xml_scan_s* scan, const KindDef& k, display_elem_s* e, display_s* display) {
    k.init(e);
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (!xmlIsTag(t, XML_TOK_TAG_ATTR, k.tag)) return xmlFail("parse error: unexpected token", scan);

    uint32_t seen = 0;
    if (parseAttributes(scan, k, e, display, &seen) != 0) return -1;
    if ((seen & k.required) != k.required) return xmlFail(k.missingMsg, scan);

    if (e->version != 1.0f) {
        // An element of another version is passed over whole and dropped from its page.
        xml_token_s start{};
        start.type = XML_TOK_TAG;
        xmlCopyText(start.name, sizeof start.name, k.tag);
        if (XmlIgnore_Tag(scan, &start) != 0) return -1;
        k.init(e);
        return 0;
    }

    uint32_t found = 0;
    for (;;) {
        xml_scan_s look = *scan;
        if (XmlGetTok(&look, &t) != 0) return -1;
        if (xmlIsTag(t, XML_TOK_END_TAG, k.tag)) {
            *scan = look;
            break;
        }
        Child child = Child{};
        for (const ChildDef& c : kChildren) {
            if ((k.children & c.bit) != 0 && xmlIsNamed(t, c.name)) child = c.bit;
        }
        if (child != Child{}) {
            if (parseChild(scan, child, k, e) != 0) return -1;
            found |= child;
        } else if (xmlIsStart(t)) {
            *scan = look;
            if (XmlIgnore_Tag(scan, &t) != 0) return -1;
        } else {
            return xmlFail("parse error: unexpected token", &look);
        }
    }
    uint32_t requiredChildren = k.requiredChildren;
    if (*fieldsOf(e).vis_mode != VIS_ALWAYS) requiredChildren |= C_VIS_INPUT;
    if ((found & requiredChildren) != requiredChildren)
        return xmlFail("parse error: not all tags found", scan);
    return 0;
}

void initCommon(display_elem_s* e, DispElemKind_t kind) {
    std::memset(static_cast<void*>(e), 0, sizeof *e);
    e->kind = kind;
    ElemFields f = fieldsOf(e);
    XmlInitChInput(f.vis_input);
    if (f.ch_input != nullptr) XmlInitChInput(f.ch_input);
}

} // namespace

void XmlInitAlphaNumeric(display_elem_s* e) {
    initCommon(e, ELEM_ALPHANUM);
    e->alphanum.font_size = FONT_NORMAL;
    e->alphanum.align = ALIGN_MM;
}

void XmlInitBarGraph(display_elem_s* e) {
    initCommon(e, ELEM_BARGRAPH);
    e->bargraph.min = 0.0f;
    e->bargraph.max = 1.0f;
}

void XmlInitPictureElement(display_elem_s* e) {
    initCommon(e, ELEM_PICTURE);
}

int XmlParseAlphaNumDisplayElement(xml_scan_s* scan, display_elem_s* elem, display_s* display) {
    return parseElement(scan, kAlphaNum, elem, display);
}

int XmlParseBarGraphDisplayElement(xml_scan_s* scan, display_elem_s* elem, display_s* display) {
    return parseElement(scan, kBarGraph, elem, display);
}

int XmlParsePictureDisplayElement(xml_scan_s* scan, display_elem_s* elem, display_s* display) {
    return parseElement(scan, kPicture, elem, display);
}
