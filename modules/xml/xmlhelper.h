// Walk over the content of one element, for loaders that dispatch on the tags they know and pass
// over the rest.
//
//   XmlHelper walk(scan);                 // after the start tag of <Block ...>
//   while (walk.next(tok)) {
//       if (tok.type == XMLTOK_START_ATTR && tok.name == "CopySeq") { ... }
//       else if (tok.type == XMLTOK_START || tok.type == XMLTOK_START_ATTR)
//           scan->scanOverTag(tok);       // any other element, with all its content
//   }
//
// The walk follows the scanner's nesting, so tokens that the loader reads itself in between (an
// attribute parser, scanOverTag, an inner walk) are accounted for. A close tag without its opening
// tag never reaches a walk: the scanner refuses it as "XmlScan Error: mismatched tag".
#pragma once

#include "xml/xmlscan.h"

class XmlHelper {
public:
    // A walk over the content of the element that is open now (its start tag read last, its
    // attributes parsed or not), or over the rest of the document when no element is open.
    explicit XmlHelper(XmlScan* scanner);

    // Reads the next token of the content into `tok`: true while it lies inside; false when the
    // element's end tag or the end of the document was read (also on every later call), or when
    // the loader has already read past the element's end itself.
    bool next(XmlTok_t& tok);

private:
    XmlScan* scanner_;
    int base_;
    bool done_ = false;
};
