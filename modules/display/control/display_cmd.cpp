// The shell command "display" and the page sets. Everything here only calls the display's
// interface; nothing draws. A page-set name from another device (command 0x1600) that differs
// from the active one starts the post-run; the page-set store itself is a placeholder whose
// active name is always empty.
#include "display/control/display_cmd.h"

#include <cstdio>
#include <cstring>

#include "display/control/display.h"
#include "display/control/display_sig.h"
#include "framework/appman.h"
#include "framework/postrun.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "platform/drives/devroot.h"
#include "platform/kernel/shellhost.h"

namespace {

constexpr size_t kNameLen = 16;
constexpr uint16_t kPageSetCmd = 0x1600;

bool Is(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

// A decimal (or other "%u") number that is the whole word.
// Digits only: "-1" is no page, however sscanf would wrap it.
bool ReadUnsigned(const char* text, unsigned* out) {
    char rest = 0;
    return text && text[0] >= '0' && text[0] <= '9' && std::sscanf(text, "%u%c", out, &rest) == 1;
}

// A command the display did not take fails: the GUI is not up, or its queue is full.
int Posted(int result) {
    if (result != 0) shell_printf("Not done: the display is not up or is busy.\n");
    return result != 0 ? -1 : 0;
}

} // namespace

void display_usage() {
    shell_printf("controls display application\n");
    shell_printf("usage: display <command> [<par>]\n");
    shell_printf("    <start|stop>      : starts and stops display application;\n");
    shell_printf("    <color> <par>     : sets color to whole screen (0x00RRGGBB)\n");
    shell_printf("    <bmpdump> <file>  : writes the screen to a BMP file, e.g. c:/screen.bmp\n");
    shell_printf("    <next|prev>       : switches pages\n");
    shell_printf("    <page> <par>      : select page\n");
    shell_printf("    <brightness> <par>: set brightness<par>\n");
    shell_printf("    <fstop|fstart>    : starts stops flash window\n");
    shell_printf("    <txtshow> <text>  : shows text\n");
    shell_printf("    <txthide>         : hides text\n");
}

int displayCommandFunc(int argc, char** argv) {
    const char* cmd = argc >= 2 && argv ? argv[1] : "";
    const char* par = argc == 3 ? argv[2] : nullptr;
    if (argc == 2 && Is(cmd, "start")) return Posted(displayStart());
    if (argc == 2 && Is(cmd, "stop")) return Posted(displayStop());
    if (argc == 3 && Is(cmd, "color")) {
        // The stop comes first: it would take the colour page away again.
        displayStop();
        unsigned colour = 0;
        if (!(par[0] && par[1] == 'x' && std::sscanf(par, "%x", &colour) == 1)) {
            shell_printf("Invalid color format. RGB Format: 0x00RRGGBB\n");
            return -1;
        }
        return Posted(displayColor(colour));
    }
    if (argc == 2 && Is(cmd, "next")) return Posted(displayNext());
    if (argc == 2 && Is(cmd, "prev")) return Posted(displayPrev());
    if (argc == 3 && Is(cmd, "page")) {
        unsigned page = 0;
        if (!ReadUnsigned(par, &page)) {
            shell_printf("Invalid page number.\n");
            return -1;
        }
        // The pages the display control counts: none while the display is stopped.
        const unsigned pages = dispSigGet(seramSig().display_page_mx);
        if (page >= pages) {
            if (pages == 0)
                shell_printf("Invalid page number %u: the display shows no pages.\n", page);
            else
                shell_printf("Invalid page number %u: the display has pages 0 to %u.\n", page, pages - 1);
            return -1;
        }
        return Posted(displaySwitchPage(page));
    }
    if (argc == 3 && Is(cmd, "brightness")) {
        unsigned step = 0;
        if (!ReadUnsigned(par, &step)) {
            shell_printf("Invalid brightness switch position.\n");
            return -1;
        }
        return Posted(displayBrightness(step));
    }
    if (argc == 2 && Is(cmd, "fstart")) return Posted(displayFlashStart());
    if (argc == 2 && Is(cmd, "fstop")) return Posted(displayFlashStop());
    if (argc == 3 && Is(cmd, "txtshow")) return Posted(displayTxtShowFree(par));
    if (argc == 2 && Is(cmd, "txthide")) return Posted(displayTxtHide());
    if (argc == 3 && Is(cmd, "bmpdump")) return display_bmpwrite(par);
    display_usage();
    return -1;
}

int display_bmpwrite(const char* path) {
    unsigned long size = 0;
    // The image first: without one (the GUI is not up) no file is made.
    unsigned char* image = DumpReal(&size);
    if (!image || size == 0) {
        delete[] image;
        shell_printf("Error, unable to write file %s.\n", path ? path : "");
        return -1;
    }
    FILE* f = path ? dev_fopen(path, "wb") : nullptr;
    if (!f) {
        shell_printf("Error, unable to open file %s.\n", path ? path : "");
        delete[] image;
        return -1;
    }
    const size_t written = std::fwrite(image, 1, size, f);
    const bool closed = std::fclose(f) == 0;
    delete[] image;
    if (!closed || written != size) {
        shell_printf("Error, unable to write file %s.\n", path);
        return -1;
    }
    return 0;
}

void pageSetName_ini() {}
void pageSetName_100ms() {}
void pageSetName_getName(uint8_t*, uint32_t) {}
void pageSetName_putName(uint8_t*, uint32_t) {}

void display_pageset_cmd(comint_msg* frame) {
    if (!frame) return;
    // A shorter payload counts its missing bytes as 0.
    uint8_t name[kNameLen] = {};
    const size_t n = ci_len(frame) < kNameLen ? ci_len(frame) : kNameLen;
    std::memcpy(name, frame->data, n);
    uint8_t active[kNameLen] = {};
    pageSetName_getName(active, kNameLen);
    if (std::strncmp(reinterpret_cast<const char*>(name), reinterpret_cast<const char*>(active), kNameLen) ==
        0) {
        syslogx(LOG_PRIO_INFO, "display_pageset_cmd(): received active pageset '%.*s' -> ignored",
                int(kNameLen), reinterpret_cast<const char*>(name));
        return;
    }
    syslogx(LOG_PRIO_INFO, "display_pageset_cmd(): received pageset '%.*s'", int(kNameLen),
            reinterpret_cast<const char*>(name));
    pageSetName_putName(name, kNameLen);
    startPostrun();
}

void display_pageset_tlc(uint16_t pid, const char* name) {
    comint_msg frame{};
    ci_init(&frame, kPageSetCmd, app_pid, pid, 0, 0, kNameLen);
    if (name) std::strncpy(reinterpret_cast<char*>(frame.data), name, kNameLen);
    comint_put_cmd(&frame, 1);
    syslogx(LOG_PRIO_INFO, "display_pageset_tlc(): send new pageset to pid 0x%02x, \"%s\"", unsigned(pid),
            name ? name : "");
}

void display_pageset_ini() {
    pageSetName_ini();
    ci_register_handler(kPageSetCmd, display_pageset_cmd);
}
