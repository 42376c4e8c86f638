// Empty-element routing and the white-space test beside expat, on its public API.
#include "xml/xml_expat_ext.h"

#include <cstring>

namespace {

bool contextBytesAvailable() {
    static const bool available = [] {
        for (const XML_Feature* f = XML_GetFeatureList(); f->feature != XML_FEATURE_END; ++f) {
            if (f->feature == XML_FEATURE_CONTEXT_BYTES && f->value > 0) return true;
        }
        return false;
    }();
    return available;
}

// During a start handler the current event is the whole start tag; an empty-element tag ends in
// "/>", which only the tag's own closing can produce (a '/' inside a quoted value is followed by
// the closing quote, not by '>').
bool currentTagIsEmpty(XML_Parser parser) {
    int offset = 0;
    int size = 0;
    const char* buffer = XML_GetInputContext(parser, &offset, &size);
    const int count = XML_GetCurrentByteCount(parser);
    if (buffer == nullptr || count < 2 || offset < 0 || offset + count > size) return false;
    return buffer[offset + count - 2] == '/' && buffer[offset + count - 1] == '>';
}

void XMLCALL routeStart(void* data, const XML_Char* name, const XML_Char** atts) {
    auto* r = static_cast<XML_EmptyElementRouting*>(data);
    if (currentTagIsEmpty(r->parser)) {
        // expat reports the end of this element right after this call.
        r->pendingEmptyEnd = 1;
        if (r->empty) r->empty(r->userData, name, atts);
        return;
    }
    if (r->start) r->start(r->userData, name, atts);
}

void XMLCALL routeEnd(void* data, const XML_Char* name) {
    auto* r = static_cast<XML_EmptyElementRouting*>(data);
    if (r->pendingEmptyEnd) {
        r->pendingEmptyEnd = 0;
        return;
    }
    if (r->end) r->end(r->userData, name);
}

} // namespace

extern "C" int XML_SetEmptyElementHandler(XML_Parser parser, XML_EmptyElementRouting* routing) {
    if (parser == nullptr || routing == nullptr || !contextBytesAvailable()) return 0;
    routing->parser = parser;
    routing->pendingEmptyEnd = 0;
    XML_SetUserData(parser, routing);
    XML_SetElementHandler(parser, routeStart, routeEnd);
    return 1;
}

extern "C" int XML_IsWhiteSpace(const XML_Char* s, int len) {
    for (int i = 0; i < len; ++i) {
        const XML_Char c = s[i];
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return 0;
    }
    return 1;
}
