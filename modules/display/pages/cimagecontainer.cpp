#include "display/pages/cimagecontainer.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "framework/syslog.h"
#include "gui/image/guipngconvert.h"
#include "platform/drives/devroot.h"

namespace {

// Every picture element of the all-pages record and of the pages.
template <class F> void ForEachPicture(display_s* config, F&& fn) {
    auto walk = [&](page_s& page) {
        for (display_elem_s* e = page.elems; e; e = e->next)
            if (e->kind == ELEM_PICTURE) fn(e->picture);
    };
    walk(config->all_pages);
    for (uint16_t i = 0; i < config->page_cnt && i < DISP_MAX_PAGES; ++i) walk(config->pages[i]);
}

void CopyName(char (&dst)[256], const char* src) {
    const size_t n = src ? strnlen(src, sizeof dst - 1) : 0;
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

} // namespace

CImageContainer::CImageContainer(display_s* config) {
    if (!config) return;
    ForEachPicture(config, [this](const picture_s& p) { addbitmap(addfile(p.filename), p.ofs, p.len); });
    int converted = 0;
    for (picture_file_s* f = mpFiles; f; f = f->next) load(f, &converted);
    if (converted > 0)
        syslogx(LOG_PRIO_INFO, "CImageContainer: successfully converted %i pictures", converted);
}

CImageContainer::~CImageContainer() {
    while (picture_file_s* f = mpFiles) {
        mpFiles = f->next;
        while (picture_bitmap_s* b = f->bitmaps) {
            f->bitmaps = b->next;
            delete b->converter; // frees the decoded image
            delete b;
        }
        delete f;
    }
}

picture_file_s* CImageContainer::addfile(const char* name) {
    char key[256];
    CopyName(key, name);
    for (picture_file_s* f = mpFiles; f; f = f->next)
        if (std::strcmp(f->name, key) == 0) return f;
    auto* f = new (std::nothrow) picture_file_s{};
    if (!f) return nullptr;
    CopyName(f->name, key);
    f->next = mpFiles;
    mpFiles = f;
    return f;
}

void CImageContainer::addbitmap(picture_file_s* file, unsigned long ofs, unsigned long len) {
    if (!file) return;
    for (picture_bitmap_s* b = file->bitmaps; b; b = b->next)
        if (b->ofs == ofs && b->len == len) return;
    auto* b = new (std::nothrow) picture_bitmap_s{static_cast<uint32_t>(ofs), static_cast<uint32_t>(len),
                                                  nullptr, nullptr, file->bitmaps};
    if (b) file->bitmaps = b;
}

void CImageContainer::load(picture_file_s* file, int* converted) {
    FILE* f = dev_fopen(file->name, "r");
    if (!f) return; // its pictures stay without image
    long size = 0;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (size < 0) size = 0;
    for (picture_bitmap_s* b = file->bitmaps; b; b = b->next) {
        b->bitmap = nullptr;
        b->converter = nullptr;
        // A picture that passes the end of the file is not read at all.
        const uint64_t end = static_cast<uint64_t>(b->ofs) + b->len;
        const long held = b->ofs < static_cast<uint64_t>(size) ? static_cast<long>(size - b->ofs) : 0;
        unsigned char* buffer = end <= static_cast<uint64_t>(size)
                                    ? new (std::nothrow) unsigned char[size_t(b->len) + 1]
                                    : nullptr;
        size_t n = 0;
        if (buffer && std::fseek(f, static_cast<long>(b->ofs), SEEK_SET) == 0)
            n = std::fread(buffer, 1, b->len, f);
        if (buffer && n == b->len) {
            auto* c = new (std::nothrow) GuiPngConvert(0);
            if (c) {
                c->SetAlphaOutput(true);
                c->SetSystemPalette(nullptr, 1600); // 24-bit output
                c->SetMode(0);                      // no dithering, no remapping
                c->SetInputBuffer(buffer, b->len);
                c->ReadImage(1);
                c->SetInputBuffer(nullptr, 0);
                b->bitmap = c->GetBitmapPointer(0);
                b->converter = c;
                ++*converted;
            }
        } else {
            syslogx(LOG_PRIO_ERR, "CImageContainer: could not read picture %s %i %i", file->name,
                    static_cast<int>(b->ofs), static_cast<int>(buffer ? static_cast<long>(n) : held));
        }
        delete[] buffer;
    }
    std::fclose(f);
}

GuiBitmap* CImageContainer::getImage(const picture_s* picture) const {
    if (!picture) return nullptr;
    char key[256];
    CopyName(key, picture->filename);
    for (picture_file_s* f = mpFiles; f; f = f->next) {
        if (std::strcmp(f->name, key) != 0) continue;
        for (picture_bitmap_s* b = f->bitmaps; b; b = b->next)
            if (b->ofs == picture->ofs && b->len == picture->len) return b->bitmap;
    }
    return nullptr;
}
