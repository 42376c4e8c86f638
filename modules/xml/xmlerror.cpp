#include "xml/xmlerror.h"

#include <cstdio>
#include <string>

#include "xml/xmlscan.h"

const char* XmlError(const char* text, const XmlScan* scanner) {
    // One buffer per thread: loaders of different tasks may fail at the same time.
    thread_local char buffer[254];
    std::string own;
    if (text == nullptr) {
        text = "";
    } else if (text >= buffer && text < buffer + sizeof buffer) {
        own = text; // the text of an earlier call: copy before overwriting it
        text = own.c_str();
    }
    if (scanner != nullptr) {
        std::snprintf(buffer, sizeof buffer, "%s in line %d column %d", text, scanner->getLine(),
                      scanner->getColumn());
    } else {
        std::snprintf(buffer, sizeof buffer, "%s", text);
    }
    return buffer;
}
