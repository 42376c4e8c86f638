// Shared bits of the XML tests.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "xml/xmlscan.h"

namespace xmltest {

inline std::string fixture(const std::string& name) {
    return testsupport::readFile(testsupport::testdataPath("xml/" + name));
}

// Reads tokens up to the next start tag with attributes named `name`; false at the end.
inline bool scanTo(XmlScan& scan, XmlTok_t& tok, const std::string& name) {
    while (scan.getTok(tok) != XMLTOK_EOF) {
        if (tok.type == XMLTOK_START_ATTR && tok.name == name) return true;
    }
    return false;
}

// The text a call raises, or "" when it raises nothing.
template <typename F> std::string raised(F&& f) {
    try {
        f();
    } catch (const char* text) {
        return text;
    }
    return "";
}

} // namespace xmltest
