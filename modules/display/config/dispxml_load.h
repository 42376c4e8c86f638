// Reader of the display configuration "cfg:/display.xml" into the records of display_records.h.
// Every load either yields the whole configuration or nothing: at the first error it frees all it
// allocated and leaves the text of the error, with line and column, for xml_get_error_msg.
#pragma once

#include "display/config/display_records.h"
#include "display/config/dispxml_scan.h"

#include <memory>

// Reads and parses the file (a device path such as "cfg:/display.xml"). 0 with the configuration in
// *out, owned by the caller; -1 with *out null.
int XmlLoad(const char* fileName, display_s** out);

// Parses a text already in memory; same contract as XmlLoad.
int XmlParseDisplay(xml_scan_s* scan, display_s** out);

// Frees a configuration with all its blocks; null is accepted.
void XmlFreeDisplay(display_s* display);

struct DisplayConfigDeleter {
    void operator()(display_s* display) const { XmlFreeDisplay(display); }
};
using display_ptr = std::unique_ptr<display_s, DisplayConfigDeleter>;
