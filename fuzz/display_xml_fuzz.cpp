// Fuzz target: display.xml parsed from memory. Besides the sanitizers it checks what the display
// relies on in a loaded configuration: counts within their limits, lists that match their counts,
// verbal tables that answer every lookup, and an error text that is always terminated.
#include "display/config/dispxml_load.h"
#include "display/config/dispxml_vtab.h"

#include <cstdint>
#include <cstring>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void checkPage(const page_s& page) {
    uint32_t n = 0;
    for (const display_elem_s* e = page.elems; e != nullptr; e = e->next, ++n) {
        check(e->version == 1.0f);
        check(e->kind <= ELEM_PICTURE);
        check(e->prio <= 0xFFFF && e->pos_x <= 0xFFFF && e->size_y <= 0xFFFF);
        if (e->kind == ELEM_BARGRAPH) check(e->bargraph.tick_cnt <= DISP_MAX_TICKS);
        if (e->kind == ELEM_ALPHANUM && e->alphanum.vtab != nullptr) {
            char text[VTAB_OUTPUT_SIZE];
            check(XmlVTabOutput(e->alphanum.vtab, 0, text) == 0 && std::strlen(text) < sizeof text);
        }
    }
    check(n == page.elem_cnt);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    xml_scan_s scan = xml_scan_init(reinterpret_cast<const char*>(data), static_cast<int32_t>(size));
    display_s* d = nullptr;
    const int r = XmlParseDisplay(&scan, &d);
    check((r == 0) == (d != nullptr));
    if (d != nullptr) {
        check(d->page_cnt <= DISP_MAX_PAGES && d->perc_cnt <= DISP_MAX_PERC);
        for (uint32_t i = 0; i < DISP_MAX_PAGES; ++i) {
            check(d->pages[i].valid == (i < d->page_cnt ? 1 : 0));
            checkPage(d->pages[i]);
        }
        checkPage(d->all_pages);
        for (const verbtab_s* t = d->vtabs; t != nullptr; t = t->next) {
            char text[VTAB_OUTPUT_SIZE];
            check(XmlVTabOutput(t, 0xFFFFFFFFu, text) == 0);
        }
    }
    XmlFreeDisplay(d);
    char msg[XML_MSG_SIZE + 16];
    std::memset(msg, 'x', sizeof msg);
    xml_get_error_msg(msg, sizeof msg);
    check(std::memchr(msg, '\0', XML_MSG_SIZE) != nullptr);
    return 0;
}
