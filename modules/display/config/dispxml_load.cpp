// XmlLoad and the document structure of display.xml: the xml declaration, the Display tag with its
// children, and the pages. The pages are read twice: a first pass checks everything and counts the
// elements, one block of element slots is allocated, and a second pass fills it.
#include "display/config/dispxml_load.h"

#include "display/config/dispxml_parse.h"
#include "display/config/dispxml_value.h"
#include "display/config/dispxml_vtab.h"
#include "framework/fileutil.h"
#include "platform/drives/devroot.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kWrongValue = "parse error: wrong value";

// Where the elements of a page go: nowhere in the check pass (they are only counted), into the next
// slot of the element block in the fill pass.
struct ElemSink {
    display_s* display;
    size_t count;          // elements seen (check pass)
    display_elem_s* next;  // fill pass: next free slot, null in the check pass
    display_elem_s* limit; // one past the last slot
};

struct PageState {
    page_s* page; // null in the check pass
    display_elem_s* tail;
    bool havePrio;
    uint32_t prio; // reference priority of the page (check pass)
};

void XmlInitPage(page_s* page) {
    page->valid = 1;
    XmlInitRGB(&page->bg_col);
    page->elem_cnt = 0;
    page->elems = nullptr;
}

void XmlInitDisplay(display_s* d) {
    XmlInitChInput(&d->reset_input);
    XmlInitChInput(&d->page_input);
    XmlInitChInput(&d->brightness_input);
    for (page_s& p : d->pages) p.valid = 0;
    XmlInitPage(&d->all_pages);
}

using ElemParser = int (*)(xml_scan_s*, display_elem_s*, display_s*);

ElemParser elementParser(const xml_token_s& t) {
    if (t.type != XML_TOK_TAG_ATTR) return nullptr;
    if (std::strcmp(t.name, "AlphaNumeric") == 0) return XmlParseAlphaNumDisplayElement;
    if (std::strcmp(t.name, "BarGraph") == 0) return XmlParseBarGraphDisplayElement;
    if (std::strcmp(t.name, "Picture") == 0) return XmlParsePictureDisplayElement;
    return nullptr;
}

int checkElement(xml_scan_s* scan, ElemParser parse, ElemSink* sink, PageState* ps) {
    display_elem_s scratch;
    if (parse(scan, &scratch, sink->display) != 0) return -1;
    ++sink->count;
    // Elements of a page come in rising priority; a dropped element only sets the first reference.
    if (!ps->havePrio) {
        ps->havePrio = true;
        ps->prio = scratch.prio;
    } else if (scratch.version == 1.0f) {
        if (scratch.prio <= ps->prio) return xmlFail("parse error: prio not sorted", scan);
        ps->prio = scratch.prio;
    }
    return 0;
}

int fillElement(xml_scan_s* scan, ElemParser parse, ElemSink* sink, PageState* ps) {
    page_s* page = ps->page;
    if (sink->next == sink->limit || page->elem_cnt == UINT16_MAX)
        return xmlFail("parse error: too many display elements", scan);
    display_elem_s* slot = sink->next++;
    if (parse(scan, slot, sink->display) != 0)
        return xmlFail("parse error: expecting display element tag", scan);
    slot->next = nullptr;
    if (ps->tail == nullptr)
        page->elems = slot;
    else
        ps->tail->next = slot;
    ps->tail = slot;
    ++page->elem_cnt;
    return 0;
}

int parseDisplayElements(xml_scan_s* scan, ElemSink* sink, PageState* ps) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1; // the caller has seen <DisplayElements>
    for (;;) {
        xml_scan_s look = *scan;
        if (XmlGetTok(&look, &t) != 0) return -1;
        if (xmlIsTag(t, XML_TOK_END_TAG, "DisplayElements")) {
            *scan = look;
            return 0;
        }
        if (ElemParser parse = elementParser(t)) {
            const int r = ps->page == nullptr ? checkElement(scan, parse, sink, ps)
                                              : fillElement(scan, parse, sink, ps);
            if (r != 0) return -1;
        } else if (xmlIsStart(t)) {
            *scan = look;
            if (XmlIgnore_Tag(scan, &t) != 0) return -1;
        } else {
            return xmlFail("parse error: unexpected token", &look);
        }
    }
}

// Page or AllPages (`tag`); `page` null for the check pass.
int parsePage(xml_scan_s* scan, const char* tag, page_s* page, ElemSink* sink) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1; // the caller has seen the page tag
    PageState ps{page, nullptr, false, 0};
    rgb_s scratchBg;
    if (page != nullptr) XmlInitPage(page);
    const bool bgRequired = std::strcmp(tag, "Page") == 0;
    bool haveBg = false;
    for (;;) {
        xml_scan_s look = *scan;
        if (XmlGetTok(&look, &t) != 0) return -1;
        if (xmlIsTag(t, XML_TOK_END_TAG, tag)) {
            *scan = look;
            break;
        }
        if (xmlIsNamed(t, "BGCol")) {
            if (XmlParseRGB_Tag(scan, page != nullptr ? &page->bg_col : &scratchBg) != 0)
                return xmlFail("parse error: expecting backgr color tag", scan);
            haveBg = true;
        } else if (xmlIsTag(t, XML_TOK_TAG, "DisplayElements")) {
            if (parseDisplayElements(scan, sink, &ps) != 0) return -1;
        } else if (xmlIsStart(t)) {
            *scan = look;
            if (XmlIgnore_Tag(scan, &t) != 0) return -1;
        } else {
            return xmlFail("parse error: unexpected token", &look);
        }
    }
    if (bgRequired && !haveBg) return xmlFail("parse error: missing paramter", scan);

    if (page != nullptr) {
        // Elements of another version keep their slot but leave the page.
        for (display_elem_s** link = &page->elems; *link != nullptr;) {
            if ((*link)->version == 0.0f) {
                *link = (*link)->next;
                --page->elem_cnt;
            } else {
                link = &(*link)->next;
            }
        }
    }
    return 0;
}

int XmlCheckPage(xml_scan_s* scan, const char* tag, ElemSink* sink) {
    return parsePage(scan, tag, nullptr, sink);
}
int XmlParsePage(xml_scan_s* scan, const char* tag, page_s* page, ElemSink* sink) {
    return parsePage(scan, tag, page, sink);
}

// First pass over Pages: every child must be a Page; `after` receives the state after <Pages>.
int checkPages(xml_scan_s* scan, ElemSink* sink, xml_scan_s* after) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0) return -1; // the caller has seen <Pages>
    *after = *scan;
    for (;;) {
        xml_scan_s look = *scan;
        if (XmlGetTok(&look, &t) != 0) return -1;
        if (xmlIsTag(t, XML_TOK_END_TAG, "Pages")) {
            *scan = look;
            return 0;
        }
        if (!xmlIsTag(t, XML_TOK_TAG, "Page")) return xmlFail("parse error: expecting page tag", &look);
        if (XmlCheckPage(scan, "Page", sink) != 0) return -1;
    }
}

int parseXmlDeclaration(xml_scan_s* scan, display_s* d) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) < 0) return -1;
    if (t.type != XML_TOK_DECL) return xmlFail("parse error: expecting special tag xml", scan);
    if (XmlGetTok(scan, &t) != 0) return -1;
    if (!xmlIsTag(t, XML_TOK_ATTR, "version")) return xmlFail("parse error:  expecting version of xml", scan);
    if (XmlGetFloat(t.value, &d->xml_version) != 0) return xmlFail(kWrongValue, scan);
    for (;;) {
        if (XmlGetTok(scan, &t) != 0) return -1;
        if (t.type == XML_TOK_DECL_END) return 0;
        if (t.type != XML_TOK_ATTR) return xmlFail("parse error: expecting special end tag of xml", scan);
    }
}

int parseDisplayTag(xml_scan_s* scan, display_s* d) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) < 0) return -1;
    if (!xmlIsTag(t, XML_TOK_TAG_ATTR, "Display"))
        return xmlFail("parse error: expecting opening tag of display", scan);
    bool haveVersion = false;
    bool haveX = false;
    bool haveY = false;
    for (;;) {
        const int r = XmlGetTok(scan, &t);
        if (r < 0) return xmlFail("parse error: expecting paramters of display type", scan);
        if (r > 0) return -1;
        if (t.type == XML_TOK_TAG_END) break;
        if (t.type != XML_TOK_ATTR) return xmlFail("parse error: expecting paramters of display type", scan);
        uint32_t v = 0;
        if (std::strcmp(t.name, "version") == 0) {
            if (haveVersion) return xmlFail("parse error: parameter version found twice", scan);
            haveVersion = true;
            if (XmlGetFloat(t.value, &d->version) != 0) return xmlFail(kWrongValue, scan);
        } else if (std::strcmp(t.name, "x_res") == 0) {
            if (haveX) return xmlFail("parse error: res_x found twice", scan);
            haveX = true;
            if (XmlGetUInt(t.value, &v, 0, 0xFFFF) != 0) return xmlFail(kWrongValue, scan);
            d->x_res = static_cast<uint16_t>(v);
        } else if (std::strcmp(t.name, "y_res") == 0) {
            if (haveY) return xmlFail("parse error: res_y found twice", scan);
            haveY = true;
            if (XmlGetUInt(t.value, &v, 0, 0xFFFF) != 0) return xmlFail(kWrongValue, scan);
            d->y_res = static_cast<uint16_t>(v);
        }
    }
    if (!haveVersion || !haveX || !haveY) return xmlFail("parse error: missing paramter", scan);
    return 0;
}

int parseDocument(xml_scan_s* scan, display_s* d) {
    if (parseXmlDeclaration(scan, d) != 0 || parseDisplayTag(scan, d) != 0) return -1;

    // First pass over the children of Display.
    ElemSink sink{d, 0, nullptr, nullptr};
    bool haveBrightness = false;
    bool havePages = false;
    bool haveAllPages = false;
    xml_scan_s pagesStart{};
    xml_scan_s allPagesStart{};
    xml_token_s t;
    for (;;) {
        xml_scan_s look = *scan;
        if (XmlGetTok(&look, &t) != 0) return -1;
        int r = 0;
        if (xmlIsTag(t, XML_TOK_END_TAG, "Display")) {
            *scan = look;
            break;
        } else if (xmlIsTag(t, XML_TOK_TAG, "Brightness")) {
            r = XmlParseBrightness_Tag(scan, d);
            haveBrightness = true;
        } else if (xmlIsTag(t, XML_TOK_TAG_ATTR, "ResetInput")) {
            r = XmlParseChInput_Tag(scan, &d->reset_input);
        } else if (xmlIsTag(t, XML_TOK_TAG_ATTR, "PageInput")) {
            r = XmlParseChInput_Tag(scan, &d->page_input);
        } else if (xmlIsTag(t, XML_TOK_TAG_ATTR, "BrightnessInput")) {
            r = XmlParseChInput_Tag(scan, &d->brightness_input);
        } else if (xmlIsTag(t, XML_TOK_TAG, "VerbTabs")) {
            r = XmlParseVTab(scan, d);
        } else if (xmlIsTag(t, XML_TOK_TAG, "Pages")) {
            r = checkPages(scan, &sink, &pagesStart);
            havePages = true;
        } else if (xmlIsTag(t, XML_TOK_TAG, "AllPages")) {
            allPagesStart = *scan;
            r = XmlCheckPage(scan, "AllPages", &sink);
            haveAllPages = true;
        } else if (xmlIsStart(t)) {
            *scan = look;
            r = XmlIgnore_Tag(scan, &t);
        } else {
            return xmlFail("parse error: unexpected token", &look);
        }
        if (r != 0) return -1;
    }
    if (!haveBrightness || !havePages) return xmlFail("parse error: not all tags found", scan);

    d->elem_block = static_cast<display_elem_s*>(std::calloc(sink.count + 1, sizeof(display_elem_s)));
    if (d->elem_block == nullptr) return xmlFail("could not get memory for display elements", nullptr);
    sink.next = d->elem_block;
    sink.limit = d->elem_block + sink.count + 1;

    // Second pass: AllPages, then the pages.
    if (haveAllPages) {
        xml_scan_s s = allPagesStart;
        if (XmlParsePage(&s, "AllPages", &d->all_pages, &sink) != 0) return -1;
    }
    for (page_s& p : d->pages) p.valid = 0;
    xml_scan_s s = pagesStart;
    for (;;) {
        xml_scan_s look = s;
        if (XmlGetTok(&look, &t) != 0) return -1;
        if (xmlIsTag(t, XML_TOK_END_TAG, "Pages")) return 0;
        if (!xmlIsTag(t, XML_TOK_TAG, "Page")) return xmlFail("parse error: expecting page tag", &look);
        if (d->page_cnt >= DISP_MAX_PAGES) return xmlFail("parse error: max page count reached", nullptr);
        if (XmlParsePage(&s, "Page", &d->pages[d->page_cnt], &sink) != 0) return -1;
        ++d->page_cnt;
    }
}

} // namespace

void XmlFreeDisplay(display_s* display) {
    if (display == nullptr) return;
    std::free(display->elem_block);
    std::free(display->vtab_block);
    std::free(display->vtab_entry_block);
    std::free(display);
}

int XmlParseDisplay(xml_scan_s* scan, display_s** out) {
    xml_clear_error();
    if (out == nullptr) return -1;
    *out = nullptr;
    auto* d = static_cast<display_s*>(std::calloc(1, sizeof(display_s)));
    if (d == nullptr) return xmlFail("Out of memory error!", nullptr);
    XmlInitDisplay(d);
    if (parseDocument(scan, d) != 0) {
        XmlFreeDisplay(d);
        return -1;
    }
    *out = d;
    return 0;
}

int XmlLoad(const char* fileName, display_s** out) {
    xml_clear_error();
    if (out == nullptr) return -1;
    *out = nullptr;
    if (fileName == nullptr || !fexist(fileName)) return xmlFail("File not found !", nullptr);
    const long size = fsize(fileName);
    if (size <= 0 || size > INT32_MAX) return xmlFail("File not found, len invalid!", nullptr);

    char* buffer = static_cast<char*>(std::calloc(static_cast<size_t>(size), 1));
    if (buffer == nullptr) return xmlFail("Out of memory error!", nullptr);
    FILE* f = dev_fopen(fileName, "r");
    if (f == nullptr) {
        std::free(buffer);
        return xmlFail("File open error!", nullptr);
    }
    size_t got = 0;
    while (got < static_cast<size_t>(size)) {
        const size_t n = std::fread(buffer + got, 1, static_cast<size_t>(size) - got, f);
        if (n == 0) break;
        got += n;
    }
    std::fclose(f);

    xml_scan_s scan = xml_scan_init(buffer, static_cast<int32_t>(got));
    const int r = XmlParseDisplay(&scan, out);
    std::free(buffer);
    return r;
}
