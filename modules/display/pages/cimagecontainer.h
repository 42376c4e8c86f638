// The pictures of a display configuration: every distinct (file, offset, length) is read and
// decoded once when the configuration starts, and its bitmap handed to every picture element that
// shows it. The bitmaps belong to the container and outlive the pages that use them.
#pragma once

#include <cstdint>

#include "display/config/display_records.h"
#include "gui/core/guibitmap.h"

class GuiPngConvert;

struct picture_bitmap_s {
    uint32_t ofs;
    uint32_t len;
    GuiBitmap* bitmap;        // the decoded image, or null
    GuiPngConvert* converter; // owns the decoded image, or null
    picture_bitmap_s* next;
};

struct picture_file_s {
    char name[256];
    picture_bitmap_s* bitmaps;
    picture_file_s* next;
};

class CImageContainer {
public:
    explicit CImageContainer(display_s* config);
    ~CImageContainer();
    CImageContainer(const CImageContainer&) = delete;
    CImageContainer& operator=(const CImageContainer&) = delete;

    // The decoded image of a picture element, or null when its file, entry or image is missing.
    GuiBitmap* getImage(const picture_s* picture) const;
    picture_file_s* addfile(const char* name);
    void addbitmap(picture_file_s* file, unsigned long ofs, unsigned long len);

private:
    void load(picture_file_s* file, int* converted);

    picture_file_s* mpFiles = nullptr;
};
