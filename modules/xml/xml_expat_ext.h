// The two entry points the system adds beside expat. Both are built on expat's public API only;
// the system's expat is used as it is.
#pragma once

#include <expat.h>

extern "C" {

// Called once for an element written as an empty-element tag ("<a/>", "<a x='1'/>").
typedef void(XMLCALL* XML_EmptyElementHandler)(void* userData, const XML_Char* name, const XML_Char** atts);

// The element handlers of a parser with empty elements routed apart. The record belongs to the
// caller and must live as long as the parser parses; expat keeps no copy of it.
typedef struct {
    XML_StartElementHandler start; // "<a>": start now, end at "</a>"
    XML_EndElementHandler end;
    XML_EmptyElementHandler empty; // "<a/>": this one call instead of start and end
    void* userData;                // handed to the three handlers
    XML_Parser parser;             // set by XML_SetEmptyElementHandler
    int pendingEmptyEnd;           // internal: the end call of the last empty element is due
} XML_EmptyElementRouting;

// Routes every empty-element tag of `parser` to routing->empty (one call) and every other element
// to routing->start and routing->end. Takes the parser's element handlers and its user data slot
// (which becomes `routing`): other handlers of the parser find their own data in
// routing->userData. Any of the three handlers may be null. Needs expat built with context bytes
// (XML_FEATURE_CONTEXT_BYTES, as every distribution builds it); returns 0 without that, 1 otherwise.
int XML_SetEmptyElementHandler(XML_Parser parser, XML_EmptyElementRouting* routing);

// True (1) when every one of the `len` characters is a space, line feed, carriage return or tab;
// also for no characters at all.
int XML_IsWhiteSpace(const XML_Char* s, int len);
}
